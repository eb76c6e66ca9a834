"""The `quillmark` command on one large crawl archive, plain and gzip, each case a process.

    python -m bench.streaming                    # the 4 GiB input
    python -m bench.streaming --size-mib 64      # a small one, to try the harness
    python -m bench.streaming --write            # also write the table into BENCHMARKS.md

Every command runs once per input form (plain, one gzip member per record,
one single member) and, on the compressed forms, once per inflater of the
build (QUILLMARK_INFLATER=libdeflate, isal or zlib), against floors measured
in the same turns: on a compressed form the floor of its own library (that
library inflating the file once, bench/inflaters.py) and the floor of the
file (the faster of libdeflate-gunzip and igzip); on the plain form one read
of it, and `cp`. Peers: `warcio index`, `warcio recompress` and the tool
before it streamed files (bench/old_tool.py). Ratios are processor times
over the floor's; wall times are listed too.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import random
import shlex
import shutil
import sys
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

from bench import inflaters, old_tool, streaming_inputs
from bench.processes import MIB, Case, Run, take_turns, warm
from bench.report import write_section

DATA_DIR = streaming_inputs.DATA_DIR
MEMORY_LIMIT = 256 * MIB
MANIFEST_SIZE = 64 * 1024
RECORD_ID = "urn:uuid:2b8f0c55-9d1e-4c7a-8e42-6b1d0a9f3e17"
DISTRIBUTIONS = ("quillmark", "warcio")
# What a case is to the others of its form.
FLOOR, COPY, TOOL, PEER = "floor", "copy", "tool", "peer"


@dataclass
class Row:
    """A planned case and what it is measured against."""

    case: Case
    form: str
    role: str
    command: str = ""  # a tool row's command, a floor's or a copy's label
    library: str = ""  # a floor's library; a tool row's inflater on a compressed form
    overall: bool = False  # a floor that may be the file's floor


def quillmark_command() -> list[str]:
    script = Path(sys.executable).with_name("quillmark")
    return [str(script)] if script.exists() else [sys.executable, "-m", "quillmark_cli"]


def manifest_file(data_dir: Path) -> Path:
    path = data_dir / "stream-manifest.c2pa"
    body = random.Random("stream-manifest").randbytes(MANIFEST_SIZE)
    if not path.exists() or path.read_bytes() != body:
        path.write_bytes(body)
    return path


def _remove(*paths: Path):
    def remove() -> None:
        for path in paths:
            path.unlink(missing_ok=True)

    return remove


def fresh_copy(source: Path, target: Path):
    """A copy of `source` whose pages are cached as a read brings them in.

    Pages of a file just written cost two to four times more to copy than
    pages a read brought in (cp of a 4 GiB copy: 10 s of system time against
    4.5 s), and every other case reads an input a read has cached.
    """

    def copy() -> None:
        shutil.copyfile(source, target)
        fd = os.open(target, os.O_RDONLY)
        try:
            os.fdatasync(fd)
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        finally:
            os.close(fd)
        warm([target])

    return copy


def _output_size_near(output: Path, source: Path, low: float = 0.8, high: float = 1.25):
    """A written archive must be about as large as its input (the manifests are small)."""

    def verify(run: Run) -> str | None:
        if not output.exists():
            return f"{output.name} was not written"
        ratio = output.stat().st_size / source.stat().st_size
        if not low <= ratio <= high:
            return f"{output.name} is {ratio:.2f} times the size of its input"
        return None

    return verify


def _manifest_is(output: Path, sha256: str):
    def verify(run: Run) -> str | None:
        if not output.exists():
            return f"{output.name} was not written"
        if hashlib.sha256(output.read_bytes()).hexdigest() != sha256:
            return f"{output.name} is not the archive's manifest store"
        return None

    return verify


def _printed(output: Path, number: int):
    """The baseline prints how many bytes it read: all of them, uncompressed."""

    def verify(run: Run) -> str | None:
        printed = output.read_text().strip()
        return None if printed == str(number) else f"read {printed} bytes, not {number}"

    return verify


@dataclass(frozen=True)
class Command:
    """One command of the tool on one form: its arguments and its untimed steps."""

    label: str
    args: list[str]
    prepare: Callable[[], None] | None = None
    verify: Callable[[Run], str | None] | None = None
    cleanup: Callable[[], None] | None = None


def _commands(
    path: Path, store: Path, out: Path, copy: Path, store_out: Path, stamp: dict, in_place: bool
) -> list[Command]:
    found = [
        Command("check", ["check", str(path)]),
        Command("manifest", ["manifest", str(path), "-o", str(store_out)],
                verify=_manifest_is(store_out, stamp["manifest"]["sha256"]),
                cleanup=_remove(store_out)),
        Command("records", ["records", "--json", str(path)]),
        Command("append",
                ["append", str(path), str(store), "-o", str(out), "--record-id", RECORD_ID],
                verify=_output_size_near(out, path), cleanup=_remove(out)),
    ]  # fmt: skip
    if in_place:
        found.append(
            Command("append in place", ["append", str(copy), str(store), "--record-id", RECORD_ID],
                    fresh_copy(path, copy), _output_size_near(copy, path), _remove(copy))
        )  # fmt: skip
    return found


def _floors(form: str, path: Path, out_dir: Path, stamp: dict, names: list[str]) -> list[Row]:
    """The compressed form's floors: each measured library's, and the file's."""
    read = out_dir / "read.txt"
    rows = []
    for floor in inflaters.floors_for(names):
        case = Case(
            form, floor.label, inflaters.argv(floor, path),
            stdout=read if floor.in_python else None,
            verify=_printed(read, stamp["uncompressed"]) if floor.in_python else None,
            unavailable=inflaters.missing(floor),
        )  # fmt: skip
        rows.append(Row(case, form, FLOOR, floor.label, floor.library, floor.overall))
    return rows


def _plain_floors(path: Path, out: Path, copy: Path, out_dir: Path, stamp: dict, in_place: bool):
    read = out_dir / "read.txt"
    py = sys.executable
    cases = [
        (FLOOR, Case("plain", "floor: read", [py, "-m", "bench.inflate_once", "read", str(path)],
                     stdout=read, verify=_printed(read, stamp["uncompressed"]))),
        (COPY, Case("plain", "cp", ["cp", str(path), str(out)],
                    verify=_output_size_near(out, path, 1, 1), cleanup=_remove(out))),
    ]  # fmt: skip
    if in_place:
        # Like with like for the in-place append: the same fresh copy as its input.
        cases.append(
            (COPY, Case("plain", "cp of the copy", ["cp", str(copy), str(out)],
                        prepare=fresh_copy(path, copy), verify=_output_size_near(out, path, 1, 1),
                        cleanup=_remove(out, copy)))
        )  # fmt: skip
    return [Row(case, "plain", role, case.label, overall=role == FLOOR) for role, case in cases]


def _peers(form: str, path: Path, out: Path, out_dir: Path, store: Path, data_dir: Path,
           peers: bool, old: bool) -> list[Row]:  # fmt: skip
    py = sys.executable
    warcio = shutil.which("warcio", path=str(Path(py).parent))
    missing = "" if warcio else "warcio is not installed"
    recompressed = out_dir / "recompressed.warc.gz"
    cases = []
    if peers:
        cases += [
            Case(form, "warcio index", [warcio or "warcio", "index", str(path)],
                 unavailable=missing),
            Case(form, "warcio recompress", [warcio or "warcio", "recompress", str(path),
                 str(recompressed)], once=True, unavailable=missing,
                 cleanup=_remove(recompressed)),
        ]  # fmt: skip
    if old:
        cases.append(
            Case(form, "tool before streaming: append",
                 [py, "-m", "quillmark_cli", "append", str(path), str(store), "-o", str(out),
                  "--record-id", RECORD_ID],
                 {"PYTHONPATH": str(old_tool.ensure(data_dir=data_dir))}, once=True,
                 verify=_output_size_near(out, path), cleanup=_remove(out))
        )  # fmt: skip
    # warcio and the tool before inflate with Python's zlib.
    return [Row(case, form, PEER, case.label, "" if form == "plain" else "zlib") for case in cases]


def plan(
    stamp: dict,
    data_dir: Path,
    names: list[str],
    built: list[str],
    forms: list[str],
    *,
    in_place: bool,
    peers: bool,
    old_forms: list[str],
) -> list[Row]:
    """Every case, one group per form; `names` the inflaters to run, `built` the build's."""
    files = streaming_inputs.paths(stamp["stamp"]["size_mib"], data_dir)
    store = manifest_file(data_dir)
    out_dir = data_dir / "out"
    out_dir.mkdir(parents=True, exist_ok=True)
    qm = quillmark_command()
    rows: list[Row] = []
    for form in forms:
        path = files[form]
        suffix = ".warc" if form == "plain" else ".warc.gz"
        out = out_dir / f"out{suffix}"
        copy = out_dir / f"in-place{suffix}"
        store_out = out_dir / "manifest.c2pa"
        if form == "plain":
            rows += _plain_floors(path, out, copy, out_dir, stamp, in_place)
        else:
            rows += _floors(form, path, out_dir, stamp, names)
        commands = _commands(path, store, out, copy, store_out, stamp, in_place)
        for name in [""] if form == "plain" else names:
            for command in commands:
                case = Case(
                    form, f"{command.label} ({name})" if name else command.label,
                    [*qm, *command.args], {inflaters.ENVIRONMENT: name} if name else None,
                    prepare=command.prepare, verify=command.verify, cleanup=command.cleanup,
                    unavailable=inflaters.unavailable(name, built) if name else "",
                )  # fmt: skip
                rows.append(Row(case, form, TOOL, command.label, name))
        rows += _peers(form, path, out, out_dir, store, data_dir, peers, form in old_forms)
    return rows


# The table --------------------------------------------------------------------------------------


def _least(rows: list[Row], form: str, keep) -> Case | None:
    done = [r.case for r in rows if r.form == form and keep(r) and r.case.done]
    return min(done, key=lambda c: c.cpu) if done else None


def floor_of(rows: list[Row], form: str) -> Case | None:
    """The file's floor: on the plain form one read, else the faster of the fastest inflaters."""
    return _least(rows, form, lambda r: r.role == FLOOR and r.overall)


def baseline(rows: list[Row], row: Row) -> Case | None:
    """What the row is measured against: its library's floor, or `cp` for a plain append."""
    if row.role in (FLOOR, COPY):
        return None
    if row.form == "plain":
        if row.command.startswith("append") or row.command.startswith("tool before"):
            label = "cp of the copy" if row.command.endswith("in place") else "cp"
            return _least(rows, "plain", lambda r: r.role == COPY and r.command == label)
        return floor_of(rows, "plain")
    return _least(rows, row.form, lambda r: r.role == FLOOR and r.library == row.library)


def _ratio(case: Case, base: Case | None, attribute: str) -> float | None:
    if base is None or not case.done or not base.done:
        return None
    return getattr(case, attribute) / getattr(base, attribute)


def _cell(value: float | None) -> str:
    return "–" if value is None else f"{value:.2f}"


def targets(row: Row, ratio: float | None, old: Case | None) -> list[tuple[str, bool]]:
    """The issue's targets that apply to this row, judged on processor time."""
    case, form, command = row.case, row.form, row.command
    found = [("≤256 MiB", case.peak_rss <= MEMORY_LIMIT)]
    if ratio is not None:
        if command in ("manifest", "check"):
            found.append(("≤1.2× floor", ratio <= 1.2))
        if command.startswith("append") and form == "members":
            found.append(("≤1.3× floor", ratio <= 1.3))
        if command.startswith("append") and form == "plain":
            found.append(("≤1.5× cp", ratio <= 1.5))
    if command == "append" and form == "members" and old is not None and old.done:
        found.append(("≥10× tool before", old.cpu / case.cpu >= 10))
    return found


def _tool_before(rows: list[Row], form: str) -> Case | None:
    return next((r.case for r in rows if r.form == form and r.command.startswith("tool be")), None)


def render(rows: list[Row], stamp: dict) -> str:
    sizes = stamp["sizes"]
    size_mib = stamp["stamp"]["size_mib"]
    legend = [
        f"Input: one crawl of {stamp['records']:,} records, {stamp['uncompressed'] / MIB:,.0f} MiB "
        f"uncompressed, manifest store of {stamp['manifest']['size']:,} bytes last; "
        + "; ".join(f"{form} {sizes[form] / MIB:,.0f} MiB" for form in sizes)
        + f" ({stamp['stamp']['compressor']}).",
    ]
    if size_mib != streaming_inputs.FULL_SIZE_MIB:
        legend.append(
            f"A small input ({size_mib} MiB, not {streaming_inputs.FULL_SIZE_MIB}): a check of "
            "the harness, not a measurement of the targets."
        )
    lines = [
        "| input | inflater | case | wall s | CPU s | peak MiB | against | ÷ it CPU | ÷ it wall "
        "| ÷ floor CPU | targets |",
        "|---|---|---|---:|---:|---:|---|---:|---:|---:|---|",
    ]
    missed = checked = 0
    for row in rows:
        case = row.case
        shown = row.library or "–"
        if case.state():
            lines.append(f"| {row.form} | {shown} | {case.label} | {case.state()} |" + "  |" * 7)
            continue
        base = baseline(rows, row)
        floor = floor_of(rows, row.form)
        ratio = _ratio(case, base, "cpu")
        found: list[tuple[str, bool]] = []
        if row.role == TOOL:
            found = targets(row, ratio, _tool_before(rows, row.form))
        missed += sum(not ok for _, ok in found)
        checked += len(found)
        label = case.label + (" (the floor)" if case is floor else "")
        cells = [
            row.form,
            shown,
            label + (" (1 run)" if case.once else ""),
            f"{case.wall:.3f}",
            f"{case.cpu:.3f}",
            f"{case.peak_rss / MIB:,.0f}",
            base.label.removeprefix("floor: ") if base else "–",
            _cell(ratio),
            _cell(_ratio(case, base, "wall")),
            _cell(_ratio(case, floor, "cpu")) if case is not floor else "–",
            ", ".join(f"{label} {'met' if ok else 'MISSED'}" for label, ok in found) or "–",
        ]
        lines.append("| " + " | ".join(cells) + " |")
    if not checked:
        summary = "No target could be checked: no `quillmark` command ran."
    else:
        summary = f"{missed} target(s) missed." if missed else "Every target checked here is met."
    return "\n".join([*legend, "", *lines, "", summary])


def _with_earlier_runs(ran: list[Row], earlier: Path, every: list[Row]) -> list[Row]:
    """Every row of a full run, in its order: those just run, the others as saved."""
    saved = {(c["group"], c["label"]): c for c in json.loads(earlier.read_text())}
    fresh = {(r.case.group, r.case.label): r for r in ran}
    rows = []
    for row in every:
        key = (row.case.group, row.case.label)
        if key in fresh:
            rows.append(fresh[key])
        elif key in saved:
            row.case.runs = [Run(**run) for run in saved[key]["runs"]]
            row.case.failure = saved[key]["failure"]
            rows.append(row)
    return rows


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mib", type=int, default=streaming_inputs.FULL_SIZE_MIB)
    parser.add_argument("--data-dir", type=Path, default=DATA_DIR)
    parser.add_argument(
        "--inflaters", nargs="+", choices=inflaters.LIBRARIES,
        help="default: every one of the build (quillmark_files.available_inflaters())",
    )  # fmt: skip
    parser.add_argument(
        "--forms",
        nargs="+",
        choices=list(streaming_inputs.FORMS),
        default=list(streaming_inputs.FORMS),
    )
    parser.add_argument("--repeat", type=int, default=3, help="runs of each case, taking turns")
    parser.add_argument("--no-in-place", action="store_true", help="skip append in place")
    parser.add_argument("--no-peers", action="store_true", help="skip warcio")
    parser.add_argument(
        "--old-tool-on",
        nargs="*",
        choices=list(streaming_inputs.FORMS),
        default=["members"],
        help="forms to run the tool before streaming on, once each (default: members)",
    )
    parser.add_argument(
        "--only",
        nargs="+",
        metavar="LABEL",
        help="only the cases whose label starts with one of these (e.g. floor warcio)",
    )
    parser.add_argument(
        "--reuse",
        type=Path,
        metavar="JSON",
        help="an earlier run's --json file: every case left out by the options above "
        "is shown with its runs from there (a form is best rerun whole)",
    )
    parser.add_argument("--write", action="store_true", help="write the table into BENCHMARKS.md")
    parser.add_argument("--json", type=Path, help="also save every run's figures here")
    args = parser.parse_args(argv)

    stamp = streaming_inputs.ensure(args.size_mib, args.data_dir)
    built = inflaters.available()
    names = args.inflaters or built
    rows = plan(
        stamp,
        args.data_dir,
        names,
        built,
        args.forms,
        in_place=not args.no_in_place,
        peers=not args.no_peers,
        old_forms=args.old_tool_on,
    )
    if args.only:
        rows = [r for r in rows if r.case.label.startswith(tuple(args.only))]
    files = streaming_inputs.paths(args.size_mib, args.data_dir)
    inflaters.check_programs(
        {files[form]: stamp["uncompressed"] for form in args.forms if form != "plain"},
        inflaters.floors_for(names),
    )
    take_turns([r.case for r in rows], args.repeat, lambda form: warm([files[form]]))
    if args.reuse:
        every = plan(
            stamp, args.data_dir, names, built, list(streaming_inputs.FORMS),
            in_place=True, peers=True, old_forms=["members"],
        )  # fmt: skip
        rows = _with_earlier_runs(rows, args.reuse, every)
    text = render(rows, stamp)
    print(text)
    if args.json:
        args.json.write_text(
            json.dumps(
                [
                    {
                        "group": r.case.group,
                        "label": r.case.label,
                        "failure": r.case.failure,
                        "runs": [run.__dict__ for run in r.case.runs],
                    }
                    for r in rows
                ],
                indent=1,
            )
        )
    if args.write:
        write_section(
            "streaming", text, shlex.join(["python", "-m", "bench.streaming", *argv]), DISTRIBUTIONS
        )
    # A peer may refuse an input (warcio a single-member .warc.gz): its row says so.
    ours = [r.case for r in rows if r.role != PEER]
    return 0 if all(c.done or c.unavailable for c in ours) else 1


if __name__ == "__main__":
    sys.exit(main())
