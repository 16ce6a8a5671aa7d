"""Verdicts in input order from worker processes, each owning a share of the
domains: the same domain always goes to the same worker, which asks about
it once."""

from __future__ import annotations

import contextlib
import multiprocessing
import multiprocessing.connection
import queue
import signal
import sys
import threading
import time
import zlib
from collections.abc import Callable, Generator, Iterable, Iterator
from concurrent.futures import ThreadPoolExecutor
from typing import TYPE_CHECKING, Any, NamedTuple, TypeVar

import idna

from quillon.bulk._dispatch import _prepare, portable_resolver
from quillon.bulk._ordered import _AHEAD, _TAKE, _Channel, _nothing, _Prefetcher
from quillon.bulk._verdict import Verdict, WorkerLostError

if TYPE_CHECKING:
    import dns.resolver

_T = TypeVar("_T")

# How long a batch for the workers waits for more input while they are busy.
_FILL_WAIT = 0.0005


class _Settings(NamedTuple):
    resolver: dns.resolver.Resolver | None
    timeout: float
    memo: bool
    jobs: int


def _owner(item: object, processes: int) -> int:
    """The worker that checks ``item``: by its domain, the same on every run
    (Python's own ``hash`` of a text changes from process to process)."""
    if not isinstance(item, str):
        return -1
    domain = item.rpartition("@")[2].strip().lower()
    if not domain.isascii():
        # As email_validator looks it up: "bücher.example" and
        # "xn--bcher-kva.example" are one domain, and one owner's.
        with contextlib.suppress(Exception):
            domain = idna.encode(domain, uts46=True).decode("ascii")
    return zlib.crc32(domain.encode("utf-8", "surrogatepass")) % processes


def _serve_worker(
    inbox: multiprocessing.connection.Connection,
    outbox: multiprocessing.connection.Connection,
    settings: _Settings,
    siblings: list[multiprocessing.connection.Connection],
) -> None:
    # A forked worker inherits the parent's ends of the earlier workers'
    # pipes; held open here, they would keep those workers from seeing the
    # parent go.
    for connection in siblings:
        connection.close()
    # Ctrl-C reaches the whole process group; the parent answers it by
    # stopping the workers, which would otherwise each print a traceback.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    run = _prepare(settings.resolver, settings.memo, settings.timeout)
    prefetcher = _Prefetcher(run, settings.jobs) if settings.memo else None
    threads = ThreadPoolExecutor(settings.jobs) if settings.jobs > 1 and not settings.memo else None
    with contextlib.suppress(EOFError, BrokenPipeError):  # the parent has gone
        while (addresses := inbox.recv()) is not None:
            if prefetcher is not None:
                prefetcher.ahead(addresses)
            verdicts = (
                map(run.check, addresses) if threads is None else threads.map(run.check, addresses)
            )
            # Plain tuples pickle faster than named ones.
            outbox.send([tuple(verdict) for verdict in verdicts])


def _worker_start() -> Any:
    # A forked worker starts at once, with the modules this process has
    # imported; a spawned one imports them all again (about half a second).
    # Fork is safe only while no other thread runs here, since the child
    # inherits any lock that such a thread holds.
    if sys.platform == "linux" and threading.active_count() == 1:
        return multiprocessing.get_context("fork")
    return multiprocessing.get_context("spawn")


class _Failed(NamedTuple):
    error: BaseException


def _lost(number: int, worker: multiprocessing.process.BaseProcess) -> WorkerLostError:
    # Its pipe is closed as it ends; the exit status follows a moment later.
    worker.join(1)
    code = worker.exitcode
    if code is None:
        how = "its pipe was closed"
    elif code < 0:
        try:
            how = f"killed by {signal.Signals(-code).name}"
        except ValueError:
            how = f"killed by signal {-code}"
    else:
        how = f"exit status {code}"
    return WorkerLostError(f"worker process {number} ended unexpectedly ({how})")


def _in_processes(
    items: Iterable[_T], settings: _Settings, processes: int, on_wait: Callable[[], None]
) -> Generator[tuple[_T, Verdict | None]]:
    # Each worker gets this process's resolver settings explicitly, so it
    # asks the same servers and nothing else, however it was started.
    settings = settings._replace(resolver=portable_resolver(settings.resolver))
    context = _worker_start()
    inboxes: list[multiprocessing.connection.Connection] = []
    outboxes: list[multiprocessing.connection.Connection] = []
    workers: list[multiprocessing.process.BaseProcess] = []
    for number in range(processes):
        inbox_reader, inbox = context.Pipe(duplex=False)
        outbox, outbox_writer = context.Pipe(duplex=False)
        worker = context.Process(
            target=_serve_worker,
            args=(inbox_reader, outbox_writer, settings, [*inboxes, *outboxes]),
            name=f"quillon-check-{number}",
            daemon=True,
        )
        worker.start()
        inbox_reader.close()
        outbox_writer.close()
        inboxes.append(inbox)
        outboxes.append(outbox)
        workers.append(worker)
    channel = _Channel(items, _AHEAD, "quillon-input")
    # Batches sent and not yet answered, with each item's owner: bounded,
    # so that memory stays flat however far the input runs ahead.
    sent: queue.Queue[tuple[list[_T], list[int]] | _Failed | None] = queue.Queue(2 * processes + 2)
    stop = threading.Event()

    def put(entry: tuple[list[_T], list[int]] | _Failed | None) -> bool:
        while not stop.is_set():
            with contextlib.suppress(queue.Full):
                sent.put(entry, timeout=0.1)
                return True
        return False

    def send() -> None:
        # A batch is whatever has come in, up to _TAKE: a slow input makes
        # small batches, so that each verdict still comes promptly. While the
        # workers still have batches to answer, this one may fill up: sending
        # a batch costs about the same whatever its size.
        dead: int | None = None
        try:
            while dead is None and (batch := channel.take(_TAKE, _nothing)):
                while len(batch) < _TAKE and sent.qsize() > 0 and not stop.is_set():
                    more = channel.take(_TAKE - len(batch), _nothing, block=False)
                    if not more and channel.ended:
                        break
                    batch += more
                    if not more:
                        time.sleep(_FILL_WAIT)
                owners = [_owner(item, processes) for item in batch]
                shares: list[list[str]] = [[] for _ in range(processes)]
                for item, owner in zip(batch, owners, strict=True):
                    if owner >= 0:
                        shares[owner].append(item)  # type: ignore[arg-type]
                # Recorded first: the consumer reads the answers in this order.
                if not put((batch, owners)):
                    return
                for number, share in enumerate(shares):
                    if share:
                        try:
                            inboxes[number].send(share)
                        except OSError:  # the worker has gone
                            dead = number
                            break
        except BaseException as error:  # noqa: BLE001 - handed to the consumer
            put(_Failed(error))
            return
        # Made outside the handler, so that it holds nothing of the failed
        # send (whose buffer, kept alive in its traceback, would complain
        # when collected).
        put(None if dead is None else _Failed(_lost(dead, workers[dead])))

    sender = threading.Thread(target=send, name="quillon-batch", daemon=True)
    sender.start()
    finished = False
    try:
        while True:
            if sent.empty():
                on_wait()
            entry = sent.get()
            if entry is None:
                break
            if isinstance(entry, _Failed):
                raise entry.error
            batch, owners = entry
            answers: dict[int, Iterator[tuple[Any, ...]]] = {}
            dead: int | None = None
            for owner in sorted(set(owners) - {-1}):
                if not outboxes[owner].poll():
                    on_wait()
                try:
                    answers[owner] = iter(outboxes[owner].recv())
                except (EOFError, OSError):  # ended before its answer, or within it
                    dead = owner
                    break
            if dead is not None:
                raise _lost(dead, workers[dead])
            for item, owner in zip(batch, owners, strict=True):
                yield item, None if owner < 0 else Verdict._make(next(answers[owner]))
        finished = True
    finally:
        stop.set()
        channel.close()
        for inbox in inboxes:
            with contextlib.suppress(OSError):
                if finished:
                    inbox.send(None)
                inbox.close()
        for worker in workers:
            if not finished:
                # Left early (an interrupt, a closed output): a worker may be
                # deep in a batch of slow look-ups that nobody will read.
                worker.terminate()
            worker.join(5)
        for outbox in outboxes:
            outbox.close()
