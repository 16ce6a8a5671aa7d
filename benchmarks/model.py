"""A pure-Python model of quillon.email and quillon.contact, for the benchmark.

The classes here do what the extension modules do, written the way an ordinary
Python programmer would write them: `__slots__`, properties that check and
store, the recipient normaliser as five string method calls. The benchmark
times the native classes against these, in the same process, so the ratio
shows what the C++ buys; tests/test_bench_model.py keeps the two in agreement.

Like the native modules, this module takes `logging` from `logger` when it is
imported, so whoever puts a substitute `logger` into `sys.modules` first
decides how both are decorated. The names that the methods use (`SMTP`, the
MIME classes, `encoders`, `validate_email`, ...) are module globals looked up
at every call, so a benchmark can rebind them here exactly as it rebinds them
in the native modules.
"""

import re
from email import encoders
from email.header import Header
from email.mime.base import MIMEBase
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText
from email.utils import encode_rfc2231, formatdate, getaddresses, make_msgid
from smtplib import SMTP, SMTPRecipientsRefused

from email_validator import EmailNotValidError, ValidatedEmail, validate_email

from logger import logging
from quillon._international import explain_refusal, hand_over_form
from quillon.smtp._protocol import envelope

__all__ = ["ModelEmail", "ModelContact"]


# An RFC 2045 token short enough that "Content-Disposition: attachment;
# filename=" and the name fit one 78-character line, without the "'", "*"
# and "%" that RFC 2231 readers take for marks: a file name that can stand
# unquoted.
_plain_file_name = re.compile(r"[A-Za-z0-9!#$&+\-.^_`{|}~]{1,36}").fullmatch
# What no header line or command may hold (line ends of str.splitlines(),
# other C0 controls but TAB, DEL, lone surrogates); an address, no TAB or C1
# control either.
_control = re.compile("[\x00-\x08\x0a-\x1f\x7f\x85\u2028\u2029\ud800-\udfff]").search
_address_control = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029\ud800-\udfff]").search
_LINE = 998
_long_line = re.compile(r"[^\r\n]{999}").search
_domain = re.compile(r"[A-Za-z0-9.-]+").fullmatch


def _one_address(text):
    """Exactly one '@' outside quoted strings, with text on both sides."""
    at, quoted, i = -1, False, 0
    while i < len(text):
        c = text[i]
        if quoted and c == "\\":
            i += 2
            continue
        if c == '"':
            quoted = not quoted
        elif c == "@" and not quoted:
            if at >= 0:
                return False
            at = i
        i += 1
    return 0 < at < len(text) - 1


def _refused(text):
    return ValueError(f"message not sent: {text}")


def _what(c):
    if "\ud800" <= c <= "\udfff":
        return "a lone surrogate"
    return "a line separator" if c in "\u2028\u2029" else "a control character"


def _check_control(value, field, address=False):
    found = (_address_control if address else _control)(value)
    if found:
        c = found[0]
        raise _refused(f"{field} holds {_what(c)} (U+{ord(c):04X})")


def _plain_spec(address):
    """A quoted local part only as the whole of it, and no special outside it."""
    rest = address
    if address.startswith('"'):
        i = 1
        while i < len(address) and address[i] != '"':
            i += 2 if address[i] == "\\" else 1
        if address[i + 1 : i + 2] != "@":
            return False
        rest = address[i + 1 :]
    return not any(c in '\\"()<>[]:;,' for c in rest)


def _one_address_shape(item, address):
    """The address itself, or NAME<ADDRESS> with a name that starts nothing else."""
    if item == address:
        return _plain_spec(item)
    name_end = len(item) - len(address) - 2
    if name_end < 0 or not item.endswith(f"<{address}>") or item[name_end] != "<":
        return False
    if not _plain_spec(address):
        return False
    quoted, i = False, 0
    while i < name_end:
        c = item[i]
        if c == "\\":
            if not quoted:
                return False
            i += 1
        elif c == '"':
            quoted = not quoted
        elif not quoted and c in "<>()[]:;@,":
            return False
        i += 1
    return not quoted


def _read_one(item, field):
    pairs = getaddresses([item])
    address = pairs[0][1] if len(pairs) == 1 else ""
    if not address or not _one_address_shape(item, address):
        raise _refused(f"the SMTP client cannot read {item!r} in {field} as one address")
    return address


def _header_form(item):
    """A display name beyond ASCII as encoded words, the address in clear."""
    if item.isascii() or not item.endswith(">"):
        return item
    pairs = getaddresses([item])
    if len(pairs) != 1:
        return item
    name, address = pairs[0]
    if name.isascii() or not address or not address.isascii():
        return item
    if not _one_address_shape(item, address):
        return item
    return f"{Header(name, 'utf-8').encode(linesep='')} <{address}>"


def _address_header(items, joined, field, header):
    room = _LINE - len(header) - 3
    if all(item.isascii() for item in items) and len(joined) <= room:
        return joined
    forms = [_header_form(item) for item in items]
    value = ",".join(forms)
    if len(value) <= room:
        return value
    for item, form in zip(items, forms, strict=True):
        if max(map(len, form.split(" "))) > room:
            raise _refused(
                f"{item!r} in {field} is too long for a header line (at most {room} "
                "characters without a blank)"
            )
    return ", ".join(forms)


def _continued(name):
    encoded = encode_rfc2231(name, "utf-8")
    parts, start = ["attachment"], 0
    while start < len(encoded):
        end = min(start + 60, len(encoded))
        if end < len(encoded) and encoded[end - 1] == "%":
            end -= 1
        elif end < len(encoded) and encoded[end - 2] == "%":
            end -= 2
        parts.append(f"filename*{len(parts) - 1}*={encoded[start:end]}")
        start = end
    return "; ".join(parts)


def _not_one(item, field):
    return _refused(
        f"{item!r} in {field} is not one address: it needs exactly one '@' with text "
        "on both sides (',' and ';' separate addresses, blanks are dropped)"
    )


def _check_sender(sender):
    """Refuses a sender the message cannot carry; gives the Message-ID domain."""
    if sender is None or sender == "":
        raise _refused("from_ is empty, so the message has no sender")
    if not isinstance(sender, str):
        return "localhost"
    _check_control(sender, "from_", address=True)
    if not _one_address(sender):
        raise _not_one(sender, "from_")
    address = _read_one(sender, "from_")
    _, at, domain = address.rpartition("@")
    return domain if at and _domain(domain) else "localhost"


def _names_someone(field, items):
    """False for a field of empty items only; refuses an item that is not one address."""
    if not any(items):
        return False
    for item in items:
        if not item:
            raise _refused(f"{field} holds an empty address (a doubled or trailing ',' or ';')")
        _check_control(item, field, address=True)
        if not _one_address(item):
            raise _not_one(item, field)
    return True


def _check_envelope(message, named):
    """What send_message() reads from To, Bcc and Cc must be the addresses named."""
    addresses = {}
    for field, items in named.items():
        if items is None:
            continue
        addresses[field] = [_read_one(item, field) for item in items]
    expected = [address for field in ("to", "bcc", "cc") for address in addresses.get(field, [])]
    _, recipients = envelope(message, from_addr="")
    if recipients != expected:
        raise _refused(
            f"the SMTP client would send it to {recipients!r}, not to the addresses "
            "named in to, cc and bcc"
        )


def _argument_error(name, expected, value):
    error = TypeError(
        f"Argument '{name:.200}' has incorrect type "
        f"(expected {expected:.200}, got {type(value).__name__:.200})"
    )
    if expected == "str" and isinstance(value, str):
        error.add_note("subclasses of built-in types are refused")
    return error


def _result_error(expected, value):
    return TypeError(f"Expected {expected}, got {type(value).__name__:.200}")


def _to_int(value, name):
    if type(value) is int:
        return value
    kind = type(value)
    if (
        hasattr(kind, "__int__")
        or hasattr(kind, "__index__")
        or hasattr(kind, "__float__")
        or isinstance(value, complex)
    ):
        return int(value)
    raise _argument_error(name, "int", value)


class ModelEmail:
    __slots__ = (
        "__server",
        "__username",
        "__password",
        "__from",
        "__to",
        "__cc",
        "__bcc",
        "__subject",
        "__message",
        "__attachments",
    )

    def __init__(
        self,
        server=None,
        username=None,
        password=None,
        from_=None,
        to=None,
        cc=None,
        bcc=None,
        subject=None,
        message=None,
        attachments=None,
    ):
        if server is not None and type(server) is not str:
            raise _argument_error("server", "str", server)
        if username is not None and type(username) is not str:
            raise _argument_error("username", "str", username)
        if password is not None and type(password) is not str:
            raise _argument_error("password", "str", password)
        if from_ is not None and type(from_) is not str:
            raise _argument_error("from_", "str", from_)
        if subject is not None and type(subject) is not str:
            raise _argument_error("subject", "str", subject)
        if message is not None and type(message) is not str:
            raise _argument_error("message", "str", message)
        self.server = server
        self.username = username
        self.password = password
        self.from_ = from_
        self.to = to
        self.cc = cc
        self.bcc = bcc
        self.subject = subject
        self.message = message
        self.attachments = attachments

    @property
    def server(self):
        value = self.__server
        if value is not None and type(value) is not str:
            raise _result_error("str", value)
        return value

    @server.setter
    def server(self, value):
        if value is not None and type(value) is not str:
            raise _argument_error("value", "str", value)
        if value == "":
            value = None
        self.__server = value

    @property
    def username(self):
        value = self.__username
        if value is not None and type(value) is not str:
            raise _result_error("str", value)
        return value

    @username.setter
    def username(self, value):
        if value is not None and type(value) is not str:
            raise _argument_error("value", "str", value)
        if value == "":
            value = None
        self.__username = value

    @property
    def password(self):
        value = self.__password
        if value is not None and type(value) is not str:
            raise _result_error("str", value)
        return value

    @password.setter
    def password(self, value):
        if value is not None and type(value) is not str:
            raise _argument_error("value", "str", value)
        if value == "":
            value = None
        self.__password = value

    @logging(prefix=__name__)
    @staticmethod
    def __normalize(emails=None):
        if emails == "":
            emails = None
        if emails is not None:
            if isinstance(emails, (list, tuple)):
                emails = ",".join(emails)
            if isinstance(emails, str):
                emails = (
                    emails.replace("\t", "").replace(" ", "").replace(";", ",").lower().split(",")
                )
                if not emails:
                    emails = None
        if emails is not None and type(emails) is not list:
            raise _result_error("list", emails)
        return emails

    @property
    def from_(self):
        value = self.__from
        if value is not None and type(value) is not str:
            raise _result_error("str", value)
        return value

    @from_.setter
    def from_(self, value):
        if value is not None and type(value) is not str:
            raise _argument_error("value", "str", value)
        value = ModelEmail.__normalize(emails=value)
        if isinstance(value, (list, tuple)):
            for dropped in value[1:]:
                # "me@example,org": a typo, not a second address.
                if isinstance(dropped, str) and dropped and "@" not in dropped:
                    raise ValueError(
                        f"from_ would keep {value[0]!r} and drop {dropped!r}, which is no "
                        "address (',' and ';' separate addresses; from_ keeps the first)"
                    )
            value = value[0]
        if value is not None and type(value) is not str:
            raise _result_error("str", value)
        self.__from = value

    @property
    def to(self):
        value = self.__to
        if value is not None and type(value) is not list:
            raise _result_error("list", value)
        return value

    @to.setter
    def to(self, value):
        self.__to = ModelEmail.__normalize(emails=value)

    @property
    def cc(self):
        value = self.__cc
        if value is not None and type(value) is not list:
            raise _result_error("list", value)
        return value

    @cc.setter
    def cc(self, value):
        self.__cc = ModelEmail.__normalize(emails=value)

    @property
    def bcc(self):
        value = self.__bcc
        if value is not None and type(value) is not list:
            raise _result_error("list", value)
        return value

    @bcc.setter
    def bcc(self, value):
        self.__bcc = ModelEmail.__normalize(emails=value)

    @property
    def subject(self):
        value = self.__subject
        if value is not None and type(value) is not str:
            raise _result_error("str", value)
        return value

    @subject.setter
    def subject(self, value):
        if value is not None and type(value) is not str:
            raise _argument_error("value", "str", value)
        if value == "":
            value = None
        self.__subject = value

    @property
    def message(self):
        value = self.__message
        if value is not None and type(value) is not str:
            raise _result_error("str", value)
        return value

    @message.setter
    def message(self, value):
        if value is not None and type(value) is not str:
            raise _argument_error("value", "str", value)
        if value == "":
            value = None
        self.__message = value

    @property
    def attachments(self):
        return self.__attachments

    @attachments.setter
    def attachments(self, value):
        if value is None:
            value = ()
        self.__attachments = value

    @logging(prefix=__name__)
    def send(self):
        message = MIMEMultipart()
        sender = self.from_
        domain = _check_sender(sender)
        if isinstance(sender, str) and (not sender.isascii() or len(sender) > _LINE - 9):
            sender = _address_header([sender], sender, "from_", "From")
        message["From"] = sender
        named = {}
        for field, header in (("to", "To"), ("cc", "Cc"), ("bcc", "Bcc")):
            items = named[field] = getattr(self, field)
            if items is not None:
                joined = ",".join(items)
                if _names_someone(field, items):
                    items = _address_header(items, joined, field, header)
                else:
                    items = None
            if items is None:
                named[field] = None
            message[header] = items
        subject = self.subject
        if isinstance(subject, str):
            _check_control(subject, "subject")
            if subject.isascii() and len(subject) > _LINE - 9:
                # Past the line limit, encoded words: they read back as the text.
                subject = Header(subject, "utf-8")
        message["Subject"] = subject
        if not any(named.values()):
            raise _refused("no recipients (to, cc and bcc name nobody)")
        for field, header in (("to", "To"), ("cc", "Cc"), ("bcc", "Bcc")):
            if named[field] is None:
                del message[header]
        message["Date"] = formatdate(localtime=True)
        message["Message-ID"] = make_msgid(domain=domain)
        body = self.message
        part = MIMEText(_text="" if body is None else body, _subtype="html")
        if isinstance(body, str) and body.isascii() and _long_line(body):
            del part["Content-Transfer-Encoding"]
            encoders.encode_quopri(msg=part)
        message.attach(part)
        for file_name, file_content in self.attachments:
            attachment = MIMEBase(_maintype="application", _subtype="octet-stream")
            attachment.set_payload(payload=file_content)
            encoders.encode_base64(msg=attachment)
            name = f"{file_name}"
            found = _control(name)
            if found:
                c = found[0]
                raise _refused(
                    f"the file name {name!r} in attachments holds {_what(c)} (U+{ord(c):04X})"
                )
            if _plain_file_name(name):
                attachment.add_header(
                    _name="Content-Disposition", _value=f"attachment; filename={name}"
                )
            elif 50 + 3 * len(name.encode()) > _LINE:
                # RFC 2231 continuations, short enough to fold between them.
                attachment.add_header(_name="Content-Disposition", _value=_continued(name))
            else:
                # Quoted when that fits the line, else encoded (RFC 2231), so
                # that it is never folded and arrives whole.
                quoted = len(name) + 2 + name.count('"') + name.count("\\")
                fits = name.isascii() and quoted <= 36
                attachment.add_header(
                    _name="Content-Disposition",
                    _value="attachment",
                    filename=name if fits else ("utf-8", "", name),
                )
            message.attach(payload=attachment)
        _check_envelope(message, named)
        for which, name in (("user name", "username"), ("password", "password")):
            value = getattr(self, name)
            if isinstance(value, str) and not value.isascii():
                raise _refused(
                    f"the {which} holds characters beyond ASCII, which SMTP login cannot carry"
                )
        # Addresses beyond ASCII: domains as A-labels, local parts through SMTPUTF8.
        texts = [message["From"], *(item for items in named.values() for item in items or ())]
        beyond = any(isinstance(text, str) and not text.isascii() for text in texts)
        form = hand_over_form(message) if beyond else message
        server = self.server
        if isinstance(server, str):
            _check_control(server, "server")
        no_user_name = False
        try:
            with SMTP(host=server) as email_server:
                if self.username is not None or self.password is not None:
                    user = self.username
                    try:
                        email_server.login(user=user, password=self.password)
                    except BaseException:
                        no_user_name = user is None
                        raise
                refused = email_server.send_message(msg=form)
            if isinstance(refused, dict) and refused:
                raise SMTPRecipientsRefused(refused)
        except BaseException as exc:
            if form is not message:
                exc = explain_refusal(exc, server, form)
            if server is None:
                exc.add_note(
                    "no server is set (Email.server is None), so the SMTP client has "
                    "nowhere to connect"
                )
            if no_user_name:
                exc.add_note(
                    "a password is set but no user name (Email.username is None); "
                    "login was given user=None"
                )
            raise exc


class ModelContact:
    __slots__ = ("__email", "__timeout")

    @logging(prefix=__name__)
    def __init__(self, email=None, timeout=15):
        timeout = _to_int(timeout, "timeout")
        if email is not None and type(email) is not str:
            raise _argument_error("email", "str", email)
        self.email = email
        self.timeout = timeout

    @property
    def email(self):
        value = self.__email
        if value is not None and type(value) is not str:
            raise _result_error("str", value)
        return value

    @email.setter
    def email(self, email):
        if type(email) is not str:
            raise _argument_error("email", "str", email)
        self.__email = email

    @logging(prefix=__name__)
    @staticmethod
    def validate(email, timeout=2):
        if timeout is not None:
            timeout = _to_int(timeout, "timeout")
        if type(email) is not str:
            raise _argument_error("email", "str", email)
        if timeout is None:
            timeout = 15
        try:
            res = validate_email(email, check_deliverability=True, timeout=timeout)
            if not isinstance(res, ValidatedEmail):
                raise EmailNotValidError("Email is not valid")
            status, message = True, "Valid"
        except Exception as exc:  # noqa: BLE001 - every failure becomes a reason
            status = False
            message = f"{exc}".rstrip(".")
        return status, message

    @property
    def timeout(self):
        return self.__timeout

    @timeout.setter
    def timeout(self, value):
        self.__timeout = 15 if value is None else _to_int(value, "value")

    @property
    def is_valid(self):
        status, message = ModelContact.validate(email=self.__email, timeout=self.__timeout)
        return status
