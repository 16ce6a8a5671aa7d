"""Whatever the fields hold, `send` either refuses before connecting or a real
SMTP server receives exactly what was set: the named recipients in the
envelope and the headers, the subject, the file names and bytes, no other
header or part, no line over 998 bytes and no control character in a header
line or a command. Read back with both of the standard library's parsers."""

import email
import re
from email import policy
from email.header import decode_header, make_header
from email.utils import getaddresses

import idna
import pytest
from hypothesis import HealthCheck, event, example, given, settings
from hypothesis import strategies as st

from quillon.email import Email
from support import SANITIZED

pytestmark = pytest.mark.usefixtures("bounded_waits")

# Line ends of every reader, the other controls, and what is odd in a header.
CONTROLS = "\x00\x01\x08\t\n\r\x0b\x0c\x1b\x1c\x1d\x1e\x1f\x7f\x85\x9b\u2028\u2029\ud800\udfff"
ODD = " \t\xa0\u200b\ufeff\"'*%;,:<>()[]\\@=?ü€日"
# Line ends and controls as a header line or a command holds them once
# encoded: C0, DEL and C1 (U+0080 to U+009F as UTF-8), the line separators.
FORBIDDEN = re.compile("[\x00-\x08\x0a-\x1f\x7f-\x9f\u2028\u2029]")


def weighted(*choices):
    """One of the strategies, each drawn about as often as its weight says."""
    return st.sampled_from([one for weight, one in choices for _ in range(weight)]).flatmap(
        lambda one: one
    )


def spoil(values, odd=ODD):
    """The values with a control or an odd character put in somewhere."""
    junk = st.text(st.sampled_from(CONTROLS + odd), min_size=1, max_size=3)
    return st.builds(
        lambda text, bad, at: text[:at] + bad + text[at:], values, junk, st.integers(0, 30)
    )


# Mostly what a person might write (any letter, blanks and specials), now
# and then long, now and then with a control character in it.
odd_text = st.text(
    st.characters(exclude_categories=("Cs", "Cc")) | st.sampled_from(ODD), max_size=12
)
long_text = st.builds(lambda part, count: part * count, odd_text.filter(bool), st.integers(60, 300))
texts = weighted((8, odd_text), (2, long_text), (1, spoil(odd_text)))

# Addresses in ASCII letters, and now and then beyond ASCII: a local part
# in UTF-8 (which needs SMTPUTF8, offered by the server), a domain that IDNA
# takes (upper case, "ß" and a full-width stop included); names, subjects
# and file names in any letters.
local = st.text("abcxyz0189._%+-", min_size=1, max_size=12)
domain = st.from_regex(r"[a-z0-9]{1,10}(\.[a-z0-9]{1,8}){0,2}", fullmatch=True)
wide_local = st.text("abcxyz0189._%+-üÜéßжЯ日本", min_size=1, max_size=12)
wide_label = st.text("abc019üÜéßжЯ日本", min_size=1, max_size=10)
wide_domain = st.builds(
    "{}{}{}".format, wide_label, st.sampled_from([".", "．"]), domain | wide_label
)
address = weighted(
    (6, st.builds("{}@{}".format, local, domain)),
    (1, st.builds("{}@{}".format, wide_local, domain)),
    (1, st.builds("{}@{}".format, local, wide_domain)),
    (1, st.builds("{}@{}".format, wide_local, wide_domain)),
)
item = weighted(
    (12, address),
    (3, st.builds("{}<{}>".format, odd_text, address)),
    (3, st.builds('"{}"<{}>'.format, odd_text, address)),
    (1, spoil(address, odd=ODD.encode("ascii", "ignore").decode())),
    (
        1,
        st.sampled_from(
            ["evil:a@x.org", "<a@x.org", 'a"@x.org"b@y.org', "me@x.org>", "me@[192.0.2.1]"]
            + ["x@☃.com", "ü@-bü.de", "a@bü..de"]
        ),
    ),
)
items = st.lists(item, max_size=4)
recipients = weighted(
    (2, st.none()),
    (3, items),
    (1, items.map(tuple)),
    (3, st.builds(lambda parts, sep: sep.join(parts), items, st.sampled_from([",", ";", ", "]))),
    (1, st.lists(address, min_size=25, max_size=50)),
)
senders = weighted((8, item), (1, st.builds("{};{}".format, item, st.one_of(item, local))))
attachments = st.lists(st.tuples(texts, st.binary(max_size=40)), max_size=3)


def split_item(stored):
    """(display name, address) as the item names them."""
    if stored.endswith(">") and "<" in stored:
        at = stored.rindex("<")
        return re.sub(r'\\(.)|"', lambda m: m[1] or "", stored[:at]), stored[at + 1 : -1]
    return "", stored


def named(value):
    return [split_item(one) for one in value or () if one]


def unfold(raw):
    return re.sub(r"\r?\n(?=[ \t])", "", raw)


def decoded(text):
    return str(make_header(decode_header(text)))


def same_names(read, expected):
    # A name that spells an encoded word is decoded by every reader (README).
    return all(
        got == want or "=?" in want for (got, _), (want, _) in zip(read, expected, strict=True)
    ) and [a for _, a in read] == [a for _, a in expected]


def read_addresses(message, modern, name):
    if modern:
        header = message[name]
        return [] if header is None else [(a.display_name, a.addr_spec) for a in header.addresses]
    raw = message.get_all(name) or []
    return [(decoded(n), a) for n, a in getaddresses([unfold(one) for one in raw])]


def wire(pair):
    """(name, address) with the domain as it goes out: A-labels, IDNA 2008 after UTS #46."""
    name, address = pair
    local, _, domain = address.rpartition("@")
    if domain.isascii():
        return name, address
    return name, f"{local}@{idna.encode(domain, uts46=True).decode()}"


def check_received(received, transcript, mail):
    sender = wire(split_item(mail.from_))
    to, cc, bcc = ([wire(one) for one in named(value)] for value in (mail.to, mail.cc, mail.bcc))
    assert received.mail_from == sender[1]
    assert sorted(received.rcpt_tos) == sorted(a for _, a in to + cc + bcc)
    # A local part beyond ASCII goes out under SMTPUTF8, with UTF-8 headers.
    utf8 = not "".join(a for _, a in [sender, *to, *cc, *bcc]).isascii()
    assert {"SMTPUTF8", "BODY=8BITMIME"} & set(received.mail_options) == (
        {"SMTPUTF8", "BODY=8BITMIME"} if utf8 else set()
    )
    data = received.data
    assert max(map(len, data.split(b"\r\n"))) <= 998
    for line in transcript.split(b"\r\n"):
        if line[:4].upper() in (b"MAIL", b"RCPT", b"EHLO", b"HELO"):
            assert not FORBIDDEN.search(line.decode("utf-8", "replace")), line
    # Readers strip a file name's outer white space (README).
    files = [(f"{name}".strip(), content) for name, content in mail.attachments]
    for modern in (True, False):
        reading = policy.default if modern else policy.compat32
        message = (
            email.message_from_string(data.decode(), policy=reading)
            if utf8
            else email.message_from_bytes(data, policy=reading)
        )
        assert sorted(message.keys()) == sorted(
            ["Content-Type", "MIME-Version", "From", "Subject", "Date", "Message-ID"]
            + ["To"] * bool(to)
            + ["Cc"] * bool(cc)
        )
        assert same_names(read_addresses(message, modern, "From"), [sender])
        assert same_names(read_addresses(message, modern, "To"), to)
        assert same_names(read_addresses(message, modern, "Cc"), cc)
        subject = message["Subject"] if modern else decoded(unfold(message["Subject"]))
        # A subject's outer blanks may be lost, and an encoded word in it is decoded (README).
        if "=?" not in (mail.subject or ""):
            assert subject.strip(" \t") == (mail.subject or "").strip(" \t")
        body, *parts = message.get_payload()
        assert body.get_content_type() == "text/html"
        common = ["Content-Transfer-Encoding", "Content-Type", "MIME-Version"]
        assert [sorted(part.keys()) for part in (body, *parts)] == [common] + [
            ["Content-Disposition", *common]
        ] * len(parts)
        assert [(part.get_filename(), part.get_payload(decode=True)) for part in parts] == files
        if not modern:  # raw values, folds and all
            for part in message.walk():
                for name, value in part.items():
                    assert not FORBIDDEN.search(f"{name}: {unfold(value)}"), (name, value)


@settings(
    max_examples=30 if SANITIZED else 120,
    deadline=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
)
@given(
    from_=senders,
    to=recipients,
    cc=recipients,
    bcc=recipients,
    subject=st.none() | texts,
    attachments=attachments,
    server_suffix=weighted((20, st.just("")), (1, st.sampled_from(["\n", "\x00", "\u2028"]))),
)
@example(
    from_="Jürgen <j@x.org>",
    to='acme<me@x.org>; "b@x.org" <b@x.org>',
    cc=[f"recipient{i:03d}@example-dom.org" for i in range(40)],
    bcc=None,
    subject="  Hi  =?utf-8?q?x?=",
    attachments=[("o'brien.pdf", b"a"), ("a*b.txt", b"b"), ("é" * 400, b"c"), (5, b"")],
    server_suffix="",
)
def test_send_refuses_or_delivers_exactly_what_was_set(
    smtp_server, from_, to, cc, bcc, subject, attachments, server_suffix
):
    sessions, delivered = len(smtp_server.transcripts), len(smtp_server.messages)
    try:
        mail = Email(
            smtp_server.server_text + server_suffix,
            from_=from_,
            to=to,
            cc=cc,
            bcc=bcc,
            subject=subject,
            attachments=attachments,
        )
        mail.send()
    except ValueError as exc:
        assert str(exc).startswith(("message not sent: ", "from_ would keep "))
        assert (len(smtp_server.transcripts), len(smtp_server.messages)) == (sessions, delivered)
        event("refused: " + str(exc).split(" holds ")[-1].split(" (")[0][:40])
        return
    event("delivered")
    assert len(smtp_server.messages) == delivered + 1
    check_received(smtp_server.messages[-1], bytes(smtp_server.transcripts[-1]), mail)
