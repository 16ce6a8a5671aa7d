// The module definition every extension of the package shares: multi-phase
// initialisation, state of its own, safe in isolated subinterpreters.
#pragma once

#include "fields.h"

namespace quillon {

// A module's exec: the common state from the module's tables (State::name,
// text_values, keyword_specs, import_specs, lookup_specs), the fields' names
// (field_specs, class_name), what is the module's own (State::exec_own, which
// builds the class), and last the fields' caches from the class.
template <typename State>
int exec_module(PyObject *module) noexcept {
    // The shared layer finds the core at the start of the state.
    static_assert(std::is_standard_layout_v<State>);
    State *st = static_cast<State *>(PyModule_GetState(module));
    auto &common = st->common;
    static_assert(std::size(State::text_values) == std::tuple_size_v<decltype(common.texts)>);
    static_assert(std::size(State::keyword_specs) == std::tuple_size_v<decltype(common.kwnames)>);
    static_assert(std::size(State::lookup_specs) == std::tuple_size_v<decltype(common.objects)>);
    static_assert(rows_in_order(State::keyword_specs) && rows_in_order(State::lookup_specs));
    if (core_init(&common.core, module, State::name) < 0 ||
        intern_all(State::text_values, common.texts.data(), common.texts.size()) < 0)
        return -1;
    for (size_t k = 0; k < common.kwnames.size(); ++k)
        if (!(common.kwnames[k] = make_kwnames(State::keyword_specs[k].names, common.texts.data())))
            return -1;
    for (const ImportSpec &spec : State::import_specs)
        if (!import_names(module, spec.from, spec.names))
            return -1;
    for (size_t i = 0; i < common.objects.size(); ++i)
        if (!(common.objects[i] = look_up(State::lookup_specs[i].module, State::lookup_specs[i].attribute)))
            return -1;
    if (st->fields.init(State::field_specs, State::class_name) < 0 || st->exec_own(module) < 0)
        return -1;
    Ref cls = Ref::steal(PyObject_GetAttrString(module, State::class_name));
    if (!cls)
        return -1;
    st->fields.fill_caches(cls.get(), common.core.shortcuts);
    return 0;
}

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
