"""Contact against the real email_validator and a name server on loopback."""

import time

import email_validator
import pytest

import quillon.contact as contact
from quillon import _loopback
from quillon.contact import Contact


@pytest.fixture(autouse=True)
def real_library():
    assert contact.validate_email is email_validator.validate_email
    assert contact.ValidatedEmail is email_validator.ValidatedEmail


@pytest.mark.parametrize(("domain", "expected", "queries"), [
    (_loopback.MX_DOMAIN, (True, "Valid"), ["MX"]),
    (_loopback.UNKNOWN_DOMAIN, (False, f"The domain name {_loopback.UNKNOWN_DOMAIN} does not exist"),
     ["MX"]),
    (_loopback.A_ONLY_DOMAIN, (True, "Valid"), ["MX", "A", "TXT"]),
    (_loopback.NULL_MX_DOMAIN,
     (False, f"The domain name {_loopback.NULL_MX_DOMAIN} does not accept email"), ["MX"]),
    (_loopback.PRIVATE_A_DOMAIN,
     (False, f"The domain name {_loopback.PRIVATE_A_DOMAIN} does not accept email"),
     ["MX", "A", "AAAA"]),
    (_loopback.SPF_REJECT_DOMAIN,
     (False, f"The domain name {_loopback.SPF_REJECT_DOMAIN} does not send email"), ["MX", "A", "TXT"]),
], ids=["mx", "nxdomain", "a-fallback", "null-mx", "private-a", "spf-reject"])
def test_deliverability_answers(dns_server, domain, expected, queries):
    address = f"someone@{domain}"
    assert Contact.validate(address, timeout=5) == expected
    assert dns_server.queries == [(domain, rdtype) for rdtype in queries]
    dns_server.queries.clear()
    assert Contact(address).is_valid is expected[0]
    assert len(dns_server.queries) == len(queries)  # nothing is cached


def test_silent_server_is_bounded_by_the_timeout(dns_server):
    # The library counts a time-out as "deliverability unknown" and lets the
    # address through.
    start = time.monotonic()
    result = Contact.validate(f"someone@{_loopback.SILENT_DOMAIN}", timeout=1)
    elapsed = time.monotonic() - start
    assert result == (True, "Valid")
    assert 0.9 <= elapsed < 2.5
    assert dns_server.queries[0] == (_loopback.SILENT_DOMAIN, "MX")


@pytest.mark.parametrize(("address", "message"), [
    ("someone", "An email address must have an @-sign"),
    ("someone@", "There must be something after the @-sign"),
    ("some one@mx.example", "The email address contains invalid characters before the @-sign: SPACE"),
    ("someone@mx..example", "An email address cannot have two periods in a row"),
    ("someone@mx.test",
     "The part after the @-sign is a special-use or reserved name that cannot be used with email"),
], ids=["no-at", "no-domain", "space", "double-dot", "special-use"])
def test_syntax_errors_send_no_query(dns_server, address, message):
    assert Contact.validate(address) == (False, message)
    assert Contact(address).is_valid is False
    assert dns_server.queries == []
