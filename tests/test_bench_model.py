"""The benchmark's pure-Python model still behaves like the native modules.

benchmarks/bench.py reports native/model ratios; they mean something only as
long as the model does the same work. These cases run both on the same input
and compare results, or exception type and message.
"""

import importlib.util
from pathlib import Path

import pytest

import quillon.contact
import quillon.email
from quillon.contact import Contact
from quillon.email import Email

_path = Path(__file__).resolve().parent.parent / "benchmarks" / "model.py"
_spec = importlib.util.spec_from_file_location("quillon_bench_model", _path)
model = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(model)

FIELDS = ("server", "username", "password", "from_", "to", "cc", "bcc",
          "subject", "message", "attachments")


class Text(str):
    pass


class Shouting(str):
    def lower(self):
        return self.upper()


def outcome(call, message=True):
    try:
        return "ok", call()
    except Exception as exc:
        return type(exc), str(exc) if message else None


def both(action):
    """What `action(Email or ModelEmail, Contact or ModelContact)` gives for each."""
    return outcome(lambda: action(Email, Contact)), \
        outcome(lambda: action(model.ModelEmail, model.ModelContact))


def normalize(cls, value):
    return getattr(cls, f"_{cls.__name__}__normalize")(emails=value)


def fields(email):
    return tuple(getattr(email, name) for name in FIELDS)


@pytest.mark.parametrize("value", [
    None, "", " \t ", "A@x; B@y, c@z", ";a@x,,b@y;", "a@x\nb@y", [], (),
    ["a@x;b@y", "C@z"], ("X@y",), ["a@x", 1], 5, b"a@x", {"a@x"},
    Text("A@X; b@y"), Shouting("a@x; b@y"), "İstanbul@X; ΣΟΦΟΣ@x", "a\x00b, \ud800@x",
])
def test_normaliser(value):
    native, modelled = both(lambda E, C: normalize(E, value))
    assert native == modelled


@pytest.mark.parametrize("values", [
    (),
    ("smtp.example.org", "User", "", "Me@Example.org; you@x", "A@x; B@y", ["C@x"],
     ("D@x", "E@y"), "Hello", "<p>Hi</p>", [("a.txt", b"a")]),
    (None, None, None, " \t", "", None, [], " ", "", None),
    (b"smtp",),
    ("s", 1),
    (None, None, None, None, None, None, None, Text("subject")),
    (None, None, None, None, 5),
    (None, None, None, None, None, ["a@x", None]),
])
def test_construction(values):
    native, modelled = both(lambda E, C: fields(E(*values)))
    assert native == modelled


@pytest.mark.parametrize(("name", "value"), [
    ("subject", ""), ("subject", " "), ("subject", 3), ("subject", Text("x")),
    ("from_", "A@x; B@y"), ("from_", " \t"), ("from_", ["a@x"]), ("from_", ""),
    ("to", 7), ("bcc", ("A@x", "b@y")), ("attachments", None), ("attachments", 4),
])
def test_setters_and_what_is_left_after_a_failure(name, value):
    def assign(E, C):
        email = E(subject="kept", from_="kept@x", to="kept@x")
        result = outcome(lambda: setattr(email, name, value))
        return result, fields(email)

    native, modelled = both(assign)
    assert native == modelled


@pytest.mark.parametrize(("email", "timeout"), [
    ("a@x", 15), ("a@x", 2.9), ("a@x", True), ("a@x", -5), ("a@x", "7"), ("a@x", None),
    (None, 15), (Text("a@x"), 15), (5, "x"), ("a@x", float("inf")), ("a@x", 1j),
])
def test_contact_construction(email, timeout):
    native, modelled = both(lambda E, C: (lambda c: (c.email, c.timeout))(C(email, timeout)))
    assert native == modelled


@pytest.mark.parametrize("value", [None, 7.5, "7", 0])
def test_contact_timeout_setter(value):
    def assign(E, C):
        contact = C("a@x", 4)
        return outcome(lambda: setattr(contact, "timeout", value)), contact.timeout

    native, modelled = both(assign)
    assert native == modelled


def substitutes(monkeypatch, validate_email):
    for module in (quillon.contact, model):
        monkeypatch.setattr(module, "validate_email", validate_email)


def accept(email, check_deliverability, timeout):
    return model.ValidatedEmail()


def returns_none(email, check_deliverability, timeout):
    return None


def rejects(email, check_deliverability, timeout):
    raise model.EmailNotValidError("The domain name x.invalid does not exist...")


def breaks(email, check_deliverability, timeout):
    raise RuntimeError("no resolver")


@pytest.mark.parametrize("validate_email", [accept, returns_none, rejects, breaks])
@pytest.mark.parametrize("arguments", [
    {"email": "a@x"}, {"email": "a@x", "timeout": None}, {"email": "a@x", "timeout": 3.7},
    {"email": None}, {"email": "a@x", "timeout": "3"},
])
def test_validate(monkeypatch, validate_email, arguments):
    calls = []

    def recording(*args, **kwargs):
        calls.append((args, kwargs))
        return validate_email(*args, **kwargs)

    substitutes(monkeypatch, recording)
    native, modelled = both(lambda E, C: C.validate(**arguments))
    assert native == modelled
    assert len(calls) in (0, 2) and calls[:1] == calls[1:]


@pytest.mark.parametrize("validate_email", [accept, rejects])
def test_is_valid(monkeypatch, validate_email):
    calls = []

    def recording(*args, **kwargs):
        calls.append((args, kwargs))
        return validate_email(*args, **kwargs)

    substitutes(monkeypatch, recording)
    native, modelled = both(lambda E, C: C("a@x", 9).is_valid)
    assert native == modelled
    assert calls[0] == calls[1] == (("a@x",), {"check_deliverability": True, "timeout": 9})


class RecordingSMTP:
    log = []
    refused = None

    def __init__(self, **kwargs):
        self.log.append(("SMTP", kwargs))

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.log.append(("exit", exc[0]))

    def login(self, **kwargs):
        self.log.append(("login", kwargs))

    def send_message(self, **kwargs):
        msg = kwargs["msg"]
        parts = [(part.items(), part.get_payload()) for part in msg.get_payload()]
        self.log.append(("send_message", msg.items(), parts))
        return self.refused


@pytest.mark.parametrize("values", [
    dict(server="smtp.x", username="u", from_="Me@x", to="A@x; b@y", cc=[], subject="Hi",
         message="<p>x</p>", attachments=[("a b.txt", b"\x00\xff" * 40), (7, b"")]),
    dict(attachments=[("résumé.pdf", b"%PDF"), ('a;b "c".txt', b"x"), ("a\\b", b"")]),
    dict(password="p", attachments=(("a.txt", b"a", b"extra"),)),
    dict(attachments=[("a.txt",)]),
])
@pytest.mark.parametrize("refused", [None, {}, {"b@y": (550, b"no such user")}])
def test_send(monkeypatch, values, refused):
    for module in (quillon.email, model):
        monkeypatch.setattr(module, "SMTP", RecordingSMTP)
    monkeypatch.setattr(RecordingSMTP, "refused", refused)

    def send(E, C):
        RecordingSMTP.log = []
        # The model unpacks attachments the way Python words it, not the module.
        result = outcome(E(**values).send, message=False)
        return result, RecordingSMTP.log

    native, modelled = both(send)
    assert native == modelled
