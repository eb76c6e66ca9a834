"""The benchmark: every case in its own subprocess, one at a time, then a table.

    python -m bench.run              # all inputs and operations, print the table
    python -m bench.run --write      # also write the table into BENCHMARKS.md

Speeds are compared only as ratios within one run, on the same bytes.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import subprocess
import sys
from dataclasses import dataclass
from importlib import metadata
from pathlib import Path

from bench.cases import BUILD_BODIES, IMPLEMENTATIONS, OPERATIONS
from bench.generate import ALL_INPUTS, DATA_DIR, SPECS, WARCIO_SPEC, ensure_input

ROOT = Path(__file__).resolve().parent.parent
REPORT = ROOT / "BENCHMARKS.md"
BEGIN, END = "<!-- bench:begin -->", "<!-- bench:end -->"
MIB = 1 << 20

ARCHIVE_OPERATIONS = ("read", "manifest", "append")
PEER_LABELS = {"fastwarc": "FastWARC", "warcio": "warcio", "quillmark-read": "read_records"}


@dataclass
class Case:
    operation: str
    implementation: str
    input: str
    figures: dict | None = None
    failure: str = ""

    @property
    def seconds(self) -> float | None:
        return self.figures["seconds"] if self.figures else None


def input_description(name: str) -> str:
    if name in BUILD_BODIES:
        return f"one body of {BUILD_BODIES[name] // MIB} MiB"
    return (SPECS.get(name) or WARCIO_SPEC).description


def run_case(case: Case, data_dir: Path, min_sample: float, samples: int) -> None:
    command = [
        sys.executable,
        "-m",
        "bench.child",
        case.operation,
        case.implementation,
        case.input,
        "--data-dir",
        str(data_dir),
        "--min-sample",
        str(min_sample),
        "--samples",
        str(samples),
    ]
    done = subprocess.run(command, cwd=ROOT, capture_output=True, text=True)
    if done.returncode != 0:
        lines = done.stderr.strip().splitlines() or [f"exit status {done.returncode}"]
        case.failure = lines[-1]
        return
    figures = json.loads(done.stdout)
    if case.figures is None:
        case.figures = figures
        return
    # Over several rounds the best time counts, and the largest peak memory.
    peak = max(case.figures["peak_rss"], figures["peak_rss"])
    if figures["seconds"] < case.figures["seconds"]:
        case.figures = figures
    case.figures["peak_rss"] = peak


def plan(inputs: list[str], operations: list[str], implementations: list[str] | None) -> list[Case]:
    cases = []
    for name in inputs:
        ops = ["build"] if name in BUILD_BODIES else ARCHIVE_OPERATIONS
        for op in (o for o in ops if o in operations):
            for impl in IMPLEMENTATIONS[op]:
                if implementations is None or impl in implementations:
                    cases.append(Case(op, impl, name))
    return cases


def _ratio(value: float | None) -> str:
    return "–" if value is None else f"{value:.2f}" if value < 10 else f"{value:.0f}"


def _mb_per_s(case: Case) -> float:
    return case.figures["input_bytes"] / case.seconds / 1e6


def _records_per_s(case: Case) -> str:
    records = case.figures["records"]
    return f"{records / case.seconds:,.0f}" if records else "–"


def _speedup(base: Case, other: Case | None) -> float | None:
    if other is None or other.seconds is None:
        return None
    return other.seconds / base.seconds


def _memory_ratio(case: Case) -> float | None:
    """Peak resident size beyond the interpreter's, over input plus output."""
    figures = case.figures
    if figures["operation"] != "append":
        return None
    payload = figures["input_bytes"] + figures["result"]
    return (figures["peak_rss"] - figures["base_rss"]) / payload


def targets(op: str, name: str, q: Case, others: dict[str, Case]) -> list[tuple[str, bool]]:
    """The project's speed and memory targets that apply to this row."""
    found = []

    def check(label: str, value: float | None, ok) -> None:
        if value is not None:
            found.append((label, ok(value)))

    if op == "read" and name in ("a", "c"):
        check("≥3× FastWARC", _speedup(q, others.get("fastwarc")), lambda v: v >= 3)
        check("≥30× warcio", _speedup(q, others.get("warcio")), lambda v: v >= 30)
    if op == "read" and name == "b":
        check("≤1.5× limit", _cost(q, others.get("limit")), lambda v: v <= 1.5)
    if op == "manifest" and name == "d":
        check("≥100× read_records", _speedup(q, others.get("quillmark-read")), lambda v: v >= 100)
        check(">1× FastWARC", _speedup(q, others.get("fastwarc")), lambda v: v > 1)
        check(">1× warcio", _speedup(q, others.get("warcio")), lambda v: v > 1)
    if op == "append":
        check("≤1.5× limit", _cost(q, others.get("limit")), lambda v: v <= 1.5)
        check("memory ≤1.1× in+out", _memory_ratio(q), lambda v: v <= 1.1)
    if op == "build" and BUILD_BODIES.get(name, 0) >= 64 * MIB:
        check("≤2× limit", _cost(q, others.get("limit")), lambda v: v <= 2)
    return found


def _cost(base: Case, limit: Case | None) -> float | None:
    if limit is None or limit.seconds is None:
        return None
    return base.seconds / limit.seconds


def render(cases: list[Case]) -> str:
    by_key = {(c.input, c.operation, c.implementation): c for c in cases}
    rows = [
        "| input | operation | MB/s | records/s | × FastWARC | × warcio | × read_records "
        "| ÷ limit | peak MiB | mem ÷ (in+out) | targets |",
        "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---|",
    ]
    missed = 0
    seen = []
    for c in cases:
        if (c.input, c.operation) not in seen:
            seen.append((c.input, c.operation))
    for name, op in seen:
        q = by_key.get((name, op, "quillmark"))
        if q is None or q.seconds is None:
            reason = q.failure if q else "not run"
            rows.append(f"| {name} | {op} | {reason} |  |  |  |  |  |  |  |  |")
            continue
        others = {
            impl: by_key[(name, op, impl)]
            for impl in IMPLEMENTATIONS[op]
            if (name, op, impl) in by_key and impl != "quillmark"
        }
        found = targets(op, name, q, others)
        missed += sum(not ok for _, ok in found)
        cells = [
            name,
            op,
            f"{_mb_per_s(q):,.0f}",
            _records_per_s(q),
            _ratio(_speedup(q, others.get("fastwarc"))),
            _ratio(_speedup(q, others.get("warcio"))),
            _ratio(_speedup(q, others.get("quillmark-read"))),
            _ratio(_cost(q, others.get("limit"))),
            f"{q.figures['peak_rss'] / MIB:,.0f}",
            _ratio(_memory_ratio(q)),
            ", ".join(f"{label} {'met' if ok else 'MISSED'}" for label, ok in found) or "–",
        ]
        rows.append("| " + " | ".join(cells) + " |")

    detail = [
        "| input | operation | implementation | best CPU s | best wall s | MB/s | records/s "
        "| peak MiB |",
        "|---|---|---|---:|---:|---:|---:|---:|",
    ]
    for c in cases:
        if c.seconds is None:
            detail.append(
                f"| {c.input} | {c.operation} | {c.implementation} | failed: {c.failure} "
                "|  |  |  |  |"
            )
            continue
        detail.append(
            f"| {c.input} | {c.operation} | {c.implementation} | {c.seconds:.4f} | "
            f"{c.figures['wall_seconds']:.4f} | {_mb_per_s(c):,.0f} | {_records_per_s(c)} | "
            f"{c.figures['peak_rss'] / MIB:,.0f} |"
        )

    names = sorted({c.input for c in cases}, key=lambda n: (n in BUILD_BODIES, n))
    legend = [f"- {n}: {input_description(n)}" for n in names]
    summary = f"{missed} target(s) missed." if missed else "Every target checked here is met."
    return "\n".join(
        ["Inputs:", "", *legend, "", *rows, "", summary, "", "Every case:", "", *detail]
    )


def environment() -> str:
    cpu = "unknown CPU"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    versions = []
    for dist in ("quillmark", "FastWARC", "warcio"):
        try:
            versions.append(f"{dist} {metadata.version(dist)}")
        except metadata.PackageNotFoundError:
            versions.append(f"{dist} not installed")
    return (
        f"{datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC, {cpu}, "
        f"{os.cpu_count()} cores, CPython {platform.python_version()}, {', '.join(versions)}"
    )


def write_report(text: str, command: str) -> None:
    block = "\n".join(
        [BEGIN, "", f"Command: `{command}`", "", f"Run: {environment()}", "", text, "", END]
    )
    current = REPORT.read_text() if REPORT.exists() else f"# Benchmarks\n\n{BEGIN}\n{END}\n"
    head, _, rest = current.partition(BEGIN)
    _, _, tail = rest.partition(END)
    REPORT.write_text(head + block + tail)


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--inputs",
        nargs="+",
        default=[*ALL_INPUTS, *BUILD_BODIES],
        choices=[*ALL_INPUTS, *BUILD_BODIES],
    )
    parser.add_argument("--operations", nargs="+", default=list(OPERATIONS), choices=OPERATIONS)
    parser.add_argument(
        "--implementations",
        nargs="+",
        default=None,
        help="only these implementations (default: all)",
    )
    parser.add_argument("--data-dir", type=Path, default=DATA_DIR)
    parser.add_argument(
        "--min-sample", type=float, default=0.2, help="seconds that one timed sample lasts at least"
    )
    parser.add_argument("--samples", type=int, default=3, help="samples per case; the best counts")
    parser.add_argument(
        "--rounds", type=int, default=2, help="runs of each case, taking turns; the best counts"
    )
    parser.add_argument("--write", action="store_true", help="write the table into BENCHMARKS.md")
    parser.add_argument("--json", type=Path, help="also save every case's raw figures here")
    args = parser.parse_args(argv)

    for name in args.inputs:
        if name not in BUILD_BODIES:
            ensure_input(name, args.data_dir)
    cases = plan(args.inputs, args.operations, args.implementations)
    # Each round runs every implementation of one input and operation in turn,
    # so that the ones compared with each other meet the same machine load.
    order = []
    for key in dict.fromkeys((c.input, c.operation) for c in cases):
        group = [c for c in cases if (c.input, c.operation) == key]
        order += group * args.rounds
    for i, case in enumerate(order, 1):
        run_case(case, args.data_dir, args.min_sample, args.samples)
        state = f"{case.seconds:.4f} s" if case.seconds is not None else case.failure
        print(
            f"[{i}/{len(order)}] {case.input} {case.operation} {case.implementation}: {state}",
            file=sys.stderr,
            flush=True,
        )

    check_agreement(cases)
    text = render(cases)
    print(text)
    if args.json:
        args.json.write_text(json.dumps([c.__dict__ for c in cases], indent=1))
    if args.write:
        write_report(text, " ".join(["python -m bench.run", *argv]))
    return 0 if all(c.figures for c in cases) else 1


def check_agreement(cases: list[Case]) -> None:
    """Readers must agree on what they found, or their speeds mean nothing."""
    results: dict[tuple[str, str], set] = {}
    for c in cases:
        if c.figures and c.operation in ("read", "manifest"):
            results.setdefault((c.input, c.operation), set()).add(c.figures["result"])
    for (name, op), found in results.items():
        if len(found) > 1:
            print(
                f"warning: implementations disagree on {name} {op}: {sorted(found)}",
                file=sys.stderr,
            )


if __name__ == "__main__":
    sys.exit(main())
