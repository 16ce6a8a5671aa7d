"""Header and command injection and secrets, checked at a real loopback SMTP server."""

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
# A character each reader or server takes for a line end or a terminator:
# whatever follows would become a header, a part or a command of its own.
PAYLOADS = {
    "crlf-bcc": "\r\nBcc: evil@x.org",
    "vt-body": "\x0b\x0bINJECTED BODY",
    "nul": "\x00.x.org",
    "nel": "\x85Bcc: evil@x.org",
    "line-separator": "\u2028X-Injected: 1",
    "surrogate": "\ud800",
}
WHAT = {"\u2028": "a line separator", "\ud800": "a lone surrogate"}


pytestmark = pytest.mark.usefixtures("bounded_waits")


@pytest.mark.parametrize("payload", PAYLOADS.values(), ids=PAYLOADS.keys())
@pytest.mark.parametrize(
    "field", ["subject", "from_", "to", "cc", "bcc", "server", "file name", "non-ASCII file name"]
)
def test_control_characters_are_refused_before_connecting(smtp_server, field, payload):
    fields = {**FIELDS, "attachments": [("a.txt", b"x")], "server": smtp_server.server_text}
    if field.endswith("file name"):
        # A non-ASCII name is encoded on its own path.
        name = ("é.txt" if "non" in field else "a.txt") + payload
        fields["attachments"] = [(name, b"x")]
        where = f"the file name {name!r} in attachments"
    else:
        fields[field] += payload
        where = field
    sessions = len(smtp_server.transcripts)
    with pytest.raises(ValueError) as info:
        Email(**fields).send()
    what = WHAT.get(payload[0], "a control character")
    assert str(info.value) == f"message not sent: {where} holds {what} (U+{ord(payload[0]):04X})"
    assert len(smtp_server.transcripts) == sessions  # not even connected


@pytest.mark.parametrize("field", ["from_", "to", "cc", "bcc"])
@pytest.mark.parametrize("control", ["\x80", "\x9b"])
def test_addresses_hold_no_c1_control(smtp_server, field, control):
    # In a header the library encodes these; in MAIL FROM or RCPT TO they go as they are.
    mail = Email(smtp_server.server_text, **FIELDS)
    setattr(mail, field, "a" + control + "b@example.org")
    with pytest.raises(ValueError) as info:
        mail.send()
    assert str(info.value) == (
        f"message not sent: {field} holds a control character (U+{ord(control):04X})"
    )
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
