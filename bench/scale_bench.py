"""Scale: planning time per job and one job's command time at 2,000 and at 50,000
jobs, timed in the order small, large, large, small; and the scheduler's own
bookkeeping for 100,000 jobs with an executor that finishes each job at once.
Targets: per-job planning time at 50,000 at most 1.5x that at 2,000, and one job's
command at most 1.3x. The jobs come from two dimensions (40 x 50 and 200 x 250), so
importing the module stays small and the plan's size is what grows; and again from one
dimension of 2,000 and of 50,000 keys, where declaring the keys grows too.
"""

import io
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time
import tracemalloc
from contextlib import redirect_stdout

SIZES = {2_000: (40, 50), 50_000: (200, 250)}
MODULE = """
from tolva import asset, partitions

@asset(partitions={{"a": partitions(list(range({a}))), "b": partitions(list(range({b})))}})
def grid(a, b):
    return a * b
"""
LINE = """
from tolva import asset, partitions

@asset(partitions={{"n": partitions(list(range({n})))}})
def line(n):
    return n
"""


def timed(argv, cwd, env):
    start = time.perf_counter()
    subprocess.run(argv, cwd=cwd, env=env, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def plan_time(root, env, jobs, name="grid"):
    return timed([sys.executable, "-m", "tolva.run", f"{name}{jobs}", "--plan", "--out", f"{name}-out{jobs}"], root,
                 env)


def job_time(root, env, jobs, repeats=7, name="grid"):
    plan = json.loads((root / f"{name}-out{jobs}/plan.json").read_text())
    argv = plan["jobs"][len(plan["jobs"]) // 2]["argv"]
    return statistics.median(timed(argv, root, env) for _ in range(repeats))


class InstantExecutor:
    """Finishes every job at once: what is left to time is the scheduler itself."""

    def submit(self, job, attempt=1, force=False):
        from concurrent.futures import Future

        from tolva.records import Finished

        future = Future()
        future.set_result(Finished(0, {"status": "succeeded"}))
        return future

    def signal(self, signum):
        pass

    def shutdown(self):
        pass


def bookkeeping(jobs, out):
    from tolva import fingerprint, incremental, recorder, scheduler

    project = fingerprint.Project([out])
    decider = incremental.Decider(project, fingerprint.CodeFingerprints(project), lambda job: None)
    plan = {"version": 2, "id": "bench", "created": 0, "workdir": out, "out": out, "jobs": [
        {"id": f"a/n={i}", "asset": "a", "partition": {"n": i}, "dependencies": [], "inputs": [],
         "output_dir": f"{out}/a/n={i}"} for i in range(jobs)]}
    plan["jobs"].append({"id": "gather", "asset": "gather", "partition": {}, "inputs": [],
                         "dependencies": [f"a/n={i}" for i in range(jobs)], "output_dir": f"{out}/gather"})
    tracemalloc.start()
    start = time.perf_counter()
    options = scheduler.RunOptions(max_jobs=2)
    records = recorder.RunRecorder(plan, f"{out}/plan.json", ["a", "gather"], "local", options.run_id, None)
    with redirect_stdout(io.StringIO()):
        status = scheduler.Run(plan, InstantExecutor(), decider, options, records).execute()
    elapsed = time.perf_counter() - start
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert status == 0
    return elapsed / (jobs + 1), peak


def main():
    with tempfile.TemporaryDirectory() as directory:
        root = pathlib.Path(directory)
        for jobs, (a, b) in SIZES.items():
            (root / f"grid{jobs}.py").write_text(MODULE.format(a=a, b=b))
            (root / f"line{jobs}.py").write_text(LINE.format(n=jobs))
        env = dict(os.environ, PYTHONPATH=directory)
        small, large = SIZES
        plans = {small: plan_time(root, env, small), large: plan_time(root, env, large)}
        plans[large] += plan_time(root, env, large)
        plans[small] += plan_time(root, env, small)
        commands = {small: job_time(root, env, small), large: job_time(root, env, large)}
        commands[large] = (commands[large] + job_time(root, env, large)) / 2
        commands[small] = (commands[small] + job_time(root, env, small)) / 2
        per_job = {n: plans[n] / 2 / n for n in SIZES}
        print(f"--plan per job:   {per_job[small] * 1e6:7.1f} us at {small:,}, {per_job[large] * 1e6:7.1f} us at "
              f"{large:,}; ratio {per_job[large] / per_job[small]:.2f} (target <= 1.5)")
        print(f"one job command:  {commands[small] * 1e3:7.1f} ms at {small:,}, {commands[large] * 1e3:7.1f} ms at "
              f"{large:,}; ratio {commands[large] / commands[small]:.2f} (target <= 1.3)")
        for jobs in SIZES:
            plan_time(root, env, jobs, "line")
        lines = {small: job_time(root, env, small, name="line"), large: job_time(root, env, large, name="line")}
        lines[large] = (lines[large] + job_time(root, env, large, name="line")) / 2
        lines[small] = (lines[small] + job_time(root, env, small, name="line")) / 2
        print(f"one dimension:    {lines[small] * 1e3:7.1f} ms at {small:,}, {lines[large] * 1e3:7.1f} ms at "
              f"{large:,}; ratio {lines[large] / lines[small]:.2f} (target <= 1.3)")
        small_cost, _ = bookkeeping(10_000, str(root / "book-small"))
        large_cost, peak = bookkeeping(100_000, str(root / "book-large"))
        small_cost = (small_cost + bookkeeping(10_000, str(root / "book-small"))[0]) / 2
        print(f"scheduler bookkeeping: {large_cost * 1e6:.1f} us per job at 100,000 jobs "
              f"({small_cost * 1e6:.1f} us at 10,000), peak traced memory {peak / 2**20:.0f} MiB "
              f"({peak / 100_001:.0f} bytes per job)")


if __name__ == "__main__":
    main()
