// Reading and writing a class's own slots by attribute name, with a shortcut
// for the case where the lookup would find the slot's member descriptor.
#pragma once

#include <cstring>

#include "recursion.h"

namespace quillon {

// The member descriptor a class made for one of its __slots__, kept so that
// a lookup that finds it can read the slot in place.
struct SlotCache {
    PyObject *descr;   // strong, or null: no shortcut
    Py_ssize_t offset;
};

// Fills `cache` from `cls.__dict__[name]`; leaves it empty when that is not
// a plain member descriptor, or when `cls` is not a class at all (the module
// body calls whatever `type` is bound to, which may hand back anything).
inline int slot_cache_init(SlotCache &cache, PyObject *cls, PyObject *name) noexcept {
    if (!PyType_Check(cls))
        return 0;
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
// type uses the generic attribute machinery, its MRO still finds the very
// descriptor (it may have been replaced or shadowed since), and `obj` is an
// instance of the class that owns the slot. The last is the member
// descriptor's own check: a foreign class can copy the descriptor into its
// namespace, and its instances have no slot at that offset. When any test
// fails the ordinary route runs and raises the interpreter's own error.
inline bool slot_cache_applies(const SlotCache &cache, PyObject *obj, PyObject *name, bool for_store) noexcept {
    PyTypeObject *type = Py_TYPE(obj);
    if (!cache.descr)
        return false;
    if (for_store ? type->tp_setattro != PyObject_GenericSetAttr : type->tp_getattro != PyObject_GenericGetAttr)
        return false;
    return _PyType_Lookup(type, name) == cache.descr && PyObject_TypeCheck(obj, PyDescr_TYPE(cache.descr));
}

// getattr(obj, name), where name is the slot's attribute.
inline Ref read_slot(const SlotCache &cache, PyObject *obj, PyObject *name) noexcept {
    if (slot_cache_applies(cache, obj, name, false)) {
        PyObject *value = *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(obj) + cache.offset);
        if (value) [[likely]]
            return Ref::borrow(value);
        // Never written: let the descriptor raise its own AttributeError.
    }
    // The ordinary route may reach a descriptor of a foreign class that
    // calls straight back into us.
    RecursionGuard guard(calling_out);
    if (!guard)
        return {};
    return Ref::steal(PyObject_GetAttr(obj, name));
}

// setattr(obj, name, value).
inline int write_slot(const SlotCache &cache, PyObject *obj, PyObject *name, PyObject *value) noexcept {
    if (slot_cache_applies(cache, obj, name, true)) {
        PyObject **addr = reinterpret_cast<PyObject **>(reinterpret_cast<char *>(obj) + cache.offset);
        Py_XSETREF(*addr, Py_NewRef(value));
        return 0;
    }
    RecursionGuard guard(calling_out);
    if (!guard)
        return -1;
    return PyObject_SetAttr(obj, name, value);
}

}  // namespace quillon

namespace quillon {

// A property a class made, with the setter it was given, so that an
// assignment that would reach that very setter can call it without the
// attribute machinery in between.
struct PropertyCache {
    PyObject *prop;  // strong, or null: no shortcut
    PyObject *fset;  // strong
};

// Where a property keeps its setter, read from the property type's own
// member table; -1 when it cannot be found (no shortcut then).
inline Py_ssize_t property_setter_offset() noexcept {
    for (PyMemberDef *member = PyProperty_Type.tp_members; member && member->name; ++member)
        if (std::strcmp(member->name, "fset") == 0 && (member->type == _Py_T_OBJECT || member->type == Py_T_OBJECT_EX))
            return member->offset;
    return -1;
}

inline void property_cache_init(PropertyCache &cache, PyObject *cls, PyObject *name, Py_ssize_t offset) noexcept {
    if (!PyType_Check(cls))
        return;
    PyObject *prop = _PyType_Lookup(reinterpret_cast<PyTypeObject *>(cls), name);
    if (offset < 0 || !prop || !Py_IS_TYPE(prop, &PyProperty_Type))
        return;
    PyObject *fset = *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(prop) + offset);
    if (!fset)
        return;
    cache.prop = Py_NewRef(prop);
    cache.fset = Py_NewRef(fset);
}

// The setter `obj.NAME = value` would call: the cached one, when the type
// still resolves NAME to the cached property and that property still holds
// it; null otherwise (take the ordinary route).
inline PyObject *cached_setter(const PropertyCache &cache, PyObject *obj, PyObject *name,
                               Py_ssize_t offset) noexcept {
    if (!cache.prop || Py_TYPE(obj)->tp_setattro != PyObject_GenericSetAttr ||
        _PyType_Lookup(Py_TYPE(obj), name) != cache.prop)
        return nullptr;
    PyObject *fset = *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(cache.prop) + offset);
    return fset == cache.fset ? fset : nullptr;
}

}  // namespace quillon
