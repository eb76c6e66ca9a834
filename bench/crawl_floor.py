"""The least work an exact audit of a crawl must do: inflate every gzip file once.

    python -m bench.crawl_floor DIR --command libdeflate-gunzip --jobs 2
    python -m bench.crawl_floor DIR --command python-zlib

A verdict on a .warc.gz needs its whole uncompressed content, and nothing
reads deflate data faster than inflating it; a plain file can be judged by
its headers alone, so it costs nothing here. Each gzip file is inflated by
the floor program named (bench/inflaters.py: libdeflate-gunzip, igzip, pigz;
output thrown away), up to --jobs at once: the floor of an audit that runs
--jobs processes. `python-zlib` inflates them with Python's zlib instead, in
this process or in a pool of --jobs processes.
"""

from __future__ import annotations

import argparse
import subprocess
import sys
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

from bench import inflaters
from bench.audit_script import archives
from bench.inflate_once import inflate

FLOORS = {floor.name: floor for floor in inflaters.FLOORS}


def _gzipped(path: str) -> bool:
    with open(path, "rb") as probe:
        return probe.read(2) == b"\x1f\x8b"


def _inflated(path: str) -> bool:
    try:
        inflate(path)
    except Exception:  # damaged files end early (EOFError, zlib.error, OSError...)
        return False
    return True


def inflate_in_python(paths: list[str], jobs: int) -> int:
    """Inflates each file with Python's zlib, `jobs` processes at a time; how many failed."""
    if jobs == 1:
        return sum(not _inflated(path) for path in paths)
    with ProcessPoolExecutor(jobs) as pool:
        return sum(not ok for ok in pool.map(_inflated, paths))


def inflate_by_command(paths: list[str], command: list[str], jobs: int) -> int:
    """Runs the program once per file, `jobs` at a time; how many files it refused."""

    def one(path: str) -> int:
        return subprocess.run(
            [*command, path], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL
        ).returncode

    # Threads only wait here: the inflating is done by the programs, one process each.
    with ThreadPoolExecutor(jobs) as pool:
        return sum(status != 0 for status in pool.map(one, paths))


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("paths", nargs="+", metavar="PATH")
    parser.add_argument("--jobs", type=int, default=1, help="files at once")
    parser.add_argument("--command", required=True, choices=list(FLOORS), help="the inflater")
    args = parser.parse_args(argv)
    paths = [path for path in archives(args.paths) if _gzipped(path)]
    floor = FLOORS[args.command]
    if floor.in_python:
        refused = inflate_in_python(paths, args.jobs)
    else:
        if inflaters.missing(floor):
            raise SystemExit(inflaters.missing(floor))
        refused = inflate_by_command(paths, list(floor.argv), args.jobs)
    print(f"{len(paths)} files, {refused} refused")
    return 0


if __name__ == "__main__":
    sys.exit(main())
