"""Why an archive file was refused."""

from __future__ import annotations


class ArchiveError(ValueError):
    """An archive file that cannot be used: malformed, or not decompressible.

    ``str(error)`` is the reason alone; ``path`` names the file when it is known.
    """

    def __init__(self, message: str, path: str | None = None) -> None:
        super().__init__(message)
        self.message = message
        self.path = path

    def located(self) -> str:
        """The reason with where in the file it lies, where the reason itself
        does not say: "... (record at offset N)"."""
        return self.message


class MalformedArchive(ArchiveError):
    """The archive's content fails to read: ``message`` is quillmark's own
    ("invalid WARC record: ..."), exactly as ``quillmark.read_records`` raises it
    for the whole uncompressed content.

    ``record_offset`` is where the failing record starts in the uncompressed
    content (None when the failure is not one record's, as for an empty archive
    given to ``append_manifest``); ``compressed`` tells whether the file was
    gzip-compressed, so that offsets refer to its uncompressed content.
    """

    def __init__(
        self,
        message: str,
        record_offset: int | None,
        compressed: bool = False,
        path: str | None = None,
    ) -> None:
        super().__init__(message, path)
        self.record_offset = record_offset
        self.compressed = compressed

    def located(self) -> str:
        offset = self.record_offset
        if offset is None or self.message.endswith(f" at offset {offset}"):
            return self.message
        of = " of the uncompressed archive" if self.compressed else ""
        return f"{self.message} (record at offset {offset}{of})"


class CompressionError(ArchiveError):
    """The gzip data of the file is damaged: a truncated or corrupt member, or
    bytes after the last member that are neither a member nor zero padding.
    ``compressed_offset`` is where the member (or the stray data) begins."""

    def __init__(self, message: str, compressed_offset: int, path: str | None = None) -> None:
        super().__init__(message, path)
        self.compressed_offset = compressed_offset


class PackageError(ArchiveError):
    """A WACZ package that cannot be used: a damaged ZIP, a WARC entry that is
    not stored, a ``datapackage.json`` that does not parse or does not list the
    WARC, a signature that a change would break, or no WARC named where several
    are inside. ``str(error)`` is one line."""

    def __init__(self, message: str, path: str | None = None) -> None:
        # Entry names come from the file: control characters in them are
        # escaped, so that the message stays one line.
        if not message.isprintable():
            message = "".join(c if c.isprintable() else repr(c)[1:-1] for c in message)
        super().__init__(message, path)


class PackageMismatch(PackageError):
    """A file of a package that is not what the package says of it: a WARC
    whose bytes do not match their CRC-32 in the ZIP directory, or their size
    or hash in ``datapackage.json``, or a ``datapackage.json`` that does not
    match its hash in ``datapackage-digest.json``. ``path`` is
    ``PACKAGE#NAME`` for a WARC, the package for ``datapackage.json``;
    ``against`` tells which value failed: "crc32", "size" or "hash"."""

    def __init__(self, message: str, path: str, against: str) -> None:
        super().__init__(message, path)
        self.against = against


# Why a file that changed while it was read has no verdict (an audit row's
# error); FileChanged's message adds its name and that nothing was written.
CHANGED_WHILE_READ = "changed while it was read (is it still being written?)"


class FileStateError(ArchiveError):
    """A file that could not be used as it stood, through no fault of its
    content: its message is its name, then what ``SAYS`` of it."""

    SAYS = ""

    def __init__(self, path: str) -> None:
        super().__init__(self.about(path), path)

    @classmethod
    def about(cls, name: str) -> str:
        """The message for the file called ``name`` (as a command shows it)."""
        return f"{name} {cls.SAYS}"


class FileChanged(FileStateError):
    """The file changed while it was read: its device, inode, size or times
    differ from what they were when it was opened (or, for a file replaced in
    place, its path now names another file). What was read of it is partial,
    so no verdict is given and no output is put in place: ``str(error)`` is
    "FILE changed while it was read (is it still being written?); nothing
    written"."""

    SAYS = f"{CHANGED_WHILE_READ}; nothing written"


class FileBusy(FileStateError):
    """Another process holds the lock on the file to be replaced in place (a
    command changing it, or a crawler writing to it): ``str(error)`` is "FILE
    is being changed by another process"."""

    SAYS = "is being changed by another process"


class InflaterUnavailable(RuntimeError):
    """The inflater asked for is not in this build (or not known)."""
