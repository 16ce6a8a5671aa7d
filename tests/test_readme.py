"""The README's Python examples and quillon commands, run as a reader pastes them,
against a loopback SMTP server (STARTTLS and login) and a loopback DNS server.

Only the provider's host is rewritten, to the SMTP server's; the password comes
from the environment variables the examples read, and the certificate from a CA
made here, trusted through SSL_CERT_FILE. A block that cannot run says why in a
`<!-- not run: reason -->` line right before it."""

import re
import shutil
import ssl
import subprocess
import sys
from typing import NamedTuple

import pytest
import trustme

from quillon import _loopback
from support import ENV, PASSWORD, ROOT, run_python

PROVIDER = "smtp.example.org:587"
USER = "me@example.org"
DOMAINS = ("example.org", "example.net", "example.com")
ZONE = {domain: {"MX": f"10 mail.{domain}."} for domain in DOMAINS} | {
    f"mail.{domain}": {"A": _loopback.PUBLIC_IPV4} for domain in DOMAINS
}
# The files the examples read, in the directory they run in.
FILES = {
    "minutes.pdf": b"%PDF-1.4 minutes",
    "report.pdf": b"%PDF-1.4 report",
    "data.csv": b"a,b\n1,2\n",
    "report.html": b"<p>The report.</p>",
    "addresses.txt": b"alice@example.org\n# a comment\nbob@example.net\n",
    # Blanks around a cell, as a spreadsheet export may leave them.
    "people.csv": b'name,email\nAlice, alice@example.org \n"Bob, Jr.",bob@example.net\n',
}

# dnspython's default resolver asks the loopback DNS server, whose port is the
# first argument; then the file given next runs as __main__ (a test module
# under pytest, with the fixtures quillon installs), or quillon's command does.
VIA_LOOPBACK_DNS = """\
import sys, dns.resolver
resolver = dns.resolver.Resolver(configure=False)
resolver.nameservers, resolver.port, resolver.cache = ["127.0.0.1"], int(sys.argv.pop(1)), None
dns.resolver.default_resolver = resolver
"""
RUN_EXAMPLE = (
    VIA_LOOPBACK_DNS
    + """\
import re, runpy
if re.search(r"(?m)^def test_", open(sys.argv[1]).read()):
    import pytest
    sys.exit(pytest.main(["-q", "-p", "no:cacheprovider", sys.argv[1]]))
runpy.run_path(sys.argv[1], run_name="__main__")
"""
)
RUN_COMMAND = (
    VIA_LOOPBACK_DNS
    + """\
from quillon.cli import main
sys.exit(main(sys.argv[1:]))
"""
)


class Block(NamedTuple):
    line: int
    text: str
    not_run: str | None


def blocks(languages):
    """The fenced blocks in those languages, with the line each starts on."""
    readme = (ROOT / "README.md").read_text()
    fence = re.compile(r"^(?:<!-- not run: (.+?) -->\n)?```(\w*)\n(.*?)^```", re.S | re.M)
    return [
        Block(readme.count("\n", 0, m.start(3)) + 1, m[3], m[1])
        for m in fence.finditer(readme)
        if m[2] in languages
    ]


def commands():
    """Each quillon command line of the shell blocks, continuation lines joined."""
    found = []
    for block in blocks({"sh", "console", "shell"}):
        for line in block.text.replace("\\\n", " ").splitlines():
            line = re.sub(r"\s+", " ", line.removeprefix("$ ")).strip()
            if re.search(r"(^|\| )(uv run )?quillon ", line):
                found.append(block._replace(text=line.replace("uv run quillon", "quillon")))
    return found


@pytest.fixture(scope="module")
def peers(tmp_path_factory):
    """The servers, the directory the examples run in, and their environment."""
    ca = trustme.CA()
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    ca.issue_cert(_loopback.LOOPBACK).configure_cert(context)
    workdir = tmp_path_factory.mktemp("readme")
    for name, content in FILES.items():
        (workdir / name).write_bytes(content)
    ca.cert_pem.write_to_path(str(workdir / "ca.pem"))
    (workdir / "run_command.py").write_text(RUN_COMMAND)
    with (
        _loopback.DnsServer(ZONE) as dns,
        _loopback.SmtpServer(user=USER, password=PASSWORD, starttls=context) as smtp,
    ):
        shim = workdir / "bin" / "quillon"
        shim.parent.mkdir()
        shim.write_text(
            f'#!/bin/sh\nexec "{sys.executable}" "{workdir}/run_command.py" {dns.port} "$@"\n'
        )
        shim.chmod(0o755)
        env = ENV | {
            "SMTP_PASSWORD": PASSWORD,
            "QUILLON_PASSWORD": PASSWORD,
            "SSL_CERT_FILE": str(workdir / "ca.pem"),
            "PATH": f"{shim.parent}:{ENV['PATH']}",
        }
        yield dns, smtp, workdir, env


def run_and_judge(block, smtp, run):
    """Runs the block; a block that sends must have delivered, logged in over TLS."""
    if block.not_run:
        pytest.skip(block.not_run)
    before = len(smtp.messages)
    result = run(block.text.replace(PROVIDER, smtp.server_text))
    assert result.returncode == 0, result.stdout + result.stderr
    sends = re.search(r"\.send\(\)|quillon send (?!.*--dry-run)", block.text)
    if sends and "outbox" not in block.text:
        delivered = smtp.messages[before:]
        assert delivered and {m.login for m in delivered} == {USER}, result.stderr


README_PYTHON = blocks({"python"})
README_COMMANDS = commands()
assert README_PYTHON and README_COMMANDS, "the README's blocks were not found"


@pytest.mark.parametrize("block", README_PYTHON, ids=lambda b: f"README.md:{b.line}")
def test_python_example(peers, block):
    dns, smtp, workdir, env = peers
    script = workdir / f"example_{block.line}.py"

    def run(text):
        script.write_text(text)
        return run_python(
            "-c", RUN_EXAMPLE, str(dns.port), str(script), cwd=workdir, env=env, timeout=120
        )

    run_and_judge(block, smtp, run)


@pytest.mark.parametrize("block", README_COMMANDS, ids=lambda b: b.text[:60])
def test_command(peers, block):
    _, smtp, workdir, env = peers
    bash = shutil.which("bash") or "/bin/bash"

    def run(text):
        return subprocess.run(
            [bash, "-o", "pipefail", "-c", text],
            cwd=workdir,
            env=env,
            capture_output=True,
            text=True,
            timeout=120,
            stdin=subprocess.DEVNULL,
        )

    run_and_judge(block, smtp, run)


def test_check_all_example_reads_the_csv_as_the_command_does(peers):
    dns, _, workdir, env = peers
    [block] = [block for block in README_PYTHON if "check_all(" in block.text]
    script = workdir / "check_all_example.py"
    script.write_text(block.text)
    example = run_python("-c", RUN_EXAMPLE, str(dns.port), str(script), cwd=workdir, env=env)
    command = subprocess.run(
        [shutil.which("quillon", path=env["PATH"]), "check", "--file", "people.csv"]
        + ["--column", "email"],
        cwd=workdir,
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
    )
    verdicts = [line.split("\t") for line in command.stdout.splitlines()]
    assert verdicts and example.stdout.splitlines() == [
        f"{address}: {valid == 'valid'}, {reason}" for address, valid, reason in verdicts
    ]
