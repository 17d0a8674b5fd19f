"""Values beyond JSON: each format stores its value and gives back the object, the same
bytes in every process, in the job's folder by its suffix; bad values and declarations
get one line; the JSON default stays the core's to the byte."""

import importlib.util
import json
import os
import pathlib
import subprocess
import sys

import pytest

import tolva

KINDS = '''\
import datetime, decimal, os, tempfile
import numpy as np
import pandas as pd
import pyarrow as pa
import tolva
from tolva import asset


@tolva.value_format("csv", suffix=".csv")
class Csv:
    def dump(self, value, path):
        value.to_csv(path, index=False)

    def load(self, path):
        return pd.read_csv(path)


def expected():
    frame = pd.DataFrame({"n": [1, 2, 3], "x": [0.5, 1.5, float("nan")], "s": ["a", "b", "é"],
                          "when": pd.to_datetime(["2024-01-01", "2024-02-01", "2024-03-01"]),
                          "ok": [True, False, True]}, index=pd.Index(["r1", "r2", "r3"], name="row"))
    return {"frame": frame[["s", "n", "x", "when", "ok"]],
            "table": pa.table({"a": [1, 2], "b": ["x", None]}, metadata={"source": "test"}),
            "array": np.arange(12, dtype="int16").reshape(3, 4),
            "anything": {"price": decimal.Decimal("1.50"), "tags": {3, 1, 2}, "at": datetime.date(2024, 1, 1)},
            "words": "héllo\\r\\nthere\\n", "blob": bytes(range(256)), "rows": pd.DataFrame({"a": [1, 2], "b": ["x", "y"]})}


@asset(serializer="parquet")
def frame():
    return expected()["frame"]


@asset(serializer="parquet")
def table():
    return expected()["table"]


@asset(serializer="npy")
def array():
    return expected()["array"]


@asset(serializer="pickle")
def anything():
    return expected()["anything"]


@asset(serializer="text")
def words():
    return expected()["words"]


@asset(serializer="bytes")
def blob():
    return expected()["blob"]


@asset(serializer="csv")
def rows():
    return expected()["rows"]


@asset(serializer="file")
def folder():
    made = tempfile.mkdtemp()
    os.makedirs(os.path.join(made, "parts"))
    for name, text in (("a.txt", "one"), ("parts/b.txt", "two")):
        with open(os.path.join(made, name), "w") as f:
            f.write(text)
    return made


@asset(inputs={"f": frame, "t": table, "a": array, "p": anything, "w": words, "b": blob, "r": rows, "d": folder})
def received(f, t, a, p, w, b, r, d):
    """What each input is when it arrives: the object, not its text."""
    return {"f": [type(f).__name__, list(f.columns)], "t": type(t).__name__, "a": [type(a).__name__, str(a.dtype)],
            "p": sorted(p["tags"]), "w": w, "b": len(b), "r": r.shape[0], "d": sorted(os.listdir(d))}
'''

SUFFIXES = {"frame": ".parquet", "table": ".parquet", "array": ".npy", "anything": ".pickle", "words": ".txt",
            "blob": ".bin", "rows": ".csv"}


def tolva_run(args, cwd, seed="1", **kwargs):
    return subprocess.run([sys.executable, "-m", "tolva.run", *args], cwd=cwd, capture_output=True, text=True,
                          timeout=300, env=dict(os.environ, PYTHONHASHSEED=seed), **kwargs)


@pytest.fixture(scope="module")
def kinds(tmp_path_factory):
    project = tmp_path_factory.mktemp("kinds")
    (project / "kinds.py").write_text(KINDS)
    for out, seed, *how in (("one", "1"), ("two", "2"), ("three", "3", "--isolation", "interpreter")):
        result = tolva_run(["kinds", "--out", out, *how], project, seed)
        assert result.returncode == 0, result.stdout + result.stderr
    spec = importlib.util.spec_from_file_location("kinds_expected", project / "kinds.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return project, module.expected()


def same(value, expected):
    if isinstance(expected, __import__("pandas").DataFrame):
        __import__("pandas").testing.assert_frame_equal(value, expected)  # index, column order, dtypes
        return True
    if type(expected).__name__ == "Table":
        return type(value).__name__ == "Table" and value.equals(expected) and value.schema.metadata == \
            expected.schema.metadata
    if type(expected).__name__ == "ndarray":
        return value.dtype == expected.dtype and (value == expected).all()
    return type(value) is type(expected) and value == expected


@pytest.mark.parametrize("name", ["frame", "table", "array", "anything", "words", "blob", "rows"])
def test_each_format_stores_its_value_and_gives_the_object_back(kinds, name):
    project, expected = kinds
    out = project / "one"
    result = json.loads((out / name / "result.json").read_text())
    assert (result["artifact_format"], result["value_path"]) == (
        {"frame": "parquet", "table": "parquet", "rows": "csv"}.get(name, {"array": "npy", "anything": "pickle",
                                                                         "words": "text", "blob": "bytes"}.get(name)),
        str(out / name / f"value{SUFFIXES[name]}"))
    assert same(tolva.load(name, out=out), expected[name])


def test_a_file_asset_is_moved_into_its_folder_and_read_as_a_path(kinds):
    project, _ = kinds
    value = tolva.load("folder", out=project / "one")
    assert isinstance(value, pathlib.Path) and value.parent == project / "one/folder/value"
    assert (value / "a.txt").read_text() == "one" and (value / "parts/b.txt").read_text() == "two"


def test_downstream_assets_receive_the_objects(kinds):
    project, _ = kinds
    assert json.loads((project / "one/received/value.json").read_text()) == {
        "f": ["DataFrame", ["s", "n", "x", "when", "ok"]], "t": "Table", "a": ["ndarray", "int16"], "p": [1, 2, 3],
        "w": "héllo\r\nthere\n", "b": 256, "r": 2, "d": ["a.txt", "parts"]}


def test_every_process_writes_the_same_bytes(kinds):
    """Forked under two hash seeds, or each job a fresh interpreter, or the worker's own
    command: the same bytes."""
    project, _ = kinds
    worker = subprocess.run([sys.executable, "-m", "tolva.worker", "kinds", "array", "worked"], cwd=project,
                            capture_output=True, text=True, timeout=120)
    assert worker.returncode == 0, worker.stderr
    assert json.loads((project / "worked/result.json").read_text())["artifact_format"] == "npy"
    assert (project / "worked/value.npy").read_bytes() == (project / "one/array/value.npy").read_bytes()
    for name, suffix in SUFFIXES.items():
        files = {(project / out / name / f"value{suffix}").read_bytes() for out in ("one", "two", "three")}
        assert len(files) == 1, name


def test_show_prints_the_preview_of_a_stored_value(kinds):
    project, _ = kinds
    result = tolva_run(["kinds", "--out", "one", "--show", "frame"], project)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[:5] == [
        f"frame: pandas.DataFrame, stored as parquet ({project}/one/frame/value.parquet)",
        "  3 rows × 5 columns: s object, n int64, x float64, when datetime64[ns], ok bool",
        "      s  n    x                 when     ok",
        "  r1  a  1  0.5  2024-01-01 00:00:00   True",
        "  r2  b  2  1.5  2024-02-01 00:00:00  False"]


def test_a_pickle_is_loaded_only_as_its_record_vouches(kinds, tmp_path):
    project, _ = kinds
    out = tmp_path / "out"
    import shutil

    shutil.copytree(project / "two", out)
    path = out / "anything/value.pickle"
    path.write_bytes(__import__("pickle").dumps({"forged": True}))
    with pytest.raises(tolva.ValueNotAvailable, match="is not the value its last success recorded"):
        tolva.load("anything", out=out)


BAD = '''\
import dataclasses, datetime, decimal
import numpy as np
import pandas as pd
from tolva import asset


@dataclasses.dataclass
class Point:
    x: int


@asset()
def frame() -> pd.DataFrame:
    return pd.DataFrame({"a": [1]})


@asset()
def array():
    return np.arange(3)


@asset()
def number():
    return np.int64(3)


@asset()
def raw():
    return b"x"


@asset()
def nested():
    return {"at": datetime.datetime(2024, 1, 1)}


@asset()
def point():
    return Point(1)


@asset(inputs={"f": frame})
def mixed(f):
    return {1, 2}


@asset(serializer="parquet")
def listed():
    return [1, 2]


@asset(serializer="npy")
def objects():
    return np.array([object()], dtype=object)


@asset(serializer="text")
def surrogate():
    return "\\\\ud800"


@asset(serializer="file")
def nowhere():
    return "/no/such/file"
'''
JSON_HINT = "which cannot be stored as JSON; declare @asset(serializer="


@pytest.fixture(scope="module")
def refused(tmp_path_factory):
    project = tmp_path_factory.mktemp("refused")
    (project / "bad.py").write_text(BAD.replace('"\\\\ud800"', '"\\ud800"'))
    result = tolva_run(["bad"], project)
    assert result.returncode == 1
    return result, {job["id"]: job for job in json.loads((project / "tolva-out/run.json").read_text())["jobs"]}


@pytest.mark.parametrize("job, error", [
    ("frame", f"asset 'frame' returned a pandas.DataFrame, {JSON_HINT}\"parquet\")"),
    ("array", f"asset 'array' returned a numpy.ndarray, {JSON_HINT}\"npy\")"),
    ("number", f"asset 'number' returned a numpy.int64, {JSON_HINT}\"pickle\")"),
    ("raw", f"asset 'raw' returned a bytes, {JSON_HINT}\"bytes\")"),
    ("nested", "asset 'nested' returned a value holding a datetime.datetime (when serializing dict item 'at'), "
               f"{JSON_HINT}\"pickle\")"),
    ("point", f"asset 'point' returned a bad.Point, {JSON_HINT}\"pickle\")"),
    ("listed", "asset 'listed' returned a list, which cannot be stored as parquet (it stores a pandas.DataFrame or "
               "a pyarrow.Table); declare @asset(serializer=\"json\")"),
    ("objects", "asset 'objects' returned a numpy.ndarray, which cannot be stored as npy (it stores arrays of "
                "numbers, text and records; an array of Python objects needs pickle); declare @asset("
                "serializer=\"pickle\")"),
    ("surrogate", "asset 'surrogate' returned a str, which cannot be stored as text (it stores a str that UTF-8 can "
                  "encode (this one holds a lone surrogate)); declare @asset(serializer=\"json\")"),
    ("nowhere", "asset 'nowhere' returned a str, which cannot be stored as file (it stores an existing file or "
                "folder (nothing is at /no/such/file)); declare @asset(serializer=\"json\")"),
])
def test_a_value_its_format_cannot_store_fails_its_job_in_one_line(refused, job, error):
    result, jobs = refused
    assert (jobs[job]["status"], jobs[job]["error_type"], jobs[job]["error"]) == ("failed", "TypeError", error)


def test_a_failed_value_is_shown_at_the_asset_and_its_annotation_warned_of_once(refused):
    result, jobs = refused
    assert "\n  at " in result.stdout and "/bad.py:12 in frame\n" in result.stdout
    assert result.stderr.count("warning:") == 1
    assert result.stderr == ("python -m tolva.run: warning: asset 'frame' is annotated -> DataFrame, which cannot be "
                             "stored as JSON; declare @asset(serializer=\"parquet\")\n")
    assert jobs["mixed"]["status"] == "skipped"


@pytest.mark.parametrize("declaration, message", [
    ('serializer="parqet"', "asset 'f': unknown serializer 'parqet'; did you mean 'parquet'? (known: bytes, file, "
                            "json, npy, parquet, pickle, text)"),
    ('serializer="yaml"', "asset 'f': unknown serializer 'yaml' (known: bytes, file, json, npy, parquet, pickle, "
                          "text)"),
])
def test_an_unknown_serializer_is_a_graph_error_before_anything_is_touched(tmp_path, declaration, message):
    (tmp_path / "typo.py").write_text(f"from tolva import asset\n\n\n@asset({declaration})\ndef f():\n    return 1\n")
    result = tolva_run(["typo"], tmp_path)
    assert (result.returncode, result.stderr) == (2, f"python -m tolva.run: error: {message}\n")
    assert not (tmp_path / "tolva-out").exists()


def test_a_json_pipeline_imports_no_data_library(tmp_path):
    (tmp_path / "plain.py").write_text(
        "import sys\nfrom tolva import asset\n\n\n@asset()\ndef a():\n    return 1\n\n\n"
        "@asset(inputs={'x': a})\ndef b(x):\n    return sorted({'numpy', 'pandas', 'pyarrow'} & set(sys.modules))\n")
    result = tolva_run(["plain"], tmp_path)
    assert result.returncode == 0 and (tmp_path / "tolva-out/b/value.json").read_text() == "[]"


@pytest.mark.parametrize("value", ['{"b": [1, 2.5, None, True], "a": "é\\u2028\\x1f"}', 'float("nan")', "-0.0",
                                   "10**30", '"\\ud83d\\ude00"', '[{"": []}]'])
def test_a_json_value_written_beside_objects_is_the_core_s_to_the_byte(tmp_path, value, monkeypatch):
    """A JSON asset with inputs of other formats is materialized by the worker itself:
    its two files are those the core writes."""
    from _tolva import materialize_asset

    from tolva import formats, worker

    module = tmp_path / "same_json.py"
    module.write_text(f"from tolva import asset\n\n\n@asset()\ndef v(x=None) -> dict:\n    return {value}\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.delitem(sys.modules, "same_json", raising=False)
    materialize_asset("same_json", "v", str(tmp_path / "out"), "{}")
    outcome = worker._materialize_objects("same_json", "v", str(tmp_path / "out2"), {"x": object()},
                                          formats.named("json"), "v")
    assert outcome.ok
    assert (tmp_path / "out2/value.json").read_bytes() == (tmp_path / "out/value.json").read_bytes()
    assert (tmp_path / "out2/result.json").read_text().replace("out2", "out") == \
        (tmp_path / "out/result.json").read_text()


def test_the_shop_example_runs_and_its_values_load_in_a_fresh_process(tmp_path):
    """The README's DataFrame example; its CSV format is found from its module by a
    process that never imported it."""
    root = pathlib.Path(__file__).resolve().parent.parent
    result = tolva_run(["examples.shop.shop", "--out", str(tmp_path / "out")], root)
    assert result.returncode == 0, result.stdout + result.stderr
    assert json.loads((tmp_path / "out/summary/value.json").read_text()) == {
        "days": 60, "total": 29060.5, "by_region": {"north": 9714.5, "south": 10334.75, "west": 9011.25},
        "best_region": "south", "best_day": "2026-03-14"}
    loaded = subprocess.run([sys.executable, "-c", "import sys, tolva\nexport = tolva.load('export', out=sys.argv[1])\n"
                             "print(type(export).__name__, list(export.columns), round(export['total'].sum(), 2))",
                             str(tmp_path / "out")], cwd=root, capture_output=True, text=True, timeout=120)
    assert loaded.stdout == "DataFrame ['north', 'south', 'west', 'total'] 29060.5\n", loaded.stderr


def test_the_readme_values_example_runs_as_written(tmp_path):
    readme = (pathlib.Path(__file__).resolve().parent.parent / "README.md").read_text()
    example = readme.split("```python\nimport datetime, pathlib, tempfile\n", 1)[1].split("```", 1)[0]
    (tmp_path / "readme_values.py").write_text("import datetime, pathlib, tempfile\n" + example)
    result = tolva_run(["readme_values"], tmp_path)
    assert (result.returncode, result.stderr) == (0, "")
    assert (tmp_path / "tolva-out/total/value.json").read_text() == "8"
    assert tolva.load("archive", out=tmp_path / "tolva-out").joinpath("readme.txt").read_text() == "made by tolva\n"


def test_a_format_whose_library_is_missing_names_what_to_install(tmp_path):
    (tmp_path / "nolib.py").write_text(
        "import sys\nsys.modules['pyarrow'] = sys.modules['pyarrow.parquet'] = None  # as if not installed\n"
        "import pandas as pd\nfrom tolva import asset\n\n\n@asset(serializer='parquet')\ndef table():\n"
        "    return pd.DataFrame({'a': [1]})\n")
    result = tolva_run(["nolib"], tmp_path)
    job = json.loads((tmp_path / "tolva-out/run.json").read_text())["jobs"][0]
    assert (result.returncode, job["error_type"], job["error"]) == (
        1, "ModuleNotFoundError", "asset 'table': the parquet format needs pyarrow, which is not installed here: "
                                  "pip install pyarrow")
