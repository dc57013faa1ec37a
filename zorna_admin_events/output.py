"""Where the command's output goes: the terminal, a pager, a pipe or nowhere.

- Colour and a pager only for a terminal: never when standard output is not
  one, nor with NO_COLOR set or TERM=dumb.  --no-pager writes straight to the
  terminal.
- The pager is $PAGER when set (empty or "cat": none), otherwise less with
  options that leave short output on the screen and the text there after q;
  LESS=FRX is set for it when LESS is unset, as git and systemd do.
- Looking never grants more: run with privileges on behalf of another user
  (through sudo, pkexec or doas, or set-user-ID), the pager is less in its
  secure mode (LESSSECURE=1: no shell command, editor or log file from it)
  and $PAGER is ignored, unless ZAE_PAGERSECURE says otherwise, as
  SYSTEMD_PAGERSECURE does for systemctl.
- A closed standard output, or a pipe whose reader has gone, ends the run
  quietly with status 141, as a shell expects of a program killed by
  SIGPIPE; but only once the run is over, so the change and its restart are
  still made.

The extension module shows text through ``pydoc.pipepager(text, cmd="less
-R")``, prints with ``print`` and colours it with ``Color``, names it looks
up in its namespace at each use; ``Output.install`` gives it its own of all
three.  What it shows or prints passes through ``Output.shown``: the control
characters that names and IDs read from a tree may hold are escaped
(escape.py), and only the colour codes of this run's own ``Color`` reach the
terminal as such; they stand in the text as markers no tree can know.
"""

import builtins
import errno
import os
import re
import sys

# Leave short output on the screen (-F), and the text there after q (-X); pass colours (-R).
DEFAULT_PAGER = "less -FRX"
# What LESS becomes for the pager when it is unset (for a $PAGER of less, too).
DEFAULT_LESS = "FRX"

# A boolean: true, the pager runs in its secure mode; false, it does not.
# Set either way, it also allows a pager named in $PAGER when privileged.
PAGER_SECURE_ENV = "ZAE_PAGERSECURE"
# Set by sudo, pkexec and doas for the command they run as root for a user.
ON_BEHALF_ENV = ("SUDO_UID", "PKEXEC_UID", "DOAS_USER")
# Variables that make less run a command of their own (an input preprocessor):
# dropped in secure mode.
LESS_COMMANDS_ENV = ("LESSOPEN", "LESSCLOSE")


class GuardedStdout:
    """Standard output that survives its reader going away.

    The first write or flush that fails because the pipe is broken or the
    descriptor closed points descriptor 1 at /dev/null (so that nothing
    later, the interpreter's final flush included, fails again), and marks
    the output lost; the run goes on.  A run that writes nothing (export to
    a file, --quiet) loses nothing, whatever standard output is.
    """

    LOST = (errno.EPIPE, errno.EBADF, errno.EINVAL)

    def __init__(self, stream):
        self.stream = stream
        self.lost = False

    def write(self, text):
        if self.stream is None:
            self.lost = self.lost or bool(text)
            return len(text)
        try:
            return self.stream.write(text)
        except OSError as exc:
            self._lose(exc)
            return len(text)

    def flush(self):
        if self.stream is not None:
            try:
                self.stream.flush()
            except OSError as exc:
                self._lose(exc)

    def _lose(self, exc):
        if exc.errno not in self.LOST:
            raise exc
        self.lost = True
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, self.stream.fileno())
            os.close(devnull)
        except (OSError, ValueError):
            self.stream = None

    def isatty(self):
        try:
            return self.stream is not None and self.stream.isatty()
        except (OSError, ValueError):
            return False

    def fileno(self):
        if self.stream is None:
            raise OSError(errno.EBADF, os.strerror(errno.EBADF))
        return self.stream.fileno()

    def __getattr__(self, name):  # encoding, errors, buffer...
        return getattr(self.stream, name)


def wants_colour(stdout, environ=os.environ):
    return stdout.isatty() and "NO_COLOR" not in environ and environ.get("TERM") != "dumb"


def on_behalf_of_another(environ=os.environ):
    """Whether this process has privileges on behalf of another user: root
    started through sudo, pkexec or doas, or an effective user that is not
    the real one."""
    euid = os.geteuid()
    if euid != os.getuid():
        return True
    return euid == 0 and any(name in environ for name in ON_BEHALF_ENV)


def _boolean(text):
    """A boolean as systemd reads one; None when it is none."""
    text = text.strip().lower()
    if text in ("1", "yes", "y", "true", "t", "on"):
        return True
    if text in ("0", "no", "n", "false", "f", "off"):
        return False
    return None


def pager_secure(environ=os.environ):
    """(secure mode, $PAGER allowed) for this run's pager."""
    setting = environ.get(PAGER_SECURE_ENV)
    if setting is None:
        secure = on_behalf_of_another(environ)
        return secure, not secure
    # A value that is no boolean is taken as true: secure.
    return _boolean(setting) is not False, True


def pager_command(environ=os.environ):
    """The pager to start, or None for none."""
    pager = environ.get("PAGER")
    if pager is not None and pager.strip() in ("", "cat"):
        return None
    if pager is None or not pager_secure(environ)[1]:
        return DEFAULT_PAGER
    return pager


def pager_environment(environ=os.environ):
    """The environment the pager runs in."""
    env = dict(environ)
    if "LESS" not in env:
        env["LESS"] = DEFAULT_LESS
    if pager_secure(environ)[0]:
        env["LESSSECURE"] = "1"
        for name in LESS_COMMANDS_ENV:
            env.pop(name, None)
    return env


class Output:
    """How this run shows text, decided once from the terminal and the environment."""

    def __init__(self, no_pager=False, environ=os.environ):
        self.stdout = sys.stdout if isinstance(sys.stdout, GuardedStdout) else GuardedStdout(sys.stdout)
        sys.stdout = self.stdout
        self.colour = wants_colour(self.stdout, environ)
        self.pager = pager_command(environ) if self.colour and not no_pager else None
        self.pager_env = pager_environment(environ)
        self._codes = {}
        self._markers = re.compile("(?!)")  # none before install

    @property
    def lost(self):
        return self.stdout.lost

    def shown(self, text):
        """The text as it may reach the terminal: control characters
        escaped, colour markers made this run's colour codes."""
        from .escape import escaped

        pieces = self._markers.split(text)
        return "".join(self._codes[piece] if i % 2 else escaped(piece) for i, piece in enumerate(pieces))

    def print(self, *args, **kwargs):
        """``print``, as the extension module calls it, of what may be shown."""
        builtins.print(*(self.shown(str(arg)) for arg in args), **kwargs)

    def page(self, text):
        """Show a whole text: through the pager, or written as it is."""
        text = self.shown(text)
        if self.pager is not None:
            import shutil
            import shlex

            try:
                program = shlex.split(self.pager)[0]
            except (ValueError, IndexError):
                program = None
            if program and shutil.which(program):
                self.stdout.flush()
                run_pager(text, self.pager, self.pager_env)
                return
        self.stdout.write(text)
        self.stdout.flush()

    def install(self, module):
        """Give the extension module this run's pager, print and colour
        markers (blank codes without colour)."""
        import secrets

        module.pydoc = _PagerFor(self)
        module.print = self.print
        colours = module.Color
        markers = {}
        for name, value in vars(colours).items():
            if not name.startswith("__") and isinstance(value, str):
                markers[name] = "\x00%s-%s\x00" % (name, secrets.token_hex(16))
                self._codes[markers[name]] = value if self.colour else ""
        self._markers = re.compile("(" + "|".join(map(re.escape, markers.values())) + ")" if markers else "(?!)")
        module.Color = type(colours.__name__, (), markers)


def run_pager(text, command, env):
    """Feed the text to the pager's standard input, as pydoc.pipepager does,
    but in the environment given (pydoc's own sets LESS on newer Pythons)."""
    import subprocess

    proc = subprocess.Popen(command, shell=True, stdin=subprocess.PIPE, errors="backslashreplace", env=env)
    try:
        with proc.stdin as pipe:
            try:
                pipe.write(text)
            except KeyboardInterrupt:
                pass
    except OSError:
        pass  # the pager was left before it read everything
    while True:
        try:
            proc.wait()
            break
        except KeyboardInterrupt:
            pass  # Ctrl-C in the pager is the pager's


def one_column(module):
    """Make every listing the module builds align its status column for the
    longest event ID of the catalogue, not only for the longest ID of its
    own list: the grouped listing is then one table.  The module computes
    the column as ``max(len(i) for i in ids) + 10`` through the `max` of its
    namespace."""
    import builtins

    longest = []

    def max_with_floor(*args, **kwargs):
        if not longest:
            longest.append(builtins.max(map(len, module.zorna_events.get_event_ids()), default=0))
        return builtins.max(builtins.max(*args, **kwargs), longest[0])

    module.max = max_with_floor


class _PagerFor:
    """Stands for the pydoc module where the extension module shows a text."""

    def __init__(self, output):
        self._output = output

    def pipepager(self, text, cmd=None, *args, **kwargs):
        self._output.page(text)
