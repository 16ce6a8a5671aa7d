"""Start-up: `quillon check ADDRESS` against `python -m email_validator ADDRESS`
for one address, each a command of its own, timed from start to exit.

    uv run python benchmarks/startup.py [--runs N] [--address ADDRESS]

Neither may ask the machine's resolver. email_validator's command line is
told not to look the domain up (CHECK_DELIVERABILITY=0, its own setting);
`quillon check` has no such switch (it answers what Contact.validate
answers, deliverability included), so every command runs in a network
namespace of its own, where only the loopback interface exists: its look-up
fails at once (no route to any name server) and the address comes out valid
with its deliverability unknown. quillon thus does a little more than its
peer (a resolver made, a question that fails), and the ratio errs against it.
The script starts itself again under `unshare --net` (as root, else with
`--map-root-user`) and refuses to run where that is not possible.

The rows run in turn, round after round, so that a change of the machine's
load falls on all of them alike; each row's figure is the median of its
runs, and the ratio is against email_validator's command line. Also shown:
the interpreter alone (`python -c pass`), email_validator's command line
with its look-up failing as quillon's does, and what `import quillon.bulk`
and `import email_validator` cost on their own. "load" is the one-minute
load average before the first round and after the last.
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

ISOLATED = "QUILLON_STARTUP_ISOLATED"


def interfaces() -> list[str]:
    # This process's network namespace's, as /sys/class/net need not show them.
    with open("/proc/self/net/dev") as table:
        return [line.partition(":")[0].strip() for line in table if ":" in line]


def isolated() -> bool:
    # A network namespace of our own holds the loopback interface alone.
    return os.environ.get(ISOLATED) == "1" and interfaces() == ["lo"]


def start_isolated() -> int:
    unshare = shutil.which("unshare")
    if unshare is None or not sys.platform.startswith("linux"):
        sys.exit("startup.py: needs Linux and unshare(1), to keep DNS off the network")
    as_root = [] if os.geteuid() == 0 else ["--map-root-user"]
    command = [unshare, "--net", *as_root, sys.executable, *sys.argv]
    status = subprocess.run(command, env={**os.environ, ISOLATED: "1"}, check=False).returncode
    if status and not os.environ.get(ISOLATED):
        print(f"startup.py: {' '.join(command[:3])} failed (status {status})", file=sys.stderr)
    return status


def rows(address: str) -> dict[str, tuple[list[str], dict[str, str], str | None]]:
    """Each row's command, the environment it adds, and its expected output."""
    python = sys.executable
    quillon = str(Path(python).with_name("quillon"))
    return {
        "python -c pass": ([python, "-c", "pass"], {}, ""),
        "python -m email_validator (CHECK_DELIVERABILITY=0)": (
            [python, "-m", "email_validator", address],
            {"CHECK_DELIVERABILITY": "0"},
            None,
        ),
        "python -m email_validator (look-up fails at once)": (
            [python, "-m", "email_validator", address],
            {},
            None,
        ),
        "quillon check (look-up fails at once)": (
            [quillon, "check", address],
            {},
            f"{address}\tvalid\tValid\tdeliverability unknown\n",
        ),
        "python -c 'import email_validator'": ([python, "-c", "import email_validator"], {}, ""),
        "python -c 'import quillon.bulk'": ([python, "-c", "import quillon.bulk"], {}, ""),
    }


BASELINE = "python -m email_validator (CHECK_DELIVERABILITY=0)"


def run_once(command: list[str], env: dict[str, str], expected: str | None) -> float:
    started = time.perf_counter()
    done = subprocess.run(command, env=env, capture_output=True, text=True, check=False)
    elapsed = time.perf_counter() - started
    if done.returncode != 0 or done.stderr or (expected is not None and done.stdout != expected):
        sys.exit(
            f"startup.py: {' '.join(command)} answered {done.returncode} "
            f"{done.stdout!r} {done.stderr!r}, not {expected!r}"
        )
    return elapsed


def load() -> float:
    return os.getloadavg()[0]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.partition("\n")[0])
    parser.add_argument("--runs", type=int, default=21, help="runs of each row (default 21)")
    parser.add_argument("--address", default="a@b.org", help="the address (default a@b.org)")
    options = parser.parse_args()
    if not isolated():
        return start_isolated()
    table = rows(options.address)
    base_env = {name: value for name, value in os.environ.items() if name != ISOLATED}
    base_env.pop("CHECK_DELIVERABILITY", None)
    times: dict[str, list[float]] = {name: [] for name in table}
    load_before = load()
    for command, env, expected in table.values():  # one untimed run each: warm caches
        run_once(command, {**base_env, **env}, expected)
    for _ in range(options.runs):
        for name, (command, env, expected) in table.items():
            times[name].append(run_once(command, {**base_env, **env}, expected))
    load_after = load()
    baseline = statistics.median(times[BASELINE])
    print(f"{options.runs} runs each, address {options.address}, load {load_before:.2f} before,")
    print(f"{load_after:.2f} after; median and quartiles in ms, ratio to the baseline's median")
    print()
    print("| Command | median ms | quartiles ms | / email_validator |")
    print("|---|---|---|---|")
    for name, samples in times.items():
        median = statistics.median(samples)
        low, _, high = statistics.quantiles(samples, n=4)
        print(
            f"| {name} | {1000 * median:.0f} | {1000 * low:.0f}-{1000 * high:.0f} "
            f"| {median / baseline:.2f}x |"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
