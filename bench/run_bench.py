"""Throughput: `python -m tolva.run --jobs 2` against the same jobs run as direct
`python -m tolva.worker` processes two at a time, in the same run, timed in the order
direct, runner, runner, direct so that a machine speeding up or slowing down favours
neither. Two pipelines: trivial jobs, and jobs of a module whose import takes 0.3 s
(as a heavy library's would). Targets: the runner at least 3x the direct rate for
trivial jobs and 10x for the slow-importing module. Beside them, what the machine
charges for what a forked job cannot avoid: a warm interpreter's fork, exit and wait,
and each page a forked process writes (copied from its parent's), since the runner's
default mode forks a job from a warm process and pays for each page it writes.
"""

import os
import pathlib
import resource
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

TRIVIAL_JOBS = int(os.environ.get("TOLVA_BENCH_JOBS", "400"))
SLOW_JOBS = int(os.environ.get("TOLVA_BENCH_SLOW_JOBS", "40"))

MODULE = """
{prelude}
from tolva import asset, partitions

@asset(partitions={{"n": partitions(list(range({jobs})))}})
def job(n):
    return n
"""


def direct(directory, env, module, jobs, tag):
    def one(n):
        subprocess.run([sys.executable, "-m", "tolva.worker", module, "job", f"direct-{tag}/n={n}", "--inputs",
                        f'{{"n": {n}}}'], cwd=directory, env=env, check=True)

    start = time.perf_counter()
    with ThreadPoolExecutor(2) as pool:
        list(pool.map(one, range(jobs)))
    return time.perf_counter() - start


def runner(directory, env, module, tag):
    start = time.perf_counter()
    subprocess.run([sys.executable, "-m", "tolva.run", module, "--jobs", "2", "--out", f"runner-{tag}"],
                   cwd=directory, env=env, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def compare(directory, env, module, jobs, target):
    direct_time = direct(directory, env, module, jobs, 1)
    runner_time = runner(directory, env, module, 1) + runner(directory, env, module, 2)
    direct_time += direct(directory, env, module, jobs, 2)
    direct_rate, runner_rate = jobs / (direct_time / 2), jobs / (runner_time / 2)
    print(f"{module}: {jobs} jobs")
    print(f"  direct tolva.worker, 2 at a time: {direct_rate:7.2f} jobs/s")
    print(f"  tolva.run --jobs 2:               {runner_rate:7.2f} jobs/s")
    print(f"  ratio: {runner_rate / direct_rate:.2f} (target >= {target})")


def forked(pages, rounds=100):
    """Mean seconds and minor faults of a fork, exit and wait of this interpreter, its
    child writing to `pages` pages that this process holds."""
    block = bytearray(max(pages, 1) * 4096)
    for i in range(0, len(block), 4096):
        block[i] = 1  # present here, so the child copies them
    before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_minflt
    start = time.perf_counter()
    for _ in range(rounds):
        pid = os.fork()
        if pid == 0:
            for i in range(0, pages * 4096, 4096):
                block[i] = 2
            os._exit(0)
        os.waitpid(pid, 0)
    seconds = (time.perf_counter() - start) / rounds
    return seconds, (resource.getrusage(resource.RUSAGE_CHILDREN).ru_minflt - before) / rounds


def machine_costs(pages=1000):
    bare, faults = min(forked(0) for _ in range(3))
    writing = min(forked(pages, 20)[0] for _ in range(3))
    print(f"this machine: a warm interpreter's fork, exit and wait {bare * 1000:.2f} ms ({faults:.0f} minor faults); "
          f"each page a forked process writes {(writing - bare) / pages * 1e6:.1f} us")


def main():
    machine_costs()
    with tempfile.TemporaryDirectory() as directory:
        root = pathlib.Path(directory)
        (root / "bench_trivial.py").write_text(MODULE.format(prelude="", jobs=TRIVIAL_JOBS))
        (root / "bench_heavy.py").write_text(MODULE.format(prelude="import time\ntime.sleep(0.3)", jobs=SLOW_JOBS))
        env = dict(os.environ, PYTHONPATH=directory)
        compare(directory, env, "bench_trivial", TRIVIAL_JOBS, 3)
        compare(directory, env, "bench_heavy", SLOW_JOBS, 10)


if __name__ == "__main__":
    main()
