// Owning reference to an interpreter object: ownership shows in the type.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "portable.h"

#include <utility>

namespace quillon {

// A strong reference, released when the wrapper goes. Plain `PyObject *`
// elsewhere in this package is always borrowed.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
    Ref &operator=(Ref &&other) noexcept {
        PyObject *old = ptr_;
        ptr_ = other.ptr_;
        other.ptr_ = nullptr;
        Py_XDECREF(old);
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    // Takes over a new reference (possibly null, when a call failed).
    [[nodiscard]] static Ref steal(PyObject *obj) noexcept {
        Ref ref;
        ref.ptr_ = obj;
        return ref;
    }
    // Adds a reference of its own to a borrowed object.
    [[nodiscard]] static Ref borrow(PyObject *obj) noexcept {
        Py_XINCREF(obj);
        return steal(obj);
    }

    PyObject *get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    // Hands the reference over, at the C API boundary only.
    [[nodiscard]] PyObject *release() noexcept {
        PyObject *obj = ptr_;
        ptr_ = nullptr;
        return obj;
    }
    void reset() noexcept { Py_CLEAR(ptr_); }

private:
    PyObject *ptr_ = nullptr;
};

// Garbage-collector support, written once: an object lists its strong
// references in one `each_reference(f)`, which calls `f` on each in turn
// (stopping at a non-zero result), and traverse and clear both walk it.
template <typename F, typename... Refs>
int for_each_reference(F &&f, Refs &...refs) noexcept {
    int rc = 0;
    ((rc = rc ? rc : f(refs)), ...);
    return rc;
}

struct Visitor {
    visitproc visit;
    void *arg;
    template <typename T>
    int operator()(T *obj) const noexcept {
        Py_VISIT(obj);
        return 0;
    }
};

struct Clearer {
    template <typename T>
    int operator()(T *&obj) const noexcept {
        Py_CLEAR(obj);
        return 0;
    }
};

}  // namespace quillon
