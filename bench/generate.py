"""Seeded generator of the benchmark archives.

Every input is a pure function of its name and the seed, so two runs on two
machines measure the same bytes. Files go to bench/data/ (not versioned) and
are kept there: an input whose file already holds the expected size and stamp
is not made again, which matters for the 1 GiB archive.
"""

from __future__ import annotations

import argparse
import io
import json
import random
import sys
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path

DATA_DIR = Path(__file__).resolve().parent / "data"
SEED = 20261207
KIB = 1024
MIB = 1024 * KIB
GIB = 1024 * MIB

MANIFEST_WARC_TYPE = "c2paprovenance"
MANIFEST_CONTENT_TYPE = "application/c2pa"

_CONTENT_TYPES = ("text/html; charset=utf-8", "application/json", "image/png", "text/plain")
_WARC_TYPES = ("resource", "response", "metadata", "conversion")
_TITLES = ("Startseite", "Größenangaben", "página de inicio", "首页", "Úvodní strana")


@dataclass(frozen=True)
class Spec:
    name: str
    description: str
    records: int
    body_min: int
    body_max: int
    extra_headers: int = 0
    manifest_size: int = 16 * KIB


# The inputs of the benchmark; "w" is written by warcio instead (see write_warcio).
SPECS = {
    "a": Spec("a", "100,000 records, bodies 200 B to 4 KiB", 100_000, 200, 4 * KIB),
    "b": Spec("b", "200 records, bodies 1 to 8 MiB", 200, 1 * MIB, 8 * MIB),
    "c": Spec("c", "20,000 records with 50 header lines each", 20_000, 200, 2 * KIB, 44),
    "d": Spec(
        "d",
        "1 GiB of 100 KiB records, manifest record last",
        GIB // (100 * KIB),
        100 * KIB,
        100 * KIB,
    ),
}
WARCIO_SPEC = Spec(
    "w", "20,000 records written by warcio (WARC/1.1, uncompressed)", 20_000, 200, 16 * KIB
)
ALL_INPUTS = (*SPECS, "w")


class BodyPool:
    """Bodies are slices of one seeded pool: random bytes and text, cheap to cut."""

    def __init__(self, rng: random.Random, size: int = 32 * MIB) -> None:
        words = b"lorem ipsum dolor sit amet <p> </p> href= \r\n\r\n WARC/1.1 \xc3\xa9 \x00\xff "
        text = bytes(rng.choice(words) for _ in range(64 * KIB)) * (size // 2 // (64 * KIB))
        self.data = memoryview(rng.randbytes(size - len(text)) + text)
        self.rng = rng

    def body(self, size: int) -> bytes:
        if size <= len(self.data):
            start = self.rng.randrange(0, len(self.data) - size + 1)
            return bytes(self.data[start : start + size])
        reps, rest = divmod(size, len(self.data))
        return bytes(self.data) * reps + bytes(self.data[:rest])


def _uuid(rng: random.Random) -> str:
    h = f"{rng.getrandbits(128):032x}"
    return f"urn:uuid:{h[:8]}-{h[8:12]}-{h[12:16]}-{h[16:20]}-{h[20:]}"


def _date(rng: random.Random) -> str:
    return (
        f"20{rng.randrange(10, 27):02d}-{rng.randrange(1, 13):02d}-"
        f"{rng.randrange(1, 29):02d}T{rng.randrange(24):02d}:{rng.randrange(60):02d}:"
        f"{rng.randrange(60):02d}Z"
    )


def _record(headers: list[tuple[str, str]], body: bytes) -> bytes:
    lines = ["WARC/1.1", *(f"{k}: {v}" for k, v in headers), f"Content-Length: {len(body)}"]
    return ("\r\n".join(lines) + "\r\n\r\n").encode() + body + b"\r\n\r\n"


def manifest_record(rng: random.Random, body: bytes) -> bytes:
    headers = [
        ("WARC-Type", MANIFEST_WARC_TYPE),
        ("WARC-Record-ID", f"<{_uuid(rng)}>"),
        ("WARC-Date", _date(rng)),
        ("Content-Type", MANIFEST_CONTENT_TYPE),
    ]
    return _record(headers, body)


def records(spec: Spec, seed: int = SEED) -> Iterator[bytes]:
    """The records of one input, in order, ending with one manifest record."""
    rng = random.Random(f"{seed}/{spec.name}")
    pool = BodyPool(rng)
    for i in range(spec.records):
        headers = [
            ("WARC-Type", rng.choice(_WARC_TYPES)),
            ("WARC-Record-ID", f"<{_uuid(rng)}>"),
            ("WARC-Date", _date(rng)),
            ("WARC-Target-URI", f"https://example.org/{rng.getrandbits(40):x}/page-{i}.html"),
            ("Content-Type", rng.choice(_CONTENT_TYPES)),
        ]
        for j in range(spec.extra_headers):
            value = f"v{rng.getrandbits(48):x}; q=0.{j}"
            if j == 0 and rng.random() < 0.05:
                value = rng.choice(_TITLES)  # a few texts outside ASCII
            headers.append((f"X-Crawl-Meta-{j:02d}", value))
        yield _record(headers, pool.body(rng.randint(spec.body_min, spec.body_max)))
    yield manifest_record(rng, pool.body(spec.manifest_size))


def write_warcio(out: io.BufferedWriter, spec: Spec = WARCIO_SPEC, seed: int = SEED) -> None:
    """Writes the records of `spec` through warcio's own writer, WARC/1.1, uncompressed."""
    from warcio.statusandheaders import StatusAndHeaders
    from warcio.warcwriter import WARCWriter

    rng = random.Random(f"{seed}/{spec.name}")
    pool = BodyPool(rng, 8 * MIB)
    writer = WARCWriter(out, gzip=False, warc_version="1.1")
    for i in range(spec.records):
        body = pool.body(rng.randint(spec.body_min, spec.body_max))
        uri = f"https://example.org/{rng.getrandbits(40):x}/page-{i}.html"
        if i % 2:
            http = StatusAndHeaders(
                "200 OK",
                [("Content-Type", rng.choice(_CONTENT_TYPES)), ("Content-Length", str(len(body)))],
                protocol="HTTP/1.1",
            )
            record = writer.create_warc_record(
                uri, "response", payload=io.BytesIO(body), http_headers=http
            )
        else:
            record = writer.create_warc_record(
                uri,
                "resource",
                payload=io.BytesIO(body),
                warc_content_type=rng.choice(_CONTENT_TYPES),
            )
        writer.write_record(record)
    manifest = writer.create_warc_record(
        "",
        MANIFEST_WARC_TYPE,
        payload=io.BytesIO(pool.body(spec.manifest_size)),
        warc_content_type=MANIFEST_CONTENT_TYPE,
    )
    writer.write_record(manifest)


def _stamp(name: str, seed: int) -> dict:
    spec = SPECS.get(name, WARCIO_SPEC)
    return {"seed": seed, "spec": spec.__dict__, "generator": 1}


def input_path(name: str, data_dir: Path = DATA_DIR) -> Path:
    return data_dir / f"{name}.warc"


def ensure_input(name: str, data_dir: Path = DATA_DIR, seed: int = SEED) -> Path:
    """The file of input `name`, made first when it is missing or stale."""
    path = input_path(name, data_dir)
    stamp_path = path.with_suffix(".json")
    stamp = _stamp(name, seed)
    if path.exists() and stamp_path.exists():
        kept = json.loads(stamp_path.read_text())
        if kept.get("stamp") == stamp and kept.get("size") == path.stat().st_size:
            return path
    data_dir.mkdir(parents=True, exist_ok=True)
    partial = path.with_suffix(".partial")
    with open(partial, "wb") as out:
        if name == "w":
            write_warcio(out, seed=seed)
        else:
            for chunk in records(SPECS[name], seed):
                out.write(chunk)
    partial.replace(path)
    stamp_path.write_text(json.dumps({"stamp": stamp, "size": path.stat().st_size}))
    return path


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("inputs", nargs="*", default=list(ALL_INPUTS), choices=ALL_INPUTS)
    parser.add_argument("--data-dir", type=Path, default=DATA_DIR)
    args = parser.parse_args(argv)
    for name in args.inputs:
        path = ensure_input(name, args.data_dir)
        print(f"{name}: {path} ({path.stat().st_size / MIB:.1f} MiB)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
