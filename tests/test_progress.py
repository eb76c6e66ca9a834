"""Progress bars of the file commands: drawn on standard error when it is a
terminal and the file is large, never otherwise; the commands' output stays
what it is without them."""

from __future__ import annotations

import io
import sys
from pathlib import Path

import pytest
import quillmark

pytest.importorskip("tqdm", reason="tqdm is not installed (pip install -r requirements-test.txt)")
from quillmark_cli import __main__ as cli  # noqa: E402
from quillmark_cli import progress  # noqa: E402


class Terminal(io.StringIO):
    def isatty(self) -> bool:
        return True


def archive(tmp_path: Path) -> Path:
    records = b"".join(
        quillmark.build_record("resource", "text/plain", f"urn:{n}", b"x" * 5000) for n in range(50)
    )
    path = tmp_path / "crawl.warc"
    path.write_bytes(quillmark.append_manifest(records, b"store", "urn:m"))
    return path


@pytest.mark.parametrize(
    "words, label",
    [
        (["check"], "checking"),
        (["manifest", "-o", "{out}"], "reading"),
        (["records", "--json"], "listing"),
        (["append", "{store}", "-o", "{out}"], "appending"),
    ],
)
@pytest.mark.parametrize("terminal, large", [(True, True), (True, False), (False, True)])
def test_a_bar_on_a_terminal_for_a_large_file(
    tmp_path, monkeypatch, capsys, words, label, terminal, large
):
    path = archive(tmp_path)
    (tmp_path / "store").write_bytes(b"new store")
    args = [w.format(out=tmp_path / "out", store=tmp_path / "store") for w in words]
    args.insert(1, str(path))
    # A small file stands for a large one, and the bar shows at once.
    monkeypatch.setattr(progress, "LARGE_FILE", 0 if large else path.stat().st_size + 1)
    monkeypatch.setattr(progress, "_DELAY_SECONDS", 0)
    stderr = Terminal() if terminal else io.StringIO()
    monkeypatch.setattr(sys, "stderr", stderr)
    assert cli.main(args) == 0
    drawn = stderr.getvalue()
    if terminal and large:
        assert f"{label}:" in drawn and "B/s" in drawn  # cleared once done
    else:
        assert drawn == ""
    stdout = capsys.readouterr().out
    assert label not in stdout and "\r" not in stdout
