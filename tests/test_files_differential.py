"""quillmark_files against the module on the same content: plain and gzip
files, members lined up with records or not, well-formed or damaged. The
verdict and message, the records listed, the manifest store and the appended
archive must be what the module gives for the uncompressed content."""

from __future__ import annotations

import gzip
import os
import random
from pathlib import Path

import archive_gen
import pytest
import quillmark
from conftest import mask_date

files = pytest.importorskip("quillmark_files")

SEEDS = range(60 if os.environ.get("QUILLMARK_QUICK") else 300)
LAYOUTS = ["plain", "member-per-record", "single-member", "random-members", "record-halves"]


def record_starts(data: bytes) -> list[int]:
    try:
        return [r["offset"] for r in quillmark.read_records(data)]
    except ValueError:  # damaged: cut where records seem to start
        return [i for i in range(len(data)) if data.startswith(b"WARC/1.1", i)]


def packed(data: bytes, layout: str, rng: random.Random) -> bytes:
    """``data`` written with the gzip layout named ``layout``."""
    if layout == "plain":
        return data
    if layout == "single-member":
        return gzip.compress(data, compresslevel=rng.choice((1, 9)))
    if layout == "member-per-record":
        cuts = record_starts(data)
    elif layout == "random-members":
        cuts = rng.sample(range(len(data) + 1), min(len(data), 4))
    else:  # every record split in two members
        cuts = record_starts(data)
        cuts += [a + (b - a) // 2 for a, b in zip(cuts, cuts[1:] + [len(data)])]
    cuts = sorted({0, len(data), *cuts})
    return b"".join(gzip.compress(data[a:b]) for a, b in zip(cuts, cuts[1:])) or gzip.compress(b"")


def module_verdict(data: bytes) -> str | None:
    try:
        quillmark.read_records(data)
    except ValueError as exc:
        return str(exc)
    return None


def record_bytes(data: bytes) -> list[bytes]:
    return [data[r["offset"] : r["offset"] + r["length"]] for r in quillmark.read_records(data)]


def uncompressed(data: bytes) -> bytes:
    return gzip.decompress(data) if data[:2] == b"\x1f\x8b" else data


@pytest.mark.parametrize("layout", LAYOUTS)
def test_file_functions_agree_with_the_module(tmp_path: Path, layout: str):
    inflaters = files.available_inflaters()
    failures = 0
    for seed in SEEDS:
        rng = random.Random(seed)
        data = archive_gen.archive(seed)
        path = tmp_path / f"{seed}.warc{'' if layout == 'plain' else '.gz'}"
        path.write_bytes(packed(data, layout, rng))
        inflater = rng.choice(inflaters)
        verdict = module_verdict(data)

        listed = []
        try:
            for record in files.iter_records(path, bodies=True, inflater=inflater):
                listed.append(record)
        except files.MalformedArchive as exc:
            assert exc.message == verdict, seed
            assert exc.compressed == (layout != "plain")
            # Everything before the failing record was listed, as it reads alone.
            before = quillmark.read_records(data[: exc.record_offset])
            assert [r.offset for r in listed] == [r["offset"] for r in before], seed
            with pytest.raises(files.MalformedArchive) as checked:
                files.check(path, inflater=inflater)
            assert checked.value.located() == exc.located()
            failures += 1
        else:
            assert verdict is None, seed
            expected = quillmark.read_records(data)
            assert [(r.offset, r.length, r.headers, r.body) for r in listed] == [
                (e["offset"], e["length"], e["headers"], e["body"]) for e in expected
            ], seed
            summary = files.check(path, inflater=inflater)
            assert summary.records == len(expected)
            assert summary.manifest == quillmark.read_manifest(data)
            assert summary.manifest_records == sum(r.is_manifest for r in listed)

        out = tmp_path / f"out-{path.name}"
        store = rng.randbytes(rng.randint(0, 40))
        expected_verdict = verdict if data else files._native.EMPTY_ARCHIVE_MESSAGE
        if expected_verdict is not None:
            with pytest.raises(files.MalformedArchive) as refused:
                files.append_manifest(path, store, out, record_id="urn:x", inflater=inflater)
            assert refused.value.message == expected_verdict
            assert not out.exists()
            continue
        result = files.append_manifest(path, store, out, record_id="urn:x", inflater=inflater)
        written = uncompressed(out.read_bytes())
        module = quillmark.append_manifest(data, store, "urn:x")
        # The same records, byte for byte; only CR and LF bytes inside gzip
        # members copied whole may stand between them.
        assert mask_date(b"".join(record_bytes(written))) == mask_date(module), seed
        assert written.startswith(data) or layout != "single-member" or result.manifests_removed
        assert result.manifest_offset == quillmark.read_records(written)[-1]["offset"]
        assert quillmark.read_manifest(written) == store
    assert failures > len(SEEDS) // 5  # enough damaged archives among the seeds


def outcome(call, *args, **kwargs):
    """What a call gives, or the exception it raises, in a comparable form
    (the new member's length varies with its date)."""
    try:
        result = call(*args, **kwargs)
        return result._replace(member_length=None) if hasattr(result, "member_length") else result
    except (files.ArchiveError, ValueError) as exc:
        return (type(exc).__name__, str(exc), getattr(exc, "located", lambda: None)())


@pytest.mark.parametrize("layout", LAYOUTS[1:])
def test_any_number_of_threads_gives_the_same(tmp_path: Path, monkeypatch, layout: str):
    from quillmark_files.archive import _pass as steps

    monkeypatch.setattr(steps, "PART_SIZE", 300)  # parts of a few hundred bytes: cuts everywhere
    for seed in SEEDS[:: 6 if os.environ.get("QUILLMARK_QUICK") else 2]:
        rng = random.Random(seed)
        path = tmp_path / f"{seed}.warc.gz"
        path.write_bytes(packed(archive_gen.archive(seed), layout, rng))
        seen = []
        for threads in (1, 2, 3, 7):
            out = tmp_path / "out.warc.gz"
            out.unlink(missing_ok=True)
            seen.append(
                (
                    outcome(files.check, path, threads=threads),
                    outcome(list, files.iter_records(path, bodies=True, threads=threads)),
                    outcome(
                        files.append_manifest,
                        path,
                        b"store",
                        out,
                        record_id="urn:x",
                        threads=threads,
                    ),
                    mask_date(uncompressed(out.read_bytes())) if out.exists() else None,
                    gzip_members(out.read_bytes())[:-1] if out.exists() else None,
                )
            )
        assert all(s == seen[0] for s in seen), seed


def gzip_members(data: bytes) -> list[bytes]:
    import zlib

    found = []
    while data:
        inflater = zlib.decompressobj(31)
        inflater.decompress(data)
        size = len(data) - len(inflater.unused_data)
        found.append(data[:size])
        data = data[size:]
    return found
