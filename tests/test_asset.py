"""asset(...): validation, reference strings, partition specs and the decorator."""

import os

import pytest

from _tolva import AssetWrapper, asset, partitions

from conftest import assert_no_leak, raises_quietly


def meta(w):
    return w.__tolva_metadata__


def test_bare_decorator():
    d = asset()
    assert type(d).__name__ == "builtin_function_or_method"
    assert d.__name__ == "asset_decorator" and d.__doc__ is None and d.__module__ is None
    w = d(lambda: 1)
    assert isinstance(w, AssetWrapper)


def test_docstring_is_the_documented_one():
    doc = asset.__doc__
    assert doc.startswith("Decorator that registers a Python function as a tolva asset.\n\nUsage\n-----\n")
    assert '    @asset(partitions={"ticker": partitions(["AAPL", "MSFT", "GOOG"])})\n' in doc
    assert doc.endswith("serializer : str, optional\n    Reserved for future use.  Leave unset.")


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"inputs": [("x", "y")]}, "'list' object cannot be converted to 'PyDict'"),
        ({"partitions": ["a"]}, "'list' object cannot be converted to 'PyDict'"),
        ({"inputs": {1: "a"}}, "'int' object cannot be converted to 'PyString'"),
        ({"partitions": {1: partitions([])}}, "'int' object cannot be converted to 'PyString'"),
        ({"inputs": {"x": 42}}, "inputs values must be @asset-decorated functions or asset ref strings"),
        ({"inputs": {"x": None}}, "inputs values must be @asset-decorated functions or asset ref strings"),
        ({"partitions": {"d": ["a"]}}, "partition values must be partitions([...]) instances"),
        (
            {"inputs": {"x": 1}, "partitions": {"d": 1}},
            "inputs values must be @asset-decorated functions or asset ref strings",
        ),
        ({"name": "ok", "inputs": {"x": "ref"}, "partitions": 5}, "'int' object cannot be converted to 'PyDict'"),
    ],
)
def test_failures(kwargs, message):
    with pytest.raises(TypeError) as info:
        asset(**kwargs)
    assert str(info.value) == message


class Kind:
    def __init__(self, kind, original=None):
        self.__tolva_kind__ = kind
        if original is not None:
            self.__tolva_original__ = original


@pytest.mark.parametrize("kind", ["task", "Asset", " asset", b"asset", 1])
def test_other_kinds_are_not_assets(kind):
    with pytest.raises(TypeError, match="inputs values must be"):
        asset(inputs={"x": Kind(kind)})


def upstream():
    return 1


def test_reference_strings():
    here = os.path.realpath(__file__)
    w = asset(name="prices_v2")(upstream)
    m = meta(asset(inputs={"wrapped": w, "duck": Kind("asset", upstream), "text": "any text"})(upstream))
    assert m["inputs"] == {"wrapped": f"{here}:upstream", "duck": f"{here}:upstream", "text": "any text"}


def test_duck_asset_without_original_is_its_own_target():
    def duck():
        pass

    duck.__tolva_kind__ = "asset"
    here = os.path.realpath(__file__)
    assert meta(asset(inputs={"x": duck})(upstream))["inputs"] == {"x": f"{here}:duck"}


def test_reference_of_a_function_without_source_file():
    with pytest.raises(TypeError):
        asset(inputs={"x": asset()(len)})


def test_reference_resolves_symbolic_links(make_module, tmp_path):
    real = tmp_path / "real"
    real.mkdir()
    (real / "upstream_mod_link_test.py").write_text("def raw():\n    return [1, 2, 3]\n")
    link = make_module.root / "upstream_mod_link_test.py"
    link.symlink_to(real / "upstream_mod_link_test.py")
    module = make_module(
        """
        from _tolva import asset
        import upstream_mod_link_test as up
        raw = asset()(up.raw)
        consumer = asset(inputs={"data": raw})(lambda data: data)
        """
    )
    try:
        resolved = str((real / "upstream_mod_link_test.py").resolve())
        assert meta(module.consumer)["inputs"] == {"data": resolved + ":raw"}
    finally:
        __import__("sys").modules.pop("upstream_mod_link_test", None)


def test_partition_specs():
    m = meta(asset(partitions={"b": partitions([1]), "a": partitions(["x", None])})(upstream))
    assert m["partitions"] == {
        "a": {"kind": "inline", "values_json": '["x",null]'},
        "b": {"kind": "inline", "values_json": "[1]"},
    }


def test_empty_name_and_empty_maps_are_kept():
    m = meta(asset(name="", inputs={}, partitions={})(upstream))
    assert (m["name"], m["inputs"], m["partitions"]) == ("", {}, {})


def test_dict_subclasses_are_accepted():
    class D(dict):
        pass

    m = meta(asset(inputs=D(x="r"), partitions=D(d=partitions([])))(upstream))
    assert m["inputs"] == {"x": "r"} and m["partitions"] == {"d": {"kind": "inline", "values_json": "[]"}}


def test_decorator_calls():
    d = asset(name="n")
    w = d(upstream, extra=1)
    assert meta(w)["name"] == "n" and w() == 1
    for call in (lambda: d(), lambda: d(upstream, upstream), lambda: d(func=upstream)):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == "asset() decorator expects exactly one argument (the function)"
    assert isinstance(d(42), AssetWrapper)


def test_wrappers_from_one_decorator_are_independent():
    d = asset(name="n", inputs={"x": "r"}, partitions={"p": partitions([1])})
    a, b = d(upstream), d(upstream)
    assert meta(a) == meta(b) and a is not b
    del d
    assert meta(a)["inputs"] == {"x": "r"}


def test_decorator_metadata_lives_as_long_as_the_decorator():
    import gc
    import sys

    before = sys.getallocatedblocks()
    for _ in range(2000):
        asset(name="x" * 100, inputs={"a": "b" * 100})
    gc.collect()
    assert sys.getallocatedblocks() - before < 100


def changing_dict_case(mutate):
    inputs = {}

    class Ref(str):
        @property
        def __tolva_kind__(self):
            mutate(inputs)
            return "no"

    inputs["a"] = Ref("ref-a")
    inputs["b"] = "ref-b"
    return inputs


@pytest.mark.parametrize(
    "mutate, message",
    [
        (lambda d: d.__setitem__("c", "x"), "dictionary changed size during iteration"),
        (lambda d: d.pop("b", None), "dictionary changed size during iteration"),
        (lambda d: (d.pop("a", None), d.__setitem__("c", "x"), d.__setitem__("d", "y"), d.pop("b")),
         "dictionary keys changed during iteration"),
    ],
)
def test_dict_changed_during_the_walk_is_a_fault(mutate, message):
    inputs = changing_dict_case(mutate)
    with pytest.raises(BaseException) as info:
        asset(inputs=inputs)
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == message


def test_failing_kind_read_is_discarded_but_a_panic_is_not():
    class Raises(str):
        @property
        def __tolva_kind__(self):
            raise RuntimeError("nope")

    assert meta(asset(inputs={"x": Raises("ref")})(upstream))["inputs"] == {"x": "ref"}

    # Obtain the fault exception class, then raise it from an attribute read.
    inputs = changing_dict_case(lambda d: d.__setitem__("z", "z"))
    try:
        asset(inputs=inputs)
    except BaseException as e:
        panic = type(e)

    class Panics(str):
        @property
        def __tolva_kind__(self):
            raise panic("from user code")

    with pytest.raises(panic, match="from user code"):
        asset(inputs={"x": Panics("ref")})


def test_no_leaks():
    w = asset()(upstream)
    assert_no_leak(lambda: asset(name="n", serializer="s", inputs={"a": w, "b": "t"}, partitions={"d": partitions([1])}))
    assert_no_leak(lambda: asset()(upstream))
    assert_no_leak(raises_quietly(TypeError, asset, inputs={"x": 42}))
    assert_no_leak(raises_quietly(TypeError, asset, inputs=[1]))
    assert_no_leak(raises_quietly(TypeError, asset, inputs={1: 2}))
    assert_no_leak(raises_quietly(TypeError, asset, partitions={"d": 1}))
    assert_no_leak(raises_quietly(TypeError, asset, name=1))
    assert_no_leak(raises_quietly(TypeError, asset, 1))
    assert_no_leak(raises_quietly(TypeError, asset(), upstream, upstream))
    assert_no_leak(raises_quietly(TypeError, asset, inputs={"x": asset()(len)}), rounds=500)
    assert_no_leak(lambda: raises_quietly(BaseException, asset, inputs=changing_dict_case(lambda d: d.__setitem__("c", "x")))())
