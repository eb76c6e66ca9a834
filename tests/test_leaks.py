"""Every function, on success and on every error path, called many times in a
fresh interpreter: resident memory stays flat and no reference is gained or
lost on the arguments or on None."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("quillmark")

QUICK = os.environ.get("QUILLMARK_QUICK") == "1"
# AddressSanitizer keeps freed memory in quarantine, so resident memory grows
# under it by design; the reference counts are still compared there.
SANITIZED = os.environ.get("QUILLMARK_SANITIZED") == "1"
CALLS = int(os.environ.get("QUILLMARK_LEAK_CALLS", "20000" if QUICK else "100000"))
WARM_UP = max(CALLS // 10, 1000)
# Leaking even one small object per call costs several MiB over the loop;
# the tolerance only absorbs allocator noise.
RSS_TOLERANCE = 1 << 20
# The interpreter's own caches settle for a few calls after a collection and
# move None's count by up to a dozen references, whatever is called; one
# reference gained or lost per call moves it by CALLS.
NONE_TOLERANCE = 32

# Objects the calls use, made once in the child so that their reference
# counts can be read before and after the loop.
SETUP = textwrap.dedent(
    r"""
    import quillmark as q

    def record(headers, body=b""):
        head = "WARC/1.1\r\n" + "".join(f"{k}: {v}\r\n" for k, v in headers)
        return head.encode() + f"Content-Length: {len(body)}\r\n\r\n".encode() + body + b"\r\n\r\n"

    PLAIN = record([("WARC-Type", "resource"), ("X-Name", "caf\u00e9")], b"hello")
    MANIFEST_RECORD = record(
        [("WARC-Type", "c2paprovenance"), ("Content-Type", "application/c2pa")], b"store")
    GOOD = b"\r\n" + PLAIN + MANIFEST_RECORD + PLAIN
    NO_MANIFEST = PLAIN * 3
    STORE = b"manifest store bytes"
    EMPTY = b""
    GARBAGE = b"garbage"
    UNTERMINATED = b"WARC/1.1\r\nContent-Length: 0\r\n"
    NON_UTF8 = b"WARC/1.1\r\nX: \xff\r\nContent-Length: 0\r\n\r\n"
    MISSING_LENGTH = b"WARC/1.1\r\nX: y\r\n\r\n"
    BAD_LENGTH = b"WARC/1.1\r\nContent-Length: -0\r\n\r\n"
    SHORT_BODY = b"WARC/1.1\r\nContent-Length: 99\r\n\r\nabc"
    LATE_ERROR = GOOD + b"x"
    # Values that never repeat, past the point where the reader stops looking
    # for repeats, beside one that always does.
    UNIQUE_VALUES = b"".join(
        record([("WARC-Type", "resource"), ("WARC-Record-ID", f"<urn:uuid:{i}>")])
        for i in range(80)
    )
    TEXT = "text/plain"
    RID = "urn:uuid:1"
    URI = "http://example.com/\u00e9"
    SURROGATE = "bad\ud800id"
    ARRAY = bytearray(b"WARC/1.1")

    class BytesChild(bytes):
        pass

    class NoName(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                raise RuntimeError("no name")
            return super().__getattribute__(name)

    class Odd(metaclass=NoName):
        pass

    CHILD = BytesChild(GOOD)
    ODD = Odd()
    KW_SURROGATE = {"\udc80": 1}
    """
)

# name: (call, exception type raised or None, fragment of its message,
#        names of the SETUP objects whose reference counts are checked)
CASES = {
    "read_records ok": ("q.read_records(GOOD)", None, "", "GOOD"),
    "read_records ok keyword": ("q.read_records(warc=GOOD)", None, "", "GOOD"),
    "read_records bytes subclass": ("q.read_records(CHILD)", None, "", "CHILD"),
    "read_records empty": ("q.read_records(EMPTY)", None, "", "EMPTY"),
    "read_records unique values": ("q.read_records(UNIQUE_VALUES)", None, "", "UNIQUE_VALUES"),
    "read_records garbage": ("q.read_records(GARBAGE)", ValueError, "expected WARC", "GARBAGE"),
    "read_records unterminated": (
        "q.read_records(UNTERMINATED)",
        ValueError,
        "unterminated",
        "UNTERMINATED",
    ),
    "read_records non-UTF-8": ("q.read_records(NON_UTF8)", ValueError, "non-UTF-8", "NON_UTF8"),
    "read_records missing length": (
        "q.read_records(MISSING_LENGTH)",
        ValueError,
        "missing Content",
        "MISSING_LENGTH",
    ),
    "read_records invalid length": (
        "q.read_records(BAD_LENGTH)",
        ValueError,
        "invalid Content",
        "BAD_LENGTH",
    ),
    "read_records short body": ("q.read_records(SHORT_BODY)", ValueError, "extends", "SHORT_BODY"),
    "read_records late error": ("q.read_records(LATE_ERROR)", ValueError, "offset", "LATE_ERROR"),
    "read_records str": ("q.read_records(RID)", TypeError, "'str' object", "RID"),
    "read_records bytearray": ("q.read_records(ARRAY)", TypeError, "'bytearray'", "ARRAY"),
    "read_records None": ("q.read_records(None)", TypeError, "'NoneType'", ""),
    "read_records nameless type": ("q.read_records(ODD)", TypeError, "<failed", "ODD"),
    "read_records too many": ("q.read_records(GOOD, GOOD)", TypeError, "takes 1", "GOOD"),
    "read_records missing": ("q.read_records()", TypeError, "missing 1", ""),
    "read_records stray keyword": ("q.read_records(data=GOOD)", TypeError, "unexpected", "GOOD"),
    "read_records surrogate keyword": (
        "q.read_records(**KW_SURROGATE)",
        TypeError,
        "unexpected",
        "KW_SURROGATE",
    ),
    "read_records duplicate": ("q.read_records(GOOD, warc=GOOD)", TypeError, "multiple", "GOOD"),
    "read_manifest ok": ("q.read_manifest(GOOD)", None, "", "GOOD"),
    "read_manifest none": ("q.read_manifest(NO_MANIFEST)", None, "", "NO_MANIFEST"),
    "read_manifest empty": ("q.read_manifest(EMPTY)", None, "", "EMPTY"),
    "read_manifest late error": ("q.read_manifest(LATE_ERROR)", ValueError, "offset", "LATE_ERROR"),
    "read_manifest str": ("q.read_manifest(RID)", TypeError, "'str' object", "RID"),
    "read_manifest missing": ("q.read_manifest()", TypeError, "missing 1", ""),
    "build_record ok": ("q.build_record(RID, TEXT, RID, STORE)", None, "", "RID TEXT STORE"),
    "build_record target": (
        "q.build_record(RID, TEXT, RID, STORE, URI)",
        None,
        "",
        "RID TEXT STORE URI",
    ),
    "build_record keywords": (
        "q.build_record(body=STORE, target_uri=URI, record_id=RID, content_type=TEXT, "
        "warc_type=RID)",
        None,
        "",
        "RID TEXT STORE URI",
    ),
    "build_record surrogate first": (
        "q.build_record(SURROGATE, TEXT, RID, STORE)",
        UnicodeEncodeError,
        "",
        "SURROGATE",
    ),
    "build_record surrogate id": (
        "q.build_record(RID, TEXT, SURROGATE, STORE)",
        UnicodeEncodeError,
        "",
        "SURROGATE RID",
    ),
    "build_record surrogate target": (
        "q.build_record(RID, TEXT, RID, STORE, SURROGATE)",
        UnicodeEncodeError,
        "",
        "SURROGATE STORE",
    ),
    "build_record str body": (
        "q.build_record(RID, TEXT, RID, RID)",
        TypeError,
        "argument 'body'",
        "RID TEXT",
    ),
    "build_record int target": (
        "q.build_record(RID, TEXT, RID, STORE, 7)",
        TypeError,
        "argument 'target_uri'",
        "STORE",
    ),
    "build_record too many": (
        "q.build_record(RID, TEXT, RID, STORE, URI, URI)",
        TypeError,
        "from 4 to 5",
        "URI",
    ),
    "build_record missing": ("q.build_record(RID, TEXT)", TypeError, "missing 2", "RID TEXT"),
    "append_manifest ok": ("q.append_manifest(GOOD, STORE, RID)", None, "", "GOOD STORE RID"),
    "append_manifest empty": (
        "q.append_manifest(EMPTY, STORE, RID)",
        ValueError,
        "empty WARC",
        "STORE RID",
    ),
    "append_manifest malformed": (
        "q.append_manifest(LATE_ERROR, STORE, RID)",
        ValueError,
        "offset",
        "LATE_ERROR STORE",
    ),
    "append_manifest surrogate": (
        "q.append_manifest(GOOD, STORE, SURROGATE)",
        UnicodeEncodeError,
        "",
        "GOOD SURROGATE",
    ),
    "append_manifest str manifest": (
        "q.append_manifest(EMPTY, RID, RID)",
        TypeError,
        "argument 'manifest'",
        "RID",
    ),
    "append_manifest missing": ("q.append_manifest()", TypeError, "missing 3", ""),
}

LOOP = textwrap.dedent(
    """
    import gc, json, os, sys

    PAGE = os.sysconf("SC_PAGE_SIZE")

    STATM = os.open("/proc/self/statm", os.O_RDONLY)

    def rss():
        # A raw read: opening a text file on each reading would itself move
        # reference counts around.
        return int(os.pread(STATM, 256, 0).split()[1]) * PAGE

    def counts():
        return [sys.getrefcount(globals()[n]) for n in WATCHED] + [sys.getrefcount(None)]

    def run(n):
        for _ in range(n):
            try:
                call()
            except EXPECTED:
                pass

    try:
        first = call()
    except BaseException as error:
        first = error
    if EXPECTED != ():
        assert type(first) is EXPECTED, repr(first)
        assert FRAGMENT in str(first), str(first)
    else:
        assert not isinstance(first, BaseException), repr(first)
    del first

    def measure(n):
        gc.collect()
        refs_before = counts()
        rss_before = rss()
        run(n)
        gc.collect()
        rss_after = rss()
        return {"rss": [rss_before, rss_after], "refs": [refs_before, counts()]}

    # The first rounds fill every cache that the calls or the measuring touch.
    # Two of them: the interpreter can still drop a one-off batch of references
    # to None on the second run of measure() itself (seen under AddressSanitizer
    # with PYTHONMALLOC=malloc), whatever the call being measured.
    measure(WARM_UP)
    measure(WARM_UP)
    report = measure(CALLS)
    print(json.dumps(report))
    """
)


def none_is_immortal() -> bool:
    return sys.getrefcount(None) >= 2**30


@pytest.mark.parametrize("case", CASES)
def test_calls_keep_memory_and_references_flat(case):
    call, expected, fragment, watched = CASES[case]
    program = (
        SETUP
        + textwrap.dedent(
            f"""
        def call():
            return {call}

        WATCHED = {watched.split()!r}
        EXPECTED = {expected.__name__ if expected else "()"}
        FRAGMENT = {fragment!r}
        WARM_UP = {WARM_UP}
        CALLS = {CALLS}
        """
        )
        + LOOP
    )
    done = subprocess.run(
        [sys.executable, "-c", program], capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout)
    rss_before, rss_after = report["rss"]
    if not SANITIZED:
        assert rss_after - rss_before <= RSS_TOLERANCE, f"grew by {rss_after - rss_before} bytes"
    refs_before, refs_after = report["refs"]
    names = watched.split()
    assert refs_after[: len(names)] == refs_before[: len(names)], dict(zip(names, refs_before))
    if not none_is_immortal():
        drift = refs_after[-1] - refs_before[-1]
        assert abs(drift) <= NONE_TOLERANCE, f"{drift} references to None over {CALLS} calls"
