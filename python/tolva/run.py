"""python -m tolva.run MODULE [MODULE ...]: run a whole pipeline.

Inspects the modules once, plans one job per asset and partition combination, and
runs the jobs (at most --jobs at once), each as soon as the jobs it needs succeeded.
Every job is the command its plan entry names (``python -m tolva.run --from-plan PLAN
--job ID``), which gathers the job's inputs from its upstream jobs' value.json files
and runs the worker; ``--plan`` hands those commands to another engine instead, and
``--from-plan PLAN --report`` assembles the run record of a plan an engine ran.

The front end only: it parses, calls one function of tolva.pipeline (or the job's, or
the history's), and maps the outcome to an exit status: 0 when every job succeeded,
1 otherwise, 2 for usage, import, graph or plan errors, 130 when stopped by Ctrl-C,
SIGTERM or SIGHUP.
"""

import argparse
import os
import sys

from tolva import _cli, executors

PROG = _cli.RUN_PROG


def build_parser(prog=None):
    parser = _cli.argument_parser(prog=prog, description="Run the tolva pipeline declared in the given modules.")
    _cli.add_version(parser)
    parser.add_argument("modules", nargs="*", metavar="MODULE", help="module declaring assets (dotted name)")
    parser.add_argument("--out", default="tolva-out", metavar="DIR", help="output directory (default: ./tolva-out)")
    parser.add_argument("--jobs", "-j", type=int, metavar="N",
                        help="jobs running at once (default: the number of CPUs); with --executor dask and no "
                             "scheduler, the local cluster's workers")
    choices = executors.modules()
    parser.add_argument("--executor", choices=[e.NAME for e in choices], default="local",
                        help="; ".join(e.HELP for e in choices))
    for executor in choices:
        executor.add_options(parser)
    parser.add_argument("--force", action="store_true",
                        help="run every selected job even when its last success still holds (with --job: that job)")
    parser.add_argument("--verbose", "-v", action="store_true",
                        help="on a terminal, a line for every job that ends, not only for failures; with "
                             "--explain, a line for every job")
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
    mode.add_argument("--status", action="store_true",
                      help="print the state of every asset (-v: of every job), whatever runs made it; run nothing")
    mode.add_argument("--show", metavar="NAME",
                      help="print a preview of the stored value of this asset or job (ASSET[/DIMENSION=KEY]); "
                           "run nothing")
    mode.add_argument("--from-plan", metavar="PLAN", help="run one job of a plan (with --job), or --report on it")
    parser.add_argument("--job", metavar="ID", help="the job of --from-plan to run")
    # What the runner gives the job commands it starts (its run id, the attempt, the
    # worker), not shown to people.
    parser.add_argument("--run-id", metavar="RUN", help=argparse.SUPPRESS)
    parser.add_argument("--attempt", type=int, default=1, metavar="N", help=argparse.SUPPRESS)
    parser.add_argument("--worker", metavar="NAME", help=argparse.SUPPRESS)
    parser.add_argument("--report", action="store_true",
                        help="with --from-plan: write OUT/run.json from the jobs' own records and print the summary")
    return parser


def check_options(parser, args):
    """Refuses options that do not go together, and fills in the defaults."""
    if args.history and (args.modules or args.job or args.report):
        parser.error("--history goes with --out only")
    if args.report and (args.from_plan is None or args.job is not None or args.modules):
        parser.error("--report goes with --from-plan, without --job or modules")
    if not args.report and (args.from_plan is not None or args.job is not None):
        if args.from_plan is None or args.job is None or args.modules:
            parser.error("--from-plan and --job go together, without modules")
    if args.history or args.from_plan is not None:
        return
    if args.show and args.select:
        parser.error("--show names what it shows; it goes without --select")
    if not args.modules:
        parser.error("the following arguments are required: MODULE")
    if args.jobs is not None and args.jobs < 1:
        parser.error("--jobs must be at least 1")
    for executor in executors.modules():
        executor.configure(parser.error, args, executor.NAME == args.executor)
    args.jobs = args.jobs or os.cpu_count() or 1
    if not args.out:
        parser.error("--out must name a folder")
    if args.retries < 0:
        parser.error("--retries must be at least 0")


@_cli.command
def main(argv=None, prog=None):
    """Entry point; prog defaults to the name the program was started by."""
    _cli.survive_closed_stdout()
    parser = build_parser(prog)
    args = parser.parse_args(argv)
    check_options(parser, args)
    if args.history:
        from tolva import stored

        stored.history(os.path.abspath(args.out))
        return 0
    if args.from_plan is not None and not args.report:
        from tolva import job

        return job.run_job(args.from_plan, args.job, args.force, args.run_id, args.attempt, on_worker=args.worker)
    from tolva import pipeline  # planning and running: not for a job's own command

    try:
        if args.report:
            return pipeline.report(args.from_plan)
        return plan_and_run(pipeline, args)
    except pipeline.Refused as refused:
        for line in refused.args:
            _cli.error(parser.prog, line)
        return 2
    except executors.CannotRun as cannot:
        _cli.error(parser.prog, cannot.args[0])
        for line in cannot.args[1:]:
            print(line, file=sys.stderr)
        return 2
    except OSError as exc:
        _cli.error(parser.prog, _cli.describe(exc))
        return 1


def plan_and_run(pipeline, args):
    """Imports the modules, then plans and runs (or explains, or writes) the pipeline."""
    pipeline.import_modules(args.modules)
    with pipeline.warming(args):
        planned = pipeline.plan_pipeline(args, [args.show] if args.show else args.select)
        if args.show:
            return pipeline.show(planned)
        if args.dot:
            sys.stdout.write(planned.dot())
            return 0
        if args.plan is not None:
            sys.stdout.write(pipeline.write_plan(planned))
            return 0
        if args.explain:
            print_explanation(pipeline.explain(planned, args.force), planned.plan["jobs"], args.verbose)
            return 0
        if args.status:
            print_status(pipeline.status(planned), args.verbose)
            return 0
        return pipeline.run(planned, args)


def print_explanation(verdicts, jobs, verbose=False):
    """One line per asset (its counts and the most common reason), or with verbose one
    per job; then the totals."""
    if verbose:
        for verdict, job_id, why in verdicts:
            print(f"{verdict:<11} {_cli.printable(job_id)}" + (f": {_cli.printable(why)}" if why else ""))
    else:
        from tolva.records import row_label

        asset_of = {job["id"]: row_label(job) for job in jobs}

        def columns(found):
            counts = [sum(1 for verdict, _, _ in found if verdict == kind) for kind in ("runs", "may run", "up to date")]
            reasons = [why for verdict, _, why in found if verdict == "runs"] or [why for _, _, why in found if why]
            common = max(dict.fromkeys(reasons), key=reasons.count) if reasons else ""
            return f"{counts[0]:>4}  {counts[1]:>7}  {counts[2]:>10}  {_cli.printable(common)}"

        _print_by_asset(verdicts, lambda verdict: asset_of[verdict[1]], "runs  may run  up to date  why (most common)",
                        columns)
    runs = sum(1 for verdict, _, _ in verdicts if verdict == "runs")
    may_run = sum(1 for verdict, _, _ in verdicts if verdict == "may run")
    print(f"\n{runs} of {len(jobs)} jobs would run, {may_run} more if their upstream values change"
          + ("" if verbose or not verdicts else "; -v for each job"))


def _when(seconds):
    import datetime

    return datetime.datetime.fromtimestamp(seconds).strftime("%Y-%m-%d %H:%M:%S")


def _made(state):
    if not isinstance(state.made_at, (int, float)):
        return ""
    return f"made {_when(state.made_at)}" + (f" by run {state.made_by}" if state.made_by else "")


def print_status(states, verbose=False):
    """One line per asset: how many of its jobs hold a value (done), failed, have none
    (never run, skipped, cancelled), and are stale (would run now), and when its
    newest value was made; with verbose one line per job."""
    if verbose:
        for state in states:
            stale = f"  stale: {_cli.printable(state.stale)}" if state.stale and state.done else ""
            made = _made(state)
            said = f"  {_said(state.check)}" if state.check and state.done else ""
            print(f"{state.status:<11} {_cli.printable(state.job_id)}" + (f"  {made}" if made else "") + said + stale)
        return
    def columns(found):
        done = [s for s in found if s.done]
        failed = sum(1 for s in found if s.status == "failed")
        stale = sum(1 for s in done if s.stale)
        newest = max(done, key=lambda s: s.made_at or 0, default=None)
        made = _made(newest) if newest is not None else ""
        said = [s.check for s in done if s.check]
        if said:
            failing = [c for c in said if c.get("passed") is False]
            made += f"; {len(said) - len(failing)} passed, {len(failing)} failed" + (
                f" ({_cli.printable(failing[0].get('message') or '')})" if failing else "")
        return f"{len(found):>4}  {len(done):>4}  {failed:>6}  {len(found) - len(done) - failed:>7}  {stale:>5}  {made}"

    _print_by_asset(states, lambda state: state.asset, "jobs  done  failed  not run  stale  newest value", columns)


def _said(check):
    message = _cli.printable(check.get("message") or "")
    return ("passed" if check.get("passed") else "check failed") + (f": {message}" if message else "")


def _print_by_asset(items, asset_of, header, columns):
    """A table of one line per asset, in the plan's order: its name, then
    columns(its items)."""
    by_asset = {}
    for item in items:
        by_asset.setdefault(asset_of(item), []).append(item)
    width = max([5] + [len(_cli.printable(asset)) for asset in by_asset])
    print(f"{'asset':<{width}}  {header}")
    for asset, found in by_asset.items():
        print(f"{_cli.printable(asset):<{width}}  {columns(found)}".rstrip())


def console():
    """The tolva-run console script."""
    _cli.exit_now(main())


if __name__ == "__main__":
    _cli.exit_now(main(prog=PROG))
