"""python -m tolva.worker MODULE FUNCTION OUTPUT_DIR [--inputs JSON | --inputs-file PATH]

Computes one asset with ``_tolva.materialize_asset``: ``value.json`` and
``result.json`` appear in OUTPUT_DIR. Exit status 0 on success, 1 when the asset
failed (``result.json`` then holds the failure record, standard error the traceback
and a one-line error) or could not be set up, 2 for usage errors and for a target
that is not a tolva asset. ``--inputs-file`` takes the keyword arguments as a JSON
object from a file ("-" for standard input), for values too large for a command line.
"""

import importlib
import json
import os
import re
import sys

from json.encoder import JSONEncoder

from tolva import _cli, formats, layout, values

PROG = "python -m tolva.worker"
_JSON_DEFAULT = JSONEncoder.default.__code__
_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))


class NotAnAsset(Exception):
    """The named target exists but is not a tolva asset: it is never run."""


class Outcome:
    """How one materialization ended: the failure record and, when one escaped, the
    asset's exception, kept for its traceback."""

    def __init__(self, ok, error_type=None, error=None, exception=None, where=None, preview=None, hashed=None):
        self.ok, self.error_type, self.error, self.exception = ok, error_type, error, exception
        self.where = where  # the frame to show, when the traceback holds none of the user's
        # Of a value stored here (not by the core): its preview and values.Hashed digest.
        self.preview, self.hashed = preview, hashed
        self.extra = {}  # what else the job's record keeps (a check's outcome)

    def traceback_text(self):
        if self.exception is None:
            return ""
        import traceback

        return "".join(traceback.format_exception(self.exception))

    def frame(self):
        """The last frame of the user's own code, as "file:line in function"."""
        if self.where is not None:
            return self.where
        if self.exception is None:
            return None
        import traceback

        from tolva.fingerprint import library_roots

        library = library_roots()
        frames = traceback.extract_tb(self.exception.__traceback__)
        own = [f for f in frames if not os.path.realpath(f.filename).startswith(library)]
        chosen = (own or frames or [None])[-1]
        return None if chosen is None else f"{chosen.filename}:{chosen.lineno} in {chosen.name}"


class _EscapedException:
    """Keeps the last exception that left a frame of code outside tolva while the
    asset ran: the exception that escaped the asset, with its whole traceback.
    materialize_asset records only its text; sys.monitoring sees the object."""

    def __init__(self):
        self.exception = None
        self.unstorable = None  # the type of what json's encoder met and could not write
        self.tool = None

    def __enter__(self):
        monitoring = getattr(sys, "monitoring", None)
        if monitoring is None:
            return self
        for tool in (3, 4):
            try:
                monitoring.use_tool_id(tool, "tolva")
            except ValueError:
                continue
            self.tool = tool
            monitoring.register_callback(tool, monitoring.events.PY_UNWIND, self._unwound)
            monitoring.set_events(tool, monitoring.events.PY_UNWIND)
            break
        return self

    def _unwound(self, code, offset, exception):
        if code is _JSON_DEFAULT:
            # The object json's encoder cannot write is that frame's own argument.
            self.unstorable = type(sys._getframe(1).f_locals.get("o"))
        if not code.co_filename.startswith(_PACKAGE_DIR):
            self.exception = exception

    def matching(self, record):
        """The kept exception when it is the one the failure record describes (an
        error raised in C code unwinds no frame, leaving an older, handled one)."""
        exc = self.exception
        if exc is None or type(exc).__name__ != record.get("error_type"):
            return None
        return exc if str(record.get("error", "")).endswith(str(exc)) else None

    def __exit__(self, *exc_info):
        if self.tool is not None:
            sys.monitoring.set_events(self.tool, 0)
            sys.monitoring.register_callback(self.tool, sys.monitoring.events.PY_UNWIND, None)
            sys.monitoring.free_tool_id(self.tool)
        return False


def check_target(module_name, function_name):
    """Refuses a target that imports but is not an asset (a plan edited to name
    shutil.rmtree, say). Import failures are left to materialize_asset to record."""
    try:
        module = importlib.import_module(module_name)
    except BaseException:
        return
    target = getattr(module, function_name, None)
    if target is None:
        return
    try:
        kind = target.__tolva_kind__
    except Exception:
        kind = None
    if kind != "asset":
        raise NotAnAsset(f"'{module_name}.{function_name}' is not a tolva asset; only assets are run")


def read_record(output_dir):
    try:
        record = layout.read_json(layout.result_path(output_dir))
        return record if isinstance(record, dict) else None
    except (OSError, ValueError):
        return None


def materialize(module_name, function_name, output_dir, inputs, observer=None, fmt=None, asset_name=None):
    """Computes the asset into output_dir and returns its Outcome. inputs: the keyword
    arguments as JSON text, for the core's materialize_asset (a JSON value from JSON
    inputs: the default), or as objects, for a value or inputs of other formats (fmt).
    Raises NotAnAsset, and lets a setup failure (the output directory cannot be made)
    propagate. An observer (a context manager) watches the asset's call: the module is
    imported before it. asset_name: the asset as messages name it."""
    import contextlib

    check_target(module_name, function_name)
    asset_name = asset_name or function_name
    with _EscapedException() as escaped:
        with observer or contextlib.nullcontext():
            if isinstance(inputs, dict) or (fmt is not None and fmt.name != formats.DEFAULT):
                return _materialize_objects(module_name, function_name, output_dir, inputs or {},
                                            fmt or formats.named(formats.DEFAULT), asset_name)
            try:
                from _tolva import materialize_asset

                materialize_asset(module_name, function_name, output_dir, inputs)
            except SystemExit as exc:
                if exc.code != 1:
                    raise
                record = read_record(output_dir) or {}
                outcome = Outcome(False, record.get("error_type"), record.get("error"), escaped.matching(record))
                return not_json(outcome, module_name, function_name, asset_name, escaped.unstorable) or outcome
            except Exception as exc:
                if exc.__context__ is None:
                    raise  # a setup failure: nothing was run
                # The failure record itself could not be written; the asset's own
                # exception is this one's __context__.
                cause = exc.__context__
                return Outcome(False, type(cause).__name__, f"{_cli.describe(cause)} (and its record could not be "
                               f"written: {_cli.describe(exc)})", escaped.exception or cause)
    return Outcome(True)


def _materialize_objects(module_name, function_name, output_dir, kwargs, fmt, asset_name):
    """What materialize_asset does, for values beyond JSON: the output folder made
    (unguarded), then the module imported, the function unwrapped and called with the
    objects, its value stored through its format and the record written; any failure
    of those, of any kind, becomes the failure record and the Outcome."""
    import inspect
    import pathlib

    out = pathlib.Path(output_dir)
    out.mkdir(parents=True, exist_ok=True)
    try:
        target = getattr(importlib.import_module(module_name), function_name)
        try:
            fn = target.__tolva_original__
        except Exception:  # noqa: BLE001 - a plain function is called as it is
            fn = target
        value = fn(**kwargs)
        value_path, preview, hashed = values.store(asset_name, value, output_dir, fmt)
        record = {"artifact_format": fmt.name, "function_name": function_name, "module_path": module_name,
                  "ok": True, "result_type": type(value).__name__, "signature": str(inspect.signature(fn)),
                  "value_path": value_path}
        _write_record(output_dir, record)
    except BaseException as exc:  # noqa: BLE001 - the asset's failure, whatever it is, is its record
        if isinstance(exc, values.Refused):
            # Said in the user's terms, and shown at the asset's own definition.
            _write_record(output_dir, {"error": f"{exc.error_type}: {exc}", "error_type": exc.error_type, "ok": False})
            return Outcome(False, exc.error_type, str(exc), exc, definition_of(module_name, function_name))
        error = error_text(exc)
        _write_record(output_dir, {"error": error, "error_type": type(exc).__name__, "ok": False})
        return Outcome(False, type(exc).__name__, error, exc)
    return Outcome(True, preview=preview, hashed=hashed)


def error_text(exc):
    """The failure record's error: the exception's qualified type name and its text,
    with a lone surrogate shown as U+FFFD, as the core writes it."""
    try:
        text = str(exc)
    except Exception:  # noqa: BLE001
        text = "<exception str() failed>"
    return "".join("\ufffd" if "\ud800" <= ch <= "\udfff" else ch for ch in f"{type(exc).__qualname__}: {text}")


def _write_record(output_dir, record):
    layout.write_atomically(layout.result_path(output_dir), json.dumps(
        record, separators=(",", ":"), ensure_ascii=False, sort_keys=True))


def definition_of(module_name, function_name):
    """Where the asset's function is defined, as "file:line in function"."""
    fn = sys.modules[module_name].__dict__.get(function_name) if module_name in sys.modules else None
    fn = getattr(fn, "__tolva_original__", fn)
    code = getattr(fn, "__code__", None)
    return None if code is None else f"{code.co_filename}:{code.co_firstlineno} in {code.co_name}"


_NOT_JSON = re.compile(r"TypeError: Object of type (\S+) is not JSON serializable\Z")


def not_json(outcome, module_name, function_name, asset_name, unstorable=None):
    """The failure of a value json cannot store, said in the user's terms (the type as
    people write it, where it sits in the value, the format that would store it) and
    shown at the asset's own definition (the traceback is all json's encoder); None
    for any other failure. unstorable: the type json met, when it was seen."""
    match = _NOT_JSON.match(outcome.error or "")
    if match is None:
        return None
    notes = getattr(outcome.exception, "__notes__", None) or []
    what = unstorable if unstorable is not None and unstorable.__name__ == match.group(1) else match.group(1)
    if isinstance(what, str):
        what = type(what, (), {"__module__": "builtins", "__qualname__": what})
    message = values.unstorable_message(asset_name, what, formats.DEFAULT, notes[-1] if notes else None)
    return Outcome(False, outcome.error_type, message, outcome.exception, definition_of(module_name, function_name))


def declared_format(module_name, function_name):
    """The value format the asset declares, when it is not the JSON default (None then,
    and when the module does not import: the materialization records why)."""
    try:
        target = getattr(importlib.import_module(module_name), function_name)
        name = target.__tolva_metadata__.get("serializer")
    except Exception:  # noqa: BLE001
        return None
    if name in (None, formats.DEFAULT):
        return None
    try:
        return formats.named(name, module_name)
    except KeyError:
        raise LookupError(f"asset '{function_name}': {formats.unknown_message(name)}") from None


def _objects(inputs):
    kwargs = json.loads(inputs) if inputs is not None else {}
    if not isinstance(kwargs, dict):
        raise TypeError(f"'{type(kwargs).__qualname__}' object cannot be converted to 'PyDict'")
    return kwargs


def build_parser(prog=None):
    parser = _cli.argument_parser(prog=prog, description="Materialize one tolva asset into a directory.")
    _cli.add_version(parser)
    parser.add_argument("module", metavar="MODULE", help="module that declares the asset (dotted name)")
    parser.add_argument("function", metavar="FUNCTION", help="name of the asset in that module")
    parser.add_argument("output_dir", metavar="OUTPUT_DIR", help="directory for value.json and result.json")
    inputs = parser.add_mutually_exclusive_group()
    inputs.add_argument("--inputs", metavar="JSON", help="keyword arguments as a JSON object")
    inputs.add_argument("--inputs-file", metavar="PATH", help='file holding the JSON object ("-": standard input)')
    return parser


def read_inputs(parser, args):
    if args.inputs_file is None:
        return args.inputs
    try:
        if args.inputs_file == "-":
            return sys.stdin.buffer.read().decode("utf-8")
        with open(args.inputs_file, encoding="utf-8") as f:
            return f.read()
    except (OSError, UnicodeDecodeError) as exc:
        parser.error(f"cannot read --inputs-file: {_cli.describe(exc)}")


def report_failure(prog, outcome):
    """The traceback, then one line: what a person reads first and what a log ends with."""
    sys.stderr.write(outcome.traceback_text())
    _cli.error(prog, outcome.error or outcome.error_type)
    sys.stderr.flush()


@_cli.command
def main(argv=None, prog=None):
    """Entry point; prog defaults to the name the program was started by."""
    parser = build_parser(prog)
    args = parser.parse_args(argv)
    inputs = read_inputs(parser, args)
    _cli.make_cwd_importable()
    try:
        fmt = _cli.call(parser.prog, declared_format, args.module, args.function)
        if fmt is not None:
            # A value of another format: the inputs are objects decoded from the JSON given.
            inputs = _cli.call(parser.prog, _objects, inputs)
        outcome = _cli.call(parser.prog, materialize, args.module, args.function, args.output_dir, inputs, None, fmt)
    except _cli.Failed as failed:
        return 2 if isinstance(failed.args[0], NotAnAsset) else 1
    if not outcome.ok:
        report_failure(parser.prog, outcome)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(prog=PROG))
