// quillon.email: Email.send, from the fields to the SMTP server.
#include "state.h"

#include <cstring>

namespace quillon::email {

namespace {

Ref get_field(EmailState *st, PyObject *self, Field field) noexcept {
    return Ref::steal(PyObject_GetAttr(self, field_name(st, field)));
}

// ---------------------------------------------------------------------------
// What the standard library would send damaged, or not at all: refused
// before any connection is made, naming the field.

bool has_line_break(PyObject *value) noexcept {
    const int kind = PyUnicode_KIND(value);
    const void *data = PyUnicode_DATA(value);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(value);
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == '\r' || c == '\n')
            return true;
    }
    return false;
}

bool is_beyond_ascii(PyObject *value) noexcept { return PyUnicode_Check(value) && !PyUnicode_IS_ASCII(value); }

// Exactly one '@', with text before and after it.
bool has_one_at(PyObject *value) noexcept {
    const int kind = PyUnicode_KIND(value);
    const void *data = PyUnicode_DATA(value);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(value);
    Py_ssize_t at = -1;
    bool quoted = false;
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == '\\' && quoted) {
            ++i;
            continue;
        }
        if (c == '"') {
            quoted = !quoted;
            continue;
        }
        if (c == '@' && !quoted) {
            if (at >= 0)
                return false;
            at = i;
        }
    }
    return at > 0 && at < length - 1;
}

// A line break ends the header early: the rest of the value would become
// headers or body at the receiver.
QUILLON_COLD void raise_line_break(PyObject *field) noexcept {
    PyErr_Format(PyExc_ValueError, "message not sent: %U holds a line break (CR or LF)", field);
}

QUILLON_COLD void raise_file_name_line_break(PyObject *name) noexcept {
    PyErr_Format(PyExc_ValueError,
                 "message not sent: the file name %R in attachments holds a line break (CR or LF)", name);
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

// What send() adds to an exception from the SMTP client's side, whichever
// exception reaches the caller (__exit__ may raise its own).
struct Hints {
    bool no_server = false;     // `server` was None
    bool no_user_name = false;  // login, given user=None, failed
};

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

// ---------------------------------------------------------------------------
// Addresses as send_message() reads them from the headers.

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

// An address known without a trial parse to read back as itself: the
// shortcut taken for the common message, off with the other shortcuts.
bool reads_as_itself(EmailState *st, PyObject *item) noexcept { return shortcuts(st) && is_plain_address(item); }

// getaddresses([value]): the (name, address) pairs read from one header value.
Ref parse_addresses(EmailState *st, PyObject *value) noexcept {
    Ref one = Ref::steal(PyList_New(1));
    if (!one)
        return {};
    PyList_SET_ITEM(one.get(), 0, Py_NewRef(value));
    return Ref::steal(PyObject_CallOneArg(object(st, O_getaddresses), one.get()));
}

// The one address a recipient item stands for, as the SMTP client reads it.
Ref read_one_address(EmailState *st, PyObject *item, PyObject *field) noexcept {
    if (reads_as_itself(st, item))
        return Ref::borrow(item);
    Ref parsed = parse_addresses(st, item);
    if (!parsed)
        return {};
    Ref pairs = Ref::steal(PySequence_Fast(parsed.get(), "getaddresses() must give a sequence"));
    if (!pairs)
        return {};
    Ref address;
    if (PySequence_Fast_GET_SIZE(pairs.get()) == 1) {
        address = Ref::steal(PySequence_GetItem(PySequence_Fast_GET_ITEM(pairs.get(), 0), 1));
        if (!address)
            return {};
        const int named = PyObject_IsTrue(address.get());
        if (named < 0)
            return {};
        if (!named)
            address.reset();
    }
    if (!address) {
        raise_unreadable_address(item, field);
        return {};
    }
    return address;
}

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

Named check_recipient_items(EmailState *st, Field field, PyObject *items, bool &plain) noexcept {
    PyObject *name = field_name(st, field);
    const Py_ssize_t count = PyTuple_GET_SIZE(items);
    bool empty_only = true;
    for (Py_ssize_t i = 0; i < count && empty_only; ++i)  // str items: the join took them
        empty_only = PyUnicode_GET_LENGTH(PyTuple_GET_ITEM(items, i)) == 0;
    if (empty_only)
        return Named::nobody;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *item = PyTuple_GET_ITEM(items, i);
        if (PyUnicode_GET_LENGTH(item) == 0) {
            raise_empty_address(name);
            return Named::refused;
        }
        if (has_line_break(item)) {
            raise_line_break(name);
            return Named::refused;
        }
        if (!has_one_at(item)) {
            raise_not_one_address(item, name);
            return Named::refused;
        }
        plain = plain && reads_as_itself(st, item);
    }
    return Named::someone;
}

// message[HEADER] = the recipients joined with ",", or None when the field
// names nobody.
bool set_recipients_header(EmailState *st, PyObject *message, PyObject *self, Field field, Text header,
                           Envelope &envelope) noexcept {
    Ref value = get_field(st, self, field);
    if (!value)
        return false;
    if (value.get() != Py_None) {
        // What ",".join(value) iterates, and with the same error.
        Ref items = Ref::steal(PySequence_Fast(value.get(), "can only join an iterable"));
        if (items && PyList_Check(items.get()))
            items = Ref::steal(PyList_AsTuple(items.get()));
        if (!items)
            return false;
        Ref joined = Ref::steal(PyUnicode_Join(text(st, T_comma), items.get()));
        if (!joined)
            return false;
        switch (check_recipient_items(st, field, items.get(), envelope.plain)) {
        case Named::refused:
            return false;
        case Named::nobody:
            value = Ref::borrow(Py_None);
            break;
        case Named::someone:
            envelope.items[field] = std::move(items);
            value = std::move(joined);
            break;
        }
    }
    return PyObject_SetItem(message, text(st, header), value.get()) == 0;
}

// An address header that names nobody is left out rather than sent empty:
// RFC 5322 has no empty address list.
bool drop_absent_headers(EmailState *st, PyObject *message, const Envelope &envelope) noexcept {
    static constexpr Field fields[] = {F_to, F_cc, F_bcc};
    static constexpr Text headers[] = {T_To, T_Cc, T_Bcc};
    if (!envelope.items[F_to] && !envelope.items[F_cc] && !envelope.items[F_bcc]) {
        raise_no_recipients();
        return false;
    }
    for (int k = 0; k < 3; ++k) {
        if (!envelope.items[fields[k]] && PyObject_DelItem(message, text(st, headers[k])) < 0)
            return false;
    }
    return true;
}

// send_message() takes the envelope from the To, Bcc and Cc headers, in that
// order, through getaddresses(); an item it cannot read (an unbalanced
// parenthesis, a stray separator) can turn the whole list into one empty
// address, and the message goes to "<>" while the call reports success. So
// the envelope must be exactly the addresses named, item for item.
bool check_envelope(EmailState *st, PyObject *message, const Envelope &envelope) noexcept {
    if (envelope.plain)
        return true;
    Ref addresses[FIELD_COUNT];
    for (int f = 0; f < FIELD_COUNT; ++f) {
        PyObject *items = envelope.items[f].get();
        if (!items)
            continue;
        const Py_ssize_t count = PyTuple_GET_SIZE(items);
        addresses[f] = Ref::steal(PyList_New(count));
        if (!addresses[f])
            return false;
        for (Py_ssize_t i = 0; i < count; ++i) {
            Ref address = read_one_address(st, PyTuple_GET_ITEM(items, i), field_name(st, static_cast<Field>(f)));
            if (!address)
                return false;
            PyList_SET_ITEM(addresses[f].get(), i, address.release());
        }
    }
    Ref named = Ref::steal(PyList_New(0));
    Ref fields = Ref::steal(PyList_New(0));
    if (!named || !fields)
        return false;
    static constexpr Field order[] = {F_to, F_bcc, F_cc};
    static constexpr Text headers[] = {T_To, T_Bcc, T_Cc};
    for (int k = 0; k < 3; ++k) {
        PyObject *some = addresses[order[k]].get();
        if (some && PyList_Extend(named.get(), some) < 0)
            return false;
        Ref value = Ref::steal(PyObject_GetItem(message, text(st, headers[k])));
        if (!value || (value.get() != Py_None && PyList_Append(fields.get(), value.get()) < 0))
            return false;
    }
    Ref parsed = Ref::steal(PyObject_CallOneArg(object(st, O_getaddresses), fields.get()));
    if (!parsed)
        return false;
    Ref envelope_list = Ref::steal(PyList_New(0));
    Ref iter = Ref::steal(PyObject_GetIter(parsed.get()));
    if (!envelope_list || !iter)
        return false;
    while (Ref pair = Ref::steal(PyIter_Next(iter.get()))) {
        Ref address = Ref::steal(PySequence_GetItem(pair.get(), 1));
        if (!address || PyList_Append(envelope_list.get(), address.get()) < 0)
            return false;
    }
    if (PyErr_Occurred())
        return false;
    const int same = PyObject_RichCompareBool(envelope_list.get(), named.get(), Py_EQ);
    if (same < 0)
        return false;
    if (!same) {
        raise_other_envelope(envelope_list.get());
        return false;
    }
    return true;
}

// The envelope sender send_message() will use: getaddresses([From])[0][1].
Ref sender_address(EmailState *st, PyObject *sender) noexcept {
    if (reads_as_itself(st, sender))
        return Ref::borrow(sender);
    Ref parsed = parse_addresses(st, sender);
    if (!parsed)
        return {};
    Ref first = Ref::steal(PySequence_GetItem(parsed.get(), 0));
    if (!first)
        return {};
    return Ref::steal(PySequence_GetItem(first.get(), 1));
}

// The domain of the Message-ID: the sender's when it has one that can stand
// there, else a fixed name, since make_msgid() without a domain asks DNS
// for the local host's name.
Ref message_id_domain(EmailState *st, PyObject *address) noexcept {
    if (PyUnicode_Check(address) && PyUnicode_IS_ASCII(address)) {
        const Py_UCS1 *c = PyUnicode_1BYTE_DATA(address);
        const Py_ssize_t n = PyUnicode_GET_LENGTH(address);
        Py_ssize_t start = n;
        while (start > 0 && c[start - 1] != '@')
            --start;
        bool usable = start > 0 && start < n;
        for (Py_ssize_t i = start; usable && i < n; ++i) {
            const Py_UCS1 ch = c[i];
            usable = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
                     ch == '.' || ch == '-';
        }
        if (usable)
            return Ref::steal(PyUnicode_Substring(address, start, n));
    }
    return Ref::borrow(text(st, T_localhost));
}

// Refuses a sender the message cannot carry; gives the Message-ID domain.
Ref check_sender(EmailState *st, PyObject *sender) noexcept {
    PyObject *field = field_name(st, F_from);
    if (sender == Py_None || (PyUnicode_Check(sender) && PyUnicode_GET_LENGTH(sender) == 0)) {
        raise_no_sender(field);
        return {};
    }
    if (!PyUnicode_Check(sender))
        return Ref::borrow(text(st, T_localhost));
    if (has_line_break(sender)) {
        raise_line_break(field);
        return {};
    }
    if (!has_one_at(sender)) {
        raise_not_one_address(sender, field);
        return {};
    }
    Ref address = sender_address(st, sender);
    if (!address)
        return {};
    return message_id_domain(st, address.get());
}

// Date and Message-ID: a relay adds neither for a client on another host.
bool set_origin_headers(EmailState *st, PyObject *message, PyObject *domain) noexcept {
    PyObject *date_args[] = {Py_True};
    Ref date = Ref::steal(PyObject_Vectorcall(object(st, O_formatdate), date_args, 0, keywords(st, K_localtime)));
    if (!date || PyObject_SetItem(message, text(st, T_Date), date.get()) < 0)
        return false;
    PyObject *id_args[] = {domain};
    Ref id = Ref::steal(PyObject_Vectorcall(object(st, O_make_msgid), id_args, 0, keywords(st, K_domain)));
    return id && PyObject_SetItem(message, text(st, T_Message_ID), id.get()) == 0;
}

// True when an ASCII body has a line longer than SMTP carries (998
// characters before the CRLF): sent as 7bit, a relay would cut it. MIMEText
// puts any other body in base64, whose lines are short.
bool has_long_line(PyObject *body) noexcept {
    if (!PyUnicode_Check(body) || !PyUnicode_IS_ASCII(body))
        return false;
    const Py_UCS1 *c = PyUnicode_1BYTE_DATA(body);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(body);
    Py_ssize_t run = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        run = (c[i] == '\r' || c[i] == '\n') ? 0 : run + 1;
        if (run > 998)
            return true;
    }
    return false;
}

// encoders.WHICH(msg=part), with `encoders` looked up at this use.
bool encode(EmailState *st, FunctionObject *fn, Text which, PyObject *part) noexcept {
    Ref encoders = global(st, fn, T_encoders);
    if (!encoders)
        return false;
    Ref encoder = Ref::steal(PyObject_GetAttr(encoders.get(), text(st, which)));
    if (!encoder)
        return false;
    PyObject *encode_args[] = {part};
    return static_cast<bool>(Ref::steal(PyObject_Vectorcall(encoder.get(), encode_args, 0, keywords(st, K_msg))));
}

// The body part in quoted-printable, with that as its only transfer encoding.
bool encode_quoted_printable(EmailState *st, FunctionObject *fn, PyObject *part) noexcept {
    return PyObject_DelItem(part, text(st, T_content_transfer_encoding)) == 0 &&
           encode(st, fn, T_encode_quopri, part);
}

// The room after "Content-Disposition: attachment; filename=" on one
// 78-character line: a name (quotes included) that fits is never folded.
constexpr Py_ssize_t file_name_room = 78 - 42;

// A file name every receiver reads back whole when it stands unquoted after
// "filename=": an RFC 2045 token (ASCII letters, digits and
// !#$%&'*+-.^_`{|}~), short enough not to be folded.
bool is_token_file_name(PyObject *name) noexcept {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(name);
    if (!PyUnicode_IS_ASCII(name) || length == 0 || length > file_name_room)
        return false;
    const Py_UCS1 *chars = PyUnicode_1BYTE_DATA(name);
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS1 c = chars[i];
        const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alnum && (c == 0 || !std::strchr("!#$%&'*+-.^_`{|}~", c)))
            return false;
    }
    return true;
}

// True when the name fits the line as a quoted string. A longer one would be
// folded at its blanks, and a reader of the older kind takes the line break,
// or a doubled blank, into the name.
bool fits_quoted(PyObject *name) noexcept {
    if (!PyUnicode_IS_ASCII(name))
        return false;  // the library encodes it (RFC 2231) in any case
    const Py_UCS1 *chars = PyUnicode_1BYTE_DATA(name);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(name);
    Py_ssize_t quoted = length + 2;
    for (Py_ssize_t i = 0; i < length && quoted <= file_name_room; ++i)
        quoted += chars[i] == '"' || chars[i] == '\\';
    return quoted <= file_name_room;
}

// One "application/octet-stream" part, base64-encoded, attached to `message`.
bool attach_file(EmailState *st, FunctionObject *fn, PyObject *message, PyObject *pair) noexcept {
    Ref file_name, file_content;
    if (!unpack_pair(pair, file_name, file_content, shortcuts(st)))
        return false;
    Ref mime_base = global(st, fn, T_MIMEBase);
    if (!mime_base)
        return false;
    PyObject *part_args[] = {text(st, T_application), text(st, T_octet_stream)};
    Ref attachment = Ref::steal(
        PyObject_Vectorcall(mime_base.get(), part_args, 0, keywords(st, K_maintype_subtype)));
    if (!attachment)
        return false;
    PyObject *payload_args[] = {attachment.get(), file_content.get()};
    Ref done = Ref::steal(
        PyObject_VectorcallMethod(text(st, T_set_payload), payload_args, 1, keywords(st, K_payload)));
    if (!done || !encode(st, fn, T_encode_base64, attachment.get()))
        return false;

    Ref name = format_simple(file_name.get(), st->common.core.empty_str, shortcuts(st));
    if (!name)
        return false;
    if (has_line_break(name.get())) {
        raise_file_name_line_break(name.get());
        return false;
    }
    if (is_token_file_name(name.get())) {
        Ref disposition = Ref::steal(PyUnicode_Concat(text(st, T_attachment_filename), name.get()));
        if (!disposition)
            return false;
        PyObject *header_args[] = {attachment.get(), text(st, T_content_disposition), disposition.get()};
        done = Ref::steal(
            PyObject_VectorcallMethod(text(st, T_add_header), header_args, 1, keywords(st, K_name_value)));
    } else {
        // The library quotes a name that fits the line; any other goes as
        // ("utf-8", "", name), which it encodes as RFC 2231 (filename*=):
        // one token, with no blank at which to fold it.
        PyObject *empty = st->common.core.empty_str;
        Ref filename = fits_quoted(name.get()) ? std::move(name)
                                               : Ref::steal(PyTuple_Pack(3, text(st, T_utf_8), empty, name.get()));
        if (!filename)
            return false;
        PyObject *header_args[] = {attachment.get(), text(st, T_content_disposition), text(st, T_attachment),
                                   filename.get()};
        done = Ref::steal(PyObject_VectorcallMethod(text(st, T_add_header), header_args, 1,
                                                    keywords(st, K_name_value_filename)));
    }
    if (!done)
        return false;
    PyObject *attach_args[] = {message, attachment.get()};
    done = Ref::steal(PyObject_VectorcallMethod(text(st, T_attach), attach_args, 1, keywords(st, K_payload)));
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
    if (!sender)
        return {};
    Ref domain = check_sender(st, sender.get());
    if (!domain || PyObject_SetItem(message.get(), text(st, T_From), sender.get()) < 0)
        return {};
    if (!set_recipients_header(st, message.get(), self, F_to, T_To, envelope) ||
        !set_recipients_header(st, message.get(), self, F_cc, T_Cc, envelope) ||
        !set_recipients_header(st, message.get(), self, F_bcc, T_Bcc, envelope))
        return {};
    Ref subject = get_field(st, self, F_subject);
    if (!subject)
        return {};
    if (PyUnicode_Check(subject.get()) && has_line_break(subject.get())) {
        raise_line_break(field_name(st, F_subject));
        return {};
    }
    if (PyObject_SetItem(message.get(), text(st, T_Subject), subject.get()) < 0 ||
        !drop_absent_headers(st, message.get(), envelope) || !set_origin_headers(st, message.get(), domain.get()))
        return {};

    Ref mime_text = global(st, fn, T_MIMEText);
    if (!mime_text)
        return {};
    Ref body = get_field(st, self, F_message);
    if (!body)
        return {};
    if (body.get() == Py_None)
        body = Ref::borrow(st->common.core.empty_str);
    PyObject *text_args[] = {body.get(), text(st, T_html)};
    Ref part = Ref::steal(PyObject_Vectorcall(mime_text.get(), text_args, 0, keywords(st, K_text_subtype)));
    if (!part || (has_long_line(body.get()) && !encode_quoted_printable(st, fn, part.get())))
        return {};
    PyObject *attach_args[] = {message.get(), part.get()};
    Ref done = Ref::steal(PyObject_VectorcallMethod(text(st, T_attach), attach_args, 2, nullptr));
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
