"""Reading stored values from Python: tolva.load. A value is returned only when the
job's own record vouches for it (its last run succeeded, or found it up to date, and
value.json has the content recorded then); reads only, never runs anything."""

import json
import os

from tolva import ValueNotAvailable, records


def _jobs(out):
    """Every job the folder knows of: the last plan's, then those of the recorded runs,
    newest first (a run of a selection plans only part of the pipeline)."""
    paths = [records.plan_path(out)]
    try:
        paths += [os.path.join(records.history_dir(out), name)
                  for name in sorted(os.listdir(records.history_dir(out)), reverse=True)]
    except OSError:
        pass
    for path in paths:
        try:
            with open(path, encoding="utf-8") as f:
                jobs = json.load(f).get("jobs")
        except (OSError, ValueError, AttributeError):
            continue
        for job in jobs if isinstance(jobs, list) else ():
            if isinstance(job, dict) and isinstance(job.get("id"), str):
                # A job's folder is its id under OUT: a copied or moved folder reads the same.
                yield dict(job, output_dir=os.path.join(out, *job["id"].split("/")))


def _matches(job, asset):
    """Whether a plan's job is of the asset (a run record's jobs carry only the label)."""
    if isinstance(asset, str):
        return asset in (job.get("asset"), job.get("function"), f"{job.get('module')}:{job.get('function')}")
    target = getattr(asset, "__tolva_original__", asset)
    return (job.get("module"), job.get("function")) == (getattr(target, "__module__", None),
                                                       getattr(target, "__name__", None))


def _same_keys(partition, wanted):
    def compact(value):
        return json.dumps(value, separators=(",", ":"), ensure_ascii=False, sort_keys=True)

    return set(partition) == set(wanted) and all(compact(partition[d]) == compact(wanted[d]) for d in wanted)


def load(asset, partition=None, *, out="tolva-out"):
    """The stored value of one job of the pipeline last run (or planned) into out: asset
    by the names --select takes (or the asset itself), partition a dict of its keys."""
    out = os.path.abspath(out)
    known_jobs = list(_jobs(out))
    if not known_jobs:
        raise ValueNotAvailable(f"no run or plan in {out}: run the pipeline into it first")
    name = asset if isinstance(asset, str) else getattr(asset, "__name__", repr(asset))
    labels = {job["asset"] for job in known_jobs if _matches(job, asset)} | ({asset} if isinstance(asset, str) else set())
    jobs = [job for job in known_jobs if job.get("asset") in labels]
    if not jobs:
        import difflib

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
    from tolva.incremental import file_hash

    path = os.path.join(job["output_dir"], "value.json")
    if state.get("value_hash") is None or file_hash(path) != state.get("value_hash"):
        raise ValueNotAvailable(f"job '{job['id']}': {path} is not the value its last success recorded")
    with open(path, encoding="utf-8") as f:
        return json.load(f)
