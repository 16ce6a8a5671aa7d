// quillon.contact: the Contact class and address validation through email_validator.
#include "classbuild.h"
#include "errors.h"
#include "module.h"
#include "slots.h"

namespace quillon {
namespace {

#define CONTACT_TEXTS(X)                                                                  \
    X(email, "email") X(timeout, "timeout") X(slot_email, "_Contact__email")             \
    X(slot_timeout, "_Contact__timeout") X(Contact, "Contact") X(validate, "validate")   \
    X(validate_email, "validate_email") X(ValidatedEmail, "ValidatedEmail")              \
    X(EmailNotValidError, "EmailNotValidError") X(check_deliverability, "check_deliverability") \
    X(rstrip, "rstrip") X(full_stop, ".") X(valid, "Valid") X(not_valid, "Email is not valid")

#define AS_ENUM(id, text) T_##id,
enum Text : size_t { CONTACT_TEXTS(AS_ENUM) TEXT_COUNT };
#undef AS_ENUM

#define AS_TEXT(id, text) text,
constexpr const char *text_values[] = {CONTACT_TEXTS(AS_TEXT)};
#undef AS_TEXT

enum Keywords : size_t { K_check_deliverability_timeout, K_email_timeout, KEYWORDS_COUNT };

// Seconds used when a time-out is given as None.
constexpr long none_timeout_seconds = 15;

struct ContactState {
    static constexpr const char *name = "quillon.contact";
    static int exec(PyObject *module) noexcept;

    CoreState core;
    PyObject *texts[TEXT_COUNT];
    PyObject *kwnames[KEYWORDS_COUNT];
    PyObject *none_timeout;  // the int 15
    SlotCache email_slot;
    SlotCache timeout_slot;

    int traverse(visitproc visit, void *arg) noexcept {
        if (int rc = core_traverse(&core, texts, kwnames, visit, arg))
            return rc;
        Py_VISIT(none_timeout);
        Py_VISIT(email_slot.descr);
        Py_VISIT(timeout_slot.descr);
        return 0;
    }
    void clear() noexcept {
        core_clear(&core, texts, kwnames);
        Py_CLEAR(none_timeout);
        Py_CLEAR(email_slot.descr);
        Py_CLEAR(timeout_slot.descr);
    }
};

inline ContactState *state(FunctionObject *fn) noexcept { return state_of<ContactState>(fn); }

inline PyObject *text(ContactState *st, Text id) noexcept { return st->texts[id]; }

inline Ref global(ContactState *st, FunctionObject *fn, Text id) noexcept {
    return lookup_module_global(fn, text(st, id));
}

// Whole seconds from any number, as int() gives them; anything that is not a
// number is refused with the argument error for `param`.
Ref convert_timeout(PyObject *value, const char *param) noexcept {
    if (PyLong_CheckExact(value)) [[likely]]
        return Ref::borrow(value);
    PyNumberMethods *nb = Py_TYPE(value)->tp_as_number;
    if ((nb && (nb->nb_int || nb->nb_index || nb->nb_float)) || PyComplex_Check(value))
        return Ref::steal(PyNumber_Long(value));
    raise_argument_type(param, "int", value, false);
    return {};
}

// ---------------------------------------------------------------------------
// Construction and fields.

PyObject *init(FunctionObject *fn, PyObject *const *args) noexcept {
    ContactState *st = state(fn);
    PyObject *self = args[0];
    RecursionGuard guard(calling_out);
    if (!guard)
        return nullptr;
    Ref timeout = convert_timeout(args[2], "timeout");
    if (!timeout || !check_exact_str(args[1], "email", true))
        return nullptr;
    if (PyObject_SetAttr(self, text(st, T_email), args[1]) < 0 ||
        PyObject_SetAttr(self, text(st, T_timeout), timeout.get()) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *get_email(FunctionObject *fn, PyObject *const *args) noexcept {
    ContactState *st = state(fn);
    Ref value = read_slot(st->email_slot, args[0], text(st, T_slot_email));
    if (!value || !expect_str_or_none(value.get()))
        return nullptr;
    return value.release();
}

PyObject *set_email(FunctionObject *fn, PyObject *const *args) noexcept {
    if (!check_exact_str(args[1], "email", false))
        return nullptr;
    ContactState *st = state(fn);
    if (write_slot(st->email_slot, args[0], text(st, T_slot_email), args[1]) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *get_timeout(FunctionObject *fn, PyObject *const *args) noexcept {
    ContactState *st = state(fn);
    return read_slot(st->timeout_slot, args[0], text(st, T_slot_timeout)).release();
}

PyObject *set_timeout(FunctionObject *fn, PyObject *const *args) noexcept {
    ContactState *st = state(fn);
    Ref value = args[1] == Py_None ? Ref::borrow(st->none_timeout) : convert_timeout(args[1], "value");
    if (!value || write_slot(st->timeout_slot, args[0], text(st, T_slot_timeout), value.get()) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Validation.

// The guarded part of validate: true when the library accepted the address;
// false with an exception set otherwise.
bool check_address(ContactState *st, FunctionObject *fn, PyObject *email, PyObject *timeout) noexcept {
    Ref validate_email = global(st, fn, T_validate_email);
    if (!validate_email)
        return false;
    PyObject *call_args[] = {email, Py_True, timeout};
    Ref res = Ref::steal(PyObject_Vectorcall(validate_email.get(), call_args, 1,
                                             st->kwnames[K_check_deliverability_timeout]));
    if (!res)
        return false;
    Ref validated = global(st, fn, T_ValidatedEmail);
    if (!validated)
        return false;
    int ok = PyObject_IsInstance(res.get(), validated.get());
    if (ok < 0)
        return false;
    if (ok)
        return true;
    Ref error_type = global(st, fn, T_EmailNotValidError);
    if (!error_type)
        return false;
    Ref error = Ref::steal(PyObject_CallOneArg(error_type.get(), text(st, T_not_valid)));
    if (error)
        raise_object(error.get());
    return false;
}

PyObject *validate(FunctionObject *fn, PyObject *const *args) noexcept {
    ContactState *st = state(fn);
    PyObject *email = args[0];
    RecursionGuard guard(calling_out);
    if (!guard)
        return nullptr;
    Ref timeout = args[1] == Py_None ? Ref::borrow(st->none_timeout) : convert_timeout(args[1], "timeout");
    if (!timeout || !check_exact_str(email, "email", false))
        return nullptr;

    if (check_address(st, fn, email, timeout.get()))
        return PyTuple_Pack(2, Py_True, text(st, T_valid));

    // Any Exception becomes a refusal with its text; anything beyond that
    // (KeyboardInterrupt, SystemExit) goes on up.
    PyObject *raised = PyErr_GetRaisedException();
    if (!PyErr_GivenExceptionMatches(raised, PyExc_Exception)) {
        PyErr_SetRaisedException(raised);
        return nullptr;
    }
    Ref exc = Ref::steal(raised);
    Ref reason = Ref::steal(PyObject_Format(exc.get(), st->core.empty_str));
    if (!reason)
        return nullptr;
    PyObject *strip_args[] = {reason.get(), text(st, T_full_stop)};
    Ref message = Ref::steal(PyObject_VectorcallMethod(text(st, T_rstrip), strip_args, 2, nullptr));
    if (!message)
        return nullptr;
    return PyTuple_Pack(2, Py_False, message.get());
}

PyObject *get_is_valid(FunctionObject *fn, PyObject *const *args) noexcept {
    ContactState *st = state(fn);
    PyObject *self = args[0];
    RecursionGuard guard(calling_out);
    if (!guard)
        return nullptr;
    Ref cls = global(st, fn, T_Contact);
    if (!cls)
        return nullptr;
    Ref check = Ref::steal(PyObject_GetAttr(cls.get(), text(st, T_validate)));
    if (!check)
        return nullptr;
    Ref email = read_slot(st->email_slot, self, text(st, T_slot_email));
    if (!email)
        return nullptr;
    Ref timeout = read_slot(st->timeout_slot, self, text(st, T_slot_timeout));
    if (!timeout)
        return nullptr;
    PyObject *call_args[] = {email.get(), timeout.get()};
    Ref result = Ref::steal(PyObject_Vectorcall(check.get(), call_args, 0, st->kwnames[K_email_timeout]));
    if (!result)
        return nullptr;
    Ref status, message;
    if (!unpack_pair(result.get(), status, message))
        return nullptr;
    return status.release();
}

// ---------------------------------------------------------------------------
// The class.

const FunctionSpec init_spec = {"__init__", "Contact.__init__", nullptr, {"self", "email", "timeout"},
                                {{"email", "str"}, {"timeout", "int"}}, init, 0};
const FunctionSpec email_getter = {"email", "Contact.email", nullptr, {"self"},
                                   {{"return", "str"}}, get_email, 0};
const FunctionSpec email_setter = {"email", "Contact.email", nullptr, {"self", "email"},
                                   {{"email", "str"}}, set_email, 0};
const FunctionSpec validate_spec = {
    "validate", "Contact.validate",
    "\n            Validates the email address in sync / async mode.\n\n"
    "            :param email: 'someone@example.org'\n"
    "            :param timeout: 0..X sec\n"
    "            :return:\n            ",
    {"email", "timeout"},
    {{"email", "str"}, {"timeout", "int"}, {"return", "tuple[bool, str]"}},
    validate, 0};
const FunctionSpec timeout_getter = {"timeout", "Contact.timeout", nullptr, {"self"}, {}, get_timeout, 0};
const FunctionSpec timeout_setter = {"timeout", "Contact.timeout", nullptr, {"self", "value"},
                                     {{"value", "int"}}, set_timeout, 0};
const FunctionSpec is_valid_getter = {"is_valid", "Contact.is_valid", nullptr, {"self"},
                                      {{"return", "bool"}}, get_is_valid, 0};

int build_class(PyObject *module) noexcept {
    ClassBody body(module, "Contact", {"__email", "__timeout"});
    if (!body.ok())
        return -1;
    Ref init_defaults = Ref::steal(Py_BuildValue("(Oi)", Py_None, 15));
    Ref validate_defaults = Ref::steal(Py_BuildValue("(i)", 2));
    if (!init_defaults || !validate_defaults)
        return -1;
    bool ok = body.add_logged("__init__", init_spec, init_defaults.get(), false) &&
              body.add_property("email", email_getter, &email_setter) &&
              body.add_logged("validate", validate_spec, validate_defaults.get(), true) &&
              body.add_property("timeout", timeout_getter, &timeout_setter) &&
              body.add_property("is_valid", is_valid_getter, nullptr) && body.finish("Contact");
    return ok ? 0 : -1;
}

// ---------------------------------------------------------------------------
// Module.

int ContactState::exec(PyObject *module) noexcept {
    ContactState *st = static_cast<ContactState *>(PyModule_GetState(module));
    if (core_init(&st->core, module, name, text_values, st->texts) < 0)
        return -1;
    PyObject **t = st->texts;
    st->kwnames[K_check_deliverability_timeout] = make_kwnames({t[T_check_deliverability], t[T_timeout]});
    st->kwnames[K_email_timeout] = make_kwnames({t[T_email], t[T_timeout]});
    st->none_timeout = PyLong_FromLong(none_timeout_seconds);
    for (PyObject *names : st->kwnames)
        if (!names)
            return -1;
    if (!st->none_timeout)
        return -1;
    if (!import_names(module, "logger", {"logging"}) ||
        !import_names(module, "email_validator", {"validate_email", "ValidatedEmail", "EmailNotValidError"}))
        return -1;
    if (build_class(module) < 0)
        return -1;
    Ref cls = Ref::steal(PyObject_GetAttr(module, text(st, T_Contact)));
    if (!cls)
        return -1;
    slot_cache_init(st->email_slot, cls.get(), text(st, T_slot_email));
    slot_cache_init(st->timeout_slot, cls.get(), text(st, T_slot_timeout));
    return 0;
}

}  // namespace
}  // namespace quillon

extern "C" [[gnu::visibility("default")]] PyObject *PyInit_contact() {
    return quillon::ModuleDefinition<quillon::ContactState>::init();
}
