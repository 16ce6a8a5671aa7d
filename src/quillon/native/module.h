// The module definition every extension of the package shares: multi-phase
// initialisation, state of its own, safe in isolated subinterpreters.
#pragma once

#include "ref.h"

namespace quillon {

// `State` provides `static constexpr const char *name`,
// `static int exec(PyObject *module)`, `int traverse(visitproc, void *)` and
// `void clear()`; the interpreter zeroes it before exec runs.
template <typename State>
struct ModuleDefinition {
    static State *state(PyObject *module) noexcept { return static_cast<State *>(PyModule_GetState(module)); }

    static int traverse(PyObject *module, visitproc visit, void *arg) noexcept {
        State *st = state(module);
        return st ? st->traverse(visit, arg) : 0;
    }
    static int clear(PyObject *module) noexcept {
        if (State *st = state(module))
            st->clear();
        return 0;
    }
    static void free(void *module) noexcept { clear(static_cast<PyObject *>(module)); }

    static inline PyModuleDef_Slot slots[] = {
        {Py_mod_exec, reinterpret_cast<void *>(State::exec)},
        {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
        {0, nullptr},
    };

    static inline PyModuleDef def = {
        .m_base = PyModuleDef_HEAD_INIT,
        .m_name = State::name,
        .m_doc = nullptr,
        .m_size = sizeof(State),
        .m_methods = nullptr,
        .m_slots = slots,
        .m_traverse = traverse,
        .m_clear = clear,
        .m_free = free,
    };

    static PyObject *init() noexcept { return PyModuleDef_Init(&def); }
};

}  // namespace quillon
