// quillon.email: the checked fields, recipient normalisation and the constructor.
#include "recipients.h"
#include "state.h"

namespace quillon::email {

namespace {

PyObject *store(EmailState *st, PyObject *self, int field, PyObject *value) noexcept {
    if (st->fields.write(self, field, value) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

// Email._Email__normalize(emails=value), reached through the module global.
// A wrapper of the shipped logger is asked where the call would go (the
// level check the call would make) and that is called in its place; when it
// is our own normaliser, its body runs without a call. Anything else is
// called as it is.
Ref call_normalizer(EmailState *st, FunctionObject *fn, PyObject *value) noexcept {
    Ref cls = global(st, fn, T_Email);
    if (!cls)
        return {};
    Ref normalize = class_attribute(cls.get(), text(st, T_normalize), shortcuts(st));
    if (!normalize)
        return {};
    // Without shortcuts the wrapper type is not known, and the call below
    // goes through the interpreter.
    const bool wrapped = st->logcall_wrapper && Py_IS_TYPE(normalize.get(), st->logcall_wrapper);
    if (wrapped) {
        normalize = Ref::steal(st->logcall_target(normalize.get()));
        if (!normalize)
            return {};
    }
    if (shortcuts(st) && Py_IS_TYPE(normalize.get(), st->common.core.function_type) &&
        reinterpret_cast<FunctionObject *>(normalize.get())->spec == &normalize_spec)
        return Ref::steal(normalize_spec.body(reinterpret_cast<FunctionObject *>(normalize.get()), &value));
    RecursionGuard guard(calling_out);
    if (!guard)
        return {};
    PyObject *call_args[] = {value};
    return Ref::steal(PyObject_Vectorcall(normalize.get(), call_args, 0, keywords(st, K_emails)));
}

Ref call_method(PyObject *name, std::initializer_list<PyObject *> args) noexcept {
    return Ref::steal(PyObject_VectorcallMethod(name, args.begin(), args.size(), nullptr));
}

// The literal route, for text subclasses: each method is looked up on the
// object at the moment of the call, as an override would expect.
Ref normalize_text_by_methods(EmailState *st, Ref emails) noexcept {
    RecursionGuard guard(calling_out);
    if (!guard)
        return {};
    PyObject *empty = st->common.core.empty_str;
    emails = call_method(text(st, T_replace), {emails.get(), text(st, T_tab), empty});
    if (emails)
        emails = call_method(text(st, T_replace), {emails.get(), text(st, T_space), empty});
    if (emails)
        emails = call_method(text(st, T_replace), {emails.get(), text(st, T_semicolon), text(st, T_comma)});
    if (emails)
        emails = call_method(text(st, T_lower), {emails.get()});
    if (emails)
        emails = call_method(text(st, T_split), {emails.get(), text(st, T_comma)});
    return emails;
}

Ref normalize_exact(EmailState *st, PyObject *emails) noexcept {
    const NormalizeTexts names = {text(st, T_tab),   text(st, T_space),         text(st, T_semicolon),
                                  text(st, T_comma), st->common.core.empty_str, text(st, T_lower)};
    return normalize_exact_text(emails, names, st->cleaner);
}

// "me@example,org" is two items once normalised, and the sender keeps the
// first: mail would go out from "me@example". An item the setter drops that
// is text without an '@' is such a typo, not a second address, and the value
// is refused; an empty one ("a@x.org;") and an address are dropped silently.
QUILLON_COLD void raise_dropped_sender(PyObject *kept, PyObject *dropped) noexcept {
    PyErr_Format(PyExc_ValueError,
                 "from_ would keep %R and drop %R, which is no address (',' and ';' separate addresses; "
                 "from_ keeps the first)",
                 kept, dropped);
}

bool check_dropped_senders(PyObject *items) noexcept {
    Ref fast = Ref::steal(PySequence_Fast(items, "the normalised sender must be a sequence"));
    if (!fast)
        return false;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(fast.get());
    PyObject *const *item = PySequence_Fast_ITEMS(fast.get());
    for (Py_ssize_t i = 1; i < count; ++i) {
        if (!PyUnicode_Check(item[i]) || PyUnicode_GET_LENGTH(item[i]) == 0)
            continue;
        if (PyUnicode_FindChar(item[i], '@', 0, PyUnicode_GET_LENGTH(item[i]), 1) == -1) {
            raise_dropped_sender(item[0], item[i]);
            return false;
        }
    }
    return true;
}

}  // namespace

PyObject *get_text_field(FunctionObject *fn, PyObject *const *args) noexcept {
    Ref value = state(fn)->fields.read(args[0], fn->spec->tag);
    if (!value || !expect_str_or_none(value.get()))
        return nullptr;
    return value.release();
}

PyObject *get_list_field(FunctionObject *fn, PyObject *const *args) noexcept {
    Ref value = state(fn)->fields.read(args[0], fn->spec->tag);
    if (!value || !expect_list_or_none(value.get()))
        return nullptr;
    return value.release();
}

PyObject *get_attachments(FunctionObject *fn, PyObject *const *args) noexcept {
    return state(fn)->fields.read(args[0], F_attachments).release();
}

PyObject *set_text_field(FunctionObject *fn, PyObject *const *args) noexcept {
    PyObject *value = args[1];
    if (!check_exact_str(value, "value", true))
        return nullptr;
    if (value != Py_None && PyUnicode_GET_LENGTH(value) == 0)
        value = Py_None;
    return store(state(fn), args[0], fn->spec->tag, value);
}

PyObject *set_recipients(FunctionObject *fn, PyObject *const *args) noexcept {
    EmailState *st = state(fn);
    Ref result = call_normalizer(st, fn, args[1]);
    if (!result)
        return nullptr;
    return store(st, args[0], fn->spec->tag, result.get());
}

PyObject *set_sender(FunctionObject *fn, PyObject *const *args) noexcept {
    EmailState *st = state(fn);
    if (!check_exact_str(args[1], "value", true))
        return nullptr;
    Ref result = call_normalizer(st, fn, args[1]);
    if (!result)
        return nullptr;
    if (PyList_Check(result.get()) || PyTuple_Check(result.get())) {
        if (!check_dropped_senders(result.get()))
            return nullptr;
        result = Ref::steal(PySequence_GetItem(result.get(), 0));
        if (!result)
            return nullptr;
    }
    if (!expect_str_or_none(result.get()))
        return nullptr;
    return store(st, args[0], F_from, result.get());
}

PyObject *set_attachments(FunctionObject *fn, PyObject *const *args) noexcept {
    PyObject *value = args[1];
    Ref empty;
    if (value == Py_None) {
        empty = Ref::steal(PyTuple_New(0));
        if (!empty)
            return nullptr;
        value = empty.get();
    }
    return store(state(fn), args[0], F_attachments, value);
}

PyObject *normalize_recipients(FunctionObject *fn, PyObject *const *args) noexcept {
    EmailState *st = state(fn);
    PyObject *given = args[0];

    // Exact str, list and tuple compare unequal to "" unless they are the
    // empty text itself: only other objects are asked.
    if (PyUnicode_CheckExact(given)) {
        if (PyUnicode_GET_LENGTH(given) == 0)
            Py_RETURN_NONE;
        if (shortcuts(st))
            return normalize_exact(st, given).release();
    }
    if (given == Py_None)
        Py_RETURN_NONE;
    if (!PyList_CheckExact(given) && !PyTuple_CheckExact(given)) {
        int empty = PyObject_RichCompareBool(given, st->common.core.empty_str, Py_EQ);
        if (empty < 0)
            return nullptr;
        if (empty)
            Py_RETURN_NONE;
    }

    Ref emails = Ref::borrow(given);
    if (PyList_Check(given) || PyTuple_Check(given)) {
        if (shortcuts(st)) {
            Ref fast = normalize_byte_items(given, st->cleaner);
            if (fast || PyErr_Occurred())
                return fast.release();
        }
        emails = Ref::steal(PyUnicode_Join(text(st, T_comma), given));
        if (!emails)
            return nullptr;
    }
    if (PyUnicode_Check(emails.get())) {
        emails = shortcuts(st) && PyUnicode_CheckExact(emails.get())
                     ? normalize_exact(st, emails.get())
                     : normalize_text_by_methods(st, std::move(emails));
        if (!emails)
            return nullptr;
        int any = PyObject_IsTrue(emails.get());
        if (any < 0)
            return nullptr;
        if (!any)
            Py_RETURN_NONE;
    }
    if (!expect_list_or_none(emails.get()))
        return nullptr;
    return emails.release();
}

// ---------------------------------------------------------------------------
// Construction.

PyObject *init(FunctionObject *fn, PyObject *const *args) noexcept {
    EmailState *st = state(fn);
    PyObject *self = args[0];
    PyObject *const *values = args + 1;  // one per field, in table order
    RecursionGuard guard(calling_out);
    if (!guard)
        return nullptr;
    // The text fields' arguments are all checked before any is stored.
    for (int field = 0; field < FIELD_COUNT; ++field)
        if ((kinds[field] == Kind::text || kinds[field] == Kind::sender) &&
            !check_exact_str(values[field], email_fields[field].name, true))
            return nullptr;
    for (int field = 0; field < FIELD_COUNT; ++field) {
        PyObject *name = field_name(st, static_cast<Field>(field));
        // `self.NAME = value`. When that reaches one of our own
        // two-parameter functions as the setter, its body runs directly, as
        // the call `fset(self, value)` would; anything else (a subclass's
        // property, a replaced setter, a class that `type` was made to
        // return) goes through the attribute machinery.
        Ref setter = cached_setter(st->fields.properties[field], self, name);
        if (setter && Py_IS_TYPE(setter.get(), st->common.core.function_type) &&
            reinterpret_cast<FunctionObject *>(setter.get())->nparams == 2) {
            FunctionObject *set = reinterpret_cast<FunctionObject *>(setter.get());
            PyObject *set_args[] = {self, values[field]};
            Ref done = Ref::steal(set->spec->body(set, set_args));
            if (!done)
                return nullptr;
        } else if (PyObject_SetAttr(self, name, values[field]) < 0) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

}  // namespace quillon::email
