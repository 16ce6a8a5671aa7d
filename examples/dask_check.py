"""Check a file of addresses too large for one process, with dask.bag.

    pip install 'quillon[dask]'
    python examples/dask_check.py addresses.txt verdicts/ [--workers N] [--timeout S]

dask cuts the file into partitions (``--blocksize`` bytes each), maps
``Contact.validate`` over the addresses of each partition in worker processes,
and writes each partition's verdicts, one JSON object a line, to its own file
``verdicts/N.jsonl``. ``Contact.validate`` travels to the workers by name (it
pickles as a reference to ``quillon.contact.Contact.validate``).

Each worker is set up once by ``quillon.bulk.prepare_process``, the pool's
initializer: dnspython's default resolver with a cache of its own, asking the
same name servers as this process. On a dask.distributed cluster the same bag
runs unchanged; run ``prepare_process`` on each worker first, for example with
``client.run(prepare_process)``.
"""

from __future__ import annotations

import argparse
import json
import multiprocessing
import os
import sys
from concurrent.futures import ProcessPoolExecutor

import dask.bag as db
import dns.resolver

from quillon import bulk
from quillon.contact import Contact


def is_address(line: str) -> bool:
    return bool(line) and not line.startswith("#")


def as_json(pair: tuple[str, tuple[bool, str]]) -> str:
    address, (valid, reason) = pair
    return json.dumps({"address": address, "valid": valid, "reason": reason}, ensure_ascii=False)


def check_file(path: str, out_dir: str, *, workers: int = 2, timeout: int = 2,
               blocksize: int = 2**20,
               resolver: dns.resolver.Resolver | None = None) -> list[str]:
    """Check every address of ``path``; returns the files written, in order."""
    # Undecodable bytes become U+FFFD, which no address accepts: the line is
    # reported invalid instead of failing its partition.
    lines = db.read_text(path, blocksize=blocksize, errors="replace")
    addresses = lines.map(str.strip).filter(is_address)
    verdicts = addresses.map(Contact.validate, timeout=timeout)
    records = db.zip(addresses, verdicts).map(as_json)
    os.makedirs(out_dir, exist_ok=True)
    # dask's own process pool takes no initializer arguments; this one hands
    # each worker the resolver settings explicitly.
    with ProcessPoolExecutor(workers, mp_context=multiprocessing.get_context("spawn"),
                             initializer=bulk.prepare_process,
                             initargs=(bulk.portable_resolver(resolver),)) as pool:
        written: list[str] = records.to_textfiles(os.path.join(out_dir, "*.jsonl"),
                                                  scheduler="processes", pool=pool)
    return written


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("path")
    parser.add_argument("out_dir")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--timeout", type=int, default=2)
    parser.add_argument("--blocksize", type=int, default=2**20)
    args = parser.parse_args(argv)
    written = check_file(args.path, args.out_dir, workers=args.workers, timeout=args.timeout,
                         blocksize=args.blocksize)
    print(f"{len(written)} files written to {args.out_dir}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
