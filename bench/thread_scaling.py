"""How a pass over one `.warc.gz` scales with threads, and what limits it.

    python -m bench.thread_scaling [--threads 1 2] [--rounds 3] [--write]

A pass on several threads cuts the file into parts; worker threads find each
part's first member, inflate and frame the part; the caller's thread joins
the parts in file order (replaying what each found into the command's sink,
and writing the output of an append). Each case runs `quillmark_files` in a
process of its own and measures the work of the two sides apart: the
caller's thread by its own processor time (`time.thread_time`), the workers
as the rest of the process's. The parts' costs tell how far more cores go:
the workers' work divides among them by whole parts, the join's does not, so
on N cores a pass takes about max(join, ceil(parts / N) x workers per part)
of wall time (Amdahl's law, with the parts as the grain), and never less than
the join alone. Times are taken inside the process: the interpreter's start
(some 30 ms) comes on top.
"""

from __future__ import annotations

import argparse
import json
import math
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path

from bench.native_inputs import DATA_DIR
from bench.processes import ROOT

# Parts a pass cuts a file into (see src/record/file/parallel_scan.cpp).
PART_MIB = {"check": 16, "records": 4, "append": 16}
PROJECTED = (4, 8, 16)

CHILD = r"""
import json, resource, sys, time
import quillmark_files
command, path, threads, store, out = sys.argv[1:6]
threads = int(threads)
start_cpu = resource.getrusage(resource.RUSAGE_SELF)
start_main = time.thread_time()
start = time.perf_counter()
if command == "check":
    quillmark_files.check(path, threads=threads)
elif command == "records":
    for _ in quillmark_files.iter_records(path, threads=threads):
        pass
else:
    with open(store, "rb") as stream:
        quillmark_files.append_manifest(path, stream.read(), out, threads=threads)
wall = time.perf_counter() - start
main = time.thread_time() - start_main
end_cpu = resource.getrusage(resource.RUSAGE_SELF)
cpu = (end_cpu.ru_utime - start_cpu.ru_utime) + (end_cpu.ru_stime - start_cpu.ru_stime)
print(json.dumps({"wall": wall, "cpu": cpu, "main": main}))
"""


@dataclass
class Figures:
    wall: float
    cpu: float
    main: float  # the caller's thread: the join

    @property
    def workers(self) -> float:
        return max(self.cpu - self.main, 0.0)


def measure(command: str, path: Path, threads: int, store: Path, out: Path) -> Figures:
    done = subprocess.run(
        [sys.executable, "-c", CHILD, command, str(path), str(threads), str(store), str(out)],
        check=True,
        capture_output=True,
        text=True,
        cwd=ROOT,
    )
    return Figures(**json.loads(done.stdout))


def best(runs: list[Figures]) -> Figures:
    return Figures(
        wall=min(r.wall for r in runs), cpu=min(r.cpu for r in runs), main=min(r.main for r in runs)
    )


def table(path: Path, results: dict[tuple[str, int], Figures], threads: list[int]) -> str:
    size_mib = path.stat().st_size / (1 << 20)
    head = [
        "| command | threads | wall s | CPU s | join s | workers s | parts | per part: workers ms,"
        " join ms | speed-up | projected wall s on " + ", ".join(map(str, PROJECTED)) + " cores |",
        "|---|---:|---:|---:|---:|---:|---:|---|---:|---|",
    ]
    lines = []
    for command in PART_MIB:
        one = results.get((command, 1))
        for count in threads:
            figures = results[(command, count)]
            parts = math.ceil(size_mib / PART_MIB[command]) if count > 1 else 1
            per_part = (
                f"{1000 * figures.workers / parts:.1f}, {1000 * figures.main / parts:.2f}"
                if count > 1
                else "–"
            )
            speedup = f"{one.wall / figures.wall:.2f}" if one else "–"
            projected = (
                ", ".join(
                    f"{max(figures.main, math.ceil(parts / n) * figures.workers / parts):.3f}"
                    for n in PROJECTED
                )
                if count > 1
                else "–"
            )
            lines.append(
                f"| {command} | {count} | {figures.wall:.3f} | {figures.cpu:.3f} | "
                f"{figures.main:.3f} | {figures.workers:.3f} | {parts} | {per_part} | "
                f"{speedup} | {projected} |"
            )
    return "\n".join(head + lines)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data-dir", type=Path, default=DATA_DIR)
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--write", action="store_true", help="write the table into BENCHMARKS.md")
    args = parser.parse_args(argv)
    path = args.data_dir / "native-full" / "crawl.warc.gz"
    store = args.data_dir / "native-full" / "stream-manifest.c2pa"
    runs: dict[tuple[str, int], list[Figures]] = {}
    with tempfile.TemporaryDirectory(dir=path.parent) as folder:
        out = Path(folder) / "out.warc.gz"
        for _ in range(args.rounds):  # in turns, so that the cases meet the same load
            for command in PART_MIB:
                for count in args.threads:
                    figures = measure(command, path, count, store, out)
                    runs.setdefault((command, count), []).append(figures)
    text = table(path, {key: best(value) for key, value in runs.items()}, args.threads)
    print(text)
    if args.write:
        write(text, args)
    return 0


def write(text: str, args: argparse.Namespace) -> None:
    target = ROOT / "BENCHMARKS.md"
    begin, end = "<!-- thread-scaling:begin -->", "<!-- thread-scaling:end -->"
    document = target.read_text()
    command = "python -m bench.thread_scaling " + " ".join(
        ["--threads", *map(str, args.threads), "--rounds", str(args.rounds), "--write"]
    )
    block = f"{begin}\n\nCommand: `{command}`\n\n{text}\n\n{end}"
    if begin in document:
        head, rest = document.split(begin, 1)
        document = head + block + rest.split(end, 1)[1]
    else:
        document = document.rstrip("\n") + "\n\n" + block + "\n"
    target.write_text(document)


if __name__ == "__main__":
    sys.exit(main())
