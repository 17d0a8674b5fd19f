from collections.abc import Mapping
from os import PathLike
from typing import Any

from _tolva import AssetWrapper as AssetWrapper
from _tolva import Partitions as Partitions
from _tolva import asset as asset
from _tolva import partitions as partitions

__all__ = ["AssetWrapper", "Partitions", "ValueNotAvailable", "asset", "load", "partitions"]
__version__: str

class ValueNotAvailable(LookupError): ...

def load(
    asset: str | AssetWrapper[..., Any],
    partition: Mapping[str, Any] | None = None,
    *,
    out: str | PathLike[str] = "tolva-out",
) -> Any: ...
