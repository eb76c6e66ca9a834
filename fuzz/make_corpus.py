"""Writes the seed corpus of the fuzz targets into fuzz/corpus/<target>/.

Records are made by the module's own builder, so the module must be installed
in the interpreter that runs this script. Archive seeds go to parse_records and
find_manifest; append_manifest seeds carry their record id and manifest in
front of the archive, in the layout that fuzz/append_input.hpp reads;
build_record seeds follow the layout described in fuzz/build_record_fuzzer.cpp;
file_scan seeds are archives as files, plain and gzip, in the layout of
fuzz/file_scan_input.hpp.

    python fuzz/make_corpus.py
"""

from __future__ import annotations

import hashlib
import re
import shutil
import struct
import zlib
from pathlib import Path

import quillmark

CORPUS = Path(__file__).resolve().parent / "corpus"
MANIFEST_TYPE = ("c2paprovenance", "application/c2pa")
DATE = re.compile(rb"WARC-Date: \d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ")


def fixed_date(data: bytes) -> bytes:
    """Builder output restamped with one fixed date, so reruns give the same files."""
    return DATE.sub(b"WARC-Date: 2026-01-01T00:00:00Z", data)


def record(body: bytes = b"hi", warc_type: str = "resource", **kwargs) -> bytes:
    content_type = kwargs.pop("content_type", "text/plain")
    record_id = kwargs.pop("record_id", "urn:uuid:1")
    return quillmark.build_record(warc_type, content_type, record_id, body, **kwargs)


def manifest(body: bytes = b"\x00c2pa-store\xff") -> bytes:
    return record(body, MANIFEST_TYPE[0], content_type=MANIFEST_TYPE[1])


def raw(header_lines: list[bytes], body: bytes = b"", tail: bytes = b"\r\n\r\n") -> bytes:
    """A record written by hand, for shapes the builder never makes."""
    return b"WARC/1.1\r\n" + b"\r\n".join(header_lines) + b"\r\n\r\n" + body + tail


def with_length(body: bytes, *extra: bytes) -> bytes:
    return raw([*extra, b"Content-Length: %d" % len(body)], body)


def built_records() -> dict[str, bytes]:
    bodies = {
        "empty": b"",
        "text": b"hi",
        "framing-inside": b"WARC/1.1\r\n\r\nContent-Length: 9\r\n\r\n\n\n",
        "all-bytes": bytes(range(256)),
        "kilobyte": bytes(i % 251 for i in range(1000)),
    }
    seeds = {f"built-{name}": record(body) for name, body in bodies.items()}
    seeds["built-target-uri"] = record(target_uri="http://example.com/a?b=c")
    seeds["built-empty-target-uri"] = record(target_uri="")
    seeds["built-empty-values"] = quillmark.build_record("", "", "", b"")
    seeds["built-bracketed-id"] = record(record_id="<x>")
    seeds["built-injected-line"] = record(warc_type="a\r\nX-Extra: b")
    seeds["built-unicode-values"] = record(warc_type="r\u00e9sum\u00e9", record_id="\U0010ffff")
    seeds["manifest-only"] = manifest()
    seeds["manifest-empty"] = manifest(b"")
    a, b = record(b"A"), record(b"B", record_id="urn:uuid:2")
    seeds["manifests-between"] = a + manifest(b"M1") + b + manifest(b"M2")
    seeds["manifests-all"] = manifest(b"M1") + manifest(b"M2")
    seeds["appended-twice"] = quillmark.append_manifest(
        quillmark.append_manifest(a + b, b"first", "urn:uuid:m1"), b"second", "urn:uuid:m2"
    )
    return seeds


def manifest_lookalikes() -> dict[str, bytes]:
    def typed(warc_type: bytes, content_type: bytes) -> bytes:
        return with_length(b"store", b"WARC-Type: " + warc_type, b"Content-Type: " + content_type)

    return {
        "manifest-capital-names": raw(
            [b"WARC-TYPE: c2paprovenance", b"content-TYPE: application/c2pa", b"CONTENT-LENGTH: 1"],
            b"m",
        ),
        "manifest-padded-values": typed(b"  c2paprovenance\t", b"\xc2\xa0application/c2pa "),
        "manifest-parameters": typed(b"c2paprovenance", b"application/c2pa; v=1"),
        "manifest-wrong-case": typed(b"C2PAprovenance", b"application/c2pa"),
        "manifest-hyphen": typed(b"c2pa-provenance", b"application/c2pa"),
        "manifest-overridden-type": raw(
            [
                b"WARC-Type: c2paprovenance",
                b"Content-Type: application/c2pa",
                b"warc-type: resource",
                b"Content-Length: 0",
            ]
        ),
        "manifest-then-broken": manifest() + b"WARC/1.1\r\nContent-Length: 0\r\n",
    }


def separators() -> dict[str, bytes]:
    one = with_length(b"x")[:-4]  # the record without its separator
    return {
        "empty-data": b"",
        "only-crlf": b"\r\n\n\r\r\n\r\n",
        "gap-before": b"\r\n\r\n" + record(),
        "sep-crlfcrlf": one + b"\r\n\r\n" + one + b"\r\n\r\n",
        "sep-lflf": one + b"\n\n" + one + b"\n\n",
        "sep-single-crlf": one + b"\r\n" + one + b"\r\n",
        "sep-none": one + one,
        "sep-cr-lf-lf": one + b"\r\n\n" + one,
        "sep-long-gap": one + b"\r\n\r\n\r\n\n\n\r" + one + b"\n",
        "body-at-end": one,
        "empty-records": with_length(b"") * 40,
    }


def framing_errors() -> dict[str, bytes]:
    ok = record()
    return {
        "err-garbage": b"garbage",
        "err-bom": b"\xef\xbb\xbf" + ok,
        "err-space-first": b" " + ok,
        "err-version-1.0": ok.replace(b"WARC/1.1", b"WARC/1.0", 1),
        "err-version-lower": ok.replace(b"WARC/1.1", b"warc/1.1", 1),
        "err-short-mark": ok + b"WARC/1.",
        "err-version-suffix-ok": ok.replace(b"WARC/1.1", b"WARC/1.1 extra", 1),
        "err-unterminated": b"WARC/1.1\r\nContent-Length: 0\r\n",
        "err-lf-terminator": b"WARC/1.1\nContent-Length: 0\n\n",
        "err-lf-lines-ok": b"WARC/1.1\nContent-Length: 2\n\r\n\r\nab",
        "err-missing-length": raw([b"WARC-Type: resource"]),
        "err-version-only": b"WARC/1.1\r\n\r\n",
        "err-length-hex": raw([b"Content-Length: 0x10"]),
        "err-length-minus-zero": raw([b"Content-Length: -0"]),
        "err-length-plus-only": raw([b"Content-Length: +"]),
        "err-length-empty": raw([b"Content-Length:"]),
        "err-length-space": raw([b"Content-Length: 1 0"]),
        "err-length-2pow64": raw([b"Content-Length: 18446744073709551616"]),
        "err-length-max": raw([b"Content-Length: 18446744073709551615"]),
        "err-length-arabic-digit": raw([b"Content-Length: \xd9\xa3"]),
        "err-length-then-invalid": raw([b"Content-Length: 1", b"content-length: x"], b"a"),
        "ok-length-plus-padded": raw([b"Content-Length: \t+0005 "], b"abcde"),
        "err-body-short": raw([b"Content-Length: 10"], b"abc", b""),
        "err-trailing-space": ok + b" ",
        "err-partial-after": ok + ok[:30],
        "err-last-of-many": ok * 20 + b"WARC/1.1\r\nContent-Length: 5\r\n\r\nab",
    }


def utf8_edges() -> dict[str, bytes]:
    def header(value: bytes, name: bytes = b"X-Value") -> bytes:
        return raw([name + b": " + value, b"Content-Length: 0"])

    white_space = b"\t\x0b\x0c \xc2\x85\xc2\xa0\xe1\x9a\x80\xe2\x80\x80\xe2\x80\x8a"
    white_space += b"\xe2\x80\xa8\xe2\x80\xa9\xe2\x80\xaf\xe2\x81\x9f\xe3\x80\x80"
    seeds = {
        "utf8-trim-all-spaces": header(white_space + b"v" + white_space),
        "utf8-not-space": header(b"\xe2\x80\x8bv\xef\xbb\xbf"),
        "utf8-max-code-point": header(b"\xf4\x8f\xbf\xbf"),
        "utf8-bmp-edge": header(b"\xef\xbf\xbf\xee\x80\x80\xed\x9f\xbf"),
        "utf8-name-non-ascii": header(b"v", b"\xc3\x84-Name"),
        "utf8-version-line": b"WARC/1.1 \xe2\x82\xac" + with_length(b"")[8:],
        "bad-utf8-ff": header(b"\xff"),
        "bad-utf8-overlong": header(b"\xc0\x80"),
        "bad-utf8-overlong-3": header(b"\xe0\x80\xaf"),
        "bad-utf8-surrogate": header(b"\xed\xa0\x80"),
        "bad-utf8-above-max": header(b"\xf4\x90\x80\x80"),
        "bad-utf8-truncated": header(b"\xe2\x82"),
        "bad-utf8-lone-continuation": header(b"\x80"),
        "bad-utf8-in-body-ok": with_length(b"\xff\xfe\xc0\x80"),
    }
    lines = [b"X-H%d: %d" % (i % 13, i) for i in range(40)]
    seeds["many-headers"] = raw([*lines, b"X-h3 : last", b"Content-Length: 0"])
    seeds["header-colons"] = raw(
        [b"  : empty name", b"X-Url: http://a:80/b", b"No colon", b"X-Empty:", b"Content-Length: 0"]
    )
    seeds["header-leading-space"] = raw([b"  Content-Length  :  0  "])
    seeds["header-cr-inside"] = raw([b"X-A\r: b\rc", b"Content-Length: 0"])
    return seeds


def append_seed(archive: bytes, store: bytes, record_id: bytes) -> bytes:
    return struct.pack("<BH", len(record_id), len(store)) + record_id + store + archive


def build_seed(secs: int, fields: list[bytes], body: bytes, target: bool = True) -> bytes:
    """Layout of fuzz/build_record_fuzzer.cpp: seconds, flags, four lengths."""
    head = struct.pack("<QB4B", secs, int(target), *(len(f) for f in fields))
    return head + b"".join(fields) + body


def build_seeds() -> dict[str, bytes]:
    plain = [b"resource", b"text/plain", b"urn:uuid:1", b"http://example.com/"]
    return {
        "epoch": build_seed(0, plain, b"hi", target=False),
        "leap-day-2000": build_seed(951782400, plain, b""),
        "end-of-2100-february": build_seed(4107542399, plain, b"\r\n\r\nWARC/1.1"),
        "year-10000": build_seed(253402300800, plain, bytes(range(256))),
        "largest-second": build_seed(2**64 - 1, plain, b"x"),
        "empty-values": build_seed(1700000000, [b"", b"", b"", b""], b""),
        "spaced-values": build_seed(
            1700000000, [b" a\r", "\u3000b\u00a0".encode(), b"<x>", b"\t"], b"body"
        ),
        "injected-line": build_seed(1700000000, [b"a\r\nX-Extra: b", *plain[1:]], b"b"),
        "non-utf8": build_seed(1700000000, [b"\xff", *plain[1:]], b"b"),
    }


# Gzip header flags, and the sets of optional header fields seeds carry.
FHCRC, FEXTRA, FNAME, FCOMMENT = 0x02, 0x04, 0x08, 0x10
HEADER_FIELDS = (FNAME, FCOMMENT, FEXTRA, FHCRC, FNAME | FCOMMENT | FEXTRA | FHCRC)


def gzip_member(data: bytes, level: int = 6, flags: int = 0) -> bytes:
    """One gzip member, with the optional header fields that `flags` names."""
    header = b"\x1f\x8b\x08" + bytes([flags]) + b"\x00\x00\x00\x00\x00\x03"
    if flags & FEXTRA:
        extra = b"QM\x03\x00abc"
        header += struct.pack("<H", len(extra)) + extra
    if flags & FNAME:
        header += b"crawl-00001.warc\x00"
    if flags & FCOMMENT:
        header += b"a comment\x00"
    if flags & FHCRC:
        header += struct.pack("<H", zlib.crc32(header) & 0xFFFF)
    deflater = zlib.compressobj(level, zlib.DEFLATED, -15)
    body = deflater.compress(data) + deflater.flush()
    return header + body + struct.pack("<II", zlib.crc32(data), len(data) & 0xFFFFFFFF)


def record_pieces(archive: bytes) -> list[bytes]:
    """The archive cut before each record, so each piece holds one record and
    the gap after it; the whole archive as one piece when it does not read."""
    try:
        offsets = [record["offset"] for record in quillmark.read_records(archive)]
    except ValueError:
        return [archive]
    cuts = [0, *offsets[1:], len(archive)]
    return [archive[a:b] for a, b in zip(cuts, cuts[1:])] or [archive]


def scan_control(index: int, gzip_plan: bool = False) -> bytes:
    """The two control bytes of fuzz/file_scan_input.hpp: the library, read
    sizes (everything, 4093, 1 and 7 bytes) and budgets, and listing batches
    with and without bodies, turn by turn."""
    reads = (7, 5, 0, 3)[index % 4]
    budget = (0, 0, 2, 1)[index // 4 % 4]
    run = index % 3 | (4 if gzip_plan else 0) | reads << 3 | budget << 6
    sink = (index % 4) | (index // 2 % 4) << 2 | (0x10 if index % 2 else 0)
    return bytes([run, sink])


def member_plan(cuts: list[int], tail: int = 0, amount: int = 0, stretch: bool = False) -> bytes:
    """A plan for members cut at `cuts` of the data (at most 8 members)."""
    ends = [*cuts, 0][:8]
    head = bytes([(len(ends) - 1) | tail << 3 | (0xC0 if stretch else 0), amount])
    styles = [(6, 0), (9, 0x01), (1, 0x1E), (41, 0x04), (0, 0x08), (25, 0xA0), (13, 0), (7, 0x10)]
    return head + b"".join(
        struct.pack("<HBB", end, *styles[i % len(styles)]) for i, end in enumerate(ends)
    )


def file_scan_seeds(archives: dict[str, bytes]) -> dict[str, bytes]:
    """Each archive as a plain file, as gzip one member per record and in one
    member, with header fields, zero padding or cut short by turns, and as
    data for members the target writes; then gzip files damaged on purpose."""
    seeds = {}
    # Dates are fixed before compressing, where write() can no longer see them.
    archives = {name: fixed_date(archive) for name, archive in archives.items()}
    for index, (name, archive) in enumerate(sorted(archives.items())):
        pieces = record_pieces(archive)
        per_record = b"".join(gzip_member(piece, 1 + index % 9) for piece in pieces)
        seeds[f"plain-{name}"] = scan_control(index) + archive
        seeds[f"gz-per-record-{name}"] = scan_control(index + 1) + per_record
        seeds[f"gz-single-{name}"] = scan_control(index + 2) + gzip_member(archive, 9)
        ends, at = [], 0
        for piece in pieces[:-1]:
            at += len(piece)
            ends.append(at)
        seeds[f"members-{name}"] = scan_control(index, gzip_plan=True) + member_plan(ends) + archive
        if index % 3 == 0:
            flags = HEADER_FIELDS[index // 3 % len(HEADER_FIELDS)]
            fields = b"".join(gzip_member(piece, 6, flags) for piece in pieces)
            seeds[f"gz-fields-{name}"] = scan_control(index) + fields
        if index % 3 == 1:
            seeds[f"gz-padded-{name}"] = scan_control(index) + per_record + bytes(1 + index % 700)
        if index % 3 == 2:
            cut = len(per_record) - 1 - index % max(1, len(per_record) - 1)
            seeds[f"gz-truncated-{name}"] = scan_control(index) + per_record[:cut]
    sample = fixed_date(built_records()["built-kilobyte"] + manifest())
    pieces = record_pieces(sample)
    middle = len(sample) // 2
    members = b"".join(gzip_member(piece) for piece in pieces)

    def planned(index: int, cuts: list[int], *tail: int, stretch: bool = False) -> bytes:
        return (
            scan_control(index, gzip_plan=True) + member_plan(cuts, *tail, stretch=stretch) + sample
        )

    seeds.update(
        {
            "gz-stray-after": scan_control(0) + members + b"\x00\x00stray",
            "gz-empty-members": scan_control(1) + gzip_member(b"") + members + gzip_member(b""),
            "gz-cut-in-header": scan_control(2)
            + gzip_member(sample[:12])
            + gzip_member(sample[12:middle])
            + gzip_member(sample[middle:]),
            "gz-bad-crc": scan_control(3) + members[:-8] + b"\x00\x00\x00\x00" + members[-4:],
            # A wrong CRC, and the length after it cut short.
            "gz-bad-crc-cut": scan_control(4)
            + members[:-8]
            + bytes([members[-8] ^ 1])
            + members[-7:-1],
            "gz-large-output": scan_control(5)
            + gzip_member(fixed_date(record(b"<p>" * (3 << 19))), 9),
            # Deflate data that zlib refuses and libdeflate reads (see
            # fuzz/libdeflate_reading.hpp): a fixed-code symbol 286, 287
            # literal/length codes, 32 distance codes.
            "gz-symbol-286": scan_control(0)
            + bytes.fromhex("1f8b08000000000000034b1c030056fac23403010000"),
            "gz-287-codes": scan_control(3)
            + bytes.fromhex("1f8b0800000000000003fdc081000000008020d6fc2536390b56fac23403010000"),
            "gz-32-distance-codes": scan_control(6)
            + bytes.fromhex("1f8b0800000000000003eddf81000000008020d6fc251639140b56fac23403010000"),
            "members-stretched": planned(6, [len(pieces[0])], stretch=True),
            "members-zero-padding": planned(7, [5], 4, 9),
            "members-stray": planned(8, [middle], 5, 3),
            "members-cut-short": planned(9, [middle], 6, 5),
            "members-flipped": planned(10, [], 7, 40),
        }
    )
    return seeds


# A package's two JSON files as py-wacz 0.6.0 (`wacz create`) writes them.
PACKAGER_DATAPACKAGE = b"""{
  "profile": "data-package",
  "resources": [
    {
      "name": "index.cdx.gz",
      "path": "indexes/index.cdx.gz",
      "hash": "sha256:88c559e30bc88ebf8e124cf75757109e02249a091674edb41266cc6e1ec897f9",
      "bytes": 340
    },
    {
      "name": "index.idx",
      "path": "indexes/index.idx",
      "hash": "sha256:976ecf8ee2e994461cd61202c4991d0ede34f53fa70ad758d6e5451b237b3c27",
      "bytes": 208
    },
    {
      "name": "small.warc.gz",
      "path": "archive/small.warc.gz",
      "hash": "sha256:ba2d75bfa1d9a8da55a638e5800a76e840a85e49af26eb715c725eb4bcc2fa84",
      "bytes": 646
    }
  ],
  "created": "2026-12-09T17:34:23Z",
  "wacz_version": "1.1.1",
  "software": "py-wacz 0.6.0"
}"""
PACKAGER_DIGEST = b"""{
  "path": "datapackage.json",
  "hash": "sha256:fe1c947c70b5edcacb5190b854d33f30e6a23f4dcb20ccc9ff73b3c6f40e44c6"
}"""


def package_text_seeds() -> dict[str, bytes]:
    """datapackage.json and datapackage-digest.json texts, sound and not."""
    signed = PACKAGER_DIGEST[:-2] + b',\n  "signedData": {"hash": "sha256:0", "created": "x"}\n}'
    return {
        "packager": PACKAGER_DATAPACKAGE,
        "packager-digest": PACKAGER_DIGEST,
        "packager-crlf-bom": b"\xef\xbb\xbf" + PACKAGER_DATAPACKAGE.replace(b"\n", b"\r\n"),
        "signed-digest": signed,
        "signed-first": b'{"signedData":null,"signedD\\u0061ta":{},"path":"datapackage.json"}',
        "compact": b'{"resources":[{"path":"archive/small.warc.gz","hash":"sha256:ab","bytes":0}]}',
        "escaped-repeated": (
            b'{"resources":1,"res\\u006furces":[{"pa\\u0074h":"archive\\/small.warc.gz",'
            b'"hash":{"a":[1]},"bytes":2.50,"hash":"sha256:\\u00e9\\ud83d\\ude00",'
            b'"bytes":1e400}],"title":"Z\xc3\xbcrich"}'
        ),
        "listed-twice": (
            b'{"resources":[{"path":"archive/small.warc.gz"},{"path":"archive/small.warc.gz"}]}'
        ),
        "not-a-list": b'{"resources":[{"path":"a"},7]}',
        "lone-surrogate": b'{"resources":[],"t":"\\ud800"}',
        "invalid-utf8": b'{"resources":[],"t":"\xed\xa0\x80"}',
        "deep": b"[" * 600,
        "cut": PACKAGER_DATAPACKAGE[:300],
    }


def write(target: str, seeds: dict[str, bytes]) -> None:
    directory = CORPUS / target
    shutil.rmtree(directory, ignore_errors=True)
    directory.mkdir(parents=True)
    for name, data in sorted(seeds.items()):
        data = fixed_date(data)
        digest = hashlib.sha1(data).hexdigest()[:8]
        (directory / f"{name}-{digest}").write_bytes(data)


def main() -> None:
    archives = {}
    for group in (built_records, manifest_lookalikes, separators, framing_errors, utf8_edges):
        archives.update(group())
    write("parse_records", archives)
    write("find_manifest", archives)

    ids = [b"urn:uuid:9", b"", b"<x>", b"\xe2\x82\xac\r", b"line\nbreak", b"\xff"]
    stores = [b"store", b"", b"\r\n\r\nWARC/1.1\r\n\r\n"]
    appends = {}
    for index, (name, archive) in enumerate(sorted(archives.items())):
        record_id = ids[index % len(ids)]
        store = stores[index % len(stores)]
        appends[name] = append_seed(archive, store, record_id)
    write("append_manifest", appends)
    write("build_record", build_seeds())
    # Two bytes of piece sizes in front: fed in small, then in larger pieces.
    write(
        "stream_framer",
        {
            f"{name}-{cuts}": cuts.to_bytes(2, "little") + archive
            for name, archive in archives.items()
            for cuts in (0x0001, 0x0107)
        },
    )
    write("file_scan", file_scan_seeds(archives))
    write("datapackage_text", package_text_seeds())


if __name__ == "__main__":
    main()
