import datetime
from collections.abc import Callable, Iterable, Mapping
from os import PathLike
from typing import Any, Protocol, TypeVar

from _tolva import AssetWrapper as AssetWrapper
from _tolva import Partitions as Partitions
from _tolva import asset as asset
from _tolva import partitions as partitions

__all__ = ["AssetWrapper", "Partitions", "ValueFormat", "ValueNotAvailable", "asset", "daily", "depends_on",
           "hourly", "load", "monthly", "partitions", "value_format", "weekly"]
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
