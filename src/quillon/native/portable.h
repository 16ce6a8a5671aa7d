// Compiler differences behind one macro each, so that the sources read the
// same under GCC, Clang (also as clang-cl) and MSVC.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define QUILLON_GNU_LIKE 1
#else
#define QUILLON_GNU_LIKE 0
#endif

// A path taken only on error: kept out of line and out of the hot code.
#if QUILLON_GNU_LIKE
#define QUILLON_COLD [[gnu::cold, gnu::noinline]]
#elif defined(_MSC_VER)
#define QUILLON_COLD __declspec(noinline)
#else
#define QUILLON_COLD
#endif

// Inlined whatever the optimiser thinks (the vector helpers, which only
// pay off when their constants stay in registers).
#if QUILLON_GNU_LIKE
#define QUILLON_ALWAYS_INLINE [[gnu::always_inline]] inline
#elif defined(_MSC_VER)
#define QUILLON_ALWAYS_INLINE __forceinline
#else
#define QUILLON_ALWAYS_INLINE inline
#endif

// Code for instructions beyond the baseline, chosen at run time. GCC and
// Clang compile a function for them only when told; MSVC compiles any
// intrinsic anywhere.
#if QUILLON_GNU_LIKE
#define QUILLON_TARGET(features) [[gnu::target(features)]]
#else
#define QUILLON_TARGET(features)
#endif

// 64-bit x86, where the vector cleaners exist (ARM64EC defines _M_X64 but
// runs Arm code).
#if defined(__x86_64__) || (defined(_M_X64) && !defined(_M_ARM64EC))
#define QUILLON_X86_64 1
#else
#define QUILLON_X86_64 0
#endif
