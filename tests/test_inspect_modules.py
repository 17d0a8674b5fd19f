"""inspect_modules: the document, the asset record, skip lines and failures."""

import io
import json
import os
import sys

import pytest

from _tolva import inspect_modules

from conftest import assert_no_leak, raises_quietly

VERSION = "{}.{}.{}".format(*sys.version_info[:3])

SMALL = '''\
from _tolva import asset, partitions


@asset(name="prix €", partitions={"ticker": partitions(["AAPL", "MSFT"])})
def prices(ticker: str) -> dict:
    """Prices."""
    return {"ticker": ticker}


@asset(inputs={"data": prices})
def report(data):
    return data


def helper():
    return None
'''


def compact(obj):
    return json.dumps(obj, ensure_ascii=False, separators=(",", ":"), sort_keys=True)


def test_document_text_of_a_small_module(make_module):
    module = make_module(SMALL)
    path = os.path.realpath(module.__file__)
    text = inspect_modules([module.__name__])
    prices_meta = {
        "kind": "asset",
        "name": "prix €",
        "serializer": None,
        "inputs": None,
        "partitions": {"ticker": {"kind": "inline", "values_json": '["AAPL","MSFT"]'}},
    }
    prices = {
        "decorator_metadata": prices_meta,
        "file_path": path,
        "function_name": "prices",
        "function_source": '@asset(name="prix €", partitions={"ticker": partitions(["AAPL", "MSFT"])})\n'
        'def prices(ticker: str) -> dict:\n    """Prices."""\n    return {"ticker": ticker}\n',
        "kind": "asset",
        "module_path": module.__name__,
        "module_source": SMALL.strip() + "\n",
        "python_version": VERSION,
        "return_type": "dict",
    }
    report = dict(
        prices,
        decorator_metadata={
            "kind": "asset",
            "name": None,
            "serializer": None,
            "inputs": {"data": path + ":prices"},
            "partitions": None,
        },
        function_name="report",
        function_source='@asset(inputs={"data": prices})\ndef report(data):\n    return data\n',
        return_type=None,
    )
    assert text == compact({"assets": [prices, report]})
    assert text.startswith('{"assets":[{"decorator_metadata":{"inputs":null,"kind":"asset","name":"prix €",')
    assert '"python_version":"' + VERSION + '","return_type":"dict"}' in text


def test_empty_list_and_tuple():
    assert inspect_modules([]) == '{"assets":[]}'
    assert inspect_modules(()) == '{"assets":[]}'


def test_skip_line_goes_to_file_descriptor_two(make_module, capfd, monkeypatch):
    module = make_module(SMALL)
    replaced = io.StringIO()
    monkeypatch.setattr(sys, "stderr", replaced)
    text = inspect_modules(["tolva_no_such_module", module.__name__, ""])
    assert len(json.loads(text)["assets"]) == 2
    err = capfd.readouterr().err
    assert err == (
        "tolva: skipping module 'tolva_no_such_module': ModuleNotFoundError: No module named 'tolva_no_such_module'\n"
        "tolva: skipping module '': ValueError: Empty module name\n"
    )
    assert replaced.getvalue() == ""


@pytest.mark.parametrize(
    "source, line",
    [
        ("raise KeyError('k')\n", "KeyError: 'k'"),
        ("import sys\nsys.exit(3)\n", "SystemExit: 3"),
        ("def broken(:\n", "SyntaxError: invalid syntax"),
        (
            "class E(Exception):\n    def __str__(self):\n        raise RuntimeError\nraise E()\n",
            "E: <exception str() failed>",
        ),
    ],
)
def test_failed_imports_are_skipped(make_module, capfd, source, line):
    name = make_module(source, do_import=False)
    assert inspect_modules([name]) == '{"assets":[]}'
    err = capfd.readouterr().err
    assert err.startswith(f"tolva: skipping module '{name}': {line}") and err.endswith("\n")
    assert err.count("\n") == 1


def test_ctrl_c_while_importing_ends_the_call(make_module, capfd):
    interrupted = make_module("raise KeyboardInterrupt('stop')\n", do_import=False)
    with pytest.raises(KeyboardInterrupt, match="stop"):
        inspect_modules(["tolva_no_such_module", interrupted, "tolva_never_reached"])
    assert capfd.readouterr().err == (
        "tolva: skipping module 'tolva_no_such_module': ModuleNotFoundError: No module named 'tolva_no_such_module'\n"
    )


def test_module_listed_twice_and_assets_bound_twice(make_module):
    module = make_module(SMALL + "\nalias = report\n")
    assets = json.loads(inspect_modules([module.__name__, module.__name__]))["assets"]
    # getmembers sorts by binding name: alias, prices, report.
    assert [a["function_name"] for a in assets] == ["report", "prices", "report"] * 2


def test_asset_imported_into_a_second_module(make_module):
    first = make_module(SMALL)
    second = make_module(f"from {first.__name__} import prices\n")
    assets = json.loads(inspect_modules([second.__name__, first.__name__]))["assets"]
    imported = assets[0]
    assert imported["module_path"] == second.__name__
    assert imported["module_source"] == f"from {first.__name__} import prices\n"
    assert imported["file_path"] == os.path.realpath(first.__file__)
    assert imported["function_source"].startswith("@asset(name=")
    assert [a["module_path"] for a in assets] == [second.__name__] + [first.__name__] * 2


def test_duck_typed_assets_and_ignored_kinds(make_module):
    module = make_module(
        """
        class Duck:
            __tolva_kind__ = "asset"
            __tolva_metadata__ = {"custom": [1, 2]}

            def __init__(self):
                pass

        def quack() -> None:
            pass

        class WithOriginal:
            __tolva_kind__ = "asset"
            __tolva_metadata__ = None
            __tolva_original__ = staticmethod(quack)

        class Upper:
            __tolva_kind__ = "Asset"

        class Spaced:
            __tolva_kind__ = " asset"

        class Raw:
            __tolva_kind__ = b"asset"

        class Raises:
            @property
            def __tolva_kind__(self):
                raise RuntimeError("ignored")

        original = WithOriginal()
        upper, spaced, raw, raises = Upper(), Spaced(), Raw(), Raises()
        """
    )
    # A class object whose instances claim the kind is an asset too (Duck, WithOriginal).
    assets = json.loads(inspect_modules([module.__name__]))["assets"]
    by_name = {(a["function_name"], json.dumps(a["decorator_metadata"])) for a in assets}
    assert ("Duck", '{"custom": [1, 2]}') in by_name
    assert ("quack", "null") in by_name
    records = [a for a in assets if a["function_name"] == "quack"]
    assert all(r["return_type"] == "None" for r in records)
    assert not any(a["function_name"] in ("Upper", "Spaced", "Raw", "Raises") for a in assets)


def test_nested_asset_functions_are_dedented(make_module):
    module = make_module(
        """
        from _tolva import asset

        def make():
            class Holder:
                @asset()
                def inner(self) -> "Later":
                    return 1
            return Holder.__dict__["inner"]

        nested = make()
        """
    )
    (record,) = json.loads(inspect_modules([module.__name__]))["assets"]
    assert record["function_source"] == '@asset()\ndef inner(self) -> "Later":\n    return 1\n'
    assert record["return_type"] == "Later"


@pytest.mark.parametrize(
    "annotation, expected",
    [("-> int", "int"), ("-> None", "None"), ("-> list[int]", "list[int]"), ("", None), ("-> 'Text'", "Text")],
)
def test_return_type(make_module, annotation, expected):
    module = make_module(f"from _tolva import asset\n\n@asset()\ndef a() {annotation}:\n    pass\n")
    (record,) = json.loads(inspect_modules([module.__name__]))["assets"]
    assert record["return_type"] == expected


def test_builtin_module_makes_the_whole_call_raise():
    with pytest.raises(TypeError, match="is a built-in module"):
        inspect_modules(["sys"])


@pytest.mark.parametrize(
    "source, exc, message",
    [
        (
            "from _tolva import asset\nimport math\nbad = asset(name='x')(lambda: 1)\n"
            "class M:\n    __tolva_kind__ = 'asset'\n    __tolva_metadata__ = {'x': float('nan')}\nm = M()\n",
            RuntimeError,
            "JSON parse error: expected value at line 1 column 7",
        ),
        (
            "class M:\n    __tolva_kind__ = 'asset'\n    __tolva_metadata__ = {'x': object()}\nm = M()\n",
            TypeError,
            "Object of type object is not JSON serializable",
        ),
        ("class M:\n    __tolva_kind__ = 'asset'\nm = M()\n", AttributeError, "__tolva_metadata__"),
        (
            "from _tolva import asset\nbuiltin = asset()(len)\n",
            TypeError,
            "got builtin_function_or_method",
        ),
    ],
)
def test_faulty_assets_end_the_call(make_module, source, exc, message):
    module = make_module(source)
    with pytest.raises(exc, match=message.replace("(", r"\(").replace(")", r"\)")):
        inspect_modules([module.__name__])


def test_source_file_that_cannot_be_found_gives_an_empty_path(make_module, monkeypatch):
    module = make_module(
        """
        from _tolva import asset

        @asset()
        def a():
            pass
        """
    )
    import inspect

    real = inspect.getsourcefile

    def patched(answer):
        def getsourcefile(obj):
            # inspect.getsource asks too; only the module's own question is answered.
            if sys._getframe(1).f_code.co_filename == inspect.__file__:
                return real(obj)
            return answer()

        return getsourcefile

    def raise_type_error():
        raise TypeError("no file")

    monkeypatch.setattr(inspect, "getsourcefile", patched(raise_type_error))
    (record,) = json.loads(inspect_modules([module.__name__]))["assets"]
    assert record["file_path"] == ""
    monkeypatch.setattr(inspect, "getsourcefile", patched(lambda: None))
    with pytest.raises(TypeError, match="NoneType"):
        inspect_modules([module.__name__])


def test_no_leaks(make_module, capfd):
    module = make_module(SMALL)
    names = [module.__name__, "tolva_no_such_module"]
    assert_no_leak(lambda: inspect_modules(names), rounds=300)
    assert_no_leak(raises_quietly(TypeError, inspect_modules, ["sys"]), rounds=300)
    assert_no_leak(raises_quietly(TypeError, inspect_modules, "x"))
    assert_no_leak(raises_quietly(TypeError, inspect_modules, [1]))
    nan = make_module("class M:\n    __tolva_kind__ = 'asset'\n    __tolva_metadata__ = {'x': float('nan')}\nm = M()\n")
    assert_no_leak(raises_quietly(RuntimeError, inspect_modules, [nan.__name__]), rounds=300)
    capfd.readouterr()
