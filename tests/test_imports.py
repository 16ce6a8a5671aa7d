"""Importing quillon.email and quillon.contact: their globals, the outside logger
module's decorators, failed imports and the retry after them."""

import email.encoders
import email.mime.base
import email.mime.multipart
import email.mime.text
import gc
import smtplib
import sys
import types
import weakref

import email_validator
import pytest

import quillon.contact
import quillon.email
from support import load_file

ORIGINAL = {"email": quillon.email, "contact": quillon.contact}
GLOBALS = {
    "email": {
        "logging": None,
        "SMTP": smtplib.SMTP,
        "encoders": email.encoders,
        "MIMEMultipart": email.mime.multipart.MIMEMultipart,
        "MIMEText": email.mime.text.MIMEText,
        "MIMEBase": email.mime.base.MIMEBase,
        "Email": None,
    },
    "contact": {
        "logging": None,
        "validate_email": email_validator.validate_email,
        "ValidatedEmail": email_validator.ValidatedEmail,
        "EmailNotValidError": email_validator.EmailNotValidError,
        "Contact": None,
    },
}
# What each module decorates, in order: class, member, qualified name, staticmethod or not.
DECORATED = {
    "email": [
        ("Email", "_Email__normalize", "Email.__normalize", True),
        ("Email", "send", "Email.send", False),
    ],
    "contact": [
        ("Contact", "__init__", "Contact.__init__", False),
        ("Contact", "validate", "Contact.validate", True),
    ],
}
FACTORY = "factory"


class Boom(Exception):
    pass


def substitute_logger(fail=None):
    """A `logger` module recording, in `events`, every factory and decorator
    call; the event numbered `fail` (from 0) raises Boom instead, kept as `raised`."""
    module = types.ModuleType("logger")
    module.events, module.decorators, module.raised = [], [], None

    def record(*event):
        if len(module.events) == fail:
            module.raised = Boom(event[0])
            raise module.raised
        module.events.append(event)

    class Decorator:
        def __call__(self, *args, **kwargs):
            record("decorate", args, kwargs)
            return args[0]

    def logging(*args, **kwargs):
        record(FACTORY, args, kwargs)
        decorator = Decorator()
        module.decorators.append(weakref.ref(decorator))
        return decorator

    module.logging = logging
    return module


MODULES = pytest.mark.parametrize("name", ["email", "contact"])


def use(module):
    """A call through each freshly made class."""
    assert sys.modules[module.__name__] is module
    if hasattr(module, "Email"):
        assert module.Email(to="A@X; B@Y").to == ["a@x", "b@y"]
        assert module.Email().attachments == ()
    else:
        assert module.Contact("someone@example.org", 2.5).timeout == 2
        assert module.Contact.validate("someone@") == (
            False,
            "There must be something after the @-sign",
        )


@MODULES
def test_module_body_runs_again_with_its_globals_in_order(fresh_import, name):
    logger = substitute_logger()
    module = fresh_import(name, logger)
    original, expected = ORIGINAL[name], GLOBALS[name]
    cls = list(expected)[-1]
    assert module is not original and getattr(module, cls) is not getattr(original, cls)
    assert [name for name in vars(module) if not name.startswith("__")] == list(expected)
    assert module.__doc__ is None
    assert module.logging is logger.logging
    for global_name, value in expected.items():
        assert value is None or getattr(module, global_name) is value
    use(module)


@MODULES
def test_factory_is_called_before_each_decoration(fresh_import, name):
    logger = substitute_logger()
    module = fresh_import(name, logger)
    factory = (FACTORY, (), {"prefix": f"quillon.{name}"})
    assert [event[0] for event in logger.events] == [FACTORY, "decorate"] * 2
    assert logger.events[0] == logger.events[2] == factory
    for (cls, member, qualname, static), (_, (function,), kwargs) in zip(
        DECORATED[name], logger.events[1::2], strict=True
    ):
        assert kwargs == {}
        assert isinstance(function, staticmethod) is static
        assert (function.__func__ if static else function).__qualname__ == qualname
        # What the decorators give back is what the class holds.
        assert vars(getattr(module, cls))[member] is function
    # ... and the decorators themselves are not kept.
    logger.events.clear()
    gc.collect()
    assert [ref() for ref in logger.decorators] == [None, None]


def test_prefix_is_the_import_name_and_module_name_is_fixed(monkeypatch):
    monkeypatch.setitem(sys.modules, "logger", logger := substitute_logger())
    module = load_file(ORIGINAL["contact"].__file__, "elsewhere.contact")
    assert module.__name__ == "elsewhere.contact"
    assert [kwargs for kind, _, kwargs in logger.events if kind == FACTORY] == [
        {"prefix": "elsewhere.contact"}
    ] * 2
    assert module.Contact.__module__ == "quillon.contact"
    assert module.Contact.email.fget.__module__ == "quillon.contact"


@pytest.mark.parametrize(
    ("name", "missing"),
    [
        ("email", "logging"),
        ("contact", "logging"),
        ("contact", "ValidatedEmail"),
        ("contact", "EmailNotValidError"),
    ],
)
def test_missing_name_fails_the_import_and_a_retry_succeeds(
    fresh_import, monkeypatch, name, missing
):
    logger = substitute_logger()
    with monkeypatch.context() as patch:
        patch.delattr(logger if missing == "logging" else email_validator, missing)
        with pytest.raises(ImportError) as info:
            fresh_import(name, logger)
    assert str(info.value) == f"cannot import name '{missing}'"
    assert f"quillon.{name}" not in sys.modules
    assert logger.events == []  # the class is never started
    use(fresh_import(name, substitute_logger()))


LOGGER_NOTE = (
    "quillon takes its decorator factory 'logging' from the top-level module "
    "'logger'; the module imported as 'logger' is "
)


@MODULES
def test_a_logger_py_of_ones_own_is_named(fresh_import, tmp_path, name):
    # As found first on the path: a file that does `import logging`.
    path = tmp_path / "logger.py"
    path.write_text("import logging\n")
    with pytest.raises(TypeError, match="^'module' object is not callable\n") as info:
        fresh_import(name, load_file(path, "logger"))
    assert info.value.__notes__ == [LOGGER_NOTE + str(path)]


@pytest.mark.parametrize(
    "fail",
    [0, 1, 2, 3],
    ids=["first-factory", "first-decorator", "second-factory", "second-decorator"],
)
@MODULES
def test_logging_failures_fail_the_import_and_a_retry_succeeds(fresh_import, name, fail):
    logger = substitute_logger(fail)
    with pytest.raises(Boom) as info:
        fresh_import(name, logger)
    assert info.value is logger.raised
    assert info.value.__notes__ == [LOGGER_NOTE + "<module 'logger'>"]
    assert len(logger.events) == fail
    assert f"quillon.{name}" not in sys.modules
    retry = substitute_logger()
    use(fresh_import(name, retry))
    assert len(retry.events) == 4
