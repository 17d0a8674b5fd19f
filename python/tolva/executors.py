"""Executors: how each job of a plan gets a process. Every executor ends in the same
job function (job.run_job, the function behind the plan's job command), so runs
cannot drift apart.

An executor is a concurrent.futures.Executor in spirit: submit(job) returns a Future
whose result is Finished(exit status, the job's own state record, where it ran);
submit(job, attempt, force) appends a later attempt to the job's log;
signal(signum) reaches every job still running. Adding one touches this file only.
"""

import os
import queue
import signal as signals
import subprocess
import threading

from tolva import records

Finished = records.Finished


def _future():
    # concurrent.futures brings logging along: loaded only once a job has to run.
    from concurrent.futures import Future

    return Future()


def signal_group(pid, signum, leader_too=True):
    """Signals a job's process group (it leads one), or the job alone when it has not
    made its group yet (leader_too: when the job itself has ended, only its group)."""
    try:
        os.killpg(pid, signum)
    except ProcessLookupError:
        if not leader_too:
            return
        try:
            os.kill(pid, signum)
        except ProcessLookupError:
            pass


class _RunningJobs:
    """The pids of the jobs an executor has running, for signals from any thread."""

    def __init__(self):
        self.pids = {}  # job id -> pid
        self.lock = threading.Lock()

    def started(self, job_id, pid):
        with self.lock:
            self.pids[job_id] = pid

    def ended(self, job_id):
        with self.lock:
            self.pids.pop(job_id, None)

    def signal(self, signum):
        with self.lock:
            pids = list(self.pids.values())
        for pid in pids:
            signal_group(pid, signum)


def children():
    """The PIDs of this process's children, from /proc."""
    me, found = os.getpid(), []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat", "rb") as f:
                    if int(f.read().rsplit(b")", 1)[1].split()[1]) == me:
                        found.append(int(entry))
            except (OSError, IndexError, ValueError):
                pass
    return found


def end_orphans(keep):
    """Ends the processes that jobs left behind and that came to this process (a child
    subreaper), daemons that left their job's group included: every child not in keep.
    Each is waited for by its own PID, never by a wait for any child."""
    for _ in range(100):  # an orphan's own children come here in turn
        orphans = [pid for pid in children() if pid not in keep]
        if not orphans:
            return
        for pid in orphans:
            try:
                os.kill(pid, signals.SIGKILL)
                os.waitpid(pid, 0)
            except (ProcessLookupError, ChildProcessError):
                pass


class _LocalExecutor(_RunningJobs):
    """Runs a plan's jobs as processes on this machine. The runner becomes a child
    subreaper: what a job leaves running, in its process group or detached from it,
    comes back to the runner and is ended when the job ends."""

    def __init__(self, plan, plan_file, run_id):
        super().__init__()
        self.plan = plan
        self.plan_file = plan_file
        self.out = plan["out"]
        self.run_id = run_id
        self.spawning = threading.Lock()  # a job being started is not taken for an orphan
        # Children the runner had before (started by the user's modules at import, say)
        # are not left over by a job.
        self.before = set(children())
        try:
            _prctl()(36, 1)  # PR_SET_CHILD_SUBREAPER
        except (OSError, AttributeError):
            pass

    def keep(self):
        """The runner's own children that are not left over: the running jobs, and the
        children it had before."""
        with self.lock:
            return set(self.pids.values()) | self.before

    def _resolve(self, job, attempt, returncode, future):
        """The job's process has ended: what it left behind is ended too, and its Future
        gets the status and the job's record, if the record is this attempt's."""
        with self.lock:
            pid = self.pids.pop(job["id"], None)
        if pid is not None:
            signal_group(pid, signals.SIGKILL, leader_too=False)
        with self.spawning:
            end_orphans(self.keep())
        expect = {"plan_id": self.plan["id"], "run_id": self.run_id, "attempt": attempt}
        future.set_result(Finished(returncode, records.read_job_state(self.out, job["id"], expect)))


class InterpreterExecutor(_LocalExecutor):
    """A fresh interpreter per job, running the plan's own argv: for modules that are
    not safe to fork (threads or connections opened at import)."""

    def submit(self, job, attempt=1, force=False):
        future = _future()
        log = records.log_path(self.out, job["id"])
        command, preexec = _dies_with_parent(job_argv(job, force, self.run_id, attempt))
        with self.spawning:
            try:
                process = start_logged(command, self.plan["workdir"], log, attempt, preexec)
            except Exception as exc:
                future.set_result(not_started(exc))
                return future
            self.started(job["id"], process.pid)
        threading.Thread(target=lambda: self._resolve(job, attempt, process.wait(), future), daemon=True).start()
        return future

    def shutdown(self):
        end_orphans(self.before)


def job_argv(job, force, run_id, attempt):
    return job["argv"] + (["--force"] if force else []) + ["--run-id", run_id, "--attempt", str(attempt)]


def attempt_header(attempt):
    return f"--- attempt {attempt} ---\n".encode() if attempt > 1 else b""


def not_started(exc):
    """A job whose process could not be started (its log cannot be made, say) has failed."""
    return Finished(1, {"status": "failed", "error_type": "NotStarted", "error": f"{type(exc).__name__}: {exc}"})


def open_log(log, attempt):
    """The job's log, opened for the job's output, never through a link: made anew for a
    first attempt, appended to, under its header, for a later one."""
    os.makedirs(os.path.dirname(log), exist_ok=True)
    fd = records.open_for_writing(log, os.O_WRONLY | os.O_CREAT | (os.O_APPEND if attempt > 1 else os.O_TRUNC))
    os.write(fd, attempt_header(attempt))
    return fd


def start_logged(argv, workdir, log, attempt, preexec_fn=None):
    """Starts a job's command with its output in the job's log (a later attempt is
    appended), in a session of its own: the terminal's Ctrl-C reaches the runner only,
    which then ends the job's whole process group."""
    with open(open_log(log, attempt), "ab") as log_file:
        return subprocess.Popen(argv, stdout=log_file, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, cwd=workdir,
                                start_new_session=True, preexec_fn=preexec_fn)


def _forked_job(plan_file, job_id, log, attempt, force, run_id):
    """A job's process, forked from the warm server: its own session, standard output
    and error into the log at the descriptor level, then the job function."""
    import sys

    os.setsid()
    _release_server()
    _die_with_parent()
    fd = records.open_for_writing(log, os.O_WRONLY | os.O_APPEND)  # made by the executor
    null = os.open(os.devnull, os.O_RDONLY)
    os.dup2(null, 0)
    os.dup2(fd, 1)
    os.dup2(fd, 2)
    os.close(fd)
    os.close(null)
    from tolva import job

    code = job.run_job(plan_file, job_id, force, run_id, attempt)
    sys.stdout.flush()
    sys.stderr.flush()
    sys.exit(code)


def _release_server():
    """Every forked child holds the write end of the server's "alive" pipe, which keeps
    the server up while any child lives. A job lets go of it, so the server ends with
    the runner, and its jobs with the server (below)."""
    from multiprocessing import forkserver

    server = forkserver._forkserver
    if server._forkserver_alive_fd is not None:
        os.close(server._forkserver_alive_fd)
        server._forkserver_alive_fd = None


def _prctl():
    import ctypes

    return ctypes.CDLL(None, use_errno=True).prctl


def _death_signal_setter():
    """A function that has the process calling it killed when its parent ends
    (PR_SET_PDEATHSIG). libc is loaded here, so a forked child can call it without
    importing anything."""
    prctl = _prctl()
    return lambda: prctl(1, int(signals.SIGKILL))


def _die_with_parent():
    """The server's children die with it, and the server ends with the runner: no job
    outlives a runner that was killed outright."""
    try:
        _death_signal_setter()()
    except (OSError, AttributeError):
        pass


class ForkExecutor(_LocalExecutor):
    """Each job is forked from a server process that has already imported the
    pipeline's modules and everything a job needs, with multiprocessing's forkserver;
    the runner itself, which has threads, is never forked.

    One thread owns every Process object: it starts them and waits on their
    sentinels. multiprocessing polls all its children whenever one starts, and a
    second thread reading the same exit status would find it gone."""

    PRELOAD = ["json", "inspect", "pathlib", "importlib", "traceback", "ctypes", "_tolva",
               "tolva", "tolva.records", "tolva.fingerprint", "tolva.observe", "tolva.incremental", "tolva.worker",
               "tolva.job", "tolva.executors"]

    def __init__(self, plan, plan_file, run_id, modules):
        import multiprocessing

        super().__init__(plan, plan_file, run_id)
        self.context = multiprocessing.get_context("forkserver")
        self.context.set_forkserver_preload(self.PRELOAD + list(modules))
        self.requests = queue.SimpleQueue()
        self.wake_r, self.wake_w = os.pipe()
        self.thread = threading.Thread(target=self._serve, name="tolva jobs", daemon=True)
        self.thread.start()

    def submit(self, job, attempt=1, force=False):
        future = _future()
        self.requests.put((job, future, attempt, force))
        os.write(self.wake_w, b"j")
        return future

    def keep(self):
        """Jobs are the server's children; the runner's are the server and its helpers."""
        from multiprocessing import forkserver, resource_tracker

        server = getattr(forkserver._forkserver, "_forkserver_pid", None)
        tracker = getattr(resource_tracker._resource_tracker, "_pid", None)
        return super().keep() | {pid for pid in (server, tracker) if pid}

    def shutdown(self):
        self.requests.put(None)
        os.write(self.wake_w, b"q")
        self.thread.join()
        os.close(self.wake_r)
        os.close(self.wake_w)
        with self.spawning:
            end_orphans(self.keep())

    def _serve(self):
        from multiprocessing.connection import wait

        running = {}  # sentinel -> (job, process, future)
        while True:
            for ready in wait([self.wake_r, *running]):
                if ready != self.wake_r:
                    self._finish(*running.pop(ready))
                    continue
                os.read(self.wake_r, 4096)
                while not self.requests.empty():
                    request = self.requests.get()
                    if request is None:
                        return
                    started = self._start(*request)
                    if started is not None:
                        running[started[1].sentinel] = started

    def _start(self, job, future, attempt, force):
        log = records.log_path(self.out, job["id"])
        try:
            os.close(open_log(log, attempt))
            process = self.context.Process(target=_forked_job,
                                           args=(self.plan_file, job["id"], log, attempt, force, self.run_id),
                                           name=f"tolva job {job['id']}")
            process.start()
        except Exception as exc:
            future.set_result(not_started(exc))
            return None
        self.started(job["id"], process.pid)
        return job, process, future, attempt

    def _finish(self, job, process, future, attempt):
        process.join()
        code = process.exitcode
        process.close()
        self._resolve(job, attempt, code, future)


def make_executor(isolation, plan, plan_file, run_id, modules):
    if isolation == "fork":
        return ForkExecutor(plan, plan_file, run_id, modules)
    return InterpreterExecutor(plan, plan_file, run_id)


# --- Dask ------------------------------------------------------------------------

_DASK_CHILDREN = {}  # on a Dask worker: pid -> job id of the job processes it runs


def _dies_with_parent(argv):
    """The job's process dies with the runner or worker that started it (killed, out of
    memory): a lost parent leaves no job running behind it. setpriv sets PR_SET_PDEATHSIG and
    execs the job, which lets Python spawn it without copying the worker (no
    preexec_fn); where it is missing, prctl runs in the forked child instead."""
    import shutil

    setpriv = shutil.which("setpriv")
    if setpriv:
        return [setpriv, "--pdeathsig", "KILL", "--", *argv], None
    return argv, _death_signal_setter()


def _dask_task(argv, workdir, log, attempt, out, job_id, expect):
    """A job on a Dask worker: the plan's own command as a child process, in the
    plan's working directory, its output in the job's log."""
    from distributed import get_worker

    os.makedirs(os.path.dirname(log), exist_ok=True)
    command, preexec = _dies_with_parent(argv)
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


class DaskExecutor:
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
        future = _future()
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
