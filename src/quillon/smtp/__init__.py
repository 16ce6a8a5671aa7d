"""SMTP clients for ``quillon.email.SMTP``: TLS for real providers, kept
connections for many sends, an outbox for tests.

``Email.send`` creates its client as ``quillon.email.SMTP(host=server)`` and
looks that name up at every send, so choosing a client means binding it::

    import quillon.email, quillon.smtp
    quillon.email.SMTP = quillon.smtp.StartTLS      # port 587, most providers
    Email("smtp.example.org:587", "me", password, ...).send()

A plain assignment like this one is process-wide: bind once at start-up.
``using`` and ``outbox`` choose a client for the length of a block and for
the caller's context only: the thread or asyncio task that enters the block,
the tasks it creates meanwhile (they copy its context) and whatever it runs
through ``contextvars.copy_context().run`` or ``asyncio.to_thread``. A thread
started with ``threading.Thread`` (a ``Timer``, an executor's worker) starts
from an empty context and sends through the plain binding, unless it is
given a copy of the caller's context: its target run in one, or, from
Python 3.14, ``context=`` or the interpreter's ``thread_inherit_context``
flag (on by default in free-threaded builds). Other threads and tasks keep
sending through what is bound outside any block: an outbox in one thread
swallows no other thread's mail, and a plain client chosen in one thread
carries no other thread's password.

With ``everywhere=True`` a block serves the whole process instead: every
thread and task without a block of its own, whatever context it started
from. That is the form for tests (``outbox(everywhere=True)``, the pytest
fixture ``quillon_outbox``) and for work fanned out to threads.

``Pool`` keeps connections open for many sends; bind it like any client::

    quillon.email.SMTP = quillon.smtp.Pool(quillon.smtp.StartTLS)
"""

from __future__ import annotations

import contextlib
import contextvars
import datetime
import email.message
import email.utils
import smtplib
import socket
import ssl
import sys
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Literal, Self

from quillon._international import transfer_form
from quillon.smtp._pipeline import Pipelining
from quillon.smtp._pool import DeliveryUnknown, Pool
from quillon._seams import Seam

if TYPE_CHECKING:
    from _socket import _Address as _SourceAddress
    from smtplib import _AuthObject

    from _typeshed import SizedBuffer

__all__ = [
    "DeliveryUnknown",
    "ImplicitTLS",
    "MessageTooLarge",
    "Plain",
    "Pool",
    "Sent",
    "StartTLS",
    "StartTLSNotOffered",
    "outbox",
    "using",
]

# What replaces the credentials in the debug output of the AUTH exchange.
MASK = "****"

DEFAULT_TIMEOUT = 30.0

# How long the first connection of the process waits for this host's name.
LOCAL_NAME_WAIT = 1.0


class StartTLSNotOffered(smtplib.SMTPNotSupportedError):
    """The server does not offer STARTTLS, so nothing was sent."""


class MessageTooLarge(smtplib.SMTPSenderRefused):
    """The server refused the message for its size (552 to MAIL FROM with SIZE=).

    ``size``: the bytes the message takes; ``limit``: the largest the server
    said it accepts (its EHLO SIZE), None when it named none.
    """

    def __init__(
        self, code: int, msg: bytes, sender: str, size: int, limit: int | None = None
    ) -> None:
        super().__init__(code, msg, sender)
        self.size = size
        self.limit = limit

    def __reduce__(self) -> tuple[Any, ...]:
        return type(self), (self.smtp_code, self.smtp_error, self.sender, self.size, self.limit)

    def __str__(self) -> str:
        limit = f" (at most {self.limit} bytes)" if self.limit else ""
        return f"the message ({self.size} bytes) is larger than the server accepts{limit}"


class _LocalName:
    """The name this host gives in EHLO, looked up once per process.

    smtplib calls ``socket.getfqdn()`` at every connection that names no
    host of its own, and where the host name is missing from the hosts file
    that waits for the resolver's time-outs, seconds each time, outside any
    time-out of ours. Here one thread looks it up; connections wait for it
    until ``LOCAL_NAME_WAIT`` seconds after it began, then go on as
    "localhost" (and take the name if it comes later).
    """

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._found = threading.Event()
        self._name: str | None = None
        self._deadline: float | None = None

    def get(self) -> str:
        with self._lock:
            if self._deadline is None:
                self._deadline = time.monotonic() + LOCAL_NAME_WAIT
                threading.Thread(
                    target=self._look_up, name="quillon local name", daemon=True
                ).start()
            deadline = self._deadline
        self._found.wait(max(0.0, deadline - time.monotonic()))
        return self._name or "localhost"

    def _look_up(self) -> None:
        # smtplib's rule: the full name when it has a dot, else the address
        # as a literal.
        try:
            name = socket.getfqdn()
            if "." not in name:
                name = f"[{socket.gethostbyname(socket.gethostname())}]"
        except (OSError, UnicodeError):
            name = ""
        if name.isascii():
            self._name = name
        self._found.set()


_local_name = _LocalName()


class _ThisHost:
    """``local_hostname`` on the class: the name of this host (see _LocalName)."""

    def __get__(self, instance: object, owner: type | None = None) -> str:
        return _local_name.get()


def _verifying(context: ssl.SSLContext | None) -> ssl.SSLContext:
    # smtplib's own default context checks neither the certificate nor the
    # host name; the standard default context checks both.
    return context if context is not None else ssl.create_default_context()


class Plain(Pipelining):
    """``smtplib.SMTP`` (no TLS) with what the TLS clients add to it.

    Waits are bounded by the class attribute ``timeout`` (30 seconds), the
    debug output (``debuglevel``) shows the AUTH exchange with the
    credentials masked, and the host is split from a "HOST:PORT" text before
    TLS uses it as the server name.

    ``local_hostname``, the name given in EHLO: this host's, looked up once
    per process and waited for at most a second ("localhost" meanwhile); a
    subclass may set a name of its own. A wrong password ends the login at
    the server's first 535, instead of trying every other mechanism with it.
    A message over the server's size limit raises ``MessageTooLarge``.
    Where the server offers PIPELINING the commands of a message go out in
    one write, and with CHUNKING the message with them (see _pipeline).
    """

    timeout: float = DEFAULT_TIMEOUT
    local_hostname = _ThisHost()
    _auth_mechanism: str | None = None
    _logging_in = False
    _declared_size: int | None = None

    def __init__(
        self,
        host: str = "",
        port: int = 0,
        local_hostname: str | None = None,
        timeout: float | None = None,
        source_address: _SourceAddress | None = None,
    ) -> None:
        """Connect when ``host`` is given; ``timeout`` None means the class's."""
        # Not super(): for ImplicitTLS the next class is SMTP_SSL, whose
        # __init__ would replace the verifying context with smtplib's own.
        smtplib.SMTP.__init__(
            self,
            host,
            port,
            self.local_hostname if local_hostname is None else local_hostname,
            timeout=self.timeout if timeout is None else timeout,
            source_address=source_address,
        )

    def connect(
        self,
        host: str = "localhost",
        port: int = 0,
        source_address: _SourceAddress | None = None,
    ) -> tuple[int, bytes]:
        # smtplib splits "HOST:PORT" itself, but only after it has kept the
        # whole text as the name that TLS checks the certificate against and
        # sends as SNI. The same rule as smtplib's: exactly one ":".
        if not port and host.count(":") == 1:
            host, _, port_text = host.partition(":")
            try:
                port = int(port_text)
            except ValueError:
                raise OSError("nonnumeric port") from None
        self._host = host
        return super().connect(host, port, source_address)

    def login(
        self,
        user: str,
        password: str,
        *,
        initial_response_ok: bool = True,
    ) -> tuple[int, bytes]:
        # smtplib tries the next mechanism after any refusal; after a 535
        # (credentials invalid) that is one more failed login counted
        # towards the server's lock-out, with the same password.
        self._logging_in = True
        try:
            return super().login(user, password, initial_response_ok=initial_response_ok)
        except _CredentialsRefusedError as refused:
            raise refused.error from None
        finally:
            self._logging_in = False

    def auth(
        self,
        mechanism: str,
        authobject: _AuthObject,
        *,
        initial_response_ok: bool = True,
    ) -> tuple[int, bytes]:
        self._auth_mechanism = mechanism.upper()
        try:
            return super().auth(mechanism, authobject, initial_response_ok=initial_response_ok)
        except smtplib.SMTPAuthenticationError as exc:
            if self._logging_in and exc.smtp_code == 535:
                raise _CredentialsRefusedError(exc) from None
            raise
        finally:
            self._auth_mechanism = None

    def mail(self, sender: str, options: Sequence[str] = ()) -> tuple[int, bytes]:
        self._declared_size = next(
            (
                int(option[5:])
                for option in options
                if option[:5].lower() == "size=" and option[5:].isdigit()
            ),
            None,
        )
        return super().mail(sender, options)

    def sendmail(
        self,
        from_addr: str,
        to_addrs: str | Sequence[str],
        msg: SizedBuffer | str,
        mail_options: Sequence[str] = (),
        rcpt_options: Sequence[str] = (),
    ) -> dict[str, tuple[int, bytes]]:
        try:
            return super().sendmail(from_addr, to_addrs, msg, mail_options, rcpt_options)
        except smtplib.SMTPSenderRefused as exc:
            # 552 to a MAIL FROM that declared the size: the size is why.
            size = self._declared_size
            if exc.smtp_code != 552 or size is None:
                raise
            limit = self.esmtp_features.get("size", "")
            raise MessageTooLarge(
                exc.smtp_code,
                exc.smtp_error,
                exc.sender,
                size,
                int(limit) if limit.isdigit() and int(limit) else None,
            ) from None

    def _print_debug(self, *args: object) -> None:
        # smtplib prints every line it sends, and the lines of the AUTH
        # exchange are the credentials in base64. The AUTH command keeps its
        # mechanism; every other line of the exchange is masked whole.
        if self._auth_mechanism is not None and args[:1] == ("send:",):
            line = str(args[1]) if len(args) > 1 else ""
            shown = f"AUTH {self._auth_mechanism} {MASK}" if line.startswith("'AUTH ") else MASK
            args = ("send:", repr(f"{shown}\r\n"))
        if self.debuglevel > 1:
            args = (datetime.datetime.now().time(), *args)
        print(*args, file=sys.stderr)


class _CredentialsRefusedError(Exception):
    """Carries a 535 past smtplib's loop over the mechanisms (see Plain.login)."""

    def __init__(self, error: smtplib.SMTPAuthenticationError) -> None:
        super().__init__(error)
        self.error = error


class StartTLS(Plain):
    """SMTP upgraded with STARTTLS before anything else is said (port 587).

    Entering the ``with`` block upgrades the connection, verifying the
    server's certificate and host name. A server that does not offer
    STARTTLS gets ``StartTLSNotOffered``, and one whose certificate does not
    check out an ``ssl.SSLCertVerificationError``; either way the socket is
    closed and nothing has been sent, neither credentials nor message.

    Settings are class attributes, since ``Email.send`` passes ``host=``
    alone; set them on a subclass::

        class Mine(StartTLS):
            context = ssl.create_default_context(cafile="ca.pem")
            timeout = 10

    ``context``: the ``ssl.SSLContext`` to use; None means
    ``ssl.create_default_context()`` (system CAs, host name checked).
    ``timeout``: seconds allowed for connecting and for each read (30).
    """

    context: ssl.SSLContext | None = None

    def __enter__(self) -> Self:
        # `with` calls __exit__ only once __enter__ has returned.
        try:
            self.ehlo_or_helo_if_needed()
            if not self.has_extn("starttls"):
                raise StartTLSNotOffered(
                    "the server does not offer STARTTLS: nothing was sent, so that "
                    "neither the login nor the message crossed the network in clear"
                )
            self.starttls(context=_verifying(self.context))
        except BaseException:
            self.close()
            raise
        return self


class ImplicitTLS(Plain, smtplib.SMTP_SSL):
    """SMTP inside TLS from the first byte (port 465, the default here).

    The certificate and host name are verified while connecting, so a
    failure raises from the constructor with the socket already closed.
    ``context`` and ``timeout`` are class attributes, as for ``StartTLS``.
    """

    # None on the class, a verifying context on every instance.
    context: ssl.SSLContext | None = None  # type: ignore[assignment]

    def __init__(
        self,
        host: str = "",
        port: int = 0,
        local_hostname: str | None = None,
        timeout: float | None = None,
        source_address: _SourceAddress | None = None,
    ) -> None:
        self.context = _verifying(self.context)
        super().__init__(host, port, local_hostname, timeout, source_address)


@dataclass(eq=False)
class _Block:
    client: Callable[..., object]
    # An outbox sends nothing: while one is open everywhere, it takes the
    # sends that any other client would make (see _ChosenClient.client).
    outbox: bool = False
    open: bool = True


# The blocks the context is inside, innermost last. A block that has ended
# is marked closed as well as removed, so that a task that outlives the
# block it was started in (and holds a copy of the tuple) stops using it.
_blocks: contextvars.ContextVar[tuple[_Block, ...]] = contextvars.ContextVar(
    "quillon.smtp.blocks", default=()
)


class _ChosenClient:
    """What ``quillon.email.SMTP`` holds while a block is open anywhere."""

    def __init__(self) -> None:
        self.outside: Callable[..., object] = smtplib.SMTP
        # The open everywhere-blocks in the order they were entered: replaced
        # whole under _seam.lock, read without it.
        self.everywhere: tuple[_Block, ...] = ()

    def __call__(self, *args: Any, **kwargs: Any) -> object:
        return self.client()(*args, **kwargs)

    def client(self) -> Callable[..., object]:
        """The client of the caller's innermost open block; without one, of
        the everywhere-block entered last of those still open; without any,
        the binding outside every block. An everywhere outbox takes every
        send that would otherwise go to something other than an outbox."""
        own = next((block for block in reversed(_blocks.get()) if block.open), None)
        if own is not None and own.outbox:
            return own.client
        everywhere = [block for block in self.everywhere if block.open]
        catching = next((block for block in reversed(everywhere) if block.outbox), None)
        chosen = catching or own or (everywhere[-1] if everywhere else None)
        return self.outside if chosen is None else chosen.client

    def __repr__(self) -> str:
        return f"<the client of the caller's or an everywhere using() block, else {self.outside!r}>"


_chosen = _ChosenClient()


def _bind_chosen(bound: Callable[..., object]) -> _ChosenClient | None:
    if bound is _chosen:
        return None
    # The first block, or one after a plain assignment: that binding is what
    # a context outside every block keeps using.
    _chosen.outside = bound
    return _chosen


# quillon.email.SMTP, the one global of another module that this one rebinds.
_seam = Seam(
    "quillon.email",
    "SMTP",
    install=_bind_chosen,
    restore=lambda bound: _chosen.outside if bound is _chosen else None,
)


@contextlib.contextmanager
def using(client: Callable[..., object], *, everywhere: bool = False) -> Iterator[None]:
    """Send through ``client`` for the block: in the caller's context, or
    with ``everywhere=True`` wherever no other block is open.

    Sends of the thread or task that entered the block, and of what it
    starts in a copy of its context (see the module's docstring), create
    ``client(host=server)``; everyone else's go on as before. Blocks nest
    and may end in any order. Once no block is open anywhere,
    ``quillon.email.SMTP`` is again what it was before the first one.

    ``everywhere=True``: ``client`` also serves, for the length of the
    block, every thread and task of the process that has no block of its
    own, such as an executor's workers, over whatever served them before.
    Such blocks may overlap and end in any order: while several are open,
    the one entered last serves, and when it ends the one before it again.
    While an everywhere outbox is open, it takes the sends of every block
    but another outbox (see ``outbox``).

    A plain assignment to ``quillon.email.SMTP`` while blocks are open
    overrides them all at once, as it always did, until a block is next
    entered: from then on it is what contexts outside every block use. It
    stays bound after the blocks end.
    """
    block = _Block(client, outbox=isinstance(client, _Outbox))
    with _seam.lock:
        _seam.enter()
        if everywhere:
            _chosen.everywhere = (*_chosen.everywhere, block)
    _blocks.set((*_blocks.get(), block))
    try:
        yield
    finally:
        block.open = False
        _blocks.set(tuple(other for other in _blocks.get() if other.open))
        with _seam.lock:
            _chosen.everywhere = tuple(other for other in _chosen.everywhere if other.open)
            _seam.leave()


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
    with using(box, everywhere=everywhere):
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
        sender, recipients = _envelope(msg, from_addr, to_addrs)
        if not recipients:
            # What smtplib raises once the server has heard MAIL FROM.
            raise smtplib.SMTPRecipientsRefused({})
        self._box.add(Sent(msg, sender, recipients, _wire_form(msg, sender, recipients)))
        return {}


def _envelope(
    msg: email.message.Message,
    from_addr: str | None = None,
    to_addrs: str | Sequence[str] | None = None,
) -> tuple[str, list[str]]:
    """The envelope sender and recipients ``smtplib.SMTP.send_message`` uses.

    The same headers, in the same order (To, Bcc, Cc), read by the same
    parser, so that whatever smtplib makes of an odd address, this does too.
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


def _wire_form(msg: email.message.Message, sender: str, recipients: Sequence[str]) -> bytes:
    # As send_message serialises, so that a message it cannot serialise fails
    # here too, on a server that offers SMTPUTF8, as the large providers do.
    return transfer_form(msg, sender, recipients, smtputf8=True)[1]
