"""python -m tolva.run MODULE [MODULE ...]: run a whole pipeline.

Inspects the modules once, plans one job per asset and partition combination, and
runs the jobs (at most --jobs at once), each as soon as the jobs it needs succeeded.
Every job is the command its plan entry names (``python -m tolva.run --from-plan PLAN
--job ID``), which gathers the job's inputs from its upstream jobs' value.json files
and runs the worker; ``--plan`` hands those commands to another engine instead, and
``--from-plan PLAN --report`` assembles the run record of a plan an engine ran.

Exit status: 0 when every job succeeded, 1 otherwise, 2 for usage, import, graph or
plan errors, 130 when stopped by Ctrl-C, SIGTERM or SIGHUP.
"""

import contextlib
import os
import sys

from tolva import _cli
from tolva.executors import EXECUTORS

PROG = "python -m tolva.run"


def build_parser(prog=None):
    parser = _cli.argument_parser(prog=prog, description="Run the tolva pipeline declared in the given modules.")
    _cli.add_version(parser)
    parser.add_argument("modules", nargs="*", metavar="MODULE", help="module declaring assets (dotted name)")
    parser.add_argument("--out", default="tolva-out", metavar="DIR", help="output directory (default: ./tolva-out)")
    parser.add_argument("--jobs", "-j", type=int, metavar="N",
                        help="jobs running at once (default: the number of CPUs); with --executor dask and no "
                             "scheduler, the local cluster's workers")
    parser.add_argument("--executor", choices=tuple(EXECUTORS), default="local",
                        help="local: jobs on this machine (default); dask: jobs as tasks of a Dask cluster")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="with --executor dask: the cluster's scheduler (tcp://HOST:PORT; default "
                             "$DASK_SCHEDULER_ADDRESS); without either, a local cluster of --jobs worker processes")
    parser.add_argument("--scheduler-file", metavar="FILE",
                        help="with --executor dask: the scheduler file a scheduler wrote (dask scheduler "
                             "--scheduler-file FILE)")
    parser.add_argument("--isolation", choices=("fork", "interpreter"),
                        help="fork: each job is forked from a warm process that has imported the modules "
                             "(default); interpreter: a fresh interpreter per job, for modules that are not "
                             "safe to fork")
    parser.add_argument("--force", action="store_true",
                        help="run every selected job even when its last success still holds (with --job: that job)")
    parser.add_argument("--verbose", "-v", action="store_true",
                        help="on a terminal, a line for every job that ends, not only for failures")
    parser.add_argument("--retries", type=int, default=0, metavar="N",
                        help="run a failed job up to N more times, after a short growing delay (default 0)")
    parser.add_argument("--select", action="append", metavar="NAME",
                        help="run only this asset or job id (as the summary shows it) and what it needs; "
                             "repeat the flag for several")
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--plan", nargs="?", const="", metavar="FILE",
                      help="write the plan (default OUT/plan.json), print it, run nothing")
    mode.add_argument("--dot", action="store_true", help="print the asset graph as Graphviz DOT, run nothing")
    mode.add_argument("--explain", action="store_true",
                      help="print, for every selected job, whether it would run and why; run and write nothing")
    mode.add_argument("--history", action="store_true", help="list the runs recorded in OUT, newest first")
    mode.add_argument("--from-plan", metavar="PLAN", help="run one job of a plan (with --job), or --report on it")
    parser.add_argument("--job", metavar="ID", help="the job of --from-plan to run")
    parser.add_argument("--run-id", metavar="RUN", help=argparse_suppress())
    parser.add_argument("--attempt", type=int, default=1, metavar="N", help=argparse_suppress())
    parser.add_argument("--worker", metavar="NAME", help=argparse_suppress())
    parser.add_argument("--report", action="store_true",
                        help="with --from-plan: write OUT/run.json from the jobs' own records and print the summary")
    return parser


@_cli.command
def main(argv=None, prog=None):
    """Entry point; prog defaults to the name the program was started by."""
    _cli.survive_closed_stdout()
    parser = build_parser(prog)
    args = parser.parse_args(argv)
    if args.history:
        if args.modules or args.job or args.report:
            parser.error("--history goes with --out only")
        return history(os.path.abspath(args.out))
    if args.report:
        if args.from_plan is None or args.job is not None or args.modules:
            parser.error("--report goes with --from-plan, without --job or modules")
        return report(parser.prog, args.from_plan)
    if args.from_plan is not None or args.job is not None:
        if args.from_plan is None or args.job is None or args.modules:
            parser.error("--from-plan and --job go together, without modules")
        from tolva import job

        return job.run_job(args.from_plan, args.job, args.force, args.run_id, args.attempt, on_worker=args.worker)
    if not args.modules:
        parser.error("the following arguments are required: MODULE")
    if args.jobs is not None and args.jobs < 1:
        parser.error("--jobs must be at least 1")
    choose_cluster(parser, args)
    if not args.out:
        parser.error("--out must name a folder")
    if args.retries < 0:
        parser.error("--retries must be at least 0")
    return run(parser.prog, args)


def choose_cluster(parser, args):
    """Checks the options that say where jobs run, and fills in their defaults: a
    cluster's scheduler from --scheduler, --scheduler-file or DASK_SCHEDULER_ADDRESS."""
    if args.executor != "dask":
        for given, flag in ((args.scheduler, "--scheduler"), (args.scheduler_file, "--scheduler-file")):
            if given:
                parser.error(f"{flag} goes with --executor dask")
    else:
        if args.scheduler and args.scheduler_file:
            parser.error("--scheduler and --scheduler-file name the same thing; give one")
        if args.isolation is not None:
            parser.error("--isolation goes with the local executor; on Dask each job is a fresh interpreter")
        if args.scheduler_file:
            args.scheduler = scheduler_in_file(parser, args.scheduler_file)
        args.scheduler = args.scheduler or os.environ.get("DASK_SCHEDULER_ADDRESS") or None
        if args.scheduler and args.jobs is not None:
            parser.error("--jobs goes with a local cluster; on a scheduler's cluster its workers' threads "
                         "decide how many jobs run at once")
    args.isolation = args.isolation or "fork"
    args.jobs = args.jobs or os.cpu_count() or 1


def scheduler_in_file(parser, path):
    import json

    try:
        with open(path, encoding="utf-8") as f:
            info = json.load(f)
    except (OSError, ValueError) as exc:
        parser.error(f"cannot read the scheduler file {path}: {getattr(exc, 'strerror', None) or exc}")
    address = info.get("address") if isinstance(info, dict) else None
    if not isinstance(address, str) or not address:
        parser.error(f"the scheduler file {path} names no address")
    return address


def warn(message):
    print(f"tolva.run: warning: {message}", file=sys.stderr)


def run(prog, args):
    _cli.make_cwd_importable()
    # Imported first, so that a warm server forked from here has them too.
    from tolva import fingerprint, incremental, job, records  # noqa: F401
    from tolva import plan as planning  # noqa: F401

    problems = _cli.import_modules(args.modules) or sourceless(args.modules)
    for problem in problems:
        _cli.error(prog, problem)
    if problems:
        return 2
    if not first_run(args):
        return plan_and_run(prog, args)
    from tolva.executors import local

    local.start_server_early(args.modules)
    try:
        return plan_and_run(prog, args)
    finally:
        local.end_early_server()  # when no job took it


def plan_and_run(prog, args):
    from tolva import fingerprint, incremental, records
    from tolva import plan as planning
    try:
        assets = load_assets(args.modules)
    except planning.GraphError as exc:
        for line in str(exc).splitlines():
            _cli.error(prog, line)
        return 2
    if args.dot:
        sys.stdout.write(to_dot(assets))
        return 0
    out = os.path.abspath(args.out)
    if os.path.exists(out) and not os.path.isdir(out):
        _cli.error(prog, f"--out '{args.out}' is not a directory")
        return 2
    plan_file = os.path.abspath(args.plan) if args.plan else records.plan_path(out)
    project = fingerprint.Project(fingerprint.project_roots())
    codes = planning.add_fingerprints(assets, project, warn)
    roots = [root.rstrip(os.sep) for root in project.roots]
    plan = planning.build_plan(assets, out, os.getcwd(), sys.executable, plan_file, roots)
    selected = {j["id"] for j in plan["jobs"]}
    parts = {asset.label: asset.parts for asset in assets}
    decider = incremental.Decider(project, codes, lambda job: (job["fingerprint"]["code"], parts[job["asset"]]))
    try:
        if args.select:
            plan, selected = planning.select_jobs(assets, plan, args.select)
    except planning.GraphError as exc:
        for line in str(exc).splitlines():
            _cli.error(prog, line)
        return 2
    if args.plan is not None:
        # A plan inside OUT is read by the jobs of a run that may be using the folder.
        inside = os.path.realpath(plan_file).startswith(os.path.realpath(out) + os.sep)
        try:
            with records.OutputLock(out) if inside else contextlib.nullcontext():
                text = write_plan(plan, plan_file)
        except records.Busy as busy:
            _cli.error(prog, busy_message(busy, out))
            return 2
        sys.stdout.write(text)
        return 0
    if args.explain:
        explain(plan, decider, selected if args.force else ())
        return 0
    from tolva import scheduler

    try:
        with records.OutputLock(out) as lock:
            write_plan(plan, plan_file, job_files=False)
            run_id = os.urandom(8).hex()
            executor = make_executor(prog, args, plan, plan_file, run_id)
            if executor is None:
                return 2
            try:
                # On a cluster, its workers decide how many jobs run at once: every ready
                # job is submitted, so no worker waits for the runner between two jobs.
                in_flight = args.jobs if args.executor == "local" else max(1, len(plan["jobs"]))
                run = scheduler.Run(plan, plan_file, in_flight, [a.label for a in assets], executor, decider,
                                    args.retries, selected if args.force else (), args.executor, run_id, lock,
                                    args.select, args.verbose)
                code = run.execute()
                records.write_atomically(records.last_run_path(out), json_text(
                    {"modules": args.modules, "all_done": code == 0}))
            finally:
                executor.shutdown()
            if run.lost_lock is not None:
                _cli.error(prog, f"the lock file of {out} was replaced during the run and another run (PID "
                                 f"{run.lost_lock}) holds it now; this run stopped")
                return 2
            return code
    except records.Busy as busy:
        _cli.error(prog, busy_message(busy, out))
        return 2
    except OSError as exc:
        _cli.error(prog, _cli.describe(exc))
        return 1


def argparse_suppress():
    """Options the runner gives the job commands it starts (its run id, the attempt),
    not shown to people."""
    import argparse

    return argparse.SUPPRESS


def busy_message(busy, out):
    return f"another run (PID {busy}) is using the output folder {out}; wait for it to end or choose another --out"


def write_plan(plan, plan_file, job_files=True):
    """Writes the plan, then each job's own file beside it; returns the plan's text.
    A run leaves them to the executor, which writes them before the first job that
    starts as the plan's command (a job's command reads the whole plan when its file is
    missing or of another plan); a forked job gets its entry with its request."""
    import json

    from tolva import job, records

    text = json.dumps(plan, indent=2, ensure_ascii=False) + "\n"
    records.write_atomically(plan_file, text)
    if job_files:
        job.write_job_files(plan, plan_file)
    return text


def make_executor(prog, args, plan, plan_file, run_id):
    """The executor the options ask for, made at the first job that has to run when it
    can wait; None (with the reason on standard error) when it cannot run the jobs."""
    from tolva import scheduler

    def make():
        from tolva import executors

        return executors.make(args.executor, plan, plan_file, run_id, args)

    if args.executor == "local":
        return scheduler.Lazy(make)
    from tolva import executors

    try:
        return make()
    except executors.CannotRun as cannot:
        _cli.error(prog, cannot.args[0])
        for line in cannot.args[1:]:
            print(line, file=sys.stderr)
        return None


def history(out):
    """Prints the runs recorded in OUT, newest first: when, how long, how many jobs of
    each status, and the selection. Reads only."""
    import json
    from datetime import datetime

    from tolva import records

    try:
        names = sorted((n for n in os.listdir(records.history_dir(out)) if n.endswith(".json")), reverse=True)
    except OSError:
        names = []
    if not names:
        print(f"no run is recorded in {out}")
        return 0
    print(f"{'started':<25}  {'took':>7}  {'state':<11}  succeeded  up-to-date  failed  skipped  cancelled  selection")
    for name in names:
        try:
            with open(os.path.join(records.history_dir(out), name), encoding="utf-8") as f:
                record = json.load(f)
            statuses = [job["status"] for job in record["jobs"]]
            started = datetime.fromisoformat(record["started"])
        except (OSError, ValueError, KeyError, TypeError):
            continue
        if record.get("in_progress"):
            alive = records.process_start(record.get("pid")) is not None if isinstance(record.get("pid"), int) \
                else False
            state, took = ("running" if alive else "interrupted"), "-"
        else:
            state = "interrupted" if record.get("interrupted") else \
                "succeeded" if records.exit_status(statuses) == 0 else "failed"
            took = f"{(datetime.fromisoformat(record['finished']) - started).total_seconds():.1f}s"
        counts = [statuses.count(s) for s in records.STATUSES]
        selection = ", ".join(record.get("selection") or []) or "everything"
        print(f"{record['started']:<25}  {took:>7}  {state:<11}  {counts[0]:>9}  {counts[1]:>10}  {counts[2]:>6}  "
              f"{counts[3]:>7}  {counts[4]:>9}  {selection}")
    return 0


def report(prog, plan_file):
    from tolva import job, records, scheduler

    try:
        plan = job.read_plan(plan_file)
    except job.PlanError as exc:
        _cli.error(prog, exc)
        return 2
    labels = list(dict.fromkeys(j["asset"] for j in plan["jobs"]))
    try:
        with records.OutputLock(plan["out"]):
            return scheduler.report(plan, plan_file, labels)
    except records.Busy as busy:
        _cli.error(prog, f"a run (PID {busy}) is using the output folder {plan['out']}; report when it has ended")
        return 2


def explain(plan, decider, forced):
    """For every job of the plan, whether it would run and the first reason; a job
    below one that runs waits for its value, which may or may not change."""
    from tolva import job as jobs

    by_id = {j["id"]: j for j in plan["jobs"]}
    runs, may_run = set(), set()
    for entry in plan["jobs"]:
        waiting = next((i for i in entry["dependencies"] if i in runs or i in may_run), None)
        if waiting is not None:
            may_run.add(entry["id"])
            print(f"may run     {entry['id']}: upstream job '{waiting}' runs first")
            continue
        upstream = {i: by_id[i] for spec in entry["inputs"] for i in spec["from"]}
        try:
            reason = jobs.decide(plan["out"], entry, upstream, decider, entry["id"] in forced)[1]
        except jobs.UpstreamNotReady as exc:
            reason = str(exc)
        if reason is None:
            print(f"up to date  {entry['id']}")
        else:
            runs.add(entry["id"])
            print(f"runs        {entry['id']}: {reason}")
    print(f"\n{len(runs)} of {len(plan['jobs'])} jobs would run, {len(may_run)} more if their upstream values change")


def json_text(value):
    import json

    return json.dumps(value) + "\n"


def first_run(args):
    """Whether jobs are likely to run, so that the warm server is best started at once:
    unless the folder's last run was of the same modules and ended with every job done,
    when a run may well find them all up to date (it then starts the server at the
    first job that runs)."""
    if args.plan is not None or args.dot or args.explain or args.executor != "local" or args.isolation != "fork":
        return False
    import json

    from tolva import records

    try:
        with open(records.last_run_path(os.path.abspath(args.out)), encoding="utf-8") as f:
            last = json.load(f)
    except (OSError, ValueError):
        return True
    return not (isinstance(last, dict) and last.get("modules") == args.modules and last.get("all_done") is True)


def sourceless(modules):
    """One line per module that has no Python source to describe (built in, or an
    extension or bytecode file only)."""
    problems = []
    for name in modules:
        path = getattr(sys.modules.get(name), "__file__", None)
        if not isinstance(path, str) or not path.endswith(".py"):
            what = "it is built into Python" if not isinstance(path, str) else f"its file is {path}"
            problems.append(f"cannot describe module '{name}': {what}, and tolva describes modules written in "
                            "Python")
    return problems


def load_assets(modules):
    from _tolva import inspect_modules

    from tolva import plan as planning

    try:
        document = inspect_modules(modules)
    except Exception as exc:
        raise planning.GraphError(f"cannot describe the modules {', '.join(modules)}: {_cli.describe(exc)}") from None
    problems = planning.Problems()
    assets = planning.resolve_inputs(planning.assets_from_document(document, problems), problems)
    planning.check_signatures(assets, warn, problems)
    problems.raise_any()
    return assets


def to_dot(assets):
    from tolva import plan as planning

    def quote(text):
        return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'

    lines = ["digraph tolva {", "  rankdir=LR;", '  node [shape=box, style=rounded, fontname="Helvetica"];',
             '  edge [fontname="Helvetica", fontsize=10];']
    for asset in assets:
        count = sum(1 for _ in planning.partitions_of(asset))
        detail = ", ".join(f"{d}: {len(v)}" for d, v in asset.dimensions.items())
        label = asset.label + (f"\\n{count} partitions ({detail})" if asset.dimensions else "")
        lines.append(f"  {quote(asset.label)} [label={quote(label).replace(chr(92) * 2 + 'n', chr(92) + 'n')}];")
    for asset in assets:
        for parameter, upstream in sorted(asset.upstream.items()):
            lines.append(f"  {quote(upstream.label)} -> {quote(asset.label)} [label={quote(parameter)}];")
    lines.append("}")
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    sys.exit(main(prog=PROG))
