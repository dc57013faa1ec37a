"""Candidates for bash completion, worked out from the command's own table.

The completion function (completion/zorna-admin-events.bash) runs

    zorna-admin-events __complete INDEX WORD...

with the words of the command line after the command name and the index of
the word under the cursor among them, counted from 1 as bash counts it.  One
candidate is printed per line; bash keeps those that start with the word
under the cursor.  Where a file or a directory is expected, the only line is
FILES or DIRS and bash completes names from the file system itself.

This runs on every Tab, so it reads the subcommands and their options from
commands.py, as the parser is made from, but neither builds the parser nor
imports argparse or the extension module.  Event and group IDs come from the
event service's catalogue, under the tree that --root names when one is
given, the same way the command reaches it.  Completion must never disturb
the shell, so any failure prints nothing, but for a catalogue that cannot
be read: then the only line is WHY and one line saying why, which bash shows
on a second Tab.

Completion never evaluates what it offers: a tree's catalogue is untrusted
input.  The candidates are filtered here, by the word under the cursor, and
bash takes the lines as they are (no compgen -W, which would expand $(...)
in them); an ID that is not plain (ASCII letters, digits, ".", "_", "-") is
never offered.
"""

import os
import sys

from .commands import (
    ANY, COMMANDS_BY_NAME, DIRS, FILES, MAIN_OPTIONS, OPTION, POSITIONAL, REQUIRED, ROOT, options_of,
)
from .names import ROOT_ENV

__all__ = ["complete", "candidates", "FILES", "DIRS", "WHY"]

# First word of the line that says why no ID can be offered.
WHY = "\aWHY"
PLAIN = frozenset("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-")

HELP = ("-h", "--help")
EVENT_OPTIONS = ("-e", "--event")
GROUP_OPTIONS = ("-g", "--group")


def complete(args):
    try:
        index = int(args[0]) - 1
        words = list(args[1:])
        current = words[index] if index < len(words) else ""
        typed = _rejoined(words[:index], current)[1]
        try:
            found = candidates(words[:index], current)
        except Unavailable as exc:
            print(WHY, exc.reason)
            return 0
        for candidate in found:
            if candidate in (FILES, DIRS) or candidate.startswith(typed):
                print(candidate)
    except Exception:
        pass
    return 0


class Unavailable(Exception):
    """The catalogue cannot be read; ``reason`` says why, in one plain line."""

    def __init__(self, reason):
        super().__init__(reason)
        self.reason = reason


def candidates(before, current):
    """What may stand for the word ``current``, after the words ``before``."""
    before, current = _rejoined(before, current)
    command, expected, positionals, root = _state(before)
    if expected is not None:
        return _option_values(expected, root)
    if current.startswith("-"):
        return option_strings(command)
    if command is None:
        return list(COMMANDS_BY_NAME)
    values = _positional_values(command, positionals, root)
    return option_strings(command) if values is None else values


def option_strings(command):
    """Every option of the command (None: before the subcommand), as --help lists them."""
    if command is None:
        return list(HELP + ("--version",) + tuple(name for option in MAIN_OPTIONS for name in option.names))
    names = list(HELP) + [name for option in options_of(command) for name in option.names]
    if command.events in (OPTION, REQUIRED, ANY):
        names += EVENT_OPTIONS
    if command.groups in (OPTION, ANY):
        names += GROUP_OPTIONS
    return names


def _rejoined(before, current):
    """bash splits "--root=DIR" into "--root" "=" "DIR"; put the completed
    ones together again, and make an option whose value is being typed after
    "=" the last word before it."""
    words = []
    for word in before + [current]:
        if word == "=" and words and words[-1].startswith("--") and "=" not in words[-1]:
            words[-1] += word
        elif words and words[-1].startswith("--") and words[-1].endswith("=") and words[-1].count("=") == 1:
            words[-1] += word
        else:
            words.append(word)
    current = words.pop()
    if current.startswith("--") and "=" in current:
        option, current = current.split("=", 1)
        words.append(option)
    return words, current


def _takes_value(name):
    return name in ROOT.names or name in EVENT_OPTIONS or name in GROUP_OPTIONS


def _state(words):
    """The subcommand after ``words`` (or None), the option waiting for its
    value (or None), how many positional values it has taken and the last
    --root named."""
    command, expected, positionals, root = None, None, 0, None
    for word in words:
        if expected is not None:
            if expected in ROOT.names:
                root = word
            expected = None
        elif word.startswith("-"):
            name, has_value, value = word.partition("=")
            if has_value and name in ROOT.names:
                root = value
            elif not has_value and _takes_value(name):
                expected = name
        elif command is None and word in COMMANDS_BY_NAME:
            command = COMMANDS_BY_NAME[word]
        else:
            positionals += 1
    return command, expected, positionals, root


def _option_values(option, root):
    if option in ROOT.names:
        return [ROOT.complete]
    return _catalogue("events" if option in EVENT_OPTIONS else "groups", root)


def _positional_values(command, taken, root):
    """Candidates for the next positional value of ``command``; None when it takes no more."""
    if taken < len(command.values):
        value = command.values[taken]
        if value.dest == "file":
            return [FILES]
        return list(value.choices or ())
    if command.events == POSITIONAL:
        return _catalogue("events", root)
    if command.groups == POSITIONAL:
        return _catalogue("groups", root)
    return None


def _catalogue(kind, root):
    """The plain IDs of the catalogue; Unavailable when it cannot be read."""
    try:
        if root:
            os.environ[ROOT_ENV] = os.path.realpath(root)
        import zorna_events

        ids = zorna_events.get_event_ids() if kind == "events" else zorna_events.get_group_ids()
    except Exception as exc:
        raise Unavailable(_why(exc, root)) from None
    return [i for i in ids if isinstance(i, str) and i and set(i) <= PLAIN]


def _why(exc, root):
    from .escape import escaped
    from .names import PROG
    from .texts import _, use_catalogue

    try:  # the word as typed: resolved as the command resolves it (tree.open_named)
        use_catalogue(os.path.realpath(root) if root else "/")
    except OSError:  # a tree that cannot be opened: the system's catalogue says why
        use_catalogue("/")
    if isinstance(exc, OSError) and exc.filename is not None:
        reason = f"{exc.filename}: {exc.strerror}"
    else:
        reason = str(exc) or type(exc).__name__
    text = _("{prog}: no event or group IDs to offer: {reason}").format(prog=PROG, reason=reason)
    return escaped(text, field=True)


if __name__ == "__main__":
    sys.exit(complete(sys.argv[1:]))
