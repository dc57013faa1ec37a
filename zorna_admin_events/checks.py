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
from .tree import MAX_SIZE, BrokenFile, CommandError, TreePath, open_root, read_at, read_opened  # noqa: F401 (shared)


def read_regular(path, limit=MAX_SIZE):
    """The bytes of the regular file ``path``, at most ``limit`` of them.

    Anything else (a FIFO, a device, a directory) is refused before it is
    opened for reading (so no device is opened, and no FIFO waited for).  A path of the
    tree the class reads goes through the tree's descriptor.
    """
    if isinstance(path, TreePath):
        tree, relative = located(path)
        return tree.read(relative, limit)
    return read_at(None, str(path), path, limit, follow=True)[0]


def located(path):
    """The opened tree of one of the class's paths, and the path relative to it."""
    if isinstance(path, TreePath):
        return path._zae_tree, path._zae_relative()
    return open_root(None), os.path.abspath(str(path)).lstrip("/")


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


def read_json(tree, relative, syntax_errors=True):
    return parse_json(tree.shown(relative), tree.read(relative), syntax_errors)


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
    tree, current = located(getattr(cls, CURRENT_CONFIG_FILE))
    if tree.lstat(current) is not None:
        check_object(tree.shown(current), read_json(tree, current), entries_too=True)


# What class_file_problems names: a defaults file (its key: the event ID),
# the current configuration and the section translations.
DEFAULTS, CURRENT, TRANSLATIONS = "defaults", "current", "translations"


def class_file_problems(cls, translations_shape=False):
    """(kind, key, error) for each file the class reads that it could not
    read, in the order the class would meet them; the error (BrokenFile,
    CommandError or OSError) names the file.  Files are reached as tree.py
    reaches them: under --root, through the tree's descriptor and never
    through a symlink.

    With ``translations_shape``, translations that are JSON but not the
    object of objects the class can look sections up in are a problem too
    (the class stops at them); otherwise only what would stop or hang it."""
    problems = []

    def check(kind, key, test):
        try:
            test()
        except (BrokenFile, CommandError, OSError) as exc:
            problems.append((kind, key, exc))

    tree, defaults = located(getattr(cls, DEFAULT_CONFIG_DIR))
    for group in _entries(tree, defaults):
        group = defaults + "/" + group
        if _is_dir(tree.lstat(group)):
            for name in _entries(tree, group):
                event = group + "/" + name
                if not _is_dir(tree.lstat(event)):
                    check(DEFAULTS, name,
                          lambda event=event: check_object(tree.shown(event), read_json(tree, event)))
    check(CURRENT, None, lambda: check_current_file(cls))
    tree, translations = located(getattr(cls, TRANSLATIONS_FILE))

    def check_translations():
        # The module ignores translations that are not JSON; anything else
        # would stop it, or hang it.
        document = read_json(tree, translations, syntax_errors=False)
        if translations_shape and document is not None:
            check_object(tree.shown(translations), document, entries_too=True)

    if tree.lstat(translations) is not None:
        check(TRANSLATIONS, None, check_translations)
    return problems


def _is_dir(st):
    return st is not None and stat.S_ISDIR(st.st_mode)


def _entries(tree, directory):
    try:
        return sorted(tree.listdir(directory))
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
