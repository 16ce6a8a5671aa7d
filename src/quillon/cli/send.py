"""``quillon send``: compose a message from the options and send it over SMTP.

Every command's parser is built at each start, so smtplib, ssl and the mail
modules are imported only when a message is sent: other commands need not
pay for them.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Iterable, Sequence
from typing import TYPE_CHECKING, Any, cast

from quillon.cli._common import (
    EXIT_FAILED,
    EXIT_OK,
    EXIT_USAGE,
    UsageError,
    isatty,
    os_reason,
    positive_float,
)

if TYPE_CHECKING:
    import smtplib

    from quillon.smtp import Sent

PASSWORD_VARIABLE = "QUILLON_PASSWORD"

TLS_MODES = ("starttls", "implicit", "none")
IMPLICIT_TLS_PORT = 465
# The submission port: servers there take mail only after STARTTLS.
SUBMISSION_PORT = 587

TLS_DESCRIPTIONS = {
    "starttls": "with STARTTLS",
    "implicit": "over TLS (implicit)",
    "none": "without TLS",
}


def add_parser(commands: Any) -> None:
    send = commands.add_parser(
        "send",
        help="compose a message and send it over SMTP",
        description="Build an Email and send it. Recipient options take one address or "
        "several separated by ',' or ';', and may be repeated. Addresses are "
        "lower-cased and stripped of blanks. With --user the password is read "
        f"from ${PASSWORD_VARIABLE}, or asked for when standard input is a "
        "terminal. A login never crosses the network in clear unless "
        "--tls none says so.",
    )
    send.add_argument(
        "--server",
        required=True,
        metavar="HOST[:PORT]",
        help="SMTP server (port 25 unless given; 465 with --tls implicit)",
    )
    send.add_argument("--from", dest="from_", required=True, metavar="ADDR", help="sender")
    send.add_argument(
        "--to", action="append", required=True, metavar="ADDRS", help="primary recipients"
    )
    send.add_argument("--cc", action="append", metavar="ADDRS", help="carbon-copy recipients")
    send.add_argument(
        "--bcc",
        action="append",
        metavar="ADDRS",
        help="blind-carbon-copy recipients (not shown to the others)",
    )
    send.add_argument("--subject", required=True, metavar="TEXT")
    body = send.add_mutually_exclusive_group(required=True)
    body.add_argument("--body", metavar="TEXT", help="the body, sent as HTML")
    body.add_argument(
        "--body-file",
        metavar="PATH",
        help="read the body (UTF-8) from PATH ('-' for standard input)",
    )
    send.add_argument(
        "--attach",
        action="append",
        default=[],
        metavar="PATH",
        help="attach a file under its base name; may be repeated",
    )
    send.add_argument("--user", metavar="NAME", help="log in as NAME before sending")
    send.add_argument(
        "--tls",
        choices=TLS_MODES,
        help="starttls: upgrade the connection before anything is sent (port 587); "
        "implicit: TLS from the first byte (port 465); none: plain SMTP. Default: "
        "implicit on port 465, starttls on port 587 or with --user, otherwise none",
    )
    send.add_argument(
        "--cafile",
        metavar="PATH",
        help="trust the CA certificates in PATH (PEM) instead of the system's",
    )
    send.add_argument(
        "--dry-run",
        action="store_true",
        help="build the message and print it with its envelope; send nothing",
    )
    send.add_argument(
        "--timeout",
        type=positive_float,
        default=30.0,
        metavar="SECONDS",
        help="give up on a server that does not answer for this long (default: %(default)g)",
    )
    send.set_defaults(run=run)


def _read_text(path: str) -> str:
    """The UTF-8 text of a file, or of standard input for "-"."""
    if path == "-":
        return sys.stdin.read()
    with open(path, encoding="utf-8") as stream:
        return stream.read()


def _read_attachments(paths: Iterable[str]) -> list[tuple[str, bytes]]:
    attachments = []
    for path in paths:
        try:
            with open(path, "rb") as stream:
                content = stream.read()
        except OSError as exc:
            raise UsageError(f"cannot read attachment {path}: {os_reason(exc)}") from None
        attachments.append((os.path.basename(path), content))
    return attachments


def _read_body(args: argparse.Namespace) -> str:
    if args.body is not None:
        body: str = args.body
        return body
    path: str = args.body_file
    try:
        return _read_text(path)
    except (OSError, UnicodeDecodeError) as exc:
        raise UsageError(f"cannot read body {path}: {os_reason(exc)}") from None


def _password_for(user: str, server: str) -> str:
    password = os.environ.get(PASSWORD_VARIABLE)
    if password:
        return password
    if not isatty(sys.stdin):
        raise UsageError(
            f"--user needs a password: set {PASSWORD_VARIABLE}, "
            "or run from a terminal to be asked for it"
        )
    import getpass

    password = getpass.getpass(f"Password for {user} at {server}: ")
    if not password:
        raise UsageError("empty password")
    return password


def _tls_mode(args: argparse.Namespace) -> str:
    if args.tls is not None:
        mode: str = args.tls
        return mode
    # The port as smtplib reads it from "HOST:PORT".
    _, colon, port = args.server.partition(":")
    number = int(port) if colon and ":" not in port and port.strip().isdigit() else None
    if number == IMPLICIT_TLS_PORT:
        return "implicit"
    return "starttls" if args.user or number == SUBMISSION_PORT else "none"


def _client_class(args: argparse.Namespace, mode: str) -> type[smtplib.SMTP]:
    """The class Email.send is to create, with the options as its settings."""
    import ssl

    from quillon import smtp

    base: type[smtplib.SMTP] = {
        "starttls": smtp.StartTLS,
        "implicit": smtp.ImplicitTLS,
        "none": smtp.Plain,
    }[mode]
    settings: dict[str, object] = {"timeout": args.timeout, "debuglevel": int(args.verbose)}
    if args.cafile is not None:
        if mode == "none":
            raise UsageError("--cafile needs TLS, but --tls none was given")
        try:
            settings["context"] = ssl.create_default_context(cafile=args.cafile)
        except (OSError, ssl.SSLError) as exc:
            raise UsageError(f"cannot read --cafile {args.cafile}: {os_reason(exc)}") from None
    return cast("type[smtplib.SMTP]", type(f"Command{base.__name__}", (base,), settings))


def run(args: argparse.Namespace) -> int:
    import smtplib
    from email.errors import MessageError

    from quillon import smtp
    from quillon.email import Email

    # Everything that can go wrong locally is found before the connection.
    if not args.server.strip():
        raise UsageError("--server is empty")
    mode = _tls_mode(args)
    client = _client_class(args, mode)
    body = _read_body(args)
    attachments = _read_attachments(args.attach)
    # A dry run logs in nowhere, so it has no use for the password.
    wants_password = args.user and not args.dry_run
    password = _password_for(args.user, args.server) if wants_password else None
    email = Email(
        server=args.server,
        username=args.user,
        password=password,
        from_=args.from_,
        to=args.to,
        cc=args.cc,
        bcc=args.bcc,
        subject=args.subject,
        message=body,
        attachments=attachments,
    )
    recipients = list(dict.fromkeys((email.to or []) + (email.cc or []) + (email.bcc or [])))
    try:
        if args.dry_run:
            with smtp.outbox() as sent:
                email.send()
        else:
            with smtp.using(client):
                email.send()
    except smtplib.SMTPRecipientsRefused as exc:
        refused = ", ".join(
            f"{address} ({_reply(code, text)})" for address, (code, text) in exc.recipients.items()
        )
        if exc.recipients and len(exc.recipients) < len(recipients):
            line = f"sent, but the server refused some recipients: {refused}"
        else:
            line = f"the server refused every recipient: {refused or 'none given'}"
        _fail(line, password)
        return EXIT_FAILED
    except (smtplib.SMTPException, OSError, UnicodeError) as exc:
        _fail(_describe_failure(exc, args.server), password)
        return EXIT_FAILED
    except (ValueError, MessageError) as exc:
        # A recipient the client could not address, a line break in a header,
        # a login that plain SMTP cannot carry: refused before connecting.
        _fail(f"not sent: {exc}" if isinstance(exc, MessageError) else str(exc), password)
        return EXIT_USAGE
    if args.dry_run:
        _print_dry_run(sent, args, mode)
    else:
        print(f"sent to {', '.join(recipients)} through {args.server}")
    return EXIT_OK


def _print_dry_run(sent: Sequence[Sent], args: argparse.Namespace, mode: str) -> None:
    from quillon._message_view import parse_wire, print_message

    login = f", logging in as {args.user}" if args.user else ""
    print(f"dry run, nothing sent: the message for {args.server} {TLS_DESCRIPTIONS[mode]}{login}")
    for record in sent:
        # Shown as the server would receive it: the Bcc header is not sent.
        print_message(record.sender, record.recipients, parse_wire(record.data), sys.stdout)


def _describe_failure(exc: Exception, server: str) -> str:
    import smtplib
    import ssl

    from quillon.smtp import MessageTooLarge, StartTLSNotOffered

    match exc:
        case MessageTooLarge():
            return f"message refused by {server}: {exc}"
        case StartTLSNotOffered():
            return (
                f"{server} does not offer STARTTLS, so nothing was sent "
                "(--tls none would send without encryption)"
            )
        case ssl.SSLCertVerificationError():
            return (
                f"{server} presented a certificate that does not verify: "
                f"{exc.verify_message} (--cafile names a private CA)"
            )
        case ssl.SSLError():
            return f"TLS with {server} failed: {exc.reason or exc}"
        case smtplib.SMTPAuthenticationError(smtp_code=code, smtp_error=text):
            return f"login refused by {server}: {_reply(code, text)}"
        case smtplib.SMTPSenderRefused(smtp_code=code, smtp_error=text, sender=sender):
            return f"sender {sender} refused by {server}: {_reply(code, text)}"
        case smtplib.SMTPDataError(smtp_code=code, smtp_error=text):
            return f"message refused by {server}: {_reply(code, text)}"
        case smtplib.SMTPResponseException(smtp_code=code, smtp_error=text):
            return f"{server} answered {_reply(code, text)}"
        case smtplib.SMTPNotSupportedError() if str(exc).startswith("message not sent: "):
            return str(exc)  # a message that needs SMTPUTF8: it names the server
        case smtplib.SMTPServerDisconnected():
            return f"{server} closed the connection: {exc or 'no reason given'}"
        case smtplib.SMTPException():
            return f"{server}: {exc}"
        case TimeoutError():
            return f"{server} did not answer in time"
        case OSError():
            return f"cannot reach {server}: {os_reason(exc)}"
        case UnicodeError():
            # Its text would quote the offending character, which may be part
            # of the password.
            return "a login or address holds characters that plain SMTP cannot carry"
    return f"{type(exc).__name__}: {exc}"


def _reply(code: int, text: bytes | str) -> str:
    if isinstance(text, bytes):
        text = text.decode("utf-8", "replace")
    return f"{code} {text}".strip()


def _fail(line: str, password: str | None) -> None:
    # A server may echo what it was given; the password must not reach the
    # terminal or a log that collects stderr.
    if password:
        line = line.replace(password, "****")
    print(f"quillon send: {' '.join(line.split())}", file=sys.stderr)
