"""A job's own record agrees with run.json whatever ends the job, and the runner reads
no more of a log than it shows."""

import json
import os
import signal
import subprocess
import sys
import tracemalloc

import pytest

from tolva import layout, records

CRASHES = '''\
import atexit, os, signal, sys
from tolva import asset


@asset()
def crashes_at_exit():
    # Killed at interpreter shutdown, after the value was recorded (as by a native library
    # crashing in atexit; SIGKILL, since the sanitizer run turns SIGSEGV into an abort).
    atexit.register(os.kill, os.getpid(), signal.SIGKILL)
    return 1


@asset()
def exits_loudly():
    sys.stdout.write("x" * 100_000 + "\\n" * 3 + "the last words\\n")
    sys.stdout.flush()
    os._exit(3)
'''


@pytest.mark.parametrize(
    "asset, error",
    [("crashes_at_exit", "the job was killed by signal SIGKILL after recording success"),
     ("exits_loudly", "the job ended (exit status 3) without recording its outcome: the last words")],
)
def test_the_runner_and_the_job_record_the_same_failure(tmp_path, asset, error):
    (tmp_path / "crashes.py").write_text(CRASHES)

    def tolva(*args):
        return subprocess.run([sys.executable, "-m", "tolva.run", "crashes", "--select", asset, "--isolation",
                               "interpreter", *args], cwd=tmp_path, capture_output=True, text=True, timeout=120)

    assert tolva().returncode == 1
    entry = json.loads((tmp_path / "tolva-out/run.json").read_text())["jobs"][0]
    state = json.loads((tmp_path / f"tolva-out/.tolva/jobs/{asset}.json").read_text())
    assert (entry["status"], entry["error"]) == ("failed", error)
    assert (state["status"], state["error"]) == ("failed", error)
    assert tolva("--explain", "-v").stdout.startswith(f"runs        {asset}: failed last time\n")


def test_the_last_line_of_a_log_is_read_from_its_end(tmp_path):
    log = tmp_path / "big.log"
    with open(log, "w") as f:
        for _ in range(200):
            f.write("y" * 50_000 + "\n")
        f.write("the end\n\n  \n")
    tracemalloc.start()
    assert layout.last_line(log) == "the end"
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert peak < 1_000_000
    assert layout.last_line(tmp_path / "missing.log") == ""


SLOW = '''\
import os, time
from tolva import asset, partitions


@asset(partitions={"n": partitions(list(range(6)))})
def slow(n):
    time.sleep(float(os.environ.get("SLOW_SECONDS", "0")))
    return n
'''


def start_slow(tmp_path, seconds, **kwargs):
    return subprocess.Popen([sys.executable, "-m", "tolva.run", "slow", "--jobs", "2"], cwd=tmp_path, text=True,
                            env=dict(__import__("os").environ, SLOW_SECONDS=str(seconds)), **kwargs)


def wait_for(path, timeout=30):
    import time

    deadline = time.monotonic() + timeout
    while not path.exists():
        assert time.monotonic() < deadline, f"{path} never appeared"
        time.sleep(0.05)


@pytest.mark.parametrize("signum, code, in_progress, interrupted", [(9, -9, True, False), (1, 130, False, True)])
def test_run_json_never_keeps_the_previous_run_s_word(tmp_path, signum, code, in_progress, interrupted):
    (tmp_path / "slow.py").write_text(SLOW)
    assert start_slow(tmp_path, 0, stdout=subprocess.DEVNULL).wait(60) == 0
    __import__("shutil").rmtree(tmp_path / "tolva-out/.tolva/logs")
    runner = start_slow(tmp_path, 30, stdout=subprocess.DEVNULL)
    wait_for(tmp_path / "tolva-out/.tolva/logs/slow/n=0.log")
    runner.send_signal(signum)
    assert runner.wait(60) == code
    record = json.loads((tmp_path / "tolva-out/run.json").read_text())
    assert (record["in_progress"], record["interrupted"], record["pid"]) == (in_progress, interrupted, runner.pid)
    assert (record["finished"] is None) == in_progress
    assert "succeeded" not in {j["status"] for j in record["jobs"]}


def test_a_closed_stdout_stops_the_printing_not_the_run(tmp_path):
    (tmp_path / "slow.py").write_text(SLOW)
    runner = start_slow(tmp_path, 0.2, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    runner.stdout.readline()
    runner.stdout.close()
    assert runner.wait(60) == 0, runner.stderr.read()
    record = json.loads((tmp_path / "tolva-out/run.json").read_text())
    assert {j["status"] for j in record["jobs"]} == {"succeeded"} and record["in_progress"] is False


def test_every_writer_under_out_takes_the_lock_and_a_replaced_lock_is_noticed(tmp_path):
    (tmp_path / "slow.py").write_text(SLOW)
    first = start_slow(tmp_path, 1, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    wait_for(tmp_path / "tolva-out/.tolva/logs/slow/n=0.log")
    plan = (tmp_path / "tolva-out/plan.json").read_bytes()
    again = subprocess.run([sys.executable, "-m", "tolva.run", "slow", "--plan"], cwd=tmp_path, capture_output=True,
                           text=True, timeout=60)
    assert (again.returncode, again.stderr) == (2, f"python -m tolva.run: error: another run (PID {first.pid}) is "
                                                   f"using the output folder {tmp_path}/tolva-out; wait for it to end "
                                                   "or choose another --out\n")
    assert (tmp_path / "tolva-out/plan.json").read_bytes() == plan
    (tmp_path / "tolva-out/.tolva/lock").unlink()  # as rm -rf OUT/.tolva would
    second = start_slow(tmp_path, 0, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    assert second.wait(60) == 2 and f"another run (PID {first.pid}) is using" in second.stderr.read()
    assert first.wait(60) == 0
    assert (tmp_path / "tolva-out/.tolva/lock").read_text() == f"{first.pid}\n"


def test_a_planted_lock_link_is_refused(tmp_path):
    (tmp_path / "slow.py").write_text(SLOW)
    (tmp_path / "tolva-out/.tolva").mkdir(parents=True)
    (tmp_path / "victim").write_text("keep")
    (tmp_path / "tolva-out/.tolva/lock").symlink_to(tmp_path / "victim")
    result = subprocess.run([sys.executable, "-m", "tolva.run", "slow"], cwd=tmp_path, capture_output=True,
                            text=True, timeout=60)
    assert (result.returncode, (tmp_path / "victim").read_text()) == (1, "keep")
    assert result.stderr == (f"python -m tolva.run: error: OSError: {tmp_path}/tolva-out/.tolva/lock is a symbolic "
                             "link, which tolva never follows; remove it\n")


def test_records_belong_to_a_plan_by_its_id_not_by_file_times(tmp_path):
    (tmp_path / "slow.py").write_text(SLOW)
    plan = tmp_path / "shared/plan.json"

    def tolva(*args):
        return subprocess.run([sys.executable, "-m", "tolva.run", *args], cwd=tmp_path, capture_output=True,
                              text=True, timeout=60, env=dict(__import__("os").environ, SLOW_SECONDS="0"))

    assert tolva("slow", "--plan", str(plan), "--out", "one").returncode == 0
    subprocess.run(["cp", "-p", str(plan), str(tmp_path / "backup.json")], check=True)
    assert tolva("slow", "--plan", str(plan), "--out", "two").returncode == 0
    subprocess.run(["cp", "-p", str(tmp_path / "backup.json"), str(plan)], check=True)  # restored, older
    argv = json.loads(plan.read_text())["jobs"][0]["argv"]
    assert subprocess.run(argv, capture_output=True, timeout=60,
                          env=dict(__import__("os").environ, SLOW_SECONDS="0")).returncode == 0
    assert (tmp_path / "one/slow/n=0/value.json").exists() and not (tmp_path / "two/slow").exists()
    # A run of another plan into the same folder leaves no record that --report of this plan takes.
    assert tolva("slow", "--out", "one").returncode == 0
    report = tolva("--from-plan", str(plan), "--report")
    statuses = {j["id"]: j["status"] for j in json.loads((tmp_path / "one/run.json").read_text())["jobs"]}
    assert report.returncode == 1 and statuses["slow/n=0"] == "succeeded" and statuses["slow/n=1"] == "not-started"


def test_report_while_jobs_run(tmp_path):
    (tmp_path / "slow.py").write_text(SLOW)
    env = dict(__import__("os").environ, SLOW_SECONDS="30")
    plan = json.loads(subprocess.run([sys.executable, "-m", "tolva.run", "slow", "--plan"], cwd=tmp_path, env=env,
                                     capture_output=True, text=True, timeout=60).stdout)
    job = subprocess.Popen(plan["jobs"][0]["argv"], env=env, stdout=subprocess.DEVNULL)
    state = tmp_path / "tolva-out/.tolva/jobs/slow/n=0.json"
    wait_for(state)

    def report():
        result = subprocess.run([sys.executable, "-m", "tolva.run", "--from-plan", plan_file, "--report"],
                                capture_output=True, text=True, timeout=60)
        jobs = json.loads((tmp_path / "tolva-out/run.json").read_text())["jobs"]
        return result, [(j["status"], j["error"]) for j in jobs]

    plan_file = str(tmp_path / "tolva-out/plan.json")
    try:
        result, statuses = report()
        assert result.returncode == 1 and "in progress: 0 of 6 jobs done" in result.stdout
        assert statuses == [("running", None)] + [("not-started", None)] * 5
    finally:
        job.kill()
        job.wait()
    result, statuses = report()
    assert statuses[0] == ("failed", "the job ended without recording its outcome")
    assert "first failed job: slow/n=0\n" in result.stdout  # it never started a log of its own


@pytest.mark.parametrize("isolation", ["fork", "interpreter"])
@pytest.mark.parametrize("planted, fails", [(".tolva/logs/slow/n=0.log", True), (".tolva/plans/plan.json/index.json", False),
                                            (".tolva/jobs/slow/n=0.json", False),
                                            (".tolva/jobs/slow/.n=0.json.spare", False)])
def test_a_planted_link_is_never_followed(tmp_path, isolation, planted, fails):
    (tmp_path / "slow.py").write_text(SLOW)
    (tmp_path / "victim").write_text("keep")
    link = tmp_path / "tolva-out" / planted
    link.parent.mkdir(parents=True)
    link.symlink_to(tmp_path / "victim")
    result = subprocess.run([sys.executable, "-m", "tolva.run", "slow", "--isolation", isolation], cwd=tmp_path,
                            capture_output=True, text=True, timeout=120)
    assert (tmp_path / "victim").read_text() == "keep"
    jobs = {j["id"]: j for j in json.loads((tmp_path / "tolva-out/run.json").read_text())["jobs"]}
    assert result.returncode == (1 if fails else 0), result.stderr
    if fails:
        assert jobs["slow/n=0"]["error"] == f"OSError: {link} is a symbolic link, which tolva never follows; remove it"
        assert jobs["slow/n=1"]["status"] == "succeeded"


@pytest.mark.parametrize("size", [0, 1, (1 << 16) - 1, 1 << 16, (1 << 16) + 1, 3 << 20])
def test_a_file_is_read_whole_whatever_its_size(tmp_path, size):
    path = tmp_path / "f"
    data = os.urandom(size)
    path.write_bytes(data)
    assert layout.read_bytes(str(path)) == data
    (tmp_path / "link").symlink_to(path)
    with pytest.raises(OSError) as refused:
        layout.read_bytes(str(tmp_path / "link"))
    assert str(refused.value) == f"{tmp_path / 'link'} is a symbolic link, which tolva never follows; remove it"


@pytest.mark.parametrize("torn_reads, whole", [(0, True), (1, True), (2, False)])
def test_a_record_caught_mid_rewrite_is_read_once_more(tmp_path, monkeypatch, torn_reads, whole):
    """A reader that opened a record's spare as it was being rewritten reads torn JSON:
    it reads again, once; torn twice, the record reads as unreadable, never as a crash."""
    records.write_job_state(str(tmp_path), "j", "succeeded", 1.0, 2.0)
    text = layout.read_bytes(layout.job_state_path(str(tmp_path), "j"))
    torn, read = iter([text[:len(text) // 2]] * torn_reads), layout.read_bytes
    monkeypatch.setattr(layout, "read_bytes", lambda path: next(torn, None) or read(path))
    state = records.read_job_state(str(tmp_path), "j")
    assert (state is not None and state["status"] == "succeeded") == whole


@pytest.mark.parametrize("planted", [None, "symlink", "hardlink", "folder"])
def test_a_rewrite_trades_places_with_its_spare_and_never_writes_through_it(tmp_path, planted):
    import ctypes  # noqa: F401 - loaded, as in every job of a warm server

    path, spare, victim = tmp_path / "n=0.json", tmp_path / ".n=0.json.spare", tmp_path / "victim"
    victim.write_text("keep")
    if planted == "symlink":
        spare.symlink_to(victim)
    elif planted == "hardlink":
        spare.hardlink_to(victim)
    elif planted == "folder":
        spare.mkdir()
    texts = [f"record {i}\n" * (3 - i % 2) for i in range(5)]  # shorter and longer than the spare's text
    inodes = []
    for text in texts:
        layout.rewrite(str(path), text)
        assert path.read_text() == text
        inodes.append({path.stat().st_ino, spare.stat().st_ino} if spare.is_file() else None)
    assert victim.read_text() == "keep"
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted([path.name, spare.name, victim.name])
    if planted != "folder":
        assert inodes[1] == inodes[2] == inodes[4]  # the same two files, whatever is written


LEAVES = '''\
import os, subprocess, sys, time
from tolva import asset


@asset()
def leaves_a_child():
    return subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"]).pid


@asset()
def leaves_a_daemon():
    read, write = os.pipe()
    if os.fork() == 0:
        os.setsid()
        if os.fork() == 0:
            os.write(write, str(os.getpid()).encode())
            time.sleep(60)
        os._exit(0)
    os.close(write)
    return int(os.read(read, 32))
'''


@pytest.mark.parametrize("isolation", ["fork", "worker", "interpreter"])
def test_nothing_a_job_leaves_running_outlives_it(tmp_path, isolation):
    from conftest import process_alive

    (tmp_path / "leaves.py").write_text(LEAVES)
    result = subprocess.run([sys.executable, "-m", "tolva.run", "leaves", "--isolation", isolation, "--jobs", "1"],
                            cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    for name in ("leaves_a_child", "leaves_a_daemon"):
        pid = json.loads((tmp_path / f"tolva-out/{name}/value.json").read_text())
        assert not process_alive(pid), name


@pytest.mark.parametrize("signum", [signal.SIGKILL, signal.SIGTERM])
def test_an_interpreter_job_ends_with_its_runner(tmp_path, signum):
    import time

    from conftest import process_alive

    (tmp_path / "slow.py").write_text(SLOW)
    runner = subprocess.Popen([sys.executable, "-m", "tolva.run", "slow", "--isolation", "interpreter", "--jobs", "1"],
                              cwd=tmp_path, env=dict(__import__("os").environ, SLOW_SECONDS="60"),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    state = tmp_path / "tolva-out/.tolva/jobs/slow/n=0.json"
    wait_for(state)
    pid = json.loads(state.read_text())["where"]["pid"]
    runner.send_signal(signum)
    runner.wait(60)
    deadline = time.monotonic() + 10
    while process_alive(pid) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not process_alive(pid)


@pytest.mark.parametrize("planted, refused", [
    # A folder of OUT's own: the run refuses the output folder before it writes anything.
    (".tolva", True), (".tolva/jobs", True), (".tolva/runs", True), (".tolva/inputs", True), (".tolva/logs", True),
    # A job's folder, or its asset's: that job fails, in one line naming the link.
    ("slow/n=0", False), ("slow", False),
])
def test_a_planted_folder_link_is_never_followed(tmp_path, planted, refused):
    (tmp_path / "slow.py").write_text(SLOW)
    (tmp_path / "victim").mkdir()
    link = tmp_path / "tolva-out" / planted
    link.parent.mkdir(parents=True, exist_ok=True)
    link.symlink_to(tmp_path / "victim")
    result = subprocess.run([sys.executable, "-m", "tolva.run", "slow"], cwd=tmp_path, capture_output=True,
                            text=True, timeout=120, env=dict(__import__("os").environ, SLOW_SECONDS="0"))
    assert list((tmp_path / "victim").iterdir()) == [] and result.returncode == 1
    message = f"OSError: {link} is a symbolic link, which tolva never follows; remove it"
    if refused:
        assert result.stderr == f"python -m tolva.run: error: {message}\n"
    else:
        jobs = {j["id"]: j for j in json.loads((tmp_path / "tolva-out/run.json").read_text())["jobs"]}
        assert jobs["slow/n=0"]["error"] == message


def test_a_job_killed_after_its_result_keeps_no_record_of_success(tmp_path):
    """Killed between result.json and its own record: the run says failed, and nothing
    under OUT reads as a success."""
    (tmp_path / "slow.py").write_text(SLOW)
    (tmp_path / "hook").mkdir()
    (tmp_path / "hook/sitecustomize.py").write_text(
        "import os\nfrom tolva import records\nwrite = records.write_job_state\n"
        "def dies(out, job_id, status, *args, **kwargs):\n"
        "    if status == 'succeeded' and job_id == 'slow/n=1':\n        os._exit(3)\n"
        "    return write(out, job_id, status, *args, **kwargs)\nrecords.write_job_state = dies\n")
    result = subprocess.run([sys.executable, "-m", "tolva.run", "slow"], cwd=tmp_path, capture_output=True, text=True,
                            timeout=120, env=dict(__import__("os").environ, PYTHONPATH=str(tmp_path / "hook")))
    jobs = {j["id"]: j for j in json.loads((tmp_path / "tolva-out/run.json").read_text())["jobs"]}
    assert result.returncode == 1 and jobs["slow/n=1"]["status"] == "failed"
    assert not (tmp_path / "tolva-out/slow/n=1/result.json").exists()
    assert json.loads((tmp_path / "tolva-out/.tolva/jobs/slow/n=1.json").read_text())["status"] == "failed"
