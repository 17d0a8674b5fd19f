"""The plan as a file: its format's version, reading it back checked for shape,
version and paths, and each job's own small file beside it, so that a job's command
costs the same whatever the plan's size. Read by job processes: stays light, and
never imports the user's modules.
"""

import json
import os
import re

from tolva import layout
from tolva.digests import sha256

PLAN_VERSION = 2


class PlanError(Exception):
    """The plan cannot be trusted: unreadable, of another version, or malformed."""


def _require(condition, plan_file, what):
    if not condition:
        raise PlanError(f"plan '{plan_file}' is malformed: {what}")


def _is_str_list(value):
    return isinstance(value, list) and all(isinstance(v, str) for v in value)


def _inside(path, folder):
    path, folder = os.path.realpath(path), os.path.realpath(folder)
    return path == folder or path.startswith(folder.rstrip(os.sep) + os.sep)


def _check_job(plan_file, job, out, ids, dependency_ids=None):
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
    policy = job.get("policy", {})
    _require(isinstance(policy, dict) and all(
        key in ("retries", "retry_delay", "timeout") and isinstance(value, (int, float)) and not isinstance(value, bool)
        and value >= 0 for key, value in policy.items()), plan_file, f"{where} has a malformed 'policy'")
    _require(isinstance(job.get("inputs"), list), plan_file, f"{where} has no 'inputs' list")
    for spec in job["inputs"]:
        _require(isinstance(spec, dict) and isinstance(spec.get("parameter"), str)
                 and spec.get("mode") in ("value", "maybe", "list") and _is_str_list(spec.get("from")),
                 plan_file, f"{where} has a malformed input")
        if spec["mode"] == "value":
            _require(len(spec["from"]) == 1, plan_file, f"{where}: input '{spec['parameter']}' needs one job")
        elif spec["mode"] == "maybe":
            _require(len(spec["from"]) <= 1, plan_file, f"{where}: input '{spec['parameter']}' needs one job or none")
    for upstream in [i for spec in job["inputs"] for i in spec["from"]]:
        _require(upstream in ids, plan_file, f"{where} needs unknown job '{upstream}'")
    for upstream in job["dependencies"]:
        _require(upstream in (ids if dependency_ids is None else dependency_ids), plan_file,
                 f"{where} needs unknown job '{upstream}'")
    check = job.get("check")
    _require(check is None or (isinstance(check, dict) and isinstance(check.get("name"), str)
                               and isinstance(check.get("blocking"), bool) and _is_str_list(check.get("keys"))
                               and len(job["inputs"]) == 1), plan_file, f"{where} has a malformed 'check'")
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


def write_plan(plan, plan_file, job_files=True):
    """Writes the plan, then (job_files) each job's own file beside it; returns the
    plan's text. A run leaves the job files to its executor, which writes them before
    the first job that starts as the plan's command; a forked job gets its entry with
    its request."""
    text = json.dumps(plan, indent=2, ensure_ascii=False) + "\n"
    layout.write_atomically(plan_file, text)
    if job_files:
        write_job_files(plan, plan_file)
    return text


# --- one job's own file: what it needs of the plan, and nothing else -------------


def plan_header(plan):
    return {key: plan[key] for key in ("version", "id", "created", "workdir", "out", "roots") if key in plan}


def job_entry(header, plan_file, job, by_id):
    """What a job's command needs of the plan: its header, the job, and the entries of
    the jobs it reads (by_id: the plan's jobs by id)."""
    upstream = {i: {"partition": by_id[i]["partition"], "output_dir": by_id[i]["output_dir"]}
                for spec in job["inputs"] for i in spec["from"]}
    return dict(header, plan=plan_file, job=job, upstream=upstream)


JOBS_PER_FILE = 256  # a job's command reads one such file: a few hundred KB at most


def shard_of(job_id, shards):
    """Which of the plan's job files holds the job's entry."""
    return int(sha256(job_id.encode("utf-8", "surrogatepass")).hexdigest()[:8], 16) % shards


def write_job_files(plan, plan_file):
    """Writes the jobs' own entries beside the plan, JOBS_PER_FILE to a file, and then
    their index, which names the plan it was written with: so never older than it."""
    folder = layout.job_files_dir(plan_file)
    layout.remove_tree(folder)  # an earlier plan's files, of whatever count
    layout.ensure_folder(folder)
    header = dict(plan_header(plan), plan_file=_file_identity(plan_file), plan=plan_file)
    by_id = {job["id"]: job for job in plan["jobs"]}
    shards = max(1, -(-len(plan["jobs"]) // JOBS_PER_FILE))
    groups = [{} for _ in range(shards)]
    for job in plan["jobs"]:
        entry = job_entry({}, plan_file, job, by_id)
        groups[shard_of(job["id"], shards)][job["id"]] = {"job": entry["job"], "upstream": entry["upstream"]}
    for shard, group in enumerate(groups):
        layout.write_atomically(layout.job_file_path(plan_file, shard),
                                json.dumps({"id": plan["id"], "jobs": group}, ensure_ascii=False))
    layout.write_atomically(layout.job_files_index_path(plan_file), json.dumps(dict(header, shards=shards)))


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
    """The job's own entry when it was written with this very plan (same plan id, same
    plan file); None otherwise (another plan, or one edited by hand), and the caller
    reads the whole plan."""
    absolute = os.path.abspath(plan_file)
    try:
        index = layout.read_json(layout.job_files_index_path(absolute))
        identity = _file_identity(absolute)
        if (not isinstance(index, dict) or index.get("plan") != absolute or index.get("plan_file") != identity
                or index.get("id") != plan_id_of(absolute) or type(index.get("shards")) is not int
                or index["shards"] < 1):
            return None
        shard = layout.read_json(layout.job_file_path(absolute, shard_of(job_id, index["shards"])))
    except (OSError, ValueError):
        return None
    found = shard.get("jobs", {}).get(job_id) if isinstance(shard, dict) and shard.get("id") == index["id"] else None
    if not isinstance(found, dict):
        return None
    entry = dict({key: index[key] for key in ("version", "id", "created", "workdir", "out", "roots") if key in index},
                 plan=absolute, job=found.get("job"), upstream=found.get("upstream"))
    _check_header(entry, plan_file)
    _require(isinstance(entry["upstream"], dict), plan_file, f"the entry of job '{job_id}' is malformed")
    for upstream_id, known in entry["upstream"].items():
        _require(isinstance(known, dict) and isinstance(known.get("partition"), dict)
                 and isinstance(known.get("output_dir"), str) and _inside(known["output_dir"], entry["out"]),
                 plan_file, f"upstream job '{upstream_id}' is malformed")
    # The jobs it waits for (a blocking check, say) are the runner's concern, not its own.
    job = entry.get("job")
    _check_job(plan_file, job, entry["out"], set(entry["upstream"]),
               set(job.get("dependencies") or ()) if isinstance(job, dict) and _is_str_list(job.get("dependencies"))
               else None)
    _require(entry["job"]["id"] == job_id, plan_file, f"the entry of job '{job_id}' describes another job")
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
