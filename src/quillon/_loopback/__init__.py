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
plain SMTP, STARTTLS or TLS from the first byte. Its failing modes (closing
a connection after so many messages, dropping one at MAIL, at DATA or after
the data, turning away connections beyond a number, a QUIT left unanswered),
all off unless asked for, and its counts of logins, connections and reads
serve the pool's tests. aiosmtpd is imported only when an ``SmtpServer`` is
built, so this package imports without it.

The DNS side lives in ``_dns``; the SMTP side in ``_smtp`` (the server, its
options and the replies to each command) and ``_smtp_connection`` (one
connection, on aiosmtpd's protocol); this package names both servers.
"""

from quillon._loopback._dns import (
    A_ONLY_DOMAIN,
    AAAA_ONLY_DOMAIN,
    DEFAULT_ZONE,
    GARBAGE_DOMAIN,
    MX_DOMAIN,
    NO_RECORDS_DOMAIN,
    NULL_MX_DOMAIN,
    PRIVATE_A_DOMAIN,
    PUBLIC_IPV4,
    PUBLIC_IPV6,
    SERVFAIL_DOMAIN,
    SILENT_DOMAIN,
    SPF_REJECT_DOMAIN,
    TRUNCATED_DOMAIN,
    UNKNOWN_DOMAIN,
    DnsServer,
    Fault,
    RecordTexts,
    Zone,
    use_resolver,
)
from quillon._loopback._peer import LOOPBACK
from quillon._loopback._smtp import ReceivedMessage, SmtpServer

__all__ = [
    "AAAA_ONLY_DOMAIN",
    "A_ONLY_DOMAIN",
    "DEFAULT_ZONE",
    "GARBAGE_DOMAIN",
    "LOOPBACK",
    "MX_DOMAIN",
    "NO_RECORDS_DOMAIN",
    "NULL_MX_DOMAIN",
    "PRIVATE_A_DOMAIN",
    "PUBLIC_IPV4",
    "PUBLIC_IPV6",
    "SERVFAIL_DOMAIN",
    "SILENT_DOMAIN",
    "SPF_REJECT_DOMAIN",
    "TRUNCATED_DOMAIN",
    "UNKNOWN_DOMAIN",
    "DnsServer",
    "Fault",
    "ReceivedMessage",
    "RecordTexts",
    "SmtpServer",
    "Zone",
    "use_resolver",
]
