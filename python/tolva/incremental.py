"""The up-to-date decision: whether a job's last success in this output folder still
holds, and the first reason when it does not. Asked by the runner before it starts a
job, by the job itself, and by --explain; it records nothing.

A success records its basis, what the value was computed from: the code fingerprint
of the code the job itself imported (with a digest per function, class and constant,
to name what changed), the declaration, the tolva and Python versions, the digest of
every upstream value it read, what it was seen to use while it ran (functions, files,
folders, environment variables; see observe), and the content hashes of its own
outputs. The job is up to date when all of these still hold. Anything missing,
unreadable or of another version means "run it": nothing stale passes for fresh.
"""

import json
import os
import sys

from tolva import __version__, digests, formats, layout, observe, records, values

# The fields of a job's record that make its basis, compared by later runs and kept
# when a job is found up to date.
BASIS = ("code", "parts", "declaration", "versions", "upstream", "gathered", "observed")
OUTPUT_HASHES = ("value_hash", "value_facts", "result_hash")


# An upstream job the job reads has no value to give.
UpstreamNotReady = values.NotReady


def versions():
    return f"tolva {__version__}, python {'.'.join(map(str, sys.version_info[:3]))}"


# --- values the job reads --------------------------------------------------------


def upstream_digests(out, job, by_id, known, read=None):
    """The digest of each upstream value the job reads, by job id: from known (digests
    this process has already checked) or read from the upstream job's folder; read,
    when given, keeps what was read (values.Stored, by job id) for the job's inputs."""
    found = {}
    for spec in job["inputs"]:
        for upstream_id in spec["from"]:
            digest = known.get(upstream_id)
            if digest is None:
                stored = read_upstream(out, upstream_id, by_id[upstream_id])
                if read is not None:
                    read[upstream_id] = stored
                digest = stored.digest
            found[upstream_id] = digest
    return found


def read_upstream(out, upstream_id, upstream):
    """An upstream job's value as its folder holds it (values.Stored), its digest taken
    from its own record where the file is as the record says."""
    return values.Stored(upstream_id, upstream["output_dir"], records.read_job_state(out, upstream_id))


def output_hashes(output_dir, record=None, hashed=None):
    """The content hashes of a job's value (in the format its record names), with the
    facts of its file when it was hashed, and of its result record: what a success
    records. record: the job's earlier record, whose digest is kept where the file is
    as it says; hashed: the values.Hashed the job took as it stored the value."""
    value_hash = facts = result_hash = None
    try:
        data = layout.read_bytes(layout.result_path(output_dir))  # read once: parsed and hashed
        result_hash = digests.bytes_hash(data)
        result = json.loads(data.decode("utf-8"))
        if isinstance(result, dict) and result.get("ok") is True:
            fmt = formats.named(result.get("artifact_format"), result.get("module_path"))
            path = values.stored_path(output_dir, fmt)
            value_hash = values.trusted_digest(path, record)
            if value_hash is not None:
                facts = record.get("value_facts")
            else:
                taken = hashed if hashed is not None and hashed.path == path else values.Hashed(path)
                value_hash, facts = taken.result()
    except (OSError, ValueError, KeyError):
        pass
    return {"value_hash": value_hash, "value_facts": facts, "result_hash": result_hash}


# --- the decision ----------------------------------------------------------------


class Decider:
    """Asks the up-to-date question with one project's code fingerprints, shared by
    every job it is asked about. code_of(job) gives (digest, parts) of the asset's
    code as it stands; None when it cannot be had (the module does not import)."""

    def __init__(self, project, codes, code_of, environ=os.environ):
        self.project = project
        self.codes = codes
        self.code_of = code_of
        self.environ = environ  # what a job would see; None where jobs run on other machines
        self.value_hashes = {}  # job id -> digest of its value.json, as checked in this process

    def current(self, job, upstream_hashes):
        """The basis a success of the job would have now (but what it will be seen to use)."""
        declared = job.get("fingerprint") or {}
        code = self.code_of(job)
        return {"code": None if code is None else code[0], "parts": {} if code is None else code[1],
                "declaration": declared.get("declaration"), "versions": versions(), "upstream": upstream_hashes,
                "gathered": gathered(job)}

    def reason(self, out, job, current, force=False):
        """None when the last success still holds; otherwise why the job runs."""
        state, why = own_record(out, job, force)
        if why is not None:
            return why
        hashes = output_hashes(job["output_dir"], state)
        if any(hashes[key] is None or hashes[key] != state.get(key) for key in ("value_hash", "result_hash")):
            return "output changed by hand"
        self.value_hashes[job["id"]] = hashes["value_hash"]
        if state.get("versions") != current["versions"]:
            return "tolva or Python version changed"
        if state.get("declaration") != current["declaration"]:
            return "declaration or partition changed"
        if current["code"] is None or state.get("code") != current["code"]:
            return f"code changed ({_changed_part(state.get('parts'), current['parts'])})"
        recorded = state.get("upstream")
        if not isinstance(recorded, dict):
            return "record missing or unreadable"
        for job_id, digest in current["upstream"].items():
            if recorded.get(job_id) != digest:
                return f"upstream value changed ({job_id})"
        for job_id in recorded:
            if job_id not in current["upstream"]:
                return f"upstream value changed ({job_id})"
        for parameter, order in current["gathered"].items():
            if (state.get("gathered") or {}).get(parameter) != order:
                return f"order of gathered inputs changed ({parameter})"
        return observe.what_changed(state.get("observed"), self.project, self.codes, self.environ)


def own_record(out, job, force=False):
    """(the job's record, why it runs whatever else holds: forced, never run, no usable
    record, not done last time; None when its record is a success to compare)."""
    if force:
        return None, "--force"
    state, why = records.read_job_state_or_why(out, job["id"], job["output_dir"])
    if state is None:
        return None, why
    if state["status"] not in records.DONE:
        return state, (f"{state['status']} last time" if state["status"] in records.STATUSES else
                       "did not finish last time")
    return state, None


def gathered(job):
    """The upstream jobs of each gathered input in the order the asset receives them:
    a reordering changes what a running total or a "latest" computes."""
    return {spec["parameter"]: spec["from"] for spec in job["inputs"] if spec["mode"] == "list"}


def decide(out, job, upstream, decider, force=False, read=None):
    """(the basis a success would have, why the job runs or None when its last success
    still holds); upstream: the plan entries of the jobs it reads, by id; read: see
    upstream_digests. A forced job's upstream digests are left to whoever gathers its
    inputs (None here): they are what it reads then."""
    if force:
        return decider.current(job, None), "--force"
    current = decider.current(job, upstream_digests(out, job, upstream, decider.value_hashes, read))
    return current, decider.reason(out, job, current, force)


def reason_or_not_ready(out, job, upstream, decider, force=False):
    """Why the job runs (an upstream without a value is a reason too), or None."""
    try:
        return decide(out, job, upstream, decider, force)[1]
    except UpstreamNotReady as exc:
        return str(exc)


def _changed_part(recorded, current):
    """The first function, class or constant whose digest differs, by name."""
    recorded = recorded if isinstance(recorded, dict) else {}
    for name in sorted(set(recorded) | set(current)):
        if recorded.get(name) != current.get(name):
            return name
    return "the asset's code"


def success_record(current, observed, output_dir, hashed=None):
    """The basis a success records, with its outputs' hashes (hashed: see output_hashes)."""
    basis = dict(current, observed=observed)
    return dict({key: basis[key] for key in BASIS}, **output_hashes(output_dir, hashed=hashed))


def held_record(out, job_id):
    """The recorded basis, hashes and preview, kept when the job is found up to date,
    and when and by which run its value was made."""
    state = records.read_job_state(out, job_id) or {}
    made = {"made_at": state.get("finished"), "made_by": state.get("run_id")} if state.get("status") == "succeeded" \
        else {"made_at": state.get("made_at"), "made_by": state.get("made_by")}
    held = dict({key: state.get(key) for key in BASIS + OUTPUT_HASHES + ("preview",)}, **made)
    if "check" in state:
        held["check"] = state["check"]  # what the check said of the value it still vouches for
    return held
