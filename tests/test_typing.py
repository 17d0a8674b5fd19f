"""The stubs as type checkers see them: mypy finds them (PEP 561) and flags exactly
the wrong calls of a small user file."""

import os
import re
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.skipif(bool(os.environ.get("TOLVA_SANITIZED")),
                                reason="checks the installed stubs; the sanitizer run loads the build folder")

USER_FILE = '''\
from typing import reveal_type

from tolva import CheckResult, asset, check, partitions


@asset()
def raw() -> list[int]:
    return [1, 2, 3]


upstream = {"data": raw}
dimensions = {"ticker": partitions(["AAPL", "MSFT"])}


@asset(inputs=upstream, partitions=dimensions)
def prices(data: list[int], ticker: str) -> dict[str, int]:
    return {ticker: sum(data)}


reveal_type(raw)
reveal_type(prices([1], "AAPL"))
reveal_type(prices.__tolva_original__)
prices("not a list", "AAPL")
asset(name=1)
asset(inputs={"x": 42})
partitions(("a", "b"))
asset()(raw)(1)


@check(raw)
def positive(values: list[int]) -> CheckResult:
    return CheckResult(all(v > 0 for v in values), "", {"n": len(values)})


reveal_type(positive)
check(raw, blocking="no")
check(42)
'''

EXPECTED = {
    20: 'note: Revealed type is "_tolva.AssetWrapper[[], list[int]]"',
    21: 'note: Revealed type is "dict[str, int]"',
    22: 'note: Revealed type is "def (data: list[int], ticker: str) -> dict[str, int]"',
    23: 'error: Argument 1 to "__call__" of "AssetWrapper" has incompatible type "str"; expected "list[int]"  '
        "[arg-type]",
    24: 'error: Argument "name" to "asset" has incompatible type "int"; expected "str | None"  [arg-type]',
    25: 'error: Dict entry 0 has incompatible type "str": "int"; expected "str": "AssetWrapper[[VarArg(Any), '
        'KwArg(Any)], Any] | str"  [dict-item]',
    26: 'error: Argument 1 to "partitions" has incompatible type "tuple[str, str]"; expected "list[Any]"  '
        "[arg-type]",
    27: 'error: Too many arguments for "__call__" of "AssetWrapper"  [call-arg]',
    35: 'note: Revealed type is "def (values: list[int]) -> tolva.CheckResult"',
    36: 'error: Argument "blocking" to "check" has incompatible type "str"; expected "bool"  [arg-type]',
    37: 'error: Argument 1 to "check" has incompatible type "int"; expected "AssetWrapper[[VarArg(Any), '
        'KwArg(Any)], Any] | str"  [arg-type]',
}


def test_mypy_sees_the_stubs(tmp_path):
    (tmp_path / "user_assets.py").write_text(USER_FILE)
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--no-error-summary", "--hide-error-context", "--no-color-output",
         "--cache-dir", str(tmp_path / "cache"), "user_assets.py"],
        cwd=tmp_path, capture_output=True, text=True, timeout=300,
    )
    found = {}
    for line in result.stdout.splitlines():
        match = re.match(r"user_assets\.py:(\d+): (.*)$", line)
        assert match, line
        found[int(match.group(1))] = match.group(2)
    assert found == EXPECTED, textwrap.indent(result.stdout + result.stderr, "  ")
