// quillon.contact: the Contact class and address validation through email_validator.
#include "classbuild.h"
#include "fields.h"
#include "errors.h"
#include "module_exec.h"

namespace quillon {
namespace {

// Every text the module needs at run time, interned once into its state
// ("email" and "timeout" here are keywords of the calls it makes; the
// fields' names are in the field table below).
#define CONTACT_TEXTS(X)                                                                  \
    X(email, "email") X(timeout, "timeout") X(Contact, "Contact") X(validate, "validate") \
    X(validate_email, "validate_email") X(ValidatedEmail, "ValidatedEmail")              \
    X(EmailNotValidError, "EmailNotValidError") X(check_deliverability, "check_deliverability") \
    X(rstrip, "rstrip") X(full_stop, ".") X(valid, "Valid") X(not_valid, "Email is not valid")

#define AS_ENUM(id, text) T_##id,
enum Text : size_t { CONTACT_TEXTS(AS_ENUM) TEXT_COUNT };
#undef AS_ENUM

enum Keywords : size_t { K_check_deliverability_timeout, K_email_timeout, KEYWORDS_COUNT };

enum Object : size_t { OBJECT_COUNT };

// Seconds used when a time-out is given as None.
constexpr long none_timeout_seconds = 15;

PyObject *init(FunctionObject *fn, PyObject *const *args) noexcept;
PyObject *get_email(FunctionObject *fn, PyObject *const *args) noexcept;
PyObject *set_email(FunctionObject *fn, PyObject *const *args) noexcept;
PyObject *get_timeout(FunctionObject *fn, PyObject *const *args) noexcept;
PyObject *set_timeout(FunctionObject *fn, PyObject *const *args) noexcept;

// What a field holds decides its accessors, their annotations, and the
// constructor's default.
enum class Kind { address, seconds };

constexpr FieldSpec field(const char *name, const char *slot, Kind kind, const char *annotation) {
    switch (kind) {
    case Kind::address:
        return {.name = name,
                .slot = slot,
                .annotation = annotation,
                .default_number = nullptr,
                .get = get_email,
                .returns = "str",
                .set = set_email,
                .set_parameter = "email",
                .set_annotation = "str"};
    case Kind::seconds:
        return {.name = name,
                .slot = slot,
                .annotation = annotation,
                .default_number = &none_timeout_seconds,
                .get = get_timeout,
                .returns = nullptr,
                .set = set_timeout,
                .set_parameter = "value",
                .set_annotation = "int"};
    }
    return {};
}

// The two fields, in slot order, which is also the order of the
// constructor's parameters: the one place a field is written.
//  enum        name       slot         kind           constructor annotation
#define CONTACT_FIELDS(X)                                           \
    X(F_email,   "email",   "__email",   Kind::address, "str")      \
    X(F_timeout, "timeout", "__timeout", Kind::seconds, "int")

#define AS_ENUM(id, ...) id,
enum Field : int { CONTACT_FIELDS(AS_ENUM) FIELD_COUNT };
#undef AS_ENUM

#define AS_ROW(id, name, slot, kind, annotation) field(name, slot, kind, annotation),
constexpr FieldSpec contact_fields[] = {CONTACT_FIELDS(AS_ROW)};
#undef AS_ROW

using ContactFields = FieldTable<contact_fields, init>;

struct ContactState {
    static constexpr const char *name = "quillon.contact";
    static constexpr const char *class_name = "Contact";
    static constexpr const auto &field_specs = contact_fields;
#define AS_TEXT(id, text) text,
    static constexpr const char *text_values[] = {CONTACT_TEXTS(AS_TEXT)};
#undef AS_TEXT
    static constexpr KeywordsSpec<Keywords, Text> keyword_specs[] = {
        {K_check_deliverability_timeout, {T_check_deliverability, T_timeout}},
        {K_email_timeout, {T_email, T_timeout}},
    };
    static constexpr ImportSpec import_specs[] = {
        {"logger", {"logging"}},
        {"email_validator", {"validate_email", "ValidatedEmail", "EmailNotValidError"}},
    };
    static constexpr std::array<LookupSpec<Object>, 0> lookup_specs = {};

    // First: the shared layer reaches it.
    ModuleState<Text, TEXT_COUNT, Keywords, KEYWORDS_COUNT, Object, OBJECT_COUNT> common;
    FieldState<FIELD_COUNT> fields;
    PyObject *none_timeout;  // the int 15
    PyObject *accepted;      // (True, "Valid"): a tuple of constants, as a literal gives

    int exec_own(PyObject *module) noexcept;
    template <typename F>
    int each_reference(F &&f) noexcept {
        return for_each_reference(f, none_timeout, accepted);
    }
};

inline ContactState *state(FunctionObject *fn) noexcept { return state_of<ContactState>(fn); }

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
    PyObject *const *values = args + 1;  // one per field, in table order
    Ref timeout = convert_timeout(values[F_timeout], contact_fields[F_timeout].name);
    if (!timeout || !check_exact_str(values[F_email], contact_fields[F_email].name, true))
        return nullptr;
    if (PyObject_SetAttr(self, st->fields.names[F_email], values[F_email]) < 0 ||
        PyObject_SetAttr(self, st->fields.names[F_timeout], timeout.get()) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *get_email(FunctionObject *fn, PyObject *const *args) noexcept {
    Ref value = state(fn)->fields.read(args[0], F_email);
    if (!value || !expect_str_or_none(value.get()))
        return nullptr;
    return value.release();
}

PyObject *set_email(FunctionObject *fn, PyObject *const *args) noexcept {
    if (!check_exact_str(args[1], contact_fields[F_email].set_parameter, false))
        return nullptr;
    if (state(fn)->fields.write(args[0], F_email, args[1]) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *get_timeout(FunctionObject *fn, PyObject *const *args) noexcept {
    return state(fn)->fields.read(args[0], F_timeout).release();
}

PyObject *set_timeout(FunctionObject *fn, PyObject *const *args) noexcept {
    ContactState *st = state(fn);
    Ref value = args[1] == Py_None ? Ref::borrow(st->none_timeout)
                                   : convert_timeout(args[1], contact_fields[F_timeout].set_parameter);
    if (!value || st->fields.write(args[0], F_timeout, value.get()) < 0)
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
    Ref res = Ref::steal(
        PyObject_Vectorcall(validate_email.get(), call_args, 1, keywords(st, K_check_deliverability_timeout)));
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
        return Py_NewRef(st->accepted);

    // Any Exception becomes a refusal with its text; anything beyond that
    // (KeyboardInterrupt, SystemExit) goes on up.
    PyObject *raised = PyErr_GetRaisedException();
    if (!PyErr_GivenExceptionMatches(raised, PyExc_Exception)) {
        PyErr_SetRaisedException(raised);
        return nullptr;
    }
    Ref exc = Ref::steal(raised);
    Ref reason = Ref::steal(PyObject_Format(exc.get(), st->common.core.empty_str));
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
    Ref email = st->fields.read(self, F_email);
    if (!email)
        return nullptr;
    Ref timeout = st->fields.read(self, F_timeout);
    if (!timeout)
        return nullptr;
    PyObject *call_args[] = {email.get(), timeout.get()};
    Ref result = Ref::steal(PyObject_Vectorcall(check.get(), call_args, 0, keywords(st, K_email_timeout)));
    if (!result)
        return nullptr;
    Ref status, message;
    if (!unpack_pair(result.get(), status, message, shortcuts(st)))
        return nullptr;
    return status.release();
}

// ---------------------------------------------------------------------------
// The class.

const FunctionSpec validate_spec = {"validate",
                                    "Contact.validate",
                                    "\n            Validates the email address in sync / async mode.\n\n"
                                    "            :param email: 'someone@example.org'\n"
                                    "            :param timeout: 0..X sec\n"
                                    "            :return:\n            ",
                                    {"email", "timeout"},
                                    {{"email", "str"}, {"timeout", "int"}, {"return", "tuple[bool, str]"}},
                                    validate,
                                    0};
const FunctionSpec is_valid_getter = {"is_valid",           "Contact.is_valid", nullptr, {"self"},
                                      {{"return", "bool"}}, get_is_valid,       0};

// The class body: __init__, the fields' properties with validate between
// them, and is_valid.
int build_class(PyObject *module) noexcept {
    ClassBody body(module, ContactState::class_name, ContactFields::slots);
    if (!body.ok())
        return -1;
    Ref init_defaults = field_defaults(contact_fields);
    Ref validate_defaults = Ref::steal(Py_BuildValue("(i)", 2));
    if (!init_defaults || !validate_defaults)
        return -1;
    bool ok = body.add_logged("__init__", ContactFields::constructor, init_defaults.get(), false) &&
              body.add_fields<ContactFields>(contact_fields, F_email, F_timeout) &&
              body.add_logged("validate", validate_spec, validate_defaults.get(), true) &&
              body.add_fields<ContactFields>(contact_fields, F_timeout, FIELD_COUNT) &&
              body.add_property("is_valid", is_valid_getter, nullptr) && body.finish(ContactState::class_name);
    return ok ? 0 : -1;
}

// ---------------------------------------------------------------------------
// Module.

int ContactState::exec_own(PyObject *module) noexcept {
    none_timeout = PyLong_FromLong(none_timeout_seconds);
    accepted = PyTuple_Pack(2, Py_True, text(this, T_valid));
    if (!none_timeout || !accepted)
        return -1;
    return build_class(module);
}

}  // namespace
}  // namespace quillon

PyMODINIT_FUNC PyInit_contact() { return quillon::ModuleDefinition<quillon::ContactState>::init(); }
