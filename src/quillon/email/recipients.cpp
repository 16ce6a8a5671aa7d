// Recipient normalisation in one pass, for the inputs whose methods cannot
// be overridden: exact str, and exact lists or tuples of exact str.
//
// Text of one byte per character (ASCII, the common case, and Latin-1) is
// cleaned byte by byte into a buffer (blanks and tabs dropped, ";" made ",",
// upper case lowered) and then cut at the commas. Lower-casing within Latin-1
// maps one character to one character and needs no context, so a table does
// it exactly. Wider text goes through the interpreter's own str operations,
// which is what the method calls would do for an exact str.
#include "recipients.h"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quillon {

namespace {

// What each Latin-1 character becomes, and whether it stays.
struct ByteMap {
    uint8_t to[256];
    uint8_t keep[256];
};

constexpr bool is_latin1_upper(int c) {
    return (c >= 'A' && c <= 'Z') || (c >= 0xc0 && c <= 0xde && c != 0xd7);
}

constexpr ByteMap make_byte_map() {
    ByteMap map{};
    for (int c = 0; c < 256; ++c) {
        map.to[c] = static_cast<uint8_t>(is_latin1_upper(c) ? c + 0x20 : c);
        map.keep[c] = 1;
    }
    map.to[static_cast<int>(';')] = ',';
    map.keep[static_cast<int>(' ')] = 0;
    map.keep[static_cast<int>('\t')] = 0;
    return map;
}

constexpr ByteMap byte_map = make_byte_map();

// Cleans `n` Latin-1 bytes into `dst`; returns how many were written.
size_t clean_bytes(const uint8_t *src, size_t n, uint8_t *dst) noexcept {
    size_t i = 0, j = 0;
#if defined(__SSE2__)
    const __m128i space = _mm_set1_epi8(' '), tab = _mm_set1_epi8('\t');
    const __m128i semicolon = _mm_set1_epi8(';'), comma = _mm_set1_epi8(',');
    const __m128i before_a = _mm_set1_epi8('A' - 1), after_z = _mm_set1_epi8('Z' + 1);
    const __m128i case_bit = _mm_set1_epi8(0x20);
    for (; i + 16 <= n; i += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i));
        if (_mm_movemask_epi8(v) != 0) {
            // Beyond ASCII: byte by byte, through the table.
            for (int k = 0; k < 16; ++k) {
                const uint8_t c = src[i + k];
                dst[j] = byte_map.to[c];
                j += byte_map.keep[c];
            }
            continue;
        }
        // The chunk is ASCII, so signed comparison is safe.
        __m128i upper = _mm_and_si128(_mm_cmpgt_epi8(v, before_a), _mm_cmplt_epi8(v, after_z));
        __m128i semi = _mm_cmpeq_epi8(v, semicolon);
        v = _mm_or_si128(v, _mm_and_si128(upper, case_bit));
        v = _mm_or_si128(_mm_andnot_si128(semi, v), _mm_and_si128(semi, comma));
        __m128i drop = _mm_or_si128(_mm_cmpeq_epi8(v, space), _mm_cmpeq_epi8(v, tab));
        if (_mm_movemask_epi8(drop) == 0) {
            _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + j), v);
            j += 16;
            continue;
        }
        alignas(16) uint8_t chunk[16];
        _mm_store_si128(reinterpret_cast<__m128i *>(chunk), v);
        for (int k = 0; k < 16; ++k) {
            dst[j] = chunk[k];
            j += byte_map.keep[chunk[k]];
        }
    }
#endif
    for (; i < n; ++i) {
        const uint8_t c = src[i];
        dst[j] = byte_map.to[c];
        j += byte_map.keep[c];
    }
    return j;
}

size_t count_commas(const uint8_t *buf, size_t n) noexcept {
    size_t count = 0;
    for (size_t i = 0; i < n; ++i)
        count += buf[i] == ',';
    return count;
}

PyObject *make_item(const uint8_t *start, size_t length, bool ascii) noexcept {
    if (!ascii)  // finds the widest character itself
        return PyUnicode_FromKindAndData(PyUnicode_1BYTE_KIND, start, static_cast<Py_ssize_t>(length));
    if (length <= 1)
        return length ? PyUnicode_FromOrdinal(start[0]) : PyUnicode_New(0, 0);
    PyObject *item = PyUnicode_New(static_cast<Py_ssize_t>(length), 127);
    if (item)
        std::memcpy(PyUnicode_1BYTE_DATA(item), start, length);
    return item;
}

// Cuts a cleaned buffer at its commas into a new list.
Ref split_cleaned(const uint8_t *buf, size_t n, bool ascii) noexcept {
    const size_t commas = count_commas(buf, n);
    Ref result = Ref::steal(PyList_New(static_cast<Py_ssize_t>(commas + 1)));
    if (!result)
        return {};
    const uint8_t *pos = buf;
    const uint8_t *end = buf + n;
    for (size_t k = 0; k <= commas; ++k) {
        const uint8_t *stop = k < commas ? static_cast<const uint8_t *>(std::memchr(pos, ',', end - pos)) : end;
        PyObject *item = make_item(pos, static_cast<size_t>(stop - pos), ascii);
        if (!item)
            return {};
        PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(k), item);
        pos = stop + 1;
    }
    return result;
}

// Scratch space: on the stack for the usual few addresses.
class Buffer {
public:
    explicit Buffer(size_t size) noexcept
        : data_(size <= sizeof(local_) ? local_ : static_cast<uint8_t *>(PyMem_Malloc(size ? size : 1))) {}
    ~Buffer() {
        if (data_ != local_)
            PyMem_Free(data_);
    }
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    uint8_t *get() const noexcept { return data_; }

private:
    uint8_t local_[512];
    uint8_t *data_;
};

Ref normalize_byte_text(PyObject *text) noexcept {
    const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
    Buffer buf(n);
    if (!buf.get()) {
        PyErr_NoMemory();
        return {};
    }
    const size_t m = clean_bytes(PyUnicode_1BYTE_DATA(text), n, buf.get());
    return split_cleaned(buf.get(), m, PyUnicode_IS_ASCII(text));
}

}  // namespace

Ref normalize_exact_text(PyObject *text, const NormalizeTexts &names) noexcept {
    if (PyUnicode_KIND(text) == PyUnicode_1BYTE_KIND)
        return normalize_byte_text(text);
    // Lowering beyond Latin-1 depends on context (final sigma) and may
    // change the length (U+0130): leave it to the interpreter, step by step
    // as the methods would.
    Ref step = Ref::steal(PyUnicode_Replace(text, names.tab, names.empty, -1));
    if (step)
        step = Ref::steal(PyUnicode_Replace(step.get(), names.space, names.empty, -1));
    if (step)
        step = Ref::steal(PyUnicode_Replace(step.get(), names.semicolon, names.comma, -1));
    if (step)
        step = Ref::steal(PyObject_CallMethodNoArgs(step.get(), names.lower));
    if (!step)
        return {};
    return Ref::steal(PyUnicode_Split(step.get(), names.comma, -1));
}

Ref normalize_byte_items(PyObject *items) noexcept {
    if (!PyList_CheckExact(items) && !PyTuple_CheckExact(items))
        return {};
    const Py_ssize_t count = Py_SIZE(items);
    PyObject *const *item = PyList_CheckExact(items) ? &PyList_GET_ITEM(items, 0) : &PyTuple_GET_ITEM(items, 0);
    size_t total = count > 0 ? static_cast<size_t>(count - 1) : 0;
    bool ascii = true;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!PyUnicode_CheckExact(item[i]) || PyUnicode_KIND(item[i]) != PyUnicode_1BYTE_KIND)
            return {};
        ascii = ascii && PyUnicode_IS_ASCII(item[i]);
        total += static_cast<size_t>(PyUnicode_GET_LENGTH(item[i]));
    }
    Buffer buf(total);
    if (!buf.get()) {
        PyErr_NoMemory();
        return {};
    }
    // Nothing below runs interpreter code until the buffer is complete, so
    // the sequence cannot change under us.
    size_t m = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (i)
            buf.get()[m++] = ',';
        m += clean_bytes(PyUnicode_1BYTE_DATA(item[i]), static_cast<size_t>(PyUnicode_GET_LENGTH(item[i])),
                         buf.get() + m);
    }
    return split_cleaned(buf.get(), m, ascii);
}

}  // namespace quillon
