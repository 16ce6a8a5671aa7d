"""One outgoing e-mail message, with the SMTP server and credentials to send it."""

from collections.abc import Callable
from typing import Any

# What the recipient fields accept: one text holding addresses separated by
# "," or ";", or a list or tuple of such texts.
_Recipients = str | list[str] | tuple[str, ...]
_Attachments = list[tuple[str, bytes]] | tuple[tuple[str, bytes], ...]

# The client that send() creates as SMTP(host=server), looked up at every
# send: smtplib.SMTP at import; quillon.smtp has others, and its using() and
# outbox() choose one per thread or task, or with everywhere=True for all.
SMTP: Callable[..., Any]

class Email:
    """An e-mail message and the SMTP server to send it through.

    Every field is checked when it is set. Text fields store "" as None.
    Recipients are stored as a list of addresses with blanks and tabs
    removed, ";" read as ",", and lower-cased; ``from_`` keeps the first.
    """

    __slots__ = (
        "__server",
        "__username",
        "__password",
        "__from",
        "__to",
        "__cc",
        "__bcc",
        "__subject",
        "__message",
        "__attachments",
    )
    def __init__(
        self,
        server: str | None = None,
        username: str | None = None,
        password: str | None = None,
        from_: str | None = None,
        to: _Recipients | None = None,
        cc: _Recipients | None = None,
        bcc: _Recipients | None = None,
        subject: str | None = None,
        message: str | None = None,
        attachments: _Attachments | None = None,
    ) -> None: ...
    @property
    def server(self) -> str | None:
        """SMTP server as "HOST" or "HOST:PORT"."""
    @server.setter
    def server(self, value: str | None) -> None: ...
    @property
    def username(self) -> str | None: ...
    @username.setter
    def username(self, value: str | None) -> None: ...
    @property
    def password(self) -> str | None: ...
    @password.setter
    def password(self, value: str | None) -> None: ...
    @staticmethod
    def __normalize(emails: _Recipients | None = None) -> list[str] | None: ...
    @property
    def from_(self) -> str | None: ...
    @from_.setter
    def from_(self, value: str | None) -> None: ...
    @property
    def to(self) -> list[str] | None: ...
    @to.setter
    def to(self, value: _Recipients | None) -> None: ...
    @property
    def cc(self) -> list[str] | None: ...
    @cc.setter
    def cc(self, value: _Recipients | None) -> None: ...
    @property
    def bcc(self) -> list[str] | None: ...
    @bcc.setter
    def bcc(self, value: _Recipients | None) -> None: ...
    @property
    def subject(self) -> str | None: ...
    @subject.setter
    def subject(self, value: str | None) -> None: ...
    @property
    def message(self) -> str | None:
        """The body, always sent as HTML."""
    @message.setter
    def message(self, value: str | None) -> None: ...
    @property
    def attachments(self) -> _Attachments:
        """(file name, content) pairs; the caller's object, not a copy."""
    @attachments.setter
    def attachments(self, value: _Attachments | None) -> None: ...
    def send(self) -> None:
        """Send the message through the client bound to the module's ``SMTP``
        (plain ``smtplib.SMTP`` unless rebound, see ``quillon.smtp``), logging
        in when a user name or password is set.

        Before connecting, raises :class:`ValueError` naming the field for
        what would go out damaged or to the wrong place: no sender, no
        recipients, an item that is not one address, a line break in a
        header. A recipient field that names nobody (None, "", ``[]``) is
        left out, header included. Once connected, raises the exceptions of
        :mod:`smtplib` and :class:`OSError`.
        """
