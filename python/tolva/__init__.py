"""tolva: declare data-pipeline assets as plain Python functions."""

from _tolva import AssetWrapper, Partitions, asset, partitions

__all__ = ["AssetWrapper", "Partitions", "asset", "partitions"]
__version__ = "0.1.0"
