// What every module of the package keeps in its state, and how it fills it.
#include "core.h"

#include "function.h"
#include "shortcuts.h"

namespace quillon {

int core_init(CoreState *core, PyObject *module, const char *dotted_name) noexcept {
    core->shortcuts = shortcuts_wanted();
    core->function_type = create_function_type(module);
    if (!core->function_type)
        return -1;
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins)
        return -1;
    core->builtins = Py_XNewRef(PyModule_GetDict(builtins.get()));
    core->module_name = PyUnicode_InternFromString(dotted_name);
    core->empty_str = PyUnicode_New(0, 0);
    if (!core->builtins || !core->module_name || !core->empty_str)
        return -1;
    return 0;
}

int intern_all(const char *const *texts, PyObject **out, size_t count) noexcept {
    for (size_t i = 0; i < count; ++i) {
        out[i] = PyUnicode_InternFromString(texts[i]);
        if (!out[i])
            return -1;
    }
    return 0;
}

PyObject *look_up(const char *module, const char *attribute) noexcept {
    Ref source = Ref::steal(PyImport_ImportModule(module));
    return source ? PyObject_GetAttrString(source.get(), attribute) : nullptr;
}

bool import_names(PyObject *module, const char *from, std::initializer_list<const char *> names) noexcept {
    Ref fromlist = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!fromlist)
        return false;
    Py_ssize_t i = 0;
    for (const char *name : names) {
        PyObject *text = PyUnicode_InternFromString(name);
        if (!text)
            return false;
        PyTuple_SET_ITEM(fromlist.get(), i++, text);
    }
    Ref module_name = Ref::steal(PyUnicode_FromString(from));
    if (!module_name)
        return false;
    PyObject *globals = PyModule_GetDict(module);
    Ref source = Ref::steal(
        PyImport_ImportModuleLevelObject(module_name.get(), globals, nullptr, fromlist.get(), 0));
    if (!source)
        return false;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(fromlist.get()); ++k) {
        PyObject *name = PyTuple_GET_ITEM(fromlist.get(), k);
        Ref value = Ref::steal(PyObject_GetAttr(source.get(), name));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError))
                return false;
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "cannot import name %R", name);
            return false;
        }
        if (PyDict_SetItem(globals, name, value.get()) < 0)
            return false;
    }
    return true;
}

}  // namespace quillon
