"""The command's subcommands and options, as data.

Every subcommand is a row of ``COMMANDS``: the row says which method it calls,
which selection the object is built with and which command-line values go to
the method, so adding a subcommand means adding a row, not another branch.
The parser (cli.py) and bash completion (completion.py) are both made from
these rows; completion reads them without building the parser, or even
importing argparse, so that a Tab is answered at once.
"""

from .names import FACILITIES, PRIORITIES, ROLLBACK_DIR
from .texts import N_, _

# How a subcommand takes events and groups.
NONE = "none"              # not at all
OPTION = "option"          # -e/--event, -g/--group, repeatable, optional
REQUIRED = "required"      # -e/--event, repeatable, at least one
ANY = "any"                # as OPTION; none named means every one
POSITIONAL = "positional"  # as the positional arguments (EVENT ... / [GROUP ...])

# What completion offers for a value: names from the file system.
FILES = "\aFILES"
DIRS = "\aDIRS"


def json_value(text):
    """argparse type of a VALUE: JSON text of a string, an array or an object.

    The text itself is what is passed on; it is only decoded here so that a
    value the class would refuse is a usage error that changes nothing.
    """
    import argparse
    import json

    try:
        decoded = json.loads(text)
    except json.JSONDecodeError as exc:
        raise argparse.ArgumentTypeError(
            _("not JSON text (line {line}, column {column}); quote a path as JSON, e.g. '\"/etc/passwd\"'").format(
                line=exc.lineno, column=exc.colno)
        ) from None
    if not isinstance(decoded, (str, list, dict)):
        raise argparse.ArgumentTypeError(
            _("{text!r} is JSON {type}; expected a JSON string, array or object").format(
                text=text, type=type(decoded).__name__
            )
        )
    return text


def root_dir(text):
    """argparse type of --root: a directory holding the event catalogue, made absolute.

    Refused, before anything is created: an empty name (which would mean
    the current directory) and a tree without the catalogue.  The tree is
    opened here, once (tree.py); the run reaches it through that descriptor.
    """
    from .tree import open_named

    return open_named(text).path


class Value:
    """A positional command-line value handed to the method, in order."""

    def __init__(self, dest, metavar, help, type=str, choices=None):
        self.dest, self.metavar, self.help, self.type, self.choices = dest, metavar, help, type, choices


class Option:
    """An option that is not an event or group selection; ``complete`` is
    what completion offers for its value (None: it takes none)."""

    def __init__(self, names, help, metavar=None, complete=None):
        self.names, self.help, self.metavar, self.complete = names, help, metavar, complete


class Command:
    """One subcommand: which method it calls and with what."""

    def __init__(self, name, method, help, examples, events=NONE, groups=NONE, values=(), changes=False,
                 may_refuse=False, static=False, shows=False, json=False, action=None, options=()):
        self.name = name
        # Public method of the class, or a function choosing it from the namespace;
        # None when `action` does the work.
        self.method = method
        self.help = help
        self.examples = examples
        self.events = events
        self.groups = groups
        self.values = values
        self.changes = changes        # ends with restart_daemons(); takes --no-restart and --quiet
        # The method may refuse its VALUE: it says why, stores nothing and
        # leaves the restart flag unset.
        self.may_refuse = may_refuse
        self.static = static          # called on the class, no object is built
        self.shows = shows            # output goes through the pager; takes --no-pager
        self.json = json              # takes --json
        self.action = action          # name of the command's own function instead of a method
        self.options = options        # options of its own

    def method_name(self, ns):
        return self.method if isinstance(self.method, str) else self.method(ns)


ROOT = Option(("--root",), N_("work on the system tree under DIR instead of /; the daemons are not restarted"),
              "DIR", DIRS)
DEBUG = Option(("--debug",), N_("show the traceback when the operation fails"))
NO_RESTART = Option(("--no-restart",), N_("do not restart syslog-ng and auditd afterwards"))
QUIET = Option(("-q", "--quiet"), N_("print nothing but warnings and errors"))
NO_PAGER = Option(("--no-pager",), N_("do not pipe the output into a pager"))
JSON = Option(("--json",), N_("print one JSON document instead of text"))
VERIFY_QUIET = Option(("-q", "--quiet"), N_("print only the findings, no line for an event with nothing to report"))
DRY_RUN = Option(("--dry-run",), N_("show each event's settings before and after the change, and change nothing"))

# Accepted before the subcommand's name.
MAIN_OPTIONS = (ROOT, DEBUG, NO_RESTART, NO_PAGER)


def options_of(command):
    """The options a subcommand accepts after its name (help aside)."""
    return ((ROOT, DEBUG)
            + ((NO_RESTART, QUIET, DRY_RUN) if command.changes else ())
            + ((NO_PAGER,) if command.shows else ())
            + ((JSON,) if command.json else ())
            + tuple(command.options))


FILE_VALUE = Value("file", "FILE", N_("configuration file (- for standard output or input)"))


COMMANDS = (
    Command(
        "groups",
        lambda ns: "show_groups" if ns.groups else "show_all_groups",
        N_("show every event's enabled status, group by group"),
        ("groups", "groups file-access authentication", "groups --json processes"),
        groups=POSITIONAL,
        shows=True,
        json=True,
    ),
    Command(
        "events",
        "show_events",
        N_("show the full configuration of events"),
        ("events file-opened", "events file-opened modifying-file", "events --json sudo-command"),
        events=POSITIONAL,
        shows=True,
        json=True,
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
        shows=True,
        json=True,
        action="status",
    ),
    Command(
        "verify",
        None,
        N_("check that the kernel and the daemons run what is configured"),
        ("verify", "verify -q -g file-access", "verify --json -e file-opened"),
        events=ANY,
        groups=ANY,
        json=True,
        action="verify",
        options=(VERIFY_QUIET,),
    ),
    Command(
        "export",
        "export_config",
        N_("save the whole event configuration to a file"),
        ("export /root/events.conf", "export - | gzip > events.conf.gz"),
        values=(FILE_VALUE,),
        static=True,
    ),
    Command(
        "import",
        "import_config",
        N_("load the whole event configuration from a file"),
        ("import /root/events.conf", "import /root/events.conf --no-restart", "import - < events.conf"),
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
# The command's exit statuses.
EXIT_OK = 0
EXIT_FAILURE = 1
EXIT_USAGE = 2  # argparse's own
# The configuration was changed, but a daemon failed to restart.
EXIT_RESTART_FAILED = 3
# verify: a check could not be made.
EXIT_NOT_CHECKED = 4
EXIT_INTERRUPTED = 128 + 2  # SIGINT
EXIT_PIPE = 128 + 13  # SIGPIPE
# What each exit status means, for --help and the manual page.
EXIT_STATUSES = (
    (str(EXIT_OK), N_("success")),
    (str(EXIT_FAILURE), N_("the operation failed, a VALUE was refused, an ID was unknown or a file is broken")),
    (str(EXIT_USAGE), N_("usage error: an unknown option or value, a refused --root, "
                         "an argument not valid in the locale's encoding")),
    (str(EXIT_RESTART_FAILED), N_("the configuration was changed, but a daemon failed to restart")),
    ("1 (verify)", N_("drift found by verify: each finding is named on standard output")),
    ("2 (verify)", N_("an unknown ID given to verify, which then verified nothing")),
    (str(EXIT_NOT_CHECKED), N_("a check verify could not make (not root, no auditctl, no systemd; each named "
                               "on standard error), while those it made found no drift; or verify failed (one "
                               "error line), a file being broken for example")),
    ("129, 130, 143", N_("ended by SIGHUP, SIGINT (Ctrl-C) or SIGTERM; the changes of the run were undone")),
    (str(EXIT_PIPE),
     N_("standard output was closed (a pipe whose reader is gone); the change and its restart were still made")),
)
RESTART_NOTE = N_("The daemons syslog-ng and auditd are restarted afterwards if anything changed.")
ROLLBACK_NOTE = N_("A run is all or nothing: before its first change, a copy of the configuration is kept "
                   "in {path}; if the run fails or is stopped, the copy is put back, at once or, after a "
                   "crash, by the next run.")
ROLLBACK_PATH = "/" + ROLLBACK_DIR
RECORD_NOTE = N_("A run that changes the configuration leaves a record of who changed what, one line per event, "
                 "in the system log (journalctl -t zorna-admin-events) and the kernel audit "
                 "(ausearch -m USYS_CONFIG); a run with --dry-run or --root, or that changes nothing, leaves none.")


