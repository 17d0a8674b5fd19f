"""Hostile callers: foreign instances, deep wrapper chains and threads end in a Python
exception, never in a signal that kills the interpreter."""

import re
import subprocess
import sys
import textwrap

import pytest

import _tolva

from conftest import assert_no_leak, raises_quietly

FOREIGN = {
    "[1, 2, 3]": "list",
    "b'x'": "bytes",
    "'text'": "str",
    "int": "type",
    "_tolva.partitions([1])": "builtins.Partitions",
    "object()": "object",
}


def run_isolated(code, timeout=240):
    """Runs code in a fresh interpreter; a negative status (a signal) fails the test.
    Returns the status and the last line of standard error."""
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                            timeout=timeout)
    assert result.returncode >= 0, f"killed by signal {-result.returncode}: {result.stderr[-2000:]}"
    lines = result.stderr.strip().splitlines()
    return result.returncode, lines[-1] if lines else ""


@pytest.mark.parametrize("foreign, type_name", FOREIGN.items())
def test_doc_descriptor_checks_its_instance(foreign, type_name):
    status, last = run_isolated(f"import _tolva\nvars(_tolva.AssetWrapper)['__doc__'].__get__({foreign})\n")
    assert (status, last) == (
        1, f"TypeError: descriptor '__doc__' for 'builtins.AssetWrapper' objects doesn't apply to a '{type_name}' object"
    )


@pytest.mark.parametrize("statement", ["w.__doc__ = 'x'", "del w.__doc__", "w.__name__ = 'x'"])
def test_getters_refuse_assignment_in_the_hosts_words(statement):
    w = _tolva.asset()(len)
    attribute = statement.split(".")[1].split()[0]
    with pytest.raises(AttributeError) as info:
        exec(statement, {"w": w})
    assert str(info.value) == f"attribute '{attribute}' of 'builtins.AssetWrapper' objects is not writable"


def test_doc_still_answers_for_class_and_instance():
    def documented():
        """Own words."""

    assert _tolva.AssetWrapper.__doc__.startswith("The `@asset()` decorator wrapper.")
    assert _tolva.asset()(documented).__doc__ == "Own words."


READING = "while reading an attribute through an AssetWrapper"
CALLING = "while calling an AssetWrapper"


@pytest.mark.parametrize(
    "depth, expression, where",
    [(100_000, "w.__name__", READING), (100_000, "w.__doc__", READING), (100_000, "w.__qualname__", READING),
     (1_000_000, "w()", CALLING), (1_000_000, "type(w).__call__(w)", CALLING), (1_000_000, "w(*[], **{})", CALLING)],
)
def test_deep_chains_raise_recursion_error(depth, expression, where):
    status, last = run_isolated(f"""
        import _tolva
        w = lambda: 1
        for _ in range({depth}):
            w = _tolva.asset()(w)
        {expression}
    """)
    # The host words the limit by the stack it measured; the guard names where it was.
    assert status == 1 and re.fullmatch(rf"RecursionError: Stack overflow \(used \d+ kB\) {where}", last), last


def test_a_million_level_chain_is_freed():
    status, last = run_isolated("""
        import _tolva
        w = lambda: 1
        for _ in range(1_000_000):
            w = _tolva.asset()(w)
        assert w.__tolva_original__.__tolva_kind__ == "asset"
        del w
        import sys
        print("freed", file=sys.stderr)
    """)
    assert (status, last) == (0, "freed")


HOSTILE = """
import sys, threading, _tolva

FOREIGN = [[1, 2, 3], b"x", "text", int, _tolva.partitions([1]), object(), 1.5, None]
deep = lambda: 1
for _ in range(200_000):
    deep = _tolva.asset()(deep)
shallow = _tolva.asset(name="n", inputs={}, partitions={"d": _tolva.partitions([1])})(len)
unexpected = []


def expect(action, allowed):
    try:
        action()
    except allowed:
        pass
    except BaseException as exc:
        unexpected.append(repr(exc))


def attack():
    for cls in (_tolva.AssetWrapper, _tolva.Partitions):
        for name, member in list(vars(cls).items()):
            for foreign in FOREIGN:
                if hasattr(member, "__get__"):
                    expect(lambda: member.__get__(foreign, cls), (TypeError,))
                if hasattr(type(member), "__set__"):
                    expect(lambda: member.__set__(foreign, 1), (TypeError, AttributeError))
                    expect(lambda: member.__delete__(foreign), (TypeError, AttributeError))
                if callable(member) and name.startswith("__") and name not in ("__new__", "__init_subclass__",
                                                                               "__subclasshook__"):
                    expect(lambda: member(foreign), (TypeError,))
    for target in (deep, shallow):
        for name in ("__name__", "__doc__", "__module__", "__qualname__", "__wrapped__", "__tolva_original__",
                     "__tolva_metadata__", "__tolva_kind__"):
            expect(lambda: getattr(target, name), (RecursionError, AttributeError))
            expect(lambda: setattr(target, name, 1), (AttributeError,))
        expect(lambda: target(), (RecursionError, TypeError))
        expect(lambda: type(target).__call__(target, 1, k=2), (RecursionError, TypeError))
        expect(lambda: type(target).__get__(target, FOREIGN[0], None), ())


threads = [threading.Thread(target=attack) for _ in range(4)]
for t in threads:
    t.start()
for t in threads:
    t.join()
attack()
print("unexpected:", unexpected[:3], file=sys.stderr)
sys.exit(1 if unexpected else 0)
"""


def test_every_member_with_foreign_objects_from_threads_on_deep_chains():
    status, last = run_isolated(HOSTILE)
    assert (status, last) == (0, "unexpected: []")


def test_refusals_do_not_leak():
    doc = vars(_tolva.AssetWrapper)["__doc__"]
    w = _tolva.asset()(len)
    assert_no_leak(raises_quietly(TypeError, doc.__get__, [1, 2, 3]))
    assert_no_leak(raises_quietly(AttributeError, doc.__set__, w, "x"))
    assert_no_leak(lambda: w.__doc__)
