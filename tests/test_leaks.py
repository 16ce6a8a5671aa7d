"""Long runs keep resident memory flat; calls that only read an object keep no reference to it."""

import contextlib
import gc
import os
import smtplib

import email_validator
import pytest

import quillon.contact as contact
import quillon.email
from quillon.contact import Contact
from quillon.email import Email
from support import SANITIZED, VALID, refcounts


def fresh(text):
    # A text built at run time: neither interned nor immortal, so its
    # reference count moves.
    return "".join(list(text))


class Client(contextlib.nullcontext):
    """Stands in for smtplib.SMTP: takes the message, refuses one user's login, and
    at the host "ascii" a message that needs SMTPUTF8, as smtplib does."""

    sent = 0

    def __init__(self, host):
        super().__init__(self)
        self.host = host

    def login(self, user, password):
        if user == "refused":
            raise smtplib.SMTPAuthenticationError(535, b"no")

    def send_message(self, msg):
        if self.host == "ascii" and not str(msg["To"]).isascii():
            raise smtplib.SMTPNotSupportedError("the server lacks the SMTPUTF8 capability")
        type(self).sent += 1


def by_address(address, check_deliverability, timeout):
    if address.startswith("bad"):
        raise email_validator.EmailNotValidError("The address is bad.")
    return VALID if address.startswith("good") else None


@pytest.fixture
def substitutes(monkeypatch):
    monkeypatch.setattr(quillon.email, "SMTP", Client)
    monkeypatch.setattr(contact, "validate_email", by_address)


def one_round(files, international=False):
    mail = Email(
        "127.0.0.1",
        "user",
        "secret",
        "Me@Example.org",
        "A@x.org; b@y.org",
        ["C@x.org", "d@y.org"],
        ("E@x.org",),
        "Subject",
        "<p>Body</p>",
        files,
    )
    mail.to, mail.subject, mail.attachments = "f@x.org, g@y.org", "Other", tuple(files)
    for name, value in (("subject", 5), ("cc", 5), ("bcc", ["a", 1])):
        with pytest.raises(TypeError):
            setattr(mail, name, value)
    for bad in ({"server": b"x"}, {"to": 5.0}):
        with pytest.raises(TypeError):
            Email(**bad)
    mail.send()
    mail.username = "refused"
    with pytest.raises(smtplib.SMTPAuthenticationError):
        mail.send()
    if international:
        mail.username, mail.to = None, "Jürgen@Bücher.de"
        mail.send()
        mail.server = "ascii"
        with pytest.raises(smtplib.SMTPNotSupportedError, match="^message not sent: ascii does"):
            mail.send()
    person = Contact("good@example.org", 3)
    assert person.is_valid is True
    assert Contact.validate("bad@example.org") == (False, "The address is bad")
    assert Contact.validate("other@example.org", None) == (False, "Email is not valid")
    with pytest.raises(TypeError):
        Contact(None)


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator keeps freed memory in quarantine")
def test_forty_thousand_rounds_keep_memory_flat(substitutes):
    files = [("a.txt", b"alpha" * 20), ("b.bin", bytes(range(256)))]
    for n in range(2_000):
        one_round(files, international=n % 10 == 0)
    gc.collect()
    before = resident_bytes()
    for n in range(40_000):
        one_round(files, international=n % 10 == 0)
    gc.collect()
    assert resident_bytes() - before < 4 * 2**20
    assert Client.sent >= 46_000


def test_recipients_given_to_a_setter_are_not_kept():
    items = [fresh("A@x.org; b@y.org"), fresh("C@x.org")]
    pair, sender = tuple(items), fresh("Me@x.org")
    before = refcounts(items, pair, sender, *items)
    mail = Email(from_=sender, to=items, cc=pair)
    for _ in range(100):
        mail.to, mail.cc, mail.bcc, mail.from_ = items, pair, items, sender
        Email._Email__normalize(emails=items)
    assert mail.to == ["a@x.org", "b@y.org", "c@x.org"] and mail.from_ == "me@x.org"
    assert refcounts(items, pair, sender, *items) == before


LONG_CC = [f"r{i:03d}@example.org" for i in range(60)]  # folded at its commas


@pytest.mark.parametrize(
    ("fields", "refused"),
    [
        ({}, None),
        # Encoded display names, a folded list, encoded subject and file name.
        ({"from_": "Jürgen<j@x.org>", "cc": LONG_CC, "subject": "s" * 1000}, None),
        ({"subject": "Hi\x0bBcc: x@y.org"}, "subject holds"),
        ({"to": "evil:a@x.org"}, "cannot read"),
        ({"cc": ["a@x.org", "x" * 999 + "@y.org"]}, "too long"),
    ],
    ids=["plain", "encoded", "control", "group", "too-long"],
)
def test_send_keeps_no_reference_to_what_it_reads(substitutes, fields, refused):
    names = [fresh("a.txt"), fresh("é" * 400), fresh("a b.txt")]
    contents = [b"alpha" * 3, bytes(range(9)), b""]
    files = list(zip(names, contents, strict=True))
    fields = {"from_": "me@x.org", "to": "a@x.org", **fields}
    subject = fields.pop("subject", fresh("Subject"))
    mail = Email("127.0.0.1", subject=subject, attachments=files, **fields)

    def send():
        if refused is None:
            return mail.send()
        with pytest.raises(ValueError, match=refused):
            mail.send()

    read = [files, *files, *names, *contents, subject, mail.from_, mail.cc]
    send()
    before = refcounts(*read)
    for _ in range(100):
        send()
    assert refcounts(*read) == before


@pytest.mark.parametrize(
    "outcome",
    [
        email_validator.EmailNotValidError("Not an address."),
        RuntimeError("look-up failed"),
        VALID,
        object(),
    ],
    ids=["rejected", "failed", "accepted", "foreign"],
)
def test_validate_keeps_no_reference_to_what_the_library_gave(library, outcome):
    library.outcome = outcome
    address = fresh("someone@example.org")
    first = Contact.validate(address)  # a raised exception gets its traceback here
    library.calls.clear()  # the stand-in's own record of each call
    before = refcounts(outcome, address)
    for _ in range(100):
        assert Contact.validate(address, 4) == first
    library.calls.clear()
    assert refcounts(outcome, address) == before


def test_is_valid_keeps_no_reference_to_the_result(monkeypatch):
    status, message = object(), fresh("fine")
    result = (status, message)
    monkeypatch.setattr(Contact, "validate", staticmethod(lambda email, timeout: result))
    person = Contact("someone@example.org")
    before = refcounts(result, status, message)
    for _ in range(100):
        assert person.is_valid is status
    assert refcounts(result, status, message) == before
