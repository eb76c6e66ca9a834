"""Python function calls during one `quillmark_files.check`, as cProfile counts them.

    python -m bench.count_calls FILE

Prints one JSON line: the calls (and primitive calls) cProfile saw, the
records and manifest store that check found, and the functions called most
and those with the most time of their own. Profiling slows every call, so the
times are only for ranking; the counts are exact.
"""

from __future__ import annotations

import cProfile
import json
import pstats
import sys
from pathlib import Path

TOP = 8


def _name(key: tuple[str, int, str]) -> str:
    file, line, function = key
    return function if file == "~" else f"{Path(file).name}:{line}({function})"


def count(path: str) -> dict:
    import quillmark_files

    profile = cProfile.Profile()
    profile.enable()
    summary = quillmark_files.check(path)
    profile.disable()
    stats = pstats.Stats(profile)
    entries = stats.stats.items()  # type: ignore[attr-defined]
    by_calls = sorted(entries, key=lambda kv: -kv[1][1])[:TOP]
    by_time = sorted(entries, key=lambda kv: -kv[1][2])[:TOP]
    return {
        "calls": stats.total_calls,  # type: ignore[attr-defined]
        "primitive_calls": stats.prim_calls,  # type: ignore[attr-defined]
        "records": summary.records,
        "manifest_sha256": summary.manifest_sha256,
        "most_called": [[_name(key), value[1]] for key, value in by_calls],
        "most_own_time": [[_name(key), round(value[2], 3)] for key, value in by_time],
    }


def main(argv: list[str] | None = None) -> int:
    (path,) = sys.argv[1:] if argv is None else argv
    print(json.dumps(count(path)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
