"""The run's bookkeeping: each job's own state file, the run record, the summary.

A job records its own outcome in ``OUT/.tolva/jobs/<id>.json``; the runner and
``--report`` assemble ``run.json`` from those files. Imported by job processes, so it
stays light (no planning, no subprocesses). Unreadable state reads as unknown.
"""

import json
import os
import sys
from collections import namedtuple

RUN_RECORD_VERSION = 3
STATE_VERSION = 3
# The one vocabulary of a job's status, in run.json, the progress line and the summary.
STATUSES = ("succeeded", "up-to-date", "failed", "skipped", "cancelled")
DONE = ("succeeded", "up-to-date")  # its value holds
FINISHED = DONE + ("failed",)  # it ran or was found up to date: "done" to people
NOT_RUN = ("skipped", "cancelled", "not-started")


# How a job ended: its exit status, its own state record, where it ran, and, when the
# executor lost what runs its jobs (a cluster's scheduler), what it lost.
Finished = namedtuple("Finished", ["returncode", "state", "where", "lost"], defaults=[None, None])


def exit_status(statuses):
    """0 when every job is done (succeeded or up to date), 1 otherwise."""
    return 0 if all(status in DONE for status in statuses) else 1


def open_for_writing(path, flags, mode=0o644):
    """os.open that never follows a link at the path: a link planted there (in OUT, or
    where a job's log goes) would make a write land outside. One line when it is one."""
    try:
        return os.open(path, flags | os.O_NOFOLLOW | os.O_CLOEXEC, mode)
    except OSError as exc:
        if os.path.islink(path):
            raise OSError(f"{path} is a symbolic link, which tolva never follows; remove it") from None
        raise


def write_atomically(path, text):
    """Writes beside the target, then renames over it: readers see old or new, whole.
    The temporary file is made anew (never a link or a leftover), and the rename
    replaces a link at the target rather than writing through it."""
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    temp = os.path.join(os.path.dirname(path), f".{os.path.basename(path)}.{os.getpid()}.tmp")
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL
    try:
        fd = open_for_writing(temp, flags)
    except FileExistsError:
        os.remove(temp)  # left by a process of the same PID that was killed
        fd = open_for_writing(temp, flags)
    try:
        with open(fd, "w", encoding="utf-8") as f:
            f.write(text)
        os.replace(temp, path)
    except BaseException:
        try:
            os.remove(temp)
        except OSError:
            pass
        raise


def remove_file(path):
    try:
        os.remove(path)
    except FileNotFoundError:
        pass


def tail(path, most=64 * 1024):
    """The end of a text file, read from its end (at most the last `most` bytes, whatever
    the file's size, from the first whole line); "" when it cannot be read."""
    try:
        with open(path, "rb") as f:
            size = f.seek(0, os.SEEK_END)
            f.seek(max(0, size - most))
            data = f.read(most)
    except OSError:
        return ""
    if size > most and b"\n" in data:
        data = data[data.index(b"\n") + 1:]
    return data.decode("utf-8", "replace")


def last_line(path, most=64 * 1024):
    """The last non-blank line of a text file (from at most its last 64 KB); "" when
    there is none."""
    lines = [line.strip() for line in tail(path, most).splitlines() if line.strip()]
    return lines[-1] if lines else ""


def timestamp(seconds):
    import time

    return time.strftime("%Y-%m-%dT%H:%M:%S+00:00", time.gmtime(seconds))


# --- paths under OUT/.tolva --------------------------------------------------------


def run_record_path(out):
    return os.path.join(out, "run.json")


def plan_path(out):
    """Where a run writes its plan, unless --plan names another file."""
    return os.path.join(out, "plan.json")


def state_dir(out):
    return os.path.join(out, ".tolva")


def _job_file(out, folder, job_id, suffix):
    # A job id's "/" separates folders, as in its output folder.
    return os.path.join(state_dir(out), folder, *job_id.split("/")) + suffix


def job_state_path(out, job_id):
    return _job_file(out, "jobs", job_id, ".json")


def job_lock_path(out, job_id):
    """Held by the process running the job, for the whole attempt: no two copies of one
    job (a runner's and a rerun's, or a task Dask started twice) run in one folder."""
    return _job_file(out, "jobs", job_id, ".lock")


def hold_job_lock(out, job_id, waiting):
    """Takes the job's lock, calling waiting() first when another copy holds it; the lock
    is released when this process ends."""
    import fcntl

    path = job_lock_path(out, job_id)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    fd = open_for_writing(path, os.O_WRONLY | os.O_CREAT)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        waiting()
        fcntl.flock(fd, fcntl.LOCK_EX)
    return fd


def last_run_path(out):
    """What the runner's next run guesses from: the modules of the last run and whether
    it ended with every job done."""
    return os.path.join(state_dir(out), "last-run.json")


def log_path(out, job_id):
    return _job_file(out, "logs", job_id, ".log")


def inputs_path(out, job_id):
    return _job_file(out, "inputs", job_id, ".json")


# --- one job's state ---------------------------------------------------------------


def write_job_state(out, job_id, status, started, finished=None, error_type=None, error=None, frame=None,
                    ident=None, **done):
    """ident: the plan id, run id and attempt the record belongs to; done: what a
    success was computed from, which later runs compare."""
    ident = ident or {}
    state = {"version": STATE_VERSION, "id": job_id, "plan_id": ident.get("plan_id"), "run_id": ident.get("run_id"),
             "attempt": ident.get("attempt"), "status": status, "started": started, "finished": finished,
             "error_type": error_type, "error": error, "frame": frame, **done}
    write_atomically(job_state_path(out, job_id), json.dumps(state, ensure_ascii=False) + "\n")


def read_job_state(out, job_id, expect=None):
    """The job's recorded state, or None when it is missing, unreadable, of another
    version, or not of the plan, run and attempt that expect names (a record belongs
    to what is running by identity, never by time)."""
    try:
        with open(job_state_path(out, job_id), encoding="utf-8") as f:
            state = json.load(f)
    except (OSError, ValueError):
        return None
    if not isinstance(state, dict) or state.get("version") != STATE_VERSION or state.get("id") != job_id:
        return None
    if not isinstance(state.get("started"), (int, float)):
        return None
    if expect and any(state.get(key) != value for key, value in expect.items()):
        return None
    return state


def read_job_state_or_why(out, job_id, output_dir):
    """(state, None), or (None, why the job has no usable record)."""
    state = read_job_state(out, job_id)
    if state is not None:
        return state, None
    if os.path.lexists(job_state_path(out, job_id)) or os.path.lexists(os.path.join(output_dir, "value.json")):
        return None, "record missing or unreadable"
    return None, "never run"


def process_start(pid):
    """The start time of a process in clock ticks since boot (field 22 of its stat), to
    tell a process from a later one with the same PID; None when it is gone."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            fields = f.read().rsplit(b")", 1)[1].split()
    except (OSError, IndexError):
        return None
    return None if fields[0] == b"Z" else int(fields[19])


def running_here():
    """Where a job runs, as its record keeps it while it runs."""
    # The host name as socket.gethostname() gives it, without importing socket into every job.
    return {"host": os.uname().nodename, "pid": os.getpid(), "process_start": process_start(os.getpid())}


def still_running(state):
    """Whether the process a running record names still runs (on this host)."""
    where = state.get("where")
    if not isinstance(where, dict) or where.get("host") != os.uname().nodename:
        return False
    pid = where.get("pid")
    return isinstance(pid, int) and pid > 0 and process_start(pid) == where.get("process_start")


def outcome_of(state):
    """What a state says of a job: a job whose record says running while its process
    is gone was ended from outside (killed, out of memory)."""
    if state is None:
        return None
    if state.get("status") == "running" and not still_running(state):
        return dict(state, status="failed", error_type="NoResult",
                    error="the job ended without recording its outcome")
    return state


# --- the run record ----------------------------------------------------------------


def job_entry(job, status, duration, error_type, error, attempts, worker, reason=None):
    return {
        "id": job["id"],
        "asset": job["asset"],
        "partition": job["partition"],
        "status": status,
        "reason": None if status == "up-to-date" else reason,
        "duration": None if duration is None else round(duration, 6),
        "directory": job["output_dir"],
        "error_type": error_type if status == "failed" else None,
        "error": error if status == "failed" else None,
        "attempts": attempts,
        "worker": worker,
    }


def history_dir(out):
    return os.path.join(state_dir(out), "runs")


def write_run_record(path, plan_file, started, finished, interrupted, entries, executor, run_id, selection=None):
    """Writes OUT/run.json, the latest run's record, and the run's own entry in the
    history, OUT/.tolva/runs/<start time>-<run id>.json. finished None: the run is in
    progress, in the process that writes this; a record left in progress by a process
    that no longer runs is an interrupted run. Returns the record."""
    record = {
        "version": RUN_RECORD_VERSION,
        "run_id": run_id,
        "pid": os.getpid(),
        "in_progress": finished is None,
        "started": timestamp(started),
        "finished": None if finished is None else timestamp(finished),
        "interrupted": interrupted,
        "plan": plan_file,
        "executor": executor,
        "selection": selection,
        "jobs": entries,
    }
    text = json.dumps(record, indent=2, ensure_ascii=False) + "\n"
    write_atomically(path, text)
    write_atomically(history_path(os.path.dirname(path), started, run_id, ".json"), text)
    return record


def history_path(out, started, run_id, suffix):
    """A run's own file in the history; names sort as the runs started, to the microsecond."""
    import time

    stamp = f"{time.strftime('%Y%m%dT%H%M%S', time.gmtime(started))}.{int(started * 1e6) % 1000000:06d}Z"
    return os.path.join(history_dir(out), f"{stamp}-{run_id}{suffix}")


# --- what people see ---------------------------------------------------------------


class Style:
    """Colour on a terminal only, and never when NO_COLOR is set."""

    def __init__(self, stream):
        self.on = stream.isatty() and not os.environ.get("NO_COLOR")

    def _paint(self, code, text):
        return f"\033[{code}m{text}\033[0m" if self.on else text

    def failed(self, text):
        return self._paint("31", text)

    def succeeded(self, text):
        return self._paint("32", text)

    def dim(self, text):
        return self._paint("2", text)

    def status(self, status, text):
        if status == "failed":
            return self.failed(text)
        if status in DONE:
            return self.succeeded(text)
        return self.dim(text)


def print_summary(assets, entries, details, elapsed, interrupted, record_path, stream=None):
    """One row per asset, the first failure of each failed asset with its last user
    frame and log, then a footer of at most 80 columns."""
    stream = stream or sys.stdout
    style = Style(stream)
    by_asset = {}
    for entry in entries:
        by_asset.setdefault(entry["asset"], []).append(entry)
    labels = [label for label in assets if label in by_asset]
    width = max([len("asset")] + [len(label) for label in labels])
    print(f"\n{'asset':<{width}}  succeeded  up-to-date  failed  skipped  cancelled  total job time", file=stream)
    for label in labels:
        statuses = [e["status"] for e in by_asset[label]]
        seconds = sum(e["duration"] or 0.0 for e in by_asset[label])
        counts = [statuses.count(s) for s in STATUSES]
        row = (f"{label:<{width}}  {counts[0]:>9}  {counts[1]:>10}  {counts[2]:>6}  {counts[3]:>7}  {counts[4]:>9}  "
               f"{seconds:13.2f}s")
        print(style.failed(row) if counts[2] else row, file=stream)
    for label in labels:
        failed = [e for e in by_asset[label] if e["status"] == "failed"]
        if failed:
            first = failed[0]
            detail = details.get(first["id"], {})
            print(style.failed(f"\n{label}: {first['error'] or first['error_type']}"), file=stream)
            if detail.get("frame"):
                print(f"  at {detail['frame']}", file=stream)
            log = f"; log: {detail['log']}" if detail.get("log") else ""
            print(f"  first failed job: {first['id']}{log}", file=stream)
    counts = {s: sum(1 for e in entries if e["status"] == s) for s in STATUSES}
    done = sum(1 for e in entries if e["status"] in FINISHED)
    running = sum(1 for e in entries if e["status"] == "running")
    not_run = sum(1 for e in entries if e["status"] in NOT_RUN)
    state = ("interrupted" if interrupted else "in progress" if running else
             "failed" if counts["failed"] or not_run else "succeeded")
    footer = (f"{state}: {done} of {len(entries)} jobs done ({counts['up-to-date']} up to date), "
              f"{counts['failed']} failed, {f'{running} running, ' if running else ''}{not_run} not run, "
              f"{elapsed:.1f}s")
    print("\n" + style.status("succeeded" if state == "succeeded" else "failed", footer), file=stream)
    print(f"run record: {record_path}", file=stream)


# --- one run per output folder -----------------------------------------------------


class Busy(Exception):
    """Another run holds the output folder."""


def running_runner(out):
    """The PID of another process whose run of OUT is in progress, by its run.json."""
    try:
        with open(run_record_path(out), encoding="utf-8") as f:
            record = json.load(f)
        pid = record["pid"] if record.get("in_progress") is True else None
    except (OSError, ValueError, KeyError, TypeError, AttributeError):
        return None
    if not isinstance(pid, int) or pid == os.getpid() or pid <= 0:
        return None
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return None  # left in progress by a runner that died: an interrupted run
    except PermissionError:
        pass
    return str(pid)


class OutputLock:
    """An exclusive lock on OUT for one run, held as flock on OUT/.tolva/lock, which
    also names the holder's PID. The kernel drops it when the holder dies. The file is
    opened without following a link, and a lock whose file was deleted or replaced
    (rm -rf OUT/.tolva during a run) is noticed by verify(), which takes the new file
    or reports the run that took it."""

    def __init__(self, out):
        self.path = os.path.join(state_dir(out), "lock")
        self.fd = None

    def _take(self):
        import fcntl

        os.makedirs(os.path.dirname(self.path), exist_ok=True)
        while True:
            try:
                fd = open_for_writing(self.path, os.O_RDWR | os.O_CREAT)
            except OSError:
                raise
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                holder = os.read(fd, 32).decode("ascii", "replace").strip() or "unknown"
                os.close(fd)
                raise Busy(holder) from None
            if self._same_file(fd):
                break
            os.close(fd)  # deleted or replaced between open and lock: take the file now there
        os.ftruncate(fd, 0)
        os.write(fd, f"{os.getpid()}\n".encode())
        return fd

    def _same_file(self, fd):
        try:
            here = os.stat(self.path, follow_symlinks=False)
        except FileNotFoundError:
            return False
        held = os.fstat(fd)
        return (here.st_dev, here.st_ino) == (held.st_dev, held.st_ino)

    def __enter__(self):
        self.fd = self._take()
        holder = running_runner(os.path.dirname(os.path.dirname(self.path)))
        if holder is not None:
            # Its lock file was deleted under it: the record it keeps in progress says so.
            os.close(self.fd)
            raise Busy(holder)
        return self

    def verify(self):
        """Raises Busy when another run holds the folder's lock file now."""
        if self._same_file(self.fd):
            return
        fd = self._take()
        os.close(self.fd)
        self.fd = fd

    def __exit__(self, *exc_info):
        os.close(self.fd)
        return False
