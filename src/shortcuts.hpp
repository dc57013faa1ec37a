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

// A global or builtin, a class's attribute (Color.GREY, a method's entry), a module's attribute
// (zorna_events.is_event_enabled) answered by the last look-up; the standard json.dumps of texts
// written directly; the builtin functions and classes applied directly; a method or static
// method of ours run in place, and a recursion through one of them run in place.
#define ZAE_SHORTCUTS(X)                                                                                    \
    X(global) X(class_attribute) X(module_attribute) X(json_dumps) X(len) X(max) X(isinstance) X(sorted)   \
    X(str) X(dict) X(set) X(own_method) X(own_function) X(own_nesting)

enum class Shortcut : std::size_t {
#define ZAE_SHORTCUT(id) id,
    ZAE_SHORTCUTS(ZAE_SHORTCUT) count_
#undef ZAE_SHORTCUT
};

inline constexpr const char* shortcut_names[] = {
#define ZAE_SHORTCUT(id) #id,
    ZAE_SHORTCUTS(ZAE_SHORTCUT)
#undef ZAE_SHORTCUT
};

inline std::uint64_t shortcut_counts[static_cast<std::size_t>(Shortcut::count_)];

[[gnu::always_inline]] inline void taken(Shortcut shortcut) noexcept {
    ++shortcut_counts[static_cast<std::size_t>(shortcut)];
}

}  // namespace zae
