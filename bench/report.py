"""Writing a benchmark's results into its own section of BENCHMARKS.md."""

from __future__ import annotations

import datetime
import os
import platform
import subprocess
import zlib
from importlib import metadata
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
REPORT = ROOT / "BENCHMARKS.md"


def versions(distributions: tuple[str, ...]) -> str:
    found = []
    for dist in distributions:
        try:
            found.append(f"{dist} {metadata.version(dist)}")
        except metadata.PackageNotFoundError:
            found.append(f"{dist} not installed")
    return ", ".join(found)


def debian_versions(packages: tuple[str, ...]) -> str:
    """Each Debian package with its installed version, or "not installed"."""
    try:
        done = subprocess.run(
            ["dpkg-query", "-W", "-f", "${Package} ${Version}\\n", *packages],
            capture_output=True, text=True,
        )  # fmt: skip
    except FileNotFoundError:  # not a Debian system
        return ", ".join(f"{package} unknown" for package in packages)
    found = dict(line.split(" ", 1) for line in done.stdout.splitlines() if " " in line)
    return ", ".join(f"{package} {found.get(package, 'not installed')}" for package in packages)


def environment(distributions: tuple[str, ...]) -> str:
    cpu = "unknown CPU"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    load = ", ".join(f"{x:.1f}" for x in os.getloadavg())
    return (
        f"{datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC, {cpu}, "
        f"{os.cpu_count()} cores (load average {load}), CPython {platform.python_version()}, "
        f"zlib {zlib.ZLIB_RUNTIME_VERSION}, {versions(distributions)}"
    )


def write_section(name: str, text: str, command: str, distributions: tuple[str, ...]) -> None:
    """Replaces what stands between the section's markers; they must be in the file."""
    begin, end = f"<!-- {name}:begin -->", f"<!-- {name}:end -->"
    current = REPORT.read_text()
    if begin not in current or end not in current:
        raise SystemExit(f"{REPORT.name} has no {begin} ... {end} markers")
    head, _, rest = current.partition(begin)
    _, _, tail = rest.partition(end)
    block = "\n".join(
        [
            begin,
            "",
            f"Command: `{command}`",
            "",
            f"Run: {environment(distributions)}",
            "",
            text,
            "",
            end,
        ]
    )
    REPORT.write_text(head + block + tail)
