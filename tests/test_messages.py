"""Errors a person can act on: one line each (every graph error at once), exit 2 for
what the runner cannot describe, 130 for Ctrl-C wherever it lands, never a traceback."""

import json
import signal
import subprocess
import sys
import time

import pytest

PROG = "python -m tolva.run: error: "


@pytest.mark.parametrize(
    "source, args, lines",
    [
        (None, ["sys"], [PROG + "cannot describe module 'sys': it is built into Python, and tolva describes modules "
                         "written in Python"]),
        ("", ["mod", "--out", ""], ["usage: python -m tolva.run", "python -m tolva.run: error: --out must name a "
                                                                  "folder"]),
        ("from tolva import asset\n@asset()\ndef total():\n    return 1\n"
         "@asset(inputs={'totl': total})\ndef oops(total):\n    return total\n"
         "@asset(inputs={'x': 'nowhere'})\ndef lost(x):\n    return x\n", ["mod"],
         [PROG + "asset 'lost': input 'x' refers to 'nowhere', which is not an asset of the inspected modules "
                 "(known assets: lost, oops, total)",
          PROG + "input 'totl' of 'oops' is not a parameter; did you mean 'total'?"]),
        ("import os\nfrom tolva import asset\n\n\nos.environ['MISSING_SETTING']\n", ["mod"],
         [PROG + "cannot import module 'mod': KeyError: 'MISSING_SETTING' (at {tmp}/mod.py:5)"]),
    ],
)
def test_one_line_per_problem_and_exit_2(tmp_path, source, args, lines):
    if source is not None:
        (tmp_path / "mod.py").write_text(source)
    result = subprocess.run([sys.executable, "-m", "tolva.run", *args], cwd=tmp_path, capture_output=True,
                            text=True, timeout=60)
    assert result.returncode == 2 and "Traceback" not in result.stderr
    got = result.stderr.splitlines()
    assert [line.format(tmp=tmp_path) for line in lines] == (got if lines[0].startswith(PROG) else
                                                              [got[0][:len(lines[0])], got[-1]])
    assert not (tmp_path / "tolva-out").exists()


def test_ctrl_c_while_modules_import_ends_with_130(tmp_path):
    (tmp_path / "slow_import.py").write_text("import time\ntime.sleep(30)\n")
    # As from a terminal: a runner started in the background of a shell inherits Ctrl-C ignored.
    runner = subprocess.Popen([sys.executable, "-m", "tolva.run", "slow_import"], cwd=tmp_path,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                              preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    time.sleep(1.5)
    runner.send_signal(signal.SIGINT)
    out, err = runner.communicate(timeout=30)
    assert (runner.returncode, err) == (130, "python -m tolva.run: interrupted\n")


def test_a_value_json_cannot_store_is_named_in_the_user_s_terms(tmp_path):
    (tmp_path / "values.py").write_text("from tolva import asset\n\n\n@asset()\ndef a_set():\n    return {1, 2}\n")
    result = subprocess.run([sys.executable, "-m", "tolva.run", "values"], cwd=tmp_path, capture_output=True,
                            text=True, timeout=60)
    job = json.loads((tmp_path / "tolva-out/run.json").read_text())["jobs"][0]
    assert job["error"] == 'asset \'a_set\' returned a set, which cannot be stored as JSON; declare @asset(serializer="pickle")'
    assert f"\n  at {tmp_path}/values.py:4 in a_set\n" in result.stdout


def test_text_of_the_user_s_reaches_the_terminal_with_its_control_characters_shown(tmp_path):
    """An asset's name and an error can carry escape sequences; printed raw, they could
    rewrite a failure line as a success."""
    (tmp_path / "evil.py").write_text(
        "from tolva import asset\n\n\n@asset(name='evil\\x1b[2K')\ndef evil():\n"
        "    raise ValueError('\\x1b[1A\\rsucceeded')\n")
    result = subprocess.run([sys.executable, "-m", "tolva.run", "evil"], cwd=tmp_path, capture_output=True,
                            text=True, timeout=60)
    assert result.returncode == 1 and "\x1b" not in result.stdout + result.stderr
    assert "\nevil\\x1b[2K: ValueError: \\x1b[1A\\rsucceeded\n" in result.stdout
