"""The cases of the native pass benchmark, as one list of command templates.

A case is a command line with placeholders, filled in per input file:

    {qm}        the `quillmark` command (one or more words)
    {py}        this interpreter
    {file}      the input file; {copy} a fresh copy of it, made untimed before each run
    {out}       an output archive of the input's form (.warc or .warc.gz)
    {store}     the manifest store to append; {store_out} where `manifest` writes one
    {dir}       the audit's crawl folder; {report} the audit's rows; {jobs} its processes

`output` names what the run leaves to check (bench/native_checks.py).
Adding a case, or a variant with extra arguments, is one more entry here.
The floors of the inflaters come from bench/inflaters.py.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass, replace

from bench.inflaters import FLOORS, Floor

RECORD_ID = "urn:uuid:6f1c2a9e-3b7d-4e58-9a01-c4d2e8f7b613"
# Roles: what a case is to the others in its group. A FLOOR is a candidate
# for the group's floor; a LIBRARY_FLOOR only for its own library's.
FLOOR, LIBRARY_FLOOR, COPY, TOOL, PEER, API, PROFILE = (
    "floor", "library floor", "copy", "tool", "peer", "api", "profile",
)  # fmt: skip
# The roles whose cases run quillmark, and so take QUILLMARK_INFLATER.
QUILLMARK_ROLES = (TOOL, API, PROFILE)


@dataclass(frozen=True)
class Spec:
    label: str
    role: str
    argv: tuple[str, ...]
    forms: tuple[str, ...] = ("plain", "gzip")
    output: str = ""  # "" (the exit status says it all), or a check's name
    copy_input: bool = False
    once: bool = False  # one run only: too slow to repeat, or not a timing
    threaded: bool = False  # takes --threads N once the command has it
    threads: int = 0  # the N of a --threads variant; 0 for the plain case
    library: str = ""  # a floor's: the inflater library it inflates with
    inflater: str = ""  # a variant's QUILLMARK_INFLATER; "" the build's default

    def with_threads(self, n: int) -> Spec:
        return replace(
            self, label=f"{self.label} --threads {n}", argv=(*self.argv, "--threads", str(n)),
            threads=n,
        )  # fmt: skip

    def with_inflater(self, name: str) -> Spec:
        """The case on gzip input with QUILLMARK_INFLATER=name, labelled so."""
        return replace(self, label=f"{self.label} ({name})", forms=("gzip",), inflater=name)

    @property
    def suffix(self) -> str:
        """What the inflater's name adds to the label."""
        return f" ({self.inflater})" if self.inflater else ""

    @property
    def command(self) -> str:
        """The label without the inflater's name: what the targets know the case by."""
        return self.label.removesuffix(self.suffix)


def _floor_spec(floor: Floor, jobs: bool = False) -> Spec:
    role = FLOOR if floor.overall else LIBRARY_FLOOR
    if jobs:  # the audit's: every file of the folder, {jobs} at once
        argv = ("{py}", "-m", "bench.crawl_floor", "{dir}", "--jobs", "{jobs}",
                "--command", floor.name)  # fmt: skip
        return Spec(
            f"{floor.label}, {{jobs}} at once", role, argv, forms=("gzip",), library=floor.library
        )
    return Spec(
        floor.label, role, (*floor.argv, "{file}"), forms=("gzip",),
        output="bytes read" if floor.in_python else "", library=floor.library,
    )  # fmt: skip


FILE_SPECS = (
    *(_floor_spec(floor) for floor in FLOORS),
    Spec(
        "floor: read", FLOOR, ("{py}", "-m", "bench.inflate_once", "read", "{file}"),
        forms=("plain",), output="bytes read",
    ),
    Spec(
        "kernel copy", COPY, ("{py}", "-m", "bench.kernel_copy", "{file}", "{out}"), output="copy"
    ),
    Spec("check", TOOL, ("{qm}", "check", "{file}"), threaded=True),
    Spec(
        "manifest", TOOL, ("{qm}", "manifest", "{file}", "-o", "{store_out}"),
        output="manifest store", threaded=True,
    ),
    Spec("records --json", TOOL, ("{qm}", "records", "{file}", "--json"), threaded=True),
    Spec(
        "append -o", TOOL,
        ("{qm}", "append", "{file}", "{store}", "-o", "{out}", "--record-id", RECORD_ID),
        output="appended", threaded=True,
    ),
    Spec(
        "append in place", TOOL, ("{qm}", "append", "{copy}", "{store}", "--record-id", RECORD_ID),
        output="appended in place", copy_input=True, threaded=True,
    ),
    Spec(
        "FastWARC: every body", PEER, ("{py}", "-m", "bench.read_peers", "fastwarc", "{file}"),
        output="facts",
    ),
    Spec(
        "FastWARC: headers and bodies", PEER,
        ("{py}", "-m", "bench.read_peers", "fastwarc-pairs", "{file}"), output="facts",
    ),
    Spec(
        "iter_records(bodies=True)", API,
        ("{py}", "-m", "bench.read_peers", "iter-records", "{file}"), output="facts",
    ),
    Spec(
        "Python calls in check", PROFILE, ("{py}", "-m", "bench.count_calls", "{file}"),
        output="calls", once=True,
    ),
)  # fmt: skip

AUDIT_SPECS = (
    *(_floor_spec(floor, jobs=True) for floor in FLOORS),
    Spec(
        "audit --jobs {jobs}", TOOL,
        ("{qm}", "audit", "{dir}", "--jobs", "{jobs}", "-o", "{report}"), forms=("gzip",),
        output="audit rows",
    ),
    Spec(
        "FastWARC script --jobs {jobs}", PEER,
        ("{py}", "-m", "bench.audit_fastwarc", "{dir}", "--jobs", "{jobs}", "-o", "{report}"),
        forms=("gzip",), output="audit rows",
    ),
)  # fmt: skip


def fill(argv: tuple[str, ...], values: dict[str, str | list[str]]) -> list[str]:
    """The command line: a word that is one placeholder may stand for several words."""
    words: list[str] = []
    for word in argv:
        value = values.get(word[1:-1]) if word.startswith("{") and word.endswith("}") else None
        if isinstance(value, list):
            words += value
        else:
            words.append(word.format_map(values) if "{" in word else word)
    return words


def variants(
    specs: tuple[Spec, ...], threads: list[int], single: bool, inflaters: Sequence[str] = ()
) -> list[Spec]:
    """Every case, with a --threads N variant of each threaded one per N other than 1,
    and, with `inflaters` named, each case that runs quillmark once per inflater.

    `single` (the command has --threads) gives the plain cases `--threads 1`,
    so that they stay what they measure today: one pass on one thread. The
    floor of a library that is neither the fastest nor named is left out.
    With inflaters named, a case that runs quillmark keeps its plain form as
    it is and runs on gzip once per inflater; with none, with the default.
    """
    cases: list[Spec] = []
    for spec in specs:
        if spec.role == LIBRARY_FLOOR and spec.library not in inflaters:
            continue
        base = spec
        if single and spec.threaded:
            base = replace(spec, argv=(*spec.argv, "--threads", "1"), threads=1)
        found = [base]
        if spec.threaded:
            found += [spec.with_threads(n) for n in threads if n != 1]
        if inflaters and spec.role in QUILLMARK_ROLES:
            plain = tuple(form for form in spec.forms if form != "gzip")
            kept = [replace(s, forms=plain) for s in found] if plain else []
            found = kept + [s.with_inflater(name) for s in found for name in inflaters]
        cases += found
    return cases
