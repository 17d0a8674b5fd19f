"""The private names of the standard library that tolva relies on, reached here and
nowhere else, each for a cost it saves; tests check that each still exists on the
running Python. Imports nothing of tolva.
"""

try:
    # CPython's own SHA-256: importing hashlib initialises OpenSSL, which costs a
    # tenth of an unchanged run.
    from _sha2 import sha256
except ImportError:  # pragma: no cover - other interpreters
    from hashlib import sha256

# queue.SimpleQueue without the queue module, which imports threading: a run whose
# jobs are all up to date starts no thread and pays for none. Its put() may be called
# from a signal handler.
from _queue import Empty, SimpleQueue

__all__ = ["Empty", "SimpleQueue", "run_exit_functions", "argument_parser", "inline_cache_entries", "interpreter_flags", "sha256"]


def run_exit_functions():
    """Runs what atexit holds now, as the interpreter would at its exit."""
    import atexit

    atexit._run_exitfuncs()


def interpreter_flags():
    """The command-line flags of this interpreter (-W, -X, ...), for a fresh one that
    behaves as this one does."""
    import subprocess

    return subprocess._args_from_interpreter_flags()


def inline_cache_entries():
    """Opcode name -> the inline cache units that follow the instruction."""
    import opcode

    return opcode._inline_cache_entries


_PARSER_CLASS = []


def argument_parser(**kwargs):
    """An argparse parser that imports what colours and the terminal's width need
    (_colorize with dataclasses, shutil: a sixth of a run's start) only to print help
    or an error, not to check each argument as it is added."""
    if not _PARSER_CLASS:
        _PARSER_CLASS.append(_parser_classes())
    parser_class, formatter_class = _PARSER_CLASS[0]
    return parser_class(formatter_class=formatter_class, **kwargs)


def _parser_classes():
    import argparse  # for the front ends only: `import tolva` does not pay for it

    class Formatter(argparse.HelpFormatter):
        """Makes the colour theme (which imports _colorize and dataclasses) when help or
        an error is formatted, not when the parser is built."""

        def _set_color(self, color):
            self._color = color
            self.__dict__.pop("_theme", None)
            self.__dict__.pop("_decolor", None)

        def __getattr__(self, name):
            if name not in ("_theme", "_decolor") or "_color" not in self.__dict__:
                raise AttributeError(name)
            argparse.HelpFormatter._set_color(self, self._color)
            return self.__dict__[name]

    class ArgumentParser(argparse.ArgumentParser):
        def _get_validation_formatter(self):
            # One formatter of a fixed width, without asking shutil for the terminal's.
            if self._cached_formatter is None:
                self._cached_formatter = self.formatter_class(prog=self.prog, width=80)
            return self._cached_formatter

    return ArgumentParser, Formatter


# What the names above reach, for the test that each still exists.
PRIVATE_NAMES = (("subprocess", "_args_from_interpreter_flags"), ("opcode", "_inline_cache_entries"),
                 ("_sha2", "sha256"), ("_queue", "SimpleQueue"), ("_queue", "Empty"),
                 ("atexit", "_run_exitfuncs"), ("argparse", "HelpFormatter._set_color"), ("argparse", "ArgumentParser._get_validation_formatter"))
