"""Messages per second through kept connections, against a connection per send.

    uv run python benchmarks/smtp_pool.py [--messages N] [--delay SECONDS]

The loopback SMTP server (STARTTLS required, then a login, as at a provider)
sits behind a TCP proxy of our own that holds every chunk for 25 ms in each
direction, so that a round trip takes 50 ms, as to a provider in another
region. N messages (1,000 unless told) go through it three ways, one after
the other in this run:

- one connection per send: ``Email.send`` with ``StartTLS`` bound, as
  without a pool (connect, EHLO, STARTTLS, EHLO, AUTH, the message, QUIT);
- one kept connection: ``Pool(StartTLS, size=1)``, one sending thread;
- four kept connections: ``Pool(StartTLS, size=4)``, four sending threads.

The table gives messages per second, the ratio to the first row (the figure
that carries over from one machine to another) and how many connections the
server saw. Every message carries its own subject, and the run fails unless
each arrived exactly once. With 1,000 messages the first row alone takes
about ten minutes.
"""

from __future__ import annotations

import argparse
import asyncio
import collections
import concurrent.futures
import contextlib
import socket
import ssl
import sys
import threading
import time
from collections.abc import Callable

import trustme

from quillon import _loopback, smtp
from quillon.email import Email

LOOPBACK = _loopback.LOOPBACK
USER, PASSWORD = "bench", "Bench-Pa55-Otter-2061"


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


def send_all(server_text: str, subjects: list[str]) -> None:
    for subject in subjects:
        Email(
            server_text,
            USER,
            PASSWORD,
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
    parser.add_argument("--messages", type=int, default=1000, help="messages per row (1000)")
    parser.add_argument(
        "--delay",
        type=float,
        default=0.025,
        help="seconds each chunk is held in each direction (0.025)",
    )
    options = parser.parse_args()
    messages = options.messages

    ca = trustme.CA()
    server_context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    ca.issue_cert(LOOPBACK).configure_cert(server_context)
    client_context = ssl.create_default_context()
    ca.configure_trust(client_context)
    client: type[smtp.StartTLS] = type("StartTLS", (smtp.StartTLS,), {"context": client_context})

    rows: list[tuple[str, str, Callable[[], Callable[..., object]], int]] = [
        ("one connection per send", "fresh", lambda: client, 1),
        ("1 kept connection", "kept1", lambda: smtp.Pool(client, size=1), 1),
        ("4 kept connections", "kept4", lambda: smtp.Pool(client, size=4), 4),
    ]
    results = []
    with (
        _loopback.SmtpServer(
            user=USER, password=PASSWORD, starttls=server_context, lifetime=24 * 3600
        ) as server,
        DelayingProxy(server.port, options.delay) as proxy,
    ):
        server_text = f"{LOOPBACK}:{proxy.port}"
        for title, name, make, threads in rows:
            sessions = len(server.transcripts)
            made = make()
            elapsed = run(name, made, server_text, messages, threads)
            if isinstance(made, smtp.Pool):
                made.close()
            results.append((title, messages / elapsed, len(server.transcripts) - sessions))
            print(f"{title}: {messages} messages in {elapsed:.1f} s", file=sys.stderr)
        arrived = collections.Counter(received.message["Subject"] for received in server.messages)

    expected = collections.Counter(f"{name} {n}" for _, name, _, _ in rows for n in range(messages))
    if arrived != expected:
        print(
            f"delivery check failed: {sum((arrived - expected).values())} extra, "
            f"{sum((expected - arrived).values())} missing",
            file=sys.stderr,
        )
        return 1
    round_trip = 2 * options.delay * 1000
    print(
        f"{messages} messages a row, STARTTLS and login, {round_trip:g} ms round trip; "
        f"each message arrived exactly once\n"
    )
    print(f"| {'how':<24} | {'messages/s':>10} | {'× per send':>10} | {'connections':>11} |")
    print(f"|{'-' * 26}|{'-' * 11}:|{'-' * 11}:|{'-' * 12}:|")
    baseline = results[0][1]
    for title, rate, sessions in results:
        print(f"| {title:<24} | {rate:>10.1f} | {rate / baseline:>9.1f}× | {sessions:>11} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
