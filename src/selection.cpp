// Selection of events and groups: construction with ID validation, and the
// look-ups between events and groups through the defaults directory.
#include "admin_events.hpp"

namespace zae {

Ref init(const Call&) { not_implemented("__init__"); }

Ref prepare_groups(const Call&) { not_implemented("__prepare_groups"); }

Ref prepare_events(const Call&) { not_implemented("__prepare_events"); }

Ref get_events_by_group_id(const Call&) { not_implemented("__get_events_by_group_id"); }

Ref get_grouped_events(const Call&) { not_implemented("__get_grouped_events"); }

Ref get_event_group(const Call&) { not_implemented("__get_event_group"); }

}  // namespace zae
