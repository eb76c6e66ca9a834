"""Costs of the `quillmark` command, as ratios against baselines in the same run.

    python -m bench.cli                  # about 100 MiB of records
    python -m bench.cli --size-mib 400

Each case runs as a fresh process, best of --repeat runs (wall clock), so the
interpreter's start-up is in every figure. The baselines are a bare Python
process that reads the file and calls the module directly, and `warcio index`
where warcio is installed.
"""

from __future__ import annotations

import argparse
import gzip
import random
import shutil
import subprocess
import sys
import time
from pathlib import Path

DATA_DIR = Path(__file__).resolve().parent / "data"
SEED = 20261207


def make_inputs(size: int) -> dict[str, Path]:
    import quillmark

    DATA_DIR.mkdir(exist_ok=True)
    rng = random.Random(SEED)
    words = [bytes(rng.choice(b"abcdefghij <>/=") for _ in range(8)) for _ in range(512)]
    records = []
    total = 0
    while total < size:
        body = b" ".join(rng.choices(words, k=rng.randint(20, 4000)))
        index = len(records)
        record = quillmark.build_record(
            "response", "text/html", f"urn:uuid:{index:032x}", body, f"https://e.org/{index}"
        )
        records.append(record)
        total += len(record)
    plain = b"".join(records)
    paths = {name: DATA_DIR / f"cli-{size >> 20}MiB{name}" for name in (".warc", "-bad.warc")}
    paths[".warc.gz"] = DATA_DIR / f"cli-{size >> 20}MiB.warc.gz"
    paths["manifest"] = DATA_DIR / "cli-manifest.c2pa"
    paths[".warc"].write_bytes(plain)
    # The last record claims more body than the file holds.
    paths["-bad.warc"].write_bytes(plain + b"WARC/1.1\r\nContent-Length: 10\r\n\r\nxx")
    with open(paths[".warc.gz"], "wb") as packed:
        for record in records:
            packed.write(gzip.compress(record, compresslevel=6))
    paths["manifest"].write_bytes(rng.randbytes(64 << 10))
    return paths


def best_of(argv: list[str], repeat: int) -> float:
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        subprocess.run(argv, stdout=subprocess.DEVNULL, check=False)
        best = min(best, time.perf_counter() - start)
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size-mib", type=int, default=100)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    cli = Path(sys.executable).with_name("quillmark")
    if not cli.exists():
        sys.exit(f"the quillmark command is not installed next to {sys.executable}")
    paths = make_inputs(args.size_mib << 20)
    plain, bad, packed, store = (
        str(paths[k]) for k in (".warc", "-bad.warc", ".warc.gz", "manifest")
    )
    out = str(DATA_DIR / "cli-out")
    direct = "import quillmark,sys; quillmark.{}(open(sys.argv[1],'rb').read())"

    cases = [
        ("module: read_manifest", [sys.executable, "-c", direct.format("read_manifest"), plain]),
        ("check", [str(cli), "check", plain]),
        ("check, member per record .gz", [str(cli), "check", packed]),
        ("check, last record broken", [str(cli), "check", bad]),
        ("module: read_records", [sys.executable, "-c", direct.format("read_records"), plain]),
        ("records --json", [str(cli), "records", "--json", plain]),
        ("append -o .warc", [str(cli), "append", plain, store, "-o", out + ".warc"]),
        ("append -o .warc.gz", [str(cli), "append", plain, store, "-o", out + ".warc.gz"]),
    ]
    warcio = shutil.which("warcio", path=str(Path(sys.executable).parent))
    if warcio:
        cases.append(("warcio index (peer)", [warcio, "index", plain]))

    print(f"input: {Path(plain).stat().st_size / (1 << 20):.0f} MiB, best of {args.repeat}")
    baseline = {}
    for label, argv in cases:
        seconds = best_of(argv, args.repeat)
        if label.startswith("module:"):
            baseline = {"base": seconds, "label": label}
        print(
            f"{label:32} {seconds:8.3f} s  {seconds / baseline['base']:6.2f} x {baseline['label']}"
        )


if __name__ == "__main__":
    main()
