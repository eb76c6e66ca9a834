"""One pass over an archive file: the `quillmark` command against inflation, copy and FastWARC.

    python -m bench.native_pass               # full inputs, 3 rounds in turns
    python -m bench.native_pass --quick       # small inputs: a look at the harness
    python -m bench.native_pass --write       # also write the tables into BENCHMARKS.md
    python -m bench.native_pass --threads 2   # also --threads 2 of each command that has it
    python -m bench.native_pass --inflater zlib isal   # the tool with each inflater named

Inputs (bench/native_inputs.py): a crawl-shaped `.warc.gz` of one gzip member
per record, a `.warc.gz` of tiny records, the plain `.warc` of each, and a
folder of smaller crawl files for `audit`. The cases (bench/native_cases.py)
of one input and form take turns, each a process of its own whose processor
time, wall time and peak memory come from the kernel (bench/processes.py).
Floors, measured in the same turns: on a `.warc.gz` the faster of `igzip` and
`libdeflate-gunzip` inflating it once; on a `.warc` one read of it; and one
kernel copy (`copy_file_range` and fsync) for the commands that write.

The tool runs with the inflater its build picks, or with QUILLMARK_INFLATER
set to each one --inflater names (bench/inflaters.py), each also against the
floor of its own library: the same library inflating the file once. A run
with --inflater writes its table into the section on choosing the inflater.
"""

from __future__ import annotations

import argparse
import json
import os
import shlex
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

from bench import inflaters, native_checks, native_inputs
from bench.native_cases import (
    API,
    AUDIT_SPECS,
    FILE_SPECS,
    FLOOR,
    LIBRARY_FLOOR,
    PROFILE,
    QUILLMARK_ROLES,
    TOOL,
    Spec,
    fill,
    variants,
)
from bench.processes import MIB, Case, take_turns, warm
from bench.report import debian_versions, write_section
from bench.streaming import fresh_copy, manifest_file, quillmark_command

DISTRIBUTIONS = ("quillmark", "FastWARC")
# Debian's: the libraries the build links, and the floor programs on the same ones.
DEBIAN_PACKAGES = ("libdeflate0", "libisal2", "zlib1g", "libdeflate-tools", "isal", "pigz")
INPUTS = ("crawl", "tiny", "audit")
MEMORY_LIMIT = 64 * MIB
THREAD_MEMORY = 64 * MIB


@dataclass
class Measured:
    """A planned case and where it stands in the tables."""

    case: Case
    spec: Spec
    input: str
    form: str
    library: str = ""  # the inflater library the case inflates with, on gzip input
    default: bool = True  # the inflater the build picks: the targets apply

    @property
    def group(self) -> str:
        return self.case.group


def threads_missing() -> str:
    done = subprocess.run(
        [*quillmark_command(), "check", "--help"], capture_output=True, text=True,
        stdin=subprocess.DEVNULL,
    )  # fmt: skip
    return "" if "--threads" in done.stdout else "the quillmark command has no --threads"


def _remove(*paths: Path):
    def remove() -> None:
        for path in paths:
            path.unlink(missing_ok=True)

    return remove


def _why_not(spec: Spec, built: list[str], no_threads: str) -> str:
    """Why the case cannot run here, or ""."""
    if spec.threads > 1 and no_threads:
        return no_threads
    if spec.inflater:
        return inflaters.unavailable(spec.inflater, built)
    floor = next((f for f in inflaters.FLOORS if spec.label.startswith(f.label)), None)
    return inflaters.missing(floor) if floor and spec.library else ""


def _measured(case: Case, spec: Spec, name: str, form: str, built: list[str]) -> Measured:
    if form != "gzip":
        return Measured(case, spec, name, form)
    if spec.role in QUILLMARK_ROLES:
        library = spec.inflater or built[0]
        return Measured(case, spec, name, form, library, library == built[0])
    return Measured(case, spec, name, form, spec.library)


def _environment(spec: Spec) -> dict[str, str] | None:
    return {inflaters.ENVIRONMENT: spec.inflater} if spec.inflater else None


def _file_cases(
    name: str, form: str, path: Path, facts: dict, specs: list[Spec], out_dir: Path,
    store: Path, calls: dict[str, dict], no_threads: str, built: list[str],
) -> list[Measured]:  # fmt: skip
    suffix = native_inputs.FORMS[form]
    out = out_dir / f"out{suffix}"
    copy = out_dir / f"in-place{suffix}"
    store_out = out_dir / "manifest.c2pa"
    stdout = out_dir / "stdout.txt"
    values: dict[str, str | list[str]] = {
        "qm": quillmark_command(), "py": sys.executable, "file": str(path), "copy": str(copy),
        "out": str(out), "store": str(store), "store_out": str(store_out),
    }  # fmt: skip
    group = f"{name} / {form}"
    found = []
    for spec in specs:
        if form not in spec.forms:
            continue
        checks = {
            "bytes read": lambda: native_checks.bytes_read(stdout, facts),
            "copy": lambda: native_checks.copied(out, path),
            "manifest store": lambda: native_checks.manifest_store(store_out, facts),
            "appended": lambda: native_checks.appended(out, facts, store),
            "appended in place": lambda: native_checks.appended(copy, facts, store),
            "facts": lambda: native_checks.printed_facts(stdout, facts),
            "calls": lambda key=f"{group}{spec.suffix}": native_checks.calls(
                stdout, facts, calls, key
            ),
        }
        case = Case(
            group,
            spec.label,
            fill(spec.argv, values),
            _environment(spec),
            stdout=stdout if spec.output in ("bytes read", "facts", "calls") else None,
            once=spec.once,
            prepare=fresh_copy(path, copy) if spec.copy_input else None,
            verify=checks[spec.output]() if spec.output else None,
            cleanup=_remove(out, copy, store_out, stdout),
            unavailable=_why_not(spec, built, no_threads),
        )
        found.append(_measured(case, spec, name, form, built))
    return found


def _audit_cases(
    folder: Path, expected: list[dict], jobs: int, out_dir: Path, specs: list[Spec],
    built: list[str],
) -> list[Measured]:  # fmt: skip
    report = out_dir / "audit.jsonl"
    values: dict[str, str | list[str]] = {
        "qm": quillmark_command(), "py": sys.executable, "dir": str(folder), "jobs": str(jobs),
        "report": str(report),
    }  # fmt: skip
    found = []
    for spec in specs:
        case = Case(
            "audit",
            spec.label.format(jobs=jobs),
            fill(spec.argv, values),
            _environment(spec),
            verify=native_checks.audit_rows(report, expected) if spec.output else None,
            cleanup=_remove(report),
            unavailable=_why_not(spec, built, ""),
        )
        found.append(_measured(case, spec, "audit", "gzip", built))
    return found


def plan(
    kept: dict, scale: str, data_dir: Path, inputs: list[str], forms: list[str],
    threads: list[int], jobs: int, calls: dict[str, dict], named: list[str], built: list[str],
) -> list[Measured]:  # fmt: skip
    """Every case; `named` the inflaters to run the tool with, `built` those of its build."""
    out_dir = native_inputs.folder(scale, data_dir) / "out"
    out_dir.mkdir(parents=True, exist_ok=True)
    store = manifest_file(native_inputs.folder(scale, data_dir))
    no_threads = threads_missing()
    specs = variants(FILE_SPECS, threads, single=not no_threads, inflaters=named)
    files = native_inputs.paths(scale, data_dir)
    found: list[Measured] = []
    for name in inputs:
        if name == "audit":
            expected = native_inputs.audit_expected(kept)
            folder = native_inputs.audit_folder(scale, data_dir)
            audit_specs = variants(AUDIT_SPECS, [], single=False, inflaters=named)
            found += _audit_cases(folder, expected, jobs, out_dir, audit_specs, built)
            continue
        for form in forms:
            found += _file_cases(
                name, form, files[name][form], kept["files"][name], specs, out_dir, store, calls,
                no_threads, built,
            )  # fmt: skip
    return found


def check_floors(
    kept: dict, scale: str, data_dir: Path, inputs: list[str], named: list[str]
) -> None:
    """Untimed, once: each floor program inflates every byte (its timed runs write to /dev/null)."""
    files = native_inputs.paths(scale, data_dir)
    inflaters.check_programs(
        {files[n]["gzip"]: kept["files"][n]["uncompressed"] for n in inputs if n in files},
        inflaters.floors_for(named),
    )


# The tables ------------------------------------------------------------------------------------


def _find(measured: list[Measured], group: str, label: str) -> Case | None:
    case = next((m.case for m in measured if m.group == group and m.case.label == label), None)
    return case if case is not None and case.done else None


def floor_of(measured: list[Measured], group: str) -> Case | None:
    """The group's floor: the floor case with the least processor time.

    The audit's target is in files per second, so there the least wall time
    chooses: two inflaters at once can be done sooner by the one that costs more.
    """
    floors = [m.case for m in measured if m.group == group and m.spec.role == FLOOR]
    done = [c for c in floors if c.done]
    if not done:
        return None
    return min(done, key=lambda c: c.wall if group == "audit" else c.cpu)


def library_floor_of(measured: list[Measured], group: str, library: str) -> Case | None:
    """The floor of one inflater library: its floor case with the least processor time."""
    done = [
        m.case for m in measured
        if m.group == group and m.spec.role in (FLOOR, LIBRARY_FLOOR) and m.spec.library == library
        and m.case.done
    ]  # fmt: skip
    return min(done, key=lambda c: c.cpu) if done else None


def _met(text: str, value: float | None, ok: bool) -> tuple[str, bool] | None:
    return None if value is None else (f"{text}: {value:.2f}", ok)


def targets(
    m: Measured, measured: list[Measured], calls: dict[str, dict]
) -> list[tuple[str, bool]]:
    """The issues' targets that apply to this row, each with its figure.

    They are the tool's as it ships: with another inflater than the build's
    default, only the memory target applies.
    """
    case, group, label, named = m.case, m.group, m.spec.command, m.spec.suffix
    found: list[tuple[str, bool] | None] = []
    if m.spec.role in (TOOL, API):
        found.append((f"≤64 MiB: {case.peak_rss / MIB:,.0f}", case.peak_rss <= MEMORY_LIMIT))
    if not m.default:
        return [t for t in found if t is not None]
    floor = floor_of(measured, group)
    gzip_crawl = group == "crawl / gzip"
    if m.spec.threads <= 1 and label == "check" and m.form == "gzip" and floor:
        limit, faster = (1.05, 1.3) if m.input == "crawl" else (1.2, 1.1)
        ratio = case.cpu / floor.cpu
        found.append(_met(f"≤{limit}× floor", ratio, ratio <= limit))
        peer = _find(measured, group, "FastWARC: every body")
        times = peer.cpu / case.cpu if peer else None
        found.append(_met(f"≥{faster}× faster than FastWARC", times, (times or 0) >= faster))
    if m.spec.threads <= 1 and label == "append -o" and gzip_crawl:
        check = _find(measured, group, f"check{named}")
        copy = _find(measured, group, "kernel copy")
        if check and copy:
            ratio = case.cpu / (check.cpu + copy.cpu)
            found.append(_met("≤1× check + kernel copy", ratio, ratio <= 1))
    if m.spec.role == API:
        peer = _find(measured, group, "FastWARC: headers and bodies")
        times = peer.cpu / case.cpu if peer else None
        found.append(_met("≥1.2× faster than FastWARC", times, (times or 0) >= 1.2))
    if m.spec.role == PROFILE and f"{group}{named}" in calls:
        found_calls = calls[f"{group}{named}"]
        per_record = found_calls["calls"] / found_calls["records"]
        found.append((f"≤0.05 calls/record: {per_record:.3g}", per_record <= 0.05))
    if m.input == "audit" and m.spec.role == TOOL and floor:
        ratio = floor.wall / case.wall  # files per second over the floor's
        found.append(_met("≥0.95× floor files/s", ratio, ratio >= 0.95))
    if m.spec.threads > 1:
        found += _thread_targets(m, measured, floor)
    return [t for t in found if t is not None]


def _thread_targets(m: Measured, measured: list[Measured], floor: Case | None):
    case, n = m.case, m.spec.threads
    per_thread = case.peak_rss / n
    found = [(f"≤64 MiB per thread: {per_thread / MIB:,.0f}", per_thread <= THREAD_MEMORY)]
    if m.group != "crawl / gzip" or n != 2:
        return found
    base_label = m.spec.command.removesuffix(f" --threads {n}")
    one = _find(measured, m.group, f"{base_label}{m.spec.suffix}")
    if base_label == "check":
        if floor:
            ratio = case.wall / floor.wall
            found.append(_met("wall ≤0.6× floor", ratio, ratio <= 0.6))
        if one:
            ratio = case.wall / one.wall
            found.append(_met("wall ≤0.55× --threads 1", ratio, ratio <= 0.55))
    if base_label == "append -o" and one:
        ratio = case.wall / one.wall
        found.append(_met("wall ≤0.6× --threads 1", ratio, ratio <= 0.6))
    return found


def _spread(case: Case) -> str:
    """How far apart the runs' processor times were: the noise of this row."""
    if len(case.runs) < 2:
        return "–"
    times = [r.cpu for r in case.runs]
    return f"{(max(times) / min(times) - 1) * 100:.0f}%"


def _cell(value: float | None) -> str:
    return "–" if value is None else f"{value:.2f}"


def render(measured: list[Measured], kept: dict, calls: dict[str, dict], notes: list[str]) -> str:
    files = kept["files"]
    stamp = kept["stamp"]
    legend = []
    shown = {m.input for m in measured}
    for name in (n for n in ("crawl", "tiny") if n in shown):
        f = files[name]
        legend.append(
            f"- {name}: {f['records']:,} records, {f['uncompressed'] / MIB:,.0f} MiB uncompressed; "
            f"`.warc.gz` {f['sizes']['gzip'] / MIB:,.0f} MiB (one member per record), "
            f"`.warc` {f['sizes']['plain'] / MIB:,.0f} MiB"
        )
    audit = native_inputs.audit_expected(kept)
    if "audit" in shown:
        legend.append(
            f"- audit: {len(audit)} crawl files, {sum(a['disk_size'] for a in audit) / MIB:,.0f} "
            "MiB of `.warc.gz`"
        )
    legend.append(f"- compressed by {stamp['compressor']}")
    if stamp["scale"] != "full":
        legend.append("- A small scale: a check of the harness, not a measurement of the targets.")
    rows = [
        "| input | case | CPU s | wall s | peak MiB | CPU spread | ÷ floor CPU | ÷ floor wall "
        "| ÷ its library's floor CPU | targets |",
        "|---|---|---:|---:|---:|---:|---:|---:|---:|---|",
    ]
    missed = checked = 0
    used = {m.library for m in measured if m.spec.role in QUILLMARK_ROLES}
    for m in measured:
        case = m.case
        if case.state():
            rows.append(f"| {m.group} | {case.label} | {case.state()} |  |  |  |  |  |  |  |")
            continue
        floor = floor_of(measured, m.group)
        own = library_floor_of(measured, m.group, m.library) if m.library else None
        is_floor = case is floor
        found = targets(m, measured, calls)
        missed += sum(not ok for _, ok in found)
        checked += len(found)
        label = case.label + (" (the floor)" if is_floor else "")
        if case is own and not is_floor and m.library in used:
            label += f" ({m.library}'s floor)"
        label += " (1 run)" if case.once else ""
        comparable = floor is not None and m.spec.role != PROFILE and not is_floor
        to_own = own is not None and m.spec.role != PROFILE and case is not own
        cells = [
            m.group,
            label,
            f"{case.cpu:.3f}",
            f"{case.wall:.3f}",
            f"{case.peak_rss / MIB:,.0f}",
            _spread(case),
            _cell(case.cpu / floor.cpu) if comparable and floor else "–",
            _cell(case.wall / floor.wall) if comparable and floor else "–",
            _cell(case.cpu / own.cpu) if to_own and own else "–",
            "; ".join(f"{text}, {'met' if ok else 'not met'}" for text, ok in found) or "–",
        ]
        rows.append("| " + " | ".join(cells) + " |")
    if not checked:
        summary = "No target could be checked."
    else:
        summary = (
            f"{missed} of {checked} target figures not met." if missed else "Every target is met."
        )
    profile = []
    for group, found in calls.items():
        per_record = found["calls"] / found["records"]
        top = ", ".join(f"{name} {count:,}" for name, count in found["most_called"][:5])
        own = ", ".join(f"{name} {seconds:.2f} s" for name, seconds in found["most_own_time"][:3])
        profile.append(
            f"- {group}: {found['calls']:,} calls for {found['records']:,} records "
            f"({per_record:.2f} per record); most called: {top}; most time of their own "
            f"(profiled): {own}"
        )
    blocks = ["Inputs:", "", *legend, "", *rows, "", summary]
    if profile:
        blocks += ["", "Python calls in one `check` (cProfile):", "", *profile]
    if notes:
        blocks += ["", *notes]
    return "\n".join(blocks)


def _to_json(measured: list[Measured], calls: dict[str, dict]) -> str:
    cases = [
        {
            "group": m.group, "label": m.case.label, "argv": m.case.argv,
            "failure": m.case.failure, "runs": [r.__dict__ for r in m.case.runs],
        }
        for m in measured
    ]  # fmt: skip
    return json.dumps({"cases": cases, "calls": calls}, indent=1)


def _own_peak() -> int:
    import resource

    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small inputs, one round")
    parser.add_argument("--data-dir", type=Path, default=native_inputs.DATA_DIR)
    parser.add_argument("--inputs", nargs="+", choices=INPUTS, default=list(INPUTS))
    parser.add_argument(
        "--forms", nargs="+", choices=list(native_inputs.FORMS), default=list(native_inputs.FORMS)
    )
    parser.add_argument("--rounds", type=int, help="runs of each case, in turns (default 3)")
    parser.add_argument(
        "--threads", type=int, nargs="+", default=[], metavar="N",
        help="also run each command that has --threads with N threads",
    )  # fmt: skip
    parser.add_argument("--jobs", type=int, default=2, help="processes of the audit cases")
    parser.add_argument(
        "--inflater", nargs="+", choices=inflaters.LIBRARIES, default=[], metavar="NAME",
        help="run quillmark on gzip input with QUILLMARK_INFLATER=NAME, each NAME in turn "
        f"({', '.join(inflaters.LIBRARIES)}; default: the build's own choice)",
    )  # fmt: skip
    parser.add_argument(
        "--only", nargs="+", metavar="LABEL", help="only the cases whose label starts so"
    )
    parser.add_argument(
        "--write", action="store_true",
        help="write the tables into BENCHMARKS.md (with --inflater: the section on choosing it)",
    )  # fmt: skip
    parser.add_argument("--json", type=Path, help="also save every run's figures here")
    args = parser.parse_args(argv)
    scale = "quick" if args.quick else "full"
    rounds = args.rounds or (1 if args.quick else 3)

    built = inflaters.available()
    kept = native_inputs.ensure(scale, args.data_dir)
    if "gzip" in args.forms:
        check_floors(kept, scale, args.data_dir, args.inputs, args.inflater)
    calls: dict[str, dict] = {}
    measured = plan(
        kept, scale, args.data_dir, args.inputs, args.forms, args.threads, args.jobs, calls,
        args.inflater, built,
    )  # fmt: skip
    if args.only:
        measured = [m for m in measured if m.case.label.startswith(tuple(args.only))]
    files = native_inputs.paths(scale, args.data_dir)
    audit = native_inputs.audit_folder(scale, args.data_dir)

    def warm_group(group: str) -> None:
        if group == "audit":
            warm(sorted(audit.iterdir()))
        else:
            name, form = group.split(" / ")
            warm([files[name][form]])

    load_before = os.getloadavg()[0]
    take_turns([m.case for m in measured], rounds, warm_group)
    notes = [
        f"{rounds} round(s) in turns; per case the least processor time and the least wall time "
        f"count, and the largest peak. Load average {load_before:.1f} at the start, "
        f"{os.getloadavg()[0]:.1f} at the end. Peaks include what a process inherits from the "
        f"harness ({_own_peak() / MIB:,.0f} MiB).",
        f"Inflaters of this build, fastest first: {', '.join(built)} (the default: "
        f"{built[0]}). Libraries and floor programs: {debian_versions(DEBIAN_PACKAGES)}.",
    ]
    text = render(measured, kept, calls, notes)
    print(text)
    if args.json:
        args.json.write_text(_to_json(measured, calls))
    if args.write:
        command = shlex.join(["python", "-m", "bench.native_pass", *argv])
        section = "inflater-choice" if args.inflater else "native-pass"
        write_section(section, text, command, DISTRIBUTIONS)
    return 0 if all(m.case.done or m.case.unavailable for m in measured) else 1


if __name__ == "__main__":
    sys.exit(main())
