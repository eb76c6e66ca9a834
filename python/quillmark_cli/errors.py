"""The one exception type the commands raise for failures the user should see."""


class CliError(Exception):
    """A failure reported as one line on stderr, with exit status 1."""
