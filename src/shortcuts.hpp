// The build switch of every shortcut (CMake option ZAE_FAST_PATHS: with it off, no
// shortcut is taken and no look-up is answered from an earlier one), and the counts
// of the shortcuts taken, which the tests read (zae_shortcut_counts, module.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

#ifndef ZAE_FAST_PATHS
#define ZAE_FAST_PATHS 1
#endif

namespace zae {

inline constexpr bool fast_paths = ZAE_FAST_PATHS != 0;

enum class Shortcut : std::size_t {
    global,            // a global or builtin name answered by its last look-up
    class_attribute,   // Color.GREY, a method's entry in its class and the like, by the last look-up
    module_attribute,  // zorna_events.is_event_enabled, json.dumps, ... by the last look-up
    json_dumps,        // the standard json.dumps of texts, written directly
    len, max, isinstance, sorted,  // the builtin functions, applied directly
    str, dict, set,    // the builtin classes, applied directly
    own_method,        // a method of ours called on an object (unbound or bound): the body run directly
    own_function,      // a function of ours found and called (a static method): the body run directly
    own_nesting,       // a recursion through our own method or function, run in place
    count_
};

inline constexpr const char* shortcut_names[] = {
    "global", "class_attribute", "module_attribute", "json_dumps", "len", "max", "isinstance", "sorted",
    "str", "dict", "set", "own_method", "own_function", "own_nesting",
};
static_assert(sizeof shortcut_names / sizeof *shortcut_names == static_cast<std::size_t>(Shortcut::count_));

inline std::uint64_t shortcut_counts[static_cast<std::size_t>(Shortcut::count_)];

[[gnu::always_inline]] inline void taken(Shortcut shortcut) noexcept {
    ++shortcut_counts[static_cast<std::size_t>(shortcut)];
}

}  // namespace zae
