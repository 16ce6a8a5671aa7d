from collections.abc import Callable
from typing import TypeVar

__all__ = ["logging"]

_F = TypeVar("_F")

def logging(prefix: str) -> Callable[[_F], _F]: ...
