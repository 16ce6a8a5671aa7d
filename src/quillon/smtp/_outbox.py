"""The outbox: a client that sends nothing and records what it was given."""

from __future__ import annotations

import contextlib
import email.message
import smtplib
import threading
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import Any, Literal, Self

from quillon._international import transfer_form
from quillon.smtp._binding import bound
from quillon.smtp._protocol import envelope


@dataclass(frozen=True)
class Sent:
    """One message handed to the outbox.

    ``message``: the object given to ``send_message``, Bcc header included.
    ``sender``, ``recipients``: the envelope, as smtplib would compute it.
    ``data``: the bytes smtplib would transmit (no Bcc header, CRLF lines).
    """

    message: email.message.Message
    sender: str
    recipients: list[str]
    data: bytes


@contextlib.contextmanager
def outbox(*, everywhere: bool = False) -> Iterator[list[Sent]]:
    """Bind a client that sends nothing; yield the list of what it was given.

    Every ``Email.send`` of the caller's context (see ``using``) appends a
    ``Sent`` record instead of connecting; ``login`` accepts anything and
    keeps nothing. Tasks and threads sharing the context may send at once.
    A thread or an executor's worker that does not share it sends as
    before: this form is for a preview in one thread of a running program.

    ``everywhere=True``, the form for tests (the pytest fixture
    ``quillon_outbox`` yields one): it also takes the sends of every thread
    and task that has no block of its own, and while it is open no send
    reaches a server; one that a block of its own or an everywhere-block
    would give to a real client comes here too. Only a plain assignment to
    ``quillon.email.SMTP`` made while it is open overrides it (see ``using``).
    """
    box = _Outbox()
    with bound(box, everywhere=everywhere, outbox=True):
        yield box.sent


class _Outbox:
    """The stand-in for the client class: one session per send."""

    def __init__(self) -> None:
        self.sent: list[Sent] = []
        self._lock = threading.Lock()

    def __call__(self, host: str | None = "", *args: object, **kwargs: object) -> _Session:
        return _Session(self)

    def add(self, record: Sent) -> None:
        with self._lock:
            self.sent.append(record)


class _Session:
    def __init__(self, box: _Outbox) -> None:
        self._box = box

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc_info: object) -> Literal[False]:
        return False

    def login(self, user: str | None, password: str | None, **options: object) -> tuple[int, bytes]:
        return 235, b"2.7.0 Authentication successful"

    def send_message(
        self,
        msg: email.message.Message,
        from_addr: str | None = None,
        to_addrs: str | Sequence[str] | None = None,
        **options: Any,
    ) -> dict[str, tuple[int, bytes]]:
        sender, recipients = envelope(msg, from_addr, to_addrs)
        if not recipients:
            # What smtplib raises once the server has heard MAIL FROM.
            raise smtplib.SMTPRecipientsRefused({})
        self._box.add(Sent(msg, sender, recipients, _wire_form(msg, sender, recipients)))
        return {}


def _wire_form(msg: email.message.Message, sender: str, recipients: Sequence[str]) -> bytes:
    # As send_message serialises, so that a message it cannot serialise fails
    # here too, on a server that offers SMTPUTF8, as the large providers do.
    return transfer_form(msg, sender, recipients, smtputf8=True)[1]
