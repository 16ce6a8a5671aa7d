"""Checking many addresses: each process's DNS set-up, and verdicts in input order.

``Contact.validate`` asks dnspython's default resolver, the one that
email_validator takes from ``dns.resolver.get_default_resolver()``. On a long
list the same few domains come back again and again, so that resolver is worth
a cache for the run. Worker processes, of a pool or of an engine such as
dask, set theirs up with ``prepare_process`` as the pool's initializer::

    resolver = portable_resolver()          # the servers this process asks
    ProcessPoolExecutor(4, initializer=prepare_process, initargs=(resolver,))

``Contact.validate`` itself keeps nothing between calls; the cache lives on the
resolver, and answers expire with their TTLs.
"""

from __future__ import annotations

import contextlib
import copy
import itertools
import multiprocessing
import queue
import signal
import sys
import threading
from collections.abc import Generator, Iterable, Iterator
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor
from typing import Any, Generic, NamedTuple, TypeVar

import dns.resolver

import quillon.contact as _contact

__all__ = ["CACHE_SIZE", "Verdict", "check", "check_in_order", "portable_resolver",
           "prepare_process"]

# Answers kept per process. Each holds its whole reply message, about 3 KB,
# so the cache stays near 30 MB at most. What it pushes out first is a
# list's long tail of rare domains, which are seldom asked for again anyway.
CACHE_SIZE = 10_000

_T = TypeVar("_T")


class Verdict(NamedTuple):
    """What ``Contact.validate`` answered, and whether DNS left it open."""

    valid: bool
    reason: str
    # Valid, but no DNS answer said whether the domain takes mail (a time-out,
    # no usable answer, no name server): email_validator lets such an
    # address through.
    deliverability_unknown: bool = False


_last_call = threading.local()


class _Observed:
    """Stands in for quillon.contact's ``validate_email`` and notes, for the
    calling thread, whether the result it passed on lacks ``mx``: the library
    leaves it out when it could not determine deliverability."""

    __slots__ = ("library",)

    def __init__(self, library: Any) -> None:
        self.library = library

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        result = self.library(*args, **kwargs)
        _last_call.undetermined = getattr(result, "mx", None) is None
        return result


def check(address: str, timeout: int = 2) -> Verdict:
    """``Contact.validate(address, timeout)``, plus whether deliverability was
    left undetermined: known after ``prepare_process`` and inside
    ``check_in_order``, False elsewhere."""
    _last_call.undetermined = False
    valid, reason = _contact.Contact.validate(address, timeout)
    return Verdict(valid, reason, bool(valid and _last_call.undetermined))


@contextlib.contextmanager
def _observing_deliverability() -> Iterator[None]:
    """Let ``check`` see undetermined deliverability while the block runs."""
    namespace = vars(_contact)
    previous = namespace["validate_email"]
    namespace["validate_email"] = _Observed(previous)
    try:
        yield
    finally:
        namespace["validate_email"] = previous


@contextlib.contextmanager
def _caching_answers(enabled: bool = True) -> Iterator[None]:
    """Give dnspython's default resolver a fresh cache (or none) for the block."""
    resolver = dns.resolver.get_default_resolver()
    previous = resolver.cache
    resolver.cache = dns.resolver.LRUCache(CACHE_SIZE) if enabled else None
    try:
        yield
    finally:
        resolver.cache = previous


def portable_resolver(resolver: dns.resolver.Resolver | None = None) -> dns.resolver.Resolver:
    """A copy of *resolver* (default: dnspython's default resolver) without its
    cache, which pickles: hand it to ``prepare_process`` in worker processes
    so that they ask the same servers as this one."""
    source = resolver if resolver is not None else dns.resolver.get_default_resolver()
    portable = copy.copy(source)
    portable.cache = None
    return portable


def prepare_process(resolver: dns.resolver.Resolver | None = None, *, cache: bool = True) -> None:
    """Set up this process for checking many addresses: a pool's initializer.

    dnspython's default resolver becomes *resolver*, or, with None, keeps its
    configuration (from the system's, unless set before). With *cache* it gets
    an LRU cache of its own. ``check`` then tells undetermined deliverability.
    """
    if resolver is not None:
        dns.resolver.default_resolver = resolver
    dns.resolver.get_default_resolver().cache = (
        dns.resolver.LRUCache(CACHE_SIZE) if cache else None)
    namespace = vars(_contact)
    if not isinstance(namespace["validate_email"], _Observed):
        namespace["validate_email"] = _Observed(namespace["validate_email"])


# --- verdicts in input order ---------------------------------------------------

def check_in_order(
    items: Iterable[_T], timeout: int, *, jobs: int = 1, processes: int = 1, cache: bool = True,
) -> Generator[tuple[_T, Verdict | None]]:
    """Each item with its verdict, in input order, as soon as it is known.

    Items that are ``str`` are checked; any other item is passed through in
    its place with None. ``jobs`` threads check at a time (in each of
    ``processes`` worker processes when there are more than one); only a few
    times that many items are read ahead, so a list of any length takes
    the same memory. Close the generator to stop early: the checks still
    running are abandoned.
    """
    if processes > 1:
        yield from _in_processes(items, timeout, jobs, processes, cache)
        return
    with _caching_answers(cache), _observing_deliverability():
        if jobs == 1:
            for item in items:
                yield item, check(item, timeout) if isinstance(item, str) else None
            return
        # The look-ups wait on the network outside the interpreter lock, so
        # threads overlap them.
        threads = ThreadPoolExecutor(jobs, thread_name_prefix="quillon-check")
        try:
            submitted = ((item, threads.submit(check, item, timeout)
                          if isinstance(item, str) else None) for item in items)
            with _read_ahead(submitted, 4 * jobs, "quillon-input") as entries:
                for item, future in entries:
                    yield item, future.result() if future is not None else None
        finally:
            threads.shutdown(wait=False, cancel_futures=True)


class _Failed(NamedTuple):
    error: BaseException


_END = object()


class _Ahead(Generic[_T]):
    """What a thread of ``_read_ahead`` has pulled so far."""

    def __init__(self, arrived: queue.Queue[Any]) -> None:
        self._arrived = arrived
        self._ended = False

    def _take(self, block: bool) -> Any:
        entry = self._arrived.get(block)
        if isinstance(entry, _Failed):
            raise entry.error
        if entry is _END:
            self._ended = True
        return entry

    def __iter__(self) -> Iterator[_T]:
        while not self._ended and (entry := self._take(True)) is not _END:
            yield entry

    def batch(self, size: int) -> list[_T]:
        """Up to ``size`` entries: waits for the first only, then takes what
        has come in meanwhile; empty at the end."""
        batch: list[_T] = []
        with contextlib.suppress(queue.Empty):
            while len(batch) < size and not self._ended:
                entry = self._take(not batch)
                if entry is not _END:
                    batch.append(entry)
        return batch


@contextlib.contextmanager
def _read_ahead(entries: Iterable[_T], size: int, name: str) -> Iterator[_Ahead[_T]]:
    """``entries``, pulled on a thread of their own up to ``size`` ahead of
    the consumer.

    Pulling an entry may wait on the input (a terminal, or a pipe written
    slowly) and starts its check; the consumer meanwhile hands out each verdict
    as soon as it is known, however slowly the input comes. Leaving the block
    stops the pulling; a thread still waiting for input ends with the process.
    """
    arrived: queue.Queue[Any] = queue.Queue(size)
    stop = threading.Event()

    def put(entry: Any) -> bool:
        while not stop.is_set():
            with contextlib.suppress(queue.Full):
                arrived.put(entry, timeout=0.1)
                return True
        return False

    def pull() -> None:
        try:
            for entry in entries:
                if not put(entry):
                    return
        except BaseException as error:  # raised again in the consumer's thread
            put(_Failed(error))
            return
        put(_END)

    threading.Thread(target=pull, name=name, daemon=True).start()
    try:
        yield _Ahead(arrived)
    finally:
        stop.set()


# A worker's own threads, set up by its initializer.
_worker_threads: ThreadPoolExecutor | None = None


def _start_worker(resolver: dns.resolver.Resolver, cache: bool, jobs: int) -> None:
    global _worker_threads
    # Ctrl-C reaches the whole process group; the parent answers it by
    # stopping the workers, which would otherwise each print a traceback.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    prepare_process(resolver, cache=cache)
    if jobs > 1:
        _worker_threads = ThreadPoolExecutor(jobs, thread_name_prefix="quillon-check")


def _check_batch(addresses: list[str], timeout: int) -> list[Verdict]:
    if _worker_threads is None:
        return [check(address, timeout) for address in addresses]
    return list(_worker_threads.map(check, addresses, itertools.repeat(timeout)))


def _in_processes(
    items: Iterable[_T], timeout: int, jobs: int, processes: int, cache: bool,
) -> Generator[tuple[_T, Verdict | None]]:
    # Passing a batch between processes costs about 0.4 ms (measured): with
    # 64 addresses that is a few percent of their checks, and still the
    # first line comes within a few tens of milliseconds of the first check.
    batch_size = max(64, 8 * jobs)
    # Each worker gets this process's resolver settings explicitly, so it
    # asks the same servers and nothing else, however it was started.
    pool = ProcessPoolExecutor(
        processes, mp_context=_worker_start(),
        initializer=_start_worker, initargs=(portable_resolver(), cache, jobs))
    finished = False
    try:
        # Fork the workers now, while this is the only thread (a pool with
        # the fork method starts them all at its first task).
        pool.submit(int)
        with contextlib.ExitStack() as stack:
            # One thread reads; a second makes batches of what has come in
            # and hands them to the pool, so that neither a slow input nor a
            # batch being filled holds back the verdicts already known.
            arrived = stack.enter_context(_read_ahead(items, batch_size * 2 * processes, "quillon-input"))
            batches = iter(lambda: arrived.batch(batch_size), [])
            submitted = ((batch, pool.submit(_check_batch, [i for i in batch if isinstance(i, str)],
                                             timeout)) for batch in batches)
            for batch, future in stack.enter_context(_read_ahead(submitted, 2 * processes, "quillon-batch")):
                verdicts = iter(future.result())
                for item in batch:
                    yield item, next(verdicts) if isinstance(item, str) else None
        finished = True
    finally:
        if not finished:
            _stop_workers(pool)
        pool.shutdown(wait=True, cancel_futures=True)


def _worker_start() -> multiprocessing.context.BaseContext:
    # A forked worker starts at once, with the modules this process has
    # imported; a spawned one imports them all again (about half a second).
    # Fork is safe only while no other thread runs here, since the child
    # inherits any lock that such a thread holds.
    if sys.platform == "linux" and threading.active_count() == 1:
        return multiprocessing.get_context("fork")
    return multiprocessing.get_context("spawn")


def _stop_workers(pool: ProcessPoolExecutor) -> None:
    # Left early (an interrupt, a closed output): a worker may be deep in a
    # batch of slow look-ups that nobody will read. 3.14 has
    # terminate_workers() for this; before it, the pool's own process table.
    terminate = getattr(pool, "terminate_workers", None)
    if terminate is not None:
        terminate()
        return
    for process in list((getattr(pool, "_processes", None) or {}).values()):
        process.terminate()
