"""Contact: its slots, argument errors, and validate/is_valid with a stand-in library."""

import re
import weakref

import email_validator
import pytest

import logger
import quillon.contact as contact
from quillon.contact import Contact
from support import Text

ADDRESS = "someone@example.org"


def type_error(name, expected, got):
    return re.escape(f"Argument '{name}' has incorrect type (expected {expected}, got {got})")


# --- construction and fields ------------------------------------------------


# What the constructor and the setters store or refuse, for every kind of
# address and time-out, is compared with the model in test_model.py.


def test_slots_and_read_only_attributes():
    c = Contact(ADDRESS)
    assert not hasattr(c, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(c)
    for name in ("other", "is_valid"):
        with pytest.raises(AttributeError):
            setattr(c, name, 1)
    for name in ("email", "timeout", "is_valid"):
        with pytest.raises(AttributeError):
            delattr(c, name)


def test_direct_slot_writes_bypass_the_checks():
    c = Contact(ADDRESS)
    c._Contact__timeout = "soon"
    assert c.timeout == "soon"
    c._Contact__email = None
    assert c.email is None
    c._Contact__email = 42
    with pytest.raises(TypeError, match="^Expected str, got int$"):
        c.email
    with pytest.raises(AttributeError, match="_Contact__email"):
        Contact.__new__(Contact).email


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (
            lambda: Contact(ADDRESS, 1, 2),
            "__init__() takes at most 3 positional arguments (4 given)",
        ),
        (lambda: Contact(mail=ADDRESS), "__init__() got an unexpected keyword argument 'mail'"),
        (lambda: Contact.validate(), "validate() takes at least 1 positional argument (0 given)"),
    ],
)
def test_argument_errors(library, call, message):
    with pytest.raises(TypeError, match=f"^{re.escape(message)}$"):
        call()
    assert library.calls == []


# --- validate -----------------------------------------------------------------


def test_library_call_form(library):
    address = "".join(["some", "one@example.org"])
    assert Contact.validate(address) == (True, "Valid")
    [(args, kwargs)] = library.calls
    assert args == (address,) and args[0] is address
    assert list(kwargs.items()) == [("check_deliverability", True), ("timeout", 2)]
    assert kwargs["check_deliverability"] is True


@pytest.mark.parametrize(
    ("kwargs", "passed"),
    [
        ({}, 2),
        ({"timeout": None}, 15),
        ({"timeout": 3.7}, 3),
        ({"timeout": 0}, 0),
        ({"timeout": True}, 1),
    ],
)
def test_timeout_passed_to_the_library(library, kwargs, passed):
    Contact.validate(ADDRESS, **kwargs)
    Contact.validate(email=ADDRESS, **kwargs)
    timeouts = [kw["timeout"] for _, kw in library.calls]
    assert timeouts == [passed, passed] and all(type(t) is int for t in timeouts)


@pytest.mark.parametrize(
    ("args", "name", "got"),
    [
        ((ADDRESS, "5"), "timeout", "str"),
        ((5, "5"), "timeout", "str"),
        ((None,), "email", "NoneType"),
        ((5,), "email", "int"),
        ((Text(ADDRESS),), "email", "Text"),
    ],
)
def test_argument_types_are_checked_before_the_library(library, args, name, got):
    with pytest.raises(
        TypeError, match=type_error(name, "int" if name == "timeout" else "str", got)
    ):
        Contact.validate(*args)
    assert library.calls == []


class _ValidatedSubclass(email_validator.ValidatedEmail):
    pass


class _Formatted(Exception):
    def __format__(self, spec):
        return "formatted.."


@pytest.mark.parametrize(
    ("outcome", "expected"),
    [
        (_ValidatedSubclass(), (True, "Valid")),
        (None, (False, "Email is not valid")),
        (object(), (False, "Email is not valid")),
        ((True, "Valid"), (False, "Email is not valid")),
        (RuntimeError("resolver went away"), (False, "resolver went away")),
        (
            email_validator.EmailUndeliverableError("The domain name x.org does not exist."),
            (False, "The domain name x.org does not exist"),
        ),
        (email_validator.EmailSyntaxError("Odd... ..."), (False, "Odd... ")),
        (ValueError(), (False, "")),
        (_Formatted("plain"), (False, "formatted")),
    ],
    ids=[
        "subclass",
        "None",
        "object",
        "tuple",
        "RuntimeError",
        "undeliverable",
        "many-stops",
        "no-message",
        "format",
    ],
)
def test_outcomes(library, outcome, expected):
    library.outcome = outcome
    result = Contact.validate(ADDRESS)
    assert type(result) is tuple and result == expected


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit])
def test_base_exceptions_propagate(library, exc):
    library.outcome = exc()
    with pytest.raises(exc):
        Contact.validate(ADDRESS)


def test_failure_to_take_the_text_propagates(library):
    class Unprintable(Exception):
        def __str__(self):
            raise LookupError("no text")

    library.outcome = Unprintable()
    with pytest.raises(LookupError, match="no text"):
        Contact.validate(ADDRESS)


def positional_library(email, timeout):
    return email_validator.ValidatedEmail()


def test_library_refusing_the_call_form_becomes_a_result(monkeypatch):
    monkeypatch.setattr(contact, "validate_email", positional_library)
    assert Contact.validate(ADDRESS) == (
        False,
        "positional_library() got an unexpected keyword argument 'check_deliverability'",
    )


@pytest.mark.parametrize("name", ["validate_email", "ValidatedEmail", "EmailNotValidError"])
def test_missing_global_becomes_a_result(library, monkeypatch, name):
    library.outcome = None
    monkeypatch.delattr(contact, name)
    assert Contact.validate(ADDRESS) == (False, f"name '{name}' is not defined")


def test_globals_are_looked_up_on_every_call(library, monkeypatch):
    class Refusal(Exception):
        def __str__(self):
            return f"refused: {self.args!r}."

    library.outcome = "accepted"
    monkeypatch.setattr(contact, "EmailNotValidError", Refusal)
    assert Contact.validate(ADDRESS) == (False, "refused: ('Email is not valid',)")
    monkeypatch.setattr(contact, "ValidatedEmail", str)
    assert Contact.validate(ADDRESS) == (True, "Valid")
    monkeypatch.delattr(contact, "validate_email")
    monkeypatch.setattr("builtins.validate_email", lambda *a, **k: "from builtins", raising=False)
    assert Contact.validate(ADDRESS) == (True, "Valid")


# --- is_valid -----------------------------------------------------------------


def test_is_valid_uses_the_stored_fields_each_time(library):
    c = Contact(ADDRESS)
    assert c.is_valid is True
    c.email, c.timeout = "other@example.org", 4.2
    library.outcome = None
    assert c.is_valid is False
    assert [(a, k["timeout"]) for a, k in library.calls] == [
        ((ADDRESS,), 15),
        (("other@example.org",), 4),
    ]


def test_is_valid_reads_the_slots_directly(library):
    c = Contact(ADDRESS)
    c._Contact__email = 42
    with pytest.raises(TypeError, match=type_error("email", "str", "int")):
        c.is_valid
    with pytest.raises(AttributeError, match="_Contact__email"):
        Contact.__new__(Contact).is_valid


def replace_validate(monkeypatch, func):
    monkeypatch.setattr(Contact, "validate", staticmethod(func))


def test_is_valid_calls_validate_with_keywords_only(monkeypatch):
    seen, status = [], object()
    replace_validate(
        monkeypatch, lambda *args, **kwargs: seen.append((args, kwargs)) or (status, "x")
    )
    assert Contact(ADDRESS, 3).is_valid is status
    assert seen == [((), {"email": ADDRESS, "timeout": 3})]
    assert list(seen[0][1]) == ["email", "timeout"]

    def positional_only(email, timeout, /):
        return True, "Valid"

    replace_validate(monkeypatch, positional_only)
    with pytest.raises(TypeError, match="positional-only"):
        Contact(ADDRESS).is_valid


def test_is_valid_takes_validate_from_the_module_level_class(library, monkeypatch):
    class Sub(Contact):
        validate = staticmethod(lambda email, timeout: (False, "overridden"))

    assert Sub(ADDRESS).is_valid is True
    assert len(library.calls) == 1

    class Stand:
        validate = staticmethod(lambda email, timeout: ("stand-in", ""))

    monkeypatch.setattr(contact, "Contact", Stand)
    assert Sub(ADDRESS).is_valid == "stand-in"
    monkeypatch.delattr(contact, "Contact")
    with pytest.raises(NameError, match="^name 'Contact' is not defined$"):
        Sub(ADDRESS).is_valid


def test_is_valid_lets_errors_of_validate_through(monkeypatch):
    def broken(email, timeout):
        raise LookupError("gone")

    replace_validate(monkeypatch, broken)
    with pytest.raises(LookupError, match="gone"):
        Contact(ADDRESS).is_valid


@pytest.mark.parametrize(
    ("result", "message"),
    [
        ((True, "Valid", "extra"), "too many values to unpack (expected 2)"),
        ([True, "Valid", 1, 2], "too many values to unpack (expected 2)"),
        ((True,), "need more than 1 value to unpack"),
        ((), "need more than 0 values to unpack"),
        (iter([True]), "need more than 1 value to unpack"),
    ],
    ids=["tuple-3", "list-4", "one", "empty", "iterator-1"],
)
def test_is_valid_unpacks_exactly_two(monkeypatch, result, message):
    replace_validate(monkeypatch, lambda email, timeout: result)
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        Contact(ADDRESS).is_valid


def test_is_valid_unpacks_lazily(monkeypatch):
    pulled = []

    def results():
        for item in ("first", "second", "third", "fourth"):
            pulled.append(item)
            yield item

    replace_validate(monkeypatch, lambda email, timeout: results())
    with pytest.raises(ValueError, match="too many values"):
        Contact(ADDRESS).is_valid
    assert pulled == ["first", "second", "third"]
    replace_validate(monkeypatch, lambda email, timeout: iter(["yes", "msg"]))
    assert Contact(ADDRESS).is_valid == "yes"


# --- the class and module as built ----------------------------------------------


def test_module_globals_and_class_shape():
    assert contact.logging is logger.logging
    for name in ("validate_email", "ValidatedEmail", "EmailNotValidError"):
        assert getattr(contact, name) is getattr(email_validator, name)
    assert type(Contact) is type and Contact.__bases__ == (object,) and Contact.__doc__ is None
    assert (Contact.__module__, Contact.__qualname__) == ("quillon.contact", "Contact")
    assert Contact.__slots__ == ("__email", "__timeout")
    names = [
        n for n in Contact.__dict__ if n in {"__init__", "email", "validate", "timeout", "is_valid"}
    ]
    assert names == ["__init__", "email", "validate", "timeout", "is_valid"]
    assert isinstance(Contact.__dict__["validate"], staticmethod)
    assert Contact.is_valid.fset is None
    assert all(p.fdel is None for p in (Contact.email, Contact.timeout, Contact.is_valid))
