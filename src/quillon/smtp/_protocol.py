"""What ``quillon.email.SMTP`` must be, and the envelope smtplib takes from a message.

``Email.send`` makes one call of the client and four of what it returns::

    with SMTP(host=server) as session:
        session.login(user=username, password=password)  # only with a login
        refused = session.send_message(msg=message)

Every client here follows that contract: ``smtplib.SMTP`` and the classes
derived from it, a ``Pool``, the outbox. ``envelope`` is the rule
``send_message`` follows for a message given alone, written once for the
clients that do not speak SMTP themselves (the outbox) and for whatever
shows or checks an envelope.
"""

from __future__ import annotations

import email.message
import email.utils
from collections.abc import Sequence
from types import TracebackType
from typing import Protocol, Self


class Session(Protocol):
    """One send: what a client returns and ``with`` enters.

    ``login`` may be given ``user=None`` (a password without a user name);
    ``send_message`` returns the recipients refused while others were
    accepted, and raises when none was (``smtplib.SMTPRecipientsRefused``).
    """

    def __enter__(self) -> Self: ...

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
        /,
    ) -> bool | None: ...

    def login(self, user: str, password: str) -> tuple[int, bytes]: ...

    def send_message(self, msg: email.message.Message) -> dict[str, tuple[int, bytes]]: ...


class Client(Protocol):
    """What ``quillon.email.SMTP`` holds: called with the server text as ``host=``."""

    def __call__(self, *, host: str) -> Session: ...


def envelope(
    msg: email.message.Message,
    from_addr: str | None = None,
    to_addrs: str | Sequence[str] | None = None,
) -> tuple[str, list[str]]:
    """The envelope sender and recipients ``smtplib.SMTP.send_message`` uses.

    The same headers, in the same order (To, Bcc, Cc; the Resent- ones in a
    message with one Resent-Date), read by the same parser, so that whatever
    smtplib makes of an odd address, this does too. ``ValueError`` for a
    message with more than one Resent- block, as smtplib raises.
    """
    resent = msg.get_all("Resent-Date")
    if resent is None:
        prefix = ""
    elif len(resent) == 1:
        prefix = "Resent-"
    else:
        raise ValueError("message has more than one 'Resent-' header block")
    if from_addr is None:
        from_addr = msg[prefix + "Sender"] if prefix + "Sender" in msg else msg[prefix + "From"]
        from_addr = email.utils.getaddresses([from_addr])[0][1]
    if to_addrs is None:
        fields = [
            field
            for field in (msg[prefix + "To"], msg[prefix + "Bcc"], msg[prefix + "Cc"])
            if field is not None
        ]
        to_addrs = [address for _, address in email.utils.getaddresses(fields)]
    elif isinstance(to_addrs, str):
        to_addrs = [to_addrs]
    return from_addr, list(to_addrs)
