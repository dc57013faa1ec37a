"""The module's own steps against the same steps written in plain Python.

For the steps where the module does work of its own besides the outside
calls (parsing the catalogue's records, the membership test of every
scanned file, the listing lines, sorting and rendering settings, audit rule
lines), this times the module's private method and the plain Python loop
that does the same, on the same input, with the in-memory service.  A
module step slower than its Python loop adds cost of its own making.

    python bench/compare.py [--size 1000]
"""
from __future__ import annotations

import argparse
import json
import os
import shutil
import sys
import tempfile
import timeit
from pathlib import Path

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

import tree as trees  # noqa: E402
from report import duration, table  # noqa: E402
from scenarios import Environment, ZornaAdminEvents, admin_events  # noqa: E402
from services import make_service  # noqa: E402

P = "_ZornaAdminEvents__"


def per_call(function, seconds: float = 0.2) -> float:
    """Nanoseconds per call: best of five samples of about `seconds` / 5 each."""
    number, elapsed = 1, 0.0
    while elapsed < seconds / 5:
        number *= 2
        elapsed = timeit.timeit(function, number=number)
    return min(timeit.repeat(function, number=number, repeat=5)) / number * 1e9


# ---- the same steps in plain Python ------------------------------------------------

def py_descriptions(zorna_events):
    result_dict = {}
    for event in zorna_events.get_event_ids_ex(2):
        event_content = event.split(",")
        result_dict[event_content[0]] = {"name_en": event_content[1][1:-1], "name_ru": event_content[2][1:-1]}
    return result_dict


def py_events_of_group(zorna_events, default_config_dir, group_id, as_set=True):
    group_dir = default_config_dir / group_id
    result = []
    for entry in group_dir.iterdir():
        if entry.is_file() and entry.name != group_dir.name:
            known = zorna_events.get_event_ids()
            if entry.name in (set(known) if as_set else known):
                result.append(entry.name)
    return result


def py_listing(zorna_events, descriptions, lang, color, id_list):
    spacing = max(len(_id) for _id in id_list) + 10
    mylist = []
    for _id in id_list:
        mylist.append(f"{_id}{' ' * (spacing - len(_id))}{zorna_events.is_event_enabled(_id)} "
                      f"{color.GREY}{descriptions[_id][lang]}{color.END}")
    return "\n".join(mylist)


def py_sort(dictionary):
    ordered = dict(sorted(dictionary.items()))
    for key in ordered:
        if isinstance(ordered[key], dict):
            ordered[key] = py_sort(ordered[key])
    return ordered


def py_render(dictionary, translations, indent=0):
    result = ""
    for key, value in dictionary.items():
        prefix = "    " * indent
        if isinstance(value, dict):
            entry = translations.get(key, {}) if translations else {}
            translation = f"({entry['ru']})" if "ru" in entry else ""
            result += f"{prefix}{key}{translation}:\n{py_render(value, translations, indent + 1)}"
        else:
            result += f"{prefix}{key}: {str(value).replace(chr(39), chr(34))}\n"
    return result + "\n"


def py_rules(event_id, value, rule):
    result_list = []
    for path in [value] if isinstance(value, str) else value:
        escaped_path = path.replace(" ", "\\ ")
        if event_id != "file-opened":
            result_list.append(f"-w {escaped_path} -p wa -k {escaped_path}")
        else:
            result_list.append(rule(escaped_path))
    return json.dumps(result_list, ensure_ascii=False)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description="Time the module's own steps against plain Python.")
    parser.add_argument("--size", type=int, default=1000)
    parser.add_argument("--seconds", type=float, default=0.2, help="time spent on each side of each step")
    args = parser.parse_args(argv)
    base = Path(tempfile.mkdtemp(prefix="zae-compare-"))
    rows = []
    try:
        tree = trees.build(base / "tree", args.size)
        env = Environment(make_service("memory", tree))
        with env.installed():
            events = admin_events.zorna_events
            obj = ZornaAdminEvents(None, list(tree.group_ids))
            config_dir = getattr(ZornaAdminEvents, P + "default_config_dir")
            group = tree.middle_group()
            members = sorted(tree.members[group])
            descriptions = getattr(obj, P + "event_description")
            settings = json.loads((config_dir / tree.group_ids[0] / tree.event_ids[0]).read_text())
            translations = json.loads(tree.translations_file.read_text())
            setattr(obj, P + "event_section_translations", translations)
            ordered = py_sort(settings)
            rules = getattr(ZornaAdminEvents, P + "audit_rules")
            rule = rules.get(getattr(ZornaAdminEvents, P + "arch"), rules["b64"])
            paths = ["/etc/shadow", "/var/log/audit log", "/srv/data"]
            process_event = getattr(obj, P + "process_path_value")
            # Both sides must give the same result, or the comparison means nothing.
            checks = [
                (getattr(ZornaAdminEvents, P + "get_all_event_description")(), py_descriptions(events)),
                (getattr(ZornaAdminEvents, P + "get_events_by_group_id")(group),
                 py_events_of_group(events, config_dir, group)),
                (obj._ZornaAdminEvents__get_multiple_string(members),
                 py_listing(events, descriptions, admin_events.LANG, admin_events.Color, members)),
                (ZornaAdminEvents._ZornaAdminEvents__sort_nested_dict(settings), ordered),
                (obj._ZornaAdminEvents__get_event_config_string(ordered), py_render(ordered, translations)),
                (process_event("file-opened", paths), py_rules("file-opened", paths, rule)),
            ]
            for number, (module_result, python_result) in enumerate(checks):
                if module_result != python_result:
                    raise SystemExit(f"step {number}: the module and the Python loop disagree")
            steps = [
                ("descriptions of all events", f"{args.size:,} records",
                 getattr(ZornaAdminEvents, P + "get_all_event_description"), lambda: py_descriptions(events)),
                ("events of one group (set per file)", "100 files",
                 lambda: ZornaAdminEvents._ZornaAdminEvents__get_events_by_group_id(group),
                 lambda: py_events_of_group(events, config_dir, group)),
                ("events of one group (`in` the list)", "100 files", None,
                 lambda: py_events_of_group(events, config_dir, group, as_set=False)),
                ("listing lines", "100 events", lambda: obj._ZornaAdminEvents__get_multiple_string(members),
                 lambda: py_listing(events, descriptions, admin_events.LANG, admin_events.Color, members)),
                ("sort settings", "1 event", lambda: ZornaAdminEvents._ZornaAdminEvents__sort_nested_dict(settings),
                 lambda: py_sort(settings)),
                ("render settings", "1 event", lambda: obj._ZornaAdminEvents__get_event_config_string(ordered),
                 lambda: py_render(ordered, translations)),
                ("audit rule lines", "3 paths", lambda: process_event("file-opened", paths),
                 lambda: py_rules("file-opened", paths, rule)),
            ]
            sink, sys.stdout = sys.stdout, open(os.devnull, "w")
            try:
                for name, unit, module_step, python_step in steps:
                    module_ns = per_call(module_step, args.seconds) if module_step else None
                    python_ns = per_call(python_step, args.seconds)
                    rows.append((name, unit, duration(module_ns) if module_ns else "",
                                 duration(python_ns), f"{module_ns / python_ns:.2f}" if module_ns else ""))
            finally:
                sys.stdout.close()
                sys.stdout = sink
    finally:
        shutil.rmtree(base, ignore_errors=True)
    print(f"{args.size:,} events, in-memory service\n")
    print(table(rows, ("step", "input", "module", "plain Python", "module / Python"), right=(2, 3, 4)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
