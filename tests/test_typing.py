"""The stubs against the modules, mypy on user code, and runtime introspection."""

import inspect
import os
import pydoc
import re
import sys
import typing

import pytest

from quillon.contact import Contact
from quillon.email import Email
from support import FIELDS, LIST_FIELDS, ROOT, run_python


def mypy(tmp_path, *args):
    pytest.importorskip("mypy", reason="mypy comes with the dev group: uv sync --group dev")
    return run_python(
        "-m", *args, cwd=tmp_path, timeout=300, env=os.environ | {"MYPYPATH": str(ROOT / "src")}
    )


def test_stubs_match_the_modules(tmp_path):
    result = mypy(
        tmp_path, "mypy.stubtest", "quillon.email", "quillon.contact", "quillon._logcall", "logger"
    )
    assert result.returncode == 0, result.stdout + result.stderr


# Lines marked "# E: code" must give exactly that error; no other line may.
USER_CODE = """\
from typing import assert_type
from quillon.contact import Contact
from quillon.email import Email
from quillon.smtp import Sent, StartTLS, outbox, using
import quillon.email

email = Email("smtp.example.org:2525", from_="me@example.org", to=["a@example.org"],
              attachments=[("a.txt", b"a")])
assert_type(email.to, list[str] | None)
assert_type(email.from_, str | None)
assert_type(email.attachments, list[tuple[str, bytes]] | tuple[tuple[str, bytes], ...])
email.to = "a@example.org; b@example.org"
email.cc = ("c@example.org",)
email.bcc = None
email.attachments = None
assert_type(email.send(), None)
assert_type(Contact.validate("a@example.org", timeout=None), tuple[bool, str])
contact = Contact("a@example.org", 5)
contact.timeout = None
assert_type(contact.timeout, int)
assert_type(contact.is_valid, bool)
quillon.email.SMTP = StartTLS
with outbox(everywhere=True) as sent, using(StartTLS, everywhere=False):
    assert_type(sent, list[Sent])

email.subject = 1  # E: assignment
email.to = 5  # E: assignment
email.attachments = [("a.txt", "not bytes")]  # E: list-item
email.send(True)  # E: call-arg
Email(sever="smtp.example.org")  # E: call-arg
Contact()  # E: call-overload
Contact(None)  # E: call-overload
contact.is_valid = True  # E: misc
contact.email = None  # E: assignment
"""


def test_user_code_under_mypy_strict(tmp_path):
    (tmp_path / "user.py").write_text(USER_CODE)
    result = mypy(tmp_path, "mypy", "--strict", "--no-error-summary", "--no-incremental", "user.py")
    found = {
        int(line): code
        for line, code in re.findall(
            r"^user\.py:(\d+): error: .*\[([\w-]+)\]$", result.stdout, re.M
        )
    }
    expected = {
        number: mark.split("# E: ")[1]
        for number, mark in enumerate(USER_CODE.splitlines(), 1)
        if "# E: " in mark
    }
    assert found == expected, result.stdout


RECIPIENTS = "'str | list[str] | tuple[str, ...]'"
ATTACHMENTS = "'list[tuple[str, bytes]] | tuple[tuple[str, bytes], ...]'"
# Each Email property: what its getter returns, what its setter takes.
PROPERTIES = {
    name: ("'list[str] | None'", RECIPIENTS[:-1] + " | None'")
    if name in LIST_FIELDS
    else (ATTACHMENTS, ATTACHMENTS[:-1] + " | None'")
    if name == "attachments"
    else ("'str | None'",) * 2
    for name in FIELDS
}
# Every function the modules make, with its qualified name and signature.
FUNCTIONS = [
    (
        Email.__init__,
        "Email.__init__",
        f"(self, server: 'str' = None, username: 'str' = None, password: 'str' = None, "
        f"from_: 'str' = None, to: {RECIPIENTS} = None, cc: {RECIPIENTS} = None, "
        f"bcc: {RECIPIENTS} = None, subject: 'str' = None, message: 'str' = None, "
        f"attachments: {ATTACHMENTS} = None)",
    ),
    (Email.send, "Email.send", "(self)"),
    (
        vars(Email)["_Email__normalize"],
        "Email.__normalize",
        f"(emails: {RECIPIENTS} = None) -> 'list[str] | None'",
    ),
    *[
        (getattr(Email, name).fget, f"Email.{name}", f"(self) -> {returns}")
        for name, (returns, _) in PROPERTIES.items()
    ],
    *[
        (getattr(Email, name).fset, f"Email.{name}", f"(self, value: {takes})")
        for name, (_, takes) in PROPERTIES.items()
    ],
    (
        vars(Contact)["__init__"],
        "Contact.__init__",
        "(self, email: 'str' = None, timeout: 'int' = 15)",
    ),
    (
        vars(Contact)["validate"],
        "Contact.validate",
        "(email: 'str', timeout: 'int' = 2) -> 'tuple[bool, str]'",
    ),
    (Contact.email.fget, "Contact.email", "(self) -> 'str'"),
    (Contact.email.fset, "Contact.email", "(self, email: 'str')"),
    (Contact.timeout.fget, "Contact.timeout", "(self)"),
    (Contact.timeout.fset, "Contact.timeout", "(self, value: 'int')"),
    (Contact.is_valid.fget, "Contact.is_valid", "(self) -> 'bool'"),
]
DOCS = {
    "Email.send": "\n            Send email.\n\n            :return:\n            ",
    "Contact.validate": re.compile(
        r"\n {12}Validates the email address in sync / async mode\.\n\n"
        r" {12}:param email: '[^'\n]+'\n {12}:param timeout: 0\.\.X sec\n {12}:return:\n {12}"
    ),
}


@pytest.mark.parametrize(
    ("target", "signature"),
    [
        *[(function, signature) for function, _, signature in FUNCTIONS],
        (Email, FUNCTIONS[0][2].replace("(self, ", "(")),
        (Email().send, "()"),
        (Email._Email__normalize, FUNCTIONS[2][2]),
        (Contact, "(email: 'str' = None, timeout: 'int' = 15)"),
        (Contact.validate, FUNCTIONS[-6][2]),
    ],
    ids=lambda value: getattr(value, "__qualname__", None) if callable(value) else "",
)
def test_signatures(target, signature):
    assert str(inspect.signature(target)) == signature


@pytest.mark.parametrize(
    ("target", "qualname"), [row[:2] for row in FUNCTIONS], ids=[row[1] for row in FUNCTIONS]
)
def test_function_metadata(target, qualname):
    function = inspect.unwrap(target)
    module = "quillon." + qualname.split(".")[0].lower()
    assert (function.__module__, function.__qualname__) == (module, qualname)
    assert function.__name__ == qualname.rsplit(".", 1)[1]
    assert getattr(function, "__kwdefaults__", None) is None
    assert not inspect.iscoroutinefunction(function)
    doc = DOCS.get(qualname)
    annotations = function.__annotations__
    for documented in (target, function):  # the logging wrapper passes both on
        assert documented.__qualname__ == qualname
        assert documented.__annotations__ == annotations
        assert typing.get_type_hints(documented) == typing.get_type_hints(function)
        if isinstance(doc, re.Pattern):
            assert doc.fullmatch(documented.__doc__)
        else:
            assert documented.__doc__ == doc
    annotate = getattr(function, "__annotate__", None)  # where annotations are lazy
    if annotate is not None:
        given = [annotate(format) for format in (1, 3, 4)]  # VALUE, FORWARDREF, STRING
        assert given == [annotations] * 3 and all(d is not annotations for d in given)
        with pytest.raises(NotImplementedError):
            annotate(2)  # VALUE_WITH_FAKE_GLOBALS: for compiled annotate functions only


# help() quotes string annotations up to 3.13 and prints them bare after.
VALIDATE_HELP = "validate(email: 'str', timeout: 'int' = 2) -> 'tuple[bool, str]'"
if sys.version_info >= (3, 14):
    VALIDATE_HELP = VALIDATE_HELP.replace("'", "")


@pytest.mark.parametrize(
    ("cls", "expected"),
    [
        (Email, ["send(self)", "Send email.", "to", "attachments"]),
        (Contact, [VALIDATE_HELP, "Validates the email address", "is_valid"]),
    ],
)
def test_help_renders(cls, expected):
    text = pydoc.render_doc(cls, renderer=pydoc.plaintext)
    for piece in expected:
        assert piece in text
