// Binds positional and keyword arguments to a function's parameters.
#include "args.h"

namespace quillon {

namespace {

const char *function_name(FunctionObject *fn) noexcept { return fn->spec->name; }

QUILLON_COLD void raise_count(FunctionObject *fn, Py_ssize_t min, Py_ssize_t max, Py_ssize_t given) noexcept {
    const char *how;
    Py_ssize_t expected;
    if (min == max) {
        how = "exactly";
        expected = max;
    } else if (given < min) {
        how = "at least";
        expected = min;
    } else {
        how = "at most";
        expected = max;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", function_name(fn),
                 how, expected, expected == 1 ? "" : "s", given);
}

QUILLON_COLD void raise_keyword(FunctionObject *fn, PyObject *key, bool duplicate) noexcept {
    if (duplicate)
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", function_name(fn),
                     key);
    else
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function_name(fn), key);
}

QUILLON_COLD void raise_keyword_type(FunctionObject *fn) noexcept {
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", function_name(fn));
}

// Index of the parameter named `key`, -1 when there is none, -2 on error.
Py_ssize_t find_parameter(FunctionObject *fn, PyObject *key) noexcept {
    PyObject *const *names = &PyTuple_GET_ITEM(fn->parameters, 0);
    // Callers nearly always pass interned names: try identity first.
    for (Py_ssize_t i = 0; i < fn->nparams; ++i)
        if (names[i] == key)
            return i;
    for (Py_ssize_t i = 0; i < fn->nparams; ++i) {
        int eq = PyUnicode_Compare(names[i], key);
        if (eq == -1 && PyErr_Occurred())
            return -2;
        if (eq == 0)
            return i;
    }
    return -1;
}

}  // namespace

bool bind_arguments(FunctionObject *fn, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                    PyObject **out) noexcept {
    const Py_ssize_t nparams = fn->nparams;
    const Py_ssize_t ndefaults = fn->defaults ? PyTuple_GET_SIZE(fn->defaults) : 0;
    const Py_ssize_t nrequired = nparams - ndefaults;

    if (nargs > nparams) {
        raise_count(fn, nrequired, nparams, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i)
        out[i] = args[i];
    for (Py_ssize_t i = nargs; i < nparams; ++i)
        out[i] = nullptr;

    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject *key = PyTuple_GET_ITEM(kwnames, k);
            if (!PyUnicode_Check(key)) {
                raise_keyword_type(fn);
                return false;
            }
            Py_ssize_t index = find_parameter(fn, key);
            if (index == -2)
                return false;
            if (index < 0 || out[index]) {
                raise_keyword(fn, key, index >= 0);
                return false;
            }
            out[index] = args[nargs + k];
        }
    }

    for (Py_ssize_t i = nargs; i < nparams; ++i) {
        if (out[i])
            continue;
        if (i < nrequired) {
            // As many were given as there are parameters before the first
            // missing one.
            raise_count(fn, nrequired, nparams, i);
            return false;
        }
        out[i] = PyTuple_GET_ITEM(fn->defaults, i - nrequired);
    }
    return true;
}

}  // namespace quillon
