// quillon.email: the message Email.send hands over, built before any
// connection is made: the address headers, Date and Message-ID, the body
// and the attachments with their file names.
#include "send.h"

#include <cstring>

namespace quillon::email {

namespace {

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

}  // namespace

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

}  // namespace quillon::email
