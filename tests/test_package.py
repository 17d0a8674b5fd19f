"""The tolva package: re-exports, the two entry points, the stubs, pip install."""

import annotationlib
import ast
import functools
import importlib
import inspect
import json
import os
import pathlib
import subprocess
import sys
import tomllib

import pytest

import _tolva
import tolva
from tolva._compat import PRIVATE_NAMES

ROOT = pathlib.Path(__file__).resolve().parent.parent
MODULE = '''\
from tolva import asset, partitions


@asset(partitions={"day": partitions(["mon", "tue"])})
def numbers(day: str) -> list:
    return [1, 2, 3]


@asset(inputs={"data": numbers})
def doubled(data, day="mon"):
    return [x * 2 for x in data]


@asset()
def broken():
    raise ValueError("boom")
'''


def test_reexports_and_version():
    assert tolva.asset is _tolva.asset and tolva.partitions is _tolva.partitions
    assert tolva.AssetWrapper is _tolva.AssetWrapper and tolva.Partitions is _tolva.Partitions
    assert tolva.__all__ == ["AssetWrapper", "CheckResult", "Partitions", "ValueFormat", "ValueNotAvailable", "asset",
                             "check", "daily", "depends_on", "hourly", "load", "monthly", "partitions", "policy",
                             "previous", "value_format", "weekly", "window"]
    assert [getattr(tolva, name).__module__ for name in ("load", "value_format", "depends_on", "check")] == [
        "tolva.stored", "tolva.formats", "tolva.declare", "tolva.checks"]
    version = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["version"]
    assert tolva.__version__ == version


def test_missing_native_module_gives_a_clear_import_error(tmp_path):
    # A directory named _tolva shadows nothing importable: simulate its absence.
    blocker = tmp_path / "_tolva.py"
    blocker.write_text("raise ImportError('built for another Python')\n")
    result = subprocess.run(
        [sys.executable, "-c", "import tolva"], cwd=tmp_path, capture_output=True, text=True,
        env=dict(os.environ, PYTHONPATH=str(tmp_path)),
    )
    assert result.returncode == 1
    last = result.stderr.strip().splitlines()[-1]
    assert last.startswith("ImportError: tolva cannot load its native module _tolva: built for another Python.")
    assert "Python 3.14 or later" in last


@pytest.fixture
def project(tmp_path):
    (tmp_path / "pipeline_mod.py").write_text(MODULE)
    return tmp_path


def run(args, cwd, **kwargs):
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, capture_output=True, **kwargs)


def test_inspect_prints_the_document_and_a_newline(project):
    result = run(["tolva.inspect", "pipeline_mod"], project)
    assert result.returncode == 0, result.stderr
    sys.path.insert(0, str(project))
    try:
        expected = _tolva.inspect_modules(["pipeline_mod"])
    finally:
        sys.path.remove(str(project))
        sys.modules.pop("pipeline_mod", None)
    assert result.stdout == expected.encode() + b"\n"
    assert result.stderr == b""


def test_inspect_pretty_and_skip_lines(project):
    result = run(["tolva.inspect", "--pretty", "pipeline_mod", "no_such_mod"], project, text=True)
    assert result.returncode == 1  # the document is printed, but scripts notice the skipped module
    assert result.stderr == "tolva: skipping module 'no_such_mod': ModuleNotFoundError: No module named 'no_such_mod'\n"
    document = json.loads(result.stdout)
    assert [a["function_name"] for a in document["assets"]] == ["broken", "doubled", "numbers"]
    assert result.stdout.startswith('{\n  "assets": [\n')


@pytest.mark.parametrize(
    "args, code, stderr",
    [
        (["tolva.inspect"], 2, "error: the following arguments are required: MODULE"),
        (["tolva.inspect", "--bogus", "m"], 2, "error: unrecognized arguments: --bogus"),
        (["tolva.inspect", "sys"], 1, "python -m tolva.inspect: error: TypeError: <module 'sys' (built-in)> is a built-in module"),
        (["tolva.worker", "m"], 2, "error: the following arguments are required: FUNCTION, OUTPUT_DIR"),
        (["tolva.worker", "m", "f", "o", "--inputs", "{}", "--inputs-file", "x"], 2, "not allowed with argument"),
        (["tolva.worker", "m", "f", "o", "--inputs-file", "/nonexistent/x"], 2, "cannot read --inputs-file"),
    ],
)
def test_usage_and_call_errors(project, args, code, stderr):
    result = run(args, project, text=True)
    assert result.returncode == code
    assert stderr in result.stderr
    assert result.stdout == ""


def test_help(project):
    for module in ("tolva.inspect", "tolva.worker"):
        result = run([module, "--help"], project, text=True)
        assert result.returncode == 0 and result.stdout.startswith(f"usage: python -m {module}")


def test_worker_success_failure_and_setup_error(project):
    ok = run(["tolva.worker", "pipeline_mod", "numbers", "out", "--inputs", '{"day": "mon"}'], project)
    assert ok.returncode == 0, ok.stderr
    assert (project / "out/value.json").read_text() == "[1, 2, 3]"
    failed = run(["tolva.worker", "pipeline_mod", "broken", "bad"], project)
    assert failed.returncode == 1
    # The traceback down to the raise in the user's file, then one line.
    assert failed.stderr.startswith(b"Traceback (most recent call last):\n")
    assert f'File "{project / "pipeline_mod.py"}", line 16, in broken\n'.encode() in failed.stderr
    assert failed.stderr.endswith(b'ValueError: boom\npython -m tolva.worker: error: ValueError: boom\n')
    assert json.loads((project / "bad/result.json").read_text())["error"] == "ValueError: boom"
    (project / "afile").write_text("")
    setup = run(["tolva.worker", "pipeline_mod", "numbers", "afile"], project, text=True)
    assert setup.returncode == 1
    assert setup.stderr.startswith("python -m tolva.worker: error: FileExistsError: ")


def test_worker_inputs_file_larger_than_an_argument_may_be(project):
    data = list(range(40_000))
    inputs = json.dumps({"data": data})
    assert len(inputs) > 128 * 1024
    (project / "inputs.json").write_text(inputs)
    result = run(["tolva.worker", "pipeline_mod", "doubled", "big", "--inputs-file", "inputs.json"], project)
    assert result.returncode == 0, result.stderr
    assert json.loads((project / "big/value.json").read_text()) == [x * 2 for x in data]
    piped = run(["tolva.worker", "pipeline_mod", "doubled", "piped", "--inputs-file", "-"], project, input=inputs.encode())
    assert piped.returncode == 0 and (project / "piped/value.json").read_text() == (project / "big/value.json").read_text()


def stub_signatures():
    # Only the functions and __all__ are executed: the class bodies of a stub are not
    # meant to run (their properties shadow type attributes).
    tree = ast.parse((ROOT / "python/_tolva.pyi").read_text())
    classes = [node.name for node in tree.body if isinstance(node, ast.ClassDef)]
    tree.body = [node for node in tree.body if not isinstance(node, ast.ClassDef)]
    namespace = {name: object for name in classes}
    exec(compile(tree, "_tolva.pyi", "exec"), namespace)
    return namespace


@pytest.mark.parametrize("name", ["asset", "partitions", "inspect_modules", "materialize_asset"])
def test_stub_signatures_match_the_runtime(name):
    stub = inspect.signature(stub_signatures()[name], annotation_format=annotationlib.Format.STRING)
    bare = stub.replace(
        parameters=[p.replace(annotation=inspect.Parameter.empty) for p in stub.parameters.values()],
        return_annotation=inspect.Signature.empty,
    )
    assert str(bare) == str(inspect.signature(getattr(_tolva, name)))


def test_stub_declares_every_public_name():
    namespace = stub_signatures()
    assert namespace["__all__"] == _tolva.__all__
    assert all(name in namespace for name in _tolva.__all__)
    source = (ROOT / "python/_tolva.pyi").read_text()
    assert "class AssetWrapper(Generic[_P, _R]):" in source
    assert "-> Callable[[Callable[_P, _R]], AssetWrapper[_P, _R]]" in source


@pytest.mark.skipif(bool(os.environ.get("TOLVA_SANITIZED")), reason="builds and installs; the plain run covers it")
def test_pip_install_into_a_fresh_venv(tmp_path, project):
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", "--system-site-packages", str(venv)], check=True)
    python = venv / "bin" / "python"
    subprocess.run(
        [python, "-m", "pip", "install", "--quiet", "--no-build-isolation", "--no-index",
         "--disable-pip-version-check", "--root-user-action=ignore", str(ROOT)],
        check=True, cwd=tmp_path,
    )
    site = subprocess.run([python, "-c", "import _tolva, tolva, os; print(os.path.dirname(_tolva.__file__))"],
                          capture_output=True, text=True, check=True, cwd=tmp_path).stdout.strip()
    assert site.startswith(str(venv))
    assert {"_tolva.pyi", "tolva"} <= set(os.listdir(site)) and (pathlib.Path(site) / "tolva/py.typed").exists()
    assert (pathlib.Path(site) / "_tolva-stubs/__init__.pyi").read_text() == (ROOT / "python/_tolva.pyi").read_text()
    inspected = subprocess.run([venv / "bin/tolva-inspect", "pipeline_mod"], cwd=project, capture_output=True, text=True)
    assert inspected.returncode == 0 and json.loads(inspected.stdout)["assets"][0]["function_name"] == "broken"
    worked = subprocess.run([venv / "bin/tolva-worker", "pipeline_mod", "numbers", "venv-out", "--inputs", '{"day": "tue"}'],
                            cwd=project)
    assert worked.returncode == 0 and (project / "venv-out/result.json").exists()


@pytest.mark.skipif(".toolchain" not in os.path.realpath(sys.base_prefix), reason="a Python found on PATH")
def test_the_provisioned_toolchain_carries_bytecode():
    import importlib.util

    import json as json_module
    import pytest as pytest_module

    # Without it, every process recompiles each standard-library module it imports.
    for module in (json_module, pytest_module, inspect):
        assert os.path.exists(importlib.util.cache_from_source(module.__file__)), module.__name__


@pytest.mark.parametrize("module, name", PRIVATE_NAMES)
def test_each_private_name_of_the_standard_library_still_exists(module, name):
    assert functools.reduce(getattr, name.split("."), importlib.import_module(module)) is not None
