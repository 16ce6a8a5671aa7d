"""Who answers ``Contact.validate``: the stand-ins for email_validator's
names while runs are active, and the run of a process set up for good."""

from __future__ import annotations

import contextlib
import copy
from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING, Any

import email_validator

from quillon._seams import Seam
from quillon.bulk._memo import _DOMAIN_SYNTAX, _LIBRARY_MODULE, _here, _Run
from quillon.bulk._verdict import Verdict

if TYPE_CHECKING:
    import dns.resolver

# The run of a process set up by prepare_process, for every thread; this
# module alone rebinds it.
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
    import dns.resolver

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
    _prepare(resolver, memo, timeout)


def _prepare(resolver: dns.resolver.Resolver | None, memo: bool, timeout: float | None) -> _Run:
    """prepare_process, and the run it set up."""
    import dns.resolver

    global _process_run
    if resolver is not None:
        dns.resolver.default_resolver = resolver
    _process_run = run = _Run(resolver, timeout, memo)
    # The set-up is for the rest of the process: its users never leave.
    for seam in _SEAMS:
        seam.enter()
    return run


def is_prepared() -> bool:
    """Whether ``prepare_process`` has set up this process."""
    return _process_run is not None
