"""Every setter of Email and Contact against a small pure-Python model of what it stores."""

import os

import pytest
from hypothesis import given, settings, strategies as st

from quillon.contact import Contact
from quillon.email import Email

TEXT_FIELDS = ("server", "username", "password", "subject", "message")
LIST_FIELDS = ("to", "cc", "bcc")


def examples(count):
    # Under the sanitizer every call is many times slower; a quarter still
    # runs each path.
    return settings(max_examples=count // 4 if os.environ.get("QUILLON_SANITIZED") else count,
                    deadline=None)


Text = type("Text", (str,), {})
Items = type("Items", (list,), {})
Pair = type("Pair", (tuple,), {})
# Numbers by a single conversion slot: both count as numbers for the time-out.
FloatOnly = type("FloatOnly", (), {"__float__": lambda self: 2.5})
IndexOnly = type("IndexOnly", (), {"__index__": lambda self: 6})


# --- the model ---------------------------------------------------------------

def argument_error(name, expected, value):
    error = TypeError(f"Argument '{name}' has incorrect type "
                      f"(expected {expected.__name__}, got {type(value).__name__})")
    if isinstance(value, expected):
        error.add_note("subclass")
    return error


def exact_text(name, value, none=True):
    if type(value) is not str and not (none and value is None):
        raise argument_error(name, str, value)
    return value


def model_text(value):
    return None if exact_text("value", value) == "" else value


def model_normalize(emails):
    if emails == "":
        emails = None
    if isinstance(emails, (list, tuple)):
        emails = ",".join(emails)
    if isinstance(emails, str):
        emails = emails.replace("\t", "").replace(" ", "").replace(";", ",").lower().split(",")
    if emails is not None and type(emails) is not list:
        raise TypeError(f"Expected list, got {type(emails).__name__}")
    return emails


def model_sender(value):
    emails = model_normalize(exact_text("value", value))
    return None if emails is None else emails[0]


def model_timeout(value, name="value"):
    if value is None and name == "value":
        return 15
    if type(value) is int:
        return value
    if isinstance(value, complex) or any(
            hasattr(type(value), slot) for slot in ("__index__", "__int__", "__float__")):
        return int(value)
    raise argument_error(name, int, value)


def model_email(value):
    return exact_text("email", value, none=False)


# --- comparing the module with the model -------------------------------------

def outcome(action):
    try:
        return "stored", action()
    except Exception as exc:  # noqa: BLE001 - the exception is the outcome
        return "raised", type(exc), str(exc), bool(getattr(exc, "__notes__", None))


def assert_same(real, model, *, identical):
    assert real[0] == model[0], (real, model)
    if real[0] == "raised":
        assert real[1:] == model[1:]
    elif identical or model[1] is None:
        assert real[1] is model[1]
    else:
        assert type(real[1]) is type(model[1]) and real[1] == model[1]


def check_setter(instance, name, value, model, *, identical=False):
    previous = getattr(instance, name)
    expected = outcome(lambda: model(value))

    def assign():
        setattr(instance, name, value)
        return getattr(instance, name)

    assert_same(outcome(assign), expected, identical=identical)
    if expected[0] == "raised":
        assert getattr(instance, name) is previous


# --- values ------------------------------------------------------------------

def weighted(*choices):
    # one_of would flatten nested groups into equally likely leaves (eleven
    # foreign types would drown the texts); here each (weight, strategy)
    # counts as a whole.
    return st.sampled_from([one for weight, one in choices for _ in range(weight)]).flatmap(
        lambda one: one)


WHITESPACE = " \t\n\r\x0b\x0c\x1c\x1f\x85\xa0\u1680\u2003\u200b\u2028\u2029\u202f\u3000\ufeff"
TRICKY = ",;,;@.:'\x00\u00ad\u0301ΣσςİıẞßǅﬀKÅÉaZ"
SURROGATES = "\ud800\udbff\udc00\udfff"
characters = weighted((2, st.sampled_from(WHITESPACE)), (2, st.sampled_from(TRICKY + SURROGATES)),
                      (1, st.characters()))
texts = st.text(characters, max_size=24)
foreign = st.one_of(
    st.none(), st.integers(), st.booleans(), st.floats(), st.binary(max_size=8),
    st.binary(max_size=8).map(bytearray), st.complex_numbers(), st.decimals(),
    st.fractions(), st.sets(st.integers(), max_size=2), st.dictionaries(texts, texts, max_size=2))
items = weighted((3, texts), (1, texts.map(Text)), (1, foreign))
sequences = st.one_of(
    st.lists(texts, max_size=4), st.lists(texts, max_size=4).map(tuple),
    st.lists(texts, max_size=3).map(Items), st.lists(texts, max_size=3).map(Pair),
    st.lists(items | st.lists(texts, max_size=2), max_size=4),
    st.lists(items, max_size=4).map(tuple))
text_values = weighted((4, texts), (1, texts.map(Text)), (2, foreign), (2, sequences))
recipient_values = weighted((4, texts), (1, texts.map(Text)), (3, sequences), (1, foreign))
timeouts = st.one_of(
    st.integers(), st.booleans(), st.floats(), st.complex_numbers(max_magnitude=1e6),
    st.decimals(), st.fractions(), st.sampled_from([FloatOnly(), IndexOnly()]),
    st.none(), texts, st.binary(max_size=4), st.lists(st.integers(), max_size=2))


# --- Email -------------------------------------------------------------------

@pytest.mark.parametrize("name", TEXT_FIELDS)
@examples(400)
@given(value=text_values)
def test_text_setters(name, value):
    check_setter(Email(**{name: "previous"}), name, value, model_text, identical=True)


@examples(800)
@given(value=text_values)
def test_sender_setter(value):
    check_setter(Email(from_="previous@x.org"), "from_", value, model_sender)


@pytest.mark.parametrize("name", LIST_FIELDS)
@examples(600)
@given(value=recipient_values)
def test_recipient_setters(name, value):
    check_setter(Email(**{name: "previous@x.org"}), name, value, model_normalize)


@examples(200)
@given(value=foreign | sequences | texts)
def test_attachments_setter(value):
    check_setter(Email(attachments=[("a.txt", b"a")]), "attachments", value,
                 lambda value: () if value is None else value, identical=value is not None)


# --- Contact -----------------------------------------------------------------

@examples(500)
@given(value=weighted((3, texts), (1, texts.map(Text)), (2, foreign)))
def test_contact_email_setter(value):
    check_setter(Contact("previous@x.org"), "email", value, model_email, identical=True)


@examples(1000)
@given(value=timeouts)
def test_contact_timeout_setter(value):
    check_setter(Contact("someone@x.org", 9), "timeout", value, model_timeout)


@examples(400)
@given(email=weighted((3, texts), (1, texts.map(Text)), (2, foreign)), timeout=timeouts)
def test_contact_constructor(email, timeout):
    def model():
        converted = model_timeout(timeout, "timeout")
        exact_text("email", email)
        return model_email(email), model_timeout(converted)

    def build():
        person = Contact(email, timeout)
        return person.email, person.timeout

    assert_same(outcome(build), outcome(model), identical=False)
