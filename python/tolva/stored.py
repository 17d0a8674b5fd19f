"""What earlier runs left in OUT, for people: tolva.load, which returns a stored value
only when the job's own record vouches for it (its last run succeeded, or found it up
to date, and value.json has the content recorded then), and --history, the runs
recorded there. Reads only, never runs anything.
"""

import os

from tolva import formats, layout, locks, records, values
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
    try:
        stored = values.Stored(job["id"], job["output_dir"], state)
    except values.NotReady as exc:
        raise ValueNotAvailable(f"job '{job['id']}': {exc}") from None
    if state.get("value_hash") is None or stored.digest != state.get("value_hash"):
        raise ValueNotAvailable(f"job '{job['id']}': {stored.path} is not the value its last success recorded")
    try:
        return stored.load()
    except values.NotReady as exc:
        raise ValueNotAvailable(str(exc)) from None


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


def show(out, jobs):
    """Prints, for each job (plan entries), the preview its record keeps of its value:
    what a --show prints. Returns 0, or 1 when a job has no value to show."""
    missing = 0
    for job in jobs:
        state = records.read_job_state(out, job["id"])
        if state is None or state.get("status") not in records.DONE:
            why = "it has never run" if state is None else f"its last run {state.get('status')}"
            print(f"{job['id']}: no value ({why})")
            missing += 1
            continue
        preview = state.get("preview") if isinstance(state.get("preview"), dict) else {}
        where = layout.value_path(job["output_dir"], formats.suffix_of(preview.get("format")))
        print(f"{job['id']}: {preview.get('type', 'a value')}, stored as {preview.get('format', 'json')} ({where})")
        for line in preview_lines(preview):
            print(f"  {line}")
    return 1 if missing else 0


def preview_lines(preview):
    """A preview as lines of text: a table's shape, columns and first rows; an array's
    shape, type and range; the start of a text; a file's name and size."""
    if "columns" in preview:
        columns = preview["columns"]
        lines = [f"{preview.get('rows', '?')} rows × {len(columns)} columns: "
                 + ", ".join(f"{name} {dtype}" for name, dtype in columns)]
        index = preview.get("index")
        rows = [([index[i]] if index else []) + row for i, row in enumerate(preview.get("head") or [])]
        header = ([""] if index else []) + [name for name, _ in columns]
        if rows:
            widths = [max(len(str(cell)) for cell in column) for column in zip(header, *rows)]
            lines += ["  ".join(str(cell).rjust(width) for cell, width in zip(line, widths)).rstrip()
                      for line in [header] + rows]
        return lines
    if "shape" in preview:
        shape = "×".join(str(n) for n in preview["shape"]) or "scalar"
        bounds = f", from {preview['min']} to {preview['max']}" if "min" in preview else ""
        return [f"array of shape {shape}, {preview.get('dtype')}{bounds}"]
    if "name" in preview and "size" in preview:
        kind = "folder" if preview.get("folder") else "file"
        return [f"{kind} {preview['name']}, {preview['size']} bytes"]
    if "text" in preview:
        head = [f"{preview['size']} {'bytes' if preview.get('format') == 'bytes' else 'characters'}"] \
            if "size" in preview else []
        return head + preview["text"].splitlines()
    if "repr" in preview:
        return [preview["repr"]]
    return [preview["preview_error"]] if "preview_error" in preview else []
