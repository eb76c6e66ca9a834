"""Costs of the `quillmark` command, as ratios against baselines in the same run.

    python -m bench.cli                  # about 100 MiB of records
    python -m bench.cli --size-mib 400

Each case runs as a fresh process, best of --repeat runs (wall clock), so the
interpreter's start-up is in every figure. The baselines are a bare Python
process that reads the file and calls the module directly, and `warcio index`
where warcio is installed. On the `.warc.gz`, `check` runs once per inflater of
the build (QUILLMARK_INFLATER), each against the floor of its own library
inflating the file once (bench/inflaters.py).
"""

from __future__ import annotations

import argparse
import gzip
import os
import random
import shutil
import subprocess
import sys
import time
from pathlib import Path

from bench import inflaters

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


def best_of(argv: list[str], repeat: int, env: dict[str, str] | None = None) -> float:
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        subprocess.run(argv, stdout=subprocess.DEVNULL, check=False, env=env)
        best = min(best, time.perf_counter() - start)
    return best


def gzip_cases(cli: str, packed: str) -> list[tuple[str, list[str], dict[str, str] | None, str]]:
    """`check` of the .gz per inflater, each after its library's floors; the file's floors first.

    Each case: its label, its command, its environment, and the label of the
    case it is measured against ("" for the floors of the file).
    """
    built = inflaters.available()
    floors = [f for f in inflaters.floors_for(built) if not inflaters.missing(f)]
    cases = [(f.label, inflaters.argv(f, packed), None, "") for f in floors if f.overall]
    for name in built:
        own = [f for f in floors if f.library == name]
        cases += [(f.label, inflaters.argv(f, packed), None, "") for f in own if not f.overall]
        cases.append(
            (
                f"check .gz ({name})",
                [cli, "check", packed],
                {**os.environ, inflaters.ENVIRONMENT: name},
                " or ".join(f.label for f in own),
            )
        )
    return cases


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

    print(f"\n.warc.gz: {Path(packed).stat().st_size / (1 << 20):.0f} MiB, one member per record")
    times: dict[str, float] = {}
    overall = {f.label for f in inflaters.FLOORS if f.overall}
    for label, argv, env, against in gzip_cases(str(cli), packed):
        times[label] = best_of(argv, args.repeat, env)
        ratios = []
        for text, floors in ((against, against.split(" or ")), ("the floor", overall)):
            least = min((times[f] for f in floors if f in times), default=None)
            if against and least:
                ratios.append(f"{times[label] / least:6.2f} x {text}")
        print(f"{label:32} {times[label]:8.3f} s  " + ", ".join(ratios))


if __name__ == "__main__":
    main()
