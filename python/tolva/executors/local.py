"""The local executors: jobs as processes of this machine, forked from a warm server
(the default) or each a fresh interpreter (--isolation interpreter)."""

import os
import queue
import signal as signals
import threading

from tolva import records
from tolva.executors import (Finished, RunningJobs, dies_with_parent, job_argv, new_future,
                             not_started, open_log, prctl, run_forked_job, signal_group, start_logged)


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

    def submit(self, job, attempt=1, force=False):
        future = new_future()
        log = records.log_path(self.out, job["id"])
        command, preexec = dies_with_parent(job_argv(job, force, self.run_id, attempt))
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


def _forked_job(plan_file, job_id, log, attempt, force, run_id):
    """A job's process, forked from the warm server, which lets go of the server's
    "alive" pipe first (below)."""
    import sys

    _release_server()
    sys.exit(run_forked_job(log, plan_file, job_id, force, run_id, attempt))


def _release_server():
    """Every forked child holds the write end of the server's "alive" pipe, which keeps
    the server up while any child lives. A job lets go of it, so the server ends with
    the runner, and its jobs with the server (below)."""
    from multiprocessing import forkserver

    server = forkserver._forkserver
    if server._forkserver_alive_fd is not None:
        os.close(server._forkserver_alive_fd)
        server._forkserver_alive_fd = None


# What the warm server imports before it forks any job; tolva.executors.warm imports
# the pipeline's modules, named in TOLVA_WARM_MODULES, without a word if one fails
# (the runner reports that itself).
PRELOAD = ["json", "inspect", "pathlib", "importlib", "traceback", "ctypes", "_tolva", "tolva", "tolva.records",
           "tolva.fingerprint", "tolva.observe", "tolva.incremental", "tolva.worker", "tolva.job", "tolva.executors",
           "tolva.executors.local", "tolva.executors.warm"]


def server_context(modules):
    """The forkserver context, set to warm the server with the pipeline's modules."""
    import multiprocessing

    os.environ["TOLVA_WARM_MODULES"] = ",".join(modules)
    os.environ["TOLVA_WARM_PARENT"] = str(os.getpid())
    context = multiprocessing.get_context("forkserver")
    context.set_forkserver_preload(PRELOAD)
    return context


def start_server_early(modules):
    """Starts the warm server now, so that it imports the pipeline's modules while the
    runner imports, inspects and plans them: one import's time instead of two, one
    after the other. A run that then finds every job up to date has spent a process.
    Started from the main thread: a thread of its own would take the signals meant for
    the runner (Ctrl-C while the modules import), and one that blocked them would pass
    the blocked mask on to the server and every job."""
    from multiprocessing import forkserver

    server_context(modules)
    spawn_detached(forkserver.ensure_running)


def spawn_detached(spawn):
    """Runs spawn with standard output and error pointed at /dev/null, so that the
    processes it starts (the server, multiprocessing's resource tracker) never hold the
    runner's: a reader of the runner's output (| cat) would wait for them otherwise."""
    import sys

    sys.stdout.flush()
    sys.stderr.flush()
    kept = [os.dup(1), os.dup(2)]
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, 1)
        os.dup2(devnull, 2)
        spawn()
    finally:
        os.dup2(kept[0], 1)
        os.dup2(kept[1], 2)
        for fd in (*kept, devnull):
            os.close(fd)


class ForkExecutor(_LocalExecutor):
    """Each job is forked from a server process that has already imported the
    pipeline's modules and everything a job needs, with multiprocessing's forkserver;
    the runner itself, which has threads, is never forked.

    One thread owns every Process object: it starts them and waits on their
    sentinels. multiprocessing polls all its children whenever one starts, and a
    second thread reading the same exit status would find it gone."""

    def __init__(self, plan, plan_file, run_id, modules):
        from multiprocessing import forkserver

        super().__init__(plan, plan_file, run_id)
        self.context = server_context(modules)
        spawn_detached(forkserver.ensure_running)  # a no-op when it was started early
        self.requests = queue.SimpleQueue()
        self.wake_r, self.wake_w = os.pipe()
        self.thread = threading.Thread(target=self._serve, name="tolva jobs", daemon=True)
        self.thread.start()

    def submit(self, job, attempt=1, force=False):
        future = new_future()
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


