"""Records: each job's own state file and the run record.

A job records its own outcome in its state file; it is that record's one writer, and
the runner adds what it learns later (a job killed after its record, say) through the
same writer, keeping the job's own fields. The runner and --report assemble run.json
from those files. Imported by job processes, so it stays light. Unreadable state reads
as unknown.
"""

import json
import os
from collections import namedtuple

from tolva import layout, locks

RUN_RECORD_VERSION = 3
STATE_VERSION = 3
# The one vocabulary of a job's status, in run.json, the progress line and the summary.
STATUSES = ("succeeded", "up-to-date", "failed", "skipped", "cancelled")
DONE = ("succeeded", "up-to-date")  # its value holds
FINISHED = DONE + ("failed",)  # it ran or was found up to date: "done" to people
NOT_RUN = ("skipped", "cancelled", "not-started")
CHECK_FAILED = "CheckFailed"  # the error type of a blocking check that failed


# How a job ended: its exit status, its own state record, where it ran, and, when the
# executor lost what runs its jobs (a cluster's scheduler), what it lost.
Finished = namedtuple("Finished", ["returncode", "state", "where", "lost"], defaults=[None, None])


def exit_status(statuses):
    """0 when every job is done (succeeded or up to date), 1 otherwise."""
    return 0 if all(status in DONE for status in statuses) else 1


def timestamp(seconds):
    import time

    return time.strftime("%Y-%m-%dT%H:%M:%S+00:00", time.gmtime(seconds))


# --- one job's state -------------------------------------------------------------


def write_job_state(out, job_id, status, started, finished=None, error_type=None, error=None, frame=None,
                    ident=None, held=False, **done):
    """ident: the plan id, run id and attempt the record belongs to; held: the writer
    holds the job's lock; done: what a success was computed from, which later runs
    compare, and other facts of the job."""
    ident = ident or {}
    state = {"version": STATE_VERSION, "id": job_id, "plan_id": ident.get("plan_id"), "run_id": ident.get("run_id"),
             "attempt": ident.get("attempt"), "status": status, "started": started, "finished": finished,
             "error_type": error_type, "error": error, "frame": frame, **done}
    write = layout.rewrite if held else layout.write_atomically
    write(layout.job_state_path(out, job_id), json.dumps(state, ensure_ascii=False) + "\n")


def amend_job_state(out, job_id, ident, status, started, finished, error_type, error):
    """What the runner learned of an attempt after its job (it was killed, it never
    started, the run was stopped), added to the job's own record of that attempt: its
    other fields stay. A record of another attempt, or none, gives way to a new one
    (started: when the attempt began, as far as the runner knows)."""
    state = read_job_state(out, job_id, ident)
    if state is None:
        write_job_state(out, job_id, status, started, finished, error_type, error, ident=ident)
        return
    kept = {key: value for key, value in state.items()
            if key not in ("version", "id", "plan_id", "run_id", "attempt", "status", "finished", "error_type",
                           "error", "frame", "started")}
    write_job_state(out, job_id, status, state["started"], finished, error_type, error, state.get("frame"), ident,
                    **kept)


def read_job_state(out, job_id, expect=None):
    """The job's recorded state, or None when it is missing, unreadable, of another
    version, or not of the plan, run and attempt that expect names (a record belongs
    to what is running by identity, never by time)."""
    path = layout.job_state_path(out, job_id)
    try:
        try:
            state = layout.read_json(path)
        except ValueError:  # torn: the text it opened was being rewritten (layout.rewrite); the new one is whole
            state = layout.read_json(path)
    except (OSError, ValueError):
        return None
    if not isinstance(state, dict) or state.get("version") != STATE_VERSION or state.get("id") != job_id:
        return None
    if not isinstance(state.get("started"), (int, float)):
        return None
    if expect and any(state.get(key) != value for key, value in expect.items()):
        return None
    return state


def read_job_state_or_why(out, job_id, output_dir):
    """(state, None), or (None, why the job has no usable record)."""
    state = read_job_state(out, job_id)
    if state is not None:
        return state, None
    if os.path.lexists(layout.job_state_path(out, job_id)) or os.path.lexists(layout.value_path(output_dir)):
        return None, "record missing or unreadable"
    return None, "never run"


def outcome_of(state):
    """What a state says of a job: a job whose record says running while its process
    is gone was ended from outside (killed, out of memory)."""
    if state is None:
        return None
    if state.get("status") == "running" and not locks.still_running(state.get("where")):
        return dict(state, status="failed", error_type="NoResult",
                    error="the job ended without recording its outcome")
    return state


# --- the run record --------------------------------------------------------------


def row_label(job):
    """The job's row in summaries and tables: its asset, or its asset's check."""
    check = job.get("check")
    return job["asset"] if check is None else f"{job['asset']} [check {check['name']}]"


def check_outcome(job, state):
    """A check job's entry in run.json: the check, and what it said (passed None: it
    said nothing in this run's records)."""
    said = (state or {}).get("check") or {}
    return {"name": job["check"]["name"], "blocking": job["check"]["blocking"], "passed": said.get("passed"),
            "message": said.get("message")}


def job_entry(job, status, duration, error_type, error, attempts, worker, reason=None, state=None):
    """state: the job's own record, where a check's outcome is."""
    entry = {
        "id": job["id"],
        "asset": job["asset"],
        "partition": job["partition"],
        "status": status,
        "reason": None if status == "up-to-date" else reason,
        "duration": None if duration is None else round(duration, 6),
        "directory": job["output_dir"],
        "error_type": error_type if status == "failed" else None,
        "error": error if status == "failed" else None,
        "attempts": attempts,
        "worker": worker,
    }
    if "check" in job:
        entry["check"] = check_outcome(job, state if status in FINISHED else None)
    return entry


def write_run_record(out, plan_file, started, finished, interrupted, entries, executor, run_id, selection=None):
    """Writes OUT/run.json, the latest run's record, and the run's own entry in the
    history. finished None: the run is in progress, in the process that writes this; a
    record left in progress by a process that no longer runs is an interrupted run.
    Returns the record."""
    record = {
        "version": RUN_RECORD_VERSION,
        "run_id": run_id,
        "pid": os.getpid(),
        "in_progress": finished is None,
        "started": timestamp(started),
        "finished": None if finished is None else timestamp(finished),
        "interrupted": interrupted,
        "plan": plan_file,
        "executor": executor,
        "selection": selection,
        "jobs": entries,
    }
    text = json.dumps(record, indent=2, ensure_ascii=False) + "\n"
    layout.write_atomically(layout.run_record_path(out), text)
    layout.write_atomically(layout.history_path(out, started, run_id, ".json"), text)
    return record
