// The interpreter's own protocols, reproduced by hand: attribute access to a
// class's slots and properties, class and special-method lookup, the `with`
// statement, and the small statements send() and Contact make by hand. Every
// shortcut here says which Python statement it stands for and when it falls
// back to the plain route; QUILLON_NO_SHORTCUTS=1 at import turns them all
// off, so that the suite can prove both routes.
#pragma once

#include "recursion.h"
#include "shortcuts.h"

namespace quillon {

// ---------------------------------------------------------------------------
// `obj.SLOT` and `obj.SLOT = value` for one of a class's own __slots__.

// The member descriptor the class made for the slot. A type found to
// resolve the name to it is remembered by its version tag, which the
// interpreter changes whenever the type or one of its bases is modified
// and never gives twice, so a type seen before needs no lookup. A tag of 0
// means none (3.13 no longer keeps Py_TPFLAGS_VALID_VERSION_TAG): such a
// type is checked at every access.
struct SlotCache {
    PyObject *descr;  // strong, or null: no shortcut
    Py_ssize_t offset;
    unsigned int load_tag;   // the last type checked for a read, or 0
    unsigned int store_tag;  // the same for a write
};

// Fills `cache` from `cls.__dict__[name]`; leaves it empty when that is not a
// plain writable member descriptor, or when `cls` is not a class at all (the
// module body calls whatever `type` is bound to, which may hand back
// anything).
void slot_cache_init(SlotCache &cache, PyObject *cls, PyObject *name) noexcept;

// The checks the member descriptor itself would make, for a type not seen
// before: the type uses the generic attribute machinery, its MRO still finds
// the very descriptor (it may have been replaced or shadowed since), and
// the type derives from the class that owns the slot (a foreign class may
// copy the descriptor into its namespace, and its instances have no slot at
// that offset). Remembers the type when all hold.
bool slot_cache_revalidate(SlotCache &cache, PyTypeObject *type, PyObject *name, bool for_store) noexcept;

inline bool slot_cache_applies(SlotCache &cache, PyObject *obj, PyObject *name, bool for_store) noexcept {
    if (!cache.descr)
        return false;
    const unsigned int tag = Py_TYPE(obj)->tp_version_tag;
    if (tag != 0 && tag == (for_store ? cache.store_tag : cache.load_tag)) [[likely]]
        return true;
    return slot_cache_revalidate(cache, Py_TYPE(obj), name, for_store);
}

Ref read_slot_plainly(PyObject *obj, PyObject *name) noexcept;
int write_slot_plainly(PyObject *obj, PyObject *name, PyObject *value) noexcept;

// `obj.NAME` for a slot: read in place when the type passed the member
// descriptor's own checks and the slot was written; else PyObject_GetAttr,
// which also raises the interpreter's error for a slot never written.
inline Ref read_slot(SlotCache &cache, PyObject *obj, PyObject *name) noexcept {
    if (slot_cache_applies(cache, obj, name, false)) {
        PyObject *value = *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(obj) + cache.offset);
        if (value) [[likely]]
            return Ref::borrow(value);
    }
    return read_slot_plainly(obj, name);
}

// `obj.NAME = value` for a slot: written in place when the type passed the
// member descriptor's own checks; else PyObject_SetAttr.
inline int write_slot(SlotCache &cache, PyObject *obj, PyObject *name, PyObject *value) noexcept {
    if (slot_cache_applies(cache, obj, name, true)) {
        PyObject **addr = reinterpret_cast<PyObject **>(reinterpret_cast<char *>(obj) + cache.offset);
        Py_XSETREF(*addr, Py_NewRef(value));
        return 0;
    }
    return write_slot_plainly(obj, name, value);
}

// ---------------------------------------------------------------------------
// `obj.PROPERTY = value`, when it would reach a setter of the class's own.

// The property a class made and the setter it was given, so that an
// assignment that would reach that very setter can call it without the
// attribute machinery in between.
struct PropertyCache {
    PyObject *prop;          // strong, or null: no shortcut
    PyObject *fset;          // strong
    Py_ssize_t fset_offset;  // where a property keeps its setter
    unsigned int tag;        // the last type found to resolve the name to `prop`, or 0
};

void property_cache_init(PropertyCache &cache, PyObject *cls, PyObject *name) noexcept;
bool property_cache_revalidate(PropertyCache &cache, PyTypeObject *type, PyObject *name) noexcept;

// `obj.NAME = value` for a property: the setter it would call (a new
// reference) when the type still resolves NAME to the cached property
// through the generic machinery and the property still holds that setter
// (property.__init__ can be called again); else null, no exception set:
// take PyObject_SetAttr.
inline Ref cached_setter(PropertyCache &cache, PyObject *obj, PyObject *name) noexcept {
    if (!cache.prop)
        return {};
    const unsigned int tag = Py_TYPE(obj)->tp_version_tag;
    if ((tag == 0 || tag != cache.tag) && !property_cache_revalidate(cache, Py_TYPE(obj), name))
        return {};
    PyObject *fset = *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(cache.prop) + cache.fset_offset);
    return fset == cache.fset ? Ref::borrow(fset) : Ref{};
}

// ---------------------------------------------------------------------------
// Lookups.

// A global NAME as a function body reads it: the module namespace, then the
// builtins; NameError "name 'X' is not defined". No shortcut: both are dict
// lookups.
Ref lookup_global(PyObject *globals, PyObject *builtins, PyObject *name) noexcept;

// `cls.NAME`, where `type` itself has no attribute NAME: a static method
// found on a class whose metaclass is exactly `type` unwraps in place, as
// type's own lookup would, running no code; anything else, and every case
// without shortcuts, goes through PyObject_GetAttr or the found __get__.
Ref class_attribute(PyObject *cls, PyObject *name, bool shortcuts) noexcept;

// The special method NAME found on the type of `obj`, bound to `obj`, as the
// interpreter finds __enter__ and __exit__; AttributeError whose message is
// the name when the type lacks it. The interpreter offers no public route
// that skips the instance, so this one route serves with or without
// shortcuts.
Ref lookup_special(PyObject *obj, PyObject *name) noexcept;

// ---------------------------------------------------------------------------
// Statements.

// `with manager as value: BODY`, in two calls around the body:
//     WithStatement with;
//     Ref value = with.enter(manager, enter_name, exit_name);
//     ... the body, leaving its exception set when it fails ...
//     if (!with.exit(body_succeeded)) -> an exception is set
class WithStatement {
public:
    // __exit__ is looked up first and kept, then __enter__ is looked up and
    // called; null with an exception set when any step fails.
    Ref enter(PyObject *manager, PyObject *enter_name, PyObject *exit_name) noexcept;
    // Leaves the block. After a body that succeeded, __exit__(None, None,
    // None); after one that failed, __exit__(type, exception, traceback) with
    // the pending exception, which goes on unless the result is true and
    // is, meanwhile, the exception being handled (sys.exception()). An
    // exception from __exit__ or from the truth test of its result replaces
    // it, chained to it as from an `except` block. True when the statement completed (the
    // body succeeded or its exception was suppressed).
    bool exit(bool body_succeeded) noexcept;

private:
    Ref exit_;
};

// `first, second = seq`, with the interpreter's messages for too many and
// too few values. An exact tuple or list is measured in place; anything
// else is iterated.
bool unpack_pair(PyObject *seq, Ref &first, Ref &second, bool shortcuts) noexcept;

// `f"{obj}"`: always a str (the interpreter refuses a __format__ that
// returns anything else). An exact str, int or float, whose formatting no
// one can override, is turned to text directly.
Ref format_simple(PyObject *obj, PyObject *empty_str, bool shortcuts) noexcept;

}  // namespace quillon
