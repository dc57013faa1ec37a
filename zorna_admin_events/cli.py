"""The administration command ``zorna-admin-events``.

One run builds one ``ZornaAdminEvents`` object from the event and group IDs
the administrator named and calls one public method on it.  Commands that
change the configuration end by restarting the logging daemons, unless told
not to.

Every subcommand is a row of ``COMMANDS``: the row says which method it calls,
which selection the object is built with and which command-line values go to
the method, so adding a subcommand means adding a row, not another branch.

The extension module is imported only once the command line has been parsed,
so ``--help`` and usage errors never load it (nor the event service it
imports) and never touch the system.
"""

from __future__ import annotations

import argparse
import os
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Optional, Sequence, TextIO, Tuple, Union

PROG = "zorna-admin-events"
MODULE = "zorna_admin_events.admin_events"
CLASS = "ZornaAdminEvents"
TEXT_DOMAIN = "zorna_admin_events"

EXIT_OK = 0
EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130

# The service stand-in keeps its files under the directory this variable names.
ROOT_ENV = "ZORNA_EVENTS_ROOT"

# The class attributes that name the files the class reads, and where each
# file lies relative to the root of the system.
ROOTED_PATHS = {
    "_ZornaAdminEvents__default_config_dir": "usr/share/syslog-ng-mod-zorna/event-settings",
    "_ZornaAdminEvents__current_config_file": "etc/zorna-syslog.conf",
    "_ZornaAdminEvents__param_ru_translations_file": "etc/vek-admin-events/eventsdictionary.json",
}
LOCALE_DIR = "usr/share/locale"

# What restart_daemons() runs; named when a restart is skipped under --root.
RESTARTED_UNITS = "syslog-ng.service and auditd"
RESTART_FLAG = "_ZornaAdminEvents__need_daemon_restart"

# The pager the showing methods start.
PAGER = "less"

# How a subcommand takes events and groups.
NONE = "none"              # not at all
OPTION = "option"          # -e/--event, -g/--group, repeatable, optional
REQUIRED = "required"      # -e/--event, repeatable, at least one
POSITIONAL = "positional"  # as the positional arguments (EVENT ... / [GROUP ...])


class CommandError(Exception):
    """A failure the command itself detects; its message says it all."""


def json_value(text: str) -> str:
    """argparse type of a VALUE: JSON text of a string, an array or an object.

    The text itself is what is passed on; it is only decoded here so that a
    value the class would refuse is a usage error that changes nothing.
    """
    import json

    try:
        decoded = json.loads(text)
    except json.JSONDecodeError as exc:
        raise argparse.ArgumentTypeError(
            f"not JSON text ({exc}); quote a path as JSON, e.g. '\"/etc/passwd\"'"
        ) from None
    if not isinstance(decoded, (str, list, dict)):
        raise argparse.ArgumentTypeError(
            f"{text!r} is JSON {type(decoded).__name__}; expected a JSON string, array or object"
        )
    return text


def root_dir(text: str) -> Path:
    """argparse type of --root: an existing directory, made absolute."""
    path = Path(text)
    if not path.is_dir():
        raise argparse.ArgumentTypeError(f"{text!r} is not a directory")
    return path.resolve()


@dataclass(frozen=True)
class Value:
    """A positional command-line value handed to the method, in order."""

    dest: str
    metavar: str
    help: str
    type: Callable[[str], object] = str


@dataclass(frozen=True)
class Command:
    """One subcommand: which method it calls and with what."""

    name: str
    # Public method of the class, or a function choosing it from the namespace.
    method: Union[str, Callable[[argparse.Namespace], str]]
    help: str
    examples: Tuple[str, ...]
    events: str = NONE
    groups: str = NONE
    values: Tuple[Value, ...] = ()
    changes: bool = False   # ends with restart_daemons()
    static: bool = False    # called on the class, no object is built
    shows: bool = False     # output goes through the pager

    def method_name(self, ns: argparse.Namespace) -> str:
        return self.method if isinstance(self.method, str) else self.method(ns)


FILE_VALUE = Value("file", "FILE", "configuration file")

COMMANDS: Tuple[Command, ...] = (
    Command(
        "groups",
        lambda ns: "show_groups" if ns.groups else "show_all_groups",
        "show every event's enabled status, group by group",
        ("groups", "groups file-access authentication"),
        groups=POSITIONAL,
        shows=True,
    ),
    Command(
        "events",
        "show_events",
        "show the full configuration of events",
        ("events file-opened", "events file-opened modifying-file"),
        events=POSITIONAL,
        shows=True,
    ),
    Command(
        "enable",
        "enable",
        "enable events, and every event of groups",
        ("enable -g file-access", "enable -e file-opened -e modifying-file"),
        events=OPTION,
        groups=OPTION,
        changes=True,
    ),
    Command(
        "disable",
        "disable",
        "disable events, and every event of groups",
        ("disable -e file-opened", "disable -g processes --no-restart"),
        events=OPTION,
        groups=OPTION,
        changes=True,
    ),
    Command(
        "set-facility",
        "set_facility",
        "set the syslog facility of events, and of every event of groups",
        ("set-facility auth -e file-opened", "set-facility local3 -g authentication"),
        events=OPTION,
        groups=OPTION,
        values=(Value("facility", "FACILITY", "syslog facility, e.g. auth or local3"),),
        changes=True,
    ),
    Command(
        "set-priority",
        "set_priority",
        "set the syslog priority of events, and of every event of groups",
        ("set-priority warning -e file-opened", "set-priority info -g processes"),
        events=OPTION,
        groups=OPTION,
        values=(Value("priority", "PRIORITY", "syslog priority, e.g. info or warning"),),
        changes=True,
    ),
    Command(
        "set-properties",
        "set_properties",
        "set a parameter of events to a JSON value (paths of file events become audit rules)",
        (
            "set-properties watch paths '[\"/etc/shadow\", \"/etc/my file\"]' -e file-opened",
            "set-properties watch paths '\"/etc/passwd\"' -e modifying-file",
            "set-properties filter exclude-programs '[\"/usr/bin/apt-check\"]' -e sudo-command",
        ),
        events=REQUIRED,
        values=(
            Value("section", "SECTION", "first-level key (\"\" for a first-level parameter)"),
            Value("parameter", "PARAMETER", "second-level key"),
            Value(
                "value",
                "VALUE",
                "JSON text: a string (quoted), an array or an object",
                json_value,
            ),
        ),
        changes=True,
    ),
    Command(
        "export",
        "export_config",
        "save the whole event configuration to a file",
        ("export /root/events.conf",),
        values=(FILE_VALUE,),
        static=True,
    ),
    Command(
        "import",
        "import_config",
        "load the whole event configuration from a file",
        ("import /root/events.conf", "import /root/events.conf --no-restart"),
        values=(FILE_VALUE,),
        changes=True,
    ),
)

COMMANDS_BY_NAME = {command.name: command for command in COMMANDS}


def _examples(lines: Sequence[str]) -> str:
    return "examples:\n" + "\n".join(f"  {PROG} {line}" for line in lines)


def _common_options(parser: argparse.ArgumentParser, default) -> None:
    """Options accepted both before and after the subcommand name.

    The subcommand parsers use SUPPRESS as default so that an option given
    before the subcommand is not reset by the subcommand's own parsing.
    """
    parser.add_argument(
        "--root",
        metavar="DIR",
        type=root_dir,
        default=default,
        help="work on the system tree under DIR instead of /; the daemons are not restarted",
    )
    parser.add_argument(
        "--debug",
        action="store_true",
        default=default if default is argparse.SUPPRESS else False,
        help="show the traceback when the operation fails",
    )


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description=(
            "Decide which security events are logged and how: enabled state, "
            "syslog facility and priority, event parameters and audit rules."
        ),
        epilog=_examples(
            [
                "groups",
                "enable -g file-access",
                "events file-opened",
                "--root /tmp/tree groups",
            ]
        )
        + (
            "\n\nexit status: 0 on success, 1 when the operation failed or an ID "
            "was unknown, 2 on a usage error.\n"
            f"Run '{PROG} COMMAND --help' for the options of one command."
        ),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    _common_options(parser, None)

    common = argparse.ArgumentParser(add_help=False)
    _common_options(common, argparse.SUPPRESS)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for command in COMMANDS:
        _add_command(sub, command, common)
    return parser


def _add_command(sub, command: Command, common: argparse.ArgumentParser) -> None:
    epilog = _examples(command.examples)
    if command.changes:
        epilog += "\n\nThe daemons syslog-ng and auditd are restarted afterwards if anything changed."
    p = sub.add_parser(
        command.name,
        help=command.help,
        description=command.help[0].upper() + command.help[1:] + ".",
        epilog=epilog,
        parents=[common],
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.set_defaults(command=command.name, events=None, groups=None)
    for value in command.values:
        p.add_argument(value.dest, metavar=value.metavar, type=value.type, help=value.help)

    if command.events == POSITIONAL:
        p.add_argument("events", metavar="EVENT", nargs="+", help="event ID")
    elif command.events in (OPTION, REQUIRED):
        p.add_argument(
            "-e",
            "--event",
            dest="events",
            metavar="EVENT",
            action="append",
            required=command.events == REQUIRED,
            help="event ID (repeatable)",
        )
    if command.groups == POSITIONAL:
        p.add_argument(
            "groups", metavar="GROUP", nargs="*", help="group ID (none given: every group)"
        )
    elif command.groups == OPTION:
        p.add_argument(
            "-g", "--group", dest="groups", metavar="GROUP", action="append",
            help="group ID (repeatable)",
        )
    if command.changes:
        p.add_argument(
            "--no-restart",
            action="store_true",
            help="do not restart syslog-ng and auditd afterwards",
        )
    p.set_defaults(_parser=p)


def _version() -> str:
    try:
        try:
            from importlib.metadata import version
        except ImportError:  # Python 3.7: the backport the package requires there
            from importlib_metadata import version  # type: ignore[no-redef]

        return version("zorna-admin-events")
    except Exception:  # not installed as a distribution (source tree)
        return "unknown"


def parse_args(argv: Optional[Sequence[str]] = None) -> argparse.Namespace:
    """Parse the command line; every usage error exits with status 2 here."""
    ns = build_parser().parse_args(argv)
    command = COMMANDS_BY_NAME[ns.command]
    if command.events == OPTION and command.groups == OPTION and not (ns.events or ns.groups):
        ns._parser.error("name at least one event (-e EVENT) or group (-g GROUP)")
    return ns


def load_class(root: Optional[Path]):
    """Import the extension module and return its class, set up for ``root``.

    Under a root the service stand-in must see the variable before its first
    use, and the class's file paths and the message catalogue are moved below
    the root after the import has bound them to the real system.
    """
    import importlib

    if root is not None:
        os.environ[ROOT_ENV] = str(root)
    module = importlib.import_module(MODULE)
    cls = getattr(module, CLASS)
    if root is not None:
        for attr, relative in ROOTED_PATHS.items():
            setattr(cls, attr, root / relative)
        import gettext

        gettext.bindtextdomain(TEXT_DOMAIN, str(root / LOCALE_DIR))
    return cls


def execute(command: Command, ns: argparse.Namespace, cls, stderr: TextIO) -> int:
    """Build the object, call the command's method and restart if asked.

    Returns the exit status; exceptions from the class propagate.
    """
    method = command.method_name(ns)
    args = [getattr(ns, value.dest) for value in command.values]
    if command.static:
        getattr(cls, method)(*args)
        return EXIT_OK

    # The class drops unknown IDs from these very lists (after printing a
    # notice), so the lengths before and after tell whether any was unknown.
    events = list(ns.events) if ns.events else None
    groups = list(ns.groups) if ns.groups else None
    named = len(events or ()) + len(groups or ())
    obj = cls(events, groups)
    known = len(events or ()) + len(groups or ())
    # Keep the class's notices ahead of what the pager or the restart
    # commands write straight to the terminal.
    sys.stdout.flush()

    if named and not known:
        # Nothing left to act on: no empty pager, no needless restart.
        return EXIT_FAILURE
    getattr(obj, method)(*args)

    if command.changes and not ns.no_restart:
        sys.stdout.flush()
        if ns.root is None:
            obj.restart_daemons()
        elif getattr(obj, RESTART_FLAG, True):
            print(
                f"{PROG}: --root {ns.root}: not restarting {RESTARTED_UNITS}",
                file=stderr,
            )
    return EXIT_FAILURE if known < named else EXIT_OK


def describe(exc: BaseException) -> str:
    """One line naming what went wrong."""
    text = " ".join(str(exc).split("\n")).strip()
    if isinstance(exc, (OSError, CommandError)) and text:
        return text
    name = type(exc).__name__
    return f"{name}: {text}" if text else name


def main(argv: Optional[Sequence[str]] = None) -> int:
    ns = parse_args(argv)
    command = COMMANDS_BY_NAME[ns.command]
    stderr = sys.stderr
    try:
        if command.shows:
            import shutil

            if shutil.which(PAGER) is None:
                raise CommandError(f"the pager {PAGER!r} is not installed")
        cls = load_class(ns.root)
        return execute(command, ns, cls, stderr)
    except KeyboardInterrupt:
        print(file=stderr)
        return EXIT_INTERRUPTED
    except Exception as exc:
        if ns.debug:
            import traceback

            traceback.print_exc(file=stderr)
        try:
            sys.stdout.flush()
        except Exception:
            pass
        print(f"{PROG}: error: {describe(exc)}", file=stderr)
        return EXIT_FAILURE


if __name__ == "__main__":
    sys.exit(main())
