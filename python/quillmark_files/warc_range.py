"""A WARC inside a package, handed to the native pass as the byte range of
the package file that holds it: read in place, its kept members copied from
there by the kernel, nothing staged. This module is the one place that does
so."""

from __future__ import annotations

from typing import Callable

from .append import AppendResult, append_into, is_gzip
from .package_names import member_path
from .source import Source
from .steps import Progress
from .wacz import Package, WarcEntry


def warc_source(package: Package, warc: WarcEntry) -> Source:
    """The WARC as an archive to read, named ``package#name``."""
    return Source.of_range(package.fd, warc.offset, warc.size, member_path(package.name, warc.name))


def warc_appender(
    package: Package,
    warc: WarcEntry,
    manifest: bytes,
    *,
    record_id: str,
    inflater: str | None,
    progress: Progress | None,
    threads: int | None,
    results: list[AppendResult],
) -> Callable[[int], tuple[int, int | None]]:
    """The callback that writes the WARC with ``manifest`` appended at a file
    descriptor's own offset, as ``append_manifest`` makes it of the WARC as a
    file (its compression kept), and returns its size and where it first
    differs from the old WARC before the new record; what the append reports
    goes to ``results``."""

    def write(out_fd: int) -> tuple[int, int | None]:
        source = warc_source(package, warc)
        result, written, moved = append_into(
            source,
            out_fd,
            manifest,
            record_id,
            compress=is_gzip(source),
            inflater=inflater,
            progress=progress,
            threads=threads,
            output_name=source.name,
        )
        results.append(result)
        return written, moved

    return write
