// Recipient normalisation in one pass, for the inputs whose methods cannot
// be overridden: exact str, and exact lists or tuples of exact str.
//
// Text of one byte per character (ASCII, the common case, and Latin-1) is
// read once: blanks and tabs dropped, ";" made ",", upper case lowered, and
// the place of every comma noted on the way; the items are then cut from the
// cleaned bytes at those places. Lower-casing within Latin-1 maps one
// character to one character and needs no context, so a per-byte rule does
// it exactly. Wider text goes through the interpreter's own str operations,
// which is what the method calls would do for an exact str.
#include "recipients.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#if QUILLON_X86_64
#include <immintrin.h>
#if defined(_WIN32)
#include <intrin.h>
#endif
#endif

namespace quillon {

// Offsets of the commas in the cleaned bytes, in order. Never more commas
// than bytes, so room for one per input byte always suffices.
struct Commas {
    uint32_t *at;
    size_t count;
};

namespace {

// --- the per-byte rule --------------------------------------------------------

// What str.lower does to a Latin-1 character: A-Z and À-Þ but × move up
// by 0x20; nothing else changes (ß, µ and ÿ lower to themselves).
constexpr bool is_latin1_upper(int c) { return (c >= 'A' && c <= 'Z') || (c >= 0xc0 && c <= 0xde && c != 0xd7); }

// What each Latin-1 character becomes, and whether it stays.
struct ByteMap {
    uint8_t to[256];
    uint8_t keep[256];
};

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

// --- cleaning -----------------------------------------------------------------

// Each cleaner (a Cleaner, recipients.h) cleans `n` bytes from `src` into
// `out` from offset `j` on and returns the offset after the last byte
// written. It reads nothing past `src + n`, and stores only below `out + j`
// plus the bytes read so far, so that `out` may be `src` itself.

size_t clean_bytes(const uint8_t *src, size_t n, uint8_t *out, size_t j, Commas &commas) noexcept {
    for (size_t i = 0; i < n; ++i) {
        const uint8_t c = byte_map.to[src[i]];
        out[j] = c;
        if (c == ',')
            commas.at[commas.count++] = static_cast<uint32_t>(j);
        j += byte_map.keep[src[i]];
    }
    return j;
}

#if QUILLON_X86_64

// Blanks leave gaps that a shuffle closes, eight bytes at a time: for each
// 8-bit mask of the bytes kept, where they come from in the low half of a
// 16-byte chunk and in its high half (0x80 makes a zero), and how many there
// are.
struct Compaction {
    alignas(8) uint8_t from_low[256][8];
    alignas(8) uint8_t from_high[256][8];
    uint8_t count[256];
};

constexpr Compaction make_compaction() {
    Compaction table{};
    for (int mask = 0; mask < 256; ++mask) {
        int k = 0;
        for (int bit = 0; bit < 8; ++bit)
            if (mask & (1 << bit)) {
                table.from_low[mask][k] = static_cast<uint8_t>(bit);
                table.from_high[mask][k++] = static_cast<uint8_t>(bit + 8);
            }
        table.count[mask] = static_cast<uint8_t>(k);
        for (; k < 8; ++k)
            table.from_low[mask][k] = table.from_high[mask][k] = 0x80;
    }
    return table;
}

constexpr Compaction compaction = make_compaction();

// Notes the commas of a 16-byte chunk (bits of `found`, all within `keep`)
// where they land among the kept bytes written from offset `j`: each moves
// back by the bytes dropped before it.
inline void note_commas16(Commas &commas, uint32_t found, uint32_t keep, size_t j) noexcept {
    for (; found; found &= found - 1) {
        const uint32_t before = keep & ((found & (0 - found)) - 1);
        const size_t kept_before = compaction.count[before & 0xff] + compaction.count[before >> 8];
        commas.at[commas.count++] = static_cast<uint32_t>(j + kept_before);
    }
}

// The same for 32 bytes, counting with the instruction.
QUILLON_TARGET("avx2,popcnt")
QUILLON_ALWAYS_INLINE void note_commas32(Commas &commas, uint32_t found, uint32_t keep, size_t j) noexcept {
    for (; found; found &= found - 1) {
        const uint32_t before = keep & ((found & (0 - found)) - 1);
        commas.at[commas.count++] = static_cast<uint32_t>(j + static_cast<size_t>(_mm_popcnt_u32(before)));
    }
}

// The per-byte rule on 16 bytes (SSE2 only). Ranges are tested as signed
// comparisons after a shift that moves the range's start to -128.
inline __m128i map16(__m128i v) noexcept {
    const __m128i ascii_upper = _mm_cmplt_epi8(_mm_add_epi8(v, _mm_set1_epi8(0x80 - 'A')),
                                               _mm_set1_epi8(static_cast<char>(0x80 + 26)));
    const __m128i latin1_upper = _mm_andnot_si128(
        _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(0xd7))),
        _mm_cmplt_epi8(_mm_add_epi8(v, _mm_set1_epi8(static_cast<char>(0x80 - 0xc0))),
                       _mm_set1_epi8(static_cast<char>(0x80 + 0x1f))));
    v = _mm_or_si128(v, _mm_and_si128(_mm_or_si128(ascii_upper, latin1_upper), _mm_set1_epi8(0x20)));
    const __m128i semicolon = _mm_cmpeq_epi8(v, _mm_set1_epi8(';'));
    return _mm_xor_si128(v, _mm_and_si128(semicolon, _mm_set1_epi8(';' ^ ',')));
}

inline uint32_t blanks16(__m128i v) noexcept {
    return static_cast<uint32_t>(_mm_movemask_epi8(
        _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\t')))));
}

inline uint32_t commas16(__m128i v) noexcept {
    return static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(','))));
}

// Writes the bytes of `v` whose bit is set in `keep` (16 bits) to `dst`, as
// two halves of eight, and returns how many they are. The stores may spill
// zeros past them, never past dst + 16.
QUILLON_TARGET("ssse3") QUILLON_ALWAYS_INLINE size_t compact16(__m128i v, uint32_t keep, uint8_t *dst) noexcept {
    const uint32_t low = keep & 0xff, high = keep >> 8;
    const __m128i from_low = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(compaction.from_low[low]));
    const __m128i from_high = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(compaction.from_high[high]));
    const size_t split = compaction.count[low];
    _mm_storel_epi64(reinterpret_cast<__m128i *>(dst), _mm_shuffle_epi8(v, from_low));
    _mm_storel_epi64(reinterpret_cast<__m128i *>(dst + split), _mm_shuffle_epi8(v, from_high));
    return split + compaction.count[high];
}

// The end of the text, when it does not fill a chunk, is read as a whole
// chunk that ends at `src + n`, with the bytes already cleaned left out of
// `keep`; text shorter than a chunk is read from a copy padded with zeros.
struct LastChunk {
    alignas(16) uint8_t copy[16];
    const uint8_t *at;  // where the chunk starts
    uint32_t keep;      // the bytes still to clean

    LastChunk(const uint8_t *src, size_t done, size_t n) noexcept {
        if (n >= 16) {
            at = src + n - 16;
            keep = (0xffffu << (done - (n - 16))) & 0xffff;
        } else {
            std::memset(copy, 0, sizeof copy);
            std::memcpy(copy, src, n);
            at = copy;
            keep = (1u << n) - 1;
        }
    }
};

// Cleans src[i:n], the bytes before `i` being cleaned already.
QUILLON_TARGET("ssse3")
size_t clean_ssse3_from(const uint8_t *src, size_t i, size_t n, uint8_t *out, size_t j, Commas &commas) noexcept {
    for (; i + 16 <= n; i += 16) {
        const __m128i v = map16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i)));
        const uint32_t keep = ~blanks16(v) & 0xffff;
        note_commas16(commas, commas16(v), keep, j);
        if (keep == 0xffff) {
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + j), v);
            j += 16;
        } else {
            j += compact16(v, keep, out + j);
        }
    }
    if (i == n)
        return j;
    if (n < 8)  // a handful of bytes: cheaper one by one than padded
        return clean_bytes(src, n, out, j, commas);
    // Compacted into a local buffer first, so that nothing is stored past
    // the bytes kept.
    const LastChunk last(src, i, n);
    const __m128i v = map16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(last.at)));
    const uint32_t keep = last.keep & ~blanks16(v);
    note_commas16(commas, commas16(v) & keep, keep, j);
    alignas(16) uint8_t kept[16];
    const size_t count = compact16(v, keep, kept);
    std::memcpy(out + j, kept, count);
    return j + count;
}

QUILLON_TARGET("ssse3")
size_t clean_ssse3(const uint8_t *src, size_t n, uint8_t *out, size_t j, Commas &commas) noexcept {
    return clean_ssse3_from(src, 0, n, out, j, commas);
}

// The same rule as map16, on 32 bytes.
QUILLON_TARGET("avx2") inline __m256i map32(__m256i v) noexcept {
    const __m256i ascii_upper = _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(0x80 + 26)),
                                                  _mm256_add_epi8(v, _mm256_set1_epi8(0x80 - 'A')));
    const __m256i latin1_upper = _mm256_andnot_si256(
        _mm256_cmpeq_epi8(v, _mm256_set1_epi8(static_cast<char>(0xd7))),
        _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(0x80 + 0x1f)),
                          _mm256_add_epi8(v, _mm256_set1_epi8(static_cast<char>(0x80 - 0xc0)))));
    v = _mm256_or_si256(v, _mm256_and_si256(_mm256_or_si256(ascii_upper, latin1_upper), _mm256_set1_epi8(0x20)));
    const __m256i semicolon = _mm256_cmpeq_epi8(v, _mm256_set1_epi8(';'));
    return _mm256_xor_si256(v, _mm256_and_si256(semicolon, _mm256_set1_epi8(';' ^ ',')));
}

QUILLON_TARGET("avx2,popcnt")
size_t clean_avx2(const uint8_t *src, size_t n, uint8_t *out, size_t j, Commas &commas) noexcept {
    size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        const __m256i v = map32(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(src + i)));
        const uint32_t keep = ~static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_or_si256(
            _mm256_cmpeq_epi8(v, _mm256_set1_epi8(' ')), _mm256_cmpeq_epi8(v, _mm256_set1_epi8('\t')))));
        const uint32_t found = static_cast<uint32_t>(
            _mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_set1_epi8(','))));
        note_commas32(commas, found, keep, j);
        if (keep == ~uint32_t{0}) {
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + j), v);
            j += 32;
        } else {
            j += compact16(_mm256_castsi256_si128(v), keep & 0xffff, out + j);
            j += compact16(_mm256_extracti128_si256(v, 1), keep >> 16, out + j);
        }
    }
    // What is left (under 32 bytes) takes the 16-byte steps.
    return clean_ssse3_from(src, i, n, out, j, commas);
}

// What the processor offers the cleaners above.
struct CpuFeatures {
    bool avx2_popcnt, ssse3;
};

#if defined(_WIN32)
// From CPUID itself: leaf 1 for SSSE3, POPCNT and whether the system saves
// the AVX registers (OSXSAVE, then the SSE and AVX bits of XCR0), leaf 7 for
// AVX2; what __builtin_cpu_supports checks elsewhere.
QUILLON_TARGET("xsave") CpuFeatures cpu_features() noexcept {
    int info[4];
    __cpuid(info, 0);
    const int last_leaf = info[0];
    __cpuid(info, 1);
    const bool ssse3 = (info[2] >> 9) & 1, popcnt = (info[2] >> 23) & 1;
    const bool avx_saved = ((info[2] >> 27) & 1) && ((info[2] >> 28) & 1) && (_xgetbv(0) & 6) == 6;
    bool avx2 = false;
    if (last_leaf >= 7 && avx_saved) {
        __cpuidex(info, 7, 0);
        avx2 = (info[1] >> 5) & 1;
    }
    return {avx2 && popcnt, ssse3};
}
#else
CpuFeatures cpu_features() noexcept {
    __builtin_cpu_init();
    return {__builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt"),
            __builtin_cpu_supports("ssse3") != 0};
}
#endif

#endif

}  // namespace

Cleaner choose_cleaner() noexcept {
    struct Row {
        const char *name;
        Cleaner clean;
    };
#if QUILLON_X86_64
    const CpuFeatures cpu = cpu_features();
    const Row rows[] = {{"avx2", cpu.avx2_popcnt ? clean_avx2 : nullptr},
                        {"ssse3", cpu.ssse3 ? clean_ssse3 : nullptr},
                        {"table", clean_bytes}};
#else
    const Row rows[] = {{"avx2", nullptr}, {"ssse3", nullptr}, {"table", clean_bytes}};
#endif
    // Unset: the fastest the processor runs. Set: that one or none, so that
    // a run meant to prove one cleaner never proves another instead.
    const char *wanted = std::getenv("QUILLON_CLEANER");
    for (const Row &row : rows) {
        if (wanted && *wanted && std::strcmp(wanted, row.name) != 0)
            continue;
        if (row.clean)
            return row.clean;
        if (wanted && *wanted) {
            PyErr_Format(PyExc_ImportError, "QUILLON_CLEANER is '%s', which this processor cannot run", wanted);
            return nullptr;
        }
    }
    PyErr_Format(PyExc_ImportError, "QUILLON_CLEANER is '%s'; expected 'avx2', 'ssse3' or 'table'", wanted);
    return nullptr;
}

namespace {

// --- cutting ------------------------------------------------------------------

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

// Cuts the cleaned bytes at their commas into a new list.
Ref cut_at_commas(const uint8_t *bytes, size_t length, const Commas &commas, bool ascii) noexcept {
    Ref result = Ref::steal(PyList_New(static_cast<Py_ssize_t>(commas.count + 1)));
    if (!result)
        return {};
    size_t start = 0;
    for (size_t k = 0; k <= commas.count; ++k) {
        const size_t stop = k < commas.count ? commas.at[k] : length;
        PyObject *item = make_item(bytes + start, stop - start, ascii);
        if (!item)
            return {};
        PyList_SET_ITEM(result.get(), static_cast<Py_ssize_t>(k), item);
        start = stop + 1;
    }
    return result;
}

// Room to clean `length` input bytes: one comma offset per byte, then the
// bytes themselves, in one block (on the stack for the usual few addresses).
// The bytes come last so that a store past them leaves the block, where a
// sanitizer sees it.
class Scratch {
public:
    // Offsets are 32-bit: longer text takes the interpreter's route.
    static constexpr size_t max_length = UINT32_MAX - 1;

    explicit Scratch(size_t length) noexcept {
        const size_t bytes_at = sizeof(uint32_t) * (length + 1);
        const size_t size = bytes_at + length;
        block_ = size <= sizeof(local_) ? local_ : static_cast<uint8_t *>(PyMem_Malloc(size));
        if (block_) {
            commas = {reinterpret_cast<uint32_t *>(block_), 0};
            bytes_ = block_ + bytes_at;
        }
    }
    ~Scratch() {
        if (block_ != local_)
            PyMem_Free(block_);
    }
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;

    uint8_t *bytes() const noexcept { return bytes_; }
    Commas commas{nullptr, 0};

private:
    alignas(uint32_t) uint8_t local_[2048];
    uint8_t *block_;
    uint8_t *bytes_ = nullptr;
};

Ref normalize_byte_text(PyObject *text, Cleaner clean) noexcept {
    const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(text));
    Scratch scratch(n);
    if (!scratch.bytes()) {
        PyErr_NoMemory();
        return {};
    }
    const size_t m = clean(PyUnicode_1BYTE_DATA(text), n, scratch.bytes(), 0, scratch.commas);
    return cut_at_commas(scratch.bytes(), m, scratch.commas, PyUnicode_IS_ASCII(text));
}

}  // namespace

Ref normalize_exact_text(PyObject *text, const NormalizeTexts &names, Cleaner clean) noexcept {
    if (PyUnicode_KIND(text) == PyUnicode_1BYTE_KIND &&
        static_cast<size_t>(PyUnicode_GET_LENGTH(text)) <= Scratch::max_length)
        return normalize_byte_text(text, clean);
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

Ref normalize_byte_items(PyObject *items, Cleaner clean) noexcept {
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
        if (total > Scratch::max_length)
            return {};
    }
    Scratch scratch(total);
    if (!scratch.bytes()) {
        PyErr_NoMemory();
        return {};
    }
    // Nothing below runs interpreter code until the bytes are cut, so the
    // sequence cannot change under us. Joined first and cleaned in place in
    // one pass: many short items would each end in the byte loop.
    uint8_t *joined = scratch.bytes();
    size_t at = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (i)
            joined[at++] = ',';
        const size_t length = static_cast<size_t>(PyUnicode_GET_LENGTH(item[i]));
        std::memcpy(joined + at, PyUnicode_1BYTE_DATA(item[i]), length);
        at += length;
    }
    const size_t m = clean(joined, total, joined, 0, scratch.commas);
    return cut_at_commas(joined, m, scratch.commas, ascii);
}

}  // namespace quillon
