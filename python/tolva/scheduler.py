"""Running a plan on this machine: jobs as subprocesses, progress, summary, run record."""

import json
import os
import queue
import signal
import subprocess
import sys
import threading
import time
from datetime import datetime, timezone


def write_atomically(path, text):
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    temp = f"{path}.{os.getpid()}.tmp"
    with open(temp, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(temp, path)


def _now():
    return datetime.now(timezone.utc).isoformat(timespec="seconds")


class Run:
    def __init__(self, plan, plan_file, max_jobs, assets):
        self.plan = plan
        self.plan_file = plan_file
        self.max_jobs = max_jobs
        self.jobs = {job["id"]: job for job in plan["jobs"]}
        self.order = [job["id"] for job in plan["jobs"]]
        self.dependents = {job_id: [] for job_id in self.order}
        for job in plan["jobs"]:
            for dependency in job["dependencies"]:
                self.dependents[dependency].append(job["id"])
        self.status = {job_id: "pending" for job_id in self.order}
        self.results = {}
        self.durations = {}
        self.started_at = {}
        self.processes = {}
        self.finished = queue.Queue()
        self.interactive = sys.stdout.isatty()
        self.asset_order = [a.label for a in assets]
        self.state_dir = os.path.join(os.path.dirname(plan_file), ".tolva")

    # --- running -----------------------------------------------------------------

    def log_path(self, job_id):
        return os.path.join(self.state_dir, "logs", *job_id.split("/")) + ".log"

    def ready(self):
        return [
            job_id
            for job_id in self.order
            if self.status[job_id] == "pending"
            and all(self.status[d] == "succeeded" for d in self.jobs[job_id]["dependencies"])
        ]

    def start(self, job_id):
        job = self.jobs[job_id]
        os.makedirs(job["output_dir"], exist_ok=True)
        try:
            # A result left by an earlier run must not pass for this one's.
            os.remove(os.path.join(job["output_dir"], "result.json"))
        except FileNotFoundError:
            pass
        log = self.log_path(job_id)
        os.makedirs(os.path.dirname(log), exist_ok=True)
        with open(log, "wb") as log_file:
            process = subprocess.Popen(job["argv"], stdout=log_file, stderr=subprocess.STDOUT,
                                       stdin=subprocess.DEVNULL, cwd=self.plan["workdir"])
        self.status[job_id] = "running"
        self.started_at[job_id] = time.monotonic()
        self.processes[job_id] = process
        threading.Thread(target=self._wait, args=(job_id, process), daemon=True).start()

    def _wait(self, job_id, process):
        self.finished.put((job_id, process.wait()))

    def finish(self, job_id, returncode):
        self.processes.pop(job_id, None)
        self.durations[job_id] = time.monotonic() - self.started_at[job_id]
        result = self.read_result(job_id)
        self.results[job_id] = result
        ok = returncode == 0 and result.get("ok") is True
        self.status[job_id] = "succeeded" if ok else "failed"
        if not ok:
            self.skip_dependents(job_id)
        self.report(job_id)

    def read_result(self, job_id):
        path = os.path.join(self.jobs[job_id]["output_dir"], "result.json")
        try:
            with open(path, encoding="utf-8") as f:
                return json.load(f)
        except (OSError, ValueError):
            return {"ok": False, "error_type": "NoResult", "error": self.last_log_line(job_id)}

    def last_log_line(self, job_id):
        try:
            with open(self.log_path(job_id), encoding="utf-8", errors="replace") as f:
                lines = [line.strip() for line in f if line.strip()]
            return lines[-1] if lines else "the job ended without a result"
        except OSError:
            return "the job ended without a result"

    def skip_dependents(self, job_id):
        for dependent in self.dependents[job_id]:
            if self.status[dependent] == "pending":
                self.status[dependent] = "skipped"
                self.report(dependent)
                self.skip_dependents(dependent)

    def execute(self):
        self.started = _now()
        self.clock = time.monotonic()
        interrupted = False
        try:
            while True:
                for job_id in self.ready():
                    if len(self.processes) >= self.max_jobs:
                        break
                    self.start(job_id)
                if not self.processes:
                    break
                self.refresh()
                try:
                    job_id, returncode = self.finished.get(timeout=0.25 if self.interactive else None)
                except queue.Empty:
                    continue
                self.finish(job_id, returncode)
        except KeyboardInterrupt:
            interrupted = True
            self.stop_running()
        for job_id in self.order:
            if self.status[job_id] == "pending":
                self.status[job_id] = "cancelled" if interrupted else "skipped"
        self.clear_line()
        self.write_record(interrupted)
        self.print_summary(interrupted)
        return 0 if all(s == "succeeded" for s in self.status.values()) else 1

    def stop_running(self):
        for process in self.processes.values():
            try:
                process.send_signal(signal.SIGTERM)
            except ProcessLookupError:
                pass
        deadline = time.monotonic() + 10
        for job_id, process in list(self.processes.items()):
            try:
                process.wait(timeout=max(0.1, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
            self.durations[job_id] = time.monotonic() - self.started_at[job_id]
            self.status[job_id] = "cancelled"
            self.results[job_id] = {"ok": False, "error_type": "Interrupted", "error": "stopped by Ctrl-C"}
        self.processes.clear()

    # --- what people see ---------------------------------------------------------

    def counts(self):
        done = sum(1 for s in self.status.values() if s in ("succeeded", "failed", "skipped"))
        failed = sum(1 for s in self.status.values() if s == "failed")
        return done, failed

    def refresh(self):
        if not self.interactive:
            return
        done, failed = self.counts()
        elapsed = time.monotonic() - self.clock
        line = (f"[{done}/{len(self.order)}] running {len(self.processes)}, failed {failed}, "
                f"elapsed {elapsed:.1f}s")
        sys.stdout.write("\r\033[K" + line)
        sys.stdout.flush()

    def clear_line(self):
        if self.interactive:
            sys.stdout.write("\r\033[K")
            sys.stdout.flush()

    def report(self, job_id):
        if self.interactive:
            if self.status[job_id] == "failed":
                self.clear_line()
                print(f"FAILED  {job_id}  (log: {self.log_path(job_id)})")
            self.refresh()
            return
        status = self.status[job_id]
        duration = f"  {self.durations[job_id]:.2f}s" if job_id in self.durations else ""
        print(f"{status:<9} {job_id}{duration}", flush=True)

    def print_summary(self, interrupted):
        rows = []
        for label in self.asset_order:
            ids = [j for j in self.order if self.jobs[j]["asset"] == label]
            if not ids:
                continue
            statuses = [self.status[j] for j in ids]
            seconds = sum(self.durations.get(j, 0.0) for j in ids)
            rows.append((label, statuses.count("succeeded"), statuses.count("failed"),
                         statuses.count("skipped") + statuses.count("cancelled"), seconds))
        width = max([len("asset")] + [len(r[0]) for r in rows])
        print(f"\n{'asset':<{width}}  succeeded  failed  skipped     time")
        for label, ok, failed, skipped, seconds in rows:
            print(f"{label:<{width}}  {ok:>9}  {failed:>6}  {skipped:>7}  {seconds:6.2f}s")
        for label in self.asset_order:
            failed = [j for j in self.order if self.jobs[j]["asset"] == label and self.status[j] == "failed"]
            if failed:
                result = self.results[failed[0]]
                print(f"\n{label}: {result.get('error_type')}: {result.get('error')}")
                print(f"  first failed job: {failed[0]}; log: {self.log_path(failed[0])}")
        done, failed = self.counts()
        state = "interrupted" if interrupted else ("failed" if failed else "succeeded")
        print(f"\n{state}: {done} of {len(self.order)} jobs done, {failed} failed, "
              f"{time.monotonic() - self.clock:.1f}s; run record: {self.record_path()}")

    # --- the run record ----------------------------------------------------------

    def record_path(self):
        return os.path.join(os.path.dirname(self.plan_file), "run.json")

    def write_record(self, interrupted):
        jobs = []
        for job_id in self.order:
            job = self.jobs[job_id]
            result = self.results.get(job_id, {})
            entry = {
                "id": job_id,
                "asset": job["asset"],
                "partition": job["partition"],
                "status": self.status[job_id],
                "duration": round(self.durations[job_id], 6) if job_id in self.durations else None,
                "directory": job["output_dir"],
                "error_type": None if result.get("ok", True) else result.get("error_type"),
                "error": None if result.get("ok", True) else result.get("error"),
            }
            jobs.append(entry)
        record = {
            "version": 1,
            "started": self.started,
            "finished": _now(),
            "interrupted": interrupted,
            "plan": self.plan_file,
            "jobs": jobs,
        }
        write_atomically(self.record_path(), json.dumps(record, indent=2, ensure_ascii=False) + "\n")
