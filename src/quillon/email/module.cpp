// quillon.email: the Email class, its checked fields and recipient normalisation.
#include "classbuild.h"
#include "errors.h"
#include "module.h"
#include "recipients.h"
#include "slots.h"

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
    static constexpr const char *name = "quillon.email";
    static int exec(PyObject *module) noexcept;

    CoreState core;
    PyObject *texts[TEXT_COUNT];
    PyObject *kwnames[KEYWORDS_COUNT];
    PyObject *recipients_refused;  // smtplib.SMTPRecipientsRefused
    PyObject *getaddresses;        // email.utils.getaddresses
    SlotCache slots[10];           // one per field, in field order
    PropertyCache properties[10];  // the same
    Py_ssize_t setter_offset;      // where a property keeps its setter

    int traverse(visitproc visit, void *arg) noexcept {
        if (int rc = core_traverse(&core, visit, arg))
            return rc;
        if (int rc = visit_all(texts, TEXT_COUNT, visit, arg))
            return rc;
        if (int rc = visit_all(kwnames, KEYWORDS_COUNT, visit, arg))
            return rc;
        Py_VISIT(recipients_refused);
        Py_VISIT(getaddresses);
        for (const SlotCache &slot : slots)
            Py_VISIT(slot.descr);
        for (const PropertyCache &prop : properties) {
            Py_VISIT(prop.prop);
            Py_VISIT(prop.fset);
        }
        return 0;
    }
    void clear() noexcept {
        core_clear(&core);
        clear_all(texts, TEXT_COUNT);
        clear_all(kwnames, KEYWORDS_COUNT);
        Py_CLEAR(recipients_refused);
        Py_CLEAR(getaddresses);
        for (SlotCache &slot : slots)
            Py_CLEAR(slot.descr);
        for (PropertyCache &prop : properties) {
            Py_CLEAR(prop.prop);
            Py_CLEAR(prop.fset);
        }
    }
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

Ref read_field(EmailState *st, PyObject *self, int field) noexcept {
    return read_slot(st->slots[field], self, text(st, slot_of[field]));
}

PyObject *get_text_field(FunctionObject *fn, PyObject *const *args) noexcept {
    Ref value = read_field(state(fn), args[0], fn->spec->tag);
    if (!value || !expect_str_or_none(value.get()))
        return nullptr;
    return value.release();
}

PyObject *get_list_field(FunctionObject *fn, PyObject *const *args) noexcept {
    Ref value = read_field(state(fn), args[0], fn->spec->tag);
    if (!value || !expect_list_or_none(value.get()))
        return nullptr;
    return value.release();
}

PyObject *get_attachments(FunctionObject *fn, PyObject *const *args) noexcept {
    return read_field(state(fn), args[0], F_attachments).release();
}

PyObject *store(EmailState *st, PyObject *self, Field field, PyObject *value) noexcept {
    if (write_slot(st->slots[field], self, text(st, slot_of[field]), value) < 0)
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
extern const FunctionSpec normalize_spec;

// `cls.NAME` for a class whose metaclass is `type` itself, done as type's
// own attribute lookup does it (`type` has no attribute of that name).
Ref class_attribute(PyObject *cls, PyObject *name) noexcept {
    if (!Py_IS_TYPE(cls, &PyType_Type))
        return Ref::steal(PyObject_GetAttr(cls, name));
    PyObject *attr = _PyType_Lookup(reinterpret_cast<PyTypeObject *>(cls), name);
    if (!attr)
        return Ref::steal(PyObject_GetAttr(cls, name));  // for its exact error
    descrgetfunc get = Py_TYPE(attr)->tp_descr_get;
    return get ? Ref::steal(get(attr, nullptr, cls)) : Ref::borrow(attr);
}

Ref call_normalizer(EmailState *st, FunctionObject *fn, PyObject *value) noexcept {
    Ref cls = global(st, fn, T_Email);
    if (!cls)
        return {};
    Ref normalize = class_attribute(cls.get(), text(st, T_normalize));
    if (!normalize)
        return {};
    // Our own normaliser, undecorated: run its body without a call.
    if (Py_IS_TYPE(normalize.get(), st->core.function_type) &&
        reinterpret_cast<FunctionObject *>(normalize.get())->spec == &normalize_spec)
        return Ref::steal(normalize_spec.body(reinterpret_cast<FunctionObject *>(normalize.get()), &value));
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

// The literal route, for text subclasses: each method is looked up on the
// object at the moment of the call, as an override would expect.
Ref normalize_text_by_methods(EmailState *st, Ref emails) noexcept {
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
    return emails;
}

Ref normalize_exact(EmailState *st, PyObject *emails) noexcept {
    const NormalizeTexts names = {text(st, T_tab),   text(st, T_space),        text(st, T_semicolon),
                                  text(st, T_comma), st->core.empty_str, text(st, T_lower)};
    return normalize_exact_text(emails, names);
}

PyObject *normalize(FunctionObject *fn, PyObject *const *args) noexcept {
    EmailState *st = state(fn);
    PyObject *given = args[0];

    // Exact str, list and tuple compare unequal to "" unless they are the
    // empty text itself: only other objects are asked.
    if (PyUnicode_CheckExact(given)) {
        if (PyUnicode_GET_LENGTH(given) == 0)
            Py_RETURN_NONE;
        return normalize_exact(st, given).release();
    }
    if (given == Py_None)
        Py_RETURN_NONE;
    if (!PyList_CheckExact(given) && !PyTuple_CheckExact(given)) {
        int empty = PyObject_RichCompareBool(given, st->core.empty_str, Py_EQ);
        if (empty < 0)
            return nullptr;
        if (empty)
            Py_RETURN_NONE;
    }

    Ref emails = Ref::borrow(given);
    if (PyList_Check(given) || PyTuple_Check(given)) {
        Ref fast = normalize_byte_items(given);
        if (fast || PyErr_Occurred())
            return fast.release();
        emails = Ref::steal(PyUnicode_Join(text(st, T_comma), given));
        if (!emails)
            return nullptr;
    }
    if (PyUnicode_Check(emails.get())) {
        emails = PyUnicode_CheckExact(emails.get()) ? normalize_exact(st, emails.get())
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
    static constexpr struct {
        Field field;
        const char *name;
    } text_params[] = {{F_server, "server"}, {F_username, "username"}, {F_password, "password"},
                       {F_from, "from_"},    {F_subject, "subject"},   {F_message, "message"}};
    for (const auto &param : text_params)
        if (!check_exact_str(args[1 + param.field], param.name, true))
            return nullptr;
    for (int field = F_server; field <= F_attachments; ++field) {
        PyObject *name = text(st, property_of[field]);
        PyObject *value = args[1 + field];
        // An assignment that reaches our own setter runs its body directly;
        // anything else (a subclass's property, a replaced setter) goes
        // through the attribute machinery.
        PyObject *setter = cached_setter(st->properties[field], self, name, st->setter_offset);
        if (setter && Py_IS_TYPE(setter, st->core.function_type)) {
            FunctionObject *set = reinterpret_cast<FunctionObject *>(setter);
            PyObject *set_args[] = {self, value};
            Ref done = Ref::steal(set->spec->body(set, set_args));
            if (!done)
                return nullptr;
        } else if (PyObject_SetAttr(self, name, value) < 0) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Sending.

Ref get_field(EmailState *st, PyObject *self, Field field) noexcept {
    return Ref::steal(PyObject_GetAttr(self, text(st, property_of[field])));
}

// The recipient headers as set on the message, and how many addresses they
// name, to check what the SMTP client will make of them.
struct Envelope {
    Ref fields[3];
    Py_ssize_t named = 0;
    bool plain = true;  // every item a plain local@domain address
};

// LOCAL@DOMAIN in lower-case letters, digits and ".%+-_" (the domain without
// "%+_"): a shape email.utils.getaddresses always reads back as one address,
// so the common message needs no trial parse.
bool is_plain_address(PyObject *item) noexcept {
    if (!PyUnicode_IS_ASCII(item))
        return false;
    const Py_UCS1 *c = PyUnicode_1BYTE_DATA(item);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(item);
    Py_ssize_t at = -1;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS1 ch = c[i];
        const bool common = (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '.' || ch == '-';
        if (ch == '@') {
            if (at >= 0)
                return false;
            at = i;
        } else if (!common && (at >= 0 || (ch != '%' && ch != '+' && ch != '_'))) {
            return false;
        }
    }
    return at > 0 && at < n - 1;
}

// message[HEADER] = the recipients joined with ",", or None.
bool set_recipients_header(EmailState *st, PyObject *message, PyObject *self, Field field, Text header,
                           Envelope &envelope) noexcept {
    Ref value = get_field(st, self, field);
    if (!value)
        return false;
    if (value.get() != Py_None) {
        Ref joined = Ref::steal(PyUnicode_Join(text(st, T_comma), value.get()));
        if (!joined)
            return false;
        if (PyList_CheckExact(value.get()) && PyList_GET_SIZE(value.get()) > 0) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value.get()); ++i) {
                PyObject *item = PyList_GET_ITEM(value.get(), i);
                envelope.named += PyUnicode_GET_LENGTH(item) > 0;
                envelope.plain = envelope.plain && is_plain_address(item);
            }
        } else {
            envelope.plain = false;
        }
        value = std::move(joined);
        envelope.fields[field - F_to] = Ref::borrow(value.get());
    }
    return PyObject_SetItem(message, text(st, header), value.get()) == 0;
}

// send_message() finds the envelope recipients by parsing To, Cc and Bcc;
// an item it cannot parse (a line break, an unbalanced parenthesis, even a
// trailing separator) turns the whole list into one empty address, and the
// message would go to "<>" while reporting success. Refuse that before any
// connection is made.
[[gnu::cold, gnu::noinline]] void raise_lost_recipients(Py_ssize_t parsed, Py_ssize_t named) noexcept {
    PyErr_Format(PyExc_ValueError,
                 "message not sent: the SMTP client would deliver it to %zd of the %zd recipients "
                 "named in To, Cc and Bcc (look for line breaks, parentheses or empty items)",
                 parsed, named);
}

bool check_envelope(EmailState *st, const Envelope &envelope) noexcept {
    if (envelope.named == 0 || envelope.plain)
        return true;
    Ref fields = Ref::steal(PyList_New(0));
    if (!fields)
        return false;
    for (const Ref &field : envelope.fields)
        if (field && PyList_Append(fields.get(), field.get()) < 0)
            return false;
    Ref parsed = Ref::steal(PyObject_CallOneArg(st->getaddresses, fields.get()));
    if (!parsed)
        return false;
    Ref iter = Ref::steal(PyObject_GetIter(parsed.get()));
    if (!iter)
        return false;
    Py_ssize_t count = 0;
    while (Ref pair = Ref::steal(PyIter_Next(iter.get()))) {
        Ref name, address;
        if (!unpack_pair(pair.get(), name, address))
            return false;
        int nonempty = PyObject_IsTrue(address.get());
        if (nonempty < 0)
            return false;
        count += nonempty;
    }
    if (PyErr_Occurred())
        return false;
    if (count < envelope.named) {
        raise_lost_recipients(count, envelope.named);
        return false;
    }
    return true;
}

// A file name that any receiver reads back as it is when it stands unquoted
// after "filename=": printable ASCII without the characters that end or
// escape a parameter.
bool is_plain_file_name(PyObject *name) noexcept {
    if (!PyUnicode_IS_ASCII(name))
        return false;
    const Py_UCS1 *chars = PyUnicode_1BYTE_DATA(name);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(name);
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS1 c = chars[i];
        if (c < 0x20 || c > 0x7e || c == '"' || c == '\\' || c == ';')
            return false;
    }
    return true;
}

// One "application/octet-stream" part, base64-encoded, attached to `message`.
bool attach_file(EmailState *st, FunctionObject *fn, PyObject *message, PyObject *pair) noexcept {
    Ref file_name, file_content;
    if (!unpack_pair(pair, file_name, file_content))
        return false;
    Ref mime_base = global(st, fn, T_MIMEBase);
    if (!mime_base)
        return false;
    PyObject *part_args[] = {text(st, T_application), text(st, T_octet_stream)};
    Ref attachment = Ref::steal(PyObject_Vectorcall(mime_base.get(), part_args, 0, st->kwnames[K_maintype_subtype]));
    if (!attachment)
        return false;
    PyObject *payload_args[] = {attachment.get(), file_content.get()};
    Ref done = Ref::steal(PyObject_VectorcallMethod(text(st, T_set_payload), payload_args,
                                                    1, st->kwnames[K_payload]));
    if (!done)
        return false;
    Ref encoders = global(st, fn, T_encoders);
    if (!encoders)
        return false;
    Ref encode = Ref::steal(PyObject_GetAttr(encoders.get(), text(st, T_encode_base64)));
    if (!encode)
        return false;
    PyObject *encode_args[] = {attachment.get()};
    done = Ref::steal(PyObject_Vectorcall(encode.get(), encode_args, 0, st->kwnames[K_msg]));
    if (!done)
        return false;

    Ref name = format_simple(file_name.get(), st->core.empty_str);
    if (!name)
        return false;
    if (!PyUnicode_Check(name.get())) {
        raise_expected("str", name.get());
        return false;
    }
    if (is_plain_file_name(name.get())) {
        Ref disposition = Ref::steal(PyUnicode_Concat(text(st, T_attachment_filename), name.get()));
        if (!disposition)
            return false;
        PyObject *header_args[] = {attachment.get(), text(st, T_content_disposition), disposition.get()};
        done = Ref::steal(PyObject_VectorcallMethod(text(st, T_add_header), header_args,
                                                    1, st->kwnames[K_name_value]));
    } else {
        // Let the library quote the name, and encode it when it is not
        // ASCII, so that the receiver gets it back whole.
        PyObject *header_args[] = {attachment.get(), text(st, T_content_disposition), text(st, T_attachment),
                                   name.get()};
        done = Ref::steal(PyObject_VectorcallMethod(text(st, T_add_header), header_args,
                                                    1,
                                                    st->kwnames[K_name_value_filename]));
    }
    if (!done)
        return false;
    PyObject *attach_args[] = {message, attachment.get()};
    done = Ref::steal(PyObject_VectorcallMethod(text(st, T_attach), attach_args,
                                                1, st->kwnames[K_payload]));
    return static_cast<bool>(done);
}

// The whole message, attachments included, before any connection is made.
Ref build_message(EmailState *st, FunctionObject *fn, PyObject *self, Envelope &envelope) noexcept {
    Ref multipart = global(st, fn, T_MIMEMultipart);
    if (!multipart)
        return {};
    Ref message = Ref::steal(PyObject_CallNoArgs(multipart.get()));
    if (!message)
        return {};
    Ref sender = get_field(st, self, F_from);
    if (!sender || PyObject_SetItem(message.get(), text(st, T_From), sender.get()) < 0)
        return {};
    if (!set_recipients_header(st, message.get(), self, F_to, T_To, envelope) ||
        !set_recipients_header(st, message.get(), self, F_cc, T_Cc, envelope) ||
        !set_recipients_header(st, message.get(), self, F_bcc, T_Bcc, envelope))
        return {};
    Ref subject = get_field(st, self, F_subject);
    if (!subject || PyObject_SetItem(message.get(), text(st, T_Subject), subject.get()) < 0)
        return {};

    Ref mime_text = global(st, fn, T_MIMEText);
    if (!mime_text)
        return {};
    Ref body = get_field(st, self, F_message);
    if (!body)
        return {};
    if (body.get() == Py_None)
        body = Ref::borrow(st->core.empty_str);
    PyObject *text_args[] = {body.get(), text(st, T_html)};
    Ref part = Ref::steal(PyObject_Vectorcall(mime_text.get(), text_args, 0, st->kwnames[K_text_subtype]));
    if (!part)
        return {};
    PyObject *attach_args[] = {message.get(), part.get()};
    Ref done = Ref::steal(PyObject_VectorcallMethod(text(st, T_attach), attach_args,
                                                    2, nullptr));
    if (!done)
        return {};

    Ref attachments = get_field(st, self, F_attachments);
    if (!attachments)
        return {};
    Ref iter = Ref::steal(PyObject_GetIter(attachments.get()));
    if (!iter)
        return {};
    while (Ref pair = Ref::steal(PyIter_Next(iter.get()))) {
        if (!attach_file(st, fn, message.get(), pair.get()))
            return {};
    }
    if (PyErr_Occurred())
        return {};
    return message;
}

// Inside the open connection: log in when there are credentials, hand the
// message over. Returns the refused recipients when the server turned some
// away (a non-empty dict), None otherwise.
Ref deliver(EmailState *st, PyObject *self, PyObject *email_server, PyObject *message) noexcept {
    Ref username = get_field(st, self, F_username);
    if (!username)
        return {};
    bool wants_login = username.get() != Py_None;
    if (!wants_login) {
        Ref password = get_field(st, self, F_password);
        if (!password)
            return {};
        wants_login = password.get() != Py_None;
    }
    if (wants_login) {
        Ref user = get_field(st, self, F_username);
        if (!user)
            return {};
        Ref password = get_field(st, self, F_password);
        if (!password)
            return {};
        PyObject *login_args[] = {email_server, user.get(), password.get()};
        Ref done = Ref::steal(PyObject_VectorcallMethod(text(st, T_login), login_args,
                                                        1,
                                                        st->kwnames[K_user_password]));
        if (!done)
            return {};
    }
    PyObject *send_args[] = {email_server, message};
    Ref refused = Ref::steal(PyObject_VectorcallMethod(text(st, T_send_message), send_args,
                                                       1, st->kwnames[K_msg]));
    if (!refused)
        return {};
    if (PyDict_Check(refused.get()) && PyDict_GET_SIZE(refused.get()) > 0)
        return refused;
    return Ref::borrow(Py_None);
}

PyObject *send(FunctionObject *fn, PyObject *const *args) noexcept {
    EmailState *st = state(fn);
    PyObject *self = args[0];
    Envelope envelope;
    Ref message = build_message(st, fn, self, envelope);
    if (!message || !check_envelope(st, envelope))
        return nullptr;

    Ref smtp = global(st, fn, T_SMTP);
    if (!smtp)
        return nullptr;
    Ref server = get_field(st, self, F_server);
    if (!server)
        return nullptr;
    PyObject *client_args[] = {server.get()};
    Ref client = Ref::steal(PyObject_Vectorcall(smtp.get(), client_args, 0, st->kwnames[K_host]));
    if (!client)
        return nullptr;

    // As a `with` statement: __exit__ is looked up first and kept.
    Ref exit = lookup_special(client.get(), text(st, T_dunder_exit));
    if (!exit)
        return nullptr;
    Ref enter = lookup_special(client.get(), text(st, T_dunder_enter));
    if (!enter)
        return nullptr;
    Ref email_server = Ref::steal(PyObject_CallNoArgs(enter.get()));
    if (!email_server)
        return nullptr;

    Ref refused = deliver(st, self, email_server.get(), message.get());
    if (!refused) {
        PyObject *exc = PyErr_GetRaisedException();
        PyObject *exit_args[] = {reinterpret_cast<PyObject *>(Py_TYPE(exc)), exc, PyException_GetTraceback(exc)};
        if (!exit_args[2])
            exit_args[2] = Py_NewRef(Py_None);
        Ref suppress = Ref::steal(PyObject_Vectorcall(exit.get(), exit_args, 3, nullptr));
        Py_DECREF(exit_args[2]);
        if (!suppress) {
            // The exception from __exit__ replaces the one it was handling.
            PyObject *raised = PyErr_GetRaisedException();
            if (raised != exc)
                PyException_SetContext(raised, exc);  // steals exc
            else
                Py_DECREF(exc);
            PyErr_SetRaisedException(raised);
            return nullptr;
        }
        int truth = PyObject_IsTrue(suppress.get());
        if (truth <= 0) {
            if (truth == 0)
                PyErr_SetRaisedException(exc);
            else
                Py_DECREF(exc);
            return nullptr;
        }
        Py_DECREF(exc);
        Py_RETURN_NONE;
    }
    PyObject *exit_args[] = {Py_None, Py_None, Py_None};
    Ref done = Ref::steal(PyObject_Vectorcall(exit.get(), exit_args, 3, nullptr));
    if (!done)
        return nullptr;
    if (refused.get() != Py_None) {
        // Some recipients never got the message: that is no success.
        PyErr_SetObject(st->recipients_refused, refused.get());
        return nullptr;
    }
    Py_RETURN_NONE;
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

// ---------------------------------------------------------------------------
// Module.

int EmailState::exec(PyObject *module) noexcept {
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
    Ref utils = Ref::steal(PyImport_ImportModule("email.utils"));
    if (!utils)
        return -1;
    st->getaddresses = PyObject_GetAttrString(utils.get(), "getaddresses");
    if (!st->getaddresses)
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

}  // namespace
}  // namespace quillon

extern "C" [[gnu::visibility("default")]] PyObject *PyInit_email() {
    return quillon::ModuleDefinition<quillon::EmailState>::init();
}
