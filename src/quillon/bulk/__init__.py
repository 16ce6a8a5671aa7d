"""Checking many addresses: one look-up per domain, verdicts in input order.

``check_all`` is the Python side of ``quillon check``::

    from quillon.bulk import check_all

    for verdict in check_all(["ann@example.com", "bob@example.org"]):
        print(verdict.address, verdict.valid, verdict.reason)

Each verdict is exactly what ``Contact.validate`` answers for the address.
What the answer owes to DNS depends on the domain alone, so a run asks about
each domain once and remembers the outcome (see ``MEMO_SIZE``): an address of
a domain already seen costs only its syntax check. An outcome is remembered
no longer than the DNS answers behind it live (their TTL), and a domain whose
deliverability stayed unknown (a time-out, no usable answer) is asked about
again for its next address.

How: while a run is active, ``quillon.contact``'s module global
``validate_email`` is a dispatcher that hands each call from a thread of the
run to the run (syntax check by email_validator, deliverability from the
memo or from DNS, exactly as email_validator would judge it) and every other
call unchanged to the library. The dispatcher is installed by the first
active run and removed by the last, so overlapping runs in several threads
neither disturb each other nor leave it behind.

Worker processes of a pool or of an engine such as dask set themselves up
with ``prepare_process`` (a pool's initializer) or, on a dask.distributed
cluster, with the worker plugin that ``dask_plugin`` makes.

Where: ``_verdict`` holds what a check hands back; ``_memo`` a run and its
memo; ``_dispatch`` the stand-ins and the run of a prepared process;
``_ordered`` the verdicts in input order from this process; ``_processes``
those from worker processes, and ``_dask`` the worker plugin, both imported
only when asked for.
"""

from __future__ import annotations

import contextlib
from collections.abc import Callable, Generator, Iterable
from typing import TYPE_CHECKING, TypeVar

from quillon.bulk._dispatch import (
    _dispatching,
    check,
    is_prepared,
    portable_resolver,
    prepare_process,
)
from quillon.bulk._memo import _Run
from quillon.bulk._ordered import _in_this_thread, _in_threads, _nothing, _Prefetcher
from quillon.bulk._verdict import Verdict, WorkerLostError

if TYPE_CHECKING:
    import dns.resolver
    from distributed import WorkerPlugin

__all__ = [
    "MEMO_SIZE",
    "Verdict",
    "WorkerLostError",
    "check",
    "check_all",
    "check_in_order",
    "dask_plugin",
    "is_prepared",
    "portable_resolver",
    "prepare_process",
]

_T = TypeVar("_T")

# Domains a run remembers. An entry is a few hundred bytes, so a run stays
# within a few tens of MB however long its list; what it pushes out first is
# the long tail of rare domains, seldom asked for again anyway.
MEMO_SIZE = 50_000


def dask_plugin(
    resolver: dns.resolver.Resolver | None = None,
    *,
    memo: bool = True,
    timeout: float | None = None,
) -> WorkerPlugin:
    """A dask.distributed worker plugin that runs ``prepare_process`` on each
    worker, also on workers started or restarted later::

        client.register_plugin(dask_plugin(timeout=2))

    *resolver* (default: dnspython's default resolver here) is copied
    without its cache and travels to the workers.
    """
    from quillon.bulk._dask import PrepareWorkers

    return PrepareWorkers(portable_resolver(resolver), memo, timeout)


# --- verdicts in input order ----------------------------------------------------------


def check_all(
    addresses: Iterable[str],
    *,
    timeout: float = 2,
    memo: bool = True,
    jobs: int = 16,
    processes: int = 1,
    resolver: dns.resolver.Resolver | None = None,
) -> Generator[Verdict]:
    """Check each address as ``Contact.validate(address)`` would; yield the
    verdicts in input order, each as soon as it is known.

    *timeout*: seconds allowed for each DNS look-up (a fraction too).
    *memo*: ask DNS once per domain and remember the outcome for the run
    (domains are then looked up ahead of their addresses, *jobs* at a time);
    False asks for every address, checking *jobs* addresses at a time.
    *processes*: worker processes, each owning a share of the domains, each
    with *jobs* threads. *resolver*: the DNS servers to ask (default:
    dnspython's default resolver); it is copied, not changed.

    Only a few thousand addresses are read ahead, so a list of any length
    takes the same memory. Close the iterator to stop early.

    A worker process that ends before it answers (killed, out of memory)
    raises ``WorkerLostError``: the verdicts given before it stand, the rest are
    unknown. An error raised by *addresses* is raised after the verdicts of
    the addresses before it.
    """
    checked = check_in_order(
        addresses, timeout, jobs=jobs, processes=processes, memo=memo, resolver=resolver
    )
    return _verdicts(checked)


def _verdicts(checked: Generator[tuple[object, Verdict | None]]) -> Generator[Verdict]:
    with contextlib.closing(checked):
        for number, (item, verdict) in enumerate(checked, 1):
            if verdict is None:
                raise TypeError(
                    f"check_all takes addresses as str, not {type(item).__name__} (item {number})"
                )
            yield verdict


def check_in_order(
    items: Iterable[_T],
    timeout: float,
    *,
    jobs: int = 16,
    processes: int = 1,
    memo: bool = True,
    resolver: dns.resolver.Resolver | None = None,
    on_wait: Callable[[], None] | None = None,
) -> Generator[tuple[_T, Verdict | None]]:
    """Each item with its verdict, in input order, as soon as it is known.

    Items that are ``str`` are checked; any other item is passed through in
    its place with None. ``on_wait`` is called whenever the next verdict is
    not ready yet: the moment to flush what was written so far. The
    arguments are checked at the call, the items as they are taken.
    """
    if isinstance(items, str):
        # Iterating it would check each character as an address.
        raise TypeError(
            "expected an iterable of addresses, not a str: "
            "use quillon.bulk.check(address) for one address"
        )
    for name, value in (("jobs", jobs), ("processes", processes)):
        if value < 1:
            raise ValueError(f"{name} must be at least 1, not {value}")
    if not timeout > 0:
        raise ValueError(f"timeout must be more than 0, not {timeout}")
    wait = on_wait if on_wait is not None else _nothing
    return _checked_in_order(items, timeout, jobs, processes, memo, resolver, wait)


def _checked_in_order(
    items: Iterable[_T],
    timeout: float,
    jobs: int,
    processes: int,
    memo: bool,
    resolver: dns.resolver.Resolver | None,
    wait: Callable[[], None],
) -> Generator[tuple[_T, Verdict | None]]:
    if processes > 1:
        # Imported only when asked for: multiprocessing and idna cost a check
        # in this process nothing.
        from quillon.bulk._processes import _in_processes, _Settings

        yield from _in_processes(items, _Settings(resolver, timeout, memo, jobs), processes, wait)
        return
    with _dispatching():
        run = _Run(resolver, timeout, memo)
        if memo:
            with _Prefetcher(run, jobs) as prefetcher:
                yield from _in_this_thread(items, run, wait, prefetcher)
        elif jobs == 1:
            yield from _in_this_thread(items, run, wait)
        else:
            yield from _in_threads(items, run, jobs, wait)


# What users meet is quillon.bulk's, wherever it is written: reprs, pickles
# (verdicts and errors travel between processes) and help() name it so.
for _public in (Verdict, WorkerLostError, check, is_prepared, portable_resolver, prepare_process):
    _public.__module__ = __name__
del _public
