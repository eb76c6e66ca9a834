"""Eight threads calling every function at once on shared inputs get exactly
what serial calls get (built records differ only in their WARC-Date)."""

from __future__ import annotations

import re
import sys
import threading

import pytest

quillmark = pytest.importorskip("quillmark")

THREADS = 8
ROUNDS = 300
DATE = re.compile(rb"WARC-Date: \d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\r\n")


def record(headers, body):
    head = "WARC/1.1\r\n" + "".join(f"{k}: {v}\r\n" for k, v in headers)
    return head.encode() + f"Content-Length: {len(body)}\r\n\r\n".encode() + body + b"\r\n\r\n"


MANIFEST = [("WARC-Type", "c2paprovenance"), ("Content-Type", "application/c2pa")]
WARC = b"".join(
    record([("WARC-Type", "resource"), ("X-Index", str(i)), ("X-Text", "\u00e9" * i)], bytes(i))
    if i % 7
    else record(MANIFEST, b"store %d" % i)
    for i in range(60)
)
BROKEN = WARC + b"WARC/1.1\r\nContent-Length: 5\r\n\r\nab"
STORE = b"\x00new store\xff" * 50

# Each call: (function, positional arguments). Errors count as results.
CALLS = [
    (quillmark.read_records, (WARC,)),
    (quillmark.read_records, (BROKEN,)),
    (quillmark.read_manifest, (WARC,)),
    (quillmark.read_manifest, (BROKEN,)),
    (quillmark.build_record, ("resource", "text/plain", "urn:uuid:1", WARC, "http://a/")),
    (quillmark.build_record, ("resource", "text/plain", "bad\ud800", WARC)),
    (quillmark.append_manifest, (WARC, STORE, "urn:uuid:2")),
    (quillmark.append_manifest, (BROKEN, STORE, "urn:uuid:2")),
    (quillmark.append_manifest, (b"", STORE, "urn:uuid:2")),
]


def outcome(function, args):
    try:
        result = function(*args)
    except Exception as error:  # the error and its message are the result
        return type(error).__name__, str(error)
    if isinstance(result, bytes):
        masked, count = DATE.subn(b"WARC-Date: <masked>\r\n", result)
        return "bytes", masked, count
    return type(result).__name__, result


@pytest.fixture(autouse=True)
def fast_switching():
    """Switch threads as often as the interpreter allows, so that calls
    interleave at every point where they could."""
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(previous)


def test_concurrent_calls_match_serial_calls():
    expected = [outcome(function, args) for function, args in CALLS]
    assert expected[6][2] == 1 and expected[4][2] == 1  # one date masked per built record
    start = threading.Barrier(THREADS)
    mismatches = []
    crashed = []

    def worker(shift):
        try:
            start.wait()
            for round_ in range(ROUNDS):
                index = (round_ + shift) % len(CALLS)
                got = outcome(*CALLS[index])
                if got != expected[index]:
                    mismatches.append((index, got[:2]))
        except BaseException as error:  # reported below, not lost in the thread
            crashed.append(error)

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not crashed
    assert not mismatches
    # Shared inputs are unchanged by everyone's calls.
    assert [outcome(function, args) for function, args in CALLS] == expected
