"""A thread that does an output's writes while the reader goes on.

Writing a large output is mostly waiting for the kernel: copying byte ranges
between files, and flushing them to disk before the file is renamed into
place. Handed to a thread of its own, in order, that waiting overlaps the
inflating and framing of the input, which run on the caller's thread (the
calls release the interpreter lock while the kernel works). The first failure
is kept and raised to the caller at its next step; later jobs are dropped.
"""

from __future__ import annotations

import queue
import threading
from collections.abc import Callable

# Jobs waiting at most: each is a write of up to 1 MiB or a copy by reference,
# so this bounds the memory held to a few MiB.
_DEPTH = 8


class WriteBehind:
    def __init__(self) -> None:
        self._jobs: queue.Queue[Callable[[], None] | None] = queue.Queue(_DEPTH)
        self._error: BaseException | None = None
        self._thread = threading.Thread(target=self._run, name="quillmark-writer", daemon=True)
        self._thread.start()

    def submit(self, job: Callable[[], None]) -> None:
        """Queues ``job``, which writes."""
        self.raise_failure()
        self._jobs.put(job)

    def wait(self) -> None:
        """Returns once every job is done; raises the first failure."""
        self._jobs.join()
        self.raise_failure()

    def stop(self) -> None:
        """Ends the thread once the jobs already queued are done (or dropped)."""
        if self._thread.is_alive():
            self._jobs.put(None)
            self._thread.join()

    def cancel(self) -> None:
        """Ends the thread, dropping the jobs not yet begun."""
        if self._error is None:
            self._error = _Cancelled()
        self.stop()

    def raise_failure(self) -> None:
        error = self._error
        if error is not None and not isinstance(error, _Cancelled):
            raise error

    def _run(self) -> None:
        while True:
            job = self._jobs.get()
            try:
                if job is None:
                    return
                if self._error is None:
                    job()
            except BaseException as exc:  # kept for the caller's thread
                self._error = exc
            finally:
                self._jobs.task_done()


class _Cancelled(Exception):
    pass
