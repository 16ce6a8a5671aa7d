"""Loopback DNS and SMTP peers for the test suite and ``quillon demo``.

Both peers listen on 127.0.0.1 and a port the system picks, serve from a
background thread, stop when their ``with`` block ends and, as a safety net,
by themselves once ``lifetime`` seconds have passed.

``DnsServer`` answers from a small zone kept in memory; ``use_resolver``
points dnspython's default resolver at it. That default resolver is exactly
what ``email_validator.validate_email(..., check_deliverability=True,
timeout=N)`` uses: it calls ``dns.resolver.get_default_resolver()``, sets its
``lifetime`` to N (on the shared object, which is one more reason to swap
in a throw-away resolver) and asks, for the domain after the "@":

* MX. Non-null exchanges mean success; a null MX (``MX 0 .``) alone is
  "The domain name D does not accept email."
* Only when MX has no answer: A, then AAAA. Only globally reachable
  addresses count, so 10.x, 127.x, 192.0.2.x or 2001:db8:: behave like no
  record at all. An accepted A/AAAA is followed by TXT, where
  "v=spf1 -all" gives "The domain name D does not send email."
* NXDOMAIN at any step is "The domain name D does not exist."
* A time-out (a silent name; garbage replies too, which dnspython drops and
  keeps waiting), or no server giving a usable answer (SERVFAIL; a truncated
  UDP reply, since this server has no TCP side to retry on), lets the
  address through as valid: the library calls that "deliverability unknown"
  and leaves the result without an ``mx`` attribute.

Names to use in zones: anything under the reserved TLD ``example``
(``mx.example``, ``a-only.example``) or under example.com/.net/.org. The
library refuses before any DNS query a domain without a dot ("The part
after the @-sign is not valid. It should have a period.") and the
special-use names arpa, invalid, local, localhost, onion and test, and
everything under them ("The part after the @-sign is a special-use or
reserved name that cannot be used with email."). For the A/AAAA fallback to
pass, a zone must hold public addresses (``PUBLIC_IPV4``, ``PUBLIC_IPV6``);
nothing ever connects to them. ``DEFAULT_ZONE`` has one name per case above.

``SmtpServer`` wraps aiosmtpd's threaded controller and records every
message it accepts, and every byte each session read (after TLS). It serves
plain SMTP, STARTTLS or TLS from the first byte. aiosmtpd is imported only
when an ``SmtpServer`` is built, so this module imports without it.
"""

from __future__ import annotations

import contextlib
import email
import email.message
import enum
import functools
import logging
import socket
import ssl
import threading
import time
from collections.abc import Collection, Iterable, Iterator, Mapping
from dataclasses import dataclass
from typing import Any, Self

import dns.exception
import dns.flags
import dns.message
import dns.name
import dns.rcode
import dns.rdataclass
import dns.rdatatype
import dns.resolver
import dns.rrset

LOOPBACK = "127.0.0.1"

# Polling period of the DNS thread: how late it notices its lifetime is over.
_POLL = 0.05
# Replies kept for repeated questions (see DnsServer._reply).
_MAX_REPLIES = 100_000


class Fault(enum.Enum):
    """A misbehaviour a zone name can be given instead of its records."""

    SILENT = "silent"  # never answers
    SERVFAIL = "servfail"  # answers with rcode SERVFAIL
    TRUNCATED = "truncated"  # answers empty with the TC bit set
    GARBAGE = "garbage"  # answers with bytes that are no DNS message


# A zone maps a name to its records ({"MX": ["10 mail.mx.example."]}; a
# single text stands for a one-item list; {} is a name that exists with no
# records) or to a Fault. Names in record data are taken relative to the
# root, so the final dot is optional.
RecordTexts = Mapping[str, str | Iterable[str]]
Zone = Mapping[str, RecordTexts | Fault]

# Public addresses (the ones example.com once had), so that the A/AAAA
# fallback of email_validator accepts them.
PUBLIC_IPV4 = "93.184.215.14"
PUBLIC_IPV6 = "2606:2800:21f:cb07:6820:80da:af6b:8b2c"

MX_DOMAIN = "mx.example"
A_ONLY_DOMAIN = "a-only.example"
AAAA_ONLY_DOMAIN = "aaaa-only.example"
NULL_MX_DOMAIN = "null-mx.example"
NO_RECORDS_DOMAIN = "no-records.example"
PRIVATE_A_DOMAIN = "private-a.example"
SPF_REJECT_DOMAIN = "spf-reject.example"
SILENT_DOMAIN = "silent.example"
SERVFAIL_DOMAIN = "servfail.example"
TRUNCATED_DOMAIN = "truncated.example"
GARBAGE_DOMAIN = "garbage.example"
UNKNOWN_DOMAIN = "unknown.example"  # not in the zone: NXDOMAIN

DEFAULT_ZONE: Zone = {
    MX_DOMAIN: {"MX": ["10 mail.mx.example.", "20 backup.mx.example."]},
    "mail.mx.example": {"A": PUBLIC_IPV4},
    A_ONLY_DOMAIN: {"A": PUBLIC_IPV4},
    AAAA_ONLY_DOMAIN: {"AAAA": PUBLIC_IPV6},
    NULL_MX_DOMAIN: {"MX": "0 .", "A": PUBLIC_IPV4},
    NO_RECORDS_DOMAIN: {},
    PRIVATE_A_DOMAIN: {"A": "10.0.0.25"},
    SPF_REJECT_DOMAIN: {"A": PUBLIC_IPV4, "TXT": "v=spf1 -all"},
    SILENT_DOMAIN: Fault.SILENT,
    SERVFAIL_DOMAIN: Fault.SERVFAIL,
    TRUNCATED_DOMAIN: Fault.TRUNCATED,
    GARBAGE_DOMAIN: Fault.GARBAGE,
}


def _rdata_text(rdtype: dns.rdatatype.RdataType, text: str) -> str:
    # A bare TXT text would be split at its blanks into several strings;
    # "v=spf1 -all" is meant as one.
    if rdtype == dns.rdatatype.TXT and not text.startswith('"'):
        return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'
    return text


def _compile_zone(
    zone: Zone,
) -> dict[dns.name.Name, dict[dns.rdatatype.RdataType, dns.rrset.RRset] | Fault]:
    compiled: dict[dns.name.Name, dict[dns.rdatatype.RdataType, dns.rrset.RRset] | Fault] = {}
    for text_name, entry in zone.items():
        name = dns.name.from_text(text_name)
        if isinstance(entry, Fault):
            compiled[name] = entry
            continue
        rrsets = {}
        for type_text, texts in entry.items():
            rdtype = dns.rdatatype.from_text(type_text)
            items = [texts] if isinstance(texts, str) else list(texts)
            rrsets[rdtype] = dns.rrset.from_text_list(
                name, 300, dns.rdataclass.IN, rdtype,
                [_rdata_text(rdtype, text) for text in items],
                origin=dns.name.root, relativize=False,
            )
        compiled[name] = rrsets
    return compiled


class _Peer:
    """Context-manager plumbing shared by both servers."""

    def __enter__(self) -> Self:
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    def start(self) -> Self:
        raise NotImplementedError

    def stop(self, timeout: float = 5.0) -> None:
        raise NotImplementedError


class DnsServer(_Peer):
    """An authoritative UDP name server for one in-memory zone."""

    def __init__(self, zone: Zone = DEFAULT_ZONE, *, lifetime: float = 300.0) -> None:
        self.lifetime = lifetime
        self._stopping = threading.Event()
        self._thread: threading.Thread | None = None
        self._failure: BaseException | None = None
        self._zone = _compile_zone(zone)
        # Reply (without its id) and question by query (without its id): a
        # resolver asks the same question in the same bytes, and answering it
        # again from the wire costs a hundred times more than the look-up.
        self._replies: dict[bytes, tuple[tuple[str, str], bytes | None]] = {}
        # (name without final dot, type) of every query, in arrival order.
        self.queries: list[tuple[str, str]] = []
        self._socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self._socket.bind((LOOPBACK, 0))
        self._socket.settimeout(_POLL)
        self.port: int = self._socket.getsockname()[1]

    def start(self) -> Self:
        if self._thread is not None:
            raise RuntimeError("DnsServer already started")
        self._thread = threading.Thread(
            target=self._serve, name=f"quillon-dns-{self.port}", daemon=True
        )
        self._thread.start()
        return self

    def stop(self, timeout: float = 5.0) -> None:
        self._stopping.set()
        if self._thread is not None:
            # An empty datagram wakes the thread now rather than at its next poll.
            with contextlib.suppress(OSError):
                self._socket.sendto(b"", (LOOPBACK, self.port))
            self._thread.join(timeout)
            if self._thread.is_alive():
                raise RuntimeError(f"DnsServer on port {self.port} did not stop in {timeout} s")
        self._socket.close()
        if self._failure is not None:
            # Surface a fault of the server itself in the test that used it,
            # instead of as time-outs on the client side.
            raise RuntimeError(f"DnsServer on port {self.port} failed") from self._failure

    @property
    def running(self) -> bool:
        return self._thread is not None and self._thread.is_alive()

    def make_resolver(self) -> dns.resolver.Resolver:
        """A resolver that asks this server only, with no search list and no cache."""
        resolver = dns.resolver.Resolver(configure=False)
        resolver.nameservers = [LOOPBACK]
        resolver.port = self.port
        resolver.domain = dns.name.root
        resolver.search = []
        resolver.use_search_by_default = False
        resolver.cache = None
        return resolver

    def _serve(self) -> None:
        deadline = time.monotonic() + self.lifetime
        while not self._stopping.is_set() and time.monotonic() < deadline:
            try:
                wire, peer = self._socket.recvfrom(65535)
            except TimeoutError:
                continue
            except OSError:
                break
            try:
                reply = self._reply(wire)
            except Exception as exc:
                self._failure = exc
                break
            if reply is not None:
                with contextlib.suppress(OSError):
                    self._socket.sendto(reply, peer)

    def _reply(self, wire: bytes) -> bytes | None:
        known = self._replies.get(wire[2:])
        if known is not None:
            question, reply = known
            self.queries.append(question)
            return None if reply is None else wire[:2] + reply
        asked = len(self.queries)
        reply = self._build_reply(wire)
        # Only a well-formed question is worth keeping: one that was recorded.
        if len(self.queries) > asked and len(self._replies) < _MAX_REPLIES:
            self._replies[wire[2:]] = (self.queries[-1], None if reply is None else reply[2:])
        return reply

    def _build_reply(self, wire: bytes) -> bytes | None:
        try:
            query = dns.message.from_wire(wire)
        except dns.exception.DNSException:
            return None
        response = dns.message.make_response(query)
        response.flags |= dns.flags.AA
        if not query.question:
            response.set_rcode(dns.rcode.FORMERR)
            return response.to_wire()
        question = query.question[0]
        self.queries.append(
            (question.name.to_text(omit_final_dot=True), dns.rdatatype.to_text(question.rdtype))
        )
        entry = self._zone.get(question.name)
        if entry is Fault.SILENT:
            return None
        if entry is Fault.GARBAGE:
            # The query's id and a response header claiming far more sections
            # than follow: unmistakably meant for the client, and unparsable.
            return wire[:2] + b"\x84\x00\xff\xff\xff\xff" + b"\x00\x01garbage"
        if entry is Fault.SERVFAIL:
            response.set_rcode(dns.rcode.SERVFAIL)
        elif entry is Fault.TRUNCATED:
            response.flags |= dns.flags.TC
        elif entry is not None:
            rrset = entry.get(question.rdtype)
            if rrset is not None:
                response.answer.append(rrset)
        elif not any(name.is_subdomain(question.name) for name in self._zone):
            # A name with names below it exists even without records of its
            # own; only a name with nothing at or below it does not.
            response.set_rcode(dns.rcode.NXDOMAIN)
        return response.to_wire()


@contextlib.contextmanager
def use_resolver(server: DnsServer) -> Iterator[dns.resolver.Resolver]:
    """Make dnspython's default resolver ask ``server`` for the block's duration."""
    previous = dns.resolver.default_resolver
    resolver = server.make_resolver()
    dns.resolver.default_resolver = resolver
    try:
        yield resolver
    finally:
        dns.resolver.default_resolver = previous


@dataclass(frozen=True)
class ReceivedMessage:
    """One message as the SMTP server accepted it."""

    mail_from: str
    rcpt_tos: tuple[str, ...]
    data: bytes
    login: str | None  # the user that authenticated, None without AUTH

    @property
    def message(self) -> email.message.Message:
        # The compat32 policy keeps header values exactly as they came over
        # the wire; the modern one would re-render address lists.
        return email.message_from_bytes(self.data)


class _Handler:
    """aiosmtpd hooks: the refusals asked for, and the record of messages."""

    def __init__(self, owner: SmtpServer) -> None:
        self._owner = owner
        self.transcripts = owner.transcripts

    async def handle_MAIL(self, server, session, envelope, address, mail_options):  # noqa: N802
        owner = self._owner
        if owner.user is not None and not session.authenticated:
            return "530 5.7.0 Authentication required"
        if owner.refuse_mail is not None:
            return f"{owner.refuse_mail} Sender refused by the loopback server"
        envelope.mail_from = address
        envelope.mail_options.extend(mail_options)
        return "250 OK"

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):  # noqa: N802
        if address.lower() in self._owner.refuse_recipients:
            return f"550 5.1.1 <{address}>: Recipient address rejected"
        envelope.rcpt_tos.append(address)
        envelope.rcpt_options.extend(rcpt_options)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):  # noqa: N802
        owner = self._owner
        if owner.refuse_data is not None:
            return f"{owner.refuse_data} Message refused by the loopback server"
        login = session.auth_data.login.decode() if session.authenticated else None
        owner.messages.append(
            ReceivedMessage(
                mail_from=envelope.mail_from,
                rcpt_tos=tuple(envelope.rcpt_tos),
                data=envelope.original_content,
                login=login,
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

        def factory(self):
            transcript = bytearray()
            self.handler.transcripts.append(transcript)
            return RecordingSMTP(self.handler, transcript=transcript, **self.SMTP_kwargs)

        def _create_server(self):
            return self.loop.create_server(self._factory_invoker, sock=self._listening_socket,
                                           ssl=self.ssl_context)

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
    DATA command.
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
            options = {"auth_require_tls": starttls is not None,
                       "authenticator": self._authenticate}
        if starttls is not None:
            options |= {"tls_context": starttls, "require_starttls": True}
        self._controller = controller_class(
            _Handler(self), sock, ssl_context=implicit_tls,
            server_hostname="loopback.example",  # spares a getfqdn() look-up
            ready_timeout=5.0, timeout=30, **options,
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

    def _authenticate(self, server, session, envelope, mechanism, auth_data):
        from aiosmtpd.smtp import AuthResult, LoginPassword

        accepted = (
            isinstance(auth_data, LoginPassword)
            and auth_data.login.decode() == self.user
            and auth_data.password.decode() == self.password
        )
        return AuthResult(success=accepted, handled=False, auth_data=auth_data)
