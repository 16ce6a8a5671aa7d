// Recipient normalisation in one pass, for the inputs whose methods cannot
// be overridden: exact str, and exact lists or tuples of exact str.
#pragma once

#include "ref.h"

namespace quillon {

// The normalised list of an exact str: what
// text.replace("\t", "").replace(" ", "").replace(";", ",").lower().split(",")
// gives. Null with an exception set on failure.
// `names` holds the interned texts the general route needs.
struct NormalizeTexts {
    PyObject *tab, *space, *semicolon, *comma, *empty, *lower;
};
Ref normalize_exact_text(PyObject *text, const NormalizeTexts &names) noexcept;

// The same for ",".join(items) when `items` is an exact list or tuple of
// exact str of one byte per character, without building the joined text. An
// empty Ref with no exception set means the input does not qualify: take the
// general route.
Ref normalize_byte_items(PyObject *items) noexcept;

}  // namespace quillon
