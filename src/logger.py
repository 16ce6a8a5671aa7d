"""Debug logging for quillon's methods.

``logging(prefix=...)`` returns a decorator. The wrapped call is logged at
DEBUG to the standard-library logger named *prefix*: its qualified name on the
way in, and on the way out whether it returned or raised (with the exception
type) and how long it took. Argument values and results are never logged, so
no address, password or message text reaches a log.

When DEBUG is off for that logger a call costs one level check on top of the
wrapped call.
"""

from __future__ import annotations

import functools
import logging as _logging
import time
from collections.abc import Callable
from typing import Any, TypeVar

_native_wrapper: type[_logcall.wrapper] | None
try:
    # The same wrapper in C++: with DEBUG off, a call costs the level check
    # and a direct forward, without packing the arguments.
    from quillon import _logcall

    _native_wrapper = _logcall.wrapper
except ImportError:  # a source tree without the build
    _native_wrapper = None

__all__ = ["logging"]

_F = TypeVar("_F")
_DEBUG = _logging.DEBUG
_STOCK_IS_ENABLED_FOR = _logging.Logger.isEnabledFor


def _stock_logger(enabled: Any) -> _logging.Logger | None:
    """The logger behind *enabled* when it is logging's own isEnabledFor.

    The native wrapper then reads that method's cache itself instead of
    calling it; any other level check (a subclass's, a patched one) is called.
    """
    func = getattr(enabled, "__func__", None)
    if (
        func is _STOCK_IS_ENABLED_FOR
        and getattr(func, "__module__", None) == "logging"
        and getattr(func, "__qualname__", None) == "Logger.isEnabledFor"
    ):
        return getattr(enabled, "__self__", None)
    return None


def _update_wrapper(wrapper: Any, func: Any) -> Any:
    """functools.update_wrapper, with annotations that travel as 3.13's did.

    Where annotations are evaluated lazily, update_wrapper copies
    ``__annotate__`` and no longer ``__annotations__``. An object whose
    annotations are a plain dict (assigned to ``__annotations__``, or kept
    by a callable that is not a function) has no ``__annotate__``, or None:
    its dict, which reading evaluates nothing, is copied as before, else the
    wrapper would show none.
    """
    functools.update_wrapper(wrapper, func)
    copied = functools.WRAPPER_ASSIGNMENTS
    if "__annotations__" not in copied and getattr(func, "__annotate__", None) is None:
        try:
            wrapper.__annotations__ = func.__annotations__
        except AttributeError:
            pass
    return wrapper


def _wraps(func: Any) -> Callable[[Any], Any]:
    return functools.partial(_update_wrapper, func=func)


def logging(prefix: str) -> Callable[[_F], _F]:
    """Return a decorator that logs calls to the logger named *prefix*."""
    if not isinstance(prefix, str):
        raise TypeError(f"prefix must be a str, not {type(prefix).__name__}")
    log = _logging.getLogger(prefix)

    def decorate(func: Any) -> Any:
        if isinstance(func, staticmethod):
            return staticmethod(decorate(func.__func__))
        if isinstance(func, classmethod):
            return classmethod(decorate(func.__func__))
        return _wrap(func, log)

    return decorate


def _wrap(func: Any, log: _logging.Logger) -> Any:
    name = getattr(func, "__qualname__", None) or getattr(func, "__name__", None) or repr(func)
    enabled = log.isEnabledFor
    debug = log.debug
    clock = time.perf_counter

    @_wraps(func)
    def logged(*args: Any, **kwargs: Any) -> Any:
        debug("call %s", name)
        start = clock()
        try:
            result = func(*args, **kwargs)
        except BaseException as exc:
            debug(
                "%s raised %s after %.3f ms", name, type(exc).__qualname__, (clock() - start) * 1e3
            )
            raise
        debug("%s returned after %.3f ms", name, (clock() - start) * 1e3)
        return result

    if _native_wrapper is not None:
        return _update_wrapper(
            _native_wrapper(func, logged, enabled, _DEBUG, _stock_logger(enabled)), func
        )

    @_wraps(func)
    def wrapper(*args: Any, **kwargs: Any) -> Any:
        if not enabled(_DEBUG):
            return func(*args, **kwargs)
        return logged(*args, **kwargs)

    return wrapper
