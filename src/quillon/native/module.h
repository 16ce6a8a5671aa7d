// The module definition every extension of the package shares: multi-phase
// initialisation, state of its own, safe in isolated subinterpreters.
// Header only, and free of the field machinery, so that a module built
// without the rest of the layer can use it.
#pragma once

#include "ref.h"

namespace quillon {

// The shared exec of a state with the common part (module_exec.h, which
// such a module includes).
template <typename State>
int exec_module(PyObject *module) noexcept;

// A state with the package's common part (core.h).
template <typename State>
concept WithCommonState = requires(State *st, PyObject *module) {
    st->common;
    st->exec_own(module);
};

// `State` provides `static constexpr const char *name` and either the
// common part, the fields, `exec_own` (run by the shared exec_module) and
// `each_reference` for what is its own, or a whole `static int
// exec(PyObject *module)`, `traverse` and `clear`. The interpreter zeroes the
// state before exec runs.
template <typename State>
struct ModuleDefinition {
    static State *state(PyObject *module) noexcept { return static_cast<State *>(PyModule_GetState(module)); }

    // Every strong reference of a state with the common part: that part,
    // the fields' names and caches, and the module's own.
    template <typename F>
    static int each_reference(State *st, F &&f) noexcept {
        int rc = st->common.each_reference(f);
        rc = rc ? rc : st->fields.each_reference(f);
        return rc ? rc : st->each_reference(f);
    }

    static int traverse(PyObject *module, visitproc visit, void *arg) noexcept {
        State *st = state(module);
        if (!st)
            return 0;
        if constexpr (WithCommonState<State>)
            return each_reference(st, Visitor{visit, arg});
        else
            return st->traverse(visit, arg);
    }
    static int clear(PyObject *module) noexcept {
        State *st = state(module);
        if (!st)
            return 0;
        if constexpr (WithCommonState<State>)
            each_reference(st, Clearer{});
        else
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
#ifdef Py_mod_gil
        // The shortcuts read and write slots and caches in place, which only
        // the GIL makes safe (ARCHITECTURE.md, "Free-threaded builds").
        {Py_mod_gil, Py_MOD_GIL_USED},
#endif
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
