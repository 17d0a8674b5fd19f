"""The Dask executor: each job a task of a Dask cluster, on a worker that shares the
file system holding OUT and the plan. distributed, threading and subprocess are
imported when the executor is made."""

import _thread
import os
import signal as signals

from tolva import layout, records
from tolva.executors import CannotRun, Executor, Finished, new_future
from tolva.executors.processes import dies_with_parent, job_argv, open_log, signal_group, start_logged
from tolva.planfile import job_entry, plan_header, write_job_files

NAME = "dask"
HELP = "dask: jobs as tasks of a Dask cluster"
lazy = False  # the cluster and its workers are checked before anything runs
same_environment = False  # its jobs see their workers' environments, which the runner does not


def add_options(parser):
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="with --executor dask: the cluster's scheduler (tcp://HOST:PORT; default "
                             "$DASK_SCHEDULER_ADDRESS); without either, a local cluster of --jobs worker processes")
    parser.add_argument("--scheduler-file", metavar="FILE",
                        help="with --executor dask: the scheduler file a scheduler wrote (dask scheduler "
                             "--scheduler-file FILE)")


def configure(error, options, chosen):
    """The cluster's scheduler from --scheduler, --scheduler-file or DASK_SCHEDULER_ADDRESS."""
    if not chosen:
        for given, flag in ((options.scheduler, "--scheduler"), (options.scheduler_file, "--scheduler-file")):
            if given:
                error(f"{flag} goes with --executor dask")
        return
    if options.scheduler and options.scheduler_file:
        error("--scheduler and --scheduler-file name the same thing; give one")
    if options.scheduler_file:
        options.scheduler = _scheduler_in_file(error, options.scheduler_file)
    options.scheduler = options.scheduler or os.environ.get("DASK_SCHEDULER_ADDRESS") or None
    if options.scheduler and options.jobs is not None:
        error("--jobs goes with a local cluster; on a scheduler's cluster its workers' threads decide how many "
              "jobs run at once")


def _scheduler_in_file(error, path):
    import json

    try:
        with open(path, encoding="utf-8") as f:
            info = json.load(f)
    except (OSError, ValueError) as exc:
        error(f"cannot read the scheduler file {path}: {getattr(exc, 'strerror', None) or exc}")
    address = info.get("address") if isinstance(info, dict) else None
    if not isinstance(address, str) or not address:
        error(f"the scheduler file {path} names no address")
    return address


def in_flight(options, plan):
    """Every ready job: the cluster's workers decide how many run at once, so no worker
    waits for the runner between two jobs."""
    return max(1, len(plan["jobs"]))


def warming(options):
    import contextlib

    return contextlib.nullcontext()  # each worker starts the run's warm server as it is checked


def make(plan, plan_file, run_id, options):
    """The cluster (options.scheduler, or a local one of options.jobs workers) once
    every worker can run the plan's jobs; CannotRun saying why otherwise."""
    write_job_files(plan, plan_file)  # what each job's command reads of the plan, when it is not forked
    where = options.scheduler or "a local cluster"
    try:
        workers = max(1, min(options.jobs, len(plan["jobs"])))  # a local cluster: no more workers than jobs
        executor = DaskExecutor(plan, plan_file, run_id, options.scheduler, workers)
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


# On a Dask worker: run id -> the job processes it runs for that run (pid -> job id), and
# the signal that stopped the run, if one did. Several runs may share a worker.
_RUNS = {}
_RUNS_LOCK = _thread.allocate_lock()  # threading's Lock, without importing threading for the options
TASK_GRACE_SECONDS = 10  # a job whose task was cancelled or released gets this long after SIGTERM


class JobFailed(Exception):
    """A job that ran and did not succeed: its task ends in error, so that Dask's own
    views show it failed (the task is never retried: it is submitted with retries=0)."""


def _run_on_worker(run_id):
    return _RUNS.setdefault(run_id, {"children": {}, "stopped": None, "server": None,
                                     "server_lock": _thread.allocate_lock()})


def worker_name(worker):
    return str(worker.name) if worker.name not in (None, "") else worker.address


def limited_memory(argv, worker):
    """The worker's memory limit, when it has one, as the job's address-space limit: a
    job that allocates past it gets MemoryError (or dies), not the worker's machine."""
    import shutil

    limit = getattr(getattr(worker, "memory_manager", None), "memory_limit", None)
    prlimit = shutil.which("prlimit")
    if not limit or not prlimit:
        return argv
    return [prlimit, f"--as={int(limit)}", "--", *argv]


def _dask_task(argv, workdir, log, attempt, out, job_id, expect, run_id, warm=None):
    """A job on a Dask worker: forked from the run's warm server on this worker (warm:
    what it needs), or the plan's own command as a fresh process when there is none;
    in the plan's working directory, its output in the job's log, its run's to signal.
    A job that succeeded returns nothing: its record (naming this worker) is all the
    runner reads, from the shared file system, sparing it fetching a result per job.
    Any other ending raises JobFailed."""
    from distributed import get_worker
    from distributed.worker import thread_state

    worker = get_worker()
    name = worker_name(worker)
    # A record of this very attempt: a copy of the task started before (on a worker since
    # lost, or past its time-to-live); its log is kept, and this start appended to it.
    again = name if records.read_job_state(out, job_id, expect) is not None else None
    with _RUNS_LOCK:
        run = _run_on_worker(run_id)
    server = _warm_server(run, workdir, warm, worker) if warm else None
    with _RUNS_LOCK:
        if run["stopped"] is not None:
            raise JobFailed(Finished(-run["stopped"], None, name))
        process = None
        if server is not None:
            os.close(open_log(log, attempt, again))
            process = server.start(dict(warm["request"], log=log, worker=name))
            again = again or (name if process is None else None)  # keep what the log has
        if process is None:
            command, preexec = dies_with_parent(limited_memory(argv + ["--worker", name], worker))
            process = start_logged(command, workdir, log, attempt, preexec, again)
        run["children"][process.pid] = job_id
    try:
        returncode = _wait_while_wanted(process, worker, getattr(thread_state, "key", None))
    finally:
        with _RUNS_LOCK:
            run["children"].pop(process.pid, None)
    finished = Finished(returncode, records.read_job_state(out, job_id, expect), name)
    if returncode != 0 or finished.state is None or finished.state.get("status") not in records.DONE:
        raise JobFailed(finished)


def _warm_server(run, workdir, warm, worker):
    """The run's warm server on this worker, started by its first job here: it has
    imported the plan's modules, and forks each job. None when it cannot be started
    (the jobs then start fresh interpreters)."""
    from tolva.executors import fork_server

    with run["server_lock"]:
        server = run["server"]
        if server is False or (server is not None and server.ready()):
            return server or None
        command, preexec = dies_with_parent(limited_memory([warm["python"]], worker))
        try:
            server = fork_server.Server.spawn(command, workdir, warm["modules"], preexec_fn=preexec)
        except OSError:
            server = None
        run["server"] = server if server is not None and server.ready() else False
        return run["server"] or None


def _end_run(run_id):
    """At the end of a run: its warm server on this worker ends."""
    with _RUNS_LOCK:
        run = _RUNS.pop(run_id, None)
    server = (run or {}).get("server")
    if server:
        server.end()


def _wait_while_wanted(process, worker, key):
    """Waits for the job; ends it when its task is cancelled or released (its run
    stopped, or the scheduler gave the task to another worker)."""
    import subprocess

    ending = None
    while True:
        try:
            return process.wait(timeout=1.0)
        except subprocess.TimeoutExpired:
            pass
        task = worker.state.tasks.get(key) if key is not None else None
        if key is not None and (task is None or task.state in ("cancelled", "released", "forgotten")):
            import time

            if ending is None:
                ending = time.monotonic()
                signal_group(process.pid, signals.SIGTERM)
            elif time.monotonic() - ending > TASK_GRACE_SECONDS:
                signal_group(process.pid, signals.SIGKILL)


def _signal_run(run_id, signum):
    """Signals the job processes this worker runs for one run, and starts no more of
    them; returns the ids of the jobs it signalled."""
    with _RUNS_LOCK:
        run = _run_on_worker(run_id)
        run["stopped"] = signum
        children = dict(run["children"])
    for pid in children:
        signal_group(pid, signum)
    return sorted(children.values())


def _what_this_worker_lacks(run_id, checks, warm, worker):
    """What a worker needs to run the plan's jobs and cannot see. The modules are
    checked by starting the run's warm server here, which imports them: the check
    leaves the server ready for the run's first job on this worker."""
    plan_file, out, workdir, python = checks
    lacks = [f"the plan {plan_file}"] if not os.path.isfile(plan_file) else []
    lacks += [f"the output folder {out}"] if not os.path.isdir(out) else []
    lacks += [f"the working directory {workdir}"] if not os.path.isdir(workdir) else []
    if not os.access(python, os.X_OK):
        return lacks + [f"the interpreter {python}"]
    if lacks:
        return lacks
    with _RUNS_LOCK:
        run = _run_on_worker(run_id)
    server = _warm_server(run, workdir, warm, worker)
    failures = server.failures if server is not None else _import_failures(python, workdir, warm["modules"])
    if failures:
        with run["server_lock"]:
            if server is not None:
                server.end()
            run["server"] = False
        return [f"the modules {', '.join(warm['modules'])} ({failures[0]})"]
    return []


def _import_failures(python, workdir, modules):
    """Why the modules do not import in a fresh interpreter (where no warm server came up)."""
    import subprocess

    check = subprocess.run([python, "-c", "import importlib, sys\nfor m in sys.argv[1:]: importlib.import_module(m)",
                            *modules], cwd=workdir, capture_output=True, text=True, timeout=300)
    return [(check.stderr.strip().splitlines() or ["?"])[-1]] if check.returncode != 0 else []


def _check(run_id, checks, warm, worker):
    """The readiness check of a worker: what it lacks, kept for _checked."""
    lacks = _what_this_worker_lacks(run_id, checks, warm, worker)
    with _RUNS_LOCK:
        _run_on_worker(run_id)["lacks"] = lacks
    return lacks


def _checked(run_id, checks, warm, dask_worker=None):
    """What this worker lacks, as its readiness check found (made now if it has not run)."""
    with _RUNS_LOCK:
        lacks = _RUNS.get(run_id, {}).get("lacks")
    return lacks if lacks is not None else _what_this_worker_lacks(run_id, checks, warm, dask_worker)


class WorkersNotReady(Exception):
    """Some workers cannot run the plan's jobs: one line per worker."""


def _readiness_plugin(run_id, checks, warm):
    """A worker plugin that checks every worker, those that join mid-run too, and gives
    the ones that can run the plan's jobs the run's resource: its tasks need it, so a
    worker without the project never gets one."""
    from distributed import WorkerPlugin

    class Readiness(WorkerPlugin):
        name = f"tolva-ready-{run_id}"

        async def setup(self, worker):
            import asyncio

            lacks = await asyncio.get_running_loop().run_in_executor(None, _check, run_id, checks, warm, worker)
            if not lacks:
                await worker.set_resources(**{resource_of(run_id): 1e9})

    return Readiness()


def resource_of(run_id):
    return f"tolva-{run_id}"


class DaskExecutor(Executor):
    """Each job is one Dask task that runs the job's own command from the plan on a
    worker; the runner submits a job once the jobs it needs succeeded, so a failed
    job's dependents are never submitted. A failed job's task ends in error and is not
    retried by Dask; a task whose worker is lost is run again elsewhere, within Dask's
    allowed failures. Workers must share the file system that holds OUT and the plan."""

    def __init__(self, plan, plan_file, run_id, scheduler, workers):
        import logging
        import threading

        import distributed

        # The run says itself what became of its jobs and of the cluster, in one line each.
        for name in [n for n in logging.root.manager.loggerDict if n.split(".")[0] == "distributed"]:
            logging.getLogger(name).setLevel(logging.CRITICAL + 1)
        logging.getLogger("distributed").setLevel(logging.CRITICAL + 1)

        self.run_id = run_id
        self.plan = plan
        self.plan_file = plan_file
        self.out = plan["out"]
        self.cluster = None
        if scheduler:
            self.address = scheduler
            self.client = distributed.Client(scheduler, timeout="30s")
        else:
            self.cluster = distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                                    host="127.0.0.1", dashboard_address=None,
                                                    silence_logs=logging.ERROR)
            self.client = distributed.Client(self.cluster)
            self.address = self.cluster.scheduler_address
        self.header = plan_header(plan)  # with each job's own entry, for a job forked on a worker
        self.by_id = {job["id"]: job for job in plan["jobs"]}
        self.futures = {}  # job id -> Dask future
        self.lock = threading.Lock()
        self.stopping = False
        self.lost = False
        self.plugin = None
        self.warm = None  # the interpreter and modules of the run's warm server on each worker

    def check_workers(self, modules):
        """Before anything is submitted: every worker sees the plan and OUT and imports
        the modules. Raises WorkersNotReady naming the workers and what they lack. Then
        workers that join later are checked as they join."""
        workers = self.client.scheduler_info()["workers"]
        if not workers:
            raise WorkersNotReady(["no worker is connected to the scheduler"])
        importable = self.client.run(_find_tolva, on_error="return")
        problems = [f"worker {address} cannot import tolva: install tolva into the Python the worker runs"
                    for address, found in sorted(importable.items()) if found is not True]
        if problems:
            raise WorkersNotReady(problems)
        checks = (self.plan_file, self.out, self.plan["workdir"], self.plan["python"])
        self.warm = {"python": self.plan["python"], "modules": list(modules)}
        self.plugin = _readiness_plugin(self.run_id, checks, self.warm)
        self.client.register_plugin(self.plugin)
        lacking = self.client.run(_checked, self.run_id, checks, self.warm)
        problems = [f"worker {address} lacks {', '.join(lacks)}" for address, lacks in sorted(lacking.items()) if lacks]
        if problems:
            raise WorkersNotReady(problems)

    def submit(self, job, attempt=1, force=False):
        future = new_future()
        log = layout.log_path(self.out, job["id"])
        expect = {"plan_id": self.plan["id"], "run_id": self.run_id, "attempt": attempt}
        warm = dict(self.warm, request={"plan_file": self.plan_file, "job_id": job["id"], "force": force,
                                        "run_id": self.run_id, "attempt": attempt,
                                        "entry": job_entry(self.header, self.plan_file, job, self.by_id)})
        # Named for the asset, so that Dask's dashboard groups the tasks by asset.
        task = self.client.submit(_dask_task, job_argv(job, force, self.run_id, attempt), self.plan["workdir"], log,
                                  attempt, self.out, job["id"], expect, self.run_id, warm, pure=False, retries=0,
                                  key=f"{job['asset']}-{os.urandom(8).hex()}",
                                  resources={resource_of(self.run_id): 1} if self.plugin else None)
        with self.lock:
            self.futures[job["id"]] = task
        task.add_done_callback(lambda done, job_id=job["id"]: future.set_result(self._finished(job_id, done, expect)))
        return future

    def _finished(self, job_id, task, expect):
        with self.lock:
            self.futures.pop(job_id, None)
        if task.status == "finished":
            state = records.read_job_state(self.out, job_id, expect)
            return Finished(0, state, (state or {}).get("worker"))
        if task.status == "cancelled":
            if not self.stopping:
                # Not cancelled by this run: the client lost the scheduler.
                self.lost = True
                return Finished(None, None, None, f"lost the Dask scheduler at {self.address}")
            return Finished(-int(signals.SIGTERM), None)
        exc = task.exception()
        if isinstance(exc, JobFailed):
            return exc.args[0]
        reason = f"{type(exc).__name__}: {exc}"
        return Finished(1, {"status": "failed", "error_type": type(exc).__name__, "error": reason})

    def signal(self, signum):
        """Signals this run's own job processes, on every worker, and cancels the tasks
        that have none yet; a task whose job was signalled ends when the job does."""
        self.stopping = True
        try:
            signalled = self.client.run(_signal_run, self.run_id, int(signum), on_error="return")
        except Exception:
            signalled = {}  # a scheduler that cannot be reached has lost its jobs with it
        running = {job_id for jobs in signalled.values() if isinstance(jobs, list) for job_id in jobs}
        with self.lock:
            outstanding = [task for job_id, task in self.futures.items() if job_id not in running]
        try:
            self.client.cancel(outstanding)
        except Exception:
            pass

    def shutdown(self):
        if self.lost:
            self.client.close(timeout=1)  # not waiting for a scheduler that is gone
            return
        try:
            self.client.run(_end_run, self.run_id, on_error="ignore")
            if self.plugin is not None:
                self.client.unregister_worker_plugin(self.plugin.name)
        except Exception:
            pass
        self.client.close()
        if self.cluster is not None:
            self.cluster.close()


def _find_tolva():
    """Run on each worker before anything else: whether its Python has tolva."""
    import importlib.util

    return importlib.util.find_spec("tolva") is not None
