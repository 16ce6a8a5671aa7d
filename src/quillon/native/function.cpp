// The function object every method and accessor of the package is made of.
#include "function.h"

#include "args.h"
#include "callable.h"
#include "errors.h"

#include <cstddef>

namespace quillon {

namespace {

FunctionObject *as_function(PyObject *self) noexcept { return reinterpret_cast<FunctionObject *>(self); }

PyObject *function_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) noexcept {
    FunctionObject *fn = as_function(self);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    // The common call passes every parameter by position: use the caller's
    // array as it is.
    if (!kwnames && nargs == fn->nparams) [[likely]]
        return fn->spec->body(fn, args);
    PyObject *bound[max_parameters];
    if (!bind_arguments(fn, args, nargs, kwnames, bound))
        return nullptr;
    return fn->spec->body(fn, bound);
}

PyObject *function_repr(PyObject *self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

// Getters and setters, after funcobject.c: names take a str, the rest any
// object; nothing can be deleted.

QUILLON_COLD int refuse_delete(const char *what) noexcept {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
    return -1;
}

PyObject *get_name(PyObject *self, void *) noexcept { return Py_NewRef(as_function(self)->name); }

int set_name(PyObject *self, PyObject *value, void *) noexcept {
    // __name__ must be a str; deletion is refused.
    if (!value || !PyUnicode_Check(value))
        return refuse_delete("__name__");
    Py_XSETREF(as_function(self)->name, Py_NewRef(value));
    return 0;
}

PyObject *get_qualname(PyObject *self, void *) noexcept { return Py_NewRef(as_function(self)->qualname); }

int set_qualname(PyObject *self, PyObject *value, void *) noexcept {
    // __qualname__ must be a str; deletion is refused.
    if (!value || !PyUnicode_Check(value))
        return refuse_delete("__qualname__");
    Py_XSETREF(as_function(self)->qualname, Py_NewRef(value));
    return 0;
}

PyObject *get_doc(PyObject *self, void *) noexcept { return Py_NewRef(as_function(self)->doc); }

int set_doc(PyObject *self, PyObject *value, void *) noexcept {
    // __doc__ takes any object; deleting it sets None, as for functions.
    Py_XSETREF(as_function(self)->doc, Py_NewRef(value ? value : Py_None));
    return 0;
}

PyObject *get_module(PyObject *self, void *) noexcept { return Py_NewRef(as_function(self)->module); }

int set_module(PyObject *self, PyObject *value, void *) noexcept {
    // __module__ takes any object; deleting it sets None.
    Py_XSETREF(as_function(self)->module, Py_NewRef(value ? value : Py_None));
    return 0;
}

PyObject *get_defaults(PyObject *self, void *) noexcept {
    PyObject *defaults = as_function(self)->defaults;
    return Py_NewRef(defaults ? defaults : Py_None);
}

PyObject *get_kwdefaults(PyObject *, void *) noexcept { Py_RETURN_NONE; }

PyObject *get_annotations(PyObject *self, void *) noexcept { return Py_NewRef(as_function(self)->annotations); }

int set_annotations(PyObject *self, PyObject *value, void *) noexcept {
    // __annotations__ must be a dict; deletion is refused.
    if (!value || !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_NewRef(value));
    return 0;
}

#if PY_VERSION_HEX >= 0x030E0000
// __annotate__, for interpreters with lazily evaluated annotations: a
// callable taking an annotationlib format. The annotations are literal
// strings, so the value, forward-reference and string formats are one and
// the same dict; the fake-globals format and any other are refused, as a
// hand-written annotate function must refuse what it cannot give.
enum AnnotationFormat : long { value_format = 1, forwardref_format = 3, string_format = 4 };

PyObject *annotate(PyObject *self, PyObject *format) noexcept {
    const long asked = PyLong_AsLong(format);
    if (asked == -1 && PyErr_Occurred())
        return nullptr;
    if (asked != value_format && asked != forwardref_format && asked != string_format) {
        PyErr_SetNone(PyExc_NotImplementedError);
        return nullptr;
    }
    // A fresh dict per call, as the interpreter's own annotate functions
    // give: a caller that edits it leaves __annotations__ alone.
    return PyDict_Copy(as_function(self)->annotations);
}

PyMethodDef annotate_method = {"__annotate__", annotate, METH_O, nullptr};

PyObject *get_annotate(PyObject *self, void *) noexcept {
    return PyCFunction_NewEx(&annotate_method, self, as_function(self)->module);
}
#endif

// An inspect.Signature built from the parameters, defaults and annotations,
// so that inspect, help() and type checkers' stub tests see the real thing.
PyObject *get_signature(PyObject *self, void *) noexcept {
    FunctionObject *fn = as_function(self);
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect)
        return nullptr;
    Ref parameter_type = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    Ref signature_type = Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
    if (!parameter_type || !signature_type)
        return nullptr;
    Ref kind = Ref::steal(PyObject_GetAttrString(parameter_type.get(), "POSITIONAL_OR_KEYWORD"));
    Ref empty = Ref::steal(PyObject_GetAttrString(parameter_type.get(), "empty"));
    if (!kind || !empty)
        return nullptr;
    const Py_ssize_t ndefaults = fn->defaults ? PyTuple_GET_SIZE(fn->defaults) : 0;
    const Py_ssize_t first_default = fn->nparams - ndefaults;
    Ref params = Ref::steal(PyList_New(0));
    if (!params)
        return nullptr;
    for (Py_ssize_t i = 0; i < fn->nparams; ++i) {
        PyObject *name = PyTuple_GET_ITEM(fn->parameters, i);
        PyObject *annotation = nullptr;
        if (PyDict_GetItemRef(fn->annotations, name, &annotation) < 0)
            return nullptr;
        Ref annotation_ref = Ref::steal(annotation);
        Ref kwargs = Ref::steal(PyDict_New());
        if (!kwargs)
            return nullptr;
        if (i >= first_default &&
            PyDict_SetItemString(kwargs.get(), "default", PyTuple_GET_ITEM(fn->defaults, i - first_default)) < 0)
            return nullptr;
        if (annotation && PyDict_SetItemString(kwargs.get(), "annotation", annotation) < 0)
            return nullptr;
        Ref args = Ref::steal(PyTuple_Pack(2, name, kind.get()));
        if (!args)
            return nullptr;
        Ref param = Ref::steal(PyObject_Call(parameter_type.get(), args.get(), kwargs.get()));
        if (!param || PyList_Append(params.get(), param.get()) < 0)
            return nullptr;
    }
    PyObject *ret = PyDict_GetItemString(fn->annotations, "return");  // borrowed
    Ref args = Ref::steal(PyTuple_Pack(1, params.get()));
    Ref kwargs = Ref::steal(PyDict_New());
    if (!args || !kwargs)
        return nullptr;
    if (ret && PyDict_SetItemString(kwargs.get(), "return_annotation", ret) < 0)
        return nullptr;
    return PyObject_Call(signature_type.get(), args.get(), kwargs.get());
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
#if PY_VERSION_HEX >= 0x030E0000
    {"__annotate__", get_annotate, nullptr, nullptr, nullptr},
#endif
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    dict_getset,
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    offset_member("__dictoffset__", offsetof(FunctionObject, dict)),
    offset_member("__weaklistoffset__", offsetof(FunctionObject, weakrefs)),
    offset_member("__vectorcalloffset__", offsetof(FunctionObject, vectorcall)),
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
    {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},
    {0, nullptr},
};

}  // namespace

PyTypeObject *create_function_type(PyObject *module) noexcept {
    return make_callable_type<FunctionObject>(module, "quillon.function", Py_TPFLAGS_DISALLOW_INSTANTIATION,
                                              function_slots);
}

Ref make_function(PyObject *module, const FunctionSpec &spec, PyObject *defaults, PyObject *owner) noexcept {
    CoreState *core = core_state(module);
    if (!core || !core->function_type) {
        PyErr_SetString(PyExc_SystemError, "quillon: module state is missing");
        return {};
    }
    const Py_ssize_t nparams = static_cast<Py_ssize_t>(spec.parameters.size());
    if (nparams > max_parameters) {
        PyErr_SetString(PyExc_SystemError, "quillon: too many parameters");
        return {};
    }
    // Allocated tracked and zeroed: every field is null until filled in.
    Ref obj = Ref::steal(PyType_GenericAlloc(core->function_type, 0));
    if (!obj)
        return {};
    FunctionObject *fn = as_function(obj.get());
    fn->vectorcall = function_vectorcall;
    fn->spec = &spec;
    fn->nparams = nparams;
    fn->parameters = PyTuple_New(nparams);
    fn->name = PyUnicode_InternFromString(spec.name);
    if (spec.qualname)
        fn->qualname = PyUnicode_InternFromString(spec.qualname);
    else
        fn->qualname = owner ? PyUnicode_FromFormat("%U.%s", owner, spec.name)
                             : PyUnicode_InternFromString(spec.name);
    if (fn->qualname)
        PyUnicode_InternInPlace(&fn->qualname);
    fn->module = Py_NewRef(core->module_name);
    fn->doc = spec.doc ? PyUnicode_FromString(spec.doc) : Py_NewRef(Py_None);
    fn->annotations = PyDict_New();
    if (!fn->parameters || !fn->name || !fn->qualname || !fn->doc || !fn->annotations)
        return {};
    Py_ssize_t i = 0;
    for (const char *param : spec.parameters) {
        PyObject *name = PyUnicode_InternFromString(param);
        if (!name)
            return {};
        PyTuple_SET_ITEM(fn->parameters, i++, name);
    }
    for (const auto &[key, text] : spec.annotations) {
        if (!text)
            continue;
        Ref value = Ref::steal(PyUnicode_FromString(text));
        if (!value || PyDict_SetItemString(fn->annotations, key, value.get()) < 0)
            return {};
    }
    if (defaults) {
        if (!PyTuple_CheckExact(defaults) || PyTuple_GET_SIZE(defaults) > nparams) {
            PyErr_SetString(PyExc_SystemError, "quillon: bad defaults");
            return {};
        }
        fn->defaults = Py_NewRef(defaults);
    }
    return obj;
}

}  // namespace quillon
