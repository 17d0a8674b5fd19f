"""One job of a plan: gather its inputs from the upstream jobs' files, then run the
worker on them. Kept apart from planning and scheduling so a job process imports
little beyond what the worker needs anyway."""

import json
import os
import sys


def compact(value):
    return json.dumps(value, separators=(",", ":"), ensure_ascii=False, sort_keys=True)


class UpstreamNotReady(Exception):
    pass


def _value_text(job):
    directory = job["output_dir"]
    try:
        with open(os.path.join(directory, "result.json"), encoding="utf-8") as f:
            result = json.load(f)
        if result.get("ok") is not True:
            raise UpstreamNotReady(f"upstream job '{job['id']}' failed")
        with open(os.path.join(directory, "value.json"), encoding="utf-8") as f:
            return f.read()
    except (OSError, ValueError) as exc:
        raise UpstreamNotReady(f"upstream job '{job['id']}' has no value: {exc}") from None


def gather_inputs(plan, job):
    """The job's keyword arguments as JSON text: partition keys by dimension, upstream
    values by parameter. Upstream values are spliced in as their own JSON text."""
    by_id = {j["id"]: j for j in plan["jobs"]}
    members = [f"{json.dumps(dim)}:{compact(key)}" for dim, key in job["partition"].items()]
    for spec in job["inputs"]:
        sources = [by_id[i] for i in spec["from"]]
        if spec["mode"] == "value":
            text = _value_text(sources[0])
        else:
            text = "[" + ",".join(
                f'{{"partition":{compact(s["partition"])},"value":{_value_text(s)}}}' for s in sources
            ) + "]"
        members.append(f"{json.dumps(spec['parameter'])}:{text}")
    return "{" + ",".join(members) + "}"


def run_job(plan_file, job_id):
    from tolva import worker

    with open(plan_file, encoding="utf-8") as f:
        plan = json.load(f)
    job = next((j for j in plan["jobs"] if j["id"] == job_id), None)
    if job is None:
        print(f"tolva.run: error: no job '{job_id}' in {plan_file}", file=sys.stderr)
        return 2
    os.chdir(plan["workdir"])
    try:
        inputs = gather_inputs(plan, job)
    except UpstreamNotReady as exc:
        print(f"tolva.run: error: job '{job_id}': {exc}", file=sys.stderr)
        return 1
    # Inputs live beside the plan, outside every job directory.
    inputs_file = os.path.join(os.path.dirname(plan_file), ".tolva", "inputs", *job_id.split("/")) + ".json"
    os.makedirs(os.path.dirname(inputs_file), exist_ok=True)
    with open(inputs_file, "w", encoding="utf-8") as f:
        f.write(inputs)
    return worker.main([job["module"], job["function"], job["output_dir"], "--inputs-file", inputs_file],
                       prog="tolva-worker")
