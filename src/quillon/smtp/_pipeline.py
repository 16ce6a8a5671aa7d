"""One write for the commands of a message, where the server allows it.

With PIPELINING the client sends MAIL FROM, every RCPT TO and DATA at once
and reads the replies in order afterwards; with CHUNKING as well, the
message itself goes in the same write as ``BDAT <size> LAST``, so a message
costs one round trip instead of four. The commands are formatted by the
client's own ``mail`` and ``rcpt`` (options, SMTPUTF8 and all), held back
instead of written, so that a subclass that changes either changes this
exchange too. A server offering neither gets smtplib's exchange unchanged.
"""

from __future__ import annotations

import enum
import re
import smtplib
from collections.abc import Buffer, Sequence
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from _typeshed import SizedBuffer

# At most this many recipients go out before their replies are read, so that
# neither side fills its buffers with replies the other is not yet reading.
GROUP = 100

_CRLF = b"\r\n"
_LINE_START_DOT = re.compile(rb"(?m)^\.")


class Stage(enum.Enum):
    """Where a connection stands in the dialogue of one message."""

    IDLE = "between messages"
    MAIL = "MAIL FROM sent, not yet accepted"
    RCPT = "MAIL FROM accepted, recipients under way"
    DATA = "DATA sent"
    # The end of the data has gone out: the server may have taken the
    # message, whatever becomes of the connection before its verdict.
    SENT = "the whole message sent, the verdict awaited"


class Pipelining(smtplib.SMTP):
    """``sendmail`` in one write where the server offers PIPELINING.

    ``stage`` follows the message: MAIL until the server has accepted
    MAIL FROM (a connection lost by then took nothing of the message),
    RCPT and DATA after it, SENT from the moment the end of the data has
    gone out until the server's verdict, IDLE once it is known. With
    CHUNKING the data goes out with MAIL, so the stage is SENT at once, and
    back to MAIL only if the server refuses MAIL. Results
    are smtplib's: ``SMTPSenderRefused``, ``SMTPRecipientsRefused`` when
    every recipient was refused, the dict of refusals when some were,
    ``SMTPDataError``; after a refusal the connection is reset (RSET), and
    after a 421 closed.
    """

    stage = Stage.IDLE
    messages = 0
    # The lines held back while a group of commands is being formed.
    _held: list[bytes] | None = None

    def mail(self, sender: str, options: Sequence[str] = ()) -> tuple[int, bytes]:
        # smtplib switches its commands to UTF-8 for a transaction with
        # SMTPUTF8 and never back: on a kept connection the next transaction
        # would send an address beyond ASCII without saying SMTPUTF8.
        self.command_encoding = "ascii"
        return super().mail(sender, options)

    def send(self, s: Buffer | str) -> None:
        if self._held is None:
            super().send(s)
        elif isinstance(s, str):
            self._held.append(s.encode(self.command_encoding))
        else:
            self._held.append(bytes(s))

    def getreply(self) -> tuple[int, bytes]:
        # A held command is answered once its group has gone out.
        return (0, b"") if self._held is not None else super().getreply()

    def sendmail(
        self,
        from_addr: str,
        to_addrs: str | Sequence[str],
        msg: SizedBuffer | str,
        mail_options: Sequence[str] = (),
        rcpt_options: Sequence[str] = (),
    ) -> dict[str, tuple[int, bytes]]:
        self.ehlo_or_helo_if_needed()
        recipients = [to_addrs] if isinstance(to_addrs, str) else list(to_addrs)
        if not (self.does_esmtp and self.has_extn("pipelining") and recipients):
            return super().sendmail(from_addr, to_addrs, msg, mail_options, rcpt_options)
        if isinstance(msg, str):
            msg = smtplib._fix_eols(msg).encode("ascii")  # type: ignore[attr-defined]
        data = bytes(msg)  # type: ignore[arg-type]
        options = [f"size={len(data)}"] if self.has_extn("size") else []
        options += mail_options
        limit = self.esmtp_features.get("size", "")
        # A message the server has said it will refuse is not sent in vain:
        # over the limit, it waits for DATA's 354, which will not come.
        chunking = self.has_extn("chunking") and not (
            limit.isdigit() and 0 < int(limit) < len(data)
        )
        return _Exchange(self, from_addr, recipients, data, options, rcpt_options, chunking).run()


class _Exchange:
    """The dialogue of one message over a pipelining connection."""

    def __init__(
        self,
        conn: Pipelining,
        sender: str,
        recipients: list[str],
        data: bytes,
        mail_options: list[str],
        rcpt_options: Sequence[str],
        chunking: bool,
    ) -> None:
        self.conn = conn
        self.sender = sender
        self.recipients = recipients
        self.data = data
        self.mail_options = mail_options
        self.rcpt_options = rcpt_options
        self.chunking = chunking
        self.refused: dict[str, tuple[int, bytes]] = {}
        self.accepted = 0
        self.mail_reply = (0, b"")

    def run(self) -> dict[str, tuple[int, bytes]]:
        try:
            return self._run()
        except smtplib.SMTPServerDisconnected:
            # Lost after MAIL was refused: that refusal is the result, and
            # nothing can have been delivered.
            if self.mail_reply[0] not in (0, 250):
                raise smtplib.SMTPSenderRefused(*self.mail_reply, self.sender) from None
            raise

    def _run(self) -> dict[str, tuple[int, bytes]]:
        conn = self.conn
        last = (len(self.recipients) - 1) // GROUP
        for number in range(last + 1):
            group = self.recipients[number * GROUP : (number + 1) * GROUP]
            self._write(group, first=number == 0, last=number == last)
            if number == 0:
                self._read_mail()
            for address in group:
                self._read_rcpt(address)
            if self.mail_reply[0] != 250:
                break
        if self.mail_reply[0] != 250:
            if number == last:
                self._finish_refused(conn.getreply())
            self._reset()
            raise smtplib.SMTPSenderRefused(*self.mail_reply, self.sender)
        if not self.accepted:
            # Every recipient refused: the server cannot take the message.
            conn.stage = Stage.RCPT
        code, text = self._reply()
        if code == 354 and not self.chunking:
            if self.accepted:
                code, text = self._send_data()
            else:
                code, text = self._finish_refused((code, text))
        if not self.accepted:
            self._reset()
            raise smtplib.SMTPRecipientsRefused(self.refused)
        if code != 250:
            self._reset()
            raise smtplib.SMTPDataError(code, text)
        conn.stage = Stage.IDLE
        conn.messages += 1
        return self.refused

    def _write(self, group: list[str], *, first: bool, last: bool) -> None:
        conn = self.conn
        stage = Stage.MAIL if first else conn.stage
        conn._held = []
        try:
            if first:
                conn.mail(self.sender, self.mail_options)
            for address in group:
                conn.rcpt(address, self.rcpt_options)
            if last and self.chunking:
                content = self.data if self.data.endswith(_CRLF) else self.data + _CRLF
                conn.putcmd("bdat", f"{len(content)} LAST")
                conn.send(content)
            elif last:
                conn.putcmd("data")
            lines = conn._held
        finally:
            conn._held = None
        conn.stage = stage
        conn.send(b"".join(lines))
        if last and self.chunking:
            # The whole message has gone out: from here on the server may
            # have taken it, whatever becomes of the connection.
            conn.stage = Stage.SENT

    def _reply(self) -> tuple[int, bytes]:
        reply = self.conn.getreply()
        if reply[0] == 421:
            self.conn.close()
        return reply

    def _read_mail(self) -> None:
        conn = self.conn
        # A loss before this reply took nothing of the message, unless the
        # message went out with MAIL (SENT).
        self.mail_reply = self._reply()
        if self.mail_reply[0] == 250:
            conn.stage = Stage.SENT if conn.stage is Stage.SENT else Stage.RCPT
            return
        # Refused (421 included): whatever follows is refused for want of MAIL.
        conn.stage = Stage.MAIL
        if self.mail_reply[0] == 421:
            raise smtplib.SMTPSenderRefused(*self.mail_reply, self.sender)

    def _read_rcpt(self, address: str) -> None:
        code, text = self._reply()
        if code in (250, 251):
            self.accepted += 1
            return
        self.refused[address] = (code, text)
        if code == 421:
            if self.mail_reply[0] != 250:
                raise smtplib.SMTPSenderRefused(*self.mail_reply, self.sender)
            raise smtplib.SMTPRecipientsRefused(self.refused)

    def _finish_refused(self, reply: tuple[int, bytes]) -> tuple[int, bytes]:
        # DATA accepted with nobody to deliver to: an empty message ends the
        # transaction, and the server refuses it.
        if reply[0] == 354 and not self.chunking:
            self.conn.send(b"." + _CRLF)
            return self._reply()
        return reply

    def _send_data(self) -> tuple[int, bytes]:
        conn = self.conn
        content = _LINE_START_DOT.sub(b"..", self.data)
        if not content.endswith(_CRLF):
            content += _CRLF
        conn.stage = Stage.DATA
        conn.send(content + b"." + _CRLF)
        conn.stage = Stage.SENT
        return self._reply()

    def _reset(self) -> None:
        # The connection is kept only if the server takes the RSET.
        conn = self.conn
        if conn.stage is Stage.IDLE:
            conn.stage = Stage.RCPT
        if conn.sock is not None:
            conn._rset()  # type: ignore[attr-defined]
