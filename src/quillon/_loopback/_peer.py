"""What both loopback servers share: the address and the ``with`` plumbing."""

from __future__ import annotations

from typing import Self

LOOPBACK = "127.0.0.1"


class _Peer:
    """Context-manager plumbing shared by both servers."""

    def __enter__(self) -> Self:
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    def start(self) -> Self:
        raise NotImplementedError

    def stop(self, timeout: float = 5.0) -> None:
        raise NotImplementedError
