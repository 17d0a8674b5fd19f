"""A pipeline from its modules to its outcome: plan it (the assets, their fingerprints,
the jobs, a selection of them), then run the plan under the output folder's lock,
explain what a run would do, or write the plan for another engine; and report on a
plan an engine ran. Returns outcomes and data; the front end prints and exits.
"""

import contextlib
import json
import os
import sys

from tolva import _cli, executors, fingerprint, incremental, layout, locks, observe, planfile, recorder, records, stored
from tolva import plan as planning
from tolva.scheduler import Run, RunOptions


class Refused(Exception):
    """The pipeline cannot be planned or run as asked: one line per reason, exit 2."""


class Planned:
    """A plan and what deciding and running it needs."""

    def __init__(self, assets, plan, plan_file, decider, selected, whole=None):
        self.assets, self.plan, self.plan_file, self.decider = assets, plan, plan_file, decider
        self.whole = whole or plan  # every job, when plan is a selection's
        self.selected = selected  # the ids of the jobs asked for
        self.labels = list(dict.fromkeys(records.row_label(job) for job in plan["jobs"]))

    def dot(self):
        return planning.to_dot(self.assets)


def import_modules(modules):
    """Imports the pipeline's modules (from the current directory too, as python -m
    does); Refused with one line per module that cannot be imported or described."""
    _cli.make_cwd_importable()
    with observe.importing(describe=False):
        problems = _cli.import_modules(modules)
    problems = problems or _cli.sourceless(modules)
    if problems:
        raise Refused(*problems)


def warming(options):
    """Around planning and running: the executor's warm server started as soon as the
    modules are imported, when jobs are likely to run."""
    if options.plan is not None or options.dot or options.explain or options.show or options.status or \
            not jobs_will_run(options):
        return contextlib.nullcontext()
    return executors.module(options.executor).warming(options)


def load_assets(modules):
    """The modules' assets in dependency order; Refused with every graph problem."""
    try:
        return planning.load_assets(modules, _cli.warn)
    except planning.GraphError as exc:
        raise Refused(*str(exc).splitlines()) from None


def make_plan(assets, out, plan_file, selection, environ=os.environ):
    """The plan of every job (or of the selection and the jobs it needs), with the
    decider that asks the up-to-date question over the code the runner imported
    (environ: what the jobs would see; None when they run where it is not known)."""
    project = fingerprint.Project(fingerprint.project_roots())
    codes = planning.add_fingerprints(assets, project, _cli.warn)
    roots = [root.rstrip(os.sep) for root in project.roots]
    plan = planning.build_plan(assets, out, os.getcwd(), sys.executable, plan_file, roots)
    selected = {job["id"] for job in plan["jobs"]}
    whole = plan
    parts = {(asset.module, asset.attribute): asset.parts for asset in assets}
    parts.update({(check.module, check.attribute): check.parts for asset in assets for check in asset.checks})
    decider = incremental.Decider(project, codes, lambda job: (job["fingerprint"]["code"],
                                                               parts[job["module"], job["function"]]), environ)
    if selection:
        try:
            plan, selected = planning.select_jobs(assets, plan, selection)
        except planning.GraphError as exc:
            raise Refused(*str(exc).splitlines()) from None
    return Planned(assets, plan, plan_file, decider, selected, whole)


def plan_pipeline(options, selection):
    """The pipeline the options name, planned into its output folder (selection: the
    names of what to plan, and what it needs)."""
    assets = load_assets(options.modules)
    out = os.path.abspath(options.out)
    if os.path.exists(out) and not os.path.isdir(out):
        raise Refused(f"--out '{options.out}' is not a directory")
    plan_file = os.path.abspath(options.plan) if options.plan else layout.plan_path(out)
    same_environment = getattr(executors.module(options.executor), "same_environment", True)
    return make_plan(assets, out, plan_file, selection, os.environ if same_environment else None)


def write_plan(planned):
    """Writes the plan and each job's own file (under the folder's lock when the plan is
    inside OUT, where a running run's jobs read it); returns the plan's text."""
    out = planned.plan["out"]
    layout.guard(out)
    inside = os.path.realpath(planned.plan_file).startswith(os.path.realpath(out) + os.sep)
    try:
        with locks.OutputLock(out) if inside else contextlib.nullcontext():
            return planfile.write_plan(planned.plan, planned.plan_file)
    except locks.Busy as busy:
        raise Refused(locks.busy_message(busy, out)) from None


def explain(planned, force=False):
    """For every job of the plan: (verdict, job id, why), where verdict is "runs",
    "may run" (a job below one that runs waits for its value, which may or may not
    change) or "up to date" (why: None)."""
    plan = planned.plan
    by_id = {job["id"]: job for job in plan["jobs"]}
    forced = planned.selected if force else ()
    runs, may_run, verdicts = set(), set(), []
    for entry in plan["jobs"]:
        waiting = next((i for i in entry["dependencies"] if i in runs or i in may_run), None)
        own = incremental.own_record(plan["out"], entry, entry["id"] in forced)[1] if waiting is not None else None
        if own is not None:  # never run, failed last time: it runs whatever its upstream writes
            runs.add(entry["id"])
            verdicts.append(("runs", entry["id"], own))
            continue
        if waiting is not None:
            may_run.add(entry["id"])
            verdicts.append(("may run", entry["id"], f"upstream job '{waiting}' runs first"))
            continue
        upstream = {i: by_id[i] for spec in entry["inputs"] for i in spec["from"]}
        reason = incremental.reason_or_not_ready(plan["out"], entry, upstream, planned.decider, entry["id"] in forced)
        if reason is None:
            verdicts.append(("up to date", entry["id"], None))
        elif isinstance(reason, observe.Elsewhere):
            may_run.add(entry["id"])
            verdicts.append(("may run", entry["id"], reason))
        else:
            runs.add(entry["id"])
            verdicts.append(("runs", entry["id"], reason))
    return verdicts


class JobState:
    """What --status says of one job: its last recorded status, when and by which run
    its value was made, and why it would run now (None: up to date)."""

    __slots__ = ("job_id", "asset", "status", "made_at", "made_by", "stale", "done", "check")

    def __init__(self, job_id, asset, status, made_at, made_by, stale, check=None):
        self.job_id, self.asset, self.status = job_id, asset, status
        self.made_at, self.made_by, self.stale = made_at, made_by, stale
        self.check = check  # what a check said, when the job is a check's
        self.done = status in records.DONE  # it holds a value


def status(planned):
    """The state of every job of the plan, whatever runs left it."""
    verdicts = {job_id: (verdict, why) for verdict, job_id, why in explain(planned)}
    found = []
    for job in planned.plan["jobs"]:
        state = records.read_job_state(planned.plan["out"], job["id"]) or {}
        status = state.get("status", "never run")
        made = (state.get("finished"), state.get("run_id")) if status == "succeeded" else \
            (state.get("made_at"), state.get("made_by")) if status == "up-to-date" else (None, None)
        verdict, why = verdicts[job["id"]]
        found.append(JobState(job["id"], records.row_label(job), status, *made,
                              None if verdict == "up to date" else why, state.get("check")))
    return found


def run(planned, options):
    """Runs the plan under the output folder's lock; returns the exit status. Refused
    when another run holds the folder, executors.CannotRun when the executor cannot
    run the jobs."""
    out = planned.plan["out"]
    layout.guard(out)
    layout.check_state_folders(out)
    try:
        with locks.OutputLock(out) as lock:
            planfile.write_plan(planned.plan, planned.plan_file, job_files=False)
            return _run_locked(planned, options, lock)
    except locks.Busy as busy:
        raise Refused(locks.busy_message(busy, out)) from None


def _run_locked(planned, options, lock):
    plan, out = planned.plan, planned.plan["out"]
    run_options = RunOptions(max_jobs=executors.module(options.executor).in_flight(options, plan),
                             retries=options.retries, forced=frozenset(planned.selected if options.force else ()),
                             executor=options.executor, selection=options.select, verbose=options.verbose)
    executor = executors.make(options.executor, plan, planned.plan_file, run_options.run_id, options)
    try:
        records_of_run = recorder.RunRecorder(plan, planned.plan_file, planned.labels, options.executor,
                                              run_options.run_id, options.select, planned.whole)
        run = Run(plan, executor, planned.decider, run_options, records_of_run, lock)
        code = run.execute()
        layout.write_atomically(layout.last_run_path(out), json.dumps(
            {"modules": options.modules, "all_done": code == 0}) + "\n")
    finally:
        executor.shutdown()
    if run.lost_lock is not None:
        raise Refused(f"the lock file of {out} was replaced during the run and another run (PID {run.lost_lock}) "
                      "holds it now; this run stopped")
    return code


def report(plan_file):
    """Assembles run.json from the jobs' own records of a plan an engine ran and prints
    the summary; returns the exit status."""
    try:
        plan = planfile.read_plan(plan_file)
    except planfile.PlanError as exc:
        raise Refused(str(exc)) from None
    labels = list(dict.fromkeys(records.row_label(job) for job in plan["jobs"]))
    layout.guard(plan["out"])
    try:
        with locks.OutputLock(plan["out"]):
            return recorder.report(plan, plan_file, labels)
    except locks.Busy as busy:
        raise Refused(f"a run (PID {busy}) is using the output folder {plan['out']}; report when it has ended") \
            from None


def show(planned):
    """Prints the previews of the values of the jobs asked for; 1 when one has none."""
    return stored.show(planned.plan["out"], [job for job in planned.plan["jobs"] if job["id"] in planned.selected])


def jobs_will_run(options):
    """Whether jobs are likely to run, so that a warm server is best started at once:
    unless the folder's last run was of the same modules and ended with every job done,
    when a run may well find them all up to date (it then starts the server at the
    first job that runs)."""
    try:
        last = layout.read_json(layout.last_run_path(os.path.abspath(options.out)))
    except (OSError, ValueError):
        return True
    return not (isinstance(last, dict) and last.get("modules") == options.modules and last.get("all_done") is True)
