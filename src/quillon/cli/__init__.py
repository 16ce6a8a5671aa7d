"""The ``quillon`` command: check addresses, send a message, run the demo.

Each command keeps its options, its run and its output in a module of its
own (``check``, ``send``, ``demo``); this one assembles them. A start-up
builds every command's parser, so those modules import what their runs need
(bulk checking, smtplib, the demo's servers) only in their runs.
"""

from __future__ import annotations

import argparse
import logging
import os
import sys
from collections.abc import Callable, Sequence
from typing import Any

from quillon.cli._common import (
    EXIT_FAILED,
    EXIT_INTERRUPTED,
    EXIT_OK,
    EXIT_UNFINISHED,
    EXIT_USAGE,
    UnfinishedError,
    UsageError,
)

__all__ = [
    "EXIT_FAILED",
    "EXIT_INTERRUPTED",
    "EXIT_OK",
    "EXIT_UNFINISHED",
    "EXIT_USAGE",
    "UnfinishedError",
    "UsageError",
    "build_parser",
    "main",
    "print_message",
]


class _Version(argparse._VersionAction):
    """``--version``, read from the installed metadata only when asked for:
    importlib.metadata takes longer to import than the rest of a check."""

    def __call__(
        self,
        parser: argparse.ArgumentParser,
        namespace: argparse.Namespace,
        values: str | Sequence[Any] | None,
        option_string: str | None = None,
    ) -> None:
        from quillon import __version__

        self.version = f"%(prog)s {__version__}"
        super().__call__(parser, namespace, values, option_string)


def __getattr__(name: str) -> Any:
    # The message printer is the send command's and the demo's: its mail
    # modules are imported when it is asked for.
    if name == "print_message":
        from quillon._message_view import print_message

        return print_message
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def build_parser() -> argparse.ArgumentParser:
    from quillon.cli import check, demo, send

    parser = argparse.ArgumentParser(
        prog="quillon",
        description="Check e-mail addresses and send e-mail over SMTP.",
    )
    parser.add_argument("--version", action=_Version)
    parser.add_argument(
        "-v",
        "--verbose",
        action="store_true",
        help="log each call into quillon.email and quillon.contact on stderr (DEBUG), "
        "and print the SMTP dialogue of send with the login masked",
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    check.add_parser(commands)
    send.add_parser(commands)
    demo.add_parser(commands)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # --help, --version and usage errors
        return exc.code if isinstance(exc.code, int) else EXIT_USAGE
    if args.verbose:
        logging.basicConfig(format="%(asctime)s %(name)s: %(message)s", stream=sys.stderr)
        logging.getLogger("quillon").setLevel(logging.DEBUG)
    run: Callable[[argparse.Namespace], int] = args.run
    try:
        return run(args)
    except UsageError as exc:
        print(f"quillon {args.command}: error: {exc}", file=sys.stderr)
        return EXIT_USAGE
    except UnfinishedError as exc:
        print(f"quillon {args.command}: error: {exc}", file=sys.stderr)
        return EXIT_UNFINISHED
    except KeyboardInterrupt:
        print("quillon: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (`quillon check ... | head`): stop quietly, and
        # keep the interpreter from complaining when it flushes stdout at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILED
