"""The quillon command, run as a subprocess against loopback servers."""

import io
import json
import os
import pty
import re
import select
import subprocess
import sys
import time
from pathlib import Path

import pytest

from quillon import _loopback
from quillon._message_view import parse_wire, print_message
from quillon.bulk import _processes
from support import ENV, PASSWORD, run_python
from support import run_quillon as quillon

MX = _loopback.MX_DOMAIN

# Runs the command with dnspython's default resolver asking the loopback DNS
# server whose port comes first, so checks never leave the machine.
VIA_LOOPBACK_DNS = """\
import sys, dns.resolver
resolver = dns.resolver.Resolver(configure=False)
resolver.nameservers, resolver.port, resolver.cache = ["127.0.0.1"], int(sys.argv.pop(1)), None
dns.resolver.default_resolver = resolver
from quillon.cli import main
sys.exit(main(sys.argv[1:]))
"""
# The password prompt needs a controlling terminal: stdin becomes one.
WITH_TERMINAL = """\
import fcntl, sys, termios
fcntl.ioctl(0, termios.TIOCSCTTY, 0)
from quillon.cli import main
sys.exit(main(sys.argv[1:]))
"""


# As VIA_LOOPBACK_DNS, with the worker processes (forked, so they take this
# over) dying at an address "die@...": killed before they answer, or in the
# middle of writing their answer. "slow@..." takes a second.
DYING_WORKERS = VIA_LOOPBACK_DNS.replace(
    "from quillon.cli import main",
    """\
import os, signal, struct, time
from quillon.bulk import _memo, _processes
how, checked, serve_worker = sys.argv.pop(1), _memo._Run.check, _processes._serve_worker
def check(run, address):
    if address.startswith("slow@"):
        time.sleep(1)
    if address.startswith("die@"):
        if how == "mid-answer":
            os.write(ANSWERS, struct.pack("!i", 4096) + b"cut short")
        os.kill(os.getpid(), signal.SIGKILL)
    return checked(run, address)
def serve(inbox, outbox, *args):
    global ANSWERS
    ANSWERS = outbox.fileno()
    serve_worker(inbox, outbox, *args)
_memo._Run.check, _processes._serve_worker = check, serve
from quillon.cli import main""",
).replace(
    # What the run left behind is collected, as a program that goes on would.
    "sys.exit(main(sys.argv[1:]))",
    "status = main(sys.argv[1:])\nimport gc\ngc.collect()\nsys.exit(status)",
)


def check(dns, *args, stderr=subprocess.PIPE, **options):
    return run_python(
        "-c",
        VIA_LOOPBACK_DNS,
        str(dns.port),
        "check",
        *args,
        stdout=subprocess.PIPE,
        stderr=stderr,
        env=ENV,
        **options,
    )


# --- check --------------------------------------------------------------------


@pytest.mark.parametrize("options", [["--jobs", "1"], [], ["--processes", "2", "--jobs", "2"]])
def test_check_reports_in_input_order(dns_server, options):
    # The silent domain answers last (after the time-out, as "valid"): with
    # several jobs the others finish first and must still be printed after it.
    # Worker processes must ask the loopback server too, or the unknown
    # domain would not be reported as missing.
    addresses = [
        f"a@{_loopback.SILENT_DOMAIN}",
        f"b@{MX}",
        f"c@{_loopback.UNKNOWN_DOMAIN}",
        "no-at-sign",
        f"d@{_loopback.A_ONLY_DOMAIN}",
    ]
    result = check(dns_server, *addresses, "--timeout", "1", *options)
    assert (result.returncode, result.stderr) == (1, "")
    assert result.stdout.splitlines() == [
        f"a@{_loopback.SILENT_DOMAIN}\tvalid\tValid\tdeliverability unknown",
        f"b@{MX}\tvalid\tValid",
        f"c@{_loopback.UNKNOWN_DOMAIN}\tinvalid\tThe domain name unknown.example does not exist",
        "no-at-sign\tinvalid\tAn email address must have an @-sign",
        f"d@{_loopback.A_ONLY_DOMAIN}\tvalid\tValid",
    ]


@pytest.mark.parametrize(("options", "code"), [([], 0), (["--strict"], 1)])
def test_check_json_reads_arguments_then_files(dns_server, tmp_path, options, code):
    (tmp_path / "list.txt").write_text(f"# people\n\n  b@{MX}  \n#c@{MX}\nc@{MX}\n")
    result = check(
        dns_server,
        f"a@{MX}",
        "--file",
        str(tmp_path / "list.txt"),
        "--file",
        "-",
        "--json",
        "--timeout",
        "0.5",
        *options,
        input=f"D@{MX.upper()}\ne@{_loopback.SILENT_DOMAIN}\n",
    )
    assert (result.returncode, result.stderr) == (code, "")
    assert [json.loads(line) for line in result.stdout.splitlines()] == [
        {"address": f"{name}@{MX}", "valid": True, "reason": "Valid", "normalized": f"{name}@{MX}"}
        for name in "abc"
    ] + [
        {"address": f"D@{MX.upper()}", "valid": True, "reason": "Valid", "normalized": f"D@{MX}"},
        {
            "address": f"e@{_loopback.SILENT_DOMAIN}",
            "valid": True,
            "reason": "Valid",
            "normalized": f"e@{_loopback.SILENT_DOMAIN}",
            "deliverability": "unknown",
        },
    ]


# A spreadsheet export: BOM, quoted fields with the delimiter and a line
# break inside, a short row, and the address in the second column.
CSV = (
    f'\ufeffName;E-Mail;Note\n"Doe; Ann";a@{MX};"two\nlines"\n\n'
    f'Bob;"b@{_loopback.UNKNOWN_DOMAIN}"\nCarol\n;no-at-sign;\n'
)


@pytest.mark.parametrize(
    ("text", "options"),
    [
        (CSV, ["--column", "e-mail"]),
        (CSV, ["--column", "2"]),
        (CSV.partition("\n")[2], ["--column", "2"]),
        (CSV.replace("E-Mail", "x@y"), ["--column", "2", "--header"]),
        ("\n" + CSV.replace(";", ",").lstrip("\ufeff"), ["--column", "e-mail"]),
    ],
    ids=["name", "number-detected", "number-no-header", "number-declared", "blank-line-first"],
)
def test_check_reads_a_column_of_csv_from_standard_input(dns_server, text, options):
    # No address and no --file: the list comes from standard input.
    result = check(dns_server, *options, input=text, stderr=subprocess.STDOUT)
    assert result.returncode == 2
    assert result.stdout.splitlines() == [
        f"a@{MX}\tvalid\tValid",
        f"b@{_loopback.UNKNOWN_DOMAIN}\tinvalid\tThe domain name unknown.example does not exist",
        f"quillon check: <stdin>: line {text[: text.index('Carol')].count(chr(10)) + 1}: "
        f"no column {options[1]}",
        "no-at-sign\tinvalid\tAn email address must have an @-sign",
    ]


def test_check_reports_an_undecodable_line_in_its_place(dns_server, tmp_path):
    (tmp_path / "list.txt").write_bytes(f"a@{MX}\nb\xff@{MX}\nc@{MX}\n".encode("latin-1"))
    result = check(dns_server, "--file", str(tmp_path / "list.txt"), stderr=subprocess.STDOUT)
    assert result.returncode == 2
    assert result.stdout.splitlines() == [
        f"a@{MX}\tvalid\tValid",
        f"quillon check: {tmp_path / 'list.txt'}: line 2: "
        "not UTF-8 text (byte 2: invalid start byte)",
        f"c@{MX}\tvalid\tValid",
    ]


# The two workers own mx.example and a-only.example, one each.
DEATHS = {
    "killed": ("killed", [f"die@{MX}", f"c@{MX}"], []),
    "mid-answer": ("mid-answer", [f"die@{MX}", f"c@{MX}"], []),
    # While the other worker keeps the command waiting, the lines after a
    # moment go to the dead one, whose pipe is broken by then.
    "while-sending": (
        "killed",
        [f"slow@{MX}", f"die@{_loopback.A_ONLY_DOMAIN}"],
        [f"{n}@{_loopback.A_ONLY_DOMAIN}" for n in range(100)],
    ),
}


@pytest.mark.parametrize(("how", "later", "last"), DEATHS.values(), ids=DEATHS.keys())
def test_check_cut_short_by_a_dead_worker_says_so_with_status_3(dns_server, how, later, last):
    # Fed slowly, so that the verdicts before the death are out already.
    lines = [f"a@{MX}", f"b@{_loopback.A_ONLY_DOMAIN}"]
    process = subprocess.Popen(
        [sys.executable, "-c", DYING_WORKERS, str(dns_server.port), how, "check"]
        + ["--processes", "2", "--file", "-"],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=ENV,
    )
    try:
        process.stdin.write("\n".join(lines) + "\n")
        process.stdin.flush()
        before = drain(process.stdout.fileno(), until=f"{lines[1]}\tvalid\tValid\n".encode())
        assert before == f"{lines[0]}\tvalid\tValid\n{lines[1]}\tvalid\tValid\n".encode()
        process.stdin.write("\n".join(later) + "\n")
        process.stdin.flush()
        if last:
            time.sleep(0.3)
        out, err = process.communicate("".join(line + "\n" for line in last), timeout=60)
    finally:
        process.kill()
    owner = next(_processes._owner(line, 2) for line in later if line.startswith("die@"))
    assert (process.returncode, out, err) == (
        3,
        "",
        "quillon check: error: the check could not finish after 2 addresses: "
        f"worker process {owner} ended unexpectedly (killed by SIGKILL)\n",
    )


@pytest.mark.parametrize(("options", "asked"), [([], 1), (["--no-cache"], 3)])
def test_check_keeps_answers_for_the_run(dns_server, options, asked):
    result = check(dns_server, f"a@{MX}", f"b@{MX}", f"C@{MX.upper()}", *options)
    assert result.returncode == 0
    assert dns_server.queries == [(MX, "MX")] * asked


@pytest.mark.parametrize("options", [[], ["--jobs", "1"], ["--processes", "2"]])
def test_check_prints_each_verdict_as_soon_as_it_is_known(dns_server, options):
    process = subprocess.Popen(
        [
            sys.executable,
            "-c",
            VIA_LOOPBACK_DNS,
            str(dns_server.port),
            "check",
            "--file",
            "-",
            *options,
        ],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
        env=ENV,
    )
    try:
        process.stdin.write(f"a@{MX}\n")
        process.stdin.flush()
        # Read while standard input is still open: the command must neither
        # wait for the rest of its input nor hold its output in a buffer.
        assert (
            drain(process.stdout.fileno(), until=b"\n", wait=30)
            == f"a@{MX}\tvalid\tValid\n".encode()
        )
        process.stdin.write("no-at-sign\n")
        process.stdin.close()
        assert process.wait(timeout=60) == 1
    finally:
        process.kill()
        process.stdout.close()


@pytest.mark.parametrize(
    ("args", "message"),
    [
        ([], "no addresses given"),
        (["--column", "email"], "no addresses given"),
        (
            ["--file", "-", "--column", "mail"],
            "<stdin> has no column 'mail' (its header: email, name)",
        ),
        (["a@x.org", "--column", "00"], "--column needs a name or a number from 1, not '00'"),
        (
            ["--column", "email", "people.csv"],
            "people.csv is a file, not an address: read it with --file people.csv",
        ),
        (["a@x.org", "--jobs", "0"], "--jobs: must be at least 1"),
        (["a@x.org", "--timeout", "soon"], "--timeout: not a number"),
        (["--file", "/nonexistent/list"], "cannot read /nonexistent/list"),
        (["a@x.org", "--bogus"], "unrecognized arguments: --bogus"),
    ],
)
def test_check_usage_errors(tmp_path, args, message):
    (tmp_path / "people.csv").write_text("email\na@x.org\n")
    # A terminal on standard input is no list to read.
    reader, writer = pty.openpty()
    options = {"input": "email,name\na@x.org,A\n"} if "-" in args else {"stdin": writer}
    result = quillon("check", *args, cwd=tmp_path, **options)
    os.close(reader)
    os.close(writer)
    assert (result.returncode, result.stdout) == (2, "")
    assert message in result.stderr


def drain(fd, until=None, wait=0.5):
    """What can be read from ``fd`` (a pipe or a terminal's master side)."""
    data, deadline = b"", time.monotonic() + 30
    while until is None or until not in data:
        if time.monotonic() > deadline:
            break
        if not select.select([fd], [], [], wait)[0]:
            # A quiet spell ends the read, unless we wait for a prompt: a
            # loaded machine may take seconds to start the command.
            if until is None:
                break
            continue
        try:
            chunk = os.read(fd, 65536)
        except OSError:  # the terminal's other side is closed
            break
        if not chunk:
            break
        data += chunk
    return data


@pytest.mark.parametrize(
    ("count", "terminal", "shown"), [(301, True, True), (300, True, False), (301, False, False)]
)
def test_check_progress_only_for_many_addresses_on_a_terminal(dns_server, count, terminal, shown):
    reader, writer = pty.openpty() if terminal else os.pipe()
    addresses = [f"bad{i}" for i in range(count)]  # refused before any look-up
    result = check(dns_server, *addresses, "--jobs", "8", stderr=writer)
    os.close(writer)
    progress = drain(reader)
    os.close(reader)
    assert result.returncode == 1
    assert result.stdout.splitlines()[-1].startswith(f"bad{count - 1}\tinvalid\t")
    if shown:
        assert f"checked {count}/{count}".encode() in progress and progress.endswith(b"\r\x1b[K")
    else:
        assert progress == b""


def test_verbose_logs_calls_but_not_their_arguments():
    quiet, verbose = quillon("check", "no-at-sign"), quillon("-v", "check", "no-at-sign")
    assert quiet.stderr == ""
    assert "quillon.contact: call Contact.validate" in verbose.stderr
    assert "no-at-sign" not in verbose.stderr


def test_entry_points():
    script = Path(sys.executable).with_name("quillon")
    for command in ([str(script)], [sys.executable, "-m", "quillon"]):
        result = subprocess.run([*command, "--version"], capture_output=True, text=True, timeout=60)
        assert (result.returncode, result.stdout) == (0, "quillon 0.1.0\n")


# --- send ---------------------------------------------------------------------


def send_args(server, *extra):
    return [
        "send",
        "--server",
        server.server_text if hasattr(server, "server_text") else server,
        "--from",
        f"Me@{MX}",
        "--to",
        f"A@{MX}; b@{MX}",
        "--subject",
        "Hi",
        *extra,
    ]


def test_send_delivers_message(smtp_server, tmp_path):
    (tmp_path / "docs").mkdir()
    (tmp_path / "docs" / "Grüße.txt").write_bytes(b"\x00hello\xff")
    (tmp_path / "body.html").write_text("<p>Grüße</p>")
    result = quillon(
        *send_args(
            smtp_server,
            "--to",
            f"c@{MX}",
            "--cc",
            f"D@{MX}",
            "--bcc",
            f"e@{MX}",
            "--body-file",
            "body.html",
            "--attach",
            "docs/Grüße.txt",
        ),
        cwd=tmp_path,
    )
    recipients = [f"{name}@{MX}" for name in "abcde"]
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout == f"sent to {', '.join(recipients)} through {smtp_server.server_text}\n"
    [received] = smtp_server.messages
    assert (received.mail_from, sorted(received.rcpt_tos)) == (f"me@{MX}", recipients)
    assert received.login is None
    message = received.message
    assert (message["To"], message["Cc"], message["Bcc"]) == (
        f"a@{MX},b@{MX},c@{MX}",
        f"d@{MX}",
        None,
    )
    body, attachment = message.get_payload()
    assert body.get_payload(decode=True).decode() == "<p>Grüße</p>"
    assert attachment.get_filename() == "Grüße.txt"
    assert attachment.get_payload(decode=True) == b"\x00hello\xff"


def test_send_logs_in_with_password_from_environment(make_smtp_server):
    server = make_smtp_server(user="me", password=PASSWORD)
    result = quillon(
        *send_args(server, "--body", "x", "--user", "me", "--tls", "none"),
        env={"QUILLON_PASSWORD": PASSWORD},
    )
    assert result.returncode == 0, result.stderr
    assert [message.login for message in server.messages] == ["me"]


def test_send_asks_for_password_on_a_terminal(make_smtp_server):
    server = make_smtp_server(user="me", password=PASSWORD)
    master, slave = pty.openpty()
    process = subprocess.Popen(
        [
            sys.executable,
            "-c",
            WITH_TERMINAL,
            *send_args(server, "--body", "x", "--user", "me", "--tls", "none"),
        ],
        stdin=slave,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=ENV,
        start_new_session=True,
    )
    os.close(slave)
    shown = drain(master, until=b": ")
    os.write(master, PASSWORD.encode() + b"\n")
    out, err = process.communicate(timeout=60)
    shown += drain(master, wait=0.2)
    os.close(master)
    assert process.returncode == 0, err
    assert b"Password for me at 127.0.0.1:" in shown and PASSWORD.encode() not in shown
    assert [message.login for message in server.messages] == ["me"]


LOGIN = ("--user", "me", "--tls", "none")


@pytest.mark.parametrize(
    ("options", "login", "message"),
    [
        ({"user": "me", "password": "other"}, LOGIN, "login refused by {server}: 535 5.7.8"),
        ({}, LOGIN, "{server}: SMTP AUTH extension not supported by server."),
        (
            {"user": "me", "password": PASSWORD},
            ("--user", "me"),
            "{server} does not offer STARTTLS, so nothing was sent",
        ),
        (
            {"refuse_recipients": [f"a@{MX}", f"b@{MX}"]},
            None,
            f"the server refused every recipient: a@{MX} (550 5.1.1 <a@{MX}>: Recipient address "
            f"rejected), b@{MX} (550",
        ),
        (
            {"refuse_recipients": [f"b@{MX}"]},
            None,
            f"sent, but the server refused some recipients: b@{MX} (550",
        ),
        ({"refuse_mail": 553}, None, f"sender me@{MX} refused by {{server}}: 553 Sender refused"),
        ({"refuse_data": 554}, None, "message refused by {server}: 554 Message refused"),
        (None, None, "cannot reach {server}: Connection refused"),
        (
            {"smtputf8": False},
            ("--cc", "Jürgen@Bücher.de"),
            "message not sent: {server} does not offer SMTPUTF8, which "
            "'jürgen@xn--bcher-kva.de' in cc needs for a local part beyond ASCII; nothing was sent",
        ),
    ],
    ids=[
        "login",
        "no-auth",
        "no-starttls",
        "all-refused",
        "some-refused",
        "sender",
        "data",
        "unreachable",
        "no-smtputf8",
    ],
)
def test_send_failures_give_one_line(make_smtp_server, closed_port, options, login, message):
    server = closed_port if options is None else make_smtp_server(**options).server_text
    result = quillon(
        *send_args(server, "--body", "x", *login or ()),
        env={"QUILLON_PASSWORD": PASSWORD} if login else {},
    )
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr.startswith("quillon send: " + message.format(server=server))
    assert result.stderr.count("\n") == 1 and PASSWORD not in result.stderr


@pytest.mark.parametrize(
    ("server", "extra", "described"),
    [
        ("mail.example.org", [], "without TLS"),
        ("mail.example.org:25", ["--user", "me"], "with STARTTLS, logging in as me"),
        # The submission port takes nothing before STARTTLS, login or not.
        ("mail.example.org:587", [], "with STARTTLS"),
        ("mail.example.org:465", [], "over TLS (implicit)"),
        ("mail.example.org:587", ["--tls", "none"], "without TLS"),
    ],
)
def test_send_takes_tls_from_the_port_and_the_login(server, extra, described):
    result = quillon(*send_args(server, "--body", "x", "--dry-run", *extra))
    assert (result.returncode, result.stderr) == (0, "")
    first_line = result.stdout.partition("\n")[0]
    assert first_line == f"dry run, nothing sent: the message for {server} {described}"


@pytest.mark.parametrize(
    ("extra", "message"),
    [
        (["--body", "x", "--user", "me"], "--user needs a password: set QUILLON_PASSWORD"),
        (["--body", "x", "--attach", "missing.bin"], "cannot read attachment missing.bin"),
        (["--body-file", "missing.html"], "cannot read body missing.html"),
        (["--body", "x", "--body-file", "b.html"], "not allowed with argument --body"),
        (
            ["--body", "x", "--cc", "c@x.org;"],
            "quillon send: message not sent: cc holds an empty address",
        ),
        (
            ["--body", "x", "--bcc", "b@☃.example"],
            "quillon send: message not sent: 'b@☃.example' in bcc has a domain that IDNA refuses",
        ),
    ],
)
def test_send_refuses_before_connecting(smtp_server, tmp_path, extra, message):
    result = quillon(*send_args(smtp_server, *extra), cwd=tmp_path, stdin=subprocess.DEVNULL)
    assert (result.returncode, result.stdout, smtp_server.messages) == (2, "", [])
    assert message in result.stderr


def test_dry_run_shows_what_a_server_with_smtputf8_receives(smtp_server):
    args = send_args(smtp_server, "--body", "x", "--from", "Jörg@Bücher.de", "--cc", f"Jü@{MX}")
    dry, real = (quillon(*args, *extra) for extra in (["--dry-run"], []))
    assert (dry.returncode, real.returncode, dry.stderr) == (0, 0, "")
    [received] = smtp_server.messages
    shown = io.StringIO()
    print_message(received.mail_from, received.rcpt_tos, parse_wire(received.data), shown)
    assert f"    From: jörg@xn--bcher-kva.de\n    To: a@{MX},b@{MX}\n    Cc: jü@{MX}\n" in (
        shown.getvalue()
    )
    unique = r'(?m)boundary="[^"]*"|^    (Date|Message-ID): .*'
    assert re.sub(unique, "", dry.stdout.split("\n", 1)[1]) == re.sub(unique, "", shown.getvalue())


# --- demo ---------------------------------------------------------------------


def test_demo_runs_offline():
    result = quillon("demo")
    assert (result.returncode, result.stderr) == (0, "")
    out = result.stdout
    [envelope] = re.findall(r"envelope recipients: (.*)", out)
    assert sorted(envelope.split(", ")) == [
        f"{name}@{MX}" for name in ["alice", "bob", "carol", "dave"]
    ]
    headers = out.split("  headers:\n")[1].split("  parts:\n")[0]
    assert "To: alice@mx.example,bob@mx.example" in headers and "Bcc:" not in headers
    assert "(no Bcc header: dave@mx.example appears only in the envelope)" in headers
    assert "3. application/octet-stream  Grüße aus Zürich.txt  (15 bytes)" in out
    for address, verdict in [
        (f"alice@{MX}", "(True, 'Valid')"),
        ("dave@unknown.example", "(False, 'The domain name unknown.example does not exist')"),
        ("eve.example.org", "(False, 'An email address must have an @-sign')"),
    ]:
        assert re.search(rf"  {re.escape(address)} +-> {re.escape(verdict)}", out), address


def test_demo_without_aiosmtpd_gives_a_hint():
    code = "import sys; sys.modules['aiosmtpd'] = None; import quillon.cli as c; sys.exit(c.main())"
    result = run_python("-c", code, "demo")
    assert (result.returncode, result.stdout) == (1, "")
    assert result.stderr == (
        "quillon demo needs aiosmtpd: pip install 'quillon[demo]' (or uv sync)\n"
    )
