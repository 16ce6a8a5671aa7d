"""Hostile but legal Python: each case runs in an interpreter of its own, so a
crash fails its test instead of the whole run, and must end in the exception
the interpreter itself would raise."""

import resource
import textwrap

import pytest

from support import SANITIZED, run_python

# A class that borrows the slot descriptors of ours without their layout.
FOREIGN_SLOTS = """
from quillon.email import Email
from quillon.contact import Contact
class Foreign:
    __slots__ = ()
    _Email__attachments = Email.__dict__["_Email__attachments"]
    _Email__server = Email.__dict__["_Email__server"]
    _Contact__timeout = Contact.__dict__["_Contact__timeout"]
    _Contact__email = Contact.__dict__["_Contact__email"]
x = Foreign()
for call in (lambda: Email.attachments.fset(x, [1]), lambda: Email.server.fget(x),
             lambda: Contact.timeout.fset(x, 5), lambda: Contact.is_valid.fget(x)):
    try:
        call()
    except TypeError as exc:
        print(exc)
"""

# The module bodies call whatever `type` names when the class is built; a
# logger factory runs while the module is importable and can rebind it.
LOGGER_REBINDING_TYPE = """
import builtins, sys, types
fake = types.ModuleType("logger")
def logging(prefix):
    sys.modules[prefix].type = {type}
    return lambda f: f
fake.logging = logging
sys.modules["logger"] = fake
"""

TYPE_RETURNS = (
    LOGGER_REBINDING_TYPE.format(type="lambda *args: {result}")
    + """
import quillon.email, quillon.contact
print(quillon.email.Email, quillon.contact.Contact)
"""
)

NESTED_WRAPPERS = """
import logger
def f():
    return 1
for _ in range(100_000):
    f = logger.logging(prefix="deep")(f)
try:
    f()
except RecursionError:
    print("RecursionError")
"""

# Loops through C code alone: a module global that is a bound method of our
# own send, and a foreign property over our own accessors.
C_LOOPS = """
import quillon.email as qe
from quillon.email import Email
from quillon.contact import Contact
class Loop:
    _Email__server = property(Email.server.fget, Email.server.fset)
    _Contact__email = property(Contact.email.fget)
e = Email()
qe.MIMEMultipart = e.send
def store():
    Loop()._Email__server = "x"
for call in (e.send, lambda: Loop()._Email__server, store, lambda: Contact.is_valid.fget(Loop())):
    try:
        call()
    except RecursionError:
        print("RecursionError")
"""

# `type` hands back a class whose property has our constructor as its
# setter: the constructor's own shortcut must not call it as a two-argument
# setter body.
CRAFTED_SETTER = (
    LOGGER_REBINDING_TYPE.format(type="crafted")
    + """
def crafted(name, bases, ns):
    if "server" in ns:
        ns = {**ns, "server": property(ns["server"].fget, ns["__init__"])}
    return builtins.type(name, bases, ns)
import quillon.email
try:
    quillon.email.Email(server="x")
except RecursionError:
    print("RecursionError")
"""
)

DOESNT_APPLY = "descriptor '{}' for '{}' objects doesn't apply to a 'Foreign' object"

CASES = {
    "slot descriptor on a foreign class": (
        FOREIGN_SLOTS,
        [
            DOESNT_APPLY.format("_Email__attachments", "Email"),
            DOESNT_APPLY.format("_Email__server", "Email"),
            DOESNT_APPLY.format("_Contact__timeout", "Contact"),
            DOESNT_APPLY.format("_Contact__email", "Contact"),
        ],
    ),
    "type returns None": (TYPE_RETURNS.format(result="None"), ["None None"]),
    "type returns an int": (TYPE_RETURNS.format(result="42"), ["42 42"]),
    "type returns a list": (TYPE_RETURNS.format(result="[1]"), ["[1] [1]"]),
    "100,000 nested logging wrappers": (NESTED_WRAPPERS, ["RecursionError"]),
    "loops through C code alone": (C_LOOPS, ["RecursionError"] * 4),
    "crafted setter of another arity": (CRAFTED_SETTER, ["RecursionError"]),
}


def roomy_stack():
    # The sanitizer build's frames are several times those of the release
    # build, which reaches the interpreter's depth limit within 4 MB; give
    # the child room so that what is measured is the limit, not the frames.
    hard = resource.getrlimit(resource.RLIMIT_STACK)[1]
    want = 512 << 20
    resource.setrlimit(
        resource.RLIMIT_STACK, (want if hard == resource.RLIM_INFINITY else min(want, hard), hard)
    )


@pytest.mark.parametrize("code, expected", CASES.values(), ids=CASES.keys())
def test_hostile_code_gets_an_exception_not_a_crash(code, expected):
    result = run_python("-c", textwrap.dedent(code), preexec_fn=roomy_stack if SANITIZED else None)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.splitlines() == expected
