"""Importing quillon.contact: its globals, the logging decorators, failed imports."""

import importlib
import importlib.util
import sys
import types

import email_validator
import pytest

import quillon
import quillon.contact

ORIGINAL = sys.modules["quillon.contact"]
GLOBALS = ["logging", "validate_email", "ValidatedEmail", "EmailNotValidError", "Contact"]


class Boom(Exception):
    pass


def substitute_logger(fail=None):
    """A `logger` module recording, in `events`, every factory and decorator
    call; the event numbered `fail` (from 0) raises Boom instead."""
    module = types.ModuleType("logger")
    module.events = []

    def record(*event):
        if len(module.events) == fail:
            raise Boom(event[0])
        module.events.append(event)

    def decorate(*args, **kwargs):
        record("decorate", args, kwargs)
        return args[0]

    def logging(*args, **kwargs):
        record("factory", args, kwargs)
        return decorate

    module.logging = logging
    return module


@pytest.fixture
def fresh_import(monkeypatch):
    """Imports quillon.contact anew with the given `logger`; sys.modules and
    the package attribute are put back afterwards."""
    monkeypatch.setattr(quillon, "contact", ORIGINAL)
    monkeypatch.delitem(sys.modules, "quillon.contact")

    def run(logger):
        monkeypatch.setitem(sys.modules, "logger", logger)
        return importlib.import_module("quillon.contact")

    return run


def test_module_body_runs_again_with_its_globals_in_order(fresh_import):
    logger = substitute_logger()
    module = fresh_import(logger)
    assert module is not ORIGINAL and module.Contact is not ORIGINAL.Contact
    assert [name for name in vars(module) if not name.startswith("__")] == GLOBALS
    assert module.__doc__ is None
    assert module.logging is logger.logging
    for name in GLOBALS[1:4]:
        assert getattr(module, name) is getattr(email_validator, name)
    assert module.Contact("someone@example.org", 2.5).timeout == 2
    assert module.Contact.validate("someone@") == (False, "There must be something after the @-sign")


def test_factory_is_called_before_each_decoration(fresh_import):
    logger = substitute_logger()
    module = fresh_import(logger)
    factory = ("factory", (), {"prefix": "quillon.contact"})
    assert [event[0] for event in logger.events] == ["factory", "decorate", "factory", "decorate"]
    assert logger.events[0] == logger.events[2] == factory

    (_, (init,), init_kwargs), (_, (validate,), validate_kwargs) = logger.events[1], logger.events[3]
    assert init_kwargs == validate_kwargs == {}
    assert callable(init) and not isinstance(init, staticmethod)
    assert init.__qualname__ == "Contact.__init__"
    assert isinstance(validate, staticmethod)
    assert validate.__func__.__qualname__ == "Contact.validate"
    # What the decorators give back is what the class holds.
    assert module.Contact.__dict__["__init__"] is init
    assert module.Contact.__dict__["validate"] is validate


def test_prefix_is_the_import_name_and_module_name_is_fixed(monkeypatch):
    monkeypatch.setitem(sys.modules, "logger", logger := substitute_logger())
    spec = importlib.util.spec_from_file_location("elsewhere.contact", ORIGINAL.__file__)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    assert module.__name__ == "elsewhere.contact"
    assert [kwargs for kind, _, kwargs in logger.events if kind == "factory"] == [
        {"prefix": "elsewhere.contact"}] * 2
    assert module.Contact.__module__ == "quillon.contact"
    assert module.Contact.email.fget.__module__ == "quillon.contact"


@pytest.mark.parametrize("name", ["logging", "ValidatedEmail", "EmailNotValidError"])
def test_missing_name_fails_the_import_and_a_retry_succeeds(fresh_import, monkeypatch, name):
    logger = substitute_logger()
    with monkeypatch.context() as patch:
        patch.delattr(logger if name == "logging" else email_validator, name)
        with pytest.raises(ImportError) as info:
            fresh_import(logger)
    assert str(info.value) == f"cannot import name '{name}'"
    assert "quillon.contact" not in sys.modules
    assert logger.events == []  # the class is never started
    assert fresh_import(substitute_logger()).Contact.validate("someone@")[0] is False


@pytest.mark.parametrize("fail", [0, 1, 2, 3],
                         ids=["first-factory", "first-decorator", "second-factory", "second-decorator"])
def test_logging_failures_fail_the_import_and_a_retry_succeeds(fresh_import, fail):
    logger = substitute_logger(fail)
    with pytest.raises(Boom):
        fresh_import(logger)
    assert len(logger.events) == fail
    assert "quillon.contact" not in sys.modules
    retry = substitute_logger()
    assert fresh_import(retry).Contact("someone@example.org").timeout == 15
    assert len(retry.events) == 4
