"""One kernel copy of a file: the least that writing a whole new archive costs.

    python -m bench.kernel_copy SOURCE TARGET

`os.copy_file_range` of the whole file into a new TARGET on the same file
system, then fsync, as a writer that means its output to last must end. The
kernel copies without bringing the bytes to this process, or shares the
extents where the file system can (XFS, btrfs): whatever the file system does
well, this measures. Prints how many bytes were copied.
"""

from __future__ import annotations

import os
import sys


def copy(source: str, target: str) -> int:
    copied = 0
    with open(source, "rb") as inp, open(target, "wb") as out:
        size = os.fstat(inp.fileno()).st_size
        while copied < size:
            done = os.copy_file_range(inp.fileno(), out.fileno(), size - copied)
            if done == 0:  # the file shrank under us
                break
            copied += done
        os.fsync(out.fileno())
    return copied


def main(argv: list[str] | None = None) -> int:
    source, target = sys.argv[1:] if argv is None else argv
    print(copy(source, target))
    return 0


if __name__ == "__main__":
    sys.exit(main())
