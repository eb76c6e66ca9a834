"""The one exception type the commands raise for failures the user should see."""


class CliError(Exception):
    """A failure reported as one line on stderr, with exit status 1."""


def shown(name: object) -> str:
    """A file name as messages show it: bytes that are not UTF-8 appear as
    \\xNN escapes rather than as the interpreter's stand-in characters."""
    if isinstance(name, bytes):
        return name.decode("utf-8", "backslashreplace")
    text = str(name)
    try:
        return text.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
    except UnicodeEncodeError:
        return text  # a surrogate that did not come from a file name; leave it as it is
