"""Candidates for bash completion, worked out from the command's own parser.

The completion function (completion/zorna-admin-events.bash) runs

    zorna-admin-events __complete INDEX WORD...

with the words of the command line after the command name and the index of
the word under the cursor among them, counted from 1 as bash counts it.  One
candidate is printed per line; bash keeps those that start with the word
under the cursor.  Where a file or a directory is expected, the only line is
FILES or DIRS and bash completes names from the file system itself.

Event and group IDs come from the event service's catalogue, under the tree
that --root names when one is given, the same way the command reaches it.
Completion must never disturb the shell, so any failure prints nothing.
"""

import argparse
import os
import sys
from pathlib import Path
from typing import List, Optional, Sequence

from zorna_admin_events import cli

FILES = "\aFILES"
DIRS = "\aDIRS"


def complete(args: Sequence[str]) -> int:
    try:
        index = int(args[0]) - 1
        words = list(args[1:])
        current = words[index] if index < len(words) else ""
        for candidate in candidates(words[:index], current):
            print(candidate)
    except Exception:
        pass
    return cli.EXIT_OK


def candidates(before: List[str], current: str) -> List[str]:
    """What may stand for the word ``current``, after the words ``before``."""
    before, current = _rejoined(before, current)
    parser = cli.build_parser()
    active, expected, positionals = _state(parser, before)
    if expected is not None:
        return _values(expected, before)
    if active is parser and not current.startswith("-"):
        return list(_subparsers(parser))
    action = None if current.startswith("-") else _positional(active, positionals)
    if action is None:
        return [option for action in active._actions if action.help != argparse.SUPPRESS
                for option in action.option_strings]
    return _values(action, before)


def _rejoined(before: List[str], current: str):
    """bash splits "--root=DIR" into "--root" "=" "DIR"; put the completed
    ones together again, and make an option whose value is being typed after
    "=" the last word before it."""
    words: List[str] = []
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


def _subparsers(parser: argparse.ArgumentParser):
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            return action.choices
    return {}


def _state(parser: argparse.ArgumentParser, words: List[str]):
    """The parser in charge after ``words``, the option waiting for its
    value (or None) and how many positional values the parser has taken."""
    active, expected, positionals = parser, None, 0
    for word in words:
        if expected is not None:
            expected = None
        elif word.startswith("-"):
            action = active._option_string_actions.get(word.split("=", 1)[0])
            if action is not None and action.nargs != 0 and "=" not in word:
                expected = action
        elif active is parser and word in _subparsers(parser):
            active = _subparsers(parser)[word]
        else:
            positionals += 1
    return active, expected, positionals


def _positional(parser: argparse.ArgumentParser, taken: int) -> Optional[argparse.Action]:
    """The positional argument that the next value on the command line fills."""
    for action in parser._actions:
        if action.option_strings:
            continue
        if action.nargs in ("*", "+"):
            return action
        if taken == 0:
            return action
        taken -= 1
    return None


def _values(action: argparse.Action, before: List[str]) -> List[str]:
    if action.type is cli.root_dir:
        return [DIRS]
    if action.dest == cli.FILE_VALUE.dest:
        return [FILES]
    if action.dest in ("events", "groups"):
        return _catalogue(action.dest, cli.root_named(before))
    return []


def _catalogue(kind: str, root: Optional[str]) -> List[str]:
    if root:
        os.environ[cli.ROOT_ENV] = str(Path(root).resolve())
    import zorna_events

    ids = zorna_events.get_event_ids() if kind == "events" else zorna_events.get_group_ids()
    return [str(i) for i in ids]


if __name__ == "__main__":
    sys.exit(complete(sys.argv[1:]))
