"""The scheduler in-process, with a fake executor: which jobs start, in what order, how
many at once, and what each job's outcome becomes, whatever the executor reports."""

import io
import json
import signal
import threading
import time
from concurrent.futures import Future
from contextlib import redirect_stdout

import pytest

from tolva import fingerprint, incremental, recorder, records, scheduler

#   a ─┬─> b ─> d
#      └─> c
JOBS = {"a": [], "b": ["a"], "c": ["a"], "d": ["b"]}


class FakeExecutor:
    """Ends each job with what outcome(job id, attempt) says, one at a time, from a
    thread of its own once the runner has had time to submit more: a runner that
    submitted past its cap would be caught with more jobs outstanding."""

    def __init__(self, outcome):
        self.outcome, self.started, self.pending, self.most = outcome, [], [], 0
        self.wake = threading.Condition()
        threading.Thread(target=self._release, daemon=True).start()

    def submit(self, job, attempt=1, force=False):
        future = Future()
        with self.wake:
            self.started.append((job["id"], attempt))
            self.pending.append((future, records.Finished(*self.outcome(job["id"], attempt))))
            self.most = max(self.most, len(self.pending))
            self.wake.notify()
        return future

    def _release(self):
        while True:
            with self.wake:
                self.wake.wait_for(lambda: self.pending)
            time.sleep(0.005)
            with self.wake:
                future, finished = self.pending.pop(0)
            future.set_result(finished)

    def signal(self, signum):
        pass

    def shutdown(self):
        pass


def succeeded(job_id, attempt):
    return 0, {"status": "succeeded"}


def run(tmp_path, outcome, retries=0, max_jobs=1):
    out = str(tmp_path)
    plan = {"version": 2, "id": "p", "out": out, "jobs": [
        {"id": job_id, "asset": job_id, "partition": {}, "dependencies": deps, "output_dir": f"{out}/{job_id}",
         "inputs": [{"parameter": "x", "mode": "value", "from": [d]} for d in deps]} for job_id, deps in JOBS.items()]}
    project = fingerprint.Project([out])
    decider = incremental.Decider(project, fingerprint.CodeFingerprints(project), lambda job: None)
    executor = FakeExecutor(outcome)
    options = scheduler.RunOptions(max_jobs=max_jobs, retries=retries)
    with redirect_stdout(io.StringIO()):
        the_run = scheduler.Run(plan, executor, decider, options,
                                recorder.RunRecorder(plan, f"{out}/plan.json", list(JOBS), "local", options.run_id,
                                                     None))
        code = the_run.execute()
    jobs = {j["id"]: j for j in json.loads((tmp_path / "run.json").read_text())["jobs"]}
    return code, executor, jobs, the_run


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
    got, executor, jobs, _ = run(tmp_path, outcome, retries)
    assert (got, [jobs[j]["status"] for j in JOBS], executor.started) == (code, statuses.split(), started)
    assert executor.most == 1  # b and c are ready together; the cap keeps one at a time
    crashed = records.read_job_state(str(tmp_path), "c")  # the job's own record, written by the runner
    assert (crashed is not None) == (jobs["c"]["status"] == "failed")
    if crashed:
        assert crashed["error"] == jobs["c"]["error"] == "the job was killed by signal SIGSEGV after recording success"


def test_a_signal_inside_finish_leaves_the_finished_job_recorded_as_it_ended(tmp_path, monkeypatch):
    """The handler only notes the signal: the job whose end was being recorded keeps its
    outcome, and the run stops before starting another."""
    the_run = []
    own_duration = scheduler.own_duration

    def signalled_midway(state):
        if not the_run:
            the_run.append(True)
            handler = signal.getsignal(signal.SIGTERM)
            handler(signal.SIGTERM, None)
        return own_duration(state)

    monkeypatch.setattr(scheduler, "own_duration", signalled_midway)
    code, executor, jobs, _ = run(tmp_path, succeeded)
    assert (code, [jobs[j]["status"] for j in JOBS], executor.started) == (
        130, ["succeeded", "cancelled", "cancelled", "cancelled"], [("a", 1)])
