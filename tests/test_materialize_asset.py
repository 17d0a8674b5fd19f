"""materialize_asset: the two files, captured failures, the setup stage, atomic writes."""

import errno
import json
import os
import random
import signal
import subprocess
import sys
import time

import pytest

from _tolva import materialize_asset

from conftest import assert_no_leak

ASSETS = '''\
import sys
from _tolva import asset


@asset(name="display")
def make():
    return {"b": 1, "a": [1.5, None, "é"]}


def plain(x, y=2):
    return x * y


@asset()
def nothing() -> None:
    return None


def returns_set():
    return {1}


def raises_key():
    raise KeyError("k")


def raises_bare():
    raise ValueError()


def exits():
    sys.exit(0)


def interrupts():
    raise KeyboardInterrupt


class Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no")


def raises_unprintable():
    raise Unprintable()


def raises_surrogate():
    raise ValueError("bad \\udc80 text")


def naïve(ünï="ç"):
    return ünï


def big(n):
    return list(range(n))
'''


@pytest.fixture
def assets(make_module, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return make_module(ASSETS).__name__


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def failure(module, function, inputs=None, out="out"):
    with pytest.raises(SystemExit) as info:
        materialize_asset(module, function, out, inputs)
    assert info.value.code == 1
    record = read(os.path.join(out, "result.json"))
    parsed = json.loads(record)
    assert list(parsed) == ["error", "error_type", "ok"] and parsed["ok"] is False
    assert record == json.dumps(parsed, separators=(",", ":"), ensure_ascii=False)
    return parsed["error"], parsed["error_type"]


def test_success_record_text(assets):
    assert materialize_asset(assets, "make", "out") is None
    assert read("out/result.json") == (
        '{"artifact_format":"json","function_name":"make","module_path":"%s","ok":true,'
        '"result_type":"dict","signature":"()","value_path":"out/value.json"}' % assets
    )
    assert read("out/value.json") == '{"b": 1, "a": [1.5, null, "\\u00e9"]}'
    assert sorted(os.listdir("out")) == ["result.json", "value.json"]


@pytest.mark.parametrize("out, value_path", [("a/b/c", "a/b/c/value.json"), ("out/", "out/value.json")])
def test_value_path_is_the_hosts_path_text(assets, out, value_path):
    materialize_asset(assets, "nothing", out)
    record = json.loads(read(os.path.join(out, "result.json")))
    assert record["value_path"] == value_path
    assert (record["result_type"], record["signature"]) == ("NoneType", "() -> None")
    assert read(value_path) == "null"


def test_absolute_output_dir(assets, tmp_path):
    out = str(tmp_path / "abs")
    materialize_asset(assets, "nothing", out)
    assert json.loads(read(out + "/result.json"))["value_path"] == out + "/value.json"


@pytest.mark.parametrize("inputs", [None, "{}"])
def test_no_inputs(assets, inputs):
    materialize_asset(assets, "make", "out", inputs)
    assert json.loads(read("out/result.json"))["ok"] is True
    materialize_asset(assets, "make", "out", input_kwargs_json=inputs)


def test_inputs_are_keyword_arguments_of_the_unwrapped_function(assets):
    materialize_asset(assets, "plain", "out", '{"x": 3, "y": [1]}')
    assert read("out/value.json") == "[1, 1, 1]"
    record = json.loads(read("out/result.json"))
    assert (record["signature"], record["result_type"]) == ("(x, y=2)", "list")


def test_non_ascii_text_in_the_record_is_raw_utf8(assets):
    materialize_asset(assets, "naïve", "out")
    raw = open("out/result.json", "rb").read()
    assert '"function_name":"naïve"'.encode() in raw
    assert "\"signature\":\"(ünï='ç')\"".encode() in raw
    assert read("out/value.json") == '"\\u00e7"'


@pytest.mark.parametrize(
    "function, inputs, error, error_type",
    [
        ("make", "[1]", "TypeError: 'list' object cannot be converted to 'PyDict'", "TypeError"),
        ("make", "null", "TypeError: 'NoneType' object cannot be converted to 'PyDict'", "TypeError"),
        ("make", "{bad", "JSONDecodeError: Expecting property name enclosed in double quotes: line 1 column 2 (char 1)",
         "JSONDecodeError"),
        ("make", '{"x": 1}', "TypeError: make() got an unexpected keyword argument 'x'", "TypeError"),
        ("plain", None, "TypeError: plain() missing 1 required positional argument: 'x'", "TypeError"),
        ("pkg.func", None, None, "AttributeError"),
        ("returns_set", None, "TypeError: Object of type set is not JSON serializable", "TypeError"),
        ("raises_key", None, "KeyError: 'k'", "KeyError"),
        ("raises_bare", None, "ValueError: ", "ValueError"),
        ("exits", None, "SystemExit: 0", "SystemExit"),
        ("interrupts", None, "KeyboardInterrupt: ", "KeyboardInterrupt"),
        ("raises_unprintable", None, "Unprintable: <exception str() failed>", "Unprintable"),
        ("raises_surrogate", None, "ValueError: bad \ufffd\ufffd\ufffd text", "ValueError"),
    ],
)
def test_captured_failures(assets, function, inputs, error, error_type):
    got_error, got_type = failure(assets, function, inputs)
    assert got_type == error_type
    if error is not None:
        assert got_error == error
    assert not os.path.exists("out/value.json")


def test_missing_module_is_reported_before_malformed_inputs(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    error, error_type = failure("tolva_no_such_module", "f", "{bad")
    assert (error, error_type) == ("ModuleNotFoundError: No module named 'tolva_no_such_module'", "ModuleNotFoundError")


def test_dotted_function_name_is_one_attribute(assets):
    error, _ = failure(assets, "os.path")
    assert error == f"AttributeError: module '{assets}' has no attribute 'os.path'"


def test_unserialisable_value_leaves_the_older_value_in_place(assets):
    materialize_asset(assets, "make", "out")
    before = read("out/value.json")
    failure(assets, "returns_set")
    assert read("out/value.json") == before
    assert sorted(os.listdir("out")) == ["result.json", "value.json"]


def test_failure_after_the_value_keeps_the_value(assets, make_module):
    module = make_module(
        """
        class NoSignature:
            def __call__(self):
                return [1]

            @property
            def __signature__(self):
                raise ValueError("no signature here")

        no_signature = NoSignature()
        """
    )
    error, error_type = failure(module.__name__, "no_signature")
    assert (error, error_type) == ("ValueError: no signature here", "ValueError")
    assert read("out/value.json") == "[1]"


def test_output_dir_naming_a_file(assets):
    open("afile", "w").close()
    with pytest.raises(FileExistsError):
        materialize_asset(assets, "make", "afile")
    assert os.listdir(".") == ["afile"] or "out" not in os.listdir(".")


def test_setup_failures_leave_older_files_untouched(assets):
    materialize_asset(assets, "make", "out")
    before = read("out/result.json")
    with pytest.raises(TypeError):
        materialize_asset(assets, "make", "out", 5)
    assert read("out/result.json") == before


def test_value_json_that_is_a_directory(assets):
    os.makedirs("out/value.json")
    error, error_type = failure(assets, "make")
    # The error names the file asked for, never the temporary one beside it.
    assert (error, error_type) == ("IsADirectoryError: [Errno 21] Is a directory: 'out/value.json'",
                                   "IsADirectoryError")
    assert sorted(os.listdir("out")) == ["result.json", "value.json"]


@pytest.mark.parametrize("function, cause", [("raises_key", KeyError), ("tolva_missing", AttributeError)])
def test_unrecordable_failure_leaves_no_earlier_success(assets, monkeypatch, function, cause):
    materialize_asset(assets, "make", "out")
    assert json.loads(read("out/result.json"))["ok"] is True

    def disk_full(source, target):
        raise OSError(errno.ENOSPC, "No space left on device", str(source))

    monkeypatch.setattr(os, "replace", disk_full)
    with pytest.raises(OSError) as info:
        materialize_asset(assets, function, "out")
    assert str(info.value) == "[Errno 28] No space left on device: 'out/result.json'"
    assert type(info.value.__context__) is cause  # the asset's own failure is not lost
    assert sorted(os.listdir("out")) == ["value.json"]


def test_earlier_record_is_removed_only_after_setup(assets):
    materialize_asset(assets, "make", "out")
    os.replace("out/result.json", "out/kept")
    os.makedirs("out/result.json")  # cannot be removed as a file: the asset stage records that
    with pytest.raises(IsADirectoryError) as info:
        materialize_asset(assets, "make", "out")
    # Recording the removal's failure meets the same folder; both name the file asked for.
    assert str(info.value) == "[Errno 21] Is a directory: 'out/result.json'"
    assert str(info.value.__context__) == "[Errno 21] Is a directory: 'out/result.json'"
    assert os.path.isdir("out/result.json")


WRITER = """
import sys
from _tolva import materialize_asset
materialize_asset(sys.argv[1], "big", sys.argv[2], '{"n": %d}' % int(sys.argv[3]))
"""


def test_files_are_replaced_atomically_when_the_worker_is_killed(assets, make_module, tmp_path):
    # Kill workers at random moments while they write a large value over an older
    # one: every file left behind must parse, whole.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(make_module.root)] + sys.path))
    out = str(tmp_path / "killed")
    rng = random.Random(7)
    materialize_asset(assets, "big", out, '{"n": 10}')
    for round_ in range(12):
        proc = subprocess.Popen([sys.executable, "-c", WRITER, assets, out, str(400_000 + round_)], env=env)
        time.sleep(rng.uniform(0.05, 0.6))
        proc.send_signal(signal.SIGKILL)
        proc.wait()
        value = json.loads(read(os.path.join(out, "value.json")))
        assert isinstance(value, list) and len(value) in {10} | {400_000 + r for r in range(round_ + 1)}
        # A killed run removed the earlier record first: no record, or a whole one of its own.
        if os.path.exists(os.path.join(out, "result.json")):
            record = json.loads(read(os.path.join(out, "result.json")))
            assert record["ok"] is True and record["value_path"] == os.path.join(out, "value.json")
    leftovers = [n for n in os.listdir(out) if n not in ("value.json", "result.json")]
    assert all(n.endswith(".tmp") for n in leftovers)


def test_no_leaks(assets):
    assert_no_leak(lambda: materialize_asset(assets, "plain", "out", '{"x": 2}'), rounds=300)

    def failing(function, inputs=None):
        def action():
            try:
                materialize_asset(assets, function, "out", inputs)
            except SystemExit:
                return
            raise AssertionError("no SystemExit")

        return action

    assert_no_leak(failing("raises_key"), rounds=300)
    assert_no_leak(failing("returns_set"), rounds=300)
    assert_no_leak(failing("make", "[1]"), rounds=300)
    assert_no_leak(failing("missing"), rounds=300)

    def setup_failure():
        try:
            materialize_asset(assets, "make", "out", 1)
        except TypeError:
            return

    assert_no_leak(setup_failure)


def test_an_unrecordable_failure_does_not_leak(assets, monkeypatch):
    def disk_full(source, target):
        raise OSError(errno.ENOSPC, "No space left on device", str(source))

    monkeypatch.setattr(os, "replace", disk_full)

    def action():
        try:
            materialize_asset(assets, "raises_key", "out")
        except OSError as exc:
            assert type(exc.__context__) is KeyError
            return
        raise AssertionError("no OSError")

    assert_no_leak(action, rounds=300)
