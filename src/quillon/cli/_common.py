"""What every command of ``quillon`` shares: exit codes, the usage error and
the small readers of options and system errors."""

from __future__ import annotations

import argparse
from typing import TextIO

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_UNFINISHED = 3
EXIT_INTERRUPTED = 130


class UsageError(Exception):
    """A problem with what the command line asks for, found after parsing."""


class UnfinishedError(Exception):
    """Work the command started and could not finish: what it wrote so far
    is right, but not all."""


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, not {value}")
    return value


def positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be more than 0, not {text}")
    return value


def isatty(stream: TextIO | None) -> bool:
    try:
        return stream is not None and stream.isatty()
    except ValueError:  # closed
        return False


def os_reason(exc: OSError | UnicodeError) -> str:
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror
    return str(exc) or type(exc).__name__
