"""Changes as the command and the Ansible module make them.

Shared by both, so that one request gives one result:

- the rule for path events: their audit rules are rebuilt only when their
  watched paths are set (``set_properties``);
- the checks of a file to import, the same ones the set commands make
  (``check_import``);
- what a change would do, event by event, without making it (``preview``,
  ``preview_import``).
"""

import json
import re
import sys
from pathlib import Path

from . import status
from .checks import BrokenFile, check_object, parse_json, read_regular
from .names import CURRENT_CONFIG_FILE, EVENT_LIST, FACILITIES, PRIORITIES, RESTART_FLAG, SPECIAL_EVENTS
from .status import AUDIT_RULES, FACILITY, PRIORITY, WATCH_PARAMETER, WATCH_SECTION, private
from .texts import N_, _

ENABLED = "enabled"

# Every character on which a rules file line ends, and NUL, which cuts it short.
LINE_ENDS = frozenset("\0\n\r\v\f\x1c\x1d\x1e\x85\u2028\u2029")
# Control characters, which a rule line or a watched path never holds.
CONTROLS = frozenset(map(chr, list(range(0x20)) + list(range(0x7f, 0xa0)))) | LINE_ENDS
# auditctl reads a key (the path, in our rules) as a field, an operator and a
# value, and takes the first of these for the operator.
OPERATORS = ("!=", "<=", ">=", "&=")
# auditd keeps a rule's key, which is the path, in at most this many bytes.
MAX_PATH_SIZE = 256
PATHS_RULE = N_("paths must be absolute, on one line, at most 256 bytes, "
                "with no backslash, control character, !=, <=, >= or &=")
# A rule line stored directly holds one rule that only watches: a watch, or
# an always rule of one of these lists, with no option but these.
RULE_OPTIONS = {"-w": ("-p", "-k"), "-a": ("-F", "-S", "-C", "-k"), "-A": ("-F", "-S", "-C", "-k")}
WATCHING_LISTS = ("exit", "task", "user", "io_uring")


def service_of(obj_or_class):
    """The event service as the extension module sees it now."""
    cls = obj_or_class if isinstance(obj_or_class, type) else type(obj_or_class)
    return sys.modules[cls.__module__].zorna_events


def is_watch(section, parameter):
    """Whether section/parameter holds a path event's watched paths."""
    return (section, parameter) == (WATCH_SECTION, WATCH_PARAMETER)


# --------------------------------------------------------------------------
# Properties of path events


def set_properties(obj, section, parameter, value):
    """Store one property on the object's events; False when it is refused
    (why has been printed, and nothing is stored).

    The class rebuilds a path event's audit rules from whatever property is
    stored on it, and so refuses any value but paths there.  Here only the
    watched paths go through the class for a path event; any other property
    of it is stored as it is, and its rules stay as they are.  Its rules
    themselves are not set directly: they follow its watched paths.
    """
    events = getattr(obj, EVENT_LIST)
    path_events = getattr(obj, SPECIAL_EVENTS, ())
    direct = [] if is_watch(section, parameter) else [e for e in events or () if e in path_events]
    if not direct:
        if (section, parameter) == ("", AUDIT_RULES) and events:
            problem = next(filter(None, map(rule_problem, _texts(_decoded(value)))), None)
            if problem:
                print("{}: {} ({})".format(_("Invalid VALUE"), value, problem))
                return False
        obj.set_properties(section, parameter, value)
        return getattr(obj, RESTART_FLAG, True)
    if (section, parameter) == ("", AUDIT_RULES):
        print("{}: {} ({})".format(
            _("Invalid VALUE"), value,
            _("the audit rules of {event} follow its watched paths: set {section} {parameter}").format(
                event=direct[0], section=WATCH_SECTION, parameter=WATCH_PARAMETER)))
        return False
    others = [e for e in events if e not in direct]
    if others:
        setattr(obj, EVENT_LIST, others)
        try:
            obj.set_properties(section, parameter, value)
        finally:
            setattr(obj, EVENT_LIST, events)
        if not getattr(obj, RESTART_FLAG, True):
            return False
    for event in direct:
        setattr(obj, RESTART_FLAG, True)
        service_of(obj).set_event_param(event, section, parameter, value)
    return True


# --------------------------------------------------------------------------
# Checks of a file to import


def is_one_line(text):
    return isinstance(text, str) and not LINE_ENDS.intersection(text)


def _decoded(value):
    try:
        return json.loads(value)
    except (TypeError, ValueError):  # the class says why
        return None


def _texts(value):
    """The strs of a decoded list (nothing for anything else: the class refuses it)."""
    return [item for item in value if isinstance(item, str)] if isinstance(value, list) else []


def shown(text):
    """A path or rule as JSON on one line, all in ASCII escapes when it
    holds a character that is not printable."""
    return json.dumps(text, ensure_ascii=not (isinstance(text, str) and text.isprintable()))


def path_problem(event, path):
    """Why a watched path cannot go into an audit rule that auditctl reads
    back as the same path, or None."""
    try:
        size = len(path.encode("utf-8")) if isinstance(path, str) else None
    except UnicodeEncodeError:
        size = None
    if (size is None or size > MAX_PATH_SIZE or not path.startswith("/") or "\\" in path
            or CONTROLS.intersection(path) or any(op in path for op in OPERATORS)):
        return _(PATHS_RULE)
    if event == "file-opened" and path.endswith("/"):
        return _("paths of file-opened must name files, not end in /")
    return None


def rule_words(rule):
    """The words auditctl makes of a rule line (split at spaces, "\\ " a space
    within a word), or None for a line with a backslash that escapes
    anything else, or with a control character."""
    if CONTROLS.intersection(rule) or re.search(r"\\(?! )", rule):
        return None
    return [word.replace("\\ ", " ") for word in re.split(r"(?<!\\) +", rule) if word]


def rule_problem(rule):
    """Why a rule line stored directly is not one rule that only watches, or None."""
    words = rule_words(rule)
    if words and len(words) % 2 == 0 and words[0] in RULE_OPTIONS:
        options, arguments = words[::2], words[1::2]
        lists = arguments[0].split(",")
        if (all(option in RULE_OPTIONS[words[0]] for option in options[1:])
                and (words[0] == "-w" or len(lists) == 2 and "always" in lists
                     and any(name in WATCHING_LISTS for name in lists))):
            return None
    return "{}: {}".format(shown(rule), _(
        "not one audit rule that only watches (-w, or -a always with -F, -S, -C and -k); "
        "control options such as -e or -D are refused"))


def paths_of(value):
    """The paths a value names, as the class reads them."""
    if isinstance(value, str):
        return [value]
    return list(value) if isinstance(value, (list, dict)) else None


def entry_problems(event, entry, settings, path_event, build_rules):
    """(field, reason) for each thing in an event's imported settings that
    the set commands would refuse.  ``settings`` are the event's settings
    once imported (its defaults merged with the entry); ``build_rules``
    makes the rules of an event's paths, as the class stores them."""
    if not isinstance(entry, dict):
        yield "", _("the settings of an event must be a JSON object")
        return
    for key, item in entry.items():
        if key == "" or (isinstance(item, dict) and "" in item):
            yield key, _("a parameter name must not be empty")
    if ENABLED in entry and entry[ENABLED] not in ("0", "1"):
        yield ENABLED, _("must be \"0\" or \"1\"")
    for key, names in ((FACILITY, FACILITIES), (PRIORITY, PRIORITIES)):
        if key in entry and status.decoded_text(entry[key]) not in names:
            yield key, _("{value} is not one of: {names}").format(value=json.dumps(entry[key]), names=" ".join(names))
    rules = settings.get(AUDIT_RULES)
    if AUDIT_RULES in entry and not (isinstance(rules, list) and all(is_one_line(rule) for rule in rules)):
        yield AUDIT_RULES, _("must be a list of rule lines, each on one line")
        return
    if AUDIT_RULES in entry and not path_event:
        for problem in filter(None, map(rule_problem, rules)):
            yield AUDIT_RULES, problem
            return
    if not path_event or not (AUDIT_RULES in entry or status.setting(entry, WATCH_SECTION, WATCH_PARAMETER) is not None):
        return
    field = WATCH_SECTION + "/" + WATCH_PARAMETER
    paths = paths_of(status.setting(settings, WATCH_SECTION, WATCH_PARAMETER))
    if paths is None:
        yield field, _("a path event needs its watched paths")
        return
    for path in paths:
        problem = path_problem(event, path)
        if problem:
            yield field, "{}: {}".format(shown(path), problem)
            return
    if rules not in build_rules(event, paths):
        yield AUDIT_RULES, _("the rules do not watch the paths of {field}").format(field=field)


def check_import(cls, path, shown):
    """The document of the file to import (``shown`` as named), and one
    line per problem, each naming the event and the field; nothing is
    changed."""
    document = parse_json(shown, read_regular(path))
    check_object(shown, document)
    known = set(service_of(cls).get_event_ids())
    obj = imported_view(cls, path)
    path_events = private(cls, "special_events")
    builder = status.build(cls, None, None)[0]

    def build_rules(event, paths):
        """The rules of the paths on this machine, and on each machine the
        class has a rule builder for (rules made elsewhere import as they are)."""
        machines = [private(cls, "arch")] + list(private(cls, "audit_rules"))
        built = []
        for machine in machines if event == "file-opened" else machines[:1]:
            setattr(builder, status.PRIVATE + "arch", machine)
            built.append(json.loads(private(builder, "process_path_value")(event, paths)))
        return built

    problems = []
    for event, entry in document.items():
        if event not in known:
            problems.append(_("{file}: {event}: unknown event").format(file=shown, event=event))
            continue
        settings = private(obj, "get_event_config")(event) if isinstance(entry, dict) else {}
        for field, reason in entry_problems(event, entry, settings, event in path_events, build_rules):
            problems.append("{}: {}: {}: {}".format(shown, event, field, reason) if field else
                            "{}: {}: {}".format(shown, event, reason))
    return document, problems


def imported_view(cls, path):
    """An object of the class that reads ``path`` as the current configuration."""
    obj = status.build(cls, None, None)[0]
    setattr(obj, CURRENT_CONFIG_FILE, Path(path))
    return obj


def left_out(cls, document):
    """The events that have settings of their own now and that the file
    leaves out: an import gives them their defaults."""
    try:
        current = getattr(cls, CURRENT_CONFIG_FILE)
        now = parse_json(current, read_regular(current))
    except (FileNotFoundError, BrokenFile):  # nothing to tell of a broken one, which import replaces
        return []
    return [event for event in now if event not in document] if isinstance(now, dict) else []


# --------------------------------------------------------------------------
# What a change would do


class RecordingService:
    """The event service for a change that is only shown: reads go to the
    real service, changes are recorded and answered from the record."""

    def __init__(self, real):
        self._real = real
        self.stores = []   # (event, section, parameter, JSON text)
        self.enabled = {}  # event -> 0/1 after the change

    def __getattr__(self, name):
        return getattr(self._real, name)

    def is_event_enabled(self, event):
        return self.enabled[event] if event in self.enabled else self._real.is_event_enabled(event)

    def enable_event(self, event):
        self.enabled[event] = 1

    def disable_event(self, event):
        self.enabled[event] = 0

    def set_event_param(self, event, section, parameter, value):
        json.loads(value)
        self.stores.append((event, section, parameter, value))


def flat(event_status):
    """An event as a change shows it: its enabled state and each setting,
    section/parameter for those inside a section."""
    view = {ENABLED: event_status.enabled}
    for key, value in event_status.settings.items():
        if key == ENABLED:
            continue
        if isinstance(value, dict):
            for parameter, item in value.items():
                view[key + "/" + parameter] = item
        else:
            view[key] = status.decoded_text(value) if key in (FACILITY, PRIORITY) else value
    return view


def preview(obj, call):
    """What ``call(obj)`` would change: {event: (before, after)} for every
    event it would touch, what the class printed meanwhile, and whether the
    call was accepted.  Nothing is written."""
    cls = type(obj)
    module = sys.modules[cls.__module__]
    recording = RecordingService(module.zorna_events)
    module.zorna_events = recording
    try:
        with status.captured_stdout() as printed:
            accepted = call(obj)
    finally:
        module.zorna_events = recording._real
    if not accepted:
        return {}, printed.getvalue(), False
    touched = []
    for event in list(recording.enabled) + [store[0] for store in recording.stores]:
        if event not in touched:
            touched.append(event)
    befores = {e.id: flat(e) for e in status.read_status(cls, touched, None).events} if touched else {}
    views = {}
    for event in touched:
        after = dict(befores[event])
        if event in recording.enabled:
            after[ENABLED] = recording.enabled[event] == 1
        for store_event, section, parameter, value in recording.stores:
            if store_event == event:
                key = parameter if section == "" else section + "/" + parameter
                decoded = json.loads(value)
                after[key] = status.decoded_text(decoded) if key in (FACILITY, PRIORITY) else decoded
        views[event] = (befores[event], after)
    return views, printed.getvalue(), True


def preview_import(cls, path, document):
    """What importing ``document`` (read from ``path``) would change, and
    the error met reading the current configuration, or None.  Import
    replaces a current configuration that cannot be read: every setting is
    then shown as unknown before."""
    obj = imported_view(cls, path)
    try:
        current = getattr(cls, CURRENT_CONFIG_FILE)
        if current.exists():
            check_object(current, parse_json(current, read_regular(current)), entries_too=True)
        events = [(event, flat(event)) for event in status.read_status(cls).events if event.group is not None]
        unreadable = None
    except Exception as exc:  # the service's own refusal of the file included
        unreadable = exc
        events = [(event, {}) for event in _events_by_group(cls, obj)]
    views = {}
    for event, before in events:
        settings = private(obj, "get_event_config")(event.id)
        enabled = settings.get(ENABLED, "1") in ("1", 1, True)
        after = status.EventStatus(event.id, event.group, enabled, settings, event.path_event)
        views[event.id] = (before, flat(after))
    return views, unreadable


def _events_by_group(cls, obj):
    """Every event that a group holds, read without the current configuration."""
    service = service_of(cls)
    groups = service.get_group_ids()
    grouped = private(obj, "get_grouped_events")(groups)
    group_of = {}
    for group in groups:
        for event in grouped[group]:
            group_of.setdefault(event, group)
    path_events = private(cls, "special_events")
    return [status.EventStatus(event, group, None, {}, event in path_events)
            for event, group in sorted(group_of.items(), key=lambda item: (item[1], item[0]))]


def difference_lines(views, unchanged=True):
    """Per event, one line for each setting that would change; with
    ``unchanged``, one line for each event that would not."""
    lines = []
    for event, (before, after) in views.items():
        keys = [key for key in list(before) + [k for k in after if k not in before]
                if before.get(key) != after.get(key)]
        if not keys and unchanged:
            lines.append("{}\t{}".format(event, _("no change")))
        for key in keys:
            lines.append("{}\t{}: {} -> {}".format(event, key, _shown(before.get(key)), _shown(after.get(key))))
    return lines


def _shown(value):
    return "-" if value is None else json.dumps(value, ensure_ascii=False)
