"""Email.send through the real standard library to a loopback SMTP server."""

import email
import smtplib

import pytest

from quillon.email import Email

CONTENT = bytes(range(256)) * 3


pytestmark = pytest.mark.usefixtures("bounded_waits")


def make_email(server, **fields):
    return Email(server.server_text, **{"from_": "Sender@Example.org", "to": "to@example.org",
                                        "subject": "Hello", **fields})


def test_envelope_headers_and_body(smtp_server):
    make_email(smtp_server, to="A@Example.org; b@example.org", cc="c@example.org",
               bcc="Hidden@Example.org", message="<p>Hi</p>").send()
    [received] = smtp_server.messages
    assert received.mail_from == "sender@example.org"
    # Which header the client reads first is its own business.
    assert sorted(received.rcpt_tos) == ["a@example.org", "b@example.org", "c@example.org",
                                         "hidden@example.org"]
    assert received.login is None
    message = email.message_from_bytes(received.data)  # header values as sent
    assert (message["From"], message["To"], message["Cc"], message["Subject"]) == (
        "sender@example.org", "a@example.org,b@example.org", "c@example.org", "Hello")
    assert message["Bcc"] is None
    assert b"hidden@example.org" not in received.data.lower()
    [html] = message.get_payload()
    assert html.get_content_type() == "text/html"
    assert html.get_payload(decode=True).decode(html.get_content_charset()) == "<p>Hi</p>"


def test_attachments_arrive_with_their_names_and_bytes(smtp_server):
    files = [("report.pdf", CONTENT), ("my holiday photo.jpg", CONTENT[::-1]),
             ("résumé.pdf", b"\x00\r\n\xff"), ("a;b.txt", b"semicolon"),
             ('say "hi".txt', b""), ("日本語.txt", "テキスト".encode())]
    make_email(smtp_server, attachments=files).send()
    [received] = smtp_server.messages
    # The compat32 parser reads an unquoted name up to the ";" or the line end;
    # the stricter default policy stops at the first blank.
    parts = email.message_from_bytes(received.data).get_payload()[1:]
    assert [(part.get_filename(), part.get_payload(decode=True)) for part in parts] == files
    for part in parts:
        assert part.get_content_type() == "application/octet-stream"
        assert part["Content-Transfer-Encoding"] == "base64"
        assert part.get_content_disposition() == "attachment"
    # A plain name travels unquoted, as it was given.
    assert b"Content-Disposition: attachment; filename=my holiday photo.jpg\r\n" in received.data


@pytest.mark.parametrize(("to", "delivered"), [
    ("ok@example.org, gone@example.org", [["hidden@example.org", "ok@example.org"]]),
    ("gone@example.org", []),
], ids=["some", "every"])
def test_refused_recipients_are_reported(make_smtp_server, to, delivered):
    server = make_smtp_server(refuse_recipients={"gone@example.org"})
    with pytest.raises(smtplib.SMTPRecipientsRefused) as info:
        make_email(server, to=to, bcc="hidden@example.org" if delivered else None).send()
    [(address, (code, _))] = info.value.recipients.items()
    assert (address, code) == ("gone@example.org", 550)
    assert [sorted(received.rcpt_tos) for received in server.messages] == delivered


@pytest.mark.parametrize("fields", [
    {"to": "to@example.org;"},                       # a trailing separator leaves an empty item
    {"to": "to@example.org", "bcc": "b@example.org\nx"},
    {"cc": "a(@example.org"},
], ids=["trailing-separator", "line-break-in-bcc", "open-parenthesis"])
def test_recipients_smtplib_cannot_parse_are_refused_before_connecting(smtp_server, monkeypatch, fields):
    # send_message() would turn the whole recipient list into "<>" and
    # report success; nobody named would get the message.
    import quillon.email as module

    connects = []
    real_smtp = module.SMTP
    monkeypatch.setattr(module, "SMTP", lambda **kw: connects.append(kw) or real_smtp(**kw))
    with pytest.raises(ValueError, match=r"^message not sent: the SMTP client would deliver it to 0 of the"):
        Email(smtp_server.server_text, from_="a@example.org", **fields).send()
    assert connects == [] and smtp_server.messages == []


def test_empty_items_between_addresses_still_reach_everyone(smtp_server):
    Email(smtp_server.server_text, from_="a@example.org", to="x@example.org;;y@example.org").send()
    assert set(smtp_server.messages[0].rcpt_tos) >= {"x@example.org", "y@example.org"}
