from collections.abc import Callable
from logging import Logger
from typing import Any, Self, final

@final
class wrapper:
    __wrapped__: Callable[..., Any]
    def __new__(
        cls,
        func: Callable[..., Any],
        logged: Callable[..., Any],
        is_enabled: Callable[[int], object],
        level: int,
        logger: Logger | None = None,
    ) -> Self: ...
    def __call__(self, *args: Any, **kwargs: Any) -> Any: ...
    def __reduce__(self) -> str: ...
    def __get__(self, instance: object, owner: type | None = None, /) -> Any: ...
