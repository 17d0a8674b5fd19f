"""tolva.run on a real Dask cluster on 127.0.0.1: a scheduler and two workers started
by the test (no nanny, so a kill is a real loss), bounded in time, stopped by PID."""

import json
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import time

import pytest

from conftest import process_alive

pytest.importorskip("distributed")

ROOT = pathlib.Path(__file__).resolve().parent.parent


def stop(processes):
    """Workers first, then the scheduler: a worker says goodbye to its scheduler, and
    waits long for one that is closing too."""
    for process in reversed(processes):
        if process.poll() is None:
            process.send_signal(signal.SIGCONT)
            process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


class Cluster:
    """A scheduler and workers as processes of this test, on 127.0.0.1 only."""

    def __init__(self, directory, env=None):
        self.directory = pathlib.Path(directory)
        self.env = env
        self.directory.mkdir(parents=True, exist_ok=True)
        self.processes, self.workers = [], []
        scheduler_file = self.directory / "scheduler.json"
        self.scheduler = self.spawn([sys.executable, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1",
                                     "--port", "0", "--no-dashboard", "--scheduler-file", str(scheduler_file)])
        deadline = time.monotonic() + 60
        while not scheduler_file.exists() or not scheduler_file.read_text().strip():
            assert time.monotonic() < deadline, "the scheduler did not start"
            time.sleep(0.1)
        self.address = json.loads(scheduler_file.read_text())["address"]

    def spawn(self, argv, prefix=(), cwd=None):
        log = open(self.directory / f"process-{len(self.processes)}.log", "wb")
        process = subprocess.Popen([*prefix, *argv], cwd=cwd or self.directory, stdout=log, stderr=subprocess.STDOUT,
                                   stdin=subprocess.DEVNULL, env=dict(os.environ, **(self.env or {})))
        self.processes.append(process)
        return process

    def add_worker(self, name, prefix=(), cwd=None, python=sys.executable, extra=()):
        worker = self.spawn([python, "-m", "distributed.cli.dask_worker", self.address, "--nthreads", "1",
                             "--no-nanny", "--host", "127.0.0.1", "--no-dashboard", "--name", name,
                             "--local-directory", str(self.directory / name), *extra], prefix, cwd)
        self.workers.append(worker)
        return worker

    def wait_for_workers(self, count):
        from distributed import Client

        with Client(self.address, timeout="30s") as client:
            client.wait_for_workers(count, timeout=60)

    def close(self):
        stop(self.processes)


@pytest.fixture
def cluster(tmp_path):
    made = Cluster(tmp_path / "cluster")
    try:
        made.add_worker("w1")
        made.add_worker("w2")
        made.wait_for_workers(2)
        yield made
    finally:
        made.close()


def tolva(args, cwd, **kwargs):
    return subprocess.run([sys.executable, "-m", "tolva.run", *args], cwd=cwd, capture_output=True, text=True,
                          timeout=300, **kwargs)


def values(out):
    return {str(p.relative_to(out)): p.read_bytes() for p in pathlib.Path(out).rglob("value.json")}


def test_tables_and_a_format_of_the_project_flow_on_a_cluster_as_locally(cluster, tmp_path):
    """The shop example: DataFrames stored as Parquet and a CSV format its module
    registers, read and written by the workers' jobs, the same bytes as locally."""
    runs = [tolva(["examples.shop.shop", *where, "--out", str(tmp_path / name)], ROOT)
            for name, where in (("dask", ["--executor", "dask", "--scheduler", cluster.address]), ("local", []))]
    assert [r.returncode for r in runs] == [0, 0], runs[0].stdout + runs[0].stderr
    stored = [{str(p.relative_to(tmp_path / name)): p.read_bytes() for p in (tmp_path / name).rglob("value.*")}
              for name in ("dask", "local")]
    assert stored[0] == stored[1] and sorted(stored[1])[:2] == ["daily/region=north/value.parquet",
                                                               "daily/region=south/value.parquet"]
    assert "export/value.csv" in stored[1]


def test_the_example_on_a_cluster_matches_a_local_run(cluster, tmp_path):
    on_dask = tolva(["examples.weather.weather", "--executor", "dask", "--scheduler", cluster.address, "--out",
                     str(tmp_path / "dask")], ROOT)
    assert on_dask.returncode == 0, on_dask.stdout + on_dask.stderr
    local = tolva(["examples.weather.weather", "--out", str(tmp_path / "local")], ROOT)
    assert local.returncode == 0
    # 12 values of assets, 4 of the checks of daily
    assert values(tmp_path / "dask") == values(tmp_path / "local") and len(values(tmp_path / "local")) == 16
    record = json.loads((tmp_path / "dask/run.json").read_text())
    assert record["executor"] == "dask"
    assert {j["worker"] for j in record["jobs"]} <= {"w1", "w2"}  # the workers' names
    # Each worker forked the run's jobs from a warm server of the run, ended with it.
    assert not [c for w in cluster.workers for t in pathlib.Path(f"/proc/{w.pid}/task").iterdir()
                for c in (t / "children").read_text().split()]
    # Unchanged, a second run on the cluster runs nothing, as locally.
    again = tolva(["examples.weather.weather", "--executor", "dask", "--scheduler", cluster.address, "--out",
                   str(tmp_path / "dask")], ROOT)
    assert again.returncode == 0
    assert {j["status"] for j in json.loads((tmp_path / "dask/run.json").read_text())["jobs"]} == {"up-to-date"}


FAILING = '''\
import time

from tolva import asset, partitions, policy


@policy(timeout=0.5, retries=1, retry_delay=0)
@asset()
def stuck():
    time.sleep(60)


@asset(partitions={"n": partitions([1, 2, 3])})
def numbers(n):
    if n == 2:
        raise ValueError("two is bad")
    return n


@asset(inputs={"value": numbers}, partitions={"n": partitions([1, 2, 3])})
def doubled(value, n):
    return value * 2
'''


def test_a_failing_asset_on_a_cluster(cluster, tmp_path):
    (tmp_path / "failing.py").write_text(FAILING)
    result = tolva(["failing", "--executor", "dask", "--scheduler", cluster.address], tmp_path)
    assert result.returncode == 1
    jobs = {j["id"]: j for j in json.loads((tmp_path / "tolva-out/run.json").read_text())["jobs"]}
    assert jobs["numbers/n=2"]["status"] == "failed" and jobs["numbers/n=2"]["error"] == "ValueError: two is bad"
    assert jobs["numbers/n=2"]["attempts"] == 1  # not retried by Dask
    assert jobs["doubled/n=2"]["status"] == "skipped"
    assert jobs["doubled/n=3"]["status"] == "succeeded"
    assert "ValueError: two is bad" in (tmp_path / "tolva-out/.tolva/logs/numbers/n=2.log").read_text()
    assert [jobs["stuck"]["error"], jobs["stuck"]["attempts"]] == ["TimeoutError: timed out after 0.5 s", 2]


SLOW = '''\
import os, pathlib, time
from tolva import asset, partitions


@asset(partitions={"n": partitions([1, 2])})
def slow(n):
    marker = pathlib.Path(f"started-{n}")
    if n == 1 and not marker.exists():
        marker.write_text(f"{os.getppid()} {os.getpid()}")  # what forked this job, and the job
        time.sleep(60)
    return n
'''


def test_a_worker_lost_mid_job_costs_no_job(cluster, tmp_path):
    (tmp_path / "slow.py").write_text(SLOW)
    runner = subprocess.Popen([sys.executable, "-m", "tolva.run", "slow", "--executor", "dask", "--scheduler",
                               cluster.address], cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              text=True)
    marker = tmp_path / "started-1"
    deadline = time.monotonic() + 120
    while not (marker.exists() and marker.read_text()):
        assert time.monotonic() < deadline and runner.poll() is None, "the slow job did not start"
        time.sleep(0.1)
    parent, job_pid = map(int, marker.read_text().split())  # the run's warm server on the worker
    worker_pid = int(pathlib.Path(f"/proc/{parent}/stat").read_text().rsplit(")", 1)[1].split()[1])
    assert worker_pid in [w.pid for w in cluster.workers]
    os.kill(worker_pid, signal.SIGKILL)
    out, err = runner.communicate(timeout=180)
    assert runner.returncode == 0, out + err
    assert not process_alive(job_pid)  # the job died with its worker
    jobs = json.loads((tmp_path / "tolva-out/run.json").read_text())["jobs"]
    assert [j["status"] for j in jobs] == ["succeeded", "succeeded"]
    # Started twice, both in its log; its duration is its own, not the time it waited.
    assert jobs[0]["attempts"] == 2 and jobs[0]["duration"] < 5
    log = (tmp_path / "tolva-out/.tolva/logs/slow/n=1.log").read_text()
    assert "--- attempt 1, started again on w" in log


def test_workers_that_cannot_see_the_project_get_nothing(tmp_path):
    if not shutil.which("unshare"):
        pytest.skip("needs unshare to hide the project from a worker")
    project = tmp_path / "project"
    project.mkdir()
    (project / "failing.py").write_text(FAILING)
    made = Cluster(tmp_path / "cluster")
    try:
        # The worker runs in a mount namespace of its own, where the project is an empty tmpfs.
        hidden = made.add_worker("blind", prefix=["unshare", "-m", "sh", "-c",
                                                  f"mount -t tmpfs none {project} && exec \"$0\" \"$@\""], cwd="/")
        made.wait_for_workers(1)
        result = tolva(["failing", "--executor", "dask", "--scheduler", made.address], project)
        assert hidden.poll() is None
    finally:
        made.close()
    assert result.returncode == 2
    lines = result.stderr.splitlines()
    assert lines[0] == ("python -m tolva.run: error: workers must share the file system holding OUT and the plan, "
                        "and have the project importable:")
    assert lines[1].startswith("  worker tcp://127.0.0.1:") and f"lacks the plan {project}/tolva-out/plan.json" in lines[1]
    assert not (project / "tolva-out/.tolva/logs").exists()  # nothing was submitted


def test_the_default_local_cluster_runs_the_example(tmp_path):
    result = tolva(["examples.weather.weather", "--executor", "dask", "--jobs", "2", "--out", str(tmp_path / "o")],
                   ROOT)
    assert result.returncode == 0, result.stdout + result.stderr
    record = json.loads((tmp_path / "o/run.json").read_text())
    assert record["executor"] == "dask" and {j["status"] for j in record["jobs"]} == {"succeeded"}
    assert {j["worker"] for j in record["jobs"]} <= {"0", "1"}  # the local cluster names its workers


@pytest.mark.skipif(not (pathlib.Path(sys.prefix) / "bin/dask").exists(), reason="a venv made by tools/setup")
def test_dask_s_own_commands_run_with_the_venv_s_python():
    for command in ("scheduler", "worker"):
        shown = subprocess.run([str(pathlib.Path(sys.prefix) / "bin/dask"), command, "--help"], capture_output=True,
                               text=True, timeout=60)
        assert shown.returncode == 0 and "--dashboard-address" in shown.stdout


def test_usage(tmp_path):
    result = tolva(["m", "--scheduler", "tcp://127.0.0.1:1"], tmp_path)
    assert result.returncode == 2 and result.stderr.endswith("error: --scheduler goes with --executor dask\n")


SLEEPERS = '''\
import os, time
from tolva import asset, partitions


@asset(partitions={"n": partitions([1, 2, 3, 4])})
def sleeper(n):
    with open(f"pid-{n}", "w") as f:
        f.write(str(os.getpid()))
    time.sleep(120)
'''


def test_ctrl_c_on_a_cluster_leaves_no_job_running(cluster, tmp_path):
    (tmp_path / "sleepers.py").write_text(SLEEPERS)
    runner = subprocess.Popen([sys.executable, "-m", "tolva.run", "sleepers", "--executor", "dask", "--scheduler",
                               cluster.address], cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              text=True)
    started = []
    deadline = time.monotonic() + 120
    while len(started) < 2:
        assert time.monotonic() < deadline and runner.poll() is None, "the jobs did not start"
        started = [p for p in tmp_path.glob("pid-*") if p.read_text()]
        time.sleep(0.1)
    runner.send_signal(signal.SIGINT)
    out, err = runner.communicate(timeout=120)
    assert runner.returncode == 130, out + err
    pids = [int(p.read_text()) for p in tmp_path.glob("pid-*")]
    deadline = time.monotonic() + 20
    while any(process_alive(pid) for pid in pids) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert not any(process_alive(pid) for pid in pids)
    record = json.loads((tmp_path / "tolva-out/run.json").read_text())
    assert record["interrupted"] is True and {j["status"] for j in record["jobs"]} == {"cancelled"}


# --- under faults ------------------------------------------------------------------

BUSY = '''\
import json, os, signal, time
from tolva import asset, partitions

# Set by the test beside the module: a job on a worker has the worker's environment.
SETTINGS = json.load(open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "busy.json")))


@asset(partitions={"n": partitions(list(range(SETTINGS.get("jobs", 1))))})
def busy(n):
    if SETTINGS.get("ignore_term"):
        signal.signal(signal.SIGTERM, signal.SIG_IGN)
    with open("spans", "a") as f:  # a copy of a job starts only when no earlier copy runs
        earlier = [int(line.split()[2]) for line in open("spans")] if os.path.exists("spans") else []
        alive = [pid for pid in earlier if os.path.exists(f"/proc/{pid}") and pid != os.getpid()]
        f.write(f"start {n} {os.getpid()} {'overlap' if alive else ''}\\n")
    time.sleep(SETTINGS.get("seconds", 3))
    return n
'''


def start_busy(cwd, cluster, **settings):
    (cwd / "busy.py").write_text(BUSY)
    (cwd / "busy.json").write_text(json.dumps(settings))
    return subprocess.Popen([sys.executable, "-m", "tolva.run", "busy", "--executor", "dask", "--scheduler",
                             cluster.address], cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def wait_until(condition, what, timeout=60):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, what
        time.sleep(0.1)


def spans(cwd):
    return [line.split() for line in (cwd / "spans").read_text().splitlines()] if (cwd / "spans").exists() else []


def jobs_of(cwd):
    return {j["id"]: j for j in json.loads((cwd / "tolva-out/run.json").read_text())["jobs"]}


@pytest.fixture
def one_worker(tmp_path):
    made = Cluster(tmp_path / "cluster")
    try:
        made.add_worker("w1")
        made.wait_for_workers(1)
        yield made
    finally:
        made.close()


def test_stopping_one_run_leaves_another_run_s_jobs_alone(one_worker, tmp_path):
    a, b = tmp_path / "a", tmp_path / "b"
    a.mkdir(), b.mkdir()
    other = start_busy(b, one_worker, seconds=4)
    wait_until(lambda: spans(b), "run B's job did not start")
    interrupted = start_busy(a, one_worker)  # queued behind B's job on the one worker
    wait_until(lambda: (a / "tolva-out/run.json").exists(), "run A did not start")  # its loop has the signal
    interrupted.send_signal(signal.SIGINT)
    assert interrupted.wait(60) == 130 and not spans(a)
    assert other.wait(60) == 0, other.stderr.read()
    assert jobs_of(b)["busy/n=0"]["status"] == "succeeded" and jobs_of(a)["busy/n=0"]["status"] == "cancelled"


def test_a_job_that_ignores_sigterm_is_killed_after_the_grace(one_worker, tmp_path):
    runner = start_busy(tmp_path, one_worker, ignore_term=True, seconds=60)
    wait_until(lambda: spans(tmp_path), "the job did not start")
    job_pid = int(spans(tmp_path)[0][2])
    runner.send_signal(signal.SIGINT)
    assert runner.wait(60) == 130
    assert not process_alive(job_pid)  # ended before the runner exits, not 60 s later
    state = json.loads((tmp_path / "tolva-out/.tolva/jobs/busy/n=0.json").read_text())
    assert jobs_of(tmp_path)["busy/n=0"]["status"] == state["status"] == "cancelled"
    assert not (tmp_path / "tolva-out/busy/n=0/result.json").exists()


def test_a_rerun_after_a_killed_runner_never_runs_a_second_copy_beside_the_first(one_worker, tmp_path):
    first = start_busy(tmp_path, one_worker, seconds=4)
    wait_until(lambda: spans(tmp_path), "the job did not start")
    first.kill()
    first.wait()
    rerun = start_busy(tmp_path, one_worker, seconds=0)
    out, err = rerun.communicate(timeout=120)
    assert rerun.returncode == 0, out + err
    assert [s[3:] for s in spans(tmp_path)] == [[], []]  # two copies, never at once
    assert jobs_of(tmp_path)["busy/n=0"]["status"] == "succeeded"


def test_losing_the_scheduler_says_so_and_each_job_keeps_its_own_record(one_worker, tmp_path):
    runner = start_busy(tmp_path, one_worker, jobs=4, seconds=3)
    wait_until(lambda: spans(tmp_path), "the first job did not start")
    one_worker.processes[0].kill()  # the scheduler
    out, err = runner.communicate(timeout=60)
    assert runner.returncode == 1
    assert err == f"python -m tolva.run: error: lost the Dask scheduler at {one_worker.address}\n"
    jobs = jobs_of(tmp_path)
    started = jobs.pop(f"busy/n={spans(tmp_path)[0][1]}")
    assert started["status"] in ("failed", "succeeded") and started["attempts"] == 1
    assert {(j["status"], j["attempts"]) for j in jobs.values()} == {("cancelled", 0)}


PICKY = "import os\nprint('importing')\nif os.environ.get('NOT_HERE'):\n    raise RuntimeError('not on this worker')\n"


@pytest.mark.parametrize("worker, says", [
    ({"python": sys._base_executable}, "cannot import tolva: install tolva into the Python the worker runs"),
    ({"prefix": ["env", "NOT_HERE=1"]}, "lacks the modules picky (RuntimeError: not on this worker)"),
])
def test_a_worker_that_cannot_run_the_jobs_is_named(tmp_path, worker, says):
    made = Cluster(tmp_path / "cluster")
    try:
        made.add_worker("w", **worker)  # the toolchain's Python is without the venv
        made.wait_for_workers(1)
        (tmp_path / "picky.py").write_text(PICKY + FAILING)
        result = tolva(["picky", "--executor", "dask", "--scheduler", made.address], tmp_path)
    finally:
        made.close()
    assert result.returncode == 2, result.stderr
    lines = result.stderr.splitlines()
    assert len(lines) == 2 and lines[1].startswith("  worker tcp://127.0.0.1:")
    assert lines[1].endswith(f" {says}")


def test_a_worker_joining_without_the_project_gets_no_job(one_worker, tmp_path):
    if not shutil.which("unshare"):
        pytest.skip("needs unshare to hide the project from a worker")
    runner = start_busy(tmp_path, one_worker, jobs=8, seconds=0.5)
    wait_until(lambda: spans(tmp_path), "the first job did not start")
    one_worker.add_worker("blind", prefix=["unshare", "-m", "sh", "-c",
                                           f"mount -t tmpfs none {tmp_path} && exec \"$0\" \"$@\""], cwd="/")
    out, err = runner.communicate(timeout=120)
    assert runner.returncode == 0, out + err
    assert {j["worker"] for j in jobs_of(tmp_path).values()} == {"w1"}


@pytest.mark.parametrize("flags, message", [
    (["--scheduler", "tcp://127.0.0.1:1", "--jobs", "2"], "--jobs goes with a local cluster"),
    (["--isolation", "fork"], "--isolation goes with the local executor"),
    (["--scheduler-file", "missing.json"], "cannot read the scheduler file missing.json: No such file or directory"),
    (["--scheduler", "tcp://127.0.0.1:1", "--scheduler-file", "s.json"], "name the same thing; give one"),
])
def test_options_a_cluster_would_ignore_are_refused(tmp_path, flags, message):
    result = tolva(["m", "--executor", "dask", *flags], tmp_path)
    assert result.returncode == 2 and message in result.stderr.splitlines()[-1]


def test_the_scheduler_comes_from_its_file_or_the_environment(one_worker, tmp_path):
    (tmp_path / "failing.py").write_text(FAILING)
    by_file = tolva(["failing", "--executor", "dask", "--scheduler-file",
                     str(one_worker.directory / "scheduler.json")], tmp_path)
    by_env = tolva(["failing", "--executor", "dask", "--out", "again"], tmp_path,
                   env=dict(os.environ, DASK_SCHEDULER_ADDRESS=one_worker.address))
    for result, out in ((by_file, "tolva-out"), (by_env, "again")):
        assert result.returncode == 1, result.stderr
        assert {j["worker"] for j in json.loads((tmp_path / out / "run.json").read_text())["jobs"]} == {"w1", None}


HUNGRY = '''\
from tolva import asset


@asset()
def hungry():
    return len(bytearray(300 * 2**20))
'''


def test_a_worker_s_memory_limit_binds_its_jobs(tmp_path):
    made = Cluster(tmp_path / "cluster")
    try:
        made.add_worker("small", extra=["--memory-limit", "200MB"])
        made.wait_for_workers(1)
        (tmp_path / "hungry.py").write_text(HUNGRY)
        result = tolva(["hungry", "--executor", "dask", "--scheduler", made.address], tmp_path)
    finally:
        made.close()
    assert result.returncode == 1
    assert jobs_of(tmp_path)["hungry"]["error_type"] == "MemoryError"


def test_a_task_run_again_past_the_worker_ttl_waits_for_the_first_copy(tmp_path):
    made = Cluster(tmp_path / "cluster", env={"DASK_DISTRIBUTED__SCHEDULER__WORKER_TTL": "2s"})
    try:
        frozen = made.add_worker("w1")
        made.wait_for_workers(1)
        runner = start_busy(tmp_path, made, seconds=6)
        wait_until(lambda: spans(tmp_path), "the job did not start")
        made.add_worker("w2")
        frozen.send_signal(signal.SIGSTOP)  # its job runs on; the scheduler gives the task to w2
        try:
            out, err = runner.communicate(timeout=120)
        finally:
            frozen.send_signal(signal.SIGCONT)
    finally:
        made.close()
    assert runner.returncode == 0, out + err
    assert len(spans(tmp_path)) == 1  # the second copy waited, then kept the first copy's success
    log = (tmp_path / "tolva-out/.tolva/logs/busy/n=0.log").read_text()
    assert "--- attempt 1, started again on w2 ---" in log
    assert "python -m tolva.run: job 'busy/n=0': attempt 1 of this run already ended (succeeded)\n" in log


def test_the_environment_a_job_read_is_compared_where_it_runs(tmp_path):
    """Workers see a variable the runner does not: an unchanged run finds the jobs up to
    date; workers restarted with another value run them again, with it."""
    (tmp_path / "regional.py").write_text(
        "import os\nfrom tolva import asset, partitions\n\n\n@asset(partitions={'n': partitions([1, 2, 3])})\n"
        "def regional(n):\n    return [n, os.environ['TOLVA_TEST_REGION']]\n")
    values = []
    for region in ("north", "north", "south"):
        cluster = Cluster(tmp_path / f"cluster-{len(values)}", env={"TOLVA_TEST_REGION": region})
        try:
            cluster.add_worker("w1", cwd=tmp_path)
            cluster.wait_for_workers(1)
            result = tolva(["regional", "--executor", "dask", "--scheduler", cluster.address], tmp_path)
            assert result.returncode == 0, result.stdout + result.stderr
        finally:
            cluster.close()
        jobs = json.loads((tmp_path / "tolva-out/run.json").read_text())["jobs"]
        values.append(([j["status"] for j in jobs], json.loads((tmp_path / "tolva-out/regional/n=1/value.json")
                                                               .read_text())))
    assert values == [(["succeeded"] * 3, [1, "north"]), (["up-to-date"] * 3, [1, "north"]),
                      (["succeeded"] * 3, [1, "south"])]


def test_checks_on_a_cluster_as_locally(cluster, tmp_path):
    """A blocking check that fails on a worker skips what reads its asset, with its
    message; what the checks said and stored is what a local run says."""
    from test_checks import SHOP

    (tmp_path / "shop.py").write_text(SHOP.replace("os.environ.get(\"BAD\")", "\"south\""))
    runs = [tolva(["shop", *where, "--out", name], tmp_path)
            for name, where in (("dask", ["--executor", "dask", "--scheduler", cluster.address]), ("local", []))]
    assert [r.returncode for r in runs] == [1, 1], runs[0].stdout + runs[0].stderr
    seen = [[(j["id"], j["status"], j["reason"] if j["status"] == "skipped" else None, j.get("check"))
             for j in json.loads((tmp_path / name / "run.json").read_text())["jobs"]] for name in ("dask", "local")]
    assert seen[0] == seen[1] and ("total", "skipped", "check 'no_negative_totals' of 'orders' failed: 3 rows with "
                                   "total < 0", None) in seen[1]
    assert values(tmp_path / "dask") == values(tmp_path / "local")
