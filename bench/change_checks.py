"""What telling a file that changed while it was read costs: `check`, `append -o`
and `append` in place of the crawl-shaped file, by this build and by one from
before the checks, in turns.

    python -m bench.change_checks --before PYTHON            # the full crawl-shaped file
    python -m bench.change_checks --before PYTHON --quick    # the small one
    python -m bench.change_checks --before PYTHON --instructions   # also count instructions
    python -m bench.change_checks --before PYTHON --write    # also the table into BENCHMARKS.md

PYTHON is an interpreter whose quillmark is the build to compare with: one
made from the commit before the checks, in a virtual environment of its own.
Every case is `PYTHON -m quillmark_cli ...`, a process of its own
(bench/processes.py); the two builds' cases of one command take turns, round
after round, so that both meet the same load on a shared machine, and per
case the best processor and wall time count. The input is the crawl-shaped
`.warc.gz` of bench/native_inputs.py (`--input` names another); an in-place
append works on a copy made before each run, untimed. The checks are a few
fstat calls per command, and in place a lock and one stat: the ratios should
stay within the noise, which on a shared machine is more than 1%; with
--instructions, each case also runs once under callgrind, on one thread, for
a count that no other work moves.
"""

from __future__ import annotations

import argparse
import re
import shutil
import subprocess
import sys
from pathlib import Path

from bench import native_inputs
from bench.processes import MIB, Case, Run, last_error, take_turns, warm
from bench.report import write_section

STORE = b"\x00quillmark change-checks store" * 1000
BUILDS = ("before", "after")


def _written(output: Path, source: Path):
    def verify(run: Run) -> str | None:
        if not output.exists():
            return f"{output.name} was not written"
        ratio = output.stat().st_size / source.stat().st_size
        return None if 0.99 < ratio < 1.01 else f"{output.name} is {ratio:.3f} of its input"

    return verify


def cases(before: str, crawl: Path, work: Path) -> list[Case]:
    store, out, copy = work / "store.c2pa", work / "out.warc.gz", work / "in-place.warc.gz"
    store.write_bytes(STORE)
    pythons = {"before": before, "after": sys.executable}
    planned = []
    for build in BUILDS:
        tool = [pythons[build], "-m", "quillmark_cli"]
        planned.append(Case("check", build, [*tool, "check", str(crawl)]))
    for build in BUILDS:
        tool = [pythons[build], "-m", "quillmark_cli"]
        planned.append(
            Case(
                "append -o",
                build,
                [*tool, "append", str(crawl), str(store), "-o", str(out)],
                verify=_written(out, crawl),
                cleanup=lambda: out.unlink(missing_ok=True),
            )
        )
    for build in BUILDS:
        tool = [pythons[build], "-m", "quillmark_cli"]
        planned.append(
            Case(
                "append in place",
                build,
                [*tool, "append", str(copy), str(store)],
                prepare=lambda: shutil.copyfile(crawl, copy),
                verify=_written(copy, crawl),
                cleanup=lambda: copy.unlink(missing_ok=True),
            )
        )
    return planned


def table(ran: list[Case], crawl: Path, rounds: int) -> str:
    lines = [
        f"{crawl.name}, {crawl.stat().st_size / MIB:,.0f} MiB; best of {rounds} rounds in turns.",
        "",
        "| command | before: CPU s | wall s | after: CPU s | wall s | CPU ratio | wall ratio |",
        "|---|---:|---:|---:|---:|---:|---:|",
    ]
    for group in dict.fromkeys(case.group for case in ran):
        old, new = (next(c for c in ran if c.group == group and c.label == b) for b in BUILDS)
        if not (old.done and new.done):
            lines.append(f"| `{group}` | {old.state() or new.state()} | | | | | |")
            continue
        lines.append(
            f"| `{group}` | {old.cpu:.3f} | {old.wall:.3f} | {new.cpu:.3f} | {new.wall:.3f} "
            f"| {new.cpu / old.cpu:.3f} | {new.wall / old.wall:.3f} |"
        )
    return "\n".join(lines)


def instructions(case: Case) -> int:
    """The instructions the case's process runs on one thread, counted by
    callgrind: unlike time, a count that no other work on the machine moves."""
    argv = ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", *case.argv]
    if case.prepare:
        case.prepare()
    try:
        done = subprocess.run(
            [*argv, "--threads", "1"], capture_output=True, text=True, stdin=subprocess.DEVNULL
        )
    finally:
        if case.cleanup:
            case.cleanup()
    found = re.search(r"Collected : (\d+)", done.stderr)
    if done.returncode != 0 or found is None:
        raise SystemExit(f"{case.group}, {case.label}, under callgrind: {last_error(done.stderr)}")
    return int(found.group(1))


def instructions_table(planned: list[Case]) -> str:
    lines = [
        "Instructions, on one thread (`--threads 1`), counted by callgrind:",
        "",
        "| command | before | after | after − before | ratio |",
        "|---|---:|---:|---:|---:|",
    ]
    for group in dict.fromkeys(case.group for case in planned):
        old, new = (
            instructions(next(c for c in planned if c.group == group and c.label == build))
            for build in BUILDS
        )
        lines.append(f"| `{group}` | {old:,} | {new:,} | {new - old:+,} | {new / old:.5f} |")
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--before", required=True, metavar="PYTHON")
    parser.add_argument("--quick", action="store_true", help="the small crawl-shaped file")
    parser.add_argument("--input", type=Path, help="the .warc.gz to read")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument(
        "--instructions", action="store_true", help="also count instructions (valgrind)"
    )
    parser.add_argument("--write", action="store_true")
    args = parser.parse_args(argv)
    scale = "quick" if args.quick else "full"
    crawl = args.input or native_inputs.paths(scale)["crawl"]["gzip"]
    if not crawl.exists():
        raise SystemExit(f"{crawl} is missing: make it with python -m bench.native_inputs")
    work = native_inputs.DATA_DIR / "change-checks"
    work.mkdir(parents=True, exist_ok=True)
    planned = cases(args.before, crawl, work)
    print(f"{crawl}: {crawl.stat().st_size / MIB:,.0f} MiB", file=sys.stderr)
    take_turns(planned, args.rounds, before_group=lambda group: warm([crawl]))
    text = table(planned, crawl, args.rounds)
    if args.instructions:
        text += "\n\n" + instructions_table(planned)
    print(text)
    if args.write:
        command = f"python -m bench.change_checks --before PYTHON --rounds {args.rounds}"
        command += " --quick" if args.quick else ""
        command += " --instructions" if args.instructions else ""
        write_section("change-checks", text, command, ("quillmark",))
    return 0 if all(case.done for case in planned) else 1


if __name__ == "__main__":
    sys.exit(main())
