"""A run's records for later: run.json and its copy in the history (written when the
run starts, in progress, and when it ends), the report page, and the summary printed
at the end; and the same assembled from the jobs' own records for a plan an engine
ran (--report). Reads what the scheduler kept; schedules nothing.
"""

import os
import sys
import time

from tolva import _cli, layout, records, report_page, state_page, summary, values


class RunRecorder:
    def __init__(self, plan, plan_file, labels, executor_name, run_id, selection, whole=None):
        self.plan, self.plan_file, self.labels = plan, plan_file, labels
        self.whole = whole or plan  # the plan of every job, of which a selection runs some
        self.out = plan["out"]
        self.executor_name, self.run_id, self.selection = executor_name, run_id, selection
        self.started = time.time()
        self.clock = time.monotonic()

    def begin(self, run):
        """Written first, so that a runner killed outright leaves a record that says the
        run did not finish, never the previous run's."""
        self.started = time.time()
        self.clock = time.monotonic()
        self._write(run, False, in_progress=True)

    def end(self, run, interrupted):
        """The run's record, its page and its summary; returns the exit status."""
        record = self._write(run, interrupted)
        known = {}  # job id -> its own record, as read here once for both pages
        details = {job_id: job_details(self.out, run.jobs[job_id], run.outcomes.get(job_id, {}), run.status[job_id],
                                       known) for job_id in run.order if job_id in run.outcomes}
        status = 130 if interrupted else records.exit_status(run.status.values())
        timeline = {job_id: (run.started_at[job_id] - self.clock, ended - self.clock,
                             run.where.get(job_id) or f"slot {run.slot[job_id]}")
                    for job_id, ended in run.ended_at.items() if job_id in run.slot}
        write_page_or_warn(self.out, record, self.plan, timeline, details, status, self.started, self.whole, known)
        summary.print_summary(self.labels, record["jobs"], details, time.monotonic() - self.clock, interrupted,
                              layout.run_record_path(self.out))
        return status

    def _write(self, run, interrupted, in_progress=False):
        entries = []
        for job_id in run.order:
            outcome = run.outcomes.get(job_id, {})
            status = "not-started" if in_progress else run.status[job_id]
            entries.append(records.job_entry(run.jobs[job_id], status, run.durations.get(job_id),
                                             outcome.get("error_type"), outcome.get("error"),
                                             run.attempts.get(job_id, 0), run.where.get(job_id),
                                             run.reasons.get(job_id), self._state(run.jobs[job_id], status, outcome)))
        return records.write_run_record(self.out, self.plan_file, self.started,
                                        None if in_progress else time.time(), interrupted, entries,
                                        self.executor_name, self.run_id, self.selection)


    def _state(self, job, status, outcome):
        """The job's own record as far as its entry needs it: a check found up to date
        still says what it said when it ran."""
        if "check" in job and status == "up-to-date":
            return records.read_job_state(self.out, job["id"]) or {}
        return outcome


def job_details(out, job, outcome, status, known=None):
    """What the summary and the page show of a job beyond run.json: the frame of the
    user's code it failed at, its log, and for a value that holds its preview and file
    (read from the job's own record when the run found it up to date; known keeps
    the records read, by job id)."""
    log = layout.log_path(out, job["id"])
    details = {"frame": outcome.get("frame"), "log": log if os.path.exists(log) else None}
    if "started" in outcome and known is not None:
        known[job["id"]] = outcome  # the job's own record, as it sent it
    if status in records.DONE:
        state = outcome if "preview" in outcome else records.read_job_state(out, job["id"]) or {}
        if known is not None:
            known[job["id"]] = state
        preview = state.get("preview")
        if isinstance(preview, dict):
            details["preview"] = preview
            details["value"] = values.previewed_file(job["output_dir"], preview)
    return details


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
                                         1 if state else 0, None, state=state))
        details[job["id"]] = job_details(out, job, state, status)
    now = time.time()
    record = records.write_run_record(out, plan_file, started or now, finished or now, False, entries, None,
                                      os.urandom(8).hex())
    status = records.exit_status(entry["status"] for entry in entries)
    timeline = {job_id: (begin - started, end - started, lane) for job_id, (begin, end, lane) in spans.items()}
    write_page_or_warn(out, record, plan, timeline, details, status, started or now, plan)
    summary.print_summary(asset_labels, entries, details, (finished or now) - (started or now), False,
                          layout.run_record_path(out))
    return status


def write_page_or_warn(out, record, plan, timeline, details, status, started, whole, known=None):
    """The report page and the state page are views: a run whose record is written
    never fails for them."""
    touched = {job["asset"] for job in plan["jobs"]}
    untouched = [label for label in dict.fromkeys(job["asset"] for job in whole["jobs"]) if label not in touched]
    for name, write in (("report page", lambda: report_page.write(out, record, plan, timeline, details, status,
                                                                  started, untouched)),
                        ("state page", lambda: state_page.write(out, whole, {e["id"]: e["status"] for e in
                                                                             record["jobs"]}, record["run_id"],
                                                                known))):
        try:
            write()
        except OSError as exc:
            # Named by the page's path, not the temporary file it is written through.
            _cli.warn(f"the {name} was not written: {exc.filename2 or exc.filename}: {exc.strerror or exc}")
        except Exception as exc:  # noqa: BLE001 - said in one line, the run's outcome stands
            _cli.warn(f"the {name} was not written: {_cli.describe(exc)}")
    sys.stderr.flush()
