// quillon.email: Email.send, from the fields to the SMTP server; this file
// holds the connection: credentials, the form handed over, the `with`
// statement around the client and the delivery.
#include "send.h"

namespace quillon::email {

namespace {

bool is_beyond_ascii(PyObject *value) noexcept { return PyUnicode_Check(value) && !PyUnicode_IS_ASCII(value); }

// smtplib encodes the credentials as ASCII only once connected, and its
// UnicodeEncodeError holds the whole credential line, password included.
bool check_credentials(EmailState *st, PyObject *self) noexcept {
    static constexpr struct {
        Field field;
        const char *which;
    } credentials[] = {{F_username, "user name"}, {F_password, "password"}};
    for (const auto &credential : credentials) {
        Ref value = get_field(st, self, credential.field);
        if (!value)
            return false;
        if (is_beyond_ascii(value.get())) {
            raise_credential_beyond_ascii(credential.which);
            return false;
        }
    }
    return true;
}

// Inside the open connection: log in when there are credentials, hand the
// message over. Returns the refused recipients when the server turned some
// away (a non-empty dict), None otherwise.
Ref deliver(EmailState *st, PyObject *self, PyObject *email_server, PyObject *message, Hints &hints) noexcept {
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
        Ref done = Ref::steal(
            PyObject_VectorcallMethod(text(st, T_login), login_args, 1, keywords(st, K_user_password)));
        if (!done) {
            hints.no_user_name = user.get() == Py_None;
            return {};
        }
    }
    PyObject *send_args[] = {email_server, message};
    Ref refused = Ref::steal(
        PyObject_VectorcallMethod(text(st, T_send_message), send_args, 1, keywords(st, K_msg)));
    if (!refused)
        return {};
    if (PyDict_Check(refused.get()) && PyDict_GET_SIZE(refused.get()) > 0)
        return refused;
    return Ref::borrow(Py_None);
}

// The connection, from the client's creation to leaving its context.
PyObject *hand_over(EmailState *st, FunctionObject *fn, PyObject *self, PyObject *message, Hints &hints) noexcept {
    Ref smtp = global(st, fn, T_SMTP);
    if (!smtp)
        return nullptr;
    Ref server = get_field(st, self, F_server);
    if (!server)
        return nullptr;
    hints.no_server = server.get() == Py_None;
    if (PyUnicode_Check(server.get()) && refuse_control(server.get(), field_name(st, F_server), false))
        return nullptr;
    PyObject *client_args[] = {server.get()};
    Ref client = Ref::steal(PyObject_Vectorcall(smtp.get(), client_args, 0, keywords(st, K_host)));
    if (!client)
        return nullptr;

    // with client as email_server: refused = deliver(...)
    WithStatement with;
    Ref email_server = with.enter(client.get(), text(st, T_dunder_enter), text(st, T_dunder_exit));
    if (!email_server)
        return nullptr;
    Ref refused = deliver(st, self, email_server.get(), message, hints);
    if (!with.exit(static_cast<bool>(refused)))
        return nullptr;
    if (!refused)  // the failure was suppressed
        Py_RETURN_NONE;
    if (refused.get() != Py_None) {
        // Some recipients never got the message: that is no success.
        PyErr_SetObject(object(st, O_recipients_refused), refused.get());
        return nullptr;
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Addresses beyond ASCII, in quillon._international: domains go out as
// A-labels, local parts through SMTPUTF8.

// Whether an address header holds text beyond ASCII: the recipients as
// checked, and the sender as it went into the header.
int names_beyond_ascii(EmailState *st, PyObject *message, const Envelope &envelope) noexcept {
    for (const Ref &items : envelope.items) {
        for (Py_ssize_t i = 0; items && i < PyTuple_GET_SIZE(items.get()); ++i)
            if (!PyUnicode_IS_ASCII(PyTuple_GET_ITEM(items.get(), i)))
                return 1;
    }
    Ref sender = Ref::steal(PyObject_GetItem(message, text(st, T_From)));
    if (!sender)
        return -1;
    return is_beyond_ascii(sender.get());
}

// The message itself, or the form of it the SMTP client can send.
Ref hand_over_form(EmailState *st, PyObject *message, const Envelope &envelope) noexcept {
    const int beyond = names_beyond_ascii(st, message, envelope);
    if (beyond <= 0)
        return beyond < 0 ? Ref() : Ref::borrow(message);
    return Ref::steal(PyObject_CallOneArg(object(st, O_hand_over_form), message));
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
    if (!message || !check_envelope(st, message.get(), envelope) || !check_credentials(st, self))
        return nullptr;
    Ref form = hand_over_form(st, message.get(), envelope);
    if (!form)
        return nullptr;
    Hints hints;
    PyObject *result = hand_over(st, fn, self, form.get(), hints);
    if (!result && form.get() != message.get())
        explain_international(st, self, form.get());
    if (!result)
        explain_failure(hints);
    return result;
}

}  // namespace quillon::email
