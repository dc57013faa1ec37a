"""Audit rules as the kernel gives them back.

The class stores each rule as the line given to auditctl; ``auditctl -l``
prints the rules the kernel holds in a form of its own:

    stored:  -w /srv/a\\ b -p wa -k /srv/a\\ b
    kernel:  -w /srv/a b -p wa -k /srv/a b
    stored:  -a always,exit -F arch=x86_64 -F path=/etc/shadow -S open,openat -k /etc/shadow
    kernel:  -a always,exit -F arch=b64 -S open,openat -F path=/etc/shadow -F key=/etc/shadow

Escaped blanks read back as blanks, a machine name as the word size of its
system-call table (b64 or b32), a watch's permissions in the order r, w, x,
a, system calls in the order of their numbers, and the fields of a
system-call rule in the kernel's order with its key as a field.  Two rules
with one kernel form are one rule: arch=b64 and arch=x86_64 on the same
machine, for example.

This is the one place that knows the mapping: the command's ``verify`` and
``--dry-run``, the Ansible modules and the tests all use it.
"""

import os
import re
import stat

# The word size of the system-call table each machine name selects
# (auditctl's own table, for the machines the class builds rules for and
# their neighbours).
ARCH_BITS = {
    "b64": "b64", "b32": "b32",
    "x86_64": "b64", "aarch64": "b64", "ppc64": "b64", "ppc64le": "b64", "s390x": "b64", "riscv64": "b64",
    "i386": "b32", "i486": "b32", "i586": "b32", "i686": "b32", "armv7l": "b32", "armeb": "b32", "s390": "b32",
}
PERMISSIONS = "rwxa"
# open has the lower number in every table that has both.
CALL_ORDER = {"open": 0, "openat": 1}

_BLANK = re.compile(r"(?<!\\) ")
# Kernel forms of the rules the class builds: the key is the path.
_OUR_WATCH = re.compile(r"-w (?P<path>.+) -p wa -k (?P=path)")
_OUR_SYSCALL = re.compile(r"-a always,exit -F arch=b(?:64|32) -S (?:open,)?openat -F path=(?P<path>.+) -F key=(?P=path)")


def _unescaped(text):
    return text.replace("\\ ", " ")


def _fields(rule):
    """The words of a stored rule line: split at blanks that are not escaped."""
    return _BLANK.split(rule)


def _watch(words):
    if len(words) != 6 or words[0] != "-w" or words[2] != "-p" or words[4] != "-k":
        return None
    permissions = words[3]
    if not permissions or set(permissions) - set(PERMISSIONS):
        return None
    ordered = "".join(p for p in PERMISSIONS if p in permissions)
    return "-w {} -p {} -k {}".format(_unescaped(words[1]), ordered, _unescaped(words[5]))


def _syscall(words):
    if (len(words) != 10 or words[:2] != ["-a", "always,exit"] or words[2] != "-F" or words[4] != "-F"
            or words[6] != "-S" or words[8] != "-k"):
        return None
    arch, path = words[3], words[5]
    if not arch.startswith("arch=") or not path.startswith("path="):
        return None
    bits = ARCH_BITS.get(arch[len("arch="):])
    if bits is None:
        return None
    calls = words[7].split(",")
    if all(call in CALL_ORDER for call in calls):
        calls = sorted(set(calls), key=CALL_ORDER.get)
    return "-a always,exit -F arch={} -S {} -F path={} -F key={}".format(
        bits, ",".join(calls), _unescaped(path[len("path="):]), _unescaped(words[9]))


def kernel_form(rule):
    """The line ``auditctl -l`` prints for the stored rule line ``rule``.

    Exact for the watch rules (``-w PATH -p PERMS -k KEY``) and system-call
    rules (``-a always,exit -F arch=A -F path=PATH -S CALLS -k KEY``) that
    the class builds; any other line only has its escaped blanks read back.
    """
    words = _fields(rule)
    form = _watch(words) or _syscall(words)
    return form if form is not None else _unescaped(rule)


def kernel_forms(rules):
    """The kernel forms of a list of stored rules (not a list: none)."""
    if not isinstance(rules, list):
        return []
    return [kernel_form(rule) for rule in rules if isinstance(rule, str)]


def watched_path(kernel_line):
    """The path of a kernel rule line of the forms the class builds (its key
    is its path), or None for any other rule."""
    match = _OUR_WATCH.fullmatch(kernel_line) or _OUR_SYSCALL.fullmatch(kernel_line)
    return match.group("path") if match else None


def is_syscall_rule(kernel_line):
    return kernel_line.startswith("-a ")


def parse_listing(text):
    """The rule lines of the output of ``auditctl -l``."""
    lines = [line for line in text.splitlines() if line.strip()]
    return [] if lines == ["No rules"] else lines


def missing_directories(paths, root=None):
    """(path, directory) for each watched path whose directory does not
    exist (under ``root``, a directory, when given): auditd refuses a watch
    there, and loads no rule after it."""
    base = None
    if root is not None:
        from .tree import open_root

        base = open_root(root).proc  # a tree is reached through its descriptor
    missing = []
    for path in paths:
        if not isinstance(path, str):
            continue
        directory = os.path.dirname(path)
        if not (os.path.isdir("/" + directory.lstrip("/")) if base is None else is_dir_under(base, directory)):
            missing.append((path, directory))
    return missing


def is_dir_under(root, directory, max_links=40):
    """Whether ``directory`` is one in the tree ``root``, as the system
    booted from that tree would see it: symbolic links in the tree are
    followed within it (an absolute one from the tree's root, ".." never
    above it), so that nothing outside the tree is looked at."""
    parts = [part for part in directory.split("/") if part not in ("", ".")]
    inside = []
    while parts:
        part = parts.pop(0)
        if part == "..":
            inside = inside[:-1]
            continue
        candidate = os.path.join(root, *inside, part)
        try:
            mode = os.lstat(candidate).st_mode
        except (OSError, ValueError):
            return False
        if stat.S_ISLNK(mode):
            max_links -= 1
            if max_links < 0:
                return False
            target = os.readlink(candidate)
            if target.startswith("/"):
                inside = []
            parts = [p for p in target.split("/") if p not in ("", ".")] + parts
        elif stat.S_ISDIR(mode):
            inside.append(part)
        else:
            return False
    return True
