// Recipient normalisation in one pass, for the inputs whose methods cannot
// be overridden: exact str, and exact lists or tuples of exact str.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ref.h"

namespace quillon {

// How text of one byte per character is cleaned: a vector routine or the
// byte table, all with the very same result. The fastest the processor runs,
// or the one QUILLON_CLEANER names (avx2, ssse3, table); null with
// ImportError set when it names one unknown or one the processor lacks.
// Chosen at import and kept in the module state.
struct Commas;
using Cleaner = size_t (*)(const uint8_t *src, size_t n, uint8_t *out, size_t j, Commas &commas) noexcept;
Cleaner choose_cleaner() noexcept;

// The normalised list of an exact str: what
// text.replace("\t", "").replace(" ", "").replace(";", ",").lower().split(",")
// gives. Null with an exception set on failure.
// `names` holds the interned texts the general route needs.
struct NormalizeTexts {
    PyObject *tab, *space, *semicolon, *comma, *empty, *lower;
};
Ref normalize_exact_text(PyObject *text, const NormalizeTexts &names, Cleaner clean) noexcept;

// The same for ",".join(items) when `items` is an exact list or tuple of
// exact str of one byte per character, without building the joined text. An
// empty Ref with no exception set means the input does not qualify: take the
// general route.
Ref normalize_byte_items(PyObject *items, Cleaner clean) noexcept;

}  // namespace quillon
