"""The loopback peers answer like real ones; email_validator's verdicts through them,
and Contact's."""

import smtplib
import threading
import time

import dns.resolver
import pytest
from email_validator import EmailSyntaxError, EmailUndeliverableError, validate_email

import quillon.contact as contact
from quillon import _loopback as lb
from quillon.contact import Contact
from support import run_python


def elapsed(action):
    start = time.monotonic()
    action()
    return time.monotonic() - start


class TestDnsServer:
    @pytest.mark.parametrize(
        ("name", "rdtype", "expected"),
        [
            (lb.MX_DOMAIN, "MX", {"10 mail.mx.example.", "20 backup.mx.example."}),
            (lb.NULL_MX_DOMAIN, "MX", {"0 ."}),
            (lb.A_ONLY_DOMAIN, "A", {lb.PUBLIC_IPV4}),
            (lb.AAAA_ONLY_DOMAIN, "AAAA", {lb.PUBLIC_IPV6}),
            (lb.SPF_REJECT_DOMAIN, "TXT", {'"v=spf1 -all"'}),
            ("MX.Example.", "MX", {"10 mail.mx.example.", "20 backup.mx.example."}),
            (lb.UNKNOWN_DOMAIN, "MX", dns.resolver.NXDOMAIN),
            ("example", "MX", dns.resolver.NoAnswer),  # exists only through names below it
            (lb.NO_RECORDS_DOMAIN, "MX", dns.resolver.NoAnswer),
            (lb.A_ONLY_DOMAIN, "MX", dns.resolver.NoAnswer),
            (lb.SERVFAIL_DOMAIN, "MX", dns.resolver.NoNameservers),
            (lb.TRUNCATED_DOMAIN, "MX", dns.resolver.NoNameservers),  # no TCP to retry on
        ],
    )
    def test_answers(self, dns_server, name, rdtype, expected):
        if not isinstance(expected, set):
            with pytest.raises(expected):
                dns.resolver.resolve(name, rdtype)
            return
        answer = dns.resolver.resolve(name, rdtype)
        # Compression may carry the question's letter case into the data.
        assert {rdata.to_text().lower() for rdata in answer} == expected
        assert dns_server.queries == [(name.rstrip("."), rdtype)]

    @pytest.mark.parametrize("name", [lb.SILENT_DOMAIN, lb.GARBAGE_DOMAIN])
    def test_unanswered_query_times_out_within_lifetime(self, dns_server, name):
        def resolve():
            with pytest.raises(dns.resolver.LifetimeTimeout):
                dns.resolver.resolve(name, "MX", lifetime=0.5)

        assert elapsed(resolve) < 1.0

    def test_latency_holds_each_reply_back_and_questions_asked_at_once_overlap(
        self, make_dns_server
    ):
        server = make_dns_server(latency=0.3)
        names = [lb.MX_DOMAIN, lb.A_ONLY_DOMAIN, lb.NULL_MX_DOMAIN, lb.NO_RECORDS_DOMAIN]
        took = {}

        def resolve(name):
            took[name] = elapsed(
                lambda: dns.resolver.resolve(name, "MX", lifetime=5, raise_on_no_answer=False)
            )

        threads = [threading.Thread(target=resolve, args=(name,)) for name in names]
        # One after another the four would take 1.2 s.
        assert elapsed(lambda: [t.start() for t in threads] + [t.join() for t in threads]) < 0.9
        assert len(took) == 4 and min(took.values()) >= 0.3
        assert sorted(server.queries) == sorted((name, "MX") for name in names)
        with pytest.raises(ValueError, match="latency must be at least 0"):
            lb.DnsServer(latency=-1)

    def test_use_resolver_restores_previous_default(self, make_dns_server):
        before = dns.resolver.default_resolver
        server = make_dns_server(resolve=False)
        with pytest.raises(KeyError), lb.use_resolver(server) as resolver:
            assert dns.resolver.get_default_resolver() is resolver
            assert resolver.port == server.port and resolver.cache is None
            raise KeyError
        assert dns.resolver.default_resolver is before

    def test_stops_promptly_and_by_itself(self):
        server = lb.DnsServer()
        assert elapsed(lambda: server.__enter__().stop()) < 0.5
        assert not server.running
        with lb.DnsServer(lifetime=0.2) as server:
            time.sleep(0.4)
            assert not server.running


SPECIAL_USE = (
    "The part after the @-sign is a special-use or reserved name that cannot be used with email."
)


class TestValidateEmailThroughDns:
    """email_validator's verdicts through the loopback DNS, and Contact's view of them."""

    def contact_agrees(self, dns_server, address, expected, queries):
        # Each call asks again: nothing is cached.
        assert contact.validate_email is validate_email
        for check in (
            lambda: Contact.validate(address, timeout=5),
            lambda: (Contact(address).is_valid, expected[1]),
        ):
            dns_server.queries.clear()
            status, message = check()
            assert (status, message) == expected and type(status) is bool
            assert dns_server.queries == queries

    @pytest.mark.parametrize(
        ("domain", "verdict", "queries"),
        [
            (lb.MX_DOMAIN, ([(10, "mail.mx.example"), (20, "backup.mx.example")], None), ["MX"]),
            (lb.A_ONLY_DOMAIN, ([(0, lb.A_ONLY_DOMAIN)], "A"), ["MX", "A", "TXT"]),
            (lb.AAAA_ONLY_DOMAIN, ([(0, lb.AAAA_ONLY_DOMAIN)], "AAAA"), ["MX", "A", "AAAA", "TXT"]),
            (lb.UNKNOWN_DOMAIN, "The domain name unknown.example does not exist.", ["MX"]),
            (lb.NULL_MX_DOMAIN, "The domain name null-mx.example does not accept email.", ["MX"]),
            (
                lb.NO_RECORDS_DOMAIN,
                "The domain name no-records.example does not accept email.",
                ["MX", "A", "AAAA"],
            ),
            # Only globally reachable addresses count in the A fallback.
            (
                lb.PRIVATE_A_DOMAIN,
                "The domain name private-a.example does not accept email.",
                ["MX", "A", "AAAA"],
            ),
            (
                lb.SPF_REJECT_DOMAIN,
                "The domain name spf-reject.example does not send email.",
                ["MX", "A", "TXT"],
            ),
        ],
    )
    def test_deliverability(self, dns_server, domain, verdict, queries):
        address = f"user@{domain}"
        if isinstance(verdict, str):
            with pytest.raises(EmailUndeliverableError) as caught:
                validate_email(address, check_deliverability=True, timeout=2)
            assert str(caught.value) == verdict
            expected = (False, verdict.rstrip("."))
        else:
            result = validate_email(address, check_deliverability=True, timeout=2)
            assert (result.mx, result.mx_fallback_type) == verdict
            expected = (True, "Valid")
        queries = [(domain, rdtype) for rdtype in queries]
        assert dns_server.queries == queries
        self.contact_agrees(dns_server, address, expected, queries)

    # A time-out (silent; garbage is ignored, so it times out alike) and no
    # usable server (SERVFAIL, truncated) both count as "deliverability
    # unknown": the address passes, with no mx attribute at all, and Contact
    # lets it through. Only a peer that never answers makes either wait the
    # whole time-out.
    @pytest.mark.parametrize(
        "domain", [lb.SILENT_DOMAIN, lb.GARBAGE_DOMAIN, lb.SERVFAIL_DOMAIN, lb.TRUNCATED_DOMAIN]
    )
    def test_unknown_deliverability_passes(self, dns_server, domain):
        address, results = f"user@{domain}", []
        waits = domain in (lb.SILENT_DOMAIN, lb.GARBAGE_DOMAIN)
        took = elapsed(
            lambda: results.append(validate_email(address, check_deliverability=True, timeout=2))
        )
        assert took < (2.5 if waits else 0.5)
        assert results[0].normalized == address
        assert not hasattr(results[0], "mx")
        assert dns_server.queries[0] == (domain, "MX")
        for check in (
            lambda: Contact.validate(address, timeout=1),
            lambda: (Contact(address, 1).is_valid, "Valid"),
        ):
            verdicts = []
            assert (0.9 if waits else 0) <= elapsed(lambda: verdicts.append(check())) < 2.0  # noqa: B023
            assert verdicts == [(True, "Valid")] and verdicts[0][0] is True

    @pytest.mark.parametrize(
        ("address", "message"),
        [
            ("someone", "An email address must have an @-sign."),
            ("someone@", "There must be something after the @-sign."),
            (
                "some one@mx.example",
                "The email address contains invalid characters before the @-sign: SPACE.",
            ),
            ("someone@mx..example", "An email address cannot have two periods in a row."),
            ("user@host.test", SPECIAL_USE),
            ("user@mail.invalid", SPECIAL_USE),
            ("user@printer.local", SPECIAL_USE),
            ("user@localhost", "The part after the @-sign is not valid. It should have a period."),
        ],
    )
    def test_syntax_errors_never_reach_dns(self, dns_server, address, message):
        with pytest.raises(EmailSyntaxError) as caught:
            validate_email(address, check_deliverability=True, timeout=2)
        assert str(caught.value) == message
        self.contact_agrees(dns_server, address, (False, message.rstrip(".")), [])


AUTH = {"user": "alice", "password": "s3cret"}
MESSAGE = b"From: a@mx.example\r\nTo: b@mx.example\r\nSubject: hello\r\n\r\nbody\r\n"


class TestSmtpServer:
    def test_records_envelope_and_data(self, smtp_server):
        with smtplib.SMTP(host=smtp_server.server_text) as client:
            client.sendmail("a@mx.example", ["b@mx.example", "c@mx.example"], MESSAGE)
        (received,) = smtp_server.messages
        assert received.mail_from == "a@mx.example"
        assert received.rcpt_tos == ("b@mx.example", "c@mx.example")
        assert received.data == MESSAGE
        assert received.message["Subject"] == "hello"
        assert received.login is None

    @pytest.mark.parametrize(
        ("options", "credentials", "error", "code"),
        [
            (AUTH, ("alice", "s3cret"), None, None),
            (AUTH, ("alice", "wrong"), smtplib.SMTPAuthenticationError, 535),
            (AUTH, None, smtplib.SMTPSenderRefused, 530),
            ({}, ("alice", "s3cret"), smtplib.SMTPNotSupportedError, None),  # no AUTH offered
        ],
    )
    def test_auth(self, make_smtp_server, options, credentials, error, code):
        server, failure = make_smtp_server(**options), None
        with smtplib.SMTP(host=server.server_text) as client:
            try:
                if credentials:
                    client.login(*credentials)
                client.sendmail("a@mx.example", ["b@mx.example"], MESSAGE)
            except smtplib.SMTPException as exc:
                failure = exc
        assert (failure and type(failure), getattr(failure, "smtp_code", None)) == (error, code)
        assert [m.login for m in server.messages] == (["alice"] if error is None else [])

    def test_refused_recipient(self, make_smtp_server):
        server = make_smtp_server(refuse_recipients=["Gone@mx.example"])
        with smtplib.SMTP(host=server.server_text) as client:
            refused = client.sendmail("a@mx.example", ["gone@mx.example", "b@mx.example"], MESSAGE)
            assert refused["gone@mx.example"][0] == 550
            with pytest.raises(smtplib.SMTPRecipientsRefused):
                client.sendmail("a@mx.example", ["gone@mx.example"], MESSAGE)
        assert [m.rcpt_tos for m in server.messages] == [("b@mx.example",)]

    def test_stops_by_itself(self):
        with lb.SmtpServer(lifetime=0.2) as server:
            time.sleep(0.5)
            with pytest.raises(ConnectionRefusedError):
                smtplib.SMTP(host=server.server_text, timeout=1)


def test_module_imports_without_aiosmtpd():
    code = (
        "import sys; sys.modules['aiosmtpd'] = None\n"
        "from quillon import _loopback\n"
        "try:\n    _loopback.SmtpServer()\n"
        "except ModuleNotFoundError as exc:\n    print(exc)\n"
    )
    result = run_python("-c", code, check=True)
    assert "needs aiosmtpd" in result.stdout
