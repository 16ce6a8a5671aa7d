// The exact error messages the modules share, and the checks that raise them.
#include "errors.h"

#include <cstdarg>

namespace quillon {

namespace {

const char *type_name(PyObject *value, Ref &holder) noexcept {
    holder = Ref::steal(PyType_GetName(Py_TYPE(value)));
    if (!holder) {
        PyErr_Clear();
        return Py_TYPE(value)->tp_name;
    }
    const char *text = PyUnicode_AsUTF8(holder.get());
    if (!text) {
        PyErr_Clear();
        return Py_TYPE(value)->tp_name;
    }
    return text;
}

}  // namespace

void raise_argument_type(const char *param, const char *expected, PyObject *value,
                         bool is_subclass) noexcept {
    Ref holder;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 param, expected, type_name(value, holder));
    if (!is_subclass)
        return;
    // Say why an object that is, after all, a text is turned away: the
    // parameter takes the built-in type itself and nothing derived from it.
    PyObject *exc = PyErr_GetRaisedException();
    Ref note = Ref::steal(PyUnicode_FromFormat(
        "'%s' takes the built-in type %s itself; instances of subclasses of built-in "
        "types are refused, convert with %s(...) first",
        param, expected, expected));
    if (note) {
        Ref done = Ref::steal(PyObject_CallMethod(exc, "add_note", "O", note.get()));
        if (!done) {
            // A failing note must not replace the argument error itself.
            PyErr_Clear();
        }
    } else {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(exc);
}

void raise_expected(const char *expected, PyObject *value) noexcept {
    Ref holder;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", expected, type_name(value, holder));
}

Ref lookup_global(PyObject *globals, PyObject *builtins, PyObject *name) noexcept {
    PyObject *found = nullptr;
    int rc = PyDict_GetItemRef(globals, name, &found);
    if (rc > 0)
        return Ref::steal(found);
    if (rc < 0)
        return {};
    rc = PyDict_GetItemRef(builtins, name, &found);
    if (rc > 0)
        return Ref::steal(found);
    if (rc == 0)
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

namespace {

[[gnu::cold, gnu::noinline]] void raise_too_many(Py_ssize_t expected) noexcept {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
}

[[gnu::cold, gnu::noinline]] void raise_need_more(Py_ssize_t found) noexcept {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found,
                 found == 1 ? "" : "s");
}

}  // namespace

bool unpack_pair(PyObject *seq, Ref &first, Ref &second) noexcept {
    if (PyTuple_CheckExact(seq) || PyList_CheckExact(seq)) {
        Py_ssize_t size = Py_SIZE(seq);
        if (size != 2) {
            if (size > 2)
                raise_too_many(2);
            else
                raise_need_more(size);
            return false;
        }
        PyObject *const *items = PyTuple_CheckExact(seq) ? &PyTuple_GET_ITEM(seq, 0)
                                                          : &PyList_GET_ITEM(seq, 0);
        first = Ref::borrow(items[0]);
        second = Ref::borrow(items[1]);
        return true;
    }
    Ref iter = Ref::steal(PyObject_GetIter(seq));
    if (!iter)
        return false;
    Ref values[2];
    for (Py_ssize_t i = 0; i < 2; ++i) {
        values[i] = Ref::steal(PyIter_Next(iter.get()));
        if (!values[i]) {
            if (!PyErr_Occurred())
                raise_need_more(i);
            return false;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iter.get()));
    if (extra) {
        raise_too_many(2);
        return false;
    }
    if (PyErr_Occurred())
        return false;
    first = std::move(values[0]);
    second = std::move(values[1]);
    return true;
}

Ref lookup_special(PyObject *obj, PyObject *name) noexcept {
    // Held for the __get__ call, which may run Python code that takes the
    // attribute off the class.
    Ref descr = Ref::borrow(_PyType_Lookup(Py_TYPE(obj), name));
    if (!descr) {
        PyErr_SetObject(PyExc_AttributeError, name);
        return {};
    }
    descrgetfunc get = Py_TYPE(descr.get())->tp_descr_get;
    if (get)
        return Ref::steal(get(descr.get(), obj, reinterpret_cast<PyObject *>(Py_TYPE(obj))));
    return descr;
}

Ref format_simple(PyObject *obj, PyObject *empty_str) noexcept {
    if (PyUnicode_CheckExact(obj))
        return Ref::borrow(obj);
    if (PyLong_CheckExact(obj))
        return Ref::steal(PyLong_Type.tp_repr(obj));
    if (PyFloat_CheckExact(obj))
        return Ref::steal(PyFloat_Type.tp_repr(obj));
    return Ref::steal(PyObject_Format(obj, empty_str));
}

void raise_object(PyObject *obj) noexcept {
    if (PyExceptionInstance_Check(obj)) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(obj)), obj);
    } else if (PyExceptionClass_Check(obj)) {
        Ref instance = Ref::steal(PyObject_CallNoArgs(obj));
        if (!instance)
            return;
        if (!PyExceptionInstance_Check(instance.get())) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %s",
                         obj, Py_TYPE(instance.get())->tp_name);
            return;
        }
        PyErr_SetObject(obj, instance.get());
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
}

void add_note(PyObject *exc, const char *format, ...) noexcept {
    if (!exc)
        return;
    va_list args;
    va_start(args, format);
    Ref note = Ref::steal(PyUnicode_FromFormatV(format, args));
    va_end(args);
    if (!note || !Ref::steal(PyObject_CallMethod(exc, "add_note", "O", note.get())))
        PyErr_Clear();
}

}  // namespace quillon
