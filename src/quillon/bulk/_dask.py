"""The dask.distributed worker plugin of ``quillon.bulk.dask_plugin``.

A module of its own so that a worker can import the class by name; it needs
the ``distributed`` package, which the rest of quillon does without, and is
imported only by ``dask_plugin`` (and by a worker unpickling the plugin).
"""

from __future__ import annotations

from typing import Any

import dns.resolver
from distributed import WorkerPlugin

from quillon.bulk._dispatch import prepare_process


class PrepareWorkers(WorkerPlugin):
    """Runs ``quillon.bulk.prepare_process`` on every worker as it starts:
    the scheduler keeps the plugin, so workers added or restarted later are
    set up too, before their first task."""

    # Registering another one replaces this one instead of adding to it.
    name = "quillon-prepare"

    def __init__(self, resolver: dns.resolver.Resolver, memo: bool, timeout: float | None) -> None:
        self.resolver = resolver
        self.memo = memo
        self.timeout = timeout

    def setup(self, worker: Any) -> None:
        prepare_process(self.resolver, memo=self.memo, timeout=self.timeout)
