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

// tp_traverse, tp_clear and tp_dealloc of an `Object` that lists its strong
// references in `each_reference` (ref.h). Traverse visits the heap type
// too; dealloc goes in the order untrack, weak references (when `Object`
// has a `weakrefs` member), clear, free, and the type last.
template <typename Object>
int traverse_callable(PyObject *self, visitproc visit, void *arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    return reinterpret_cast<Object *>(self)->each_reference(Visitor{visit, arg});
}

template <typename Object>
int clear_callable(PyObject *self) noexcept {
    return reinterpret_cast<Object *>(self)->each_reference(Clearer{});
}

template <typename Object>
void dealloc_callable(PyObject *self) noexcept {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if constexpr (requires(Object *obj) { obj->weakrefs; })
        if (reinterpret_cast<Object *>(self)->weakrefs)
            PyObject_ClearWeakRefs(self);
    clear_callable<Object>(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// A callable heap type of the module: the slots above (GC, call through
// vectorcall, binding as a method) and then the type's own, `own` ending
// with {0, nullptr}. The interpreter copies what it needs from the PyType_Spec.
template <typename Object, size_t N>
PyTypeObject *make_callable_type(PyObject *module, const char *name, unsigned long flags,
                                 const PyType_Slot (&own)[N]) noexcept {
    PyType_Slot slots[5 + N] = {
        {Py_tp_dealloc, reinterpret_cast<void *>(dealloc_callable<Object>)},
        {Py_tp_traverse, reinterpret_cast<void *>(traverse_callable<Object>)},
        {Py_tp_clear, reinterpret_cast<void *>(clear_callable<Object>)},
        {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
        {Py_tp_descr_get, reinterpret_cast<void *>(bind_as_method)},
    };
    for (size_t i = 0; i < N; ++i)
        slots[5 + i] = own[i];
    PyType_Spec spec = {
        .name = name,
        .basicsize = static_cast<int>(sizeof(Object)),
        .itemsize = 0,
        .flags = static_cast<unsigned int>(callable_type_flags | flags),
        .slots = slots,
    };
    return reinterpret_cast<PyTypeObject *>(PyType_FromModuleAndSpec(module, &spec, nullptr));
}

// The getset entry of an instance __dict__. Where the interpreter is a DLL
// its functions' addresses are known only once it is loaded, so the entry
// points at functions of our own that forward to them.
inline PyObject *get_instance_dict(PyObject *self, void *context) noexcept {
    return PyObject_GenericGetDict(self, context);
}

inline int set_instance_dict(PyObject *self, PyObject *value, void *context) noexcept {
    return PyObject_GenericSetDict(self, value, context);
}

inline constexpr PyGetSetDef dict_getset = {"__dict__", get_instance_dict, set_instance_dict, nullptr, nullptr};

// The member entries through which the type tells the interpreter where an
// instance keeps its __dict__, weak references and vectorcall function.
inline constexpr PyMemberDef offset_member(const char *name, Py_ssize_t offset) {
    return {name, Py_T_PYSSIZET, offset, Py_READONLY, nullptr};
}

}  // namespace quillon
