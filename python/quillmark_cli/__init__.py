"""The ``quillmark`` command: list, check, read and embed manifest stores in WARC archives.

The extension module ``quillmark`` does the archive work; this package only adds
files, gzip members, output formats and error reporting around it.
"""
