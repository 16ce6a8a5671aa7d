"""Header injection and secrets, checked at a real loopback SMTP server."""

import logging
import smtplib
import traceback

import pytest

from quillon.email import Email
from support import PASSWORD

FIELDS = {
    "from_": "sender@example.org",
    "to": "to@example.org",
    "cc": "cc@example.org",
    "bcc": "bcc@example.org",
    "subject": "Hello",
    "message": "<p>Hi</p>",
}
PAYLOADS = {
    "crlf-bcc": "\r\nBcc: evil@x.org",
    "lf-bcc": "\nBcc: evil@x.org",
    "lf-header": "\nX-Injected: 1",
    "cr-bcc": "\rBcc: evil@x.org",
}


pytestmark = pytest.mark.usefixtures("bounded_waits")


@pytest.mark.parametrize("payload", PAYLOADS.values(), ids=PAYLOADS.keys())
@pytest.mark.parametrize(
    "field", ["subject", "from_", "to", "cc", "bcc", "file name", "non-ASCII file name"]
)
def test_line_breaks_are_refused_before_any_header_is_sent(smtp_server, field, payload):
    fields = {**FIELDS, "attachments": [("a.txt", b"x")]}
    if field.endswith("file name"):
        # A non-ASCII name is encoded on its own path.
        name = ("é.txt" if "non" in field else "a.txt") + payload
        fields["attachments"] = [(name, b"x")]
        expected = f"the file name {name!r} in attachments holds"
    else:
        fields[field] += payload
        expected = f"{field} holds"
    with pytest.raises(ValueError) as info:
        Email(smtp_server.server_text, **fields).send()
    assert str(info.value) == f"message not sent: {expected} a line break (CR or LF)"
    assert smtp_server.messages == []


@pytest.mark.parametrize("given", [PASSWORD, "Not" + PASSWORD], ids=["right", "wrong"])
def test_password_reaches_no_log_output_or_error(
    make_smtp_server, caplog, capsys, monkeypatch, given
):
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
