"""What an asset uses while it runs, beyond what its code names: observed in the job
process during the asset's call only, and checked by the next run.

- the project functions that executed (sys.monitoring PY_START, each code object
  recorded once and its event then disabled), so dispatch through registries,
  getattr or plugin tables counts;
- the files it opened for reading and the folders it listed (an audit hook), outside
  the standard library, installed packages and OUT, with size, times, inode and
  content hash; a file that changed between the job's read and its end is recorded
  as such, and its job runs again; files it wrote outside its own folder are its
  outputs;
- the environment variables it read through os.environ or os.getenv.

A later check hashes a file again unless its size, times and inode are those recorded
and it was not written within its file system's timestamp granularity of when they
were taken (then an edit could keep them).
"""

import os
import stat
import sys
import time

from tolva import digests, fingerprint

_OPENED = []  # (absolute path, writing, listing, facts when it was opened) while an observation is active
CHANGED = "changed while the job ran"  # what a file's facts are when they were not those it had when read
_ACTIVE = [False]
_HOOKED = [False]
_OBSERVED = [False]  # an observation has run in this process (and may have disabled events)
_SOURCE_SUFFIXES = (".py", ".pyc", ".pyi", ".so", ".pth")
_WRITE_FLAGS = os.O_WRONLY | os.O_RDWR | os.O_APPEND | os.O_CREAT | os.O_TRUNC


def _audit(event, args):
    # Runs for every audited event of the process: the fast path is the flag test.
    if not _ACTIVE[0]:
        return
    try:
        if event == "open":
            path, mode, flags = args
            if isinstance(path, int) or path is None:
                return
            writing = any(c in mode for c in "wax+") if isinstance(mode, str) else bool(flags & _WRITE_FLAGS)
            # Where it is now (the job may change folder later), and what it is as it is read.
            path = os.path.abspath(os.fsdecode(path))
            _OPENED.append((path, writing, False, None if writing else _stat_facts(path)))
        elif event in ("os.listdir", "os.scandir"):
            path = args[0]
            if isinstance(path, int):
                return
            path = os.path.abspath(os.curdir if path is None else os.fsdecode(path))
            _OPENED.append((path, False, True, listing_hash(path)))
    except Exception:  # noqa: BLE001 - an event it cannot make out (a path that is not text) is not a read of one's own
        return


class Observer:
    """Observes one asset call: `with Observer(project, out, fn) as seen: call()`, then
    seen.record() for the job's state. Given the asset's function, it watches from
    the function's start to its return only, not the work around the call."""

    def __init__(self, project, out, fn=None):
        self.project = project
        self.out = os.path.realpath(out) + os.sep
        self.asset_code = getattr(fn, "__code__", None)
        self.codes = {}
        self.environ = {}
        self.tool = None

    def __enter__(self):
        if not _HOOKED[0]:
            sys.addaudithook(_audit)  # cannot be removed: it does nothing while inactive
            _HOOKED[0] = True
        del _OPENED[:]
        self._watch_environ()
        self._watch_functions()
        return self

    def __exit__(self, *exc_info):
        _ACTIVE[0] = False
        self._unwatch_environ()
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

    def _watch_environ(self):
        environ_type = type(os.environ)
        original = environ_type.__getitem__
        seen, environ = self.environ, os.environ

        def getitem(mapping, key):
            try:
                value = original(mapping, key)
            except KeyError:
                if mapping is environ and isinstance(key, str):
                    seen.setdefault(key, None)
                raise
            if mapping is environ and isinstance(key, str):
                seen.setdefault(key, value)
            return value

        environ_type.__getitem__ = getitem
        self._restore = lambda: setattr(environ_type, "__getitem__", original)

    def _unwatch_environ(self):
        restore = getattr(self, "_restore", None)
        if restore is not None:
            restore()
            self._restore = None

    # --- what was seen --------------------------------------------------------------

    def record(self, own_dir, codes):
        """What the job used, as its state keeps it. codes: the job's CodeFingerprints."""
        return {"functions": self._functions(codes), **self._files(own_dir),
                "environment": dict(sorted(self.environ.items()))}

    def _functions(self, codes):
        # Module and class bodies (an import during the call) are not functions; code
        # nested in a function is part of that function's own digest.
        owned = [code for code in self.codes if code.co_flags & 0x2 and self.project.owns_file(code.co_filename)]
        if not owned:
            return {}
        by_file = {}
        for module in list(sys.modules.values()):
            path = getattr(module, "__file__", None)
            if isinstance(path, str):
                by_file.setdefault(path, module.__name__)
        found = {}
        for code in owned:
            module = by_file.get(code.co_filename) or self._module_of(code.co_filename, by_file)
            if module is None:
                continue
            qualname = code.co_qualname.split(".<locals>")[0]
            fn = fingerprint.find_function(module, qualname)
            if fn is not None:
                found[f"{module}:{qualname}"] = codes.own(fn)
        return dict(sorted(found.items()))

    def _module_of(self, filename, by_file):
        """The module of a file named differently from its __file__ (through a link)."""
        real = os.path.realpath(filename)
        return next((name for path, name in by_file.items()
                     if self.project.owns_file(path) and os.path.realpath(path) == real), None)

    def _files(self, own_dir):
        own = os.path.realpath(own_dir) + os.sep
        library = self.project.library
        reads, folders, writes = {}, {}, {}
        for path, writing, listing, seen in _OPENED:
            try:
                real = os.path.realpath(path)
            except (TypeError, ValueError):
                continue
            if (real.startswith(library) or real.startswith(self.out) or real.startswith(own)
                    or real.startswith(("/proc/", "/sys/", "/dev/")) or real.endswith(_SOURCE_SUFFIXES)
                    or os.sep + "__pycache__" + os.sep in real):
                continue
            key = self.project.relative(real)
            if listing:
                folders[key] = seen if folders.get(key, seen) == seen else CHANGED
            elif writing:
                writes[key] = None
            else:
                reads.setdefault(key, seen)  # as it was when first read
        return {"files": {key: _facts_since(self.project.resolve(key), seen) for key, seen in sorted(reads.items())
                          if key not in writes},
                "folders": {key: digest if digest == listing_hash(self.project.resolve(key)) else CHANGED
                            for key, digest in sorted(folders.items())},
                "outputs": {key: facts for key in sorted(writes)
                            if (facts := file_facts(self.project.resolve(key))) is not None}}


def _stat_facts(path):
    """[size, modification time, inode, change time] of a regular file, or None."""
    try:
        info = os.stat(path)
    except OSError:
        return None
    if not stat.S_ISREG(info.st_mode):
        return None
    return [info.st_size, info.st_mtime_ns, info.st_ino, info.st_ctime_ns]


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
    for name, value in (observed.get("environment") or {}).items():
        if environ is None:
            return Elsewhere(f"reads environment variables where it runs ({name}): the job decides there")
        if environ.get(name) != value:
            return f"environment variable changed ({name})"
    for key, facts in (observed.get("outputs") or {}).items():
        if facts is None or _file_changed(project.resolve(key), facts):
            return f"output changed by hand ({key})"
    return None
