"""Kept SMTP connections: a client factory whose connections outlive one send.

Exported as ``quillon.smtp.Pool``; what it raises besides smtplib's errors:
``PoolClosedError``, ``NoConnectionFreeError`` and ``DeliveryUnknown`` (see _kept).
"""

from __future__ import annotations

import email.message
import hmac
import os
import smtplib
import threading
import time
import weakref
from collections.abc import Callable, Sequence
from typing import Any, Literal, NamedTuple, Self, cast

from quillon.smtp._kept import QUIT_WAIT, Kept, close, closed_by_server
from quillon.smtp._pipeline import Stage

# A connection is kept for one server text and one login: (server, whether
# it logged in, user, keyed digest of the password).
_Key = tuple[str | None, bool, str | None, bytes | None]

# The pool's `size` places for a connection are tokens that a send takes
# and gives back: a connection kept idle there, with its key, or None for a
# place without one. Whatever happens to a send, it takes one token and
# gives one back, so the count of connections cannot drift.
_Token = tuple[_Key, Kept] | None

# The first and the longest pause before a new connection is tried again
# after the server refused one (421) while the pool held others.
BACKOFF_FIRST = 0.05
BACKOFF_MOST = 2.0
# The longest a waiting send sleeps before it reads the clock again.
_POLL = 0.25


class PoolClosedError(RuntimeError):
    """The pool has been closed: it lends no connection any more."""


class NoConnectionFreeError(TimeoutError):
    """No connection of the pool came free within its ``wait``."""


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
    one to come free, then raises ``TimeoutError`` (``NoConnectionFreeError``).
    When the server refuses a new connection (421, too many connections)
    while the pool holds others, the send waits for one of those instead,
    trying a new connection again after a pause that doubles up to 2 s, and
    fails only at the end of ``wait``. ``stats`` (and the repr) give the connections open and idle;
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
            type[Kept],
            type(
                client.__name__,
                (Kept, client),
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
        # The tokens not taken: idle connections in the order they were
        # given back (least recently used first) and empty places.
        self._tokens: list[_Token] = [None] * self.size
        # The connections this process opened, busy or idle.
        self._mine: weakref.WeakSet[Kept] = weakref.WeakSet()
        # After a 421 to a new connection: no new one before _retry_at.
        self._backoff = 0.0
        self._retry_at = float("-inf")

    def __call__(self, host: str | None = "") -> _Lease:
        if self._closed:
            raise PoolClosedError("this Pool is closed")
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
            empty = self._tokens.count(None)
            return PoolStats(self.size - empty, len(self._tokens) - empty, self.size)

    def close(self) -> None:
        """Close the idle connections now and each busy one when its send ends.

        QUIT is said to each idle connection, all of them within about 2 s
        (``QUIT_WAIT``); those left when that time is up are closed without it.
        """
        with self._free:
            self._closed = True
            idle = [token[1] for token in self._tokens if token is not None]
            self._tokens = [None] * len(self._tokens)
            self._free.notify_all()
        deadline = self.clock() + QUIT_WAIT
        for conn in idle:
            close(conn, politely=True, within=deadline - self.clock())

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
    ) -> Kept:
        """A connection for ``host`` logged in with ``login``: a kept one or a new one."""
        key = self._key(host, login)
        deadline = self.clock() + self.wait
        refusal: smtplib.SMTPConnectError | None = None
        while True:
            conn, now = self._wait_for(key, deadline, refusal)
            if conn is not None:
                if not closed_by_server(conn):
                    return conn
                close(conn, politely=False)
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
    ) -> tuple[Kept | None, float]:
        """A kept connection for ``key``, or None with a place taken for a
        new one; and the clock's time then."""
        with self._free:
            while True:
                if self._closed:
                    raise PoolClosedError("this Pool is closed")
                tokens = self._tokens
                now = self.clock()
                # The connection for `key` given back last, if one is idle.
                for i in reversed(range(len(tokens))):
                    token = tokens[i]
                    if token is not None and token[0] == key:
                        del tokens[i]
                        return token[1], now
                left = deadline - now
                if now >= self._retry_at and tokens and (refusal is None or left > 0):
                    # An empty place; without one, a connection for another
                    # server or login is idle: the one unused for longest
                    # makes room.
                    token = tokens.pop(tokens.index(None) if None in tokens else 0)
                    break
                if left <= 0:
                    refused = " and the server refused another (421)" if refusal else ""
                    raise NoConnectionFreeError(
                        f"no connection of the pool came free in {self.wait:g} s "
                        f"(size {self.size}){refused}"
                    ) from refusal
                pause = min(left, _POLL)
                if self._retry_at > now:
                    pause = min(pause, self._retry_at - now)
                self._free.wait(pause)
        if token is not None:
            close(token[1], politely=True)
        return None, now

    def _refused(self, tried_at: float) -> bool:
        """After a 421 to a new connection: whether to wait for another one.

        Gives back the place taken for it. With other connections open, the
        server's limit is what the pool holds: no new connection is tried
        for a pause that doubles with each refusal in a row.
        """
        with self._free:
            self._tokens.append(None)
            self._free.notify()
            if self._tokens.count(None) == self.size:
                return False
            self._backoff = min(max(2 * self._backoff, BACKOFF_FIRST), BACKOFF_MOST)
            self._retry_at = tried_at + self._backoff
            return True

    def _connect(
        self, host: str | None, login: tuple[str | None, str | None] | None, options: dict[str, Any]
    ) -> Kept:
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
        self, conn: Kept, host: str | None, login: tuple[str | None, str | None] | None
    ) -> None:
        reusable = conn.sock is not None and conn.stage is Stage.IDLE
        with self._free:
            if conn not in self._mine:
                # Leased in the parent before fork(): the parent's to end.
                return
            if reusable and not self._closed:
                self._tokens.append((self._key(host, login), conn))
                self._free.notify()
                return
        close(conn, politely=reusable)
        self._release()

    def _release(self) -> None:
        with self._free:
            self._tokens.append(None)
            self._free.notify()


class _Lease:
    """What the pool gives ``Email.send`` for one send.

    The connection is taken once the login is known, at ``login`` or at
    ``send_message`` without one, and given back when the block ends.
    """

    def __init__(self, pool: Pool, host: str | None) -> None:
        self._pool = pool
        self._host = host
        self._conn: Kept | None = None
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
                if not (ended and conn.stage is Stage.MAIL and conn.messages):
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
