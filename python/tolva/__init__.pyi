import datetime
from collections.abc import Callable, Iterable, Mapping
from os import PathLike
from typing import Any, Protocol, TypeVar

from _tolva import AssetWrapper as AssetWrapper
from _tolva import Partitions as Partitions
from _tolva import asset as asset
from _tolva import partitions as partitions

__all__ = ["AssetWrapper", "CheckResult", "Partitions", "ValueFormat", "ValueNotAvailable", "asset", "check",
           "daily", "depends_on", "hourly", "load", "monthly", "partitions", "policy", "previous", "value_format",
           "weekly", "window"]
__version__: str

class ValueNotAvailable(LookupError): ...

def load(
    asset: str | AssetWrapper[..., Any],
    partition: Mapping[str, Any] | None = None,
    *,
    out: str | PathLike[str] = "tolva-out",
) -> Any: ...

class _Format(Protocol):
    def dump(self, value: Any, path: str, /) -> None: ...
    def load(self, path: str, /) -> Any: ...

_F = TypeVar("_F", bound=type[_Format])
_T = TypeVar("_T")

class ValueFormat:
    name: str
    suffix: str
    def dump(self, value: Any, path: str, /) -> None: ...
    def load(self, path: str, /) -> Any: ...
    def preview(self, value: Any, /) -> dict[str, Any]: ...
    def refuses(self, value: Any, /) -> str | None: ...
    def prepare(self) -> None: ...

def value_format(name: str, suffix: str) -> Callable[[_F], _F]: ...
def depends_on(
    *,
    files: str | PathLike[str] | Iterable[str | PathLike[str]] = (),
    folders: str | PathLike[str] | Iterable[str | PathLike[str]] = (),
    environment: str | Iterable[str] = (),
) -> Callable[[_T], _T]: ...

_When = str | datetime.date | datetime.datetime

def hourly(start: _When, end: _When | None = None, *, tz: str | datetime.tzinfo = "UTC") -> Partitions: ...
def daily(start: _When, end: _When | None = None, *, tz: str | datetime.tzinfo = "UTC") -> Partitions: ...
def weekly(start: _When, end: _When | None = None, *, tz: str | datetime.tzinfo = "UTC") -> Partitions: ...
def monthly(start: _When, end: _When | None = None, *, tz: str | datetime.tzinfo = "UTC") -> Partitions: ...
def previous(upstream: AssetWrapper[..., Any] | str, dimension: str, offset: int = -1) -> str: ...
def window(upstream: AssetWrapper[..., Any] | str, dimension: str, size: int) -> str: ...
def policy(
    *, retries: int | None = None, retry_delay: float | None = None, timeout: float | None = None
) -> Callable[[_T], _T]: ...

class CheckResult:
    passed: bool
    message: str
    metadata: Any
    def __init__(self, passed: bool, message: str = "", metadata: Any = None) -> None: ...

_C = TypeVar("_C", bound=Callable[..., bool | CheckResult | Mapping[str, Any]])

def check(
    asset: AssetWrapper[..., Any] | str, *, name: str | None = None, blocking: bool = True
) -> Callable[[_C], _C]: ...
