"""The command's translated texts, its own and argparse's alike.

The catalogue is the system's (or the one under --root); without one, the
copy the package carries.  Every text the command prints, the extension
module's and argparse's included, is looked up through ``_`` and
``ngettext`` here, so that two rules hold for all of them:

- a language named with a path separator (``LANGUAGE=/some/dir``, kept by
  sudo) is ignored, so no catalogue is ever loaded from outside the tree;
- a translation whose placeholders differ from its original's is not used:
  the original is printed instead of a traceback.

Until ``use_catalogue`` runs, texts are returned untranslated and gettext
is not even imported, so completion pays nothing for this module.
"""

import os

from .names import LOCALE_DIR, TEXT_DOMAIN

# The variables gettext reads, in its order.
LANGUAGE_VARIABLES = ("LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG")

# printf-style (argparse's "%(prog)s", "%s") and str.format-style ("{prog}") placeholders.
PLACEHOLDER = r"%(?:\([^)]*\))?[-#0 +]*\d*(?:\.\d+)?[a-zA-Z%]|\{[^{}]*\}"

_translations = None


def N_(text):
    """Marks a text for translation where it is defined; ``_`` translates it where it is used."""
    return text


def _(text):
    return text if _translations is None else _translations.gettext(text)


def ngettext(singular, plural, n):
    if _translations is None:
        return singular if n == 1 else plural
    return _translations.ngettext(singular, plural, n)


def placeholders(text):
    import re  # here: completion, which imports this module on every Tab, has no use for it

    return sorted(re.findall(PLACEHOLDER, text))


def clean_language_environment(environ=os.environ):
    """Drop every language entry that holds a path separator.

    gettext joins these entries to the catalogue directory, so such an entry
    would name a catalogue anywhere on the system.
    """
    for name in LANGUAGE_VARIABLES:
        value = environ.get(name)
        if value is None:
            continue
        if name == "LANGUAGE":  # a list: keep the harmless entries
            kept = ":".join(entry for entry in value.split(":") if "/" not in entry)
        else:
            kept = "" if "/" in value else value
        if kept:
            environ[name] = kept
        else:
            del environ[name]


def package_locale_dir():
    """The catalogues the package carries (built into the wheel)."""
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), "locale")


def use_catalogue(root=None):
    """Load the catalogue for the process's language, and route argparse's
    texts here.  The first found of: the one under ``root`` (an opened tree,
    a directory, or None for the system), the system's (a tree under --root
    may hold none; the Debian package installs it there), the package's own
    (which a wheel carries).

    A catalogue under a root is read as every file of a tree is (tree.py):
    only a regular file, at most 64 MiB, never through a symlink below a
    tree."""
    global _translations
    import argparse
    import gettext
    import io
    from pathlib import Path

    from . import tree

    class CheckedTranslations(gettext.GNUTranslations):
        """A catalogue whose translations keep their originals' placeholders."""

        def gettext(self, message):
            translated = super().gettext(message)
            return translated if placeholders(translated) == placeholders(message) else message

        def ngettext(self, singular, plural, n):
            translated = super().ngettext(singular, plural, n)
            original = singular if n == 1 else plural
            return translated if placeholders(translated) == placeholders(original) else original

    clean_language_environment()
    if not isinstance(root, tree.Root):
        root = tree.open_root(None if root in (None, "/") else Path(root))
    system = tree.open_root(None)
    for where in [root] + ([system] if root is not system else []):
        found = gettext.find(TEXT_DOMAIN, where.proc + "/" + LOCALE_DIR, all=True)
        if found:
            break
    try:
        if found:
            _translations = None
            for path in found:
                data = where.read(path[len(where.proc) + 1:])
                translations = CheckedTranslations(io.BytesIO(data))
                if _translations is None:
                    _translations = translations
                else:
                    _translations.add_fallback(translations)
        else:
            _translations = gettext.translation(
                TEXT_DOMAIN, package_locale_dir(), class_=CheckedTranslations, fallback=True)
    except Exception:
        # a broken catalogue: no translation rather than no command (a tree's
        # may be cut short, struct.error, or name an unknown charset, LookupError)
        _translations = gettext.NullTranslations()
    # argparse looks these two up in its own namespace at each use (the
    # extension module its `_` in its own, which the command sets too).
    argparse._ = _
    argparse.ngettext = ngettext
