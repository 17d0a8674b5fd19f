"""The local executor: jobs as processes of this machine, forked from a warm server
(the default) or each a fresh interpreter (--isolation interpreter). The runner is a
child subreaper: what a job leaves running comes back to it and is ended with the job.
threading, selectors and the server's client are imported once a job has to run.
"""

import os

from tolva import layout, planfile, records
from tolva.records import Finished
from tolva.executors import Executor, new_future
from tolva.executors.processes import (RunningJobs, become_subreaper, children, dies_with_parent, end_orphans,
                                       job_argv, not_started, open_log, signal_group, start_logged)

NAME = "local"
HELP = "local: jobs on this machine (default)"
lazy = True
same_environment = True  # its jobs see the runner's environment


def add_options(parser):
    parser.add_argument("--isolation", choices=("fork", "worker", "interpreter"),
                        help="fork: each job is forked from a warm process that has imported the modules "
                             "(default); worker: long-lived processes forked from it run jobs one after "
                             "another, for many tiny jobs (what a job leaves in a module stays for the next); "
                             "interpreter: a fresh interpreter per job, for modules that are not safe to fork")
    parser.add_argument("--worker-jobs", type=int, metavar="N",
                        help="with --isolation worker: jobs a worker runs before a fresh one takes over "
                             "(default 100)")
    parser.add_argument("--worker-memory", type=int, metavar="MB",
                        help="with --isolation worker: a worker whose peak resident size passes this is replaced "
                             "(default 1024)")


def configure(error, options, chosen):
    if not chosen and options.isolation is not None:
        error("--isolation goes with the local executor; on Dask each job is a fresh interpreter")
    options.isolation = options.isolation or "fork"
    if options.isolation != "worker" and (options.worker_jobs is not None or options.worker_memory is not None):
        error("--worker-jobs and --worker-memory go with --isolation worker")
    options.worker_jobs = 100 if options.worker_jobs is None else options.worker_jobs
    options.worker_memory = 1024 if options.worker_memory is None else options.worker_memory
    if options.worker_jobs < 1 or options.worker_memory < 1:
        error("--worker-jobs and --worker-memory must be at least 1")


def in_flight(options, plan):
    """--jobs, but never more than there are jobs; with long-lived workers, as many
    again wait in the executor, each handed to the first worker that is free, so that
    no worker waits for the runner's turn between two jobs."""
    slots = _slots(options, plan)
    return min(2 * slots, len(plan["jobs"])) if options.isolation == "worker" else slots


def _slots(options, plan):
    return max(1, min(options.jobs, len(plan["jobs"])))


def warming(options):
    """Starts the warm server now, as soon as the runner has imported the pipeline's
    modules, so that it warms up while the runner plans; ended on leaving when no job
    took it."""
    import contextlib

    if options.isolation == "interpreter":
        return contextlib.nullcontext()
    _early.append(new_server(options.modules))
    return contextlib.closing(_EarlyServer())


class _EarlyServer:
    def close(self):
        while _early:
            server = _early.pop()
            if server is not None:
                server.end(kill=True)


def lost_thread(exc):
    """A thread of the runner failed: its traceback on standard error, once, and the
    one line the run ends with."""
    import sys
    import traceback

    from tolva import _cli

    sys.stderr.write("".join(traceback.format_exception(exc)))
    return f"the thread that starts the run's jobs failed ({_cli.describe(exc)}); the traceback is above"


def make(plan, plan_file, run_id, options):
    """Jobs forked from a warm server, or (interpreter isolation) started as their own
    commands by a bare one; either server keeps what jobs leave behind and ends it, even
    when the runner is killed outright. Where no server can start or one is lost, the
    runner starts each job's command itself."""
    fresh = InterpreterExecutor(plan, plan_file, run_id)
    if options.isolation in ("fork", "worker"):
        server = _early.pop() if _early else new_server(options.modules)
        reuse = {"jobs": options.worker_jobs, "memory": options.worker_memory << 20} \
            if options.isolation == "worker" else None
        return ServerExecutor(plan, plan_file, run_id, server, fresh, own_commands=False, reuse=reuse,
                              slots=_slots(options, plan))
    return ServerExecutor(plan, plan_file, run_id, bare_server(), fresh, own_commands=True)


class LocalJobs(RunningJobs):
    """The job processes of one run on this machine, whichever executor started them,
    and what they leave behind."""

    def __init__(self, plan, run_id):
        import threading

        super().__init__()
        self.plan, self.out, self.run_id = plan, plan["out"], run_id
        self.spawning = threading.Lock()  # a job being started is not taken for an orphan
        # Children the runner had before (started by the user's modules at import, say)
        # are not left over by a job; nor is a warm server.
        self.before = set(children())
        self.servers = set()
        self.reused = False  # jobs run in long-lived workers (--isolation worker)
        become_subreaper()

    def keep(self):
        """The runner's own children that are not left over."""
        with self.lock:
            return set(self.pids.values()) | self.before | self.servers

    def resolve(self, job, attempt, returncode, future, by_server=False):
        """The job's process has ended: what it left behind is ended too, and its Future
        gets the status and the job's record, if the record is this attempt's. by_server:
        a server started it, and is the one what it detached comes to (and ends)."""
        import signal

        pid = self.ended(job["id"])
        if pid is not None and not self.reused:
            # A long-lived worker's group is the worker: it and its server end what its job left.
            signal_group(pid, signal.SIGKILL, leader_too=False)
        if not by_server:
            with self.spawning:
                end_orphans(self.keep())
        expect = {"plan_id": self.plan["id"], "run_id": self.run_id, "attempt": attempt}
        future.set_result(records.Finished(returncode, records.read_job_state(self.out, job["id"], expect)))


class InterpreterExecutor(Executor):
    """A fresh interpreter per job, running the plan's own argv: for modules that are
    not safe to fork (threads or connections opened at import)."""

    def __init__(self, plan, plan_file, run_id):
        self.plan, self.plan_file, self.run_id = plan, plan_file, run_id
        self.jobs = LocalJobs(plan, run_id)
        self.job_files = False

    def submit(self, job, attempt=1, force=False):
        import threading

        future = new_future()
        log = layout.log_path(self.plan["out"], job["id"])
        command, preexec = dies_with_parent(job_argv(job, force, self.run_id, attempt))
        with self.jobs.spawning:
            try:
                self.write_job_files()
                process = start_logged(command, self.plan["workdir"], log, attempt, preexec)
            except Exception as exc:
                future.set_result(not_started(exc))
                return future
            self.jobs.started(job["id"], process.pid)
        threading.Thread(target=lambda: self.jobs.resolve(job, attempt, process.wait(), future), daemon=True).start()
        return future

    def write_job_files(self):
        """What each job's command reads of the plan, written before the first starts."""
        if not self.job_files:
            planfile.write_job_files(self.plan, self.plan_file)
            self.job_files = True

    def signal(self, signum):
        self.jobs.signal(signum)

    def running_pids(self):
        with self.jobs.lock:
            return dict(self.jobs.pids)

    def shutdown(self):
        end_orphans(self.jobs.before)


# The warm server started early, while the runner plans (warming).
_early = []


def bare_server():
    """A server that starts each job as its own command (a fresh interpreter) and keeps
    what the job leaves behind; it imports nothing of the pipeline. None when it cannot
    be started."""
    import sys

    from tolva._compat import interpreter_flags
    from tolva.executors import fork_server

    try:
        return fork_server.Server.spawn([sys.executable, *interpreter_flags()], os.getcwd(), [], path=sys.path,
                                        bare=True)
    except OSError:
        return None


def new_server(modules):
    """A warm server for this runner's jobs: forked from the runner, which has imported
    the modules already, so a run pays for one import of them, not two; else a fresh
    interpreter; None when neither can be started."""
    import sys

    from tolva._compat import interpreter_flags
    from tolva.executors import fork_server

    try:
        return fork_server.Server.fork_here(modules) or fork_server.Server.spawn(
            [sys.executable, *interpreter_flags()], os.getcwd(), modules, path=sys.path)
    except OSError:
        return None


class ServerExecutor(Executor):
    """Each job is started by a server (tolva.executors.fork_server): forked from a warm
    one that has already imported the pipeline's modules and everything a job needs
    (itself forked from the runner before it starts any thread, as soon as it has
    imported the modules or when the first job is to run, or a fresh interpreter); or,
    with own_commands, as the job's own command, by a bare one; or (reuse) run by
    long-lived workers forked from it, one per slot. Where the server cannot start or
    has gone, jobs start on `fresh`, the runner's own.

    One thread asks for the jobs on sessions with the server (one, or one per worker),
    and hears there each job's pid and then its exit status, without waiting for
    either."""

    def __init__(self, plan, plan_file, run_id, server, fresh, own_commands, reuse=None, slots=1):
        import collections
        import queue
        import threading

        self.plan, self.plan_file, self.run_id = plan, plan_file, run_id
        self.fresh = fresh
        self.jobs = fresh.jobs
        self.own_commands = own_commands
        self.reuse, self.slots = reuse, slots  # how long-lived workers run the jobs, if they do, and how many
        self.server = server if server is not None and server.ready() else None
        self.jobs.reused = self.server is not None and reuse is not None
        if self.server is not None:
            self.jobs.servers.add(self.server.pid)
        self.sessions = []  # opened as jobs come
        self.waiting = collections.deque()  # jobs for a worker that is being replaced
        self.header = planfile.plan_header(plan)
        self.by_id = {job["id"]: job for job in plan["jobs"]}
        self.requests = queue.SimpleQueue()
        self.broken = None  # what the runner lost when the thread that starts jobs failed
        self.wake_r, self.wake_w = os.pipe()
        self.thread = threading.Thread(target=self._serve, name="tolva jobs", daemon=True)
        self.thread.start()

    def submit(self, job, attempt=1, force=False):
        if self.server is None:
            return self.fresh.submit(job, attempt, force)
        future = new_future()
        if self.broken is not None:
            future.set_result(Finished(None, None, None, self.broken))
            return future
        self.requests.put((job, future, attempt, force))
        os.write(self.wake_w, b"j")
        return future

    def signal(self, signum):
        """Every job running gets the signal; one still waiting for a worker never starts."""
        self.jobs.signal(signum)
        try:
            os.write(self.wake_w, b"s")
        except OSError:
            pass  # shut down already

    def running_pids(self):
        return self.fresh.running_pids()

    def queued(self):
        return {job["id"] for job, *_ in list(self.waiting)}

    def shutdown(self):
        self.requests.put(None)
        os.write(self.wake_w, b"q")
        self.thread.join()
        os.close(self.wake_r)
        os.close(self.wake_w)
        for session in self.sessions:
            session.close()
        if self.server is not None:
            self.server.end()
            self.server = None
        self.fresh.shutdown()

    def _serve(self):
        """The thread's work; should it fail, every job it holds or is asked for later
        ends the run as lost, with the thread's traceback said once."""
        import selectors

        selector = selectors.DefaultSelector()
        selector.register(self.wake_r, selectors.EVENT_READ)
        try:
            self._serve_on(selector)
        except BaseException as exc:  # noqa: BLE001 - said once, and the run ends
            self.broken = lost_thread(exc)
            held = [h[1] for session in self.sessions for h in session.flight.values()] + [w[1] for w in self.waiting]
            for future in held:
                future.set_result(Finished(None, None, None, self.broken))
            while not self.requests.empty():
                request = self.requests.get()
                if request is not None:
                    request[1].set_result(Finished(None, None, None, self.broken))

    def _serve_on(self, selector):
        while True:
            for key, _ in selector.select():
                if key.fileobj != self.wake_r:
                    self._hear(selector, key.fileobj)
                    continue
                os.read(self.wake_r, 4096)
                while not self.requests.empty():
                    request = self.requests.get()
                    if request is None:
                        return
                    self._start(selector, *request)
                self._start_waiting(selector)

    def _hear(self, selector, session):
        """The pids and exit statuses the server (or a session's worker) said."""
        answers = session.answers()
        if answers is None:
            self._lose_server(selector)
            return
        ended = []  # resolved once the next jobs are on their way: a worker that is free waits for nothing
        for tag, value, *ending in answers:
            if tag == "!":  # a request its worker never took: asked again
                job, future, attempt, force, _ = session.flight.pop(value)
                self.jobs.ended(job["id"])
                self.waiting.appendleft((job, future, attempt, force))
                continue
            if tag == "-":  # its worker ended; a job it had not said the status of ended with it
                session.ending = False
                flight, session.flight = session.flight, {}
                ended += [(job, attempt, value, future) for job, future, attempt, _, _ in flight.values()]
                continue
            held = session.flight.get(tag)
            if held is None:
                continue  # a job already taken back or ended
            if not held[4]:
                held[4] = True
                self.jobs.started(held[0]["id"], value)
            else:
                del session.flight[tag]
                session.ending = ending == [1]
                ended.append((held[0], held[2], value, held[1]))
        self._start_waiting(selector)
        for job, attempt, status, future in ended:
            self.jobs.resolve(job, attempt, status, future, by_server=True)

    def _start_waiting(self, selector):
        """The jobs waiting for a worker, on those that are free; when the run is being
        stopped, none starts, and each ends as never started."""
        if self.jobs.signalled is not None:
            while self.waiting:
                self.waiting.popleft()[1].set_result(Finished(None, None))
        while self.waiting and self.server is not None and self._free_session(selector) is not None:
            self._start(selector, *self.waiting.popleft())

    def _request(self, job, attempt, force, log):
        if self.own_commands:
            self.fresh.write_job_files()
            return {"argv": job_argv(job, force, self.run_id, attempt), "workdir": self.plan["workdir"], "log": log,
                    "job_id": job["id"]}
        # The job's entry goes with the request: a forked job reads no file of the plan.
        entry = planfile.job_entry(self.header, self.plan_file, job, self.by_id)
        return {"plan_file": self.plan_file, "job_id": job["id"], "force": force, "run_id": self.run_id,
                "attempt": attempt, "log": log, "entry": entry}

    def _free_session(self, selector):
        """A session that can take a job now: the one of forked jobs, or a worker's
        that is idle, opened when fewer than the slots are; None when every worker is
        busy or being replaced, or the server has gone."""
        import selectors

        for session in self.sessions:
            if self.reuse is None or not (session.flight or session.ending):
                return session
        if len(self.sessions) >= (self.slots if self.reuse is not None else 1):
            return None
        session = self.server.session(self.reuse)
        if session is None:
            self._lose_server(selector)
            return None
        selector.register(session, selectors.EVENT_READ)
        self.sessions.append(session)
        return session

    def _start(self, selector, job, future, attempt, force):
        """The job asked of the server; started on `fresh` when the server has gone
        (this job and the next), or nowhere when its log cannot be made."""
        session = self._free_session(selector) if self.server is not None else None
        if session is None and self.server is not None:
            self.waiting.append((job, future, attempt, force))
            return
        if session is not None:
            log = layout.log_path(self.plan["out"], job["id"])
            try:
                os.close(open_log(log, attempt))
            except Exception as exc:
                future.set_result(not_started(exc))
                return
            tag = session.send(self._request(job, attempt, force, log))
            if tag is not None:
                session.flight[tag] = [job, future, attempt, force, False]
                return
            self._lose_server(selector)
        self._start_fresh(job, future, attempt, force)

    def _start_fresh(self, job, future, attempt, force):
        fresh = self.fresh.submit(job, attempt, force)
        fresh.add_done_callback(lambda done: future.set_result(done.result()))

    def _lose_server(self, selector):
        """The server has gone: the jobs it started ended with it, those it had not
        start fresh, as every later one does."""
        import signal

        sessions, self.sessions = self.sessions, []
        server, self.server = self.server, None
        with self.jobs.lock:
            self.jobs.servers.discard(getattr(server, "pid", None))  # gone: reaped as any other child
            self.jobs.reused = False  # from now on each job is a fresh interpreter
        for session in sessions:
            selector.unregister(session)
            session.close()
            for job, future, attempt, force, started in session.flight.values():
                if started:
                    self.jobs.resolve(job, attempt, -int(signal.SIGKILL), future, by_server=True)
                else:
                    self._start_fresh(job, future, attempt, force)
        while self.waiting:
            self._start_fresh(*self.waiting.popleft())
