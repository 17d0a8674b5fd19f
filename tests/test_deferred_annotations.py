"""Annotations that do not evaluate (a type imported only for type checkers) never
stop a command or turn a computed value into a failure; where annotations evaluate,
every output stays as it is."""

import json
import subprocess
import sys

import pytest

import _tolva
from conftest import assert_no_leak

MODULE = '''\
from typing import TYPE_CHECKING
from tolva import asset
if TYPE_CHECKING:
    from collections import OrderedDict


@asset()
def price(x: "int" = 1) -> OrderedDict:
    return 3


@asset(inputs={"p": price})
def doubled(p: OrderedDict) -> int:
    return p * 2


class NoSignature:
    def __call__(self):
        return [1]

    @property
    def __signature__(self):
        raise ValueError("no signature here")


no_signature = NoSignature()
'''


@pytest.mark.parametrize(
    "command, check",
    [
        (["tolva.inspect", "deferred"],
         lambda out, tmp: [(a["function_name"], a["return_type"]) for a in json.loads(out)["assets"]]
         == [("doubled", "int"), ("price", "OrderedDict")]),
        (["tolva.worker", "deferred", "price", "out"],
         lambda out, tmp: json.loads((tmp / "out/result.json").read_text())["signature"] == "(x: 'int' = 1) -> OrderedDict"),
        (["tolva.run", "deferred"],
         lambda out, tmp: (tmp / "tolva-out/doubled/value.json").read_text() == "6"),
    ],
)
def test_every_command_reads_annotations_that_do_not_evaluate(tmp_path, command, check):
    (tmp_path / "deferred.py").write_text(MODULE)
    result = subprocess.run([sys.executable, "-m", *command], cwd=tmp_path, capture_output=True, text=True,
                            timeout=120)
    assert (result.returncode, result.stderr) == (0, "")
    assert check(result.stdout, tmp_path)


def test_reading_them_again_leaks_nothing(make_module, tmp_path):
    name = make_module(MODULE)
    assert_no_leak(lambda: _tolva.inspect_modules([name.__name__]), rounds=300, slack=60)

    def materialize():
        try:
            _tolva.materialize_asset(name.__name__, "price", str(tmp_path / "out"))
        except SystemExit:
            raise AssertionError("recorded as failed")

    assert_no_leak(materialize, rounds=300, slack=60)

    def first_error_stands():
        try:
            _tolva.materialize_asset(name.__name__, "no_signature", str(tmp_path / "out"))
        except SystemExit:
            record = json.loads((tmp_path / "out/result.json").read_text())
            assert record["error"] == "ValueError: no signature here"

    assert_no_leak(first_error_stands, rounds=300, slack=60)
