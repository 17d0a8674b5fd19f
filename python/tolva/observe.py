"""What an asset uses while it runs, beyond what its code names: observed in the job
process during the asset's call (and, for what modules read at import, around the
project's imports), and checked by the next run.

- the project functions that executed (sys.monitoring PY_START, each code object
  recorded once and its event then disabled), so dispatch through registries,
  getattr or plugin tables counts;
- the files it opened for reading and the folders it listed (an audit hook), outside
  the standard library, installed packages and OUT, with size, times, inode and
  content hash; a file that changed between the job's read and its end is recorded
  as such, and its job runs again; files it wrote outside its own folder are its
  outputs;
- the environment variables it read through os.environ or os.getenv, and the names
  it saw when it iterated os.environ;
- the paths it probed (os.stat and os.lstat, under exists, isfile, getsize, ...);
- the modules it touched, by the digest of their top-level state, and what their top
  levels read while they were imported (observed around the project's imports);
- the working directory, when it read a relative path;
- what it read through something that cannot be watched (a subprocess, a database, a
  socket, a C library): its job is not vouched for, unless the asset declares what
  that depends on (tolva.depends_on).

A later check hashes a file again unless its size, times and inode are those recorded
and it was not written within its file system's timestamp granularity of when they
were taken (then an edit could keep them).
"""

import os
import stat
import sys
import time
import types

from tolva import digests, fingerprint

_OPENED = []  # (absolute path, writing, listing, facts when it was opened) while an observation is active
_PROBED = []  # (absolute path, what was there: stat facts, "folder", "other" or "missing")
_UNSEEN = []  # how the asset read what cannot be observed
_RELATIVE = [False]  # a relative path was read: what it names depends on the working directory
CHANGED = "changed while the job ran"  # what a file's facts are when they were not those it had when read
_ACTIVE = [False]
_HOOKED = [False]
_OBSERVED = [False]  # an observation has run in this process (and may have disabled events)
_IMPORTING = [False]  # the project's modules are being imported
IMPORT_READS = {}  # module file -> [(path, writing, listing, facts)] read while it was imported
IMPORT_ENV = {}  # module file -> {variable: value} read while it was imported
_SOURCE_SUFFIXES = (".py", ".pyc", ".pyi", ".so", ".pth")
_WRITE_FLAGS = os.O_WRONLY | os.O_RDWR | os.O_APPEND | os.O_CREAT | os.O_TRUNC
# Reads that go through something tolva cannot watch: the next run cannot vouch for the value.
_UNSEEABLE = {"subprocess.Popen": "a subprocess", "_posixsubprocess.fork_exec": "a subprocess",
              "os.posix_spawn": "a subprocess", "os.spawn": "a subprocess", "os.exec": "a subprocess",
              "os.system": "a shell", "os.fork": "a forked process", "os.forkpty": "a forked process",
              "sqlite3.connect": "a database", "socket.connect": "a socket", "ctypes.dlopen": "a C library (ctypes)"}
_IMPORT_SYSTEM = "<frozen importlib._bootstrap>"
_IMPORT_FINDER = "<frozen importlib._bootstrap_external>"


def _audit(event, args):
    # Runs for every audited event of the process: the fast path is the flag test.
    if not (_ACTIVE[0] or _IMPORTING[0]):
        return
    try:
        if event == "open":
            path, mode, flags = args
            if isinstance(path, int) or path is None:
                return
            writing = any(c in mode for c in "wax+") if isinstance(mode, str) else bool(flags & _WRITE_FLAGS)
            if sys._getframe(1).f_code.co_filename == _IMPORT_FINDER:
                return  # the import system reading the modules themselves
            path = os.fsdecode(path)
            if _ACTIVE[0] and not os.path.isabs(path):
                _RELATIVE[0] = True
            # Where it is now (the job may change folder later), and what it is as it is read.
            path = os.path.abspath(path)
            if not _ACTIVE[0] and path.startswith(fingerprint.library_roots()):
                return
            entry = (path, writing, False, None if writing else _stat_facts(path))
        elif event in ("os.listdir", "os.scandir"):
            path = args[0]
            if isinstance(path, int):
                return
            if _ACTIVE[0] and path is not None and not os.path.isabs(os.fsdecode(path)):
                _RELATIVE[0] = True
            path = os.path.abspath(os.curdir if path is None else os.fsdecode(path))
            if sys._getframe(1).f_code.co_filename == _IMPORT_FINDER or (
                    not _ACTIVE[0] and path.startswith(fingerprint.library_roots())):
                return  # the import system looking for modules
            entry = (path, False, True, listing_hash(path))
        elif event in _UNSEEABLE:
            if _ACTIVE[0] and not _frames_in(_IMPORT_SYSTEM):  # what an import does is not a read of the asset's
                _UNSEEN.append(_UNSEEABLE[event])
            return
        else:
            return
        if _ACTIVE[0]:
            _OPENED.append(entry)
        else:
            module = _importing_module()
            if module is not None:
                IMPORT_READS.setdefault(module, []).append(entry)
    except Exception:  # noqa: BLE001 - an event it cannot make out (a path that is not text) is not a read of one's own
        return


def _frames_in(filename):
    frame = sys._getframe(2)
    while frame is not None:
        if frame.f_code.co_filename == filename:
            return True
        frame = frame.f_back
    return False


def _importing_module():
    """The file of the innermost module body of the project running: whose import
    this read is part of."""
    library = fingerprint.library_roots()
    frame = sys._getframe(2)
    while frame is not None:
        code = frame.f_code
        if code.co_name == "<module>" and os.path.isabs(code.co_filename) and \
                not code.co_filename.startswith(library):
            return code.co_filename
        frame = frame.f_back
    return None


class importing:
    """Around the import of the project's modules: what their top levels read (files,
    folders, environment variables) is kept by module, for the jobs of the assets
    that use them; their top-level state is described while it is what ran."""

    def __init__(self, describe=True):
        self.describe = describe  # where jobs are recorded: not the runner, which only decides

    def __enter__(self):
        _hook()
        self.watch = _EnvironWatch(None)
        _IMPORTING[0] = True
        return self

    def __exit__(self, *exc_info):
        _IMPORTING[0] = False
        self.watch.close()
        if not self.describe:
            return False
        _BY_FILE.update(_modules_by_file())  # kept for the jobs forked from here
        library = fingerprint.library_roots()
        for module in list(sys.modules.values()):
            path = getattr(module, "__file__", None)
            if isinstance(path, str) and path.endswith(".py") and not path.startswith(library) and \
                    path not in _AS_IMPORTED:
                _AS_IMPORTED[path] = _described(path)
        return False


_BY_FILE = {}  # source file -> module name, as the server that forks jobs knows it
# Source file -> _described() of it right after its import: what a job records of the
# modules it touched, never replaced by a later look at the file (an edit since).
_AS_IMPORTED = {}


def _modules_by_file():
    by_file = {}
    for module in list(sys.modules.values()):
        path = getattr(module, "__file__", None)
        if isinstance(path, str):
            by_file.setdefault(path, module.__name__)
    return by_file


def _hook():
    if not _HOOKED[0]:
        sys.addaudithook(_audit)  # cannot be removed: it does nothing while inactive
        _HOOKED[0] = True


class _EnvironWatch:
    """Keeps what os.environ gives while installed: seen[name] = value (None when
    missing), names: the names present whenever it was iterated. seen None: reads at
    import, kept by the module whose import made them."""

    def __init__(self, seen, names=None):
        environ_type, environ = type(os.environ), os.environ
        getitem, iterate = environ_type.__getitem__, environ_type.__iter__

        def keep(key, value):
            if seen is not None:
                seen.setdefault(key, value)
            elif _IMPORTING[0]:
                module = _importing_module()
                if module is not None:
                    IMPORT_ENV.setdefault(module, {}).setdefault(key, value)

        def watched_getitem(mapping, key):
            try:
                value = getitem(mapping, key)
            except KeyError:
                if mapping is environ and isinstance(key, str):
                    keep(key, None)
                raise
            if mapping is environ and isinstance(key, str):
                keep(key, value)
            return value

        def watched_iter(mapping):
            if mapping is environ and names is not None and _ACTIVE[0]:
                names.update(iterate(mapping))
            return iterate(mapping)

        environ_type.__getitem__ = watched_getitem
        environ_type.__iter__ = watched_iter
        self._restore = (environ_type, getitem, iterate)

    def close(self):
        if self._restore is not None:
            environ_type, getitem, iterate = self._restore
            environ_type.__getitem__, environ_type.__iter__ = getitem, iterate
            self._restore = None


_SUPPORTS = (os.supports_dir_fd, os.supports_fd, os.supports_follow_symlinks, os.supports_effective_ids)


def _probing(original):
    """os.stat or os.lstat, keeping what each path it was asked about held: a probe
    (exists, isfile, getsize) is a read of that much."""

    def probe(path, *args, **kwargs):
        try:
            result = original(path, *args, **kwargs)
        except OSError:
            _probed(path, kwargs, None)
            raise
        _probed(path, kwargs, result)
        return result

    probe.__wrapped__ = original
    return probe


def _accessing(original, stat_of):
    """os.access, keeping what the path it was asked about held, as a probe does: the
    answer follows from it (a file that appears, goes or changes hands)."""

    def access(path, mode, *args, **kwargs):
        result = original(path, mode, *args, **kwargs)
        if _ACTIVE[0] and kwargs.get("dir_fd") is None and not isinstance(path, int):
            try:
                info = stat_of(path, follow_symlinks=kwargs.get("follow_symlinks", True))
            except (OSError, TypeError, ValueError):
                info = None
            _probed(path, kwargs, info)
        return result

    access.__wrapped__ = original
    return access


def _probed(path, kwargs, result):
    if not _ACTIVE[0] or kwargs.get("dir_fd") is not None or isinstance(path, int):
        return
    try:
        text = os.fsdecode(path)
        if not os.path.isabs(text):
            _RELATIVE[0] = True
        _PROBED.append((os.path.abspath(text), _kind(result)))
    except (TypeError, ValueError):
        return


def _kind(info):
    if info is None:
        return "missing"
    if stat.S_ISREG(info.st_mode):
        return [info.st_size, info.st_mtime_ns, info.st_ino, info.st_ctime_ns]
    return "folder" if stat.S_ISDIR(info.st_mode) else "other"


def _kind_now(path):
    try:
        return _kind(os.stat(path))
    except OSError:
        return "missing"


class Observer:
    """Observes one asset call: `with Observer(project, out, fn) as seen: call()`, then
    seen.record() for the job's state. Given the asset's function, it watches from
    the function's start to its return only, not the work around the call."""

    def __init__(self, project, out, fn=None):
        self.project = project
        self.out = fingerprint.real_path(out) + os.sep
        self.asset_code = getattr(fn, "__code__", None)
        self.declared = getattr(fn, "__tolva_depends__", None) or {}
        self.codes = {}
        self.environ = {}
        self.names = set()
        self.tool = None

    def __enter__(self):
        _hook()
        for seen in (_OPENED, _PROBED, _UNSEEN):
            del seen[:]
        _RELATIVE[0] = False
        self.watch = _EnvironWatch(self.environ, self.names)
        self.stats = os.stat, os.lstat, os.access
        os.stat, os.lstat, os.access = _probing(os.stat), _probing(os.lstat), _accessing(os.access, os.stat)
        # Code that asks what os.stat supports (shutil.copystat) must get the same answer.
        for supported in _SUPPORTS:
            for original, wrapper in zip(self.stats, (os.stat, os.lstat, os.access)):
                if original in supported:
                    supported.add(wrapper)
        self.trees = self._declare()
        self._watch_functions()
        return self

    def __exit__(self, *exc_info):
        _ACTIVE[0] = False
        self.watch.close()
        for supported in _SUPPORTS:
            supported.discard(os.stat)
            supported.discard(os.lstat)
            supported.discard(os.access)
        os.stat, os.lstat, os.access = self.stats
        if self.tool is not None:
            monitoring = sys.monitoring
            monitoring.set_events(self.tool, 0)
            if self.asset_code is not None:
                monitoring.set_local_events(self.tool, self.asset_code, 0)
            for event in (monitoring.events.PY_START, monitoring.events.PY_RETURN):
                monitoring.register_callback(self.tool, event, None)
            monitoring.free_tool_id(self.tool)
            self.tool = None
        return False

    def _declare(self):
        """What the asset declares it depends on, taken as the call starts: files as
        reads, variables as reads, folders by their whole content."""
        if not all(os.path.isabs(p) for kind in ("files", "folders") for p in self.declared.get(kind, ())):
            _RELATIVE[0] = True
        for path in self.declared.get("files", ()):
            path = os.path.abspath(path)
            _OPENED.append((path, False, False, _stat_facts(path)))
        for name in self.declared.get("environment", ()):
            self.environ.setdefault(name, os.environ.get(name))
        return {os.path.abspath(path): digests.tree_hash(path) for path in self.declared.get("folders", ())}

    def _watch_functions(self):
        """PY_START of every function, each recorded once and its event then disabled;
        switched on and off by the asset function's own start and return."""
        monitoring = sys.monitoring
        events = monitoring.events
        for tool in (monitoring.PROFILER_ID, 4, 3, monitoring.COVERAGE_ID):
            try:
                monitoring.use_tool_id(tool, "tolva observe")
            except ValueError:
                continue
            self.tool = tool
            if _OBSERVED[0]:
                # An earlier observation's DISABLEs would hide code seen before. Only then:
                # a restart has every code object run afterwards instrumented anew, a
                # millisecond of a job forked from a warm server that never observed.
                monitoring.restart_events()
            _OBSERVED[0] = True
            break
        else:
            _ACTIVE[0] = True
            return
        disable, codes, asset_code, depth = monitoring.DISABLE, self.codes, self.asset_code, [0]

        def started(code, offset):
            codes[code] = None
            if code is not asset_code:
                return disable
            depth[0] += 1
            if depth[0] == 1:
                _ACTIVE[0] = True
                monitoring.set_events(tool, events.PY_START)
            return None

        def returned(code, offset, value):
            if code is asset_code:
                depth[0] -= 1
                if depth[0] == 0:
                    monitoring.set_events(tool, 0)
                    _ACTIVE[0] = False

        monitoring.register_callback(tool, events.PY_START, started)
        if asset_code is None:
            _ACTIVE[0] = True
            monitoring.set_events(tool, events.PY_START)
        else:
            monitoring.register_callback(tool, events.PY_RETURN, returned)
            monitoring.set_local_events(tool, asset_code, events.PY_START | events.PY_RETURN)

    # --- what was seen --------------------------------------------------------------

    def record(self, own_dir, codes):
        """What the job used, as its state keeps it. codes: the job's CodeFingerprints."""
        functions, modules = self._code(codes)
        seen = {"functions": functions, "modules": modules, **self._files(own_dir, modules)}
        seen["environment"] = {name: _portable_value(value) for name, value in sorted(self.environ.items())}
        if self.names:
            seen["environment_names"] = sorted(self.names)
        if _RELATIVE[0]:
            seen["cwd"] = self.project.relative(os.getcwd())
        if _UNSEEN:
            seen["unseeable"] = sorted(set(_UNSEEN))
            seen["declared"] = bool(self.declared)
        return seen

    def _code(self, codes):
        """The project functions that ran, by digest, and the modules the job touched:
        those whose code ran or whose objects the functions that ran name, and their
        packages, by the digest of their top-level state."""
        owned = [code for code in self.codes if self.project.owns_file(code.co_filename)]
        if not owned:
            return {}, {}
        by_file = _BY_FILE
        if not by_file or any(code.co_filename not in by_file for code in owned):
            by_file = _modules_by_file()  # a module imported since: walked again
        found, touched, dynamic = {}, set(), False
        for code in owned:
            module = by_file.get(code.co_filename) or self._module_of(code.co_filename, by_file)
            if module is None:
                continue
            touched.add(module)
            if not code.co_flags & 0x2:
                continue  # a module or class body (an import during the call)
            qualname = code.co_qualname.split(".<locals>")[0]
            fn = fingerprint.find_function(module, qualname)
            if fn is not None:
                found[f"{module}:{qualname}"] = codes.own(fn)
                touched.update(self._modules_named(fn))
            dynamic = dynamic or not fingerprint.DYNAMIC.isdisjoint(fingerprint.names_read(code))
        for name in list(touched):
            while "." in name:
                name = name.rpartition(".")[0]
                touched.add(name)
        modules = {}
        for name in sorted(touched):
            path = getattr(sys.modules.get(name), "__file__", None)
            if isinstance(path, str) and self.project.owns_file(path):
                modules[name] = _module_record(self.project.relative(path), path, dynamic)
        return dict(sorted(found.items())), modules

    def _modules_named(self, fn):
        """The project modules of the objects a function's code names among its globals:
        a module, the module that defines a function, class or instance, or else a
        project module that holds the very object (a parser configured at import)."""
        globals_ = getattr(fn, "__globals__", {})
        for name in fingerprint.names_read(fn.__code__):
            value = globals_.get(name)
            if value is None:
                continue
            module = value if isinstance(value, types.ModuleType) else sys.modules.get(
                getattr(value, "__module__", None) if isinstance(value, (type, types.FunctionType))
                else type(value).__module__)
            if module is not None and self.project.owns_module(module):
                yield module.__name__
            elif not isinstance(value, (types.ModuleType, type, types.FunctionType, types.BuiltinFunctionType, int,
                                        str, float, bool)):
                yield from (m.__name__ for m in list(sys.modules.values())
                            if self.project.owns_module(m) and any(v is value for v in vars(m).values()))

    def _module_of(self, filename, by_file):
        """The module of a file named differently from its __file__ (through a link)."""
        real = os.path.realpath(filename)
        return next((name for path, name in by_file.items()
                     if self.project.owns_file(path) and os.path.realpath(path) == real), None)

    def _imported(self, modules):
        """What the top levels of the modules touched read as they were imported."""
        files, environment = [], {}
        for name in modules:
            path = getattr(sys.modules.get(name), "__file__", None)
            if not isinstance(path, str):
                continue
            files += IMPORT_READS.get(path, ())
            for key, value in IMPORT_ENV.get(path, {}).items():
                environment.setdefault(key, value)
        for key, value in environment.items():
            self.environ.setdefault(key, value)
        return files

    def _ignored(self, real, own):
        return (real.startswith(self.project.library) or real.startswith(self.out)
                or real.startswith(("/proc/", "/sys/", "/dev/")) or os.sep + "__pycache__" + os.sep in real
                or real.startswith(own()))

    def _files(self, own_dir, modules):
        resolved = []

        def own():  # the job's own folder, resolved only for a path outside OUT (it is under OUT, as a rule)
            if not resolved:
                resolved.append(os.path.realpath(own_dir) + os.sep)
            return resolved[0]

        sources = []

        def source(real):
            # A module's own source is its code's business; any other .py file (a config
            # run with runpy) is data.
            if not real.endswith(_SOURCE_SUFFIXES):
                return False
            if not sources:
                sources.append({os.path.realpath(p) for m in list(sys.modules.values())
                                if isinstance(p := getattr(m, "__file__", None), str)})
            return not real.endswith(".py") or real in sources[0]

        reads, folders, writes, probes = {}, {}, {}, {}
        for path, writing, listing, seen in _OPENED + self._imported(modules):
            try:
                real = os.path.realpath(path)
            except (TypeError, ValueError):
                continue
            if self._ignored(real, own) or source(real):
                continue
            key = self.project.relative(real)
            if listing:
                folders[key] = seen if folders.get(key, seen) == seen else CHANGED
            elif writing:
                writes[key] = None
            else:
                reads.setdefault(key, seen)  # as it was when first read
        for path, kind in _PROBED:
            real = os.path.realpath(path)
            if self._ignored(real, own) or source(real):
                continue
            key = self.project.relative(real)
            probes[key] = kind if probes.get(key, kind) == kind else CHANGED
        for key, kind in list(probes.items()):
            if key in reads or key in folders:
                del probes[key]
            elif isinstance(kind, list):  # a file's size or times were asked: its content is as good as read
                reads[key] = probes.pop(key)
        found = {"files": {key: _facts_since(self.project.resolve(key), seen) for key, seen in sorted(reads.items())
                           if key not in writes},
                 "folders": {key: digest if digest == listing_hash(self.project.resolve(key)) else CHANGED
                             for key, digest in sorted(folders.items())},
                 "outputs": {key: facts for key in sorted(writes)
                             if (facts := file_facts(self.project.resolve(key))) is not None}}
        probes = {key: kind if kind == _kind_now(self.project.resolve(key)) else CHANGED
                  for key, kind in sorted(probes.items()) if key not in writes}
        if probes:
            found["probes"] = probes
        if self.trees:
            found["trees"] = {self.project.relative(path): digest if digest == digests.tree_hash(path) else CHANGED
                              for path, digest in sorted(self.trees.items())}
        return found


def _described(path):
    """(the file's facts when it was parsed, its state digests, its facts with their
    hash) of a module's source."""
    state = fingerprint.module_state(path)
    return fingerprint.module_state_facts(path), state, file_facts(path)


def _module_record(key, path, dynamic):
    """[file, digest of its top-level state, the file's facts, "all" when every
    definition counts], as the module was imported (described then, once for every
    job forked afterwards), or now for one imported during the call. The digest is
    None when the hashed file is not the one described (edited meanwhile), so the
    next run cannot take it as unchanged."""
    parsed, state, facts = _AS_IMPORTED.get(path) or _described(path)
    digest = state[dynamic] if facts is not None and parsed == (facts[0], facts[1], facts[4]) else None
    return [key, digest, facts] + (["all"] if dynamic else [])


def _module_changed(project, module):
    try:
        key, digest, facts, *dynamic = module
    except (TypeError, ValueError):
        return True
    path = project.resolve(key)
    if digest is None:
        return True
    # The file as it was recorded: its state is the same without parsing it again.
    return _file_changed(path, facts) and fingerprint.module_state(path)[bool(dynamic)] != digest


def _portable_value(value):
    return value if value is None else fingerprint.portable(value)


def _stat_facts(path):
    """[size, modification time, inode, change time] of a regular file, or None."""
    try:
        kind = _kind(os.stat(path))
    except OSError:
        return None
    return kind if isinstance(kind, list) else None


def file_facts(path):
    """[size, modification time in ns, content hash, inode, change time in ns, when
    these were taken in ns] of a regular file; None when it is missing or not a
    regular file. The change time is what a copy that keeps the modification time
    (cp -p, touch -r) cannot set back."""
    before = _stat_facts(path)
    if before is None:
        return None
    digest = digests.file_hash(path)
    if digest is None or _stat_facts(path) != before:
        return None if digest is None else [before[0], before[1], digest, before[2], before[3], 0]
    return [before[0], before[1], digest, before[2], before[3], time.time_ns()]


def _facts_since(path, seen):
    """The file's facts now, or CHANGED when they are not those it had when the job
    read it (an edit during the job: its content now is not what the job read)."""
    facts = file_facts(path)
    if seen is None:  # not there (or not a file) when the job looked: it must still not be
        return None if facts is None else CHANGED
    if facts is None or [facts[0], facts[1], facts[3], facts[4]] != seen:
        return CHANGED
    return facts


def listing_hash(path):
    try:
        return digests.text_hash("\0".join(sorted(os.listdir(path))))
    except OSError:
        return None


# How long after a file was written its facts can be trusted to change with any
# further write: more than a clock tick on a file system with fine timestamps, more
# than two seconds on one that keeps whole seconds.
FINE_GRANULARITY_NS = 20_000_000
COARSE_GRANULARITY_NS = 2_500_000_000


def _file_changed(path, facts):
    if facts is None:
        return file_facts(path) is not None
    if not isinstance(facts, list) or len(facts) < 3:
        return True
    now = _stat_facts(path)
    if now is None:
        return True
    if len(facts) == 6 and [facts[0], facts[1], facts[3], facts[4]] == now:
        coarse = now[1] % 1_000_000_000 == 0 and now[3] % 1_000_000_000 == 0
        if facts[5] - now[3] >= (COARSE_GRANULARITY_NS if coarse else FINE_GRANULARITY_NS):
            return False  # not racily clean: any write since would show
    current = file_facts(path)
    return current is None or current[2] != facts[2]


class Elsewhere(str):
    """A reason that only where the job runs can settle: the environment it read is that
    of a machine this process does not see. The job decides there."""


def what_changed(observed, project, codes, environ=os.environ):
    """The first thing the job was seen to use that is no longer as it was, as a
    reason; None when everything holds. A record without observations is unknown.
    environ: the environment the job would see, None where this process cannot see
    it (a cluster's workers): a job that read variables is then left to decide where
    it runs."""
    if not isinstance(observed, dict):
        return "record missing or unreadable"
    for name, digest in (observed.get("functions") or {}).items():
        module, _, qualname = name.partition(":")
        fn = fingerprint.find_function(module, qualname)
        if fn is None or codes.own(fn) != digest:
            return f"code changed ({module}.{qualname})"
    for name, module in (observed.get("modules") or {}).items():
        if _module_changed(project, module):
            return f"module-level code changed ({name})"
    for key, facts in (observed.get("files") or {}).items():
        if facts == CHANGED:
            return f"file changed while the job ran ({key})"
        if _file_changed(project.resolve(key), facts):
            return f"file changed ({key})"
    for key, digest in (observed.get("folders") or {}).items():
        if digest == CHANGED:
            return f"file changed while the job ran ({key})"
        if listing_hash(project.resolve(key)) != digest:
            return f"file changed ({key})"
    for key, kind in (observed.get("probes") or {}).items():
        if kind == CHANGED:
            return f"file changed while the job ran ({key})"
        if _kind_now(project.resolve(key)) != kind:
            return f"file changed ({key})"
    for key, digest in (observed.get("trees") or {}).items():
        if digest == CHANGED or digests.tree_hash(project.resolve(key)) != digest:
            return f"file changed ({key})"
    names = observed.get("environment_names")
    for name, value in (observed.get("environment") or {}).items():
        if environ is None:
            return Elsewhere(f"reads environment variables where it runs ({name}): the job decides there")
        if _portable_value(environ.get(name)) != value:
            return f"environment variable changed ({name})"
    if names is not None:
        if environ is None:
            return Elsewhere("lists environment variables where it runs: the job decides there")
        if sorted(environ) != names:
            return "environment variables added or removed"
    if "cwd" in observed and project.relative(os.getcwd()) != observed["cwd"]:
        return "working directory changed (it read a relative path)"
    unseeable = observed.get("unseeable")
    if unseeable and not observed.get("declared"):
        return f"read through {unseeable[0]} last time: cannot vouch"
    for key, facts in (observed.get("outputs") or {}).items():
        if facts is None or _file_changed(project.resolve(key), facts):
            return f"output changed by hand ({key})"
    return None
