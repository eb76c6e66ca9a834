"""Argument binding and conversion of all four functions, with their exact messages."""

from __future__ import annotations

import ctypes

import pytest
import quillmark
from conftest import mask_date, resource_record

ARCHIVE = resource_record(b"one") + resource_record(b"two")

PARAMETERS = {
    "append_manifest": ("warc", "manifest", "record_id"),
    "read_manifest": ("warc",),
    "read_records": ("warc",),
    "build_record": ("warc_type", "content_type", "record_id", "body", "target_uri"),
}
REQUIRED = {"append_manifest": 3, "read_manifest": 1, "read_records": 1, "build_record": 4}
VALID = {
    "warc": ARCHIVE,
    "manifest": b"store",
    "record_id": "urn:uuid:9",
    "warc_type": "resource",
    "content_type": "text/plain",
    "body": b"hi",
    "target_uri": "http://example.com/",
}
BYTES_PARAMETERS = [
    ("append_manifest", "warc"),
    ("append_manifest", "manifest"),
    ("read_manifest", "warc"),
    ("read_records", "warc"),
    ("build_record", "body"),
]
STR_PARAMETERS = [
    ("append_manifest", "record_id"),
    ("build_record", "warc_type"),
    ("build_record", "content_type"),
    ("build_record", "record_id"),
    ("build_record", "target_uri"),
]


def valid_args(name: str) -> list:
    return [VALID[p] for p in PARAMETERS[name]]


def valid_kwargs(name: str) -> dict:
    return {p: VALID[p] for p in PARAMETERS[name]}


def normalised(result):
    # build_record and append_manifest date their output; compare without it.
    return mask_date(result) if isinstance(result, bytes) else result


def raw_call(fn, args: tuple, kwargs: dict):
    """Call through PyObject_Call, which hands any keyword dict over unchecked."""
    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
    return call(fn, args, kwargs)


def raises_exactly(exc_type, message: str, fn, *args, **kwargs):
    with pytest.raises(exc_type) as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc_type
    assert str(info.value) == message
    assert info.value.args == (message,)
    return info.value


ALL = list(PARAMETERS)


# --- too many positional arguments -------------------------------------------------------


@pytest.mark.parametrize("name", ALL)
@pytest.mark.parametrize("extra", [1, 2])
def test_too_many_positional(name, extra):
    total = len(PARAMETERS[name])
    given = total + extra
    if name == "build_record":
        expected = f"build_record() takes from 4 to 5 positional arguments but {given} were given"
    else:
        expected = f"{name}() takes {total} positional arguments but {given} were given"
    args = valid_args(name) + [None] * extra
    raises_exactly(TypeError, expected, getattr(quillmark, name), *args)
    # Keyword arguments are not looked at once there are too many positionals.
    raises_exactly(TypeError, expected, getattr(quillmark, name), *args, bogus=1)


def test_too_many_messages_from_the_examples():
    raises_exactly(
        TypeError,
        "read_records() takes 1 positional arguments but 2 were given",
        quillmark.read_records,
        b"",
        b"",
    )
    raises_exactly(
        TypeError,
        "build_record() takes from 4 to 5 positional arguments but 6 were given",
        quillmark.build_record,
        "a",
        "b",
        "c",
        b"",
        "e",
        "f",
    )


# --- stray keywords ----------------------------------------------------------------------


@pytest.mark.parametrize("name", ALL)
@pytest.mark.parametrize(
    "keyword", ["bogus", "data", "WARC", "warc\x00", "", "\ud800", "r\u00e9cord_id", "body "]
)
def test_stray_keyword(name, keyword):
    kwargs = {**valid_kwargs(name), keyword: 1}
    expected = f"{name}() got an unexpected keyword argument '{keyword}'"
    raises_exactly(TypeError, expected, getattr(quillmark, name), **kwargs)


@pytest.mark.parametrize("name", ALL)
@pytest.mark.parametrize("key", [1, b"warc", None, ("warc",), 2.5])
def test_non_str_keyword_is_stray(name, key):
    expected = f"{name}() got an unexpected keyword argument '{key!s}'"
    with pytest.raises(TypeError) as info:
        raw_call(getattr(quillmark, name), tuple(valid_args(name)), {key: 1})
    assert type(info.value) is TypeError
    assert str(info.value) == expected


def test_keyword_matching_is_byte_exact_with_str_subclass_keys():
    class Key(str):
        pass

    [record] = quillmark.read_records(**{Key("warc"): resource_record(b"x")})
    assert record["body"] == b"x"


def test_failing_str_of_a_stray_key_is_reported():
    class Key:
        def __str__(self):
            raise RuntimeError("no text for this key")

    with pytest.raises((RuntimeError, TypeError)) as info:
        raw_call(quillmark.read_records, (b"",), {Key(): 1})
    assert type(info.value) in (RuntimeError, TypeError)


def test_only_keyword_data_is_stray():
    raises_exactly(
        TypeError,
        "read_records() got an unexpected keyword argument 'data'",
        quillmark.read_records,
        data=b"",
    )


# --- duplicates and keyword order --------------------------------------------------------


@pytest.mark.parametrize(
    "name, positional",
    [(name, n) for name in ALL for n in range(1, len(PARAMETERS[name]) + 1)],
)
def test_duplicate(name, positional):
    duplicated = PARAMETERS[name][positional - 1]
    args = valid_args(name)[:positional]
    expected = f"{name}() got multiple values for argument '{duplicated}'"
    raises_exactly(
        TypeError, expected, getattr(quillmark, name), *args, **{duplicated: VALID[duplicated]}
    )


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"bogus": 1, "warc": b""}, "read_records() got an unexpected keyword argument 'bogus'"),
        ({"warc": b"", "bogus": 1}, "read_records() got multiple values for argument 'warc'"),
        ({"zz": 1, "aa": 2}, "read_records() got an unexpected keyword argument 'zz'"),
        ({"aa": 2, "zz": 1}, "read_records() got an unexpected keyword argument 'aa'"),
    ],
)
def test_keywords_are_taken_in_dict_order(kwargs, message):
    raises_exactly(TypeError, message, quillmark.read_records, b"", **kwargs)


# --- missing arguments -------------------------------------------------------------------


@pytest.mark.parametrize(
    "name, args, kwargs, message",
    [
        ("read_records", (), {}, "read_records() missing 1 required positional argument: 'warc'"),
        ("read_manifest", (), {}, "read_manifest() missing 1 required positional argument: 'warc'"),
        (
            "append_manifest",
            (),
            {},
            "append_manifest() missing 3 required positional arguments: "
            "'warc', 'manifest', and 'record_id'",
        ),
        (
            "append_manifest",
            (b"",),
            {},
            "append_manifest() missing 2 required positional arguments: 'manifest' and 'record_id'",
        ),
        (
            "append_manifest",
            (b"", b""),
            {},
            "append_manifest() missing 1 required positional argument: 'record_id'",
        ),
        (
            "append_manifest",
            (),
            {"manifest": b""},
            "append_manifest() missing 2 required positional arguments: 'warc' and 'record_id'",
        ),
        (
            "append_manifest",
            (),
            {"record_id": "x", "warc": b""},
            "append_manifest() missing 1 required positional argument: 'manifest'",
        ),
        (
            "build_record",
            (),
            {},
            "build_record() missing 4 required positional arguments: "
            "'warc_type', 'content_type', 'record_id', and 'body'",
        ),
        (
            "build_record",
            (),
            {"target_uri": "u"},
            "build_record() missing 4 required positional arguments: "
            "'warc_type', 'content_type', 'record_id', and 'body'",
        ),
        (
            "build_record",
            ("a", "b"),
            {},
            "build_record() missing 2 required positional arguments: 'record_id' and 'body'",
        ),
        (
            "build_record",
            ("a",),
            {"body": b""},
            "build_record() missing 2 required positional arguments: "
            "'content_type' and 'record_id'",
        ),
        (
            "build_record",
            (),
            {"content_type": "b"},
            "build_record() missing 3 required positional arguments: "
            "'warc_type', 'record_id', and 'body'",
        ),
        (
            "build_record",
            ("a", "b", "c"),
            {"target_uri": None},
            "build_record() missing 1 required positional argument: 'body'",
        ),
    ],
)
def test_missing(name, args, kwargs, message):
    raises_exactly(TypeError, message, getattr(quillmark, name), *args, **kwargs)


def test_binding_fails_before_any_conversion():
    # Missing beats a wrong type; a stray keyword beats a missing argument.
    raises_exactly(
        TypeError,
        "append_manifest() missing 2 required positional arguments: 'manifest' and 'record_id'",
        quillmark.append_manifest,
        "not bytes",
    )
    raises_exactly(
        TypeError,
        "append_manifest() got an unexpected keyword argument 'x'",
        quillmark.append_manifest,
        x=1,
    )


# --- conversion: wrong types -------------------------------------------------------------


class Outer:
    class Inner:
        pass


@pytest.mark.parametrize("name, param", BYTES_PARAMETERS)
@pytest.mark.parametrize(
    "value, type_name",
    [
        ("text", "str"),
        (bytearray(b"x"), "bytearray"),
        (memoryview(b"x"), "memoryview"),
        (None, "NoneType"),
        (1, "int"),
        (True, "bool"),
        ([b"x"], "list"),
        (Outer.Inner(), "Outer.Inner"),
    ],
)
@pytest.mark.parametrize("by_keyword", [False, True], ids=["positional", "keyword"])
def test_bytes_parameter_rejects(name, param, value, type_name, by_keyword):
    kwargs = valid_kwargs(name)
    kwargs[param] = value
    message = f"argument '{param}': '{type_name}' object cannot be converted to 'PyBytes'"
    fn = getattr(quillmark, name)
    if by_keyword:
        exc = raises_exactly(TypeError, message, fn, **kwargs)
    else:
        exc = raises_exactly(TypeError, message, fn, *kwargs.values())
    assert exc.__cause__ is None
    assert exc.__context__ is None


STR_REJECTED = [
    (b"text", "bytes"),
    (bytearray(b"x"), "bytearray"),
    (None, "NoneType"),
    (1, "int"),
    (1.5, "float"),
    (Outer.Inner(), "Outer.Inner"),
]


@pytest.mark.parametrize(
    "name, param, value, type_name",
    [
        (name, param, value, type_name)
        for name, param in STR_PARAMETERS
        for value, type_name in STR_REJECTED
        # None is how a caller leaves target_uri out.
        if not (param == "target_uri" and value is None)
    ],
)
def test_str_parameter_rejects(name, param, value, type_name):
    kwargs = valid_kwargs(name)
    kwargs[param] = value
    message = f"argument '{param}': '{type_name}' object cannot be converted to 'PyString'"
    exc = raises_exactly(TypeError, message, getattr(quillmark, name), **kwargs)
    assert exc.__cause__ is None
    assert exc.__context__ is None


def test_replaced_error_is_not_chained_inside_a_handler():
    try:
        raise KeyError("handled")
    except KeyError as handled:
        with pytest.raises(TypeError) as info:
            quillmark.build_record("a", "b", "c", "not bytes")
        # Only the exception being handled may be the context, never the
        # internal error that the message was made from.
        assert info.value.__context__ is None or info.value.__context__ is handled
        assert info.value.__cause__ is None


def test_type_name_is_the_qualified_name_of_a_local_class():
    class Local:
        pass

    raises_exactly(
        TypeError,
        "argument 'warc': "
        "'test_type_name_is_the_qualified_name_of_a_local_class.<locals>.Local' "
        "object cannot be converted to 'PyBytes'",
        quillmark.read_records,
        Local(),
    )


def odd_type(qualname_behaviour):
    """A class whose metaclass answers __qualname__ through `qualname_behaviour`."""

    class Meta(type):
        def __getattribute__(cls, attr):
            if attr == "__qualname__":
                return qualname_behaviour()
            return super().__getattribute__(attr)

    class Odd(metaclass=Meta):
        pass

    return Odd


def _raise(exc_type):
    def behaviour():
        raise exc_type("no name here")

    return behaviour


@pytest.mark.parametrize(
    "behaviour",
    [
        lambda: 42,
        lambda: b"Odd",
        lambda: None,
        _raise(AttributeError),
        _raise(TypeError),
        _raise(RuntimeError),
    ],
    ids=["int", "bytes", "None", "AttributeError", "TypeError", "RuntimeError"],
)
@pytest.mark.parametrize("name, param", [("read_records", "warc"), ("build_record", "warc_type")])
def test_unreadable_type_name(behaviour, name, param):
    kwargs = valid_kwargs(name)
    kwargs[param] = odd_type(behaviour)()
    target = "PyBytes" if param == "warc" else "PyString"
    message = (
        f"argument '{param}': '<failed to extract type name>' object cannot be converted "
        f"to '{target}'"
    )
    exc = raises_exactly(TypeError, message, getattr(quillmark, name), **kwargs)
    assert exc.__cause__ is None
    assert exc.__context__ is None


def test_metaclass_name_lookup_is_used():
    # A readable __qualname__ from the metaclass is the name shown.
    cls = odd_type(lambda: "Renamed")
    raises_exactly(
        TypeError,
        "argument 'warc': 'Renamed' object cannot be converted to 'PyBytes'",
        quillmark.read_records,
        cls(),
    )


def test_type_name_that_is_a_str_subclass_or_holds_a_surrogate():
    class Name(str):
        pass

    raises_exactly(
        TypeError,
        "argument 'warc': 'Sub' object cannot be converted to 'PyBytes'",
        quillmark.read_records,
        odd_type(lambda: Name("Sub"))(),
    )
    with pytest.raises(TypeError) as info:
        quillmark.read_records(odd_type(lambda: "bad\ud800name")())
    assert type(info.value) is TypeError
    assert str(info.value) in (
        "argument 'warc': 'bad\ud800name' object cannot be converted to 'PyBytes'",
        "argument 'warc': '<failed to extract type name>' object cannot be converted to 'PyBytes'",
    )


@pytest.mark.parametrize(
    "name, args, message",
    [
        (
            "append_manifest",
            (1, 2, 3),
            "argument 'warc': 'int' object cannot be converted to 'PyBytes'",
        ),
        (
            "append_manifest",
            (b"", "x", 3),
            "argument 'manifest': 'str' object cannot be converted to 'PyBytes'",
        ),
        (
            "append_manifest",
            (b"", b"", 3),
            "argument 'record_id': 'int' object cannot be converted to 'PyString'",
        ),
        (
            "append_manifest",
            (b"not an archive", b"", None),
            "argument 'record_id': 'NoneType' object cannot be converted to 'PyString'",
        ),
        (
            "build_record",
            (1, 2, 3, 4, 5),
            "argument 'warc_type': 'int' object cannot be converted to 'PyString'",
        ),
        (
            "build_record",
            ("a", "b", "c", "d", 5),
            "argument 'body': 'str' object cannot be converted to 'PyBytes'",
        ),
        (
            "build_record",
            ("a", "b", "c", b"", 5),
            "argument 'target_uri': 'int' object cannot be converted to 'PyString'",
        ),
        (
            "build_record",
            (b"a", "b", "c", b""),
            "argument 'warc_type': 'bytes' object cannot be converted to 'PyString'",
        ),
    ],
)
def test_first_failing_conversion_in_parameter_order(name, args, message):
    raises_exactly(TypeError, message, getattr(quillmark, name), *args)


# --- conversion: subclasses and encoding -------------------------------------------------


class BytesSub(bytes):
    def __bytes__(self):
        return b"not the contents"

    def __len__(self):
        return 1

    def __getitem__(self, index):
        return 0


class StrSub(str):
    def __str__(self):
        return "not the text"

    def encode(self, *args, **kwargs):
        return b"not the text"

    def __len__(self):
        return 1


def test_subclasses_are_read_by_their_contents():
    plain_archive = resource_record(b"sub")
    archive = BytesSub(plain_archive)
    assert quillmark.read_records(archive) == quillmark.read_records(plain_archive)
    assert quillmark.read_manifest(BytesSub(b"")) is None

    record = quillmark.build_record(
        StrSub("resource"),
        StrSub("text/plain"),
        StrSub("id"),
        BytesSub(b"body"),
        target_uri=StrSub("http://t/"),
    )
    plain = quillmark.build_record("resource", "text/plain", "id", b"body", "http://t/")
    assert mask_date(record) == mask_date(plain)

    out = quillmark.append_manifest(archive, BytesSub(b"m"), StrSub("rid"))
    assert mask_date(out) == mask_date(quillmark.append_manifest(plain_archive, b"m", "rid"))


@pytest.mark.parametrize("name, param", STR_PARAMETERS)
@pytest.mark.parametrize("text", ["\ud800", "ok\udfffok", "\udc80"])
@pytest.mark.parametrize("as_subclass", [False, True], ids=["str", "subclass"])
def test_unencodable_text_raises_unicode_encode_error(name, param, text, as_subclass):
    kwargs = valid_kwargs(name)
    kwargs[param] = StrSub(text) if as_subclass else text
    with pytest.raises(UnicodeEncodeError) as info:
        getattr(quillmark, name)(**kwargs)
    assert type(info.value) is UnicodeEncodeError
    assert info.value.encoding == "utf-8"
    assert info.value.object == text
    assert "argument '" not in str(info.value)
    assert "surrogate" in str(info.value)


@pytest.mark.parametrize("warc", [b"", b"garbage", ARCHIVE])
def test_unencodable_record_id_wins_over_archive_errors(warc):
    with pytest.raises(UnicodeEncodeError):
        quillmark.append_manifest(warc, b"m", "\ud83d")


def test_wrong_manifest_type_reported_before_empty_archive():
    raises_exactly(
        TypeError,
        "argument 'manifest': 'str' object cannot be converted to 'PyBytes'",
        quillmark.append_manifest,
        b"",
        "manifest",
        "id",
    )


def test_embedded_nul_survives_conversion():
    record = quillmark.build_record("a\x00b", "c\x00", "\x00", b"", target_uri="\x00u")
    assert b"WARC-Type: a\x00b\r\n" in record
    assert b"WARC-Record-ID: <\x00>\r\n" in record
    assert b"WARC-Target-URI: \x00u\r\n" in record
    assert b"Content-Type: c\x00\r\n" in record


# --- any mix of positional and keyword arguments -----------------------------------------


def argument_forms(name):
    params = PARAMETERS[name]
    values = valid_args(name)
    yield "positional", tuple(values), {}
    yield "keyword", (), dict(zip(params, values))
    yield "keyword reversed", (), dict(reversed(list(zip(params, values))))
    for split in range(1, len(params)):
        yield (
            f"first {split} positional",
            tuple(values[:split]),
            dict(reversed(list(zip(params[split:], values[split:])))),
        )


@pytest.mark.parametrize("name", ALL)
def test_positional_and_keyword_forms_agree(name):
    fn = getattr(quillmark, name)
    results = {
        label: normalised(fn(*args, **kwargs)) for label, args, kwargs in argument_forms(name)
    }
    reference = results["positional"]
    assert reference is not None or name == "read_manifest"
    for label, result in results.items():
        assert result == reference, label


def test_build_record_keyword_orders():
    reference = mask_date(quillmark.build_record("a", "b", "c", b"d", "e"))
    kwargs = {"target_uri": "e", "body": b"d", "record_id": "c", "content_type": "b"}
    assert mask_date(quillmark.build_record(warc_type="a", **kwargs)) == reference
    assert mask_date(quillmark.build_record("a", "b", "c", body=b"d", target_uri="e")) == reference
    absent = mask_date(quillmark.build_record("a", "b", "c", body=b"d"))
    assert mask_date(quillmark.build_record("a", "b", "c", b"d", None)) == absent
    assert mask_date(quillmark.build_record("a", "b", "c", b"d", target_uri=None)) == absent
    assert absent != reference
