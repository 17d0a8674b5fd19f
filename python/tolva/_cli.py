"""What the command-line entry points share."""

import os
import sys


def make_cwd_importable():
    """Lets `tolva-inspect pkg.mod` find modules in the current directory, as
    `python -m` does (a console script's sys.path starts with its own bin folder)."""
    cwd = os.getcwd()
    if "" not in sys.path and cwd not in sys.path:
        sys.path.insert(0, cwd)


def describe(exc):
    """One line for an exception: its type and message."""
    text = str(exc)
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def fail(prog, exc):
    print(f"{prog}: error: {describe(exc)}".replace("\n", " "), file=sys.stderr)
    return 1


def is_fault(exc):
    """The native module's fault exception derives from BaseException, not Exception."""
    return type(exc).__name__ == "PanicException"
