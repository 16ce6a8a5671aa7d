// quillon.email: what Email.send checks before any connection is made: the
// characters no header line or command may hold, each recipient and the
// sender as one address, and the envelope the SMTP client would take.
#include "send.h"

#include <cstring>

namespace quillon::email {

// ---------------------------------------------------------------------------
// What the standard library would send damaged, or not at all: refused
// before any connection is made, naming the field.

namespace {

// What no header line and no SMTP command may hold: every character some
// reader takes for a line end (those str.splitlines() breaks at: CR, LF,
// VT, FF, FS, GS, RS, NEL, U+2028, U+2029), the other C0 controls but TAB,
// DEL, and lone surrogates, which cannot be encoded at all. An address is
// held to more: no TAB and no C1 control either, since it goes into MAIL
// FROM and RCPT TO as it is, and a receiver that stops at NUL or reads C1 as
// a line end would deliver elsewhere.
inline bool is_control(Py_UCS4 c, bool address) noexcept {
    if (c < 0x20)
        return c != '\t' || address;
    if (c < 0x7f)
        return false;
    if (c == 0x7f || c == 0x85 || (address && c < 0xa0))
        return true;
    return c == 0x2028 || c == 0x2029 || (c >= 0xd800 && c <= 0xdfff);
}

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

}  // namespace

// The first character of a text that is_control() refuses, or no_control.
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

// True, with the error set, when `value` (a str) holds such a character.
bool refuse_control(PyObject *value, PyObject *field, bool address) noexcept {
    const Py_UCS4 c = find_control(value, address);
    if (c == no_control)
        return false;
    raise_control(field, c);
    return true;
}

// ---------------------------------------------------------------------------
// Addresses as send_message() reads them from the headers.

namespace {

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

}  // namespace

// getaddresses([value]): the (name, address) pairs read from one header value.
Ref parse_addresses(EmailState *st, PyObject *value) noexcept {
    Ref one = Ref::steal(PyList_New(1));
    if (!one)
        return {};
    PyList_SET_ITEM(one.get(), 0, Py_NewRef(value));
    return Ref::steal(PyObject_CallOneArg(object(st, O_getaddresses), one.get()));
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

}  // namespace quillon::email
