"""The administration command ``zorna-admin-events``.

One run builds one ``ZornaAdminEvents`` object from the event and group IDs
the administrator named and calls one public method on it.  Commands that
change the configuration end by restarting the logging daemons, unless told
not to.

The subcommands and their options are rows of data (commands.py), from
which the parser here and bash completion are both made.

The extension module is imported only once the command line has been parsed,
so ``--help`` and usage errors never load it (nor the event service it
imports) and never touch the system.

Texts for the administrator pass through the catalogue of the module's own
domain (texts.py), argparse's and the extension module's included; ``main``
loads it before the parser is built.  Texts kept in tables are marked with
``N_`` and translated where used.  Results go to standard output, notices and
errors to standard error, and output.py decides on colour and the pager.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
from pathlib import Path
from typing import Optional, Sequence, TextIO

from . import texts
from .commands import (
    ANY, COMMANDS, COMMANDS_BY_NAME, DESCRIPTION, DRY_RUN, EXAMPLES, EXIT_FAILURE, EXIT_INTERRUPTED, EXIT_OK,
    EXIT_NOT_CHECKED, EXIT_PIPE, EXIT_RESTART_FAILED, EXIT_STATUSES, FILE_VALUE, JSON, MAIN_OPTIONS, NO_RESTART,
    OPTION, POSITIONAL, QUIET, RECORD_NOTE, REQUIRED, RESTART_NOTE, ROLLBACK_NOTE, ROLLBACK_PATH, ROOT, Command,
    Option, options_of, root_dir,
)
from .names import CLASS, MODULE, PROG, RESTART_FLAG, ROOT_ENV, ROOTED_PATHS, SPECIAL_EVENTS
from .texts import N_, _
from .transaction import (
    CommandError, Interrupted, Transaction, ending_signals, held_output, put_back_left_copy, restart_daemons, run_lock,
)

# What restart_daemons() runs; named when a restart is skipped under --root.
RESTARTED_UNITS = N_("syslog-ng.service and auditd")

# The problems of a file to import that are named, at most; the rest are counted.
MAX_PROBLEMS = 20

# OS errors the command meets, in the administrator's language; others stay as the system words them.
OS_ERRORS = {
    "ENOENT": N_("No such file or directory"),
    "EACCES": N_("Permission denied"),
    "EPERM": N_("Operation not permitted"),
    "ENOSPC": N_("No space left on device"),
    "EDQUOT": N_("Disk quota exceeded"),
    "EROFS": N_("Read-only file system"),
    "EISDIR": N_("Is a directory"),
    "ENOTDIR": N_("Not a directory"),
    "ELOOP": N_("Too many levels of symbolic links"),
    "EEXIST": N_("File exists"),
    "EIO": N_("Input/output error"),
}


def _examples(lines: Sequence[str]) -> str:
    return _("examples:") + "\n" + "\n".join(f"  {PROG} {line}" for line in lines)


def _exit_statuses() -> str:
    import textwrap

    lines = [_("exit status:")]
    for code, meaning in EXIT_STATUSES:
        lines += textwrap.wrap(_(meaning), 78, initial_indent=f"  {code:<14}", subsequent_indent=" " * 16)
    return "\n".join(lines)


def _add_option(parser: argparse.ArgumentParser, option: Option, default) -> None:
    """An option as the subcommand parsers take it, with SUPPRESS as default so
    that the same option given before the subcommand is not reset; on the main
    parser with its real default."""
    kwargs = {"help": _(option.help), "default": default}
    if option is ROOT:
        kwargs.update(metavar=option.metavar, type=root_dir)
    else:
        kwargs["action"] = "store_true"
        if default is None:
            kwargs["default"] = False
    parser.add_argument(*option.names, **kwargs)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description=_(DESCRIPTION),
        epilog=_examples(EXAMPLES)
        + "\n\n"
        + _exit_statuses()
        + "\n\n"
        + _("Run '{prog} COMMAND --help' for the options of one command.").format(prog=PROG),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action=_version_action(), help=_("show program's version number and exit"))
    for option in MAIN_OPTIONS:
        _add_option(parser, option, None)
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for command in COMMANDS:
        _add_command(sub, command)
    return parser


def _add_command(sub, command: Command) -> None:
    epilog = _examples(command.examples)
    if command.changes:
        import textwrap

        epilog += "\n\n" + textwrap.fill(_(RESTART_NOTE), 78)
        epilog += "\n\n" + textwrap.fill(_(ROLLBACK_NOTE).format(path=ROLLBACK_PATH), 78)
        epilog += "\n\n" + textwrap.fill(_(RECORD_NOTE), 78, break_on_hyphens=False)
    summary = _(command.help)
    p = sub.add_parser(
        command.name,
        help=summary,
        description=summary[0].upper() + summary[1:] + ".",
        epilog=epilog,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.set_defaults(command=command.name, events=None, groups=None, quiet=False, json=False, dry_run=False)
    for option in options_of(command):
        _add_option(p, option, False if option in (QUIET, JSON, DRY_RUN) else argparse.SUPPRESS)
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
    p.set_defaults(_parser=p)


def _version_action():
    class VersionAction(argparse._VersionAction):
        """--version, with the installed version looked up only when asked for:
        the look-up reads every distribution's metadata, a cost that an
        operation should not pay."""

        def __call__(self, parser, namespace, values, option_string=None):
            self.version = f"%(prog)s {_version()}"
            super().__call__(parser, namespace, values, option_string)

    return VersionAction


def _version() -> str:
    try:
        try:
            from importlib.metadata import version
        except ImportError:  # Python 3.7: the backport the package requires there
            from importlib_metadata import version  # type: ignore[no-redef]

        return version("zorna-admin-events")
    except Exception:  # not installed as a distribution (source tree)
        return "unknown"


def _once(ids: Optional[Sequence[str]]) -> Optional[list]:
    """IDs in the order given, each once."""
    return list(dict.fromkeys(ids)) if ids else ids


def parse_args(argv: Optional[Sequence[str]] = None) -> argparse.Namespace:
    """Parse the command line; every usage error exits with status 2 here."""
    from .checks import check_argument

    parser = build_parser()
    argv = sys.argv[1:] if argv is None else argv
    encoding = sys.getfilesystemencoding()
    for arg in argv:
        if not check_argument(arg, encoding):
            parser.error(_("{argument} is not valid in the locale's encoding ({encoding})").format(
                argument=shown_bytes(arg), encoding=encoding))
    ns = parser.parse_args(argv)
    command = COMMANDS_BY_NAME[ns.command]
    ns.events, ns.groups = _once(ns.events), _once(ns.groups)
    if command.events == OPTION and command.groups == OPTION and not (ns.events or ns.groups):
        ns._parser.error(_("name at least one event (-e EVENT) or group (-g GROUP)"))
    if ns.no_restart and not command.changes:
        ns._parser.error(
            _("{option}: {command} changes nothing, so it restarts nothing").format(
                option=NO_RESTART.names[0], command=command.name)
        )
    return ns


def shown_bytes(arg: str) -> str:
    """An argument in quotes, its bytes that the locale cannot decode shown as \\xNN."""
    return "'" + os.fsencode(arg).decode(sys.getfilesystemencoding(), "backslashreplace") + "'"


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
    """Load the catalogue of the system, or of the tree that --root names.

    This happens before parsing, so that help and usage errors are
    translated too; hence the plain scan for --root.  A tree's catalogue is
    read only once the tree has passed the check that --root makes (which
    opens it, once); otherwise the system's is used, and argparse reports
    the refusal.
    """
    from .tree import open_named

    named = root_named(argv)
    root = None
    if named is not None:
        try:
            root = open_named(named)
        except (argparse.ArgumentTypeError, OSError):
            pass
    texts.use_catalogue(root)


def load_class(root: Optional[Path], output=None):
    """Import the extension module and return its class, set up for ``root``.

    Under a root the service stand-in must see the variable before its first
    use, and the class's file paths are moved below the root after the import
    has bound them to the real system.  With ``output`` (the command's own
    run), the module's `_`, pager and colours become this run's.
    """
    import importlib

    from .tree import open_root

    tree = None if root is None else open_root(root)
    if tree is not None:
        # The service and the class reach the tree through its descriptor.
        os.environ[ROOT_ENV] = tree.proc
    module = importlib.import_module(MODULE)
    cls = getattr(module, CLASS)
    if tree is not None:
        for attr, relative in ROOTED_PATHS.items():
            setattr(cls, attr, tree.module_path(relative))
    if output is not None:
        module._ = _
        output.install(module)
    return cls


def error(message: str, stderr: TextIO) -> None:
    from .escape import escaped

    print(_("{prog}: error: {message}").format(prog=PROG, message=escaped(message, field=True)), file=stderr)


def report(lines: Sequence[str], stderr: TextIO) -> None:
    """Notices the class printed (unknown IDs, a refused VALUE), as the command's own on stderr."""
    from .escape import escaped

    for line in lines:
        print(f"{PROG}: {escaped(line, field=True)}", file=stderr)


def show_status(cls, ns: argparse.Namespace, stderr: TextIO) -> int:
    """`status`, and `groups`/`events` with --json: read the selected events'
    state and print it; change nothing."""
    from . import status

    groups = ns.groups
    if ns.command == "groups" and not groups:
        groups = sys.modules[cls.__module__].zorna_events.get_group_ids()
    reading = status.read_status(cls, ns.events, groups)
    report(reading.notices, stderr)
    if ns.json:
        document = reading.groups_as_dict() if ns.command == "groups" else reading.as_dict()
        if ns.command == "events":
            for record, event in zip(document["events"], reading.events):
                record["settings"] = event.settings
        sys.stdout.write(status.json_text(document))
    else:
        ns.output.page(status.table_text(reading))
    return EXIT_FAILURE if reading.notices else EXIT_OK


def verify(cls, ns: argparse.Namespace, stderr: TextIO) -> int:
    from . import verify

    return verify.command(cls, ns, stderr)


ACTIONS = {"status": show_status, "verify": verify}


@contextlib.contextmanager
def file_argument(name: str, reading: bool, mode: int = 0o644):
    """A private file in place of the one a FILE argument names, which the
    module and the service never see: for reading, a copy of it (of
    standard input for "-"), read once; for writing, a file written to it
    afterwards, created anew with ``mode`` (to standard output for "-").
    A named file is opened with the rights of the user behind sudo."""
    import shutil
    import tempfile

    from . import callerfiles
    from .checks import MAX_SIZE, BrokenFile

    with tempfile.TemporaryDirectory(prefix="zorna-admin-events.") as directory:
        path = os.path.join(directory, "configuration")
        if reading:
            if name == "-":
                data = sys.stdin.buffer.read(MAX_SIZE + 1)
                if len(data) > MAX_SIZE:
                    raise BrokenFile(_("{file}: larger than {size} MiB").format(
                        file=_("standard input"), size=MAX_SIZE // (1024 * 1024)))
            else:
                data = callerfiles.read(name, MAX_SIZE)
            with open(path, "wb") as copy:
                copy.write(data)
        yield path
        if not reading and name != "-":
            with open(path, "rb") as exported:
                callerfiles.write_anew(name, exported.read(), mode)
        elif not reading:
            with open(path, encoding="utf-8") as exported:
                shutil.copyfileobj(exported, sys.stdout)
            sys.stdout.flush()


def export_mode(cls) -> int:
    """0644, or 0600 when the configuration is not world-readable."""
    import stat

    from .checks import located
    from .names import CURRENT_CONFIG_FILE

    # Looked up through the tree's descriptor, as the file was checked and is read.
    tree, relative = located(getattr(cls, CURRENT_CONFIG_FILE))
    st = tree.lstat(relative)
    world = st is None or st.st_mode & stat.S_IROTH
    return 0o644 if world else 0o600


def execute(command: Command, ns: argparse.Namespace, cls, stderr: TextIO):
    """Build the object and call the command's method (or show what it
    would change).  Returns the exit status and, for a change, the object
    that the daemons are restarted through; exceptions from the class
    propagate."""
    from . import changes
    from .output import one_column
    from .status import captured_stdout

    if command.action is not None or getattr(ns, "json", False):
        return ACTIONS.get(command.action, show_status)(cls, ns, stderr), None
    method = command.method_name(ns)
    args = [getattr(ns, value.dest) for value in command.values]
    if command.static:
        with file_argument(args[0], reading=False, mode=export_mode(cls)) as path:
            getattr(cls, method)(path)
        return EXIT_OK, None

    # The class drops unknown IDs from these very lists (after printing a
    # notice), so the lengths before and after tell whether any was unknown.
    events = list(ns.events) if ns.events else None
    groups = list(ns.groups) if ns.groups else None
    named = len(events or ()) + len(groups or ())
    with captured_stdout() as printed:
        obj = cls(events, groups)
    report(printed.getvalue().splitlines(), stderr)
    known = len(events or ()) + len(groups or ())

    if named and not known or command.changes and known < named:
        # Nothing left to act on, or a change asked for something unknown:
        # no empty pager, no change made in part.
        return EXIT_FAILURE, None
    if command.name == "groups":
        one_column(sys.modules[cls.__module__])
    if method == "set_properties":
        def call(o):
            return changes.set_properties(o, *args)
    else:
        def call(o):
            getattr(o, method)(*args)
            return True
    with contextlib.ExitStack() as stack:
        if FILE_VALUE in command.values:
            args[-1] = ns.import_path
            if check_import(cls, args[-1], ns.file, stderr) is None:
                return EXIT_FAILURE, None
        if ns.dry_run:
            status = dry_run(obj, call, stderr)
            if status == EXIT_OK:
                warn_missing_watch_dirs(cls, ns, events, stderr)
            return status, None
        # A refusal of the VALUE is reported on stderr; --quiet keeps the results back.
        printed = stack.enter_context(captured_stdout()) if command.may_refuse or ns.quiet else None
        accepted = call(obj)
    if printed is not None:
        if not accepted:
            # Refused: nothing changed.
            report(printed.getvalue().splitlines(), stderr)
            return EXIT_FAILURE, None
        if not ns.quiet:
            sys.stdout.write(printed.getvalue())
    warn_missing_watch_dirs(cls, ns, events, stderr)
    return (EXIT_FAILURE if known < named else EXIT_OK), obj


def escaped_text(text: str) -> str:
    """A text of names read from a tree, as it may reach the terminal (escape.py)."""
    from .escape import escaped

    return escaped(text)


def dry_run(obj, call, stderr: TextIO) -> int:
    """--dry-run: each event's settings before and after, nothing changed."""
    from . import changes

    views, printed, accepted = changes.preview(obj, call)
    if not accepted:
        report(printed.splitlines(), stderr)
        return EXIT_FAILURE
    print(escaped_text("\n".join(changes.difference_lines(views) or [_("no change")])))
    return EXIT_OK


def check_import(cls, path: str, shown: str, stderr: TextIO):
    """The document of a file to import (``shown`` as named), or None when
    the set commands would refuse any of it (each problem said on stderr);
    says which events the file leaves to their defaults."""
    from . import changes

    if shown == "-":
        shown = _("standard input")
    document, problems = changes.check_import(cls, path, shown)
    for problem in problems[:MAX_PROBLEMS]:
        error(problem, stderr)
    if len(problems) > MAX_PROBLEMS:
        error("\u2026 " + _("and {count} more").format(count=len(problems) - MAX_PROBLEMS), stderr)
    if problems:
        return None
    left_out = changes.left_out(cls, document)
    if left_out:
        print(
            _("{prog}: events not in {file}, which fall back to their defaults: {count} ({events})").format(
                prog=PROG, file=shown, count=len(left_out), events=", ".join(left_out)
            ),
            file=stderr,
        )
    return document


def dry_run_import(cls, ns: argparse.Namespace, stderr: TextIO) -> int:
    """import --dry-run: what the file would change, event by event."""
    from . import changes

    document = check_import(cls, ns.import_path, ns.file, stderr)
    if document is None:
        return EXIT_FAILURE
    views, unreadable = changes.preview_import(cls, ns.import_path, document)
    if unreadable is not None:
        print(_("{prog}: warning: {error}; the import replaces it").format(prog=PROG, error=describe(unreadable)),
              file=stderr)
    print(escaped_text("\n".join(changes.difference_lines(views, unchanged=False) or [_("no change")])))
    return EXIT_OK


def change(command: Command, ns: argparse.Namespace, stderr: TextIO, run: "Run") -> int:
    """A changing command: the whole change under the run lock, as one
    transaction; then, without the lock, the restart if the configuration
    changed.  A change, made or undone, is recorded as the run ends (record.py)."""
    from .record import RunRecord

    with RunRecord(command.name, ns.root, lambda text: print(text, file=stderr)) as record:
        return _change(command, ns, stderr, run, record)


def _change(command: Command, ns: argparse.Namespace, stderr: TextIO, run: "Run", record) -> int:
    with held_output(), run_lock(ns.root, stderr):
        cls = load_class(ns.root, ns.output)
        check_class_files(command, cls)
        with Transaction(ns.root, stderr) as run.transaction:
            record.transaction = run.transaction
            status, obj = execute(command, ns, cls, stderr)
            if status == EXIT_OK:
                run.transaction.commit()
    if obj is None or not run.transaction.changed or ns.no_restart:
        return status
    sys.stdout.flush()
    if ns.root is not None:
        if not ns.quiet:
            print(
                _("{prog}: --root {root}: not restarting {units}").format(
                    prog=PROG, root=ns.root, units=_(RESTARTED_UNITS)
                ),
                file=stderr,
            )
        return status
    record.restart_failed = True  # until the restart has ended
    failures = restart_daemons(obj, RESTART_FLAG)
    record.restart_failed = bool(failures)
    for failure in failures:
        error(failure, stderr)
    return EXIT_RESTART_FAILED if failures else status


def check_class_files(command: Command, cls) -> None:
    from .checks import CURRENT, check_class_files, check_current_file, class_file_problems

    if FILE_VALUE not in command.values:
        check_class_files(cls)
    elif not command.changes:  # export: but for the configuration it writes out
        check_current_file(cls)
    else:
        # import: the defaults it checks the file against too, but not the
        # configuration it replaces, which may be broken.
        for kind, _key, exc in class_file_problems(cls):
            if kind != CURRENT:
                raise exc


def watched_paths(value: str) -> Sequence[str]:
    """The paths a VALUE names, as the class reads them (a string is one path;
    an array gives its elements, an object its member names)."""
    import json

    decoded = json.loads(value)
    paths = [decoded] if isinstance(decoded, str) else list(decoded)
    return [path for path in paths if isinstance(path, str)]


def warn_missing_watch_dirs(cls, ns: argparse.Namespace, events: Optional[Sequence[str]], stderr: TextIO) -> None:
    """After set-properties of watched paths, warn about those whose
    directory does not exist (under the root).

    The kernel refuses a watch there, and auditctl loads no rule after it.
    """
    from . import changes

    if ns.command != "set-properties" or not changes.is_watch(ns.section, ns.parameter):
        return
    if not set(events or ()) & set(getattr(cls, SPECIAL_EVENTS, ())):
        return
    from .audit_rules import missing_directories

    root = ns.root
    for path, directory in missing_directories(watched_paths(ns.value), root):
        if root is None:
            text = _("{prog}: warning: {directory} does not exist: "
                     "auditd refuses the watch on {path} and loads no rule after it")
        else:
            text = _("{prog}: warning: {directory} does not exist under {root}: "
                     "auditd refuses the watch on {path} and loads no rule after it")
        print(text.format(prog=PROG, directory=directory, root=root, path=path), file=stderr)


def describe(exc: BaseException) -> str:
    """One line naming what went wrong, in the administrator's language where we can."""
    import errno

    from .checks import BrokenFile
    from .tree import service_step, shown_text

    if isinstance(exc, OSError) and errno.errorcode.get(exc.errno) in OS_ERRORS:
        reason = _(OS_ERRORS[errno.errorcode[exc.errno]])
        if exc.filename is None:
            return reason
        step = service_step(exc)
        if step is not None:
            return _("{step} `{path}`: {reason}").format(step=step, path=shown_text(exc.filename), reason=reason)
        return shown_text(f"{exc.filename}: {reason}")
    text = shown_text(" ".join(str(exc).split("\n")).strip())
    if isinstance(exc, (OSError, CommandError, BrokenFile)) and text:
        return text
    name = type(exc).__name__
    return f"{name}: {text}" if text else name


class Run:
    """What main needs to know of a run: its transaction, if any."""

    transaction: Optional[Transaction] = None


def main(argv: Optional[Sequence[str]] = None) -> int:
    if argv is None:
        argv = sys.argv[1:]
    from .output import Output

    if sys.stderr is None:  # started with stderr closed: errors go nowhere, not to stdout
        sys.stderr = open(os.devnull, "w")
    use_catalogue(argv)
    ns = parse_args(argv)
    command = COMMANDS_BY_NAME[ns.command]
    output = ns.output = Output(ns.no_pager)
    stderr = sys.stderr
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
        output.stdout.flush()
        error(describe(exc), stderr)
        # verify's 1 says drift: a failure means that it could not check.
        status = EXIT_NOT_CHECKED if command.action == "verify" else EXIT_FAILURE
    output.stdout.flush()
    if run.transaction is not None and run.transaction.undone:
        print(_("{prog}: the changes of this run were undone").format(prog=PROG), file=stderr)
    elif command.changes and not ns.dry_run and status not in (EXIT_OK, EXIT_RESTART_FAILED) and not (
            run.transaction is not None and run.transaction.changed):
        # Every refused or failed change closes with the same line.
        print(_("{prog}: nothing was changed").format(prog=PROG), file=stderr)
    return EXIT_PIPE if output.lost and status == EXIT_OK else status


def run_command(command: Command, ns: argparse.Namespace, stderr: TextIO, run: Run) -> int:
    if command.changes and FILE_VALUE in command.values:
        # import: standard input is read whole before the run lock is taken,
        # since its writer may never finish, or may be a run of this command.
        with file_argument(ns.file, reading=True) as ns.import_path:
            return run_taken(command, ns, stderr, run)
    return run_taken(command, ns, stderr, run)


def run_taken(command: Command, ns: argparse.Namespace, stderr: TextIO, run: Run) -> int:
    """Run the command, its arguments read."""
    if command.changes and not ns.dry_run:
        with ending_signals():
            return change(command, ns, stderr, run)
    put_back_left_copy(ns.root, stderr)
    cls = load_class(ns.root, ns.output)
    if command.shows:  # shows what it can read, and names what it cannot
        from . import readable

        return readable.show(ns, cls, stderr, describe, lambda: execute(command, ns, cls, stderr)[0])
    check_class_files(command, cls)
    if command.changes and command.method == "import_config":
        return dry_run_import(cls, ns, stderr)
    return execute(command, ns, cls, stderr)[0]


if __name__ == "__main__":
    sys.exit(main())
