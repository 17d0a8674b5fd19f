"""What an asset declares beyond its @asset(...) call: the files, folders and
environment variables it depends on through something tolva cannot watch (a
subprocess, a database, a C library), so that its job can still be found up to date.

    @depends_on(files=["rates.csv"], environment=["RATES_URL"])
    @asset()
    def rates(): return subprocess.run(["fetch-rates"], ...)

The declaration is kept on the asset's function, where its code fingerprint sees it.
"""

import os

_KINDS = ("files", "folders", "environment")


def depends_on(*, files=(), folders=(), environment=()):
    """A decorator, applied above or below @asset: paths are taken relative to the
    directory the run starts in."""
    declared = {}
    for kind, given in zip(_KINDS, (files, folders, environment)):
        items = [given] if isinstance(given, (str, os.PathLike)) else given
        try:
            items = list(items)
        except TypeError:
            raise TypeError(f"depends_on(): {kind} must be a list of {_what(kind)}, "
                            f"not {type(given).__name__}") from None
        for item in items:
            if not isinstance(item, str if kind == "environment" else (str, os.PathLike)) or not os.fspath(item):
                raise TypeError(f"depends_on(): {kind} must be a list of {_what(kind)}; got {item!r}")
        declared[kind] = sorted({os.fspath(item) for item in items})

    def declare(target):
        fn = getattr(target, "__tolva_original__", target)
        if not callable(fn) or not hasattr(fn, "__dict__"):
            raise TypeError(f"depends_on() decorates a function or an asset, not {type(target).__name__}")
        earlier = getattr(fn, "__tolva_depends__", None) or {}
        fn.__tolva_depends__ = {kind: sorted(set(earlier.get(kind, ())) | set(declared[kind])) for kind in _KINDS}
        return target

    return declare


def _what(kind):
    return "variable names" if kind == "environment" else "paths"
