// quillon.email: the module body, which imports its names and builds Email.
#include "../_logcall/api.h"
#include "classbuild.h"
#include "module.h"
#include "state.h"

namespace quillon::email {
namespace {

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

}  // namespace

const FunctionSpec normalize_spec = {
    "__normalize", "Email.__normalize", nullptr, {"emails"},
    {{"emails", "str | list[str] | tuple[str, ...]"}, {"return", "list[str] | None"}},
    normalize_recipients, 0};

namespace {

const FunctionSpec send_spec = {
    "send", "Email.send",
    "\n            Send email.\n\n            :return:\n            ",
    {"self"}, {}, send, 0};

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

// The shipped logger wraps with quillon._logcall's wrapper, and importing it
// has loaded that module. Nothing is imported here: without it (a stand-in
// logger) the setters simply call what they find.
int find_logcall_wrapper(EmailState *st) noexcept {
    Ref name = Ref::steal(PyUnicode_FromString(logcall::module_name));
    if (!name)
        return -1;
    Ref logcall = Ref::steal(PyImport_GetModule(name.get()));
    if (!logcall)
        return PyErr_Occurred() ? -1 : 0;
    PyObject *found;
    if (PyObject_GetOptionalAttrString(logcall.get(), logcall::capsule_attribute, &found) < 0)
        return -1;
    Ref capsule = Ref::steal(found);
    if (!capsule || !PyCapsule_IsValid(capsule.get(), logcall::capsule_name))
        return 0;
    auto *api = static_cast<const logcall::Api *>(PyCapsule_GetPointer(capsule.get(), logcall::capsule_name));
    if (!api->wrapper_type || !api->target)
        return 0;
    st->logcall_wrapper = reinterpret_cast<PyTypeObject *>(Py_NewRef(api->wrapper_type));
    st->logcall_target = api->target;
    return 0;
}

}  // namespace

int EmailState::exec(PyObject *module) noexcept {
    EmailState *st = static_cast<EmailState *>(PyModule_GetState(module));
    if (core_init(&st->core, module, name, text_values, st->texts) < 0)
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
    st->kwnames[K_localtime] = make_kwnames({t[T_localtime]});
    st->kwnames[K_domain] = make_kwnames({t[T_domain]});
    for (PyObject *names : st->kwnames)
        if (!names)
            return -1;

    if (!import_names(module, "logger", {"logging"}) || !import_names(module, "smtplib", {"SMTP"}) ||
        !import_names(module, "email", {"encoders"}) ||
        !import_names(module, "email.mime.multipart", {"MIMEMultipart"}) ||
        !import_names(module, "email.mime.text", {"MIMEText"}) ||
        !import_names(module, "email.mime.base", {"MIMEBase"}))
        return -1;
    if (find_logcall_wrapper(st) < 0)
        return -1;
    Ref smtplib = Ref::steal(PyImport_ImportModule("smtplib"));
    if (!smtplib)
        return -1;
    st->recipients_refused = PyObject_GetAttrString(smtplib.get(), "SMTPRecipientsRefused");
    if (!st->recipients_refused)
        return -1;
    Ref utils = Ref::steal(PyImport_ImportModule("email.utils"));
    if (!utils)
        return -1;
    st->getaddresses = PyObject_GetAttrString(utils.get(), "getaddresses");
    if (!st->getaddresses)
        return -1;
    st->formatdate = PyObject_GetAttrString(utils.get(), "formatdate");
    if (!st->formatdate)
        return -1;
    st->make_msgid = PyObject_GetAttrString(utils.get(), "make_msgid");
    if (!st->make_msgid)
        return -1;
    if (build_class(module) < 0)
        return -1;
    Ref cls = Ref::steal(PyObject_GetAttr(module, text(st, T_Email)));
    if (!cls)
        return -1;
    st->setter_offset = property_setter_offset();
    for (int field = F_server; field <= F_attachments; ++field) {
        slot_cache_init(st->slots[field], cls.get(), text(st, slot_of[field]));
        property_cache_init(st->properties[field], cls.get(), text(st, property_of[field]), st->setter_offset);
    }
    return 0;
}

}  // namespace quillon::email

extern "C" [[gnu::visibility("default")]] PyObject *PyInit_email() {
    return quillon::ModuleDefinition<quillon::email::EmailState>::init();
}
