"""A message as its receiver sees it: envelope, headers and parts, as text.

Shared by ``quillon send --dry-run`` and ``quillon demo``.
"""

from __future__ import annotations

import email
import email.message
from collections.abc import Sequence
from typing import TextIO


def parse_wire(data: bytes) -> email.message.Message:
    """A message from the bytes that crossed the wire.

    Headers that SMTPUTF8 carried in UTF-8 are read as such: the bytes
    parser would keep each of their bytes as a surrogate.
    """
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        return email.message_from_bytes(data)
    return email.message_from_string(text)


def print_message(
    sender: str, recipients: Sequence[str], message: email.message.Message, out: TextIO
) -> None:
    """The envelope, headers and parts of a message as a receiver sees them."""
    print(f"  envelope sender:     {sender}", file=out)
    print(f"  envelope recipients: {', '.join(recipients)}", file=out)
    print("  headers:", file=out)
    for name, value in message.items():
        print(f"    {name}: {value}", file=out)
    if message.get_all("Bcc") is None:
        shown = _header_recipients(message)
        bcc_only = [address for address in recipients if address not in shown]
        print(
            f"    (no Bcc header: {', '.join(bcc_only) or 'nobody'} appears only in the envelope)",
            file=out,
        )
    print("  parts:", file=out)
    parts = [part for part in message.walk() if not part.is_multipart()]
    for number, part in enumerate(parts, 1):
        payload = part.get_payload(decode=True)
        size = len(payload) if isinstance(payload, bytes) else 0
        file_name = part.get_filename()
        label = f"  {file_name}" if file_name is not None else ""
        print(f"    {number}. {part.get_content_type()}{label}  ({size} bytes)", file=out)


def _header_recipients(message: email.message.Message) -> set[str]:
    """The recipients smtplib would take from the message's own headers."""
    # Imported here: the command line imports this module at every start.
    from quillon.smtp._protocol import envelope

    try:
        return set(envelope(message, from_addr="")[1])
    except ValueError:  # more than one Resent- block: smtplib would take none
        return set()
