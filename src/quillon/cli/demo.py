"""``quillon demo``: send and check on loopback servers started in this process."""

from __future__ import annotations

import argparse
import sys
from typing import Any


def add_parser(commands: Any) -> None:
    demo = commands.add_parser(
        "demo",
        help="send and check on loopback servers started in this process",
        description="Start an SMTP and a DNS server on 127.0.0.1, send a message through "
        "them and check a few addresses. Needs the 'demo' extra (aiosmtpd).",
    )
    demo.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    from quillon import _demo

    return _demo.run(sys.stdout)
