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
    for process in processes:
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
    # A worker without a nanny tries to say goodbye to a scheduler that is closing too.
    deadline = time.monotonic() + 2
    for process in processes:
        try:
            process.wait(timeout=max(0.1, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


class Cluster:
    """A scheduler and workers as processes of this test, on 127.0.0.1 only."""

    def __init__(self, directory):
        self.directory = pathlib.Path(directory)
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
                                   stdin=subprocess.DEVNULL)
        self.processes.append(process)
        return process

    def add_worker(self, name, prefix=(), cwd=None):
        worker = self.spawn([sys.executable, "-m", "distributed.cli.dask_worker", self.address, "--nthreads", "1",
                             "--no-nanny", "--host", "127.0.0.1", "--no-dashboard", "--name", name,
                             "--local-directory", str(self.directory / name)], prefix, cwd)
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


def test_the_example_on_a_cluster_matches_a_local_run(cluster, tmp_path):
    on_dask = tolva(["examples.weather.weather", "--executor", "dask", "--scheduler", cluster.address, "--out",
                     str(tmp_path / "dask")], ROOT)
    assert on_dask.returncode == 0, on_dask.stdout + on_dask.stderr
    local = tolva(["examples.weather.weather", "--out", str(tmp_path / "local")], ROOT)
    assert local.returncode == 0
    assert values(tmp_path / "dask") == values(tmp_path / "local") and len(values(tmp_path / "local")) == 12
    record = json.loads((tmp_path / "dask/run.json").read_text())
    assert record["executor"] == "dask"
    assert {j["worker"] for j in record["jobs"]} <= {"w1", "w2"}  # the workers' names
    # Unchanged, a second run on the cluster runs nothing, as locally.
    again = tolva(["examples.weather.weather", "--executor", "dask", "--scheduler", cluster.address, "--out",
                   str(tmp_path / "dask")], ROOT)
    assert again.returncode == 0
    assert {j["status"] for j in json.loads((tmp_path / "dask/run.json").read_text())["jobs"]} == {"up-to-date"}


def _worker_addresses(cluster):
    from distributed import Client

    with Client(cluster.address, timeout="30s") as client:
        return set(client.scheduler_info()["workers"])


FAILING = '''\
from tolva import asset, partitions


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


SLOW = '''\
import os, pathlib, time
from tolva import asset, partitions


@asset(partitions={"n": partitions([1, 2])})
def slow(n):
    marker = pathlib.Path(f"started-{n}")
    if n == 1 and not marker.exists():
        marker.write_text(f"{os.getppid()} {os.getpid()}")  # the worker running this job, and the job
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
    worker_pid, job_pid = map(int, marker.read_text().split())
    assert worker_pid in [w.pid for w in cluster.workers]
    os.kill(worker_pid, signal.SIGKILL)
    out, err = runner.communicate(timeout=180)
    assert runner.returncode == 0, out + err
    assert not process_alive(job_pid)  # the job died with its worker
    jobs = json.loads((tmp_path / "tolva-out/run.json").read_text())["jobs"]
    assert [j["status"] for j in jobs] == ["succeeded", "succeeded"]


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
