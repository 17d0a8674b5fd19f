"""What an asset declares beyond its @asset(...) call: the files, folders and
environment variables it depends on through something tolva cannot watch (a
subprocess, a database, a C library), so that its job can still be found up to date.

    @depends_on(files=["rates.csv"], environment=["RATES_URL"])
    @asset()
    def rates(): return subprocess.run(["fetch-rates"], ...)

The declaration is kept on the asset's function, where its code fingerprint sees it.
policy() declares how the asset's jobs are retried and when one is stopped; it is
kept there too, outside the fingerprint: it changes how a job runs, not its value.
"""

import math
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

    return _declaring("depends_on", "__tolva_depends__", lambda earlier: {
        kind: sorted(set(earlier.get(kind, ())) | set(declared[kind])) for kind in _KINDS})


def _declaring(helper, attribute, merged):
    """A decorator that keeps merged(what the function held) as its attribute, on the
    function itself or on the function behind an asset, and returns what it got."""

    def declare(target):
        fn = getattr(target, "__tolva_original__", target)
        if not callable(fn) or not hasattr(fn, "__dict__"):
            raise TypeError(f"{helper}() decorates a function or an asset, not {type(target).__name__}")
        setattr(fn, attribute, merged(getattr(fn, attribute, None) or {}))
        return target

    return declare


def _what(kind):
    return "variable names" if kind == "environment" else "paths"


def policy(*, retries=None, retry_delay=None, timeout=None):
    """A decorator, above or below @asset: how many more times a failed job of the
    asset runs (instead of --retries), the seconds between attempts, and the seconds
    after which a running job is stopped as a failure ("timed out after 30 s")."""
    declared = {}
    for name, value, what in (("retries", retries, "an int of 0 or more"),
                              ("retry_delay", retry_delay, "a number of seconds, 0 or more"),
                              ("timeout", timeout, "a positive number of seconds")):
        if value is None:
            continue
        number = not isinstance(value, bool) and isinstance(value, int if name == "retries" else (int, float))
        if not (number and math.isfinite(value) and (value > 0 if name == "timeout" else value >= 0)):
            raise ValueError(f"policy(): {name} must be {what}, not {value!r}")
        declared[name] = value

    return _declaring("policy", "__tolva_policy__", lambda earlier: dict(earlier, **declared))
