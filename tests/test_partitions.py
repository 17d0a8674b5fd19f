"""partitions(values), the Partitions marker and the rendering of a dimension."""

import pytest

from _tolva import Partitions, asset, partitions

from conftest import assert_no_leak, raises_quietly


def rendered(*values):
    w = asset(partitions={"d": partitions(list(values))})(lambda: None)
    spec = w.__tolva_metadata__["partitions"]["d"]
    assert list(spec) == ["kind", "values_json"] and spec["kind"] == "inline"
    return spec["values_json"]


@pytest.mark.parametrize(
    "values, text",
    [
        ([], "[]"),
        (["AAPL", "MSFT", "GOOG"], '["AAPL","MSFT","GOOG"]'),
        (["a", "a"], '["a","a"]'),
        ([1, 1.0, True, None, "x"], '[1,1.0,true,null,"x"]'),
        ([{"b": 1, "a": 2}], '[{"a":2,"b":1}]'),
        ([{1: "x"}], '[{"1":"x"}]'),
        ([{True: 1, None: 2}], '[{"null":2,"true":1}]'),
        ([{1: "int", "1": "str"}], '[{"1":"str"}]'),
        (["é", "😀"], '["é","😀"]'),
        ([(1, 2), [3]], "[[1,2],[3]]"),
        ([2**64, -(2**63), 2**63], "[1.8446744073709552e+19,-9223372036854775808,9223372036854775808]"),
        ([904582.8735990215, 1e-7, 1e16, 0.1], "[904582.8735990215,1e-7,1e+16,0.1]"),
        (["a\u001fb", 'q"\\'], '["a\\u001fb","q\\"\\\\"]'),
    ],
)
def test_values_render_as_compact_json(values, text):
    assert rendered(*values) == text


@pytest.mark.parametrize("count", [0, 1, 3])
def test_repr_counts_values_in_the_plural(count):
    assert repr(partitions(list(range(count)))) == f"Partitions({count} values)"


def test_keyword_form_and_list_subclass():
    class Keys(list):
        pass

    assert repr(partitions(values=["x"])) == "Partitions(1 values)"
    assert repr(partitions(Keys(["a", "b"]))) == "Partitions(2 values)"


@pytest.mark.parametrize(
    "value, message",
    [
        (float("nan"), "invalid partition value: expected value at line 1 column 1"),
        (float("inf"), "invalid partition value: expected value at line 1 column 1"),
        (float("-inf"), "invalid partition value: invalid number at line 1 column 2"),
        ([float("nan")], "invalid partition value: expected value at line 1 column 2"),
        (10**400, "invalid partition value: number out of range at line 1 column 401"),
    ],
)
def test_values_the_parser_refuses(value, message):
    with pytest.raises(ValueError) as info:
        partitions([value])
    assert str(info.value) == message


def test_nesting_deeper_than_the_parser_allows():
    deep = []
    for _ in range(127):
        deep = [deep]
    partitions([deep[0]])  # 127 levels
    with pytest.raises(ValueError, match="^invalid partition value: recursion limit exceeded at line 1 column 128$"):
        partitions([deep])


def test_dumps_errors_pass_through_unchanged():
    with pytest.raises(TypeError, match="Object of type object is not JSON serializable"):
        partitions([object()])
    loop = []
    loop.append(loop)
    with pytest.raises(ValueError, match="Circular reference detected"):
        partitions([loop])


def test_marker_is_a_snapshot():
    values = [{"k": 1}]
    marker = partitions(values)
    values[0]["k"] = 2
    values.append(3)
    w = asset(partitions={"a": marker, "b": marker})(lambda: None)
    parts = w.__tolva_metadata__["partitions"]
    assert parts["a"] == parts["b"] == {"kind": "inline", "values_json": '[{"k":1}]'}
    assert parts["a"] is not parts["b"]


def test_a_list_shrunk_while_dumping_ends_the_walk():
    values = []

    class Shrinks:
        def __init__(self, value):
            self.value = value

    import json

    real_default = json.JSONEncoder.default

    def default(self, o):
        if isinstance(o, Shrinks):
            del values[1:]
            return o.value
        return real_default(self, o)

    json.JSONEncoder.default = default
    try:
        values.extend([Shrinks(1), 2, 3])
        marker = partitions(values)
    finally:
        json.JSONEncoder.default = real_default
    assert repr(marker) == "Partitions(1 values)"


def test_type_is_not_subclassable_and_has_only_repr():
    assert not hasattr(Partitions, "__len__") and not hasattr(Partitions, "__iter__")
    a, b = partitions([1]), partitions([1])
    assert a != b and a == a


def test_no_leaks():
    assert_no_leak(lambda: partitions([1, "a", {"b": [1.5, None]}, 2**70]))
    assert_no_leak(raises_quietly(ValueError, partitions, [2**64 - 1, True, -5, "\ud800"]))
    assert_no_leak(lambda: repr(partitions(["x"])))
    assert_no_leak(raises_quietly(ValueError, partitions, [1, float("nan")]))
    assert_no_leak(raises_quietly(TypeError, partitions, [object()]))
    assert_no_leak(raises_quietly(TypeError, partitions, (1,)))
    assert_no_leak(raises_quietly(TypeError, partitions, [], values=[]))


class _Int(int):
    pass


class _Float(float):
    pass


class _Str(str):
    pass


def _outcome(value):
    try:
        return rendered(value)
    except ValueError as exc:
        return f"ValueError: {exc}"


@pytest.mark.parametrize("value", [
    0, 1, -1, 2**63 - 1, 2**63, 2**64 - 1, 2**64, -(2**63), -(2**63) - 1, 10**400, -(10**400),
    0.0, -0.0, 1.5, 1e16, 1e-320, 5e-324, 1.7976931348623157e308, float("nan"), float("inf"), float("-inf"),
    "", "plain", 'q"b\\s', "\x00\x1f\x7f", "é😀", "\ud800", "a\udfffb", "\U0010ffff",
])
def test_plain_values_render_as_the_host_json_says(value):
    """Values of exactly int, float or str take a path without json.dumps; a subclass
    of each goes through it and must render (or fail) the same."""
    through_host = {int: _Int, float: _Float, str: _Str}[type(value)](value)
    assert _outcome(value) == _outcome(through_host)
