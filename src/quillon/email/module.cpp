// quillon.email: the Email class, its checked fields and recipient normalisation.
#include "classbuild.h"
#include "errors.h"

namespace quillon {
namespace {

// Every text the module needs at run time, interned once into its state.
#define EMAIL_TEXTS(X)                                                           \
    X(server, "server") X(username, "username") X(password, "password")         \
    X(from_, "from_") X(to, "to") X(cc, "cc") X(bcc, "bcc")                     \
    X(subject, "subject") X(message, "message") X(attachments, "attachments")   \
    X(slot_server, "_Email__server") X(slot_username, "_Email__username")       \
    X(slot_password, "_Email__password") X(slot_from, "_Email__from")           \
    X(slot_to, "_Email__to") X(slot_cc, "_Email__cc") X(slot_bcc, "_Email__bcc") \
    X(slot_subject, "_Email__subject") X(slot_message, "_Email__message")       \
    X(slot_attachments, "_Email__attachments")                                   \
    X(Email, "Email") X(normalize, "_Email__normalize") X(emails, "emails")     \
    X(replace, "replace") X(lower, "lower") X(split, "split")                   \
    X(tab, "\t") X(space, " ") X(semicolon, ";") X(comma, ",")                  \
    X(SMTP, "SMTP") X(MIMEMultipart, "MIMEMultipart") X(MIMEText, "MIMEText")   \
    X(MIMEBase, "MIMEBase") X(encoders, "encoders") X(encode_base64, "encode_base64") \
    X(From, "From") X(To, "To") X(Cc, "Cc") X(Bcc, "Bcc") X(Subject, "Subject") \
    X(text_, "_text") X(subtype_, "_subtype") X(maintype_, "_maintype")         \
    X(name_, "_name") X(value_, "_value") X(filename, "filename")               \
    X(payload, "payload") X(msg, "msg") X(host, "host") X(user, "user")         \
    X(html, "html") X(application, "application") X(octet_stream, "octet-stream") \
    X(content_disposition, "Content-Disposition") X(attachment, "attachment")   \
    X(attachment_filename, "attachment; filename=")                              \
    X(attach, "attach") X(set_payload, "set_payload") X(add_header, "add_header") \
    X(login, "login") X(send_message, "send_message")                            \
    X(dunder_enter, "__enter__") X(dunder_exit, "__exit__")

#define AS_ENUM(id, text) T_##id,
enum Text : size_t { EMAIL_TEXTS(AS_ENUM) TEXT_COUNT };
#undef AS_ENUM

#define AS_TEXT(id, text) text,
constexpr const char *text_values[] = {EMAIL_TEXTS(AS_TEXT)};
#undef AS_TEXT

// Keyword-name tuples for the calls into the standard library.
enum Keywords : size_t {
    K_emails,
    K_host,
    K_user_password,
    K_msg,
    K_payload,
    K_text_subtype,
    K_maintype_subtype,
    K_name_value,
    K_name_value_filename,
    KEYWORDS_COUNT
};

struct EmailState {
    CoreState core;
    PyObject *texts[TEXT_COUNT];
    PyObject *kwnames[KEYWORDS_COUNT];
    PyObject *recipients_refused;  // smtplib.SMTPRecipientsRefused
};

inline EmailState *state(FunctionObject *fn) noexcept { return state_of<EmailState>(fn); }

inline PyObject *text(EmailState *st, Text id) noexcept { return st->texts[id]; }

Ref global(EmailState *st, FunctionObject *fn, Text id) noexcept {
    PyObject *module = PyType_GetModule(Py_TYPE(fn));
    return lookup_global(PyModule_GetDict(module), st->core.builtins, text(st, id));
}

// ---------------------------------------------------------------------------
// Fields. The spec's `tag` says which one a shared body serves.

enum Field : int { F_server, F_username, F_password, F_from, F_to, F_cc, F_bcc, F_subject, F_message, F_attachments };

constexpr Text slot_of[] = {T_slot_server, T_slot_username, T_slot_password, T_slot_from, T_slot_to,
                            T_slot_cc, T_slot_bcc, T_slot_subject, T_slot_message, T_slot_attachments};

constexpr Text property_of[] = {T_server, T_username, T_password, T_from_, T_to,
                                T_cc, T_bcc, T_subject, T_message, T_attachments};

PyObject *get_text_field(FunctionObject *fn, PyObject *const *args) noexcept {
    EmailState *st = state(fn);
    Ref value = Ref::steal(PyObject_GetAttr(args[0], text(st, slot_of[fn->spec->tag])));
    if (!value || !expect_str_or_none(value.get()))
        return nullptr;
    return value.release();
}

PyObject *get_list_field(FunctionObject *fn, PyObject *const *args) noexcept {
    EmailState *st = state(fn);
    Ref value = Ref::steal(PyObject_GetAttr(args[0], text(st, slot_of[fn->spec->tag])));
    if (!value || !expect_list_or_none(value.get()))
        return nullptr;
    return value.release();
}

PyObject *get_attachments(FunctionObject *fn, PyObject *const *args) noexcept {
    return PyObject_GetAttr(args[0], text(state(fn), T_slot_attachments));
}

PyObject *store(EmailState *st, PyObject *self, Field field, PyObject *value) noexcept {
    if (PyObject_SetAttr(self, text(st, slot_of[field]), value) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *set_text_field(FunctionObject *fn, PyObject *const *args) noexcept {
    PyObject *value = args[1];
    if (!check_exact_str(value, "value", true))
        return nullptr;
    if (value != Py_None && PyUnicode_GET_LENGTH(value) == 0)
        value = Py_None;
    return store(state(fn), args[0], static_cast<Field>(fn->spec->tag), value);
}

// Email._Email__normalize(emails=value), reached through the module global.
Ref call_normalizer(EmailState *st, FunctionObject *fn, PyObject *value) noexcept {
    Ref cls = global(st, fn, T_Email);
    if (!cls)
        return {};
    Ref normalize = Ref::steal(PyObject_GetAttr(cls.get(), text(st, T_normalize)));
    if (!normalize)
        return {};
    PyObject *call_args[] = {value};
    return Ref::steal(PyObject_Vectorcall(normalize.get(), call_args, 0, st->kwnames[K_emails]));
}

PyObject *set_recipients(FunctionObject *fn, PyObject *const *args) noexcept {
    EmailState *st = state(fn);
    Ref result = call_normalizer(st, fn, args[1]);
    if (!result)
        return nullptr;
    return store(st, args[0], static_cast<Field>(fn->spec->tag), result.get());
}

PyObject *set_sender(FunctionObject *fn, PyObject *const *args) noexcept {
    EmailState *st = state(fn);
    if (!check_exact_str(args[1], "value", true))
        return nullptr;
    Ref result = call_normalizer(st, fn, args[1]);
    if (!result)
        return nullptr;
    if (PyList_Check(result.get()) || PyTuple_Check(result.get())) {
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

// ---------------------------------------------------------------------------
// Recipient normalisation.

Ref call_method(PyObject *name, std::initializer_list<PyObject *> args) noexcept {
    return Ref::steal(PyObject_VectorcallMethod(name, args.begin(), args.size(), nullptr));
}

PyObject *normalize(FunctionObject *fn, PyObject *const *args) noexcept {
    EmailState *st = state(fn);
    Ref emails = Ref::borrow(args[0]);

    if (PyUnicode_CheckExact(emails.get())) {
        if (PyUnicode_GET_LENGTH(emails.get()) == 0)
            Py_RETURN_NONE;
    } else if (emails.get() != Py_None) {
        int empty = PyObject_RichCompareBool(emails.get(), st->core.empty_str, Py_EQ);
        if (empty < 0)
            return nullptr;
        if (empty)
            Py_RETURN_NONE;
    }
    if (emails.get() == Py_None)
        Py_RETURN_NONE;

    if (PyList_Check(emails.get()) || PyTuple_Check(emails.get())) {
        emails = Ref::steal(PyUnicode_Join(text(st, T_comma), emails.get()));
        if (!emails)
            return nullptr;
    }
    if (PyUnicode_Check(emails.get())) {
        PyObject *empty = st->core.empty_str;
        emails = call_method(text(st, T_replace), {emails.get(), text(st, T_tab), empty});
        if (emails)
            emails = call_method(text(st, T_replace), {emails.get(), text(st, T_space), empty});
        if (emails)
            emails = call_method(text(st, T_replace), {emails.get(), text(st, T_semicolon), text(st, T_comma)});
        if (emails)
            emails = call_method(text(st, T_lower), {emails.get()});
        if (emails)
            emails = call_method(text(st, T_split), {emails.get(), text(st, T_comma)});
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
    static constexpr struct {
        Field field;
        const char *name;
    } text_params[] = {{F_server, "server"}, {F_username, "username"}, {F_password, "password"},
                       {F_from, "from_"},    {F_subject, "subject"},   {F_message, "message"}};
    for (const auto &param : text_params)
        if (!check_exact_str(args[1 + param.field], param.name, true))
            return nullptr;
    for (int field = F_server; field <= F_attachments; ++field)
        if (PyObject_SetAttr(self, text(st, property_of[field]), args[1 + field]) < 0)
            return nullptr;
    Py_RETURN_NONE;
}

PyObject *send_placeholder(FunctionObject *, PyObject *const *) noexcept {
    PyErr_SetString(PyExc_NotImplementedError, "Email.send is not available yet");
    return nullptr;
}

// ---------------------------------------------------------------------------
// The class.

constexpr const char *text_annotation = "str | None";
constexpr const char *list_annotation = "list[str] | None";
constexpr const char *recipients_annotation = "str | list[str] | tuple[str, ...] | None";
constexpr const char *attachments_annotation = "list[tuple[str, bytes]] | tuple[tuple[str, bytes], ...]";
constexpr const char *attachments_value_annotation =
    "list[tuple[str, bytes]] | tuple[tuple[str, bytes], ...] | None";

const FunctionSpec init_spec = {
    "__init__", "Email.__init__", nullptr,
    {"self", "server", "username", "password", "from_", "to", "cc", "bcc", "subject", "message", "attachments"},
    {{"server", "str"}, {"username", "str"}, {"password", "str"}, {"from_", "str"},
     {"to", "str | list[str] | tuple[str, ...]"}, {"cc", "str | list[str] | tuple[str, ...]"},
     {"bcc", "str | list[str] | tuple[str, ...]"}, {"subject", "str"}, {"message", "str"},
     {"attachments", "list[tuple[str, bytes]] | tuple[tuple[str, bytes], ...]"}},
    init, 0};

#define TEXT_PROPERTY(field, name)                                                              \
    const FunctionSpec field##_getter = {name, "Email." name, nullptr, {"self"},                \
                                         {{"return", text_annotation}}, get_text_field, field}; \
    const FunctionSpec field##_setter = {name, "Email." name, nullptr, {"self", "value"},       \
                                         {{"value", text_annotation}}, set_text_field, field};
TEXT_PROPERTY(F_server, "server")
TEXT_PROPERTY(F_username, "username")
TEXT_PROPERTY(F_password, "password")
TEXT_PROPERTY(F_subject, "subject")
TEXT_PROPERTY(F_message, "message")
#undef TEXT_PROPERTY

const FunctionSpec F_from_getter = {"from_", "Email.from_", nullptr, {"self"},
                                    {{"return", text_annotation}}, get_text_field, F_from};
const FunctionSpec F_from_setter = {"from_", "Email.from_", nullptr, {"self", "value"},
                                    {{"value", text_annotation}}, set_sender, F_from};

#define LIST_PROPERTY(field, name)                                                              \
    const FunctionSpec field##_getter = {name, "Email." name, nullptr, {"self"},                \
                                         {{"return", list_annotation}}, get_list_field, field}; \
    const FunctionSpec field##_setter = {name, "Email." name, nullptr, {"self", "value"},       \
                                         {{"value", recipients_annotation}}, set_recipients, field};
LIST_PROPERTY(F_to, "to")
LIST_PROPERTY(F_cc, "cc")
LIST_PROPERTY(F_bcc, "bcc")
#undef LIST_PROPERTY

const FunctionSpec F_attachments_getter = {"attachments", "Email.attachments", nullptr, {"self"},
                                           {{"return", attachments_annotation}}, get_attachments,
                                           F_attachments};
const FunctionSpec F_attachments_setter = {"attachments", "Email.attachments", nullptr, {"self", "value"},
                                           {{"value", attachments_value_annotation}}, set_attachments,
                                           F_attachments};

const FunctionSpec normalize_spec = {
    "__normalize", "Email.__normalize", nullptr, {"emails"},
    {{"emails", "str | list[str] | tuple[str, ...]"}, {"return", "list[str] | None"}},
    normalize, 0};

const FunctionSpec send_spec = {
    "send", "Email.send",
    "\n            Send email.\n\n            :return:\n            ",
    {"self"}, {}, send_placeholder, 0};

int build_class(PyObject *module) noexcept {
    ClassBody body(module, "Email",
                   {"__server", "__username", "__password", "__from", "__to", "__cc", "__bcc",
                    "__subject", "__message", "__attachments"});
    if (!body.ok())
        return -1;
    Ref ten_nones = Ref::steal(PyTuple_Pack(10, Py_None, Py_None, Py_None, Py_None, Py_None, Py_None,
                                            Py_None, Py_None, Py_None, Py_None));
    Ref one_none = Ref::steal(PyTuple_Pack(1, Py_None));
    if (!ten_nones || !one_none)
        return -1;
    bool ok = body.add_function("__init__", init_spec, ten_nones.get()) &&
              body.add_property("server", F_server_getter, &F_server_setter) &&
              body.add_property("username", F_username_getter, &F_username_setter) &&
              body.add_property("password", F_password_getter, &F_password_setter) &&
              body.add_logged("_Email__normalize", normalize_spec, one_none.get(), true) &&
              body.add_property("from_", F_from_getter, &F_from_setter) &&
              body.add_property("to", F_to_getter, &F_to_setter) &&
              body.add_property("cc", F_cc_getter, &F_cc_setter) &&
              body.add_property("bcc", F_bcc_getter, &F_bcc_setter) &&
              body.add_property("subject", F_subject_getter, &F_subject_setter) &&
              body.add_property("message", F_message_getter, &F_message_setter) &&
              body.add_property("attachments", F_attachments_getter, &F_attachments_setter) &&
              body.add_logged("send", send_spec, nullptr, false) && body.finish("Email");
    return ok ? 0 : -1;
}

// ---------------------------------------------------------------------------
// Module.

int email_exec(PyObject *module) noexcept {
    EmailState *st = static_cast<EmailState *>(PyModule_GetState(module));
    if (core_init(&st->core, module, "quillon.email") < 0 ||
        intern_all(text_values, st->texts, TEXT_COUNT) < 0)
        return -1;
    PyObject **t = st->texts;
    st->kwnames[K_emails] = make_kwnames({t[T_emails]});
    st->kwnames[K_host] = make_kwnames({t[T_host]});
    st->kwnames[K_user_password] = make_kwnames({t[T_user], t[T_password]});
    st->kwnames[K_msg] = make_kwnames({t[T_msg]});
    st->kwnames[K_payload] = make_kwnames({t[T_payload]});
    st->kwnames[K_text_subtype] = make_kwnames({t[T_text_], t[T_subtype_]});
    st->kwnames[K_maintype_subtype] = make_kwnames({t[T_maintype_], t[T_subtype_]});
    st->kwnames[K_name_value] = make_kwnames({t[T_name_], t[T_value_]});
    st->kwnames[K_name_value_filename] = make_kwnames({t[T_name_], t[T_value_], t[T_filename]});
    for (PyObject *names : st->kwnames)
        if (!names)
            return -1;

    if (!import_names(module, "logger", {"logging"}) || !import_names(module, "smtplib", {"SMTP"}) ||
        !import_names(module, "email", {"encoders"}) ||
        !import_names(module, "email.mime.multipart", {"MIMEMultipart"}) ||
        !import_names(module, "email.mime.text", {"MIMEText"}) ||
        !import_names(module, "email.mime.base", {"MIMEBase"}))
        return -1;
    Ref smtplib = Ref::steal(PyImport_ImportModule("smtplib"));
    if (!smtplib)
        return -1;
    st->recipients_refused = PyObject_GetAttrString(smtplib.get(), "SMTPRecipientsRefused");
    if (!st->recipients_refused)
        return -1;
    return build_class(module);
}

int email_traverse(PyObject *module, visitproc visit, void *arg) noexcept {
    EmailState *st = static_cast<EmailState *>(PyModule_GetState(module));
    if (!st)
        return 0;
    if (int rc = core_traverse(&st->core, visit, arg))
        return rc;
    if (int rc = visit_all(st->texts, TEXT_COUNT, visit, arg))
        return rc;
    if (int rc = visit_all(st->kwnames, KEYWORDS_COUNT, visit, arg))
        return rc;
    Py_VISIT(st->recipients_refused);
    return 0;
}

int email_clear(PyObject *module) noexcept {
    EmailState *st = static_cast<EmailState *>(PyModule_GetState(module));
    if (!st)
        return 0;
    core_clear(&st->core);
    clear_all(st->texts, TEXT_COUNT);
    clear_all(st->kwnames, KEYWORDS_COUNT);
    Py_CLEAR(st->recipients_refused);
    return 0;
}

void email_free(void *module) noexcept { email_clear(static_cast<PyObject *>(module)); }

PyModuleDef_Slot email_slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(email_exec)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef email_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "quillon.email",
    .m_doc = nullptr,
    .m_size = sizeof(EmailState),
    .m_methods = nullptr,
    .m_slots = email_slots,
    .m_traverse = email_traverse,
    .m_clear = email_clear,
    .m_free = email_free,
};

}  // namespace
}  // namespace quillon

extern "C" [[gnu::visibility("default")]] PyObject *PyInit_email() {
    return PyModuleDef_Init(&quillon::email_def);
}
