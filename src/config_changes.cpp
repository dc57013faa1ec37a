// Configuration changes: enabling and disabling, syslog message parameters,
// event properties with audit rules, import, export and daemon restart.
#include "admin_events.hpp"

namespace zae {

Ref enable(const Call&) { not_implemented("enable"); }

Ref disable(const Call&) { not_implemented("disable"); }

Ref set_priority(const Call&) { not_implemented("set_priority"); }

Ref set_facility(const Call&) { not_implemented("set_facility"); }

Ref set_properties(const Call&) { not_implemented("set_properties"); }

Ref export_config(const Call&) { not_implemented("export_config"); }

Ref import_config(const Call&) { not_implemented("import_config"); }

Ref restart_daemons(const Call&) { not_implemented("restart_daemons"); }

Ref process_group(const Call&) { not_implemented("__process_group"); }

Ref process_ids(const Call&) { not_implemented("__process_ids"); }

Ref process_event(const Call&) { not_implemented("__process_event"); }

Ref set_syslog_message_param(const Call&) { not_implemented("__set_syslog_message_param"); }

Ref process_path_value(const Call&) { not_implemented("__process_path_value"); }

}  // namespace zae
