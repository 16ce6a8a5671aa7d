"""Importing quillon.email: its globals and its use of the outside logger module."""

import email.encoders
import email.mime.base
import email.mime.multipart
import email.mime.text
import gc
import importlib
import smtplib
import sys
import types
import weakref

import pytest

import quillon
import quillon.email

ORIGINAL = sys.modules["quillon.email"]

class Boom(Exception):
    pass


class Decorator:
    """What the substitute factory hands out: records, then returns its argument."""

    def __init__(self, events, fail):
        self.events, self.fail = events, fail

    def __call__(self, *args, **kwargs):
        self.events.append(("decorate", args, kwargs))
        if self.fail:
            raise self.fail
        return args[0]


def substitute_logger(fail_factory=(), fail_decorator=(), error=None):
    """A `logger` module whose factory and decorators record every call; the
    calls numbered in `fail_factory` / `fail_decorator` (from 1) raise `error`."""
    module = types.ModuleType("logger")
    module.events = []
    module.decorators = []

    def logging(*args, **kwargs):
        module.events.append(("factory", args, kwargs))
        if len(module.decorators) + 1 in fail_factory:
            raise error
        decorator = Decorator(module.events,
                              error if len(module.decorators) + 1 in fail_decorator else None)
        module.decorators.append(weakref.ref(decorator))
        return decorator

    module.logging = logging
    return module


@pytest.fixture
def fresh_import(monkeypatch):
    """Imports quillon.email anew with the given `logger`; everything is put
    back afterwards."""
    monkeypatch.setattr(quillon, "email", ORIGINAL)
    monkeypatch.delitem(sys.modules, "quillon.email")

    def run(logger):
        monkeypatch.setitem(sys.modules, "logger", logger)
        return importlib.import_module("quillon.email")

    return run


def test_a_fresh_import_runs_the_module_body(fresh_import):
    module = fresh_import(substitute_logger())
    assert module is not ORIGINAL
    assert module.Email is not ORIGINAL.Email
    assert module.Email(to="A@X; B@Y").to == ["a@x", "b@y"]


def test_logging_factory_is_called_twice_before_each_decoration(fresh_import):
    logger = substitute_logger()
    module = fresh_import(logger)
    factory, decorate = "factory", "decorate"
    assert [(kind, args, kwargs) for kind, args, kwargs in logger.events
            if kind == factory] == [(factory, (), {"prefix": "quillon.email"})] * 2
    assert [kind for kind, *_ in logger.events] == [factory, decorate, factory, decorate]
    (_, (normalizer,), kw1), (_, (send,), kw2) = logger.events[1], logger.events[3]
    assert kw1 == kw2 == {}

    assert type(normalizer) is staticmethod
    assert normalizer.__func__.__qualname__ == "Email.__normalize"
    assert not isinstance(send, staticmethod)
    assert send.__qualname__ == "Email.send"

    # What the decorators return is bound as it is, and the decorators
    # themselves are not kept.
    namespace = vars(module.Email)
    assert namespace["_Email__normalize"] is normalizer
    assert namespace["send"] is send
    logger.events.clear()
    gc.collect()
    assert [ref() for ref in logger.decorators] == [None, None]


def test_module_globals_are_bound_in_order(fresh_import):
    logger = substitute_logger()
    module = fresh_import(logger)
    assert [name for name in vars(module) if not name.startswith("__")] == [
        "logging", "SMTP", "encoders", "MIMEMultipart", "MIMEText", "MIMEBase", "Email"]
    assert module.logging is logger.logging
    assert module.SMTP is smtplib.SMTP
    assert module.encoders is email.encoders
    assert module.MIMEMultipart is email.mime.multipart.MIMEMultipart
    assert module.MIMEText is email.mime.text.MIMEText
    assert module.MIMEBase is email.mime.base.MIMEBase


def test_logger_without_logging_fails_then_a_fixed_logger_succeeds(fresh_import):
    with pytest.raises(ImportError) as info:
        fresh_import(types.ModuleType("logger"))
    assert str(info.value) == "cannot import name 'logging'"
    assert "quillon.email" not in sys.modules

    logger = substitute_logger()
    module = fresh_import(logger)
    assert sys.modules["quillon.email"] is module
    assert len([event for event in logger.events if event[0] == "factory"]) == 2


@pytest.mark.parametrize(("fail_factory", "fail_decorator"), [
    ((1,), ()), ((2,), ()), ((), (1,)), ((), (2,))],
    ids=["first factory", "second factory", "first decorator", "second decorator"])
def test_a_raising_factory_or_decorator_fails_the_import(fresh_import, fail_factory,
                                                         fail_decorator):
    error = Boom("from the logger")
    with pytest.raises(Boom) as info:
        fresh_import(substitute_logger(fail_factory, fail_decorator, error))
    assert info.value is error
    assert "quillon.email" not in sys.modules

    assert fresh_import(substitute_logger()).Email().attachments == ()
