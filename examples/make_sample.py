"""Writes the bundled example data: sample.warc and manifest.c2pa.

sample.warc is a small crawl of one page, as a crawler would write it:
warcinfo, request, response (an HTML page), resource (its stylesheet) and
metadata (the links found), with fixed dates and ids so that the output is the
same on every run. manifest.c2pa stands in for a manifest store: a JUMBF box
stream (a superbox with its description box and a JSON content box). quillmark
treats it as opaque bytes and never looks inside.

Run from anywhere:  python3 examples/make_sample.py
"""

from __future__ import annotations

import base64
import hashlib
import json
import struct
from pathlib import Path

HERE = Path(__file__).resolve().parent
CRAWL_DATE = "2026-03-14T09:26:53Z"
PAGE_URI = "https://example.org/articles/river-survey"
STYLE_URI = "https://example.org/static/site.css"


def sha1_digest(data: bytes) -> str:
    return "sha1:" + base64.b32encode(hashlib.sha1(data).digest()).decode("ascii")


def record(headers: list[tuple[str, str]], block: bytes) -> bytes:
    lines = ["WARC/1.1", *(f"{name}: {value}" for name, value in headers)]
    lines.append(f"Content-Length: {len(block)}")
    return ("\r\n".join(lines) + "\r\n\r\n").encode("utf-8") + block + b"\r\n\r\n"


def record_id(number: int) -> str:
    return f"<urn:uuid:6f1c9a2e-3b7d-4c58-9e0a-{number:012x}>"


PAGE = b"""<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>River survey: spring count</title>
<link rel="stylesheet" href="/static/site.css">
</head>
<body>
<h1>River survey: spring count</h1>
<p>Volunteers counted 412 herons along the lower reach this spring,
up from 377 last year. The full table is in the <a href="/data/2026.csv">data file</a>.</p>
</body>
</html>
"""

STYLE = b"body { font-family: serif; max-width: 40em; margin: auto; }\nh1 { color: #234; }\n"


def warcinfo() -> bytes:
    block = (
        b"software: quillmark example generator\r\n"
        b"format: WARC File Format 1.1\r\n"
        b"conformsTo: https://iipc.github.io/warc-specifications/\r\n"
        b"isPartOf: river-survey-2026\r\n"
        b"robots: obey\r\n"
    )
    return record(
        [
            ("WARC-Type", "warcinfo"),
            ("WARC-Date", CRAWL_DATE),
            ("WARC-Filename", "sample.warc"),
            ("WARC-Record-ID", record_id(1)),
            ("Content-Type", "application/warc-fields"),
        ],
        block,
    )


def request() -> bytes:
    block = (
        b"GET /articles/river-survey HTTP/1.1\r\n"
        b"Host: example.org\r\n"
        b"User-Agent: example-crawler/1.0 (+https://example.org/crawler)\r\n"
        b"Accept: text/html,application/xhtml+xml\r\n"
        b"\r\n"
    )
    return record(
        [
            ("WARC-Type", "request"),
            ("WARC-Target-URI", PAGE_URI),
            ("WARC-Date", CRAWL_DATE),
            ("WARC-Concurrent-To", record_id(3)),
            ("WARC-Record-ID", record_id(2)),
            ("WARC-Warcinfo-ID", record_id(1)),
            ("Content-Type", "application/http;msgtype=request"),
            ("WARC-Block-Digest", sha1_digest(block)),
        ],
        block,
    )


def http_response(content_type: str, payload: bytes) -> bytes:
    head = (
        "HTTP/1.1 200 OK\r\n"
        "Date: Sat, 14 Mar 2026 09:26:53 GMT\r\n"
        f"Content-Type: {content_type}\r\n"
        f"Content-Length: {len(payload)}\r\n"
        "\r\n"
    ).encode()
    return head + payload


def response() -> bytes:
    block = http_response("text/html; charset=utf-8", PAGE)
    return record(
        [
            ("WARC-Type", "response"),
            ("WARC-Target-URI", PAGE_URI),
            ("WARC-Date", CRAWL_DATE),
            ("WARC-Record-ID", record_id(3)),
            ("WARC-Warcinfo-ID", record_id(1)),
            ("WARC-IP-Address", "192.0.2.10"),
            ("Content-Type", "application/http;msgtype=response"),
            ("WARC-Payload-Digest", sha1_digest(PAGE)),
            ("WARC-Block-Digest", sha1_digest(block)),
        ],
        block,
    )


def resource() -> bytes:
    return record(
        [
            ("WARC-Type", "resource"),
            ("WARC-Target-URI", STYLE_URI),
            ("WARC-Date", CRAWL_DATE),
            ("WARC-Record-ID", record_id(4)),
            ("WARC-Warcinfo-ID", record_id(1)),
            ("Content-Type", "text/css"),
            ("WARC-Block-Digest", sha1_digest(STYLE)),
        ],
        STYLE,
    )


def metadata() -> bytes:
    block = (
        b"via: https://example.org/\r\n"
        b"hopsFromSeed: L\r\n"
        b"outlink: https://example.org/static/site.css E link/@href\r\n"
        b"outlink: https://example.org/data/2026.csv L a/@href\r\n"
    )
    return record(
        [
            ("WARC-Type", "metadata"),
            ("WARC-Target-URI", PAGE_URI),
            ("WARC-Date", CRAWL_DATE),
            ("WARC-Record-ID", record_id(5)),
            ("WARC-Concurrent-To", record_id(3)),
            ("Content-Type", "application/warc-fields"),
        ],
        block,
    )


def box(box_type: bytes, payload: bytes) -> bytes:
    return struct.pack(">I", 8 + len(payload)) + box_type + payload


def description(type_uuid: bytes, label: str) -> bytes:
    # Toggles 0x03: requestable, with a label.
    return box(b"jumd", type_uuid + b"\x03" + label.encode() + b"\x00")


C2PA_STORE_TYPE = bytes.fromhex("6332706100110010800000aa00389b71")
JSON_TYPE = bytes.fromhex("6a736f6e00110010800000aa00389b71")


def manifest_store() -> bytes:
    claim = json.dumps(
        {
            "title": "sample.warc",
            "format": "application/warc",
            "claim_generator": "quillmark example generator",
            "assertions": ["river-survey-2026: crawled 2026-03-14"],
        },
        sort_keys=True,
    ).encode()
    inner = box(b"jumb", description(JSON_TYPE, "example.claim") + box(b"json", claim))
    return box(b"jumb", description(C2PA_STORE_TYPE, "c2pa") + inner)


def build() -> dict[str, bytes]:
    """The bundled files by name."""
    archive = warcinfo() + request() + response() + resource() + metadata()
    return {"sample.warc": archive, "manifest.c2pa": manifest_store()}


def main() -> None:
    for name, data in build().items():
        (HERE / name).write_bytes(data)


if __name__ == "__main__":
    main()
