"""A record of every run that changed the configuration, in the system log
and, where the kernel audit is available, in the audit trail.

Turning an event off or dropping a watched path is what an intruder would
do, so each such change leaves a trace naming who made it, what changed and
how the run ended, as auditctl, useradd and sudo do for theirs.  The command
and the Ansible module both record through ``RunRecord``, around the
transaction of their run.

What changed is read from the transaction: the configuration file as its
rollback copy holds it (before) and as it was at the commit, or just before
it was put back (after).  Each event whose merged settings differ, its
defaults taken into account as ``events`` shows them, gives one line:

    command=set-facility outcome=committed login_uid=1000(alice) sudo_user=alice uid=0(root)
    event=login-failed: message-syslog-facility: "auth" -> "local3"

(one line, without the break), sent to the syslog socket (facility authpriv,
ident zorna-admin-events, priority notice, or err for an undone run), and
the same as an audit record of type USYS_CONFIG through Debian's libaudit
bindings (python3-audit).  Nothing is recorded for a run that changed
nothing, for --dry-run (which makes no transaction) or under --root (the
tree is not the host).

Recording never blocks the run and never changes its outcome: the socket is
written without waiting, and any failure costs one warning per channel.
"""

import contextlib
import errno
import json
import os
import socket
import sys
import time

from .names import CLASS, MODULE, PROG
from .texts import N_, _

IDENT = PROG
SYSLOG_SOCKET = "/dev/log"
FACILITY_AUTHPRIV = 10
PRIORITY_NOTICE = 5
PRIORITY_ERR = 3

# How a run ended.
COMMITTED = "committed"
UNDONE = "undone"
RESTART_FAILED = "committed-restart-failed"  # committed, but a daemon failed to restart

# A value longer than this (as JSON text) is cut, and the cut marked.
VALUE_LIMIT = 200
MARKER = "[...]"
# The changes of one event, at most this many bytes of UTF-8 in one line.
LINE_LIMIT = 4000

UNSET_LOGIN_UID = 4294967295
AUDIT_USYS_CONFIG = 1111
NETLINK_AUDIT = 9
# Where Debian installs the libaudit bindings, for a Python other than its own.
DEBIAN_DIST_PACKAGES = "/usr/lib/python3/dist-packages"

SYSLOG_WARNING = N_("{prog}: warning: no syslog record of this change could be written: {reason}")
AUDIT_WARNING = N_("{prog}: warning: no audit record of this change could be written: {reason}")

_MONTHS = ("Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec")


# --------------------------------------------------------------------------
# Who, what


def clean(text):
    """One line of printable text: every other character escaped."""
    out = []
    for char in str(text):
        if char.isprintable() and char != "\\":
            out.append(char)
        elif char == "\\":
            out.append("\\\\")
        elif ord(char) < 0x100:
            out.append("\\x%02x" % ord(char))
        else:
            out.append("\\u%04x" % ord(char) if ord(char) < 0x10000 else "\\U%08x" % ord(char))
    return "".join(out)


def _user(uid):
    import pwd

    try:
        return "%d(%s)" % (uid, clean(pwd.getpwuid(uid).pw_name))
    except (KeyError, OverflowError):
        return str(uid)


def login_uid():
    """The login UID of the process, or None when unset or unknown."""
    try:
        with open("/proc/self/loginuid") as handle:
            uid = int(handle.read().strip())
    except (OSError, ValueError):
        return None
    return None if uid == UNSET_LOGIN_UID else uid


def who(environ=None):
    """The user who ran this: login UID, SUDO_USER when set, real UID."""
    environ = os.environ if environ is None else environ
    uid = login_uid()
    parts = ["login_uid=" + ("unset" if uid is None else _user(uid))]
    sudo_user = environ.get("SUDO_USER")
    if sudo_user:
        parts.append("sudo_user=" + clean(sudo_user).replace(" ", "\\x20"))
    parts.append("uid=" + _user(os.getuid()))
    return " ".join(parts)


def shown(value):
    """A value as a record shows it: JSON text, cut when long; - when absent."""
    if value is None:
        return "-"
    text = "".join(char if char.isprintable() else json.dumps(char)[1:-1]
                   for char in json.dumps(value, ensure_ascii=False))
    return text if len(text) <= VALUE_LIMIT else text[:VALUE_LIMIT] + MARKER


def _document(data):
    if data is None:
        return {}
    document = json.loads(data.decode("utf-8"))
    if not isinstance(document, dict):
        raise ValueError("not a JSON object")
    return document


def event_changes(cls, before, after):
    """[(event, [(field, old, new), ...]), ...] for every event whose merged
    settings differ between two contents of the configuration file (bytes, or
    None for no file), merged as the class merges them: the event's
    defaults, its "enabled" "1" unless either side has one, then the file's
    entry over them, object by object."""
    old, new = _document(before), _document(after)
    events = [e for e in list(new) + [e for e in old if e not in new] if old.get(e) != new.get(e)]
    if not events:
        return []
    defaults = _defaults(cls, events)
    result = []
    for event in events:
        first, second = (_flat(event, _merged(defaults[event], doc.get(event))) for doc in (old, new))
        keys = [key for key in list(first) + [k for k in second if k not in first]
                if first.get(key) != second.get(key)]
        if keys:
            result.append((event, [(key, first.get(key), second.get(key)) for key in keys]))
    return result


def _defaults(cls, events):
    """Each event's defaults, read once (empty when it has none), through
    one reading of the group directories by the class's own look-up."""
    from . import status
    from .checks import BrokenFile, CommandError, read_regular
    from .names import DEFAULT_CONFIG_DIR

    obj = status.build(cls, None, None)[0]
    groups = sys.modules[cls.__module__].zorna_events.get_group_ids()
    grouped = status.private(obj, "get_grouped_events")(groups)
    group_of = {}
    for group in groups:
        for event in grouped[group]:
            group_of.setdefault(event, group)
    found = {}
    for event in events:
        found[event] = {}
        if event in group_of:
            # Read as the command reads the class's files: a regular file only, its size capped.
            with contextlib.suppress(OSError, ValueError, BrokenFile, CommandError):
                loaded = json.loads(read_regular(getattr(cls, DEFAULT_CONFIG_DIR) / group_of[event] / event))
                found[event] = loaded if isinstance(loaded, dict) else {}
    return found


def _flat(event, settings):
    """An event's settings as --dry-run shows them."""
    from . import changes, status

    enabled = settings.get(changes.ENABLED) in ("1", 1, True)
    ordered = {key: dict(sorted(value.items())) if isinstance(value, dict) else value
               for key, value in sorted(settings.items())}  # in the order events shows them
    return changes.flat(status.EventStatus(event, None, enabled, ordered, False))


def _merged(defaults, entry):
    """An event's settings: its defaults with its entry merged in."""
    settings = json.loads(json.dumps(defaults))
    entry = entry if isinstance(entry, dict) else {}
    if "enabled" not in entry:
        settings.setdefault("enabled", "1")
    stack = [(settings, entry)]
    while stack:
        into, source = stack.pop()
        for key, value in source.items():
            if isinstance(value, dict) and isinstance(into.get(key), dict):
                stack.append((into[key], value))
            else:
                into[key] = value
    return settings


def lines(command, outcome, by, event_changes_list):
    """The text of each record, one per changed event."""
    head = "command=%s outcome=%s %s" % (clean(command), outcome, by)
    result = []
    for event, fields in event_changes_list:
        text = "; ".join("%s: %s -> %s" % (clean(key), shown(old), shown(new)) for key, old, new in fields)
        result.append("%s event=%s: %s" % (head, clean(event), _cut(text)))
    return result


def _cut(text):
    data = text.encode("utf-8")
    if len(data) <= LINE_LIMIT:
        return text
    return data[:LINE_LIMIT].decode("utf-8", "ignore") + MARKER


# --------------------------------------------------------------------------
# The system log


def syslog_datagram(priority, message, now=None, pid=None):
    """One message as the syslog socket takes it (as glibc's syslog(3) writes it)."""
    now = time.localtime(now)
    stamp = "%s %2d %02d:%02d:%02d" % (_MONTHS[now.tm_mon - 1], now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec)
    pid = os.getpid() if pid is None else pid
    text = "<%d>%s %s[%d]: %s" % (FACILITY_AUTHPRIV * 8 + priority, stamp, IDENT, pid, message)
    return text.encode("utf-8", "backslashreplace")


def send_syslog(messages, priority, path=SYSLOG_SOCKET):
    """Send each message without waiting; None, or why not all were sent."""
    try:
        sock = _syslog_socket(path)
    except OSError as exc:
        return exc.strerror or str(exc)
    with sock:
        for message in messages:
            datagram = syslog_datagram(priority, message)
            try:
                if sock.type == socket.SOCK_STREAM:
                    sock.sendall(datagram + b"\0")
                else:
                    sock.send(datagram)
            except OSError as exc:
                if exc.errno in (errno.EAGAIN, errno.EWOULDBLOCK, errno.ENOBUFS):
                    return _("the syslog socket {path} is full").format(path=path)
                return exc.strerror or str(exc)
    return None


def _syslog_socket(path):
    flags = getattr(socket, "SOCK_NONBLOCK", 0) | getattr(socket, "SOCK_CLOEXEC", 0)
    for kind in (socket.SOCK_DGRAM, socket.SOCK_STREAM):
        sock = socket.socket(socket.AF_UNIX, kind | flags)
        try:
            sock.connect(path)
            return sock
        except OSError as exc:
            sock.close()
            if exc.errno != errno.EPROTOTYPE:
                if exc.strerror and exc.errno in (errno.ENOENT, errno.ECONNREFUSED):
                    exc.strerror = "%s: %s" % (path, exc.strerror)
                raise
    raise OSError(errno.EPROTOTYPE, os.strerror(errno.EPROTOTYPE))


# --------------------------------------------------------------------------
# The kernel audit


def kernel_audit_available():
    """Whether the kernel takes audit messages at all."""
    try:
        socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, NETLINK_AUDIT).close()
    except (OSError, AttributeError):
        return False
    return True


def audit_bindings():
    """Debian's libaudit bindings (python3-audit), or None.

    They are installed for Debian's own python3 only.  Under another build
    of the same Python version (a virtual environment of it, say), they are
    loaded from Debian's folder, and only them: the folder is not put on
    the path, and both files must be root's and writable by nobody else.
    """
    try:
        import audit  # type: ignore[import-not-found]

        return audit
    except ImportError:
        pass
    import importlib.machinery
    import importlib.util

    names = ["_audit" + suffix for suffix in importlib.machinery.EXTENSION_SUFFIXES]
    native = next((n for n in names if os.path.isfile(os.path.join(DEBIAN_DIST_PACKAGES, n))), None)
    wrapper = os.path.join(DEBIAN_DIST_PACKAGES, "audit.py")
    if native is None or not all(_roots_own(p) for p in (DEBIAN_DIST_PACKAGES, wrapper,
                                                          os.path.join(DEBIAN_DIST_PACKAGES, native))):
        return None
    try:
        extension = importlib.machinery.ExtensionFileLoader("_audit", os.path.join(DEBIAN_DIST_PACKAGES, native))
        spec = importlib.util.spec_from_loader("_audit", extension)
        module = importlib.util.module_from_spec(spec)
        extension.exec_module(module)
        sys.modules["_audit"] = module
        spec = importlib.util.spec_from_file_location("audit", wrapper)
        audit = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(audit)
    except Exception:
        sys.modules.pop("_audit", None)
        return None
    sys.modules["audit"] = audit
    return audit


def _roots_own(path):
    try:
        st = os.stat(path)
    except OSError:
        return False
    return st.st_uid == 0 and not st.st_mode & 0o022


def audit_message(audit, command, outcome, event, text):
    """The text of one USYS_CONFIG record; the kernel adds who (auid, uid)."""
    fields = ["op=change-config", "command=%s" % clean(command), "outcome=%s" % outcome]
    sudo_user = os.environ.get("SUDO_USER")
    if sudo_user:
        fields.append(audit.audit_encode_nv_string("sudo_user", sudo_user, 0))
    fields.append(audit.audit_encode_nv_string("event", event, 0))
    fields.append(audit.audit_encode_nv_string("changes", text, 0))
    return " ".join(fields)


def send_audit(command, outcome, event_changes_list):
    """One USYS_CONFIG record per changed event; None, or why not."""
    if not kernel_audit_available():
        return None
    audit = audit_bindings()
    if audit is None:
        return _("the Python bindings of libaudit (python3-audit) are not installed for this Python")
    fd = audit.audit_open()
    if fd < 0:
        return _("the kernel audit could not be opened")
    try:
        result = 0 if outcome == UNDONE else 1
        for event, fields in event_changes_list:
            text = _cut("; ".join("%s: %s -> %s" % (clean(k), shown(o), shown(n)) for k, o, n in fields))
            if audit.audit_log_user_message(fd, AUDIT_USYS_CONFIG, audit_message(audit, command, outcome, event, text),
                                            None, None, None, result) <= 0:
                return _("the kernel refused it")
    finally:
        audit.audit_close(fd)
    return None


# --------------------------------------------------------------------------
# One run


class RunRecord:
    """Records the run of ``command`` (a subcommand, or "ansible") when it
    ends: set ``transaction`` once the run has one, and ``restart_failed``
    around the restart of the daemons (left True if the restart never
    finished).  ``warn`` takes each warning.  Under a root, nothing; but a
    root that is the host's own (``--root /``, or a link to it) is no tree."""

    def __init__(self, command, root, warn):
        self.command = command
        self.active = root is None or os.path.realpath(str(root)) == "/"
        self.warn = warn
        self.transaction = None
        self.restart_failed = False
        self.written = False

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.write()
        return False

    def outcome(self):
        transaction = self.transaction
        if getattr(transaction, "undone", False):
            return UNDONE
        if getattr(transaction, "changed", False):
            return RESTART_FAILED if self.restart_failed else COMMITTED
        return None

    def write(self):
        """Write the record, once; never raises (but for a signal deferred meanwhile)."""
        if self.written or not self.active:
            return
        self.written = True
        from .transaction import deferred_signals

        with deferred_signals():
            try:
                self._write()
            except Exception as exc:  # a record must never break the run
                self._warn(_(SYSLOG_WARNING).format(prog=PROG, reason="%s: %s" % (type(exc).__name__, exc)))

    def _write(self):
        outcome = self.outcome()
        before, after = _contents(self.transaction)
        if outcome is None or before is _NOTHING:
            return
        try:
            if after is _NOTHING:
                raise ValueError("the configuration at the end of the run was not read")
            import importlib

            cls = getattr(importlib.import_module(MODULE), CLASS)
            found = event_changes(cls, before, after)
        except Exception as exc:  # the contents are unreadable: say that they changed
            found = [("*", [("configuration", None, "not readable (%s)" % type(exc).__name__)])]
        if not found:
            return
        priority = PRIORITY_ERR if outcome == UNDONE else PRIORITY_NOTICE
        channels = (
            (SYSLOG_WARNING, lambda: send_syslog(lines(self.command, outcome, who(), found), priority)),
            (AUDIT_WARNING, lambda: send_audit(self.command, outcome, found)),
        )
        for warning, send in channels:
            try:
                reason = send()
            except Exception as exc:
                reason = "%s: %s" % (type(exc).__name__, exc)
            if reason:
                self._warn(_(warning).format(prog=PROG, reason=reason))

    def _warn(self, text):
        with contextlib.suppress(Exception):
            self.warn(text)


_NOTHING = object()


def _contents(transaction):
    """The configuration file before the run and at its end (bytes, or None
    for no file), from the transaction: _NOTHING for what it cannot tell."""
    from .transaction import CONFIG_FILES

    saved = getattr(getattr(transaction, "copy", None), "saved", None)
    if not isinstance(saved, dict):
        return _NOTHING, _NOTHING
    after = getattr(transaction, "after", None)
    if not isinstance(after, dict) or CONFIG_FILES[0] not in after:
        return saved.get(CONFIG_FILES[0]), _NOTHING
    return saved.get(CONFIG_FILES[0]), after[CONFIG_FILES[0]]
