// Depth counting for calls that leave the package without a Python frame.
#pragma once

#include "ref.h"

namespace quillon {

// Counts one level of the interpreter's C recursion depth for as long as it
// lives. A body that calls an object the caller chose (a module global, a
// setter, an attribute of a foreign class) may reach itself again through C
// code alone, a bound method of one of our own functions for instance; with
// this guard such a loop ends in RecursionError instead of a C stack
// overflow, as it would through the interpreter's own C functions.
class RecursionGuard {
public:
    explicit RecursionGuard(const char *where) noexcept : entered_(Py_EnterRecursiveCall(where) == 0) {}
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
    ~RecursionGuard() {
        if (entered_)
            Py_LeaveRecursiveCall();
    }
    // False when the limit was reached; RecursionError is then set.
    explicit operator bool() const noexcept { return entered_; }

private:
    bool entered_;
};

inline constexpr const char *calling_out = " while calling a Python object";

}  // namespace quillon
