"""The local executors: jobs as processes of this machine, forked from a warm server
(the default) or each a fresh interpreter (--isolation interpreter)."""

import os
import queue
import selectors
import signal as signals
import threading

from tolva import job as jobs
from tolva import records
from tolva.executors import (Finished, RunningJobs, dies_with_parent, fork_server, job_argv, new_future, not_started,
                             open_log, prctl, signal_group, start_logged)


def make(plan, plan_file, run_id, options):
    if options.isolation == "fork":
        return ForkExecutor(plan, plan_file, run_id, options.modules)
    return InterpreterExecutor(plan, plan_file, run_id)


def children():
    """The PIDs of this process's children: from the kernel's list of each thread's
    children, or, where that is not kept, from every process's parent in /proc."""
    me = os.getpid()
    if os.path.exists(f"/proc/{me}/task/{me}/children"):
        found = []
        for thread in os.listdir(f"/proc/{me}/task"):
            try:
                with open(f"/proc/{me}/task/{thread}/children", "rb") as f:
                    found += [int(pid) for pid in f.read().split()]
            except FileNotFoundError:
                pass  # the thread has ended
        return found
    found = []
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


class _LocalExecutor(RunningJobs):
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
            prctl()(36, 1)  # PR_SET_CHILD_SUBREAPER
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

    def __init__(self, plan, plan_file, run_id):
        super().__init__(plan, plan_file, run_id)
        self.job_files = False

    def submit(self, job, attempt=1, force=False):
        future = new_future()
        log = records.log_path(self.out, job["id"])
        command, preexec = dies_with_parent(job_argv(job, force, self.run_id, attempt))
        with self.spawning:
            try:
                if not self.job_files:
                    # What each job's command reads of the plan, written before the first starts.
                    jobs.write_job_files(self.plan, self.plan_file)
                    self.job_files = True
                process = start_logged(command, self.plan["workdir"], log, attempt, preexec)
            except Exception as exc:
                future.set_result(not_started(exc))
                return future
            self.started(job["id"], process.pid)
        threading.Thread(target=lambda: self._resolve(job, attempt, process.wait(), future), daemon=True).start()
        return future

    def shutdown(self):
        end_orphans(self.before)


# The warm server started early, while the runner plans (start_server_early).
_early = []


def start_server_early(modules):
    """Starts the warm server as soon as the runner has imported the pipeline's modules,
    so that it warms up while the runner plans."""
    _early.append(new_server(modules))


def end_early_server():
    while _early:
        server = _early.pop()
        if server is not None:
            server.end(kill=True)


def new_server(modules):
    """A warm server for this runner's jobs: forked from the runner, which has imported
    the modules already, so a run pays for one import of them, not two; else a fresh
    interpreter; None when neither can be started."""
    import subprocess
    import sys

    try:
        return fork_server.Server.fork_here(modules) or fork_server.Server.spawn(
            [sys.executable, *subprocess._args_from_interpreter_flags()], os.getcwd(), modules, path=sys.path)
    except OSError:
        return None


class ForkExecutor(InterpreterExecutor):
    """Each job is forked from a warm server (tolva.executors.fork_server) that has
    already imported the pipeline's modules and everything a job needs: forked from the
    runner before it starts any thread (as soon as it has imported the modules, or when
    the first job is to run), or a fresh interpreter. Where the server cannot start or
    has gone, jobs start as fresh interpreters.

    One thread starts the forked jobs and waits for their exit status, answered by the
    server on each job's connection."""

    def __init__(self, plan, plan_file, run_id, modules):
        super().__init__(plan, plan_file, run_id)
        self.server = _early.pop() if _early else new_server(modules)
        self.server = self.server if self.server is not None and self.server.ready() else None
        self.header = jobs.plan_header(plan)
        self.by_id = {job["id"]: job for job in plan["jobs"]}
        self.requests = queue.SimpleQueue()
        self.wake_r, self.wake_w = os.pipe()
        self.thread = threading.Thread(target=self._serve, name="tolva jobs", daemon=True)
        self.thread.start()

    def submit(self, job, attempt=1, force=False):
        if self.server is None:
            return super().submit(job, attempt, force)
        future = new_future()
        self.requests.put((job, future, attempt, force))
        os.write(self.wake_w, b"j")
        return future

    def keep(self):
        """Jobs are the server's children; the runner's is the server."""
        return super().keep() | ({self.server.pid} if self.server is not None else set())

    def shutdown(self):
        self.requests.put(None)
        os.write(self.wake_w, b"q")
        self.thread.join()
        os.close(self.wake_r)
        os.close(self.wake_w)
        if self.server is not None:
            self.server.end()
            self.server = None
        super().shutdown()

    def _serve(self):
        selector = selectors.DefaultSelector()
        selector.register(self.wake_r, selectors.EVENT_READ)
        while True:
            for key, _ in selector.select():
                if key.fileobj != self.wake_r:
                    selector.unregister(key.fileobj)
                    self._finish(key.fileobj, *key.data)
                    continue
                os.read(self.wake_r, 4096)
                while not self.requests.empty():
                    request = self.requests.get()
                    if request is None:
                        return
                    self._start(selector, *request)

    def _start(self, selector, job, future, attempt, force):
        log = records.log_path(self.out, job["id"])
        try:
            os.close(open_log(log, attempt))
        except Exception as exc:
            future.set_result(not_started(exc))
            return
        # The job's entry goes with the request: a forked job reads no file of the plan.
        entry = jobs.job_entry(self.header, self.plan_file, job, self.by_id)
        process = self.server.start({"plan_file": self.plan_file, "job_id": job["id"], "force": force,
                                     "run_id": self.run_id, "attempt": attempt, "log": log, "entry": entry})
        if process is None:  # the server has gone: this job, and the next, start fresh
            self.server = None
            fresh = InterpreterExecutor.submit(self, job, attempt, force)
            fresh.add_done_callback(lambda done: future.set_result(done.result()))
            return
        self.started(job["id"], process.pid)
        selector.register(process, selectors.EVENT_READ, (job, future, attempt))

    def _finish(self, process, job, future, attempt):
        self._resolve(job, attempt, process.wait(), future)
