"""Fixtures: loopback DNS and SMTP servers for tests that must reach a real
peer, a stand-in email_validator, and modules imported anew."""

import contextlib
import importlib
import os
import socket
import sys

import pytest

import quillon.contact
import quillon.email
from quillon import _loopback
from quillon._loopback import _postfix

# With --import-mode=importlib pytest leaves sys.path alone: the test files
# find their shared helpers as `support` through this.
sys.path.insert(0, os.path.dirname(__file__))

import support


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
    """Start a SmtpServer with the given options (see quillon._loopback._smtp:
    user and password, refusals, TLS, and the failing modes)."""
    with contextlib.ExitStack() as stack:

        def make(**options):
            return stack.enter_context(_loopback.SmtpServer(**options))

        yield make


@pytest.fixture
def smtp_server(make_smtp_server):
    """An SMTP server taking every message without AUTH."""
    return make_smtp_server()


def postfix_maker():
    reason = _postfix.unavailable()
    if reason is not None:
        if os.environ.get("CI") == "true":
            pytest.fail(f"CI must run the Postfix tests: {reason}")
        pytest.skip(reason)
    with contextlib.ExitStack() as stack:

        def make(**options):
            return stack.enter_context(_postfix.Postfix(**options))

        yield make


@pytest.fixture
def make_postfix():
    """Start a Postfix instance of its own (see quillon._loopback._postfix)
    with the given options, main.cf ``settings`` among them. Skipped where
    Postfix cannot run, except in CI, where that is a failure."""
    yield from postfix_maker()


@pytest.fixture(scope="module")
def make_module_postfix():
    """make_postfix, for instances that the tests of a module share."""
    yield from postfix_maker()


@pytest.fixture
def bounded_waits():
    """Clients take the default socket time-out: a peer that stops answering
    fails the test instead of hanging it."""
    previous = socket.getdefaulttimeout()
    socket.setdefaulttimeout(5.0)
    yield
    socket.setdefaulttimeout(previous)


@pytest.fixture
def closed_port():
    """A loopback host text that refuses connections: its port is bound but
    never listening, so no other process can take it while the test runs."""
    with socket.socket() as sock:
        sock.bind((_loopback.LOOPBACK, 0))
        yield f"{_loopback.LOOPBACK}:{sock.getsockname()[1]}"


@pytest.fixture
def library(monkeypatch):
    """A support.Library in place of quillon.contact's validate_email."""
    stand_in = support.Library()
    monkeypatch.setattr(quillon.contact, "validate_email", stand_in)
    return stand_in


@pytest.fixture
def fresh_import(monkeypatch):
    """Imports quillon.`name` anew, with `logger` as the logger module if one
    is given; sys.modules and the package attribute are put back afterwards."""

    def run(name, logger=None):
        monkeypatch.setattr(quillon, name, getattr(quillon, name))
        monkeypatch.delitem(sys.modules, f"quillon.{name}", raising=False)
        if logger is not None:
            monkeypatch.setitem(sys.modules, "logger", logger)
        return importlib.import_module(f"quillon.{name}")

    return run
