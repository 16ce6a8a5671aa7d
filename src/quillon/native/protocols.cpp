// The interpreter's own protocols, reproduced by hand (see protocols.h).
#include "protocols.h"

#include <cstring>

namespace quillon {

// ---------------------------------------------------------------------------
// Slots.

void slot_cache_init(SlotCache &cache, PyObject *cls, PyObject *name) noexcept {
    if (!PyType_Check(cls))
        return;
    PyObject *descr = _PyType_Lookup(reinterpret_cast<PyTypeObject *>(cls), name);
    if (!descr || !Py_IS_TYPE(descr, &PyMemberDescr_Type))
        return;
    PyMemberDef *member = reinterpret_cast<PyMemberDescrObject *>(descr)->d_member;
    if (member->type != Py_T_OBJECT_EX || (member->flags & Py_READONLY))
        return;
    cache = {Py_NewRef(descr), member->offset, 0, 0};
}

bool slot_cache_revalidate(SlotCache &cache, PyTypeObject *type, PyObject *name, bool for_store) noexcept {
    if (for_store ? type->tp_setattro != PyObject_GenericSetAttr : type->tp_getattro != PyObject_GenericGetAttr)
        return false;
    if (_PyType_Lookup(type, name) != cache.descr || !PyType_IsSubtype(type, PyDescr_TYPE(cache.descr)))
        return false;
    // The lookup gave the type a version tag, unless it has run out of them.
    (for_store ? cache.store_tag : cache.load_tag) = type->tp_version_tag;
    return true;
}

// The plain routes may reach a descriptor of a foreign class that calls
// straight back into us.
Ref read_slot_plainly(PyObject *obj, PyObject *name) noexcept {
    RecursionGuard guard(calling_out);
    if (!guard)
        return {};
    return Ref::steal(PyObject_GetAttr(obj, name));
}

int write_slot_plainly(PyObject *obj, PyObject *name, PyObject *value) noexcept {
    RecursionGuard guard(calling_out);
    if (!guard)
        return -1;
    return PyObject_SetAttr(obj, name, value);
}

// ---------------------------------------------------------------------------
// Properties.

namespace {

// Where a property keeps its setter, read from the property type's own
// member table; -1 when it cannot be found (no shortcut then).
Py_ssize_t property_setter_offset() noexcept {
    for (PyMemberDef *member = PyProperty_Type.tp_members; member && member->name; ++member)
        if (std::strcmp(member->name, "fset") == 0 &&
            (member->type == _Py_T_OBJECT || member->type == Py_T_OBJECT_EX))
            return member->offset;
    return -1;
}

}  // namespace

void property_cache_init(PropertyCache &cache, PyObject *cls, PyObject *name) noexcept {
    const Py_ssize_t offset = property_setter_offset();
    if (offset < 0 || !PyType_Check(cls))
        return;
    PyObject *prop = _PyType_Lookup(reinterpret_cast<PyTypeObject *>(cls), name);
    if (!prop || !Py_IS_TYPE(prop, &PyProperty_Type))
        return;
    PyObject *fset = *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(prop) + offset);
    if (!fset)
        return;
    cache = {Py_NewRef(prop), Py_NewRef(fset), offset, 0};
}

bool property_cache_revalidate(PropertyCache &cache, PyTypeObject *type, PyObject *name) noexcept {
    if (type->tp_setattro != PyObject_GenericSetAttr || _PyType_Lookup(type, name) != cache.prop)
        return false;
    cache.tag = type->tp_version_tag;
    return true;
}

// ---------------------------------------------------------------------------
// Lookups.

Ref lookup_global(PyObject *globals, PyObject *builtins, PyObject *name) noexcept {
    PyObject *found = nullptr;
    int rc = PyDict_GetItemRef(globals, name, &found);
    if (rc > 0)
        return Ref::steal(found);
    if (rc < 0)
        return {};
    rc = PyDict_GetItemRef(builtins, name, &found);
    if (rc > 0)
        return Ref::steal(found);
    if (rc == 0)
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

Ref class_attribute(PyObject *cls, PyObject *name, bool shortcuts) noexcept {
    // Held for the __get__ call below, which may run Python code.
    Ref attr = shortcuts && Py_IS_TYPE(cls, &PyType_Type)
                   ? Ref::borrow(_PyType_Lookup(reinterpret_cast<PyTypeObject *>(cls), name))
                   : Ref{};
    if (attr && Py_IS_TYPE(attr.get(), &PyStaticMethod_Type))
        return Ref::steal(PyStaticMethod_Type.tp_descr_get(attr.get(), nullptr, cls));
    RecursionGuard guard(calling_out);
    if (!guard)
        return {};
    if (!attr)
        return Ref::steal(PyObject_GetAttr(cls, name));  // also for its exact error
    descrgetfunc get = Py_TYPE(attr.get())->tp_descr_get;
    return get ? Ref::steal(get(attr.get(), nullptr, cls)) : std::move(attr);
}

Ref lookup_special(PyObject *obj, PyObject *name) noexcept {
    // Held for the __get__ call, which may run Python code that takes the
    // attribute off the class.
    Ref descr = Ref::borrow(_PyType_Lookup(Py_TYPE(obj), name));
    if (!descr) {
        PyErr_SetObject(PyExc_AttributeError, name);
        return {};
    }
    descrgetfunc get = Py_TYPE(descr.get())->tp_descr_get;
    if (get)
        return Ref::steal(get(descr.get(), obj, reinterpret_cast<PyObject *>(Py_TYPE(obj))));
    return descr;
}

// ---------------------------------------------------------------------------
// Statements.

Ref WithStatement::enter(PyObject *manager, PyObject *enter_name, PyObject *exit_name) noexcept {
    exit_ = lookup_special(manager, exit_name);
    if (!exit_)
        return {};
    Ref enter = lookup_special(manager, enter_name);
    if (!enter)
        return {};
    return Ref::steal(PyObject_CallNoArgs(enter.get()));
}

bool WithStatement::exit(bool body_succeeded) noexcept {
    if (body_succeeded) {
        PyObject *args[] = {Py_None, Py_None, Py_None};
        return static_cast<bool>(Ref::steal(PyObject_Vectorcall(exit_.get(), args, 3, nullptr)));
    }
    Ref handled = Ref::steal(PyErr_GetRaisedException());
    Ref traceback = Ref::steal(PyException_GetTraceback(handled.get()));
    PyObject *args[] = {reinterpret_cast<PyObject *>(Py_TYPE(handled.get())), handled.get(),
                        traceback ? traceback.get() : Py_None};
    // As in an `except` block: while __exit__ and the truth test of its
    // result run, the body's exception is the one being handled
    // (sys.exception()), and whatever they raise takes it as its context.
    Ref outer = Ref::steal(PyErr_GetHandledException());
    PyErr_SetHandledException(handled.get());
    Ref result = Ref::steal(PyObject_Vectorcall(exit_.get(), args, 3, nullptr));
    const int suppress = result ? PyObject_IsTrue(result.get()) : -1;
    PyErr_SetHandledException(outer.get());
    if (suppress > 0)
        return true;
    if (suppress == 0) {
        PyErr_SetRaisedException(handled.release());
        return false;
    }
    // The interpreter chained it already when it was raised; an exception
    // set without its help (no context at all) is chained here.
    PyObject *raised = PyErr_GetRaisedException();
    Ref context = Ref::steal(PyException_GetContext(raised));
    if (!context && raised != handled.get())
        PyException_SetContext(raised, handled.release());
    PyErr_SetRaisedException(raised);
    return false;
}

namespace {

QUILLON_COLD void raise_too_many(Py_ssize_t expected) noexcept {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
}

QUILLON_COLD void raise_need_more(Py_ssize_t found) noexcept {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
}

}  // namespace

bool unpack_pair(PyObject *seq, Ref &first, Ref &second, bool shortcuts) noexcept {
    // An exact tuple or list has no __iter__ of anyone else's: its items are
    // read in place; anything else is iterated.
    if (shortcuts && (PyTuple_CheckExact(seq) || PyList_CheckExact(seq))) {
        Py_ssize_t size = Py_SIZE(seq);
        if (size != 2) {
            if (size > 2)
                raise_too_many(2);
            else
                raise_need_more(size);
            return false;
        }
        PyObject *const *items = PyTuple_CheckExact(seq) ? &PyTuple_GET_ITEM(seq, 0) : &PyList_GET_ITEM(seq, 0);
        first = Ref::borrow(items[0]);
        second = Ref::borrow(items[1]);
        return true;
    }
    Ref iter = Ref::steal(PyObject_GetIter(seq));
    if (!iter)
        return false;
    Ref values[2];
    for (Py_ssize_t i = 0; i < 2; ++i) {
        values[i] = Ref::steal(PyIter_Next(iter.get()));
        if (!values[i]) {
            if (!PyErr_Occurred())
                raise_need_more(i);
            return false;
        }
    }
    Ref extra = Ref::steal(PyIter_Next(iter.get()));
    if (extra) {
        raise_too_many(2);
        return false;
    }
    if (PyErr_Occurred())
        return false;
    first = std::move(values[0]);
    second = std::move(values[1]);
    return true;
}

Ref format_simple(PyObject *obj, PyObject *empty_str, bool shortcuts) noexcept {
    if (shortcuts) {
        if (PyUnicode_CheckExact(obj))
            return Ref::borrow(obj);
        if (PyLong_CheckExact(obj))
            return Ref::steal(PyLong_Type.tp_repr(obj));
        if (PyFloat_CheckExact(obj))
            return Ref::steal(PyFloat_Type.tp_repr(obj));
    }
    return Ref::steal(PyObject_Format(obj, empty_str));
}

}  // namespace quillon
