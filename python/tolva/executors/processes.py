"""Process plumbing the executors share: process groups and signals, the running
jobs' PIDs, job logs, processes that die with their parent, the runner as a child
subreaper, and run_forked_job, the one function a job forked from a warm server runs.
subprocess and threading are imported when a job is started, not before: a run whose
jobs are all up to date pays for neither.
"""

import os
import signal as signals

from tolva import layout
from tolva.records import Finished


def signal_group(pid, signum, leader_too=True):
    """Signals a job's process group (it leads one), or the job alone when it has not
    made its group yet (leader_too: when the job itself has ended, only its group)."""
    try:
        os.killpg(pid, signum)
    except ProcessLookupError:
        if not leader_too:
            return
        try:
            os.kill(pid, signum)
        except ProcessLookupError:
            pass


class RunningJobs:
    """The pids of the jobs an executor has running, for signals from any thread."""

    def __init__(self):
        import threading

        self.pids = {}  # job id -> pid
        self.signalled = None  # the last signal sent to every job, for jobs starting meanwhile
        self.lock = threading.Lock()

    def started(self, job_id, pid):
        with self.lock:
            self.pids[job_id] = pid
            signalled = self.signalled
        if signalled is not None:
            # Started while the run was being stopped: it gets the signal its peers got.
            signal_group(pid, signalled)

    def ended(self, job_id):
        with self.lock:
            return self.pids.pop(job_id, None)

    def signal(self, signum):
        with self.lock:
            self.signalled = signum
            pids = list(self.pids.values())
        for pid in pids:
            signal_group(pid, signum)


def job_argv(job, force, run_id, attempt):
    return job["argv"] + (["--force"] if force else []) + ["--run-id", run_id, "--attempt", str(attempt)]


def attempt_header(attempt, again_on=None):
    if again_on is not None:
        return f"--- attempt {attempt}, started again on {again_on} ---\n".encode()
    return f"--- attempt {attempt} ---\n".encode() if attempt > 1 else b""


def not_started(exc):
    """A job whose process could not be started (its log cannot be made, say) has failed."""
    return Finished(1, {"status": "failed", "error_type": "NotStarted", "error": f"{type(exc).__name__}: {exc}"})


def open_log(log, attempt, again_on=None):
    """The job's log, opened for the job's output, never through a link: made anew for a
    first attempt, appended to, under its header, for a later one or for an attempt
    started again after its worker was lost (again_on: the worker it starts on now)."""
    append = attempt > 1 or again_on is not None
    fd = layout.open_in_folder(log, os.O_WRONLY | os.O_CREAT | (os.O_APPEND if append else os.O_TRUNC))
    header = attempt_header(attempt, again_on)
    if header:  # a first attempt has none
        os.write(fd, header)
    return fd


def start_logged(argv, workdir, log, attempt, preexec_fn=None, again_on=None):
    """Starts a job's command with its output in the job's log (a later attempt is
    appended), in a session of its own: the terminal's Ctrl-C reaches the runner only,
    which then ends the job's whole process group."""
    import subprocess

    with open(open_log(log, attempt, again_on), "ab") as log_file:
        return subprocess.Popen(argv, stdout=log_file, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, cwd=workdir,
                                start_new_session=True, preexec_fn=preexec_fn)


def prctl():
    """libc's prctl, loaded once (layout.libc)."""
    return layout.libc().prctl


def death_signal_setter():
    """A function that has the process calling it killed when its parent ends
    (PR_SET_PDEATHSIG). libc is loaded here, so a forked child can call it without
    importing anything."""
    call = prctl()
    return lambda: call(1, int(signals.SIGKILL))


def become_subreaper():
    """What a job leaves running (in its process group or detached from it) comes back
    to this process when the job ends."""
    try:
        prctl()(36, 1)  # PR_SET_CHILD_SUBREAPER
    except (OSError, AttributeError):
        pass


def keep_what_jobs_leave():
    """For a warm server: the processes its jobs detach come back to it, and when what
    started it ends, even killed outright (it is told by SIGTERM), it ends its jobs and
    all they left before it ends itself; no job's process outlives a run."""
    become_subreaper()
    signals.signal(signals.SIGTERM, lambda signum, frame: end_descendants_and_exit())
    try:
        prctl()(1, int(signals.SIGTERM))  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass


def end_descendants_and_exit():
    """Ends every process below this one (its children; theirs come to it in turn, it
    being their subreaper), then this process."""
    signals.signal(signals.SIGTERM, signals.SIG_IGN)
    end_orphans(set())
    os._exit(0)


def dies_with_parent(argv):
    """The job's process dies with the runner or worker that started it (killed, out of
    memory): a lost parent leaves no job running behind it. setpriv sets PR_SET_PDEATHSIG and
    execs the job, which lets Python spawn it without copying the worker (no
    preexec_fn); where it is missing, prctl runs in the forked child instead."""
    import shutil

    setpriv = shutil.which("setpriv")
    if setpriv:
        return [setpriv, "--pdeathsig", "KILL", "--", *argv], None
    return argv, death_signal_setter()


def children():
    """The PIDs of this process's children: from the kernel's list of each thread's
    children, or, where that is not kept, from every process's parent in /proc."""
    me = os.getpid()
    if os.path.exists(f"/proc/{me}/task/{me}/children"):
        found = []
        for thread in os.listdir(f"/proc/{me}/task"):
            try:
                with open(f"/proc/{me}/task/{thread}/children", "rb") as f:
                    found += [int(pid) for pid in f.read().split()]
            except FileNotFoundError:
                pass  # the thread has ended
        return found
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat", "rb") as f:
                    if int(f.read().rsplit(b")", 1)[1].split()[1]) == me:
                        found.append(int(entry))
            except (OSError, IndexError, ValueError):
                pass
    return found


def has_children():
    """Whether this process has any child, running or ended: one system call, where
    listing them reads a file per thread."""
    try:
        os.waitid(os.P_ALL, 0, os.WEXITED | os.WNOHANG | os.WNOWAIT)
    except ChildProcessError:
        return False
    return True


def end_orphans(keep):
    """Ends the processes that jobs left behind and that came to this process (a child
    subreaper), daemons that left their job's group included: every child not in keep.
    Each is waited for by its own PID, never by a wait for any child."""
    for _ in range(100):  # an orphan's own children come here in turn
        orphans = [pid for pid in children() if pid not in keep]
        if not orphans:
            return
        for pid in orphans:
            try:
                os.kill(pid, signals.SIGKILL)
                os.waitpid(pid, 0)
            except (ProcessLookupError, ChildProcessError):
                pass


def run_forked_job(log, plan_file, job_id, force, run_id, attempt, entry=None, on_worker=None):
    """A job forked from a warm server (the local one, or a run's on a Dask worker): in a
    session of its own, dying with the server, standard output and error into the log
    (made by the executor) at the descriptor level, then the job function (with the
    job's entry, when the runner sent it). Returns the job's exit status."""
    import sys

    from tolva import job  # imported by the warm server already; the runner has no need of it

    forked_job_setup(log)
    code = job.run_job(plan_file, job_id, force, run_id, attempt, entry, on_worker)
    sys.stdout.flush()
    sys.stderr.flush()
    return code


def forked_job_setup(log):
    """In a job's process forked from a warm server: the server's SIGTERM handling
    undone, a session of its own, dying with the server, standard output and error into
    the log (made by the executor) at the descriptor level."""
    forked_process_setup()
    log_to(log)


def forked_process_setup():
    """In a process forked from a warm server to run jobs: the server's SIGTERM
    handling undone, a session of its own, dying with the server."""
    signals.signal(signals.SIGTERM, signals.SIG_DFL)
    os.setsid()
    try:
        death_signal_setter()()  # the server ends with what started it, and its jobs with it
    except (OSError, AttributeError):
        pass


def log_to(log):
    """Standard output and error into the job's log, at the descriptor level; nothing
    to read on standard input."""
    fd = layout.open_for_writing(log, os.O_WRONLY | os.O_APPEND)
    null = os.open(os.devnull, os.O_RDONLY)
    os.dup2(null, 0)
    os.dup2(fd, 1)
    os.dup2(fd, 2)
    os.close(fd)
    os.close(null)


def run_reused_job(request, done, reuse):
    """One job in a long-lived worker (--isolation worker) that has run `done` before,
    reused as reuse says: its output into its log, then the job function; returns
    (its exit status, why the worker must not run another, or None). The worker is
    recycled after a failure, after its share of jobs, past its memory limit, or when
    the job left a thread running or the working directory changed: what a job leaves
    in a module's state stays for the next."""
    import sys

    from tolva import job

    log_to(request["log"])
    code = 1
    try:
        code = job.run_job(request["plan_file"], request["job_id"], request["force"], request["run_id"],
                           request["attempt"], request.get("entry"), request.get("worker"))
    except BaseException:  # noqa: BLE001 - said in the job's log; the worker is replaced
        import traceback

        traceback.print_exc()
    sys.stdout.flush()
    sys.stderr.flush()
    # What the job started and left running ends with it, what it detached too: it
    # comes back to the worker, their subreaper. (Its group is the worker's: not to be
    # signalled.)
    if has_children():
        end_orphans(set())
    reason = _recycle_because(code, request, done + 1, reuse)
    if reason not in (None, FAILED, SHARE_DONE):
        # Said in the job's log: what the job did that the next job must not inherit.
        from tolva import _cli

        _cli.warn(f"job '{request['job_id']}' {reason}; the next job runs in a fresh worker")
        sys.stderr.flush()
    return code, reason


# Why a worker is replaced that its job's log need not say: the failure is there already,
# and a worker's share of jobs is the routine end of every worker.
FAILED, SHARE_DONE = "failed", "ended its worker's share of jobs"


def _recycle_because(code, request, done, reuse):
    """Why the worker must not run another job after this one, as said after "job 'ID'";
    None when it may."""
    import sys

    threading = sys.modules.get("threading")
    workdir = (request.get("entry") or {}).get("workdir")
    if code != 0:
        return FAILED
    if threading is not None and threading.active_count() > 1:
        return "left a thread running"
    if workdir is not None and os.getcwd() != workdir:
        return "changed the working directory"
    import resource

    # The most it ever held (in KB): one system call, where its resident size now is a file to read.
    if resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024 > reuse["memory"]:
        return "took its worker past --worker-memory"
    return SHARE_DONE if done >= reuse["jobs"] else None


def exec_job(argv, workdir, log):
    """In a process forked from a warm server, for a job that is its own command (a
    fresh interpreter): set up as a forked job, then that command in its place."""
    forked_job_setup(log)
    try:
        os.chdir(workdir)
        os.execv(argv[0], argv)
    except OSError as exc:
        os.write(2, f"cannot start the job's command {argv[0]}: {exc}\n".encode())
    os._exit(127)
