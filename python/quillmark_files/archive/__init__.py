"""One archive file, plain or gzip: opening it (_source), running the native
pass over it in steps (_pass) with the chosen inflater (_inflater), and what
the pass makes of it: a check (_check), a listing (_records), or an append
(_append) written through an output that appears whole or not at all
(_output, _atomic_file). The writing side loads on first use (see _lazy.py).

The functions for files alone are private: ``quillmark_files`` gives them,
for packages too.
"""

from typing import TYPE_CHECKING

from .._lazy import on_first_use
from ._check import GZIP, GZIP_PER_RECORD, NONE, Summary
from ._inflater import INFLATER_VARIABLE, available_inflaters, chosen_inflater
from ._pass import Progress, default_threads
from ._records import FileRecord
from ._source import STANDARD_STREAM, Input

if TYPE_CHECKING:
    from ._append import AppendResult, checked_record_id
    from ._output import open_output, write_file

__getattr__ = on_first_use(
    __name__,
    {"._append": ("AppendResult", "checked_record_id"), "._output": ("open_output", "write_file")},
)

__all__ = [
    "AppendResult",
    "FileRecord",
    "GZIP",
    "GZIP_PER_RECORD",
    "INFLATER_VARIABLE",
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
