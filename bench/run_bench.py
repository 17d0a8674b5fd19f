"""500 trivial jobs through `python -m tolva.run --jobs 2`, next to the same 500
`python -m tolva.worker` commands started directly two at a time, in the same run.
Reports jobs per second and the ratio; target: the runner reaches at least 90% of the
direct rate. The two are timed in the order direct, runner, runner, direct, so a
machine that speeds up or slows down during the run favours neither.
"""

import os
import pathlib
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

JOBS = int(os.environ.get("TOLVA_BENCH_JOBS", "500"))

MODULE = f"""
from tolva import asset, partitions

@asset(partitions={{"n": partitions(list(range({JOBS})))}})
def trivial(n):
    return n
"""


def direct(directory, env, tag):
    def one(n):
        subprocess.run([sys.executable, "-m", "tolva.worker", "bench_run_assets", "trivial",
                        f"direct-{tag}/n={n}", "--inputs", f'{{"n": {n}}}'], cwd=directory, env=env, check=True)

    start = time.perf_counter()
    with ThreadPoolExecutor(2) as pool:
        list(pool.map(one, range(JOBS)))
    return time.perf_counter() - start


def runner(directory, env, tag):
    start = time.perf_counter()
    subprocess.run([sys.executable, "-m", "tolva.run", "bench_run_assets", "--jobs", "2", "--out", f"runner-{tag}"],
                   cwd=directory, env=env, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def main():
    with tempfile.TemporaryDirectory() as directory:
        pathlib.Path(directory, "bench_run_assets.py").write_text(MODULE)
        env = dict(os.environ, PYTHONPATH=directory)
        direct_time = direct(directory, env, 1)
        runner_time = runner(directory, env, 1) + runner(directory, env, 2)
        direct_time += direct(directory, env, 2)
    direct_time, runner_time = direct_time / 2, runner_time / 2
    direct_rate, runner_rate = JOBS / direct_time, JOBS / runner_time
    print(f"direct tolva.worker, 2 at a time: {direct_rate:6.2f} jobs/s ({direct_time:.1f} s)")
    print(f"tolva.run --jobs 2:               {runner_rate:6.2f} jobs/s ({runner_time:.1f} s)")
    print(f"ratio: {runner_rate / direct_rate:.3f} (target >= 0.90)")


if __name__ == "__main__":
    main()
