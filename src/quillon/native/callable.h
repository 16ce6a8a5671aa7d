// What the package's callable types (its function type, and _logcall's
// wrapper) share: flags, binding as a method, an instance __dict__, the
// vectorcall offset and a garbage-collected dealloc. Header only, so that a
// module built without the rest of the layer can use it.
#pragma once

#include <cstddef>

#include "ref.h"

namespace quillon {

inline constexpr unsigned long callable_type_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC |
                                                     Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
                                                     Py_TPFLAGS_IMMUTABLETYPE;

// tp_descr_get: the object itself from the class, a bound method from an
// instance, as for a function.
inline PyObject *bind_as_method(PyObject *self, PyObject *obj, PyObject *) noexcept {
    if (obj == nullptr || obj == Py_None)
        return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

// tp_dealloc of a collected object of a heap type, in the order untrack,
// weak references, clear, free, and the type last. `Object` has a `dict`
// member and, when `weakrefs` is true, a `weakrefs` member.
template <typename Object, int (*clear)(PyObject *) noexcept, bool weakrefs>
void dealloc_callable(PyObject *self) noexcept {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if constexpr (weakrefs)
        if (reinterpret_cast<Object *>(self)->weakrefs)
            PyObject_ClearWeakRefs(self);
    clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// The getset entry of an instance __dict__.
inline constexpr PyGetSetDef dict_getset = {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr,
                                            nullptr};

// The member entries through which the type tells the interpreter where an
// instance keeps its __dict__, weak references and vectorcall function.
inline constexpr PyMemberDef offset_member(const char *name, Py_ssize_t offset) {
    return {name, Py_T_PYSSIZET, offset, Py_READONLY, nullptr};
}

}  // namespace quillon
