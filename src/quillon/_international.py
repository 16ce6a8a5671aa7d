"""Addresses beyond ASCII: domains go out as A-labels, local parts through SMTPUTF8.

``Email.send`` hands a message whose address headers hold such text to
``hand_over_form`` before it connects, and a failed hand-over of the form it
got back to ``explain_refusal``. ``transfer_form`` is the one decision of
what MAIL FROM says and which bytes DATA carries, for any client that speaks
SMTP itself (the outbox uses it).
"""

from __future__ import annotations

import copy
import email.message
import email.policy
import email.utils
import functools
import smtplib
from collections.abc import Sequence

# The address headers with the field each comes from, in the order the
# refusals name them.
_ADDRESS_HEADERS = (("From", "from_"), ("To", "to"), ("Cc", "cc"), ("Bcc", "bcc"))
_ADDRESS_NAMES = frozenset(
    ["from", "to", "cc", "bcc", "sender", "reply-to", "resent-from", "resent-to", "resent-cc"]
)

# RFC 1035: longer is refused before IDNA looks at it, whose work on one long
# label grows faster than its length.
_DOMAIN_MAX_LENGTH = 255

# RFC 5322: the longest a line may be, its CRLF aside, and the width
# headers are folded to where their blanks allow.
_LINE_LIMIT = 998
_FOLD_WIDTH = 78
# A word of an encoded header longer than this stays encoded.
_WORD_LIMIT = 900


@functools.lru_cache(maxsize=1024)
def ascii_domain(domain: str) -> str:
    """The domain as DNS and every SMTP server take it.

    IDNA 2008 A-labels after the UTS #46 mapping (case folding, NFC, the
    other full stops read as "."), as email_validator writes it:
    "Bücher.de" becomes "xn--bcher-kva.de". An ASCII domain is returned as
    it is. ``ValueError`` with IDNA's reason for a domain it refuses.
    """
    if domain.isascii():
        return domain
    if len(domain) > _DOMAIN_MAX_LENGTH:
        raise ValueError(f"it is longer than {_DOMAIN_MAX_LENGTH} characters")
    import idna

    try:
        mapped = idna.uts46_remap(domain, std3_rules=False, transitional=False)
        return ".".join(idna.alabel(label).decode("ascii") for label in mapped.split("."))
    except idna.IDNAError as exc:
        raise ValueError(str(exc)) from None


# What makes an item more than a bare address to the header parser.
_SPECIALS = frozenset('()<>[]:;,"\\ \t')


def _one_address(item: str) -> str | None:
    local, at, domain = item.partition("@")
    if local and domain and "@" not in domain and _SPECIALS.isdisjoint(item):
        return item  # as getaddresses reads it, without the parse
    pairs = email.utils.getaddresses([item])
    return pairs[0][1] if len(pairs) == 1 and pairs[0][1] else None


def _with_ascii_domain(item: str, field: str) -> tuple[str, str | None]:
    """The header item with its address's domain as A-labels, and that address."""
    address = _one_address(item)
    if address is None:
        return item, None
    local, at, domain = address.rpartition("@")
    if not at or domain.isascii():
        return item, address
    try:
        written_domain = ascii_domain(domain)
    except ValueError as exc:
        raise ValueError(
            f"message not sent: {item!r} in {field} has a domain that IDNA refuses "
            f"({exc}), so it cannot be written in ASCII"
        ) from None
    # The item keeps its other parts (a name, a comment) when the one
    # domain replaced reads back as the address; otherwise the bare address.
    written = f"{local}@{written_domain}"
    if item == address:
        return written, written
    head, found, tail = item.rpartition(f"@{domain}")
    rewritten = f"{head}@{written_domain}{tail}"
    if not found or _one_address(rewritten) != written:
        rewritten = written
    return rewritten, written


def hand_over_form(message: email.message.Message) -> email.message.Message:
    """What the SMTP client is given for ``message``, whose address headers hold text beyond ASCII.

    Every domain beyond ASCII is written as A-labels in the address headers,
    in place, since ``send_message`` takes the envelope from them and RFC
    2047 may not encode an address; the sender's then also names the
    Message-ID; a name beyond ASCII before such an address is then written
    as encoded words. A local part beyond ASCII needs SMTPUTF8: then the
    result is a copy under a UTF-8 policy (``_AsWritten``), on which
    ``send_message`` takes that route (with the message's own compat32
    policy it fails). Otherwise it is ``message`` itself. A list that a
    longer domain or UTF-8 takes past the line limit is joined at ", ".
    ``ValueError`` for a domain IDNA refuses.
    """
    if not isinstance(message, email.message.Message):
        return message  # a stand-in for the container: handed over as it is
    utf8 = False
    lists: list[tuple[str, str, list[str]]] = []
    for header, field in _ADDRESS_HEADERS:
        value = message[header]
        if not isinstance(value, str) or value.isascii():
            continue
        items = []
        # The recipient fields hold no ',' of their own: they were split at it.
        for item in value.split(","):
            rewritten, address = _with_ascii_domain(item, field)
            items.append(rewritten)
            utf8 = utf8 or (address is not None and not address.isascii())
            if header == "From" and address is not None:
                _rename_message_id(message, address.rpartition("@")[2])
        lists.append((header, value, items))
    for header, value, items in lists:
        if not utf8:
            # Headers in ASCII: a name beyond ASCII before an address that
            # now is ASCII goes as encoded words, the address in clear.
            items = [_encoded_name(item) for item in items]
        written = _address_list(header, items)
        if written != value:
            message.replace_header(header, written)
    if not utf8:
        return message
    form = copy.copy(message)
    # A new list: the copy shares the original's.
    form._headers = list(message.raw_items())  # type: ignore[attr-defined]
    form.policy = _AS_WRITTEN
    return form


def _header_text(name: str, value: object) -> str:
    """What a header value of the compat32 message is, as text to write in UTF-8.

    None (an unset subject) is empty, as compat32 writes it. Text beyond
    ASCII, a Header object's included, goes out as it reads, unless it holds
    a control character or a word too long for a line: that stays encoded
    words, as compat32 writes it. An address header is always text: an
    encoded word may not hold an address.
    """
    if value is None:
        return ""
    text = value if isinstance(value, str) else str(value)
    if text.isascii() and isinstance(value, str):
        return text
    fits = all(
        len(word.encode("utf-8", "surrogatepass")) <= _WORD_LIMIT for word in text.split(" ")
    )
    plain = fits and text.isprintable() and text.strip() == text
    if plain or name.lower() in _ADDRESS_NAMES:
        return text
    from email.header import Header

    header = value if isinstance(value, Header) else Header(text, "utf-8")
    # Encoded words with one blank between them, as the other headers hold them.
    return header.encode(linesep="")


def _folded(name: str, text: str, linesep: str) -> str:
    """``name: text`` folded at its blanks to lines of about 78 characters.

    Only line breaks are added, before a blank: every reader unfolds the
    header to the same text, which compat32 prepared for the line limits.
    """
    lines, line = [], f"{name}:"
    for word in f" {text}".split(" ")[1:]:
        if word and len(line) + 1 + len(word) > _FOLD_WIDTH and line.strip(" ") != f"{name}:":
            lines.append(line)
            line = ""
        line += f" {word}"
    return linesep.join([*lines, line]) + linesep


class _AsWritten(email.policy.EmailPolicy):
    """The SMTPUTF8 policy for a compat32 message: its headers as it holds them.

    The modern policy parses a long header anew and folds what it read:
    that decodes the encoded words and RFC 2231 file names that compat32
    wrote (controls come out raw, a name's quotes are lost, continuations
    are misread). Here the text stays as it is, folded at blanks only, and
    goes out in UTF-8.
    """

    def fold(self, name: str, value: object) -> str:
        return _folded(name, _header_text(name, value), self.linesep)

    def fold_binary(self, name: str, value: object) -> bytes:
        return self.fold(name, value).encode("utf-8", "surrogateescape")


_AS_WRITTEN = _AsWritten(linesep="\r\n", utf8=True)


def _encoded_name(item: str) -> str:
    """``item`` with its display name as RFC 2047 encoded words, when only the name is beyond ASCII.

    compat32 would encode the whole item as one word, address and all, and
    no reader would find the address in it.
    """
    if item.isascii() or not item.endswith(">"):
        return item
    pairs = email.utils.getaddresses([item])
    if len(pairs) != 1:
        return item
    name, address = pairs[0]
    if not address or not address.isascii() or name.isascii():
        return item
    from email.header import Header

    return f"{Header(name, 'utf-8').encode(linesep='')} <{address}>"


def _address_list(header: str, items: list[str]) -> str:
    """The items joined with ",", or with ", " where the line would pass 998 bytes.

    A-labels are longer than the domains they stand for, and UTF-8 takes
    more bytes than characters: a list that fitted may no longer. Both
    policies fold at the blanks; without them neither can.
    """
    joined = ",".join(items)
    if len(header) + 2 + len(joined.encode("utf-8", "surrogatepass")) <= _LINE_LIMIT:
        return joined
    return ", ".join(item.lstrip(" ") for item in items)


def _rename_message_id(message: email.message.Message, domain: str) -> None:
    # An address beyond ASCII did not name the Message-ID: its domain does
    # when it is a host name in ASCII, as an A-label now is.
    usable = domain.isascii() and domain.replace(".", "").replace("-", "").isalnum()
    if usable and str(message.get("Message-ID", "")).endswith("@localhost>"):
        message.replace_header("Message-ID", email.utils.make_msgid(domain=domain))


def _needing_smtputf8(message: email.message.Message) -> list[str]:
    """The addresses of the headers whose local part is beyond ASCII, with their fields."""
    needing = []
    for header, field in _ADDRESS_HEADERS:
        value = message[header]
        if isinstance(value, str) and not value.isascii():
            needing += [
                f"{address!r} in {field}"
                for _, address in email.utils.getaddresses([value])
                if not address.isascii()
            ]
    return needing


def smtputf8_not_offered(
    server: object, message: email.message.Message
) -> smtplib.SMTPNotSupportedError:
    """The refusal of a message that needs SMTPUTF8 by a server that does not offer it."""
    needing = _needing_smtputf8(message) or ["an address"]
    verb = "needs" if len(needing) == 1 else "need"
    return smtplib.SMTPNotSupportedError(
        f"message not sent: {server} does not offer SMTPUTF8, which {', '.join(needing)} "
        f"{verb} for a local part beyond ASCII; nothing was sent"
    )


def explain_refusal(
    exc: BaseException, server: object, form: email.message.Message
) -> BaseException:
    """What ``send`` raises in place of ``exc`` for a form that needs SMTPUTF8.

    smtplib's refusal before MAIL FROM names neither the server nor the
    address; any other exception, ours from ``transfer_form`` included, is
    returned as it is.
    """
    text = str(exc)
    if (
        type(exc) is not smtplib.SMTPNotSupportedError
        or "SMTPUTF8" not in text
        or text.startswith("message not sent: ")
    ):
        return exc
    refusal = smtputf8_not_offered(server, form)
    refusal.__cause__ = exc
    return refusal


def transfer_form(
    message: email.message.Message,
    sender: str,
    recipients: Sequence[str],
    *,
    smtputf8: bool,
    server: object = None,
) -> tuple[tuple[str, ...], bytes]:
    """The MAIL FROM options and the DATA bytes for ``message``, as ``send_message`` makes them.

    No Bcc header, CRLF lines. An envelope address beyond ASCII takes
    SMTPUTF8 and BODY=8BITMIME with the headers in UTF-8, which the server
    must offer (``smtputf8``): otherwise ``SMTPNotSupportedError`` naming
    ``server`` and the address, before anything is sent. The message's
    policy must allow UTF-8 then (``hand_over_form`` gives such a form);
    with compat32 this fails with ``send_message``'s own TypeError.
    """
    import email.generator
    import io

    copied = copy.copy(message)
    del copied["Bcc"]
    del copied["Resent-Bcc"]
    international = not "".join([sender, *recipients]).isascii()
    if international and not smtputf8:
        raise smtputf8_not_offered(server, message)
    with io.BytesIO() as stream:
        if international:
            policy = message.policy.clone(utf8=True)  # type: ignore[call-arg]
            email.generator.BytesGenerator(stream, policy=policy).flatten(copied, linesep="\r\n")
            return ("SMTPUTF8", "BODY=8BITMIME"), stream.getvalue()
        email.generator.BytesGenerator(stream).flatten(copied, linesep="\r\n")
        return (), stream.getvalue()
