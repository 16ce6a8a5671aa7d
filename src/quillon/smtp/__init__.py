"""SMTP clients for ``quillon.email.SMTP``: TLS for real providers, kept
connections for many sends, an outbox for tests.

``Email.send`` creates its client as ``quillon.email.SMTP(host=server)`` and
looks that name up at every send, so choosing a client means binding it::

    import quillon.email, quillon.smtp
    quillon.email.SMTP = quillon.smtp.StartTLS      # port 587, most providers
    Email("smtp.example.org:587", "me", password, ...).send()

A plain assignment like this one is process-wide: bind once at start-up.
``using`` and ``outbox`` choose a client for the length of a block and for
the caller's context only: the thread or asyncio task that enters the block,
the tasks it creates meanwhile (they copy its context) and whatever it runs
through ``contextvars.copy_context().run`` or ``asyncio.to_thread``. A thread
started with ``threading.Thread`` (a ``Timer``, an executor's worker) starts
from an empty context and sends through the plain binding, unless it is
given a copy of the caller's context: its target run in one, or, from
Python 3.14, ``context=`` or the interpreter's ``thread_inherit_context``
flag (on by default in free-threaded builds). Other threads and tasks keep
sending through what is bound outside any block: an outbox in one thread
swallows no other thread's mail, and a plain client chosen in one thread
carries no other thread's password.

With ``everywhere=True`` a block serves the whole process instead: every
thread and task without a block of its own, whatever context it started
from. That is the form for tests (``outbox(everywhere=True)``, the pytest
fixture ``quillon_outbox``) and for work fanned out to threads.

``Pool`` keeps connections open for many sends; bind it like any client::

    quillon.email.SMTP = quillon.smtp.Pool(quillon.smtp.StartTLS)
"""

import smtplib
from typing import TYPE_CHECKING

from quillon.smtp._binding import using
from quillon.smtp._clients import ImplicitTLS, MessageTooLarge, Plain, StartTLS, StartTLSNotOffered
from quillon.smtp._kept import DeliveryUnknown
from quillon.smtp._outbox import Sent, outbox
from quillon.smtp._pool import Pool

__all__ = [
    "DeliveryUnknown",
    "ImplicitTLS",
    "MessageTooLarge",
    "Plain",
    "Pool",
    "Sent",
    "StartTLS",
    "StartTLSNotOffered",
    "outbox",
    "using",
]

# The public names are known by this module's name, where they are
# documented and imported from: in reprs, in pickles, in help().
for _public in (
    outbox,
    using,
    DeliveryUnknown,
    ImplicitTLS,
    MessageTooLarge,
    Plain,
    Pool,
    Sent,
    StartTLS,
    StartTLSNotOffered,
):
    _public.__module__ = __name__
del _public

if TYPE_CHECKING:
    # What quillon.email.SMTP may hold, each checked against the contract.
    from quillon.smtp._outbox import _Outbox
    from quillon.smtp._protocol import Client

    _following_the_contract: tuple[Client, ...] = (
        smtplib.SMTP,
        Plain,
        StartTLS,
        ImplicitTLS,
        Pool(StartTLS),
        _Outbox(),
    )
