"""What a bulk check hands back: a verdict per address, and the error that
ends a check whose worker process died."""

from __future__ import annotations

from typing import NamedTuple


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
