"""Runs of the module's benchmark side by side: did quillmark's figures move?

    python -m bench.compare_runs OLD.json NEW.json             # files from `bench.run --json`
    python -m bench.compare_runs OLD.json OLD2.json NEW.json   # several runs of the old build
    python -m bench.compare_runs OLD.json NEW.json --noise 0.2

The last file is the new run, the others runs of the old build. Per case:
the old build's best processor time and largest peak memory, the new run's,
and their ratio (new over old). The machine's own drift between the runs is
the median ratio of the peers' cases (FastWARC, warcio, the limits), which no
change to quillmark touches; quillmark's ratios are shown divided by it too.
A case's noise is --noise (default 0.15), or more when the old runs of that
case were further apart than that: a case of a few milliseconds moves by a
fifth between two runs of one build. A quillmark case is flagged when its
time, drift removed, or its peak memory grew by more than its noise. Exit
status 1 when any case is flagged.
"""

from __future__ import annotations

import argparse
import json
import statistics
import sys
from pathlib import Path

MIB = 1 << 20
Key = tuple[str, str, str]


def load(path: Path) -> dict[Key, dict]:
    """Figures by (input, operation, implementation); cases that failed are left out."""
    cases = json.loads(path.read_text())
    return {
        (c["input"], c["operation"], c["implementation"]): c["figures"]
        for c in cases
        if c.get("figures")
    }


def merge(runs: list[dict[Key, dict]]) -> dict[Key, dict]:
    """The old build's figures: best time, largest peak, and how far apart its runs were."""
    merged = {}
    for key in set.intersection(*(set(run) for run in runs)):
        times = [run[key]["seconds"] for run in runs]
        best = min(times)
        merged[key] = {
            "seconds": best,
            "peak_rss": max(run[key]["peak_rss"] for run in runs),
            "spread": max(times) / best - 1 if best > 0 else 0.0,
        }
    return merged


def drift(old: dict[Key, dict], new: dict[Key, dict]) -> float:
    ratios = [
        new[key]["seconds"] / old[key]["seconds"]
        for key in old.keys() & new.keys()
        if key[2] != "quillmark" and old[key]["seconds"] > 0
    ]
    return statistics.median(ratios) if ratios else 1.0


def compare(old: dict[Key, dict], new: dict[Key, dict], noise: float) -> tuple[list[str], int]:
    machine = drift(old, new)
    rows = [
        f"Machine drift (median new ÷ old of the peers' cases): {machine:.2f}",
        "",
        "| input | operation | implementation | old CPU s | new CPU s | new ÷ old "
        "| ÷ drift | noise | old peak MiB | new peak MiB | verdict |",
        "|---|---|---|---:|---:|---:|---:|---:|---:|---:|---|",
    ]
    flagged = 0
    for key in sorted(old.keys() & new.keys()):
        was, now = old[key], new[key]
        ratio = now["seconds"] / was["seconds"] if was["seconds"] > 0 else 1.0
        allowed = max(noise, was.get("spread", 0.0))
        verdict = "–"
        if key[2] == "quillmark":
            slower = ratio / machine > 1 + allowed
            larger = now["peak_rss"] > was["peak_rss"] * (1 + noise)
            verdict = (
                ", ".join(word for word, bad in (("slower", slower), ("larger", larger)) if bad)
                or "within noise"
            )
            flagged += slower or larger
        cells = [
            *key,
            f"{was['seconds']:.4f}",
            f"{now['seconds']:.4f}",
            f"{ratio:.2f}",
            f"{ratio / machine:.2f}",
            f"{allowed:.0%}",
            f"{was['peak_rss'] / MIB:,.0f}",
            f"{now['peak_rss'] / MIB:,.0f}",
            verdict,
        ]
        rows.append("| " + " | ".join(cells) + " |")
    for key in sorted(old.keys() ^ new.keys()):
        where = "old" if key in old else "new"
        rows.append(f"| {' | '.join(key)} | only in the {where} run(s) |" + " |" * 7)
    return rows, flagged


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("runs", type=Path, nargs="+", metavar="RUN.json")
    parser.add_argument("--noise", type=float, default=0.15, help="growth taken as noise")
    args = parser.parse_args(argv)
    if len(args.runs) < 2:
        parser.error("give at least one old run and the new one")
    old = merge([load(path) for path in args.runs[:-1]])
    rows, flagged = compare(old, load(args.runs[-1]), args.noise)
    print("\n".join(rows))
    print(f"\n{flagged} quillmark case(s) beyond noise." if flagged else "\nAll within noise.")
    return 1 if flagged else 0


if __name__ == "__main__":
    sys.exit(main())
