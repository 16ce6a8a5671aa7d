"""Checking a long list of addresses: `quillon check` against the loops and
the command line a user would otherwise pick.

    uv run python benchmarks/bulk.py [--quick] [--addresses N] [--domains N] [--rounds N]
        [--latency MS] [--skip-uncached] [--also="--jobs 4"]...

A DNS server for a few thousand domains runs in a process of its own on
127.0.0.1 (quillon._loopback.DnsServer); every run below asks it and nothing
else. --latency holds each of its replies back that many milliseconds, as a
resolver further away would (0.5 for one on the local network, 20 for a
provider's); the replies to questions asked meanwhile are held alongside.

The address list is drawn with a fixed seed and a skew like a real list's:
the domain of rank r comes up in proportion to 1/r, so a few domains are very
common and most are rare. Most domains have MX records; some have
only an A record (three look-ups: MX, A, TXT), some do not exist, some refuse
mail; a few addresses are malformed.

Each configuration runs as a command of its own, interpreter start-up
included, reads the list from a file (the peers from standard input), writes
its verdicts to a file, and is timed from start to exit; the best of the
rounds counts. An untimed caching loop goes first, so that no configuration
pays for the server's first answer to a question (it keeps its replies).
The rows:

* plain loop: `validate_email(address, check_deliverability=True,
  timeout=2)` over the list;
* caching_resolver loop: the same with `dns_resolver=caching_resolver()`,
  email_validator's own DNS cache, the loop its documentation suggests;
* email_validator's command line (`python -m email_validator`, the list on
  standard input; it also uses `caching_resolver()` and prints only the
  invalid addresses);
* `quillon check` with its defaults, --jobs 1 (one look-up at a time),
  --processes 2, --no-cache and each --also;
* floor: the plain loop with deliverability off (syntax only), what no DNS
  at all would cost.

--skip-uncached leaves out the two rows that ask for every address (the
plain loop and --no-cache): with 20 ms a reply they take most of an hour.

Both peers take dnspython's resolver as they are given it; here it asks the
benchmark's server (the command line through its main(dns_resolver=...)),
never the machine's. Their ratios move with the DNS server's speed: a faster
server shrinks what a cache saves.

"queries/address" is what the DNS server counted during the run; "ideal" is
what asking once per domain and type would take; "load" is the one-minute
load average as the configuration started. Then the command's peak memory
(maximum resident set) for a list of a million addresses, the parts that
bound the ratios (what an address costs with deliverability off, with every
answer from the resolver's cache, and with every answer from the server),
and how much more pure-Python work two processes got done than one while the
benchmark ran, which bounds --processes 2 on a machine whose cores are shared.
"""

from __future__ import annotations

import argparse
import math
import multiprocessing
import os
import platform
import random
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

SEED = 2024
MEMORY_ADDRESSES = 1_000_000

# Shares of the domains by kind; what is left over has MX records.
A_ONLY, MISSING, NULL_MX, NO_RECORDS = 0.10, 0.04, 0.03, 0.02
MALFORMED = 0.02  # of the addresses
PUBLIC_IPV4 = "93.184.215.14"

# Runs a configuration with dnspython's default resolver asking the
# benchmark's server only: argv[1] is its port, argv[2] the mode.
DRIVER = """\
import atexit, sys, dns.resolver
# The peak memory of this process itself: the kernel's count for a child
# (wait4's ru_maxrss) starts with what the benchmark had when it forked.
atexit.register(lambda: print(open("/proc/self/status").read().partition("VmHWM:")[2]
                              .split()[0], "peak kB", file=sys.stderr))
resolver = dns.resolver.Resolver(configure=False)
resolver.nameservers, resolver.port = ["127.0.0.1"], int(sys.argv[1])
dns.resolver.default_resolver = resolver
mode, args = sys.argv[2], sys.argv[3:]
if mode == "check":
    from quillon.cli import main
    sys.exit(main(args))
from email_validator import EmailNotValidError, caching_resolver, validate_email
if mode == "command":
    from email_validator.__main__ import main
    sys.argv[1:] = []
    main(dns_resolver=caching_resolver(timeout=2, dns_resolver=resolver))
    sys.exit()
options = {"check_deliverability": mode != "floor", "timeout": 2}
if mode == "caching":
    options = {"check_deliverability": True,
               "dns_resolver": caching_resolver(timeout=2, dns_resolver=resolver)}
with open(args[0], encoding="utf-8") as lines:
    for line in lines:
        address = line.strip()
        try:
            validate_email(address, **options)
            print(address, "valid", sep="\\t")
        except EmailNotValidError as exc:
            print(address, "invalid", exc, sep="\\t")
"""


# --- zone and list ---------------------------------------------------------------


def domain_kinds(count: int, rng: random.Random) -> list[str]:
    kinds = (
        ["a-only"] * round(count * A_ONLY)
        + ["missing"] * round(count * MISSING)
        + ["null-mx"] * round(count * NULL_MX)
        + ["no-records"] * round(count * NO_RECORDS)
    )
    kinds += ["mx"] * (count - len(kinds))
    rng.shuffle(kinds)
    return kinds


def make_zone(kinds: list[str]) -> dict[str, dict[str, list[str] | str]]:
    zone: dict[str, dict[str, list[str] | str]] = {}
    for rank, kind in enumerate(kinds):
        name = domain(rank)
        if kind == "mx":
            zone[name] = {"MX": [f"10 mx1.{name}.", f"20 mx2.{name}."]}
        elif kind == "a-only":
            zone[name] = {"A": PUBLIC_IPV4}
        elif kind == "null-mx":
            zone[name] = {"MX": "0 ."}
        elif kind == "no-records":
            zone[name] = {}
    return zone


# Look-ups that email_validator makes for a domain of each kind.
QUERIES = {"mx": 1, "a-only": 3, "missing": 1, "null-mx": 1, "no-records": 3}


def domain(rank: int) -> str:
    return f"d{rank:04d}.example.com"


def make_list(count: int, domains: int, rng: random.Random) -> list[str]:
    weights = [1 / (rank + 1) for rank in range(domains)]
    ranks = rng.choices(range(domains), weights, k=count)
    addresses = []
    for number, rank in enumerate(ranks):
        if rng.random() < MALFORMED:
            addresses.append(f"user{number}.{domain(rank)}")  # no @-sign
        else:
            addresses.append(f"user{number}@{domain(rank)}")
    return addresses


def ideal_queries(addresses: list[str], kinds: list[str]) -> int:
    rank = {domain(number): number for number in range(len(kinds))}
    seen = {rank[address.split("@")[1]] for address in addresses if "@" in address}
    return sum(QUERIES[kinds[number]] for number in seen)


# --- the DNS server's process ---------------------------------------------------------


def serve(
    zone: dict[str, dict[str, list[str] | str]],
    latency: float,
    conn: multiprocessing.connection.Connection,
) -> None:
    from quillon import _loopback

    with _loopback.DnsServer(zone, lifetime=24 * 3600, latency=latency) as server:
        conn.send(server.port)
        while conn.recv() != "stop":
            conn.send(len(server.queries))


class DnsProcess:
    def __init__(self, zone: dict[str, dict[str, list[str] | str]], latency: float) -> None:
        context = multiprocessing.get_context("spawn")
        self._conn, child = context.Pipe()
        self._process = context.Process(target=serve, args=(zone, latency, child), daemon=True)
        self._process.start()
        self.port: int = self._conn.recv()

    def queries(self) -> int:
        self._conn.send("count")
        count: int = self._conn.recv()
        return count

    def stop(self) -> None:
        self._conn.send("stop")
        self._process.join(10)


# --- running a configuration ------------------------------------------------------


@dataclass
class Run:
    seconds: float
    first_line: float
    queries: int
    max_rss_kb: int
    load: float


def run(
    dns: DnsProcess, mode: str, args: list[str], lines: int | None, stdin: Path | None = None
) -> Run:
    command = [sys.executable, "-c", DRIVER, str(dns.port), mode, *args]
    load = os.getloadavg()[0]
    before = dns.queries()
    # Output goes to a file, as it would for a long list; it is watched for
    # the first line every few milliseconds, which costs the run next to nothing.
    with (
        tempfile.TemporaryFile() as output,
        open(stdin if stdin is not None else os.devnull, "rb") as source,
    ):
        start = time.perf_counter()
        process = subprocess.Popen(command, stdin=source, stdout=output, stderr=subprocess.PIPE)
        while os.fstat(output.fileno()).st_size == 0 and process.poll() is None:
            time.sleep(0.002)
        first_line = time.perf_counter() - start
        assert process.stderr is not None
        stderr = process.stderr.read()
        _, status, usage = os.wait4(process.pid, 0)
        seconds = time.perf_counter() - start
        process.returncode = os.waitstatus_to_exitcode(status)
        output.seek(0)
        count = sum(chunk.count(b"\n") for chunk in iter(lambda: output.read(1 << 16), b""))
    peak = usage.ru_maxrss
    if stderr.endswith(b" peak kB\n"):
        *rest, last = stderr.rstrip(b"\n").rsplit(b"\n", 1)
        peak = int(last.split()[0])
        stderr = rest[0] if rest else b""
    if process.returncode not in (0, 1) or (lines is not None and count != lines):
        raise SystemExit(
            f"{mode} {' '.join(args)}: exit {process.returncode}, {count} of "
            f"{lines} lines\n{stderr.decode(errors='replace')}"
        )
    return Run(seconds, first_line, dns.queries() - before, peak, load)


def best(
    dns: DnsProcess,
    mode: str,
    args: list[str],
    lines: int | None,
    rounds: int,
    stdin: Path | None = None,
) -> Run:
    runs = [run(dns, mode, args, lines, stdin) for _ in range(rounds)]
    return min(runs, key=lambda r: r.seconds)


@dataclass
class Parts:
    """Seconds an address, timed in this process over a part of the list."""

    syntax: float  # deliverability off
    cached: float  # deliverability on, every answer already in the cache
    asked: float  # deliverability on, every answer from the server


def measure_parts(server: DnsProcess, addresses: list[str], latency: float) -> Parts:
    import dns.resolver
    from email_validator import EmailNotValidError, validate_email

    sample = addresses[:2000]

    def per_address(deliverability: bool) -> float:
        start = time.perf_counter()
        for address in sample:
            try:
                validate_email(address, check_deliverability=deliverability, timeout=2)
            except EmailNotValidError:
                pass
        return (time.perf_counter() - start) / len(sample)

    resolver = dns.resolver.Resolver(configure=False)
    resolver.nameservers, resolver.port = ["127.0.0.1"], server.port
    dns.resolver.default_resolver = resolver
    syntax = min(per_address(False) for _ in range(3))
    # With replies held back, once is enough: the wait outweighs the noise.
    asked = min(per_address(True) for _ in range(1 if latency else 3))
    resolver.cache = dns.resolver.LRUCache()
    per_address(True)
    cached = min(per_address(True) for _ in range(3))
    return Parts(syntax, cached, asked)


def burn(count: int) -> int:
    total = 0
    for number in range(count):
        total += number
    return total


def parallel_capacity() -> float:
    """How much more pure-Python work two processes get done than one, now:
    2.0 on two idle cores, less when other work shares them."""
    count = 10_000_000
    start = time.perf_counter()
    burn(count)
    one = time.perf_counter() - start
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        pool.map(burn, [1000, 1000])
        start = time.perf_counter()
        pool.map(burn, [count, count])
        two = time.perf_counter() - start
    return 2 * one / two


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument(
        "--quick", action="store_true", help="10,000 addresses, one round, no memory run"
    )
    parser.add_argument("--addresses", type=int, default=100_000)
    parser.add_argument("--domains", type=int, default=3_000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--memory-addresses", type=int, default=MEMORY_ADDRESSES)
    parser.add_argument(
        "--latency", type=float, default=0.0, metavar="MS", help="milliseconds a reply is held"
    )
    parser.add_argument(
        "--skip-uncached", action="store_true", help="leave out the plain loop and --no-cache"
    )
    parser.add_argument(
        "--also",
        action="append",
        default=[],
        metavar="OPTIONS",
        help='one more quillon check row with these options, e.g. "--jobs 4"',
    )
    options = parser.parse_args()
    if options.quick:
        options.addresses, options.rounds, options.memory_addresses = 10_000, 1, 0

    load_before = os.getloadavg()[0]
    rng = random.Random(SEED)
    kinds = domain_kinds(options.domains, rng)
    addresses = make_list(options.addresses, options.domains, rng)
    ideal = ideal_queries(addresses, kinds) / len(addresses)
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "addresses.txt"
        path.write_text("\n".join(addresses) + "\n")
        dns = DnsProcess(make_zone(kinds), options.latency / 1000)
        try:
            configurations = [
                ("plain loop over validate_email", "loop", [str(path)]),
                ("caching_resolver() loop", "caching", [str(path)]),
                ("python -m email_validator (stdin)", "command", []),
                ("quillon check (defaults)", "check", []),
                ("quillon check --jobs 1", "check", ["--jobs", "1"]),
                ("quillon check --processes 2", "check", ["--processes", "2"]),
                *((f"quillon check {also}", "check", also.split()) for also in options.also),
                ("quillon check --no-cache", "check", ["--no-cache"]),
                ("floor: syntax only, no DNS", "floor", [str(path)]),
            ]
            if options.skip_uncached:
                configurations = [
                    row
                    for row in configurations
                    if row[0] != "plain loop over validate_email" and "--no-cache" not in row[2]
                ]
            run(dns, "caching", [str(path)], len(addresses))  # warms the server up
            results = []
            for label, mode, args in configurations:
                if mode == "check":
                    args = ["check", "--file", str(path), *args]
                # The command line prints only the invalid addresses.
                lines = None if mode == "command" else len(addresses)
                stdin = path if mode == "command" else None
                results.append((label, best(dns, mode, args, lines, options.rounds, stdin)))
                print(f"  {label}: {results[-1][1].seconds:.2f} s", file=sys.stderr)
            parts = measure_parts(dns, addresses, options.latency)
            capacity = parallel_capacity()
            memory = None
            if options.memory_addresses:
                big = Path(folder) / "big.txt"
                big.write_text(
                    "\n".join(
                        make_list(
                            options.memory_addresses, options.domains, random.Random(SEED + 1)
                        )
                    )
                    + "\n"
                )
                memory = run(dns, "check", ["check", "--file", str(big)], options.memory_addresses)
        finally:
            dns.stop()

    print(
        f"{len(addresses):,} addresses over {options.domains:,} domains (seed {SEED}); "
        f"best of {options.rounds}; Python {platform.python_version()}, "
        f"{os.cpu_count()} cores, load average {load_before:.1f} before and "
        f"{os.getloadavg()[0]:.1f} after; each DNS reply held {options.latency:g} ms"
    )
    print()
    seconds = {label: result.seconds for label, result in results}
    loop = seconds.get("plain loop over validate_email", math.nan)
    peer = min(seconds["caching_resolver() loop"], seconds["python -m email_validator (stdin)"])
    print(
        "| Configuration | addresses/s | x plain loop | x faster caching peer | "
        "DNS queries/address | first line | load |"
    )
    print("|---|---|---|---|---|---|---|")
    for label, result in results:
        rate = len(addresses) / result.seconds
        versus_loop = f"{loop / result.seconds:.2f}x" if loop == loop else "-"
        print(
            f"| {label} | {rate:,.0f} | {versus_loop} | "
            f"{peer / result.seconds:.2f}x | {result.queries / len(addresses):.3f} | "
            f"{result.first_line:.2f} s | {result.load:.1f} |"
        )
    print()
    defaults = seconds["quillon check (defaults)"]
    print(
        f"The defaults are {seconds['quillon check --jobs 1'] / defaults:.2f}x --jobs 1; "
        f"--processes 2 is {defaults / seconds['quillon check --processes 2']:.2f}x the defaults."
    )
    print(f"A cache that asks once per domain and type needs {ideal:.3f} queries per address.")
    print(
        f"Parts, timed in one process over 2,000 of the addresses: "
        f"{parts.syntax * 1e6:.0f} us an address with deliverability off, "
        f"{parts.cached * 1e6:.0f} us with every answer from the resolver's cache, "
        f"{parts.asked * 1e6:.0f} us with every answer from the server."
    )
    # A remembered domain costs nothing but the syntax check; a cached
    # answer costs what dnspython's cache takes on top of it.
    print(
        f"An address of a remembered domain can be at most {parts.cached / parts.syntax:.2f}x "
        f"a cached one, and {parts.asked / parts.syntax:.2f}x one asked for."
    )
    print(
        f"Two processes did {capacity:.2f}x the pure-Python work of one during the run "
        f"(2.00x on two idle cores): the bound of --processes 2."
    )
    if memory is not None:
        print(
            f"quillon check, {options.memory_addresses:,} addresses "
            f"(load {memory.load:.1f}): peak memory "
            f"{memory.max_rss_kb / 1024:.0f} MB, first line after {memory.first_line:.2f} s, "
            f"{options.memory_addresses / memory.seconds:,.0f} addresses/s, "
            f"{memory.queries / options.memory_addresses:.3f} queries/address"
        )


if __name__ == "__main__":
    main()
