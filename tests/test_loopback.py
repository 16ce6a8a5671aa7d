"""The loopback peers answer like real ones, and email_validator's verdicts through them."""

import smtplib
import subprocess
import sys
import time

import dns.resolver
import pytest
from email_validator import EmailSyntaxError, EmailUndeliverableError, validate_email

from quillon import _loopback as lb


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
        ],
    )
    def test_resolves_records(self, dns_server, name, rdtype, expected):
        answer = dns.resolver.resolve(name, rdtype)
        # Compression may carry the question's letter case into the data.
        assert {rdata.to_text().lower() for rdata in answer} == expected
        assert dns_server.queries == [(name.rstrip("."), rdtype)]

    @pytest.mark.parametrize(
        ("name", "error"),
        [
            (lb.UNKNOWN_DOMAIN, dns.resolver.NXDOMAIN),
            ("example", dns.resolver.NoAnswer),  # exists only through names below it
            (lb.NO_RECORDS_DOMAIN, dns.resolver.NoAnswer),
            (lb.A_ONLY_DOMAIN, dns.resolver.NoAnswer),
            (lb.SERVFAIL_DOMAIN, dns.resolver.NoNameservers),
            (lb.TRUNCATED_DOMAIN, dns.resolver.NoNameservers),  # no TCP to retry on
        ],
    )
    def test_negative_answers(self, dns_server, name, error):
        with pytest.raises(error):
            dns.resolver.resolve(name, "MX")

    @pytest.mark.parametrize("name", [lb.SILENT_DOMAIN, lb.GARBAGE_DOMAIN])
    def test_unanswered_query_times_out_within_lifetime(self, dns_server, name):
        def resolve():
            with pytest.raises(dns.resolver.LifetimeTimeout):
                dns.resolver.resolve(name, "MX", lifetime=0.5)

        assert elapsed(resolve) < 1.0

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


class TestValidateEmailThroughDns:
    @pytest.mark.parametrize(
        ("domain", "mx", "fallback", "queries"),
        [
            (lb.MX_DOMAIN, [(10, "mail.mx.example"), (20, "backup.mx.example")], None, ["MX"]),
            (lb.A_ONLY_DOMAIN, [(0, lb.A_ONLY_DOMAIN)], "A", ["MX", "A", "TXT"]),
            (lb.AAAA_ONLY_DOMAIN, [(0, lb.AAAA_ONLY_DOMAIN)], "AAAA", ["MX", "A", "AAAA", "TXT"]),
        ],
    )
    def test_deliverable(self, dns_server, domain, mx, fallback, queries):
        result = validate_email(f"user@{domain}", check_deliverability=True, timeout=2)
        assert (result.mx, result.mx_fallback_type) == (mx, fallback)
        assert [rdtype for _, rdtype in dns_server.queries] == queries

    @pytest.mark.parametrize(
        ("domain", "message"),
        [
            (lb.UNKNOWN_DOMAIN, "The domain name unknown.example does not exist."),
            (lb.NULL_MX_DOMAIN, "The domain name null-mx.example does not accept email."),
            (lb.NO_RECORDS_DOMAIN, "The domain name no-records.example does not accept email."),
            # Only globally reachable addresses count in the A fallback.
            (lb.PRIVATE_A_DOMAIN, "The domain name private-a.example does not accept email."),
            (lb.SPF_REJECT_DOMAIN, "The domain name spf-reject.example does not send email."),
        ],
    )
    def test_undeliverable(self, dns_server, domain, message):
        with pytest.raises(EmailUndeliverableError) as caught:
            validate_email(f"user@{domain}", check_deliverability=True, timeout=2)
        assert str(caught.value) == message

    # A time-out (silent; garbage is ignored, so it times out alike) and no
    # usable server (SERVFAIL, truncated) both count as "deliverability
    # unknown": the address passes, with no mx attribute at all.
    @pytest.mark.parametrize(
        ("domain", "bound"),
        [(lb.SILENT_DOMAIN, 2.5), (lb.SERVFAIL_DOMAIN, 0.5), (lb.TRUNCATED_DOMAIN, 0.5)],
    )
    def test_unknown_deliverability_passes(self, dns_server, domain, bound):
        results = []
        took = elapsed(lambda: results.append(
            validate_email(f"user@{domain}", check_deliverability=True, timeout=2)))
        assert took < bound
        assert results[0].normalized == f"user@{domain}"
        assert not hasattr(results[0], "mx")

    @pytest.mark.parametrize("domain", ["host.test", "mail.invalid", "printer.local", "localhost"])
    def test_special_use_domains_never_reach_dns(self, dns_server, domain):
        with pytest.raises(EmailSyntaxError):
            validate_email(f"user@{domain}", check_deliverability=True, timeout=2)
        assert dns_server.queries == []


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

    def test_auth_with_the_right_password(self, make_smtp_server):
        server = make_smtp_server(user="alice", password="s3cret")
        with smtplib.SMTP(host=server.server_text) as client:
            client.login("alice", "s3cret")
            client.sendmail("a@mx.example", ["b@mx.example"], MESSAGE)
        assert [m.login for m in server.messages] == ["alice"]

    @pytest.mark.parametrize(
        ("credentials", "error", "code"),
        [
            (("alice", "wrong"), smtplib.SMTPAuthenticationError, 535),
            (None, smtplib.SMTPSenderRefused, 530),
        ],
    )
    def test_auth_refusals(self, make_smtp_server, credentials, error, code):
        server = make_smtp_server(user="alice", password="s3cret")
        with smtplib.SMTP(host=server.server_text) as client, pytest.raises(error) as caught:
            if credentials:
                client.login(*credentials)
            client.sendmail("a@mx.example", ["b@mx.example"], MESSAGE)
        assert caught.value.smtp_code == code
        assert server.messages == []

    def test_no_auth_advertised_without_credentials(self, smtp_server):
        with smtplib.SMTP(host=smtp_server.server_text) as client:
            with pytest.raises(smtplib.SMTPNotSupportedError):
                client.login("alice", "s3cret")

    def test_refused_recipient(self, make_smtp_server):
        server = make_smtp_server(refuse_recipients=["Gone@mx.example"])
        with smtplib.SMTP(host=server.server_text) as client:
            refused = client.sendmail("a@mx.example", ["gone@mx.example", "b@mx.example"], MESSAGE)
            assert refused["gone@mx.example"][0] == 550
            with pytest.raises(smtplib.SMTPRecipientsRefused):
                client.sendmail("a@mx.example", ["gone@mx.example"], MESSAGE)
        assert [m.rcpt_tos for m in server.messages] == [("b@mx.example",)]

    @pytest.mark.parametrize(
        ("option", "error"),
        [("refuse_mail", smtplib.SMTPSenderRefused), ("refuse_data", smtplib.SMTPDataError)],
    )
    def test_refused_command(self, make_smtp_server, option, error):
        server = make_smtp_server(**{option: 554})
        with smtplib.SMTP(host=server.server_text) as client, pytest.raises(error) as caught:
            client.sendmail("a@mx.example", ["b@mx.example"], MESSAGE)
        assert caught.value.smtp_code == 554
        assert server.messages == []

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
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            timeout=30, check=True)
    assert "needs aiosmtpd" in result.stdout
