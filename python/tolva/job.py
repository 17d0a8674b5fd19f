"""One job of a plan: decide whether its last success still holds, gather its inputs
from its upstream jobs' files, run the worker, and record the job's own outcome.

Every way of starting a job (the local runner, an engine running the plan's argv, a
person) ends in run_job. A job never looks at other jobs' state beyond its inputs,
and never writes outside the plan's output folder.
"""

import importlib
import json
import os
import sys
import time

from tolva import _cli, fingerprint, formats, incremental, layout, locks, observe, records, values, worker
from tolva.digests import compact
from tolva.planfile import PlanError, load_job

PROG = _cli.RUN_PROG


# From this much JSON text on, upstream values are handed to the asset as the objects
# they decode to rather than spliced into one text for the core: the text is then held
# once, not three times (read, spliced, decoded).
LARGE_INPUTS = 16 << 20


class Inputs:
    """What a job's asset receives: its keyword arguments as JSON text for the core
    (text), or as objects (objects); the digest of each upstream value, by job id; and
    the inputs file's record of them: the partition keys, and each upstream value by
    its job, format and hash (the values stay where they are)."""

    def __init__(self, digests, record, text=None, objects=None):
        self.digests, self.record, self.text, self.objects = digests, record, text, objects


def gather_inputs(out, job, by_id, fmt, read=None, as_objects=False):
    """The job's inputs: partition keys by dimension, upstream values by parameter (by_id
    holds the upstream jobs), each upstream value read once (read: values already read
    while deciding, by job id). JSON values for a JSON asset are spliced in as their own
    text, unless they are large; otherwise every value is loaded through its format."""
    stored = {}
    for spec in job["inputs"]:
        for upstream_id in spec["from"]:
            if upstream_id not in stored:
                stored[upstream_id] = (read or {}).get(upstream_id) or incremental.read_upstream(
                    out, upstream_id, by_id[upstream_id])
    found = {upstream_id: value.digest for upstream_id, value in stored.items()}

    def described(upstream_id):
        return {"job": upstream_id, "format": stored[upstream_id].format.name, "sha256": found[upstream_id]}

    record = dict(job["partition"])
    for spec in job["inputs"]:
        if spec["mode"] != "list":
            record[spec["parameter"]] = described(spec["from"][0]) if spec["from"] else None
        else:
            record[spec["parameter"]] = [dict(described(i), partition=by_id[i]["partition"]) for i in spec["from"]]
    record = json.dumps(record, ensure_ascii=False)
    texts = [value.text for value in stored.values()]
    if not as_objects and fmt.name == formats.DEFAULT and None not in texts and sum(map(len, texts)) < LARGE_INPUTS:
        return Inputs(found, record, text=_inputs_text(job, by_id, stored))
    loaded = {}

    def value_of(upstream_id):
        if upstream_id not in loaded:
            loaded[upstream_id] = stored[upstream_id].load()
        return loaded[upstream_id]

    objects = dict(job["partition"])
    for spec in job["inputs"]:
        if spec["mode"] != "list":  # one value; a previous period that does not exist is None
            objects[spec["parameter"]] = value_of(spec["from"][0]) if spec["from"] else None
        else:
            objects[spec["parameter"]] = [{"partition": by_id[i]["partition"], "value": value_of(i)}
                                          for i in spec["from"]]
    return Inputs(found, record, objects=objects)


def _inputs_text(job, by_id, stored):
    """The keyword arguments as JSON text, upstream values spliced in as they are."""
    members = [f"{json.dumps(dim)}:{compact(key)}" for dim, key in job["partition"].items()]
    for spec in job["inputs"]:
        if spec["mode"] != "list":
            text = stored[spec["from"][0]].text if spec["from"] else "null"
        else:
            text = "[" + ",".join(
                f'{{"partition":{compact(by_id[i]["partition"])},"value":{stored[i].text}}}' for i in spec["from"]
            ) + "]"
        members.append(f"{json.dumps(spec['parameter'])}:{text}")
    return "{" + ",".join(members) + "}"


def clear_folder(output_dir, fmt):
    """Before the job starts: an earlier run's record must not pass for this one's, a
    value of another format is no longer the asset's, and temporary files of workers
    that were killed go."""
    layout.ensure_folder(output_dir)
    layout.remove_file(layout.result_path(output_dir))
    own = os.path.basename(layout.value_path(output_dir, fmt.suffix))
    for name in os.listdir(output_dir):
        if layout.is_leftover(name) or (layout.is_value(name) and name != own):
            layout.remove_tree(os.path.join(output_dir, name))


def record_up_to_date(out, job_id, ident=None):
    now = time.time()
    records.write_job_state(out, job_id, "up-to-date", now, now, ident=ident, held=True,
                            **incremental.held_record(out, job_id))


def asset_function(job):
    """The user's function behind the job's asset (or check), as this process imports
    it; None when the module does not import (the worker then records why), or the
    target is not what the job says it is."""
    try:
        target = getattr(importlib.import_module(job["module"]), job["function"])
        if "check" in job:
            return target if "__tolva_check__" in getattr(target, "__dict__", {}) else None
        return target.__tolva_original__ if target.__tolva_kind__ == "asset" else None
    except (Exception, SystemExit):
        return None


def compute(job, inputs, observer, fmt):
    """Runs the job's asset (or check) into its folder; the worker.Outcome."""
    if "check" in job:
        return check_value(job, inputs.objects, observer)
    return worker.materialize(job["module"], job["function"], job["output_dir"],
                              inputs.text if inputs.text is not None else inputs.objects, observer, fmt, job["asset"])


def check_value(job, objects, observer):
    """Calls the check on the value it reads; a blocking check that fails is a failed
    job (its dependents are skipped), a non-blocking one a success that says so."""
    from tolva import checks

    fn = asset_function(job)
    if fn is None:
        raise worker.NotAnAsset(f"'{job['module']}.{job['function']}' is not a tolva check; only checks and assets "
                                "are run")
    spec = job["check"]
    value = objects[job["inputs"][0]["parameter"]]
    with observer:
        result, raised = checks.evaluate(fn, value, checks.keywords(spec["keys"], job["partition"]))
    preview, hashed = checks.store(job, result)
    if result["passed"] or not spec["blocking"]:
        if not result["passed"]:
            _cli.warn(checks.failure_text(spec["name"], job["asset"], result["message"]))
        outcome = worker.Outcome(True, preview=preview, hashed=hashed)
    else:
        where = None if raised is not None else worker.definition_of(job["module"], job["function"])
        outcome = worker.Outcome(False, records.CHECK_FAILED, checks.failure_text(spec["name"], job["asset"],
                                                                           result["message"]), raised, where)
    outcome.extra = {"check": result}
    return outcome


class Deadline:
    """The asset's timeout: a TimeoutError "timed out after N s" raised in the job when
    it runs past it, and, should the asset swallow that, the job ended as a failure a
    few seconds later. Code that never returns to Python is stopped when it does."""

    GRACE = 5.0

    def __init__(self, seconds, finish):
        self.seconds, self.finish = seconds, finish
        self.message = f"timed out after {seconds:g} s" if seconds else None

    def __enter__(self):
        if not self.seconds:
            return self
        import signal
        import threading

        def expired(signum, frame):
            raise TimeoutError(self.message)

        def end_job():
            self.finish("failed", "TimeoutError", self.message)
            os._exit(1)

        self.previous = signal.signal(signal.SIGALRM, expired)
        signal.setitimer(signal.ITIMER_REAL, self.seconds)
        self.backstop = threading.Timer(self.seconds + self.GRACE, end_job)
        self.backstop.daemon = True
        self.backstop.start()
        return self

    def __exit__(self, *exc_info):
        if self.seconds:
            import signal

            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, self.previous)
            self.backstop.cancel()
            self.backstop.join()  # gone, not left running into the next job of a worker
        return False


def own_decider(plan):
    """The job's own up-to-date question: over the code this process imported, which
    is the code that runs, whatever the plan saw."""
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
    (planfile.job_entry) as the runner that forked it holds it, instead of a file's."""
    try:
        plan = entry if entry is not None else load_job(plan_file, job_id)
        job = plan["job"]
        os.chdir(plan["workdir"])
        _cli.make_cwd_importable()
    except (PlanError, OSError) as exc:
        _cli.error(PROG, exc)
        return 2
    if job["module"] not in sys.modules:
        with observe.importing():  # what its top level reads is the asset's to depend on
            asset_function(job)
    out = plan["out"]
    layout.guard(out)
    ident = {"plan_id": plan["id"], "run_id": run_id, "attempt": attempt}
    lock = locks.hold_job_lock(out, job_id, lambda: print(f"{PROG}: job '{job_id}': another copy of it is "
                                                          "running; waiting for it to end", flush=True))
    try:
        return _run_held(plan, job, out, ident, force, on_worker)
    finally:
        os.close(lock)  # a long-lived worker runs other jobs after this one, and this one again


def _run_held(plan, job, out, ident, force, on_worker):
    """run_job's work once the job's lock is held."""
    job_id, run_id, attempt = job["id"], ident["run_id"], ident["attempt"]
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
        records.write_job_state(out, job_id, status, started, time.time(), error_type, error, frame, ident, True,
                                starts=starts, **named, **done)

    decider = own_decider(plan)
    try:
        fmt = formats.named(job.get("format"), job["module"])
    except KeyError:
        message = formats.unknown_message(job.get("format"))
        _cli.error(PROG, f"job '{job_id}': {message}")
        finish("failed", "UnknownFormat", message)
        return 2
    try:
        read = {}
        current, reason = incremental.decide(out, job, plan["upstream"], decider, force, read)
        if reason is not None:
            # What the asset receives is what its record names: each value read once.
            inputs = gather_inputs(out, job, plan["upstream"], fmt, read, as_objects="check" in job)
            current["upstream"] = inputs.digests
    except incremental.UpstreamNotReady as exc:
        _cli.error(PROG, f"job '{job_id}': {exc}")
        finish("failed", "UpstreamNotReady", str(exc))
        return 1
    if reason is None:
        record_up_to_date(out, job_id, ident)
        print(f"{PROG}: job '{job_id}' is up to date; --force runs it again")
        return 0

    try:
        clear_folder(job["output_dir"], fmt)
        # "running", with this process: a job killed from now on reads as ended without
        # its outcome, never as its last success, and a second copy of this attempt
        # started by an engine knows it was started.
        records.write_job_state(out, job_id, "running", started, ident=ident, held=True, where=locks.running_here(),
                                starts=starts, **named)
        # What it received, by job and hash: what its record's basis names, for people.
        layout.rewrite(layout.inputs_path(out, job_id), inputs.record)
    except OSError as exc:  # a folder that is a link, a full disk: said in the job's record
        _cli.error(PROG, f"job '{job_id}': {_cli.describe(exc)}")
        finish("failed", type(exc).__name__, _cli.describe(exc))
        return 1
    sys.stdout.flush()
    try:
        observer = observe.Observer(decider.project, out, asset_function(job))
        with Deadline((job.get("policy") or {}).get("timeout"), finish):
            outcome = compute(job, inputs, observer, fmt)
    except worker.NotAnAsset as exc:
        _cli.error(PROG, f"job '{job_id}': {exc}")
        finish("failed", "NotAnAsset", str(exc))
        return 2
    except Exception as exc:
        _cli.error(PROG, f"job '{job_id}': {_cli.describe(exc)}")
        finish("failed", type(exc).__name__, _cli.describe(exc))
        return 1
    if not outcome.ok:
        worker.report_failure(PROG, outcome)
        # A check that failed keeps which value it failed, as a success keeps what it read.
        extra = dict(outcome.extra, upstream=current["upstream"]) if "check" in job else outcome.extra
        finish("failed", outcome.error_type, outcome.error, outcome.frame(), **extra)
        return 1
    preview, hashed = outcome.preview, outcome.hashed
    if preview is None:  # the core wrote the value as JSON: read once, for its preview and its digest
        try:
            hashed = values.Hashed(layout.value_path(job["output_dir"]), keep=values.PARSED)
        except OSError:
            hashed = None
        preview = values.json_preview(job["output_dir"], hashed and hashed.data)
    finish("succeeded", preview=preview, **outcome.extra, **incremental.success_record(
        current, observer.record(job["output_dir"], decider.codes), job["output_dir"], hashed))
    return 0
