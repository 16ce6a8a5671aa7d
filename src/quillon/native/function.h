// The function object every method and accessor of the package is made of.
#pragma once

#include "core.h"
#include "protocols.h"

namespace quillon {

struct FunctionObject;

// The body of a function: `args` holds one borrowed object per parameter,
// already bound and defaulted. Returns a new reference, or null with an
// exception set.
using FunctionBody = PyObject *(*)(FunctionObject *fn, PyObject *const *args) noexcept;

inline constexpr Py_ssize_t max_parameters = 12;

// What a function is, fixed at compile time; the objects it needs are made
// from it when the module is executed.
struct FunctionSpec {
    const char *name;      // __name__
    const char *qualname;  // __qualname__, or null: OWNER.NAME
    const char *doc;       // __doc__, or null for None
    std::initializer_list<const char *> parameters;
    // (parameter or "return", annotation text) pairs, in order; a null text
    // stands for no annotation
    std::initializer_list<std::pair<const char *, const char *>> annotations;
    FunctionBody body;
    int tag;  // which field, for shared bodies
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec *spec;
    Py_ssize_t nparams;
    PyObject *parameters;  // tuple of interned names
    PyObject *defaults;    // tuple, or null for none
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *annotations;  // dict
    PyObject *dict;         // instance dict, or null until asked for
    PyObject *weakrefs;

    template <typename F>
    int each_reference(F &&f) noexcept {
        return for_each_reference(f, parameters, defaults, name, qualname, module, doc, annotations, dict);
    }
};

// Creates the module's function type; called once from the module's exec.
PyTypeObject *create_function_type(PyObject *module) noexcept;

// A new function of the module from its spec; `defaults` is borrowed and may
// be null, and so may `owner`, the qualified name of the class it is made for.
Ref make_function(PyObject *module, const FunctionSpec &spec, PyObject *defaults,
                  PyObject *owner = nullptr) noexcept;

// The module state of the module that made `fn`.
template <typename State>
inline State *state_of(FunctionObject *fn) noexcept {
    return static_cast<State *>(PyType_GetModuleState(Py_TYPE(fn)));
}

// A module global by name, for a function of that module: the module
// namespace first, then the builtins; NameError when neither has it.
inline Ref lookup_module_global(FunctionObject *fn, PyObject *name) noexcept {
    PyTypeObject *type = Py_TYPE(fn);
    return lookup_global(PyModule_GetDict(PyType_GetModule(type)), core_state_from_type(type)->builtins, name);
}

// The module global whose name is the text `id` of the module's state.
template <typename State, typename Id>
inline Ref global(State *st, FunctionObject *fn, Id id) noexcept {
    return lookup_module_global(fn, text(st, id));
}

}  // namespace quillon
