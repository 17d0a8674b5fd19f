"""One job of a plan: check the plan, gather the job's inputs from its upstream jobs'
files, run the worker, and record the job's own outcome under OUT/.tolva/jobs/.

Every way of starting a job (the local runner, an engine running the plan's argv, a
person) ends in run_job. A job never looks at other jobs' state beyond its inputs,
and never writes outside the plan's output folder.
"""

import json
import os
import re
import sys
import time

from tolva import _cli, incremental, observe, records

PROG = "python -m tolva.run"
PLAN_VERSION = 2


class PlanError(Exception):
    """The plan cannot be trusted: unreadable, of another version, or malformed."""


class UpstreamNotReady(Exception):
    pass


def compact(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False, sort_keys=True)


# --- the plan ----------------------------------------------------------------------


def _require(condition, plan_file, what):
    if not condition:
        raise PlanError(f"plan '{plan_file}' is malformed: {what}")


def _is_str_list(value):
    return isinstance(value, list) and all(isinstance(v, str) for v in value)


def _inside(path, folder):
    path, folder = os.path.realpath(path), os.path.realpath(folder)
    return path == folder or path.startswith(folder.rstrip(os.sep) + os.sep)


def _check_job(plan_file, job, out, ids):
    _require(isinstance(job, dict), plan_file, "a job is not an object")
    job_id = job.get("id")
    _require(isinstance(job_id, str) and job_id, plan_file, "a job has no 'id'")
    where = f"job '{job_id}'"
    for key in ("asset", "module", "function", "output_dir"):
        _require(isinstance(job.get(key), str), plan_file, f"{where} has no '{key}'")
    _require(isinstance(job.get("partition"), dict), plan_file, f"{where} has no 'partition' object")
    fingerprint = job.get("fingerprint", {})
    _require(isinstance(fingerprint, dict) and all(isinstance(v, str) for v in fingerprint.values()), plan_file,
             f"{where} has a malformed 'fingerprint'")
    _require(_is_str_list(job.get("dependencies")), plan_file, f"{where} has no 'dependencies' list")
    _require(isinstance(job.get("inputs"), list), plan_file, f"{where} has no 'inputs' list")
    for spec in job["inputs"]:
        _require(isinstance(spec, dict) and isinstance(spec.get("parameter"), str)
                 and spec.get("mode") in ("value", "list") and _is_str_list(spec.get("from")),
                 plan_file, f"{where} has a malformed input")
        if spec["mode"] == "value":
            _require(len(spec["from"]) == 1, plan_file, f"{where}: input '{spec['parameter']}' needs one job")
    for upstream in job["dependencies"] + [i for spec in job["inputs"] for i in spec["from"]]:
        _require(upstream in ids, plan_file, f"{where} needs unknown job '{upstream}'")
    # Job ids name files under OUT/.tolva: no component may climb out of it.
    _require(all(part not in ("", ".", "..") for part in job_id.split("/")) and "\\" not in job_id
             and "\x00" not in job_id, plan_file, f"{where} is not a safe job id")
    _require(os.path.isabs(job["output_dir"]) and _inside(job["output_dir"], out) and
             os.path.realpath(job["output_dir"]) != os.path.realpath(out),
             plan_file, f"{where} writes outside the output folder {out}")


def _check_header(plan, plan_file):
    _require(isinstance(plan, dict), plan_file, "not a JSON object")
    version = plan.get("version")
    if type(version) is int and version < PLAN_VERSION:
        raise PlanError(f"plan '{plan_file}' was written by an older tolva (plan version {version}, which maps "
                        "partitions differently); plan again with --plan")
    _require(plan.get("version") == PLAN_VERSION, plan_file,
             f"version {plan.get('version')!r}; this tolva reads version {PLAN_VERSION}")
    for key in ("workdir", "out"):
        _require(isinstance(plan.get(key), str) and os.path.isabs(plan[key]), plan_file,
                 f"no absolute '{key}'")
    _require(isinstance(plan.get("created", 0), (int, float)), plan_file, "'created' is not a number")
    _require(isinstance(plan.get("id"), str) and plan["id"], plan_file, "no 'id'")
    roots = plan.get("roots", [])
    _require(isinstance(roots, list) and all(isinstance(r, str) and os.path.isabs(r) for r in roots), plan_file,
             "'roots' is not a list of absolute paths")


def read_plan(plan_file):
    """The plan, checked for shape, version and paths; PlanError otherwise."""
    try:
        with open(plan_file, encoding="utf-8") as f:
            plan = json.load(f)
    except OSError as exc:
        raise PlanError(f"cannot read plan '{plan_file}': {exc.strerror or exc}") from None
    except ValueError as exc:
        raise PlanError(f"plan '{plan_file}' is not valid JSON: {exc}") from None
    _check_header(plan, plan_file)
    _require(isinstance(plan.get("jobs"), list), plan_file, "no 'jobs' list")
    ids = set()
    for job in plan["jobs"]:
        _require(isinstance(job, dict) and isinstance(job.get("id"), str), plan_file, "a job has no 'id'")
        _require(job["id"] not in ids, plan_file, f"job '{job['id']}' appears twice")
        ids.add(job["id"])
    for job in plan["jobs"]:
        _check_job(plan_file, job, plan["out"], ids)
    return plan


# --- one job's own file: what it needs of the plan, and nothing else -------------


def job_files_dir(plan_file):
    """Beside the plan, one small file per job, so that a job's command reads only its
    own entry and its upstream jobs' entries whatever the plan's size."""
    return os.path.join(os.path.dirname(plan_file), ".tolva", "plans", os.path.basename(plan_file))


def job_file_path(plan_file, job_id):
    return os.path.join(job_files_dir(plan_file), *job_id.split("/")) + ".json"


def plan_header(plan):
    return {key: plan[key] for key in ("version", "id", "created", "workdir", "out", "roots") if key in plan}


def job_entry(header, plan_file, job, by_id):
    """What a job's command needs of the plan: its header, the job, and the entries of
    the jobs it reads (by_id: the plan's jobs by id)."""
    upstream = {i: {"partition": by_id[i]["partition"], "output_dir": by_id[i]["output_dir"]}
                for spec in job["inputs"] for i in spec["from"]}
    return dict(header, plan=plan_file, job=job, upstream=upstream)


def write_job_files(plan, plan_file):
    """Writes each job's file after the plan itself, so they are never older than it."""
    header = dict(plan_header(plan), plan_file=_file_identity(plan_file))
    by_id = {job["id"]: job for job in plan["jobs"]}
    made = set()
    for job in plan["jobs"]:
        path = job_file_path(plan_file, job["id"])
        folder = os.path.dirname(path)
        if folder not in made:
            os.makedirs(folder, exist_ok=True)
            made.add(folder)
        records.write_atomically(path, json.dumps(job_entry(header, plan_file, job, by_id), ensure_ascii=False))


def _file_identity(path):
    """[size, inode] of the plan file: a plan replaced or edited (a new size) is told
    apart from the one a job file was written with, with no clock involved."""
    info = os.stat(path)
    return [info.st_size, info.st_ino]


_PLAN_HEAD = re.compile(r'\A\{\s*"version":\s*\d+,\s*"id":\s*"([^"\\]*)"')


def plan_id_of(plan_file):
    """The id at the head of a plan as tolva writes it, read without the jobs."""
    try:
        with open(plan_file, "rb") as f:
            head = f.read(4096).decode("utf-8", "replace")
    except OSError:
        return None
    match = _PLAN_HEAD.match(head)
    return match.group(1) if match else None


def read_job_file(plan_file, job_id):
    """The job's own file when it was written with this very plan (same plan id, same
    plan file); None otherwise (another plan, or one edited by hand), and the caller
    reads the whole plan."""
    absolute = os.path.abspath(plan_file)
    path = job_file_path(absolute, job_id)
    try:
        with open(path, encoding="utf-8") as f:
            entry = json.load(f)
        identity = _file_identity(absolute)
    except (OSError, ValueError):
        return None
    if (not isinstance(entry, dict) or entry.get("plan") != absolute or not isinstance(entry.get("upstream"), dict)
            or entry.get("plan_file") != identity or entry.get("id") != plan_id_of(absolute)):
        return None
    _check_header(entry, plan_file)
    for upstream_id, known in entry["upstream"].items():
        _require(isinstance(known, dict) and isinstance(known.get("partition"), dict)
                 and isinstance(known.get("output_dir"), str) and _inside(known["output_dir"], entry["out"]),
                 plan_file, f"upstream job '{upstream_id}' is malformed")
    _check_job(plan_file, entry.get("job"), entry["out"], set(entry["upstream"]))
    _require(entry["job"]["id"] == job_id, plan_file, f"the file of job '{job_id}' describes another job")
    return entry


def load_job(plan_file, job_id):
    """The plan's header, the job and the upstream jobs it reads; PlanError otherwise."""
    entry = read_job_file(plan_file, job_id)
    if entry is not None:
        return entry
    plan = read_plan(plan_file)
    job = next((j for j in plan["jobs"] if j["id"] == job_id), None)
    if job is None:
        raise PlanError(f"no job '{job_id}' in {plan_file}")
    by_id = {j["id"]: j for j in plan["jobs"]}
    upstream = {i: by_id[i] for spec in job["inputs"] for i in spec["from"]}
    return dict(plan, job=job, upstream=upstream)


# --- inputs ------------------------------------------------------------------------


def _value_text(job):
    directory = job["output_dir"]
    try:
        with open(os.path.join(directory, "result.json"), encoding="utf-8") as f:
            result = json.load(f)
        if not isinstance(result, dict) or result.get("ok") is not True:
            raise UpstreamNotReady(f"upstream job '{job['id']}' failed")
        with open(os.path.join(directory, "value.json"), encoding="utf-8") as f:
            return f.read()
    except (OSError, ValueError) as exc:
        raise UpstreamNotReady(f"upstream job '{job['id']}' has no value: {exc}") from None


def gather_inputs(job, by_id):
    """The job's keyword arguments as JSON text (partition keys by dimension, upstream
    values by parameter; by_id holds the upstream jobs), and the digest of each
    upstream value by job id. Upstream values are spliced in as their own JSON text."""
    members = [f"{json.dumps(dim)}:{compact(key)}" for dim, key in job["partition"].items()]
    hashes = {}

    def value_of(source):
        text = _value_text(source)
        hashes[source["id"]] = incremental.text_hash(text)
        return text

    for spec in job["inputs"]:
        sources = [dict(by_id[i], id=i) for i in spec["from"]]
        if spec["mode"] == "value":
            text = value_of(sources[0])
        else:
            text = "[" + ",".join(
                f'{{"partition":{compact(s["partition"])},"value":{value_of(s)}}}' for s in sources
            ) + "]"
        members.append(f"{json.dumps(spec['parameter'])}:{text}")
    return "{" + ",".join(members) + "}", hashes


def upstream_digests(job, by_id, known):
    """The digest of each upstream value the job reads, by job id: from known (digests
    this process has already checked) or read from the upstream job's folder."""
    digests = {}
    for spec in job["inputs"]:
        for upstream_id in spec["from"]:
            digest = known.get(upstream_id)
            if digest is None:
                digest = incremental.text_hash(_value_text(dict(by_id[upstream_id], id=upstream_id)))
            digests[upstream_id] = digest
    return digests


# --- running -----------------------------------------------------------------------


def clear_folder(output_dir):
    """Before the job starts: an earlier run's record must not pass for this one's,
    and temporary files of workers that were killed go."""
    os.makedirs(output_dir, exist_ok=True)
    records.remove_file(os.path.join(output_dir, "result.json"))
    for name in os.listdir(output_dir):
        if name.startswith((".value.json.", ".result.json.")) and name.endswith(".tmp"):
            records.remove_file(os.path.join(output_dir, name))


def decide(out, job, upstream, decider, force=False):
    """(what a success would be computed from, why the job runs or None when its last
    success still holds). Asked by the runner before it starts a job, by the job
    itself, and by --explain; records nothing."""
    current = decider.current(job, upstream_digests(job, upstream, decider.value_hashes))
    return current, decider.reason(out, job, current, force)


def record_up_to_date(out, job_id, ident=None):
    now = time.time()
    records.write_job_state(out, job_id, "up-to-date", now, now, ident=ident, **incremental.held_record(out, job_id))


def asset_function(job):
    """The user's function behind the job's asset, as this process imports it; None
    when the module does not import (the worker then records why)."""
    import importlib

    try:
        target = getattr(importlib.import_module(job["module"]), job["function"])
        return target.__tolva_original__ if target.__tolva_kind__ == "asset" else None
    except (Exception, SystemExit):
        return None


def own_decider(plan):
    """The job's own up-to-date question: over the code this process imported, which
    is the code that runs, whatever the plan saw."""
    from tolva import fingerprint

    project = fingerprint.Project(plan.get("roots") or [plan["workdir"]])
    codes = fingerprint.CodeFingerprints(project)

    def code_of(job):
        fn = asset_function(job)
        return None if fn is None else codes.of(fn)[:2]

    return incremental.Decider(project, codes, code_of)


def run_job(plan_file, job_id, force=False, run_id=None, attempt=1, entry=None, on_worker=None):
    """Runs one job of the plan unless its last success still holds (or force);
    returns the exit status (0, 1, or 2 for a plan that cannot be trusted or a target
    that is not an asset). Its record names the plan, the run that started it (None
    for a job started by another engine or a person), the attempt, and on_worker: the
    name of the cluster's worker that runs it, if one does. entry: the job's entry
    (job_entry) as the runner that forked it holds it, instead of a file's."""
    from tolva import worker

    try:
        plan = entry if entry is not None else load_job(plan_file, job_id)
        job = plan["job"]
        os.chdir(plan["workdir"])
        _cli.make_cwd_importable()
    except (PlanError, OSError) as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 2
    out = plan["out"]
    ident = {"plan_id": plan["id"], "run_id": run_id, "attempt": attempt}
    records.hold_job_lock(out, job_id, lambda: print(f"{PROG}: job '{job_id}': another copy of it is running; "
                                                     "waiting for it to end", flush=True))
    earlier = records.read_job_state(out, job_id, ident) if run_id is not None else None
    if earlier is not None and earlier["status"] != "running":
        # This very attempt ran to its end in another copy (a task its engine started
        # twice): its record stands.
        print(f"{PROG}: job '{job_id}': attempt {attempt} of this run already ended ({earlier['status']})")
        return 0 if earlier["status"] in records.DONE else 1
    # A copy of this attempt that started and was lost (its worker died) counts as a start.
    starts = (earlier.get("starts") or 1) + 1 if earlier is not None else 1
    started = time.time()
    named = {"worker": on_worker} if on_worker else {}

    def finish(status, error_type=None, error=None, frame=None, **done):
        records.write_job_state(out, job_id, status, started, time.time(), error_type, error, frame, ident,
                                starts=starts, **named, **done)

    decider = own_decider(plan)
    try:
        current, reason = decide(out, job, plan["upstream"], decider, force)
        if reason is not None:
            # What the asset receives is what its record names, read once more now.
            inputs, current["upstream"] = gather_inputs(job, plan["upstream"])
    except UpstreamNotReady as exc:
        print(f"{PROG}: error: job '{job_id}': {exc}", file=sys.stderr)
        finish("failed", "UpstreamNotReady", str(exc))
        return 1
    if reason is None:
        record_up_to_date(out, job_id, ident)
        print(f"{PROG}: job '{job_id}' is up to date; --force runs it again")
        return 0

    clear_folder(job["output_dir"])
    records.write_job_state(out, job_id, "running", started, ident=ident, where=records.running_here(), starts=starts,
                            **named)
    records.write_atomically(records.inputs_path(out, job_id), inputs)
    sys.stdout.flush()
    try:
        observer = observe.Observer(decider.project, out, asset_function(job))
        outcome = worker.materialize(job["module"], job["function"], job["output_dir"], inputs, observer)
    except worker.NotAnAsset as exc:
        print(f"{PROG}: error: job '{job_id}': {exc}", file=sys.stderr)
        finish("failed", "NotAnAsset", str(exc))
        return 2
    except Exception as exc:
        print(f"{PROG}: error: job '{job_id}': {_cli.describe(exc)}", file=sys.stderr)
        finish("failed", type(exc).__name__, _cli.describe(exc))
        return 1
    if not outcome.ok:
        worker.report_failure(PROG, outcome)
        finish("failed", outcome.error_type, outcome.error, outcome.frame())
        return 1
    finish("succeeded", **incremental.success_record(current, observer.record(job["output_dir"], decider.codes),
                                                   job["output_dir"]))
    return 0
