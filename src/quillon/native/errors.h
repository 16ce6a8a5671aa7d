// The exact error messages the modules share, and the checks that raise them.
#pragma once

#include "ref.h"

namespace quillon {

// "Argument 'NAME' has incorrect type (expected EXPECTED, got TYPE)"; a value
// of a subclass of the expected built-in type also gets an explanatory note.
QUILLON_COLD void raise_argument_type(const char *param, const char *expected, PyObject *value,
                                      bool is_subclass) noexcept;

// Parameter test for an exact `str` (a subclass is refused), optionally None.
inline bool check_exact_str(PyObject *value, const char *param, bool none_ok) noexcept {
    if (PyUnicode_CheckExact(value) || (none_ok && value == Py_None)) [[likely]]
        return true;
    raise_argument_type(param, "str", value, PyUnicode_Check(value));
    return false;
}

// Result test: "Expected EXPECTED, got TYPE".
QUILLON_COLD void raise_expected(const char *expected, PyObject *value) noexcept;

inline bool expect_str_or_none(PyObject *value) noexcept {
    if (PyUnicode_CheckExact(value) || value == Py_None) [[likely]]
        return true;
    raise_expected("str", value);
    return false;
}

inline bool expect_list_or_none(PyObject *value) noexcept {
    if (PyList_CheckExact(value) || value == Py_None) [[likely]]
        return true;
    raise_expected("list", value);
    return false;
}

// Raises `obj` the way a `raise` statement would.
void raise_object(PyObject *obj) noexcept;

// exc.add_note(text), the text made as by PyUnicode_FromFormat. Call it with
// the exception taken out of the error indicator: a note that cannot be made
// or added is dropped, and `exc` goes on as it was.
QUILLON_COLD void add_note(PyObject *exc, const char *format, ...) noexcept;

}  // namespace quillon
