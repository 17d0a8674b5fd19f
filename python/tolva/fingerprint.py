"""Code fingerprints: what of the user's code an asset's value can depend on.

The asset function's source, the source of every function and class of the project
that it names, transitively, and the repr of the module-level constants they read.
Names that lead into the standard library or an installed distribution stop there;
mutable globals and data read from outside are not tracked (--force is the remedy).
Computed once per asset in the runner, which has the modules imported.
"""

import hashlib
import inspect
import os
import sys
import sysconfig
import types

_CONSTANT_TYPES = (int, float, complex, str, bytes, bool, type(None))


def library_roots():
    """Where the standard library, installed distributions and tolva itself live: code
    there is not the user's own."""
    paths = {sysconfig.get_path(key) for key in ("stdlib", "platstdlib", "purelib", "platlib")}
    paths |= {os.path.dirname(os.path.dirname(os.path.abspath(__file__)))}  # tolva itself
    paths |= {p for p in sys.path if "site-packages" in p or "dist-packages" in p}
    return tuple(sorted(os.path.realpath(p) + os.sep for p in paths if p))


def constant_text(value):
    """A stable text for a constant, or None when the value is not one (a frozenset's
    repr follows string hashing, which changes between processes)."""
    if isinstance(value, _CONSTANT_TYPES):
        return repr(value)
    if isinstance(value, tuple):
        items = [constant_text(v) for v in value]
        return None if None in items else "(" + ",".join(items) + ")"
    if isinstance(value, frozenset):
        items = [constant_text(v) for v in value]
        return None if None in items else "frozenset(" + ",".join(sorted(items)) + ")"
    return None


class CodeFingerprints:
    """Fingerprints of asset functions, sharing the work on helpers they have in common."""

    def __init__(self, project_root):
        self.project_root = os.path.realpath(project_root) + os.sep
        self.library = library_roots()
        self.own = {}  # id(obj) -> (text, referenced objects)
        self.keep = []  # the objects behind the ids above

    def in_project(self, obj):
        module = sys.modules.get(getattr(obj, "__module__", None) or "")
        return module is not None and _module_in(module, self.project_root, self.library)

    def of(self, fn, source=None):
        """The fingerprint of one asset function (source, when given, is its own text)."""
        texts, seen, stack = [], set(), [(fn, source)]
        while stack:
            obj, given = stack.pop()
            if id(obj) in seen:
                continue
            seen.add(id(obj))
            text, referenced = self._own(obj, given)
            texts.append(text)
            stack.extend((r, None) for r in referenced if id(r) not in seen)
        digest = hashlib.sha256()
        for text in sorted(texts):
            digest.update(text.encode("utf-8", "surrogatepass"))
            digest.update(b"\0")
        return digest.hexdigest()

    def _own(self, obj, source):
        if id(obj) not in self.own:
            self.own[id(obj)] = self._describe(obj, source)
            self.keep.append(obj)
        return self.own[id(obj)]

    def _describe(self, obj, source):
        name = f"{getattr(obj, '__module__', '?')}.{getattr(obj, '__qualname__', repr(obj))}"
        if source is None:
            try:
                source = inspect.getsource(obj)
            except (OSError, TypeError):
                code = getattr(obj, "__code__", None)
                source = code.co_code.hex() if code is not None else ""
        lines = [f"{name}\n{source}"]
        referenced = []
        for label, value in self._names(obj):
            value = getattr(value, "__tolva_original__", value) if _is_asset(value) else value
            text = constant_text(value)
            if text is not None:
                lines.append(f"{label}={text}")
            elif isinstance(value, (types.FunctionType, type)) and self.in_project(value):
                referenced.append(value)
        return "\n".join(lines), referenced

    def _names(self, obj):
        """(name, value) of every global, closure value and module attribute that the
        code of obj (a function, or each function of a class) names."""
        functions = [obj] if isinstance(obj, types.FunctionType) else [
            v.__func__ if isinstance(v, (classmethod, staticmethod)) else v
            for v in vars(obj).values() if isinstance(v, (types.FunctionType, classmethod, staticmethod, property))
        ] if isinstance(obj, type) else []
        for fn in functions:
            if isinstance(fn, property):
                for accessor in (fn.fget, fn.fset, fn.fdel):
                    if isinstance(accessor, types.FunctionType):
                        yield from self._names(accessor)
                continue
            if not isinstance(fn, types.FunctionType):
                continue
            names = _code_names(fn.__code__)
            globals_ = fn.__globals__
            modules = []
            for name in names:
                if name in globals_:
                    value = globals_[name]
                    if isinstance(value, types.ModuleType):
                        modules.append((name, value))
                    else:
                        yield name, value
            for cell_name, cell in zip(fn.__code__.co_freevars, fn.__closure__ or ()):
                try:
                    yield cell_name, cell.cell_contents
                except ValueError:
                    pass
            # helpers.f: the attribute names of a project module are followed too.
            for module_name, module in modules:
                if not _module_in(module, self.project_root, self.library):
                    continue
                for name in names:
                    if name in vars(module):
                        yield f"{module_name}.{name}", vars(module)[name]


def _module_in(module, root, library):
    path = getattr(module, "__file__", None)
    if not path:
        return False
    path = os.path.realpath(path)
    return path.startswith(root) and not path.startswith(library)


def _is_asset(value):
    try:
        return getattr(value, "__tolva_kind__", None) == "asset"
    except Exception:
        return False


def _code_names(code):
    names = set(code.co_names)
    for const in code.co_consts:
        if isinstance(const, types.CodeType):
            names |= _code_names(const)
    return names
