"""Hostile shapes: every one must cost time in proportion to its size.

    python -m bench.hostile              # full sizes (the large one of each pair)
    python -m bench.hostile --scale 0.1  # a quick look

Each shape is built at two sizes, n and 2n, and every function that reads an
archive runs on both; the table shows the best time of each and their ratio.
A linear cost gives a ratio near 2, a quadratic one near 4. The exit status is
1 when any ratio exceeds --limit (3.0 by default).
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass

import quillmark

MB = 1_000_000
RECORD_ID = "urn:uuid:0d4f1b7e-0000-4000-8000-00000000b0b0"
STORE = b"store"


def record(head: bytes, body: bytes) -> bytes:
    length = b"Content-Length: %d\r\n\r\n" % len(body)
    return b"WARC/1.1\r\n" + head + length + body + b"\r\n\r\n"


def unterminated_header(n: int) -> bytes:
    """One header block of n bytes that no blank line ever closes."""
    return b"WARC/1.1\r\nX: " + b"a" * n


def unterminated_near_misses(n: int) -> bytes:
    """A header block full of CR LF CR that never becomes CR LF CR LF."""
    return b"WARC/1.1\r\nX: y" + b"\r\n\r" * (n // 3)


def header_lines_distinct(n: int) -> bytes:
    """n header lines in one record, every name different."""
    return record(b"".join(b"X-Field-%d: value %d\r\n" % (i, i) for i in range(n)), b"body")


def header_lines_repeated(n: int) -> bytes:
    """n header lines in one record, all with the same name in changing case."""
    names = (b"X-Same", b"x-same", b"X-SAME")
    return record(b"".join(names[i % 3] + b": value %d\r\n" % i for i in range(n)), b"body")


def header_lines_space(n: int) -> bytes:
    """n header lines padded with non-ASCII white space on both sides."""
    pad = "\u3000\u2000\xa0 \t".encode()
    return record(
        b"".join(pad + b"N%d" % i + pad + b":" + pad + b"v" + pad + b"\r\n" for i in range(n)), b""
    )


def white_space_value(n: int) -> bytes:
    """One header value of n bytes of white space between two letters."""
    return record(b"X: a" + "\u2000".encode() * (n // 3) + b"a\r\n", b"")


def empty_records(n: int) -> bytes:
    """n records with empty bodies, every other one a manifest record."""
    plain = record(b"", b"")
    manifest = record(b"WARC-Type: c2paprovenance\r\nContent-Type: application/c2pa\r\n", b"")
    return (plain + manifest) * (n // 2)


def tricky_bodies(n: int) -> bytes:
    """One body of n bytes made of version marks and blank lines."""
    return record(b"", (b"WARC/1.1\r\n\r\n" * (n // 12 + 1))[:n])


def many_tricky_bodies(n: int) -> bytes:
    """Records of 1 kB bodies made of version marks and blank lines, n bytes in all."""
    body = (b"WARC/1.1\r\nContent-Length: 0\r\n\r\n" * 40)[:1000]
    return record(b"", body) * (n // 1000)


@dataclass
class Shape:
    name: str
    make: Callable[[int], bytes]
    n: int  # the smaller of the two sizes


SHAPES = [
    Shape("unterminated header, 50 MB", unterminated_header, 25 * MB),
    Shape("unterminated, CR LF CR runs", unterminated_near_misses, 25 * MB),
    Shape("200,000 header lines, distinct", header_lines_distinct, 100_000),
    Shape("200,000 header lines, one name", header_lines_repeated, 100_000),
    Shape("200,000 header lines, padded", header_lines_space, 100_000),
    Shape("20 MB of white space in a value", white_space_value, 10 * MB),
    Shape("1,000,000 empty records", empty_records, 500_000),
    # Above glibc's largest mmap threshold (32 MiB) at both sizes, so that both
    # bodies are fresh mappings and the ratio compares like with like.
    Shape("marks and blank lines, one body", tricky_bodies, 40 * MB),
    Shape("marks and blank lines, 1 kB bodies", many_tricky_bodies, 25 * MB),
]

FUNCTIONS = {
    "read_records": quillmark.read_records,
    "read_manifest": quillmark.read_manifest,
    "append_manifest": lambda warc: quillmark.append_manifest(warc, STORE, RECORD_ID),
}


def keep_freed_memory() -> bool:
    """Has glibc keep freed memory mapped instead of returning it to the system.

    Otherwise whether a large result lands in memory that is already mapped
    or in a fresh mapping (whose every page faults on first touch) depends on
    the allocator's thresholds, and a 2x input can show a 10x time for that
    reason alone. With this, the best of several calls measures the work.
    """
    try:
        libc = ctypes.CDLL(None)
        m_trim_threshold, m_mmap_max = -1, -4
        return bool(libc.mallopt(m_mmap_max, 0) and libc.mallopt(m_trim_threshold, 2**31 - 1))
    except (OSError, AttributeError):
        return False


def timed_call(
    function: Callable[[bytes], object], data: bytes, collect: bool
) -> tuple[float, str]:
    """Wall time of one call, and what it gave (its type or its error)."""
    gc.collect()
    if not collect:
        gc.disable()
    start = time.perf_counter()
    try:
        outcome = type(function(data)).__name__
    except ValueError as error:
        outcome = str(error).removeprefix("invalid WARC record: ")
    elapsed = time.perf_counter() - start
    gc.enable()
    return elapsed, outcome


def best_times(
    function: Callable[[bytes], object], small: bytes, large: bytes, repeat: int, collect: bool
) -> tuple[float, float, str]:
    """Best times on both inputs. The calls alternate, so that a busy moment
    of a shared machine slows both sizes alike rather than one of them; short
    calls repeat until each size has had about half a second."""
    best_small = timed_call(function, small, collect)[0]
    best_large, outcome = timed_call(function, large, collect)
    rounds = max(repeat, min(200, int(0.5 / max(best_large, 1e-6))))
    for _ in range(rounds):
        best_small = min(best_small, timed_call(function, small, collect)[0])
        best_large = min(best_large, timed_call(function, large, collect)[0])
    return best_small, best_large, outcome


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0, help="multiplies every size")
    parser.add_argument("--repeat", type=int, default=7, help="calls per size; the best counts")
    parser.add_argument("--limit", type=float, default=3.0, help="largest acceptable ratio")
    parser.add_argument(
        "--no-gc",
        action="store_true",
        help="keep the cyclic collector off while timing, to see the module's own cost",
    )
    args = parser.parse_args(argv)

    collector = "off" if args.no_gc else "on"
    heap = "kept" if keep_freed_memory() else "allocator default"
    print(
        f"quillmark {quillmark.__version__}, Python {sys.version.split()[0]}, "
        f"gc {collector}, freed memory {heap}"
    )
    header = (
        f"{'shape':36} {'function':16} {'n':>12} {'t(n)':>9} {'t(2n)':>9} {'ratio':>6}  outcome"
    )
    print(header)
    print("-" * len(header))
    worst = 0.0
    for shape in SHAPES:
        n = max(2, int(shape.n * args.scale))
        small, large = shape.make(n), shape.make(2 * n)
        for name, function in FUNCTIONS.items():
            t_small, t_large, outcome = best_times(
                function, small, large, args.repeat, not args.no_gc
            )
            ratio = t_large / t_small if t_small > 0 else float("inf")
            worst = max(worst, ratio)
            flag = "  <-- above the limit" if ratio > args.limit else ""
            print(
                f"{shape.name:36} {name:16} {n:>12,} {t_small * 1e3:>7.1f}ms "
                f"{t_large * 1e3:>7.1f}ms {ratio:>6.2f}  {outcome}{flag}"
            )
        del small, large
    print(f"worst ratio: {worst:.2f} (limit {args.limit})")
    return 1 if worst > args.limit else 0


if __name__ == "__main__":
    sys.exit(main())
