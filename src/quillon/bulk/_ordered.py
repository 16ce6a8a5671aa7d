"""Verdicts in input order from one process: the input pulled on a thread of
its own, domains looked up ahead of their addresses, or addresses checked
several at a time."""

from __future__ import annotations

import threading
from collections import deque
from collections.abc import Callable, Generator, Iterable
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Generic, TypeVar

from quillon.bulk import _memo
from quillon.bulk._memo import _Run
from quillon.bulk._verdict import Verdict

_T = TypeVar("_T")


def _nothing() -> None:
    pass


class _Channel(Generic[_T]):
    """Items pulled from an iterable on a thread of their own, up to ``size``
    ahead of the consumer.

    Pulling an item may wait on the input (a terminal, a pipe written slowly);
    the consumer meanwhile hands out each verdict as soon as it is known,
    however slowly the input comes. ``close`` stops the pulling; a thread
    still waiting for input ends with the process.
    """

    def __init__(self, items: Iterable[_T], size: int, name: str) -> None:
        self._items: deque[_T] = deque()
        self._size = size
        self._changed = threading.Condition(threading.Lock())
        self._ended = False
        self._stopped = False
        self._error: BaseException | None = None
        threading.Thread(target=self._pull, args=(items,), name=name, daemon=True).start()

    def _pull(self, items: Iterable[_T]) -> None:
        try:
            for item in items:
                with self._changed:
                    while len(self._items) >= self._size and not self._stopped:
                        self._changed.wait()
                    if self._stopped:
                        return
                    self._items.append(item)
                    self._changed.notify()
        except BaseException as error:  # noqa: BLE001 - raised again in the consumer's thread
            self._error = error
        finally:
            with self._changed:
                self._ended = True
                self._changed.notify_all()

    def take(self, limit: int, on_wait: Callable[[], None], *, block: bool = True) -> list[_T]:
        """Up to ``limit`` items: waits (after ``on_wait``) for the first
        only, and only with ``block``; empty at the end."""
        if block and not self._items and not self._ended:
            on_wait()
        with self._changed:
            while block and not self._items and not self._ended:
                self._changed.wait()
            items, popleft = self._items, self._items.popleft
            batch = [popleft() for _ in range(min(limit, len(items)))]
            self._changed.notify()
            if block and not batch and self._ended and self._error is not None:
                error, self._error = self._error, None
                raise error
        return batch

    @property
    def ended(self) -> bool:
        return self._ended and not self._items

    def close(self) -> None:
        with self._changed:
            self._stopped = True
            self._changed.notify_all()


# Items read ahead of the verdicts handed out, and the most taken at once.
_AHEAD = 4096
_TAKE = 512


class _Prefetcher:
    """Looks up the domains of the addresses about to be checked, ``jobs``
    at a time on threads of its own: the DNS waits overlap the checks of the
    addresses before them, which then take only their syntax check."""

    def __init__(self, run: _Run, jobs: int) -> None:
        self._run = run
        self._threads = ThreadPoolExecutor(jobs, thread_name_prefix="quillon-lookup")
        self._seen: set[str] = set()

    def __enter__(self) -> _Prefetcher:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self._threads.shutdown(wait=False, cancel_futures=True)

    def ahead(self, items: Iterable[object]) -> None:
        seen, submit, prefetch = self._seen, self._threads.submit, self._run.prefetch
        for item in items:
            if not isinstance(item, str):
                continue
            _, at, domain = item.rpartition("@")
            if at and domain not in seen:
                if len(seen) >= _memo.memo_size():
                    seen.clear()
                seen.add(domain)
                submit(prefetch, domain)


def _in_this_thread(
    items: Iterable[_T],
    run: _Run,
    on_wait: Callable[[], None],
    prefetcher: _Prefetcher | None = None,
) -> Generator[tuple[_T, Verdict | None]]:
    channel = _Channel(items, _AHEAD, "quillon-input")
    try:
        while batch := channel.take(_TAKE, on_wait):
            if prefetcher is not None:
                prefetcher.ahead(batch)
            for item in batch:
                yield item, run.check(item) if isinstance(item, str) else None
    finally:
        channel.close()


def _in_threads(
    items: Iterable[_T], run: _Run, jobs: int, on_wait: Callable[[], None]
) -> Generator[tuple[_T, Verdict | None]]:
    # The look-ups wait on the network outside the interpreter lock, so
    # threads overlap them.
    threads = ThreadPoolExecutor(jobs, thread_name_prefix="quillon-check")
    channel = _Channel(items, _AHEAD, "quillon-input")
    window = 4 * jobs
    pending: deque[tuple[_T, Future[Verdict] | None]] = deque()
    try:
        while True:
            if len(pending) < window:
                for item in channel.take(window - len(pending), on_wait, block=not pending):
                    pending.append(
                        (item, threads.submit(run.check, item) if isinstance(item, str) else None)
                    )
                if not pending:
                    return
            item, future = pending.popleft()
            if future is None:
                yield item, None
                continue
            if not future.done():
                on_wait()
            yield item, future.result()
    finally:
        channel.close()
        threads.shutdown(wait=False, cancel_futures=True)
