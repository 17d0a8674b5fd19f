"""Running a plan: at most max_jobs at once, each job started on an executor as soon
as the jobs it needs succeeded, with dependency counters and a ready queue, so each
finished job costs O(1) whatever the plan's size.

Run schedules and nothing else: it keeps the queue, the statuses, the counts and the
retries, and tells a progress printer and a run recorder what happens. Each job's
outcome comes from the state file the job itself wrote. Ctrl-C, SIGTERM and SIGHUP
stop the run: the signal handler only notes the signal, and the loop acts on it, so a
signal never lands halfway through bookkeeping; a second signal ends the jobs at once.
Starts no process itself.
"""

import heapq
import os
import signal
import time

from tolva import _cli, incremental, layout, locks, observe, records
from tolva._compat import Empty, SimpleQueue
from tolva.progress import Progress
from tolva.records import Finished

GRACE_SECONDS = 10
KILLED_WAIT_SECONDS = 5  # after SIGKILL: what is not gone by then is named and left
RETRY_DELAY = 0.25  # doubled for each further attempt


class RunOptions:
    """What a run is asked to do besides its plan. A plain class: making a dataclass
    compiles its methods, 3 ms of an unchanged run's 100."""

    __slots__ = ("max_jobs", "retries", "forced", "executor", "run_id", "selection", "verbose")

    def __init__(self, max_jobs, retries=0, forced=frozenset(), executor="local", run_id=None, selection=None,
                 verbose=False):
        self.max_jobs = max_jobs  # jobs running at once
        self.retries = retries  # further attempts of a failed job
        self.forced = forced  # ids of the jobs run even when up to date
        self.executor = executor  # its name, for the record
        self.run_id = run_id or os.urandom(8).hex()
        self.selection = selection  # the --select names, for the record
        self.verbose = verbose

    def __repr__(self):
        return "RunOptions(" + ", ".join(f"{name}={getattr(self, name)!r}" for name in self.__slots__) + ")"


class Stop(BaseException):
    """The run stops starting jobs and ends the running ones."""


class Run:
    def __init__(self, plan, executor, decider, options, recorder, lock=None):
        self.plan = plan
        self.out = plan["out"]
        self.options = options
        self.max_jobs = options.max_jobs
        self.run_id = options.run_id
        self.executor = executor
        self.decider = decider
        self.recorder = recorder
        self.lock = lock
        self.jobs = {job["id"]: job for job in plan["jobs"]}
        self.order = [job["id"] for job in plan["jobs"]]
        self.position = {job_id: i for i, job_id in enumerate(self.order)}
        self.dependents = {job_id: [] for job_id in self.order}
        self.waiting_on = {}
        for job in plan["jobs"]:
            self.waiting_on[job["id"]] = len(job["dependencies"])
            for dependency in job["dependencies"]:
                self.dependents[dependency].append(job["id"])
        self.ready = SimpleQueue()
        for job_id in self.order:
            if self.waiting_on[job_id] == 0:
                self.ready.put(job_id)
        # What happens, in the order it happens: futures that completed, and signals.
        self.events = SimpleQueue()
        self.progress = Progress(len(self.order), self.max_jobs, options.verbose,
                                 lambda job_id: layout.log_path(self.out, job_id))
        # Per job: its status, its own record's outcome, how long it took, how many times
        # it started, the worker that ran it, why it ran.
        self.status = {job_id: "pending" for job_id in self.order}
        self.outcomes, self.durations, self.attempts, self.where, self.reasons = {}, {}, {}, {}, {}
        self.running = {}  # job id -> Future
        self.job_of = {}  # running Future -> job id
        self.started_at, self.ended_at = {}, {}  # job id -> monotonic time
        self.retry_at = []  # heap of (monotonic time, job id)
        self.signals = 0
        self.stopping = False
        self.lock_checked = 0.0
        self.lost_lock = None  # the PID of a run that took the folder's lock from this one
        self.lost = None  # what the executor lost, when it lost what runs the jobs
        self.lost_jobs = set()  # futures of jobs whose outcome went with it
        self.free_slots = list(range(1, self.max_jobs + 1))  # a heap: each running job holds one, for the timeline
        self.slot = {}  # job id -> the slot it ran in
        self.left_to_job = set()  # jobs whose up-to-date question only they can answer where they run

    # --- signals -----------------------------------------------------------------

    def on_signal(self, signum, frame):
        # Only noted here: the loop acts on it between two events.
        self.signals += 1
        self.events.put(signum)

    def install_signals(self):
        previous = {s: signal.signal(s, self.on_signal) for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)}
        return lambda: [signal.signal(s, handler) for s, handler in previous.items()]

    # --- running -----------------------------------------------------------------

    def execute(self):
        """Runs the plan; returns the exit status (0, 1, or 130 when stopped)."""
        self.recorder.begin(self)
        interrupted = False
        restore = self.install_signals()
        try:
            try:
                self.loop()
            except Stop:
                interrupted = self.lost is None
                self.stop_running()
        finally:
            restore()
        for job_id in self.order:
            if self.status[job_id] == "pending":
                self.status[job_id] = "cancelled" if interrupted or self.lost else "skipped"
        self.read_own_records_last()
        for job_id in self.order:
            if self.status[job_id] in ("skipped", "cancelled"):
                # Not run in this run: no record of an earlier run may read as this one's.
                layout.remove_file(layout.result_path(self.jobs[job_id]["output_dir"]))
        self.progress.close()
        return self.recorder.end(self, interrupted)

    def loop(self):
        while True:
            if self.signals:
                raise Stop()
            while self.retry_at and self.retry_at[0][0] <= time.monotonic():
                self.ready.put(heapq.heappop(self.retry_at)[1])
            self.check_lock()
            while len(self.running) < self.max_jobs and not self.ready.empty():
                job_id = self.ready.get()
                if self.status[job_id] == "pending":
                    self.start(job_id)
            if not self.running and not self.retry_at:
                return
            queued = getattr(self.executor, "queued", set)()  # an executor of its own may not tell
            self.progress.tick([job_id for job_id in self.running if job_id not in queued], self.started_at)
            timeout = self.progress.wait_at_most()
            if self.retry_at:
                timeout = min(timeout, max(0.0, self.retry_at[0][0] - time.monotonic()))
            for future in self.completed(timeout):
                finished = future.result()
                if finished.lost:
                    self.lost = finished.lost  # the job's own record says what became of it
                    self.lost_jobs.add(future)
                    continue
                self.finish(self.job_of.pop(future), finished)
            if self.lost:
                raise Stop()

    def completed(self, timeout):
        """The futures that completed within timeout (those already waiting, at once), in
        plan order; a signal ends the wait."""
        done = []
        try:
            event = self.events.get(timeout=timeout)
            while True:
                if not isinstance(event, int) and event in self.job_of:
                    done.append(event)
                event = self.events.get_nowait()
        except Empty:
            pass
        return sorted(done, key=lambda f: self.position[self.job_of[f]])

    def still_holds(self, job_id):
        """Asks the job's own question before starting a process for it."""
        if self.attempts.get(job_id):
            return False
        entry = self.jobs[job_id]
        upstream = {i: self.jobs[i] for spec in entry["inputs"] for i in spec["from"]}
        reason = incremental.reason_or_not_ready(self.out, entry, upstream, self.decider,
                                                 job_id in self.options.forced)
        if reason is not None:
            self.reasons[job_id] = reason
            self.left_to_job.discard(job_id)
            if isinstance(reason, observe.Elsewhere):
                self.left_to_job.add(job_id)  # its own decision, where it runs, says whether it runs
            return False
        # The job's own record of its last success stays as it is: run.json says up to date.
        self.attempts[job_id] = 0
        self.started_at[job_id] = time.monotonic()
        self.finish(job_id, Finished(0, {"status": "up-to-date"}))
        return True

    def start(self, job_id):
        if self.still_holds(job_id):
            return
        self.attempts[job_id] = attempt = self.attempts.get(job_id, 0) + 1
        # The question was just asked here: the job's command need not ask it again,
        # unless only the job can answer it.
        future = self.executor.submit(self.jobs[job_id], attempt, job_id not in self.left_to_job)
        self.slot[job_id] = heapq.heappop(self.free_slots) if self.free_slots else len(self.slot) + 1
        self.status[job_id] = "running"
        if attempt == 1:
            self.started_at[job_id] = time.monotonic()
        self.running[job_id] = future
        self.job_of[future] = job_id
        future.add_done_callback(self.events.put)

    def finish(self, job_id, finished):
        if self.running.pop(job_id, None) is not None:
            heapq.heappush(self.free_slots, self.slot[job_id])
        self.attempts.setdefault(job_id, 0)
        self.ended_at[job_id] = time.monotonic()
        self.durations[job_id] = self.ended_at[job_id] - self.started_at[job_id]
        state = finished.state
        if state is not None:
            own = own_duration(state)
            if own is not None:
                self.durations[job_id] = own  # not the time it waited for a process or a worker
            if isinstance(state.get("starts"), int) and state["starts"] > 1:
                self.attempts[job_id] += state["starts"] - 1  # started again after its worker was lost
        self.where[job_id] = finished.where
        ok = finished.returncode == 0 and state is not None and state.get("status") in records.DONE
        if not ok and (state is None or state.get("status") in ("running",) + records.DONE
                       or state.get("error_type") == "NotStarted"):
            # Not started, crashed, killed, or ended without a record: the job's own record
            # says so too, so that no later run takes an earlier success for this one's.
            if state is None or state.get("error_type") != "NotStarted":
                after_success = state is not None and state.get("status") in records.DONE
                state = {"status": "failed", "error_type": "NoResult",
                         "error": self.no_result(job_id, finished.returncode, after_success)}
            now = time.time()
            records.amend_job_state(self.out, job_id, self.ident(job_id), "failed", now, now, state["error_type"],
                                    state["error"])
            # A result.json the job wrote before it was killed must not read as a success.
            layout.remove_file(layout.result_path(self.jobs[job_id]["output_dir"]))
        declared = self.jobs[job_id].get("policy") or {}
        if not ok and self.attempts[job_id] <= declared.get("retries", self.options.retries):
            # Another attempt, after the asset's delay, or a short one that grows with each.
            self.status[job_id] = "pending"
            delay = declared.get("retry_delay", RETRY_DELAY * 2 ** (self.attempts[job_id] - 1))
            heapq.heappush(self.retry_at, (time.monotonic() + delay, job_id))
            return
        self.outcomes[job_id] = state
        self.status[job_id] = state["status"] if ok else "failed"
        if ok and isinstance(state.get("value_hash"), str):
            self.decider.value_hashes[job_id] = state["value_hash"]
        self.progress.ended(job_id, self.status[job_id], self.durations[job_id],
                            ran=self.status[job_id] in ("succeeded", "failed"))
        if ok:
            for dependent in self.dependents[job_id]:
                self.waiting_on[dependent] -= 1
                if self.waiting_on[dependent] == 0:
                    self.ready.put(dependent)
        else:
            # What reads a value its blocking check failed is skipped for that reason.
            failed_check = state.get("error_type") == records.CHECK_FAILED and "check" in self.jobs[job_id]
            self.skip_dependents(job_id, state.get("error") if failed_check else None)

    def read_own_records_last(self):
        """The job's own record is the truth: a job this run marked cancelled or failed
        for want of word from it (a lost scheduler, a stop) whose own record of this run
        says it ended done is what its record says."""
        for job_id in self.order:
            if self.status[job_id] not in ("cancelled", "failed") or self.attempts.get(job_id, 0) > 1:
                continue
            if (self.outcomes.get(job_id) or {}).get("error_type") not in ("Lost", "Interrupted", None):
                continue
            own = records.read_job_state(self.out, job_id, {"plan_id": self.plan.get("id"), "run_id": self.run_id})
            if own is not None and own["status"] in records.DONE:
                self.status[job_id], self.outcomes[job_id] = own["status"], own
                self.attempts[job_id] = max(self.attempts.get(job_id, 0), own.get("attempt") or 1)

    def ident(self, job_id):
        return {"plan_id": self.plan.get("id"), "run_id": self.run_id, "attempt": self.attempts.get(job_id, 0)}

    def no_result(self, job_id, returncode, after_success=False):
        outcome = "after recording success" if after_success else None
        if returncode < 0:
            return (f"the job was killed by signal {signal.Signals(-returncode).name} "
                    f"{outcome or 'before recording its outcome'}")
        last = layout.last_line(layout.log_path(self.out, job_id))
        return (f"the job ended (exit status {returncode}) {outcome or 'without recording its outcome'}"
                f"{': ' + last if last else ''}")

    def skip_dependents(self, job_id, reason=None):
        stack = list(self.dependents[job_id])
        while stack:
            dependent = stack.pop()
            if self.status[dependent] == "pending":
                self.status[dependent] = "skipped"
                if reason is not None:
                    self.reasons[dependent] = reason
                self.progress.ended(dependent, "skipped")
                stack.extend(self.dependents[dependent])

    def check_lock(self):
        """At most once a second: the folder's lock file is still this run's."""
        if self.lock is None or time.monotonic() - self.lock_checked < 1.0:
            return
        self.lock_checked = time.monotonic()
        try:
            self.lock.verify()
        except locks.Busy as busy:
            self.lost_lock = str(busy)
            raise Stop() from None

    # --- stopping ----------------------------------------------------------------

    def stop_running(self):
        """SIGTERM to the running jobs, then SIGKILL after the grace (at once on a second
        signal); each running job then is what its own record says, or cancelled."""
        if self.lost:
            self.end_lost()
            return
        self.executor.signal(signal.SIGTERM)
        signals, deadline, killed = self.signals, time.monotonic() + GRACE_SECONDS, False
        pending = set(self.running.values())
        while pending:
            if not killed and (self.signals > signals or time.monotonic() >= deadline):
                self.executor.signal(signal.SIGKILL)  # a further signal, or the grace is over
                killed, deadline = True, time.monotonic() + KILLED_WAIT_SECONDS
            elif killed and time.monotonic() >= deadline:
                self.give_up_on(pending)
                break
            try:
                pending.discard(self.events.get(timeout=max(0.0, deadline - time.monotonic())))
            except Empty:
                pass
        self.end_running(list(self.running), "cancelled", "Interrupted", "stopped by a signal")

    def give_up_on(self, pending):
        """Jobs still there after SIGKILL (a process stuck in the kernel, a worker that
        does not answer): the run ends without them, and says which they are."""
        pids = self.executor.running_pids()
        left = [f"{self.job_of[f]}" + (f" (PID {pids[self.job_of[f]]})" if self.job_of[f] in pids else "")
                for f in sorted(pending, key=lambda f: self.position[self.job_of[f]])]
        _cli.warn(f"stopped waiting for {len(left)} job{'s' if len(left) != 1 else ''} still running after SIGKILL: "
                  + ", ".join(left))

    def end_lost(self):
        """The executor lost what runs the jobs: each job still running is what its own
        record of this attempt says; one that never started was cancelled, with no
        attempt, and one that started and has no outcome failed with the loss."""
        _cli.error(_cli.RUN_PROG, self.lost)
        for job_id in self.running:
            if records.read_job_state(self.out, job_id, self.ident(job_id)) is None:
                self.attempts[job_id] -= 1  # this attempt never started
        never_started = [j for j in self.running if self.attempts[j] == 0]
        self.end_running(never_started, "cancelled", "Lost", self.lost)
        self.end_running(list(self.running), "failed", "Lost", self.lost)

    def end_running(self, job_ids, status, error_type, error):
        """Jobs still running when the run stops: each keeps what its own record says if
        it ended meanwhile, and is marked `status` otherwise."""
        for job_id in job_ids:
            del self.job_of[self.running.pop(job_id)]
            self.ended_at[job_id] = time.monotonic()
            self.durations[job_id] = self.ended_at[job_id] - self.started_at[job_id]
            own = records.read_job_state(self.out, job_id, self.ident(job_id))
            if own is not None and own["status"] in records.FINISHED:
                self.status[job_id] = own["status"]
                self.outcomes[job_id] = own
                self.durations[job_id] = own_duration(own) or self.durations[job_id]
                continue
            self.status[job_id] = status
            self.outcomes[job_id] = {"status": status, "error_type": error_type, "error": error}
            now = time.time()
            records.amend_job_state(self.out, job_id, self.ident(job_id), status, now - self.durations[job_id], now,
                                    error_type, error)


def own_duration(state):
    """From the job's own start to its own end, on the machine that ran it."""
    started, ended = state.get("started"), state.get("finished")
    if isinstance(started, (int, float)) and isinstance(ended, (int, float)) and ended >= started:
        return ended - started
    return None
