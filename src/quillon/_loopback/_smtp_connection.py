"""One connection to the loopback SMTP server: aiosmtpd's protocol with the
record of what it read, the counts, and the failing modes that act on a
connection rather than on one command's reply.

Imported only when an ``SmtpServer`` is built: it needs aiosmtpd.
"""

from __future__ import annotations

import asyncio
import logging
import socket
from collections.abc import Awaitable
from typing import TYPE_CHECKING, Any

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import SMTP

from quillon._loopback._peer import LOOPBACK

if TYPE_CHECKING:
    from quillon._loopback._smtp import SmtpServer


def _drop_login_data_notice(record: logging.LogRecord) -> bool:
    # aiosmtpd warns about its own deprecated Session.login_data on every
    # successful AUTH, even when the caller never touches it.
    return "Session.login_data is deprecated" not in record.getMessage()


logging.getLogger("mail.log").addFilter(_drop_login_data_notice)


class Connection(SMTP):
    """One connection to the server. Only the server's own thread changes
    the server's counts, so they need no lock."""

    def __init__(self, handler: Any, *, owner: SmtpServer, **kwargs: Any) -> None:
        super().__init__(handler, **kwargs)
        self.owner = owner
        # Every byte the connection reads; after STARTTLS, the decrypted ones.
        self.transcript = bytearray()
        owner.transcripts.append(self.transcript)
        self.kept = 0  # messages this connection has taken
        self.number: int | None = None  # its place in owner.logins, from its EHLO on
        self.turned_away = False

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        owner = self.owner
        # Called again when STARTTLS has wrapped the same connection.
        if self.transport is None:
            limit = owner.most_connections
            if limit is not None and len(owner.connected) >= limit:
                self.turned_away = True
                owner.refused += 1
            else:
                owner.connected.add(self)
        super().connection_made(transport)

    async def _handle_client(self) -> None:
        if not self.turned_away:
            return await super()._handle_client()
        await self.push("421 4.7.0 Too many connections from your address")
        assert self.transport is not None
        self.transport.close()

    def data_received(self, data: bytes) -> None:
        self.transcript += data
        if self.number is not None:
            self.owner.reads += 1
        super().data_received(data)

    async def smtp_EHLO(self, hostname: str) -> None:  # noqa: N802
        owner = self.owner
        if self.number is None:
            self.number = len(owner.logins)
            owner.logins.append(0)
            owner.opened.add(self)
            owner.most_open = max(owner.most_open, len(owner.opened))
        await super().smtp_EHLO(hostname)

    async def smtp_DATA(self, arg: str) -> None:  # noqa: N802
        owner = self.owner
        owner.data_commands += 1
        if owner.data_commands in owner.drop_data_command:
            assert self.transport is not None
            self.transport.close()
            return
        await super().smtp_DATA(arg)

    async def smtp_QUIT(self, arg: str) -> None:  # noqa: N802
        self.owner.quits += 1
        if self.owner.silent_quit:
            await asyncio.sleep(30)
        await super().smtp_QUIT(arg)

    def connection_lost(self, error: Exception | None) -> None:
        owner = self.owner
        owner.opened.discard(self)
        owner.connected.discard(self)
        super().connection_lost(error)
        if self.number is not None:
            # Counted once asyncio has closed the socket too, right after this.
            asyncio.get_running_loop().call_soon(self._count_end)

    def _count_end(self) -> None:
        self.owner.ended += 1

    def close_after_reply(self) -> None:
        """Close the connection once the reply being written has gone out."""
        assert self.transport is not None
        asyncio.get_running_loop().call_soon(self.transport.close)


class ChunkingConnection(Connection):
    """A connection that takes BDAT, for a server that offers CHUNKING."""

    async def smtp_BDAT(self, arg: str) -> None:  # noqa: N802
        size, _, last = arg.partition(" ")
        chunk = await self._reader.readexactly(int(size))
        envelope = self.envelope
        assert envelope is not None  # there from the greeting on
        if not envelope.rcpt_tos:
            await self.push("503 5.5.1 Error: need RCPT command")
            return
        envelope.original_content = (envelope.original_content or b"") + chunk
        if last.upper() != "LAST":
            await self.push("250 2.0.0 Chunk accepted")
            return
        status = await self._call_handler_hook("DATA")
        self.envelope = self._create_envelope()  # as after DATA
        await self.push(status)


class SocketController(Controller):
    """Serves on a socket bound beforehand to port 0, so the port is known
    before the thread starts and no other process can take it meanwhile."""

    def __init__(self, owner: SmtpServer, handler: Any, sock: socket.socket, **kwargs: Any) -> None:
        super().__init__(handler, hostname=LOOPBACK, port=sock.getsockname()[1], **kwargs)
        self._owner = owner
        self._listening_socket = sock
        # BDAT is an unknown command unless CHUNKING is on offer.
        chunking = "CHUNKING" in owner.offers
        self._connection_class = ChunkingConnection if chunking else Connection

    def factory(self) -> Connection:
        return self._connection_class(self.handler, owner=self._owner, **self.SMTP_kwargs)

    def _create_server(self) -> Awaitable[asyncio.AbstractServer]:
        return self.loop.create_server(
            self._factory_invoker, sock=self._listening_socket, ssl=self.ssl_context
        )
