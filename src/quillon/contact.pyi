"""One e-mail address and the time-out for checking that it is deliverable."""

from typing import Never, overload

class Contact:
    """An e-mail address with a time-out, in whole seconds, for its check."""

    __slots__ = ("__email", "__timeout")
    # The address is required. The constructor's signature gives it a default
    # of None, which the email setter then refuses; the second overload, which
    # no call can satisfy, only records that default.
    @overload
    def __init__(self, email: str, timeout: int = 15) -> None: ...
    @overload
    def __init__(self, email: None = None, *, timeout: Never) -> None: ...
    @property
    def email(self) -> str: ...
    @email.setter
    def email(self, email: str) -> None: ...
    @staticmethod
    def validate(email: str, timeout: int | None = 2) -> tuple[bool, str]:
        """Check the syntax of *email* and that its domain accepts mail.

        Returns ``(True, "Valid")`` or ``(False, reason)``; never raises for
        an invalid address. A *timeout* of None stands for 15 seconds.
        """
    @property
    def timeout(self) -> int:
        """Seconds allowed for the DNS look-up; setting None stores 15."""
    @timeout.setter
    def timeout(self, value: int | None) -> None: ...
    @property
    def is_valid(self) -> bool:
        """``Contact.validate(self.email, self.timeout)[0]``, checked anew on each read."""
