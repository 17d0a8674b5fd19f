"""What earlier runs left in OUT, for people: tolva.load, which returns a stored value
only when the job's own record and the latest run that planned it vouch for it (it
succeeded or was up to date, and its value has the content recorded then), --show,
the previews of values, and --history, the runs recorded there. Reads only, never
runs anything.
"""

import json
import os

from tolva import layout, locks, records, values
from tolva._cli import printable
from tolva.digests import compact


class ValueNotAvailable(LookupError):
    """tolva.load has no value it can vouch for: the job is unknown, never ran, or did
    not succeed in its last run."""

    __module__ = "tolva"


def _records(out):
    """The folder's plans and run records, newest first: the last plan, then every run's
    record (a run of a selection plans only part of the pipeline)."""
    for path in [layout.plan_path(out), *layout.history_files(out)]:
        try:
            record = layout.read_json(path)
        except (OSError, ValueError):
            continue
        jobs = record.get("jobs") if isinstance(record, dict) else None
        if isinstance(jobs, list):
            # A check's job holds what it said of a value, not the asset's value.
            yield path, record, [dict(job, output_dir=layout.job_dir(out, job["id"])) for job in jobs
                                 if isinstance(job, dict) and isinstance(job.get("id"), str)
                                 and isinstance(job.get("asset"), str) and "check" not in job]


def _names_of(asset):
    """What an asset goes by in plans and records: its label, and its module and function."""
    if isinstance(asset, str):
        return {asset}, None
    try:
        is_asset = asset.__tolva_kind__ == "asset"
    except Exception:  # noqa: BLE001
        is_asset = False
    if not is_asset:
        raise TypeError(f"tolva.load: asset must be an asset or its name, not {type(asset).__name__}")
    target = asset.__tolva_original__
    label = asset.__tolva_metadata__.get("name") or target.__name__
    return {label, f"{target.__module__}.{label}"}, (target.__module__, target.__name__)


def _matches(job, names, where):
    """Whether a plan's job is of the asset (a run record's jobs carry only its label)."""
    if "module" in job:
        if where is not None:
            return (job["module"], job.get("function")) == where
        return job["asset"] in names or job.get("function") in names or f"{job['module']}:{job.get('function')}" in names
    return job["asset"] in names


def _same_keys(partition, wanted):
    return set(partition) == set(wanted) and all(compact(partition[d]) == compact(wanted[d]) for d in wanted)


def _as_written(key):
    """A key as --select takes it: a string as it is, anything else as JSON."""
    return key if isinstance(key, str) else compact(key)


def _unknown_partition(asset, jobs, wanted, earlier):
    """Why no job of the asset has those keys: keys no longer planned, a dimension it
    does not have, or a key it does not have, with the closest one."""
    text = f"asset '{asset}' has no job for partition {wanted!r}"
    if any(_same_keys(job.get("partition") or {}, wanted) for job in earlier):
        return f"{text}: it is no longer part of the pipeline"
    dimensions = sorted({d for job in jobs for d in job.get("partition") or {}})
    if not dimensions:
        return f"{text} (it is not partitioned)"
    if set(wanted) != set(dimensions):
        return f"{text} (its dimensions: {', '.join(dimensions)})"
    import difflib  # only for keys that are not known

    for dim in dimensions:
        keys = sorted({compact(job["partition"][dim]) for job in jobs})
        if compact(wanted[dim]) not in keys:
            written = [_as_written(json.loads(key)) for key in keys]
            close = difflib.get_close_matches(_as_written(wanted[dim]), written, n=1)
            hint = f"; did you mean '{close[0]}'?" if close else ""
            return f"{text}: dimension '{dim}' has no key {compact(wanted[dim])}{hint} (its keys: {', '.join(written)})"
    return text


def load(asset, partition=None, *, out="tolva-out"):
    """The stored value of a job: asset by the names ``--select`` takes (or the asset
    itself), partition a dict of its keys, from the output folder out. Raises
    ValueNotAvailable unless the job's own record, and the latest run that planned it,
    vouch for the value; TypeError for an asset that is neither an asset nor a name."""
    names, where = _names_of(asset)
    out = os.path.abspath(out)
    layout.guard(out)
    known = list(_records(out))
    if not known:
        raise ValueNotAvailable(f"no run or plan in {out}: run the pipeline into it first")
    # A run record knows its jobs' assets by label only: the labels the plans give them.
    names = names | {job["asset"] for _, _, listed in known for job in listed if "module" in job
                     and _matches(job, names, where)}
    # The asset's jobs as the newest record that planned the whole of it has them, and
    # any newer record (a run of a selection) adds; older records tell what was removed.
    jobs, ran_in, earlier, whole = {}, [], [], False
    for path, record, listed in known:
        mine = [job for job in listed if _matches(job, names, where)]
        if whole:
            earlier += mine
            continue
        for job in mine:
            jobs.setdefault(job["id"], job)
        if mine and path != layout.plan_path(out):
            ran_in.append(record)
            whole = record.get("selection") is None
    if not jobs:
        import difflib  # only for a name that is not known

        labels = sorted({job["asset"] for _, _, listed in known for job in listed})
        name = sorted(names)[0] if where is None else where[1]
        close = difflib.get_close_matches(name, labels, n=1)
        hint = f"; did you mean '{close[0]}'?" if close else ""
        raise ValueNotAvailable(f"no asset '{name}' in the plan of {out}{hint}")
    wanted = partition or {}
    job = next((j for j in jobs.values() if _same_keys(j.get("partition") or {}, wanted)), None)
    if job is None:
        raise ValueNotAvailable(_unknown_partition(next(iter(jobs.values()))["asset"], list(jobs.values()), wanted,
                                                   earlier))
    state = records.read_job_state(out, job["id"])
    if state is None:
        raise ValueNotAvailable(f"job '{job['id']}' has never run in {out}")
    if state.get("status") not in records.DONE:
        why = f": {state['error']}" if state.get("error") else ""
        raise ValueNotAvailable(f"job '{job['id']}' did not succeed in its last run ({state.get('status')}{why})")
    latest = _latest_status(ran_in, job["id"])
    if latest is not None and latest not in records.DONE:
        raise ValueNotAvailable(f"job '{job['id']}' was {latest} in the latest run that planned it; its value is "
                                "from an earlier run")
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


def _latest_status(run_records, job_id):
    """The job's status in the newest run record that planned it and had its say (a run
    still in progress that has not started the job leaves it to the one before)."""
    for record in run_records:
        entry = next((job for job in record.get("jobs") or () if isinstance(job, dict) and job.get("id") == job_id),
                     None)
        if entry is None:
            continue
        if record.get("in_progress") is True and entry.get("status") in ("not-started", "running"):
            continue
        return entry.get("status")
    return None


def history(out):
    """Prints the runs recorded in OUT, newest first: when, how long, how many jobs of
    each status, and the selection."""
    from datetime import datetime

    layout.guard(out)
    paths = layout.history_files(out)
    if not paths:
        print(f"no run is recorded in {out}")
        return
    print(f"{'started':<25}  {'took':>7}  {'state':<11}  {'run':<16}  succeeded  up-to-date  failed  skipped  "
          "cancelled  selection  page")
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
        selection = printable(", ".join(record.get("selection") or []) or "everything")
        page = path[: -len(".json")] + ".html"
        page = printable(_shown_path(page)) if os.path.exists(page) else "-"
        run_id = printable(str(record.get("run_id") or "-"))
        print(f"{record['started']:<25}  {took:>7}  {state:<11}  {run_id:<16}  {counts[0]:>9}  {counts[1]:>10}  "
              f"{counts[2]:>6}  {counts[3]:>7}  {counts[4]:>9}  {selection}  {page}")


def _shown_path(path):
    """A path relative to the current directory when it is below it, else absolute."""
    relative = os.path.relpath(path)
    return path if relative.startswith("..") else relative


def show(out, jobs):
    """Prints, for each job (plan entries), the preview its record keeps of its value:
    what a --show prints. Returns 0, or 1 when a job has no value to show."""
    missing = 0
    layout.guard(out)
    for job in jobs:
        state = records.read_job_state(out, job["id"])
        if state is None or state.get("status") not in records.DONE:
            why = "it has never run" if state is None else f"its last run {state.get('status')}"
            print(f"{job['id']}: no value ({why})")
            missing += 1
            continue
        preview = state.get("preview") if isinstance(state.get("preview"), dict) else {}
        where = values.previewed_file(job["output_dir"], preview)
        kind = f"{preview.get('type', 'a value')}, stored as {preview.get('format', 'json')}"
        print(printable(f"{job['id']}: {kind} ({where})"))
        for line in preview_lines(preview):
            print(f"  {printable(line)}")
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
