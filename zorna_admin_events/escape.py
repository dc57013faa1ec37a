"""Names and IDs read from a tree, shown without control characters.

A tree's catalogue or defaults may hold any character in a name or an ID,
ESC included; sent raw, such a name could set the terminal's title, clear
its screen or redefine its keys.  Every C0 control character, DEL and every
C1 control character is shown as ``\\xNN`` instead, but the tabs and newlines
that lay out a whole text (a single field loses those too).  Only what is
shown changes: stored data is never touched.
"""

import re

# C0 but the tab and the newline, DEL, C1.
_CONTROL = re.compile("[\x00-\x08\x0b-\x1f\x7f-\x9f]")
_CONTROL_ALL = re.compile("[\x00-\x1f\x7f-\x9f]")


def _hex(match):
    return "\\x%02x" % ord(match.group())


def escaped(text, field=False):
    """``text`` with its control characters escaped; as a ``field``, which
    must stay in its place, the tab and the newline too."""
    return (_CONTROL_ALL if field else _CONTROL).sub(_hex, text)
