"""Argument binding and conversion messages shared by every function."""

import pytest

import _tolva
from _tolva import asset, inspect_modules, materialize_asset, partitions


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: asset(1), "asset() takes 0 positional arguments but 1 was given"),
        (lambda: asset(1, 2), "asset() takes 0 positional arguments but 2 were given"),
        (lambda: asset(x=1), "asset() got an unexpected keyword argument 'x'"),
        (lambda: partitions(), "partitions() missing required argument 'values' (pos 1)"),
        (lambda: partitions([], []), "partitions() takes 1 positional arguments but 2 were given"),
        (lambda: partitions([], values=[]), "argument for partitions() given by name ('values') and position (1)"),
        (lambda: partitions(value=[]), "partitions() got an unexpected keyword argument 'value'"),
        (lambda: inspect_modules(), "inspect_modules() missing required argument 'modules' (pos 1)"),
        (
            lambda: materialize_asset("m", "f"),
            "materialize_asset() missing required argument 'output_dir' (pos 3)",
        ),
        (
            lambda: materialize_asset("m", "f", "o", None, None),
            "materialize_asset() takes from 3 to 4 positional arguments but 5 were given",
        ),
        (
            lambda: materialize_asset("m", "f", "o", module_name="m"),
            "argument for materialize_asset() given by name ('module_name') and position (1)",
        ),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: asset(name=1), "argument 'name': 'int' object cannot be converted to 'PyString'"),
        (lambda: asset(serializer=b"x"), "argument 'serializer': 'bytes' object cannot be converted to 'PyString'"),
        (lambda: asset(name=1, serializer=2), "argument 'name': 'int' object cannot be converted to 'PyString'"),
        (lambda: partitions((1,)), "argument 'values': 'tuple' object cannot be converted to 'PyList'"),
        (lambda: partitions("ab"), "argument 'values': 'str' object cannot be converted to 'PyList'"),
        (lambda: partitions(None), "argument 'values': 'NoneType' object cannot be converted to 'PyList'"),
        (lambda: inspect_modules(["a", 1]), "argument 'modules': 'int' object cannot be converted to 'PyString'"),
        (lambda: inspect_modules("a"), "argument 'modules': Can't extract `str` to `Vec`"),
        (lambda: inspect_modules({"a": 1}), "argument 'modules': 'dict' object cannot be converted to 'Sequence'"),
        (lambda: inspect_modules({"a"}), "argument 'modules': 'set' object cannot be converted to 'Sequence'"),
        (
            lambda: inspect_modules(x for x in ["a"]),
            "argument 'modules': 'generator' object cannot be converted to 'Sequence'",
        ),
        (
            lambda: materialize_asset("m", 1, "o"),
            "argument 'function_name': 'int' object cannot be converted to 'PyString'",
        ),
        (
            lambda: materialize_asset("m", "f", "o", 1),
            "argument 'input_kwargs_json': 'int' object cannot be converted to 'PyString'",
        ),
    ],
)
def test_conversion_errors_name_the_argument(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_conversion_uses_the_qualified_type_name():
    class Outer:
        class Inner:
            pass

    with pytest.raises(TypeError) as info:
        asset(name=Outer.Inner())
    assert str(info.value) == (
        "argument 'name': 'test_conversion_uses_the_qualified_type_name.<locals>.Outer.Inner' "
        "object cannot be converted to 'PyString'"
    )


def test_lone_surrogates_fail_with_the_hosts_encode_error():
    with pytest.raises(UnicodeEncodeError):
        asset(name="\ud800")


def test_str_subclasses_are_text():
    class Name(str):
        pass

    w = asset(name=Name("n"))(lambda: 1)
    assert w.__tolva_metadata__["name"] == "n"


def test_panic_exception_is_a_base_exception_and_not_an_attribute():
    inputs = {}

    class Grows(str):
        @property
        def __tolva_kind__(self):
            inputs["more"] = "x"
            return "not an asset"

    inputs["a"] = Grows("ref")
    with pytest.raises(BaseException) as info:
        asset(inputs=inputs)
    assert not isinstance(info.value, Exception)
    assert type(info.value).__name__ == "PanicException"
    assert str(info.value) == "dictionary changed size during iteration"
    assert not hasattr(_tolva, "PanicException")
