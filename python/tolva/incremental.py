"""Incremental state: whether a job's last success in this output folder still holds.

A job is up to date when its last run here succeeded, its value.json and result.json
still have the content hashes recorded then, and its fingerprint is unchanged. The
fingerprint covers the code and declaration (fixed at planning) and the job's inputs
text, which holds its partition key and every upstream value.json as written: an
upstream that reruns to byte-identical output leaves its dependents up to date.
Anything missing, unreadable or of another version means "run it".
"""

import hashlib
import os

from tolva import records


def job_fingerprint(static, inputs_text):
    digest = hashlib.sha256()
    digest.update(static.encode("utf-8"))
    digest.update(b"\0")
    digest.update(inputs_text.encode("utf-8", "surrogatepass"))
    return digest.hexdigest()


def file_hash(path):
    try:
        with open(path, "rb") as f:
            return hashlib.file_digest(f, "sha256").hexdigest()
    except OSError:
        return None


def output_hashes(output_dir):
    """The content hashes of a job's two files, as recorded at a success."""
    return {"value_hash": file_hash(os.path.join(output_dir, "value.json")),
            "result_hash": file_hash(os.path.join(output_dir, "result.json"))}


def up_to_date(out, job, fingerprint):
    """The recorded fingerprint and hashes when the job's last success still holds,
    None when it must run."""
    state = records.read_job_state(out, job["id"])
    if state is None or state.get("status") not in records.DONE or state.get("fingerprint") != fingerprint:
        return None
    hashes = output_hashes(job["output_dir"])
    if None in hashes.values() or any(hashes[key] != state.get(key) for key in hashes):
        return None
    return dict(hashes, fingerprint=fingerprint)
