// quillon.email: the module state and what its source files share.
#pragma once

#include "errors.h"
#include "fields.h"
#include "function.h"
#include "recipients.h"

namespace quillon::email {

// Every text the module needs at run time, interned once into its state
// (the fields' names are in the field table below; "user" and "password"
// here are login's keywords).
#define EMAIL_TEXTS(X)                                                           \
    X(Email, "Email") X(normalize, "_Email__normalize") X(emails, "emails")     \
    X(replace, "replace") X(lower, "lower") X(split, "split")                   \
    X(tab, "\t") X(space, " ") X(semicolon, ";") X(comma, ",")                  \
    X(From, "From") X(To, "To") X(Cc, "Cc") X(Bcc, "Bcc") X(Subject, "Subject") \
    X(SMTP, "SMTP") X(MIMEMultipart, "MIMEMultipart") X(MIMEText, "MIMEText")   \
    X(MIMEBase, "MIMEBase") X(encoders, "encoders") X(encode_base64, "encode_base64") \
    X(text_, "_text") X(subtype_, "_subtype") X(maintype_, "_maintype")         \
    X(name_, "_name") X(value_, "_value") X(filename, "filename")               \
    X(payload, "payload") X(msg, "msg") X(host, "host") X(html, "html")         \
    X(user, "user") X(password, "password") X(application, "application")       \
    X(octet_stream, "octet-stream") X(attachment, "attachment")                 \
    X(content_disposition, "Content-Disposition")                               \
    X(attachment_filename, "attachment; filename=")                              \
    X(attach, "attach") X(set_payload, "set_payload") X(add_header, "add_header") \
    X(login, "login") X(send_message, "send_message")                            \
    X(dunder_enter, "__enter__") X(dunder_exit, "__exit__")                     \
    X(Date, "Date") X(Message_ID, "Message-ID") X(localtime, "localtime")       \
    X(domain, "domain") X(localhost, "localhost") X(encode_quopri, "encode_quopri") \
    X(content_transfer_encoding, "Content-Transfer-Encoding") X(utf_8, "utf-8")    \
    X(encode, "encode") X(linesep, "linesep") X(comma_blank, ", ") X(semicolon_blank, "; ")

#define AS_ENUM(id, text) T_##id,
enum Text : size_t { EMAIL_TEXTS(AS_ENUM) TEXT_COUNT };
#undef AS_ENUM

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
    K_linesep,
    KEYWORDS_COUNT
};

// What the module keeps from the standard library.
enum Object : size_t {
    O_recipients_refused,
    O_getaddresses,
    O_formatdate,
    O_make_msgid,
    O_hand_over_form,
    O_explain_refusal,
    O_Header,
    O_encode_rfc2231,
    OBJECT_COUNT
};

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

// ---------------------------------------------------------------------------
// The fields.

// What a field holds decides its accessors, their annotations, and whether
// the constructor checks its argument as the setter does.
enum class Kind { text, sender, recipients, attachments };

constexpr FieldSpec field(const char *name, const char *slot, Kind kind, const char *annotation) {
    constexpr const char *text = "str | None";
    constexpr const char *attachments = "list[tuple[str, bytes]] | tuple[tuple[str, bytes], ...]";
    switch (kind) {
    case Kind::text:
        return {.name = name,
                .slot = slot,
                .annotation = annotation,
                .default_number = nullptr,
                .get = get_text_field,
                .returns = text,
                .set = set_text_field,
                .set_parameter = "value",
                .set_annotation = text};
    case Kind::sender:
        return {.name = name,
                .slot = slot,
                .annotation = annotation,
                .default_number = nullptr,
                .get = get_text_field,
                .returns = text,
                .set = set_sender,
                .set_parameter = "value",
                .set_annotation = text};
    case Kind::recipients:
        return {.name = name,
                .slot = slot,
                .annotation = annotation,
                .default_number = nullptr,
                .get = get_list_field,
                .returns = "list[str] | None",
                .set = set_recipients,
                .set_parameter = "value",
                .set_annotation = "str | list[str] | tuple[str, ...] | None"};
    case Kind::attachments:
        return {.name = name,
                .slot = slot,
                .annotation = annotation,
                .default_number = nullptr,
                .get = get_attachments,
                .returns = attachments,
                .set = set_attachments,
                .set_parameter = "value",
                .set_annotation = "list[tuple[str, bytes]] | tuple[tuple[str, bytes], ...] | None"};
    }
    return {};
}

// The ten fields, in slot order, which is also the order of the
// constructor's parameters: the one place a field is written.
//  enum          name           slot              kind               constructor annotation
#define EMAIL_FIELDS(X)                                                                                   \
    X(F_server,      "server",      "__server",      Kind::text,        "str")                              \
    X(F_username,    "username",    "__username",    Kind::text,        "str")                              \
    X(F_password,    "password",    "__password",    Kind::text,        "str")                              \
    X(F_from,        "from_",       "__from",        Kind::sender,      "str")                              \
    X(F_to,          "to",          "__to",          Kind::recipients,  "str | list[str] | tuple[str, ...]") \
    X(F_cc,          "cc",          "__cc",          Kind::recipients,  "str | list[str] | tuple[str, ...]") \
    X(F_bcc,         "bcc",         "__bcc",         Kind::recipients,  "str | list[str] | tuple[str, ...]") \
    X(F_subject,     "subject",     "__subject",     Kind::text,        "str")                              \
    X(F_message,     "message",     "__message",     Kind::text,        "str")                              \
    X(F_attachments, "attachments", "__attachments", Kind::attachments,                                     \
      "list[tuple[str, bytes]] | tuple[tuple[str, bytes], ...]")

#define AS_ENUM(id, ...) id,
enum Field : int { EMAIL_FIELDS(AS_ENUM) FIELD_COUNT };
#undef AS_ENUM

#define AS_ROW(id, name, slot, kind, annotation) field(name, slot, kind, annotation),
inline constexpr FieldSpec email_fields[] = {EMAIL_FIELDS(AS_ROW)};
#undef AS_ROW
#define AS_KIND(id, name, slot, kind, annotation) kind,
inline constexpr Kind kinds[] = {EMAIL_FIELDS(AS_KIND)};
#undef AS_KIND

using EmailFields = FieldTable<email_fields, init>;

// ---------------------------------------------------------------------------
// The state.

struct EmailState {
    static constexpr const char *name = "quillon.email";
    static constexpr const char *class_name = "Email";
    static constexpr const auto &field_specs = email_fields;
#define AS_TEXT(id, text) text,
    static constexpr const char *text_values[] = {EMAIL_TEXTS(AS_TEXT)};
#undef AS_TEXT
    static constexpr KeywordsSpec<Keywords, Text> keyword_specs[] = {
        {K_emails, {T_emails}},
        {K_host, {T_host}},
        {K_user_password, {T_user, T_password}},
        {K_msg, {T_msg}},
        {K_payload, {T_payload}},
        {K_text_subtype, {T_text_, T_subtype_}},
        {K_maintype_subtype, {T_maintype_, T_subtype_}},
        {K_name_value, {T_name_, T_value_}},
        {K_name_value_filename, {T_name_, T_value_, T_filename}},
        {K_localtime, {T_localtime}},
        {K_domain, {T_domain}},
        {K_linesep, {T_linesep}},
    };
    static constexpr ImportSpec import_specs[] = {
        {"logger", {"logging"}},           {"smtplib", {"SMTP"}},
        {"email", {"encoders"}},           {"email.mime.multipart", {"MIMEMultipart"}},
        {"email.mime.text", {"MIMEText"}}, {"email.mime.base", {"MIMEBase"}},
    };
    static constexpr LookupSpec<Object> lookup_specs[] = {
        {O_recipients_refused, "smtplib", "SMTPRecipientsRefused"},
        {O_getaddresses, "email.utils", "getaddresses"},
        {O_formatdate, "email.utils", "formatdate"},
        {O_make_msgid, "email.utils", "make_msgid"},
        {O_hand_over_form, "quillon._international", "hand_over_form"},
        {O_explain_refusal, "quillon._international", "explain_refusal"},
        {O_Header, "email.header", "Header"},
        {O_encode_rfc2231, "email.utils", "encode_rfc2231"},
    };

    // First: the shared layer reaches it.
    ModuleState<Text, TEXT_COUNT, Keywords, KEYWORDS_COUNT, Object, OBJECT_COUNT> common;
    FieldState<FIELD_COUNT> fields;
    // quillon._logcall's wrapper type (strong), when that module was loaded
    // before this one, and how to ask a wrapper where a call would go.
    PyTypeObject *logcall_wrapper;
    PyObject *(*logcall_target)(PyObject *wrapper) noexcept;
    Cleaner cleaner;  // for one-byte recipient text (recipients.h)

    int exec_own(PyObject *module) noexcept;
    template <typename F>
    int each_reference(F &&f) noexcept {
        return for_each_reference(f, logcall_wrapper);
    }
};

inline EmailState *state(FunctionObject *fn) noexcept { return state_of<EmailState>(fn); }

// A field's property name, as the messages give it.
inline PyObject *field_name(EmailState *st, Field field) noexcept { return st->fields.names[field]; }

// The normaliser's spec, which the recipient setters recognise (module.cpp).
extern const FunctionSpec normalize_spec;

}  // namespace quillon::email
