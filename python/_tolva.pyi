"""Type stubs of the native _tolva module."""

from collections.abc import Callable, Mapping, Sequence
from typing import Any, Generic, ParamSpec, TypeVar, final

_P = ParamSpec("_P")
_R = TypeVar("_R", covariant=True)

__all__ = ["AssetWrapper", "Partitions", "asset", "partitions", "inspect_modules", "materialize_asset"]

@final
class AssetWrapper(Generic[_P, _R]):
    """The `@asset()` decorator wrapper. Stores the original function and metadata."""

    @property
    def __tolva_metadata__(self) -> dict[str, Any]: ...
    @property
    def __tolva_kind__(self) -> str: ...
    @property
    def __tolva_original__(self) -> Callable[_P, _R]: ...
    @property
    def __wrapped__(self) -> Callable[_P, _R]: ...
    @property
    def __name__(self) -> str: ...
    @property
    def __qualname__(self) -> str: ...
    @property
    def __module__(self) -> str: ...  # type: ignore[override]
    @property
    def __doc__(self) -> str | None: ...  # type: ignore[override]
    def __call__(self, *args: _P.args, **kwargs: _P.kwargs) -> _R: ...
    def __get__(self, obj: object, type: type | None = None, /) -> AssetWrapper[_P, _R]: ...

@final
class Partitions:
    """Marker type returned by `partitions([...])`. Stores the static values."""

def asset(
    *,
    name: str | None = None,
    inputs: Mapping[str, AssetWrapper[..., Any] | str] | None = None,
    partitions: Mapping[str, Partitions] | None = None,
    serializer: str | None = None,
) -> Callable[[Callable[_P, _R]], AssetWrapper[_P, _R]]: ...
def partitions(values: list[Any]) -> Partitions: ...
def inspect_modules(modules: Sequence[str]) -> str: ...
def materialize_asset(
    module_name: str, function_name: str, output_dir: str, input_kwargs_json: str | None = None
) -> None: ...
