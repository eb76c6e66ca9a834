"""``quillmark audit``: one row per archive file of a crawl, audited in parallel.

Rows go to standard output as JSON lines, or to ``-o OUT``; on a terminal the
command shows a summary table instead, with a progress bar while it runs.
"""

from __future__ import annotations

import os
import signal
import sys
from collections.abc import Iterator

from quillmark_files import archive, crawl
from quillmark_files.archive import STANDARD_STREAM, chosen_inflater

from .errors import CliError, report, shown
from .listing import printable
from .progress import bar, is_terminal

EXIT_FAILED = 1
_STOPPED = {signal.SIGINT: "interrupted", signal.SIGTERM: "terminated", signal.SIGHUP: "hangup"}
_FAILURES_SHOWN = 20  # under the summary table


def add_parser(commands, threads: int, positive) -> None:
    audit = commands.add_parser(
        "audit",
        help="report on every archive of a crawl",
        description="Audit archive files in parallel: one row per file with its size, "
        "compression, number of records, error, number of manifest records, and the size "
        "and SHA-256 of its manifest store. PATH is a file, a directory (searched "
        "recursively for .warc, .warc.gz and .wacz files) or - for a list of paths, one per "
        "line, on standard input. A WACZ package (.wacz) gives one row per WARC inside it, "
        "its path being PACKAGE#archive/NAME. Rows are written as JSON lines (the default "
        "when standard output is not a terminal), CSV or Parquet; on a terminal a summary "
        "table is shown. A file that changed while it was read (one still being written) is "
        "a row of its own state, with no verdict. Exit status 1 when any file failed or "
        "changed; Ctrl-C stops the run and keeps "
        "the rows finished so far.",
    )
    audit.add_argument("paths", metavar="PATH", nargs="+", help="a file, a directory or -")
    audit.add_argument(
        "-j",
        "--jobs",
        type=positive,
        default=threads,
        metavar="N",
        help="files audited at once, each on a thread of its own (default: the number of "
        "cores, %(default)s here)",
    )
    audit.add_argument(
        "--format",
        choices=crawl.FORMATS,
        help="the rows' format (default: from OUT's name, else jsonl)",
    )
    audit.add_argument(
        "-o", "--output", metavar="OUT", help="write the rows to OUT instead of standard output"
    )
    audit.add_argument(
        "--verify",
        action="store_true",
        help="verify each archive's signed C2PA manifest too: rows get the fields signature "
        "(valid, invalid, unsigned, not a C2PA store), signature_error and signer; exit "
        "status 1 also when a signature is invalid or not a C2PA store",
    )
    audit.add_argument(
        "--trust-anchors",
        metavar="PEM",
        help="with --verify: root certificates (PEM) every signer must chain to",
    )


def _paths(given: list[str]) -> Iterator[str]:
    for path in given:
        if path != STANDARD_STREAM:
            yield path
            continue
        for line in sys.stdin.buffer:
            name = os.fsdecode(line.rstrip(b"\r\n"))
            if name:
                yield name


class Tally:
    """The summary table's rows (per file or WARC), and the files done."""

    def __init__(self) -> None:
        self.files = self.bytes = self.with_manifest = self.without_manifest = 0
        self.finished = 0
        self.failures: list[dict] = []
        self.changed: list[dict] = []  # still being written: no verdict, no fault
        self.signatures: dict[str, int] | None = None  # by state, with --verify
        self.bad_signatures: list[dict] = []

    def add(self, row: dict) -> None:
        self.files += 1
        self.bytes += row["size"] or 0
        state = row.get("signature")
        if self.signatures is not None and state is not None:
            self.signatures[state] = self.signatures.get(state, 0) + 1
            if state in ("invalid", "not a C2PA store"):
                self.bad_signatures.append(row)
        if crawl.changed_while_read(row):
            self.changed.append(row)
        elif row["error"] is not None:
            self.failures.append(row)
        elif row["manifest_size"] is None:
            self.without_manifest += 1
        else:
            self.with_manifest += 1

    def table(self) -> list[str]:
        well_formed = self.with_manifest + self.without_manifest
        cells = [
            ("files", f"{self.files:,}"),
            ("bytes", f"{self.bytes:,} ({_binary_size(self.bytes)})"),
            ("well-formed", f"{well_formed:,}"),
            ("  with a manifest store", f"{self.with_manifest:,}"),
            ("  without", f"{self.without_manifest:,}"),
            ("changed while read", f"{len(self.changed):,}"),
            ("failed", f"{len(self.failures):,}"),
        ]
        if self.signatures is not None:
            for state in ("valid", "invalid", "unsigned", "not a C2PA store"):
                cells.append((f"signature {state}", f"{self.signatures.get(state, 0):,}"))
        label = max(len(name) for name, _ in cells)
        value = max(len(text.split(" ")[0]) for _, text in cells)
        lines = []
        for name, text in cells:
            number, _, rest = text.partition(" ")
            lines.append(f"{name.ljust(label)}  {number.rjust(value)} {rest}".rstrip())
        for row in self.changed[:_FAILURES_SHOWN]:
            lines.append(f"changed while read: {shown(row['path'])}")
        for row in self.failures[:_FAILURES_SHOWN]:
            lines.append(f"failed: {shown(row['path'])}: {printable(row['error'])}")
        for row in self.bad_signatures[:_FAILURES_SHOWN]:
            why = printable(row["signature_error"] or row["signature"])
            lines.append(f"signature {row['signature']}: {shown(row['path'])}: {why}")
        hidden = max(0, len(self.changed) - _FAILURES_SHOWN) + max(
            0, len(self.failures) - _FAILURES_SHOWN
        )
        if hidden > 0:
            lines.append(f"... and {hidden:,} more; write every row with -o OUT")
        return lines


def _binary_size(size: int) -> str:
    amount = float(size)
    for unit in ("B", "KiB", "MiB", "GiB", "TiB"):
        if amount < 1024 or unit == "TiB":
            return f"{amount:.0f} {unit}" if unit == "B" else f"{amount:.1f} {unit}"
        amount /= 1024
    raise AssertionError("unreachable")


class Progress:
    """A progress bar on standard error when it is a terminal: files and bytes
    done, rate and time left."""

    def __init__(self, targets: list[crawl.Target]) -> None:
        self._files = len(targets)
        self._done = 0
        self._bar = bar(
            sum(target.size or 0 for target in targets),
            "auditing",
            postfix=f"0/{self._files} files",
        )

    def add(self, target: crawl.Target) -> None:
        if self._bar is not None:
            self._done += 1
            self._bar.set_postfix_str(f"{self._done:,}/{self._files:,} files", refresh=False)
            self._bar.update(target.size or 0)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()


def run_audit(args) -> int:
    chosen_inflater()  # an unknown or missing QUILLMARK_INFLATER fails here, once
    output = args.output
    to_stdout = output in (None, STANDARD_STREAM)
    format = args.format or (None if to_stdout else crawl.format_of(output)) or crawl.JSONL
    # On a terminal, without an asked-for format or output, the table alone.
    rows_wanted = not (to_stdout and args.format is None and is_terminal(sys.stdout))
    if rows_wanted and to_stdout and format == crawl.PARQUET and is_terminal(sys.stdout):
        raise CliError("not writing Parquet to a terminal; redirect the output or use -o OUT")
    if format == crawl.PARQUET:
        try:
            crawl.arrow_schema()
        except crawl.ParquetUnavailable as exc:
            raise CliError(str(exc)) from None

    verifying = _verifying(args)
    targets = list(crawl.find_archives(_paths(args.paths)))
    if not targets:
        raise CliError("no archive files (.warc, .warc.gz) found")
    tally = Tally()
    verify = verifying is not None
    if verify:
        tally.signatures = {}

    def audit(writer: crawl.ReportWriter | None) -> int | None:
        return _audit(targets, args.jobs, tally, writer, verifying)

    if not rows_wanted:
        stopped = audit(None)
    elif to_stdout:
        sys.stdout.flush()
        stopped = audit(crawl.ReportWriter(sys.stdout.buffer, format, verify))
    else:
        try:
            with archive.open_output(output) as out, open(out.fd, "wb", closefd=False) as stream:
                stopped = audit(crawl.ReportWriter(stream, format, verify))
        except OSError as exc:
            if exc.filename is None:
                raise CliError(f"{shown(output)}: {exc.strerror or exc}") from None
            raise
    if is_terminal(sys.stdout) and not (rows_wanted and to_stdout):
        print("\n".join(tally.table()), flush=True)
    if stopped is not None:
        report(
            f"{_STOPPED.get(stopped, 'stopped')}; {tally.finished:,} of {len(targets):,} files done"
        )
        return 128 + stopped
    return EXIT_FAILED if tally.failures or tally.changed or tally.bad_signatures else 0


def _verifying(args) -> crawl.Verifying | None:
    """With --verify (or --trust-anchors), what the rows are verified
    against, once the SDK is known to be there."""
    if not (args.verify or args.trust_anchors):
        return None
    from quillmark_files.provenance import SdkError, SdkUnavailable, ready_to_verify

    anchors = None
    if args.trust_anchors is not None:
        try:
            with open(args.trust_anchors, encoding="utf-8") as stream:
                anchors = stream.read()
        except (OSError, UnicodeDecodeError) as exc:
            raise CliError(
                f"{shown(args.trust_anchors)}: {getattr(exc, 'strerror', exc)}"
            ) from None
    try:
        ready_to_verify(anchors)
    except (SdkError, SdkUnavailable) as exc:
        raise CliError(str(exc)) from None
    return crawl.Verifying(anchors)


def _audit(
    targets: list[crawl.Target],
    jobs: int,
    tally: Tally,
    writer: crawl.ReportWriter | None,
    verifying: crawl.Verifying | None = None,
) -> int | None:
    progress = Progress(targets)

    def take(row: dict) -> None:
        if writer is not None:
            writer.write(row)
        tally.add(row)

    def done(target: crawl.Target) -> None:
        tally.finished += 1
        progress.add(target)

    try:
        return crawl.audit_all(targets, take, jobs=jobs, on_done=done, verifying=verifying)
    finally:
        progress.close()
        if writer is not None:
            writer.close()
