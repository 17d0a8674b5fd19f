"""tolva: declare data-pipeline assets as plain Python functions.

``asset`` marks a function as an asset, ``partitions`` declares a static partition
dimension. ``python -m tolva.inspect`` describes the assets of modules as JSON,
``python -m tolva.worker`` computes one asset, and ``python -m tolva.run`` runs a
whole pipeline.
"""

import sys

try:
    from _tolva import AssetWrapper, Partitions, asset, partitions
except ImportError as exc:  # pragma: no cover - exercised through a subprocess
    raise ImportError(
        "tolva cannot load its native module _tolva: "
        f"{exc}. tolva needs Python 3.14 or later and a _tolva built for this interpreter "
        f"({sys.implementation.cache_tag}, {sys.executable}); reinstall it for this Python "
        "with `pip install tolva` (or `pip install .` from a checkout)."
    ) from exc

__all__ = ["AssetWrapper", "Partitions", "ValueNotAvailable", "asset", "load", "partitions"]
__version__ = "0.1.0"


class ValueNotAvailable(LookupError):
    """tolva.load has no value it can vouch for: the job is unknown, never ran, or did
    not succeed in its last run."""


def load(asset, partition=None, *, out="tolva-out"):
    """The stored value of a job: asset by the names ``--select`` takes (or the asset
    itself), partition a dict of its keys, from the output folder out. Raises
    ValueNotAvailable unless the job's own record vouches for the value."""
    from tolva.values import load as load_value

    return load_value(asset, partition, out=out)
