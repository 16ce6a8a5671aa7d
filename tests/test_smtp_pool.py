"""quillon.smtp.Pool at loopback servers that end connections on purpose:
every message arrives exactly once or its send raises, each connection logs
in once, and no more connections are open than the pool's size."""

import gc
import select
import smtplib
import threading
import types

import pytest

from quillon import smtp
from quillon.email import Email
from support import PASSWORD, FaultySmtpServer

pytestmark = pytest.mark.usefixtures("bounded_waits")

ACCOUNTS = {"me": PASSWORD, "you": "Other-" + PASSWORD}


class Client(smtp.Plain):
    timeout = 5


def send(server, subject, user="me", password=None, **fields):
    fields = {"from_": "a@example.org", "to": "b@example.org", **fields}
    password = ACCOUNTS.get(user) if password is None else password
    Email(server.server_text, user, password, subject=subject, **fields).send()


# What each way of sending puts in one write, as the server offers it.
WAYS = {"one-by-one": (), "pipelined": ("PIPELINING",), "chunked": ("PIPELINING", "CHUNKING")}


@pytest.mark.parametrize(
    ("faults", "logins", "unknown", "chunked"),
    [
        # Noticed before the next MAIL, or at it: either way a new connection.
        ({"close_after": 3}, [1] * 4, [], None),
        ({"refuse_mail_after": 3}, [1] * 4, [], None),
        # Unless the whole message went out with MAIL: then the server may
        # have taken it before the connection was lost.
        ({"drop_mail_after": 3}, [1] * 4, [], ([1] * 3, [3, 7])),
        # Lost between the end of the data and the reply: kept by the server,
        # reported to the caller, never sent twice.
        ({"drop_after_data": {4, 7}}, [1] * 3, [3, 6], None),
    ],
    ids=["closed-after-3", "421-at-mail", "dropped-at-mail", "dropped-after-data"],
)
@pytest.mark.parametrize("way", WAYS)
def test_connections_the_server_ends(faults, logins, unknown, chunked, way):
    lost = []
    if chunked and way == "chunked":
        (logins, unknown), lost = chunked, chunked[1]
    failures = {}
    with (
        FaultySmtpServer(accounts=ACCOUNTS, offers=WAYS[way], **faults) as server,
        smtp.Pool(Client, size=1) as pool,
        smtp.using(pool),
    ):
        for n in range(10):
            try:
                send(server, f"m{n}")
            except smtplib.SMTPServerDisconnected as exc:
                failures[n] = exc
    assert server.messages == [(f"m{n}", "me") for n in range(10) if n not in lost]
    assert server.logins == logins
    assert list(failures) == unknown
    for exc in failures.values():
        assert type(exc) is smtp.DeliveryUnknown and "may have been delivered" in str(exc)
    # One read for MAIL, RCPT and DATA (or BDAT and the message), one for
    # the data after DATA, against four.
    assert server.reads < 30 if WAYS[way] else server.reads >= 40


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


@pytest.mark.parametrize("poll", [True, False], ids=["poll", "no-poll"])  # no poll on Windows
def test_one_login_per_connection_and_no_other_password_through_it(monkeypatch, poll):
    if not poll:
        monkeypatch.delattr(select, "poll")
    with FaultySmtpServer(accounts=ACCOUNTS) as server, smtp.Pool(Client, size=2) as pool:
        with smtp.using(pool):
            send(server, "m0")
            with pytest.raises(smtplib.SMTPAuthenticationError):
                send(server, "wrong", password="Not" + PASSWORD)
            send(server, "m1", user="you")
            send(server, "m2")
            send(server, "m3", user="you")
            # A local part beyond ASCII, then ASCII again, on the kept connection.
            send(server, "m4", to="Jürgen@Bücher.de", from_="jörg@example.org")
            send(server, "m5")
        assert PASSWORD not in reachable_texts(pool) and "me" in reachable_texts(pool)
        assert PASSWORD not in repr(pool)
    assert server.messages == [
        ("m0", "me"),
        ("m1", "you"),
        ("m2", "me"),
        ("m3", "you"),
        ("m4", "me"),
        ("m5", "me"),
    ]
    assert server.logins == [1, 0, 1]
    with pytest.raises(RuntimeError, match="closed"):
        pool(host=server.server_text)


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
    with FaultySmtpServer(
        accounts=ACCOUNTS, refuse_recipients={"no@example.org"}, offers=WAYS[way], **faults
    ) as server:
        # smtplib's own exchange, one command at a time.
        with smtp.using(smtplib.SMTP), pytest.raises(smtplib.SMTPException) as fresh:
            send(server, "fresh", **fields)
        with smtp.Pool(Client) as pool, smtp.using(pool):
            with pytest.raises(type(fresh.value)) as pooled:
                send(server, "pooled", **fields)
            if kept:
                send(server, "after")
    assert pooled.value.args == fresh.value.args
    assert "SMTPUTF8" not in str(fresh.value) or server.server_text in str(fresh.value)
    # The connection that was reset is the one the next message takes.
    assert server.logins == [1, 1] and server.messages[-1:] == ([("after", "me")] if kept else [])


def test_data_accepted_with_every_recipient_refused_gets_an_empty_message():
    with (
        FaultySmtpServer(
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
    assert server.messages == [(None, "me"), ("after", "me")] and server.logins == [1]


def test_threads_never_open_more_than_size():
    with (
        FaultySmtpServer(accounts=ACCOUNTS, close_after=4) as server,
        smtp.Pool(Client, size=3) as pool,
    ):

        def run(n):
            with smtp.using(pool):
                for k in range(5):
                    send(server, f"{n}.{k}", user=("me", "you")[n % 2])

        threads = [threading.Thread(target=run, args=(n,)) for n in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    assert sorted(server.messages) == sorted(
        (f"{n}.{k}", ("me", "you")[n % 2]) for n in range(8) for k in range(5)
    )
    assert server.most_open <= 3 and set(server.logins) == {1}
