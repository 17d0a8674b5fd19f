"""The Dask executor: each job a task of a Dask cluster, on a worker that shares the
file system holding OUT and the plan."""

import os
import signal as signals
import subprocess
import threading

from tolva import records
from tolva.executors import (CannotRun, Executor, Finished, dies_with_parent, job_argv, new_future, signal_group,
                             start_logged)


_DASK_CHILDREN = {}  # on a Dask worker: pid -> job id of the job processes it runs


def make(plan, plan_file, run_id, options):
    """The cluster (options.scheduler, or a local one of options.jobs workers) once
    every worker can run the plan's jobs; CannotRun saying why otherwise."""
    where = options.scheduler or "a local cluster"
    try:
        executor = DaskExecutor(plan, plan_file, run_id, options.scheduler, options.jobs)
    except ImportError as exc:
        raise CannotRun(f"--executor dask needs the distributed package ({exc}); pip install 'tolva[dask]'") from None
    except Exception as exc:
        from tolva import _cli

        raise CannotRun(f"cannot reach the Dask scheduler at {where}: {_cli.describe(exc)}") from None
    try:
        executor.check_workers(options.modules)
    except WorkersNotReady as lacking:
        executor.shutdown()
        raise CannotRun("workers must share the file system holding OUT and the plan, and have the project "
                        "importable:", *(f"  {line}" for line in lacking.args[0])) from None
    return executor


def _dask_task(argv, workdir, log, attempt, out, job_id, expect):
    """A job on a Dask worker: the plan's own command as a child process, in the
    plan's working directory, its output in the job's log."""
    from distributed import get_worker

    os.makedirs(os.path.dirname(log), exist_ok=True)
    command, preexec = dies_with_parent(argv)
    process = start_logged(command, workdir, log, attempt, preexec)
    _DASK_CHILDREN[process.pid] = job_id
    try:
        returncode = process.wait()
    finally:
        _DASK_CHILDREN.pop(process.pid, None)
    return Finished(returncode, records.read_job_state(out, job_id, expect), get_worker().address)


def _signal_dask_children(signum):
    for pid in list(_DASK_CHILDREN):
        signal_group(pid, signum)
    return len(_DASK_CHILDREN)


def _what_this_worker_lacks(plan_file, out, workdir, python, modules):
    """What a worker needs to run the plan's jobs and cannot see."""
    lacks = [f"the plan {plan_file}"] if not os.path.isfile(plan_file) else []
    lacks += [f"the output folder {out}"] if not os.path.isdir(out) else []
    lacks += [f"the working directory {workdir}"] if not os.path.isdir(workdir) else []
    if not os.access(python, os.X_OK):
        return lacks + [f"the interpreter {python}"]
    if not lacks:
        check = subprocess.run([python, "-c", "import importlib, sys\nfor m in sys.argv[1:]: importlib.import_module(m)",
                                *modules], cwd=workdir, capture_output=True, text=True, timeout=300)
        if check.returncode != 0:
            last = (check.stderr.strip().splitlines() or ["?"])[-1]
            lacks.append(f"the modules {', '.join(modules)} ({last})")
    return lacks


class WorkersNotReady(Exception):
    """Some workers cannot run the plan's jobs: one line per worker."""


class DaskExecutor(Executor):
    """Each job is one Dask task that runs the job's own command from the plan on a
    worker; the runner submits a job once the jobs it needs succeeded, so a failed
    job's dependents are never submitted. A failed job is not retried by Dask; a task
    whose worker is lost is run again elsewhere, within Dask's allowed failures.
    Workers must share the file system that holds OUT and the plan."""

    def __init__(self, plan, plan_file, run_id, scheduler, workers):
        import logging

        import distributed

        self.run_id = run_id
        self.plan = plan
        self.plan_file = plan_file
        self.out = plan["out"]
        self.cluster = None
        if scheduler:
            self.client = distributed.Client(scheduler, timeout="30s")
        else:
            self.cluster = distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                                    host="127.0.0.1", dashboard_address=None,
                                                    silence_logs=logging.ERROR)
            self.client = distributed.Client(self.cluster)
        self.futures = {}  # job id -> Dask future
        self.lock = threading.Lock()

    def check_workers(self, modules):
        """Before anything is submitted: every worker sees the plan and OUT and imports
        the modules. Raises WorkersNotReady naming the workers and what they lack."""
        workers = self.client.scheduler_info()["workers"]
        if not workers:
            raise WorkersNotReady(["no worker is connected to the scheduler"])
        lacking = self.client.run(_what_this_worker_lacks, self.plan_file, self.out, self.plan["workdir"],
                                  self.plan["python"], list(modules))
        problems = [f"worker {address} lacks {', '.join(lacks)}" for address, lacks in sorted(lacking.items()) if lacks]
        if problems:
            raise WorkersNotReady(problems)

    def submit(self, job, attempt=1, force=False):
        future = new_future()
        log = records.log_path(self.out, job["id"])
        expect = {"plan_id": self.plan["id"], "run_id": self.run_id, "attempt": attempt}
        task = self.client.submit(_dask_task, job_argv(job, force, self.run_id, attempt), self.plan["workdir"], log,
                                  attempt, self.out, job["id"], expect, pure=False, retries=0,
                                  key=f"tolva-{job['id']}-{attempt}-{os.urandom(4).hex()}")
        with self.lock:
            self.futures[job["id"]] = task
        task.add_done_callback(lambda done, job_id=job["id"]: future.set_result(self._finished(job_id, done)))
        return future

    def _finished(self, job_id, task):
        with self.lock:
            self.futures.pop(job_id, None)
        if task.status == "finished":
            return task.result()
        if task.status == "cancelled":
            return Finished(-int(signals.SIGTERM), None)
        exc = task.exception()
        reason = f"{type(exc).__name__}: {exc}"
        return Finished(1, {"status": "failed", "error_type": type(exc).__name__, "error": reason})

    def signal(self, signum):
        with self.lock:
            outstanding = list(self.futures.values())
        self.client.cancel(outstanding)
        try:
            self.client.run(_signal_dask_children, int(signum))
        except Exception:
            pass  # a worker that cannot be reached has lost its jobs with it

    def shutdown(self):
        self.client.close()
        if self.cluster is not None:
            self.cluster.close()
