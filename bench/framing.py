"""Body positions of an archive, found in plain Python.

The copy limit needs to know where each body lies before its timed loop
starts; this framer follows the same framing rules as the module (gap of CR and
LF, version mark, header block up to the first blank line, Content-Length body,
optional separator) but checks nothing beyond what it needs.
"""

from __future__ import annotations


def body_spans(data: bytes) -> list[tuple[int, int]]:
    """(start, end) of every body, in archive order."""
    spans = []
    pos, size = 0, len(data)
    while True:
        while pos < size and data[pos] in b"\r\n":
            pos += 1
        if pos >= size:
            return spans
        if not data.startswith(b"WARC/1.1", pos):
            raise ValueError(f"no record at offset {pos}")
        stop = data.index(b"\r\n\r\n", pos)
        length = None
        for line in data[pos:stop].split(b"\n")[1:]:
            name, colon, value = line.partition(b":")
            if colon and name.strip().lower() == b"content-length":
                length = int(value.strip())
        if length is None:
            raise ValueError(f"record at offset {pos} has no Content-Length")
        start = stop + 4
        end = start + length
        spans.append((start, end))
        if data.startswith(b"\r\n\r\n", end):
            end += 4
        elif data.startswith(b"\n\n", end):
            end += 2
        pos = end
