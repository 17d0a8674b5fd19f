"""A run's progress as people see it while it runs: on a terminal, one status line
rewritten in place and a line per failure (per job with --verbose); off a terminal,
a line per job that ends and, every 30 s, one naming the jobs still running. Jobs
found up to date are summed up in one line. Prints only; decides nothing.
"""

import sys
import time

from tolva._cli import printable
from tolva.records import FINISHED
from tolva.summary import Style

STILL_RUNNING_EVERY = 30.0  # seconds between two lines naming the running jobs, off a terminal


class Progress:
    def __init__(self, total, max_jobs, verbose=False, log_of=None, stream=None):
        """total: the jobs of the run; log_of(job_id): the path of a job's log."""
        self.stream = stream or sys.stdout
        self.interactive = self.stream.isatty()
        self.style = Style(self.stream)
        self.total, self.max_jobs, self.verbose, self.log_of = total, max_jobs, verbose, log_of
        self.clock = time.monotonic()
        self.done = self.failed = self.up_to_date = 0
        self.ran = []  # durations of the jobs that ran, for the estimate of the time left
        self.next_still_running = self.clock + STILL_RUNNING_EVERY

    def ended(self, job_id, status, duration=None, ran=False):
        """A job's outcome in this run: failures always get a line, every job that ran
        does off a terminal or with --verbose; jobs up to date are counted. ran: it ran
        (its duration counts towards the estimate)."""
        self.done += status in FINISHED
        self.failed += status == "failed"
        if ran and duration is not None:
            self.ran.append(duration)
        if status == "up-to-date":
            self.up_to_date += 1
            return
        seconds = f"  {duration:.2f}s" if duration is not None else ""
        if not self.interactive:
            self._print(f"{status:<9} {job_id}{seconds}")
        elif status == "failed":
            self.clear()
            self._print(self.style.failed(f"FAILED  {job_id}  (log: {printable(self.log_of(job_id))})"))
        elif self.verbose:
            self.clear()
            self._print(f"{status:<9} {job_id}{seconds}")

    def tick(self, running, started_at):
        """running: the ids of the jobs running; started_at: job id -> when it started
        (monotonic)."""
        if self.interactive:
            self._refresh(sorted(running, key=started_at.get), started_at)
        elif running and time.monotonic() >= self.next_still_running:
            now = time.monotonic()
            self.next_still_running = now + STILL_RUNNING_EVERY
            names = ", ".join(f"{job_id} ({now - started_at[job_id]:.0f}s)"
                              for job_id in sorted(running, key=started_at.get))
            self._print(f"running   {names}")

    def wait_at_most(self):
        """How long the run may wait for its jobs before the next tick is due."""
        if self.interactive:
            return 0.25
        return max(0.0, self.next_still_running - time.monotonic())

    def close(self):
        """The run is over: the status line goes, and the jobs up to date get their line."""
        self.clear()
        if self.up_to_date:
            self._print(f"up-to-date: {self.up_to_date} job{'s' if self.up_to_date != 1 else ''}")

    def clear(self):
        if self.interactive:
            self.stream.write("\r\033[K")
            self.stream.flush()

    def _print(self, line):
        print(line, file=self.stream, flush=True)

    def _refresh(self, running, started_at):
        """Done of all, failed, the running jobs by name and time (longest first, as many
        as fit) and, once enough jobs have run, an estimate of the time left."""
        import shutil

        width = shutil.get_terminal_size().columns - 1
        now = time.monotonic()
        line = f"[{self.done}/{self.total}] {self.failed} failed, {now - self.clock:.0f}s"
        left = self.time_left()
        if left is not None:
            line += f", about {left:.0f}s left"
        if running:
            line += f" | {len(running)} running:"
            for job_id in running:
                item = f" {job_id} {now - started_at[job_id]:.0f}s"
                if len(line) + len(item) > width:
                    line += " ..."
                    break
                line += item
        self.stream.write("\r\033[K" + line[:width])
        self.stream.flush()

    def time_left(self):
        """Jobs left times the mean time of the jobs that ran, over the jobs at once;
        None until five jobs have run."""
        if len(self.ran) < 5:
            return None
        left = self.total - self.done
        return left * (sum(self.ran) / len(self.ran)) / max(1, min(self.max_jobs, left))
