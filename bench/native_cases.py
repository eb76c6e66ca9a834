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
"""

from __future__ import annotations

from dataclasses import dataclass, replace

RECORD_ID = "urn:uuid:6f1c2a9e-3b7d-4e58-9a01-c4d2e8f7b613"
# Roles: what a case is to the others in its group.
FLOOR, COPY, TOOL, PEER, API, PROFILE = "floor", "copy", "tool", "peer", "api", "profile"


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

    def with_threads(self, n: int) -> Spec:
        return replace(
            self, label=f"{self.label} --threads {n}", argv=(*self.argv, "--threads", str(n)),
            threads=n,
        )  # fmt: skip


FILE_SPECS = (
    Spec("floor: igzip", FLOOR, ("igzip", "-d", "-c", "{file}"), forms=("gzip",)),
    Spec("floor: libdeflate-gunzip", FLOOR, ("libdeflate-gunzip", "-c", "{file}"), forms=("gzip",)),
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
    Spec(
        "floor: igzip, {jobs} at once", FLOOR,
        ("{py}", "-m", "bench.crawl_floor", "{dir}", "--jobs", "{jobs}", "--command", "igzip"),
    ),
    Spec(
        "floor: libdeflate-gunzip, {jobs} at once", FLOOR,
        ("{py}", "-m", "bench.crawl_floor", "{dir}", "--jobs", "{jobs}",
         "--command", "libdeflate-gunzip"),
    ),
    Spec(
        "audit --jobs {jobs}", TOOL,
        ("{qm}", "audit", "{dir}", "--jobs", "{jobs}", "-o", "{report}"), output="audit rows",
    ),
    Spec(
        "FastWARC script --jobs {jobs}", PEER,
        ("{py}", "-m", "bench.audit_fastwarc", "{dir}", "--jobs", "{jobs}", "-o", "{report}"),
        output="audit rows",
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


def variants(specs: tuple[Spec, ...], threads: list[int], single: bool) -> list[Spec]:
    """Every case, with a --threads N variant of each threaded one per N other than 1.

    `single` (the command has --threads) gives the plain cases `--threads 1`,
    so that they stay what they measure today: one pass on one thread.
    """
    cases: list[Spec] = []
    for spec in specs:
        base = spec
        if single and spec.threaded:
            base = replace(spec, argv=(*spec.argv, "--threads", "1"), threads=1)
        cases.append(base)
        if spec.threaded:
            cases += [spec.with_threads(n) for n in threads if n != 1]
    return cases
