"""Header injection and secrets, checked at a real loopback SMTP server."""

import email.errors
import logging
import re
import smtplib
import socket
import traceback

import pytest

from quillon.email import Email

FIELDS = {"from_": "sender@example.org", "to": "to@example.org", "cc": "cc@example.org",
          "bcc": "bcc@example.org", "subject": "Hello", "message": "<p>Hi</p>"}
RECIPIENTS = ["bcc@example.org", "cc@example.org", "to@example.org"]
PAYLOADS = {"crlf-bcc": "\r\nBcc: evil@x.org", "lf-bcc": "\nBcc: evil@x.org",
            "lf-header": "\nX-Injected: 1", "cr-bcc": "\rBcc: evil@x.org"}
INJECTED = re.compile(rb"(?im)^\s*(bcc|x-injected)\s*:")
PASSWORD = "Quillon-Pa55-Zebra-4417"


pytestmark = pytest.mark.usefixtures("bounded_waits")


class MessageLost(AssertionError):
    """Accepted without an error, yet not handed to the recipients asked for."""


@pytest.mark.parametrize("payload", PAYLOADS.values(), ids=PAYLOADS.keys())
@pytest.mark.parametrize("field", ["subject", "from_", "to", "cc", "bcc", "file name",
                                   "non-ASCII file name"])
def test_line_breaks_never_inject_a_header_or_recipient(smtp_server, field, payload):
    fields = {**FIELDS, "attachments": [("a.txt", b"x")]}
    if field.endswith("file name"):
        # A non-ASCII name is encoded on its own path.
        fields["attachments"] = [(("é.txt" if "non" in field else "a.txt") + payload, b"x")]
    else:
        fields[field] += payload
    try:
        Email(smtp_server.server_text, **fields).send()
    except email.errors.MessageError:
        refused = True  # the standard library refuses such a header before the data goes out
    except ValueError as exc:
        # A recipient with a line break: smtplib would parse the envelope
        # into "<>" alone, so send refuses before connecting.
        assert field in {"to", "cc", "bcc"} and "message not sent" in str(exc)
        refused = True
    else:
        refused = False
    for received in smtp_server.messages:
        assert not INJECTED.search(received.data)
        assert not any(part[name] for part in received.message.walk()
                       for name in ("Bcc", "X-Injected"))
        assert not any(re.search("evil|injected", address) for address in received.rcpt_tos)
    if refused:
        assert smtp_server.messages == []
    elif [sorted(received.rcpt_tos) for received in smtp_server.messages] != [RECIPIENTS]:
        raise MessageLost([received.rcpt_tos for received in smtp_server.messages])


@pytest.mark.parametrize("given", [PASSWORD, "Not" + PASSWORD], ids=["right", "wrong"])
def test_password_reaches_no_log_output_or_error(make_smtp_server, caplog, capsys, monkeypatch,
                                                 given):
    server = make_smtp_server(user="alice", password=PASSWORD)
    caplog.set_level(logging.DEBUG)
    for name, logger in list(logging.root.manager.loggerDict.items()):
        if isinstance(logger, logging.Logger):
            caplog.set_level(logging.DEBUG, logger=name)
    monkeypatch.setattr(smtplib.SMTP, "debuglevel", 2)  # smtplib's dialogue trace on stderr
    mail = Email(server.server_text, "alice", given, **FIELDS)
    texts = []
    try:
        mail.send()
    except smtplib.SMTPAuthenticationError as exc:
        texts = [str(exc), repr(exc), repr(exc.args), *traceback.format_exception(exc)]
    server.stop()  # the server thread's last records are in once it has stopped
    assert bool(texts) == (given != PASSWORD)
    assert [received.login for received in server.messages] == ["alice"] * (given == PASSWORD)
    output = capsys.readouterr()
    texts += [caplog.text, output.out, output.err]
    texts += [repr(vars(record)) for record in caplog.records]
    assert "call Email.send" in caplog.text and "send: 'ehlo" in output.err  # both really on
    for text in texts:
        assert PASSWORD not in text
