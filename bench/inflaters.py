"""The tool's native inflaters, and the floor of each: its library inflating a file once.

The benchmarks measure the `quillmark` command once per inflater of its build
(QUILLMARK_INFLATER), each against programs that inflate the whole file with
the same library, on one thread, and keep nothing:

    libdeflate   libdeflate-gunzip -c                (Debian's libdeflate-tools)
    isal         igzip -d -c                         (Debian's isal)
    zlib         pigz -p 1 -d -c                     (Debian's pigz: zlib's inflate)
                 python -m bench.inflate_once zlib   (Python's zlib, through gzip)

zlib has two. Python's gzip module spends Python code on every gzip member,
which on a file of tiny members costs more than inflating them (2.7 s
where pigz takes 1.1 s on 400,000 records); pigz calls zlib with nothing
around it, but is not always installed. The floor of a library is whichever
of its programs took less processor time; the floor of a gzip file is the
faster of libdeflate-gunzip and igzip, the fastest inflaters there are.
`gzip -dc` is no floor of zlib: GNU gzip inflates with code of its own,
slower than zlib's on large members.
"""

from __future__ import annotations

import shutil
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

LIBRARIES = ("libdeflate", "isal", "zlib")  # the names QUILLMARK_INFLATER takes
ENVIRONMENT = "QUILLMARK_INFLATER"
CHUNK = 1 << 20


@dataclass(frozen=True)
class Floor:
    name: str  # also the choice of `bench.crawl_floor --command`
    library: str
    argv: tuple[str, ...]  # the file follows; "{py}" is the measured interpreter
    package: str  # Debian's package of the program; "" for this interpreter
    overall: bool  # one of the fastest inflaters: a candidate for the file's floor

    @property
    def label(self) -> str:
        return f"floor: {self.name}"

    @property
    def in_python(self) -> bool:
        """Inflated by the interpreter, which prints how many bytes came out; the
        programs' output goes to /dev/null, where nothing counts it."""
        return self.argv[0] == "{py}"


FLOORS = (
    Floor("libdeflate-gunzip", "libdeflate", ("libdeflate-gunzip", "-c"), "libdeflate-tools", True),
    Floor("igzip", "isal", ("igzip", "-d", "-c"), "isal", True),
    Floor("pigz", "zlib", ("pigz", "-p", "1", "-d", "-c"), "pigz", False),
    Floor("python-zlib", "zlib", ("{py}", "-m", "bench.inflate_once", "zlib"), "", False),
)  # fmt: skip


def floors_for(inflaters: list[str]) -> list[Floor]:
    """The floors a run needs: the file's floor, and each measured inflater's own."""
    return [f for f in FLOORS if f.overall or f.library in inflaters]


def missing(floor: Floor) -> str:
    """Why the floor cannot run here, or ""."""
    if floor.in_python or shutil.which(floor.argv[0]):
        return ""
    return f"{floor.argv[0]} is not installed (Debian's {floor.package})"


def argv(floor: Floor, path: Path | str, python: str = sys.executable) -> list[str]:
    return [python if word == "{py}" else word for word in floor.argv] + [str(path)]


def available(python: str = sys.executable) -> list[str]:
    """The inflaters of the quillmark that `python` imports, fastest first.

    Asked in a child process: the harness stays as small as it was, since
    every process it starts begins with its pages.
    """
    done = subprocess.run(
        [python, "-c", "import quillmark_files; print(*quillmark_files.available_inflaters())"],
        capture_output=True, text=True, stdin=subprocess.DEVNULL,
    )  # fmt: skip
    if done.returncode != 0:
        lines = done.stderr.strip().splitlines() or ["no message"]
        raise SystemExit(f"cannot ask {python} for its inflaters: {lines[-1]}")
    return done.stdout.split()


def unavailable(inflater: str, built: list[str]) -> str:
    """Why the tool cannot run with `inflater`, or ""."""
    return "" if inflater in built else f"this build of quillmark has no {inflater} inflater"


def check_programs(files: dict[Path, int], floors: list[Floor]) -> None:
    """Untimed, once: each installed floor program inflates every byte of each file.

    Their timed runs write to /dev/null, where nothing can be counted.
    """
    for path, wanted in files.items():
        for floor in floors:
            if floor.in_python or missing(floor):
                continue
            with subprocess.Popen(
                argv(floor, path), stdout=subprocess.PIPE, stdin=subprocess.DEVNULL
            ) as child:
                assert child.stdout is not None
                total = sum(len(chunk) for chunk in iter(lambda: child.stdout.read(CHUNK), b""))
            if child.returncode != 0 or total != wanted:
                raise SystemExit(f"{floor.label} on {path.name}: {total} bytes, not {wanted}")
