"""bench.compare_runs tells a slower quillmark from a slower machine.

A later run of the module's benchmark is judged against runs of the old
build; the verdict must hold through the machine's drift (every case slower
alike) and through the jitter of short cases, yet catch quillmark alone
growing slower or larger.
"""

from __future__ import annotations

import json
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from bench import compare_runs  # noqa: E402

MIB = 1 << 20


def run(path: Path, seconds: dict[tuple[str, str, str], float], peak: int = 100 * MIB) -> Path:
    cases = [
        {"input": i, "operation": o, "implementation": impl,
         "figures": {"seconds": s, "peak_rss": peak}, "failure": ""}
        for (i, o, impl), s in seconds.items()
    ]  # fmt: skip
    path.write_text(json.dumps(cases))
    return path


BASE = {
    ("a", "read", "quillmark"): 0.160,
    ("a", "read", "fastwarc"): 0.180,
    ("a", "read", "warcio"): 1.300,
    ("a", "manifest", "quillmark"): 0.017,
    ("a", "manifest", "fastwarc"): 0.170,
}


def scaled(factor: float, **quillmark: float) -> dict:
    """Every case `factor` times slower, and quillmark's named operations more so."""
    return {
        key: value * factor * (quillmark.get(key[1], 1.0) if key[2] == "quillmark" else 1.0)
        for key, value in BASE.items()
    }


@pytest.mark.parametrize(
    ("new", "flagged"),
    [
        (scaled(1.0), 0),
        (scaled(1.6), 0),  # the machine is slower, quillmark no more than the peers
        (scaled(1.0, read=1.3), 1),
        (scaled(1.6, read=1.3), 1),  # slower beyond the machine's drift
        (scaled(0.7, manifest=1.1), 0),
    ],
)
def test_only_quillmark_growing_beyond_drift_is_flagged(tmp_path, new, flagged):
    old = run(tmp_path / "old.json", BASE)
    fresh = run(tmp_path / "new.json", new)
    assert compare_runs.main([str(old), str(fresh)]) == (1 if flagged else 0)
    _, count = compare_runs.compare(
        compare_runs.merge([compare_runs.load(old)]), compare_runs.load(fresh), 0.15
    )
    assert count == flagged


def test_the_old_runs_spread_widens_a_short_cases_noise(tmp_path):
    jitter = dict(BASE)
    jitter[("a", "manifest", "quillmark")] = 0.020  # 18% apart in two runs of one build
    old = [run(tmp_path / "old1.json", BASE), run(tmp_path / "old2.json", jitter)]
    new = run(tmp_path / "new.json", jitter)
    assert compare_runs.main([str(old[0]), str(new)]) == 1
    assert compare_runs.main([*map(str, old), str(new)]) == 0


def test_a_larger_peak_is_flagged(tmp_path):
    old = run(tmp_path / "old.json", BASE)
    new = run(tmp_path / "new.json", BASE, peak=130 * MIB)
    assert compare_runs.main([str(old), str(new)]) == 1
