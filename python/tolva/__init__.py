"""tolva: declare data-pipeline assets as plain Python functions.

``asset`` marks a function as an asset, ``partitions`` declares a static partition
dimension. ``python -m tolva.inspect`` describes the assets of modules as JSON,
``python -m tolva.worker`` computes one asset, and ``python -m tolva.run`` runs a
whole pipeline.
"""

import sys

__version__ = "0.1.0"
__all__ = ["AssetWrapper", "CheckResult", "Partitions", "ValueFormat", "ValueNotAvailable", "asset", "check",
           "daily", "depends_on", "hourly", "load", "monthly", "partitions", "policy", "previous", "value_format",
           "weekly", "window"]

try:
    from _tolva import AssetWrapper, Partitions, asset, partitions
except ImportError as exc:  # pragma: no cover - exercised through a subprocess
    raise ImportError(
        "tolva cannot load its native module _tolva: "
        f"{exc}. tolva needs Python 3.14 or later and a _tolva built for this interpreter "
        f"({sys.implementation.cache_tag}, {sys.executable}); reinstall it for this Python "
        "with `pip install tolva` (or `pip install .` from a checkout)."
    ) from exc


_LAZY = {"load": "tolva.stored", "ValueNotAvailable": "tolva.stored", "value_format": "tolva.formats",
         "ValueFormat": "tolva.formats", "depends_on": "tolva.declare", "policy": "tolva.declare",
         "check": "tolva.checks", "CheckResult": "tolva.checks",
         "hourly": "tolva.periods", "daily": "tolva.periods", "weekly": "tolva.periods", "monthly": "tolva.periods",
         "previous": "tolva.periods", "window": "tolva.periods"}


def __getattr__(name):
    # Reading stored values and formats of one's own are for some modules only: a
    # module that declares assets does not pay for them at import.
    if name in _LAZY:
        import importlib

        return getattr(importlib.import_module(_LAZY[name]), name)
    raise AttributeError(f"module 'tolva' has no attribute '{name}'")
