"""What the test files share: the Email fields, subclasses of the built-in
types, a stand-in for email_validator, reference counts, and child interpreters.

conftest.py puts this folder on sys.path, so a test file says `from support import ...`.
"""

import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import email_validator

ROOT = Path(__file__).resolve().parent.parent
# Under the sanitizers every call is many times slower, and memory is kept in
# quarantine after it is freed.
SANITIZED = bool(os.environ.get("QUILLON_SANITIZED"))

# Email's fields in the constructor's order, its slots, and how the setters
# treat each field.
FIELDS = (
    "server",
    "username",
    "password",
    "from_",
    "to",
    "cc",
    "bcc",
    "subject",
    "message",
    "attachments",
)
SLOTS = tuple("__" + name.rstrip("_") for name in FIELDS)
TEXT_FIELDS = ("server", "username", "password", "subject", "message")
LIST_FIELDS = ("to", "cc", "bcc")


# Subclasses that pass an isinstance check but not the exact-type one.
class Text(str):
    pass


class Items(list):
    pass


class Pair(tuple):
    pass


# A password that no output may show: long, and like no other text of a run.
PASSWORD = "Quillon-Pa55-Zebra-4417"
VALID = email_validator.ValidatedEmail()


class Library:
    """Stands in for email_validator.validate_email: records every call and
    gives `outcome`, raising it afresh if it is an exception (a re-raised one
    would extend the traceback it has, and keep every earlier frame alive)."""

    def __init__(self, outcome=VALID):
        self.calls = []
        self.outcome = outcome

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if isinstance(self.outcome, BaseException):
            raise self.outcome.with_traceback(None)
        return self.outcome


def refcounts(*objects):
    """Each object's reference count. Give objects held in names: one made in
    the call, say an attribute read inside an assert, is held by pytest's
    rewriting of the assert as well."""
    return [sys.getrefcount(item) for item in objects]


def load_file(path, name):
    """Runs the Python file `path` as a module named `name`, left out of sys.modules."""
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


# The command never takes a password from the caller's shell, and writes
# UTF-8 whatever the locale.
ENV = {k: v for k, v in os.environ.items() if k != "QUILLON_PASSWORD"} | {"PYTHONUTF8": "1"}


def run_python(*args, timeout=120, **options):
    """This interpreter, run with `args`; its output is taken as text unless redirected."""
    if not options.keys() & {"stdout", "stderr"}:
        options["capture_output"] = True
    return subprocess.run([sys.executable, *args], text=True, timeout=timeout, **options)


def run_quillon(*args, env=(), **options):
    """The quillon command, in ENV with `env` added."""
    return run_python("-m", "quillon", *args, env=ENV | dict(env), **options)


class FaultySmtpServer:
    """A loopback SMTP server (aiosmtpd) that ends connections on purpose,
    and counts what it sees. Use it as a context manager.

    ``close_after``: close each connection after answering its k-th message.
    ``refuse_mail_after``: on a connection that took k messages, answer the
    next MAIL with 421 and close. ``drop_mail_after``: the same, with no
    answer at all. ``drop_after_data``: numbers (from 1, over the whole
    server) of the messages after whose data the connection closes before
    the reply; the message is kept. ``drop_data_command``: numbers (from 1,
    over the whole server) of the DATA commands at which the connection
    closes, before the message. ``refuse_recipients``: refused at RCPT
    with 550 (with ``careless``, answers DATA with 354 all the same).
    ``accounts``: user to password, for AUTH over the plain
    connection; MAIL needs a login then. ``most_connections``: a new
    connection beyond that many open ones is greeted with 421 and closed.
    ``silent_quit``: QUIT gets no answer. ``smtputf8``: whether SMTPUTF8 is
    offered. ``offers``: EHLO keywords to add, PIPELINING and CHUNKING (BDAT).

    ``messages``: (subject, user logged in) of each message kept, in
    arrival order; ``logins``: the successful logins of each connection
    that said EHLO;
    ``most_open``: the most connections open at once; ``reads``: how many
    times a session read from its socket after its EHLO; ``refused``: the
    connections greeted with 421; ``ended``: the connections that said EHLO
    and were closed since; ``quits``: the QUIT commands.
    """

    def __init__(
        self,
        *,
        close_after=None,
        refuse_mail_after=None,
        drop_mail_after=None,
        drop_after_data=(),
        drop_data_command=(),
        refuse_recipients=(),
        accounts=None,
        smtputf8=True,
        offers=(),
        careless=False,
        most_connections=None,
        silent_quit=False,
    ):
        import asyncio
        import email
        import logging
        import socket
        import threading

        from aiosmtpd.controller import Controller
        from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

        from quillon._loopback import LOOPBACK

        self.messages, self.logins, self.most_open, self.reads = [], [], 0, 0
        self.refused = self.ended = self.quits = 0
        data_commands = []
        owner, lock, opened, connected = self, threading.Lock(), set(), set()

        class Session(SMTP):
            kept = 0  # messages this connection has taken
            user = None
            turned_away = False

            def connection_made(self, transport):
                with lock:
                    if most_connections is not None and len(connected) >= most_connections:
                        self.turned_away = True
                        owner.refused += 1
                    else:
                        connected.add(self)
                super().connection_made(transport)

            async def _handle_client(self):
                if not self.turned_away:
                    return await super()._handle_client()
                await self.push("421 4.7.0 Too many connections from your address")
                self.transport.close()

            async def smtp_DATA(self, arg):  # noqa: N802
                with lock:
                    data_commands.append(self)
                    dropped = len(data_commands) in drop_data_command
                if dropped:
                    self.transport.close()
                    return None
                return await super().smtp_DATA(arg)

            async def smtp_QUIT(self, arg):  # noqa: N802
                with lock:
                    owner.quits += 1
                if silent_quit:
                    await asyncio.sleep(30)
                return await super().smtp_QUIT(arg)

            async def smtp_EHLO(self, arg):  # noqa: N802
                with lock:
                    self.number = len(owner.logins)
                    owner.logins.append(0)
                    opened.add(self)
                    owner.most_open = max(owner.most_open, len(opened))
                await super().smtp_EHLO(arg)

            def data_received(self, data):
                if hasattr(self, "number"):
                    owner.reads += 1
                super().data_received(data)

            async def smtp_BDAT(self, arg):  # noqa: N802
                size, _, last = arg.partition(" ")
                chunk = await self._reader.readexactly(int(size))
                if not self.envelope.rcpt_tos:
                    await self.push("503 5.5.1 Error: need RCPT command")
                    return
                self.envelope.original_content = (self.envelope.original_content or b"") + chunk
                if last.upper() != "LAST":
                    await self.push("250 2.0.0 Chunk accepted")
                    return
                status = await self._call_handler_hook("DATA")
                self._set_post_data_state()
                await self.push(status)

            def connection_lost(self, error):
                with lock:
                    opened.discard(self)
                    connected.discard(self)
                super().connection_lost(error)
                if hasattr(self, "number"):
                    # Counted once asyncio has closed the socket too, right after this.
                    asyncio.get_running_loop().call_soon(self.count_end)

            def count_end(self):
                with lock:
                    owner.ended += 1

        def authenticate(server, session, envelope, mechanism, auth_data):
            accepted = (
                isinstance(auth_data, LoginPassword)
                and accounts.get(auth_data.login.decode()) == auth_data.password.decode()
            )
            if accepted:
                owner.logins[server.number] += 1
                server.user = auth_data.login.decode()
            return AuthResult(success=accepted, handled=False)

        class Handler:
            async def handle_EHLO(self, server, session, envelope, hostname, responses):  # noqa: N802
                session.host_name = hostname
                return responses[:1] + [f"250-{keyword}" for keyword in offers] + responses[1:]

            async def handle_MAIL(self, server, session, envelope, address, options):  # noqa: N802
                if accounts is not None and not session.authenticated:
                    return "530 5.7.0 Authentication required"
                if server.kept == drop_mail_after:
                    server.transport.close()  # nothing of the reply goes out
                    return "250 unseen"
                if server.kept == refuse_mail_after:
                    asyncio.get_running_loop().call_soon(server.transport.close)
                    return "421 4.7.0 Too many messages on this connection"
                envelope.mail_from = address
                return "250 OK"

            async def handle_RCPT(self, server, session, envelope, address, options):  # noqa: N802
                if address in refuse_recipients:
                    if careless:
                        envelope.rcpt_tos.append(address)
                    return f"550 5.1.1 <{address}>: Recipient address rejected"
                envelope.rcpt_tos.append(address)
                return "250 OK"

            async def handle_DATA(self, server, session, envelope):  # noqa: N802
                message = email.message_from_bytes(envelope.original_content)
                owner.messages.append((message["Subject"], server.user))
                server.kept += 1
                if len(owner.messages) in drop_after_data:
                    server.transport.close()
                elif server.kept == close_after:
                    asyncio.get_running_loop().call_soon(server.transport.close)
                return "250 OK"

        # aiosmtpd warns of its own deprecated attribute at every login.
        logging.getLogger("mail.log").addFilter(
            lambda record: "login_data is deprecated" not in record.getMessage()
        )

        class Bound(Controller):
            # Served on a socket bound beforehand, so that the port is known
            # and no other process can take it meanwhile.
            def __init__(self, sock):
                super().__init__(
                    Handler(),
                    hostname=LOOPBACK,
                    port=sock.getsockname()[1],
                    server_hostname="loopback.example",
                    ready_timeout=5.0,
                    auth_require_tls=False,
                    authenticator=accounts and authenticate,
                    enable_SMTPUTF8=smtputf8,
                )
                self.sock = sock

            def factory(self):
                return Session(self.handler, **self.SMTP_kwargs)

            def _create_server(self):
                return self.loop.create_server(self._factory_invoker, sock=self.sock)

        sock = socket.socket()
        sock.bind((LOOPBACK, 0))
        self.server_text = f"{LOOPBACK}:{sock.getsockname()[1]}"
        self._controller = Bound(sock)

    def __enter__(self):
        self._controller.start()
        return self

    def __exit__(self, *exc_info):
        self._controller.stop()
