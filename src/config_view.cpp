// Event configuration view: an event's defaults overlaid with the current
// configuration, sorted, and rendered as indented text with translated sections.
#include "admin_events.hpp"

namespace zae {

Ref show_events(const Call&) { not_implemented("show_events"); }

Ref get_event_config(const Call&) { not_implemented("__get_event_config"); }

Ref get_event_section_translation(const Call&) { not_implemented("__get_event_section_translation"); }

Ref load_event_section_translations(const Call&) { not_implemented("__load_event_section_translations"); }

Ref get_event_config_string(const Call&) { not_implemented("__get_event_config_string"); }

Ref sort_nested_dict(const Call&) { not_implemented("__sort_nested_dict"); }

}  // namespace zae
