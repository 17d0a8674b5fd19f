"""Code fingerprints: what of the user's code an asset's value can depend on.

An asset's fingerprint covers the bytecode of its function (so comments and layout
inside it count for nothing, and the @asset(...) call around it is not part of it),
its defaults and closure, and every global it reads, transitively through the
project's functions, classes (their whole MRO), instances, containers, partials and
decorated helpers, modules reached by dotted paths, and modules imported in a
function's body. Values are described by stable text: no hash seed, object id,
set order or absolute project path reaches a fingerprint. A value with no stable
description is named, so the planner can warn about it. Code of the standard
library and installed distributions is named, not followed.

Computed by the planner over its imported modules and again by each job over the
code it imported, with the same project roots.
"""

import enum
import functools
import importlib
import os
import pathlib
import re
import sys
import types

from tolva._compat import inline_cache_entries
from tolva.digests import text_hash

_BUILTIN_SCALARS = (int, float, complex, str, bytes, bool, type(None), type(Ellipsis), range)
# Types whose repr describes a value stably, by module: looked up among the modules
# already imported, since no value of a type whose module nobody imported can exist.
_LIBRARY_SCALARS = (("decimal", ("Decimal",)), ("fractions", ("Fraction",)),
                    ("datetime", ("date", "datetime", "time", "timedelta", "timezone")), ("uuid", ("UUID",)))


def _scalar_types():
    found = set(_BUILTIN_SCALARS)
    for module_name, names in _LIBRARY_SCALARS:
        module = sys.modules.get(module_name)
        if module is not None:
            found.update(getattr(module, name) for name in names)
    return found


def _dataclass_fields(obj):
    """The fields of a dataclass (or of an instance of one); () for anything else."""
    if not hasattr(obj, "__dataclass_fields__"):
        return ()
    return sys.modules["dataclasses"].fields(obj)
# Entries of a class's namespace that the interpreter writes and that move with the
# text (line numbers) or repeat what the rest already says.
_CLASS_NOISE = {"__module__", "__doc__", "__dict__", "__weakref__", "__qualname__", "__firstlineno__", "__static_attributes__",
                "__dataclass_fields__", "__dataclass_params__", "__match_args__", "__annotations_cache__"}


_LIBRARY = []


def library_roots():
    """Where the standard library, installed distributions and tolva itself live: code
    there is not the user's own."""
    if not _LIBRARY:
        # The standard library's folder holds its extension modules too (lib-dynload);
        # sysconfig would say the same at a tenth of an unchanged run's cost.
        import site

        paths = {os.path.dirname(os.__file__), *site.getsitepackages()}
        paths |= {os.path.dirname(os.path.dirname(os.path.abspath(__file__)))}  # tolva itself
        paths |= {p for p in sys.path if "site-packages" in p or "dist-packages" in p}
        _LIBRARY.append(tuple(sorted(os.path.realpath(p) + os.sep for p in paths if p)))
        _LIBRARY.append(tuple(sorted({os.path.abspath(p) + os.sep for p in paths if p} | set(_LIBRARY[0]))))
    return _LIBRARY[0]


def project_roots():
    """The sys.path entries from which the modules imported so far came (the named
    modules and the project modules they import), less the standard library and
    installed distributions."""
    library = library_roots()
    entries = sorted({os.path.realpath(p or os.getcwd()) for p in sys.path if isinstance(p, str)},
                     key=len, reverse=True)
    entries = [e for e in entries if os.path.isdir(e) and not (e + os.sep).startswith(library)]
    roots = set()
    for module in list(sys.modules.values()):
        path = getattr(module, "__file__", None)
        if not isinstance(path, str) or path.startswith(_LIBRARY[1]):
            continue  # the library as sys.path names it: no need to resolve links
        path = os.path.realpath(path)
        if path.startswith(library):
            continue
        entry = next((e for e in entries if path.startswith(e + os.sep)), None)
        if entry is not None:
            roots.add(entry)
    return sorted(roots)


# The real path of each source file of loaded code, once per process: a warm server's
# jobs inherit it, and a job does not resolve every loaded module's links again (a
# module's code is what it was loaded from, wherever its path's links point later).
_REAL_PATHS = {}


def real_path(path):
    real = _REAL_PATHS.get(path)
    if real is None:
        real = os.path.realpath(path)
        if os.path.isabs(path):  # a relative one means another file once the process changes folder
            _REAL_PATHS[path] = real
    return real


class Project:
    """The project's roots, and which code and files are the user's own."""

    def __init__(self, roots):
        self.roots = tuple(real_path(r).rstrip(os.sep) + os.sep for r in roots)
        spelled = {os.path.abspath(r).rstrip(os.sep) + os.sep for r in roots} | set(self.roots)
        _ROOTS[:] = sorted(spelled, key=len, reverse=True)
        self.library = library_roots()
        self._files = {}

    def owns_file(self, path):
        """Whether a source file is the user's: under a root, outside the library."""
        owned = self._files.get(path)
        if owned is None:
            # Code compiled from a string ("<string>", "<frozen ...>") has no file.
            real = real_path(path) if os.path.isabs(path) else ""
            owned = self._files[path] = real.startswith(self.roots) and not real.startswith(self.library)
        return owned

    def owns_module(self, module):
        path = getattr(module, "__file__", None)
        return isinstance(path, str) and self.owns_file(path)

    def owns(self, obj):
        code = getattr(obj, "__code__", None)
        if isinstance(code, types.CodeType):
            return self.owns_file(code.co_filename)
        module = sys.modules.get(getattr(obj, "__module__", None) or "")
        return module is not None and self.owns_module(module)

    def relative(self, path):
        """A path under a root as "root-relative" text, so a moved checkout reads the
        same; other paths as they are."""
        real = os.path.realpath(path)
        for root in self.roots:
            if real.startswith(root) or real + os.sep == root:
                return real[len(root):]
        return real

    def resolve(self, text):
        """The current file for a path recorded by relative()."""
        if os.path.isabs(text):
            return text
        for root in self.roots:
            candidate = root + text
            if os.path.lexists(candidate):
                return candidate
        return self.roots[0] + text if self.roots else text


_CODE_DIGESTS = {}
_HAS_DOCSTRING = 0x4000000
# The compiler fuses and borrows loads only within one line, and keeps a NOP where a
# line has no other instruction: undone here, so layout never shows in a digest.
_FUSED = {"LOAD_FAST_LOAD_FAST": ("LOAD_FAST", "LOAD_FAST"),
          "LOAD_FAST_BORROW_LOAD_FAST_BORROW": ("LOAD_FAST", "LOAD_FAST"),
          "STORE_FAST_LOAD_FAST": ("STORE_FAST", "LOAD_FAST"), "STORE_FAST_STORE_FAST": ("STORE_FAST", "STORE_FAST")}
_SAME = {"LOAD_FAST_BORROW": "LOAD_FAST"}


def _opcode_table():
    """Per opcode: (name as digested, inline cache units, takes an argument, jump: 0,
    1 forward, -1 backward or 2 absolute)."""
    import opcode

    backward = {"JUMP_BACKWARD", "JUMP_BACKWARD_NO_INTERRUPT", "END_ASYNC_FOR"}
    caches = inline_cache_entries()
    table = []
    for op in range(256):
        name = opcode.opname[op]
        jump = (-1 if name in backward else 1) if op in opcode.hasjrel else 2 if op in opcode.hasjabs else 0
        table.append((_SAME.get(name, name), caches.get(name, 0), op in opcode.hasarg, jump))
    return table


def _exception_ranges(code):
    """(start, end, target, depth, lasti) of each entry of the exception table, in
    bytes, decoded from its varints of 6 bits."""
    data, i, entries = code.co_exceptiontable, 0, []

    def varint():
        nonlocal i
        byte = data[i]
        i += 1
        value = byte & 63
        while byte & 64:
            byte = data[i]
            i += 1
            value = (value << 6) | (byte & 63)
        return value

    while i < len(data):
        start = varint() * 2
        end = start + varint() * 2
        target = varint() * 2
        depth_lasti = varint()
        entries.append((start, end, target, depth_lasti >> 1, bool(depth_lasti & 1)))
    return entries


def _instructions(code):
    """The code's instructions as text, independent of line structure: fused pairs
    split, borrowed loads as plain loads, NOPs dropped, jump targets and exception
    ranges as instruction indexes. Decoded here: dis.get_instructions resolves
    positions and arguments, and costs ten times as much."""
    table, raw = _OPCODES, code.co_code
    decoded, index, count, extended, i, start = [], {}, 0, 0, 0, None
    while i < len(raw):
        name, caches, has_arg, jump = table[raw[i]]
        arg = raw[i + 1] | extended if has_arg else None
        start = i if start is None else start  # a jump to a prefixed instruction lands on its prefix
        i += 2 + 2 * caches
        if name == "EXTENDED_ARG":
            extended = arg << 8
            continue
        extended = 0
        index[start] = count
        start = None
        count += 0 if name == "NOP" else 2 if name in _FUSED else 1
        target = None if not jump else (i + 2 * arg * jump if jump != 2 else 2 * arg)
        decoded.append((name, arg, target))
    index[len(raw)] = count
    out = []
    for name, arg, target in decoded:
        if name == "NOP":
            continue
        if name in _FUSED:
            first, second = _FUSED[name]
            out += [f"{first} {arg >> 4}", f"{second} {arg & 15}"]
        elif target is not None:
            out.append(f"{name} -> {index.get(target)}")
        else:
            out.append(f"{name} {arg}")
    for start, end, target, depth, lasti in _exception_ranges(code):
        out.append(f"except {index.get(start)} {index.get(end)} {index.get(target)} {depth} {lasti}")
    return "\n".join(out)


def code_digest(code):
    """The bytecode of a code object and everything compiled into it: names, constants,
    nested functions, docstrings. Line numbers, positions and layout are left out."""
    digest = _CODE_DIGESTS.get(code)
    if digest is None:
        consts = []
        # A docstring is documentation unless the code reads it (then describe_function
        # keeps it).
        for const in code.co_consts[1:] if code.co_flags & _HAS_DOCSTRING else code.co_consts:
            consts.append("code:" + code_digest(const) if isinstance(const, types.CodeType) else
                          _sorted_set(const) if isinstance(const, frozenset) else portable(repr(const)))
        # Locals are reached by index: only the parameters' names (callers may pass
        # them by keyword) can change what the code does, not a renamed local.
        arguments = code.co_argcount + code.co_kwonlyargcount + bool(code.co_flags & 0x4) + bool(code.co_flags & 0x8)
        parts = [code.co_name, str(code.co_flags), str(code.co_argcount), str(code.co_posonlyargcount),
                 str(code.co_kwonlyargcount), repr(code.co_varnames[:arguments]), str(len(code.co_varnames)),
                 str(len(code.co_freevars)), str(len(code.co_cellvars)), repr(code.co_names), _instructions(code),
                 *consts]
        digest = _CODE_DIGESTS[code] = text_hash("\0".join(parts))
    return digest


_ROOTS = []  # the project's roots as the latest Project named them, longest first


def portable(text):
    """Text with the project's location spelled as "<project>/": a moved or freshly
    cloned checkout reads the same."""
    for root in _ROOTS:
        if root in text:
            text = text.replace(root, "<project>/")
    return text


def _sorted_set(value):
    return "{" + ",".join(sorted(repr(v) for v in value)) + "}"


def names_read(code):
    """Every global or attribute name the code (and code nested in it) names."""
    names = set(code.co_names)
    for const in code.co_consts:
        if isinstance(const, types.CodeType):
            names |= names_read(const)
    return names


def _imports_in(code, package):
    """Modules that the code imports in its body (import x.y, from . import z)."""
    found = []
    if _IMPORT_NAME in code.co_code[::2]:
        import dis

        level = 0
        for instruction in dis.get_instructions(code):
            if instruction.opname in ("LOAD_CONST", "LOAD_SMALL_INT") and isinstance(instruction.argval, int):
                level = instruction.argval
            elif instruction.opname == "IMPORT_NAME":
                name = instruction.argval
                try:
                    import importlib.util  # brings threading along: only for imports in a body

                    found.append(importlib.util.resolve_name("." * level + name, package) if level else name)
                except (ImportError, ValueError):
                    pass
    for const in code.co_consts:
        if isinstance(const, types.CodeType):
            found += _imports_in(const, package)
    return found


def qualified_name(obj):
    return f"{getattr(obj, '__module__', None) or '?'}.{getattr(obj, '__qualname__', None) or type(obj).__name__}"


class CodeFingerprints:
    """Fingerprints of asset functions, sharing the work on what they have in common.

    Each project function or class is a node with a text of its own (its code and the
    descriptions of what it reads) that names the nodes it leads to. An asset's code
    fingerprint is the digest of every node it reaches, by name."""

    def __init__(self, project):
        self.project = project
        self.nodes = {}  # id(obj) -> (name, digest of its own text, [reached objects], [(name, type)])
        self.keep = []  # the objects behind the ids above

    def of(self, fn):
        """(code digest, {node name: digest}, [(global name, type name)] without a
        stable description) of one asset function."""
        parts, unstable, seen, stack = {}, [], set(), [fn]
        while stack:
            obj = stack.pop()
            if id(obj) in seen:
                continue
            seen.add(id(obj))
            name, digest, reached, loose, constants = self.node(obj)
            parts[name] = digest
            parts.update(constants)
            unstable += loose
            stack.extend(r for r in reached if id(r) not in seen)
        text = "\n".join(f"{name}={digest}" for name, digest in sorted(parts.items()))
        return text_hash(text), dict(sorted(parts.items())), sorted(set(unstable))

    def own(self, obj):
        """The digest of one function or class with the constants it reads, not of what
        it leads to: what a run records of a function it saw execute."""
        _, digest, _, _, constants = self.node(obj)
        return text_hash(digest + "".join(f"\n{name}={value}" for name, value in sorted(constants.items())))

    def node(self, obj):
        """(name, digest, reached objects, unstable globals, {constant name: digest}) of
        one function or class."""
        found = self.nodes.get(id(obj))
        if found is None:
            found = self.nodes[id(obj)] = _Describer(self.project).node(obj)
            self.keep.append(obj)
        return found


class _Describer:
    """The text of one node, and the nodes it leads to."""

    def __init__(self, project):
        self.project = project
        self.reached = []
        self.unstable = []
        self.constants = {}
        self.scalars = _scalar_types()

    def node(self, obj):
        if isinstance(obj, type):
            text = self.describe_class(obj)
        else:
            text = self.describe_function(obj)
        return qualified_name(obj), text_hash(text), self.reached, self.unstable, self.constants

    def constant(self, name, text):
        """A module-level value read by name (described by text): its own part of the
        fingerprint, so that a change to it is named; functions and classes are nodes
        of their own."""
        if text.startswith(("-> ", "module ", "lib ")):
            return text
        self.constants[name] = text_hash(text)
        return "constant " + name

    # --- functions -------------------------------------------------------------

    def describe_function(self, fn):
        code = fn.__code__
        names = names_read(code)
        lines = [f"code {code_digest(code)}"]
        if "__doc__" in names:
            lines.append(f"doc {fn.__doc__!r}")
        if fn.__defaults__:
            lines.append("defaults " + self.value(fn.__defaults__))
        if fn.__kwdefaults__:
            lines.append("kwdefaults " + self.value(fn.__kwdefaults__))
        for name, cell in zip(code.co_freevars, fn.__closure__ or ()):
            if name == "__classdict__":
                continue  # an annotation function's view of its class: the class is described itself
            try:
                lines.append(f"closure {name} = {self.value(cell.cell_contents)}")
            except ValueError:
                lines.append(f"closure {name} unset")
        for name, value in sorted(fn.__dict__.items()):
            # What the module set on the function (agg.cap = 150), and what a decorator
            # of the library keeps there: the function it wraps, a dispatch registry.
            if name == "__wrapped__":
                lines.append("wraps " + self.value(value))
            elif name == "registry" and isinstance(value, types.MappingProxyType):
                lines.append("registry " + self.value({qualified_name(k): v for k, v in value.items()}))
            elif name not in ("register", "dispatch", "_clear_cache", "cache_info", "cache_clear",
                              "cache_parameters", "__tolva_original__", "__tolva_policy__"):
                lines.append(f"attribute {name} = {self.value(value)}")
        globals_ = fn.__globals__
        modules = []
        for name in sorted(names):
            if name not in globals_:
                continue
            value = globals_[name]
            if isinstance(value, types.ModuleType):
                modules.append(value)
                lines.append(f"global {name} = module {value.__name__}")
                continue
            text = self.value(value)
            if text.startswith("unstable "):
                self.unstable.append((name, text[len("unstable "):]))
            lines.append(f"global {name} = {self.constant(f'{fn.__module__}.{name}', text)}")
        package = globals_.get("__package__") or globals_.get("__name__", "")
        for module_name in sorted(set(_imports_in(code, package))):
            # Named whether or not this process has imported it yet: the runner and the
            # job that ran the function must describe it alike.
            lines.append(f"imports {module_name}")
            module = sys.modules.get(module_name) or self._import(module_name)
            if module is not None:
                modules.append(module)
        lines += self.module_attributes(modules, names)
        return "\n".join(lines)

    def _import(self, name):
        """A module that a function imports in its body and nobody has imported yet: it
        is the project's only if its file is; importing it is what the job will do."""
        import importlib.util

        try:
            spec = importlib.util.find_spec(name)
        except (ImportError, ValueError):
            return None
        if spec is None or not isinstance(spec.origin, str) or not self.project.owns_file(spec.origin):
            return None
        try:
            return importlib.import_module(name)
        except Exception:
            return None

    def module_attributes(self, modules, names):
        """pkg.mod.RATE: the attributes a function names of the project modules it
        reaches, following submodules to any depth."""
        lines, seen = [], set()
        while modules:
            module = modules.pop()
            if id(module) in seen or not self.project.owns_module(module):
                continue
            seen.add(id(module))
            namespace = vars(module)
            for name in sorted(names):
                if name not in namespace:
                    continue
                value = namespace[name]
                if isinstance(value, types.ModuleType):
                    modules.append(value)
                    lines.append(f"attribute {module.__name__}.{name} = module {value.__name__}")
                else:
                    lines.append(f"attribute {module.__name__}.{name} = "
                                 f"{self.constant(f'{module.__name__}.{name}', self.value(value))}")
        return lines

    # --- classes ---------------------------------------------------------------

    def describe_class(self, cls):
        lines = ["bases " + ",".join(self.value(base) for base in cls.__bases__)]
        is_enum = isinstance(cls, enum.EnumMeta)
        for name, value in sorted(vars(cls).items()):
            if name in _CLASS_NOISE or (is_enum and name.startswith("_") and name.endswith("_")
                                        and not name.startswith("__")):
                continue
            lines.append(f"{name} = {self.member(value)}")
        for field in _dataclass_fields(cls):
            lines.append(f"field {field.name} default {self.value(field.default)} "
                         f"factory {self.value(field.default_factory)}")
        return "\n".join(lines)

    def member(self, value):
        if isinstance(value, (classmethod, staticmethod)):
            return f"{type(value).__name__}({self.value(value.__func__)})"
        if isinstance(value, property):
            return "property(" + ",".join(self.value(f) for f in (value.fget, value.fset, value.fdel)) + ")"
        text = self.value(value)
        return f"of type {type(value).__qualname__}" if text.startswith("unstable ") else text

    # --- values ----------------------------------------------------------------

    def value(self, value, depth=0):
        """A stable text for a value; "unstable TYPE" when it has none."""
        if depth > 50:
            return "unstable deeply nested value"
        if _is_asset(value):
            value = value.__tolva_original__
        if isinstance(value, enum.Enum):
            return f"enum {self.value(type(value), depth + 1)}.{value.name}={self.value(value.value, depth + 1)}"
        if type(value) is str:
            return portable(repr(value))
        if type(value) in self.scalars:
            return repr(value)
        if isinstance(value, (list, tuple)):
            opening, closing = ("[", "]") if isinstance(value, list) else ("(", ")")
            return opening + ",".join(self.value(v, depth + 1) for v in value) + closing
        if isinstance(value, dict):
            return "{" + ",".join(f"{self.value(k, depth + 1)}:{self.value(v, depth + 1)}"
                                  for k, v in value.items()) + "}"
        if isinstance(value, (set, frozenset)):
            return f"{type(value).__name__}{{" + ",".join(sorted(self.value(v, depth + 1) for v in value)) + "}"
        if isinstance(value, pathlib.PurePath):
            return f"{type(value).__name__}({self.project.relative(str(value)) if value.is_absolute() else value!s})"
        if isinstance(value, re.Pattern):
            return f"re({value.pattern!r},{value.flags})"
        if isinstance(value, functools.partial):
            return (f"partial({self.value(value.func, depth + 1)},{self.value(value.args, depth + 1)},"
                    f"{self.value(dict(sorted(value.keywords.items())), depth + 1)})")
        if isinstance(value, (types.FunctionType, type)):
            if self.project.owns(value):
                self.reached.append(value)
                return "-> " + qualified_name(value)
            return "lib " + qualified_name(value)
        if isinstance(value, types.ModuleType):
            return f"module {value.__name__}"
        if isinstance(value, (types.BuiltinFunctionType, types.MethodType, types.WrapperDescriptorType,
                              types.MethodDescriptorType)):
            owner = getattr(value, "__self__", None)
            if isinstance(value, types.MethodType) and not isinstance(owner, (type, types.ModuleType)):
                return f"method {self.value(owner, depth + 1)}.{value.__name__}"
            return "lib " + qualified_name(value)
        wrapped = getattr(value, "__wrapped__", None)
        if wrapped is not None and not isinstance(value, type):
            return f"wrapper {type(value).__qualname__}({self.value(wrapped, depth + 1)})"
        if self.project.owns(type(value)):
            return f"instance {self.value(type(value), depth + 1)}({self.instance_state(value, depth)})"
        inert = _inert(value)
        if inert is not None:
            return inert
        return f"unstable {type(value).__module__}.{type(value).__qualname__}"

    def instance_state(self, value, depth):
        fields = _dataclass_fields(value)
        if fields:
            items = [(f.name, getattr(value, f.name, None)) for f in fields]
        else:
            items = sorted(getattr(value, "__dict__", {}).items())
            for name in getattr(type(value), "__slots__", ()):
                if isinstance(name, str) and hasattr(value, name):
                    items.append((name, getattr(value, name)))
        return ",".join(f"{name}={self.value(v, depth + 1)}" for name, v in items)


# Objects whose nature keeps them from changing a value: a logger (by its name), a lock
# or another synchronisation primitive.
_SYNCHRONISATION = {("_thread", "lock"), ("_thread", "RLock"), ("threading", "RLock"), ("threading", "_RLock"),
                    ("threading", "Condition"), ("threading", "Semaphore"), ("threading", "BoundedSemaphore"),
                    ("threading", "Event"), ("threading", "Barrier")}


def _inert(value):
    kind = type(value)
    logging = sys.modules.get("logging")
    if logging is not None and isinstance(value, (logging.Logger, logging.LoggerAdapter)):
        logger = getattr(value, "logger", value)
        return f"logger {logger.name!r}"
    if (kind.__module__, kind.__qualname__) in _SYNCHRONISATION:
        return f"lock {kind.__qualname__}"
    return None


def _is_asset(value):
    try:
        return getattr(value, "__tolva_kind__", None) == "asset"
    except Exception:
        return False


def find_function(module_name, qualname):
    """The function (or class) at module:qualname now, or None. Decorated functions
    are unwrapped down to the one whose code has that qualname."""
    module = sys.modules.get(module_name)
    if module is None:
        try:
            module = importlib.import_module(module_name)
        except Exception:
            return None
    obj = module
    for part in qualname.split("."):
        obj = vars(obj).get(part) if isinstance(obj, (type, types.ModuleType)) else None
        if obj is None:
            return None
        if isinstance(obj, (classmethod, staticmethod)):
            obj = obj.__func__
        elif isinstance(obj, property):
            obj = obj.fget
    for _ in range(20):
        if _is_asset(obj):
            obj = obj.__tolva_original__
        code = getattr(obj, "__code__", None)
        if isinstance(code, types.CodeType) and code.co_qualname == qualname:
            return obj
        obj = getattr(obj, "__wrapped__", None)
        if obj is None:
            return None
    return None


# Computed once per process, at import: jobs forked from a server that imported this
# module start with both.
_OPCODES = _opcode_table()
_IMPORT_NAME = next(op for op in range(256) if _OPCODES[op][0] == "IMPORT_NAME")
library_roots()


# --- module-level state ------------------------------------------------------------

_MODULE_STATES = {}  # path -> ((size, mtime, ctime), (state digest, imported modules))


def module_state(path):
    """(digest of what the module's top level does besides binding names once, digest
    of all it does) of the module at path; (None, None) when its source cannot be
    read. Cached by the file's facts."""
    try:
        info = os.stat(path)
    except OSError:
        return None, None
    facts = (info.st_size, info.st_mtime_ns, info.st_ctime_ns)
    known = _MODULE_STATES.get(path)
    if known is None or known[0] != facts:
        try:
            with open(path, "rb") as f:
                source = f.read()
            known = _MODULE_STATES[path] = (facts, _describe_module(source))
        except (OSError, SyntaxError, ValueError):
            return None, None
    return known[1]


def module_state_facts(path):
    """(size, modification time, change time) of the file when module_state read it."""
    known = _MODULE_STATES.get(path)
    return None if known is None else known[0]


# Names through which code reaches a module's values without naming them: a function
# that uses one depends on every value its modules define.
DYNAMIC = frozenset({"getattr", "vars", "globals", "eval", "exec", "__dict__", "modules", "import_module",
                     "__import__", "__getattribute__", "locals"})


def _describe_module(source):
    """Top-level statements as normalised syntax. Effects (calls, attribute and item
    stores, a name bound twice, decorators other than an asset's, which is its own
    declaration) in their order; definitions that bind a name once (assignments,
    class bodies) in sorted order, so moving one changes nothing. Code read by name
    is fingerprinted where it is read: the effects are what every asset that touches
    the module depends on, the definitions what code that reaches values dynamically
    (getattr, eval) does. Function bodies are left to the functions' own fingerprints,
    unless a name is bound twice (then which body is which cannot be told by name)."""
    import ast

    tree = ast.parse(source)
    body = tree.body
    if body and isinstance(body[0], ast.Expr) and isinstance(body[0].value, ast.Constant):
        body = body[1:]  # the docstring
    bound = {}
    for stmt in body:
        for target in _names_bound(stmt, ast):
            bound[target] = bound.get(target, 0) + 1
    definitions, effects = [], []
    for stmt in body:
        if isinstance(stmt, (ast.Import, ast.ImportFrom)):
            continue  # what it binds is read by name; what it runs is its module's own state
        names = _names_bound(stmt, ast)
        once = len(names) == 1 and bound[names[0]] == 1
        if isinstance(stmt, (ast.FunctionDef, ast.AsyncFunctionDef)) and once:
            if stmt.decorator_list and not any(_is_asset_decorator(d, ast) for d in stmt.decorator_list):
                effects.append(f"def {stmt.name} " + ",".join(ast.dump(d) for d in stmt.decorator_list))
        elif isinstance(stmt, ast.ClassDef) and once:
            definitions.append(_describe_class_syntax(stmt, ast))
        elif isinstance(stmt, (ast.Assign, ast.AnnAssign)) and once:
            definitions.append(ast.dump(stmt))
        else:
            effects.append(ast.dump(stmt))
    effects = portable("\n".join(effects))
    return text_hash(effects), text_hash(portable("\n".join(sorted(definitions))) + "\n--\n" + effects)


def _names_bound(stmt, ast):
    if isinstance(stmt, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
        return [stmt.name]
    if isinstance(stmt, ast.Assign) and all(isinstance(t, ast.Name) for t in stmt.targets):
        return [t.id for t in stmt.targets]
    if isinstance(stmt, ast.AnnAssign) and isinstance(stmt.target, ast.Name) and stmt.value is not None:
        return [stmt.target.id]
    return []


def _is_asset_decorator(node, ast):
    node = node.func if isinstance(node, ast.Call) else node
    return (isinstance(node, ast.Name) and node.id == "asset") or (isinstance(node, ast.Attribute)
                                                                   and node.attr == "asset")


def _describe_class_syntax(cls, ast):
    """A class body, its plain methods by signature only: their code is fingerprinted
    where it runs or is reached."""
    counts = {}
    for stmt in cls.body:
        for target in _names_bound(stmt, ast):
            counts[target] = counts.get(target, 0) + 1
    parts = [f"class {cls.name}", *(ast.dump(n) for n in (*cls.bases, *cls.keywords, *cls.decorator_list))]
    for stmt in cls.body:
        if (isinstance(stmt, (ast.FunctionDef, ast.AsyncFunctionDef)) and not stmt.decorator_list
                and counts[stmt.name] == 1):
            parts.append(f"def {stmt.name}")
        else:
            parts.append(ast.dump(stmt))
    return "\n".join(parts)
