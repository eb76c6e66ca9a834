"""Finding the archive files of a crawl: paths, directories walked, globs,
and URLs of any file system that fsspec reaches."""

from __future__ import annotations

import glob
import os
import stat
from collections.abc import Iterable, Iterator
from typing import Any, NamedTuple

from ..package import PACKAGE_SUFFIX, is_package

ARCHIVE_SUFFIXES = (".warc", ".warc.gz")
_GLOB_CHARACTERS = frozenset("*?[")
_LOCAL_SCHEMES = ("file://", "file:")


class Target(NamedTuple):
    """A file to audit, as found: its size for progress (None when unknown);
    ``error`` when it could not even be listed (an unreadable directory);
    ``package`` for a WACZ package, audited as each WARC inside it, or as
    the one named ``warc`` (a path ``PACKAGE#archive/NAME`` given as such)."""

    path: str
    size: int | None = None
    error: str | None = None
    package: bool = False
    warc: str | None = None

    @property
    def package_path(self) -> str:
        """The package's own path (``path`` less ``#NAME`` for one WARC)."""
        return self.path if self.warc is None else self.path[: -len(self.warc) - 1]


def is_archive_name(name: str) -> bool:
    return name.lower().endswith(ARCHIVE_SUFFIXES)


def find_archives(paths: Iterable[str], *, globs: bool = False) -> Iterator[Target]:
    """The files to audit: each path that is not a directory as it is, and the
    archive files (.warc, .warc.gz) and packages (.wacz) under each directory,
    walked recursively in name order without following links to directories.
    A path given that starts as a ZIP does is a package too. With ``globs``,
    a path holding * ? or [ is a pattern ("**" crossing directories). URLs
    are listed through fsspec."""
    for path in paths:
        if is_url(path) and local_path(path) is None:
            yield from _find_remote(path, globs)
        elif globs and _GLOB_CHARACTERS.intersection(path):
            for found in sorted(glob.glob(path, recursive=True)):
                yield from _find_local(found)
        else:
            yield from _find_local(path)


def local_path(path: str) -> str | None:
    """The local path that ``path`` names, or None for a URL of another file system."""
    for scheme in _LOCAL_SCHEMES:
        if path.startswith(scheme):
            rest = path[len(scheme) :]
            # file:///a, file://localhost/a (RFC 8089) and Hadoop's file:/a
            if rest.startswith("localhost/"):
                rest = rest[len("localhost") :]
            return rest if rest.startswith("/") else None
    return None if is_url(path) else path


def is_url(path: str) -> bool:
    scheme, sep, _ = path.partition("://")
    return bool(sep) and scheme.replace("+", "").replace("-", "").replace(".", "").isalnum()


class Remote(NamedTuple):
    """A URL as fsspec reaches it: its file system, and the path within it."""

    filesystem: Any
    path: str


def remote_filesystem(url: str) -> Remote:
    """fsspec's file system for ``url`` and the path within it."""
    try:
        import fsspec  # type: ignore[import-not-found,unused-ignore]
    except ImportError:
        raise OSError(0, "fsspec is not installed, so URLs cannot be opened") from None
    try:
        filesystem, path = fsspec.core.url_to_fs(url)
        return Remote(filesystem, path)
    except (ImportError, ValueError) as exc:  # an unknown scheme, a backend not installed
        raise OSError(0, str(exc)) from None


def _find_local(path: str) -> Iterator[Target]:
    local = local_path(path) or path
    try:
        info = os.stat(local)
    except OSError:
        # Its row tells why it cannot be read, unless it names a WARC in a package.
        yield _warc_in_package(path) or Target(path)
        return
    if not stat.S_ISDIR(info.st_mode):
        # Given by name, a file that starts as a ZIP is a package too.
        yield Target(path, info.st_size, package=is_package(local))
        return
    yield from _walk(path)


def _warc_in_package(path: str) -> Target | None:
    """The WARC that ``path`` names as ``PACKAGE#NAME`` (as audit rows name
    it), where such a package stands; one stat, nothing else probed."""
    marker = f"{PACKAGE_SUFFIX}#"
    at = path.lower().find(marker)
    if at < 0:
        return None
    package, warc = path[: at + len(PACKAGE_SUFFIX)], path[at + len(marker) :]
    try:
        if not warc or not stat.S_ISREG(os.stat(local_path(package) or package).st_mode):
            return None
    except OSError:
        return None
    return Target(path, package=True, warc=warc)


def _walk(top: str) -> Iterator[Target]:
    stack = [top]
    while stack:
        directory = stack.pop()
        try:
            with os.scandir(local_path(directory) or directory) as listing:
                entries = sorted(listing, key=lambda entry: entry.name)
        except OSError as exc:
            yield Target(directory, error=exc.strerror or str(exc))
            continue
        below = []
        for entry in entries:
            path = os.path.join(directory, entry.name)
            package = entry.name.lower().endswith(PACKAGE_SUFFIX)
            try:
                if entry.is_dir(follow_symlinks=False):
                    below.append(path)
                    continue
                # A link that leads nowhere is a row that says so; a FIFO or
                # a socket would only block the worker that opened it.
                wanted = package or is_archive_name(entry.name)
                if not (wanted and (entry.is_file() or entry.is_symlink())):
                    continue
                size: int | None = entry.stat().st_size
            except OSError:
                size = None
            yield Target(path, size, package=package)
        stack.extend(reversed(below))  # popped in name order


def _find_remote(url: str, globs: bool) -> Iterator[Target]:
    try:
        filesystem, inner = remote_filesystem(url)
        if globs and _GLOB_CHARACTERS.intersection(inner):
            found = filesystem.glob(inner, detail=True)
        elif filesystem.isdir(inner):
            found = filesystem.find(inner, detail=True)
            found = {name: info for name, info in found.items() if is_archive_name(name)}
        else:
            yield Target(url)
            return
    except OSError as exc:
        yield Target(url, error=exc.strerror or str(exc))
        return
    for name in sorted(found):
        info = found[name]
        if info.get("type") == "directory":
            yield from _find_remote(filesystem.unstrip_protocol(name), False)
        else:
            yield Target(filesystem.unstrip_protocol(name), info.get("size"))
