// quillon.email: Email.send, from the fields to the SMTP server.
#include "state.h"

#include <cstdio>
#include <cstring>

namespace quillon::email {

namespace {

Ref get_field(EmailState *st, PyObject *self, Field field) noexcept {
    return Ref::steal(PyObject_GetAttr(self, field_name(st, field)));
}

// ---------------------------------------------------------------------------
// What the standard library would send damaged, or not at all: refused
// before any connection is made, naming the field.

// What no header line and no SMTP command may hold: every character some
// reader takes for a line end (those str.splitlines() breaks at: CR, LF,
// VT, FF, FS, GS, RS, NEL, U+2028, U+2029), the other C0 controls but TAB,
// DEL, and lone surrogates, which cannot be encoded at all. An address is
// held to more: no TAB and no C1 control either, since it goes into MAIL
// FROM and RCPT TO as it is, and a receiver that stops at NUL or reads C1 as
// a line end would deliver elsewhere.
constexpr Py_UCS4 no_control = 0xFFFFFFFF;

inline bool is_control(Py_UCS4 c, bool address) noexcept {
    if (c < 0x20)
        return c != '\t' || address;
    if (c < 0x7f)
        return false;
    if (c == 0x7f || c == 0x85 || (address && c < 0xa0))
        return true;
    return c == 0x2028 || c == 0x2029 || (c >= 0xd800 && c <= 0xdfff);
}

// The first such character of a text, or no_control.
Py_UCS4 find_control(PyObject *value, bool address) noexcept {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(value);
    if (PyUnicode_IS_ASCII(value)) {
        const Py_UCS1 *c = PyUnicode_1BYTE_DATA(value);
        for (Py_ssize_t i = 0; i < length; ++i)
            if (c[i] < 0x20 || c[i] == 0x7f) {
                if (c[i] != '\t' || address)
                    return c[i];
            }
        return no_control;
    }
    const int kind = PyUnicode_KIND(value);
    const void *data = PyUnicode_DATA(value);
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (is_control(c, address))
            return c;
    }
    return no_control;
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

const char *control_kind(Py_UCS4 c) noexcept {
    if (c >= 0xd800 && c <= 0xdfff)
        return "a lone surrogate";
    return c == 0x2028 || c == 0x2029 ? "a line separator" : "a control character";
}

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

// True, with the error set, when `value` (a str) holds one of them.
bool refuse_control(PyObject *value, PyObject *field, bool address) noexcept {
    const Py_UCS4 c = find_control(value, address);
    if (c == no_control)
        return false;
    raise_control(field, c);
    return true;
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

// An address as every reader takes it: a quoted local part only as the
// whole of it ('a"@x.org"b@y.org' is read one way by the client and another
// by receivers), and outside it no backslash, bracket, parenthesis, colon or
// other special that a server would read, or rewrite, as something else
// (a server takes a@x for a@x with a backslash before it as "\\a"@x).
bool is_plain_spec(const void *data, int kind, Py_ssize_t start, Py_ssize_t end) noexcept {
    Py_ssize_t i = start;
    if (i < end && PyUnicode_READ(kind, data, i) == '"') {
        for (++i; i < end; ++i) {
            const Py_UCS4 c = PyUnicode_READ(kind, data, i);
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                break;
            }
        }
        if (i + 1 >= end || PyUnicode_READ(kind, data, i + 1) != '@')
            return false;
        ++i;
    }
    for (; i < end; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c < 0x80 && c != 0 && std::strchr("\\\"()<>[]:;,", static_cast<int>(c)))
            return false;
    }
    return true;
}

// What reads as exactly one address, the same to every reader: the address
// itself, or a display name and the address in angle brackets
// (`acme<me@x.org>`, `"b@x.org"<b@x.org>`), the name free of anything that
// would start a group, a route, a comment or a second address. A group
// (`evil:a@x.org`), an unbalanced bracket or a comment is not.
bool is_one_address(PyObject *item, PyObject *address) noexcept {
    const int kind = PyUnicode_KIND(item);
    const void *data = PyUnicode_DATA(item);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(item);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(address);
    if (length == n)
        return PyUnicode_Compare(item, address) == 0 && is_plain_spec(data, kind, 0, n);
    const Py_ssize_t name_end = n - length - 2;  // where '<' must stand
    if (name_end < 0 || PyUnicode_READ(kind, data, n - 1) != '>' || PyUnicode_READ(kind, data, name_end) != '<' ||
        PyUnicode_Tailmatch(item, address, name_end + 1, n - 1, 1) != 1 ||
        !is_plain_spec(data, kind, name_end + 1, n - 1))
        return false;
    bool quoted = false;
    for (Py_ssize_t i = 0; i < name_end; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == '\\') {
            if (!quoted)
                return false;
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (!quoted && c < 0x80 && std::strchr("<>()[]:;@,", static_cast<int>(c)) && c != 0) {
            return false;
        }
    }
    return !quoted;
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
    if (!address || !PyUnicode_Check(address.get()) || !is_one_address(item, address.get())) {
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
        if (refuse_control(item, name, true))
            return Named::refused;
        if (!has_one_at(item)) {
            raise_not_one_address(item, name);
            return Named::refused;
        }
        plain = plain && reads_as_itself(st, item);
    }
    return Named::someone;
}

// SMTP carries lines of at most 998 characters before the CRLF.
constexpr Py_ssize_t line_limit = 998;

// The longest run of characters without a blank, where a folding library
// cannot break the line.
Py_ssize_t longest_word(PyObject *value) noexcept {
    const int kind = PyUnicode_KIND(value);
    const void *data = PyUnicode_DATA(value);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(value);
    Py_ssize_t longest = 0, run = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        run = PyUnicode_READ(kind, data, i) == ' ' ? 0 : run + 1;
        longest = run > longest ? run : longest;
    }
    return longest;
}

// How an item goes into an address header: as written, unless it is a
// display name beyond ASCII before an ASCII address. Then the name goes as
// RFC 2047 encoded words and the address in clear, "=?utf-8?b?...?= <j@x.org>":
// the library would encode the whole item as one word, address and all, and
// no reader would find the address in it.
Ref header_form(EmailState *st, PyObject *item) noexcept {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(item);
    if (PyUnicode_IS_ASCII(item) || n == 0 || PyUnicode_READ_CHAR(item, n - 1) != '>')
        return Ref::borrow(item);
    Ref parsed = parse_addresses(st, item);
    if (!parsed)
        return {};
    if (!PyList_CheckExact(parsed.get()) || PyList_GET_SIZE(parsed.get()) != 1)
        return Ref::borrow(item);  // refused when the envelope is checked
    PyObject *pair = PyList_GET_ITEM(parsed.get(), 0);
    if (!PyTuple_CheckExact(pair) || PyTuple_GET_SIZE(pair) != 2)
        return Ref::borrow(item);
    Ref name = Ref::borrow(PyTuple_GET_ITEM(pair, 0));  // held: Header() runs Python code
    Ref address = Ref::borrow(PyTuple_GET_ITEM(pair, 1));
    if (!PyUnicode_Check(name.get()) || !PyUnicode_Check(address.get()) || PyUnicode_IS_ASCII(name.get()) ||
        !PyUnicode_IS_ASCII(address.get()) || PyUnicode_GET_LENGTH(address.get()) == 0 ||
        !is_one_address(item, address.get()))
        return Ref::borrow(item);
    PyObject *header_args[] = {name.get(), text(st, T_utf_8)};
    Ref header = Ref::steal(PyObject_Vectorcall(object(st, O_Header), header_args, 2, nullptr));
    if (!header)
        return {};
    // Encoded words of at most 75 characters, one blank between them.
    PyObject *encode_args[] = {header.get(), st->common.core.empty_str};
    Ref words = Ref::steal(PyObject_VectorcallMethod(text(st, T_encode), encode_args, 1, keywords(st, K_linesep)));
    if (!words)
        return {};
    return Ref::steal(PyUnicode_FromFormat("%S <%U>", words.get(), address.get()));
}

// An address header's value: the items joined with ",", as always below the
// line limit. Where the line would pass it, with ", ", which the library
// folds at the blanks, so that the value still reads as the same list; an
// item that cannot fit even then is refused. (The container handed over
// holds that ", " text; the library adds the line breaks when it writes.)
Ref address_header_value(EmailState *st, PyObject *items, Ref joined, Field field, Text header) noexcept {
    const Py_ssize_t count = PyTuple_GET_SIZE(items);
    const Py_ssize_t room = line_limit - PyUnicode_GET_LENGTH(text(st, header)) - 3;  // ": " and ","
    bool ascii = true;
    for (Py_ssize_t i = 0; i < count && ascii; ++i)
        ascii = PyUnicode_IS_ASCII(PyTuple_GET_ITEM(items, i));
    if (ascii && PyUnicode_GET_LENGTH(joined.get()) <= room)
        return joined;
    Ref forms = Ref::steal(PyTuple_New(count));
    if (!forms)
        return {};
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref form = header_form(st, PyTuple_GET_ITEM(items, i));
        if (!form)
            return {};
        PyTuple_SET_ITEM(forms.get(), i, form.release());
    }
    Ref value = Ref::steal(PyUnicode_Join(text(st, T_comma), forms.get()));
    if (!value || PyUnicode_GET_LENGTH(value.get()) <= room)
        return value;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (longest_word(PyTuple_GET_ITEM(forms.get(), i)) > room) {
            raise_too_long(PyTuple_GET_ITEM(items, i), field_name(st, field), room);
            return {};
        }
    }
    return Ref::steal(PyUnicode_Join(text(st, T_comma_blank), forms.get()));
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
            value = address_header_value(st, items.get(), std::move(joined), field, header);
            if (!value)
                return false;
            envelope.items[field] = std::move(items);
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
// send_message() takes the envelope sender from getaddresses([From]), so
// that must read as exactly the one address written: an item it reads as
// nothing ("me@x.org>", a domain literal) would go out as the null sender.
Ref check_sender(EmailState *st, PyObject *sender) noexcept {
    PyObject *field = field_name(st, F_from);
    if (sender == Py_None || (PyUnicode_Check(sender) && PyUnicode_GET_LENGTH(sender) == 0)) {
        raise_no_sender(field);
        return {};
    }
    if (!PyUnicode_Check(sender))
        return Ref::borrow(text(st, T_localhost));
    if (refuse_control(sender, field, true))
        return {};
    if (!has_one_at(sender)) {
        raise_not_one_address(sender, field);
        return {};
    }
    Ref address = read_one_address(st, sender, field);
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
// "filename=": an RFC 2045 token (ASCII letters, digits and !#$&+-.^_`{|}~),
// short enough not to be folded. Not "'", "*" or "%", which a reader of RFC
// 2231 takes for the marks of an encoded name ("o'brien.pdf" reads as no
// name, "a*b.txt" as "a"): such a name is quoted.
bool is_token_file_name(PyObject *name) noexcept {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(name);
    if (!PyUnicode_IS_ASCII(name) || length == 0 || length > file_name_room)
        return false;
    const Py_UCS1 *chars = PyUnicode_1BYTE_DATA(name);
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS1 c = chars[i];
        const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alnum && (c == 0 || !std::strchr("!#$&+-.^_`{|}~", c)))
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

// True when "Content-Disposition: attachment; filename*=utf-8''" and the
// name percent-encoded (at most three characters a byte) fit one line.
bool fits_one_encoded_line(PyObject *name) noexcept {
    Py_ssize_t bytes = PyUnicode_GET_LENGTH(name);
    if (!PyUnicode_IS_ASCII(name)) {
        const int kind = PyUnicode_KIND(name);
        const void *data = PyUnicode_DATA(name);
        bytes = 0;
        for (Py_ssize_t i = 0; i < PyUnicode_GET_LENGTH(name); ++i) {
            const Py_UCS4 c = PyUnicode_READ(kind, data, i);
            bytes += c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
        }
    }
    return 50 + 3 * bytes <= line_limit;
}

// The disposition with the name as RFC 2231 continuations,
// "attachment; filename*0*=utf-8''...; filename*1*=...", added and attached.
bool attach_continued_name(EmailState *st, PyObject *message, PyObject *attachment, PyObject *name) noexcept {
    constexpr Py_ssize_t piece = 60;
    PyObject *encode_args[] = {name, text(st, T_utf_8)};
    Ref encoded = Ref::steal(PyObject_Vectorcall(object(st, O_encode_rfc2231), encode_args, 2, nullptr));
    if (!encoded)
        return false;
    if (!PyUnicode_Check(encoded.get()) || !PyUnicode_IS_ASCII(encoded.get())) {
        PyErr_SetString(PyExc_TypeError, "encode_rfc2231() must give ASCII text");
        return false;
    }
    Ref parts = Ref::steal(PyList_New(0));
    if (!parts || PyList_Append(parts.get(), text(st, T_attachment)) < 0)
        return false;
    const Py_UCS1 *c = PyUnicode_1BYTE_DATA(encoded.get());
    const Py_ssize_t n = PyUnicode_GET_LENGTH(encoded.get());
    for (Py_ssize_t start = 0, section = 0; start < n; ++section) {
        Py_ssize_t end = start + piece < n ? start + piece : n;
        if (end < n && c[end - 1] == '%')  // never split a %XX
            end -= 1;
        else if (end < n && c[end - 2] == '%')
            end -= 2;
        Ref part = Ref::steal(PyUnicode_Substring(encoded.get(), start, end));
        if (!part)
            return false;
        Ref parameter = Ref::steal(PyUnicode_FromFormat("filename*%zd*=%U", section, part.get()));
        if (!parameter || PyList_Append(parts.get(), parameter.get()) < 0)
            return false;
        start = end;
    }
    Ref disposition = Ref::steal(PyUnicode_Join(text(st, T_semicolon_blank), parts.get()));
    if (!disposition)
        return false;
    PyObject *header_args[] = {attachment, text(st, T_content_disposition), disposition.get()};
    Ref done = Ref::steal(
        PyObject_VectorcallMethod(text(st, T_add_header), header_args, 1, keywords(st, K_name_value)));
    if (!done)
        return false;
    PyObject *attach_args[] = {message, attachment};
    done = Ref::steal(PyObject_VectorcallMethod(text(st, T_attach), attach_args, 1, keywords(st, K_payload)));
    return static_cast<bool>(done);
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
    const Py_UCS4 control = find_control(name.get(), false);
    if (control != no_control) {
        raise_file_name_control(name.get(), control);
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
        // A name whose encoded form would pass the line limit goes as RFC
        // 2231 continuations instead, each short, which the library folds
        // at the "; " between them.
        if (!fits_one_encoded_line(name.get()))
            return attach_continued_name(st, message, attachment.get(), name.get());
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
    if (!domain)
        return {};
    Ref from = Ref::borrow(sender.get());
    if (PyUnicode_Check(sender.get()) &&
        (!PyUnicode_IS_ASCII(sender.get()) || PyUnicode_GET_LENGTH(sender.get()) > line_limit - 9)) {
        Ref one = Ref::steal(PyTuple_Pack(1, sender.get()));
        if (!one)
            return {};
        from = address_header_value(st, one.get(), std::move(from), F_from, T_From);
        if (!from)
            return {};
    }
    if (PyObject_SetItem(message.get(), text(st, T_From), from.get()) < 0)
        return {};
    if (!set_recipients_header(st, message.get(), self, F_to, T_To, envelope) ||
        !set_recipients_header(st, message.get(), self, F_cc, T_Cc, envelope) ||
        !set_recipients_header(st, message.get(), self, F_bcc, T_Bcc, envelope))
        return {};
    Ref subject = get_field(st, self, F_subject);
    if (!subject)
        return {};
    if (PyUnicode_Check(subject.get())) {
        if (refuse_control(subject.get(), field_name(st, F_subject), false))
            return {};
        // The library writes an ASCII subject on one line where it has no
        // blank to fold at: past the line limit it goes as encoded words,
        // which read back as the very text.
        if (PyUnicode_IS_ASCII(subject.get()) && PyUnicode_GET_LENGTH(subject.get()) > line_limit - 9) {
            PyObject *header_args[] = {subject.get(), text(st, T_utf_8)};
            subject = Ref::steal(PyObject_Vectorcall(object(st, O_Header), header_args, 2, nullptr));
            if (!subject)
                return {};
        }
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
