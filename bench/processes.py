"""Cases that are whole processes: their time and memory, from the kernel.

Each run is started here and reaped with `os.wait4`, whose resource usage
belongs to that process and to the children it reaped itself (a process
pool's workers, cp's, a JVM's): processor time is their user plus system
time, and peak memory is the largest resident size of any one of them. The
benchmark process's own usage never enters. The cases of one group take turns,
round after round, so that cases compared with each other meet the same load
on a shared machine; per case the best wall time and the best processor time
count, and the largest peak.
"""

from __future__ import annotations

import os
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
MIB = 1 << 20


@dataclass(frozen=True)
class Run:
    wall: float
    cpu: float
    peak_rss: int  # bytes
    status: int
    stderr: str


def run_process(
    argv: list[str],
    *,
    env: dict[str, str] | None = None,
    stdout: Path | None = None,
    cwd: Path = ROOT,
) -> Run:
    """Runs `argv` to its end; its standard output goes to `stdout` or /dev/null."""
    with tempfile.TemporaryFile() as errors, open(stdout or os.devnull, "wb") as out:
        start = time.perf_counter()
        child = subprocess.Popen(
            argv,
            stdin=subprocess.DEVNULL,
            stdout=out,
            stderr=errors,
            env={**os.environ, **(env or {})},
            cwd=cwd,
        )
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.perf_counter() - start
        child.returncode = os.waitstatus_to_exitcode(status)
        errors.seek(0)
        stderr = errors.read().decode(errors="replace")
    return Run(
        wall,
        usage.ru_utime + usage.ru_stime,
        usage.ru_maxrss * 1024,  # Linux reports KiB
        child.returncode,
        stderr,
    )


def last_error(stderr: str, width: int = 160) -> str:
    """The exception of a Python traceback, on one line, or else the last line."""
    lines = stderr.strip().splitlines()
    if "Traceback (most recent call last):" in lines:
        start = len(lines) - lines[::-1].index("Traceback (most recent call last):")
        rest = [line for line in lines[start:] if not line.startswith(" ")]
        if rest:
            exception = lines[lines.index(rest[0], start) :]
            text = " ".join(" ".join(exception).split())
            return text if len(text) <= width else text[: width - 1] + "…"
    return lines[-1] if lines else "no message"


@dataclass
class Case:
    """One command measured in turns with the other cases of its group."""

    group: str
    label: str
    argv: list[str]
    env: dict[str, str] | None = None
    stdout: Path | None = None
    once: bool = False  # too slow or too large to repeat: one run only
    prepare: Callable[[], None] | None = None  # untimed, before each run
    verify: Callable[[Run], str | None] | None = None  # a failure text, or None
    cleanup: Callable[[], None] | None = None  # untimed, after each run
    unavailable: str = ""  # why the case cannot run here
    status: int = 0  # the exit status a correct run ends with
    runs: list[Run] = field(default_factory=list)
    failure: str = ""

    @property
    def done(self) -> bool:
        return bool(self.runs) and not self.failure

    @property
    def wall(self) -> float:
        return min(r.wall for r in self.runs)

    @property
    def cpu(self) -> float:
        return min(r.cpu for r in self.runs)

    @property
    def peak_rss(self) -> int:
        return max(r.peak_rss for r in self.runs)

    def state(self) -> str:
        if self.unavailable:
            return f"not available ({self.unavailable})"
        if self.failure:
            return f"failed: {self.failure}"
        return "not run" if not self.runs else ""

    def run_once(self) -> Run:
        if self.prepare:
            self.prepare()
        try:
            run = run_process(self.argv, env=self.env, stdout=self.stdout)
            if run.status != self.status:
                self.failure = f"exit status {run.status}: {last_error(run.stderr)}"
            elif self.verify:
                self.failure = self.verify(run) or ""
        finally:
            if self.cleanup:
                self.cleanup()
        self.runs.append(run)
        return run


def warm(paths: list[Path]) -> None:
    """Reads files once, untimed, so that no case pays for bringing them from disk."""
    buffer = bytearray(MIB)
    for path in paths:
        with open(path, "rb", buffering=0) as stream:
            while stream.readinto(buffer):
                pass


def take_turns(
    cases: list[Case], rounds: int, before_group: Callable[[str], None] | None = None
) -> None:
    """Runs each group's cases in turn, `rounds` times; a failed case is not run again.

    `before_group(group)` runs first, untimed, for each group that has cases to run.
    """
    groups = list(dict.fromkeys(c.group for c in cases))
    todo = sum(
        (1 if c.once else rounds) for c in cases if not c.unavailable
    )  # for the progress lines only
    done = 0
    for group in groups:
        members = [c for c in cases if c.group == group and not c.unavailable]
        if members and before_group:
            before_group(group)
        for turn in range(rounds):
            for case in members:
                if case.failure or (case.once and turn):
                    continue
                run = case.run_once()
                done += 1
                state = case.failure or (
                    f"{run.wall:.3f} s wall, {run.cpu:.3f} s CPU, {run.peak_rss / MIB:,.0f} MiB"
                )
                print(
                    f"[{done}/{todo}] {group}: {case.label}: {state}", file=sys.stderr, flush=True
                )
