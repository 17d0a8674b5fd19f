"""Who holds what: the output folder's lock (one run at a time), each job's lock (one
copy of a job at a time), and process identity (host, PID and start time), which
tells a running process from a later one with the same PID. Kernel locks only
(flock): a holder that dies drops them.
"""

import os

from tolva import layout


# --- process identity ------------------------------------------------------------


def process_start(pid):
    """The start time of a process in clock ticks since boot (field 22 of its stat), to
    tell a process from a later one with the same PID; None when it is gone."""
    try:
        # Not through a file object, whose buffer and machinery cost a forked job some
        # fifteen page faults of its own.
        fields = layout.read_bytes(f"/proc/{pid}/stat").rsplit(b")", 1)[1].split()
    except (OSError, IndexError):
        return None
    return None if fields[0] == b"Z" else int(fields[19])


_OWN_START = {}  # by PID: a forked process asks again for its own


def running_here():
    """Where a job runs, as its record keeps it while it runs."""
    pid = os.getpid()
    if pid not in _OWN_START:  # a long-lived worker reads its stat once, not for every job
        _OWN_START[pid] = process_start(pid)
    # The host name as socket.gethostname() gives it, without importing socket into every job.
    return {"host": os.uname().nodename, "pid": pid, "process_start": _OWN_START[pid]}


def still_running(where):
    """Whether the process that running_here() described still runs (on this host)."""
    if not isinstance(where, dict) or where.get("host") != os.uname().nodename:
        return False
    pid = where.get("pid")
    return isinstance(pid, int) and pid > 0 and process_start(pid) == where.get("process_start")


# --- one copy of a job -----------------------------------------------------------


def hold_job_lock(out, job_id, waiting):
    """Takes the job's lock for this process's life, calling waiting() first when
    another copy holds it: no two copies of one job (a runner's and a rerun's, or a
    task Dask started twice) run in one folder."""
    import fcntl

    fd = layout.open_in_folder(layout.job_lock_path(out, job_id), os.O_WRONLY | os.O_CREAT)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        waiting()
        fcntl.flock(fd, fcntl.LOCK_EX)
    return fd


# --- one run per output folder ---------------------------------------------------


class Busy(Exception):
    """Another run holds the output folder; args[0] names its PID."""


def running_runner(out):
    """The PID of another process whose run of OUT is in progress, by its run.json."""
    try:
        record = layout.read_json(layout.run_record_path(out))
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
    """An exclusive lock on OUT for one run, held as flock on its lock file, which also
    names the holder's PID. The file is opened without following a link, and a lock
    whose file was deleted or replaced (rm -rf OUT/.tolva during a run) is noticed by
    verify(), which takes the new file or reports the run that took it."""

    def __init__(self, out):
        self.out = out
        self.path = layout.output_lock_path(out)
        self.fd = None

    def _take(self):
        import fcntl

        layout.ensure_folder(os.path.dirname(self.path))
        while True:
            fd = layout.open_for_writing(self.path, os.O_RDWR | os.O_CREAT)
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
        holder = running_runner(self.out)
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


def busy_message(busy, out):
    return f"another run (PID {busy}) is using the output folder {out}; wait for it to end or choose another --out"
