from collections.abc import Callable
from typing import Any

class wrapper:
    __wrapped__: Callable[..., Any]
    def __init__(
        self,
        func: Callable[..., Any],
        logged: Callable[..., Any],
        is_enabled: Callable[[int], object],
        level: int,
    ) -> None: ...
    def __call__(self, *args: Any, **kwargs: Any) -> Any: ...
    def __reduce__(self) -> str: ...
    def __get__(self, obj: object, owner: type | None = None) -> Any: ...
