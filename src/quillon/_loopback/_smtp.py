"""A loopback SMTP server recording what it accepts, with failing modes
to turn on one by one and counts of what it saw.

aiosmtpd is imported only when an ``SmtpServer`` is built, so the package
imports without it: the connection's side, which needs it, lives in
``_smtp_connection``.
"""

from __future__ import annotations

import email
import email.message
import functools
import socket
import ssl
import threading
from collections.abc import Collection, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Self

from quillon._loopback._peer import LOOPBACK, _Peer
from quillon._message_view import parse_wire

if TYPE_CHECKING:
    from aiosmtpd.smtp import AuthResult, Envelope, Session

    from quillon._loopback._smtp_connection import Connection, SocketController


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
    """aiosmtpd hooks: the refusals and failing modes asked for, and the
    record of messages."""

    def __init__(self, owner: SmtpServer) -> None:
        self._owner = owner

    async def handle_EHLO(  # noqa: N802
        self,
        server: Connection,
        session: Session,
        envelope: Envelope,
        hostname: str,
        responses: list[str],
    ) -> list[str]:
        session.host_name = hostname
        offers = [f"250-{keyword}" for keyword in self._owner.offers]
        return responses[:1] + offers + responses[1:]

    async def handle_MAIL(  # noqa: N802
        self,
        server: Connection,
        session: Session,
        envelope: Envelope,
        address: str,
        mail_options: list[str],
    ) -> str:
        owner = self._owner
        if owner.accounts is not None and not session.authenticated:
            return "530 5.7.0 Authentication required"
        if server.kept == owner.drop_mail_after:
            assert server.transport is not None
            server.transport.close()  # nothing of the reply goes out
            return "250 unseen"
        if server.kept == owner.refuse_mail_after:
            server.close_after_reply()
            return "421 4.7.0 Too many messages on this connection"
        if owner.refuse_mail is not None:
            return f"{owner.refuse_mail} Sender refused by the loopback server"
        envelope.mail_from = address
        envelope.mail_options.extend(mail_options)
        return "250 OK"

    async def handle_RCPT(  # noqa: N802
        self,
        server: Connection,
        session: Session,
        envelope: Envelope,
        address: str,
        rcpt_options: list[str],
    ) -> str:
        owner = self._owner
        if address.lower() in owner.refuse_recipients:
            if owner.careless:
                envelope.rcpt_tos.append(address)
            return f"550 5.1.1 <{address}>: Recipient address rejected"
        envelope.rcpt_tos.append(address)
        envelope.rcpt_options.extend(rcpt_options)
        return "250 OK"

    async def handle_DATA(  # noqa: N802
        self, server: Connection, session: Session, envelope: Envelope
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
        server.kept += 1
        if len(owner.messages) in owner.drop_after_data:
            assert server.transport is not None
            server.transport.close()  # kept, and no reply goes out
        elif server.kept == owner.close_after:
            server.close_after_reply()
        return "250 Message accepted for delivery"


@functools.cache
def _controller_class() -> type[SocketController]:
    try:
        from quillon._loopback._smtp_connection import SocketController
    except ModuleNotFoundError as exc:
        raise ModuleNotFoundError(
            "the loopback SMTP server needs aiosmtpd (pip install 'quillon[demo]')",
            name=exc.name,
        ) from exc
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
    ``accounts``: user to password, several pairs in place of one.
    ``refuse_recipients``: addresses refused at RCPT with 550 (with
    ``careless``, kept in the envelope all the same, so that DATA gets 354).
    ``refuse_mail``, ``refuse_data``: reply code that refuses every MAIL or
    DATA command. ``smtputf8``: whether SMTPUTF8 is offered (and accepted).
    ``offers``: EHLO keywords to add, such as PIPELINING; CHUNKING makes the
    server take BDAT as well.

    The failing modes, all off by default:
    ``close_after``: close each connection after answering its k-th message.
    ``refuse_mail_after``: on a connection that took k messages, answer the
    next MAIL with 421 and close. ``drop_mail_after``: the same, with no
    answer at all. ``drop_after_data``: numbers (from 1, over the whole
    server) of the messages after whose data the connection closes before
    the reply; the message is kept. ``drop_data_command``: numbers (from 1,
    over the whole server) of the DATA commands at which the connection
    closes, before the message. ``most_connections``: a new connection
    beyond that many open ones is greeted with 421 and closed.
    ``silent_quit``: QUIT gets no answer.

    What it saw: ``messages``, each message kept, in arrival order, and
    ``kept``, their (Subject, login) pairs; ``transcripts``, what each
    connection read; ``logins``, the successful logins of each connection
    that said EHLO; ``most_open``, the most such connections open at once;
    ``reads``, how many times a connection read from its socket after its
    EHLO; ``refused``, the connections greeted with 421; ``ended``, the
    connections that said EHLO and were closed since; ``quits``, the QUIT
    commands; ``data_commands``, the DATA commands.
    """

    def __init__(
        self,
        *,
        user: str | None = None,
        password: str | None = None,
        accounts: Mapping[str, str] | None = None,
        refuse_recipients: Collection[str] = (),
        careless: bool = False,
        refuse_mail: int | None = None,
        refuse_data: int | None = None,
        starttls: ssl.SSLContext | None = None,
        implicit_tls: ssl.SSLContext | None = None,
        smtputf8: bool = True,
        offers: Collection[str] = (),
        close_after: int | None = None,
        refuse_mail_after: int | None = None,
        drop_mail_after: int | None = None,
        drop_after_data: Collection[int] = (),
        drop_data_command: Collection[int] = (),
        most_connections: int | None = None,
        silent_quit: bool = False,
        lifetime: float = 300.0,
    ) -> None:
        if (user is None) != (password is None):
            raise ValueError("give both user and password, or neither")
        if user is not None and accounts is not None:
            raise ValueError("give user and password, or accounts, not both")
        if starttls is not None and implicit_tls is not None:
            raise ValueError("give starttls or implicit_tls, not both")
        self.user = user
        self.password = password
        if user is not None and password is not None:
            accounts = {user: password}
        self.accounts = None if accounts is None else dict(accounts)
        self.refuse_recipients = frozenset(address.lower() for address in refuse_recipients)
        self.careless = careless
        self.refuse_mail = refuse_mail
        self.refuse_data = refuse_data
        self.offers = tuple(offers)
        self.close_after = close_after
        self.refuse_mail_after = refuse_mail_after
        self.drop_mail_after = drop_mail_after
        self.drop_after_data = frozenset(drop_after_data)
        self.drop_data_command = frozenset(drop_data_command)
        self.most_connections = most_connections
        self.silent_quit = silent_quit
        self.lifetime = lifetime
        self.messages: list[ReceivedMessage] = []
        # What each connection read, in the order they began (the first is
        # the controller's own check that the server is up).
        self.transcripts: list[bytearray] = []
        self.logins: list[int] = []
        self.most_open = self.reads = self.refused = self.ended = 0
        self.quits = self.data_commands = 0
        self.connected: set[Connection] = set()  # not turned away, and not closed yet
        self.opened: set[Connection] = set()  # those that said EHLO
        controller_class = _controller_class()
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.bind((LOOPBACK, 0))
        self._socket = sock
        self.port: int = sock.getsockname()[1]
        options: dict[str, Any] = {}
        if self.accounts is not None:
            # aiosmtpd counts only its own STARTTLS as TLS.
            options = {
                "auth_require_tls": starttls is not None,
                "authenticator": self._authenticate,
            }
        if starttls is not None:
            options |= {"tls_context": starttls, "require_starttls": True}
        self._controller = controller_class(
            self,
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
    def kept(self) -> list[tuple[str | None, str | None]]:
        """(Subject, login) of each message kept, in arrival order."""
        return [(received.message["Subject"], received.login) for received in self.messages]

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
        self,
        server: Connection,
        session: Session,
        envelope: Envelope,
        mechanism: str,
        auth_data: Any,
    ) -> AuthResult:
        from aiosmtpd.smtp import AuthResult, LoginPassword

        assert self.accounts is not None  # the authenticator only with accounts
        accepted = (
            isinstance(auth_data, LoginPassword)
            and self.accounts.get(auth_data.login.decode()) == auth_data.password.decode()
        )
        if accepted and server.number is not None:
            self.logins[server.number] += 1
        return AuthResult(success=accepted, handled=False, auth_data=auth_data)
