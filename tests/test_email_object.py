"""The Email class object, its constructor and its instance layout.

The functions' names, signatures and docs are checked in test_typing.py.
"""

import ctypes
import importlib.machinery
import weakref

import pytest

import quillon.email
from quillon.email import Email
from support import FIELDS, SLOTS


def fields(email):
    return {name: getattr(email, name) for name in FIELDS}


def vectorcall(func, *args, kwnames):
    """Call `func` the way C code does, with keyword names as given."""
    call = ctypes.pythonapi.PyObject_Vectorcall
    call.restype = ctypes.py_object
    call.argtypes = [
        ctypes.py_object,
        ctypes.POINTER(ctypes.py_object),
        ctypes.c_size_t,
        ctypes.py_object,
    ]
    array = (ctypes.py_object * len(args))(*args)
    return call(func, array, len(args) - len(kwnames), kwnames)


def test_module_is_the_compiled_extension():
    assert quillon.email.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))


# --- construction -----------------------------------------------------------


def test_no_arguments_gives_empty_fields():
    assert fields(Email()) == dict.fromkeys(FIELDS) | {"attachments": ()}


def test_positional_and_keyword_arguments_agree():
    values = (
        "smtp.example.org",
        "User",
        "Secret",
        "Me@Example.org",
        "A@x; B@y",
        ["C@x"],
        ("D@x", "E@y"),
        "Hello",
        "<p>Hi</p>",
        [("a.txt", b"a")],
    )
    by_position = Email(*values)
    by_keyword = Email(**dict(zip(FIELDS, values, strict=True)))
    expected = {
        "server": "smtp.example.org",
        "username": "User",
        "password": "Secret",
        "from_": "me@example.org",
        "to": ["a@x", "b@y"],
        "cc": ["c@x"],
        "bcc": ["d@x", "e@y"],
        "subject": "Hello",
        "message": "<p>Hi</p>",
        "attachments": [("a.txt", b"a")],
    }
    assert fields(by_position) == fields(by_keyword) == expected
    assert by_position.attachments is values[-1]
    assert Email.__init__(by_position) is None


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (
            lambda: Email(*[None] * 11),
            "__init__() takes at most 11 positional arguments (12 given)",
        ),
        (lambda: Email.__init__(), "__init__() takes at least 1 positional argument (0 given)"),
        (lambda: Email(bogus=1), "__init__() got an unexpected keyword argument 'bogus'"),
        (
            lambda: Email("a", server="b"),
            "__init__() got multiple values for keyword argument 'server'",
        ),
        (lambda: Email(self=None), "__init__() got multiple values for keyword argument 'self'"),
        (
            lambda: vectorcall(Email.__init__, Email(), 1, kwnames=(1,)),
            "__init__() keywords must be strings",
        ),
        (lambda: Email.server.fget(), "server() takes exactly 1 positional argument (0 given)"),
        (lambda: Email.to.fget(Email(), 1), "to() takes exactly 1 positional argument (2 given)"),
        (
            lambda: Email.subject.fset(Email()),
            "subject() takes exactly 2 positional arguments (1 given)",
        ),
        # Keywords are bound before the value is looked at: no type error here.
        (
            lambda: Email.subject.fset(Email(), value=1, other=2),
            "subject() got an unexpected keyword argument 'other'",
        ),
        (
            lambda: vectorcall(Email.cc.fset, Email(), "x", kwnames=(b"value",)),
            "cc() keywords must be strings",
        ),
        (
            lambda: Email._Email__normalize("a", "b"),
            "__normalize() takes at most 1 positional argument (2 given)",
        ),
        (
            lambda: Email._Email__normalize(email="a"),
            "__normalize() got an unexpected keyword argument 'email'",
        ),
        (
            lambda: Email._Email__normalize("a", emails="b"),
            "__normalize() got multiple values for keyword argument 'emails'",
        ),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


# What each argument stores or refuses, in which order, and what is left of an
# email whose __init__ fails half-way, is compared with the model in test_model.py.


def test_constructor_assigns_through_the_properties_in_order():
    assigned = []

    class Recorded(Email):
        __slots__ = ()

        def __setattr__(self, name, value):
            if not name.startswith("_Email__"):
                assigned.append(name)
            super().__setattr__(name, value)

        @property
        def subject(self):
            return "overridden"

        @subject.setter
        def subject(self, value):
            assigned.append(("subject setter", value))

    email = Recorded(subject="given")
    assert assigned == [
        *FIELDS[:7],
        "subject",
        ("subject setter", "given"),
        "message",
        "attachments",
    ]
    assert email.subject == "overridden"


# --- class object and layout ------------------------------------------------


def test_class_object():
    assert type(Email) is type
    assert Email.__mro__ == (Email, object)
    assert Email.__name__ == Email.__qualname__ == "Email"
    assert Email.__module__ == "quillon.email"
    assert Email.__doc__ is None
    assert Email.__slots__ == SLOTS


def test_class_namespace_holds_only_the_declared_members():
    members = ["__init__", *FIELDS[:3], "_Email__normalize", *FIELDS[3:], "send"]
    # The same namespace made in Python shows where `type` itself puts the
    # slot descriptors and `__doc__`.
    reference = type(
        "Email",
        (),
        {
            "__module__": "quillon.email",
            "__qualname__": "Email",
            "__slots__": SLOTS,
            **dict.fromkeys(members),
        },
    )
    assert list(vars(Email)) == list(vars(reference))


def test_instances_have_no_dict_and_no_weakref():
    email = Email()
    assert Email.__dictoffset__ == 0 and Email.__weakrefoffset__ == 0
    assert not hasattr(email, "__dict__")
    with pytest.raises(AttributeError, match="'Email' object has no attribute 'sender'"):
        email.sender = "x"
    with pytest.raises(TypeError):
        weakref.ref(email)


@pytest.mark.parametrize("name", FIELDS)
def test_properties_are_plain_and_cannot_be_deleted(name):
    email = Email(subject="kept")
    prop = vars(Email)[name]
    assert type(prop) is property and prop.__doc__ is None and prop.fdel is None
    with pytest.raises(AttributeError):
        delattr(email, name)
    assert email.subject == "kept"


def test_unassigned_slot_raises_attribute_error():
    bare = Email.__new__(Email)
    for name in FIELDS:
        with pytest.raises(AttributeError):
            getattr(bare, name)


def test_constructor_assigns_through_whatever_property_the_class_holds_now(monkeypatch):
    seen = []
    original = Email.__dict__["subject"]
    monkeypatch.setattr(
        Email, "subject", property(original.fget, lambda self, v: seen.append(("class", v)))
    )
    Email(subject="one")
    server = Email.__dict__["server"]
    # Re-initialising the property object in place changes its setter too.
    fset = server.fset
    server.__init__(server.fget, lambda self, v: seen.append(("reinit", v)))
    try:
        Email(server="two")
    finally:
        server.__init__(server.fget, fset)
    assert seen == [("class", "one"), ("reinit", "two"), ("class", None)]
    assert Email(server="three").server == "three"


def test_a_slot_shadowed_after_use_is_honoured():
    class Sub(Email):
        __slots__ = ()

    sub = Sub(subject="kept")
    assert sub.subject == "kept"  # the accessors have met Sub
    seen = []
    Sub._Email__subject = property(lambda self: "shadowed", lambda self, value: seen.append(value))
    sub.subject = "new"
    assert (sub.subject, seen) == ("shadowed", ["new"])
