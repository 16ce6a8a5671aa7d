// Binds positional and keyword arguments to a function's parameters.
#pragma once

#include "function.h"

namespace quillon {

// Binds vectorcall arguments to the function's parameters, filling defaults;
// every count and keyword error worded as the package promises.
bool bind_arguments(FunctionObject *fn, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                    PyObject **out) noexcept;

}  // namespace quillon
