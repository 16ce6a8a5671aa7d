"""Kept SMTP connections: a client factory whose connections outlive one send.

Exported as ``quillon.smtp.Pool`` and ``quillon.smtp.DeliveryUnknown``.
"""

from __future__ import annotations

import contextlib
import email.message
import hmac
import os
import select
import smtplib
import ssl
import threading
import time
import weakref
from collections.abc import Callable, Sequence
from typing import Any, Literal, NamedTuple, Self, cast

from quillon.smtp._pipeline import Pipelining

# A connection is kept for one server text and one login: (server, whether
# it logged in, user, keyed digest of the password).
_Key = tuple[str | None, bool, str | None, bytes | None]

# How long QUIT may take, for all the connections that close() ends and for
# one that makes room for another.
QUIT_WAIT = 2.0
# The first and the longest pause before a new connection is tried again
# after the server refused one (421) while the pool held others.
BACKOFF_FIRST = 0.05
BACKOFF_MOST = 2.0
# The longest a waiting send sleeps before it reads the clock again.
_POLL = 0.25


class DeliveryUnknown(smtplib.SMTPException):
    """The connection was lost after the whole message had gone out and
    before the server answered: the message may have been delivered, so it
    was not sent again. Do not send it again on this error.

    Not an ``SMTPServerDisconnected``, so that a handler that retries on a
    lost connection does not send the message twice."""


_LOST_AFTER_DATA = (
    "the connection was lost after the message was sent and before the server confirmed "
    "it: it may have been delivered, so it was not sent again"
)


class _Kept(Pipelining):
    """Placed before the client class: follows the dialogue of each message."""

    # Where the connection stands in the dialogue of one message: "" between
    # messages, then the command last sent ("mail", "rcpt", "data"), and
    # "sent" once the end of the data has gone out and only the server's
    # verdict is awaited.
    stage: str = ""
    messages = 0
    login_reply: tuple[int, bytes] = (0, b"")

    def mail(self, sender: str, options: Sequence[str] = ()) -> tuple[int, bytes]:
        self.stage = "mail"
        return super().mail(sender, options)

    def rcpt(self, recip: str, options: Sequence[str] = ()) -> tuple[int, bytes]:
        self.stage = "rcpt"
        return super().rcpt(recip, options)

    def data(self, msg: Any) -> tuple[int, bytes]:
        self.stage = "data"
        reply = super().data(msg)
        self.stage = ""
        self.messages += 1
        return reply

    def sendmail(self, *args: Any, **kwargs: Any) -> dict[str, tuple[int, bytes]]:
        # data() and the pipelined exchange mark the end of the data as
        # "sent": a connection lost after that may have delivered it.
        try:
            return super().sendmail(*args, **kwargs)
        except smtplib.SMTPServerDisconnected as exc:
            if self.stage != "sent":
                raise
            raise DeliveryUnknown(_LOST_AFTER_DATA) from exc

    def send(self, s: Any) -> None:
        super().send(s)
        # The one thing data() sends after the server's 354 is the message,
        # ending with the line that holds a lone dot.
        if self.stage == "data" and isinstance(s, bytes) and s.endswith(b"\r\n.\r\n"):
            self.stage = "sent"

    def rset(self) -> tuple[int, bytes]:
        reply = super().rset()
        if reply[0] == 250:
            self.stage = ""
        return reply


def _closed_by_server(conn: _Kept) -> bool:
    """Whether a kept connection has something to read, or is gone, without a round trip.

    Between messages the server says nothing unless it is ending the
    connection (an idle time-out, a 421, or the end of the stream), so
    anything readable means the connection cannot take another message.
    """
    sock = conn.sock
    if sock is None:
        return True
    if isinstance(sock, ssl.SSLSocket) and sock.pending():
        return True
    try:
        if not hasattr(select, "poll"):  # Windows
            return bool(select.select([sock], [], [], 0)[0])
        poller = select.poll()
        poller.register(sock, select.POLLIN | select.POLLPRI)
        return bool(poller.poll(0))
    except (OSError, ValueError):
        return True


def _close(conn: smtplib.SMTP, *, politely: bool, within: float = QUIT_WAIT) -> None:
    """Close ``conn``; with ``politely``, say QUIT first, waiting at most ``within`` s."""
    # QUIT only between messages: in the middle of DATA it would be read as
    # a line of the message. (smtplib's errors are OSErrors too.)
    with contextlib.suppress(OSError):
        if politely and conn.sock is not None and within > 0:
            conn.sock.settimeout(within)
            conn.quit()
    conn.close()


class PoolStats(NamedTuple):
    """A pool's connections at one moment: ``open`` of at most ``size``, of
    which ``idle`` are kept between sends (the others serve a send)."""

    open: int
    idle: int
    size: int


# Every pool of the process, so that a child made by fork() starts each of
# them afresh (see Pool._forget_inherited).
_pools: weakref.WeakSet[Pool] = weakref.WeakSet()


def _after_fork_in_child() -> None:
    for pool in list(_pools):
        pool._forget_inherited()


if hasattr(os, "register_at_fork"):  # not on Windows
    os.register_at_fork(after_in_child=_after_fork_in_child)


class Pool:
    """A client factory that keeps connections open for many sends.

    ``Pool(StartTLS)`` is bound like any client, for a whole process
    (``quillon.email.SMTP = Pool(StartTLS)``) or for a block, and closed
    with ``close()`` or by using it as a context manager::

        with Pool(StartTLS) as pool, using(pool):
            for mail in mails:
                mail.send()

    ``client`` is the class that opens each connection: ``StartTLS``,
    ``ImplicitTLS``, ``Plain`` or a subclass with settings.

    Each connection serves one server text and one login: it logs in once,
    and a later send with the same user and password reuses it; another user
    or another password gets a connection of its own. The password is not
    kept, only a digest keyed with a secret of this pool. At most ``size``
    connections are open at once; threads share them, and a send that finds
    all of them busy waits up to ``wait`` seconds (class attribute, 60) for
    one to come free, then raises ``TimeoutError``. When the server refuses
    a new connection (421, too many connections) while the pool holds others,
    the send waits for one of those instead, trying a new connection again
    after a pause that doubles up to 2 s, and fails only at the end of
    ``wait``. ``stats`` (and the repr) give the connections open and idle;
    ``clock``, the time source of these waits, is ``time.monotonic``.

    A child process made by ``fork()`` starts with an empty pool: it never
    uses, nor says QUIT on, a connection of its parent, which the parent
    keeps using. ``close()`` takes at most about 2 s, whatever the server
    does.

    A kept connection that the server has closed meanwhile (idle time-out,
    421) is replaced before its next message, unnoticed by the caller; so is
    one whose server ends it at the first command of the next message, when
    nothing of that message has been sent. A connection lost after the
    whole message went out and before the server's reply raises
    ``DeliveryUnknown`` and the message is not sent again (so do not retry
    on that error: check whether it arrived). Anything else,
    refusals included, fails as on a fresh connection; after a failed
    message the connection is kept only if the client reset it (RSET) and
    otherwise closed.
    """

    wait: float = 60.0
    clock: Callable[[], float] = staticmethod(time.monotonic)

    def __init__(self, client: type[smtplib.SMTP], *, size: int = 4) -> None:
        if not (isinstance(client, type) and issubclass(client, smtplib.SMTP)):
            raise TypeError(f"Pool needs a subclass of smtplib.SMTP, got {client!r}")
        if isinstance(size, bool) or not isinstance(size, int):
            raise TypeError(f"size must be an int, got {type(size).__name__}")
        if size < 1:
            raise ValueError(f"size must be at least 1, got {size}")
        self.client = client
        self.size = size
        self._class = cast(
            type[_Kept],
            type(
                client.__name__,
                (_Kept, client),
                {"__module__": client.__module__, "__qualname__": client.__qualname__},
            ),
        )
        self._secret = os.urandom(32)
        self._closed = False
        self._forget_inherited()
        _pools.add(self)

    def _forget_inherited(self) -> None:
        """Start the pool's state afresh: at creation, and in a child after fork().

        The connections of the parent stay the parent's: the child neither
        uses nor closes them (a QUIT, or a TLS record, from the child would
        break the parent's session), it only drops its references.
        """
        self._free = threading.Condition(threading.Lock())
        self._idle: list[tuple[_Key, _Kept]] = []  # least recently used first
        self._open = 0
        # The connections this process opened, busy or idle.
        self._mine: weakref.WeakSet[_Kept] = weakref.WeakSet()
        # After a 421 to a new connection: no new one before _retry_at.
        self._backoff = 0.0
        self._retry_at = float("-inf")

    def __call__(self, host: str | None = "") -> _Lease:
        if self._closed:
            raise RuntimeError("this Pool is closed")
        return _Lease(self, host)

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __repr__(self) -> str:
        stats = self.stats
        state = f"{stats.open} of {stats.size} open, {stats.idle} idle"
        return f"<Pool of {self.client.__qualname__}, {'closed, ' * self._closed}{state}>"

    @property
    def stats(self) -> PoolStats:
        with self._free:
            return PoolStats(self._open, len(self._idle), self.size)

    def close(self) -> None:
        """Close the idle connections now and each busy one when its send ends.

        QUIT is said to each idle connection, all of them within about 2 s
        (``QUIT_WAIT``); those left when that time is up are closed without it.
        """
        with self._free:
            self._closed = True
            idle, self._idle = self._idle, []
            self._open -= len(idle)
            self._free.notify_all()
        deadline = self.clock() + QUIT_WAIT
        for _, conn in idle:
            _close(conn, politely=True, within=deadline - self.clock())

    def _key(self, host: str | None, login: tuple[str | None, str | None] | None) -> _Key:
        if login is None:
            return host, False, None, None
        user, password = login
        digest = (
            None
            if password is None
            else hmac.digest(self._secret, str(password).encode("utf-8", "surrogatepass"), "sha256")
        )
        return host, True, user, digest

    def _take(
        self, host: str | None, login: tuple[str | None, str | None] | None, options: dict[str, Any]
    ) -> _Kept:
        """A connection for ``host`` logged in with ``login``: a kept one or a new one."""
        key = self._key(host, login)
        deadline = self.clock() + self.wait
        refusal: smtplib.SMTPConnectError | None = None
        while True:
            conn, now = self._wait_for(key, deadline, refusal)
            if conn is not None:
                if not _closed_by_server(conn):
                    return conn
                _close(conn, politely=False)
            try:
                conn = self._connect(host, login, options)
            except BaseException as exc:
                if not (isinstance(exc, smtplib.SMTPConnectError) and exc.smtp_code == 421):
                    self._release()
                    raise
                if not self._refused(now):
                    raise
                refusal = exc
                continue
            with self._free:
                self._backoff = 0.0
                self._mine.add(conn)
            return conn

    def _wait_for(
        self, key: _Key, deadline: float, refusal: smtplib.SMTPConnectError | None
    ) -> tuple[_Kept | None, float]:
        """A kept connection for ``key``, or None with a slot taken for a new
        one; and the clock's time then."""
        evicted = None
        with self._free:
            while True:
                if self._closed:
                    raise RuntimeError("this Pool is closed")
                kept = next(
                    (i for i in reversed(range(len(self._idle))) if self._idle[i][0] == key), None
                )
                now = self.clock()
                if kept is not None:
                    return self._idle.pop(kept)[1], now
                left = deadline - now
                if (
                    now >= self._retry_at
                    and (self._open < self.size or self._idle)
                    and (refusal is None or left > 0)
                ):
                    if self._open >= self.size:
                        # Full, but a connection for another server or login is
                        # idle: the one unused for longest makes room.
                        evicted = self._idle.pop(0)[1]
                    else:
                        self._open += 1
                    break
                if left <= 0:
                    refused = " and the server refused another (421)" if refusal else ""
                    raise TimeoutError(
                        f"no connection of the pool came free in {self.wait:g} s "
                        f"(size {self.size}){refused}"
                    ) from refusal
                pause = min(left, _POLL)
                if self._retry_at > now:
                    pause = min(pause, self._retry_at - now)
                self._free.wait(pause)
        if evicted is not None:
            _close(evicted, politely=True)
        return None, now

    def _refused(self, tried_at: float) -> bool:
        """After a 421 to a new connection: whether to wait for another one.

        Gives back the slot taken for it. With other connections open, the
        server's limit is what the pool holds: no new connection is tried
        for a pause that doubles with each refusal in a row.
        """
        with self._free:
            self._open -= 1
            self._free.notify()
            if self._open == 0:
                return False
            self._backoff = min(max(2 * self._backoff, BACKOFF_FIRST), BACKOFF_MOST)
            self._retry_at = tried_at + self._backoff
            return True

    def _connect(
        self, host: str | None, login: tuple[str | None, str | None] | None, options: dict[str, Any]
    ) -> _Kept:
        conn = self._class(host=host)  # type: ignore[arg-type]
        try:
            # Entering is where StartTLS upgrades; the pool leaves it only at close.
            conn.__enter__()
            if login is not None:
                conn.login_reply = conn.login(login[0], login[1], **options)  # type: ignore[arg-type]
                # smtplib keeps the password for its AUTH exchange; a kept
                # connection has no use for it any more.
                conn.password = ""
        except BaseException:
            conn.close()
            raise
        return conn

    def _give_back(
        self, conn: _Kept, host: str | None, login: tuple[str | None, str | None] | None
    ) -> None:
        reusable = conn.sock is not None and conn.stage == ""
        with self._free:
            if conn not in self._mine:
                # Leased in the parent before fork(): the parent's to end.
                return
            if reusable and not self._closed:
                self._idle.append((self._key(host, login), conn))
                self._free.notify()
                return
        _close(conn, politely=reusable)
        self._release()

    def _release(self) -> None:
        with self._free:
            self._open -= 1
            self._free.notify()


class _Lease:
    """What the pool gives ``Email.send`` for one send.

    The connection is taken once the login is known, at ``login`` or at
    ``send_message`` without one, and given back when the block ends.
    """

    def __init__(self, pool: Pool, host: str | None) -> None:
        self._pool = pool
        self._host = host
        self._conn: _Kept | None = None
        # Held for the length of the send only, should a kept connection
        # have to be replaced by one that logs in afresh.
        self._login: tuple[str | None, str | None] | None = None
        self._options: dict[str, Any] = {}

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc_info: object) -> Literal[False]:
        conn, self._conn = self._conn, None
        try:
            if conn is not None:
                self._pool._give_back(conn, self._host, self._login)
        finally:
            self._login = None
        return False

    def login(self, user: str | None, password: str | None, **options: Any) -> tuple[int, bytes]:
        if self._conn is not None:
            conn, self._conn = self._conn, None
            self._pool._give_back(conn, self._host, self._login)
        self._login = (user, password)
        self._options = options
        self._conn = self._pool._take(self._host, self._login, options)
        return self._conn.login_reply

    def send_message(
        self,
        msg: email.message.Message,
        from_addr: str | None = None,
        to_addrs: str | Sequence[str] | None = None,
        mail_options: Sequence[str] = (),
        rcpt_options: Sequence[str] = (),
    ) -> dict[str, tuple[int, bytes]]:
        if self._conn is None:
            self._conn = self._pool._take(self._host, self._login, self._options)
        while True:
            conn = self._conn
            try:
                return conn.send_message(msg, from_addr, to_addrs, mail_options, rcpt_options)
            except (smtplib.SMTPServerDisconnected, smtplib.SMTPSenderRefused) as exc:
                ended = isinstance(exc, smtplib.SMTPServerDisconnected) or exc.smtp_code == 421
                if not (ended and conn.stage == "mail" and conn.messages):
                    raise
            # The server ended a connection that had served earlier messages
            # at the first command of this one (an idle time-out, or a limit
            # of messages per connection): nothing of this message has been
            # sent, so another connection takes it. That may be another kept
            # one the server has just ended too, whose end has not reached us
            # yet; each such attempt closes one, so a new connection, whose
            # outcome is the send's, comes after at most `size` of them.
            self._conn = None
            self._pool._give_back(conn, self._host, self._login)
            self._conn = self._pool._take(self._host, self._login, self._options)
