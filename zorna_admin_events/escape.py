"""Names and IDs read from a tree, shown without control characters.

A tree's catalogue or defaults may hold any character in a name or an ID,
ESC included; sent raw, such a name could set the terminal's title, clear
its screen or redefine its keys.  Every C0 control character (but the line
breaks that the command's own text is made of), DEL and every C1 control
character is shown as ``\\xNN`` instead.  Only what is shown changes: stored
data is never touched.
"""

import re

# C0 but the newline, DEL, C1.
_CONTROL = re.compile("[\x00-\x09\x0b-\x1f\x7f-\x9f]")
_CONTROL_ALL = re.compile("[\x00-\x1f\x7f-\x9f]")


def _hex(match):
    return "\\x%02x" % ord(match.group())


def escaped(text, newline=False):
    """``text`` with its control characters escaped; with ``newline``, the
    newline too (one field, which must stay on its line)."""
    return (_CONTROL_ALL if newline else _CONTROL).sub(_hex, text)
