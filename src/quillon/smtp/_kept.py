"""A kept connection: the dialogue of each message followed, so that the pool
knows whether it can take another, and whether a lost one took the message."""

from __future__ import annotations

import contextlib
import select
import smtplib
import ssl
from collections.abc import Sequence
from typing import Any

from quillon.smtp._pipeline import Pipelining, Stage

# How long QUIT may take, for all the connections that Pool.close() ends and
# for one that makes room for another.
QUIT_WAIT = 2.0


class DeliveryUnknown(smtplib.SMTPException):
    """The connection was lost after the whole message had gone out and
    before the server answered: the message may have been delivered, so it
    was not sent again. Do not send it again on this error.

    Not an ``SMTPServerDisconnected``, so that a handler that retries on a
    lost connection does not send the message twice."""


_LOST_AFTER_DATA = (
    "the connection was lost after the message was sent and before the server confirmed "
    "it: it may have been delivered, so it was not sent again"
)


class Kept(Pipelining):
    """Placed before the client class: follows the dialogue of each message."""

    # Where the connection stands in the dialogue of one message (see
    # Stage): set by each command as it goes out.
    messages = 0
    login_reply: tuple[int, bytes] = (0, b"")

    def mail(self, sender: str, options: Sequence[str] = ()) -> tuple[int, bytes]:
        self.stage = Stage.MAIL
        return super().mail(sender, options)

    def rcpt(self, recip: str, options: Sequence[str] = ()) -> tuple[int, bytes]:
        self.stage = Stage.RCPT
        return super().rcpt(recip, options)

    def data(self, msg: Any) -> tuple[int, bytes]:
        self.stage = Stage.DATA
        reply = super().data(msg)
        self.stage = Stage.IDLE
        self.messages += 1
        return reply

    def sendmail(self, *args: Any, **kwargs: Any) -> dict[str, tuple[int, bytes]]:
        # data() and the pipelined exchange mark the end of the data as
        # SENT: a connection lost after that may have delivered it.
        try:
            return super().sendmail(*args, **kwargs)
        except smtplib.SMTPServerDisconnected as exc:
            if self.stage is not Stage.SENT:
                raise
            raise DeliveryUnknown(_LOST_AFTER_DATA) from exc

    def send(self, s: Any) -> None:
        super().send(s)
        # The one thing data() sends after the server's 354 is the message,
        # ending with the line that holds a lone dot.
        if self.stage is Stage.DATA and isinstance(s, bytes) and s.endswith(b"\r\n.\r\n"):
            self.stage = Stage.SENT

    def rset(self) -> tuple[int, bytes]:
        reply = super().rset()
        if reply[0] == 250:
            self.stage = Stage.IDLE
        return reply


def closed_by_server(conn: Kept) -> bool:
    """Whether a kept connection has something to read, or is gone, without a round trip.

    Between messages the server says nothing unless it is ending the
    connection (an idle time-out, a 421, or the end of the stream), so
    anything readable means the connection cannot take another message.
    """
    sock = conn.sock
    if sock is None:
        return True
    if isinstance(sock, ssl.SSLSocket) and sock.pending():
        return True
    try:
        if not hasattr(select, "poll"):  # Windows
            return bool(select.select([sock], [], [], 0)[0])
        poller = select.poll()
        poller.register(sock, select.POLLIN | select.POLLPRI)
        return bool(poller.poll(0))
    except (OSError, ValueError):
        return True


def close(conn: smtplib.SMTP, *, politely: bool, within: float = QUIT_WAIT) -> None:
    """Close ``conn``; with ``politely``, say QUIT first, waiting at most ``within`` s."""
    # QUIT only between messages: in the middle of DATA it would be read as
    # a line of the message. (smtplib's errors are OSErrors too.)
    with contextlib.suppress(OSError):
        if politely and conn.sock is not None and within > 0:
            conn.sock.settimeout(within)
            conn.quit()
    conn.close()
