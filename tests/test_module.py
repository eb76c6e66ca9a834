"""The module object: attributes, function objects, import rules and the built shared object."""

from __future__ import annotations

import glob
import importlib
import importlib.metadata
import inspect
import json
import os
import shutil
import subprocess
import sys
import textwrap

import pytest
import quillmark

FUNCTIONS = {
    "append_manifest": (
        "(warc, manifest, record_id)",
        "Append a C2PA Manifest Store to a WARC archive as a new record.",
    ),
    "read_manifest": (
        "(warc)",
        "Read the embedded C2PA Manifest Store, or `None` when the archive carries\nno provenance.",
    ),
    "read_records": (
        "(warc)",
        "Every record in the archive, as a list of dicts with `headers`, `body`,\n"
        "`offset`, and `length`.",
    ),
    "build_record": (
        "(warc_type, content_type, record_id, body, target_uri=None)",
        "Build a single WARC record.",
    ),
}
REGISTRATION_ORDER = ["append_manifest", "read_manifest", "read_records", "build_record"]


def test_version_and_doc():
    assert quillmark.__version__ == importlib.metadata.version("quillmark")
    assert type(quillmark.__version__) is str
    assert quillmark.__doc__ == ""
    assert quillmark.__name__ == "quillmark"


def test_all_lists_functions_then_version():
    assert quillmark.__all__ == [*REGISTRATION_ORDER, "__version__"]
    assert type(quillmark.__all__) is list


def test_attributes_are_added_in_registration_order():
    # __all__ is created by the first addition, before the first function is set.
    wanted = {"__all__", "__version__", *REGISTRATION_ORDER}
    in_dict_order = [name for name in vars(quillmark) if name in wanted]
    assert in_dict_order == ["__all__", *REGISTRATION_ORDER, "__version__"]


def test_star_import_exports_everything_in_all():
    namespace: dict = {}
    exec("from quillmark import *", namespace)
    assert set(quillmark.__all__) <= set(namespace)


@pytest.mark.parametrize("name", REGISTRATION_ORDER)
def test_function_object(name):
    fn = getattr(quillmark, name)
    signature, doc = FUNCTIONS[name]
    assert type(fn).__name__ == "builtin_function_or_method"
    assert fn.__name__ == name
    assert fn.__qualname__ == name
    assert fn.__module__ == "quillmark"
    assert fn.__self__ is quillmark
    assert fn.__text_signature__ == signature
    assert fn.__doc__ == doc
    params = inspect.signature(fn).parameters.values()
    assert str(inspect.signature(fn)) == signature
    assert {p.kind for p in params} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}


def test_reimport_after_removal_gives_the_same_module():
    original = sys.modules.pop("quillmark")
    try:
        original.added_by_a_test = "kept"
        again = importlib.import_module("quillmark")
        assert again is original
        assert again.added_by_a_test == "kept"
        assert again.read_records(b"") == []
        assert again.__all__ == [*REGISTRATION_ORDER, "__version__"]
    finally:
        sys.modules["quillmark"] = original
        vars(original).pop("added_by_a_test", None)


def run_python(executable: str, code: str, **kwargs) -> subprocess.CompletedProcess:
    return subprocess.run(
        [executable, "-c", code], capture_output=True, text=True, timeout=120, **kwargs
    )


# Runs in a fresh process. import_in_subinterpreter() imports the module twice in
# a new sub-interpreter and returns one "kind|message" line per attempt.
INTERPRETER_HELPERS = textwrap.dedent(
    """
    import json, os, sys
    import _testcapi
    sys.path.insert(0, MODULE_DIR)

    SUB_CODE = '''
    import os, sys
    sys.path.insert(0, MODULE_DIR)
    for attempt in range(2):
        try:
            import quillmark
            quillmark.read_records(b"")
        except ImportError as exc:
            line = type(exc).__name__ + "|" + str(exc)
        except BaseException as exc:
            line = "unexpected " + type(exc).__name__ + "|" + str(exc)
        else:
            line = "imported|"
        sys.modules.pop("quillmark", None)
        os.write(WRITE_END, (line + "\\\\n").encode())
    '''

    def import_in_subinterpreter():
        read_end, write_end = os.pipe()
        code = SUB_CODE.replace("MODULE_DIR", repr(MODULE_DIR))
        status = _testcapi.run_in_subinterp(code.replace("WRITE_END", str(write_end)))
        os.close(write_end)
        with os.fdopen(read_end) as lines:
            return status, lines.read().splitlines()

    def import_in_main():
        try:
            import quillmark
            return "imported|" + str(quillmark.read_manifest(b"") is None)
        except ImportError as exc:
            return type(exc).__name__ + "|" + str(exc)
    """
)

MAIN_FIRST = """
import quillmark
runs = [import_in_subinterpreter(), import_in_subinterpreter()]
del sys.modules["quillmark"]
import quillmark as again
print(json.dumps({
    "runs": runs,
    "still_works": quillmark.read_records(b"") == [] and quillmark.read_manifest(b"") is None,
    "same_module": again is quillmark,
}))
"""

SUB_FIRST = """
runs = [import_in_subinterpreter()]
print(json.dumps({"runs": runs, "main": [import_in_main(), import_in_main()]}))
"""


def run_interpreter_script(body: str) -> dict:
    pytest.importorskip("_testcapi", reason="this interpreter lacks _testcapi")
    module_dir = os.path.dirname(os.path.abspath(shared_object()))
    script = f"MODULE_DIR = {module_dir!r}\n" + INTERPRETER_HELPERS + body
    proc = run_python(sys.executable, script)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


def assert_refused(outcome: str):
    kind, _, message = outcome.partition("|")
    # Exactly ImportError: ModuleNotFoundError would mean the path was wrong.
    assert kind == "ImportError", outcome
    assert "interpreter" in message.lower(), outcome


def test_second_interpreter_gets_import_error():
    report = run_interpreter_script(MAIN_FIRST)
    for status, outcomes in report["runs"]:
        assert status == 0
        assert len(outcomes) == 2
        for outcome in outcomes:
            assert_refused(outcome)
    assert report["still_works"]
    assert report["same_module"]


def test_first_interpreter_to_initialise_owns_the_module():
    report = run_interpreter_script(SUB_FIRST)
    [(status, sub_outcomes)] = report["runs"]
    assert status == 0
    if sys.version_info >= (3, 13):
        # From 3.13 the import system initialises a single-phase module in the
        # main interpreter before a sub-interpreter gets it, so main owns it.
        owner, refused = report["main"], sub_outcomes
        assert owner == ["imported|True", "imported|True"]
    else:
        owner, refused = sub_outcomes, report["main"]
        assert owner == ["imported|", "imported|"]
    for outcome in refused:
        assert_refused(outcome)


def shared_object() -> str:
    path = quillmark.__file__
    assert path and path.endswith(".so"), path
    return path


def test_only_the_initialiser_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm (binutils) is not installed")
    out = subprocess.run(
        [nm, "-D", "--defined-only", shared_object()],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    symbols = {line.split()[-1] for line in out.splitlines() if line.strip()}
    assert symbols == {"PyInit_quillmark"}


def test_built_for_the_stable_abi():
    assert shared_object().endswith(".abi3.so")


def other_interpreters() -> list:
    found = []
    for minor in range(9, 14):
        pattern = f"/root/.pyenv/versions/3.{minor}.*/bin/python3.{minor}"
        matches = sorted(glob.glob(pattern)) or (
            [shutil.which(f"python3.{minor}")] if shutil.which(f"python3.{minor}") else []
        )
        found.append(pytest.param(matches[0] if matches else None, id=f"3.{minor}"))
    return found


LOAD_CHECK = textwrap.dedent(
    """
    import sys
    sys.path.insert(0, sys.argv[1])
    import quillmark
    assert quillmark.__file__.startswith(sys.argv[1]), quillmark.__file__
    record = quillmark.build_record("resource", "text/plain", "urn:uuid:1", b"hi")
    [parsed] = quillmark.read_records(record)
    assert parsed["body"] == b"hi" and parsed["length"] == len(record)
    out = quillmark.append_manifest(record, b"store", "urn:uuid:2")
    assert quillmark.read_manifest(out) == b"store"
    print("ok", sys.version_info[:2])
    """
)


@pytest.mark.parametrize("python", other_interpreters())
def test_one_build_loads_into_every_supported_python(python, tmp_path):
    if python is None:
        pytest.skip("this CPython version is not installed here")
    shutil.copy(shared_object(), tmp_path / os.path.basename(shared_object()))
    proc = subprocess.run(
        [python, "-I", "-c", LOAD_CHECK, str(tmp_path)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.startswith("ok")
