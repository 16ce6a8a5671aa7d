"""A loopback SMTP server recording what it accepts.

aiosmtpd is imported only when an ``SmtpServer`` is built, so the package
imports without it.
"""

from __future__ import annotations

import asyncio
import email
import email.message
import functools
import logging
import socket
import ssl
import threading
from collections.abc import Awaitable, Collection
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Self

from quillon._loopback._peer import LOOPBACK, _Peer
from quillon._message_view import parse_wire

if TYPE_CHECKING:
    from aiosmtpd.smtp import SMTP, AuthResult, Envelope, Session


@dataclass(frozen=True)
class ReceivedMessage:
    """One message as the SMTP server accepted it."""

    mail_from: str
    rcpt_tos: tuple[str, ...]
    data: bytes
    login: str | None  # the user that authenticated, None without AUTH
    mail_options: tuple[str, ...] = ()  # as MAIL FROM gave them, e.g. "SMTPUTF8"

    @property
    def message(self) -> email.message.Message:
        # The compat32 policy keeps header values exactly as they came over
        # the wire; the modern one would re-render address lists. Headers in
        # UTF-8 (SMTPUTF8) are read as text.
        return parse_wire(self.data)


class _Handler:
    """aiosmtpd hooks: the refusals asked for, and the record of messages."""

    def __init__(self, owner: SmtpServer) -> None:
        self._owner = owner
        self.transcripts = owner.transcripts

    async def handle_MAIL(  # noqa: N802
        self,
        server: SMTP,
        session: Session,
        envelope: Envelope,
        address: str,
        mail_options: list[str],
    ) -> str:
        owner = self._owner
        if owner.user is not None and not session.authenticated:
            return "530 5.7.0 Authentication required"
        if owner.refuse_mail is not None:
            return f"{owner.refuse_mail} Sender refused by the loopback server"
        envelope.mail_from = address
        envelope.mail_options.extend(mail_options)
        return "250 OK"

    async def handle_RCPT(  # noqa: N802
        self,
        server: SMTP,
        session: Session,
        envelope: Envelope,
        address: str,
        rcpt_options: list[str],
    ) -> str:
        if address.lower() in self._owner.refuse_recipients:
            return f"550 5.1.1 <{address}>: Recipient address rejected"
        envelope.rcpt_tos.append(address)
        envelope.rcpt_options.extend(rcpt_options)
        return "250 OK"

    async def handle_DATA(  # noqa: N802
        self, server: SMTP, session: Session, envelope: Envelope
    ) -> str:
        owner = self._owner
        if owner.refuse_data is not None:
            return f"{owner.refuse_data} Message refused by the loopback server"
        # What _authenticate accepted: a LoginPassword.
        auth_data: Any = session.auth_data
        login = auth_data.login.decode() if session.authenticated else None
        # aiosmtpd runs DATA only after MAIL, with the content read.
        assert envelope.mail_from is not None and envelope.original_content is not None
        owner.messages.append(
            ReceivedMessage(
                mail_from=envelope.mail_from,
                rcpt_tos=tuple(envelope.rcpt_tos),
                data=envelope.original_content,
                login=login,
                mail_options=tuple(envelope.mail_options),
            )
        )
        return "250 Message accepted for delivery"


def _drop_login_data_notice(record: logging.LogRecord) -> bool:
    # aiosmtpd warns about its own deprecated Session.login_data on every
    # successful AUTH, even when the caller never touches it.
    return "Session.login_data is deprecated" not in record.getMessage()


@functools.cache
def _controller_class() -> type:
    try:
        from aiosmtpd.controller import Controller
    except ModuleNotFoundError as exc:
        raise ModuleNotFoundError(
            "the loopback SMTP server needs aiosmtpd (pip install 'quillon[demo]')",
            name=exc.name,
        ) from exc
    from aiosmtpd.smtp import SMTP

    logging.getLogger("mail.log").addFilter(_drop_login_data_notice)

    class RecordingSMTP(SMTP):
        # Every byte the session reads; after STARTTLS, the decrypted ones.
        def __init__(self, *args: Any, transcript: bytearray, **kwargs: Any) -> None:
            super().__init__(*args, **kwargs)
            self._transcript = transcript

        def data_received(self, data: bytes) -> None:
            self._transcript += data
            super().data_received(data)

    class SocketController(Controller):
        # Serve on a socket bound beforehand to port 0, so the port is known
        # before the thread starts and no other process can take it meanwhile.
        def __init__(self, handler: Any, sock: socket.socket, **kwargs: Any) -> None:
            super().__init__(handler, hostname=LOOPBACK, port=sock.getsockname()[1], **kwargs)
            self._listening_socket = sock

        def factory(self) -> RecordingSMTP:
            transcript = bytearray()
            self.handler.transcripts.append(transcript)
            return RecordingSMTP(self.handler, transcript=transcript, **self.SMTP_kwargs)

        def _create_server(self) -> Awaitable[asyncio.AbstractServer]:
            return self.loop.create_server(
                self._factory_invoker, sock=self._listening_socket, ssl=self.ssl_context
            )

    return SocketController


class SmtpServer(_Peer):
    """An SMTP server that records what it accepts.

    ``starttls``: a server-side context; STARTTLS is offered and required
    before anything but EHLO, HELO, NOOP and QUIT, and AUTH is offered only
    after it. ``implicit_tls``: a server-side context for TLS from the first
    byte. With neither, the connection stays plain.
    ``user``/``password``: advertise AUTH (PLAIN, LOGIN) (over a plain
    connection too, unless ``starttls``), accept only this pair and refuse
    MAIL with 530 before a login. Without them AUTH is not advertised at all.
    ``refuse_recipients``: addresses refused at RCPT with 550.
    ``refuse_mail``, ``refuse_data``: reply code that refuses every MAIL or
    DATA command. ``smtputf8``: whether SMTPUTF8 is offered (and accepted).
    """

    def __init__(
        self,
        *,
        user: str | None = None,
        password: str | None = None,
        refuse_recipients: Collection[str] = (),
        refuse_mail: int | None = None,
        refuse_data: int | None = None,
        starttls: ssl.SSLContext | None = None,
        implicit_tls: ssl.SSLContext | None = None,
        smtputf8: bool = True,
        lifetime: float = 300.0,
    ) -> None:
        if (user is None) != (password is None):
            raise ValueError("give both user and password, or neither")
        if starttls is not None and implicit_tls is not None:
            raise ValueError("give starttls or implicit_tls, not both")
        self.user = user
        self.password = password
        self.refuse_recipients = frozenset(address.lower() for address in refuse_recipients)
        self.refuse_mail = refuse_mail
        self.refuse_data = refuse_data
        self.lifetime = lifetime
        self.messages: list[ReceivedMessage] = []
        # What each session read, in the order the sessions began (the first
        # is the controller's own check that the server is up).
        self.transcripts: list[bytearray] = []
        controller_class = _controller_class()
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.bind((LOOPBACK, 0))
        self._socket = sock
        self.port: int = sock.getsockname()[1]
        options: dict[str, Any] = {}
        if user is not None:
            # aiosmtpd counts only its own STARTTLS as TLS.
            options = {
                "auth_require_tls": starttls is not None,
                "authenticator": self._authenticate,
            }
        if starttls is not None:
            options |= {"tls_context": starttls, "require_starttls": True}
        self._controller = controller_class(
            _Handler(self),
            sock,
            ssl_context=implicit_tls,
            server_hostname="loopback.example",  # spares a getfqdn() look-up
            ready_timeout=5.0,
            timeout=30,
            enable_SMTPUTF8=smtputf8,
            **options,
        )
        self._timer: threading.Timer | None = None
        self._stop_lock = threading.Lock()
        self._stopped = False

    @property
    def server_text(self) -> str:
        """Host text for ``smtplib.SMTP(host=...)``, which takes the port from it."""
        return f"{LOOPBACK}:{self.port}"

    def start(self) -> Self:
        if self._timer is not None or self._stopped:
            raise RuntimeError("SmtpServer already started")
        self._controller.start()
        self._timer = threading.Timer(self.lifetime, self.stop)
        self._timer.daemon = True
        self._timer.start()
        return self

    def stop(self, timeout: float = 5.0) -> None:
        with self._stop_lock:
            if self._stopped:
                return
            self._stopped = True
        if self._timer is None:
            self._socket.close()
            return
        if threading.current_thread() is not self._timer:
            self._timer.cancel()
        # Controller.stop() joins its thread without a bound; run it aside.
        stopper = threading.Thread(target=self._controller.stop, daemon=True)
        stopper.start()
        stopper.join(timeout)
        if stopper.is_alive():
            raise RuntimeError(f"SmtpServer on port {self.port} did not stop in {timeout} s")

    @property
    def running(self) -> bool:
        return self._timer is not None and not self._stopped

    def _authenticate(
        self, server: SMTP, session: Session, envelope: Envelope, mechanism: str, auth_data: Any
    ) -> AuthResult:
        from aiosmtpd.smtp import AuthResult, LoginPassword

        accepted = (
            isinstance(auth_data, LoginPassword)
            and auth_data.login.decode() == self.user
            and auth_data.password.decode() == self.password
        )
        return AuthResult(success=accepted, handled=False, auth_data=auth_data)
