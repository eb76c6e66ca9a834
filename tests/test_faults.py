"""Running out of memory: with the address space capped just above what the
process already uses, a call whose result cannot be allocated raises
MemoryError, and the process goes on working: a small call under the same cap
succeeds, and the large call succeeds once the cap is lifted."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("quillmark")
resource = pytest.importorskip("resource")

if os.environ.get("QUILLMARK_SANITIZED") == "1":
    pytest.skip("address-space limits break the sanitizer runtime", allow_module_level=True)
if not os.path.exists("/proc/self/statm"):
    pytest.skip("needs /proc to measure the address space", allow_module_level=True)

BIG = 256 << 20
HEADROOM = 32 << 20

SETUP = textwrap.dedent(
    f"""
    import quillmark as q

    BIG = {BIG}

    def record(headers, body):
        head = "WARC/1.1\\r\\n" + "".join(f"{{k}}: {{v}}\\r\\n" for k, v in headers)
        head += f"Content-Length: {{len(body)}}\\r\\n\\r\\n"
        return head.encode() + body + b"\\r\\n\\r\\n"

    SMALL = record([("WARC-Type", "resource")], b"small")
    STORE = b"s" * 16
    """
)

# name: (setup of the large inputs, the large call, what its result must
#        satisfy once the cap is lifted)
CASES = {
    "read_records large body": (
        "WARC = record([], b'x' * BIG)",
        "q.read_records(WARC)",
        "len(result) == 1 and len(result[0]['body']) == BIG",
    ),
    "read_records many records": (
        "WARC = b'WARC/1.1\\r\\nContent-Length: 0\\r\\n\\r\\n\\r\\n\\r\\n' * 500_000",
        "q.read_records(WARC)",
        "len(result) == 500_000",
    ),
    "read_manifest large store": (
        "WARC = record([('WARC-Type', 'c2paprovenance'), ('Content-Type', 'application/c2pa')],"
        " b'm' * BIG)",
        "q.read_manifest(WARC)",
        "len(result) == BIG",
    ),
    "build_record large body": (
        "BODY = b'b' * BIG",
        "q.build_record('resource', 'text/plain', 'urn:uuid:1', BODY)",
        "len(result) > BIG",
    ),
    "build_record large target": (
        "URI = 'u' * BIG",
        "q.build_record('resource', 'text/plain', 'urn:uuid:1', b'', URI)",
        "len(result) > BIG",
    ),
    "append_manifest large archive": (
        "WARC = record([], b'w' * BIG)",
        "q.append_manifest(WARC, STORE, 'urn:uuid:2')",
        "len(result) > BIG",
    ),
    "append_manifest large store": (
        "STORE_BIG = b'm' * BIG",
        "q.append_manifest(SMALL, STORE_BIG, 'urn:uuid:2')",
        "q.read_manifest(result) == STORE_BIG",
    ),
}

LOOP = textwrap.dedent(
    f"""
    import os, resource

    def address_space():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")

    expected_small = q.read_records(SMALL)
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (address_space() + {HEADROOM}, hard))
    try:
        large()
    except MemoryError:
        pass
    else:
        raise SystemExit("the large call succeeded under the cap")

    # The same process, still capped, keeps working.
    assert q.read_records(SMALL) == expected_small
    assert q.read_manifest(SMALL) is None
    assert q.build_record("a", "b", "c", b"d").startswith(b"WARC/1.1\\r\\n")
    assert q.read_records(q.append_manifest(SMALL, STORE, "id"))[-1]["body"] == STORE

    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    result = large()
    assert CHECK, "wrong result once the cap is lifted"
    print("ok")
    """
)


@pytest.mark.parametrize("case", CASES)
def test_out_of_memory_raises_and_recovers(case):
    setup, call, check = CASES[case]
    program = (
        SETUP + setup + f"\n\ndef large():\n    return {call}\n\n" + LOOP.replace("CHECK", check)
    )
    done = subprocess.run(
        [sys.executable, "-c", program], capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr or done.stdout
    assert done.stdout.strip() == "ok"
