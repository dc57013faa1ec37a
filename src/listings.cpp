// Status listings: the descriptions of all events and groups, and the
// aligned, coloured status listings shown through the pager.
#include "admin_events.hpp"

namespace zae {

Ref show_all_groups(const Call&) { not_implemented("show_all_groups"); }

Ref show_groups(const Call&) { not_implemented("show_groups"); }

Ref show_groups_private(const Call&) { not_implemented("__show_groups"); }

Ref get_multiple_string(const Call&) { not_implemented("__get_multiple_string"); }

Ref get_group_string(const Call&) { not_implemented("__get_group_string"); }

Ref get_all_event_description(const Call&) { not_implemented("__get_all_event_description"); }

Ref get_all_group_description(const Call&) { not_implemented("__get_all_group_description"); }

}  // namespace zae
