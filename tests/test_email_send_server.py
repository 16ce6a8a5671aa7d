"""Email.send through the real standard library to a loopback SMTP server."""

import contextlib
import email
import re
import smtplib
from email import policy

import pytest

from quillon import _loopback, smtp
from quillon.contact import Contact
from quillon.email import Email

CONTENT = bytes(range(256)) * 3


pytestmark = pytest.mark.usefixtures("bounded_waits")


def make_email(server, **fields):
    return Email(
        server.server_text,
        **{"from_": "Sender@Example.org", "to": "to@example.org", "subject": "Hello", **fields},
    )


def test_envelope_headers_and_body(smtp_server):
    make_email(
        smtp_server,
        to="A@Example.org; b@example.org",
        cc="c@example.org",
        bcc="Hidden@Example.org",
        message="<p>Hi</p>",
    ).send()
    [received] = smtp_server.messages
    assert received.mail_from == "sender@example.org"
    # Which header the client reads first is its own business.
    assert sorted(received.rcpt_tos) == [
        "a@example.org",
        "b@example.org",
        "c@example.org",
        "hidden@example.org",
    ]
    assert received.login is None
    message = email.message_from_bytes(received.data)  # header values as sent
    assert (message["From"], message["To"], message["Cc"], message["Subject"]) == (
        "sender@example.org",
        "a@example.org,b@example.org",
        "c@example.org",
        "Hello",
    )
    assert message["Bcc"] is None
    assert b"hidden@example.org" not in received.data.lower()
    [html] = message.get_payload()
    assert html.get_content_type() == "text/html"
    assert html.get_payload(decode=True).decode(html.get_content_charset()) == "<p>Hi</p>"


def test_attachments_arrive_with_their_names_and_bytes(smtp_server):
    long_name = ("Quarterly report (final, v2) = approved by finance and legal; " * 2)[:96] + ".pdf"
    files = [
        ("report.pdf", CONTENT),
        ("report (1).pdf", CONTENT[::-1]),
        ("random 5MB.bin", b"\0"),
        ("x,y=z.csv", b"a,b"),
        ('say "hi".txt', b""),
        ("résumé.pdf", b"\x00\r\n\xff"),
        ("日本語.txt", "テキスト".encode()),
        (long_name, b"long"),
        ("é" * 100, b"wide"),
        (
            "Minutes of the annual general meeting with the budget figures and all the "
            "appendices 2.pdf",
            b"m",
        ),
        ("two  blanks  " * 6 + "Grüße.txt", b"g"),
    ]
    make_email(smtp_server, attachments=files).send()
    [received] = smtp_server.messages
    # The modern parser is the strict one: an unquoted name ends at a blank.
    # The older one takes a line break folded into a quoted name into the name.
    for reading in (policy.default, policy.compat32):
        parts = email.message_from_bytes(received.data, policy=reading).get_payload()[1:]
        assert [(part.get_filename(), part.get_payload(decode=True)) for part in parts] == files
    for part in parts:
        assert part.get_content_type() == "application/octet-stream"
        assert part["Content-Transfer-Encoding"] == "base64"
        assert part.get_content_disposition() == "attachment"
    # A token travels unquoted, as it was given.
    assert b"Content-Disposition: attachment; filename=report.pdf\r\n" in received.data


def test_date_message_id_and_long_lines(smtp_server):
    text = "<p>" + "minified " * 600 + "</p>\n<p>short</p>\r\n" + "x" * 999
    for _ in range(2):
        make_email(smtp_server, message=text).send()
    ids = []
    for received in smtp_server.messages:
        message = email.message_from_bytes(received.data, policy=policy.default)
        assert email.utils.parsedate_to_datetime(message["Date"]).tzinfo is not None
        ids.append(re.fullmatch(r"<[^<>@\s]+@example\.org>", message["Message-ID"])[0])
        # No line a relay would cut, and the text as it was.
        assert max(map(len, received.data.split(b"\r\n"))) <= 998
        [html] = message.get_payload()
        assert html.get_all("Content-Transfer-Encoding") == ["quoted-printable"]
        assert html.get_content().splitlines() == text.splitlines()
    assert len(set(ids)) == 2


@pytest.mark.parametrize(
    ("to", "delivered"),
    [
        ("ok@example.org, gone@example.org", [["hidden@example.org", "ok@example.org"]]),
        ("gone@example.org", []),
    ],
    ids=["some", "every"],
)
def test_refused_recipients_are_reported(make_smtp_server, to, delivered):
    server = make_smtp_server(refuse_recipients={"gone@example.org"})
    with pytest.raises(smtplib.SMTPRecipientsRefused) as info:
        make_email(server, to=to, bcc="hidden@example.org" if delivered else None).send()
    [(address, (code, _))] = info.value.recipients.items()
    assert (address, code) == ("gone@example.org", 550)
    assert [sorted(received.rcpt_tos) for received in server.messages] == delivered


# Addresses beyond ASCII: (fields, envelope sender, To and Cc as shown, Bcc,
# the addresses that need SMTPUTF8). A domain goes out as A-labels (IDNA 2008
# after UTS #46: "straße" is not "strasse"), which any server takes; a local
# part as it is, which needs SMTPUTF8.
BUCHER, JURGEN = "user@xn--bcher-kva.de", "jürgen@example.org"
INTERNATIONAL = {
    "domain": ({"to": "User@Bücher.de"}, "sender@example.org", [BUCHER], [], None),
    "local-part": (
        {"to": "Jürgen@example.org"},
        "sender@example.org",
        [JURGEN],
        [],
        "'jürgen@example.org' in to needs",
    ),
    "cc-both": (
        {"to": "a@example.org", "cc": "user@bücher.de; Jürgen<jürgen@example.org>"},
        "sender@example.org",
        ["a@example.org", BUCHER, JURGEN],
        [],
        "'jürgen@example.org' in cc needs",
    ),
    "sender": (
        {"from_": "Jörg@Straße.de", "to": "ü@bücher.de"},
        "jörg@xn--strae-oqa.de",
        ["ü@xn--bcher-kva.de"],
        [],
        "'jörg@xn--strae-oqa.de' in from_, 'ü@xn--bcher-kva.de' in to need",
    ),
    "sender-local-part": (
        {"from_": "Jörg@example.org"},
        "jörg@example.org",
        ["to@example.org"],
        [],
        "'jörg@example.org' in from_ needs",
    ),
    "bcc": (
        {"from_": "chef@bücher.de", "bcc": "jürgen@example.org"},
        "chef@xn--bcher-kva.de",
        ["to@example.org"],
        [JURGEN],
        "'jürgen@example.org' in bcc needs",
    ),
}


# The mailboxes of the Postfix instances: every address of the table.
MAILBOXES = ["to", "a", "jürgen", BUCHER, "ü@xn--bcher-kva.de"]


@pytest.fixture(scope="module")
def postfix_by_smtputf8(make_module_postfix):
    """A Postfix with SMTPUTF8 and one without, each started once for the module."""
    started = {}

    def get(smtputf8):
        if smtputf8 not in started:
            setting = {"smtputf8_enable": "yes" if smtputf8 else "no"}
            started[smtputf8] = make_module_postfix(mailboxes=MAILBOXES, settings=setting)
        return started[smtputf8]

    return get


def mailbox(address):
    return address.partition("@")[0] if address.endswith("@example.org") else address


@pytest.mark.parametrize("kind", ["aiosmtpd", "postfix"])
@pytest.mark.parametrize("smtputf8", [True, False], ids=["smtputf8", "no-smtputf8"])
@pytest.mark.parametrize(
    ("fields", "sender", "shown", "hidden", "needs"),
    INTERNATIONAL.values(),
    ids=INTERNATIONAL.keys(),
)
def test_international_addresses(
    make_smtp_server, postfix_by_smtputf8, kind, smtputf8, fields, sender, shown, hidden, needs
):
    refused = needs and not smtputf8
    with contextlib.ExitStack() as stack:
        if kind == "aiosmtpd":
            server = make_smtp_server(smtputf8=smtputf8)
            mails = [make_email(server, subject="Grüße", **fields)]
        else:
            # Postfix offers PIPELINING and CHUNKING: one kept connection of a
            # pool takes ASCII mail before and after, whatever became of this.
            server = postfix_by_smtputf8(smtputf8)
            logged = len(server.envelopes())
            connections = server.log.read_text().count(" connect from ")
            known = {path for name in MAILBOXES for path in server.arrived(name)}
            pool = stack.enter_context(smtp.Pool(smtp.Plain, size=1))
            stack.enter_context(smtp.using(pool))
            mails = [
                make_email(server, subject="before"),
                make_email(server, subject="Grüße", **fields),
                make_email(server, subject="after"),
            ]
        for mail in mails:
            if refused and mail.subject == "Grüße":
                with pytest.raises(smtplib.SMTPNotSupportedError) as info:
                    mail.send()
                assert str(info.value) == (
                    f"message not sent: {server.server_text} does not offer SMTPUTF8, which "
                    f"{needs} for a local part beyond ASCII; nothing was sent"
                )
            else:
                mail.send()
    if kind == "aiosmtpd":
        if refused:
            # Refused before MAIL FROM: nothing of the message reached the server.
            assert server.messages == []
            assert b"MAIL" not in b"".join(server.transcripts).upper()
            return
        [received] = server.messages
        utf8 = "SMTPUTF8" in received.mail_options
        assert utf8 == ("BODY=8BITMIME" in received.mail_options)
        arrived = (received.mail_from, sorted(received.rcpt_tos), utf8, received.data)
    else:
        server.delivered()
        envelopes = server.envelopes()[logged:]
        assert server.queued() == 0
        assert server.log.read_text().count(" connect from ") == connections + 1
        ascii_mail = ("sender@example.org", ["to@example.org"])
        if refused:
            assert envelopes == [ascii_mail] * 2
            return
        assert envelopes[::2] == [ascii_mail] * 2 and len(envelopes) == 3
        [path] = [
            path
            for path in server.arrived(mailbox(shown[0]))
            if path not in known and server.read(path)["Subject"] == "Grüße"
        ]
        # Postfix names the protocol in its trace header: UTF8SMTP under SMTPUTF8.
        utf8 = " with UTF8" in server.read(path)["Received"]
        data = path.read_bytes().replace(b"\n", b"\r\n")
        arrived = (envelopes[1][0], sorted(envelopes[1][1]), utf8, data)
    assert arrived[:3] == (sender, sorted(shown + hidden), needs is not None)
    utf8, data = needs is not None, arrived[3]
    # UTF-8 headers read as UTF-8 (the bytes parser would keep their bytes
    # as surrogates); every part is in base64 or 7bit.
    message = email.message_from_string(data.decode(), policy=policy.default)
    assert [address.addr_spec for address in message["From"].addresses] == [sender]
    headers = [message[name] for name in ("To", "Cc") if name in message]
    assert [address.addr_spec for value in headers for address in value.addresses] == shown
    assert (message["Subject"], message["Bcc"]) == ("Grüße", None)
    assert message["Message-ID"].endswith(f"@{sender.rpartition('@')[2]}>")
    # UTF-8 headers under SMTPUTF8; an address is never RFC 2047-encoded.
    assert (b"Subject: Gr\xc3\xbc\xc3\x9fe\r\n" in data) == utf8
    assert not re.search(rb"(?im)^(from|to|cc):[^\r\n]*=\?", data)
    assert all(address.encode() not in data for address in hidden)


# Contact.validate's verdict on each address, and what send makes of it at a
# server with SMTPUTF8 and at one without.
AGREEMENT = {
    "user@bücher.de": (True, "arrived", "arrived"),
    "x@ＢÜCHER．de": (True, "arrived", "arrived"),  # UTS #46 maps it to bücher.de
    "x@straße.de": (True, "arrived", "arrived"),
    "jürgen@example.org": (True, "arrived", "needs SMTPUTF8"),
    "jürgen@bücher.de": (True, "arrived", "needs SMTPUTF8"),
    "x@☃.com": (False, "refused", "refused"),
    "ü@bü..de": (False, "refused", "refused"),
}


@pytest.mark.parametrize("smtputf8", [True, False], ids=["smtputf8", "no-smtputf8"])
def test_contact_and_send_agree_on_international_addresses(
    make_dns_server, make_smtp_server, smtputf8
):
    mx = {"MX": "10 mail.mx.example."}
    make_dns_server(
        {
            **_loopback.DEFAULT_ZONE,
            **dict.fromkeys(["example.org", "xn--bcher-kva.de", "xn--strae-oqa.de"], mx),
        }
    )
    server = make_smtp_server(smtputf8=smtputf8)
    verdicts = {}
    for address in AGREEMENT:
        valid, _ = Contact.validate(address, 5)
        try:
            make_email(server, to=address).send()
            outcome = "arrived"
        except smtplib.SMTPNotSupportedError as exc:
            assert server.server_text in str(exc)
            outcome = "needs SMTPUTF8" if "SMTPUTF8" in str(exc) else str(exc)
        except ValueError as exc:
            outcome = "refused" if "IDNA refuses" in str(exc) else str(exc)
        verdicts[address] = (valid, outcome)
    assert verdicts == {
        address: (valid, on if smtputf8 else off) for address, (valid, on, off) in AGREEMENT.items()
    }
    assert len(server.messages) == [verdict[1] for verdict in verdicts.values()].count("arrived")


def refusal(text):
    return f"message not sent: {text}"


def empty(field):
    return refusal(f"{field} holds an empty address (a doubled or trailing ',' or ';')")


def not_one(item, field):
    return refusal(
        f"{item!r} in {field} is not one address: it needs exactly one '@' with text "
        "on both sides (',' and ';' separate addresses, blanks are dropped)"
    )


def idna_refused(item, field, reason):
    return refusal(
        f"{item!r} in {field} has a domain that IDNA refuses ({reason}), "
        "so it cannot be written in ASCII"
    )


def unreadable(item, field):
    return refusal(f"the SMTP client cannot read {item!r} in {field} as one address")


def beyond_ascii(which):
    return refusal(f"the {which} holds characters beyond ASCII, which SMTP login cannot carry")


@pytest.mark.parametrize(
    ("fields", "message"),
    [
        # send_message() would have sent these to "<>" alone, or "<>" beside the others.
        ({"to": "alice@a.test", "cc": "bob@a.test;", "bcc": "erin@c.test"}, empty("cc")),
        ({"to": "alice@a.test;"}, empty("to")),
        ({"to": "x@example.org;;y@example.org"}, empty("to")),
        # smtplib would have sent MAIL FROM:<None>, or found nobody to send to once connected.
        ({"from_": None}, refusal("from_ is empty, so the message has no sender")),
        ({"from_": " ;x@example.org"}, refusal("from_ is empty, so the message has no sender")),
        ({"to": [], "cc": ";", "bcc": ""}, refusal("no recipients (to, cc and bcc name nobody)")),
        # A relay would take "com" or "bobexample.org" for a user of its own.
        ({"to": "alice@example,com"}, not_one("com", "to")),
        ({"bcc": "bob example.org"}, not_one("bobexample.org", "bcc")),
        ({"from_": "Postmaster"}, not_one("postmaster", "from_")),
        ({"to": "a@x.org<b@x.org>"}, not_one("a@x.org<b@x.org>", "to")),
        # What the client, or the server, reads as another address than the
        # one written, or as none: the null sender, a group's member, ...
        *[
            ({field: item}, unreadable(item, field))
            for field, item in [
                ("cc", "a(@example.org"),
                ("to", "a@example.org(home)"),
                ("from_", "me@example.org>"),
                ("from_", "<me@example.org>notify=never"),
                ("from_", "me@[192.0.2.1]"),
                ("to", "evil:a@example.org"),
                ("to", "<a@example.org"),
                ("to", 'a"@example.org"b@y.org'),
                ("bcc", "\\a@example.org"),
            ]
        ],
        ({"subject": "two\nlines"}, refusal("subject holds a control character (U+000A)")),
        # Domains that IDNA 2008 refuses, as email_validator does.
        (
            {"to": "a@example.org; x@☃.com"},
            idna_refused("x@☃.com", "to", "Codepoint U+2603 at position 1 of '☃' not allowed"),
        ),
        (
            {"from_": "Jörg<jörg@-bücher.de>"},
            idna_refused(
                "jörg<jörg@-bücher.de>", "from_", "Label must not start or end with a hyphen"
            ),
        ),
        ({"bcc": "jürgen@bü..de"}, idna_refused("jürgen@bü..de", "bcc", "Empty Label")),
        ({"username": "jörg", "password": "secret"}, beyond_ascii("user name")),
        ({"username": "alice", "password": "pässwörd"}, beyond_ascii("password")),
    ],
    ids=[
        "cc-trailing",
        "to-trailing",
        "doubled",
        "no-sender",
        "empty-sender",
        "no-recipients",
        "comma",
        "blank",
        "sender-no-at",
        "two-at",
        *[
            f"unreadable-{which}"
            for which in [
                "parenthesis",
                "comment",
                "sender-bracket",
                "sender-option",
                "sender-literal",
                "group",
                "unbalanced",
                "quotes",
                "backslash",
            ]
        ],
        "subject-break",
        "idna-to",
        "idna-from",
        "idna-bcc",
        "utf8-user",
        "utf8-password",
    ],
)
def test_refused_before_connecting(make_smtp_server, monkeypatch, fields, message):
    import quillon.email as module

    server = make_smtp_server(user="alice", password="secret")
    connects = []
    real_smtp = module.SMTP
    monkeypatch.setattr(module, "SMTP", lambda **kw: connects.append(kw) or real_smtp(**kw))
    fields = {
        "username": "alice",
        "password": "secret",
        "from_": "a@example.org",
        "to": "to@example.org",
        **fields,
    }
    with pytest.raises(ValueError) as info:
        Email(server.server_text, **fields).send()
    # Never connected, so never logged in either.
    assert (str(info.value), connects, server.messages) == (message, [], [])
    exposed = repr((info.value.args, getattr(info.value, "__notes__", None)))
    assert fields["username"] not in exposed and fields["password"] not in exposed


def test_failures_say_what_is_missing(make_smtp_server):
    with pytest.raises(smtplib.SMTPServerDisconnected) as info:
        Email(None, from_="a@example.org", to="b@example.org").send()
    assert info.value.__notes__ == [
        "no server is set (Email.server is None), so the SMTP client has nowhere to connect"
    ]
    server = make_smtp_server(user="alice", password="secret")
    # PLAIN is refused for the user "None"; smtplib's LOGIN fallback then
    # fails mid-dialogue, and __exit__ raises in place of that: the note goes
    # on what reaches the caller.
    with pytest.raises(smtplib.SMTPResponseException) as info:
        Email(server.server_text, None, "secret", "a@example.org", "b@example.org").send()
    assert info.value.__notes__ == [
        "a password is set but no user name (Email.username is None); login was given user=None"
    ]
    assert server.messages == []
