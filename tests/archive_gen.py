"""Seeded generators of archives, well-formed and broken, for oracle tests."""

from __future__ import annotations

import random

# Unicode White_Space characters beyond ASCII, and look-alikes that are not
# White_Space (U+001C, U+200B, U+FEFF, U+180E) and so must survive trimming.
NON_ASCII_SPACE = ["\x85", "\xa0", "\u1680", "\u2000", "\u200a", "\u2028", "\u202f", "\u3000"]
NOT_SPACE = ["\x1c", "\x1f", "\u200b", "\ufeff", "\u180e"]
ASCII_SPACE = [" ", "\t", "\x0b", "\x0c", "\r"]

NAMES = [
    "WARC-Type",
    "warc-type",
    "WARC-TYPE",
    "Content-Type",
    "content-type",
    "WARC-Record-ID",
    "WARC-Date",
    "X-Ünïcode",
    "ÄBC",
    "",
    "x",
]
VALUES = [
    "c2paprovenance",
    "application/c2pa",
    "application/c2pa; v=1",
    "C2PAPROVENANCE",
    "resource",
    "text/plain",
    "<urn:uuid:1>",
    "a:b:c",
    "",
    "日本語",
    "x\ry",
    "\U0001f600",
]
SEPARATORS = [b"", b"\r\n\r\n", b"\n\n", b"\r\n", b"\n", b"\r", b"\r\n\r\n\r\n", b"\n\r\n", b"\r\r"]
BODY_PIECES = [b"WARC/1.1", b"\r\n\r\n", b"\n\n", b"\xff\xfe", b"Content-Length: 5\r\n", b"\x00"]
CONTENT_LENGTH_EDGES = [
    "",
    "+",
    "-",
    "-0",
    "+-5",
    "++5",
    "0x5",
    "1 2",
    "5_0",
    "\u0663",
    "\uff15",
    "5.0",
    "18446744073709551615",
    "18446744073709551616",
    "99999999999999999999999",
    "+0",
    "000",
]
INSERTIONS = [
    b"\r",
    b"\n",
    b"\r\n",
    b"\r\n\r\n",
    b":",
    b" ",
    b"\xff",
    b"\xc0\xaf",
    b"\xed\xa0\x80",
    b"\xf4\x90\x80\x80",
    b"\xe2\x82",
    b"\xc2\xa0",
    b"WARC/1.1",
    b"WARC/1.0",
    b"warc/1.1",
    b"Content-Length: 0",
    b"\xef\xbb\xbf",
]


def spaced(rng: random.Random, text: str, look_alikes: bool = True) -> str:
    """`text` with random white space (and non-space look-alikes) at its ends."""

    def pad() -> str:
        pool = ASCII_SPACE + NON_ASCII_SPACE
        if look_alikes and rng.random() < 0.2:
            pool = pool + NOT_SPACE
        return "".join(rng.choice(pool) for _ in range(rng.choice([0, 0, 1, 2])))

    return pad() + text + pad()


def content_length_text(rng: random.Random, size: int) -> str:
    roll = rng.random()
    if roll < 0.04:
        return rng.choice(CONTENT_LENGTH_EDGES)
    if roll < 0.15:
        return "+" + str(size)
    if roll < 0.22:
        return "0" * rng.randint(1, 3) + str(size)
    if roll < 0.25:
        return str(size + rng.choice([-1, 1, 2]))
    return str(size)


def random_body(rng: random.Random) -> bytes:
    parts = []
    for _ in range(rng.choice([0, 0, 1, 2, 4])):
        if rng.random() < 0.5:
            parts.append(rng.choice(BODY_PIECES))
        else:
            parts.append(rng.randbytes(rng.randint(0, 12)))
    return b"".join(parts)


def random_record(rng: random.Random) -> bytes:
    body = random_body(rng)
    version_line = "WARC/1.1" + rng.choice(["", "", " extra", "\t", "/x"])
    lines = [version_line]
    fields = [(rng.choice(NAMES), rng.choice(VALUES)) for _ in range(rng.randint(0, 5))]
    if rng.random() < 0.3:
        fields += [("WARC-Type", "c2paprovenance"), ("Content-Type", "application/c2pa")]
    position = rng.randint(0, len(fields))
    if rng.random() < 0.95:
        name = rng.choice(["Content-Length", "content-length", "CONTENT-LENGTH"])
        fields.insert(position, (name, content_length_text(rng, len(body))))
    if rng.random() < 0.05:
        fields.append(("content-LENGTH", content_length_text(rng, len(body))))
    for name, value in fields:
        framing = name.lower() == "content-length"
        lines.append(spaced(rng, name, not framing) + ":" + spaced(rng, value, not framing))
        if rng.random() < 0.05:
            lines.append(rng.choice(["no colon here", "", " ", ":", "::x"]))
    endings = ["\r\n"] * 6 + ["\n"]
    text = "".join(line + rng.choice(endings) for line in lines[:-1]) + lines[-1]
    return text.encode("utf-8") + b"\r\n\r\n" + body + rng.choice(SEPARATORS)


def random_archive(rng: random.Random) -> bytes:
    gap = rng.choice([b"", b"", b"\r\n", b"\n\n\r", b"\r\n\r\n"])
    return gap + b"".join(random_record(rng) for _ in range(rng.choice([0, 1, 2, 3, 4, 5])))


def mutate(rng: random.Random, data: bytes) -> bytes:
    """One damaging edit: truncation, flipped byte, insertion, cut or copy."""
    if not data:
        return rng.choice(INSERTIONS)
    kind = rng.randrange(7)
    at = rng.randrange(len(data) + 1)
    if kind == 0:
        return data[:at]
    if kind == 1 and at < len(data):
        flipped = data[at] ^ (1 << rng.randrange(8))
        return data[:at] + bytes([flipped]) + data[at + 1 :]
    if kind == 2:
        return data[:at] + rng.choice(INSERTIONS) + data[at:]
    if kind == 3:
        stop = min(len(data), at + rng.randint(1, 6))
        return data[:at] + data[stop:]
    if kind == 4:
        stop = min(len(data), at + rng.randint(1, 40))
        return data[:at] + data[at:stop] * 2 + data[stop:]
    if kind == 5:
        return data + rng.choice(INSERTIONS + [b" ", b"WARC/1", b"x"])
    return data[:at] + bytes([rng.randrange(256)]) + data[at:]


def archive(seed: int) -> bytes:
    """A deterministic archive for `seed`: about half of them damaged."""
    rng = random.Random(seed)
    data = random_archive(rng)
    for _ in range(rng.choice([0, 0, 0, 1, 1, 2, 3])):
        data = mutate(rng, data)
    return data
