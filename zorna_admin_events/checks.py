"""Checks of what the command is given before the extension module sees it.

The module opens its files as they are and parses them with json.load: a
FIFO would hang it, /dev/zero would be read until memory runs out, and a
broken file would end in an exception that does not name it.  So the
command looks at the files the class will read first, and refuses with one
line naming the file:

    FILE: not a regular file
    FILE: larger than 64 MiB
    FILE: not UTF-8
    FILE: not valid JSON (line L, column C)
    FILE: nested too deeply
"""

import json
import os
import stat

from .names import CURRENT_CONFIG_FILE, DEFAULT_CONFIG_DIR, TRANSLATIONS_FILE
from .texts import _

# Far more than any real configuration: a file this large is not one.
MAX_SIZE = 64 * 1024 * 1024


class BrokenFile(Exception):
    """A file the command refuses to hand to the module; the message names it."""


def read_regular(path, limit=MAX_SIZE):
    """The bytes of the regular file ``path``, at most ``limit`` of them.

    Anything else (a FIFO, a device, a directory) is refused before a byte
    is read, and opening never waits for a FIFO's writer.
    """
    return read_opened(os.open(str(path), os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC), path, limit)[0]


def read_opened(fd, path, limit=None):
    """The bytes and status of the file open at ``fd`` (which is closed
    here), refused unless it is a regular file of at most ``limit`` bytes."""
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            raise BrokenFile(_("{file}: not a regular file").format(file=path))
        with os.fdopen(fd, "rb", closefd=False) as handle:
            data = handle.read(-1 if limit is None else limit + 1)
    finally:
        os.close(fd)
    if limit is not None and len(data) > limit:
        raise BrokenFile(_("{file}: larger than {size} MiB").format(file=path, size=limit // (1024 * 1024)))
    return data, st


def parse_json(path, data, syntax_errors=True):
    """The JSON document in ``data``, read from ``path`` (None for text
    that is not JSON, without ``syntax_errors``)."""
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        raise BrokenFile(_("{file}: not UTF-8").format(file=path)) from None
    try:
        return json.loads(text)
    except json.JSONDecodeError as exc:
        if not syntax_errors:
            return None
        raise BrokenFile(_("{file}: not valid JSON (line {line}, column {column})").format(
            file=path, line=exc.lineno, column=exc.colno)) from None
    except RecursionError:
        raise BrokenFile(_("{file}: nested too deeply").format(file=path)) from None


def read_json(path, syntax_errors=True):
    return parse_json(path, read_regular(path), syntax_errors)


def check_object(path, document, entries_too=False):
    """A JSON object (of JSON objects, with ``entries_too``), as the module reads it."""
    if not isinstance(document, dict):
        raise BrokenFile(_("{file}: not a JSON object").format(file=path))
    if entries_too:
        for key, value in document.items():
            if not isinstance(value, dict):
                raise BrokenFile(_("{file}: the entry {key!r} is not a JSON object").format(file=path, key=key))


def check_class_files(cls):
    """Check every file the class reads: the defaults of each event, the
    current configuration and the section translations; the first broken
    one raises."""
    for _kind, _key, exc in class_file_problems(cls):
        raise exc


def check_current_file(cls):
    """Check the current configuration, if there is one."""
    current = getattr(cls, CURRENT_CONFIG_FILE)
    if os.path.lexists(str(current)):
        check_object(current, read_json(current), entries_too=True)


# What class_file_problems names: a defaults file (its key: the event ID),
# the current configuration and the section translations.
DEFAULTS, CURRENT, TRANSLATIONS = "defaults", "current", "translations"


def class_file_problems(cls, translations_shape=False):
    """(kind, key, error) for each file the class reads that it could not
    read, in the order the class would meet them; the error (BrokenFile or
    OSError) names the file.

    With ``translations_shape``, translations that are JSON but not the
    object of objects the class can look sections up in are a problem too
    (the class stops at them); otherwise only what would stop or hang it."""
    problems = []

    def check(kind, key, test):
        try:
            test()
        except (BrokenFile, OSError) as exc:
            problems.append((kind, key, exc))

    defaults = getattr(cls, DEFAULT_CONFIG_DIR)
    for group in _entries(defaults):
        if group.is_dir(follow_symlinks=True):
            for event in _entries(group.path):
                if not event.is_dir(follow_symlinks=True):
                    check(DEFAULTS, event.name, lambda path=event.path: check_object(path, read_json(path)))
    check(CURRENT, None, lambda: check_current_file(cls))
    translations = getattr(cls, TRANSLATIONS_FILE)

    def check_translations():
        # The module ignores translations that are not JSON; anything else
        # would stop it, or hang it.
        document = read_json(translations, syntax_errors=False)
        if translations_shape and document is not None:
            check_object(translations, document, entries_too=True)

    if os.path.lexists(str(translations)):
        check(TRANSLATIONS, None, check_translations)
    return problems


def _entries(directory):
    try:
        with os.scandir(str(directory)) as entries:
            return sorted(entries, key=lambda entry: entry.name)
    except (FileNotFoundError, NotADirectoryError):
        return []


def check_argument(text, encoding):
    """Whether a command-line argument is valid in the locale's encoding
    (Python keeps undecodable bytes as lone surrogates, which cannot be
    stored nor printed)."""
    try:
        text.encode(encoding)
    except UnicodeEncodeError:
        return False
    return True
