"""The ``quillon`` command: check addresses, send a message, run the demo."""

from __future__ import annotations

import argparse
import contextlib
import email
import email.message
import getpass
import json
import logging
import os
import smtplib
import ssl
import sys
from collections.abc import Callable, Iterable, Iterator, Sequence
from email.errors import MessageError
from typing import TYPE_CHECKING, BinaryIO, NamedTuple, TextIO, cast

from quillon import __version__

if TYPE_CHECKING:
    from quillon.bulk import Verdict
    from quillon.smtp import Sent

PASSWORD_VARIABLE = "QUILLON_PASSWORD"

TLS_MODES = ("starttls", "implicit", "none")
IMPLICIT_TLS_PORT = 465

# Below this many addresses a check is over too soon for a progress line to help.
PROGRESS_THRESHOLD = 300

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130


class UsageError(Exception):
    """A problem with what the command line asks for, found after parsing."""


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def _positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be more than 0, not {text}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="quillon",
        description="Check e-mail addresses and send e-mail over SMTP.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    parser.add_argument(
        "-v", "--verbose", action="store_true",
        help="log each call into quillon.email and quillon.contact on stderr (DEBUG), "
             "and print the SMTP dialogue of send with the login masked",
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    check = commands.add_parser(
        "check", help="check whether addresses are valid and deliverable",
        description="Check each address with Contact.validate: its syntax, and whether "
                    "its domain accepts mail (DNS look-ups). Prints one line per address, "
                    "in input order, as soon as it is known. Exit status: 0 if all are "
                    "valid, 1 if any is not, 2 for a usage error or an unreadable line.",
    )
    check.add_argument("addresses", nargs="*", metavar="ADDRESS", help="an address to check")
    check.add_argument(
        "--file", action="append", default=[], metavar="PATH",
        help="read more addresses from PATH, one a line ('-' for standard input); "
             "blank lines and lines starting with '#' are skipped",
    )
    check.add_argument(
        "--timeout", type=_positive_int, default=2, metavar="N",
        help="seconds allowed for each DNS look-up; an address takes up to four "
             "(default: %(default)s)",
    )
    check.add_argument(
        "--jobs", type=_positive_int, default=1, metavar="N",
        help="check N addresses at a time, in threads (default: %(default)s)",
    )
    check.add_argument(
        "--processes", type=_positive_int, default=1, metavar="N",
        help="spread the addresses over N worker processes, each with --jobs threads "
             "and a DNS cache of its own (default: %(default)s)",
    )
    check.add_argument("--no-cache", dest="cache", action="store_false",
                       help="ask DNS every time instead of keeping answers for the run")
    check.add_argument("--strict", action="store_true",
                       help="count an address whose deliverability is unknown (no DNS "
                            "answer in time) as not valid")
    check.add_argument("--json", action="store_true",
                       help='print one JSON object per line: {"address", "valid", "reason"}, '
                            'and "deliverability": "unknown" when DNS left it open')
    check.set_defaults(run=_run_check)

    send = commands.add_parser(
        "send", help="compose a message and send it over SMTP",
        description="Build an Email and send it. Recipient options take one address or "
                    "several separated by ',' or ';', and may be repeated. Addresses are "
                    "lower-cased and stripped of blanks. With --user the password is read "
                    f"from ${PASSWORD_VARIABLE}, or asked for when standard input is a "
                    "terminal. A login never crosses the network in clear unless "
                    "--tls none says so.",
    )
    send.add_argument("--server", required=True, metavar="HOST[:PORT]",
                      help="SMTP server (port 25 unless given; 465 with --tls implicit)")
    send.add_argument("--from", dest="from_", required=True, metavar="ADDR", help="sender")
    send.add_argument("--to", action="append", required=True, metavar="ADDRS",
                      help="primary recipients")
    send.add_argument("--cc", action="append", metavar="ADDRS", help="carbon-copy recipients")
    send.add_argument("--bcc", action="append", metavar="ADDRS",
                      help="blind-carbon-copy recipients (not shown to the others)")
    send.add_argument("--subject", required=True, metavar="TEXT")
    body = send.add_mutually_exclusive_group(required=True)
    body.add_argument("--body", metavar="TEXT", help="the body, sent as HTML")
    body.add_argument("--body-file", metavar="PATH",
                      help="read the body (UTF-8) from PATH ('-' for standard input)")
    send.add_argument("--attach", action="append", default=[], metavar="PATH",
                      help="attach a file under its base name; may be repeated")
    send.add_argument("--user", metavar="NAME", help="log in as NAME before sending")
    send.add_argument(
        "--tls", choices=TLS_MODES,
        help="starttls: upgrade the connection before anything is sent (port 587); "
             "implicit: TLS from the first byte (port 465); none: plain SMTP. Default: "
             "implicit on port 465, otherwise starttls with --user and none without",
    )
    send.add_argument("--cafile", metavar="PATH",
                      help="trust the CA certificates in PATH (PEM) instead of the system's")
    send.add_argument("--dry-run", action="store_true",
                      help="build the message and print it with its envelope; send nothing")
    send.add_argument(
        "--timeout", type=_positive_float, default=30.0, metavar="SECONDS",
        help="give up on a server that does not answer for this long (default: %(default)g)",
    )
    send.set_defaults(run=_run_send)

    demo = commands.add_parser(
        "demo", help="send and check on loopback servers started in this process",
        description="Start an SMTP and a DNS server on 127.0.0.1, send a message through "
                    "them and check a few addresses. Needs the 'demo' extra (aiosmtpd).",
    )
    demo.set_defaults(run=_run_demo)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # --help, --version and usage errors
        return exc.code if isinstance(exc.code, int) else EXIT_USAGE
    if args.verbose:
        logging.basicConfig(format="%(asctime)s %(name)s: %(message)s", stream=sys.stderr)
        logging.getLogger("quillon").setLevel(logging.DEBUG)
    run: Callable[[argparse.Namespace], int] = args.run
    try:
        return run(args)
    except UsageError as exc:
        print(f"quillon {args.command}: error: {exc}", file=sys.stderr)
        return EXIT_USAGE
    except KeyboardInterrupt:
        print("quillon: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (`quillon check ... | head`): stop quietly, and
        # keep the interpreter from complaining when it flushes stdout at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILED


# --- check --------------------------------------------------------------------

def _read_text(path: str) -> str:
    """The UTF-8 text of a file, or of standard input for "-"."""
    if path == "-":
        return sys.stdin.read()
    with open(path, encoding="utf-8") as stream:
        return stream.read()


class _Unreadable(NamedTuple):
    """An input line that is not UTF-8 text, reported in its place."""

    place: str
    reason: str


def _open_lists(paths: Iterable[str], stack: contextlib.ExitStack) -> list[tuple[str, BinaryIO]]:
    # All opened up front, so that a missing file stops the command before
    # anything is checked; their lines are read as the checks go.
    lists = []
    for path in paths:
        if path == "-":
            lists.append(("<stdin>", sys.stdin.buffer))
            continue
        try:
            lists.append((path, stack.enter_context(open(path, "rb"))))
        except OSError as exc:
            raise UsageError(f"cannot read {path}: {_os_reason(exc)}") from None
    return lists


def _input_lines(addresses: Iterable[str],
                 lists: Iterable[tuple[str, BinaryIO]]) -> Iterator[str | _Unreadable]:
    yield from addresses
    for name, stream in lists:
        try:
            for number, raw in enumerate(stream, 1):
                try:
                    # A byte-order mark some editors put first is no part of an address.
                    line = raw.decode("utf-8-sig" if number == 1 else "utf-8").strip()
                except UnicodeDecodeError as exc:
                    yield _Unreadable(f"{name}: line {number}",
                                      f"not UTF-8 text (byte {exc.start + 1}: {exc.reason})")
                    continue
                if line and not line.startswith("#"):
                    yield line
        except OSError as exc:
            raise UsageError(f"cannot read {name}: {_os_reason(exc)}") from None


class _Progress:
    """A "checked N/TOTAL" line kept up to date on a terminal."""

    def __init__(self, total: int | None, stream: TextIO, *, shares_terminal: bool) -> None:
        # None while the input is still being read: the line then shows the
        # count alone, from the first address past the threshold.
        self._total = total
        self._stream = stream
        # When results go to the same terminal, the line is wiped before each
        # result so the two do not run into each other.
        self._shares_terminal = shares_terminal
        self._shown = False

    def update(self, done: int) -> None:
        if (done if self._total is None else self._total) <= PROGRESS_THRESHOLD:
            return
        of = "" if self._total is None else f"/{self._total}"
        self._stream.write(f"\rchecked {done}{of}")
        self._stream.flush()
        self._shown = True

    def clear(self) -> None:
        if self._shown:
            self._stream.write("\r\x1b[K")
            self._stream.flush()
            self._shown = False

    def before_output(self) -> None:
        if self._shares_terminal:
            self.clear()


def _isatty(stream: TextIO | None) -> bool:
    try:
        return stream is not None and stream.isatty()
    except ValueError:  # closed
        return False


def _format_verdict(address: str, verdict: Verdict, as_json: bool) -> str:
    if as_json:
        record: dict[str, object] = {"address": address, "valid": verdict.valid,
                                     "reason": verdict.reason}
        if verdict.deliverability_unknown:
            record["deliverability"] = "unknown"
        return json.dumps(record, ensure_ascii=False)
    line = f"{address}\t{'valid' if verdict.valid else 'invalid'}\t{verdict.reason}"
    return f"{line}\tdeliverability unknown" if verdict.deliverability_unknown else line


def _run_check(args: argparse.Namespace) -> int:
    from quillon import bulk

    if not args.addresses and not args.file:
        raise UsageError("no addresses given (name them, or use --file)")
    progress = None
    if _isatty(sys.stderr):
        total = None if args.file else len(args.addresses)
        progress = _Progress(total, sys.stderr, shares_terminal=_isatty(sys.stdout))
    status, done = EXIT_OK, 0
    with contextlib.ExitStack() as stack:
        lines = _input_lines(args.addresses, _open_lists(args.file, stack))
        # closing() stops the checks still running as soon as the loop is
        # left, also by an interrupt, rather than whenever the generator is
        # collected.
        checked = stack.enter_context(contextlib.closing(bulk.check_in_order(
            lines, args.timeout, jobs=args.jobs, processes=args.processes, cache=args.cache)))
        if progress is not None:
            stack.callback(progress.clear)
        for done, (line, verdict) in enumerate(checked, 1):
            if progress is not None:
                progress.before_output()
            # Each line goes out when known, also into a pipe: a reader sees
            # the first verdicts at once rather than a buffer's worth later.
            if isinstance(line, _Unreadable):
                print(f"quillon check: {line.place}: {line.reason}", file=sys.stderr, flush=True)
                status = EXIT_USAGE
            elif verdict is not None:
                print(_format_verdict(line, verdict, args.json), flush=True)
                if not verdict.valid or (args.strict and verdict.deliverability_unknown):
                    status = max(status, EXIT_FAILED)
            if progress is not None:
                progress.update(done)
    if done == 0:
        raise UsageError("no addresses given (the files hold none)")
    return status


# --- send ---------------------------------------------------------------------

def _read_attachments(paths: Iterable[str]) -> list[tuple[str, bytes]]:
    attachments = []
    for path in paths:
        try:
            with open(path, "rb") as stream:
                content = stream.read()
        except OSError as exc:
            raise UsageError(f"cannot read attachment {path}: {_os_reason(exc)}") from None
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
        raise UsageError(f"cannot read body {path}: {_os_reason(exc)}") from None


def _password_for(user: str, server: str) -> str:
    password = os.environ.get(PASSWORD_VARIABLE)
    if password:
        return password
    if not _isatty(sys.stdin):
        raise UsageError(f"--user needs a password: set {PASSWORD_VARIABLE}, "
                         "or run from a terminal to be asked for it")
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
    if colon and ":" not in port and port.strip().isdigit() and int(port) == IMPLICIT_TLS_PORT:
        return "implicit"
    return "starttls" if args.user else "none"


def _client_class(args: argparse.Namespace, mode: str) -> type[smtplib.SMTP]:
    """The class Email.send is to create, with the options as its settings."""
    from quillon import smtp

    base: type[smtplib.SMTP] = {"starttls": smtp.StartTLS, "implicit": smtp.ImplicitTLS,
                                "none": smtp.Plain}[mode]
    settings: dict[str, object] = {"timeout": args.timeout, "debuglevel": int(args.verbose)}
    if args.cafile is not None:
        if mode == "none":
            raise UsageError("--cafile needs TLS, but --tls none was given")
        try:
            settings["context"] = ssl.create_default_context(cafile=args.cafile)
        except (OSError, ssl.SSLError) as exc:
            raise UsageError(f"cannot read --cafile {args.cafile}: {_os_reason(exc)}") from None
    return cast(type[smtplib.SMTP], type(f"Command{base.__name__}", (base,), settings))


def _run_send(args: argparse.Namespace) -> int:
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
        server=args.server, username=args.user, password=password, from_=args.from_,
        to=args.to, cc=args.cc, bcc=args.bcc, subject=args.subject, message=body,
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
        refused = ", ".join(f"{address} ({_reply(code, text)})"
                            for address, (code, text) in exc.recipients.items())
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


TLS_DESCRIPTIONS = {"starttls": "with STARTTLS", "implicit": "over TLS (implicit)",
                    "none": "without TLS"}


def _print_dry_run(sent: Sequence[Sent], args: argparse.Namespace, mode: str) -> None:
    login = f", logging in as {args.user}" if args.user else ""
    print(f"dry run, nothing sent: the message for {args.server} {TLS_DESCRIPTIONS[mode]}"
          f"{login}")
    for record in sent:
        # Shown as the server would receive it: the Bcc header is not sent.
        print_message(record.sender, record.recipients, email.message_from_bytes(record.data),
                      sys.stdout)


def print_message(sender: str, recipients: Sequence[str], message: email.message.Message,
                  out: TextIO) -> None:
    """The envelope, headers and parts of a message as a receiver sees them."""
    print(f"  envelope sender:     {sender}", file=out)
    print(f"  envelope recipients: {', '.join(recipients)}", file=out)
    print("  headers:", file=out)
    for name, value in message.items():
        print(f"    {name}: {value}", file=out)
    if message.get_all("Bcc") is None:
        shown = _header_addresses(message)
        bcc_only = [address for address in recipients if address not in shown]
        print(f"    (no Bcc header: {', '.join(bcc_only) or 'nobody'} appears only in "
              "the envelope)", file=out)
    print("  parts:", file=out)
    parts = [part for part in message.walk() if not part.is_multipart()]
    for number, part in enumerate(parts, 1):
        payload = part.get_payload(decode=True)
        size = len(payload) if isinstance(payload, bytes) else 0
        file_name = part.get_filename()
        label = f"  {file_name}" if file_name is not None else ""
        print(f"    {number}. {part.get_content_type()}{label}  ({size} bytes)", file=out)


def _header_addresses(message: email.message.Message) -> set[str]:
    addresses: set[str] = set()
    for header in ("To", "Cc"):
        for value in message.get_all(header) or []:
            addresses.update(address.strip() for address in str(value).split(","))
    return addresses


def _describe_failure(exc: Exception, server: str) -> str:
    from quillon.smtp import MessageTooLarge, StartTLSNotOffered

    match exc:
        case MessageTooLarge():
            return f"message refused by {server}: {exc}"
        case StartTLSNotOffered():
            return (f"{server} does not offer STARTTLS, so nothing was sent "
                    "(--tls none would send without encryption)")
        case ssl.SSLCertVerificationError():
            return (f"{server} presented a certificate that does not verify: "
                    f"{exc.verify_message} (--cafile names a private CA)")
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
        case smtplib.SMTPServerDisconnected():
            return f"{server} closed the connection: {exc or 'no reason given'}"
        case smtplib.SMTPException():
            return f"{server}: {exc}"
        case TimeoutError():
            return f"{server} did not answer in time"
        case OSError():
            return f"cannot reach {server}: {_os_reason(exc)}"
        case UnicodeError():
            # Its text would quote the offending character, which may be part
            # of the password.
            return "a login or address holds characters that plain SMTP cannot carry"
    return f"{type(exc).__name__}: {exc}"


def _reply(code: int, text: bytes | str) -> str:
    if isinstance(text, bytes):
        text = text.decode("utf-8", "replace")
    return f"{code} {text}".strip()


def _os_reason(exc: OSError | UnicodeError) -> str:
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror
    return str(exc) or type(exc).__name__


def _fail(line: str, password: str | None) -> None:
    # A server may echo what it was given; the password must not reach the
    # terminal or a log that collects stderr.
    if password:
        line = line.replace(password, "****")
    print(f"quillon send: {' '.join(line.split())}", file=sys.stderr)


# --- demo ---------------------------------------------------------------------

def _run_demo(args: argparse.Namespace) -> int:
    from quillon import _demo

    return _demo.run(sys.stdout)
