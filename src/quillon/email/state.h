// quillon.email: the module state and what its source files share.
#pragma once

#include "errors.h"
#include "function.h"
#include "slots.h"

namespace quillon::email {

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
    X(dunder_enter, "__enter__") X(dunder_exit, "__exit__")                     \
    X(Date, "Date") X(Message_ID, "Message-ID") X(localtime, "localtime")       \
    X(domain, "domain") X(localhost, "localhost") X(encode_quopri, "encode_quopri") \
    X(content_transfer_encoding, "Content-Transfer-Encoding")

#define AS_ENUM(id, text) T_##id,
enum Text : size_t { EMAIL_TEXTS(AS_ENUM) TEXT_COUNT };
#undef AS_ENUM

#define AS_TEXT(id, text) text,
inline constexpr const char *text_values[] = {EMAIL_TEXTS(AS_TEXT)};
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
    K_localtime,
    K_domain,
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
    PyObject *formatdate;          // email.utils.formatdate
    PyObject *make_msgid;          // email.utils.make_msgid
    SlotCache slots[10];           // one per field, in field order
    PropertyCache properties[10];  // the same
    Py_ssize_t setter_offset;      // where a property keeps its setter
    // quillon._logcall's wrapper type (strong), when that module was loaded
    // before this one, and how to ask a wrapper where a call would go.
    PyTypeObject *logcall_wrapper;
    PyObject *(*logcall_target)(PyObject *wrapper) noexcept;

    int traverse(visitproc visit, void *arg) noexcept {
        if (int rc = core_traverse(&core, texts, kwnames, visit, arg))
            return rc;
        Py_VISIT(recipients_refused);
        Py_VISIT(getaddresses);
        Py_VISIT(formatdate);
        Py_VISIT(make_msgid);
        Py_VISIT(logcall_wrapper);
        for (const SlotCache &slot : slots)
            Py_VISIT(slot.descr);
        for (const PropertyCache &prop : properties) {
            Py_VISIT(prop.prop);
            Py_VISIT(prop.fset);
        }
        return 0;
    }
    void clear() noexcept {
        core_clear(&core, texts, kwnames);
        Py_CLEAR(recipients_refused);
        Py_CLEAR(getaddresses);
        Py_CLEAR(formatdate);
        Py_CLEAR(make_msgid);
        Py_CLEAR(logcall_wrapper);
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

// A module global by name: the module namespace, then the builtins.
inline Ref global(EmailState *st, FunctionObject *fn, Text id) noexcept {
    return lookup_module_global(fn, text(st, id));
}

// The ten fields, in slot order; a FunctionSpec's `tag` says which one a
// shared body serves.
enum Field : int { F_server, F_username, F_password, F_from, F_to, F_cc, F_bcc, F_subject, F_message, F_attachments };

inline constexpr Text slot_of[] = {T_slot_server, T_slot_username, T_slot_password, T_slot_from, T_slot_to,
                            T_slot_cc, T_slot_bcc, T_slot_subject, T_slot_message, T_slot_attachments};

inline constexpr Text property_of[] = {T_server, T_username, T_password, T_from_, T_to,
                                T_cc, T_bcc, T_subject, T_message, T_attachments};

// Function bodies (fields.cpp).
PyObject *get_text_field(FunctionObject *fn, PyObject *const *args) noexcept;
PyObject *get_list_field(FunctionObject *fn, PyObject *const *args) noexcept;
PyObject *get_attachments(FunctionObject *fn, PyObject *const *args) noexcept;
PyObject *set_text_field(FunctionObject *fn, PyObject *const *args) noexcept;
PyObject *set_recipients(FunctionObject *fn, PyObject *const *args) noexcept;
PyObject *set_sender(FunctionObject *fn, PyObject *const *args) noexcept;
PyObject *set_attachments(FunctionObject *fn, PyObject *const *args) noexcept;
PyObject *normalize_recipients(FunctionObject *fn, PyObject *const *args) noexcept;
PyObject *init(FunctionObject *fn, PyObject *const *args) noexcept;

// Function body (send.cpp).
PyObject *send(FunctionObject *fn, PyObject *const *args) noexcept;

// The normaliser's spec, which the recipient setters recognise (module.cpp).
extern const FunctionSpec normalize_spec;

}  // namespace quillon::email
