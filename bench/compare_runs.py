"""Two runs of the module's benchmark side by side: did quillmark's figures move?

    python -m bench.compare_runs OLD.json NEW.json            # files from `bench.run --json`
    python -m bench.compare_runs OLD.json NEW.json --noise 0.2

Per case: processor time and peak memory of both runs and their ratio (new
over old). The machine's own drift between the runs is the median ratio of
the peers' cases (FastWARC, warcio, the limits), which no change to quillmark
touches; quillmark's ratios are shown divided by it too. A quillmark case is
flagged when its time, drift removed, or its peak memory grew by more than
--noise (default 0.15). Exit status 1 when any case is flagged.
"""

from __future__ import annotations

import argparse
import json
import statistics
import sys
from pathlib import Path

MIB = 1 << 20


def load(path: Path) -> dict[tuple[str, str, str], dict]:
    """Figures by (input, operation, implementation); cases that failed are left out."""
    cases = json.loads(path.read_text())
    return {
        (c["input"], c["operation"], c["implementation"]): c["figures"]
        for c in cases
        if c.get("figures")
    }


def drift(old: dict, new: dict) -> float:
    ratios = [
        new[key]["seconds"] / old[key]["seconds"]
        for key in old.keys() & new.keys()
        if key[2] != "quillmark" and old[key]["seconds"] > 0
    ]
    return statistics.median(ratios) if ratios else 1.0


def compare(old: dict, new: dict, noise: float) -> tuple[list[str], int]:
    machine = drift(old, new)
    rows = [
        f"Machine drift (median new ÷ old of the peers' cases): {machine:.2f}",
        "",
        "| input | operation | implementation | old CPU s | new CPU s | new ÷ old "
        "| ÷ drift | old peak MiB | new peak MiB | verdict |",
        "|---|---|---|---:|---:|---:|---:|---:|---:|---|",
    ]
    flagged = 0
    for key in sorted(old.keys() & new.keys()):
        was, now = old[key], new[key]
        ratio = now["seconds"] / was["seconds"] if was["seconds"] > 0 else float("inf")
        verdict = "–"
        if key[2] == "quillmark":
            slower = ratio / machine > 1 + noise
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
            f"{was['peak_rss'] / MIB:,.0f}",
            f"{now['peak_rss'] / MIB:,.0f}",
            verdict,
        ]
        rows.append("| " + " | ".join(cells) + " |")
    for key in sorted(old.keys() ^ new.keys()):
        where = "old" if key in old else "new"
        rows.append(f"| {' | '.join(key)} | only in the {where} run |" + " |" * 6)
    return rows, flagged


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("old", type=Path)
    parser.add_argument("new", type=Path)
    parser.add_argument("--noise", type=float, default=0.15, help="growth taken as noise")
    args = parser.parse_args(argv)
    rows, flagged = compare(load(args.old), load(args.new), args.noise)
    print("\n".join(rows))
    print(f"\n{flagged} quillmark case(s) beyond noise." if flagged else "\nAll within noise.")
    return 1 if flagged else 0


if __name__ == "__main__":
    sys.exit(main())
