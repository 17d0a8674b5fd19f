"""python -m tolva.run MODULE [MODULE ...]: run a whole pipeline.

Inspects the modules once, plans one job per asset and partition combination, and
runs the jobs (at most --jobs at once), each as soon as the jobs it needs succeeded.
Every job is the command its plan entry names (``python -m tolva.run --from-plan PLAN
--job ID``), which gathers the job's inputs from its upstream jobs' value.json files
and runs the worker; ``--plan`` hands those commands to another engine instead.

Exit status: 0 when every job succeeded, 1 otherwise, 2 for usage or graph errors.
"""

import argparse
import os
import sys

PROG = "python -m tolva.run"
RUN_RECORD_VERSION = 1


def build_parser(prog=None):
    parser = argparse.ArgumentParser(prog=prog, description="Run the tolva pipeline declared in the given modules.")
    parser.add_argument("modules", nargs="*", metavar="MODULE", help="module declaring assets (dotted name)")
    parser.add_argument("--out", default="tolva-out", metavar="DIR", help="output directory (default: ./tolva-out)")
    parser.add_argument("--jobs", "-j", type=int, default=os.cpu_count() or 1, metavar="N",
                        help="jobs running at once (default: the number of CPUs)")
    parser.add_argument("--select", nargs="+", metavar="NAME", help="run only these assets and what they need")
    mode = parser.add_mutually_exclusive_group()
    mode.add_argument("--plan", nargs="?", const="", metavar="FILE",
                      help="write the plan (default OUT/plan.json), print it, run nothing")
    mode.add_argument("--dot", action="store_true", help="print the asset graph as Graphviz DOT, run nothing")
    mode.add_argument("--from-plan", metavar="PLAN", help="run one job of a plan (with --job)")
    parser.add_argument("--job", metavar="ID", help="the job of --from-plan to run")
    return parser


def main(argv=None, prog=None):
    """Entry point; prog defaults to the name the program was started by."""
    parser = build_parser(prog)
    args = parser.parse_args(argv)
    if args.from_plan is not None or args.job is not None:
        if args.from_plan is None or args.job is None or args.modules:
            parser.error("--from-plan and --job go together, without modules")
        from tolva import job

        return job.run_job(args.from_plan, args.job)
    if not args.modules:
        parser.error("the following arguments are required: MODULE")
    if args.jobs < 1:
        parser.error("--jobs must be at least 1")

    from tolva import _cli, plan as planning
    from tolva import scheduler

    _cli.make_cwd_importable()
    try:
        assets = load_assets(args.modules, args.select)
    except planning.GraphError as exc:
        print(f"{parser.prog}: error: {exc}", file=sys.stderr)
        return 2
    if args.dot:
        sys.stdout.write(to_dot(assets))
        return 0
    out = os.path.abspath(args.out)
    plan_file = os.path.abspath(args.plan) if args.plan else os.path.join(out, "plan.json")
    plan = planning.build_plan(assets, out, os.getcwd(), sys.executable, plan_file)
    text = planning.json.dumps(plan, indent=2, ensure_ascii=False) + "\n"
    scheduler.write_atomically(plan_file, text)
    if args.plan is not None:
        sys.stdout.write(text)
        return 0
    return scheduler.Run(plan, plan_file, args.jobs, assets).execute()


def load_assets(modules, selected):
    from _tolva import inspect_modules

    from tolva import plan as planning

    document = inspect_modules(modules)
    assets = planning.resolve_inputs(planning.assets_from_document(document))
    if selected:
        assets = planning.select(assets, selected)
    planning.check_signatures(assets, lambda message: print(f"tolva.run: warning: {message}", file=sys.stderr))
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
