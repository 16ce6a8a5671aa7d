// What every module of the package keeps in its state, and how it fills it.
#pragma once

#include <array>
#include <concepts>
#include <initializer_list>

#include "ref.h"

namespace quillon {

// The part the shared layer reaches from any of the module's types: each
// module's state struct starts with it (through ModuleState).
struct CoreState {
    PyTypeObject *function_type;  // strong: the module's own function type
    PyObject *builtins;           // strong: the builtins namespace dict
    PyObject *module_name;        // strong: the fixed dotted module name
    PyObject *empty_str;          // strong: ""
    bool shortcuts;               // false under QUILLON_NO_SHORTCUTS (shortcuts.h)

    template <typename F>
    int each_reference(F &&f) noexcept {
        return for_each_reference(f, function_type, builtins, module_name, empty_str);
    }
};

inline CoreState *core_state(PyObject *module) noexcept {
    return static_cast<CoreState *>(PyModule_GetState(module));
}

inline CoreState *core_state_from_type(PyTypeObject *type) noexcept {
    return static_cast<CoreState *>(PyType_GetModuleState(type));
}

int core_init(CoreState *core, PyObject *module, const char *dotted_name) noexcept;

// `from FROM import NAME, ...` at the top of the module body.
struct ImportSpec {
    const char *from;
    std::initializer_list<const char *> names;
};

// An object the module keeps from another module: `MODULE.ATTRIBUTE`,
// looked up once at import.
template <typename Id>
struct LookupSpec {
    Id id;
    const char *module;
    const char *attribute;
};

// The keyword names of one call the module makes, as a tuple.
template <typename Id, typename Text>
struct KeywordsSpec {
    Id id;
    std::initializer_list<Text> names;
};

// True when every row of a table says its own index: the enum and the table
// cannot drift apart.
template <typename Table>
constexpr bool rows_in_order(const Table &table) {
    size_t i = 0;
    for (const auto &row : table)
        if (static_cast<size_t>(row.id) != i++)
            return false;
    return true;
}

// The common part of a module's state: the core, the texts interned from a
// fixed table, the keyword-name tuples and the objects looked up.
template <typename TextId, size_t NT, typename KeywordsId, size_t NK, typename ObjectId, size_t NO>
struct ModuleState {
    using Text = TextId;
    using Keywords = KeywordsId;
    using Object = ObjectId;

    CoreState core;
    std::array<PyObject *, NT> texts;
    std::array<PyObject *, NK> kwnames;
    std::array<PyObject *, NO> objects;

    template <typename F>
    int each_reference(F &&f) noexcept {
        auto each_in = [&f](auto &objs) {
            for (PyObject *&obj : objs)
                if (int rc = f(obj))
                    return rc;
            return 0;
        };
        int rc = core.each_reference(f);
        rc = rc ? rc : each_in(texts);
        rc = rc ? rc : each_in(kwnames);
        return rc ? rc : each_in(objects);
    }
};

// Accessors for a module state `State` whose `common` part is a ModuleState,
// each taking only its own enum.
template <typename State, std::same_as<typename decltype(State::common)::Text> Id>
inline PyObject *text(State *st, Id id) noexcept {
    return st->common.texts[id];
}

template <typename State, std::same_as<typename decltype(State::common)::Keywords> Id>
inline PyObject *keywords(State *st, Id id) noexcept {
    return st->common.kwnames[id];
}

template <typename State, std::same_as<typename decltype(State::common)::Object> Id>
inline PyObject *object(State *st, Id id) noexcept {
    return st->common.objects[id];
}

// A tuple of the texts `names` names.
template <typename Text>
PyObject *make_kwnames(std::initializer_list<Text> names, PyObject *const *texts) noexcept {
    PyObject *tuple = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
    if (!tuple)
        return nullptr;
    Py_ssize_t i = 0;
    for (Text name : names)
        PyTuple_SET_ITEM(tuple, i++, Py_NewRef(texts[name]));
    return tuple;
}

template <typename State>
inline bool shortcuts(State *st) noexcept {
    return st->common.core.shortcuts;
}

// Shared steps of every module's exec.
int intern_all(const char *const *texts, PyObject **out, size_t count) noexcept;
// `from FROM import NAME, ...`: an absolute import, then each name bound as
// a module global in order; ImportError "cannot import name 'X'" when absent.
bool import_names(PyObject *module, const char *from, std::initializer_list<const char *> names) noexcept;
// MODULE.ATTRIBUTE, a new reference.
PyObject *look_up(const char *module, const char *attribute) noexcept;

}  // namespace quillon
