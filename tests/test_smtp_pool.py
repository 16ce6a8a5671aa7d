"""quillon.smtp.Pool at loopback servers that end connections on purpose:
every message arrives exactly once or its send raises, each connection logs
in once, and no more connections are open than the pool's size."""

import contextlib
import email.message
import gc
import os
import select
import smtplib
import ssl
import threading
import time
import types

import pytest
import trustme

from quillon import _loopback, smtp
from quillon.email import Email
from support import PASSWORD

pytestmark = pytest.mark.usefixtures("bounded_waits", "short_wait")

ACCOUNTS = {"me": PASSWORD, "you": "Other-" + PASSWORD, "third": "Third-" + PASSWORD}


class Client(smtp.Plain):
    timeout = 5


@pytest.fixture
def short_wait(monkeypatch):
    """A pool that lost count of its connections fails in seconds, not in a minute."""
    monkeypatch.setattr(smtp.Pool, "wait", 5.0)


def wait_until(condition, within=5.0):
    deadline = time.monotonic() + within
    while not condition():
        assert time.monotonic() < deadline, "not reached in time"
        time.sleep(0.01)


def send(server, subject, user="me", password=None, **fields):
    fields = {"from_": "a@example.org", "to": "b@example.org", **fields}
    password = ACCOUNTS.get(user) if password is None else password
    Email(server.server_text, user, password, subject=subject, **fields).send()


def test_bad_arguments_are_refused():
    for args, kwargs, error, text in [
        ((object,), {}, TypeError, "Pool needs a subclass of smtplib.SMTP, got <class 'object'>"),
        ((Client(),), {}, TypeError, "Pool needs a subclass of smtplib.SMTP, got <"),
        ((Client,), {"size": True}, TypeError, "size must be an int, got bool"),
        ((Client,), {"size": 2.0}, TypeError, "size must be an int, got float"),
        ((Client,), {"size": 0}, ValueError, "size must be at least 1, got 0"),
    ]:
        with pytest.raises(error) as info:
            smtp.Pool(*args, **kwargs)
        assert str(info.value).startswith(text)


UNKNOWN = smtp.DeliveryUnknown
LOST = smtplib.SMTPServerDisconnected

# What each way of sending puts in one write, as the server offers it.
WAYS = {"one-by-one": (), "pipelined": ("PIPELINING",), "chunked": ("PIPELINING", "CHUNKING")}


@pytest.mark.parametrize(
    ("faults", "logins", "failures", "chunked"),
    [
        # Noticed before the next MAIL, or at it: either way a new connection.
        ({"close_after": 3}, [1] * 4, {}, None),
        ({"refuse_mail_after": 3}, [1] * 4, {}, None),
        # Unless the whole message went out with MAIL: then the server may
        # have taken it before the connection was lost (here it did not).
        ({"drop_mail_after": 3}, [1] * 4, {}, ([1] * 3, {3: UNKNOWN, 7: UNKNOWN}, {3, 7})),
        # Lost between the end of the data and the reply: kept by the server,
        # reported to the caller, never sent twice.
        ({"drop_after_data": {4, 7}}, [1] * 3, {3: UNKNOWN, 6: UNKNOWN}, None),
        # Lost at the DATA command, before the message: not delivered, and
        # said so. BDAT has no DATA command.
        ({"drop_data_command": {4}}, [1] * 2, {3: LOST}, ([1], {}, set())),
    ],
    ids=[
        "closed-after-3",
        "421-at-mail",
        "dropped-at-mail",
        "dropped-after-data",
        "dropped-at-data",
    ],
)
@pytest.mark.parametrize("way", WAYS)
def test_connections_the_server_ends(faults, logins, failures, chunked, way):
    lost = {n for n, kind in failures.items() if kind is LOST}
    if chunked and way == "chunked":
        logins, failures, lost = chunked
    raised = {}
    with (
        _loopback.SmtpServer(accounts=ACCOUNTS, offers=WAYS[way], **faults) as server,
        smtp.Pool(Client, size=1) as pool,
        smtp.using(pool),
    ):
        for n in range(10):
            try:
                send(server, f"m{n}")
            except smtplib.SMTPException as exc:
                raised[n] = exc
                assert pool.stats == (0, 0, 1)  # that connection is closed
        assert pool.stats == (1, 1, 1)
    assert server.kept == [(f"m{n}", "me") for n in range(10) if n not in lost]
    assert server.logins == logins
    assert {n: type(exc) for n, exc in raised.items()} == failures
    for exc in raised.values():
        if type(exc) is LOST:
            continue
        assert str(exc) == (
            "the connection was lost after the message was sent and before the server "
            "confirmed it: it may have been delivered, so it was not sent again"
        )
        # A handler that retries on a lost connection must not catch it.
        assert not isinstance(exc, smtplib.SMTPServerDisconnected)
    # One read for MAIL, RCPT and DATA (or BDAT and the message), one for
    # the data after DATA, against four.
    assert server.reads < 30 if WAYS[way] else server.reads >= 40


@pytest.mark.parametrize("poll", [True, False], ids=["poll", "no-poll"])  # no poll on Windows
def test_a_connection_the_server_closed_gets_no_command(monkeypatch, capsys, poll):
    if not poll:
        monkeypatch.delattr(select, "poll")
    with (
        _loopback.SmtpServer(accounts=ACCOUNTS, close_after=2) as server,
        smtp.Pool(type("Verbose", (Client,), {"debuglevel": 1}), size=1) as pool,
        smtp.using(pool),
    ):
        for n in range(5):
            send(server, f"m{n}")
            wait_until(lambda: server.ended == (n + 1) // 2)  # noqa: B023
    # Each message's MAIL (with the size the server asks for) went to a
    # connection that was open: the one still open was kept, the closed one
    # seen as such and replaced before anything was written to it.
    assert capsys.readouterr().err.count("send: 'mail from:<a@example.org> size=") == 5
    assert server.logins == [1, 1, 1]


def reachable_texts(root):
    """Every str reachable from `root` through objects (not classes, modules or functions)."""
    seen, todo, texts = set(), [root], set()
    while todo:
        item = todo.pop()
        if id(item) in seen or isinstance(item, (type, types.ModuleType, types.FunctionType)):
            continue
        seen.add(id(item))
        if isinstance(item, str):
            texts.add(item)
        todo.extend(gc.get_referents(item))
    return texts


def test_one_login_per_connection_and_no_other_password_through_it():
    with _loopback.SmtpServer(accounts=ACCOUNTS) as server, smtp.Pool(Client, size=2) as pool:
        with smtp.using(pool):
            send(server, "m0")
            with pytest.raises(smtplib.SMTPAuthenticationError):
                send(server, "wrong", password="Not" + PASSWORD)
            assert pool.stats == (1, 1, 2)  # the refused login's connection is closed
            send(server, "m1", user="you")
            send(server, "m2")
            send(server, "m3", user="you")
            # A local part beyond ASCII, then ASCII again, on the kept connection.
            send(server, "m4", to="Jürgen@Bücher.de", from_="jörg@example.org")
            send(server, "m5")
        assert PASSWORD not in reachable_texts(pool) and "me" in reachable_texts(pool)
        assert repr(pool) == "<Pool of Client, 2 of 2 open, 2 idle>"
    assert server.kept == [
        ("m0", "me"),
        ("m1", "you"),
        ("m2", "me"),
        ("m3", "you"),
        ("m4", "me"),
        ("m5", "me"),
    ]
    assert server.logins == [1, 0, 1]
    assert repr(pool) == "<Pool of Client, closed, 0 of 2 open, 0 idle>"
    with pytest.raises(RuntimeError, match="^this Pool is closed$"):
        pool(host=server.server_text)


def test_the_connection_unused_for_longest_makes_room():
    with (
        _loopback.SmtpServer(accounts=ACCOUNTS) as server,
        _loopback.SmtpServer() as other,  # no login
        smtp.Pool(Client, size=2) as pool,
        smtp.using(pool),
    ):
        pool.wait = 0  # a free or idle place serves without waiting
        for n, (to, user) in enumerate(
            [(server, "me"), (server, "you"), (server, "me"), (other, None), (server, "me")]
            + [(other, None)]
        ):
            send(to, f"m{n}", user=user)
    assert [user for _, user in server.kept] == ["me", "you", "me", "me"]
    assert [subject for subject, _ in other.kept] == ["m3", "m5"]
    # The other server's connection replaces "you", not "me", which had just
    # served a send; "me" and the other server's keep theirs.
    assert (server.logins, other.logins) == ([1, 1], [0])
    assert (server.quits, other.quits, pool.stats) == (2, 1, (0, 0, 2))


def test_a_failed_connection_gives_its_slot_back(closed_port):
    with smtp.Pool(Client, size=1) as pool, smtp.using(pool):
        for _ in range(2):
            with pytest.raises(ConnectionRefusedError):
                Email(closed_port, from_="a@example.org", to="b@example.org").send()
        assert pool.stats == (0, 0, 1)


def test_a_new_connection_failing_after_a_kept_one_ended_at_mail(make_smtp_server):
    # The kept connection gets a 421 at MAIL; the one that replaces it is
    # refused its login: that refusal is the send's, and no place is lost.
    server = make_smtp_server(accounts=ACCOUNTS, refuse_mail_after=1)
    with smtp.Pool(Client, size=1) as pool, smtp.using(pool):
        send(server, "m0")
        del server.accounts["me"]
        with pytest.raises(smtplib.SMTPAuthenticationError):
            send(server, "m1")
        assert pool.stats == (0, 0, 1)
        assert server.logins == [1, 0]


def test_a_lease_used_as_a_client(make_smtp_server):
    # What Email.send does not use: a second login, login options, and the
    # envelope and options of send_message.
    server = make_smtp_server(user="me", password=PASSWORD)
    message = email.message.EmailMessage()
    message["From"], message["To"], message["Subject"] = "a@example.org", "b@example.org", "s"

    class Local(Client):
        pass

    with smtp.Pool(Local, size=2) as pool:
        with pool(server.server_text) as lease:
            lease.login("me", PASSWORD, initial_response_ok=False)
            lease.login("me", PASSWORD)  # gives the connection back, and takes it again
            assert pool.stats == (1, 0, 2)
            # The connection's class shows as the client's.
            kept = type(lease._conn)
            assert (kept.__module__, kept.__qualname__) == (__name__, Local.__qualname__)
            lease.send_message(message, "bounce@example.org", ["c@example.org"])
            with pytest.raises(smtplib.SMTPSenderRefused):
                lease.send_message(message, mail_options=["X-UNKNOWN"])
            with pytest.raises(smtplib.SMTPRecipientsRefused):
                lease.send_message(message, rcpt_options=["X-UNKNOWN"])
            pool.close()
            with pytest.raises(RuntimeError, match="^this Pool is closed$"):
                lease.login("you", PASSWORD)
    [received] = server.messages
    assert (received.mail_from, received.rcpt_tos) == ("bounce@example.org", ("c@example.org",))
    [session] = [t for t in server.transcripts if b"AUTH" in t]
    # One login, without an initial response; QUIT as the pool, closed
    # meanwhile, got the connection back.
    assert session.count(b"AUTH PLAIN\r\n") == 1 and session.endswith(b"rset\r\nquit\r\n")


@pytest.mark.parametrize("way", WAYS)
@pytest.mark.parametrize(
    ("faults", "fields", "kept"),
    [
        ({}, {"to": "b@example.org; no@example.org"}, True),
        ({}, {"to": "no@example.org"}, True),
        ({"refuse_mail_after": 0}, {}, False),
        # Refused before MAIL FROM, naming the server: the connection is kept.
        ({"smtputf8": False}, {"cc": "jürgen@example.org"}, True),
    ],
    ids=["one-refused", "all-refused", "421-on-a-new-connection", "no-smtputf8"],
)
def test_failures_are_those_of_a_new_connection(faults, fields, kept, way):
    with _loopback.SmtpServer(
        accounts=ACCOUNTS, refuse_recipients={"no@example.org"}, offers=WAYS[way], **faults
    ) as server:
        # smtplib's own exchange, one command at a time.
        with smtp.using(smtplib.SMTP), pytest.raises(smtplib.SMTPException) as fresh:
            send(server, "fresh", **fields)
        with smtp.Pool(Client) as pool, smtp.using(pool):
            with pytest.raises(type(fresh.value)) as pooled:
                send(server, "pooled", **fields)
            assert pool.stats == ((1, 1, 4) if kept else (0, 0, 4))
            if kept:
                send(server, "after")
    assert pooled.value.args == fresh.value.args
    assert "SMTPUTF8" not in str(fresh.value) or server.server_text in str(fresh.value)
    # The connection that was reset is the one the next message takes.
    assert server.logins == [1, 1] and server.kept[-1:] == ([("after", "me")] if kept else [])


def test_data_accepted_with_every_recipient_refused_gets_an_empty_message():
    with (
        _loopback.SmtpServer(
            accounts=ACCOUNTS,
            refuse_recipients={"no@example.org"},
            offers=WAYS["pipelined"],
            careless=True,
        ) as server,
        smtp.Pool(Client) as pool,
        smtp.using(pool),
    ):
        with pytest.raises(smtplib.SMTPRecipientsRefused):
            send(server, "to nobody", to="no@example.org")
        send(server, "after")
    # The lone dot ends the data: the message itself never went out.
    assert server.kept == [(None, "me"), ("after", "me")] and server.logins == [1]


class Clock:
    """A clock for the pool that moves a second at every reading."""

    def __init__(self):
        self.readings = []

    def __call__(self):
        self.readings.append(100.0 + len(self.readings))
        return self.readings[-1]


@pytest.mark.parametrize(
    ("most_connections", "held", "wait", "raised", "cause", "tries"),
    [
        (None, True, 3.5, TimeoutError, None, 0),
        # The server refuses a second connection (421): the send waits for
        # the one the pool holds, trying a new one again at the readings 1,
        # 2, 3, 4, 5, 6, 8 and 10 s after the start (pauses 0.05 s, doubling
        # up to 2 s; the last with half a second left), and gives up at the
        # same deadline.
        (1, True, 10.5, TimeoutError, smtplib.SMTPConnectError, 8),
        # Refused while the pool holds nothing: the server's answer at once.
        (0, False, 3.5, smtplib.SMTPConnectError, None, 1),
    ],
    ids=["all-busy", "421-while-one-is-busy", "421-with-none-open"],
)
def test_a_send_waits_for_a_connection_until_the_deadline(
    most_connections, held, wait, raised, cause, tries
):
    with (
        _loopback.SmtpServer(accounts=ACCOUNTS, most_connections=most_connections) as server,
        smtp.Pool(Client, size=1 if most_connections is None else 2) as pool,
        contextlib.ExitStack() as stack,
    ):
        if held:
            stack.enter_context(pool(server.server_text)).login("me", PASSWORD)
        pool.clock = clock = Clock()
        pool.wait = wait
        with pytest.raises(raised) as info, pool(server.server_text) as lease:
            lease.login("you", ACCOUNTS["you"])
        readings = clock.readings[:]
        assert type(info.value.__cause__) is (cause or type(None))
        assert pool.stats == (int(held), 0, pool.size)
    if raised is TimeoutError:
        # Given up at the first reading past the deadline, not before.
        deadline = readings[0] + pool.wait
        assert readings[-2] < deadline <= readings[-1]
        refused = " and the server refused another (421)" if cause else ""
        assert str(info.value) == (
            f"no connection of the pool came free in {wait:g} s (size {pool.size}){refused}"
        )
        assert server.refused == tries
    else:
        assert info.value.smtp_code == 421 and server.logins == []


@pytest.mark.parametrize(
    ("faults", "size", "users", "open_at_end"),
    [
        ({"close_after": 4}, 3, ("me", "you"), 3),
        # The server allows two connections: the other sends wait for those,
        # and refused new connections are tried again after pauses that
        # double, a few times in all, not once per send.
        ({"most_connections": 2}, 4, ("me",), 2),
    ],
    ids=["closed-after-4", "server-allows-2"],
)
def test_threads_share_the_connections(faults, size, users, open_at_end):
    with (
        _loopback.SmtpServer(accounts=ACCOUNTS, **faults) as server,
        smtp.Pool(Client, size=size) as pool,
    ):

        def run(n):
            with smtp.using(pool):
                for k in range(5):
                    send(server, f"{n}.{k}", user=users[n % len(users)])

        threads = [threading.Thread(target=run, args=(n,)) for n in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert pool.stats.open <= open_at_end
    assert sorted(server.kept) == sorted(
        (f"{n}.{k}", users[n % len(users)]) for n in range(8) for k in range(5)
    )
    assert server.most_open <= open_at_end and set(server.logins) == {1}
    assert server.refused <= 12
    if "most_connections" in faults:
        assert len(server.logins) == 2 and pool.stats == (0, 0, size)


@pytest.mark.parametrize("silent", [False, True], ids=["answered", "silent"])
def test_close_is_bounded_whatever_the_server_does(capsys, silent):
    with _loopback.SmtpServer(accounts=ACCOUNTS, silent_quit=silent) as server:
        # Each read may take 5 s.
        pool = smtp.Pool(type("Verbose", (Client,), {"debuglevel": 1}), size=3)
        with smtp.using(pool):
            for user in ACCOUNTS:
                send(server, user, user=user)
        assert pool.stats == (3, 3, 3)
        started = time.monotonic()
        if silent:
            # A clock a second on at each reading: 1 s left for the first
            # QUIT, none for the others.
            pool.clock = Clock()
        pool.close()
        # Without an answer, 1 s in all, not 5 s for each connection.
        assert time.monotonic() - started < 3.0
        assert pool.stats == (0, 0, 3)
        assert capsys.readouterr().err.count("send: 'quit\\r\\n'") == (1 if silent else 3)


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
@pytest.mark.skipif(not hasattr(os, "fork"), reason="fork() only")
def test_a_child_process_never_touches_the_parents_connections(make_smtp_server):
    ca, served = trustme.CA(), ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    ca.issue_cert(_loopback.LOOPBACK).configure_cert(served)
    server = make_smtp_server(user="me", password=PASSWORD, starttls=served)
    trusted = ssl.create_default_context()
    ca.configure_trust(trusted)
    client = type("Client", (smtp.StartTLS,), {"context": trusted, "timeout": 5})
    mail = Email(server.server_text, "me", PASSWORD, from_="a@example.org", to="b@example.org")
    with smtp.Pool(client, size=2) as pool, smtp.using(pool):
        mail.subject = "parent before"
        mail.send()
        held = pool(server.server_text)
        held.login("me", PASSWORD)  # the kept connection, busy at the fork
        pid = os.fork()
        if pid == 0:  # the child: send, close, and say how it went
            status = 1
            try:
                assert pool.stats == (0, 0, 2)
                held.__exit__(None, None, None)  # neither kept nor closed here
                assert pool.stats == (0, 0, 2)
                mail.subject = "child"
                mail.send()
                pool.close()
                status = 0
            finally:
                os._exit(status)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
        held.__exit__(None, None, None)
        mail.subject = "parent after"
        mail.send()
        assert pool.stats == (1, 1, 2)
    assert sorted(message.message["Subject"] for message in server.messages) == [
        "child",
        "parent after",
        "parent before",
    ]
    # The parent's kept connection took both of its messages; the child had
    # one of its own, and said no QUIT on the parent's.
    sessions = [t for t in server.transcripts if b"AUTH" in t]
    assert len(sessions) == 2
    assert [t.lower().count(b"mail from:") for t in sessions] == [2, 1]
    assert [t.lower().count(b"quit") for t in sessions] == [1, 1]
