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
"""

from __future__ import annotations

import contextlib
import copy
import importlib
import math
import multiprocessing
import multiprocessing.connection
import queue
import signal
import sys
import threading
import time
import zlib
from collections import deque
from collections.abc import Callable, Generator, Iterable, Iterator
from concurrent.futures import Future, ThreadPoolExecutor
from typing import TYPE_CHECKING, Any, Generic, NamedTuple, TypeVar

import dns.exception
import dns.message
import dns.resolver
import email_validator
import idna
from email_validator import EmailSyntaxError, EmailUndeliverableError

import quillon.contact as _contact
from quillon._seams import Seam

if TYPE_CHECKING:
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

# Domains a run remembers. An entry is a few hundred bytes, so a run stays
# within a few tens of MB however long its list; what it pushes out first is
# the long tail of rare domains, seldom asked for again anyway.
MEMO_SIZE = 50_000

_T = TypeVar("_T")


class Verdict(NamedTuple):
    """What ``Contact.validate`` answered, whether DNS left it open, and for
    which address."""

    valid: bool
    reason: str
    # Valid, but no DNS answer said whether the domain takes mail (a time-out,
    # no usable answer, no name server): email_validator lets such an
    # address through.
    deliverability_unknown: bool = False
    address: str = ""
    # email_validator's normalised form of a valid address, else None.
    normalized: str | None = None

    def record(self) -> dict[str, object]:
        """The verdict as ``quillon check --json`` writes it: address, valid,
        reason, "normalized" for a valid address, and "deliverability":
        "unknown" when DNS left it open."""
        record: dict[str, object] = {
            "address": self.address,
            "valid": self.valid,
            "reason": self.reason,
        }
        if self.normalized is not None:
            record["normalized"] = self.normalized
        if self.deliverability_unknown:
            record["deliverability"] = "unknown"
        return record


class WorkerLostError(RuntimeError):
    """A worker process of ``check_all(processes=N)`` ended before it
    answered (killed, out of memory): the check could not finish."""


# --- one domain, one look-up -----------------------------------------------------


class _Outcome(NamedTuple):
    """What DNS said about a domain: email_validator's deliverability info,
    or the text of its refusal."""

    expires: float  # on the run's clock
    info: dict[str, Any] | None
    refusal: str | None


class _Refused(NamedTuple):
    """A refusal to repeat: its class and arguments."""

    kind: type[EmailSyntaxError]
    args: tuple[Any, ...]


class _Asking:
    """A look-up under way, and its outcome once it is known."""

    __slots__ = ("done", "outcome")

    def __init__(self) -> None:
        self.done = threading.Event()
        self.outcome: _Outcome | None = None


class _Recorder:
    """The resolver that email_validator asks for one domain: passes each
    question on with the run's time-out and notes how long the answers live."""

    __slots__ = ("resolver", "lifetime", "ttl")

    def __init__(self, resolver: dns.resolver.Resolver, lifetime: float) -> None:
        self.resolver = resolver
        self.lifetime = lifetime
        self.ttl = math.inf

    def resolve(self, qname: str, rdtype: str) -> dns.resolver.Answer:
        try:
            answer = self.resolver.resolve(qname, rdtype, lifetime=self.lifetime)
        except dns.resolver.NoAnswer as exc:
            self._note_response(exc.response())  # type: ignore[no-untyped-call]
            raise
        except dns.resolver.NXDOMAIN as exc:
            for response in exc.responses().values():  # type: ignore[no-untyped-call]
                self._note_response(response)
            raise
        # From a cache the answer has lived part of its TTL already.
        self.ttl = min(self.ttl, answer.expiration - time.time())
        return answer

    def _note_response(self, response: Any) -> None:
        try:
            # The negative TTL: the SOA's, or dnspython's short default without one.
            self.ttl = min(self.ttl, response.resolve_chaining().minimum_ttl)
        except Exception:  # noqa: BLE001 - any answer without an SOA: remember nothing
            self.ttl = 0


def _is_definite(refusal: EmailUndeliverableError) -> bool:
    # "does not exist", "does not accept email", "does not send email" come
    # from the answers; a refusal caused by anything else (a resolver fault
    # that email_validator words as an error) is not the domain's to keep.
    cause = refusal.__cause__
    return cause is None or isinstance(cause, (dns.resolver.NXDOMAIN, dns.resolver.NoAnswer))


class _Run:
    """The settings and the memo of one bulk check, shared by its threads."""

    def __init__(
        self,
        resolver: dns.resolver.Resolver | None,
        timeout: float | None,
        memo: bool,
        clock: Callable[[], float] = time.monotonic,
    ) -> None:
        # Without a usable system configuration (no resolv.conf) dnspython
        # refuses to make its default resolver; email_validator would then
        # fail each address that passes the syntax check, and so does the run.
        self._unconfigured: Exception | None = None
        try:
            source = resolver if resolver is not None else dns.resolver.get_default_resolver()
        except dns.exception.DNSException as exc:
            source, self._unconfigured = dns.resolver.Resolver(configure=False), exc
        # A copy, so that nothing of the run (its time-outs) reaches the
        # caller's resolver. With the memo it needs no cache of its own: each
        # domain is asked about once.
        self.resolver = copy.copy(source)
        if memo:
            self.resolver.cache = None
        # None: each call's own time-out (a process set up by prepare_process).
        self.timeout = timeout
        self.memo = memo
        # What the memo's expiry times are measured on; a test moves its own.
        self.clock = clock
        self._outcomes: dict[tuple[str, str], _Outcome] = {}
        self._syntax: dict[tuple[str, bool, bool], Any] = {}
        self._pending: dict[tuple[str, str], _Asking] = {}
        self._lock = threading.Lock()

    @property
    def whole_timeout(self) -> int:
        # What Contact.validate is given; the run itself keeps the fraction.
        return max(1, math.ceil(self.timeout if self.timeout is not None else 2))

    def validate(self, library: Callable[..., Any], email: str, timeout: float) -> Any:
        """``library(email, check_deliverability=True, timeout=timeout)``, as
        email_validator would answer it, with DNS asked through the run."""
        lifetime = self.timeout if self.timeout is not None else timeout
        if self._unconfigured is not None:
            result = library(email, check_deliverability=False)
            if _needs_lookup(result):
                raise copy.copy(self._unconfigured)
            _here.result = result
            return result
        if not self.memo:
            result = library(
                email, check_deliverability=True, dns_resolver=_Recorder(self.resolver, lifetime)
            )
            _here.result = result
            return result
        result = library(email, check_deliverability=False)
        if _needs_lookup(result):
            outcome = self._outcome((result.ascii_domain, result.domain), lifetime)
            if outcome.refusal is not None:
                raise EmailUndeliverableError(outcome.refusal)
            assert outcome.info is not None
            # Set as email_validator sets them.
            mx = outcome.info.get("mx")
            if mx is not None:
                result.mx = mx
            result.mx_fallback_type = outcome.info.get("mx_fallback_type")
        _here.result = result
        return result

    def _outcome(self, key: tuple[str, str], lifetime: float) -> _Outcome:
        known = self._outcomes.get(key)
        if known is not None and known.expires > self.clock():
            return known
        while True:
            with self._lock:
                known = self._outcomes.get(key)
                if known is not None and known.expires > self.clock():
                    return known
                asking = self._pending.get(key)
                if asking is None:
                    asking = self._pending[key] = _Asking()
                    break
            # Another thread is asking about this domain right now: its
            # answer will do, even one that is not to be remembered. If it
            # failed, this thread asks again.
            asking.done.wait()
            if asking.outcome is not None:
                return asking.outcome
        try:
            asking.outcome = self._look_up(key, lifetime)
            return asking.outcome
        finally:
            with self._lock:
                del self._pending[key]
            asking.done.set()

    def prefetch(self, domain: str) -> None:
        """Look up ``domain`` (the text after an address's "@") now, so
        that its outcome is known when an address of it is checked."""
        with contextlib.suppress(Exception):
            info = self.domain_syntax(
                _DOMAIN_SYNTAX,
                domain,
                email_validator.TEST_ENVIRONMENT,
                email_validator.GLOBALLY_DELIVERABLE,
            )
            self._outcome(
                (info["ascii_domain"], info["domain"]),
                self.timeout if self.timeout is not None else 2,
            )

    def _look_up(self, key: tuple[str, str], lifetime: float) -> _Outcome:
        from email_validator.deliverability import validate_email_deliverability

        recorder = _Recorder(self.resolver, lifetime)
        started = self.clock()
        try:
            info = validate_email_deliverability(*key, dns_resolver=recorder)  # type: ignore[arg-type]
        except EmailUndeliverableError as refusal:
            outcome = _Outcome(started + recorder.ttl, None, str(refusal))
            if _is_definite(refusal):
                self._remember(key, outcome)
            return outcome
        outcome = _Outcome(started + recorder.ttl, dict(info), None)
        if "mx" in info:  # never remember an unknown deliverability
            self._remember(key, outcome)
        return outcome

    def _remember(self, key: tuple[str, str], outcome: _Outcome) -> None:
        if not outcome.expires > self.clock():
            return
        with self._lock:
            self._outcomes.pop(key, None)
            if len(self._outcomes) >= MEMO_SIZE:
                del self._outcomes[next(iter(self._outcomes))]
            self._outcomes[key] = outcome

    def domain_syntax(
        self,
        library: Callable[..., Any],
        domain: str,
        test_environment: bool,
        globally_deliverable: bool,
    ) -> Any:
        key = (domain, test_environment, globally_deliverable)
        known = self._syntax.get(key)
        if known is None:
            try:
                known = library(
                    domain,
                    test_environment=test_environment,
                    globally_deliverable=globally_deliverable,
                )
            except EmailSyntaxError as refusal:
                known = _Refused(type(refusal), refusal.args)
            if len(self._syntax) >= MEMO_SIZE:
                with contextlib.suppress(KeyError, RuntimeError, StopIteration):
                    del self._syntax[next(iter(self._syntax))]
            self._syntax[key] = known
        if isinstance(known, _Refused):
            raise known.kind(*known.args)
        # A copy: the caller may change what it is given.
        return dict(known)

    def check(self, address: str) -> Verdict:
        """``Contact.validate(address)`` through this run, as a Verdict."""
        _here.run, _here.result = self, None
        try:
            valid, reason = _contact.Contact.validate(address, self.whole_timeout)
            result = _here.result
        finally:
            _here.run = _here.result = None
        return _verdict(address, valid, reason, result)


def _needs_lookup(result: Any) -> bool:
    # email_validator skips DNS for a bracketed IP address after the @-sign,
    # and in its test environment.
    return getattr(result, "domain_address", None) is None and not email_validator.TEST_ENVIRONMENT


def _verdict(address: str, valid: bool, reason: str, result: Any) -> Verdict:
    if not valid or result is None:
        return Verdict(valid, reason, False, address, None)
    return Verdict(valid, reason, getattr(result, "mx", None) is None, address, result.normalized)


# The run of the calling thread, and what its last call returned.
_here = threading.local()
# The run of a process set up by prepare_process, for every thread.
_process_run: _Run | None = None


class _Dispatcher:
    """Stands in for quillon.contact's ``validate_email`` while runs are
    active: a call from a thread of a run goes to that run, any other to the
    library unchanged."""

    __slots__ = ("library",)

    def __init__(self, library: Callable[..., Any]) -> None:
        self.library = library

    def __call__(self, email: Any, /, **options: Any) -> Any:
        run = getattr(_here, "run", None) or _process_run
        # Contact.validate's call, and nothing else, is the run's to answer.
        if (
            run is None
            or len(options) != 2
            or options.get("check_deliverability") is not True
            or "timeout" not in options
        ):
            return self.library(email, **options)
        return run.validate(self.library, email, options["timeout"])


class _DomainDispatcher:
    """Stands in for email_validator's own ``validate_email_domain_name``
    while runs are active: the syntax of a domain depends on nothing else,
    so a run with the memo checks each once, and re-raises its refusal."""

    __slots__ = ("library",)

    def __init__(self, library: Callable[..., Any]) -> None:
        self.library = library

    def __call__(
        self, domain: str, test_environment: bool = False, globally_deliverable: bool = True
    ) -> Any:
        run = getattr(_here, "run", None) or _process_run
        if run is None or not run.memo:
            return self.library(
                domain, test_environment=test_environment, globally_deliverable=globally_deliverable
            )
        return run.domain_syntax(self.library, domain, test_environment, globally_deliverable)


def _standing_in(
    module: str, stand_in: type[_Dispatcher | _DomainDispatcher], genuine: Callable[..., Any]
) -> Seam:
    # Only the library itself is stood in for: a replacement someone put
    # there is called as it is (and a run then asks through it).
    return Seam(
        module,
        genuine.__name__,
        install=lambda current: stand_in(genuine) if current is genuine else None,
        restore=lambda current: current.library if isinstance(current, stand_in) else None,
    )


# The two names stood in for: quillon.contact's validate_email, and the
# domain check that email_validator's validate_email looks up in its module.
_LIBRARY_MODULE = importlib.import_module("email_validator.validate_email")
_DOMAIN_SYNTAX = _LIBRARY_MODULE.validate_email_domain_name
_SEAMS = (
    _standing_in("quillon.contact", _Dispatcher, email_validator.validate_email),
    _standing_in(_LIBRARY_MODULE.__name__, _DomainDispatcher, _DOMAIN_SYNTAX),
)


@contextlib.contextmanager
def _dispatching() -> Iterator[None]:
    """Keep the stand-ins installed while the block runs."""
    with contextlib.ExitStack() as stack:
        for seam in _SEAMS:
            stack.enter_context(seam.held())
        yield


def check(address: str, timeout: float = 2) -> Verdict:
    """``Contact.validate(address, timeout)`` as a Verdict: through the
    process's set-up after ``prepare_process`` (its resolver, memo and
    time-out), else on its own."""
    if _process_run is not None:
        return _process_run.check(address)
    with _dispatching():
        return _Run(None, timeout, memo=False).check(address)


def portable_resolver(resolver: dns.resolver.Resolver | None = None) -> dns.resolver.Resolver:
    """A copy of *resolver* (default: dnspython's default resolver) without its
    cache, which pickles: hand it to ``prepare_process`` in worker processes
    so that they ask the same servers as this one."""
    source = resolver if resolver is not None else dns.resolver.get_default_resolver()
    portable = copy.copy(source)
    portable.cache = None
    return portable


def prepare_process(
    resolver: dns.resolver.Resolver | None = None,
    *,
    memo: bool = True,
    timeout: float | None = None,
) -> None:
    """Set up this process for checking many addresses: a pool's initializer.

    dnspython's default resolver becomes *resolver* (None keeps it as it
    is), and from now on every ``Contact.validate`` in this process asks it
    and, with *memo*, remembers each domain's outcome for the process as
    ``check_all`` does for a run. *timeout*, if given, replaces each call's
    own. Meant for worker processes, which this set-up outlives.
    """
    global _process_run
    if resolver is not None:
        dns.resolver.default_resolver = resolver
    _process_run = _Run(resolver, timeout, memo)
    # The set-up is for the rest of the process: its users never leave.
    for seam in _SEAMS:
        seam.enter()


def is_prepared() -> bool:
    """Whether ``prepare_process`` has set up this process."""
    return _process_run is not None


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
# How long a batch for the workers waits for more input while they are busy.
_FILL_WAIT = 0.0005


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
                if len(seen) >= MEMO_SIZE:
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


# --- worker processes, each owning a share of the domains ------------------------


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
    prepare_process(settings.resolver, memo=settings.memo, timeout=settings.timeout)
    run = _process_run
    assert run is not None
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
