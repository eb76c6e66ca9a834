"""Runs one benchmark case in this process and prints its figures as JSON.

Started by bench/run.py in a fresh interpreter per case, so that the process's
maximum resident size (ru_maxrss) belongs to that case alone.
"""

from __future__ import annotations

import argparse
import importlib
import json
import resource
import sys
import time
from pathlib import Path

from bench.cases import BUILD_BODIES, PREPARE, build_body
from bench.framing import body_spans
from bench.generate import DATA_DIR, input_path

# Modules that a case's implementation loads, imported before the baseline
# resident size is read so that the baseline covers them.
IMPORTS = {
    "quillmark": ("quillmark",),
    "fastwarc": ("fastwarc.warc",),
    "warcio": ("warcio.archiveiterator",),
}


def max_rss_bytes() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024  # Linux reports KiB


def load(name: str, data_dir: Path) -> tuple[bytes, int]:
    """The input's bytes and its number of records (0 for a build body)."""
    if name in BUILD_BODIES:
        return build_body(BUILD_BODIES[name]), 0
    data = input_path(name, data_dir).read_bytes()
    return data, len(body_spans(data))


def measure(timed, min_sample: float, samples: int) -> tuple[float, float, int, int]:
    """Best processor time and best wall time of one call, calls made, last result.

    Processor time (user and system, page faults included) is what the
    comparisons use: on a machine shared with other work it leaves out the
    time spent waiting for a core, which wall time does not. Short calls are
    batched so that each sample lasts at least `min_sample` seconds; long ones
    run `samples` times at most, once when a call alone outlasts ten samples'
    worth of time.
    """
    wall, cpu = time.perf_counter(), time.process_time()
    result = timed()
    best_wall, best_cpu = time.perf_counter() - wall, time.process_time() - cpu
    batch = max(1, int(min_sample / best_wall)) if best_wall > 0 else 1000
    calls = 1
    rounds = 0 if best_wall > 10 * min_sample * samples else samples
    for _ in range(rounds):
        wall, cpu = time.perf_counter(), time.process_time()
        for _ in range(batch):
            result = timed()
        best_wall = min(best_wall, (time.perf_counter() - wall) / batch)
        best_cpu = min(best_cpu, (time.process_time() - cpu) / batch)
        calls += batch
    return best_cpu, best_wall, calls, result


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("operation")
    parser.add_argument("implementation")
    parser.add_argument("input")
    parser.add_argument("--data-dir", type=Path, default=DATA_DIR)
    parser.add_argument("--min-sample", type=float, default=0.2)
    parser.add_argument("--samples", type=int, default=3)
    args = parser.parse_args(argv)

    prepare = PREPARE[(args.operation, args.implementation)]
    for module in IMPORTS.get(args.implementation.split("-")[0], ()):
        importlib.import_module(module)
    base_rss = max_rss_bytes()
    data, records = load(args.input, args.data_dir)
    timed = prepare(data)
    seconds, wall_seconds, calls, result = measure(timed, args.min_sample, args.samples)
    json.dump(
        {
            "operation": args.operation,
            "implementation": args.implementation,
            "input": args.input,
            "input_bytes": len(data),
            "records": records,
            "seconds": seconds,
            "wall_seconds": wall_seconds,
            "calls": calls,
            "result": result,
            "base_rss": base_rss,
            "peak_rss": max_rss_bytes(),
        },
        sys.stdout,
    )
    print()
    return 0


if __name__ == "__main__":
    sys.exit(main())
