"""quillon.smtp's clients at loopback servers with certificates made here, and
the outbox and `quillon send --dry-run` against what a real server receives."""

import asyncio
import base64
import contextlib
import contextvars
import email
import io
import os
import pickle
import re
import smtplib
import socket
import ssl
import subprocess
import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest
import trustme

import quillon.email
from quillon import _international, _loopback, cli, smtp
from quillon.email import Email
from support import PASSWORD, run_python, run_quillon

LOOPBACK = _loopback.LOOPBACK
FIELDS = {
    "from_": "Sender@Example.org",
    "to": "a@example.org; B@example.org",
    "cc": "c@example.org",
    "bcc": ["hidden@example.org", "h2@example.org"],
    "subject": "Hello",
    "message": "<p>Hi</p>",
    "attachments": [("report.pdf", bytes(range(256)) * 40), ("Grüße.txt", b"\x00\xff")],
}

pytestmark = pytest.mark.usefixtures("bounded_waits")


@pytest.fixture(scope="module")
def ca():
    return trustme.CA()


def certificate(ca, name=LOOPBACK):
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    ca.issue_cert(name).configure_cert(context)
    return context


def trusting(client, ca, **settings):
    """``client`` with a context that trusts ``ca`` only: the documented subclass."""
    context = ssl.create_default_context()
    ca.configure_trust(context)
    return type(client.__name__, (client,), {"context": context, "timeout": 5, **settings})


def connections_to(port):
    """How many sockets of this process are connected to 127.0.0.1:port."""
    count = 0
    for fd in os.listdir("/proc/self/fd"):
        with contextlib.suppress(OSError):  # gone meanwhile, or not connected
            if os.readlink(f"/proc/self/fd/{fd}").startswith("socket:"):
                with socket.fromfd(int(fd), socket.AF_INET, socket.SOCK_STREAM) as sock:
                    count += sock.getpeername() == (LOOPBACK, port)
    return count


def login_by_login(self, user, password, **options):
    # Offered PLAIN and LOGIN, smtplib takes PLAIN: this shows the other exchange.
    self.ehlo_or_helo_if_needed()
    self.esmtp_features["auth"] = "LOGIN"
    return smtp.Plain.login(self, user, password, **options)


@pytest.mark.parametrize(
    ("client", "mode"), [(smtp.StartTLS, "starttls"), (smtp.ImplicitTLS, "implicit_tls")]
)
def test_login_and_delivery_over_tls(make_smtp_server, ca, capsys, client, mode):
    server = make_smtp_server(user="me", password=PASSWORD, **{mode: certificate(ca)})
    # The certificate names 127.0.0.1, so it verifies only against the host
    # split from "127.0.0.1:PORT".
    mail = Email(server.server_text, "me", "Not" + PASSWORD, **FIELDS)
    with smtp.using(trusting(client, ca, debuglevel=1)):
        with pytest.raises(smtplib.SMTPAuthenticationError):
            mail.send()
    # A wrong password ends at the first 535: one failed login counted by
    # the server, not one per mechanism it offers.
    assert re.findall(rb"(?im)^auth \w+", server.transcripts[-1]) == [b"AUTH PLAIN"]
    mail.password = PASSWORD
    first = capsys.readouterr().err
    with smtp.using(trusting(client, ca, debuglevel=2, login=login_by_login)):
        mail.send()
    assert quillon.email.SMTP is smtplib.SMTP
    [received] = server.messages
    assert (received.login, len(received.rcpt_tos)) == ("me", 5)
    second = capsys.readouterr().err
    # As smtplib prints it: each line with the time from level 2 on.
    assert re.match(r"connect: ", first) and not re.search(r"(?m)^\d", first)
    assert all(re.match(r"\d\d:\d\d:\d\d\.\d+ \w+: ", line) for line in second.splitlines())
    dialogue = first + second
    assert "send: 'AUTH PLAIN ****\\r\\n'" in dialogue
    assert "send: 'AUTH LOGIN ****\\r\\n'" in dialogue and "send: '****\\r\\n'" in dialogue
    for secret in (PASSWORD, "Not" + PASSWORD):
        for shown in (f"\0me\0{secret}", secret, "me"):
            assert base64.b64encode(shown.encode()).decode() not in dialogue
        assert secret not in dialogue
    if mode == "starttls":
        # What the plain client gets from a server that wants TLS first.
        with pytest.raises(
            smtplib.SMTPNotSupportedError, match="^SMTP AUTH extension not supported by server.$"
        ):
            Email(server.server_text, "me", PASSWORD, **FIELDS).send()
    # Called directly, auth() fails as smtplib's does, after a refused login
    # too; and the outbox accepts a login as the server did.
    with trusting(client, ca)(server.server_text) as conn:
        with pytest.raises(smtplib.SMTPAuthenticationError):
            conn.login("me", "Not" + PASSWORD)
        conn.user, conn.password = "me", "Not" + PASSWORD
        with pytest.raises(smtplib.SMTPAuthenticationError):
            conn.auth("PLAIN", conn.auth_plain)
        accepted = conn.login("me", PASSWORD)
    with smtp.outbox(), quillon.email.SMTP(host=server.server_text) as session:
        assert session.login("me", PASSWORD) == accepted


def test_clients_take_smtplibs_arguments(make_smtp_server, ca):
    server = make_smtp_server(implicit_tls=certificate(ca))
    with contextlib.ExitStack() as stack:
        ports = []
        for _ in range(2):
            free = stack.enter_context(socket.socket())
            free.bind((LOOPBACK, 0))
            ports.append(free.getsockname()[1])
    client = trusting(smtp.ImplicitTLS, ca)
    # Also through the binding of a block, which passes them on.
    with (
        smtp.using(client),
        quillon.email.SMTP(LOOPBACK, server.port, "mine.example", 4, (LOOPBACK, ports[0])) as conn,
    ):
        conn.ehlo()
        assert (conn.sock.gettimeout(), conn.sock.getsockname()) == (4, (LOOPBACK, ports[0]))
    with client() as conn:  # no host: nothing connected yet
        assert conn.sock is None
        conn.connect(server.server_text, source_address=(LOOPBACK, ports[1]))
        assert conn.sock.getsockname() == (LOOPBACK, ports[1])
    sessions = [transcript for transcript in server.transcripts if transcript]
    assert sessions == [b"ehlo mine.example\r\nQUIT\r\n", b"QUIT\r\n"]
    for each in (smtplib.SMTP, smtp.Plain):
        with pytest.raises(OSError, match="^nonnumeric port$"):
            each(f"{LOOPBACK}:x25")


UNVERIFIED = (ssl.SSLCertVerificationError, "certificate verify failed")
STRANGER = {"ca": trustme.CA()}
OTHER_NAME = {"name": "mail.example"}
SYSTEM_CAS = {"context": None}  # the classes as they come: the system's CAs
NOT_OFFERED = (
    "^the server does not offer STARTTLS: nothing was sent, so that neither the login "
    "nor the message crossed the network in clear$"
)


@pytest.mark.parametrize(
    ("client", "mode", "certificate_of", "settings", "error"),
    [
        (smtp.StartTLS, "starttls", STRANGER, {}, UNVERIFIED),
        (smtp.StartTLS, "starttls", OTHER_NAME, {}, UNVERIFIED),
        (smtp.StartTLS, "starttls", {}, SYSTEM_CAS, UNVERIFIED),
        (smtp.ImplicitTLS, "implicit_tls", STRANGER, {}, UNVERIFIED),
        (smtp.ImplicitTLS, "implicit_tls", OTHER_NAME, {}, UNVERIFIED),
        (smtp.ImplicitTLS, "implicit_tls", {}, SYSTEM_CAS, UNVERIFIED),
        (smtp.StartTLS, None, None, {}, (smtp.StartTLSNotOffered, NOT_OFFERED)),
        # Waiting for a greeting that a server of implicit TLS never sends: the
        # class's time-out ends it (the default time-out is off here).
        (smtp.StartTLS, "implicit_tls", {}, {}, (smtplib.SMTPServerDisconnected, "timed out")),
    ],
    ids=[
        "starttls-unknown-ca",
        "starttls-other-name",
        "starttls-system-cas",
        "implicit-unknown-ca",
        "implicit-other-name",
        "implicit-system-cas",
        "no-starttls",
        "starttls-to-implicit",
    ],
)
def test_refusals_send_nothing_and_leave_no_socket(
    make_smtp_server, ca, client, mode, certificate_of, settings, error
):
    tls = {} if mode is None else {mode: certificate(**{"ca": ca, **certificate_of})}
    server = make_smtp_server(user="me", password=PASSWORD, **tls)
    socket.setdefaulttimeout(None)
    with smtp.using(trusting(client, ca, timeout=0.5, **settings)):
        with pytest.raises(error[0], match=error[1]) as info:
            Email(server.server_text, "me", PASSWORD, **FIELDS).send()
        # Checked while the exception, and with it the client, is still held.
        assert info.value and connections_to(server.port) == 0
    server.stop()
    assert server.messages == []
    # What each session read, in clear or inside TLS: no login, no message.
    for transcript in server.transcripts:
        assert not re.search(rb"(?im)^(auth|mail)\b", transcript), transcript
    if mode is None:
        assert re.fullmatch(rb"ehlo \S+\r\n", server.transcripts[-1])


HANGS = object()


@pytest.mark.parametrize(
    ("answer", "first"),
    [
        # Both sends go on while the look-up still hangs; the third takes its name.
        (HANGS, b"localhost"),
        # smtplib's rule: without a dot, the address as a literal.
        ("bare", b"[192.0.2.7]"),
        (OSError("no name"), b"localhost"),
        ("bücher.example", b"localhost"),  # EHLO takes ASCII only
    ],
    ids=["hangs", "no-dot", "fails", "not-ascii"],
)
def test_ehlo_name_is_looked_up_once_and_never_waited_for_long(
    smtp_server, monkeypatch, answer, first
):
    release, looked_up = threading.Event(), []

    def getfqdn(name=""):
        looked_up.append((name, threading.current_thread()))
        if answer is HANGS:
            release.wait(30)
            return "client.example.org"
        release.wait(0.05)  # an answer that takes a moment is waited for
        if isinstance(answer, Exception):
            raise answer
        return answer

    monkeypatch.setattr(socket, "getfqdn", getfqdn)
    monkeypatch.setattr(socket, "gethostname", lambda: "bare")
    monkeypatch.setattr(socket, "gethostbyname", {"bare": "192.0.2.7"}.__getitem__)
    monkeypatch.setattr(smtp._clients, "LOCAL_NAME_WAIT", 0.1 if answer is HANGS else 5)
    monkeypatch.setattr(smtp._clients, "_local_name", smtp._clients._LocalName())
    mail = Email(smtp_server.server_text, **FIELDS)
    with smtp.using(smtp.Plain):
        mail.send()
        mail.send()
        release.set()
        assert smtp._clients._local_name._found.wait(5)
        mail.send()
    with smtp.using(type("Named", (smtp.Plain,), {"local_hostname": "mine.example"})):
        mail.send()
    names = [
        match[1]
        for transcript in smtp_server.transcripts
        if (match := re.match(rb"(?i)ehlo (\S+)", transcript))
    ]
    later = b"client.example.org" if answer is HANGS else first
    assert names == [first, first, later, b"mine.example"]
    # Once, in a thread that does not keep the process alive while it hangs.
    assert [(name, thread.daemon) for name, thread in looked_up] == [("", True)]


def test_message_over_the_size_limit_says_so(make_smtp_server, tmp_path):
    server = make_smtp_server()
    # aiosmtpd's own limit, given in its EHLO reply as SIZE.
    server._controller.SMTP_kwargs["data_size_limit"] = 4000
    with smtp.using(smtp.Plain), pytest.raises(smtp.MessageTooLarge) as info:
        Email(server.server_text, **FIELDS).send()
    too_large = info.value
    text = (
        f"the message ({too_large.size} bytes) is larger than the server accepts"
        " (at most 4000 bytes)"
    )
    assert (str(too_large), too_large.smtp_code, too_large.sender) == (
        text,
        552,
        "sender@example.org",
    )
    assert too_large.size > 4000 and str(pickle.loads(pickle.dumps(too_large))) == text
    assert isinstance(too_large, smtplib.SMTPSenderRefused)  # what callers catch today
    (tmp_path / "big.bin").write_bytes(bytes(5000))
    result = run_quillon(
        "send",
        "--server",
        server.server_text,
        "--tls",
        "none",
        "--from",
        "a@example.org",
        "--to",
        "b@example.org",
        "--subject",
        "s",
        "--body",
        "b",
        "--attach",
        "big.bin",
        cwd=tmp_path,
        stdin=subprocess.DEVNULL,
    )
    assert re.fullmatch(
        rf"quillon send: message refused by {server.server_text}: the message "
        r"\(\d+ bytes\) is larger than the server accepts \(at most 4000 bytes\)\n",
        result.stderr,
    ), result.stderr
    assert server.messages == []


RESENT = ("Resent-Date", "Mon, 07 Dec 2026 10:00:00 +0000")


@pytest.mark.parametrize(
    ("headers", "from_addr", "to_addrs"),
    [
        # Named addresses, Sender over From, recipients in the order To, Bcc, Cc.
        (
            [("From", "Ann <a@x.org>"), ("Sender", "S <s@x.org>"), ("To", "B <b@x.org>, c@x.org")]
            + [("Cc", "d@x.org"), ("Bcc", "e@x.org")],
            None,
            None,
        ),
        # One Resent- block: its headers, not the original ones.
        (
            [("From", "a@x.org"), ("To", "b@x.org"), RESENT, ("Resent-From", "r@x.org")]
            + [("Resent-To", "t@x.org"), ("Resent-Bcc", "u@x.org"), ("Resent-Cc", "v@x.org")],
            None,
            None,
        ),
        (
            [("From", "a@x.org"), RESENT, ("Resent-Sender", "rs@x.org"), ("Resent-Cc", "v@x.org")],
            None,
            None,
        ),
        # Two Resent- blocks: smtplib refuses the message before it connects.
        ([("From", "a@x.org"), ("To", "b@x.org"), RESENT, RESENT], None, None),
        # The envelope given, not read.
        ([("From", "a@x.org"), ("To", "b@x.org"), ("Bcc", "c@x.org")], "g@x.org", "o@x.org"),
        # (and of two authors, the first is the sender)
        ([("From", "a@x.org, z@x.org"), ("To", "b@x.org")], None, ["x@x.org", "y@x.org"]),
        # Nobody to send to: refused once the server has heard MAIL FROM.
        ([("From", "a@x.org")], None, None),
    ],
)
def test_outbox_takes_what_smtplib_sends(smtp_server, headers, from_addr, to_addrs):
    message = email.message.EmailMessage()
    for name, value in headers:
        message[name] = value
    message.set_content("Hi\n.\n")
    outcomes = []
    with smtp.outbox() as sent:
        for client in (smtp.Plain, quillon.email.SMTP):
            try:
                with client(host=smtp_server.server_text) as session:
                    outcomes.append(session.send_message(message, from_addr, to_addrs))
            except (ValueError, smtplib.SMTPRecipientsRefused) as exc:
                outcomes.append((type(exc), exc.args))
    assert outcomes[0] == outcomes[1]
    assert [(record.sender, record.recipients, record.data) for record in sent] == [
        (received.mail_from, list(received.rcpt_tos), received.data)
        for received in smtp_server.messages
    ]


def test_the_message_view_shows_only_bcc_recipients_as_missing_from_the_headers():
    with smtp.outbox() as sent:
        Email(
            "host", from_="a@x.org", to="Ann <ann@x.org>", cc="Bo <b@x.org>", bcc="c@x.org"
        ).send()
    [record] = sent
    shown = io.StringIO()
    cli.print_message(
        record.sender, record.recipients, email.message_from_bytes(record.data), shown
    )
    assert "(no Bcc header: c@x.org appears only in the envelope)" in shown.getvalue()


@pytest.mark.parametrize("smtputf8", [True, False], ids=["smtputf8", "no-smtputf8"])
@pytest.mark.parametrize("to", ["jürgen@bücher.de", "user@bücher.de"], ids=["local", "domain"])
def test_transfer_form_is_what_smtplib_sends(make_smtp_server, smtputf8, to):
    # What a client that speaks SMTP itself sends, against smtplib's own exchange.
    server = make_smtp_server(smtputf8=smtputf8)
    with smtp.outbox() as sent:
        Email(server.server_text, from_="a@example.org", to=to, bcc="b@example.org").send()
    [record] = sent
    with smtplib.SMTP(server.server_text) as client:
        client.ehlo()
        offered = client.has_extn("smtputf8")
        try:
            client.send_message(record.message)
            expected = None
        except smtplib.SMTPNotSupportedError as exc:
            expected = exc
        formed = outcome = None
        try:
            formed = _international.transfer_form(
                record.message,
                record.sender,
                record.recipients,
                smtputf8=offered,
                server=server.server_text,
            )
        except smtplib.SMTPNotSupportedError as exc:
            outcome = exc
    if expected is not None:
        assert str(outcome) == (
            f"message not sent: {server.server_text} does not offer SMTPUTF8, which "
            "'jürgen@xn--bcher-kva.de' in to needs for a local part beyond ASCII; nothing was sent"
        )
        assert server.messages == []
        return
    [received] = server.messages
    options, data = formed
    # Each serialisation draws its own boundary.
    assert len({re.sub(rb"={15}\d+==", b"", d) for d in (data, received.data, record.data)}) == 1
    assert [o for o in received.mail_options if not o.startswith("SIZE=")] == list(options)
    assert options == (("SMTPUTF8", "BODY=8BITMIME") if to.startswith("jü") else ())


def shape(message):
    """Headers and content of each part, less what differs from one build to the next."""
    return [
        (
            [
                (name, re.sub(r'boundary="[^"]*"', "", value))
                for name, value in part.items()
                if name not in ("Date", "Message-ID")
            ],
            part.get_payload(decode=True),
        )
        for part in message.walk()
    ]


def test_outbox_and_dry_run_hold_what_the_server_receives(make_smtp_server, ca, tmp_path):
    server = make_smtp_server(user="me", password=PASSWORD, starttls=certificate(ca))
    mail = Email(server.server_text, "me", PASSWORD, **FIELDS)
    with smtp.using(trusting(smtp.StartTLS, ca)):
        mail.send()
    with pytest.raises(KeyError), smtp.outbox() as sent:
        mail.send()
        raise KeyError  # the binding is restored on the way out too
    assert quillon.email.SMTP is smtplib.SMTP
    [record] = sent
    assert record.message["Bcc"] == "hidden@example.org,h2@example.org"

    # The command: a real send (STARTTLS by default with --user), then a dry run.
    ca.cert_pem.write_to_path(str(tmp_path / "ca.pem"))
    (tmp_path / "a.bin").write_bytes(b"\x01\x02")
    args = [
        "send",
        "--server",
        server.server_text,
        "--user",
        "me",
        "--cafile",
        "ca.pem",
        "--from",
        "me@example.org",
        "--to",
        "a@example.org",
        "--bcc",
        "b@example.org",
        "--subject",
        "Hi",
        "--body",
        "<p>x</p>",
        "--attach",
        "a.bin",
    ]
    runs = [
        run_quillon(*extra, cwd=tmp_path, stdin=subprocess.DEVNULL, env=more)
        for extra, more in [
            (["-v", *args], {"QUILLON_PASSWORD": PASSWORD}),
            ([*args, "--dry-run"], {}),
        ]
    ]
    assert [run.returncode for run in runs] == [0, 0], runs
    assert "send: 'STARTTLS\\r\\n'" in runs[0].stderr and "AUTH PLAIN ****" in runs[0].stderr
    assert PASSWORD not in runs[0].stderr and runs[1].stderr == ""

    first, received = server.messages
    assert (record.sender, record.recipients) == (first.mail_from, list(first.rcpt_tos))
    assert shape(email.message_from_bytes(record.data)) == shape(first.message)
    shown = io.StringIO()
    cli.print_message(received.mail_from, received.rcpt_tos, received.message, shown)
    comparable = [
        re.sub(r'(?m)boundary="[^"]*"|^    (Date|Message-ID): .*', "", text)
        for text in (runs[1].stdout, shown.getvalue())
    ]
    assert comparable[0] == (
        f"dry run, nothing sent: the message for {server.server_text} with "
        f"STARTTLS, logging in as me\n{comparable[1]}"
    )


# Loopback addresses, so that even a dry run that wrongly connected would
# resolve nothing and reach nobody.
@pytest.mark.parametrize(
    ("server", "extra", "described"),
    [
        ("127.0.0.1:465", [], "over TLS (implicit)"),
        ("127.0.0.1:587", ["--user", "me"], "with STARTTLS, logging in as me"),
        ("127.0.0.1", [], "without TLS"),
        ("127.0.0.1:25", ["--user", "me", "--tls", "none"], "without TLS, logging in as me"),
    ],
)
def test_tls_follows_port_and_login_unless_given(server, extra, described):
    result = run_quillon(
        "send",
        "--server",
        server,
        "--from",
        "a@example.org",
        "--to",
        "b@example.org",
        "--subject",
        "s",
        "--body",
        "b",
        "--dry-run",
        *extra,
        stdin=subprocess.DEVNULL,
    )
    assert result.stdout.startswith(
        f"dry run, nothing sent: the message for {server} {described}\n"
    ), result.stderr


def subjects_sent(*subjects):
    """Sends one message per subject; the outbox of the caller's context takes them."""
    for subject in subjects:
        Email("127.0.0.1:9", from_="a@example.org", to="b@example.org", subject=subject).send()


# Each keeps its own also inside an everywhere outbox, which is what a
# pytest fixture gives the test.
@pytest.mark.parametrize("everywhere", [False, True], ids=["alone", "inside-everywhere-outbox"])
def test_outboxes_are_per_thread_and_per_task(everywhere):
    def thread(n, boxes, barrier):
        with smtp.outbox() as sent:
            barrier.wait()  # every thread inside its block before any sends
            subjects_sent(f"{n}.0", f"{n}.1")
            barrier.wait()
        boxes[n] = [record.message["Subject"] for record in sent]

    async def task(n):
        with smtp.outbox() as sent:
            await asyncio.sleep(0)
            subjects_sent(f"task {n}")
            await asyncio.sleep(0)
        return [record.message["Subject"] for record in sent]

    async def tasks():
        return await asyncio.gather(*map(task, range(4)))

    boxes, barrier = {}, threading.Barrier(8)
    threads = [threading.Thread(target=thread, args=(n, boxes, barrier)) for n in range(8)]
    with smtp.outbox(everywhere=everywhere) as around:
        for started in threads:
            started.start()
        for started in threads:
            started.join()
        assert asyncio.run(tasks()) == [[f"task {n}"] for n in range(4)]
    assert boxes == {n: [f"{n}.0", f"{n}.1"] for n in range(8)}
    assert around == [] and quillon.email.SMTP is smtplib.SMTP


def test_blocks_end_in_any_order_and_give_way_to_a_plain_assignment(monkeypatch):
    outer, inner = smtp.outbox(), smtp.outbox()
    outer_sent, inner_sent = outer.__enter__(), inner.__enter__()
    outer.__exit__(None, None, None)
    subjects_sent("inner")
    inner.__exit__(None, None, None)
    assert (outer_sent, [record.message["Subject"] for record in inner_sent]) == ([], ["inner"])
    assert quillon.email.SMTP is smtplib.SMTP

    # A plain assignment overrides the open blocks at once, as it always
    # did, is what a block entered later falls back to, and stays.
    monkeypatch.setattr(quillon.email, "SMTP", quillon.email.SMTP)
    assigned = smtp._outbox._Outbox()
    with smtp.outbox() as outer_sent:
        quillon.email.SMTP = assigned
        subjects_sent("assigned")
        with smtp.outbox() as nested_sent:
            subjects_sent("nested")
        subjects_sent("outer")
    assert quillon.email.SMTP is assigned
    assert [
        [record.message["Subject"] for record in box]
        for box in (assigned.sent, nested_sent, outer_sent)
    ] == [["assigned"], ["nested"], ["outer"]]


def named(name):
    """A client that only says who it is, so that quillon.email.SMTP() shows who serves."""
    return lambda *args, **kwargs: name


def served_elsewhere():
    """Who serves a new thread that starts from an empty context (whatever
    Python 3.14's thread_inherit_context flag says)."""
    served = []
    thread = threading.Thread(
        target=contextvars.Context().run, args=(lambda: served.append(quillon.email.SMTP()),)
    )
    thread.start()
    thread.join()
    return served[0]


# Enter (+) or leave (-) a block, A and B everywhere, L for this context
# only; then who serves here, and who serves a thread without a block.
@pytest.mark.parametrize(
    "steps",
    [
        ["+A A A", "+L L A", "+B B B", "-A B B", "-B L start-up", "-L start-up start-up"],
        ["+A A A", "+B B B", "-B A A", "+L L A", "-A L start-up", "-L start-up start-up"],
    ],
    ids=["first-in-ends-first", "last-in-ends-first"],
)
def test_everywhere_blocks_overlap_and_end_in_any_order(monkeypatch, steps):
    start_up = named("start-up")
    monkeypatch.setattr(quillon.email, "SMTP", start_up)
    blocks = {
        "A": smtp.using(named("A"), everywhere=True),
        "B": smtp.using(named("B"), everywhere=True),
        "L": smtp.using(named("L")),
    }
    entered = set()
    try:
        for step in steps:
            action, here, elsewhere = step.split()
            if action[0] == "+":
                blocks[action[1]].__enter__()
                entered.add(action[1])
            else:
                entered.remove(action[1])
                blocks[action[1]].__exit__(None, None, None)
            assert (quillon.email.SMTP(), served_elsewhere()) == (here, elsewhere), step
        assert quillon.email.SMTP is start_up
    finally:  # a failed step leaves no block open for the tests after it
        for name in entered:
            blocks[name].__exit__(None, None, None)


# Python 3.14 lets a thread inherit its starter's context (the default of
# free-threaded builds); a Timer or an executor's worker then does too.
INHERITS = bool(getattr(sys.flags, "thread_inherit_context", False))
BEFORE_3_14 = pytest.mark.skipif(sys.version_info < (3, 14), reason="Thread(context=) is 3.14's")


def in_thread(send, **options):
    thread = threading.Thread(target=send, **options)
    thread.start()
    thread.join()


def in_timer(send):
    timer = threading.Timer(0, send)
    timer.start()
    timer.join()


def submitted(send):
    with ThreadPoolExecutor(1) as executor:
        executor.submit(send).result()


def mapped(send):
    with ThreadPoolExecutor(3) as executor:
        list(executor.map(lambda _: send(), range(3)))


def in_default_executor(send):
    async def main():
        await asyncio.get_running_loop().run_in_executor(None, send)

    asyncio.run(main())


def in_own_block(send):
    def target():
        with smtp.using(smtp.Plain):
            send()

    in_thread(target)


def inside_everywhere_using(send):
    with smtp.using(smtp.Plain, everywhere=True):
        in_thread(send)


# How the code under test sends, how many messages, and whether an outbox of
# the caller's context alone takes them.
ROUTES = [
    pytest.param(lambda send: send(), 1, True, id="same-thread"),
    pytest.param(lambda send: asyncio.run(asyncio.to_thread(send)), 1, True, id="to_thread"),
    pytest.param(lambda send: contextvars.copy_context().run(send), 1, True, id="copy_context"),
    pytest.param(in_thread, 1, INHERITS, id="Thread"),
    pytest.param(in_timer, 1, INHERITS, id="Timer"),
    pytest.param(submitted, 1, INHERITS, id="executor-submit"),
    pytest.param(mapped, 3, INHERITS, id="executor-map"),
    pytest.param(in_default_executor, 1, INHERITS, id="run_in_executor"),
    # A real client chosen by the code under test, for its own thread or for all.
    pytest.param(in_own_block, 1, False, id="own-using-block"),
    pytest.param(inside_everywhere_using, 1, False, id="everywhere-using-inside"),
    pytest.param(
        lambda send: in_thread(send, context=contextvars.Context()),
        1,
        False,
        id="Thread-empty-context",
        marks=BEFORE_3_14,
    ),
    pytest.param(
        lambda send: in_thread(send, context=contextvars.copy_context()),
        1,
        True,
        id="Thread-copied-context",
        marks=BEFORE_3_14,
    ),
]


@pytest.mark.parametrize("everywhere", [False, True], ids=["context-outbox", "everywhere-outbox"])
@pytest.mark.parametrize(("route", "sends", "caught_in_context"), ROUTES)
def test_what_reaches_the_server_while_an_outbox_is_open(
    make_smtp_server, monkeypatch, route, sends, caught_in_context, everywhere
):
    server = make_smtp_server(user="me", password=PASSWORD)
    monkeypatch.setattr(quillon.email, "SMTP", smtp.Plain)  # bound at start-up
    mail = Email(server.server_text, "me", PASSWORD, from_="a@example.org", to="b@example.org")
    with smtp.outbox(everywhere=everywhere) as sent:
        route(mail.send)
    caught = sends if everywhere or caught_in_context else 0
    assert (len(sent), len(server.messages)) == (caught, sends - caught)
    if caught:
        # Not a word said to the server (its own start-up check says nothing).
        assert not any(server.transcripts), server.transcripts


FIXTURE_USER = """\
import threading

import quillon.email
import smtplib
from quillon import smtp
from quillon.email import Email


def send():
    Email("127.0.0.1:9", from_="a@example.org", to="b@example.org").send()


def test_sends_from_a_thread(quillon_outbox):
    thread = threading.Thread(target=send)
    thread.start()
    thread.join()
    assert len(quillon_outbox) == 1


def test_binds_a_client(quillon_outbox):
    quillon.email.SMTP = smtp.Plain


def test_after_them():
    assert quillon.email.SMTP is smtplib.SMTP
"""


def test_pytest_fixture_is_installed_and_refuses_a_plain_assignment(tmp_path):
    (tmp_path / "test_user.py").write_text(FIXTURE_USER)
    result = run_python("-m", "pytest", "-p", "no:cacheprovider", "test_user.py", cwd=tmp_path)
    outcome = dict(
        (kind, int(n)) for n, kind in re.findall(r"(\d+) (passed|failed|error)", result.stdout)
    )
    assert outcome == {"passed": 3, "error": 1}, result.stdout
    assert (
        "quillon.email.SMTP was assigned during the test (<class 'quillon.smtp.Plain'>)"
        in result.stdout
    )
