"""What the command-line entry points share: argument conventions, one-line errors,
and importing the user's modules with an error a person can act on."""

import functools
import importlib
import os
import sys

from tolva import _compat

RUN_PROG = "python -m tolva.run"
# The name the running command goes by in its messages: set by its front end.
_PROGRAM = [RUN_PROG]


def command(main):
    """The front end of every command: main(argv, prog) returns the exit status (0, 1 or
    2); Ctrl-C, wherever it lands (importing the user's modules too), ends it with 130
    and one line, never a traceback."""

    @functools.wraps(main)
    def front_end(argv=None, prog=None):
        _PROGRAM[0] = prog or os.path.basename(sys.argv[0])
        try:
            return main(argv, prog)
        except KeyboardInterrupt:
            print(f"{_PROGRAM[0]}: interrupted", file=sys.stderr)
            return 130

    return front_end


def exit_now(status):
    """Ends a command's process with its exit status once its output is flushed and
    what atexit holds has run, without the interpreter's teardown, which frees every
    object of every module one by one: a third of a second once pandas is imported,
    often more than the run itself."""
    try:
        _compat.run_exit_functions()
    finally:
        for stream in (sys.stdout, sys.stderr):
            try:
                stream.flush()
            except (OSError, ValueError, AttributeError):
                pass
        os._exit(status if isinstance(status, int) else 1)


def make_cwd_importable():
    """Lets `tolva-inspect pkg.mod` find modules in the current directory, as
    `python -m` does (a console script's sys.path starts with its own bin folder)."""
    cwd = os.getcwd()
    if "" not in sys.path and cwd not in sys.path:
        sys.path.insert(0, cwd)


argument_parser = _compat.argument_parser


class _ClosedPipeSafe:
    """Standard output that a closed reader (`| head -1`) silences instead of ending
    the program: what it prints is for people, the run goes on."""

    def __init__(self, stream):
        self._stream = stream

    def write(self, text):
        try:
            return self._stream.write(text)
        except BrokenPipeError:
            self._silence()
            return len(text)

    def flush(self):
        try:
            self._stream.flush()
        except BrokenPipeError:
            self._silence()

    def _silence(self):
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, self._stream.fileno())
        os.close(devnull)

    def __getattr__(self, name):
        return getattr(self._stream, name)


def survive_closed_stdout():
    if not isinstance(sys.stdout, _ClosedPipeSafe) and sys.stdout is not None:
        sys.stdout = _ClosedPipeSafe(sys.stdout)


def add_version(parser):
    from tolva import __version__

    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")


def describe(exc):
    """One line for an exception: its type and message."""
    text = str(exc)
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


# Control characters (C0, DEL, C1) as Python writes them in a str's repr: user text
# printed to a terminal must not move its cursor or rewrite a line already printed.
_CONTROLS = {code: repr(chr(code))[1:-1] for code in (*range(32), *range(127, 160))}


def printable(text):
    """User text (names, errors, file names, values) made safe to print: each control
    character shown escaped, so it can neither move the cursor nor rewrite a line."""
    return str(text).translate(_CONTROLS)


def error(prog, message):
    print(f"{prog}: error: {printable(str(message).replace(chr(10), ' '))}", file=sys.stderr)


def warn(message):
    """A warning of the running command, in one line; the run goes on."""
    print(f"{_PROGRAM[0]}: warning: {printable(str(message).replace(chr(10), ' '))}", file=sys.stderr)


class Failed(Exception):
    """The call raised; its one-line report is already on standard error. The
    exception is kept as args[0]."""


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
        error(prog, describe(exc))
        raise Failed(exc) from None


def _where_raised(exc):
    """" (at file:line)" for the last frame of the user's own code the exception passed
    through, or nothing."""
    import traceback

    from tolva.fingerprint import library_roots  # the library's roots, found once the modules are imported

    library = library_roots()
    frames = [f for f in traceback.extract_tb(exc.__traceback__)
              if not f.filename.startswith("<") and not os.path.realpath(f.filename).startswith(library)]
    return f" (at {frames[-1].filename}:{frames[-1].lineno})" if frames else ""


def import_error_line(name, exc):
    """Why a module cannot be imported, where in the user's code, and what to do when it
    cannot be found."""
    line = f"cannot import module '{name}': {describe(exc)}"
    if not isinstance(exc, SyntaxError):  # its text already names the file and line
        line += _where_raised(exc)
    if isinstance(exc, UnicodeError):
        line += " (a file or folder name that is not UTF-8; rename it)"
    if isinstance(exc, ModuleNotFoundError):
        line += (f" (current directory: {os.getcwd()}; run from the project root or add the project to "
                 "PYTHONPATH)")
    return line


def sourceless(modules):
    """One line per module that has no Python source to describe (built in, or an
    extension or bytecode file only)."""
    problems = []
    for name in modules:
        path = getattr(sys.modules.get(name), "__file__", None)
        if not isinstance(path, str) or not path.endswith(".py"):
            what = "it is built into Python" if not isinstance(path, str) else f"its file is {path}"
            problems.append(f"cannot describe module '{name}': {what}, and tolva describes modules written in "
                            "Python")
    return problems


def import_modules(names):
    """Imports each module; returns one line per module that failed. Ctrl-C is not
    a failure of the module and passes through."""
    problems = []
    for name in names:
        try:
            importlib.import_module(name)
        except KeyboardInterrupt:
            raise
        except BaseException as exc:
            problems.append(import_error_line(name, exc))
    return problems
