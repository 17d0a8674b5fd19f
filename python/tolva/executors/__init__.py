"""Executors: how each job of a plan gets a process, one module per executor (local,
dask). Every executor ends in the same job function (job.run_job, the function behind
the plan's job command), so runs cannot drift apart.

An executor is a concurrent.futures.Executor in spirit: submit(job, attempt, force)
returns a concurrent.futures.Future whose result is Finished(exit status, the job's own
record of this attempt, where it ran); signal(signum) reaches every job still running;
running_pids() names the job processes it runs on this machine; queued() the jobs
submitted that still wait for one of its processes; shutdown() ends what the executor
started.

Each executor's module says, besides make(plan, plan_file, run_id, options):
- NAME, and HELP: one line for --executor's help;
- add_options(parser): its own command-line options;
- configure(error, options, chosen): checks its options (error(message) refuses them)
  and fills in their defaults; chosen: whether it is the executor asked for, when its
  options must not be given otherwise;
- in_flight(options, plan): how many jobs the runner keeps submitted at once;
- lazy: made at the first job that has to run (a run of up-to-date jobs starts none);
- same_environment: whether its jobs see the runner's environment variables (where
  they do not, a job that read some decides where it runs whether it is up to date);
- warming(options): a context manager around planning and running, for an executor
  that starts a warm server as soon as the modules are imported (it warms up while
  the runner plans).
Adding an executor is adding its module and its line in EXECUTORS; nothing else changes.
"""

import importlib

from tolva.records import Finished

__all__ = ["EXECUTORS", "CannotRun", "Executor", "Finished", "Lazy", "make", "module"]

# Name -> its module.
EXECUTORS = {"local": "tolva.executors.local", "dask": "tolva.executors.dask"}


class Executor:
    """The interface the runner's scheduler drives."""

    def submit(self, job, attempt=1, force=False):
        raise NotImplementedError

    def signal(self, signum):
        raise NotImplementedError

    def running_pids(self):
        """The jobs this executor runs as processes of this machine, job id -> PID."""
        return {}

    def queued(self):
        """The ids of jobs submitted that wait for a process of the executor's own."""
        return set()

    def shutdown(self):
        pass


class CannotRun(Exception):
    """The executor cannot run the plan's jobs: its lines say why, the first one whole."""


def module(name):
    return importlib.import_module(EXECUTORS[name])


def modules():
    return [module(name) for name in EXECUTORS]


def make(name, plan, plan_file, run_id, options):
    """The executor of that name (made at its first job when it can wait); CannotRun
    when it cannot run the plan's jobs."""
    chosen = module(name)
    if chosen.lazy:
        return Lazy(lambda: chosen.make(plan, plan_file, run_id, options))
    return chosen.make(plan, plan_file, run_id, options)


class Lazy(Executor):
    """Makes the executor at the first job that has to run: a run whose jobs are all
    up to date imports no executor and starts no server or process."""

    def __init__(self, make_executor):
        self.make_executor = make_executor
        self.executor = None

    def submit(self, job, attempt=1, force=False):
        if self.executor is None:
            self.executor = self.make_executor()
        return self.executor.submit(job, attempt, force)

    def signal(self, signum):
        if self.executor is not None:
            self.executor.signal(signum)

    def running_pids(self):
        return self.executor.running_pids() if self.executor is not None else {}

    def queued(self):
        return self.executor.queued() if self.executor is not None else set()

    def shutdown(self):
        if self.executor is not None:
            self.executor.shutdown()


def new_future():
    # concurrent.futures brings logging along: loaded only once a job has to run.
    from concurrent.futures import Future

    return Future()
