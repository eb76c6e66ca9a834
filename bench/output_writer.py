"""What writing an appended archive costs on a real file system.

    python -m bench.output_writer --folder bench/data/xfs --folder bench/data/ext4 \\
        bench/data/stream-3072MiB.members.warc.gz bench/data/stream-1024MiB.warc

Each input is copied (untimed) into each folder, a mounted file system, and
`quillmark append` writes it there, with -o and in place, in turns with the
floors: `check` of the same file (the reading an append must do) and one
kernel copy of the file followed by fsync (the writing; on XFS and btrfs a
copy that shares the input's blocks). Per case: the best processor and wall
time over the rounds, peak memory, and the disk space the output added
(os.statvfs after a sync; 0 where it shares the input's blocks).
`--quillmark PATH`, given more than once, measures several installations of
the command in the same turns.

The folders are best file systems on loop images with direct I/O, so that
their writes reach this disk once and their page cache is their own:

    truncate -s 8G bench/data/xfs.img && mkfs.xfs -q -m reflink=1 bench/data/xfs.img
    dev=$(losetup --find --show --direct-io=on bench/data/xfs.img)
    mkdir -p bench/data/xfs && mount "$dev" bench/data/xfs     # as root; ext4 alike
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import sys
from pathlib import Path

from bench.processes import MIB, Case, Run, take_turns, warm

KERNEL_COPY = """
import os, sys
source, target = sys.argv[1:]
with open(source, "rb") as given, open(target, "wb") as out:
    size, offset = os.fstat(given.fileno()).st_size, 0
    while offset < size:
        offset += os.copy_file_range(given.fileno(), out.fileno(), size - offset, offset)
    os.fsync(out.fileno())
"""


def used(folder: Path) -> int:
    os.sync()
    usage = os.statvfs(folder)
    return (usage.f_blocks - usage.f_bfree) * usage.f_frsize


class Space:
    """The disk space one run of a case added, measured around it."""

    def __init__(self, folder: Path, output: Path, pristine: Path | None):
        self.folder, self.output, self.pristine = folder, output, pristine
        self.held = folder / "held"
        self.added: list[int] = []
        self.writes = True

    def before(self) -> None:
        if self.pristine is not None:  # an in-place append replaces its input
            shutil.copyfile(self.pristine, self.output)
            # Held by a second name, the replaced file's blocks stay in use:
            # what the append adds is what its output does not share.
            os.link(self.output, self.held)
        self._start = used(self.folder)

    def after(self, run: Run) -> str | None:
        self.added.append(used(self.folder) - self._start)
        return None

    def remove(self) -> None:
        (self.held if self.pristine is not None else self.output).unlink(missing_ok=True)


def cases(commands: list[str], folder: Path, source: Path, store: Path) -> list[tuple[Case, Space]]:
    name = source.name
    work = folder / name
    if not work.exists():
        shutil.copyfile(source, work)
    pristine = folder / f"pristine-{name}"
    if not pristine.exists():
        shutil.copyfile(source, pristine)
    out = folder / f"out-{name}"
    group = f"{folder.name}: {name} ({source.stat().st_size / MIB:,.0f} MiB)"
    made = []
    plan = [
        ("check", [commands[0], "check", work], None, None),
        ("kernel copy + fsync", [sys.executable, "-c", KERNEL_COPY, work, out], out, None),
    ]
    for command in commands:
        # Named after its installation: the folder that holds bin/quillmark.
        which = f" ({Path(command).parent.parent.name})" if len(commands) > 1 else ""
        plan += [
            ("append -o" + which, [command, "append", work, store, "-o", out], out, None),
            ("append in place" + which, [command, "append", work, store], work, pristine),
        ]
    for label, argv, output, fresh in plan:
        space = Space(folder, output or out, fresh)
        space.writes = output is not None
        case = Case(
            group,
            label,
            [str(a) for a in argv],
            prepare=space.before,
            verify=space.after,
            cleanup=space.remove,
        )
        made.append((case, space))
    return made


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("inputs", nargs="+", type=Path)
    parser.add_argument("--folder", type=Path, action="append", required=True)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--quillmark", action="append")
    args = parser.parse_args()
    commands = args.quillmark or [str(Path(sys.executable).with_name("quillmark"))]
    measured = []
    for folder in args.folder:
        store = folder / "store.c2pa"
        store.write_bytes(b"store" * 1000)
        for source in args.inputs:
            measured += cases(commands, folder, source, store)
    warm([Path(case.argv[-1]) for case, _ in measured if case.label == "check"])
    take_turns([case for case, _ in measured], args.rounds)
    print("| file system: input | case | CPU s | wall s | peak MiB | disk added MiB |")
    print("|---|---|---|---|---|---|")
    for case, space in measured:
        if not case.done:
            print(f"| {case.group} | {case.label} | {case.state()} | | | |")
            continue
        # A case that writes nothing would only see what others freed late.
        added = f"{statistics.median(space.added) / MIB:,.1f}" if space.writes else "–"
        print(
            f"| {case.group} | {case.label} | {case.cpu:.3f} | {case.wall:.3f} "
            f"| {case.peak_rss / MIB:.0f} | {added} |"
        )


if __name__ == "__main__":
    main()
