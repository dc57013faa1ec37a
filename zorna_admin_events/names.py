"""Names that the command, the status reader, completion and the Ansible
module share, each written here once.

Nothing is imported here, so that any of them (completion on each Tab above
all) can use these names at no cost.
"""

PROG = "zorna-admin-events"
MODULE = "zorna_admin_events.admin_events"
CLASS = "ZornaAdminEvents"

# gettext domain of the extension module and the command, and where its
# catalogues lie relative to the root of the system.
TEXT_DOMAIN = "zorna_admin_events"
LOCALE_DIR = "usr/share/locale"

# Private members of the class, stored mangled, as Python stores them.
PRIVATE = "_" + CLASS + "__"
EVENT_LIST = PRIVATE + "event_id_list"
GROUP_LIST = PRIVATE + "group_id_list"
RESTART_FLAG = PRIVATE + "need_daemon_restart"
SPECIAL_EVENTS = PRIVATE + "special_events"
DEFAULT_CONFIG_DIR = PRIVATE + "default_config_dir"
CURRENT_CONFIG_FILE = PRIVATE + "current_config_file"
TRANSLATIONS_FILE = PRIVATE + "param_ru_translations_file"

# The class attributes that name the files the class reads, and where each
# file lies relative to the root of the system.
ROOTED_PATHS = {
    DEFAULT_CONFIG_DIR: "usr/share/syslog-ng-mod-zorna/event-settings",
    CURRENT_CONFIG_FILE: "etc/zorna-syslog.conf",
    TRANSLATIONS_FILE: "etc/vek-admin-events/eventsdictionary.json",
}

# The event service's catalogue of events and groups, relative to the root.
CATALOGUE_FILE = "usr/share/syslog-ng-mod-zorna/catalogue.json"

# The event service finds its files under the directory this variable names.
ROOT_ENV = "ZORNA_EVENTS_ROOT"

# The command's state, where only its owner (root) can create files: the
# rollback copy of a run that changes the configuration, and the lock that
# such a run holds for its whole run.
STATE_DIR = "var/lib/zorna-admin-events"
ROLLBACK_DIR = STATE_DIR + "/rollback"
LOCK_FILE = STATE_DIR + "/run.lock"

# The syslog facility and priority names syslog-ng knows.
FACILITIES = (
    "kern", "user", "mail", "daemon", "auth", "syslog", "lpr", "news", "uucp", "cron", "authpriv", "ftp",
    "local0", "local1", "local2", "local3", "local4", "local5", "local6", "local7",
)
PRIORITIES = ("emerg", "alert", "crit", "err", "warning", "notice", "info", "debug")

# First argument of the hidden entry point behind bash completion.
COMPLETE = "__complete"
