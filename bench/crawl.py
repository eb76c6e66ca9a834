"""Audits of a whole crawl: `quillmark audit` against warcio, FastWARC and Spark.

    python -m bench.crawl                     # 200 files, about 3 GiB uncompressed
    python -m bench.crawl --total-mib 64      # the same mix, small, to try the harness
    python -m bench.crawl --write             # also the table and chart into BENCHMARKS.md

Over the same files (bench/crawl_inputs.py), each as its own process tree and
taking turns: `quillmark audit DIR --jobs N --format jsonl -o OUT` once per
inflater of the build (QUILLMARK_INFLATER), the warcio and FastWARC scripts a
user would write (bench/audit_warcio.py, bench/audit_fastwarc.py) with a pool
of N processes, the Spark job with `spark-submit --master local[N]`, and the
floors: every gzip file inflated once, N at once, by each inflater's library
(bench/crawl_floor.py, bench/inflaters.py), for N = 1 and every core.
Files/s and MB/s (bytes on disk) are over wall time, best of --repeat runs.
Every output is compared, file by file, with what the generator put in the
files.
"""

from __future__ import annotations

import argparse
import json
import os
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

from bench import crawl_inputs, inflaters
from bench.processes import MIB, ROOT, Case, Run, take_turns, warm
from bench.report import write_section

CHART = ROOT / "bench" / "charts" / "crawl-files-per-second.png"
DISTRIBUTIONS = ("quillmark", "warcio", "FastWARC", "pyspark")
TOOLS = ("quillmark audit", "FastWARC script", "warcio script", "Spark job")
SPARK_MODULE = "quillmark_files.crawl.spark_audit"
PARQUET_ROWS = (
    "import json, sys, pyarrow.parquet as pq\n"
    "for row in pq.read_table(sys.argv[1]).to_pylist():\n"
    "    print(json.dumps(row, default=str))\n"
)


def quillmark_command() -> list[str]:
    script = Path(sys.executable).with_name("quillmark")
    return [str(script)] if script.exists() else [sys.executable, "-m", "quillmark_cli"]


def audit_missing() -> str:
    done = subprocess.run(
        [*quillmark_command(), "audit", "--help"], capture_output=True, stdin=subprocess.DEVNULL
    )
    return "" if done.returncode == 0 else "the quillmark command has no audit yet"


def spark_job() -> tuple[str, str]:
    """The job's file and spark-submit, or an empty file and why it is missing."""
    submit = shutil.which(
        "spark-submit", path=f"{Path(sys.executable).parent}:{os.environ['PATH']}"
    )
    if not submit:
        return "", "spark-submit is not installed (pip install pyspark)"
    found = subprocess.run(
        [sys.executable, "-c", f"import {SPARK_MODULE} as m; print(m.__file__)"],
        capture_output=True,
        text=True,
    )
    if found.returncode != 0:
        return "", f"{SPARK_MODULE} is not installed"
    return found.stdout.strip(), submit


def compare(rows: list[dict], expected: list[dict]) -> list[str]:
    """Every way the rows differ from what the generator made, one text per file."""
    by_name = {Path(r.get("path", "")).name: r for r in rows}
    wrong = []
    for want in expected:
        got = by_name.get(want["name"])
        if got is None:
            wrong.append(f"{want['name']}: no row")
        elif want["fault"]:
            if not got.get("error"):
                wrong.append(f"{want['name']}: {want['fault']} not reported")
        elif got.get("error"):
            wrong.append(f"{want['name']}: error on a sound file: {got['error'][:80]}")
        else:
            fields = {
                "records": want["records"],
                "manifest_records": want["manifests"],
                "manifest_size": want["manifest_size"],
                "manifest_sha256": want["manifest_sha256"],
            }
            bad = [k for k, v in fields.items() if got.get(k) != v]
            if bad:
                wrong.append(f"{want['name']}: {', '.join(f'{k} {got.get(k)}' for k in bad)}")
    return wrong


def _checker(case_label: str, rows_of, expected: list[dict], found: dict[str, list[str]]):
    """Reads a run's rows; a missing output fails the case, disagreements are kept."""

    def verify(run: Run) -> str | None:
        try:
            rows = rows_of()
        except (OSError, ValueError, subprocess.CalledProcessError) as exc:
            return f"no readable output: {exc}"
        if len(rows) != len(expected):
            return f"{len(rows)} rows for {len(expected)} files"
        found[case_label] = compare(rows, expected)
        return None

    return verify


def _jsonl(path: Path):
    return lambda: [json.loads(line) for line in path.read_text().splitlines() if line.strip()]


def _parquet(path: Path):
    def rows() -> list[dict]:
        # In a child process: pyarrow would grow this one, whose size every
        # process started later would inherit into its peak.
        text = subprocess.run(
            [sys.executable, "-c", PARQUET_ROWS, str(path)],
            capture_output=True,
            text=True,
            check=True,
        ).stdout
        return [json.loads(line) for line in text.splitlines()]

    return rows


def _clear(path: Path):
    def clear() -> None:
        if path.is_dir():
            shutil.rmtree(path)
        path.unlink(missing_ok=True)

    return clear


def audit_label(inflater: str) -> str:
    return f"quillmark audit ({inflater})"


def library(case: Case) -> str:
    """The inflater library of a `quillmark audit` row or a floor row, else ""."""
    if case.env and inflaters.ENVIRONMENT in case.env:
        return case.env[inflaters.ENVIRONMENT]
    floor = next((f for f in inflaters.FLOORS if f.label == case.label), None)
    return floor.library if floor else ""


def plan(
    folder: Path, expected: list[dict], jobs: list[int], found: dict[str, list[str]],
    names: list[str], built: list[str],
) -> list[Case]:  # fmt: skip
    """Every case; `names` the inflaters to audit with, `built` those of the build."""
    out_dir = folder.parent / "out"
    out_dir.mkdir(parents=True, exist_ok=True)
    py = sys.executable
    no_audit = audit_missing()
    job_file, submit = spark_job()
    any_bad = any(want["fault"] for want in expected)
    cases = []
    for n in jobs:
        group = f"jobs {n}"
        out = out_dir / f"audit-{n}.jsonl"
        audits = [
            (
                audit_label(name),
                [*quillmark_command(), "audit", str(folder), "--jobs", str(n),
                 "--format", "jsonl", "-o", str(out)],
                no_audit or inflaters.unavailable(name, built),
                {inflaters.ENVIRONMENT: name},
            )
            for name in names
        ]  # fmt: skip
        for tool, argv, unavailable, env in (
            *audits,
            (
                "FastWARC script",
                [py, "-m", "bench.audit_fastwarc", str(folder), "--jobs", str(n), "-o", str(out)],
                "",
                None,
            ),
            (
                "warcio script",
                [py, "-m", "bench.audit_warcio", str(folder), "--jobs", str(n), "-o", str(out)],
                "",
                None,
            ),
        ):  # fmt: skip
            label = f"{tool}, {group}"
            cases.append(
                Case(
                    group,
                    tool,
                    argv,
                    env,
                    prepare=_clear(out),
                    verify=_checker(label, _jsonl(out), expected, found),
                    unavailable=unavailable,
                    # The command says when files failed; the peers' scripts do not.
                    status=1 if tool.startswith("quillmark audit") and any_bad else 0,
                )
            )
        for floor in inflaters.floors_for(names):
            cases.append(
                Case(
                    group,
                    floor.label,
                    [py, "-m", "bench.crawl_floor", str(folder), "--jobs", str(n),
                     "--command", floor.name],
                    unavailable=inflaters.missing(floor),
                )
            )  # fmt: skip
        spark_out = out_dir / f"spark-{n}"
        label = f"Spark job, {group}"
        cases.append(
            Case(
                group,
                "Spark job",
                [submit, "--master", f"local[{n}]", job_file, "--format", "parquet",
                 "--output", str(spark_out), str(folder)],
                {"PYSPARK_PYTHON": py, "PYSPARK_DRIVER_PYTHON": py},
                prepare=_clear(spark_out),
                verify=_checker(label, _parquet(spark_out), expected, found),
                unavailable="" if job_file else submit,
            )
        )  # fmt: skip
    return cases


def _find(cases: list[Case], tool: str, n: int) -> Case | None:
    case = next((c for c in cases if c.label == tool and c.group == f"jobs {n}"), None)
    return case if case and case.done else None


def _times(numerator: Case | None, denominator: Case | None) -> float | None:
    """How many times faster `numerator` is than `denominator`, in wall time."""
    if numerator is None or denominator is None:
        return None
    return denominator.wall / numerator.wall


def _cell(value: float | None) -> str:
    return "–" if value is None else f"{value:.2f}"


def _floor(cases: list[Case], n: int, library_name: str = "") -> Case | None:
    """The least wall time of the floors at `n` jobs: those of one library, or the fastest two."""
    overall = {f.label for f in inflaters.FLOORS if f.overall}
    done = [
        c for c in cases
        if c.group == f"jobs {n}" and c.done and c.label.startswith("floor")
        and (library(c) == library_name if library_name else c.label in overall)
    ]  # fmt: skip
    return min(done, key=lambda c: c.wall) if done else None


def render(
    cases: list[Case], jobs: list[int], kept: dict, found: dict[str, list[str]], default: str
) -> str:
    """The table; the targets are judged on `quillmark audit` with the `default` inflater."""
    files = kept["files"]
    disk = sum(f["disk_size"] for f in files)
    forms = {form: sum(f["form"] == form for f in files) for form in ("plain", "members", "single")}
    stamp = kept["stamp"]
    lines = [
        f"Input: {len(files)} files, {disk / MIB:,.0f} MiB on disk ({stamp['total_mib']:,} MiB "
        f"uncompressed): {forms['plain']} plain, {forms['members']} gzip with one member per "
        f"record, {forms['single']} single-member gzip; "
        f"{sum(f['manifests'] == 0 for f in files)} without a manifest record, "
        f"{sum(f['manifests'] == 2 for f in files)} with two; "
        f"{sum(bool(f['fault']) for f in files)} malformed ({stamp['compressor']}).",
        "",
        "| jobs | tool | wall s | CPU s | peak MiB | files/s | MB/s | × warcio | × FastWARC "
        "| × 1 job | ÷ its library's floor | ÷ floor | rows as generated | targets |",
        "|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|---|",
    ]
    missed = checked = 0
    ours = audit_label(default)
    for case in cases:
        n = int(case.group.split()[1])
        if case.state():
            lines.append(f"| {n} | {case.label} | {case.state()} |" + "  |" * 11)
            continue
        floor, own = _floor(cases, n), _floor(cases, n, library(case)) if library(case) else None
        warcio = _times(case, _find(cases, "warcio script", n))
        fastwarc = _times(case, _find(cases, "FastWARC script", n))
        scaling = _times(case, _find(cases, case.label, 1)) if n != 1 else None
        checks = []
        if case.label == ours:
            if warcio is not None:
                checks.append(("≥5× warcio", warcio >= 5))
            if fastwarc is not None:
                checks.append(("≥1.5× FastWARC", fastwarc >= 1.5))
            if scaling is not None:
                checks.append((f"≥1.8× from 1 to {n} jobs", scaling >= 1.8))
        missed += sum(not ok for _, ok in checks)
        checked += len(checks)
        wrong = found.get(f"{case.label}, {case.group}", [])
        cells = [
            str(n),
            case.label + (" (the floor)" if case is floor else ""),
            f"{case.wall:.2f}",
            f"{case.cpu:.2f}",
            f"{case.peak_rss / MIB:,.0f}",
            f"{len(files) / case.wall:,.1f}",
            f"{disk / case.wall / 1e6:,.0f}",
            _cell(warcio) if case.label != "warcio script" else "–",
            _cell(fastwarc) if case.label != "FastWARC script" else "–",
            _cell(scaling),
            _cell(case.wall / own.wall) if own and own is not case else "–",
            _cell(case.wall / floor.wall) if floor and floor is not case else "–",
            "–" if case.label.startswith("floor") else f"{len(files) - len(wrong)}/{len(files)}",
            ", ".join(f"{label} {'met' if ok else 'MISSED'}" for label, ok in checks) or "–",
        ]
        lines.append("| " + " | ".join(cells) + " |")
    if not checked:
        summary = "No target could be checked: `quillmark audit` did not run."
    else:
        summary = f"{missed} target(s) missed." if missed else "Every target checked here is met."
    lines += ["", summary]

    spark = []
    for n in jobs:
        over = _times(_find(cases, ours, n), _find(cases, "Spark job", n))
        if over is not None:
            spark.append(
                f"- Spark `local[{n}]` over `quillmark audit --jobs {n}`: {over:.2f}× the time"
            )
    scale = _times(_find(cases, "Spark job", max(jobs)), _find(cases, "Spark job", 1))
    if scale is not None and max(jobs) > 1:
        spark.append(f"- Spark from `local[1]` to `local[{max(jobs)}]`: {scale:.2f}× faster")
    if spark:
        lines += ["", *spark]

    differ = [(label, wrong) for label, wrong in found.items() if wrong]
    if differ:
        lines += ["", "Rows that differ from what the generator made:", ""]
        for label, wrong in differ:
            shown = "; ".join(wrong[:4]) + (
                f"; and {len(wrong) - 4} more" if len(wrong) > 4 else ""
            )
            lines.append(f"- {label}: {shown}")
    return "\n".join(lines)


def chart(cases: list[Case], jobs: list[int], files: int, default: str, path: Path = CHART) -> Path:
    """Bars of files/s per tool, one bar per number of jobs; quillmark with its default inflater."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, ax = plt.subplots(figsize=(8, 4.2), dpi=110)
    width = 0.8 / len(jobs)
    for i, n in enumerate(jobs):
        labels = [audit_label(default) if tool == "quillmark audit" else tool for tool in TOOLS]
        found = [_find(cases, label, n) for label in labels]
        heights = [files / case.wall if case else 0.0 for case in found]
        xs = [t + (i - (len(jobs) - 1) / 2) * width for t in range(len(TOOLS))]
        ax.bar(xs, heights, width, label=f"{n} job{'s' if n > 1 else ''}")
        for x, h in zip(xs, heights):
            ax.annotate(f"{h:.1f}" if h else "n/a", (x, h), ha="center", va="bottom", fontsize=8)
    ax.set_xticks(range(len(TOOLS)), TOOLS)
    ax.set_ylabel("files per second (higher is faster)")
    ax.set_title(f"Auditing the same {files} crawl files, by tool and number of processes")
    ax.legend()
    ax.grid(axis="y", alpha=0.3)
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path)
    plt.close(fig)
    return path


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=crawl_inputs.FILES)
    parser.add_argument("--total-mib", type=int, default=crawl_inputs.TOTAL_MIB)
    parser.add_argument("--data-dir", type=Path, default=crawl_inputs.DATA_DIR)
    parser.add_argument(
        "--jobs", type=int, nargs="+", default=sorted({1, os.cpu_count() or 1}),
        help="numbers of processes (default: 1 and every core)",
    )  # fmt: skip
    parser.add_argument(
        "--inflaters", nargs="+", choices=inflaters.LIBRARIES,
        help="audit with these (default: every one of the build)",
    )  # fmt: skip
    parser.add_argument("--repeat", type=int, default=3, help="runs of each case, taking turns")
    parser.add_argument("--write", action="store_true", help="write table and chart")
    parser.add_argument("--json", type=Path, help="also save every run's figures here")
    args = parser.parse_args(argv)

    kept = crawl_inputs.ensure(args.files, args.total_mib, args.data_dir)
    folder = crawl_inputs.directory(args.total_mib, args.data_dir)
    found: dict[str, list[str]] = {}
    built = inflaters.available()
    cases = plan(folder, kept["files"], args.jobs, found, args.inflaters or built, built)
    paths = [folder / f["name"] for f in kept["files"]]
    take_turns(cases, args.repeat, lambda group: warm(paths))
    text = render(cases, args.jobs, kept, found, built[0])
    if args.write:
        picture = chart(cases, args.jobs, len(kept["files"]), built[0])
        text += f"\n\n![files per second by tool and jobs]({picture.relative_to(ROOT)})"
    print(text)
    if args.json:
        args.json.write_text(
            json.dumps(
                [{"group": c.group, "label": c.label, "failure": c.failure,
                  "runs": [r.__dict__ for r in c.runs]} for c in cases],
                indent=1,
            )
        )  # fmt: skip
    if args.write:
        write_section(
            "crawl", text, shlex.join(["python", "-m", "bench.crawl", *argv]), DISTRIBUTIONS
        )
    return 0 if all(c.done or c.unavailable for c in cases) else 1


if __name__ == "__main__":
    sys.exit(main())
