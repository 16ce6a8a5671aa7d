"""A loopback DNS server answering from a zone kept in memory.

What email_validator asks of it, and what each answer means to a check, is
told in the package's docstring.
"""

from __future__ import annotations

import contextlib
import enum
import heapq
import socket
import threading
import time
from collections.abc import Iterable, Iterator, Mapping
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

from quillon._loopback._peer import LOOPBACK, _Peer

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
    YXDOMAIN = "yxdomain"  # answers with rcode YXDOMAIN, which dnspython raises as is


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
                name,
                300,
                dns.rdataclass.IN,
                rdtype,
                [_rdata_text(rdtype, text) for text in items],
                origin=dns.name.root,
                relativize=False,
            )
        compiled[name] = rrsets
    return compiled


class DnsServer(_Peer):
    """An authoritative UDP name server for one in-memory zone.

    ``latency``: seconds each reply is held back, as a server further away
    would take; the replies to questions asked meanwhile are held alongside,
    so that questions asked at once are answered at once.
    """

    def __init__(
        self, zone: Zone = DEFAULT_ZONE, *, lifetime: float = 300.0, latency: float = 0.0
    ) -> None:
        if not latency >= 0:
            raise ValueError(f"latency must be at least 0, not {latency}")
        self.lifetime = lifetime
        self.latency = latency
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
        # Replies held back: (when due, arrival number, reply, peer).
        held: list[tuple[float, int, bytes, Any]] = []
        arrivals = 0
        while not self._stopping.is_set() and time.monotonic() < deadline:
            now = time.monotonic()
            while held and held[0][0] <= now:
                _, _, due_reply, due_peer = heapq.heappop(held)
                with contextlib.suppress(OSError):
                    self._socket.sendto(due_reply, due_peer)
            self._socket.settimeout(min(_POLL, held[0][0] - now) if held else _POLL)
            try:
                wire, peer = self._socket.recvfrom(65535)
            except TimeoutError:
                continue
            except OSError:
                break
            try:
                reply = self._reply(wire)
            except Exception as exc:  # noqa: BLE001 - raised again by stop()
                self._failure = exc
                break
            if reply is None:
                continue
            if self.latency:
                arrivals += 1
                heapq.heappush(held, (time.monotonic() + self.latency, arrivals, reply, peer))
                continue
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
        elif entry is Fault.YXDOMAIN:
            response.set_rcode(dns.rcode.YXDOMAIN)
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
