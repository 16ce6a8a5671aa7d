"""Faulty SMTP peers: every failure surfaces as the standard exception, nothing leaks.

What faulty DNS peers do to a check is in test_loopback.py."""

import contextlib
import itertools
import os
import smtplib
import socket
import threading
import time

import pytest

from quillon import _loopback, smtp
from quillon.email import Email

pytestmark = pytest.mark.usefixtures("bounded_waits")


@contextlib.contextmanager
def raw_smtp_server(replies=(), hang_up=None, lifetime=60.0):
    """A scripted SMTP peer on a raw loopback socket, one connection at a time;
    yields its host text.

    ``replies`` maps a command verb, or "." for the end of the message data,
    to its reply line; other commands get "250 OK". On the verb ``hang_up``
    the peer closes without replying; "greeting" closes right after the
    greeting. Stops at the end of the block, or after ``lifetime`` seconds.
    """
    replies = {
        "EHLO": "250 raw.example",
        "DATA": "354 go ahead",
        "QUIT": "221 bye",
        **dict(replies),
    }
    listener = socket.create_server((_loopback.LOOPBACK, 0))
    listener.settimeout(0.05)
    stopping = threading.Event()

    def talk(connection, lines):
        connection.sendall(b"220 raw.example ESMTP\r\n")
        in_data = False
        for line in [] if hang_up == "greeting" else lines:
            if in_data and line != b".\r\n":
                continue
            verb = "." if in_data else line.split(b" ")[0].strip().decode().upper()
            if verb == hang_up:
                return
            connection.sendall(replies.get(verb, "250 OK").encode() + b"\r\n")
            in_data = verb == "DATA" and replies["DATA"].startswith("354")
            if verb == "QUIT":
                return

    def serve():
        deadline = time.monotonic() + lifetime
        while not stopping.is_set() and time.monotonic() < deadline:
            try:
                connection, _ = listener.accept()
            except TimeoutError:
                continue
            connection.settimeout(5.0)
            with connection, connection.makefile("rb") as lines, contextlib.suppress(OSError):
                talk(connection, lines)

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    try:
        yield f"{_loopback.LOOPBACK}:{listener.getsockname()[1]}"
    finally:
        stopping.set()
        thread.join(5.0)
        listener.close()


# (id, peer, its options, expected exception, expected reply code or None)
FAULTS = [
    ("refused", "nothing", {}, ConnectionRefusedError, None),
    ("close-after-greeting", "raw", {"hang_up": "greeting"}, smtplib.SMTPServerDisconnected, None),
    ("close-at-mail", "raw", {"hang_up": "MAIL"}, smtplib.SMTPServerDisconnected, None),
    ("close-after-data", "raw", {"hang_up": "."}, smtplib.SMTPServerDisconnected, None),
    ("mail-421", "raw", {"replies": {"MAIL": "421 closing"}}, smtplib.SMTPSenderRefused, 421),
    ("mail-451", "aiosmtpd", {"refuse_mail": 451}, smtplib.SMTPSenderRefused, 451),
    ("mail-550", "aiosmtpd", {"refuse_mail": 550}, smtplib.SMTPSenderRefused, 550),
    (
        "rcpt-450",
        "raw",
        {"replies": {"RCPT": "450 mailbox busy"}},
        smtplib.SMTPRecipientsRefused,
        450,
    ),
    (
        "rcpt-550",
        "aiosmtpd",
        {"refuse_recipients": {"to@example.org"}},
        smtplib.SMTPRecipientsRefused,
        550,
    ),
    ("data-command-451", "raw", {"replies": {"DATA": "451 try later"}}, smtplib.SMTPDataError, 451),
    ("data-451", "aiosmtpd", {"refuse_data": 451}, smtplib.SMTPDataError, 451),
    ("data-554", "aiosmtpd", {"refuse_data": 554}, smtplib.SMTPDataError, 554),
    (
        "auth-535",
        "aiosmtpd",
        {"user": "alice", "password": "right"},
        smtplib.SMTPAuthenticationError,
        535,
    ),
]


def start_peer(stack, make_smtp_server, closed_port, peer, options):
    """Start one faulty peer; returns the host text and the aiosmtpd server, if any."""
    if peer == "nothing":
        return closed_port, None
    if peer == "raw":
        return stack.enter_context(raw_smtp_server(**options)), None
    server = make_smtp_server(**options)
    return server.server_text, server


def send_expecting(host, login, expected, code):
    # Only the AUTH peer gets credentials: the others advertise no AUTH.
    credentials = ("alice", "wrong") if login else (None, None)
    email = Email(
        host,
        *credentials,
        "sender@example.org",
        "to@example.org",
        subject="Hello",
        message="<p>Hi</p>",
        attachments=[("a.txt", b"a")],
    )
    with pytest.raises(expected) as info:
        email.send()
    if isinstance(info.value, smtplib.SMTPRecipientsRefused):
        assert [reply[0] for reply in info.value.recipients.values()] == [code]
    elif code is not None:
        assert info.value.smtp_code == code


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.parametrize(
    ("peer", "options", "expected", "code"),
    [fault[1:] for fault in FAULTS],
    ids=[fault[0] for fault in FAULTS],
)
def test_each_fault_raises_the_standard_exception(
    make_smtp_server, closed_port, peer, options, expected, code
):
    with contextlib.ExitStack() as stack:
        host, server = start_peer(stack, make_smtp_server, closed_port, peer, options)
        send_expecting(host, "user" in options, expected, code)
        if server is not None:
            assert server.messages == []  # refused means not delivered


def test_repeated_failures_leak_no_descriptors(make_smtp_server, closed_port):
    with contextlib.ExitStack() as stack:
        cases = []
        for _, peer, options, expected, code in FAULTS:
            host, _ = start_peer(stack, make_smtp_server, closed_port, peer, options)
            cases.append((host, "user" in options, expected, code))
        for case in cases:  # warm-up: lazily opened files, the servers' first sockets
            send_expecting(*case)
        before = open_descriptors()
        for case in itertools.islice(itertools.cycle(cases), 200):
            send_expecting(*case)
        # The servers close their side of each connection on their own threads.
        deadline = time.monotonic() + 3.0
        while open_descriptors() > before + 2 and time.monotonic() < deadline:
            time.sleep(0.05)
        assert open_descriptors() <= before + 2


@pytest.mark.parametrize(
    ("ehlo", "limit"),
    [("SIZE 4000", 4000), ("SIZE 0", None), ("SIZE", None), ("HELP", "no size declared")],
    ids=["limit", "zero-is-no-limit", "no-number", "no-size"],
)
def test_a_refusal_for_size_names_the_limit_the_server_stated(ehlo, limit):
    # EHLO's SIZE 0, or SIZE without a number, states no limit; without SIZE
    # the client declares no size, and a 552 is a refusal like any other.
    replies = {"EHLO": f"250-raw.example\r\n250 {ehlo}", "MAIL": "552 5.3.4 Message too big"}
    mail = Email("host", from_="a@example.org", to="b@example.org", subject="s")
    with smtp.outbox() as sent:
        mail.send()
    with raw_smtp_server(replies) as host, smtp.using(smtp.Plain):
        mail.server = host
        with pytest.raises(smtplib.SMTPSenderRefused) as info:
            mail.send()
    refused = info.value
    assert (refused.smtp_code, refused.smtp_error) == (552, b"5.3.4 Message too big")
    if limit == "no size declared":
        assert type(refused) is smtplib.SMTPSenderRefused
        return
    assert type(refused) is smtp.MessageTooLarge
    # The size of the message as sent (its Message-ID differs by a character or so).
    assert refused.limit == limit and abs(refused.size - len(sent[0].data)) < 10
    stated = f" (at most {limit} bytes)" if limit else ""
    assert str(refused) == (
        f"the message ({refused.size} bytes) is larger than the server accepts{stated}"
    )
