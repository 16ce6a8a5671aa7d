"""Standing in for another module's global while someone needs it.

Two parts of the package replace a name in another module's namespace for a
while: ``quillon.smtp.using`` stands in for ``quillon.email.SMTP``, and bulk
runs for ``quillon.contact``'s ``validate_email`` and for email_validator's
own ``validate_email_domain_name``. What they do alike lives here: count the
users under a lock, install the stand-in as they arrive, put back what it
stood in for when the last one leaves, and give way to a plain assignment
made meanwhile. Who sees the stand-in, and what it does, stays each user's
own affair.

These are the only places where the package writes into another module.
"""

from __future__ import annotations

import contextlib
import importlib
import threading
from collections.abc import Callable, Iterator
from typing import Any


class Seam:
    """The global *name* of the module *module*, stood in for while it has
    users.

    ``install(current)`` is asked at every arrival: it returns what to bind
    instead of *current*, or None to leave *current* as it is (it is the
    stand-in already, or a replacement someone else made that is to be
    honoured). ``restore(current)`` is asked when the last user leaves: it
    returns what to bind back, or None when *current* is not the stand-in
    (a plain assignment replaced it, and that assignment stays).

    The module is imported at the first arrival, not before.
    """

    __slots__ = ("_install", "_module", "_restore", "lock", "name", "users")

    def __init__(
        self,
        module: str,
        name: str,
        *,
        install: Callable[[Any], Any | None],
        restore: Callable[[Any], Any | None],
    ) -> None:
        self._module = module
        self.name = name
        self._install = install
        self._restore = restore
        # Reentrant, so that a user may keep state of its own in step with
        # the count by holding it around enter() or leave().
        self.lock = threading.RLock()
        self.users = 0

    def namespace(self) -> dict[str, Any]:
        return vars(importlib.import_module(self._module))

    def enter(self) -> None:
        with self.lock:
            namespace = self.namespace()
            replacement = self._install(namespace[self.name])
            if replacement is not None:
                namespace[self.name] = replacement
            self.users += 1

    def leave(self) -> None:
        with self.lock:
            self.users -= 1
            if self.users:
                return
            namespace = self.namespace()
            original = self._restore(namespace[self.name])
            if original is not None:
                namespace[self.name] = original

    def assign(self, value: Any) -> None:
        """Bind *value* as a plain assignment would, with the users' lock
        held: for a user that finds the binding replaced and puts it back."""
        with self.lock:
            self.namespace()[self.name] = value

    @contextlib.contextmanager
    def held(self) -> Iterator[None]:
        """Be a user of the seam for the length of the block."""
        self.enter()
        try:
            yield
        finally:
            self.leave()
