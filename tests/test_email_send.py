"""Email.send against recording stand-ins for the mail classes and the SMTP client.

The five library names that `send` looks up in the module namespace are
replaced by objects that write every call, with its positional arguments
and its keywords in the order given, into one shared log.
"""

import builtins
import itertools
import re
import smtplib
import socket
import sys
import types

import pytest

import quillon.email
from quillon.email import Email
from support import FIELDS

LIBRARY_NAMES = ("SMTP", "MIMEMultipart", "MIMEText", "MIMEBase", "encoders")


def call(name, *args, **kwargs):
    return (name, args, tuple(kwargs.items()))


class Fake:
    """A stand-in object: every method called on it is logged under its label."""

    def __init__(self, log, label):
        self._log = log
        self._label = label

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        return lambda *args, **kwargs: self._log.method(self._label, name, args, kwargs)

    def __setitem__(self, key, value):
        self._log.record(f"{self._label}[]", key, value)
        self._log.headers[key] = value

    def __getitem__(self, key):
        return self._log.headers.get(key)

    def __delitem__(self, key):
        self._log.record(f"del {self._label}[]", key)


class Log:
    """The shared log, and the knobs that make the stand-ins fail or answer."""

    def __init__(self):
        self.calls = []
        self.headers = {}  # as set on the stand-ins, for the envelope check to read back
        self.raises = {}  # "SMTP", "__enter__", "login" or "send_message" -> exception
        self.sent = None  # what send_message returns
        self.exit_result = None
        self.server = Fake(self, "server")
        self.MIMEMultipart = self.maker("MIMEMultipart", lambda: "message")
        self.MIMEText = self.maker("MIMEText", lambda: "body")
        self.MIMEBase = self.maker("MIMEBase", lambda: f"part{self.names().count('MIMEBase')}")
        self.encoders = types.SimpleNamespace(
            encode_base64=self.maker("encode_base64"), encode_quopri=self.maker("encode_quopri")
        )
        log = self

        class Client:
            def __init__(self, *args, **kwargs):
                log.method(None, "SMTP", args, kwargs)

            def __enter__(self, *args, **kwargs):
                return log.method(None, "__enter__", args, kwargs) or log.server

            def __exit__(self, *args, **kwargs):
                log.record("__exit__", *args, **kwargs)
                return log.exit_result

        self.SMTP = Client

    def maker(self, name, label=None):
        def make(*args, **kwargs):
            self.record(name, *args, **kwargs)
            return label and Fake(self, label())

        return make

    def record(self, name, *args, **kwargs):
        show = lambda value: value._label if isinstance(value, Fake) else value  # noqa: E731
        self.calls.append(
            (
                name,
                tuple(map(show, args)),
                tuple((key, show(value)) for key, value in kwargs.items()),
            )
        )

    def method(self, label, name, args, kwargs):
        self.record(f"{label}.{name}" if label else name, *args, **kwargs)
        if name in self.raises:
            raise self.raises[name]
        return self.sent if name == "send_message" else None

    def names(self):
        return [name for name, _, _ in self.calls]


def no_dns(*args):
    raise AssertionError("the local host name was looked up")


@pytest.fixture
def log(monkeypatch):
    log = Log()
    for name in LIBRARY_NAMES:
        monkeypatch.setattr(quillon.email, name, getattr(log, name))
    monkeypatch.setattr(socket, "getfqdn", no_dns)  # what make_msgid() without a domain does
    return log


class Like(str):
    """Equal to any text that the pattern matches in full."""

    def __eq__(self, other):
        return isinstance(other, str) and re.fullmatch(self, other) is not None

    __hash__ = str.__hash__


DATE = Like(r"\w{3}, \d\d \w{3} \d{4} \d\d:\d\d:\d\d [+-]\d{4}")


def mail(server=None, username=None, password=None, **fields):
    """An Email with a sender and a recipient unless given others."""
    return Email(server, username, password, **{"from_": "me@x.org", "to": "a@x.org", **fields})


def headers(from_="me@x.org", to="a@x.org", cc=None, bcc=None, subject=None, domain="x.org"):
    # Each header is assigned, then an address header that names nobody is dropped.
    values = {"To": to, "Cc": cc, "Bcc": bcc}
    return [
        call("message[]", "From", from_),
        call("message[]", "To", to),
        call("message[]", "Cc", cc),
        call("message[]", "Bcc", bcc),
        call("message[]", "Subject", subject),
        *[call("del message[]", name) for name, value in values.items() if value is None],
        call("message[]", "Date", DATE),
        call("message[]", "Message-ID", Like(rf"<\d+\.\d+\.\d+@{re.escape(domain)}>")),
    ]


def body(text="", quoted_printable=False):
    encode = (
        [call("del body[]", "Content-Transfer-Encoding"), call("encode_quopri", msg="body")]
        if quoted_printable
        else []
    )
    return [call("MIMEText", _text=text, _subtype="html"), *encode, call("message.attach", "body")]


def attachment(label, content, **disposition):
    return [
        call("MIMEBase", _maintype="application", _subtype="octet-stream"),
        call(f"{label}.set_payload", payload=content),
        call("encode_base64", msg=label),
        call(f"{label}.add_header", _name="Content-Disposition", **disposition),
        call("message.attach", payload=label),
    ]


# Where the attachments begin in the log of a `mail()` with no other headers.
ATTACHMENTS = 1 + len(headers()) + len(body())


def delivery(server=None, login=None):
    return [
        call("SMTP", host=server),
        call("__enter__"),
        *([call("server.login", **login)] if login else []),
        call("server.send_message", msg="message"),
        call("__exit__", None, None, None),
    ]


# --- the message and its hand-over ------------------------------------------


def test_whole_message_is_built_before_the_connection_opens(log):
    email = Email(
        "smtp.example.org:2525",
        "user",
        "pw",
        "Me@Example.org",
        "a@x.org; B@x.org",
        "c@x.org",
        "d@x.org",
        "Hello",
        "<p>Hi</p>",
        [("notes.txt", b"one"), ("résumé.pdf", b"two")],
    )
    assert email.send() is None
    assert log.calls == [
        call("MIMEMultipart"),
        *headers("me@example.org", "a@x.org,b@x.org", "c@x.org", "d@x.org", "Hello", "example.org"),
        *body("<p>Hi</p>"),
        *attachment("part1", b"one", _value="attachment; filename=notes.txt"),
        *attachment("part2", b"two", **encoded("résumé.pdf")),
        *delivery("smtp.example.org:2525", {"user": "user", "password": "pw"}),
    ]


@pytest.mark.parametrize("empty", [None, "", [], ("",), ";", " ,\t"])
def test_recipient_field_naming_nobody_gets_no_header(log, empty):
    mail(cc=empty, bcc=empty).send()
    assert log.calls == [call("MIMEMultipart"), *headers(), *body(""), *delivery()]


LONG = "<p>" + "x" * 996  # 999 characters: longer than an SMTP line may be
MANY = [f"r{i:05d}@example.org" for i in range(52)]  # joined: 987 characters


@pytest.mark.parametrize(
    ("fields", "expected", "parts"),
    [
        ({"to": ["A@x", "b@y"], "message": "just text"}, {"to": "a@x,b@y"}, body("just text")),
        # Read back from the container and parsed: the one address it names is kept.
        ({"to": "Alice<A@x.org>", "cc": ("b@x",)}, {"to": "alice<a@x.org>", "cc": "b@x"}, body()),
        (
            {"from_": "One@x; two@y", "subject": " "},
            {"from_": "one@x", "subject": " ", "domain": "x"},
            body(),
        ),
        ({"from_": "a@x_y.org"}, {"from_": "a@x_y.org", "domain": "localhost"}, body()),
        # A name beyond ASCII goes as encoded words, the address in clear.
        (
            {"from_": "Jürgen<J@x.org>", "to": "Ünal<u@x.org>"},
            {"from_": "=?utf-8?q?j=C3=BCrgen?= <j@x.org>", "to": "=?utf-8?b?w7xuYWw=?= <u@x.org>"},
            body(),
        ),
        # Joined with ", " only where one line would pass 998 characters: the
        # library folds the value at its blanks.
        ({"cc": [*MANY, "a@b.c"]}, {"cc": ",".join([*MANY, "a@b.c"])}, body()),
        ({"cc": [*MANY, "ab@b.c"]}, {"cc": ", ".join([*MANY, "ab@b.c"])}, body()),
        ({"to": None, "bcc": "b@x"}, {"to": None, "bcc": "b@x"}, body()),
        ({"message": LONG}, {}, body(LONG, quoted_printable=True)),
        ({"message": f"{LONG[:-1]}\r\n{LONG[:-1]}"}, {}, body(f"{LONG[:-1]}\r\n{LONG[:-1]}")),
        ({"message": "é" * 999}, {}, body("é" * 999)),  # MIMEText sends it in base64 anyway
    ],
)
def test_header_values_and_body(log, fields, expected, parts):
    mail(**fields).send()
    end = 1 + len(headers(**expected)) + len(parts)
    assert log.calls[1:end] == headers(**expected) + parts
    assert log.names()[end] == "SMTP"


class Formatted:
    def __format__(self, spec):
        return f"formatted[{spec}].bin"


def raw(name):
    return {"_value": f"attachment; filename={name}"}


def quoted(name):
    return {"_value": "attachment", "filename": name}


def encoded(name):
    return {"_value": "attachment", "filename": ("utf-8", "", name)}


@pytest.mark.parametrize(
    ("name", "disposition"),
    [
        ("report.pdf", raw("report.pdf")),
        (5, raw("5")),
        (2.5, raw("2.5")),
        ("!#$&+-.^_`{|}~Az09", raw("!#$&+-.^_`{|}~Az09")),  # every token character
        # But those RFC 2231 gives a meaning: a reader would take "o" for the
        # charset of an encoded "brien.pdf", or "a" for the whole name.
        *[(name, quoted(name)) for name in ["o'brien.pdf", "a*b.txt", "100%.txt"]],
        ("x" * 36, raw("x" * 36)),  # the header line is 78 characters long
        ("x" * 37, encoded("x" * 37)),
        # Quoted, it fits the line; one character more and it goes encoded.
        ("a b" * 11 + "c", quoted("a b" * 11 + "c")),
        ("a b" * 11 + "cd", encoded("a b" * 11 + "cd")),
        ('"' * 17, quoted('"' * 17)),
        ('"\\' * 9, encoded('"\\' * 9)),
        ("", quoted("")),
        ("my report, v2 (final)=ok.txt", quoted("my report, v2 (final)=ok.txt")),
        (Formatted(), quoted("formatted[].bin")),
        ("résumé.pdf", encoded("résumé.pdf")),
        *[
            (name, quoted(name))
            for name in [
                "a;b.txt",
                'say "hi".txt',
                "back\\slash.txt",
                "tab\there.txt",
                "a/b:c?d@e<f>.txt",
            ]
        ],
    ],
)
def test_content_disposition(log, name, disposition):
    mail(attachments=[(name, b"data")]).send()
    assert log.calls[ATTACHMENTS : ATTACHMENTS + 5] == attachment("part1", b"data", **disposition)


@pytest.mark.parametrize(
    ("username", "password", "login"),
    [
        ("user", "pw", {"user": "user", "password": "pw"}),
        ("user", None, {"user": "user", "password": None}),
        (None, "pw", {"user": None, "password": "pw"}),
        (None, None, None),
        ("", "", None),
    ],
)
def test_login_only_with_credentials(log, username, password, login):
    mail("host", username, password).send()
    assert log.calls[ATTACHMENTS:] == delivery("host", login)


def test_fields_are_read_through_the_properties_in_order(log):
    read = []

    class Watched(Email):
        __slots__ = ()

        def __getattribute__(self, name):
            if name in FIELDS:
                read.append(name)
            return super().__getattribute__(name)

    for username, password, logins in [
        ("u", None, ["username", "username", "password"]),
        (None, "p", ["username", "password"] * 2),
        (None, None, ["username", "password"]),
    ]:
        email = Watched(username=username, password=password, from_="me@x.org", to="a@x.org")
        read.clear()
        email.send()
        # The credentials are checked before connecting, then read as login needs them.
        assert read == [*FIELDS[3:], "username", "password", "server", *logins]


# --- the client's context ---------------------------------------------------


@pytest.mark.parametrize(
    ("step", "reached"),
    [
        ("SMTP", ["SMTP"]),
        ("__enter__", ["SMTP", "__enter__"]),
        ("login", ["SMTP", "__enter__", "server.login", "__exit__"]),
        ("send_message", ["SMTP", "__enter__", "server.login", "server.send_message", "__exit__"]),
    ],
)
def test_failure_reaches_the_caller_through_exit_once_entered(log, step, reached):
    error = log.raises[step] = OSError(f"{step} failed")
    with pytest.raises(OSError) as info:
        mail("host", "user", "pw").send()
    assert info.value is error
    assert log.names()[ATTACHMENTS:] == reached
    if reached[-1] == "__exit__":
        exc_type, exc_value, traceback = log.calls[-1][1]
        assert (exc_type, exc_value) == (OSError, error)
        assert isinstance(traceback, types.TracebackType)


@pytest.mark.parametrize(
    ("exit_result", "suppressed"),
    [
        (True, True),
        (1, True),
        ("yes", True),
        (False, False),
        (None, False),
        (0, False),
    ],
)
def test_exit_result_decides_whether_the_failure_is_suppressed(log, exit_result, suppressed):
    log.raises["login"] = smtplib.SMTPAuthenticationError(535, b"no")
    log.exit_result = exit_result
    if suppressed:
        assert mail(username="user").send() is None
    else:
        with pytest.raises(smtplib.SMTPAuthenticationError):
            mail(username="user").send()
    assert "server.send_message" not in log.names()


class Undecidable:
    def __bool__(self):
        raise RuntimeError("from exit")


seen_in_exit = []


def _exit_raises(self, *exc_info):
    seen_in_exit.append(sys.exception())
    raise RuntimeError("from exit")


def _exit_raises_while_handling_its_own(self, *exc_info):
    seen_in_exit.append(sys.exception())
    try:
        raise KeyError("inner")
    except KeyError:
        raise RuntimeError("from exit")  # noqa: B904 - the implicit context is the point


@pytest.mark.parametrize(
    ("exit_", "chain"),
    [
        (_exit_raises, [RuntimeError, OSError]),
        # The truth test of what __exit__ returns is part of leaving the block too.
        (
            lambda self, *exc_info: seen_in_exit.append(sys.exception()) or Undecidable(),
            [RuntimeError, OSError],
        ),
        (_exit_raises_while_handling_its_own, [RuntimeError, KeyError, OSError]),
    ],
)
def test_exception_from_exit_replaces_the_one_it_handled(log, monkeypatch, exit_, chain):
    # As in an `except` block: while __exit__ runs, the body's exception is
    # the one being handled, and what __exit__ raises chains to it.
    seen_in_exit.clear()
    monkeypatch.setattr(log.SMTP, "__exit__", exit_)
    handled = log.raises["login"] = OSError("gone")
    with pytest.raises(RuntimeError, match="^from exit$") as info:
        mail("host", "user").send()
    contexts, exc = [], info.value
    while exc is not None:
        contexts.append(type(exc))
        exc = exc.__context__
    assert contexts == chain
    assert seen_in_exit == [handled]


touched = []
_enter = lambda self: touched.append("__enter__") or self  # noqa: E731
_exit = lambda self, *exc_info: touched.append("__exit__")  # noqa: E731


@pytest.mark.parametrize(
    ("namespace", "missing"),
    [
        ({}, "__exit__"),
        ({"__enter__": _enter}, "__exit__"),
        ({"__exit__": _exit}, "__enter__"),
        # Looked up on the type, as a `with` statement does: instance attributes don't count.
        (
            {"__init__": lambda self: vars(self).update(__enter__=_enter, __exit__=_exit)},
            "__exit__",
        ),
    ],
)
def test_client_without_context_methods(monkeypatch, namespace, missing):
    created = []

    def client(**kwargs):
        created.append(kwargs)
        return type("Client", (), namespace)()

    monkeypatch.setattr(quillon.email, "SMTP", client)
    touched.clear()
    with pytest.raises(AttributeError) as info:
        mail("host").send()
    assert str(info.value) == missing
    assert created == [{"host": "host"}]
    assert touched == []


def test_exit_is_kept_before_enter_runs(log, monkeypatch):
    def enter(self):
        del type(self).__exit__
        return log.server

    monkeypatch.setattr(log.SMTP, "__enter__", enter)
    mail().send()
    assert log.names()[-2:] == ["server.send_message", "__exit__"]


# --- refused recipients -----------------------------------------------------


@pytest.mark.parametrize("exit_result", [None, True])
def test_partly_refused_recipients_raise_after_leaving_the_context(log, exit_result):
    refused = {"gone@x.org": (550, b"5.1.1 No such user")}
    log.sent = refused
    log.exit_result = exit_result
    with pytest.raises(smtplib.SMTPRecipientsRefused) as info:
        mail(to="ok@x.org, gone@x.org").send()
    assert info.value.recipients == refused
    assert log.calls[-2:] == [
        call("server.send_message", msg="message"),
        call("__exit__", None, None, None),
    ]


@pytest.mark.parametrize(
    "result",
    [
        {},
        None,
        0,
        "refused",
        [("gone@x.org", (550, b"no"))],
        types.MappingProxyType({"gone@x.org": (550, b"no")}),
    ],
)
def test_other_send_message_results_are_ignored(log, result):
    log.sent = result
    log.exit_result = True  # with nothing to suppress, what __exit__ returns does not matter
    assert mail(to="ok@x.org").send() is None
    assert log.calls[-1] == call("__exit__", None, None, None)


# --- attachments ------------------------------------------------------------

PAIRS = [("a.txt", b"A"), ("b c.txt", b"B")]


@pytest.mark.parametrize(
    "shape",
    [
        tuple,
        list,
        iter,
        lambda pairs: (pair for pair in pairs),
        lambda pairs: [iter(pair) for pair in pairs],
        lambda pairs: [list(pair) for pair in pairs],
    ],
)
def test_attachment_shapes_give_the_same_message(log, shape):
    mail(attachments=shape(PAIRS)).send()
    assert log.calls[ATTACHMENTS : ATTACHMENTS + 10] == [
        *attachment("part1", b"A", **raw("a.txt")),
        *attachment("part2", b"B", **quoted("b c.txt")),
    ]
    assert log.names()[ATTACHMENTS + 10] == "SMTP"


@pytest.mark.parametrize(
    ("element", "message"),
    [
        (("c.txt", b"C", "extra"), "too many values to unpack (expected 2)"),
        (["c.txt", b"C", "extra"], "too many values to unpack (expected 2)"),
        (itertools.count(), "too many values to unpack (expected 2)"),
        ("abc", "too many values to unpack (expected 2)"),
        (("c.txt",), "need more than 1 value to unpack"),
        (iter(["c.txt"]), "need more than 1 value to unpack"),
        ((), "need more than 0 values to unpack"),
        ([], "need more than 0 values to unpack"),
    ],
)
def test_bad_attachment_element_fails_before_any_connection(log, element, message):
    with pytest.raises(ValueError) as info:
        mail(attachments=[PAIRS[0], element, PAIRS[1]]).send()
    assert str(info.value) == message
    assert log.names()[ATTACHMENTS:] == [name for name, _, _ in attachment("part1", b"A")]


# --- names looked up at each use --------------------------------------------


@pytest.mark.parametrize("name", LIBRARY_NAMES)
def test_missing_module_global(log, monkeypatch, name):
    monkeypatch.delattr(quillon.email, name)
    with pytest.raises(NameError) as info:
        mail(attachments=PAIRS).send()
    assert str(info.value) == f"name '{name}' is not defined"
    assert "SMTP" not in log.names()


def test_global_missing_from_the_module_is_taken_from_builtins(log, monkeypatch):
    monkeypatch.delattr(quillon.email, "MIMEText")
    monkeypatch.setattr(builtins, "MIMEText", log.MIMEText, raising=False)
    mail().send()
    assert log.calls == [call("MIMEMultipart"), *headers(), *body(), *delivery()]


# --- arguments --------------------------------------------------------------


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((Email(), 1), {}, "send() takes exactly 1 positional argument (2 given)"),
        ((), {}, "send() takes exactly 1 positional argument (0 given)"),
        ((Email(),), {"now": True}, "send() got an unexpected keyword argument 'now'"),
    ],
)
def test_send_argument_errors(log, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        Email.send(*args, **kwargs)
    assert str(info.value) == message
    assert log.calls == []
