"""Incremental runs: exactly the jobs an edit can change run again, an unchanged
output stops the rerun below it, and nothing stale passes for fresh."""

import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys

import pytest

HELPERS = '''\
SCALE = 10


def scaled(x):
    return x * SCALE
'''

PIPELINE = '''\
# a comment outside every function
from tolva import asset, partitions

import helpers

OFFSET = 1
DAYS = [1, 2]


def unused():
    return "nobody calls me"


@asset(partitions={"day": partitions(DAYS)})
def raw(day):
    return day + OFFSET


@asset(inputs={"value": raw}, partitions={"day": partitions(DAYS)})
def scaled(value, day):
    return helpers.scaled(value)


@asset(inputs={"values": scaled})
def total(values):
    return sum(v["value"] for v in values)


@asset()
def independent():
    return "alone"
'''


def tolva(args, cwd):
    return subprocess.run([sys.executable, "-m", "tolva.run", *args], cwd=cwd, capture_output=True, text=True,
                          timeout=300)


def ran(project, *args):
    """Runs the pipeline; returns the ids of the jobs that ran (not up to date)."""
    result = tolva(["pipeline", *args], project)
    assert result.returncode == 0, result.stdout + result.stderr
    jobs = json.loads((project / "tolva-out/run.json").read_text())["jobs"]
    assert {j["status"] for j in jobs} <= {"succeeded", "up-to-date"}
    return sorted(j["id"] for j in jobs if j["status"] == "succeeded")


ALL = ["independent", "raw/day=1", "raw/day=2", "scaled/day=1", "scaled/day=2", "total"]


@pytest.fixture
def project(tmp_path):
    (tmp_path / "helpers.py").write_text(HELPERS)
    (tmp_path / "pipeline.py").write_text(PIPELINE)
    assert ran(tmp_path) == ALL
    return tmp_path


def edit(path, old, new):
    text = path.read_text()
    assert old in text
    path.write_text(text.replace(old, new))


def test_an_unchanged_second_run_runs_nothing(project):
    assert ran(project) == []
    record = json.loads((project / "tolva-out/run.json").read_text())
    assert record["version"] == 3 and {j["status"] for j in record["jobs"]} == {"up-to-date"}


VALUES = '''\
from tolva import asset


@asset()
def small():
    return [1, 2]


@asset()
def large():
    return "x" * 100_000
'''


@pytest.mark.parametrize("isolation", ["fork", "worker"])
def test_a_success_records_the_digests_and_preview_of_the_files_it_left(tmp_path, isolation):
    (tmp_path / "values_made.py").write_text(VALUES)
    result = tolva(["values_made", "--isolation", isolation], tmp_path)
    assert result.returncode == 0, result.stderr
    for name, preview in [("small", "[\n  1,\n  2\n]"), ("large", '"' + "x" * 100_000 + '"')]:
        state = json.loads((tmp_path / f"tolva-out/.tolva/jobs/{name}.json").read_text())
        for key, file in [("value_hash", "value.json"), ("result_hash", "result.json")]:
            assert state[key] == hashlib.sha256((tmp_path / "tolva-out" / name / file).read_bytes()).hexdigest()
        assert preview.startswith(state["preview"]["text"].rstrip("…"))


@pytest.mark.parametrize(
    "file, old, new, expected",
    [
        ("pipeline.py", "# a comment outside every function", "# another comment", []),
        ("pipeline.py", 'return "nobody calls me"', 'return "still nobody"', []),
        # The helper's output is the same: its callers rerun, and stop there.
        ("helpers.py", "return x * SCALE", "return SCALE * x", ["scaled/day=1", "scaled/day=2"]),
        ("helpers.py", "return x * SCALE", "return x * SCALE + 1", ["scaled/day=1", "scaled/day=2", "total"]),
        ("helpers.py", "SCALE = 10", "SCALE = 20", ["scaled/day=1", "scaled/day=2", "total"]),
        ("pipeline.py", "OFFSET = 1", "OFFSET = 2", ["raw/day=1", "raw/day=2", "scaled/day=1", "scaled/day=2",
                                                      "total"]),
        ("pipeline.py", "DAYS = [1, 2]", "DAYS = [1, 2, 3]", ["raw/day=3", "scaled/day=3", "total"]),
        ("pipeline.py", 'return "alone"', 'return "apart"', ["independent"]),
    ],
)
def test_an_edit_reruns_exactly_what_it_can_change(project, file, old, new, expected):
    edit(project / file, old, new)
    assert ran(project) == expected


def test_outputs_changed_by_hand_or_lost_state_rerun(project):
    (project / "tolva-out/raw/day=2/value.json").write_text("999")
    assert ran(project) == ["raw/day=2"]  # rerun to the same value: nothing below it
    shutil.rmtree(project / "tolva-out/.tolva")
    assert ran(project) == ALL


def test_a_failure_then_a_fix_reruns_it_and_what_it_blocked(project):
    edit(project / "helpers.py", "return x * SCALE", "raise ValueError('broken helper')")
    assert tolva(["pipeline"], project).returncode == 1
    statuses = {j["id"]: j["status"] for j in json.loads((project / "tolva-out/run.json").read_text())["jobs"]}
    assert statuses["scaled/day=1"] == "failed" and statuses["total"] == "skipped"
    edit(project / "helpers.py", "raise ValueError('broken helper')", "return x * SCALE")
    assert ran(project) == ["scaled/day=1", "scaled/day=2", "total"]


def test_force_reruns_the_selected_jobs_only(project):
    assert ran(project, "--force") == ALL
    assert ran(project, "--force", "--select", "scaled/day=1") == ["scaled/day=1"]


def test_the_job_command_by_hand_on_an_up_to_date_job(project):
    plan = json.loads((project / "tolva-out/plan.json").read_text())
    argv = next(j["argv"] for j in plan["jobs"] if j["id"] == "total")
    result = subprocess.run(argv, capture_output=True, text=True)
    assert (result.returncode, result.stdout) == (
        0, "python -m tolva.run: job 'total' is up to date; --force runs it again\n")
    forced = subprocess.run(argv + ["--force"], capture_output=True, text=True)
    assert forced.returncode == 0 and forced.stdout == ""


FLAKY = '''\
import pathlib
from tolva import asset


@asset()
def flaky():
    tries = pathlib.Path("tries")
    count = int(tries.read_text()) + 1 if tries.exists() else 1
    tries.write_text(str(count))
    if count < 3:
        raise ConnectionError(f"attempt {count} failed")
    return count
'''


@pytest.mark.parametrize("retries, status, attempts", [(2, "succeeded", 3), (1, "failed", 2)])
def test_retries(tmp_path, retries, status, attempts):
    (tmp_path / "flaky.py").write_text(FLAKY)
    result = tolva(["flaky", "--retries", str(retries)], tmp_path)
    job = json.loads((tmp_path / "tolva-out/run.json").read_text())["jobs"][0]
    assert (job["status"], job["attempts"]) == (status, attempts)
    assert result.returncode == (0 if status == "succeeded" else 1)
    log = (tmp_path / "tolva-out/.tolva/logs/flaky.log").read_text()
    assert "ConnectionError: attempt 1 failed" in log and f"--- attempt {attempts} ---" in log


@pytest.mark.parametrize("edit", ["same size", "cp -p"])
def test_a_file_edited_while_its_job_runs_is_never_vouched_for(tmp_path, edit):
    """The job reads version-1; the file becomes version-2 (the same size, or copied with
    its old time) before the job ends: the next run runs it again, and says why."""
    (tmp_path / "input.txt").write_text("version-1")
    # The job waits for a signal, which tolva does not observe: what it looked at is
    # only what it read, whenever the test gets to edit.
    (tmp_path / "during.py").write_text(
        "import os, pathlib, signal\nfrom tolva import asset\n\n\n@asset()\ndef read():\n"
        "    text = pathlib.Path('input.txt').read_text()\n"
        "    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGUSR1})\n"
        "    pathlib.Path('pid').write_text(str(os.getpid()))\n    signal.sigwait({signal.SIGUSR1})\n"
        "    return text\n")

    def run_while(edit):
        (tmp_path / "pid").unlink(missing_ok=True)
        runner = subprocess.Popen([sys.executable, "-m", "tolva.run", "during"], cwd=tmp_path,
                                  stdout=subprocess.DEVNULL)
        while not (tmp_path / "pid").exists() or not (tmp_path / "pid").read_text():
            assert runner.poll() is None
        edit()
        os.kill(int((tmp_path / "pid").read_text()), signal.SIGUSR1)
        assert runner.wait(60) == 0

    def change():
        if edit == "cp -p":
            (tmp_path / "new.txt").write_text("version-2")
            subprocess.run(["touch", "-r", str(tmp_path / "input.txt"), str(tmp_path / "new.txt")], check=True)
            subprocess.run(["cp", "-p", str(tmp_path / "new.txt"), str(tmp_path / "input.txt")], check=True)
        else:
            (tmp_path / "input.txt").write_text("version-2")

    run_while(change)
    explained = subprocess.run([sys.executable, "-m", "tolva.run", "during", "--explain", "-v"], cwd=tmp_path,
                               capture_output=True, text=True, timeout=60).stdout
    assert "runs        read: file changed while the job ran (input.txt)\n" in explained
    run_while(lambda: None)
    assert (tmp_path / "tolva-out/read/value.json").read_text() == '"version-2"'


@pytest.mark.parametrize("call, kind", [
    ("subprocess.run(['true'], check=True)", "a subprocess"),
    ("os.system('true')", "a shell"),
    ("sqlite3.connect(':memory:').close()", "a database"),
    ("ctypes.CDLL(None)", "a C library (ctypes)"),
])
def test_a_read_tolva_cannot_see_is_never_vouched_for(tmp_path, call, kind):
    (tmp_path / "unseen.py").write_text("import ctypes, os, sqlite3, subprocess\nfrom tolva import asset\n\n\n"
                                        f"@asset()\ndef unseen():\n    {call}\n    return 1\n")
    result = tolva(["unseen"], tmp_path)
    assert result.returncode == 0, result.stderr
    record = json.loads((tmp_path / "tolva-out/.tolva/jobs/unseen.json").read_text())
    assert record["observed"]["unseeable"] == [kind] and record["observed"]["declared"] is False
    explained = tolva(["unseen", "--explain", "-v"], tmp_path).stdout
    assert f"runs        unseen: read through {kind} last time: cannot vouch\n" in explained


@pytest.mark.parametrize("call, message", [
    ("depends_on(files=3)", "depends_on(): files must be a list of paths, not int"),
    ("depends_on(environment=[1])", "depends_on(): environment must be a list of variable names; got 1"),
    ("depends_on(folders=[''])", "depends_on(): folders must be a list of paths; got ''"),
    ("depends_on()(42)", "depends_on() decorates a function or an asset, not int"),
])
def test_a_bad_dependency_declaration_is_one_line(call, message):
    from tolva import depends_on

    with pytest.raises(TypeError) as caught:
        eval(call, {"depends_on": depends_on})
    assert str(caught.value) == message


def test_observing_probes_leaves_the_os_module_as_it_answers(tmp_path):
    # shutil asks os.supports_follow_symlinks whether os.stat takes follow_symlinks.
    (tmp_path / "src.txt").write_text("hi")
    (tmp_path / "copies.py").write_text(
        "import os, shutil\nfrom tolva import asset\n\n\n@asset()\ndef copied():\n"
        "    shutil.copy2('src.txt', 'dst.txt', follow_symlinks=False)\n"
        "    return [os.stat in os.supports_follow_symlinks, os.path.exists('dst.txt')]\n")
    result = tolva(["copies"], tmp_path)
    assert result.returncode == 0, result.stdout
    assert json.loads((tmp_path / "tolva-out/copied/value.json").read_text()) == [True, True]


def test_explain_sums_up_by_asset_and_a_job_that_must_run_is_not_a_maybe(project):
    edit(project / "helpers.py", "SCALE = 10", "SCALE = 20")
    (project / "tolva-out/.tolva/jobs/total.json").unlink()  # runs, whatever scaled writes
    assert tolva(["pipeline", "--explain"], project).stdout == (
        "asset        runs  may run  up to date  why (most common)\n"
        "independent     0        0           1\n"
        "raw             0        0           2\n"
        "scaled          2        0           0  code changed (helpers.SCALE)\n"
        "total           1        0           0  record missing or unreadable\n\n"
        "3 of 6 jobs would run, 0 more if their upstream values change; -v for each job\n")


def test_status_shows_every_asset_whatever_runs_made_it(project):
    first = json.loads((project / "tolva-out/run.json").read_text())["run_id"]
    assert ran(project, "--select", "independent", "--force") == ["independent"]
    edit(project / "helpers.py", "SCALE = 10", "SCALE = 20")
    lines = tolva(["pipeline", "--status"], project).stdout.splitlines()
    assert lines[0].split() == ["asset", "jobs", "done", "failed", "not", "run", "stale", "newest", "value"]
    rows = {line.split()[0]: line.split() for line in lines[1:]}
    assert {name: row[1:6] for name, row in rows.items()} == {
        "independent": ["1", "1", "0", "0", "0"], "raw": ["2", "2", "0", "0", "0"],
        "scaled": ["2", "2", "0", "0", "2"], "total": ["1", "1", "0", "0", "1"]}
    assert rows["raw"][-1] == first and rows["independent"][-1] != first  # made by the run that made it
    jobs = tolva(["pipeline", "--status", "-v"], project).stdout.splitlines()
    assert [line.split()[:2] for line in jobs][:2] == [["succeeded", "independent"], ["succeeded", "raw/day=1"]]
    assert jobs[3].endswith("stale: code changed (helpers.SCALE)")
