"""Choosing the client of ``quillon.email.SMTP`` for a block: per context, or everywhere."""

from __future__ import annotations

import contextlib
import contextvars
import smtplib
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import Any

from quillon._seams import Seam


@dataclass(eq=False)
class _Block:
    client: Callable[..., object]
    # An outbox sends nothing: while one is open everywhere, it takes the
    # sends that any other client would make (see _ChosenClient.client).
    outbox: bool = False
    open: bool = True


# The blocks the context is inside, innermost last. A block that has ended
# is marked closed as well as removed, so that a task that outlives the
# block it was started in (and holds a copy of the tuple) stops using it.
_blocks: contextvars.ContextVar[tuple[_Block, ...]] = contextvars.ContextVar(
    "quillon.smtp.blocks", default=()
)


class _ChosenClient:
    """What ``quillon.email.SMTP`` holds while a block is open anywhere."""

    def __init__(self) -> None:
        self.outside: Callable[..., object] = smtplib.SMTP
        # The open everywhere-blocks in the order they were entered: replaced
        # whole under _seam.lock, read without it.
        self.everywhere: tuple[_Block, ...] = ()

    def __call__(self, *args: Any, **kwargs: Any) -> object:
        return self.client()(*args, **kwargs)

    def client(self) -> Callable[..., object]:
        """The client of the caller's innermost open block; without one, of
        the everywhere-block entered last of those still open; without any,
        the binding outside every block. An everywhere outbox takes every
        send that would otherwise go to something other than an outbox."""
        own = next((block for block in reversed(_blocks.get()) if block.open), None)
        if own is not None and own.outbox:
            return own.client
        everywhere = [block for block in self.everywhere if block.open]
        catching = next((block for block in reversed(everywhere) if block.outbox), None)
        chosen = catching or own or (everywhere[-1] if everywhere else None)
        return self.outside if chosen is None else chosen.client

    def __repr__(self) -> str:
        return f"<the client of the caller's or an everywhere using() block, else {self.outside!r}>"


_chosen = _ChosenClient()


def _bind_chosen(bound: Callable[..., object]) -> _ChosenClient | None:
    if bound is _chosen:
        return None
    # The first block, or one after a plain assignment: that binding is what
    # a context outside every block keeps using.
    _chosen.outside = bound
    return _chosen


# quillon.email.SMTP, the one global of another module that this one rebinds.
_seam = Seam(
    "quillon.email",
    "SMTP",
    install=_bind_chosen,
    restore=lambda bound: _chosen.outside if bound is _chosen else None,
)


@contextlib.contextmanager
def using(client: Callable[..., object], *, everywhere: bool = False) -> Iterator[None]:
    """Send through ``client`` for the block: in the caller's context, or
    with ``everywhere=True`` wherever no other block is open.

    Sends of the thread or task that entered the block, and of what it
    starts in a copy of its context (see the module's docstring), create
    ``client(host=server)``; everyone else's go on as before. Blocks nest
    and may end in any order. Once no block is open anywhere,
    ``quillon.email.SMTP`` is again what it was before the first one.

    ``everywhere=True``: ``client`` also serves, for the length of the
    block, every thread and task of the process that has no block of its
    own, such as an executor's workers, over whatever served them before.
    Such blocks may overlap and end in any order: while several are open,
    the one entered last serves, and when it ends the one before it again.
    While an everywhere outbox is open, it takes the sends of every block
    but another outbox (see ``outbox``).

    A plain assignment to ``quillon.email.SMTP`` while blocks are open
    overrides them all at once, as it always did, until a block is next
    entered: from then on it is what contexts outside every block use. It
    stays bound after the blocks end.
    """
    with bound(client, everywhere=everywhere):
        yield


@contextlib.contextmanager
def bound(
    client: Callable[..., object], *, everywhere: bool, outbox: bool = False
) -> Iterator[None]:
    """``using``, and for ``outbox`` the block of an outbox, which takes the
    sends of other blocks while it is open everywhere (see _ChosenClient)."""
    block = _Block(client, outbox=outbox)
    with _seam.lock:
        _seam.enter()
        if everywhere:
            _chosen.everywhere = (*_chosen.everywhere, block)
    _blocks.set((*_blocks.get(), block))
    try:
        yield
    finally:
        block.open = False
        _blocks.set(tuple(other for other in _blocks.get() if other.open))
        with _seam.lock:
            _chosen.everywhere = tuple(other for other in _chosen.everywhere if other.open)
            _seam.leave()
