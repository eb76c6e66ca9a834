"""Python code that runs in the middle of a call, as a collector callback or a
finaliser can, must find every object it can reach complete."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("quillmark")


GC_WALK = textwrap.dedent(
    """
    import gc
    import sys
    import quillmark as q

    RECORD = b"WARC/1.1\\r\\nX-Field: value\\r\\nContent-Length: 1\\r\\n\\r\\nx\\r\\n\\r\\n"
    COUNT = int(sys.argv[1])
    walks = []

    def walk(phase, info):
        # Python code that runs in the middle of a call, as a collector
        # callback or a finaliser can, and touches every object it can reach.
        if phase == "stop":
            walks.append(1)
            for obj in gc.get_objects():
                if type(obj) in (list, dict):
                    for item in list(obj):
                        pass

    gc.callbacks.append(walk)
    gc.set_threshold(50)
    # The walker itself works here: plain Python allocation triggers it.
    junk = [{} for _ in range(500)]
    assert walks, "the collector callback never ran"
    del junk, walks[:]
    result = q.read_records(RECORD * COUNT)
    gc.callbacks.remove(walk)
    assert len(result) == COUNT
    assert all(r["body"] == b"x" for r in result)
    # The module may pause the collector for large listings, so the number
    # of walks during the call is reported rather than required.
    print("ok", len(walks))
    """
)


# Both sides of any size from which the collector might be paused.
@pytest.mark.parametrize("count", [300, 5000])
def test_collector_callbacks_never_see_half_built_results(count):
    """The cyclic collector can run while read_records builds its result, and
    Python code can then reach every tracked object: no object it finds may
    hold unset items."""
    done = subprocess.run(
        [sys.executable, "-c", GC_WALK, str(count)], capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr or f"exit status {done.returncode}"
    assert done.stdout.split()[0] == "ok"
