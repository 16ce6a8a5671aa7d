"""A Postfix instance of its own on loopback, for tests and benchmarks.

``Postfix`` runs the system's Postfix (Debian's ``postfix`` package) with a
configuration directory, queue, data directory and mailboxes under a fresh
temporary directory, listening on 127.0.0.1 and a port of its own; it never
touches the system's instance or its files. Mail for ``example.org`` goes to
one maildir per address listed in ``mailboxes``; any other address there is
refused at RCPT ("User unknown in virtual mailbox table"). A full address
in ``mailboxes`` makes its domain one that Postfix takes mail for too. Postfix's master
must start as root; ``unavailable()`` says why it cannot run here, or None.
"""

from __future__ import annotations

import email
import email.message
import email.policy
import os
import pwd
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from collections.abc import Iterable, Mapping
from pathlib import Path
from typing import Self

from quillon._loopback._peer import LOOPBACK, _Peer

DOMAIN = "example.org"

_MASTER_CF = """\
{listen} inet n - n - - smtpd
cleanup unix n - n - 0 cleanup
qmgr unix n - n 300 1 qmgr
tlsmgr unix - - n 1000? 1 tlsmgr
rewrite unix - - n - - trivial-rewrite
bounce unix - - n - 0 bounce
defer unix - - n - 0 bounce
trace unix - - n - 0 bounce
verify unix - - n - 1 verify
flush unix n - n 1000? 0 flush
proxymap unix - - n - - proxymap
smtp unix - - n - - smtp
error unix - - n - - error
retry unix - - n - - error
discard unix - - n - - discard
virtual unix - n n - - virtual
anvil unix - - n - 1 anvil
scache unix - - n - 1 scache
postlog unix-dgram n - n - 1 postlogd
"""

# Queue folders a message passes through before its delivery.
_QUEUES = ("maildrop", "incoming", "active", "deferred", "hold")


def unavailable() -> str | None:
    """Why a Postfix instance cannot run here, or None when it can."""
    if shutil.which("postfix") is None and not Path("/usr/sbin/postfix").exists():
        return "Postfix is not installed (Debian: apt-get install postfix)"
    if not hasattr(os, "geteuid") or os.geteuid() != 0:
        return "Postfix's master process must be started as root"
    try:
        pwd.getpwnam("postfix")
    except KeyError:
        return "there is no 'postfix' user (the package creates it)"
    return None


def _running(pid: int) -> bool:
    # The master is not our child: once ended it may linger as a zombie.
    try:
        status = Path(f"/proc/{pid}/status").read_text()
    except OSError:
        return False
    return "\nState:\tZ" not in status


class Postfix(_Peer):
    """A Postfix instance on 127.0.0.1; use it as a context manager.

    ``mailboxes``: the local parts at example.org that take mail, or full
    addresses (their maildir is named after the whole address); with
    ``smtputf8_enable`` a local part may be in UTF-8.
    ``settings``: main.cf lines on top of this instance's own, such as
    ``{"smtpd_discard_ehlo_keywords": "chunking"}`` or
    ``{"smtputf8_enable": "yes"}``; "{config}" in a value is the
    configuration directory, where ``files`` (name to text) are written,
    say a table for ``texthash:{config}/access``. ``tls``: a PEM file
    holding the private key, then its certificate chain, to offer STARTTLS.

    ``port``: where it listens; ``server_text``: "127.0.0.1:port".
    ``delivered()``: waits until the queue is empty, then gives the
    ``Subject`` of every message in the mailboxes, with repeats, per address.
    ``envelopes()``: the sender and recipients of each message, as logged.
    """

    def __init__(
        self,
        *,
        mailboxes: Iterable[str] = ("to", "b", "c", "d"),
        settings: Mapping[str, str] | None = None,
        tls: str | None = None,
        files: Mapping[str, str] | None = None,
    ) -> None:
        self.mailboxes = tuple(mailboxes)
        self.settings = dict(settings or {})
        self.tls = tls
        self.files = dict(files or {})
        self.root = Path(tempfile.mkdtemp(prefix="quillon-postfix-"))
        self.config = self.root / "config"
        self.mail = self.root / "mail"
        self.log = self.root / "maillog"
        self.port = 0
        self.server_text = ""
        self._running = False

    @staticmethod
    def _address(name: str) -> str:
        return name if "@" in name else f"{name}@{DOMAIN}"

    def _domains(self) -> list[str]:
        return sorted(
            {DOMAIN, *(self._address(name).rpartition("@")[2] for name in self.mailboxes)}
        )

    def _main_cf(self) -> str:
        owner = pwd.getpwnam("postfix")
        settings = {
            "compatibility_level": "3.6",
            "queue_directory": str(self.root / "queue"),
            "data_directory": str(self.root / "data"),
            "mail_owner": "postfix",
            "myhostname": "loopback.example",
            "mydomain": "loopback.example",
            "myorigin": "loopback.example",
            "mydestination": "",
            "inet_interfaces": LOOPBACK,
            "inet_protocols": "ipv4",
            "mynetworks": "127.0.0.0/8",
            "relay_domains": "",
            "alias_maps": "",
            "alias_database": "",
            "local_recipient_maps": "",
            "virtual_mailbox_domains": " ".join(self._domains()),
            "virtual_mailbox_base": str(self.mail),
            "virtual_mailbox_maps": f"texthash:{self.config / 'mailboxes'}",
            "virtual_uid_maps": f"static:{owner.pw_uid}",
            "virtual_gid_maps": f"static:{owner.pw_gid}",
            "virtual_minimum_uid": "1",
            "maillog_file": str(self.log),
            "maillog_file_prefixes": str(self.root),
            "smtputf8_enable": "no",
            "biff": "no",
            "smtpd_banner": "$myhostname ESMTP",
        }
        if self.tls is not None:
            settings |= {
                "smtpd_tls_chain_files": self.tls,
                "smtpd_tls_security_level": "may",
            }
        settings |= {
            name: value.replace("{config}", str(self.config))
            for name, value in self.settings.items()
        }
        return "".join(f"{name} = {value}\n" for name, value in settings.items())

    def _write_config(self) -> None:
        owner = pwd.getpwnam("postfix")
        self.root.chmod(0o755)
        self.config.mkdir()
        (self.root / "queue").mkdir(mode=0o755)
        self.mail.mkdir()
        os.chown(self.mail, owner.pw_uid, owner.pw_gid)
        (self.config / "main.cf").write_text(self._main_cf())
        (self.config / "master.cf").write_text(_MASTER_CF.format(listen=f"{LOOPBACK}:{self.port}"))
        (self.config / "mailboxes").write_text(
            "".join(f"{self._address(name)} {name}/\n" for name in self.mailboxes)
        )
        for name, text in self.files.items():
            (self.config / name).write_text(text)

    def _postfix(self, *command: str) -> subprocess.CompletedProcess[str]:
        return subprocess.run(
            ["postfix", "-c", str(self.config), *command],
            capture_output=True,
            text=True,
            timeout=60,
            # Not the sanitizers' runtime a test run may preload.
            env={
                **{k: v for k, v in os.environ.items() if k != "LD_PRELOAD"},
                "PATH": f"/usr/sbin:/sbin:{os.environ.get('PATH', '')}",
            },
        )

    def start(self) -> Self:
        reason = unavailable()
        if reason is not None:
            raise RuntimeError(reason)
        # A port the system has just given out and nobody holds.
        with socket.socket() as sock:
            sock.bind((LOOPBACK, 0))
            self.port = sock.getsockname()[1]
        self.server_text = f"{LOOPBACK}:{self.port}"
        self._write_config()
        started = self._postfix("start")
        if started.returncode != 0:
            # It reports to its log, and to stderr only on a terminal.
            log = self.log.read_text(errors="replace") if self.log.exists() else ""
            self.stop()
            raise RuntimeError(f"postfix did not start: {started.stderr.strip()}\n{log[-2000:]}")
        self._running = True
        deadline = time.monotonic() + 15
        while True:
            try:
                with socket.create_connection((LOOPBACK, self.port), timeout=5) as probe:
                    if probe.recv(512).startswith(b"220"):
                        probe.sendall(b"QUIT\r\n")
                        self._wait_for_log(" disconnect from ", deadline)
                        return self
            except OSError:
                pass
            if time.monotonic() > deadline:
                log = self.log.read_text(errors="replace") if self.log.exists() else ""
                self.stop()
                raise RuntimeError(f"postfix did not answer on port {self.port}:\n{log[-2000:]}")
            time.sleep(0.05)

    def _wait_for_log(self, text: str, deadline: float) -> None:
        # The log is written by a process of its own, a moment later: what
        # counts its lines starts once the probe's session is in it.
        while time.monotonic() < deadline:
            if self.log.exists() and text in self.log.read_text(errors="replace"):
                return
            time.sleep(0.02)

    def stop(self, timeout: float = 5.0) -> None:
        if self._running:
            self._running = False
            # The master ends its children and itself at SIGTERM; `postfix
            # stop` would do the same, then wait in steps of a second.
            try:
                pid = int((self.root / "queue" / "pid" / "master.pid").read_text().split()[0])
                os.kill(pid, signal.SIGTERM)
            except (OSError, ValueError, IndexError):
                self._postfix("stop")
            else:
                deadline = time.monotonic() + timeout
                while _running(pid) and time.monotonic() < deadline:
                    time.sleep(0.02)
        shutil.rmtree(self.root, ignore_errors=True)

    def queued(self) -> int:
        """How many messages are still in the queue (not yet delivered)."""
        queue = self.root / "queue"
        return sum(len(files) for name in _QUEUES for _, _, files in os.walk(queue / name))

    def delivered(self, timeout: float = 30.0) -> dict[str, list[str]]:
        """Waits for an empty queue; the subjects in each mailbox, in no order."""
        deadline = time.monotonic() + timeout
        while self.queued() and time.monotonic() < deadline:
            time.sleep(0.05)
        found: dict[str, list[str]] = {}
        for name in self.mailboxes:
            new = self.mail / name / "new"
            if new.is_dir():
                found[name] = [str(self.read(path)["Subject"]) for path in sorted(new.iterdir())]
        return found

    def arrived(self, name: str) -> list[Path]:
        """The delivered files of one mailbox."""
        new = self.mail / name / "new"
        return sorted(new.iterdir()) if new.is_dir() else []

    @staticmethod
    def read(path: Path) -> email.message.Message:
        """A delivered file, parsed with ``policy.default``; UTF-8 headers read as text."""
        text = path.read_bytes().decode("utf-8", "surrogateescape")
        return email.message_from_string(text, policy=email.policy.default)

    def envelopes(self, timeout: float = 5.0) -> list[tuple[str, list[str]]]:
        """(sender, recipients delivered to) of each message, in the log's order.

        Waits, up to ``timeout``, until the log says that every message it
        names is done with (removed from the queue).
        """
        deadline = time.monotonic() + timeout
        while True:
            log = self.log.read_text(errors="replace") if self.log.exists() else ""
            senders = dict(re.findall(r": ([0-9A-F]+): from=<([^>]*)>", log))
            removed = set(re.findall(r": ([0-9A-F]+): removed", log))
            if senders.keys() <= removed or time.monotonic() > deadline:
                break
            time.sleep(0.05)
        delivered = re.findall(r": ([0-9A-F]+): to=<([^>]*)>.*? status=sent", log)
        return [
            (sender, [to for found, to in delivered if found == queue_id])
            for queue_id, sender in senders.items()
        ]
