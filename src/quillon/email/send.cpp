// quillon.email: Email.send, from the fields to the SMTP server.
#include "state.h"

namespace quillon::email {

namespace {

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

}  // namespace

PyObject *send(FunctionObject *fn, PyObject *const *args) noexcept {
    EmailState *st = state(fn);
    PyObject *self = args[0];
    RecursionGuard guard(calling_out);
    if (!guard)
        return nullptr;
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

}  // namespace quillon::email
