"""Data-quality checks: a function marked @check(orders) receives each value of the
asset (and, for a partitioned asset, the keys its parameters name) and says whether
the value passes:

    @check(orders)
    def no_negative_totals(frame):
        bad = int((frame["total"] < 0).sum())
        return CheckResult(bad == 0, f"{bad} rows with total < 0", {"rows": bad})

A check runs as a job of its own right after each job of its asset. A blocking one
(the default) that fails skips everything that reads the asset; a non-blocking one is
a warning. Raising counts as failing, with the exception as the message.
"""

import inspect
import json
import os

from tolva import formats, layout, values
from tolva.records import CHECK_FAILED


class CheckResult:
    """What a check may return instead of True or False: whether the value passed,
    a one-line message, and metadata that JSON can store."""

    __slots__ = ("passed", "message", "metadata")

    def __init__(self, passed, message="", metadata=None):
        self.passed, self.message, self.metadata = passed, message, metadata

    def __repr__(self):
        return f"CheckResult(passed={self.passed!r}, message={self.message!r}, metadata={self.metadata!r})"


def check(asset, *, name=None, blocking=True):
    """A decorator: the function checks each value of asset (the asset itself or a
    name inputs accept). name: the check's name (default: the function's); blocking:
    whether a failure skips what reads the asset."""
    if name is not None and (not isinstance(name, str) or not name):
        raise TypeError(f"check(): name must be a non-empty str, not {name!r}")
    if not isinstance(blocking, bool):
        raise TypeError(f"check(): blocking must be True or False, not {blocking!r}")
    target = _reference(asset)

    def declare(fn):
        if not inspect.isfunction(fn):
            raise TypeError(f"check() decorates a function, not {type(fn).__name__}")
        fn.__tolva_check__ = {"asset": target, "name": name or fn.__name__, "blocking": blocking}
        return fn

    return declare


def _reference(asset):
    """The asset as inputs name it, or what it is when it is not one (a graph error
    when the pipeline is planned, with the check's name and place)."""
    if isinstance(asset, str):
        return asset
    try:
        if asset.__tolva_kind__ == "asset":
            fn = asset.__tolva_original__
            return f"{os.path.realpath(fn.__code__.co_filename)}:{fn.__name__}"
    except AttributeError:
        pass
    named = getattr(asset, "__qualname__", None)
    return {"not_an_asset": f"{type(asset).__name__} '{named}'" if isinstance(named, str) else repr(asset)[:80]}


def declared_in(modules):
    """(module name, attribute, function, declaration) of every check the modules
    hold at their top level, in module and definition order; each named by the module
    that defines it when that module holds it under its own name (a check imported
    into another module is one check), else by where it was found."""
    import sys

    found, seen = [], set()
    for module in modules:
        for attribute, obj in list(vars(module).items()):
            declaration = getattr(obj, "__dict__", {}).get("__tolva_check__") if inspect.isfunction(obj) else None
            if not isinstance(declaration, dict) or id(obj) in seen:
                continue
            seen.add(id(obj))
            home = sys.modules.get(obj.__module__)
            if home is not None and getattr(home, "__dict__", {}).get(obj.__name__) is obj:
                found.append((home.__name__, obj.__name__, obj, declaration))
            else:
                found.append((module.__name__, attribute, obj, declaration))
    return found


PARTITION = "partition"  # a parameter of that name, not a dimension's, gets every key as a dict


def receivers(fn, dimensions):
    """(the parameter that receives the value, the dimensions passed as keywords, and
    "partition" when a parameter so named takes them all), or ValueError saying why
    the parameters cannot receive them."""
    try:
        parameters = list(inspect.signature(fn).parameters.values())
    except (TypeError, ValueError) as exc:
        raise ValueError(f"its signature cannot be read: {exc}") from None
    positional = [p for p in parameters if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)]
    if not positional:
        raise ValueError("it takes no positional parameter")
    value, rest = positional[0], [p for p in parameters if p is not positional[0]]
    if any(p.kind == p.VAR_KEYWORD for p in rest):
        return value.name, list(dimensions)
    passed = [p.name for p in rest if p.name in dimensions and p.kind != p.POSITIONAL_ONLY]
    if "partition" not in dimensions and any(p.name == "partition" and p.kind != p.POSITIONAL_ONLY for p in rest):
        passed.append(PARTITION)
    for p in rest:
        if p.default is p.empty and p.kind not in (p.VAR_POSITIONAL, p.VAR_KEYWORD) and p.name not in passed:
            where = f"a dimension of the asset ({', '.join(dimensions)})" if dimensions else "given (the asset has " \
                "no partitions)"
            raise ValueError(f"its parameter '{p.name}' is neither the value nor {where}")
    return value.name, passed


def keywords(names, partition):
    """The keyword arguments a check takes besides the value (names: see receivers)."""
    return {name: dict(partition) if name == PARTITION and name not in partition else partition[name]
            for name in names}


def evaluate(fn, value, keys):
    """Calls the check; returns {"passed", "message", "metadata"} and the exception
    it raised, if any (a raise is a failure, its text the message)."""
    try:
        result = fn(value, **keys)
    except Exception as exc:  # noqa: BLE001 - the check's failure, said as its message
        from tolva.worker import error_text

        return {"passed": False, "message": _one_line(error_text(exc)), "metadata": None}, exc
    return _normalised(result), None


def _normalised(result):
    if isinstance(result, CheckResult):
        passed, message, metadata = result.passed, result.message, result.metadata
    elif isinstance(result, dict) and "passed" in result and set(result) <= {"passed", "message", "metadata"}:
        passed, message, metadata = result["passed"], result.get("message", ""), result.get("metadata")
    elif isinstance(result, tuple) and len(result) in (2, 3):
        passed, message, metadata = (*result, None)[:3]
    else:
        passed, message, metadata = result, "", None
    if type(passed).__name__ not in ("bool", "bool_"):
        return {"passed": False, "message": f"returned {_short(result)}, not True, False or a CheckResult",
                "metadata": None}
    try:
        json.dumps(metadata, allow_nan=False)
    except (TypeError, ValueError) as exc:
        return {"passed": False, "message": f"its metadata cannot be stored as JSON: {exc}", "metadata": None}
    text = message if isinstance(message, str) else str(message)
    return {"passed": bool(passed), "message": _one_line(text) or ("" if passed else "returned False"),
            "metadata": metadata}


def _one_line(text):
    line = text.strip().splitlines()[0] if text.strip() else ""
    return line if len(line) <= 300 else line[:299] + "\u2026"


def _short(value):
    text = repr(value)
    return text if len(text) <= 60 else text[:59] + "\u2026"


def failure_text(check, asset, message):
    return f"check '{check}' of '{asset}' failed: {message}"


def store(job, result):
    """Writes the check's outcome as its value.json and its result.json (a failure's
    record for a blocking check that failed); returns (preview, values.Hashed)."""
    fmt = formats.named(formats.DEFAULT)
    output_dir = job["output_dir"]
    value_path, preview, hashed = values.store(job["check"]["name"], result, output_dir, fmt)
    if result["passed"] or not job["check"]["blocking"]:
        record = {"artifact_format": fmt.name, "check": job["check"]["name"], "function_name": job["function"],
                  "module_path": job["module"], "ok": True, "result_type": "CheckResult", "value_path": value_path}
    else:
        error = failure_text(job["check"]["name"], job["asset"], result["message"])
        record = {"error": error, "error_type": CHECK_FAILED, "ok": False}
    layout.write_atomically(layout.result_path(output_dir), json.dumps(
        record, separators=(",", ":"), ensure_ascii=False, sort_keys=True))
    return preview, hashed
