"""The logging decorator: what it logs, what it passes through, what it keeps."""

import inspect
import logging
import pickle
import typing

import pytest

import logger
from quillon.contact import Contact
from support import refcounts


@pytest.fixture(params=["native", "python"])
def wrap_kind(request, monkeypatch):
    if request.param == "python":
        monkeypatch.setattr(logger, "_native_wrapper", None)
    elif logger._native_wrapper is None:
        pytest.skip("native wrapper not built")
    return request.param


def target(address, password=None):
    """Docstring kept."""
    if address == "boom":
        raise ValueError("no " + str(password))
    return (address, password)


def test_debug_lines_name_the_call_and_its_outcome_but_no_values(wrap_kind, caplog):
    wrapped = logger.logging(prefix="quillon.test")(target)
    with caplog.at_level(logging.DEBUG, logger="quillon.test"):
        assert wrapped("someone@x.org", password="hunter2-secret") == (
            "someone@x.org",
            "hunter2-secret",
        )
        with pytest.raises(ValueError, match="hunter2-secret"):
            wrapped("boom", password="hunter2-secret")
    lines = [(r.name, r.levelno, r.getMessage()) for r in caplog.records]
    assert [name for name, _, _ in lines] == ["quillon.test"] * 4
    assert {level for _, level, _ in lines} == {logging.DEBUG}
    assert lines[0][2] == "call target"
    assert lines[1][2].startswith("target returned after ")
    assert lines[3][2].startswith("target raised ValueError after ")
    text = caplog.text
    assert "hunter2-secret" not in text and "someone@x.org" not in text


def test_nothing_is_logged_when_debug_is_off_and_results_pass_through(wrap_kind, caplog):
    wrapped = logger.logging(prefix="quillon.quiet")(target)
    with caplog.at_level(logging.INFO, logger="quillon.quiet"):
        assert wrapped(address="a") == ("a", None)
        with pytest.raises(ValueError):
            wrapped("boom")
    assert caplog.records == []


def test_level_is_checked_at_each_call(wrap_kind, caplog, monkeypatch):
    # Every way the standard library turns DEBUG on or off between two calls,
    # and a level check of the caller's own, which must be the one consulted.
    wrapped = logger.logging(prefix="quillon.toggle")(target)
    log = logging.getLogger("quillon.toggle")
    caplog.handler.setLevel(logging.DEBUG)
    heard = []

    def own_check(level):
        heard.append(level)
        return True

    def calls_logged():
        before = len(caplog.records)
        wrapped("a")
        return len(caplog.records) > before

    log.setLevel(logging.INFO)
    try:
        assert not calls_logged()
        log.setLevel(logging.DEBUG)
        assert calls_logged()
        log.disabled = True
        assert not calls_logged()
        log.disabled = False
        logging.disable(logging.DEBUG)
        assert not calls_logged()
        logging.disable(logging.NOTSET)
        assert calls_logged()
        log.setLevel(logging.INFO)
        monkeypatch.setattr(log, "isEnabledFor", own_check, raising=False)
        wrapped = logger.logging(prefix="quillon.toggle")(target)
        assert calls_logged() and set(heard) == {logging.DEBUG}
    finally:
        logging.disable(logging.NOTSET)
        log.disabled = False
        log.setLevel(logging.NOTSET)
    assert caplog.records[0].getMessage() == "call target"


def test_metadata_and_binding(wrap_kind):
    wrapped = logger.logging(prefix="p")(target)
    assert wrapped.__wrapped__ is target
    assert (wrapped.__name__, wrapped.__qualname__, wrapped.__doc__) == (
        "target",
        "target",
        "Docstring kept.",
    )
    assert inspect.signature(wrapped) == inspect.signature(target)

    class Holder:
        method = logger.logging(prefix="p")(target)
        static = logger.logging(prefix="p")(staticmethod(target))

    assert isinstance(Holder.__dict__["static"], staticmethod)
    assert Holder.static("a") == ("a", None)
    assert Holder().static("a") == ("a", None)
    holder = Holder()
    assert holder.method("pw") == (holder, "pw")


def annotated(address: "str", retries: int = 1) -> "tuple[str, int]":
    return (address, retries)


def assigned(address):
    return address


# Where annotations are lazy, a dict assigned leaves __annotate__ None.
assigned.__annotations__ = {"address": "str", "return": "str"}


@pytest.mark.parametrize(
    "func",
    [annotated, assigned, inspect.unwrap(Contact.validate)],
    ids=["declared", "assigned", "native"],
)
def test_annotations_pass_through(wrap_kind, func):
    wrapped = logger.logging(prefix="p")(func)
    assert wrapped.__annotations__ == func.__annotations__
    assert typing.get_type_hints(wrapped) == typing.get_type_hints(func)
    assert inspect.signature(wrapped) == inspect.signature(func)


def test_lazy_annotations_are_evaluated_when_read_not_when_wrapped(wrap_kind):
    def func(x):
        return x

    if not hasattr(func, "__annotate__"):
        pytest.skip("annotations are evaluated eagerly on this interpreter")
    asked = []

    def annotate(format):
        asked.append(format)
        if format != 1:
            raise NotImplementedError
        return {"x": int}

    func.__annotate__ = annotate
    wrapped = logger.logging(prefix="p")(func)
    assert asked == []
    assert wrapped.__annotations__ == wrapped.__annotations__ == {"x": int}
    assert asked == [1]


def test_prefix_must_be_text():
    with pytest.raises(TypeError):
        logger.logging(prefix=b"quillon")


def test_the_modules_use_the_native_wrapper():
    from quillon.email import Email

    if logger._native_wrapper is None:
        pytest.skip("native wrapper not built")
    assert type(Email.send) is logger._native_wrapper
    assert type(Email.__dict__["_Email__normalize"]) is staticmethod


@pytest.mark.parametrize(
    ("name", "path"), [("email", "Email.send"), ("contact", "Contact.validate")]
)
def test_the_modules_methods_pickle_by_reference(wrap_kind, fresh_import, name, path):
    # Imported anew, so that the classes are built with the wrapper chosen.
    module = fresh_import(name)
    cls, method = path.split(".")
    wrapped = getattr(getattr(module, cls), method)
    for protocol in (2, pickle.HIGHEST_PROTOCOL):
        assert pickle.loads(pickle.dumps(wrapped, protocol)) is wrapped
    held = (wrapped, wrapped.__qualname__)
    before = refcounts(*held)
    for _ in range(100):
        pickle.dumps(wrapped)
    assert refcounts(*held) == before
    # A wrapper that its name does not lead back to is refused, not pickled
    # as something else.
    with pytest.raises(pickle.PicklingError, match="not the same object"):
        pickle.dumps(logger.logging(prefix="p")(target))
