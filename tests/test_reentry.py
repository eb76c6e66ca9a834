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
    import quillmark as q

    RECORD = b"WARC/1.1\\r\\nX-Field: value\\r\\nContent-Length: 1\\r\\n\\r\\nx\\r\\n\\r\\n"
    seen = []

    def walk(phase, info):
        # Python code that runs in the middle of a call, as a collector
        # callback or a finaliser can, and touches every object it can reach.
        if phase == "stop":
            for obj in gc.get_objects():
                if type(obj) in (list, dict):
                    seen.append(len(obj))
                    for item in list(obj):
                        pass

    gc.callbacks.append(walk)
    gc.set_threshold(50)
    result = q.read_records(RECORD * 5000)
    gc.callbacks.remove(walk)
    assert len(result) == 5000 and seen
    print("ok")
    """
)


def test_collector_callbacks_never_see_half_built_results():
    """The cyclic collector can run while read_records builds its result, and
    Python code can then reach every tracked object: no object it finds may
    hold unset items."""
    done = subprocess.run(
        [sys.executable, "-c", GC_WALK], capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr or f"exit status {done.returncode}"
    assert done.stdout.strip() == "ok"
