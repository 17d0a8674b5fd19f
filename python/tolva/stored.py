"""What earlier runs left in OUT, for people: tolva.load, which returns a stored value
only when the job's own record vouches for it (its last run succeeded, or found it up
to date, and value.json has the content recorded then), and --history, the runs
recorded there. Reads only, never runs anything.
"""

import json
import os

from tolva import layout, locks, records
from tolva.digests import compact


class ValueNotAvailable(LookupError):
    """tolva.load has no value it can vouch for: the job is unknown, never ran, or did
    not succeed in its last run."""

    __module__ = "tolva"


def _jobs(out):
    """Every job the folder knows of: the last plan's, then those of the recorded runs,
    newest first (a run of a selection plans only part of the pipeline)."""
    for path in [layout.plan_path(out), *layout.history_files(out)]:
        try:
            jobs = layout.read_json(path).get("jobs")
        except (OSError, ValueError, AttributeError):
            continue
        for job in jobs if isinstance(jobs, list) else ():
            if isinstance(job, dict) and isinstance(job.get("id"), str):
                yield dict(job, output_dir=layout.job_dir(out, job["id"]))


def _matches(job, asset):
    """Whether a plan's job is of the asset (a run record's jobs carry only the label)."""
    if isinstance(asset, str):
        return asset in (job.get("asset"), job.get("function"), f"{job.get('module')}:{job.get('function')}")
    target = getattr(asset, "__tolva_original__", asset)
    return (job.get("module"), job.get("function")) == (getattr(target, "__module__", None),
                                                       getattr(target, "__name__", None))


def _same_keys(partition, wanted):
    return set(partition) == set(wanted) and all(compact(partition[d]) == compact(wanted[d]) for d in wanted)


def load(asset, partition=None, *, out="tolva-out"):
    """The stored value of a job: asset by the names ``--select`` takes (or the asset
    itself), partition a dict of its keys, from the output folder out. Raises
    ValueNotAvailable unless the job's own record vouches for the value."""
    out = os.path.abspath(out)
    known_jobs = list(_jobs(out))
    if not known_jobs:
        raise ValueNotAvailable(f"no run or plan in {out}: run the pipeline into it first")
    name = asset if isinstance(asset, str) else getattr(asset, "__name__", repr(asset))
    labels = {job["asset"] for job in known_jobs if _matches(job, asset)} | ({asset} if isinstance(asset, str) else set())
    jobs = [job for job in known_jobs if job.get("asset") in labels]
    if not jobs:
        import difflib  # only for a name that is not known

        known = sorted({job.get("asset") for job in known_jobs} - {None})
        close = difflib.get_close_matches(name, known, n=1)
        hint = f"; did you mean '{close[0]}'?" if close else ""
        raise ValueNotAvailable(f"no asset '{name}' in the plan of {out}{hint}")
    wanted = partition or {}
    job = next((j for j in jobs if _same_keys(j.get("partition") or {}, wanted)), None)
    if job is None:
        dimensions = sorted(jobs[0].get("partition") or {})
        raise ValueNotAvailable(f"asset '{jobs[0]['asset']}' has no job for partition {wanted!r}"
                                + (f" (its dimensions: {', '.join(dimensions)})" if dimensions else
                                   " (it is not partitioned)"))
    state = records.read_job_state(out, job["id"])
    if state is None:
        raise ValueNotAvailable(f"job '{job['id']}' has never run in {out}")
    if state.get("status") not in records.DONE:
        why = f": {state['error']}" if state.get("error") else ""
        raise ValueNotAvailable(f"job '{job['id']}' did not succeed in its last run ({state.get('status')}{why})")
    path = layout.value_path(job["output_dir"])
    if state.get("value_hash") is None or layout.file_hash(path) != state.get("value_hash"):
        raise ValueNotAvailable(f"job '{job['id']}': {path} is not the value its last success recorded")
    return json.loads(layout.read_text(path))


def history(out):
    """Prints the runs recorded in OUT, newest first: when, how long, how many jobs of
    each status, and the selection."""
    from datetime import datetime

    paths = layout.history_files(out)
    if not paths:
        print(f"no run is recorded in {out}")
        return
    print(f"{'started':<25}  {'took':>7}  {'state':<11}  succeeded  up-to-date  failed  skipped  cancelled  selection")
    for path in paths:
        try:
            record = layout.read_json(path)
            statuses = [job["status"] for job in record["jobs"]]
            started = datetime.fromisoformat(record["started"])
        except (OSError, ValueError, KeyError, TypeError):
            continue
        if record.get("in_progress"):
            alive = locks.process_start(record.get("pid")) is not None if isinstance(record.get("pid"), int) \
                else False
            state, took = ("running" if alive else "interrupted"), "-"
        else:
            state = "interrupted" if record.get("interrupted") else \
                "succeeded" if records.exit_status(statuses) == 0 else "failed"
            took = f"{(datetime.fromisoformat(record['finished']) - started).total_seconds():.1f}s"
        counts = [statuses.count(s) for s in records.STATUSES]
        selection = ", ".join(record.get("selection") or []) or "everything"
        print(f"{record['started']:<25}  {took:>7}  {state:<11}  {counts[0]:>9}  {counts[1]:>10}  {counts[2]:>6}  "
              f"{counts[3]:>7}  {counts[4]:>9}  {selection}")
