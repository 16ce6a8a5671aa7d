// What quillon._logcall offers the package's other modules in C++, as a
// capsule: a caller that knows the wrapper type can ask a wrapper where a
// call would go now and make that call itself, one forward fewer.
#pragma once

#include "ref.h"

namespace quillon::logcall {

inline constexpr const char *module_name = "quillon._logcall";
inline constexpr const char *capsule_attribute = "_api";
inline constexpr const char *capsule_name = "quillon._logcall._api";

// Lives in the module's state: read it while holding the module.
struct Api {
    PyTypeObject *wrapper_type;  // borrowed from the module's state
    // For an instance of wrapper_type: the callable that calling it would
    // reach now, after the same level check (a new reference), or null with
    // an exception set.
    PyObject *(*target)(PyObject *wrapper) noexcept;
};

}  // namespace quillon::logcall
