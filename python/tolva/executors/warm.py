"""What a warm server (tolva.executors.fork_server) does before it forks any job: it
imports tolva's job code and the pipeline's modules, and runs one materialization of
a tiny asset of its own, so that every job starts with the modules imported and with
what a first materialization sets up already done (a tenth of a trivial job's time
otherwise, paid again in every forked job). A module that fails here fails silently:
the runner, which imports the same modules, reports it, and a job imports it again
and records why.
"""

import importlib
import os
import shutil
import sys
import time

from tolva import asset, formats, layout, observe
from tolva.executors import processes

# What every job imports, so that no job imports it again.
JOB_CODE = ["json", "inspect", "pathlib", "traceback", "_tolva", "tolva.job", "tolva.executors.processes"]


@asset()
def warm_up(rows: list = [1]) -> dict:  # noqa: B006 - a constant, never changed
    return {"rows": rows, "total": sum(rows) + 0.5}


def prepare(modules, parent, bare=False):
    """Makes this process a warm server's: what its jobs leave behind comes back to it,
    it ends them all and itself with parent (the runner or worker that started it; it
    leaves at once when that has already ended), imports, and warms up; bare: it only
    starts jobs' own commands, and imports and warms nothing. Returns why each of the
    modules that failed to import did, as a traceback's last line."""
    modules = list(modules)
    processes.keep_what_jobs_leave()
    layout.renameat2()  # loaded here once, for every job's records
    if os.getppid() != parent:
        processes.end_descendants_and_exit()  # the parent ended before the signal was set up
    if bare:
        return []
    for name in JOB_CODE:
        importlib.import_module(name)
    failures = []
    with observe.importing():
        for name in modules:
            try:
                importlib.import_module(name)
            except BaseException as exc:  # noqa: BLE001 - the server must come up whatever a module does
                import traceback

                failures.append(traceback.format_exception_only(exc)[-1].strip())
    formats.prepare_for(modules)
    _warm()
    # What the server holds now is shared by every job: a job's collections leave it
    # alone, so its pages are not copied into each job. (No collection first: it would
    # touch, and so copy, every page a server forked from the runner shares with it.)
    import gc

    gc.freeze()
    return failures


def _warm():
    from _tolva import materialize_asset

    from tolva import fingerprint

    project = fingerprint.Project([os.getcwd()])
    # Not tempfile: it imports random, whose state every forked job would then seed anew.
    folder = os.path.join(os.environ.get("TMPDIR") or "/tmp", f"tolva-warm-{os.getpid()}-{time.monotonic_ns()}")
    try:
        os.mkdir(folder, 0o700)  # never one that is there already
    except OSError:
        return
    try:
        # Not observed: instrumenting here would leave every forked job's code to be
        # instrumented again, and the server would carry the audit hook into them.
        fingerprint.CodeFingerprints(project).of(warm_up.__tolva_original__)
        for module in list(sys.modules.values()):
            project.owns_module(module)  # each loaded module's real path, once for every job
        materialize_asset(__name__, "warm_up", os.path.join(folder, "out"), '{"rows": [1, 2]}')
    except BaseException:  # noqa: BLE001 - warming is an optimisation, never a failure
        pass
    finally:
        shutil.rmtree(folder, ignore_errors=True)
