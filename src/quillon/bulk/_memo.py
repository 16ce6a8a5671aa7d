"""One run of a bulk check: its settings, and a memo that asks DNS once per
domain.

Each address gets email_validator's own syntax check; what DNS says about its
domain is looked up once, by one thread at a time (the others wait for that
answer), and kept no longer than the answers behind it live. A run answers
the calls that ``_dispatch`` hands it.

dnspython is imported where it is used: ``import quillon.bulk`` should not
pay a tenth of a second for it before any look-up.
"""

from __future__ import annotations

import contextlib
import copy
import importlib
import math
import sys
import threading
import time
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, NamedTuple

import email_validator
from email_validator import EmailSyntaxError, EmailUndeliverableError

import quillon.contact as _contact
from quillon.bulk._verdict import Verdict

if TYPE_CHECKING:
    import dns.resolver


def memo_size() -> int:
    """``quillon.bulk.MEMO_SIZE``, read at each use: an assignment to it
    counts from then on, as for any module setting."""
    size: int = sys.modules["quillon.bulk"].MEMO_SIZE
    return size


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
        import dns.resolver

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
    import dns.resolver

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
        import dns.exception
        import dns.resolver

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
            if len(self._outcomes) >= memo_size():
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
            if len(self._syntax) >= memo_size():
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


# The run of the calling thread, and what its last call returned: set by
# _Run.check and _Run.validate, read by the stand-ins of _dispatch.
_here = threading.local()

# The module that email_validator's validate_email looks up its domain check
# in, and that check itself: a run asks it directly, and _dispatch stands in
# for it there.
_LIBRARY_MODULE = importlib.import_module("email_validator.validate_email")
_DOMAIN_SYNTAX = _LIBRARY_MODULE.validate_email_domain_name
