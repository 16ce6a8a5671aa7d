// The module definition every extension of the package shares: multi-phase
// initialisation, state of its own, safe in isolated subinterpreters.
#pragma once

#include "core.h"

namespace quillon {

// A state with the package's common part (core.h).
template <typename State>
concept WithCommonState = requires(State *st, PyObject *module) { st->common; st->exec_own(module); };

// `State` provides `static constexpr const char *name`, `int
// traverse(visitproc, void *)` and `void clear()` for what is its own, and
// either a `common` part with `exec_own` (run by the shared exec_module) or
// a whole `static int exec(PyObject *module)`. The interpreter zeroes the
// state before exec runs.
template <typename State>
struct ModuleDefinition {
    static State *state(PyObject *module) noexcept { return static_cast<State *>(PyModule_GetState(module)); }

    static int traverse(PyObject *module, visitproc visit, void *arg) noexcept {
        State *st = state(module);
        if (!st)
            return 0;
        if constexpr (WithCommonState<State>)
            if (int rc = st->common.traverse(visit, arg))
                return rc;
        return st->traverse(visit, arg);
    }
    static int clear(PyObject *module) noexcept {
        State *st = state(module);
        if (!st)
            return 0;
        if constexpr (WithCommonState<State>)
            st->common.clear();
        st->clear();
        return 0;
    }
    static int exec(PyObject *module) noexcept {
        if constexpr (WithCommonState<State>)
            return exec_module<State>(module);
        else
            return State::exec(module);
    }
    static void free(void *module) noexcept { clear(static_cast<PyObject *>(module)); }

    static inline PyModuleDef_Slot slots[] = {
        {Py_mod_exec, reinterpret_cast<void *>(exec)},
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
