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

Texts for the administrator pass through gettext in the module's own domain,
which ``main`` makes the default one before the parser is built, as the
extension module does when imported, so argparse's texts are looked up there
too.  Texts kept in tables are marked with ``N_`` and translated where used.
"""

from __future__ import annotations

import argparse
import gettext
import os
import sys
from dataclasses import dataclass
from gettext import gettext as _
from pathlib import Path
from typing import Callable, Optional, Sequence, TextIO, Tuple, Union

from .transaction import (
    CommandError,
    GuardedOutput,
    Interrupted,
    Transaction,
    ending_signals,
    held_output,
    put_back_left_copy,
    restart_daemons,
    run_lock,
)


def N_(text: str) -> str:
    """Marks a text for translation where it is defined; ``_`` translates it where it is used."""
    return text


PROG = "zorna-admin-events"
MODULE = "zorna_admin_events.admin_events"
CLASS = "ZornaAdminEvents"
TEXT_DOMAIN = "zorna_admin_events"

EXIT_OK = 0
EXIT_FAILURE = 1
EXIT_USAGE = 2
# The configuration was changed, but a daemon failed to restart.
EXIT_RESTART_FAILED = 3
EXIT_INTERRUPTED = 130
# Standard output was a pipe that its reader closed (128 + SIGPIPE).
EXIT_CLOSED_PIPE = 141

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
RESTARTED_UNITS = N_("syslog-ng.service and auditd")
RESTART_FLAG = "_ZornaAdminEvents__need_daemon_restart"

# First argument of the hidden entry point behind bash completion (see completion.py).
COMPLETE = "__complete"

# The pager the showing methods start.
PAGER = "less"

# The names syslog-ng knows.
FACILITIES = (
    "kern", "user", "mail", "daemon", "auth", "syslog", "lpr", "news", "uucp", "cron", "authpriv", "ftp",
    "local0", "local1", "local2", "local3", "local4", "local5", "local6", "local7",
)
PRIORITIES = ("emerg", "alert", "crit", "err", "warning", "notice", "info", "debug")

SPECIAL_EVENTS = "_ZornaAdminEvents__special_events"

# How a subcommand takes events and groups.
NONE = "none"              # not at all
OPTION = "option"          # -e/--event, -g/--group, repeatable, optional
REQUIRED = "required"      # -e/--event, repeatable, at least one
ANY = "any"                # as OPTION; none named means every one
POSITIONAL = "positional"  # as the positional arguments (EVENT ... / [GROUP ...])


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
            _("not JSON text ({reason}); quote a path as JSON, e.g. '\"/etc/passwd\"'").format(reason=exc)
        ) from None
    if not isinstance(decoded, (str, list, dict)):
        raise argparse.ArgumentTypeError(
            _("{text!r} is JSON {type}; expected a JSON string, array or object").format(
                text=text, type=type(decoded).__name__
            )
        )
    return text


def root_dir(text: str) -> Path:
    """argparse type of --root: an existing directory, made absolute."""
    path = Path(text)
    if not path.is_dir():
        raise argparse.ArgumentTypeError(_("{text!r} is not a directory").format(text=text))
    return path.resolve()


@dataclass(frozen=True)
class Value:
    """A positional command-line value handed to the method, in order."""

    dest: str
    metavar: str
    help: str
    type: Callable[[str], object] = str
    choices: Optional[Tuple[str, ...]] = None


@dataclass(frozen=True)
class Flag:
    """An on/off option of a subcommand, e.g. --json."""

    name: str
    help: str


@dataclass(frozen=True)
class Command:
    """One subcommand: which method it calls and with what."""

    name: str
    # Public method of the class, or a function choosing it from the namespace;
    # None when `action` does the work.
    method: Union[None, str, Callable[[argparse.Namespace], str]]
    help: str
    examples: Tuple[str, ...]
    events: str = NONE
    groups: str = NONE
    values: Tuple[Value, ...] = ()
    changes: bool = False   # ends with restart_daemons()
    # The method may refuse its VALUE: it prints why, stores nothing and
    # leaves the restart flag unset.
    may_refuse: bool = False
    static: bool = False    # called on the class, no object is built
    shows: bool = False     # output goes through the pager
    flags: Tuple[Flag, ...] = ()
    # Does the work instead of a method: action(cls, ns, stderr) -> exit status.
    action: Optional[Callable[..., int]] = None

    def method_name(self, ns: argparse.Namespace) -> str:
        return self.method if isinstance(self.method, str) else self.method(ns)


FILE_VALUE = Value("file", "FILE", N_("configuration file"))


def show_status(cls, ns: argparse.Namespace, stderr: TextIO) -> int:
    """`status`: read every selected event's state and print it; change nothing."""
    from . import status

    reading = status.read_status(cls, ns.events, ns.groups)
    for notice in reading.notices:
        print(notice, file=stderr if ns.json else sys.stdout)
    if ns.json:
        sys.stdout.write(status.json_text(reading))
    else:
        status.page(status.table_text(reading))
    return EXIT_FAILURE if reading.notices else EXIT_OK


COMMANDS: Tuple[Command, ...] = (
    Command(
        "groups",
        lambda ns: "show_groups" if ns.groups else "show_all_groups",
        N_("show every event's enabled status, group by group"),
        ("groups", "groups file-access authentication"),
        groups=POSITIONAL,
        shows=True,
    ),
    Command(
        "events",
        "show_events",
        N_("show the full configuration of events"),
        ("events file-opened", "events file-opened modifying-file"),
        events=POSITIONAL,
        shows=True,
    ),
    Command(
        "enable",
        "enable",
        N_("enable events, and every event of groups"),
        ("enable -g file-access", "enable -e file-opened -e modifying-file"),
        events=OPTION,
        groups=OPTION,
        changes=True,
    ),
    Command(
        "disable",
        "disable",
        N_("disable events, and every event of groups"),
        ("disable -e file-opened", "disable -g processes --no-restart"),
        events=OPTION,
        groups=OPTION,
        changes=True,
    ),
    Command(
        "set-facility",
        "set_facility",
        N_("set the syslog facility of events, and of every event of groups"),
        ("set-facility auth -e file-opened", "set-facility local3 -g authentication"),
        events=OPTION,
        groups=OPTION,
        values=(Value("facility", "FACILITY", N_("syslog facility, e.g. auth or local3"), choices=FACILITIES),),
        changes=True,
    ),
    Command(
        "set-priority",
        "set_priority",
        N_("set the syslog priority of events, and of every event of groups"),
        ("set-priority warning -e file-opened", "set-priority info -g processes"),
        events=OPTION,
        groups=OPTION,
        values=(Value("priority", "PRIORITY", N_("syslog priority, e.g. info or warning"), choices=PRIORITIES),),
        changes=True,
    ),
    Command(
        "set-properties",
        "set_properties",
        N_("set a parameter of events to a JSON value (paths of file events become audit rules)"),
        (
            "set-properties watch paths '[\"/etc/shadow\", \"/etc/my file\"]' -e file-opened",
            "set-properties watch paths '\"/etc/passwd\"' -e modifying-file",
            "set-properties filter exclude-programs '[\"/usr/bin/apt-check\"]' -e sudo-command",
        ),
        events=REQUIRED,
        values=(
            Value("section", "SECTION", N_("first-level key (\"\" for a first-level parameter)")),
            Value("parameter", "PARAMETER", N_("second-level key")),
            Value(
                "value",
                "VALUE",
                N_("JSON text: a string (quoted), an array or an object"),
                json_value,
            ),
        ),
        changes=True,
        may_refuse=True,
    ),
    Command(
        "status",
        None,
        N_("report events' enabled state, syslog facility and priority, watched paths and audit rules"),
        ("status", "status --json -g file-access", "status -e file-opened -e sudo-command"),
        events=ANY,
        groups=ANY,
        flags=(Flag("--json", N_("print one JSON document instead of a table")),),
        action=show_status,
    ),
    Command(
        "export",
        "export_config",
        N_("save the whole event configuration to a file"),
        ("export /root/events.conf",),
        values=(FILE_VALUE,),
        static=True,
    ),
    Command(
        "import",
        "import_config",
        N_("load the whole event configuration from a file"),
        ("import /root/events.conf", "import /root/events.conf --no-restart"),
        values=(FILE_VALUE,),
        changes=True,
    ),
)

COMMANDS_BY_NAME = {command.name: command for command in COMMANDS}


DESCRIPTION = N_(
    "Decide which security events are logged and how: enabled state, "
    "syslog facility and priority, event parameters and audit rules."
)
EXAMPLES = ("groups", "enable -g file-access", "events file-opened", "--root /tmp/tree groups")
EXIT_STATUS = N_(
    "exit status: 0 on success; 1 when the operation failed, a VALUE was "
    "refused or an ID was unknown (nothing is changed then); 2 on a usage "
    "error; 3 when the change was made but a daemon failed to restart; "
    "128 + N when signal N ended the run (its changes are undone); 141 when "
    "the reader of the output went away (the change is made all the same)."
)
RESTART_NOTE = N_("The daemons syslog-ng and auditd are restarted afterwards if anything changed.")


def _examples(lines: Sequence[str]) -> str:
    return _("examples:") + "\n" + "\n".join(f"  {PROG} {line}" for line in lines)


def _no_restart_option(parser: argparse.ArgumentParser, default) -> None:
    parser.add_argument(
        "--no-restart",
        action="store_true",
        default=default,
        help=_("do not restart syslog-ng and auditd afterwards"),
    )


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
        help=_("work on the system tree under DIR instead of /; the daemons are not restarted"),
    )
    parser.add_argument(
        "--debug",
        action="store_true",
        default=default if default is argparse.SUPPRESS else False,
        help=_("show the traceback when the operation fails"),
    )


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description=_(DESCRIPTION),
        epilog=_examples(EXAMPLES)
        + "\n\n"
        + _(EXIT_STATUS)
        + "\n"
        + _("Run '{prog} COMMAND --help' for the options of one command.").format(prog=PROG),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action=_VersionAction)
    _common_options(parser, None)
    _no_restart_option(parser, False)

    common = argparse.ArgumentParser(add_help=False)
    _common_options(common, argparse.SUPPRESS)
    changing = argparse.ArgumentParser(add_help=False, parents=[common])
    _no_restart_option(changing, argparse.SUPPRESS)
    changing.add_argument(
        "--dry-run",
        action="store_true",
        help=_("show each event's settings before and after the change, and change nothing"),
    )
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for command in COMMANDS:
        _add_command(sub, command, changing if command.changes else common)
    return parser


def _add_command(sub, command: Command, common: argparse.ArgumentParser) -> None:
    epilog = _examples(command.examples)
    if command.changes:
        epilog += "\n\n" + _(RESTART_NOTE)
    summary = _(command.help)
    p = sub.add_parser(
        command.name,
        help=summary,
        description=summary[0].upper() + summary[1:] + ".",
        epilog=epilog,
        parents=[common],
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.set_defaults(command=command.name, events=None, groups=None)
    for value in command.values:
        p.add_argument(value.dest, metavar=value.metavar, type=value.type, choices=value.choices, help=_(value.help))

    if command.events == POSITIONAL:
        p.add_argument("events", metavar="EVENT", nargs="+", help=_("event ID"))
    elif command.events in (OPTION, REQUIRED, ANY):
        p.add_argument(
            "-e",
            "--event",
            dest="events",
            metavar="EVENT",
            action="append",
            required=command.events == REQUIRED,
            help=_("event ID (repeatable)"),
        )
    if command.groups == POSITIONAL:
        p.add_argument(
            "groups", metavar="GROUP", nargs="*", help=_("group ID (none given: every group)")
        )
    elif command.groups in (OPTION, ANY):
        p.add_argument(
            "-g", "--group", dest="groups", metavar="GROUP", action="append",
            help=_("group ID (repeatable)"),
        )
    for flag in command.flags:
        p.add_argument(flag.name, action="store_true", help=_(flag.help))
    p.set_defaults(_parser=p)


class _VersionAction(argparse._VersionAction):
    """--version, with the installed version looked up only when asked for:
    the look-up reads every distribution's metadata, a cost that neither an
    operation nor a completion on each Tab should pay."""

    def __call__(self, parser, namespace, values, option_string=None):
        self.version = f"%(prog)s {_version()}"
        super().__call__(parser, namespace, values, option_string)


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
        ns._parser.error(_("name at least one event (-e EVENT) or group (-g GROUP)"))
    if ns.no_restart and not command.changes:
        ns._parser.error(
            _("--no-restart: {command} changes nothing, so it restarts nothing").format(command=command.name)
        )
    return ns


def root_named(argv: Sequence[str]) -> Optional[str]:
    """The value of the last --root in an unparsed command line, unchecked."""
    root = None
    for i, arg in enumerate(argv):
        if arg == "--":
            break
        if arg == "--root" and i + 1 < len(argv):
            root = argv[i + 1]
        elif arg.startswith("--root="):
            root = arg[len("--root="):]
    return root


def use_catalogue(argv: Sequence[str]) -> None:
    """Make the module's text domain the default one, with the catalogue of
    the system, or of the tree that --root names.

    This happens before parsing, so that help and usage errors are
    translated too; hence the plain scan for --root, whose value argparse
    checks afterwards.
    """
    root = root_named(argv) or "/"
    gettext.bindtextdomain(TEXT_DOMAIN, str(Path(root) / LOCALE_DIR))
    gettext.textdomain(TEXT_DOMAIN)


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
        gettext.bindtextdomain(TEXT_DOMAIN, str(root / LOCALE_DIR))
    return cls


def execute(command: Command, ns: argparse.Namespace, cls, stderr: TextIO) -> Tuple[int, object]:
    """Build the object and call the command's method (or show what it
    would change).  Returns the exit status and the object, which a change
    restarts the daemons through; exceptions from the class propagate."""
    from . import changes

    if command.action is not None:
        return command.action(cls, ns, stderr), None
    method = command.method_name(ns)
    args = [getattr(ns, value.dest) for value in command.values]
    if command.static:
        getattr(cls, method)(*args)
        return EXIT_OK, None
    if method == "import_config" and check_import(cls, ns.file, stderr) is None:
        return EXIT_FAILURE, None

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

    if named and not known or command.changes and known < named:
        # Nothing left to act on, or a change asked for something unknown:
        # no empty pager, no change made in part.
        if command.changes:
            print(_("{prog}: nothing was changed").format(prog=PROG), file=stderr)
        return EXIT_FAILURE, None
    if method == "set_properties":
        def call(o):
            return changes.set_properties(o, *args)
    else:
        def call(o):
            getattr(o, method)(*args)
            return True
    if getattr(ns, "dry_run", False):
        views, printed = changes.preview(obj, call)
        if command.may_refuse and not getattr(obj, RESTART_FLAG, True) and not views:
            sys.stdout.write(printed)
            return EXIT_FAILURE, None
        print("\n".join(changes.difference_lines(views) or [_("no change")]))
        return EXIT_OK, None
    if not call(obj):
        # Refused: the class has said why on stdout, and nothing changed.
        return EXIT_FAILURE, None
    if method == "set_properties" and changes.is_watch(ns.section, ns.parameter):
        warn_missing_watch_dirs(cls, events or (), ns.value, ns.root, stderr)
    return (EXIT_FAILURE if known < named else EXIT_OK), obj


def check_import(cls, file: str, stderr: TextIO):
    """The document of a file to import, or None when the set commands
    would refuse any of it (each problem said on stderr); says which events
    the file leaves to their defaults."""
    from . import changes

    document, problems = changes.check_import(cls, file)
    for problem in problems:
        print(_("{prog}: error: {message}").format(prog=PROG, message=problem), file=stderr)
    if problems:
        return None
    left_out = changes.left_out(cls, document)
    if left_out:
        print(
            _("{prog}: events not in {file}, which fall back to their defaults: {count} ({events})").format(
                prog=PROG, file=file, count=len(left_out), events=", ".join(left_out)
            ),
            file=stderr,
        )
    return document


def dry_run_import(cls, file: str, stderr: TextIO) -> int:
    """import --dry-run: what the file would change, event by event."""
    from . import changes

    document = check_import(cls, file, stderr)
    if document is None:
        return EXIT_FAILURE
    lines = changes.difference_lines(changes.preview_import(cls, file, document), unchanged=False)
    print("\n".join(lines or [_("no change")]))
    return EXIT_OK


def change(command: Command, ns: argparse.Namespace, stderr: TextIO, run: "Run") -> int:
    """A changing command: the whole change under the run lock, as one
    transaction; then, without the lock, the restart if the configuration
    changed."""
    with held_output(), run_lock(ns.root, stderr):
        cls = load_class(ns.root)
        with Transaction(ns.root, stderr) as run.transaction:
            status, obj = execute(command, ns, cls, stderr)
            if status == EXIT_OK:
                run.transaction.commit()
    if obj is None or not run.transaction.changed or ns.no_restart:
        return status
    sys.stdout.flush()
    if ns.root is not None:
        print(
            _("{prog}: --root {root}: not restarting {units}").format(
                prog=PROG, root=ns.root, units=_(RESTARTED_UNITS)
            ),
            file=stderr,
        )
        return status
    failures = restart_daemons(obj, RESTART_FLAG)
    for failure in failures:
        print(_("{prog}: error: {message}").format(prog=PROG, message=failure), file=stderr)
    return EXIT_RESTART_FAILED if failures else status


def watched_paths(value: str) -> Sequence[str]:
    """The paths a VALUE names, as the class reads them (a string is one path;
    an array gives its elements, an object its member names)."""
    import json

    decoded = json.loads(value)
    paths = [decoded] if isinstance(decoded, str) else list(decoded)
    return [path for path in paths if isinstance(path, str)]


def warn_missing_watch_dirs(cls, events: Sequence[str], value: str, root: Optional[Path], stderr: TextIO) -> None:
    """Warn about watched paths whose directory does not exist (under the root).

    The kernel refuses a watch there, and auditctl loads no rule after it.
    """
    if not set(events) & set(getattr(cls, SPECIAL_EVENTS, ())):
        return
    base = root if root is not None else Path("/")
    for path in watched_paths(value):
        directory = os.path.dirname(path)
        if not (base / directory.lstrip("/")).is_dir():
            if root is None:
                text = _("{prog}: warning: {directory} does not exist: "
                         "auditd refuses the watch on {path} and loads no rule after it")
            else:
                text = _("{prog}: warning: {directory} does not exist under {root}: "
                         "auditd refuses the watch on {path} and loads no rule after it")
            print(text.format(prog=PROG, directory=directory, root=root, path=path), file=stderr)


def describe(exc: BaseException) -> str:
    """One line naming what went wrong."""
    text = " ".join(str(exc).split("\n")).strip()
    if isinstance(exc, (OSError, CommandError)) and text:
        return text
    name = type(exc).__name__
    return f"{name}: {text}" if text else name


class Run:
    """What main needs to know of a run: its transaction, if any."""

    transaction: Optional[Transaction] = None


def main(argv: Optional[Sequence[str]] = None) -> int:
    if argv is None:
        argv = sys.argv[1:]
    if argv[:1] == [COMPLETE]:
        from zorna_admin_events.completion import complete

        return complete(argv[1:])
    use_catalogue(argv)
    ns = parse_args(argv)
    command = COMMANDS_BY_NAME[ns.command]
    stderr = sys.stderr
    real_stdout = sys.stdout
    if real_stdout is not None:
        sys.stdout = GuardedOutput(real_stdout)
    run = Run()
    try:
        status = run_command(command, ns, stderr, run)
    except Interrupted as exc:
        print(_("{prog}: interrupted by {signal}").format(prog=PROG, signal=exc.name), file=stderr)
        if run.transaction is not None and run.transaction.changed:
            print(
                _("{prog}: the change was made, but {units} may not have been restarted").format(
                    prog=PROG, units=_(RESTARTED_UNITS)
                ),
                file=stderr,
            )
        status = 128 + exc.signum
    except KeyboardInterrupt:
        print(file=stderr)
        status = EXIT_INTERRUPTED
    except Exception as exc:
        if ns.debug:
            import traceback

            traceback.print_exc(file=stderr)
        try:
            sys.stdout.flush()
        except Exception:
            pass
        print(_("{prog}: error: {message}").format(prog=PROG, message=describe(exc)), file=stderr)
        status = EXIT_FAILURE
    finally:
        if real_stdout is not None:
            sys.stdout.flush()
        closed_pipe = getattr(sys.stdout, "closed_pipe", False)
        sys.stdout = real_stdout
    if run.transaction is not None and run.transaction.undone:
        print(_("{prog}: the changes of this run were undone").format(prog=PROG), file=stderr)
    if closed_pipe and status == EXIT_OK:
        return EXIT_CLOSED_PIPE
    return status


def run_command(command: Command, ns: argparse.Namespace, stderr: TextIO, run: Run) -> int:
    if command.shows:
        import shutil

        if shutil.which(PAGER) is None:
            raise CommandError(_("the pager {pager!r} is not installed").format(pager=PAGER))
    if command.changes and not ns.dry_run:
        with ending_signals():
            return change(command, ns, stderr, run)
    put_back_left_copy(ns.root, stderr)
    cls = load_class(ns.root)
    if command.changes and command.method == "import_config":
        return dry_run_import(cls, ns.file, stderr)
    return execute(command, ns, cls, stderr)[0]


if __name__ == "__main__":
    sys.exit(main())
