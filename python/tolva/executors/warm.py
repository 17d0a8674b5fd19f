"""Imported by the warm server of the fork executor, before it forks any job: the
pipeline's modules, named in TOLVA_WARM_MODULES, and one materialization of a tiny
asset of its own, so that every job starts with the modules imported and with what a
first materialization sets up already done (a tenth of a trivial job's time otherwise,
paid again in every forked job). A module that fails here fails silently: the runner,
which imports the same modules, reports it, and a job imports it again and records why.
"""

import importlib
import os
import shutil
import tempfile

from tolva import asset


@asset()
def warm_up(rows: list = [1]) -> dict:  # noqa: B006 - a constant, never changed
    return {"rows": rows, "total": sum(rows) + 0.5}


def _warm():
    from _tolva import materialize_asset

    from tolva import fingerprint

    project = fingerprint.Project([os.getcwd()])
    folder = tempfile.mkdtemp(prefix="tolva-warm-")
    try:
        # Not observed: instrumenting here would leave every forked job's code to be
        # instrumented again, and the server would carry the audit hook into them.
        fingerprint.CodeFingerprints(project).of(warm_up.__tolva_original__)
        materialize_asset(__name__, "warm_up", os.path.join(folder, "out"), '{"rows": [1, 2]}')
    except BaseException:  # noqa: BLE001 - warming is an optimisation, never a failure
        pass
    finally:
        shutil.rmtree(folder, ignore_errors=True)


# The server ends with the runner that started it, even in the middle of a slow import.
try:
    from tolva.executors import death_signal_setter

    death_signal_setter()()
except (OSError, AttributeError):
    pass
if str(os.getppid()) != os.environ.get("TOLVA_WARM_PARENT", str(os.getppid())):
    os._exit(0)  # the runner ended before the signal was set up

for _name in filter(None, os.environ.get("TOLVA_WARM_MODULES", "").split(",")):
    try:
        importlib.import_module(_name)
    except BaseException:  # noqa: BLE001 - the server must come up whatever a module does
        pass
_warm()
