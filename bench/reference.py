"""The class's steps written as plain Python, for the benchmarks only.

compare.py runs this module as it is and compiled with Cython (the same
source, built by `cythonize`), and times both against the native module on
the same input.  It does the work the native module does, its argument
checks and safety checks included, so that the three columns compare like
with like; compare.py refuses to report when the results differ.
"""
import gettext
import json
import os
import platform
import pydoc
from pathlib import Path
from typing import Optional

import zorna_events
from zorna_event_config_manager.config_manager import ZornaConfigManager

_ = gettext.gettext
LANG = "name_en"


class Color:
    END = "\x1b[0m"
    GREY = "\x1b[90m"


def _require_text_ids(id_list, parameter):
    if id_list is None:
        return
    for index, item in enumerate(id_list):
        if not isinstance(item, str):
            raise TypeError(f"{parameter} must hold str IDs only, not {type(item).__name__} (item {index})")


class ZornaAdminEvents:
    __default_config_dir = Path("/usr/share/syslog-ng-mod-zorna/event-settings")
    __current_config_file = Path("/etc/zorna-syslog.conf")
    __param_ru_translations_file = Path("/etc/vek-admin-events/eventsdictionary.json")
    __arch = platform.machine()
    __audit_rules = {
        "b64": lambda p: f"-a always,exit -F arch=b64 -F path={p} -S open,openat -k {p}",
        "x86_64": lambda p: f"-a always,exit -F arch=x86_64 -F path={p} -S open,openat -k {p}",
        "aarch64": lambda p: f"-a always,exit -F arch=aarch64 -F path={p} -S openat -k {p}",
        "armv7l": lambda p: f"-a always,exit -F arch=armv7l -F path={p} -S open,openat -k {p}",
    }
    __special_events = {"modifying-file", "modifying-directory", "file-opened"}

    def __init__(self, event_id_list: Optional[list], group_id_list: Optional[list]):
        _require_text_ids(event_id_list, "event_id_list")
        _require_text_ids(group_id_list, "group_id_list")
        self.__event_id_list = event_id_list
        self.__group_id_list = group_id_list
        self.__event_section_translations = None
        self.__need_daemon_restart = False
        self.__prepare_groups()
        self.__prepare_events()
        self.__event_description = self.__get_all_event_description()
        self.__group_description = self.__get_all_group_description()

    def show_all_groups(self):
        self.__group_id_list = zorna_events.get_group_ids()
        self.__show_groups()

    def show_groups(self):
        self.__show_groups()

    def show_events(self):
        self.__load_event_section_translations()
        blocks = []
        for event_id in self.__event_id_list:
            config = self.__get_event_config(event_id)
            blocks.append(f"----------{event_id}----------\n{self.__get_event_config_string(config)}")
        pydoc.pipepager(text="\n".join(blocks), cmd="less -R")

    def enable(self):
        self.__process_ids(zorna_events.enable_event)

    def disable(self):
        self.__process_ids(zorna_events.disable_event)

    def set_priority(self, priority: Optional[str]):
        self.__set_syslog_message_param("priority", priority)

    def set_facility(self, facility: Optional[str]):
        self.__set_syslog_message_param("facility", facility)

    def set_properties(self, section: Optional[str], parameter: Optional[str], value: Optional[str]):
        try:
            json_value = json.loads(value)
        except json.decoder.JSONDecodeError:
            print(_("The VALUE should be in JSON format"))
            return
        if not isinstance(json_value, (str, dict, list)):
            print(f"{_('Invalid VALUE')}: {value} ({type(json_value)})")
            return
        if self.__names_path_event() and not self.__paths_usable(json_value):
            print(f"{_('Invalid VALUE')}: {value} ({_('paths must be strings without line breaks')})")
            return
        self.__need_daemon_restart = True
        for event_id in self.__event_id_list:
            zorna_events.set_event_param(event_id, section, parameter, value)
            if event_id in self.__special_events:
                zorna_events.set_event_param(event_id, "", "message-audit-rules",
                                             self.__process_path_value(event_id, json_value))

    @staticmethod
    def export_config(file_path: Optional[str]):
        ZornaConfigManager().export_config(Path(file_path))

    def import_config(self, input_file: Optional[str]):
        ZornaConfigManager().import_config(Path(input_file))
        self.__need_daemon_restart = True

    def restart_daemons(self):
        if not self.__need_daemon_restart:
            return
        os.system("systemctl restart syslog-ng.service")
        os.system("systemctl restart auditd")

    def __prepare_groups(self):
        self.__drop_unknown("_ZornaAdminEvents__group_id_list", zorna_events.get_group_ids, "Unknown group ID")

    def __prepare_events(self):
        self.__drop_unknown("_ZornaAdminEvents__event_id_list", zorna_events.get_event_ids, "Unknown event ID")

    def __drop_unknown(self, attribute, catalogue, label):
        if not getattr(self, attribute):
            return
        known = set(catalogue())
        for _id in getattr(self, attribute).copy():
            if _id not in known:
                getattr(self, attribute).remove(_id)
                print(f"{_(label)}: {_id}")

    def __show_groups(self):
        result_strings = []
        event_status = self.__get_grouped_events(self.__group_id_list)
        for group_id, events in event_status.items():
            result_strings.append(self.__get_group_string(group_id))
            result_strings.append(self.__get_multiple_string(events) + "\n")
        pydoc.pipepager("\n".join(result_strings), cmd="less -R")

    def __process_group(self, group_id: Optional[str], action):
        for event_id in self.__get_events_by_group_id(group_id):
            self.__process_event(event_id, action)

    def __process_ids(self, action):
        if self.__event_id_list:
            for event_id in self.__event_id_list:
                self.__process_event(event_id, action)
            print(self.__get_multiple_string(self.__event_id_list))
        if self.__group_id_list:
            for group_id in self.__group_id_list:
                self.__process_group(group_id, action)
            print(self.__get_multiple_string(self.__group_id_list,
                                             new_status=1 if action == zorna_events.enable_event else 0))

    def __process_event(self, event_id: Optional[str], action):
        if action == zorna_events.enable_event:
            must_change = zorna_events.is_event_enabled(event_id) == 0
        else:
            must_change = zorna_events.is_event_enabled(event_id) == 1
        if must_change:
            self.__need_daemon_restart = True
            action(event_id)

    def __set_syslog_message_param(self, param_type: Optional[str], param_value: Optional[str]):
        if self.__event_id_list:
            for event_id in self.__event_id_list:
                self.__store_syslog_param(event_id, param_type, param_value)
        if self.__group_id_list:
            for group_id in self.__group_id_list:
                for event_id in self.__get_events_by_group_id(group_id):
                    self.__store_syslog_param(event_id, param_type, param_value)
        self.__need_daemon_restart = True

    def __store_syslog_param(self, event_id, param_type, param_value):
        zorna_events.set_event_param(event_id, "", f"message-syslog-{param_type}",
                                     json.dumps(str(param_value), ensure_ascii=False))
        print(f"{event_id}\t{param_type}: {param_value}")

    def __get_multiple_string(self, id_list: Optional[list], new_status: int = None):
        if id_list is not None and len(id_list) == 0:
            return ""
        spacing = max(len(_id) for _id in id_list) + 10
        mylist = []
        for _id in id_list:
            if new_status is None:
                mylist.append(f"{_id}{' ' * (spacing - len(_id))}{zorna_events.is_event_enabled(_id)} "
                              f"{Color.GREY}{self.__event_description[_id][LANG]}{Color.END}")
            else:
                mylist.append(f"{_id}{' ' * (spacing - len(_id))}{new_status} "
                              f"{Color.GREY}{self.__group_description[_id][LANG]}{Color.END}")
        return "\n".join(mylist)

    def __get_group_string(self, group_id: Optional[str]):
        return f"{self.__group_description[group_id][LANG]} {Color.GREY + group_id + Color.END}"

    @staticmethod
    def __get_events_by_group_id(group_id: Optional[str]):
        group_dir = ZornaAdminEvents.__default_config_dir / group_id
        result = []
        for entry in group_dir.iterdir():
            if entry.is_file() and entry.name != group_dir.name:
                if entry.name in set(zorna_events.get_event_ids()):
                    result.append(entry.name)
        return result

    @staticmethod
    def __get_all_event_description():
        result_dict = {}
        for event in zorna_events.get_event_ids_ex(2):
            content = event.split(",")
            result_dict[content[0]] = {"name_en": content[1][1:-1], "name_ru": content[2][1:-1]}
        return result_dict

    @staticmethod
    def __get_all_group_description():
        result_dict = {}
        for group in zorna_events.get_group_ids_ex(2):
            content = group.split(",")
            result_dict[content[0]] = {"name_en": content[1][1:-1], "name_ru": content[2][1:-1]}
        return result_dict

    def __get_grouped_events(self, group_id_list: Optional[list]):
        result = {}
        for group_id in sorted(group_id_list):
            result[group_id] = sorted(self.__get_events_by_group_id(group_id))
        return result

    def __get_event_group(self, event_id: Optional[str]):
        for group_id in zorna_events.get_group_ids():
            if event_id in self.__get_events_by_group_id(group_id):
                return group_id
        return None

    def __get_event_config(self, event_id: Optional[str]):
        def merge_settings(default_settings, current_settings):
            for k, v in current_settings.items():
                if isinstance(v, dict) and isinstance(default_settings.get(k), dict):
                    merge_settings(default_settings[k], v)
                else:
                    default_settings[k] = v

        group_id = self.__get_event_group(event_id)
        with (self.__default_config_dir / group_id / event_id).open() as f:
            default_settings = json.load(f)
        current_settings = {}
        if self.__current_config_file.exists():
            with self.__current_config_file.open() as f:
                current_settings = json.load(f).get(event_id, {})
        if "enabled" not in current_settings:
            default_settings.setdefault("enabled", "1")
        merge_settings(default_settings, current_settings)
        return self.__sort_nested_dict(default_settings)

    def __get_event_section_translation(self, key: Optional[str]):
        if not self.__event_section_translations:
            return ""
        entry = self.__event_section_translations.get(key, {})
        if "ru" in entry:
            return f"({entry['ru']})"
        return ""

    def __load_event_section_translations(self):
        if LANG != "name_ru":
            return
        try:
            with self.__param_ru_translations_file.open() as f:
                self.__event_section_translations = json.load(f)
        except (FileNotFoundError, json.decoder.JSONDecodeError):
            pass

    def __get_event_config_string(self, dictionary, indent=0):
        result = ""
        for key, value in dictionary.items():
            prefix = "    " * indent
            if isinstance(value, dict):
                result += (f"{prefix}{key}{self.__get_event_section_translation(key)}:\n"
                           + self.__get_event_config_string(value, indent + 1))
            else:
                result += f"{prefix}{key}: {str(value).replace(chr(39), chr(34))}\n"
        return result + "\n"

    @staticmethod
    def __sort_nested_dict(dictionary):
        ordered = dict(sorted(dictionary.items()))
        for key in ordered:
            if isinstance(ordered[key], dict):
                ordered[key] = ZornaAdminEvents.__sort_nested_dict(ordered[key])
        return ordered

    def __process_path_value(self, event_id: Optional[str], value):
        result_list = []
        for path in [value] if isinstance(value, str) else value:
            if isinstance(path, str):
                lines = path.splitlines()
                if ("\0" in path or lines not in ([], [path]) or "!=" in path or "<=" in path or ">=" in path
                        or "&=" in path):
                    raise ValueError(f"{path!r} cannot stand in an audit rule")
            escaped_path = path.replace("\\", "\\\\").replace(" ", "\\ ")
            if event_id != "file-opened":
                result_list.append(f"-w {escaped_path} -p wa -k {escaped_path}")
            else:
                builder = self.__audit_rules.get(self.__arch, self.__audit_rules["b64"])
                result_list.append(builder(escaped_path))
        return json.dumps(result_list, ensure_ascii=False)

    def __names_path_event(self):
        if self.__event_id_list is None:
            return False
        return any(event_id in self.__special_events for event_id in self.__event_id_list)

    def __paths_usable(self, json_value):
        for path in [json_value] if isinstance(json_value, str) else json_value:
            if not isinstance(path, str) or "\n" in path or "\r" in path or "\0" in path:
                return False
        return True
