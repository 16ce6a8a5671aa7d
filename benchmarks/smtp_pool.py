"""Messages per second through kept connections, against a connection per send.

    uv run python benchmarks/smtp_pool.py [--messages N] [--delay SECONDS]

A Postfix of the run's own on loopback (STARTTLS with a certificate of the
run's own; see quillon._loopback._postfix, which needs the system's Postfix
and root) sits behind a TCP proxy of ours (in a process of its own) that holds
every chunk for 25 ms in each direction, so that a round trip takes 50 ms, as to a provider in
another region. Three Postfix instances offer, in turn, neither PIPELINING
nor CHUNKING (the exchange of every client before these extensions),
PIPELINING alone, and both. At each, N messages (200 unless told) go
through the proxy three ways, one after the other in this run:

- one connection per send: ``Email.send`` with ``StartTLS`` bound, as
  without a pool (connect, EHLO, STARTTLS, EHLO, the message, QUIT);
- one kept connection: ``Pool(StartTLS, size=1)``, one sending thread;
- four kept connections: ``Pool(StartTLS, size=4)``, four sending threads.

The table gives messages per second, the ratio to the first row (a
connection per send at a server offering neither extension: the figure that
carries over from one machine to another) and how many connections the
server saw. Every message carries its own subject, and the run fails unless
each arrived exactly once in the mailbox. With 200 messages the run takes
about eight minutes, most of it in the rows of a connection per send.
"""

from __future__ import annotations

import argparse
import asyncio
import collections
import concurrent.futures
import contextlib
import multiprocessing
import socket
import ssl
import sys
import tempfile
import threading
import time
from collections.abc import Callable
from multiprocessing.connection import Connection
from pathlib import Path

import trustme

from quillon import _loopback, smtp
from quillon._loopback import _postfix
from quillon.email import Email

LOOPBACK = _loopback.LOOPBACK

# What each Postfix instance offers, and the EHLO keywords it leaves out for that.
OFFERS = [
    ("neither", "pipelining, chunking"),
    ("PIPELINING", "chunking"),
    ("PIPELINING, CHUNKING", ""),
]


class DelayingProxy:
    """Forwards TCP connections to ``port``, holding every chunk ``delay``
    seconds in each direction, in order. Serves from its own thread."""

    def __init__(self, port: int, delay: float) -> None:
        self._upstream = port
        self._delay = delay
        self._sock = socket.socket()
        self._sock.bind((LOOPBACK, 0))
        self._sock.listen(64)
        self.port: int = self._sock.getsockname()[1]
        self._writers: set[asyncio.StreamWriter] = set()
        self._loop = asyncio.new_event_loop()
        self._thread = threading.Thread(target=self._loop.run_forever, daemon=True)

    def __enter__(self) -> DelayingProxy:
        self._thread.start()
        self._server = asyncio.run_coroutine_threadsafe(
            asyncio.start_server(self._forward, sock=self._sock), self._loop
        ).result(5)
        return self

    def __exit__(self, *exc_info: object) -> None:
        asyncio.run_coroutine_threadsafe(self._shutdown(), self._loop).result(5)
        self._loop.call_soon_threadsafe(self._loop.stop)
        self._thread.join(5)
        self._loop.close()

    async def _shutdown(self) -> None:
        # Every connection closed, so that the server behind can stop.
        self._server.close()
        for writer in self._writers:
            writer.close()
        others = [task for task in asyncio.all_tasks() if task is not asyncio.current_task()]
        for task in others:
            task.cancel()
        await asyncio.gather(*others, return_exceptions=True)

    async def _forward(
        self, client_reader: asyncio.StreamReader, client_writer: asyncio.StreamWriter
    ) -> None:
        try:
            server_reader, server_writer = await asyncio.open_connection(LOOPBACK, self._upstream)
        except OSError:
            client_writer.close()
            return
        self._writers |= {client_writer, server_writer}
        try:
            await asyncio.gather(
                self._pipe(client_reader, server_writer), self._pipe(server_reader, client_writer)
            )
        finally:
            self._writers -= {client_writer, server_writer}

    async def _pipe(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        loop = asyncio.get_running_loop()
        held: asyncio.Queue[tuple[float, bytes]] = asyncio.Queue()

        async def deliver() -> None:
            with contextlib.suppress(OSError):
                while True:
                    due, data = await held.get()
                    await asyncio.sleep(due - loop.time())
                    if not data:
                        break
                    writer.write(data)
                    await writer.drain()
            writer.close()

        delivering = asyncio.create_task(deliver())
        data = b"x"
        while data:
            try:
                data = await reader.read(65536)
            except OSError:
                data = b""
            held.put_nowait((loop.time() + self._delay, data))
        await delivering


def _serve_proxy(port: int, delay: float, channel: Connection) -> None:
    with DelayingProxy(port, delay) as proxy:
        channel.send(proxy.port)
        channel.recv()  # told to stop, or the parent is gone


class ProxyProcess:
    """A DelayingProxy in a process of its own: a network's delay takes no
    time from the senders' interpreter, and neither does this proxy."""

    def __init__(self, port: int, delay: float) -> None:
        context = multiprocessing.get_context("spawn")
        self._channel, theirs = context.Pipe()
        self._process = context.Process(
            target=_serve_proxy, args=(port, delay, theirs), daemon=True
        )
        self.port = 0

    def __enter__(self) -> ProxyProcess:
        self._process.start()
        if not self._channel.poll(30):
            self._process.terminate()
            raise RuntimeError("the proxy did not start")
        self.port = self._channel.recv()
        return self

    def __exit__(self, *exc_info: object) -> None:
        with contextlib.suppress(OSError):
            self._channel.send(None)
        self._process.join(10)
        if self._process.is_alive():
            self._process.terminate()
            self._process.join(5)


def send_all(server_text: str, subjects: list[str]) -> None:
    for subject in subjects:
        Email(
            server_text,
            from_="bench@example.org",
            to="to@example.org",
            subject=subject,
            message="<p>A notification</p>",
        ).send()


def run(
    name: str, client: Callable[..., object], server_text: str, messages: int, threads: int
) -> float:
    """Sends `messages` messages from `threads` threads through `client`; the time taken."""

    def sender(part: int) -> None:
        with smtp.using(client):
            send_all(server_text, [f"{name} {n}" for n in range(part, messages, threads)])

    with concurrent.futures.ThreadPoolExecutor(threads) as executor:
        start = time.perf_counter()
        sending = [executor.submit(sender, part) for part in range(threads)]
        concurrent.futures.wait(sending)
        elapsed = time.perf_counter() - start
    for sent in sending:
        sent.result()  # a failure of any thread fails the run
    return elapsed


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--messages", type=int, default=200, help="messages per row (200)")
    parser.add_argument(
        "--delay",
        type=float,
        default=0.025,
        help="seconds each chunk is held in each direction (0.025)",
    )
    options = parser.parse_args()
    messages = options.messages
    reason = _postfix.unavailable()
    if reason is not None:
        print(f"cannot run Postfix here: {reason}", file=sys.stderr)
        return 2

    ca = trustme.CA()
    client_context = ssl.create_default_context()
    ca.configure_trust(client_context)
    client: type[smtp.StartTLS] = type("StartTLS", (smtp.StartTLS,), {"context": client_context})

    ways: list[tuple[str, str, Callable[[], Callable[..., object]], int]] = [
        ("one connection per send", "fresh", lambda: client, 1),
        ("`Pool(size=1)`", "kept1", lambda: smtp.Pool(client, size=1), 1),
        ("`Pool(size=4)`, 4 threads", "kept4", lambda: smtp.Pool(client, size=4), 4),
    ]
    results = []
    failed = False
    with tempfile.TemporaryDirectory() as folder:
        key = Path(folder) / "key.pem"
        ca.issue_cert(LOOPBACK).private_key_and_cert_chain_pem.write_to_path(key)
        for offered, discarded in OFFERS:
            with (
                _postfix.Postfix(
                    mailboxes=["to"],
                    settings={"smtpd_discard_ehlo_keywords": discarded},
                    tls=str(key),
                ) as server,
                ProxyProcess(server.port, options.delay) as proxy,
            ):
                server_text = f"{LOOPBACK}:{proxy.port}"
                seen = 1  # the instance's own check that it is up
                for title, name, make, threads in ways:
                    made = make()
                    elapsed = run(name, made, server_text, messages, threads)
                    if isinstance(made, smtp.Pool):
                        made.close()
                    # The pool's QUIT is logged by the time the queue is empty.
                    arrived = collections.Counter(server.delivered().get("to", []))
                    connections = server.log.read_text().count(" connect from ")
                    results.append((offered, title, messages / elapsed, connections - seen))
                    seen = connections
                    print(f"{offered}, {title}: {messages} in {elapsed:.1f} s", file=sys.stderr)
                expected = collections.Counter(
                    f"{name} {n}" for _, name, _, _ in ways for n in range(messages)
                )
                if arrived != expected:
                    failed = True
                    print(
                        f"delivery check failed ({offered}): "
                        f"{sum((arrived - expected).values())} extra, "
                        f"{sum((expected - arrived).values())} missing",
                        file=sys.stderr,
                    )
    if failed:
        return 1
    round_trip = 2 * options.delay * 1000
    print(
        f"{messages} messages a row, Postfix with STARTTLS, {round_trip:g} ms round trip; "
        f"each message arrived exactly once\n"
    )
    print(
        f"| {'server offers':<20} | {'how':<26} | {'messages/s':>10} | {'× first row':>11} "
        f"| {'connections':>11} |"
    )
    print(f"|{'-' * 22}|{'-' * 28}|{'-' * 11}:|{'-' * 12}:|{'-' * 12}:|")
    baseline = results[0][2]
    for offered, title, rate, connections in results:
        print(
            f"| {offered:<20} | {title:<26} | {rate:>10.1f} | {rate / baseline:>10.1f}× "
            f"| {connections:>11} |"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
