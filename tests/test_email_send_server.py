"""Email.send through the real standard library to a loopback SMTP server."""

import email
import re
import smtplib
from email import policy

import pytest

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


def refusal(text):
    return f"message not sent: {text}"


def empty(field):
    return refusal(f"{field} holds an empty address (a doubled or trailing ',' or ';')")


def not_one(item, field):
    return refusal(
        f"{item!r} in {field} is not one address: it needs exactly one '@' with text "
        "on both sides (',' and ';' separate addresses, blanks are dropped)"
    )


def international(item, field):
    return refusal(
        f"{item!r} in {field} is an internationalised address, which needs SMTPUTF8; "
        "this message form cannot use it"
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
        ({"to": "jörg@example.org"}, international("jörg@example.org", "to")),
        ({"from_": "Jörg<jörg@example.org>"}, international("jörg<jörg@example.org>", "from_")),
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
        "utf8-to",
        "utf8-from",
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
