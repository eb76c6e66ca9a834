"""read_records: framing, header rules, the Content-Length number rule and the record dicts."""

from __future__ import annotations

import random

import pytest
import quillmark
from conftest import TERMINATOR, ascii_lower, invalid, make_record, resource_record, trim

MAX_U64 = 2**64 - 1


def read_error(data: bytes) -> str:
    with pytest.raises(ValueError) as info:
        quillmark.read_records(data)
    assert type(info.value) is ValueError
    assert len(info.value.args) == 1
    return info.value.args[0]


def only_record(data: bytes) -> dict:
    records = quillmark.read_records(data)
    assert len(records) == 1
    return records[0]


def headers_of(*lines, **kwargs) -> dict:
    return only_record(make_record(*lines, **kwargs))["headers"]


GOOD = resource_record(b"good")


# --- framing -----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "data",
    [b"", b"\r", b"\n", b"\r\n", b"\n\n\n", b"\r\r\r", b"\r\n\r\n", b"\n\r\n\r\r\n" * 50],
)
def test_no_records(data):
    assert quillmark.read_records(data) == []


@pytest.mark.parametrize(
    "data, detail",
    [
        (b"garbage", "expected WARC/1.1 at offset 0"),
        (b" " + GOOD, "expected WARC/1.1 at offset 0"),
        (b"\xef\xbb\xbf" + GOOD, "expected WARC/1.1 at offset 0"),
        (b"\t" + GOOD, "expected WARC/1.1 at offset 0"),
        (b"\r\n\r\nx" + GOOD, "expected WARC/1.1 at offset 4"),
        (b"\n\n\r" + GOOD.replace(b"WARC/1.1", b"WARC/1.0", 1), "expected WARC/1.1 at offset 3"),
        (GOOD.replace(b"WARC/1.1", b"warc/1.1", 1), "expected WARC/1.1 at offset 0"),
        (b"WARC/1.", "expected WARC/1.1 at offset 0"),
        (b"WARC", "expected WARC/1.1 at offset 0"),
        (GOOD + b"WARC/1.", f"expected WARC/1.1 at offset {len(GOOD)}"),
        (GOOD + b" ", f"expected WARC/1.1 at offset {len(GOOD)}"),
        (GOOD + b"\r\n\r\n\n x", f"expected WARC/1.1 at offset {len(GOOD) + 5}"),
        (GOOD + GOOD + b"\x00", f"expected WARC/1.1 at offset {2 * len(GOOD)}"),
        (b"WARC/1.1", "unterminated header"),
        (b"WARC/1.1\r\nContent-Length: 0\r\n", "unterminated header"),
        (b"WARC/1.1\nContent-Length: 0\n\n", "unterminated header"),
        (b"WARC/1.1\r\nContent-Length: 0\r\n\r", "unterminated header"),
        (b"WARC/1.1\r\n\r\n", "missing Content-Length"),
        (b"WARC/1.1\r\nX: 1\r\n\r\nContent-Length: 0\r\n\r\n", "missing Content-Length"),
        (GOOD + b"WARC/1.1\r\nContent-Length: 1\r\n\r\n", "body extends past end of data"),
        (
            make_record(body=b"abc", content_length="4", separator=b""),
            "body extends past end of data",
        ),
        (make_record(body=b"", content_length="1", separator=b""), "body extends past end of data"),
    ],
)
def test_framing_errors(data, detail):
    assert read_error(data) == invalid(detail)


@pytest.mark.parametrize(
    "header_line",
    [
        b"X-Bad: \xff",
        b"X-Bad: \xc0\x80",  # overlong NUL
        b"X-Bad: \xe0\x80\xaf",  # overlong "/"
        b"X-Bad: \xed\xa0\x80",  # surrogate U+D800
        b"X-Bad: \xf4\x90\x80\x80",  # above U+10FFFF
        b"X-Bad: \xe2\x82",  # truncated at the end of the header block
        b"X-Bad: \x80",  # lone continuation byte
        b"\xfe: value",
    ],
)
def test_non_utf8_header(header_line):
    assert read_error(make_record(header_line)) == invalid("non-UTF-8 header")


def test_rest_of_version_line_is_checked_for_utf8():
    assert read_error(make_record(version=b"WARC/1.1 \xff")) == invalid("non-UTF-8 header")


def test_any_body_bytes_are_accepted():
    body = bytes(range(256)) + b"\xff\xfe\xc0\x80\xed\xa0\x80"
    assert only_record(make_record(("X-Ok", "\u00e9\u4e2d\U0001f600"), body=body))["body"] == body


@pytest.mark.parametrize(
    "data, detail",
    [
        # The first failing test of a record decides: UTF-8 before Content-Length ...
        (b"WARC/1.1\r\nX: \xff\r\n\r\n", "non-UTF-8 header"),
        # ... Content-Length validity before the body length.
        (make_record(content_length="9 9", separator=b""), "invalid Content-Length"),
        # ... the terminator before anything in the header block.
        (b"WARC/1.1\r\nX: \xff\r\n", "unterminated header"),
    ],
)
def test_checks_run_in_order(data, detail):
    assert read_error(data) == invalid(detail)


@pytest.mark.parametrize("good_records", [1, 3, 500])
def test_an_error_in_the_last_record_returns_only_the_error(good_records):
    data = GOOD * good_records + make_record(content_length="x")
    assert read_error(data) == invalid("invalid Content-Length")


def test_first_failing_record_decides():
    data = GOOD + make_record(content_length="x") + b"WARC/1.1\r\n\r\n"
    assert read_error(data) == invalid("invalid Content-Length")


# --- the Content-Length number rule ------------------------------------------------------


@pytest.mark.parametrize(
    "text",
    [
        "5",
        "+5",
        "005",
        "+005",
        " 5",
        "5 ",
        "\t5\t",
        "\u00a05\u3000",
        "\u20285\u2029",
        "\x0b5\x0c",
        "0" * 40 + "5",
        "+" + "0" * 40 + "5",
    ],
)
def test_valid_content_length(text):
    record = only_record(make_record(body=b"12345", content_length=text))
    assert record["body"] == b"12345"
    assert record["headers"]["content-length"] == trim(text)


@pytest.mark.parametrize(
    "text",
    [
        "",
        " ",
        "+",
        "-",
        "-0",
        "-5",
        "++5",
        "+-5",
        "-+5",
        "5 5",
        "5\t5",
        "1_0",
        "0x5",
        "0X5",
        "5a",
        "1e3",
        "5.0",
        "\uff15",  # FULLWIDTH DIGIT FIVE
        "\u0665",  # ARABIC-INDIC DIGIT FIVE
        "\u200b5",  # zero width space is not white space
        "5\ufeff",
        "18446744073709551616",
        "99999999999999999999999999",
        "+18446744073709551616",
        "000018446744073709551616",
    ],
)
def test_invalid_content_length(text):
    assert read_error(make_record(body=b"12345", content_length=text)) == invalid(
        "invalid Content-Length"
    )


@pytest.mark.parametrize("text", ["18446744073709551615", "+018446744073709551615"])
def test_largest_content_length_parses_but_cannot_fit(text):
    assert read_error(make_record(body=b"x", content_length=text)) == invalid(
        "body extends past end of data"
    )


def test_body_end_that_overflows_the_address_space_is_rejected():
    # Content-Length values for which the body end (terminator + 4 + n) wraps past
    # 2^64 to a small number that a careless sum would take as inside the data.
    prefix = b"WARC/1.1\r\nContent-Length: "
    body_start = len(prefix) + 20 + len(TERMINATOR)
    for wrapped_end in range(body_start):
        n = 2**64 - body_start + wrapped_end
        data = prefix + str(n).encode() + TERMINATOR + b"x" * 40
        assert len(str(n)) == 20
        assert read_error(data) == invalid("body extends past end of data"), n


# --- separators and offsets --------------------------------------------------------------


@pytest.mark.parametrize(
    "separator, covered",
    [
        (b"\r\n\r\n", 4),
        (b"\n\n", 2),
        (b"\r\n", 0),
        (b"\r\n\r\n\r\n", 4),
        (b"\n\n\n", 2),
        (b"\n\r\n\r\n", 0),
        (b"\r\n\n", 0),
        (b"\r\r\n\n", 0),
        (b"", 0),
    ],
)
@pytest.mark.parametrize("followed_by_record", [False, True])
def test_record_separator(separator, covered, followed_by_record):
    first = make_record(body=b"\r\n", separator=b"")
    data = first + separator + (GOOD if followed_by_record else b"")
    records = quillmark.read_records(data)
    assert records[0]["offset"] == 0
    assert records[0]["length"] == len(first) + covered
    assert records[0]["body"] == b"\r\n"
    if followed_by_record:
        assert len(records) == 2
        assert records[1]["offset"] == len(first) + len(separator)
        assert records[1]["length"] == len(GOOD)
    else:
        assert len(records) == 1


def test_header_search_runs_on_through_later_records():
    # The first record's block ends in "\n\n", which is no terminator, so its
    # header block runs on to the terminator of the next record.
    first = b"WARC/1.1\r\nContent-Length: 0\n\n"
    second = b"WARC/1.1\r\nContent-Length: 7\r\n\r\n1234567"
    [record] = quillmark.read_records(first + second)
    assert record["headers"] == {"content-length": "7"}
    assert record["body"] == b"1234567"
    assert (record["offset"], record["length"]) == (0, len(first + second))


def test_leading_gap_belongs_to_no_record():
    [record] = quillmark.read_records(b"\r\n\r\n" + GOOD)
    assert (record["offset"], record["length"]) == (4, len(GOOD))


def test_offsets_and_lengths_tile_the_archive():
    rng = random.Random(7)
    data = b""
    expected = []
    for i in range(200):
        gap = bytes(rng.choice(b"\r\n") for _ in range(rng.randrange(3)))
        body = bytes(rng.randrange(256) for _ in range(rng.randrange(40)))
        record = make_record(("X-Index", str(i)), body=body, separator=b"\r\n\r\n")
        data += gap
        expected.append((len(data), len(record), body, str(i)))
        data += record
    records = quillmark.read_records(data)
    got = [(r["offset"], r["length"], r["body"], r["headers"]["x-index"]) for r in records]
    assert got == expected


@pytest.mark.parametrize(
    "body",
    [b"", b"\r\n\r\n", b"WARC/1.1\r\nContent-Length: 0\r\n\r\n", b"\n\n" * 10, b"\x00" * 3],
)
def test_body_is_taken_whole_by_its_length(body):
    data = make_record(body=body) + GOOD
    records = quillmark.read_records(data)
    assert [r["body"] for r in records] == [body, b"good"]


def test_empty_body_record_length():
    header = b"WARC/1.1\r\nContent-Length: 0"
    assert only_record(header + TERMINATOR)["length"] == len(header) + 4
    assert only_record(header + TERMINATOR + b"\n\n")["length"] == len(header) + 6
    assert only_record(header + TERMINATOR + TERMINATOR)["length"] == len(header) + 8


def test_body_ending_exactly_at_the_end_of_data():
    data = make_record(body=b"end", separator=b"")
    record = only_record(data)
    assert record["body"] == b"end"
    assert record["offset"] + record["length"] == len(data)


def test_version_line_may_carry_more_text():
    record = only_record(make_record(("X-A", "1"), version="WARC/1.1 anything: here"))
    assert record["headers"] == {"x-a": "1", "content-length": "0"}


# --- record dicts ------------------------------------------------------------------------


def test_record_dict_shape():
    [record] = quillmark.read_records(make_record(("WARC-Type", "resource"), body=b"xyz"))
    assert list(record) == ["headers", "body", "offset", "length"]
    assert type(record) is dict
    assert type(record["headers"]) is dict
    assert type(record["body"]) is bytes
    assert type(record["offset"]) is int
    assert type(record["length"]) is int
    assert all(type(k) is str and type(v) is str for k, v in record["headers"].items())


def test_returns_a_fresh_list_of_independent_dicts():
    data = GOOD + GOOD
    first = quillmark.read_records(data)
    first[0]["headers"]["x"] = "changed"
    first[1]["body"] = b"changed"
    second = quillmark.read_records(data)
    assert type(second) is list
    assert second[0]["headers"] == {
        "warc-type": "resource",
        "content-type": "text/plain",
        "content-length": "4",
    }
    assert second[1]["body"] == b"good"
    assert second[0] is not second[1]


def test_large_body_round_trips():
    body = bytes(range(256)) * 40_000
    assert only_record(make_record(body=body))["body"] == body


# --- header rules ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "line, name, value",
    [
        ("X-Plain: v", "x-plain", "v"),
        ("  X-Lead: v", "x-lead", "v"),
        ("\tX-Tab\t:\tv\t", "x-tab", "v"),
        ("X-Case: MiXeD Value", "x-case", "MiXeD Value"),
        ("X-Colons: a:b::c", "x-colons", "a:b::c"),
        ("X-Double:: v", "x-double", ": v"),
        ("X-Empty:", "x-empty", ""),
        ("X-Blank:   ", "x-blank", ""),
        (": nameless", "", "nameless"),
        (":", "", ""),
        ("X-Cr: a\rb", "x-cr", "a\rb"),
        ("X-Nul: a\x00b", "x-nul", "a\x00b"),
        ("\u3000X-Wide\u00a0: \u2028v\u205f\u0085", "x-wide", "v"),
        ("\u1680X-Ogham\u2000:\u200av\u202f", "x-ogham", "v"),
        ("X-Zwsp: \u200bv\ufeff", "x-zwsp", "\u200bv\ufeff"),
        ("X-Mvs: \u180ev\u180e", "x-mvs", "\u180ev\u180e"),
        ("X-Sep: \x1cv\x1f", "x-sep", "\x1cv\x1f"),
        ("\u00c4BC-\u0130X: \u00c4", "\u00c4bc-\u0130x", "\u00c4"),
        ("X-\u00dfTRASSE: \u00df", "x-\u00dftrasse", "\u00df"),
        ("X-Emoji\U0001f600: \U0001f600", "x-emoji\U0001f600", "\U0001f600"),
        ("WARC-TYPE: Resource", "warc-type", "Resource"),
    ],
)
def test_header_name_and_value(line, name, value):
    headers = headers_of(line)
    assert headers[name] == value
    assert set(headers) == {name, "content-length"}


@pytest.mark.parametrize(
    "lines",
    [
        ["no colon here"],
        ["   "],
        ["WARC/1.1"],
    ],
)
def test_lines_without_colon_are_ignored(lines):
    assert headers_of(*lines) == {"content-length": "0"}


def test_first_line_is_skipped_whatever_it_holds():
    data = make_record(("X-A", "1"), version="WARC/1.1 X-Hidden: 2")
    assert only_record(data)["headers"] == {"x-a": "1", "content-length": "0"}


def test_lines_end_at_lf_with_or_without_cr():
    data = b"WARC/1.1\nX-A: 1\r\nX-B: 2\nContent-Length: 0\r\n\r\n"
    assert only_record(data)["headers"] == {"x-a": "1", "x-b": "2", "content-length": "0"}


def test_only_one_cr_before_lf_is_removed_and_trimming_takes_the_rest():
    data = b"WARC/1.1\r\nX-A: 1\r\r\n\rX-B\r: 2\r\nContent-Length: 0\r\n\r\n"
    assert only_record(data)["headers"] == {"x-a": "1", "x-b": "2", "content-length": "0"}


def test_no_continuation_lines():
    data = make_record(("X-A", "1"), " continued: 2", "\tfolded without colon")
    assert only_record(data)["headers"] == {"x-a": "1", "continued": "2", "content-length": "0"}


def test_content_length_name_in_any_case():
    for spelling in ["CONTENT-LENGTH", "content-length", "Content-length", " cOnTeNt-LeNgTh "]:
        data = make_record(f"{spelling}: 3", body=b"abc", content_length=None)
        assert only_record(data)["headers"] == {"content-length": "3"}


def test_content_length_with_different_name_is_missing():
    for spelling in ["Content_Length", "Content-Length-X", "Content\u2010Length", "ContentLength"]:
        data = make_record(f"{spelling}: 0", content_length=None)
        assert read_error(data) == invalid("missing Content-Length")


def test_repeated_name_keeps_first_position_and_last_value():
    headers = headers_of(("X-B", "1"), ("X-A", "2"), ("x-b", "3"), ("X-C", "4"), ("X-B", "5"))
    assert list(headers.items()) == [
        ("x-b", "5"),
        ("x-a", "2"),
        ("x-c", "4"),
        ("content-length", "0"),
    ]


def test_header_order_is_first_appearance_for_many_names():
    rng = random.Random(11)
    names = [f"X-Name-{i:03d}" for i in range(300)]
    rng.shuffle(names)
    lines = []
    expected = {}
    for step in range(900):
        name = names[step % 300] if step < 300 else rng.choice(names)
        spelled = "".join(c.upper() if rng.random() < 0.5 else c.lower() for c in name)
        lines.append((spelled, f"v{step}"))
        expected[name.lower()] = f"v{step}"
    headers = headers_of(*lines)
    assert list(headers.items()) == [*expected.items(), ("content-length", "0")]


@pytest.mark.parametrize(
    "lengths, outcome",
    [
        (["5", "x"], "invalid Content-Length"),
        (["x", "5"], None),
        (["9", "5"], None),
        (["5", "9"], "body extends past end of data"),
    ],
)
def test_last_content_length_wins(lengths, outcome):
    lines = [("Content-Length", n) for n in lengths]
    data = make_record(*lines, body=b"12345", content_length=None, separator=b"")
    if outcome is None:
        assert only_record(data)["body"] == b"12345"
    else:
        assert read_error(data) == invalid(outcome)


def test_names_across_many_records_stay_exact():
    # Names that share long prefixes or suffixes, differ in case or only in a
    # non-ASCII letter, repeated over many records of one archive.
    rng = random.Random(5)
    stems = ["X-Long-Common-Prefix-", "", "-Suffix", "\u00c4", "\u00e4", "WARC-"]
    pool = [f"{rng.choice(stems)}{i}{rng.choice(stems)}" for i in range(3000)]
    pool += ["\u00c4x", "\u00e4x", "", "A" * 300 + "b", "a" * 300 + "c"]
    data = b""
    expected = []
    for _ in range(400):
        names = rng.sample(pool, 8)
        lines = []
        model = {}
        for name in names:
            spelled = "".join(c.swapcase() if rng.random() < 0.5 else c for c in name)
            value = str(rng.random())
            lines.append((spelled, value))
            model[ascii_lower(spelled)] = value
        model["content-length"] = "0"
        expected.append(model)
        data += make_record(*lines)
    got = [list(r["headers"].items()) for r in quillmark.read_records(data)]
    assert got == [list(m.items()) for m in expected]


def test_header_parse_is_independent_per_record():
    data = make_record(("X-Only-First", "1")) + make_record(("X-Only-Second", "2"))
    first, second = quillmark.read_records(data)
    assert first["headers"] == {"x-only-first": "1", "content-length": "0"}
    assert second["headers"] == {"x-only-second": "2", "content-length": "0"}
