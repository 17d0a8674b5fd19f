"""Incremental state: whether a job's last success in this output folder still holds,
and the first reason when it does not.

A success records what the value was computed from: the code fingerprint of the code
the job itself imported (with a digest per function, class and constant, to name
what changed), the declaration, the tolva and Python versions, the digest of every
upstream value it read, what it was seen to use while it ran (functions, files,
folders, environment variables; see observe) and the content hashes of its own
outputs. The job is up to date when all of these still hold. Anything missing,
unreadable or of another version means "run it": nothing stale passes for fresh.
"""

import os

from tolva import records

try:
    # CPython's own SHA-256: importing hashlib initialises OpenSSL, which costs a
    # tenth of an unchanged run.
    from _sha2 import sha256
except ImportError:  # pragma: no cover - other interpreters
    from hashlib import sha256


def file_hash(path):
    try:
        with open(path, "rb") as f:
            digest = sha256()
            while chunk := f.read(1 << 20):
                digest.update(chunk)
            return digest.hexdigest()
    except OSError:
        return None


def text_hash(text):
    return sha256(text.encode("utf-8", "surrogatepass")).hexdigest()


def output_hashes(output_dir):
    """The content hashes of a job's two files, as recorded at a success."""
    return {"value_hash": file_hash(os.path.join(output_dir, "value.json")),
            "result_hash": file_hash(os.path.join(output_dir, "result.json"))}


def versions():
    import sys

    from tolva import __version__

    return f"tolva {__version__}, python {'.'.join(map(str, sys.version_info[:3]))}"


class Decider:
    """Asks the up-to-date question with one project's code fingerprints, shared by
    every job it is asked about. code_of(job) gives (digest, parts) of the asset's
    code as it stands; None when it cannot be had (the module does not import)."""

    def __init__(self, project, codes, code_of):
        self.project = project
        self.codes = codes
        self.code_of = code_of
        self.value_hashes = {}  # job id -> digest of its value.json, as checked in this process

    def current(self, job, upstream_hashes):
        """What a success of the job would be computed from now."""
        declared = job.get("fingerprint") or {}
        code = self.code_of(job)
        return {"code": None if code is None else code[0], "parts": {} if code is None else code[1],
                "declaration": declared.get("declaration"), "versions": versions(), "upstream": upstream_hashes}

    def reason(self, out, job, current, force=False):
        """None when the last success still holds; otherwise why the job runs."""
        if force:
            return "--force"
        state, why = records.read_job_state_or_why(out, job["id"], job["output_dir"])
        if state is None:
            return why
        if state["status"] not in records.DONE:
            return f"{state['status']} last time" if state["status"] in records.STATUSES else \
                "did not finish last time"
        hashes = output_hashes(job["output_dir"])
        if any(hashes[key] is None or hashes[key] != state.get(key) for key in hashes):
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
        from tolva import observe

        return observe.what_changed(state.get("observed"), self.project, self.codes)


def _changed_part(recorded, current):
    """The first function, class or constant whose digest differs, by name."""
    recorded = recorded if isinstance(recorded, dict) else {}
    for name in sorted(set(recorded) | set(current)):
        if recorded.get(name) != current.get(name):
            return name
    return "the asset's code"


def success_record(current, observed, output_dir):
    """The fields a success records, which later runs compare."""
    return dict(code=current["code"], parts=current["parts"], declaration=current["declaration"],
                versions=current["versions"], upstream=current["upstream"], observed=observed,
                **output_hashes(output_dir))


def held_record(out, job_id):
    """The recorded success fields, to be kept when the job is found up to date."""
    state = records.read_job_state(out, job_id) or {}
    return {key: state.get(key) for key in ("code", "parts", "declaration", "versions", "upstream", "observed",
                                            "value_hash", "result_hash")}
