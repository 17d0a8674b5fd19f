"""Shared fixtures: temporary user modules, and the leak check every function gets."""

import gc
import importlib
import sys
import textwrap
import uuid

import pytest


@pytest.fixture
def make_module(tmp_path, monkeypatch):
    """Writes a module (or package file) under a fresh import root and imports it.

    Returns a function make(source, name=None) -> module. Every module made is dropped
    from sys.modules afterwards, so tests cannot see each other's modules.
    """
    root = tmp_path / "modules"
    root.mkdir()
    monkeypatch.syspath_prepend(str(root))
    made = []

    def make(source, name=None, do_import=True):
        name = name or "tolva_test_" + uuid.uuid4().hex[:12]
        path = root.joinpath(*name.split(".")).with_suffix(".py")
        path.parent.mkdir(parents=True, exist_ok=True)
        for parent in list(path.parents)[: len(name.split(".")) - 1]:
            (parent / "__init__.py").touch()
        path.write_text(textwrap.dedent(source), encoding="utf-8")
        made.append(name)
        importlib.invalidate_caches()
        return importlib.import_module(name) if do_import else name

    make.root = root
    yield make
    for name in made:
        for key in [k for k in sys.modules if k == name or k.startswith(name + ".")]:
            del sys.modules[key]


def assert_no_leak(action, *, rounds=3000, slack=150, windows=4):
    """Runs action many times and asserts the interpreter's allocated blocks stay flat.

    The host's own caches and free lists (linecache, tuple free lists, import state)
    fill during the first windows; a real leak of one block a call grows every window.
    """
    for _ in range(rounds):
        action()
    growth = []
    for _ in range(windows):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(rounds):
            action()
        gc.collect()
        growth.append(sys.getallocatedblocks() - before)
        if growth[-1] < slack:
            return
    raise AssertionError(f"allocated blocks grew by {growth} in windows of {rounds} calls")


def raises_quietly(exc_type, fn, *args, **kwargs):
    """A leak-check action that expects fn to raise exc_type."""

    def action():
        try:
            fn(*args, **kwargs)
        except exc_type:
            return
        raise AssertionError(f"{fn!r} did not raise {exc_type.__name__}")

    return action


def process_alive(pid):
    """True while the process runs. A zombie has ended: an orphan waits for PID 1 to
    reap it, which a container's init may never do."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False
