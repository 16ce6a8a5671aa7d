// State every module of the package keeps first in its own state struct.
#pragma once

#include <initializer_list>

#include "ref.h"

namespace quillon {

// Each module's state struct starts with this, so that the shared layer can
// reach it from any of the module's types.
struct CoreState {
    PyTypeObject *function_type;  // strong: the module's own function type
    PyObject *builtins;           // strong: the builtins namespace dict
    PyObject *module_name;        // strong: the fixed dotted module name
    PyObject *empty_str;          // strong: ""
};

inline CoreState *core_state(PyObject *module) noexcept {
    return static_cast<CoreState *>(PyModule_GetState(module));
}

inline CoreState *core_state_from_type(PyTypeObject *type) noexcept {
    return static_cast<CoreState *>(PyType_GetModuleState(type));
}

// Module state lifecycle for the shared part.
int core_init(CoreState *core, PyObject *module, const char *dotted_name) noexcept;
int core_traverse(CoreState *core, visitproc visit, void *arg) noexcept;
void core_clear(CoreState *core) noexcept;

// A fixed table of texts, interned once per module and kept in its state.
int intern_all(const char *const *texts, PyObject **out, size_t count) noexcept;
int visit_all(PyObject *const *objs, size_t count, visitproc visit, void *arg) noexcept;
void clear_all(PyObject **objs, size_t count) noexcept;

// Keyword-name tuples prepared once, from texts already interned.
PyObject *make_kwnames(std::initializer_list<PyObject *> names) noexcept;

// What every module's state holds beside its own objects: the core, its
// texts interned from a fixed table, and its keyword-name tuples.
template <size_t NT>
int core_init(CoreState *core, PyObject *module, const char *dotted_name, const char *const (&values)[NT],
              PyObject *(&texts)[NT]) noexcept {
    if (core_init(core, module, dotted_name) < 0)
        return -1;
    return intern_all(values, texts, NT);
}

template <size_t NT, size_t NK>
int core_traverse(CoreState *core, PyObject *const (&texts)[NT], PyObject *const (&kwnames)[NK], visitproc visit,
                  void *arg) noexcept {
    if (int rc = core_traverse(core, visit, arg))
        return rc;
    if (int rc = visit_all(texts, NT, visit, arg))
        return rc;
    return visit_all(kwnames, NK, visit, arg);
}

template <size_t NT, size_t NK>
void core_clear(CoreState *core, PyObject *(&texts)[NT], PyObject *(&kwnames)[NK]) noexcept {
    core_clear(core);
    clear_all(texts, NT);
    clear_all(kwnames, NK);
}

}  // namespace quillon
