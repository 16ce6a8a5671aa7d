"""Email and Contact against benchmarks/model.py, the pure-Python model the benchmark times.

The model is the reference for every setter and constructor, and the benchmark's
native/model ratios mean something only while it does the same work. Each case runs
the native class and the model on one input and compares what is stored (by type and
value, or as the very object given), the exception's type, message and number of
notes, and every field left afterwards.
"""

import email.utils
import re
from decimal import Decimal
from fractions import Fraction

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import quillon.contact
import quillon.email
from quillon.contact import Contact
from quillon.email import Email
from quillon.smtp._protocol import envelope
from support import (
    FIELDS,
    LIST_FIELDS,
    ROOT,
    SANITIZED,
    TEXT_FIELDS,
    Items,
    Library,
    Pair,
    Text,
    load_file,
)

model = load_file(ROOT / "benchmarks" / "model.py", "quillon_bench_model")
SAME = "the object given"


def examples(count):
    # Under the sanitizer every call is many times slower; a quarter still
    # runs each path.
    return settings(max_examples=count // 4 if SANITIZED else count, deadline=None)


def with_examples(*values, name="value"):
    """Hypothesis examples that always run, on top of the drawn ones."""

    def apply(test):
        for value in values:
            test = example(**{name: value})(test)
        return test

    return apply


Shouting = type("Shouting", (str,), {"lower": lambda self: self.upper()})
# Numbers by a single conversion slot: both count as numbers for the time-out.
FloatOnly = type("FloatOnly", (), {"__float__": lambda self: 2.5})
IndexOnly = type("IndexOnly", (), {"__index__": lambda self: 6})


# --- running both ------------------------------------------------------------


def shape(value, given=()):
    """`value` by type as well as by value; SAME where it is one of the objects given."""
    if any(value is one for one in given):
        return SAME
    if type(value) in (list, tuple):
        return type(value), [shape(item, given) for item in value]
    return type(value), value


def outcome(action, given=()):
    try:
        return "stored", shape(action(), given)
    except Exception as exc:  # noqa: BLE001 - the exception is the outcome
        return "raised", type(exc), str(exc), len(getattr(exc, "__notes__", ()))


def both(action):
    """What `action(Email or ModelEmail, Contact or ModelContact)` gives for each."""
    native, modelled = action(Email, Contact), action(model.ModelEmail, model.ModelContact)
    assert native == modelled
    return native


def fields(instance):
    names = FIELDS if isinstance(instance, (Email, model.ModelEmail)) else ("email", "timeout")
    return [outcome(lambda: getattr(instance, name)) for name in names]  # noqa: B023 - called at once


def check_setter(make, name, value, *, identical=False):
    """Set `name` on `make(E, C)`: what the getter gives then, and all the fields."""

    def action(E, C):
        instance = make(E, C)
        before = getattr(instance, name)

        def assign():
            setattr(instance, name, value)
            return getattr(instance, name)

        result = outcome(assign, (value,) if identical else ())
        if result[0] == "raised":
            assert getattr(instance, name) is before
        return result, fields(instance)

    both(action)


# --- values ------------------------------------------------------------------


def weighted(*choices):
    # one_of would flatten nested groups into equally likely leaves (eleven
    # foreign types would drown the texts); here each (weight, strategy)
    # counts as a whole.
    return st.sampled_from([one for weight, one in choices for _ in range(weight)]).flatmap(
        lambda one: one
    )


WHITESPACE = " \t\n\r\x0b\x0c\x1c\x1f\x85\xa0\u1680\u2003\u200b\u2028\u2029\u202f\u3000\ufeff"
TRICKY = ",;,;@.:'\x00\u00ad\u0301ΣσςİıẞßǅﬀKÅÉaZ"
SURROGATES = "\ud800\udbff\udc00\udfff"
characters = weighted(
    (2, st.sampled_from(WHITESPACE)),
    (2, st.sampled_from(TRICKY + SURROGATES)),
    (1, st.characters()),
)
texts = st.text(characters, max_size=24)
foreign = st.one_of(
    st.none(),
    st.integers(),
    st.booleans(),
    st.floats(),
    st.binary(max_size=8),
    st.binary(max_size=8).map(bytearray),
    st.complex_numbers(),
    st.decimals(),
    st.fractions(),
    st.sets(st.integers(), max_size=2),
    st.dictionaries(texts, texts, max_size=2),
)
items = weighted((3, texts), (1, texts.map(Text)), (1, foreign))
sequences = st.one_of(
    st.lists(texts, max_size=4),
    st.lists(texts, max_size=4).map(tuple),
    st.lists(texts, max_size=3).map(Items),
    st.lists(texts, max_size=3).map(Pair),
    st.lists(items | st.lists(texts, max_size=2), max_size=4),
    st.lists(items, max_size=4).map(tuple),
)
text_values = weighted((4, texts), (1, texts.map(Text)), (2, foreign), (2, sequences))
recipient_values = weighted((4, texts), (1, texts.map(Text)), (3, sequences), (1, foreign))
addresses = weighted((3, texts), (1, texts.map(Text)), (2, foreign))
timeouts = st.one_of(
    st.integers(),
    st.booleans(),
    st.floats(),
    st.complex_numbers(max_magnitude=1e6),
    st.decimals(),
    st.fractions(),
    st.sampled_from([FloatOnly(), IndexOnly()]),
    st.none(),
    texts,
    st.binary(max_size=4),
    st.lists(st.integers(), max_size=2),
)
REFUSED_TEXTS = (1, ["a@x"], b"a@x", Text("a@x"))
TIMEOUTS = (
    2.9,
    -2.9,
    True,
    False,
    -5,
    0,
    10**30,
    Fraction(7, 2),
    Decimal("4.8"),
    IndexOnly(),
    FloatOnly(),
    1j,
    float("inf"),
    float("nan"),
    None,
    "7",
    b"1",
    [1],
)


# --- Email -------------------------------------------------------------------


@pytest.mark.parametrize("name", TEXT_FIELDS)
@examples(400)
@given(value=text_values)
@with_examples("", None, " ", "\tMixed Case ", *REFUSED_TEXTS)
def test_text_setters(name, value):
    check_setter(lambda E, C: E(**{name: "previous"}), name, value, identical=True)


@examples(800)
@given(value=text_values)
@with_examples(
    "Alice@Example.ORG; bob@example.org",
    "  Alice @ Example.org ",
    " \t ",
    ",b@x",
    "",
    None,
    *REFUSED_TEXTS,
)
def test_sender_setter(value):
    check_setter(lambda E, C: E(from_="previous@x.org", to="kept@x"), "from_", value)


@pytest.mark.parametrize("name", LIST_FIELDS)
@examples(600)
@given(value=recipient_values)
@with_examples(
    None,
    "",
    " \t ",
    "A@x; B@y, c@z",
    ";a@x,,b@y;",
    "a@x\nb@y",
    [],
    (),
    ["a@x;b@y", "C@z"],
    ("X@y",),
    ["a@x", 1],
    5,
    b"a@x",
    {"a@x"},
    Text("A@X; b@y"),
    Shouting("a@x; b@y"),
    "İstanbul@X; ΣΟΦΟΣ@x",
    "a\x00b, \ud800@x",
)
def test_recipient_setters(name, value):
    check_setter(lambda E, C: E(subject="kept", **{name: "previous@x.org"}), name, value)


@examples(200)
@given(value=foreign | sequences | texts)
@with_examples(None, 4, "anything", [("a.txt", b"a")], (("a.txt", b"a"),))
def test_attachments_setter(value):
    check_setter(
        lambda E, C: E(attachments=[("a.txt", b"a")]), "attachments", value, identical=True
    )


OLD = (
    "old",
    "olduser",
    "oldpw",
    "old@x",
    "old@to",
    "old@cc",
    "old@bcc",
    "old subject",
    "old body",
    [("f", b"")],
)


@examples(600)
@given(
    kwargs=st.dictionaries(
        st.sampled_from(FIELDS), weighted((2, text_values), (1, recipient_values)), max_size=5
    )
)
@with_examples(
    {},
    {"server": 1, "username": 2},
    {"from_": 1, "subject": 2},
    {"subject": 1, "message": 2},
    # The text checks come before any setter, so the bad recipient is not reached.
    {"to": 1, "message": 2},
    {"server": "new", "username": "user", "to": "b@y", "cc": 5, "message": b"body"},
    # A failing setter keeps the assignments before it.
    {
        "server": "new",
        "username": None,
        "password": "",
        "from_": "New@X",
        "to": "New@To",
        "cc": 5,
        "bcc": "new@bcc",
        "subject": "new subject",
    },
    *[{name: value} for name in ("from_", *TEXT_FIELDS) for value in (b"x", 7, ["x"], Text("x"))],
    name="kwargs",
)
def test_email_construction_by_keyword(kwargs):
    """Made afresh, and by calling __init__ again on an email with every field set."""

    def action(E, C):
        email = E(*OLD)
        return (
            outcome(lambda: fields(E(**kwargs))),
            outcome(lambda: email.__init__(**kwargs)),
            fields(email),
        )

    both(action)


@pytest.mark.parametrize(
    "values",
    [
        (),
        (
            "smtp.example.org",
            "User",
            "",
            "Me@Example.org; you@x",
            "A@x; B@y",
            ["C@x"],
            ("D@x", "E@y"),
            "Hello",
            "<p>Hi</p>",
            [("a.txt", b"a")],
        ),
        (None, None, None, " \t", "", None, [], " ", "", None),
        (b"smtp",),
        ("s", 1),
        (None, None, None, None, None, None, None, Text("subject")),
        (None, None, None, None, 5),
        (None, None, None, None, None, ["a@x", None]),
    ],
)
def test_email_construction(values):
    both(lambda E, C: outcome(lambda: fields(E(*values))))


# --- Contact -----------------------------------------------------------------


@examples(500)
@given(value=addresses)
@with_examples("", None, Text("x@y.org"), "  Some.One@Example.ORG ")
def test_contact_email_setter(value):
    check_setter(lambda E, C: C("previous@x.org"), "email", value, identical=True)


@examples(1000)
@given(value=timeouts)
@with_examples(7.5, *TIMEOUTS)
def test_contact_timeout_setter(value):
    check_setter(lambda E, C: C("someone@x.org", 9), "timeout", value, identical=True)


@examples(400)
@given(email=addresses, timeout=timeouts)
@example(email="a@x", timeout=15)
@example(email=5, timeout="x")  # the time-out is refused first
@example(email=Text("a@x"), timeout=15)
@example(email=b"a@b.org", timeout=15)
@example(email="  Some.One@Example.ORG ", timeout=10**30)  # both kept as the very objects
def test_contact_construction(email, timeout):
    def build(E, C):
        person = C(email, timeout)
        return person.email, person.timeout

    both(lambda E, C: outcome(lambda: build(E, C), (email, timeout)))


@pytest.mark.parametrize("timeout", TIMEOUTS)
def test_contact_construction_by_time_out(timeout):
    both(lambda E, C: outcome(lambda: C("a@x", timeout).timeout, (timeout,)))
    both(lambda E, C: outcome(lambda: C(None, timeout).email))


def test_contact_defaults():
    both(lambda E, C: (outcome(lambda: C("a@x").timeout), outcome(C)))


# --- validate, is_valid and send with stand-in libraries ---------------------


def recording(monkeypatch, outcome):
    """Puts one support.Library giving `outcome` into both modules; returns its calls."""
    library = Library(outcome)
    for module in (quillon.contact, model):
        monkeypatch.setattr(module, "validate_email", library)
    return library.calls


ACCEPT = model.ValidatedEmail()
REJECT = model.EmailNotValidError("The domain name x.invalid does not exist...")


@pytest.mark.parametrize(
    "library_gives",
    [ACCEPT, None, REJECT, RuntimeError("no resolver")],
    ids=["accept", "returns_none", "rejects", "breaks"],
)
@pytest.mark.parametrize(
    "arguments",
    [
        {"email": "a@x"},
        {"email": "a@x", "timeout": None},
        {"email": "a@x", "timeout": 3.7},
        {"email": None},
        {"email": "a@x", "timeout": "3"},
    ],
)
def test_validate(monkeypatch, library_gives, arguments):
    calls = recording(monkeypatch, library_gives)
    both(lambda E, C: outcome(lambda: C.validate(**arguments)))
    assert len(calls) in (0, 2) and calls[:1] == calls[1:]


@pytest.mark.parametrize("library_gives", [ACCEPT, REJECT], ids=["accept", "rejects"])
def test_is_valid(monkeypatch, library_gives):
    calls = recording(monkeypatch, library_gives)
    both(lambda E, C: outcome(lambda: C("a@x", 9).is_valid))
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
        _, recipients = envelope(msg, from_addr="")
        self.log.append(
            ("send_message", [origin(*item) for item in msg.items()], parts, recipients)
        )
        return self.refused


def origin(name, value):
    """A header, with the Date and Message-ID that differ from one send to the next made alike."""
    if name == "Date":
        return name, email.utils.parsedate_to_datetime(value).tzinfo is not None
    if name == "Message-ID":
        return name, re.sub(r"^<\d+\.\d+\.\d+@", "<ID@", value)
    return name, value


@pytest.mark.parametrize(
    "values",
    [
        dict(
            server="smtp.x",
            username="u",
            from_="Me@x",
            to="A@x; b@y",
            cc="Carol<C@x>",
            subject="Hi",
            message="<p>" + "x" * 999,
            attachments=[("a b.txt", b"\x00\xff" * 40), (7, b"")],
        ),
        dict(from_="me@x", to="a@x;", subject="x"),
        dict(from_="me@x", to=[], cc=";", bcc="b@x"),
        dict(from_="me@x", to=[], cc=";"),
        dict(to="a@x"),
        dict(
            from_="me@x",
            to="a@x",
            attachments=[
                ("résumé.pdf", b"%PDF"),
                ('a;b "c".txt', b"x"),
                ("a\\b", b""),
                ("a b" * 11 + "cd", b""),
            ],
        ),
        dict(from_="Jörg@Bücher.de", to="ü@x; a@Straße.de", cc="Ü<☃@y>", subject="Grüße"),
        dict(from_="me@x", to="a@x; b@☃.de"),
        dict(from_="me@x", to="a@x", password="p", attachments=(("a.txt", b"a", b"extra"),)),
        dict(from_="me@x", to="a@x", attachments=[("a.txt",)]),
    ],
)
@pytest.mark.parametrize("refused", [None, {}, {"b@y": (550, b"no such user")}])
def test_send(monkeypatch, values, refused):
    for module in (quillon.email, model):
        monkeypatch.setattr(module, "SMTP", RecordingSMTP)
    monkeypatch.setattr(RecordingSMTP, "refused", refused)

    def send(E, C):
        RecordingSMTP.log = []
        try:
            E(**values).send()
            result = "sent"
        except Exception as exc:  # noqa: BLE001
            # The model unpacks attachments the way Python words it, not the module.
            result = type(exc)
        return result, RecordingSMTP.log

    both(send)


# Mostly plain addresses (the native fast path), now and then one that is not.
_plain = st.builds(
    "{}@{}".format,
    st.text(st.sampled_from("abz09.%+-_"), min_size=1, max_size=5),
    st.text(st.sampled_from("abz09.-"), min_size=1, max_size=5),
)
_other = st.text(st.sampled_from("abz09.%+-_@" + 'A"()<>[]\\ é:'), max_size=8)
# Beyond ASCII: local parts that need SMTPUTF8, domains that become A-labels
# or that IDNA refuses.
_international = st.builds(
    "{}@{}".format,
    st.text(st.sampled_from("aüÜ."), min_size=1, max_size=3),
    st.sampled_from(["x", "Bücher.de", "straße.de", "☃.de", "bü..de", "ｘ．de"]),
)
address_texts = st.lists(
    weighted((6, _plain), (1, _other), (1, _international)), min_size=1, max_size=3
).map(",".join)


@examples(200)
@given(from_=address_texts, to=address_texts, cc=address_texts, bcc=st.none() | address_texts)
@example(from_="a@x", to="a@x.org,b@y", cc="c%d+e_f@g-h.i", bcc=None)
@example(from_="a.@x", to=".a@x", cc="a..b@x", bcc="a@x.")
def test_send_envelope(from_, to, cc, bcc):
    """Plain addresses skip the trial parse natively; the model parses every item."""

    def send(E, C):
        RecordingSMTP.log = []
        result = outcome(lambda: E(from_=from_, to=to, cc=cc, bcc=bcc).send())
        return result, [entry[3:] for entry in RecordingSMTP.log[1:]]

    with pytest.MonkeyPatch.context() as patch:
        for module in (quillon.email, model):
            patch.setattr(module, "SMTP", RecordingSMTP)
        both(send)
