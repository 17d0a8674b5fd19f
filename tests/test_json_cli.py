"""The JSON parser and writer driven with raw bytes through the tolva-json filter."""

import pathlib
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


@pytest.fixture(scope="module")
def tolva_json():
    # Built by the C++ test build, and by every pip build of the checkout.
    for candidate in [ROOT / "build/cpp/tolva-json", *sorted(ROOT.glob("build/cp3*/tolva-json"))]:
        if candidate.is_file():
            return candidate
    pytest.fail("tolva-json is not built: run tools/setup or the C++ test build first")


def filter_bytes(tool, data, *args):
    return subprocess.run([tool, *args], input=data, capture_output=True, timeout=30)


@pytest.mark.parametrize(
    "data, out",
    [
        (b'{"b": 1, "a": [true, null]}', b'{"a":[true,null],"b":1}'),
        (b"\xef\xbb\xbf1", b"expected value at line 1 column 1\n"),
        (b'"\\u00e9\\ud83d\\ude00"', '"é😀"'.encode()),
        (b'"caf\xc3\xa9"', '"café"'.encode()),
        (b"[1,\n2,\n]", b"trailing comma at line 3 column 1\n"),
        (b'{"k":\r\n"a\tb"}', b"control character (\\u0000-\\u001F) found while parsing a string at line 2 column 3\n"),
        (b"123456789012345678901234567890", b"1.2345678901234568e+29"),
        (b"904582.8735990215", b"904582.8735990215"),
        (b"", b"EOF while parsing a value at line 1 column 0\n"),
        (b'"\xe2\x82\xac" x', b"trailing characters at line 1 column 7\n"),
    ],
)
def test_raw_bytes(tolva_json, data, out):
    result = filter_bytes(tolva_json, data)
    assert result.stdout == out
    assert result.returncode == (1 if out.endswith(b"\n") else 0)


@pytest.mark.parametrize("data", [b'"\xff"', b'"\xc3"', b'"\xed\xa0\x80"', b"\xc0\xaf"])
def test_bytes_that_are_not_utf8_are_refused(tolva_json, data):
    result = filter_bytes(tolva_json, data)
    assert result.returncode == 1 and result.stdout == b""
    assert b"not valid UTF-8" in result.stderr


def test_reads_a_named_file(tolva_json, tmp_path):
    path = tmp_path / "doc.json"
    path.write_bytes(b'{"z": 1e2, "y": "\\/"}')
    result = subprocess.run([tolva_json, str(path)], capture_output=True)
    assert (result.returncode, result.stdout) == (0, b'{"y":"/","z":100.0}')
