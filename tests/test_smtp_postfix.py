"""The clients against a real Postfix on loopback, with PIPELINING and
CHUNKING each offered or not: what arrives in the mailboxes is counted, and
every message arrives exactly once, byte for byte, or its send raises."""

import email.message
import email.utils
import smtplib
import ssl
import threading

import pytest
import trustme

from quillon import smtp
from quillon.email import Email

pytestmark = pytest.mark.usefixtures("bounded_waits")

# Keywords Postfix leaves out of its EHLO reply, by what it then offers.
OFFERS = {
    "both": "",
    "pipelining": "chunking",
    "chunking": "pipelining",
    "neither": "pipelining, chunking",
}
# Postfix answers 421 to this recipient and closes the connection.
ACCESS = "close@example.org 421 4.7.0 Closing at this recipient\n"
LIMIT = 20000


class Client(smtp.Plain):
    timeout = 5


def message(subject, to="b@example.org", body="A notification.\n", **headers):
    msg = email.message.EmailMessage()
    msg["From"], msg["To"], msg["Subject"] = "a@example.org", to, subject
    # Postfix adds these where they are missing, which would hide what was sent.
    msg["Date"] = email.utils.formatdate()
    msg["Message-ID"] = email.utils.make_msgid(domain="example.org")
    for name, value in headers.items():
        msg[name] = value
    msg.set_content(body, cte="8bit")
    return msg


def bare_ended(subject):
    # The data does not end with a line break: DATA adds one, so BDAT must too.
    msg = email.message.Message()
    msg["From"], msg["To"], msg["Subject"] = "a@example.org", "b@example.org", subject
    msg["Date"], msg["Message-ID"] = email.utils.formatdate(), email.utils.make_msgid()
    msg.set_payload("no line break at the end")
    return msg


@pytest.fixture(params=list(OFFERS.values()), ids=list(OFFERS))
def postfix(request, make_postfix):
    return make_postfix(
        settings={
            "smtpd_discard_ehlo_keywords": request.param,
            "message_size_limit": str(LIMIT),
            "smtpd_recipient_restrictions": "check_recipient_access texthash:{config}/access",
        },
        files={"access": ACCESS},
    )


def test_each_message_once_as_data_delivers_it_and_failures_as_smtplib(postfix):
    tricky = message(
        "dots",
        body=".\n..\n.leading dot\nFrom the start\nnon-ASCII: é ✓\n" + "long " * 300 + "\n.",
    )
    cases = [
        tricky,
        bare_ended("bare end"),
        message("some refused", to="b@example.org, nobody@example.org, c@example.org"),
        message("all refused", to="nobody@example.org"),
        message("too large", body="x" * LIMIT),
        message("421 in the group", to="b@example.org, close@example.org, c@example.org"),
        message("after"),
        message("many"),
    ]
    # More recipients than one write takes, one refused at a group's edge
    # (Postfix delivers a repeated recipient once).
    many = ["b@example.org"] * 99 + ["nobody@example.org"] + ["c@example.org"] * 150
    outcomes = []
    with smtp.Pool(Client, size=1) as pool:
        for msg in cases:
            try:
                with pool(host=postfix.server_text) as client:
                    to = many if msg["Subject"] == "many" else None
                    refused = client.send_message(msg, to_addrs=to)
                outcomes.append({k: v[0] for k, v in refused.items()})
            except smtplib.SMTPException as exc:
                outcomes.append(exc)
    assert outcomes[:3] == [{}, {}, {"nobody@example.org": 550}]
    assert type(outcomes[3]) is smtplib.SMTPRecipientsRefused
    assert list(outcomes[3].recipients) == ["nobody@example.org"]
    too_large = outcomes[4]
    assert type(too_large) is smtp.MessageTooLarge and too_large.limit == LIMIT
    assert type(outcomes[5]) is smtplib.SMTPRecipientsRefused
    assert {k: v[0] for k, v in outcomes[5].recipients.items()} == {"close@example.org": 421}
    assert outcomes[6:] == [{}, {"nobody@example.org": 550}]

    delivered = postfix.delivered()
    assert sorted(delivered["b"]) == sorted(["dots", "bare end", "some refused", "after", "many"])
    assert sorted(delivered["c"]) == ["many", "some refused"]
    for path in postfix.arrived("b"):
        sent = next(msg for msg in cases if msg["Subject"] == postfix.read(path)["Subject"])
        expected = smtp._outbox._wire_form(sent, "a@example.org", [])
        expected += b"" if expected.endswith(b"\r\n") else b"\r\n"
        arrived = path.read_bytes()
        # What Postfix puts on top, then exactly what was sent (its maildir
        # ends lines with LF alone).
        assert arrived.endswith(expected.replace(b"\r\n", b"\n"))
        trace = email.message_from_bytes(arrived[: -len(expected.replace(b"\r\n", b"\n"))])
        assert set(trace.keys()) <= {"Return-Path", "X-Original-To", "Delivered-To", "Received"}

    log = postfix.log.read_text()
    # After each refusal the kept connection was reset and took the next
    # message; only the 421 ended one (the readiness probe is the first).
    assert log.count(" connect from ") == 1 + 2
    # The commands were sent one by one where Postfix did not offer PIPELINING.
    assert "improper command pipelining" not in log


@pytest.mark.parametrize("offers", ["both", "neither"])
def test_threads_share_a_pool_and_each_message_arrives_once(make_postfix, tmp_path, offers):
    ca = trustme.CA()
    key = tmp_path / "key.pem"
    ca.issue_cert("127.0.0.1").private_key_and_cert_chain_pem.write_to_path(key)
    server = make_postfix(settings={"smtpd_discard_ehlo_keywords": OFFERS[offers]}, tls=str(key))

    class Upgraded(smtp.StartTLS):
        timeout = 5
        context = ssl.create_default_context()

    ca.configure_trust(Upgraded.context)
    failures = []
    with smtp.Pool(Upgraded, size=4) as pool:

        def run(n):
            try:
                with smtp.using(pool):
                    for k in range(6):
                        Email(
                            server.server_text,
                            from_="a@example.org",
                            to="b@example.org" if k % 2 else "c@example.org; d@example.org",
                            subject=f"{n}.{k}",
                        ).send()
            except Exception as exc:  # noqa: BLE001 - reported below
                failures.append(exc)

        threads = [threading.Thread(target=run, args=(n,)) for n in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    assert failures == []
    delivered = server.delivered()
    subjects = [f"{n}.{k}" for n in range(8) for k in range(6)]
    assert sorted(delivered["b"]) == sorted(s for s in subjects if int(s[-1]) % 2)
    assert sorted(delivered["c"]) == sorted(delivered["d"])
    assert sorted(delivered["c"]) == sorted(s for s in subjects if not int(s[-1]) % 2)
    assert server.log.read_text().count(" connect from ") <= 1 + 4


# With both, through Email.send and a pool, in the table of international addresses.
@pytest.mark.parametrize("offers", ["pipelining", "neither"])
def test_an_international_sender_goes_out_with_smtputf8(make_postfix, offers):
    server = make_postfix(
        settings={"smtpd_discard_ehlo_keywords": OFFERS[offers], "smtputf8_enable": "yes"},
        mailboxes=("b", "jürgen"),
    )
    msg = message("international")
    msg.replace_header("From", "Zoë <zoë@example.org>")
    with Client(server.server_text) as client:
        assert client.send_message(msg) == {}
        # The next transaction is in ASCII again unless it says SMTPUTF8:
        # as on a new connection, an address beyond ASCII cannot be written.
        with pytest.raises(UnicodeEncodeError):
            client.sendmail("a@example.org", ["jürgen@example.org"], b"Subject: x\r\n\r\nx\r\n")
    assert server.delivered() == {"b": ["international"]}
    [path] = server.arrived("b")
    assert path.read_bytes().startswith("Return-Path: <zoë@example.org>".encode())
    assert server.envelopes() == [("zoë@example.org", ["b@example.org"])]
