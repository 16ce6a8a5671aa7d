"""``quillon check``: whether addresses are valid and deliverable, one line each."""

from __future__ import annotations

import argparse
import contextlib
import json
import sys
from collections.abc import Iterable, Iterator
from typing import TYPE_CHECKING, Any, BinaryIO, NamedTuple, TextIO

from quillon.cli._common import (
    EXIT_FAILED, EXIT_OK, EXIT_USAGE, UsageError, isatty, os_reason, positive_int,
)

if TYPE_CHECKING:
    from quillon.bulk import Verdict

# Below this many addresses a check is over too soon for a progress line to help.
PROGRESS_THRESHOLD = 300


def add_parser(commands: Any) -> None:
    check = commands.add_parser(
        "check", help="check whether addresses are valid and deliverable",
        description="Check each address with Contact.validate: its syntax, and whether "
                    "its domain accepts mail (DNS look-ups). Prints one line per address, "
                    "in input order, as soon as it is known. Exit status: 0 if all are "
                    "valid, 1 if any is not, 2 for a usage error or an unreadable line.",
    )
    check.add_argument("addresses", nargs="*", metavar="ADDRESS", help="an address to check")
    check.add_argument(
        "--file", action="append", default=[], metavar="PATH",
        help="read more addresses from PATH, one a line ('-' for standard input); "
             "blank lines and lines starting with '#' are skipped",
    )
    check.add_argument(
        "--timeout", type=positive_int, default=2, metavar="N",
        help="seconds allowed for each DNS look-up; an address takes up to four "
             "(default: %(default)s)",
    )
    check.add_argument(
        "--jobs", type=positive_int, default=1, metavar="N",
        help="check N addresses at a time, in threads (default: %(default)s)",
    )
    check.add_argument(
        "--processes", type=positive_int, default=1, metavar="N",
        help="spread the addresses over N worker processes, each with --jobs threads "
             "and a DNS cache of its own (default: %(default)s)",
    )
    check.add_argument("--no-cache", dest="cache", action="store_false",
                       help="ask DNS every time instead of keeping answers for the run")
    check.add_argument("--strict", action="store_true",
                       help="count an address whose deliverability is unknown (no DNS "
                            "answer in time) as not valid")
    check.add_argument("--json", action="store_true",
                       help='print one JSON object per line: {"address", "valid", "reason"}, '
                            'and "deliverability": "unknown" when DNS left it open')
    check.set_defaults(run=run)


class _Unreadable(NamedTuple):
    """An input line that is not UTF-8 text, reported in its place."""

    place: str
    reason: str


def _open_lists(paths: Iterable[str], stack: contextlib.ExitStack) -> list[tuple[str, BinaryIO]]:
    # All opened up front, so that a missing file stops the command before
    # anything is checked; their lines are read as the checks go.
    lists = []
    for path in paths:
        if path == "-":
            lists.append(("<stdin>", sys.stdin.buffer))
            continue
        try:
            lists.append((path, stack.enter_context(open(path, "rb"))))
        except OSError as exc:
            raise UsageError(f"cannot read {path}: {os_reason(exc)}") from None
    return lists


def _input_lines(addresses: Iterable[str],
                 lists: Iterable[tuple[str, BinaryIO]]) -> Iterator[str | _Unreadable]:
    yield from addresses
    for name, stream in lists:
        try:
            for number, raw in enumerate(stream, 1):
                try:
                    # A byte-order mark some editors put first is no part of an address.
                    line = raw.decode("utf-8-sig" if number == 1 else "utf-8").strip()
                except UnicodeDecodeError as exc:
                    yield _Unreadable(f"{name}: line {number}",
                                      f"not UTF-8 text (byte {exc.start + 1}: {exc.reason})")
                    continue
                if line and not line.startswith("#"):
                    yield line
        except OSError as exc:
            raise UsageError(f"cannot read {name}: {os_reason(exc)}") from None


class _Progress:
    """A "checked N/TOTAL" line kept up to date on a terminal."""

    def __init__(self, total: int | None, stream: TextIO, *, shares_terminal: bool) -> None:
        # None while the input is still being read: the line then shows the
        # count alone, from the first address past the threshold.
        self._total = total
        self._stream = stream
        # When results go to the same terminal, the line is wiped before each
        # result so the two do not run into each other.
        self._shares_terminal = shares_terminal
        self._shown = False

    def update(self, done: int) -> None:
        if (done if self._total is None else self._total) <= PROGRESS_THRESHOLD:
            return
        of = "" if self._total is None else f"/{self._total}"
        self._stream.write(f"\rchecked {done}{of}")
        self._stream.flush()
        self._shown = True

    def clear(self) -> None:
        if self._shown:
            self._stream.write("\r\x1b[K")
            self._stream.flush()
            self._shown = False

    def before_output(self) -> None:
        if self._shares_terminal:
            self.clear()


def _format_verdict(address: str, verdict: Verdict, as_json: bool) -> str:
    if as_json:
        record: dict[str, object] = {"address": address, "valid": verdict.valid,
                                     "reason": verdict.reason}
        if verdict.deliverability_unknown:
            record["deliverability"] = "unknown"
        return json.dumps(record, ensure_ascii=False)
    line = f"{address}\t{'valid' if verdict.valid else 'invalid'}\t{verdict.reason}"
    return f"{line}\tdeliverability unknown" if verdict.deliverability_unknown else line


def run(args: argparse.Namespace) -> int:
    from quillon import bulk

    if not args.addresses and not args.file:
        raise UsageError("no addresses given (name them, or use --file)")
    progress = None
    if isatty(sys.stderr):
        total = None if args.file else len(args.addresses)
        progress = _Progress(total, sys.stderr, shares_terminal=isatty(sys.stdout))
    status, done = EXIT_OK, 0
    with contextlib.ExitStack() as stack:
        lines = _input_lines(args.addresses, _open_lists(args.file, stack))
        # closing() stops the checks still running as soon as the loop is
        # left, also by an interrupt, rather than whenever the generator is
        # collected.
        checked = stack.enter_context(contextlib.closing(bulk.check_in_order(
            lines, args.timeout, jobs=args.jobs, processes=args.processes, cache=args.cache)))
        if progress is not None:
            stack.callback(progress.clear)
        for done, (line, verdict) in enumerate(checked, 1):
            if progress is not None:
                progress.before_output()
            # Each line goes out when known, also into a pipe: a reader sees
            # the first verdicts at once rather than a buffer's worth later.
            if isinstance(line, _Unreadable):
                print(f"quillon check: {line.place}: {line.reason}", file=sys.stderr, flush=True)
                status = EXIT_USAGE
            elif verdict is not None:
                print(_format_verdict(line, verdict, args.json), flush=True)
                if not verdict.valid or (args.strict and verdict.deliverability_unknown):
                    status = max(status, EXIT_FAILED)
            if progress is not None:
                progress.update(done)
    if done == 0:
        raise UsageError("no addresses given (the files hold none)")
    return status
