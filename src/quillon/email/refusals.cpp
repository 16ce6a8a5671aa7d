// quillon.email: the refusals and notes of Email.send, each naming what the
// caller wrote; cold paths, kept out of line.
#include "send.h"

#include <cstdio>

namespace quillon::email {

namespace {

const char *control_kind(Py_UCS4 c) noexcept {
    if (c >= 0xd800 && c <= 0xdfff)
        return "a lone surrogate";
    return c == 0x2028 || c == 0x2029 ? "a line separator" : "a control character";
}

}  // namespace

// A line end would end the header early, and the rest of the value would
// become headers or body at the receiver; in a command it would end that.
QUILLON_COLD void raise_control(PyObject *field, Py_UCS4 c) noexcept {
    char code[16];
    std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(c));
    PyErr_Format(PyExc_ValueError, "message not sent: %U holds %s (%s)", field, control_kind(c), code);
}

QUILLON_COLD void raise_file_name_control(PyObject *name, Py_UCS4 c) noexcept {
    char code[16];
    std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(c));
    PyErr_Format(PyExc_ValueError, "message not sent: the file name %R in attachments holds %s (%s)", name,
                 control_kind(c), code);
}

// Even folded at its blanks, a header line would pass the 998 characters
// SMTP carries.
QUILLON_COLD void raise_too_long(PyObject *item, PyObject *field, Py_ssize_t room) noexcept {
    PyErr_Format(PyExc_ValueError,
                 "message not sent: %R in %U is too long for a header line (at most %zd characters "
                 "without a blank)",
                 item, field, room);
}

QUILLON_COLD void raise_empty_address(PyObject *field) noexcept {
    PyErr_Format(PyExc_ValueError,
                 "message not sent: %U holds an empty address (a doubled or trailing ',' or ';')", field);
}

// smtplib would send MAIL FROM:<None>, or <>, under an empty From header.
QUILLON_COLD void raise_no_sender(PyObject *field) noexcept {
    PyErr_Format(PyExc_ValueError, "message not sent: %U is empty, so the message has no sender", field);
}

// "alice@example,com" is two items once normalised, "bob example.org" one
// without its blank: a relay would take "com" or "bobexample.org" for a
// local user of its own.
QUILLON_COLD void raise_not_one_address(PyObject *item, PyObject *field) noexcept {
    PyErr_Format(PyExc_ValueError,
                 "message not sent: %R in %U is not one address: it needs exactly one '@' with text on "
                 "both sides (',' and ';' separate addresses, blanks are dropped)",
                 item, field);
}

// Without this, smtplib connects, sends MAIL FROM and then fails with an
// empty SMTPRecipientsRefused.
QUILLON_COLD void raise_no_recipients() noexcept {
    PyErr_SetString(PyExc_ValueError, "message not sent: no recipients (to, cc and bcc name nobody)");
}

QUILLON_COLD void raise_unreadable_address(PyObject *item, PyObject *field) noexcept {
    PyErr_Format(PyExc_ValueError, "message not sent: the SMTP client cannot read %R in %U as one address", item,
                 field);
}

QUILLON_COLD void raise_other_envelope(PyObject *envelope) noexcept {
    PyErr_Format(PyExc_ValueError,
                 "message not sent: the SMTP client would send it to %R, not to the addresses named in "
                 "to, cc and bcc",
                 envelope);
}

// Says which credential, never what it holds: smtplib's own error for it
// carries the whole credential line.
QUILLON_COLD void raise_credential_beyond_ascii(const char *which) noexcept {
    PyErr_Format(PyExc_ValueError,
                 "message not sent: the %s holds characters beyond ASCII, which SMTP login cannot carry", which);
}

QUILLON_COLD void explain_failure(const Hints &hints) noexcept {
    if (!hints.no_server && !hints.no_user_name)
        return;
    PyObject *exc = PyErr_GetRaisedException();
    if (hints.no_server)
        add_note(exc, "no server is set (Email.server is None), so the SMTP client has nowhere to connect");
    if (hints.no_user_name)
        add_note(exc, "a password is set but no user name (Email.username is None); login was given user=None");
    PyErr_SetRaisedException(exc);
}

// The client's refusal of a form that needs SMTPUTF8, made to name the
// server and the addresses.
QUILLON_COLD void explain_international(EmailState *st, PyObject *self, PyObject *form) noexcept {
    Ref raised = Ref::steal(PyErr_GetRaisedException());
    Ref server = get_field(st, self, F_server);
    Ref explained;
    if (server) {
        PyObject *explain_args[] = {raised.get(), server.get(), form};
        explained = Ref::steal(PyObject_Vectorcall(object(st, O_explain_refusal), explain_args, 3, nullptr));
    }
    if (explained && !PyExceptionInstance_Check(explained.get())) {
        PyErr_Format(PyExc_TypeError, "explain_refusal() gave %.200s, not an exception",
                     Py_TYPE(explained.get())->tp_name);
        explained.reset();
    }
    if (!explained) {
        PyObject *failure = PyErr_GetRaisedException();
        PyException_SetContext(failure, raised.release());
        PyErr_SetRaisedException(failure);
        return;
    }
    PyErr_SetRaisedException(explained.release());
}

}  // namespace quillon::email
