// quillon.email: what the parts of Email.send share. send.cpp holds the
// connection and the entry; message.cpp builds the message; addresses.cpp
// checks the addresses and the envelope; refusals.cpp words the errors.
#pragma once

#include "state.h"

namespace quillon::email {

inline Ref get_field(EmailState *st, PyObject *self, Field field) noexcept {
    return Ref::steal(PyObject_GetAttr(self, field_name(st, field)));
}

// ---------------------------------------------------------------------------
// Checks (addresses.cpp).

// What find_control() gives for a text that holds no forbidden character.
constexpr Py_UCS4 no_control = 0xFFFFFFFF;

// The first character of a text (a str) that no header line and no SMTP
// command may hold, or no_control; an address (`address`) is held to more.
Py_UCS4 find_control(PyObject *value, bool address) noexcept;
// True, with the error set, when `value` (a str) holds one of them.
bool refuse_control(PyObject *value, PyObject *field, bool address) noexcept;

// getaddresses([value]): the (name, address) pairs read from one header value.
Ref parse_addresses(EmailState *st, PyObject *value) noexcept;
// Whether `item` reads as exactly the one address `address`, the same to
// every reader.
bool is_one_address(PyObject *item, PyObject *address) noexcept;

// The recipient fields as they went into the headers: the very items (a
// copy, so later Python code cannot change what is checked), and whether
// every one is a plain address.
struct Envelope {
    Ref items[FIELD_COUNT];  // by field: a tuple for a recipient field that is not None
    bool plain = true;
};

// A field that names nobody (no item, or empty ones only: cc=[] is the
// natural "no Cc") counts as absent. Otherwise every item must be one
// address: an empty one among others would reach the server as "<>".
enum class Named { nobody, someone, refused };

Named check_recipient_items(EmailState *st, Field field, PyObject *items, bool &plain) noexcept;
// The envelope send_message() would take from the headers must be exactly
// the addresses named, item for item.
bool check_envelope(EmailState *st, PyObject *message, const Envelope &envelope) noexcept;
// Refuses a sender the message cannot carry; gives the Message-ID domain.
Ref check_sender(EmailState *st, PyObject *sender) noexcept;

// ---------------------------------------------------------------------------
// The message (message.cpp).

// The whole message, attachments included, before any connection is made.
Ref build_message(EmailState *st, FunctionObject *fn, PyObject *self, Envelope &envelope) noexcept;

// ---------------------------------------------------------------------------
// Refusals (refusals.cpp): each sets ValueError "message not sent: ...".

QUILLON_COLD void raise_control(PyObject *field, Py_UCS4 c) noexcept;
QUILLON_COLD void raise_file_name_control(PyObject *name, Py_UCS4 c) noexcept;
QUILLON_COLD void raise_too_long(PyObject *item, PyObject *field, Py_ssize_t room) noexcept;
QUILLON_COLD void raise_empty_address(PyObject *field) noexcept;
QUILLON_COLD void raise_no_sender(PyObject *field) noexcept;
QUILLON_COLD void raise_not_one_address(PyObject *item, PyObject *field) noexcept;
QUILLON_COLD void raise_no_recipients() noexcept;
QUILLON_COLD void raise_unreadable_address(PyObject *item, PyObject *field) noexcept;
QUILLON_COLD void raise_other_envelope(PyObject *envelope) noexcept;
QUILLON_COLD void raise_credential_beyond_ascii(const char *which) noexcept;

// What send() adds to an exception from the SMTP client's side, whichever
// exception reaches the caller (__exit__ may raise its own).
struct Hints {
    bool no_server = false;     // `server` was None
    bool no_user_name = false;  // login, given user=None, failed
};

// Adds the notes `hints` calls for to the pending exception.
QUILLON_COLD void explain_failure(const Hints &hints) noexcept;
// The client's refusal of a form that needs SMTPUTF8, made to name the
// server and the addresses.
QUILLON_COLD void explain_international(EmailState *st, PyObject *self, PyObject *form) noexcept;

}  // namespace quillon::email
