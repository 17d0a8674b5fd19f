"""The scheduler in-process, with a fake executor: which jobs start, in what order, how
many at once, and what each job's outcome becomes, whatever the executor reports."""

import io
import json
from concurrent.futures import Future
from contextlib import redirect_stdout

import pytest

from tolva import fingerprint, incremental, records, scheduler

#   a ─┬─> b ─> d
#      └─> c
JOBS = {"a": [], "b": ["a"], "c": ["a"], "d": ["b"]}


class FakeExecutor:
    """Finishes each job at once with what outcome(job id, attempt) says, and counts
    the jobs it has outstanding."""

    def __init__(self, outcome):
        self.outcome, self.started, self.outstanding, self.most = outcome, [], 0, 0

    def submit(self, job, attempt=1, force=False):
        self.started.append((job["id"], attempt))
        self.outstanding += 1
        self.most = max(self.most, self.outstanding)
        future = Future()
        future.add_done_callback(lambda _: setattr(self, "outstanding", self.outstanding - 1))
        future.set_result(records.Finished(*self.outcome(job["id"], attempt)))
        return future

    def signal(self, signum):
        pass

    def shutdown(self):
        pass


def succeeded(job_id, attempt):
    return 0, {"status": "succeeded"}


def run(tmp_path, outcome, retries=0, max_jobs=2):
    out = str(tmp_path)
    plan = {"version": 2, "id": "p", "out": out, "jobs": [
        {"id": job_id, "asset": job_id, "partition": {}, "dependencies": deps, "output_dir": f"{out}/{job_id}",
         "inputs": [{"parameter": "x", "mode": "value", "from": [d]} for d in deps]} for job_id, deps in JOBS.items()]}
    project = fingerprint.Project([out])
    decider = incremental.Decider(project, fingerprint.CodeFingerprints(project), lambda job: None)
    executor = FakeExecutor(outcome)
    with redirect_stdout(io.StringIO()):
        code = scheduler.Run(plan, f"{out}/plan.json", max_jobs, list(JOBS), executor, decider, retries).execute()
    jobs = {j["id"]: j for j in json.loads((tmp_path / "run.json").read_text())["jobs"]}
    return code, executor, jobs


@pytest.mark.parametrize(
    "outcome, retries, code, statuses, started",
    [
        (succeeded, 0, 0, "succeeded " * 4, [("a", 1), ("b", 1), ("c", 1), ("d", 1)]),
        (lambda j, n: (1, {"status": "failed", "error": "no"}) if j == "b" else succeeded(j, n), 0, 1,
         "succeeded failed succeeded skipped", [("a", 1), ("b", 1), ("c", 1)]),
        (lambda j, n: (1, {"status": "failed"}) if (j, n) == ("a", 1) else succeeded(j, n), 1, 0,
         "succeeded " * 4, [("a", 1), ("a", 2), ("b", 1), ("c", 1), ("d", 1)]),
        (lambda j, n: (-11, {"status": "succeeded"}) if j == "c" else succeeded(j, n), 0, 1,
         "succeeded succeeded failed succeeded", [("a", 1), ("b", 1), ("c", 1), ("d", 1)]),
    ],
    ids=["all succeed", "a failure skips its dependents only", "a retry", "a crash after recording success"],
)
def test_the_scheduler_starts_and_records_jobs(tmp_path, outcome, retries, code, statuses, started):
    got, executor, jobs = run(tmp_path, outcome, retries)
    assert (got, [jobs[j]["status"] for j in JOBS], executor.started) == (code, statuses.split(), started)
    assert executor.most <= 2
    crashed = records.read_job_state(str(tmp_path), "c")  # the job's own record, written by the runner
    assert (crashed is not None) == (jobs["c"]["status"] == "failed")
    if crashed:
        assert crashed["error"] == jobs["c"]["error"] == "the job was killed by signal SIGSEGV after recording success"
