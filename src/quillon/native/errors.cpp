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

void raise_argument_type(const char *param, const char *expected, PyObject *value, bool is_subclass) noexcept {
    Ref holder;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
                 expected, type_name(value, holder));
    if (!is_subclass)
        return;
    // Say why an object that is, after all, a text is turned away: the
    // parameter takes the built-in type itself and nothing derived from it.
    PyObject *exc = PyErr_GetRaisedException();
    Ref note = Ref::steal(
        PyUnicode_FromFormat("'%s' takes the built-in type %s itself; instances of subclasses of built-in "
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

void raise_object(PyObject *obj) noexcept {
    if (PyExceptionInstance_Check(obj)) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(obj)), obj);
    } else if (PyExceptionClass_Check(obj)) {
        Ref instance = Ref::steal(PyObject_CallNoArgs(obj));
        if (!instance)
            return;
        if (!PyExceptionInstance_Check(instance.get())) {
            PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %s",
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
