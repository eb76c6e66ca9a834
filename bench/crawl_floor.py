"""The least work an exact audit of a crawl must do: inflate every gzip file once.

    python -m bench.crawl_floor DIR
    python -m bench.crawl_floor DIR --jobs 2 --command libdeflate-gunzip

A verdict on a .warc.gz needs its whole uncompressed content, and nothing
reads deflate data faster than inflating it; a plain file can be judged by
its headers alone, so it costs nothing here. By default the fastest installed
Python inflater (python-isal, else zlib-ng, else zlib) reads one file after
another. With --command, each file is inflated by that program (`igzip` or
`libdeflate-gunzip`, output thrown away), up to --jobs at once: the floor of
an audit that runs --jobs processes.
"""

from __future__ import annotations

import argparse
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

from bench.audit_script import archives
from bench.inflate_once import CHUNK, opener

COMMANDS = {"igzip": ["igzip", "-d", "-c"], "libdeflate-gunzip": ["libdeflate-gunzip", "-c"]}


def fastest():
    for how in ("isal", "zlib-ng", "zlib"):
        try:
            return opener(how)
        except ImportError:
            continue
    raise SystemExit("no inflater")


def _gzipped(path: str) -> bool:
    with open(path, "rb") as probe:
        return probe.read(2) == b"\x1f\x8b"


def inflate_in_process(paths: list[str]) -> None:
    open_gzip = fastest()
    for path in paths:
        try:
            with open_gzip(path) as stream:
                while stream.read(CHUNK):
                    pass
        except Exception:  # damaged files end early (each library has its own error)
            continue


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
    parser.add_argument("--jobs", type=int, default=1, help="files at once (with --command)")
    parser.add_argument("--command", choices=sorted(COMMANDS), help="inflate with this program")
    args = parser.parse_args(argv)
    paths = [path for path in archives(args.paths) if _gzipped(path)]
    if args.command is None:
        inflate_in_process(paths)
        return 0
    refused = inflate_by_command(paths, COMMANDS[args.command], args.jobs)
    print(f"{len(paths)} files, {refused} refused")
    return 0


if __name__ == "__main__":
    sys.exit(main())
