"""What the benchmarks share: a command timed, and a baseline against a candidate timed
in the order baseline, candidate, candidate, baseline, so that a machine speeding up
or slowing down favours neither."""

import contextlib
import pathlib
import statistics
import subprocess
import tempfile
import time


def timed(argv, cwd, env=None):
    """Seconds the command takes, its output dropped; it must succeed."""
    start = time.perf_counter()
    subprocess.run(argv, cwd=cwd, env=env, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def abba(baseline, candidate, rounds):
    """Medians of both, timed baseline, candidate, candidate, baseline."""
    base, cand = [], []
    for _ in range(rounds):
        base.append(baseline())
        cand += [candidate(), candidate()]
        base.append(baseline())
    return statistics.median(base), statistics.median(cand)


@contextlib.contextmanager
def scratch_project(files):
    """A temporary folder holding files ({name: text}), removed afterwards."""
    with tempfile.TemporaryDirectory() as directory:
        project = pathlib.Path(directory)
        for name, text in files.items():
            (project / name).write_text(text)
        yield project
