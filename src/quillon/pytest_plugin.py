"""The pytest fixture ``quillon_outbox``, registered through the package's
``pytest11`` entry point: installing quillon makes it available to every
test suite of the environment."""

from __future__ import annotations

from collections.abc import Iterator
from typing import TYPE_CHECKING

import pytest

if TYPE_CHECKING:
    from quillon.smtp import Sent


@pytest.fixture
def quillon_outbox() -> Iterator[list[Sent]]:
    """The list of what the test sent: ``quillon.smtp.outbox(everywhere=True)``.

    It takes the sends of the test's own threads, timers and executors too,
    and no send reaches a server while the test runs. A plain assignment to
    ``quillon.email.SMTP`` during the test would override it, so the test
    fails if it finds one when it ends (and the binding is put back).
    """
    # Imported here rather than at the top: pytest loads this module at
    # start-up in every suite of the environment, and the native modules
    # read settings from the environment when they are first imported.
    import quillon.email
    from quillon import smtp
    from quillon.smtp import _binding

    with smtp.outbox(everywhere=True) as sent:
        chosen = quillon.email.SMTP
        yield sent
        assigned = quillon.email.SMTP
        if assigned is not chosen:
            _binding._seam.assign(chosen)
            pytest.fail(
                f"quillon.email.SMTP was assigned during the test ({assigned!r}): the sends "
                "after that went through it, not through the outbox",
                pytrace=False,
            )
