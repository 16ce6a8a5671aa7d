"""Loopback DNS and SMTP servers for tests that must reach a real peer."""

import contextlib
import socket

import pytest

from quillon import _loopback


@pytest.fixture
def make_dns_server():
    """Start a DnsServer with the given zone; with ``resolve=True`` (the
    default) dnspython's default resolver asks it until the test ends."""
    with contextlib.ExitStack() as stack:

        def make(zone=_loopback.DEFAULT_ZONE, *, resolve=True, **options):
            server = stack.enter_context(_loopback.DnsServer(zone, **options))
            if resolve:
                stack.enter_context(_loopback.use_resolver(server))
            return server

        yield make


@pytest.fixture
def dns_server(make_dns_server):
    """The default zone (see quillon._loopback), answering every look-up."""
    return make_dns_server()


@pytest.fixture
def make_smtp_server():
    """Start a SmtpServer with the given options (user, password,
    refuse_recipients, refuse_mail, refuse_data)."""
    with contextlib.ExitStack() as stack:

        def make(**options):
            return stack.enter_context(_loopback.SmtpServer(**options))

        yield make


@pytest.fixture
def smtp_server(make_smtp_server):
    """An SMTP server taking every message without AUTH."""
    return make_smtp_server()


@pytest.fixture
def bounded_waits():
    """Clients take the default socket time-out: a peer that stops answering
    fails the test instead of hanging it."""
    previous = socket.getdefaulttimeout()
    socket.setdefaulttimeout(5.0)
    yield
    socket.setdefaulttimeout(previous)
