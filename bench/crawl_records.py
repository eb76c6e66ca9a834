"""Seeded records of the shape a web crawler writes, and gzip members for them.

A crawl is a warcinfo record, then per fetched URL a request, a response and
most often a metadata record. Requests and metadata are small; response
payloads are spread log-uniformly up to a maximum (8 MiB by default), so that
most are a few KiB to a few hundred KiB and a few are large, or, given a
median, lognormally around it as web pages are. Text payloads
are cut from a pool of markup and Zipf-distributed words that gzip shrinks
about 3.5 times, like web pages; about one response in eight is an image,
cut from a pool of random bytes that does not compress.

The manifest record is made by `quillmark.build_record`, with its date then
set from the seed, so that the bytes are a pure function of the seed.

Compression is the standard zlib at level 6 (what crawlers write), with gzip
headers written here (no name, mtime 0), so that a file is a pure function of
the seed and of the zlib version, which stamps record. ISA-L is not used to
write: it has no level 6 (its levels stop at 3).
"""

from __future__ import annotations

import base64
import hashlib
import math
import random
import re
import struct
import zlib
from collections.abc import Iterator
from dataclasses import dataclass

KIB = 1024
MIB = 1024 * KIB
GIB = 1024 * MIB

MANIFEST_WARC_TYPE = "c2paprovenance"
MANIFEST_CONTENT_TYPE = "application/c2pa"
GZIP_LEVEL = 6
COMPRESSOR = f"zlib {zlib.ZLIB_RUNTIME_VERSION} level {GZIP_LEVEL}"
# Spread of lognormal payload sizes: with a median of 20 KB, half the pages
# lie between about 12 and 34 KB and one in forty-five is above 100 KB.
BODY_SIGMA = 0.8

_LETTERS = "etaoinshrdlucmfwypvbgkjqxz"
_MARKUP = (
    '<p class="body-text">',
    "</p>\n",
    '<div class="article-content">',
    "</div>\n",
    '<a href="https://www.example.org/',
    '">',
    "</a>",
    "<li>",
    "</li>\n",
    '<span class="nav-item">',
    "</span>",
    "\n",
    '<img src="/static/img/',
    '.jpg" alt="">',
)
_TEXT_TYPES = ("text/html; charset=utf-8", "text/html", "application/json", "text/css")
_IMAGE_TYPES = ("image/jpeg", "image/png", "image/webp")
_SERVERS = ("nginx", "Apache", "cloudflare", "Microsoft-IIS/10.0")
_AGENT = "Mozilla/5.0 (compatible; examplebot/2.1; +https://bot.example.org/)"


class Pools:
    """Text and binary payloads are slices of two pools made once from a fixed seed."""

    def __init__(self, text_size: int = 48 * MIB, binary_size: int = 24 * MIB) -> None:
        rng = random.Random("crawl-pools/1")
        vocabulary = [
            "".join(rng.choices(_LETTERS, weights=range(26, 0, -1), k=rng.randint(2, 11)))
            for _ in range(5000)
        ]
        weights = [1 / rank for rank in range(1, len(vocabulary) + 1)]
        parts: list[str] = []
        size = 0
        while size < text_size:
            words = rng.choices(vocabulary, weights=weights, k=200_000)
            markup = rng.choices(_MARKUP, k=len(words) // 4)
            for i, tag in enumerate(markup):
                words[4 * i] += " " + tag
            chunk = " ".join(words)
            parts.append(chunk)
            size += len(chunk)
        self.text = memoryview("".join(parts).encode()[:text_size])
        self.binary = memoryview(rng.randbytes(binary_size))

    def cut(self, rng: random.Random, size: int, binary: bool) -> bytes:
        pool = self.binary if binary else self.text
        if size <= len(pool):
            start = rng.randrange(len(pool) - size + 1)
            return bytes(pool[start : start + size])
        reps, rest = divmod(size, len(pool))
        return bytes(pool) * reps + bytes(pool[:rest])


@dataclass(frozen=True)
class Manifest:
    """What the generator put in a file's last manifest record."""

    size: int
    sha256: str


def _uuid(rng: random.Random) -> str:
    h = f"{rng.getrandbits(128):032x}"
    return f"urn:uuid:{h[:8]}-{h[8:12]}-4{h[13:16]}-{h[16:20]}-{h[20:]}"


def _date(epoch: int) -> str:
    days, rest = divmod(epoch, 86400)
    hours, rest = divmod(rest, 3600)
    # 2026-01-01 plus `days`: month lengths of a common year.
    month, day = 1, days % 365 + 1
    for length in (31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31):
        if day <= length:
            break
        day -= length
        month += 1
    return f"2026-{month:02d}-{day:02d}T{hours:02d}:{rest // 60:02d}:{rest % 60:02d}Z"


def _sha1(data: bytes) -> str:
    return "sha1:" + base64.b32encode(hashlib.sha1(data).digest()).decode()


def _record(headers: list[tuple[str, str]], block: bytes) -> bytes:
    lines = ["WARC/1.1", *(f"{k}: {v}" for k, v in headers), f"Content-Length: {len(block)}"]
    return ("\r\n".join(lines) + "\r\n\r\n").encode() + block + b"\r\n\r\n"


def manifest_record(rng: random.Random, body: bytes, epoch: int) -> bytes:
    """A manifest record as the module builds it, dated from the seed instead of the clock."""
    import quillmark

    built = quillmark.build_record(MANIFEST_WARC_TYPE, MANIFEST_CONTENT_TYPE, _uuid(rng), body)
    date = f"\r\nWARC-Date: {_date(epoch)}\r\n".encode()
    dated = re.sub(rb"\r\nWARC-Date: [^\r]*\r\n", date, built, count=1)
    assert len(dated) == len(built)
    return dated


class Crawl:
    """The records of one seeded crawl, in order, until about `size` bytes."""

    def __init__(
        self,
        pools: Pools,
        seed: str,
        size: int,
        *,
        body_max: int = 8 * MIB,
        body_median: int | None = None,
        manifests: int = 1,
    ) -> None:
        self.pools, self.size, self.body_max, self.manifests = pools, size, body_max, manifests
        # Log-uniform sizes when None; a lognormal spread around this median otherwise.
        self.body_median = body_median
        self.rng = random.Random(seed)
        self.epoch = self.rng.randrange(300 * 86400)
        self.manifest: Manifest | None = None  # set once the records have been made
        self.count = 0

    def records(self) -> Iterator[bytes]:
        rng = self.rng
        info_id = _uuid(rng)
        info = b"software: examplebot/2.1\r\nformat: WARC File Format 1.1\r\nrobots: obey\r\n"
        yield from self._counted(
            _record(
                [
                    ("WARC-Type", "warcinfo"),
                    ("WARC-Record-ID", f"<{info_id}>"),
                    ("WARC-Date", _date(self.epoch)),
                    ("WARC-Filename", f"crawl-{rng.getrandbits(32):08x}.warc.gz"),
                    ("Content-Type", "application/warc-fields"),
                ],
                info,
            )
        )
        written = 0
        halfway_manifest = self.manifests > 1
        while written < self.size:
            for record in self._fetch(info_id):
                written += len(record)
                yield from self._counted(record)
            if halfway_manifest and written >= self.size // 2:
                halfway_manifest = False
                yield from self._counted(self._manifest())
        if self.manifests:
            yield from self._counted(self._manifest())

    def _counted(self, record: bytes) -> Iterator[bytes]:
        self.count += 1
        yield record

    def _manifest(self) -> bytes:
        body = self.rng.randbytes(self.rng.randint(8 * KIB, 96 * KIB))
        self.manifest = Manifest(len(body), hashlib.sha256(body).hexdigest())
        return manifest_record(self.rng, body, self.epoch)

    def _body_size(self) -> int:
        rng = self.rng
        if self.body_median is None:
            return int(math.exp(rng.uniform(math.log(256), math.log(self.body_max))))
        size = rng.lognormvariate(math.log(self.body_median), BODY_SIGMA)
        return max(256, min(self.body_max, int(size)))

    def _fetch(self, info_id: str) -> Iterator[bytes]:
        rng = self.rng
        self.epoch += rng.randrange(3)
        date = _date(self.epoch)
        host = f"www.site{rng.randrange(4000)}.example"
        uri = f"https://{host}/{rng.getrandbits(36):x}/{rng.choice(('index', 'page', 'a'))}.html"
        ip = f"203.0.113.{rng.randrange(1, 255)}"
        binary = rng.random() < 0.125
        content_type = rng.choice(_IMAGE_TYPES if binary else _TEXT_TYPES)
        size = self._body_size()
        payload = self.pools.cut(rng, size, binary)
        response_id, request_id = _uuid(rng), _uuid(rng)

        request = (
            f"GET {uri[len(host) + 8 :]} HTTP/1.1\r\nHost: {host}\r\nUser-Agent: {_AGENT}\r\n"
            "Accept: text/html,application/xhtml+xml,*/*;q=0.8\r\n"
            "Accept-Encoding: identity\r\nConnection: close\r\n\r\n"
        ).encode()
        yield _record(
            [
                ("WARC-Type", "request"),
                ("WARC-Record-ID", f"<{request_id}>"),
                ("WARC-Warcinfo-ID", f"<{info_id}>"),
                ("WARC-Concurrent-To", f"<{response_id}>"),
                ("WARC-Target-URI", uri),
                ("WARC-Date", date),
                ("WARC-IP-Address", ip),
                ("WARC-Block-Digest", _sha1(request)),
                ("Content-Type", "application/http;msgtype=request"),
            ],
            request,
        )

        http = (
            f"HTTP/1.1 200 OK\r\nDate: {date}\r\nServer: {rng.choice(_SERVERS)}\r\n"
            f"Content-Type: {content_type}\r\nContent-Length: {len(payload)}\r\n"
            f"Cache-Control: max-age={rng.randrange(86400)}\r\n"
            f'ETag: "{rng.getrandbits(64):016x}"\r\nConnection: close\r\n\r\n'
        ).encode()
        block = http + payload
        yield _record(
            [
                ("WARC-Type", "response"),
                ("WARC-Record-ID", f"<{response_id}>"),
                ("WARC-Warcinfo-ID", f"<{info_id}>"),
                ("WARC-Target-URI", uri),
                ("WARC-Date", date),
                ("WARC-IP-Address", ip),
                ("WARC-Block-Digest", _sha1(block)),
                ("WARC-Payload-Digest", _sha1(payload)),
                ("WARC-Identified-Payload-Type", content_type.split(";")[0]),
                ("Content-Type", "application/http;msgtype=response"),
            ],
            block,
        )

        if rng.random() < 0.7:
            links = "".join(
                f"outlink: https://{host}/{rng.getrandbits(36):x} L a/@href\r\n"
                for _ in range(rng.randrange(1, 12))
            )
            fields = f"fetchTimeMs: {rng.randrange(20, 4000)}\r\n{links}".encode()
            yield _record(
                [
                    ("WARC-Type", "metadata"),
                    ("WARC-Record-ID", f"<{_uuid(rng)}>"),
                    ("WARC-Warcinfo-ID", f"<{info_id}>"),
                    ("WARC-Concurrent-To", f"<{response_id}>"),
                    ("WARC-Target-URI", uri),
                    ("WARC-Date", date),
                    ("Content-Type", "application/warc-fields"),
                ],
                fields,
            )


# ID1 ID2, deflate, no flags, mtime 0, no extra flags, OS unknown.
GZIP_HEADER = b"\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff"


def _deflater():
    return zlib.compressobj(GZIP_LEVEL, zlib.DEFLATED, -zlib.MAX_WBITS)


def gzip_member(data: bytes) -> bytes:
    """One whole gzip member holding `data`."""
    deflater = _deflater()
    packed = deflater.compress(data) + deflater.flush()
    return GZIP_HEADER + packed + struct.pack("<II", zlib.crc32(data), len(data) & 0xFFFFFFFF)


class SingleMember:
    """Writes everything given to it as one gzip member."""

    def __init__(self, out) -> None:
        self.out, self.deflater, self.crc, self.size = out, _deflater(), 0, 0
        out.write(GZIP_HEADER)

    def write(self, data: bytes) -> None:
        self.crc = zlib.crc32(data, self.crc)
        self.size += len(data)
        self.out.write(self.deflater.compress(data))

    def close(self) -> None:
        self.out.write(self.deflater.flush())
        self.out.write(struct.pack("<II", self.crc, self.size & 0xFFFFFFFF))
