"""One archive file, plain or gzip: opening it (_source), running the native
pass over it in steps with the chosen inflater (_pass), and what the pass
makes of it: a check or a listing (_reading), or an append (_append) written
through an output that appears whole or not at all (_output, _atomic_file),
loaded on first use. Its functions for files alone are private:
``quillmark_files`` gives them, for packages too.
"""

from typing import TYPE_CHECKING

from .._lazy import on_first_use
from ._pass import Progress, available_inflaters, chosen_inflater, default_threads
from ._reading import GZIP, GZIP_PER_RECORD, NONE, FileRecord, Summary
from ._source import STANDARD_STREAM, Input

if TYPE_CHECKING:
    from ._append import AppendResult, checked_record_id
    from ._output import open_output, write_file

__all__ = [
    "AppendResult",
    "FileRecord",
    "GZIP",
    "GZIP_PER_RECORD",
    "Input",
    "NONE",
    "Progress",
    "STANDARD_STREAM",
    "Summary",
    "available_inflaters",
    "checked_record_id",
    "chosen_inflater",
    "default_threads",
    "open_output",
    "write_file",
]
__getattr__ = on_first_use(__name__, __all__, ("._output", "._append"))
