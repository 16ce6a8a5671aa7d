// quillon._logcall: the call wrapper behind logger.logging, in C++ so that a
// call with DEBUG off costs one level check and a direct forward.
#include <cstddef>

#include "api.h"
#include "callable.h"
#include "module.h"
#include "recursion.h"
#include "shortcuts.h"

namespace quillon {
namespace {

struct LogcallState {
    static constexpr const char *name = "quillon._logcall";
    static int exec(PyObject *module) noexcept;

    PyTypeObject *wrapper_type;
    logcall::Api api;    // handed out as a capsule
    PyObject *disabled;  // interned attribute names of logging.Logger
    PyObject *cache;
    PyObject *annotations;  // interned "__annotations__" and "__annotate__"
    PyObject *annotate;
    bool shortcuts;  // false under QUILLON_NO_SHORTCUTS: every check calls the method

    int traverse(visitproc visit, void *arg) noexcept {
        Py_VISIT(wrapper_type);
        return 0;
    }
    void clear() noexcept {
        Py_CLEAR(wrapper_type);
        Py_CLEAR(disabled);
        Py_CLEAR(cache);
        Py_CLEAR(annotations);
        Py_CLEAR(annotate);
        api.wrapper_type = nullptr;
    }
};

// A callable that forwards to `func` unless `is_enabled(level)` is true, in
// which case it forwards to `logged` (the Python wrapper that writes the
// log lines). Binds to instances like a function does.
//
// `logger` is set (else null) when `is_enabled` is known to be the standard
// library's own `Logger.isEnabledFor` bound to it; the level check then runs
// that method's body here instead of calling it.
struct WrapperObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject *func;
    PyObject *logged;
    PyObject *is_enabled;
    PyObject *level;
    PyObject *logger;
    PyObject *dict;

    template <typename F>
    int each_reference(F &&f) noexcept {
        return for_each_reference(f, func, logged, is_enabled, level, logger, dict);
    }
};

WrapperObject *as_wrapper(PyObject *self) noexcept { return reinterpret_cast<WrapperObject *>(self); }

// `logger.isEnabledFor(level)` as logging.Logger's own method answers it:
//
//     if self.disabled: return False
//     try: return self._cache[level]
//     except KeyError: ...compute under the logging lock and fill the cache
//
// The first two lines run here, attribute by attribute as the method reads
// them; a cache miss (after setLevel, logging.disable, a new handler tree)
// calls the method itself, which fills the cache. 1 or 0, or -1 with an
// exception set.
int stock_level_check(WrapperObject *w) noexcept {
    LogcallState *st = static_cast<LogcallState *>(PyType_GetModuleState(Py_TYPE(w)));
    if (!st)
        return -1;
    Ref disabled = Ref::steal(PyObject_GetAttr(w->logger, st->disabled));
    if (!disabled)
        return -1;
    int off = PyObject_IsTrue(disabled.get());
    if (off != 0)
        return off < 0 ? -1 : 0;
    Ref cache = Ref::steal(PyObject_GetAttr(w->logger, st->cache));
    if (!cache)
        return -1;
    Ref answer;
    if (PyDict_CheckExact(cache.get())) {
        PyObject *found;
        if (PyDict_GetItemRef(cache.get(), w->level, &found) < 0)
            return -1;
        answer = Ref::steal(found);
    } else {
        answer = Ref::steal(PyObject_GetItem(cache.get(), w->level));
        if (!answer) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError))
                return -1;
            PyErr_Clear();
        }
    }
    if (!answer) {
        answer = Ref::steal(PyObject_CallOneArg(w->is_enabled, w->level));
        if (!answer)
            return -1;
    }
    return PyObject_IsTrue(answer.get());
}

// Where a call goes now: `logged` when the level check says so, else `func`.
// Other modules of the package ask this too (see api.h), so that a call
// they make in the wrapper's place makes the very same check.
PyObject *wrapper_target(PyObject *self) noexcept {
    WrapperObject *w = as_wrapper(self);
    int on;
    if (w->logger) {
        on = stock_level_check(w);
    } else {
        Ref enabled = Ref::steal(PyObject_CallOneArg(w->is_enabled, w->level));
        if (!enabled)
            return nullptr;
        on = PyObject_IsTrue(enabled.get());
    }
    if (on < 0)
        return nullptr;
    return Py_NewRef(on ? w->logged : w->func);
}

PyObject *wrapper_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) noexcept {
    Ref target = Ref::steal(wrapper_target(self));
    if (!target)
        return nullptr;
    // Wrappers may be stacked (a wrapper around a wrapper) and forward to
    // each other without a Python frame in between: count the depth as the
    // interpreter counts its own calls, so a deep stack ends in
    // RecursionError rather than a C stack overflow.
    RecursionGuard guard(" while calling a logged function");
    if (!guard)
        return nullptr;
    return PyObject_Vectorcall(target.get(), args, nargsf, kwnames);
}

PyObject *wrapper_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) noexcept {
    static const char *keywords[] = {"func", "logged", "is_enabled", "level", "logger", nullptr};
    PyObject *func, *logged, *is_enabled, *level, *logger = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO|O:wrapper", const_cast<char **>(keywords), &func, &logged,
                                     &is_enabled, &level, &logger))
        return nullptr;
    LogcallState *st = static_cast<LogcallState *>(PyType_GetModuleState(type));
    if (!st)
        return nullptr;
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self)
        return nullptr;
    WrapperObject *w = as_wrapper(self.get());
    w->vectorcall = wrapper_vectorcall;
    w->func = Py_NewRef(func);
    w->logged = Py_NewRef(logged);
    w->is_enabled = Py_NewRef(is_enabled);
    w->level = Py_NewRef(level);
    w->logger = logger == Py_None || !st->shortcuts ? nullptr : Py_NewRef(logger);
    return self.release();
}

PyObject *wrapper_repr(PyObject *self) noexcept {
    Ref name = Ref::steal(PyObject_GetAttrString(self, "__qualname__"));
    if (!name) {
        PyErr_Clear();
        return PyUnicode_FromFormat("<function at %p>", self);
    }
    return PyUnicode_FromFormat("<function %S at %p>", name.get(), self);
}

// Pickles by reference, the way functions do: pickle looks the qualified
// name up again in the module named by __module__ and refuses a wrapper that
// the name does not lead back to. Process pools and engines hand
// `Contact.validate` to their workers this way.
PyObject *wrapper_reduce(PyObject *self, PyObject *) noexcept {
    PyObject *name;
    if (PyObject_GetOptionalAttrString(self, "__qualname__", &name) < 0)
        return nullptr;
    if (name == nullptr)
        return PyErr_Format(PyExc_TypeError, "cannot pickle '%s' object", Py_TYPE(self)->tp_name);
    return name;
}

PyMethodDef wrapper_methods[] = {
    {"__reduce__", wrapper_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// __annotations__, kept in the instance __dict__ where functools.update_wrapper
// puts what it copies. Where the interpreter evaluates annotations lazily,
// update_wrapper copies the wrapped function's __annotate__ instead: the
// dict is then asked of it (VALUE format) at the first read and kept, as a
// function does with its own. Nothing to be found is an AttributeError, as
// for a wrapped object that has no annotations at all.
PyObject *get_annotations(PyObject *self, void *) noexcept {
    LogcallState *st = static_cast<LogcallState *>(PyType_GetModuleState(Py_TYPE(self)));
    if (!st)
        return nullptr;
    Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    if (!dict)
        return nullptr;
    PyObject *found;
    if (PyDict_GetItemRef(dict.get(), st->annotations, &found) != 0)
        return found;  // the dict, or null with the error
    if (PyDict_GetItemRef(dict.get(), st->annotate, &found) < 0)
        return nullptr;
    Ref annotate = Ref::steal(found);
    if (!annotate || annotate.get() == Py_None)
        return PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '__annotations__'",
                            Py_TYPE(self)->tp_name);
    Ref format = Ref::steal(PyLong_FromLong(1));  // annotationlib.Format.VALUE
    if (!format)
        return nullptr;
    Ref computed = Ref::steal(PyObject_CallOneArg(annotate.get(), format.get()));
    if (!computed)
        return nullptr;
    if (!PyDict_Check(computed.get()))
        return PyErr_Format(PyExc_TypeError, "__annotate__ returned non-dict of type '%.100s'",
                            Py_TYPE(computed.get())->tp_name);
    if (PyDict_SetItem(dict.get(), st->annotations, computed.get()) < 0)
        return nullptr;
    return computed.release();
}

// Setting stores into __dict__ as before the getter existed; deleting
// removes the entry, and an absent one is an AttributeError.
int set_annotations(PyObject *self, PyObject *value, void *) noexcept {
    LogcallState *st = static_cast<LogcallState *>(PyType_GetModuleState(Py_TYPE(self)));
    if (!st)
        return -1;
    Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    if (!dict)
        return -1;
    if (value)
        return PyDict_SetItem(dict.get(), st->annotations, value);
    const int removed = PyDict_Pop(dict.get(), st->annotations, nullptr);
    if (removed == 0)
        PyErr_SetString(PyExc_AttributeError, "__annotations__");
    return removed > 0 ? 0 : -1;
}

PyGetSetDef wrapper_getset[] = {
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    dict_getset,
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef wrapper_members[] = {
    offset_member("__dictoffset__", offsetof(WrapperObject, dict)),
    offset_member("__vectorcalloffset__", offsetof(WrapperObject, vectorcall)),
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot wrapper_slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(wrapper_new)},
    {Py_tp_repr, reinterpret_cast<void *>(wrapper_repr)},
    {Py_tp_methods, wrapper_methods},
    {Py_tp_getset, wrapper_getset},
    {Py_tp_members, wrapper_members},
    {0, nullptr},
};

int LogcallState::exec(PyObject *module) noexcept {
    LogcallState *st = static_cast<LogcallState *>(PyModule_GetState(module));
    st->shortcuts = shortcuts_wanted();
    st->disabled = PyUnicode_InternFromString("disabled");
    st->cache = PyUnicode_InternFromString("_cache");
    st->annotations = PyUnicode_InternFromString("__annotations__");
    st->annotate = PyUnicode_InternFromString("__annotate__");
    if (!st->disabled || !st->cache || !st->annotations || !st->annotate)
        return -1;
    st->wrapper_type = make_callable_type<WrapperObject>(module, "quillon._logcall.wrapper", 0, wrapper_slots);
    if (!st->wrapper_type)
        return -1;
    if (PyModule_AddObjectRef(module, "wrapper", reinterpret_cast<PyObject *>(st->wrapper_type)) < 0)
        return -1;
    st->api = {st->wrapper_type, wrapper_target};
    return PyModule_Add(module, logcall::capsule_attribute,
                        PyCapsule_New(&st->api, logcall::capsule_name, nullptr));
}

}  // namespace
}  // namespace quillon

PyMODINIT_FUNC PyInit__logcall() { return quillon::ModuleDefinition<quillon::LogcallState>::init(); }
