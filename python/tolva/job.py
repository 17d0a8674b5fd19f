"""One job of a plan: gather its inputs from the upstream jobs' files, then run the
worker on them. Kept apart from the scheduler so a job process imports little."""

import json
import os
import sys


def run_job(plan_file, job_id):
    from tolva import plan as planning
    from tolva import worker

    with open(plan_file, encoding="utf-8") as f:
        plan = json.load(f)
    job = next((j for j in plan["jobs"] if j["id"] == job_id), None)
    if job is None:
        print(f"tolva.run: error: no job '{job_id}' in {plan_file}", file=sys.stderr)
        return 2
    os.chdir(plan["workdir"])
    try:
        inputs = planning.gather_inputs(plan, job)
    except planning.UpstreamNotReady as exc:
        print(f"tolva.run: error: job '{job_id}': {exc}", file=sys.stderr)
        return 1
    # Inputs live beside the plan, outside every job directory.
    inputs_file = os.path.join(os.path.dirname(plan_file), ".tolva", "inputs", *job_id.split("/")) + ".json"
    os.makedirs(os.path.dirname(inputs_file), exist_ok=True)
    with open(inputs_file, "w", encoding="utf-8") as f:
        f.write(inputs)
    return worker.main([job["module"], job["function"], job["output_dir"], "--inputs-file", inputs_file],
                       prog="tolva-worker")
