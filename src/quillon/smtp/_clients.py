"""The SMTP clients: smtplib's, with verified TLS, bounded waits, a masked
debug trace and the EHLO name looked up once per process."""

from __future__ import annotations

import datetime
import smtplib
import socket
import ssl
import sys
import threading
import time
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, Self

from quillon.smtp._pipeline import Pipelining

if TYPE_CHECKING:
    from _socket import _Address as _SourceAddress
    from smtplib import _AuthObject

    from _typeshed import SizedBuffer

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
