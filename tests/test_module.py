"""The module as a registered object: attributes, order, signatures, classes, re-import."""

import inspect
import subprocess
import sys

import pytest

import _tolva

ALL = ["AssetWrapper", "Partitions", "asset", "partitions", "inspect_modules", "materialize_asset"]


def test_all_lists_the_six_names_in_registration_order():
    assert _tolva.__all__ == ALL
    assert [name for name in vars(_tolva) if name in ALL] == ALL


def test_module_docstring():
    assert _tolva.__doc__ == "The native `_tolva` module."


@pytest.mark.parametrize(
    "name, signature",
    [
        ("asset", "(*, name=None, inputs=None, partitions=None, serializer=None)"),
        ("partitions", "(values)"),
        ("inspect_modules", "(modules)"),
        ("materialize_asset", "(module_name, function_name, output_dir, input_kwargs_json=None)"),
    ],
)
def test_functions_are_module_builtins_with_text_signatures(name, signature):
    fn = getattr(_tolva, name)
    assert fn.__name__ == name
    assert fn.__module__ == "_tolva"
    assert fn.__self__ is _tolva
    assert str(inspect.signature(fn)) == signature
    assert fn.__text_signature__ is not None
    assert not fn.__doc__.startswith(name + "(")


@pytest.mark.parametrize("cls, name", [(_tolva.AssetWrapper, "AssetWrapper"), (_tolva.Partitions, "Partitions")])
def test_classes_have_no_constructor_and_no_subclasses(cls, name):
    assert cls.__name__ == name and cls.__qualname__ == name
    with pytest.raises(TypeError) as info:
        cls()
    assert str(info.value) == "No constructor defined for " + name
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("X", (cls,), {})


def test_class_docstrings_and_modules():
    assert _tolva.AssetWrapper.__doc__ == (
        "The `@asset()` decorator wrapper. Stores the original function and metadata."
    )
    assert _tolva.Partitions.__doc__ == "Marker type returned by `partitions([...])`. Stores the static values."
    assert _tolva.Partitions.__module__ == "builtins"


def test_class_attributes_may_be_set():
    _tolva.Partitions.extra_marker_attribute = 1
    try:
        assert _tolva.Partitions.extra_marker_attribute == 1
    finally:
        del _tolva.Partitions.extra_marker_attribute


def test_instances_have_no_dict_or_weakref():
    marker = _tolva.partitions([])
    with pytest.raises(AttributeError):
        marker.extra = 1
    with pytest.raises(TypeError):
        __import__("weakref").ref(marker)


def run_python(code):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)


def test_reimport_returns_the_identical_module():
    result = run_python(
        "import sys, importlib, _tolva as a\n"
        "a.later = 1\n"
        "del sys.modules['_tolva']\n"
        "import _tolva as b\n"
        "c = importlib.reload(b)\n"
        "print(a is b is c, b.later, b.__all__ == a.__all__)\n"
    )
    assert result.stdout == "True 1 True\n", result.stderr


def test_second_interpreter_is_refused_by_the_module_itself():
    # A legacy-configured interpreter runs single-phase init functions, so it is the
    # module's own interpreter check that must refuse it.
    result = run_python(
        "import _interpreters, _tolva\n"
        "iid = _interpreters.create(_interpreters.new_config('legacy'))\n"
        "err = _interpreters.exec(iid, 'import _tolva')\n"
        "print(err.type.__name__)\n"
        "print('sub-interpreters' in err.msg)\n"
        "_interpreters.destroy(iid)\n"
        "print(_tolva.asset is not None)\n"
    )
    assert result.stdout == "ImportError\nTrue\nTrue\n", result.stderr


def test_a_refused_sub_interpreter_import_leaves_the_main_interpreter_free_to_import():
    # The host runs a single-phase init in the main interpreter first, so even a first
    # import from a sub-interpreter is refused there while the main one succeeds.
    result = run_python(
        "import _interpreters\n"
        "iid = _interpreters.create(_interpreters.new_config('legacy'))\n"
        "print(_interpreters.exec(iid, 'import _tolva').type.__name__)\n"
        "import _tolva\n"
        "print(_tolva.__all__[0])\n"
        "_interpreters.destroy(iid)\n"
    )
    assert result.stdout == "ImportError\nAssetWrapper\n", result.stderr


@pytest.mark.skipif(not __import__("os").environ.get("TOLVA_SANITIZED"), reason="only in the sanitizer run")
def test_the_sanitizer_run_loads_the_sanitizer_build():
    assert "/build/asan/" in _tolva.__file__
