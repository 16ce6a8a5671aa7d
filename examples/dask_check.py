"""Check a file of addresses on a dask.distributed cluster.

    pip install 'quillon[dask]'
    python examples/dask_check.py addresses.txt verdicts/ [--workers N]
        [--per-partition N] [--timeout S] [--scheduler ADDRESS]

The file is cut into partitions of a fixed number of addresses (one pass
over it notes where each partition starts, so the list never sits in memory
at once); each partition becomes a task that reads its part of the file and
checks it on a worker, and its verdicts, one JSON object a line as
``quillon check --json`` writes them, go to a file of their own,
``verdicts/N.jsonl``. The workers must see the file at the same path (one
machine, or a shared file system).

Each worker is set up by the plugin of ``quillon.bulk.dask_plugin``: it asks
the name servers this process asks, and remembers each domain's outcome for
as long as the worker lives. The scheduler keeps the plugin, so workers that
join later, or come back after ``client.restart()``, are set up as well.
Without ``--scheduler`` a cluster of local worker processes is started.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import sys

import dask
import dask.bag as db
import dns.resolver
from distributed import Client, LocalCluster

from quillon import bulk


def is_address(line: str) -> bool:
    return bool(line) and not line.startswith("#")


def partitions(path: str, per_partition: int) -> list[tuple[int, int]]:
    """(start, end) byte offsets of runs of ``per_partition`` addresses."""
    bounds, start, count, offset = [], 0, 0, 0
    with open(path, "rb") as stream:
        for raw in stream:
            offset += len(raw)
            if is_address(raw.strip().decode("utf-8", "replace")):
                count += 1
                if count == per_partition:
                    bounds.append((start, offset))
                    start, count = offset, 0
    if count:
        bounds.append((start, offset))
    return bounds


def check_part(path: str, start: int, end: int) -> list[str]:
    """The verdicts of one partition, on a worker, as JSON lines."""
    if not bulk.is_prepared():
        # It would ask whatever name servers the worker's machine has.
        raise RuntimeError("this worker was not set up: register quillon.bulk.dask_plugin")
    with open(path, "rb") as stream:
        stream.seek(start)
        # Undecodable bytes become U+FFFD, which no address accepts: the line
        # is reported invalid instead of failing its partition.
        text = stream.read(end - start).decode("utf-8-sig" if start == 0 else "utf-8", "replace")
    records = []
    for line in text.splitlines():
        address = line.strip()
        if is_address(address):
            # As `quillon check --json` writes it: "deliverability": "unknown"
            # tells a valid address from one that DNS left open.
            records.append(json.dumps(bulk.check(address).record(), ensure_ascii=False))
    return records


def check_file(
    path: str,
    out_dir: str,
    *,
    client: Client | None = None,
    workers: int = 2,
    per_partition: int = 10_000,
    timeout: float = 2,
    resolver: dns.resolver.Resolver | None = None,
) -> list[str]:
    """Check every address of ``path``; returns the files written, in order."""
    with contextlib.ExitStack() as stack:
        if client is None:
            cluster = stack.enter_context(
                LocalCluster(
                    n_workers=workers,
                    threads_per_worker=1,
                    processes=True,
                    host="127.0.0.1",
                    dashboard_address=None,
                )
            )
            client = stack.enter_context(Client(cluster))
        client.register_plugin(bulk.dask_plugin(resolver, timeout=timeout))
        parts = [
            dask.delayed(check_part)(path, start, end)
            for start, end in partitions(path, per_partition)
        ]
        os.makedirs(out_dir, exist_ok=True)
        written: list[str] = db.from_delayed(parts).to_textfiles(
            os.path.join(out_dir, "*.jsonl"), compute_kwargs={"scheduler": client}
        )
    return written


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("path")
    parser.add_argument("out_dir")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--per-partition", type=int, default=10_000)
    parser.add_argument("--timeout", type=float, default=2)
    parser.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="a running cluster's scheduler, e.g. tcp://10.0.0.5:8786",
    )
    args = parser.parse_args(argv)
    with contextlib.ExitStack() as stack:
        client = None if args.scheduler is None else stack.enter_context(Client(args.scheduler))
        written = check_file(
            args.path,
            args.out_dir,
            client=client,
            workers=args.workers,
            per_partition=args.per_partition,
            timeout=args.timeout,
        )
    print(f"{len(written)} files written to {args.out_dir}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
