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
    bool shortcuts;               // false under QUILLON_NO_SHORTCUTS (protocols.h)
};

inline CoreState *core_state(PyObject *module) noexcept {
    return static_cast<CoreState *>(PyModule_GetState(module));
}

inline CoreState *core_state_from_type(PyTypeObject *type) noexcept {
    return static_cast<CoreState *>(PyType_GetModuleState(type));
}

int core_init(CoreState *core, PyObject *module, const char *dotted_name) noexcept;
int core_traverse(CoreState *core, visitproc visit, void *arg) noexcept;
void core_clear(CoreState *core) noexcept;

int visit_all(PyObject *const *objs, size_t count, visitproc visit, void *arg) noexcept;
void clear_all(PyObject **objs, size_t count) noexcept;

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

    int traverse(visitproc visit, void *arg) noexcept {
        if (int rc = core_traverse(&core, visit, arg))
            return rc;
        if (int rc = visit_all(texts.data(), NT, visit, arg))
            return rc;
        if (int rc = visit_all(kwnames.data(), NK, visit, arg))
            return rc;
        return visit_all(objects.data(), NO, visit, arg);
    }
    void clear() noexcept {
        core_clear(&core);
        clear_all(texts.data(), NT);
        clear_all(kwnames.data(), NK);
        clear_all(objects.data(), NO);
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

// Shared steps of every module's exec (classbuild.cpp).
int intern_all(const char *const *texts, PyObject **out, size_t count) noexcept;
// `from FROM import NAME, ...`: an absolute import, then each name bound as
// a module global in order; ImportError "cannot import name 'X'" when absent.
bool import_names(PyObject *module, const char *from, std::initializer_list<const char *> names) noexcept;
// MODULE.ATTRIBUTE, a new reference.
PyObject *look_up(const char *module, const char *attribute) noexcept;

// A module's exec: the common state from the module's tables (State::name,
// text_values, keyword_specs, import_specs, lookup_specs), then what is the
// module's own (State::exec_own: its class, its caches).
template <typename State>
int exec_module(PyObject *module) noexcept {
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
    return st->exec_own(module);
}

}  // namespace quillon
