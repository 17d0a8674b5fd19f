"""AssetWrapper: forwarding attributes, the metadata dict, calls, binding, collection."""

import gc
import weakref

import pytest

from _tolva import AssetWrapper, asset, partitions

from conftest import assert_no_leak, raises_quietly


def f(a, b=0):
    return (a, b)


def g():
    """Docstring of g."""


def test_forwarding_attributes():
    w = asset()(f)
    assert type(w) is AssetWrapper
    assert (w.__name__, w.__qualname__, w.__module__) == (f.__name__, f.__qualname__, f.__module__)
    assert w.__doc__ is f.__doc__ is None
    assert asset()(g).__doc__ is g.__doc__
    assert w.__wrapped__ is f and w.__tolva_original__ is f
    assert w.__tolva_kind__ == "asset"


def test_forwarding_is_live():
    def h():
        pass

    w = asset()(h)
    h.__name__ = "renamed"
    h.__doc__ = "new doc"
    h.__qualname__ = "Q.renamed"
    assert (w.__name__, w.__doc__, w.__qualname__) == ("renamed", "new doc", "Q.renamed")


def test_class_doc_and_instance_doc_coexist():
    assert AssetWrapper.__doc__ == "The `@asset()` decorator wrapper. Stores the original function and metadata."
    assert asset()(g).__doc__ == "Docstring of g."


def test_wrapped_object_without_attributes():
    w = asset()(42)
    with pytest.raises(AttributeError):
        w.__qualname__
    assert w.__tolva_kind__ == "asset"
    assert w.__tolva_metadata__["kind"] == "asset"
    with pytest.raises(TypeError, match="'int' object is not callable"):
        w()


def test_metadata_defaults_and_key_order():
    meta = asset()(f).__tolva_metadata__
    assert meta == {"kind": "asset", "name": None, "serializer": None, "inputs": None, "partitions": None}
    assert list(meta) == ["kind", "name", "serializer", "inputs", "partitions"]


def test_metadata_with_everything_given():
    meta = asset(name="n", serializer="s", inputs={}, partitions={})(f).__tolva_metadata__
    assert meta == {"kind": "asset", "name": "n", "serializer": "s", "inputs": {}, "partitions": {}}


def test_metadata_is_new_on_every_read():
    w = asset(inputs={"x": "ref"}, partitions={"d": partitions([1])})(f)
    first, second = w.__tolva_metadata__, w.__tolva_metadata__
    assert first == second and first is not second
    assert first["inputs"] is not second["inputs"]
    first["inputs"]["x"] = "changed"
    first["partitions"]["d"]["values_json"] = "[]"
    assert w.__tolva_metadata__ == second


@pytest.mark.parametrize(
    "args, kwargs",
    [((1,), {}), ((1, 2), {}), ((1,), {"b": 2}), ((), {"a": 1, "b": 2}), ((), {"a": 1})],
)
def test_calls_pass_exactly_the_callers_arguments(args, kwargs):
    w = asset()(f)
    assert w(*args, **kwargs) == f(*args, **kwargs)
    assert AssetWrapper.__call__(w, *args, **kwargs) == f(*args, **kwargs)


def test_call_errors_are_the_functions_own():
    w = asset()(f)
    with pytest.raises(TypeError, match=r"f\(\) missing 1 required positional argument: 'a'"):
        w()

    def boom():
        raise KeyError("k")

    with pytest.raises(KeyError) as info:
        asset()(boom)()
    assert info.value.__context__ is None and info.value.__cause__ is None


def test_wrapper_is_never_bound():
    calls = []

    def m(*args):
        calls.append(args)

    class C:
        attr = asset()(m)

    assert C.attr is C().attr
    C().attr(1)
    assert calls == [(1,)]
    assert C.__dict__["attr"].__get__(None, C) is C.attr


@pytest.mark.parametrize("name", ["extra", "__name__", "__doc__", "__tolva_metadata__", "__wrapped__"])
def test_attributes_are_read_only(name):
    w = asset()(f)
    with pytest.raises(AttributeError):
        setattr(w, name, "x")


def test_wrapper_takes_part_in_cycle_collection(make_module):
    module = make_module(
        """
        from _tolva import asset

        @asset()
        def produce():
            return produce
        """
    )
    ref = weakref.ref(module.produce.__wrapped__)
    name = module.__name__
    import sys

    del sys.modules[name], module
    gc.collect()
    assert ref() is None


def test_gc_sees_through_the_wrapper():
    def h():
        pass

    w = asset()(h)
    assert h in gc.get_referents(w)
    assert gc.is_tracked(w)


def test_no_leaks():
    w = asset(name="n", inputs={"x": "r"}, partitions={"d": partitions([1, "a"])})(f)
    assert_no_leak(lambda: w(1, b=2))
    assert_no_leak(lambda: w(1))
    assert_no_leak(lambda: w.__tolva_metadata__)
    assert_no_leak(lambda: (w.__name__, w.__doc__, w.__module__, w.__qualname__, w.__wrapped__, w.__tolva_kind__))
    assert_no_leak(raises_quietly(TypeError, w))
    assert_no_leak(raises_quietly(AttributeError, lambda: asset()(1).__qualname__))
    assert_no_leak(lambda: asset()(lambda: None))
