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


class Failed(Exception):
    """The call raised; its one-line report is already on standard error."""


def call(prog, fn, *args):
    """Calls fn; an exception (or the native module's fault exception, which derives
    from BaseException) becomes one line on standard error and Failed. SystemExit and
    KeyboardInterrupt pass through."""
    try:
        return fn(*args)
    except (SystemExit, KeyboardInterrupt):
        raise
    except BaseException as exc:
        if not isinstance(exc, Exception) and type(exc).__name__ != "PanicException":
            raise
        print(f"{prog}: error: {describe(exc)}".replace("\n", " "), file=sys.stderr)
        raise Failed from None
