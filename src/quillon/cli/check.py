"""``quillon check``: whether addresses are valid and deliverable, one line each."""

from __future__ import annotations

import argparse
import contextlib
import csv
import itertools
import json
import os
import shlex
import sys
import time
from collections.abc import Iterable, Iterator
from typing import TYPE_CHECKING, Any, BinaryIO, NamedTuple, TextIO

from quillon.cli._common import (
    EXIT_FAILED,
    EXIT_OK,
    EXIT_USAGE,
    UnfinishedError,
    UsageError,
    isatty,
    os_reason,
    positive_float,
    positive_int,
)

if TYPE_CHECKING:
    from quillon.bulk import Verdict

# Below this many addresses a check is over too soon for a progress line to help.
PROGRESS_THRESHOLD = 300
PROGRESS_INTERVAL = 0.1  # seconds
# Verdict lines written at once, unless the next one keeps them waiting.
OUTPUT_BLOCK = 256


def add_parser(commands: Any) -> None:
    check = commands.add_parser(
        "check",
        help="check whether addresses are valid and deliverable",
        description="Check each address with Contact.validate: its syntax, and whether "
        "its domain accepts mail (DNS look-ups, once per domain). Prints one "
        "line per address, in input order, as soon as it is known. Without "
        "addresses or --file, reads standard input unless it is a terminal. "
        "Exit status: 0 if all are valid, 1 if any is not, 2 for a usage error "
        "or an unreadable line, 3 when the check could not finish (a worker "
        "process ended).",
    )
    check.add_argument("addresses", nargs="*", metavar="ADDRESS", help="an address to check")
    check.add_argument(
        "--file",
        action="append",
        default=[],
        metavar="PATH",
        help="read more addresses from PATH, one a line ('-' for standard input); "
        "blank lines and lines starting with '#' are skipped",
    )
    check.add_argument(
        "--column",
        metavar="NAME_OR_NUMBER",
        help="read the files as CSV and check this column: a name from the header row, "
        "or a number counted from 1 (a first row whose field has no '@' is taken "
        "for a header)",
    )
    check.add_argument(
        "--header",
        action="store_true",
        help="with --column: the first row is a header, whatever it holds",
    )
    check.add_argument(
        "--timeout",
        type=positive_float,
        default=2.0,
        metavar="SECONDS",
        help="seconds allowed for each DNS look-up; a domain takes up to four "
        "(default: %(default)g)",
    )
    check.add_argument(
        "--jobs",
        type=positive_int,
        default=16,
        metavar="N",
        help="look up N domains at a time, in threads, ahead of their addresses (with "
        "--no-cache: check N addresses at a time) (default: %(default)s)",
    )
    check.add_argument(
        "--processes",
        type=positive_int,
        default=1,
        metavar="N",
        help="spread the addresses over N worker processes by domain, each with --jobs "
        "threads (default: %(default)s)",
    )
    check.add_argument(
        "--no-cache",
        dest="memo",
        action="store_false",
        help="ask DNS for every address instead of once per domain",
    )
    check.add_argument(
        "--strict",
        action="store_true",
        help="count an address whose deliverability is unknown (no DNS "
        "answer in time) as not valid",
    )
    check.add_argument(
        "--json",
        action="store_true",
        help='print one JSON object per line: {"address", "valid", "reason"}, '
        '"normalized" for a valid address, and "deliverability": '
        '"unknown" when DNS left it open',
    )
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


def _text_lines(name: str, stream: BinaryIO) -> Iterator[str | _Unreadable]:
    """Each line of ``stream`` as text, line ending kept, or why it is not."""
    for number, raw in enumerate(stream, 1):
        try:
            # A byte-order mark some editors put first is no part of an address.
            yield raw.decode("utf-8-sig" if number == 1 else "utf-8")
        except UnicodeDecodeError as exc:
            yield _Unreadable(
                f"{name}: line {number}", f"not UTF-8 text (byte {exc.start + 1}: {exc.reason})"
            )


def _list_addresses(name: str, stream: BinaryIO) -> Iterator[str | _Unreadable]:
    for line in _text_lines(name, stream):
        if isinstance(line, _Unreadable):
            yield line
            continue
        line = line.strip()
        if line and not line.startswith("#"):
            yield line


def _column_index(name: str, header: list[str], column: str) -> int:
    wanted = column.strip().casefold()
    for index, field in enumerate(header):
        if field == column or field.strip().casefold() == wanted:
            return index
    raise UsageError(f"{name} has no column {column!r} (its header: {', '.join(header)})")


def _csv_addresses(
    name: str, stream: BinaryIO, column: str, header: bool
) -> Iterator[str | _Unreadable]:
    unreadable: list[_Unreadable] = []

    def text() -> Iterator[str]:
        for line in _text_lines(name, stream):
            if isinstance(line, _Unreadable):
                unreadable.append(line)
                line = "\n"  # an empty row in its place
            yield line

    lines = text()
    first = next(lines, None)
    if first is None:
        return
    try:
        dialect: type[csv.Dialect] | csv.Dialect = csv.Sniffer().sniff(first, delimiters=",;\t|")
    except csv.Error:  # one column, or nothing to tell by
        dialect = csv.excel
    rows = csv.reader(itertools.chain([first], lines), dialect)
    index = int(column) - 1 if column.isdecimal() else None
    first_row = True
    for row in rows:
        yield from unreadable
        unreadable.clear()
        if not row:
            continue
        is_first, first_row = first_row, False
        if is_first and (index is None or header or (index < len(row) and "@" not in row[index])):
            if index is None:
                index = _column_index(name, row, column)
            continue
        assert index is not None
        if index >= len(row):
            yield _Unreadable(f"{name}: line {rows.line_num}", f"no column {column}")
        elif address := row[index].strip():
            yield address
    yield from unreadable


def _input_addresses(
    args: argparse.Namespace, lists: Iterable[tuple[str, BinaryIO]]
) -> Iterator[str | _Unreadable]:
    yield from args.addresses
    for name, stream in lists:
        try:
            if args.column is None:
                yield from _list_addresses(name, stream)
            else:
                yield from _csv_addresses(name, stream, args.column, args.header)
        except OSError as exc:
            raise UsageError(f"cannot read {name}: {os_reason(exc)}") from None
        except csv.Error as exc:
            raise UsageError(f"cannot read {name} as CSV: {exc}") from None


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
        self._next = 0.0

    def update(self, done: int) -> None:
        if (done if self._total is None else self._total) <= PROGRESS_THRESHOLD:
            return
        # A few times a second is all an eye can follow; the last count always.
        now = time.monotonic()
        if now < self._next and done != self._total:
            return
        self._next = now + PROGRESS_INTERVAL
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


def _format_verdict(verdict: Verdict, as_json: bool) -> str:
    if as_json:
        return json.dumps(verdict.record(), ensure_ascii=False)
    line = f"{verdict.address}\t{'valid' if verdict.valid else 'invalid'}\t{verdict.reason}"
    return f"{line}\tdeliverability unknown" if verdict.deliverability_unknown else line


class _Output:
    """Verdict lines written in blocks: when enough have gathered, and
    whenever the next verdict is not ready yet, so that a reader still sees
    each one as soon as it is known."""

    def __init__(self, stream: TextIO, progress: _Progress | None) -> None:
        self._stream = stream
        self._progress = progress
        self._lines: list[str] = []

    def add(self, line: str) -> None:
        self._lines.append(line)
        if len(self._lines) >= OUTPUT_BLOCK:
            self.flush()

    def flush(self) -> None:
        if self._progress is not None:
            self._progress.before_output()
        if self._lines:
            self._lines.append("")
            self._stream.write("\n".join(self._lines))
            self._lines.clear()
        self._stream.flush()


def run(args: argparse.Namespace) -> int:
    from quillon import bulk

    files = args.file
    if not args.addresses and not files:
        if sys.stdin is None or isatty(sys.stdin):
            raise UsageError("no addresses given (name them, use --file, or pipe a list in)")
        files = ["-"]
    if args.column is not None and (
        not args.column.strip() or (args.column.isdecimal() and int(args.column) < 1)
    ):
        raise UsageError(f"--column needs a name or a number from 1, not {args.column!r}")
    if args.column is not None:
        # `check --column email people.csv` would check the file's name.
        for argument in args.addresses:
            if os.path.isfile(argument):
                raise UsageError(
                    f"{argument} is a file, not an address: read it with --file "
                    f"{shlex.quote(argument)}"
                )
    progress = None
    if isatty(sys.stderr):
        total = None if files else len(args.addresses)
        progress = _Progress(total, sys.stderr, shares_terminal=isatty(sys.stdout))
    output = _Output(sys.stdout, progress)
    status, done = EXIT_OK, 0
    with contextlib.ExitStack() as stack:
        if progress is not None:
            stack.callback(progress.clear)
        stack.callback(output.flush)
        addresses = _input_addresses(args, _open_lists(files, stack))
        # closing() stops the checks still running as soon as the loop is
        # left, also by an interrupt, rather than whenever the generator is
        # collected.
        checked = stack.enter_context(
            contextlib.closing(
                bulk.check_in_order(
                    addresses,
                    args.timeout,
                    jobs=args.jobs,
                    processes=args.processes,
                    memo=args.memo,
                    on_wait=output.flush,
                )
            )
        )
        try:
            for done, (item, verdict) in enumerate(checked, 1):
                if isinstance(item, _Unreadable):
                    # In its place among the verdicts, also when both go to one file.
                    output.flush()
                    print(
                        f"quillon check: {item.place}: {item.reason}", file=sys.stderr, flush=True
                    )
                    status = EXIT_USAGE
                elif verdict is not None:
                    output.add(_format_verdict(verdict, args.json))
                    if not verdict.valid or (args.strict and verdict.deliverability_unknown):
                        status = max(status, EXIT_FAILED)
                if progress is not None:
                    progress.update(done)
        except bulk.WorkerLostError as exc:
            # Not 1: a script must tell a run cut short from a finished one.
            raise UnfinishedError(
                f"the check could not finish after {done} addresses: {exc}"
            ) from None
    if done == 0:
        raise UsageError("no addresses given (the files hold none)")
    return status
