"""Running a plan: at most max_jobs at once, each job started on an executor as soon
as the jobs it needs succeeded, with dependency counters and a ready queue, so each
finished job costs O(1) whatever the plan's size.

Keeps the run's statuses and live progress; each job's outcome comes from the state
file the job itself wrote. Ctrl-C and SIGTERM stop the run, end its jobs and still
write the run record; a second signal ends the jobs at once. Starts no process itself.
"""

import heapq
import os
import _queue
import signal
import sys
import time

from tolva import records
from tolva.records import Finished

GRACE_SECONDS = 10
STILL_RUNNING_EVERY = 30.0  # seconds between two lines naming the running jobs, off a terminal
RETRY_DELAY = 0.25  # doubled for each further attempt


class Lazy:
    """Makes the executor at the first job that has to run: a run whose jobs are all
    up to date imports no executor and starts no server or process."""

    def __init__(self, make):
        self.make = make
        self.executor = None

    def submit(self, job, attempt=1, force=False):
        if self.executor is None:
            self.executor = self.make()
        return self.executor.submit(job, attempt, force)

    def signal(self, signum):
        if self.executor is not None:
            self.executor.signal(signum)

    def shutdown(self):
        if self.executor is not None:
            self.executor.shutdown()


class Stop(BaseException):
    """Ctrl-C, SIGTERM or SIGHUP: stop starting jobs and end the running ones."""


class Run:
    def __init__(self, plan, plan_file, max_jobs, asset_labels, executor, decider, retries=0, forced=(),
                 executor_name="local", run_id=None, lock=None, selection=None, verbose=False):
        self.plan = plan
        self.plan_file = plan_file
        self.out = plan["out"]
        self.max_jobs = max_jobs
        self.jobs = {job["id"]: job for job in plan["jobs"]}
        self.order = [job["id"] for job in plan["jobs"]]
        self.position = {job_id: i for i, job_id in enumerate(self.order)}
        self.dependents = {job_id: [] for job_id in self.order}
        self.waiting_on = {}
        for job in plan["jobs"]:
            self.waiting_on[job["id"]] = len(job["dependencies"])
            for dependency in job["dependencies"]:
                self.dependents[dependency].append(job["id"])
        self.ready = _queue.SimpleQueue()
        for job_id in self.order:
            if self.waiting_on[job_id] == 0:
                self.ready.put(job_id)
        self.status = {job_id: "pending" for job_id in self.order}
        self.outcomes = {}
        self.durations = {}
        self.started_at = {}
        self.running = {}  # job id -> Future
        self.executor = executor
        self.job_of = {}  # running Future -> job id
        self.retries = retries
        self.forced = set(forced)
        self.attempts = {}
        self.executor_name = executor_name
        self.where = {}  # job id -> the worker that ran it, where the executor says
        self.retry_at = []  # heap of (monotonic time, job id)
        self.interactive = sys.stdout.isatty()
        self.style = records.Style(sys.stdout)
        self.asset_labels = asset_labels
        self.signals = 0
        self.decider = decider
        self.run_id = run_id or os.urandom(8).hex()
        self.lock = lock
        self.selection = selection
        self.verbose = verbose
        self.up_to_date = 0  # jobs found up to date, summed up in one line
        self.next_still_running = time.monotonic() + STILL_RUNNING_EVERY
        self.lock_checked = 0.0
        self.lost_lock = None  # the PID of a run that took the folder's lock from this one
        self.reasons = {}  # job id -> why it ran
        self.lost = None  # what the executor lost, when it lost what runs the jobs
        self.lost_jobs = set()  # futures of jobs whose outcome went with it
        self.free_slots = list(range(1, max_jobs + 1))  # a heap: each running job holds one, for the timeline
        self.slot = {}  # job id -> the slot it ran in
        self.ended_at = {}  # job id -> monotonic time it finished

    # --- signals -----------------------------------------------------------------

    def on_signal(self, signum, frame):
        self.signals += 1
        if self.signals == 1:
            raise Stop()
        self.kill_running()  # a second signal: no more grace

    def install_signals(self):
        previous = {s: signal.signal(s, self.on_signal) for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)}
        return lambda: [signal.signal(s, handler) for s, handler in previous.items()]

    # --- running -----------------------------------------------------------------

    def still_holds(self, job_id):
        """Asks the job's own question before starting a process for it."""
        from tolva import job

        if self.attempts.get(job_id):
            return False
        entry = self.jobs[job_id]
        upstream = {i: self.jobs[i] for spec in entry["inputs"] for i in spec["from"]}
        try:
            reason = job.decide(self.out, entry, upstream, self.decider, job_id in self.forced)[1]
        except job.UpstreamNotReady as exc:
            reason = str(exc)
        if reason is not None:
            self.reasons[job_id] = reason
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
        # The question was just asked here: the job's command need not ask it again.
        future = self.executor.submit(self.jobs[job_id], attempt, True)
        self.slot[job_id] = heapq.heappop(self.free_slots) if self.free_slots else len(self.slot) + 1
        self.status[job_id] = "running"
        if attempt == 1:
            self.started_at[job_id] = time.monotonic()
        self.running[job_id] = future
        self.job_of[future] = job_id

    def finish(self, job_id, finished):
        if self.running.pop(job_id, None) is not None:
            heapq.heappush(self.free_slots, self.slot[job_id])
        self.attempts.setdefault(job_id, 0)
        self.ended_at[job_id] = time.monotonic()
        self.durations[job_id] = self.ended_at[job_id] - self.started_at[job_id]
        state = finished.state
        if state is not None:
            own = self.own_duration(state)
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
            started = (finished.state or {}).get("started")
            now = time.time()
            records.write_job_state(self.out, job_id, "failed", started if isinstance(started, (int, float)) else now,
                                    now, state["error_type"], state["error"], ident=self.ident(job_id))
        if not ok and self.attempts[job_id] <= self.retries:
            # Another attempt, after a short delay that grows with each one.
            self.status[job_id] = "pending"
            delay = RETRY_DELAY * 2 ** (self.attempts[job_id] - 1)
            heapq.heappush(self.retry_at, (time.monotonic() + delay, job_id))
            return
        self.outcomes[job_id] = state
        self.status[job_id] = state["status"] if ok else "failed"
        if ok and isinstance(state.get("value_hash"), str):
            self.decider.value_hashes[job_id] = state["value_hash"]
        if ok:
            for dependent in self.dependents[job_id]:
                self.waiting_on[dependent] -= 1
                if self.waiting_on[dependent] == 0:
                    self.ready.put(dependent)
        else:
            self.skip_dependents(job_id)
        self.report(job_id)

    @staticmethod
    def own_duration(state):
        """From the job's own start to its own end, on the machine that ran it."""
        started, ended = state.get("started"), state.get("finished")
        if isinstance(started, (int, float)) and isinstance(ended, (int, float)) and ended >= started:
            return ended - started
        return None

    def ident(self, job_id):
        return {"plan_id": self.plan.get("id"), "run_id": self.run_id, "attempt": self.attempts.get(job_id, 0)}

    def no_result(self, job_id, returncode, after_success=False):
        outcome = "after recording success" if after_success else None
        if returncode < 0:
            return (f"the job was killed by signal {signal.Signals(-returncode).name} "
                    f"{outcome or 'before recording its outcome'}")
        last = records.last_line(records.log_path(self.out, job_id))
        return (f"the job ended (exit status {returncode}) {outcome or 'without recording its outcome'}"
                f"{': ' + last if last else ''}")

    def skip_dependents(self, job_id):
        stack = list(self.dependents[job_id])
        while stack:
            dependent = stack.pop()
            if self.status[dependent] == "pending":
                self.status[dependent] = "skipped"
                self.report(dependent)
                stack.extend(self.dependents[dependent])

    def execute(self):
        """Runs the plan; returns the exit status (0, 1, or 130 when stopped)."""
        self.started = time.time()
        self.clock = time.monotonic()
        interrupted = False
        # Written first, so that a runner killed outright leaves a record that says the
        # run did not finish, never the previous run's.
        self.write_record(False, in_progress=True)
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
            if self.status[job_id] in ("skipped", "cancelled"):
                # Not run in this run: no record of an earlier run may read as this one's.
                records.remove_file(os.path.join(self.jobs[job_id]["output_dir"], "result.json"))
        self.clear_line()
        self.report_up_to_date()
        record = self.write_record(interrupted)
        entries = record["jobs"]
        logs = {job_id: records.log_path(self.out, job_id) for job_id in self.outcomes}
        details = {job_id: {"frame": o.get("frame"), "log": logs[job_id] if os.path.exists(logs[job_id]) else None}
                   for job_id, o in self.outcomes.items()}
        status = 130 if interrupted else records.exit_status(self.status.values())
        self.write_page(record, details, status)
        records.print_summary(self.asset_labels, entries, details, time.monotonic() - self.clock, interrupted,
                              self.record_path())
        return status

    def write_page(self, record, details, status):
        timeline = {}
        for job_id, ended in self.ended_at.items():
            if job_id in self.slot:
                lane = self.where.get(job_id) or f"slot {self.slot[job_id]}"
                timeline[job_id] = (self.started_at[job_id] - self.clock, ended - self.clock, lane)
        write_page_or_warn(self.out, record, self.plan, timeline, details, status, self.started)

    def loop(self):
        while True:
            while self.retry_at and self.retry_at[0][0] <= time.monotonic():
                self.ready.put(heapq.heappop(self.retry_at)[1])
            self.check_lock()
            while len(self.running) < self.max_jobs and not self.ready.empty():
                job_id = self.ready.get()
                if self.status[job_id] == "pending":
                    self.start(job_id)
            if not self.running and not self.retry_at:
                return
            self.refresh()
            self.still_running()
            timeout = 0.25 if self.interactive else max(0.0, self.next_still_running - time.monotonic())
            if self.retry_at:
                wait = max(0.0, self.retry_at[0][0] - time.monotonic())
                timeout = wait if timeout is None else min(timeout, wait)
            if not self.running:
                time.sleep(timeout)  # only retries wait, for their delay
                continue
            from concurrent.futures import FIRST_COMPLETED, wait

            done, _ = wait([f for f in self.running.values() if f not in self.lost_jobs], timeout=timeout,
                           return_when=FIRST_COMPLETED)
            for future in sorted(done, key=lambda f: self.position[self.job_of[f]]):
                finished = future.result()
                if finished.lost:
                    self.lost = finished.lost  # the job's own record says what became of it
                    self.lost_jobs.add(future)
                    continue
                self.finish(self.job_of.pop(future), finished)
            if self.lost:
                raise Stop()

    def check_lock(self):
        """At most once a second: the folder's lock file is still this run's."""
        if self.lock is None or time.monotonic() - self.lock_checked < 1.0:
            return
        self.lock_checked = time.monotonic()
        try:
            self.lock.verify()
        except records.Busy as busy:
            self.lost_lock = str(busy)
            raise Stop() from None

    def kill_running(self):
        self.executor.signal(signal.SIGKILL)

    def stop_running(self):
        import concurrent.futures

        if self.lost:
            self.end_lost()
            return
        self.executor.signal(signal.SIGTERM)
        _, pending = concurrent.futures.wait(list(self.running.values()), timeout=GRACE_SECONDS)
        if pending:
            self.kill_running()
            concurrent.futures.wait(pending)
        self.end_running(list(self.running), "cancelled", "Interrupted", "stopped by a signal")

    def end_lost(self):
        """The executor lost what runs the jobs: each job still running is what its own
        record of this attempt says; one that never started was cancelled, with no
        attempt, and one that started and has no outcome failed with the loss."""
        from tolva.job import PROG

        print(f"{PROG}: error: {self.lost}", file=sys.stderr, flush=True)
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
                self.durations[job_id] = self.own_duration(own) or self.durations[job_id]
                continue
            self.status[job_id] = status
            self.outcomes[job_id] = {"status": status, "error_type": error_type, "error": error}
            now = time.time()
            records.write_job_state(self.out, job_id, status, now - self.durations[job_id], now, error_type, error,
                                    ident=self.ident(job_id))

    # --- what people see ---------------------------------------------------------

    def counts(self):
        done = sum(1 for s in self.status.values() if s in records.FINISHED)
        failed = sum(1 for s in self.status.values() if s == "failed")
        return done, failed

    def refresh(self):
        """On a terminal, one status line rewritten in place: done of all, failed, the
        running jobs by name and time (longest first, as many as fit) and, once enough
        jobs have run, an estimate of the time left."""
        if not self.interactive:
            return
        import shutil

        width = shutil.get_terminal_size().columns - 1
        done, failed = self.counts()
        now = time.monotonic()
        line = f"[{done}/{len(self.order)}] {failed} failed, {now - self.clock:.0f}s"
        left = self.time_left(done)
        if left is not None:
            line += f", about {left:.0f}s left"
        running = sorted(self.running, key=lambda job_id: self.started_at[job_id])
        if running:
            line += f" | {len(running)} running:"
            for job_id in running:
                item = f" {job_id} {now - self.started_at[job_id]:.0f}s"
                if len(line) + len(item) > width:
                    line += " ..."
                    break
                line += item
        sys.stdout.write("\r\033[K" + line[:width])
        sys.stdout.flush()

    def time_left(self, done):
        """Jobs left times the mean time of the jobs that ran, over the jobs at once;
        None until five jobs have run."""
        ran = [self.durations[j] for j in self.durations if self.status.get(j) in ("succeeded", "failed")]
        if len(ran) < 5:
            return None
        return (len(self.order) - done) * (sum(ran) / len(ran)) / max(1, min(self.max_jobs, len(self.order) - done))

    def still_running(self):
        """Off a terminal, every 30 s, one line naming the jobs still running."""
        now = time.monotonic()
        if self.interactive or not self.running or now < self.next_still_running:
            return
        self.next_still_running = now + STILL_RUNNING_EVERY
        names = ", ".join(f"{job_id} ({now - self.started_at[job_id]:.0f}s)"
                          for job_id in sorted(self.running, key=lambda job_id: self.started_at[job_id]))
        print(f"running   {names}", flush=True)

    def clear_line(self):
        if self.interactive:
            sys.stdout.write("\r\033[K")
            sys.stdout.flush()

    def report(self, job_id):
        """A finished job's line: failures always, every job that ran off a terminal or
        with --verbose; jobs up to date are counted, and summed up in one line."""
        status = self.status[job_id]
        if status == "up-to-date":
            self.up_to_date += 1
            self.refresh()
            return
        duration = f"  {self.durations[job_id]:.2f}s" if job_id in self.durations else ""
        if self.interactive:
            self.clear_line()
            if status == "failed":
                print(self.style.failed(f"FAILED  {job_id}  (log: {records.log_path(self.out, job_id)})"))
            elif self.verbose:
                print(f"{status:<9} {job_id}{duration}")
            self.refresh()
            return
        print(f"{status:<9} {job_id}{duration}", flush=True)

    def report_up_to_date(self):
        if self.up_to_date:
            print(f"up-to-date: {self.up_to_date} job{'s' if self.up_to_date != 1 else ''}", flush=True)

    # --- the run record ----------------------------------------------------------

    def record_path(self):
        return records.run_record_path(self.out)

    def write_record(self, interrupted, in_progress=False):
        entries = []
        for job_id in self.order:
            outcome = self.outcomes.get(job_id, {})
            status = "not-started" if in_progress else self.status[job_id]
            entries.append(records.job_entry(self.jobs[job_id], status, self.durations.get(job_id),
                                             outcome.get("error_type"), outcome.get("error"),
                                             self.attempts.get(job_id, 0), self.where.get(job_id),
                                             self.reasons.get(job_id)))
        return records.write_run_record(self.record_path(), self.plan_file, self.started,
                                        None if in_progress else time.time(), interrupted, entries,
                                        self.executor_name, self.run_id, self.selection)


def report(plan, plan_file, asset_labels):
    """Assembles run.json from the jobs' own state files (for a plan that an engine
    ran) and prints the summary. Returns the exit status."""
    out = plan["out"]
    entries, details, started, finished, spans = [], {}, None, None, {}
    for job in plan["jobs"]:
        state = records.outcome_of(records.read_job_state(out, job["id"], {"plan_id": plan["id"]}))
        if state is None:
            status = "not-started"
            duration = None
            state = {}
        elif state["status"] == "running":
            status, duration = "running", None
        else:
            status = state["status"] if state["status"] in records.STATUSES else "failed"
            end = state.get("finished") if isinstance(state.get("finished"), (int, float)) else None
            duration = None if end is None else max(0.0, end - state["started"])
            started = state["started"] if started is None else min(started, state["started"])
            finished = end if finished is None or (end or 0) > finished else finished
            if end is not None:
                where = state.get("where") if isinstance(state.get("where"), dict) else {}
                spans[job["id"]] = (state["started"], end, where.get("host") or "jobs")
        entries.append(records.job_entry(job, status, duration, state.get("error_type"), state.get("error"),
                                         1 if state else 0, None))
        log = records.log_path(out, job["id"])
        details[job["id"]] = {"frame": state.get("frame"), "log": log if os.path.exists(log) else None}
    now = time.time()
    path = records.run_record_path(out)
    record = records.write_run_record(path, plan_file, started or now, finished or now, False, entries, None,
                                      os.urandom(8).hex())
    status = records.exit_status(entry["status"] for entry in entries)
    timeline = {job_id: (begin - started, end - started, lane) for job_id, (begin, end, lane) in spans.items()}
    write_page_or_warn(out, record, plan, timeline, details, status, started or now)
    records.print_summary(asset_labels, entries, details, (finished or now) - (started or now), False, path)
    return status


def write_page_or_warn(out, record, plan, timeline, details, status, started):
    """The report page is a view: a run whose record is written never fails for it."""
    from tolva import _cli, report_page
    from tolva.job import PROG

    try:
        report_page.write(out, record, plan, timeline, details, status, started)
    except OSError as exc:
        # Named by the page's path, not the temporary file it is written through.
        print(f"{PROG}: warning: the report page was not written: {exc.filename2 or exc.filename}: "
              f"{exc.strerror or exc}", file=sys.stderr)
    except Exception as exc:  # noqa: BLE001 - said in one line, the run's outcome stands
        print(f"{PROG}: warning: the report page was not written: {_cli.describe(exc)}", file=sys.stderr)
