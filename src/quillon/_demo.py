"""``quillon demo``: one message sent and a few addresses checked, all on loopback.

An SMTP server (aiosmtpd) and a DNS server run in this process on 127.0.0.1,
and dnspython's default resolver, the one email_validator asks, is pointed at
the DNS server for the duration. Nothing leaves the machine.
"""

from __future__ import annotations

import sys
from typing import TextIO

from quillon import _loopback

SENDER = f"Quillon.Demo@{_loopback.MX_DOMAIN}"
TO = f"Alice@{_loopback.MX_DOMAIN}; bob@{_loopback.MX_DOMAIN}"
CC = f"carol@{_loopback.MX_DOMAIN}"
BCC = f"dave@{_loopback.MX_DOMAIN}"
SUBJECT = "Hello from quillon"
BODY = (
    "<html><body><h1>Hello</h1>"
    "<p>This message went through <code>Email.send</code>.</p></body></html>"
)
ATTACHMENTS = [
    ("report.csv", b"address,valid\nalice@mx.example,yes\nnobody@unknown.example,no\n"),
    ("Grüße aus Zürich.txt", "Viele Grüße!\n".encode()),
]

# (what the case shows, address) for the validation part.
ADDRESSES = [
    ("MX records", f"alice@{_loopback.MX_DOMAIN}"),
    ("an A record only", f"bob@{_loopback.A_ONLY_DOMAIN}"),
    ("a null MX", f"carol@{_loopback.NULL_MX_DOMAIN}"),
    ("an unknown domain", f"dave@{_loopback.UNKNOWN_DOMAIN}"),
    ("bad syntax", "eve.example.org"),
    ("bad syntax", "frank@@mx.example"),
]

HINT = "quillon demo needs aiosmtpd: pip install 'quillon[demo]' (or uv sync)"


def run(out: TextIO = sys.stdout) -> int:
    try:
        smtp = _loopback.SmtpServer(lifetime=60)
    except ModuleNotFoundError as exc:
        if exc.name is None or exc.name.partition(".")[0] != "aiosmtpd":
            raise
        print(HINT, file=sys.stderr)
        return 1
    with smtp, _loopback.DnsServer(lifetime=60) as dns, _loopback.use_resolver(dns):
        print(
            f"SMTP server on {smtp.server_text}, DNS server on "
            f"{_loopback.LOOPBACK}:{dns.port} (both in this process)",
            file=out,
        )
        _send(smtp, out)
        _check(out)
    return 0


def _send(smtp: _loopback.SmtpServer, out: TextIO) -> None:
    from quillon.email import Email

    outgoing = Email(
        server=smtp.server_text,
        from_=SENDER,
        to=TO,
        cc=CC,
        bcc=BCC,
        subject=SUBJECT,
        message=BODY,
        attachments=ATTACHMENTS,
    )
    print(f"\nEmail.send() with to={TO!r}, cc={CC!r}, bcc={BCC!r}", file=out)
    print(
        f"  normalised: from_={outgoing.from_!r} to={outgoing.to!r} cc={outgoing.cc!r} "
        f"bcc={outgoing.bcc!r}",
        file=out,
    )
    outgoing.send()

    for received in smtp.messages:
        _print_received(received, out)


def _print_received(received: _loopback.ReceivedMessage, out: TextIO) -> None:
    from quillon._message_view import print_message

    print("\nThe server received:", file=out)
    print_message(received.mail_from, received.rcpt_tos, received.message, out)


def _check(out: TextIO) -> None:
    from quillon.contact import Contact

    print("\nContact.validate(address):", file=out)
    about_width = max(len(about) for about, _ in ADDRESSES)
    width = max(len(address) for _, address in ADDRESSES)
    for about, address in ADDRESSES:
        verdict = Contact.validate(address)
        print(f"  {about:<{about_width}}  {address:<{width}}  -> {verdict!r}", file=out)
