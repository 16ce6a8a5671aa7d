// Reading and writing a class's own slots by attribute name, with a shortcut
// for the case where the lookup would find the slot's member descriptor.
#pragma once

#include "ref.h"

namespace quillon {

// The member descriptor a class made for one of its __slots__, kept so that
// a lookup that finds it can read the slot in place.
struct SlotCache {
    PyObject *descr;   // strong, or null: no shortcut
    Py_ssize_t offset;
};

// Fills `cache` from `cls.__dict__[name]`; leaves it empty when that is not
// a plain member descriptor.
inline int slot_cache_init(SlotCache &cache, PyObject *cls, PyObject *name) noexcept {
    PyObject *descr = _PyType_Lookup(reinterpret_cast<PyTypeObject *>(cls), name);
    if (descr && Py_IS_TYPE(descr, &PyMemberDescr_Type)) {
        PyMemberDef *member = reinterpret_cast<PyMemberDescrObject *>(descr)->d_member;
        if (member->type == Py_T_OBJECT_EX && !(member->flags & Py_READONLY)) {
            cache.descr = Py_NewRef(descr);
            cache.offset = member->offset;
        }
    }
    return 0;
}

// True when `obj.NAME` resolves exactly as the cached descriptor would: the
// type uses the generic attribute machinery and its MRO still finds the very
// descriptor (it may have been replaced or shadowed since).
inline bool slot_cache_applies(const SlotCache &cache, PyObject *obj, PyObject *name, bool for_store) noexcept {
    PyTypeObject *type = Py_TYPE(obj);
    if (!cache.descr)
        return false;
    if (for_store ? type->tp_setattro != PyObject_GenericSetAttr : type->tp_getattro != PyObject_GenericGetAttr)
        return false;
    return _PyType_Lookup(type, name) == cache.descr;
}

// getattr(obj, name), where name is the slot's attribute.
inline Ref read_slot(const SlotCache &cache, PyObject *obj, PyObject *name) noexcept {
    if (slot_cache_applies(cache, obj, name, false)) {
        PyObject *value = *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(obj) + cache.offset);
        if (value) [[likely]]
            return Ref::borrow(value);
        // Never written: let the descriptor raise its own AttributeError.
    }
    return Ref::steal(PyObject_GetAttr(obj, name));
}

// setattr(obj, name, value).
inline int write_slot(const SlotCache &cache, PyObject *obj, PyObject *name, PyObject *value) noexcept {
    if (slot_cache_applies(cache, obj, name, true)) {
        PyObject **addr = reinterpret_cast<PyObject **>(reinterpret_cast<char *>(obj) + cache.offset);
        Py_XSETREF(*addr, Py_NewRef(value));
        return 0;
    }
    return PyObject_SetAttr(obj, name, value);
}

}  // namespace quillon
