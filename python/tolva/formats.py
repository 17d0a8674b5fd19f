"""Value formats: how an asset's value is stored in its job's folder and loaded back.

A format is one small object in a registry, as codecs are: its name (what
`@asset(serializer=NAME)` says), the suffix of its file (`value.parquet`), dump(value,
path), load(path), preview(value) and refuses(value). Built in: json (the default, the
core's own path), parquet, npy, pickle, text, bytes and file; `value_format` registers
more. Each format imports its library inside, so a pipeline pays only for what it uses.
Knows nothing of jobs, runs or OUT.
"""

import json
import os
import re

_REGISTRY = {}
DEFAULT = "json"
PREVIEW_TEXT = 200  # characters of text, bytes or a cell a preview shows
PREVIEW_ROWS = 10
_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9_.+-]*\Z")
_SUFFIX = re.compile(r"\.[A-Za-z0-9][A-Za-z0-9_.+-]*\Z")


class FormatError(Exception):
    """A value its format cannot store, or a format that cannot work here (its library
    is missing): one line, said in the user's terms."""


class ValueFormat:
    """What a format does, for formats that subclass it: a value's preview is its type
    and the start of its repr, and every value is taken."""

    name = ""
    suffix = ""

    def dump(self, value, path):
        raise NotImplementedError

    def load(self, path):
        raise NotImplementedError

    def preview(self, value):
        return {"repr": short_repr(value)}

    def refuses(self, value):
        """Why the value cannot be stored in this format (one phrase), or None."""
        return None

    def prepare(self):
        """Imports what dumping and loading need, in a warm process before it forks
        jobs, so that no job imports it again."""


def value_format(name, suffix):
    """Registers a format: a class decorator for a class with dump(value, path) and
    load(path), and optionally preview(value) (a small dict shown in the report and by
    --show) and refuses(value). Register it in a module the pipeline imports (the one
    that declares the assets, or one it imports): jobs, Dask workers and tolva.load
    find it there.

        @tolva.value_format("csv", suffix=".csv")
        class Csv:
            def dump(self, value, path):
                value.to_csv(path, index=False)

            def load(self, path):
                import pandas
                return pandas.read_csv(path)
    """
    if not isinstance(name, str) or not _NAME.match(name):
        raise ValueError(f"value_format: name {name!r} is not a plain name (letters, digits, '_', '.', '+', '-')")
    if not isinstance(suffix, str) or not _SUFFIX.match(suffix):
        raise ValueError(f"value_format: suffix {suffix!r} of format '{name}' is not a file suffix such as '.csv'")

    def register(cls):
        for method in ("dump", "load"):
            if not callable(getattr(cls, method, None)):
                raise TypeError(f"value_format: format '{name}' ({cls.__qualname__}) has no {method}() method")
        known = _REGISTRY.get(name)
        if known is not None and (known.builtin or _qualname(type(known)) != _qualname(cls)):
            by = "tolva" if known.builtin else _qualname(type(known))
            raise ValueError(f"value_format: format '{name}' is already registered by {by}")
        _REGISTRY[name] = _made(cls, name, suffix, builtin=False)
        return cls

    return register


def _qualname(cls):
    return f"{cls.__module__}.{cls.__qualname__}"


def _made(cls, name, suffix, builtin):
    instance = cls()
    instance.name, instance.suffix, instance.builtin = name, suffix, builtin
    for method in ("preview", "refuses", "prepare"):
        if not callable(getattr(instance, method, None)):
            setattr(instance, method, getattr(ValueFormat(), method))
    return instance


def _builtin(name, suffix):
    def register(cls):
        _REGISTRY[name] = _made(cls, name, suffix, builtin=True)
        return cls

    return register


def prepare_for(modules):
    """Prepares the formats the assets of the imported modules declare (see prepare)."""
    import sys

    for name in modules:
        for value in list(vars(sys.modules.get(name) or object).values()):
            try:
                declared = value.__tolva_metadata__["serializer"] if value.__tolva_kind__ == "asset" else None
            except Exception:  # noqa: BLE001 - not an asset
                continue
            known = _REGISTRY.get(declared)
            if known is not None:
                try:
                    known.prepare()
                except Exception:  # noqa: BLE001 - warming is an optimisation; the job says what fails
                    pass


def known_names():
    return sorted(_REGISTRY)


def named(name, module=None):
    """The format of that name; when it is not registered yet, the module that should
    register it (the asset's) is imported first. KeyError when there is none."""
    name = name or DEFAULT
    if name not in _REGISTRY and module:
        import importlib

        try:
            importlib.import_module(module)
        except Exception:  # noqa: BLE001 - then the format is unknown, which is said
            pass
    return _REGISTRY[name]


def suffix_of(name):
    """The suffix of a format's file by its name ("" when it is not known here)."""
    known = _REGISTRY.get(name or DEFAULT)
    return known.suffix if known is not None else ""


def unknown_message(name):
    """Why a serializer name is refused: the closest known name and every known name."""
    import difflib

    close = difflib.get_close_matches(name, known_names(), n=1)
    hint = f"; did you mean '{close[0]}'?" if close else ""
    return f"unknown serializer '{name}'{hint} (known: {', '.join(known_names())})"


def needs(package, import_name, fmt):
    """Imports a format's library; FormatError naming what to install when it is missing."""
    import importlib

    try:
        return importlib.import_module(import_name)
    except ImportError:
        raise FormatError(f"the {fmt} format needs {package}, which is not installed here: pip install {package}") \
            from None


# --- types, by name ----------------------------------------------------------------


def type_name(value_or_type):
    """A type as people write it: builtins by name, the data libraries by their package
    (pandas.DataFrame, numpy.ndarray), anything else with its module."""
    cls = value_or_type if isinstance(value_or_type, type) else type(value_or_type)
    module = cls.__module__ or ""
    if module == "builtins":
        return cls.__qualname__
    top = module.split(".")[0]
    return f"{top if top in ('pandas', 'numpy', 'pyarrow') else module}.{cls.__qualname__}"


def better_format(value):
    """The built-in format that would store the value (or a value of that type)."""
    cls = value if isinstance(value, type) else type(value)
    name = type_name(cls)
    if name in ("pandas.DataFrame", "pyarrow.Table"):
        return "parquet"
    if name == "numpy.ndarray":
        return "pickle" if not isinstance(value, type) and value.dtype.hasobject else "npy"
    if issubclass(cls, (bytes, bytearray, memoryview)):
        return "bytes"
    if cls in (dict, list, str, int, float, bool, type(None)):
        return DEFAULT
    if issubclass(cls, os.PathLike):
        return "file"
    return "pickle"


# Annotations whose type a format cannot store, by the last part of their name: the
# plan warns about them once per asset.
_ANNOTATED = {"DataFrame": "parquet", "Table": "parquet", "ndarray": "npy", "bytes": "bytes", "bytearray": "bytes",
              "Path": "file", "PurePath": "file", "set": "pickle", "frozenset": "pickle", "datetime": "pickle",
              "date": "pickle", "Decimal": "pickle"}


def annotation_problem(fmt, annotation):
    """Why a return annotation names a type the format cannot store, or None (a format
    of the user's own, and pickle, store what they store)."""
    if not annotation or not fmt.builtin or fmt.name == "pickle":
        return None
    wanted = _ANNOTATED.get(annotation.strip("'\"").split("[")[0].split(".")[-1])
    if wanted is None or wanted == fmt.name:
        return None
    return f"is annotated -> {annotation}, which cannot be stored as {shown(fmt.name)}; declare " \
           f"@asset(serializer=\"{wanted}\")"


def shown(name):
    """A format's name in a sentence: "JSON" for json."""
    return "JSON" if name == DEFAULT else name


# --- built-in formats --------------------------------------------------------------


def cut(text, most=PREVIEW_TEXT):
    return text if len(text) <= most else text[:most] + "…"


def short_repr(value):
    """The start of a value's repr, made without writing out a large value whole."""
    import reprlib

    if isinstance(value, (str, bytes, bytearray)):
        return cut(repr(value[: PREVIEW_TEXT + 1]))
    shorter = reprlib.Repr(maxlevel=3, maxstring=PREVIEW_TEXT, maxother=PREVIEW_TEXT, maxlong=PREVIEW_TEXT)
    shorter.repr_bytes = shorter.repr_bytearray = lambda value, level: cut(repr(value[: PREVIEW_TEXT + 1]))
    return cut(shorter.repr(value))


@_builtin("json", ".json")
class Json(ValueFormat):
    """The default, written by the core as the host's json.dumps writes it."""

    def dump(self, value, path):
        text = json.dumps(value)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)

    def load(self, path):
        with open(path, encoding="utf-8") as f:
            return json.load(f)

    def preview(self, value):
        return {"text": cut(json.dumps(value, indent=2, ensure_ascii=False), 2048)}


@_builtin("parquet", ".parquet")
class Parquet(ValueFormat):
    """A pandas DataFrame (its index, column order and dtypes as pandas writes them) or
    a pyarrow Table, which comes back as a Table."""

    _KIND = b"tolva.kind"

    def prepare(self):
        import importlib

        for name in ("pyarrow.parquet", "pyarrow.dataset", "pandas.io.parquet"):
            try:
                importlib.import_module(name)
            except ImportError:
                pass

    def refuses(self, value):
        if type_name(value) not in ("pandas.DataFrame", "pyarrow.Table"):
            return "a pandas.DataFrame or a pyarrow.Table"
        return None

    def dump(self, value, path):
        parquet = needs("pyarrow", "pyarrow.parquet", "parquet")
        if type_name(value) == "pyarrow.Table":
            metadata = {**(value.schema.metadata or {}), self._KIND: b"table"}
            parquet.write_table(value.replace_schema_metadata(metadata), path)
        else:
            needs("pandas", "pandas", "parquet")
            value.to_parquet(path, engine="pyarrow")

    def load(self, path):
        parquet = needs("pyarrow", "pyarrow.parquet", "parquet")
        metadata = parquet.read_schema(path).metadata or {}
        if metadata.get(self._KIND) == b"table":
            table = parquet.read_table(path)
            kept = {k: v for k, v in (table.schema.metadata or {}).items() if k != self._KIND}
            return table.replace_schema_metadata(kept or None)
        return needs("pandas", "pandas", "parquet").read_parquet(path, engine="pyarrow")

    def preview(self, value):
        if type_name(value) == "pyarrow.Table":
            head = value.slice(0, PREVIEW_ROWS).to_pylist()
            return {"rows": value.num_rows, "columns": [[f.name, str(f.type)] for f in value.schema],
                    "head": [[cut(str(row[f.name]), 50) for f in value.schema] for row in head]}
        head = value.head(PREVIEW_ROWS)
        return {"rows": int(value.shape[0]), "columns": [[str(c), str(t)] for c, t in value.dtypes.items()],
                "index": [cut(str(i), 50) for i in head.index],
                "head": [[cut(str(cell), 50) for cell in row] for row in head.itertuples(index=False)]}


@_builtin("npy", ".npy")
class Npy(ValueFormat):
    """A numpy ndarray, without pickle: an array of Python objects is refused."""

    def refuses(self, value):
        if type_name(value) != "numpy.ndarray":
            return "a numpy.ndarray"
        if value.dtype.hasobject:
            return "arrays of numbers, text and records; an array of Python objects needs pickle"
        return None

    def prepare(self):
        needs("numpy", "numpy", "npy")

    def dump(self, value, path):
        numpy = needs("numpy", "numpy", "npy")
        with open(path, "wb") as f:
            numpy.save(f, value, allow_pickle=False)

    def load(self, path):
        return needs("numpy", "numpy", "npy").load(path, allow_pickle=False)

    def preview(self, value):
        facts = {"shape": list(value.shape), "dtype": str(value.dtype)}
        if value.size and value.dtype.kind in "biuf":
            facts.update(min=value.min().item(), max=value.max().item())
        return facts


@_builtin("pickle", ".pickle")
class Pickle(ValueFormat):
    """Any picklable value (protocol 5). Loading a pickle runs code: tolva loads only a
    file whose content its own record vouches for."""

    def dump(self, value, path):
        import pickle

        with open(path, "wb") as f:
            pickle.dump(value, f, protocol=5)

    def load(self, path):
        import pickle

        with open(path, "rb") as f:
            return pickle.load(f)


@_builtin("text", ".txt")
class Text(ValueFormat):
    """A str, as UTF-8."""

    def refuses(self, value):
        if not isinstance(value, str):
            return "a str"
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            return "a str that UTF-8 can encode (this one holds a lone surrogate)"
        return None

    def dump(self, value, path):
        with open(path, "w", encoding="utf-8", newline="") as f:
            f.write(value)

    def load(self, path):
        with open(path, encoding="utf-8", newline="") as f:
            return f.read()

    def preview(self, value):
        return {"size": len(value), "text": cut(value)}


@_builtin("bytes", ".bin")
class Bytes(ValueFormat):
    """bytes (or a bytearray or memoryview, which come back as bytes)."""

    def refuses(self, value):
        return None if isinstance(value, (bytes, bytearray, memoryview)) else "bytes"

    def dump(self, value, path):
        with open(path, "wb") as f:
            f.write(value)

    def load(self, path):
        with open(path, "rb") as f:
            return f.read()

    def preview(self, value):
        data = bytes(value[:PREVIEW_TEXT])
        return {"size": len(value), "text": data.decode("latin-1").encode("unicode_escape").decode("ascii")
                + ("…" if len(value) > PREVIEW_TEXT else "")}


@_builtin("file", "")
class File(ValueFormat):
    """A file or folder the asset wrote, anywhere: it returns its path, and tolva moves
    it into the job's folder; jobs that read it get a pathlib.Path to it there."""

    def refuses(self, value):
        if not isinstance(value, (str, os.PathLike)):
            return "the path (a str or a pathlib.Path) of a file or folder the asset wrote"
        if not os.path.lexists(value):
            return f"an existing file or folder (nothing is at {os.fspath(value)})"
        return None

    def dump(self, value, path):
        import shutil

        os.makedirs(path, exist_ok=True)
        source = os.path.abspath(os.fspath(value))
        shutil.move(source, os.path.join(path, os.path.basename(source.rstrip(os.sep)) or "value"))

    def load(self, path):
        import pathlib

        return pathlib.Path(path)

    def preview(self, value):
        path = os.fspath(value)
        size = os.path.getsize(path) if not os.path.isdir(path) else sum(
            os.path.getsize(os.path.join(folder, name)) for folder, _, names in os.walk(path) for name in names)
        return {"name": os.path.basename(path.rstrip(os.sep)), "size": size, "folder": os.path.isdir(path)}

