"""The `quillmark` command on one large crawl archive, plain and gzip, each case a process.

    python -m bench.streaming                    # the 4 GiB input
    python -m bench.streaming --size-mib 64      # a small one, to try the harness
    python -m bench.streaming --write            # also write the table into BENCHMARKS.md

Every command runs once per input form (plain, one gzip member per record,
one single member) and, on the compressed forms, once per installed inflater
(QUILLMARK_INFLATER=isal, zlib-ng or zlib), against baselines measured in the
same turns: one decompression of the file with the same inflater, one read of
the plain file, and `cp`. Peers: `warcio index`, `warcio recompress` and the
tool before it streamed files (bench/old_tool.py). Ratios are processor times
over the baseline's; wall times are listed too.
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
from pathlib import Path

from bench import old_tool, streaming_inputs
from bench.processes import MIB, Case, Run, take_turns, warm
from bench.report import write_section

DATA_DIR = streaming_inputs.DATA_DIR
INFLATERS = ("isal", "zlib-ng", "zlib")
INFLATER_MODULES = {"isal": "isal.igzip", "zlib-ng": "zlib_ng.gzip_ng", "zlib": "gzip"}
MEMORY_LIMIT = 256 * MIB
MANIFEST_SIZE = 64 * 1024
RECORD_ID = "urn:uuid:2b8f0c55-9d1e-4c7a-8e42-6b1d0a9f3e17"
DISTRIBUTIONS = ("quillmark", "warcio", "isal", "zlib-ng")


def installed_inflaters() -> list[str]:
    import importlib.util

    return [
        name for name in INFLATERS if importlib.util.find_spec(INFLATER_MODULES[name].split(".")[0])
    ]


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


def plan(
    stamp: dict,
    data_dir: Path,
    inflaters: list[str],
    forms: list[str],
    *,
    in_place: bool,
    peers: bool,
    old_forms: list[str],
) -> list[Case]:
    files = streaming_inputs.paths(stamp["stamp"]["size_mib"], data_dir)
    store = manifest_file(data_dir)
    out_dir = data_dir / "out"
    out_dir.mkdir(parents=True, exist_ok=True)
    qm = quillmark_command()
    py = sys.executable
    cases: list[Case] = []

    for form in forms:
        path = files[form]
        suffix = ".warc" if form == "plain" else ".warc.gz"
        out = out_dir / f"out{suffix}"
        copy = out_dir / f"in-place{suffix}"
        store_out = out_dir / "manifest.c2pa"
        for inflater in ["auto"] if form == "plain" else inflaters:
            group = f"{form} / {inflater}"
            env = {"QUILLMARK_INFLATER": inflater}
            how = "read" if form == "plain" else inflater
            cases.append(
                Case(
                    group,
                    "baseline: read" if how == "read" else "baseline: inflate",
                    [py, "-m", "bench.inflate_once", how, str(path)],
                    stdout=out_dir / "read.txt",
                    verify=_printed(out_dir / "read.txt", stamp["uncompressed"]),
                )
            )
            if form == "plain":
                cases.append(
                    Case(
                        group,
                        "baseline: cp",
                        ["cp", str(path), str(out)],
                        verify=_output_size_near(out, path, 1, 1),
                        cleanup=_remove(out),
                    )
                )
                if in_place:
                    # Like with like for the in-place append: the same fresh copy as its input.
                    cases.append(
                        Case(
                            group,
                            "baseline: cp of the copy",
                            ["cp", str(copy), str(out)],
                            prepare=fresh_copy(path, copy),
                            verify=_output_size_near(out, path, 1, 1),
                            cleanup=_remove(out, copy),
                        )
                    )
            cases += [
                Case(group, "check", [*qm, "check", str(path)], env),
                Case(
                    group,
                    "manifest",
                    [*qm, "manifest", str(path), "-o", str(store_out)],
                    env,
                    verify=_manifest_is(store_out, stamp["manifest"]["sha256"]),
                    cleanup=_remove(store_out),
                ),
                Case(group, "records", [*qm, "records", "--json", str(path)], env),
                Case(
                    group,
                    "append",
                    [
                        *qm,
                        "append",
                        str(path),
                        str(store),
                        "-o",
                        str(out),
                        "--record-id",
                        RECORD_ID,
                    ],
                    env,
                    verify=_output_size_near(out, path),
                    cleanup=_remove(out),
                ),
            ]
            if in_place:
                cases.append(
                    Case(
                        group,
                        "append in place",
                        [*qm, "append", str(copy), str(store), "--record-id", RECORD_ID],
                        env,
                        prepare=fresh_copy(path, copy),
                        verify=_output_size_near(copy, path),
                        cleanup=_remove(copy),
                    )
                )
        group = f"{form} / peers"
        warcio = shutil.which("warcio", path=str(Path(py).parent))
        if peers:
            cases += [
                Case(
                    group,
                    "warcio index",
                    [warcio or "warcio", "index", str(path)],
                    unavailable="" if warcio else "warcio is not installed",
                ),
                Case(
                    group,
                    "warcio recompress",
                    [
                        warcio or "warcio",
                        "recompress",
                        str(path),
                        str(out_dir / "recompressed.warc.gz"),
                    ],
                    once=True,
                    unavailable="" if warcio else "warcio is not installed",
                    cleanup=_remove(out_dir / "recompressed.warc.gz"),
                ),
            ]
        if form in old_forms:
            cases.append(
                Case(
                    group,
                    "tool before streaming: append",
                    [
                        py,
                        "-m",
                        "quillmark_cli",
                        "append",
                        str(path),
                        str(store),
                        "-o",
                        str(out),
                        "--record-id",
                        RECORD_ID,
                    ],
                    {"PYTHONPATH": str(old_tool.ensure(data_dir=data_dir))},
                    once=True,
                    verify=_output_size_near(out, path),
                    cleanup=_remove(out),
                )
            )
    return cases


def _baseline(cases: list[Case], form: str, inflater: str, command: str) -> Case | None:
    """The case that `command` on `form` under `inflater` is measured against."""
    if form == "plain":
        label = "baseline: read"
        if command.startswith("append"):
            label = "baseline: cp of the copy" if command.endswith("in place") else "baseline: cp"
        group = "plain / auto"
    else:
        label, group = "baseline: inflate", f"{form} / {inflater}"
    return next((c for c in cases if c.group == group and c.label == label), None)


def _ratio(case: Case, base: Case | None, attribute: str) -> float | None:
    if base is None or not case.done or not base.done:
        return None
    return getattr(case, attribute) / getattr(base, attribute)


def _cell(value: float | None) -> str:
    return "–" if value is None else f"{value:.2f}"


def targets(case: Case, form: str, ratio: float | None, old: Case | None) -> list[tuple[str, bool]]:
    """The issue's targets that apply to this row, judged on processor time."""
    found = [("≤256 MiB", case.peak_rss <= MEMORY_LIMIT)]
    command = case.label
    if ratio is not None:
        if command in ("manifest", "check"):
            found.append(("≤1.2× baseline", ratio <= 1.2))
        if command.startswith("append") and form == "members":
            found.append(("≤1.3× inflate", ratio <= 1.3))
        if command.startswith("append") and form == "plain":
            found.append(("≤1.5× cp", ratio <= 1.5))
    if command == "append" and form == "members" and old is not None and old.done:
        found.append(("≥10× tool before", old.cpu / case.cpu >= 10))
    return found


def render(cases: list[Case], stamp: dict) -> str:
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
    rows = [
        "| input | inflater | case | wall s | CPU s | peak MiB | baseline | ÷ baseline CPU "
        "| ÷ baseline wall | targets |",
        "|---|---|---|---:|---:|---:|---|---:|---:|---|",
    ]
    missed = checked = 0
    for case in cases:
        form, inflater = case.group.split(" / ")
        shown = "–" if inflater in ("auto", "peers") else inflater
        if case.state():
            rows.append(f"| {form} | {shown} | {case.label} | {case.state()} |  |  |  |  |  |  |")
            continue
        quillmark_row = not case.label.startswith(("baseline", "warcio", "tool before"))
        if case.label.startswith("baseline"):
            base = None
        elif quillmark_row:
            base = _baseline(cases, form, inflater, case.label)
        else:  # peers are compared with what the standard zlib does
            base = _baseline(cases, form, "zlib", case.label)
        ratio = _ratio(case, base, "cpu")
        found: list[tuple[str, bool]] = []
        if quillmark_row:
            old = next(
                (
                    c
                    for c in cases
                    if c.group == f"{form} / peers" and c.label.startswith("tool before")
                ),
                None,
            )
            found = targets(case, form, ratio, old)
        missed += sum(not ok for _, ok in found)
        checked += len(found)
        cells = [
            form,
            shown,
            case.label + (" (1 run)" if case.once else ""),
            f"{case.wall:.3f}",
            f"{case.cpu:.3f}",
            f"{case.peak_rss / MIB:,.0f}",
            base.label.removeprefix("baseline: ") if base else "–",
            _cell(ratio),
            _cell(_ratio(case, base, "wall")),
            ", ".join(f"{label} {'met' if ok else 'MISSED'}" for label, ok in found) or "–",
        ]
        rows.append("| " + " | ".join(cells) + " |")
    if not checked:
        summary = "No target could be checked: no `quillmark` command ran."
    else:
        summary = f"{missed} target(s) missed." if missed else "Every target checked here is met."
    return "\n".join([*legend, "", *rows, "", summary])


def _with_earlier_runs(
    ran: list[Case], earlier: Path, stamp: dict, data_dir: Path, inflaters: list[str]
) -> list[Case]:
    """Every case of a full run, in its order: those just run, the others as saved."""
    saved = {(c["group"], c["label"]): c for c in json.loads(earlier.read_text())}
    fresh = {(c.group, c.label): c for c in ran}
    every = plan(
        stamp,
        data_dir,
        inflaters,
        list(streaming_inputs.FORMS),
        in_place=True,
        peers=True,
        old_forms=["members"],
    )
    cases = []
    for case in every:
        key = (case.group, case.label)
        if key in fresh:
            cases.append(fresh[key])
        elif key in saved:
            case.runs = [Run(**run) for run in saved[key]["runs"]]
            case.failure = saved[key]["failure"]
            cases.append(case)
    return cases


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mib", type=int, default=streaming_inputs.FULL_SIZE_MIB)
    parser.add_argument("--data-dir", type=Path, default=DATA_DIR)
    parser.add_argument(
        "--inflaters", nargs="+", choices=INFLATERS, help="default: every one installed"
    )
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
        help="only the cases whose label starts with one of these (e.g. baseline warcio)",
    )
    parser.add_argument(
        "--reuse",
        type=Path,
        metavar="JSON",
        help="an earlier run's --json file: every case left out by the options above "
        "is shown with its runs from there (a form or group is best rerun whole)",
    )
    parser.add_argument("--write", action="store_true", help="write the table into BENCHMARKS.md")
    parser.add_argument("--json", type=Path, help="also save every run's figures here")
    args = parser.parse_args(argv)

    stamp = streaming_inputs.ensure(args.size_mib, args.data_dir)
    inflaters = args.inflaters or installed_inflaters()
    cases = plan(
        stamp,
        args.data_dir,
        inflaters,
        args.forms,
        in_place=not args.no_in_place,
        peers=not args.no_peers,
        old_forms=args.old_tool_on,
    )
    if args.only:
        cases = [c for c in cases if c.label.startswith(tuple(args.only))]
    files = streaming_inputs.paths(args.size_mib, args.data_dir)
    take_turns(cases, args.repeat, lambda group: warm([files[group.split(" / ")[0]]]))
    if args.reuse:
        cases = _with_earlier_runs(cases, args.reuse, stamp, args.data_dir, inflaters)
    text = render(cases, stamp)
    print(text)
    if args.json:
        args.json.write_text(
            json.dumps(
                [
                    {
                        "group": c.group,
                        "label": c.label,
                        "failure": c.failure,
                        "runs": [r.__dict__ for r in c.runs],
                    }
                    for c in cases
                ],
                indent=1,
            )
        )
    if args.write:
        write_section(
            "streaming", text, shlex.join(["python", "-m", "bench.streaming", *argv]), DISTRIBUTIONS
        )
    # A peer may refuse an input (warcio a single-member .warc.gz): its row says so.
    ours = [c for c in cases if not c.group.endswith(" / peers")]
    return 0 if all(c.done or c.unavailable for c in ours) else 1


if __name__ == "__main__":
    sys.exit(main())
