"""The Dask executor against the local one: 200 trivial jobs on a two-worker Dask
cluster (a scheduler and two single-threaded workers on 127.0.0.1, started here),
next to `tolva.run --jobs 2` with the default executor, which forks each job from a
warm process. Timed local, dask, dask, local. Target: Dask at least 0.5 of the local
rate, so that a cluster is not slower per job than one machine.
"""

import json
import os
import pathlib
import signal
import subprocess
import sys
import tempfile
import time

JOBS = int(os.environ.get("TOLVA_BENCH_JOBS", "200"))
MODULE = f"""
from tolva import asset, partitions

@asset(partitions={{"n": partitions(list(range({JOBS})))}})
def trivial(n):
    return n
"""


def start_cluster(directory):
    processes = []
    scheduler_file = directory / "scheduler.json"
    processes.append(subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_scheduler", "--host", "127.0.0.1",
                                       "--port", "0", "--no-dashboard", "--scheduler-file", str(scheduler_file)],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
    deadline = time.monotonic() + 60
    while not scheduler_file.exists() or not scheduler_file.read_text().strip():
        assert time.monotonic() < deadline
        time.sleep(0.1)
    address = json.loads(scheduler_file.read_text())["address"]
    for name in ("w1", "w2"):
        processes.append(subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_worker", address,
                                           "--nthreads", "1", "--no-nanny", "--host", "127.0.0.1", "--no-dashboard",
                                           "--name", name],
                                          cwd=directory, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
    from distributed import Client

    with Client(address, timeout="30s") as client:
        client.wait_for_workers(2, timeout=60)
    return address, processes


def cpu_seconds(processes):
    """CPU time the scheduler and workers themselves used (their job processes not
    included): what Dask costs on the machine's cores."""
    ticks = 0
    for process in processes:
        fields = pathlib.Path(f"/proc/{process.pid}/stat").read_text().rsplit(")", 1)[1].split()
        ticks += int(fields[11]) + int(fields[12])
    return ticks / os.sysconf("SC_CLK_TCK")


def timed(directory, args):
    start = time.perf_counter()
    subprocess.run([sys.executable, "-m", "tolva.run", "bench_dask_assets", *args], cwd=directory,
                   check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def main():
    with tempfile.TemporaryDirectory() as name:
        directory = pathlib.Path(name)
        (directory / "bench_dask_assets.py").write_text(MODULE)
        address, processes = start_cluster(directory)
        try:
            local = timed(directory, ["--jobs", "2", "--out", "local-1"])
            cpu_before = cpu_seconds(processes)
            dask = timed(directory, ["--executor", "dask", "--scheduler", address, "--out", "dask-1"])
            dask += timed(directory, ["--executor", "dask", "--scheduler", address, "--out", "dask-2"])
            cluster_cpu = cpu_seconds(processes) - cpu_before
            local += timed(directory, ["--jobs", "2", "--out", "local-2"])
        finally:
            for process in reversed(processes):  # workers first: they say goodbye to the scheduler
                process.send_signal(signal.SIGTERM)
                process.wait(timeout=30)
    local_rate, dask_rate = JOBS / (local / 2), JOBS / (dask / 2)
    print(f"local executor, two processes:     {local_rate:6.2f} jobs/s")
    print(f"dask executor, two-worker cluster: {dask_rate:6.2f} jobs/s")
    print(f"ratio: {dask_rate / local_rate:.2f} (target >= 0.5)")
    print(f"Dask's overhead: {(dask - local) / 2 / JOBS * 1e3:.1f} ms of wall time per job; the scheduler and "
          f"workers used {cluster_cpu / 2 / JOBS * 1e3:.1f} ms of CPU per job")


if __name__ == "__main__":
    main()
