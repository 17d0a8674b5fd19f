"""A trivial job's cost through tolva against the floor: a minimal honest job loop in the
same run, on the same jobs.

The floor is a warm process that imported the module and forks each job, two at a
time: the child calls the function, writes value.json and result.json by temporary
file and rename, and reports its status by its exit code. tolva's cost is that of
`python -m tolva.run --jobs 2` (runner, warm server and jobs).

Counted per job, as the difference between runs of 400 and 200 jobs (so that what a
run pays once, imports and the server's start, drops out): minor page faults summed
over every process of the run (the count repeats within about 1% where wall time
does not), CPU and wall time. Faults and CPU come from the run's rusage, children
included, which holds every process the run waited for. Targets: tolva at most 1.5
times the floor in faults and in wall time per job; and with --isolation worker
(long-lived workers, measured in the same run) at least 20 times the throughput of
the default mode.
"""

import json
import os
import subprocess
import sys
import time

from timing import abba, scratch_project

MODULE = """
from tolva import asset, partitions

N = int(__import__("os").environ["FLOOR_JOBS"])


@asset(partitions={"n": partitions(list(range(N)))})
def job(n):
    return n
"""

# The floor: ~40 lines that do what a job must, and nothing more.
FLOOR = r'''
import json, os, sys

sys.path.insert(0, os.getcwd())
import trivial

fn, out, count = trivial.job.__tolva_original__, sys.argv[1], int(os.environ["FLOOR_JOBS"])


def write(path, text):
    temporary = path + ".tmp"
    with open(temporary, "w") as f:
        f.write(text)
    os.replace(temporary, path)


def child(n):
    folder = os.path.join(out, "job", f"n={n}")
    os.makedirs(folder, exist_ok=True)
    value = fn(n=n)
    write(os.path.join(folder, "value.json"), json.dumps(value))
    write(os.path.join(folder, "result.json"), json.dumps({"ok": True, "value_path": "value.json"}))
    os._exit(0)


running, failed = set(), 0
for n in range(count):
    while len(running) >= 2:
        pid, status = os.wait()
        running.discard(pid)
        failed += status != 0
    pid = os.fork()
    if pid == 0:
        child(n)
    running.add(pid)
while running:
    pid, status = os.wait()
    running.discard(pid)
    failed += status != 0
sys.exit(1 if failed else 0)
'''


def measured(argv, cwd, env):
    """(minor faults, CPU seconds, wall seconds) of a command and every process it
    waited for."""
    start = time.perf_counter()
    process = subprocess.Popen(argv, cwd=cwd, env=env, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - start
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0:
        raise SystemExit(f"{' '.join(argv)} failed with {process.returncode}")
    return usage.ru_minflt, usage.ru_utime + usage.ru_stime, wall


def per_job(run, small=200, large=400):
    """Faults, CPU and wall time per job: the difference of two sizes."""
    a = run(small)
    b = run(large)
    return [(y - x) / (large - small) for x, y in zip(a, b)]


def main():
    with scratch_project({"trivial.py": MODULE, "floor.py": FLOOR}) as project:
        counter = iter(range(10_000))

        def env(count):
            return dict(os.environ, FLOOR_JOBS=str(count), PYTHONPATH=str(project))

        def tolva(count, *options):
            return measured([sys.executable, "-m", "tolva.run", "trivial", "--jobs", "2", *options, "--out",
                             f"t{next(counter)}"], project, env(count))

        def floor(count):
            return measured([sys.executable, "floor.py", f"f{next(counter)}"], project, env(count))

        samples = {"floor": [], "tolva": [], "worker": []}

        def sample(name, run):
            found = per_job(run)
            samples[name].append(found)
            return found[2]

        abba(lambda: sample("floor", floor), lambda: (sample("tolva", tolva), sample(
            "worker", lambda count: tolva(count, "--isolation", "worker")))[0], 2)
        median = {name: [sorted(s[i] for s in found)[len(found) // 2] for i in range(3)]
                  for name, found in samples.items()}
        for name, (faults, cpu, wall) in median.items():
            print(f"{name:<6} per job: {faults:7.0f} minor faults, {cpu * 1000:6.2f} ms CPU, {wall * 1000:6.2f} ms wall")
        (f_faults, _, f_wall), (t_faults, _, t_wall) = median["floor"], median["tolva"]
        print(f"tolva against the floor: faults {t_faults / f_faults:.2f} (target <= 1.5), "
              f"wall {t_wall / f_wall:.2f} (target <= 1.5)")
        print(f"--isolation worker: {t_wall / median['worker'][2]:.1f} times the default mode's throughput "
              "(target >= 20)")
        print(json.dumps(median))


if __name__ == "__main__":
    main()
