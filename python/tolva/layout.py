"""The output folder's layout: every path under OUT is named here and nowhere else,
and files there are opened here, never through a link (a link planted in OUT would
make a write land outside it, or a read vouch for a file elsewhere). Knows nothing
of plans, jobs' meaning or runs.

    OUT/<job id>/value.json, result.json    a job's folder: its value and its record
    OUT/<job id>/value.parquet, ...         a value of another format, by its suffix
    OUT/plan.json, run.json, report.html    the last plan, run record and page
    OUT/.tolva/jobs/<job id>.json, .lock    each job's own state, and its lock
    OUT/.tolva/logs/<job id>.log            each job's output
    OUT/.tolva/inputs/<job id>.json         the arguments each job received
    OUT/.tolva/runs/<start>-<run id>.json   every run's record, and its page (.html)
    OUT/.tolva/lock, last-run.json          the run holding the folder; the last run
    PLAN_DIR/.tolva/plans/<plan>/          the jobs' own files of a plan, in shards
"""

import errno
import os
import stat
import sys

from tolva import digests

STATE = ".tolva"
VALUE = "value"
RESULT = "result.json"


# --- OUT and a job's folder ------------------------------------------------------


def run_record_path(out):
    return os.path.join(out, "run.json")


def plan_path(out):
    """Where a run writes its plan, unless --plan names another file."""
    return os.path.join(out, "plan.json")


def page_path(out):
    return os.path.join(out, "report.html")


def job_dir(out, job_id):
    """A job's folder: its id's components under OUT (a copied or moved folder reads the
    same)."""
    return os.path.join(out, *job_id.split("/"))


def value_path(output_dir, suffix=".json"):
    """The value's file, by its format's suffix (value.json for the default)."""
    return os.path.join(output_dir, VALUE + suffix)


def result_path(output_dir):
    return os.path.join(output_dir, RESULT)


def is_leftover(name):
    """A temporary file of a job's folder, left by a worker that was killed."""
    return name.startswith((f".{VALUE}", f".{RESULT}.")) and name.endswith(".tmp")


def is_value(name):
    """A value of any format in a job's folder."""
    return name == VALUE or name.startswith(VALUE + ".")


# --- OUT/.tolva ------------------------------------------------------------------


def state_dir(out):
    return os.path.join(out, STATE)


def _job_file(out, folder, job_id, suffix):
    # A job id's "/" separates folders, as in its output folder.
    return os.path.join(out, STATE, folder, *job_id.split("/")) + suffix


def job_state_path(out, job_id):
    return _job_file(out, "jobs", job_id, ".json")


def job_lock_path(out, job_id):
    return _job_file(out, "jobs", job_id, ".lock")


def log_path(out, job_id):
    return _job_file(out, "logs", job_id, ".log")


def inputs_path(out, job_id):
    return _job_file(out, "inputs", job_id, ".json")


def output_lock_path(out):
    return os.path.join(out, STATE, "lock")


def last_run_path(out):
    """What the runner's next run guesses from: the modules of the last run and whether
    it ended with every job done."""
    return os.path.join(out, STATE, "last-run.json")


def history_dir(out):
    return os.path.join(out, STATE, "runs")


def history_path(out, started, run_id, suffix):
    """A run's own file in the history; names sort as the runs started, to the microsecond."""
    import time

    stamp = f"{time.strftime('%Y%m%dT%H%M%S', time.gmtime(started))}.{int(started * 1e6) % 1000000:06d}Z"
    return os.path.join(history_dir(out), f"{stamp}-{run_id}{suffix}")


def history_files(out, suffix=".json"):
    """The history's files of one kind, newest first."""
    _no_link_above(os.path.join(history_dir(out), "x"))
    try:
        names = os.listdir(history_dir(out))
    except OSError:
        return []
    return [os.path.join(history_dir(out), name) for name in sorted(names, reverse=True) if name.endswith(suffix)]


def job_files_dir(plan_file):
    """Beside a plan, the jobs' own entries in small files, so that a job's command
    reads only a few of them whatever the plan's size."""
    return os.path.join(os.path.dirname(plan_file), STATE, "plans", os.path.basename(plan_file))


def job_files_index_path(plan_file):
    return os.path.join(job_files_dir(plan_file), "index.json")


def job_file_path(plan_file, shard):
    return os.path.join(job_files_dir(plan_file), f"jobs-{shard}.json")


# --- opening files there ---------------------------------------------------------

_GUARDED = set()  # output folders below which no link is followed
_CLEAR = set()  # folders below them found not to be links, in this process


def guard(out):
    """From now on, a file under OUT is opened, and a folder made, only when no folder
    on its way down from OUT is a link: a link planted for a job's folder, .tolva or
    one of its folders would make writes land, and reads come from, elsewhere."""
    _GUARDED.add(os.path.abspath(out).rstrip(os.sep))


def _no_link_above(path):
    """OSError naming the first folder between a guarded OUT and the path that is a link."""
    path = os.path.abspath(path)
    for root in _GUARDED:
        if not path.startswith(root + os.sep):
            continue
        folder = root
        for part in path[len(root) + 1:].split(os.sep)[:-1]:
            folder = os.path.join(folder, part)
            if folder in _CLEAR:
                continue
            try:
                is_link = os.path.islink(folder)
            except OSError:
                return
            if is_link:
                raise OSError(f"{folder} is a symbolic link, which tolva never follows; remove it")
            if not os.path.isdir(folder):
                return  # made later, and checked then
            _CLEAR.add(folder)


def _through_link(path):
    try:
        _no_link_above(path)
    except OSError:
        return True
    return False


def check_state_folders(out):
    """OSError naming the first of OUT's own folders (.tolva and those in it) that is a
    link: a run refuses such an output folder before it writes anything there."""
    for folder in ("jobs", "logs", "inputs", "runs", "plans"):
        _no_link_above(os.path.join(out, STATE, folder, "x"))


def ensure_folder(path):
    """os.makedirs, never through a link below a guarded OUT."""
    _no_link_above(os.path.join(path, "x"))
    os.makedirs(path, exist_ok=True)
    _no_link_above(os.path.join(path, "x"))


def _refuse_link(path, exc):
    # O_NOFOLLOW fails with ELOOP at a link (EMLINK on some BSDs); a missing file is
    # the common failure, and costs no second look.
    if exc.errno in (errno.ELOOP, errno.EMLINK) and os.path.islink(path):
        raise OSError(f"{path} is a symbolic link, which tolva never follows; remove it") from None
    raise exc


def open_for_writing(path, flags, mode=0o644):
    """os.open that never follows a link at the path (nor, below a guarded OUT, on its
    way there); one line when it meets one."""
    _no_link_above(path)
    try:
        return os.open(path, flags | os.O_NOFOLLOW | os.O_CLOEXEC, mode)
    except OSError as exc:
        _refuse_link(path, exc)


def open_in_folder(path, flags, mode=0o644):
    """open_for_writing, making the file's folder first when it is missing: tried
    without, since it is there for all but the first file of its kind."""
    try:
        return open_for_writing(path, flags, mode)
    except FileNotFoundError:
        ensure_folder(os.path.dirname(path) or ".")
        return open_for_writing(path, flags, mode)


def _open_to_read(path):
    _no_link_above(path)
    try:
        return os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC)
    except OSError as exc:
        _refuse_link(path, exc)


def open_for_reading(path, binary=False):
    """A file object for reading that never follows a link at the path (nor, below a
    guarded OUT, on its way there)."""
    fd = _open_to_read(path)
    return open(fd, "rb") if binary else open(fd, encoding="utf-8")


def read_text(path):
    with open_for_reading(path) as f:
        return f.read()


def read_bytes(path):
    """A whole file's bytes, as open_for_reading reads it. A small one (a record, read
    several times per job) is read straight from its descriptor, where a file object
    first asks the system its size and position; a large one by a file object, which
    reads it into one buffer of its size."""
    fd = _open_to_read(path)
    try:
        data = os.read(fd, 1 << 16)
        if not data or not os.read(fd, 1):
            return data
        os.lseek(fd, 0, os.SEEK_SET)
        with open(fd, "rb", closefd=False) as f:
            return f.read()
    finally:
        os.close(fd)


def read_json(path):
    """The JSON value in a file; OSError or ValueError when it cannot be had."""
    import json

    return json.loads(read_bytes(path).decode("utf-8"))


def file_hash(path):
    """The content hash of a file under OUT, never through a link; None when it cannot
    be read."""
    return digests.file_hash(path, follow_links=False)


def write_atomically(path, text):
    """Writes beside the target, then renames over it: readers see old or new, whole.
    The temporary file is made anew (never a link or a leftover), and the rename
    replaces a link at the target rather than writing through it."""
    temp = os.path.join(os.path.dirname(path), f".{os.path.basename(path)}.{os.getpid()}.tmp")
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL
    try:
        fd = open_in_folder(temp, flags)
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


_LIBC = []


def libc():
    """The C library through ctypes, loaded once: a warm server loads it, and the jobs
    it forks call it without building a library handle of their own."""
    if not _LIBC:
        import ctypes

        _LIBC.append(ctypes.CDLL(None, use_errno=True))
    return _LIBC[0]


_RENAMEAT2 = []  # libc's renameat2, or None where there is none


def renameat2():
    """libc's renameat2, loaded once (a warm server loads it for all its jobs); None
    where there is none, or where ctypes is not loaded already: a job in a fresh
    interpreter would spend more on importing it (5 ms) than a rewrite saves."""
    if not _RENAMEAT2:
        if "ctypes" not in sys.modules:
            return None
        try:
            import ctypes

            call = libc().renameat2
            call.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_uint]
            _RENAMEAT2.append(call)
        except (OSError, AttributeError):
            _RENAMEAT2.append(None)
    return _RENAMEAT2[0]


def _exchange(spare, path):
    """Trades the two files' places in one step (RENAME_EXCHANGE); False where the
    system or its file system cannot, or the path is not there yet."""
    call = renameat2()
    at_cwd, exchange = -100, 2
    return call is not None and call(at_cwd, os.fsencode(spare), at_cwd, os.fsencode(path), exchange) == 0


def rewrite(path, text):
    """Writes a file that only the holder of a lock rewrites (a job's state or inputs,
    under the job's lock): the text goes into a spare beside it, which then trades
    places with it, so that the old text becomes the next write's spare. Readers see
    old or new, whole (a reader that opened the old text just before two rewrites may
    find it rewritten, and reads again), and once both files exist a rewrite makes and
    frees no inode: on a file system without a journal, ext4 passes over every inode
    freed in the last minute each time it makes a file, so one freed per job slows
    every later job's files. Elsewhere, or should the spare be anything but a file of
    its own, it is write_atomically."""
    spare = os.path.join(os.path.dirname(path), f".{os.path.basename(path)}.spare")
    if not _into_spare(spare, text):
        try:
            remove_file(spare)
        except OSError:
            pass  # a folder: left there, never written into
        return write_atomically(path, text)
    if not _exchange(spare, path):
        os.replace(spare, path)  # the first record (or no exchange here): the spare becomes it


def _into_spare(spare, text):
    """Writes the text into the spare, made when missing; False, writing nothing, when
    it cannot be opened or is a link (to another file, which would be written)."""
    try:
        fd = open_for_writing(spare, os.O_WRONLY | os.O_CREAT)
    except OSError:
        return False
    try:
        facts = os.fstat(fd)
        if not stat.S_ISREG(facts.st_mode) or facts.st_nlink != 1:
            return False
        # Written over in place, then cut to length: never cut to nothing first, since
        # ext4 writes a file cut to nothing out to disk when it is closed.
        data = memoryview(text.encode("utf-8"))
        done = 0
        while done < len(data):
            done += os.pwrite(fd, data[done:], done)
        if facts.st_size > done:
            os.ftruncate(fd, done)
        return True
    finally:
        os.close(fd)


def temporary(path):
    """Where a file (or folder) is made before it replaces `path`: beside it, hidden,
    named for this process."""
    return os.path.join(os.path.dirname(path), f".{os.path.basename(path)}.{os.getpid()}.tmp")


def open_new(path):
    """A new file for writing bytes, never a link or a leftover at the path."""
    remove_tree(path)
    return open(open_for_writing(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL), "wb")


def replace(temp, path):
    """Moves a finished file or folder over `path`; a folder there goes first, since
    a rename cannot replace a folder that holds anything."""
    if os.path.isdir(path) and not os.path.islink(path):
        remove_tree(path)
    _no_link_above(path)
    os.replace(temp, path)


def remove_tree(path):
    """Removes a file, a link or a folder with what it holds; nothing there is fine, and
    neither is a path through a link below a guarded OUT, where nothing is tolva's."""
    if _through_link(path):
        return
    if os.path.isdir(path) and not os.path.islink(path):
        import shutil

        shutil.rmtree(path, ignore_errors=True)
    else:
        try:
            os.remove(path)
        except FileNotFoundError:
            pass


def remove_file(path):
    """Removes a file; nothing there, or a path through a link, is left as it is."""
    if _through_link(path):
        return
    try:
        os.remove(path)
    except FileNotFoundError:
        pass


def tail(path, most=64 * 1024):
    """The end of a text file, read from its end (at most the last `most` bytes, whatever
    the file's size, from the first whole line); "" when it cannot be read."""
    try:
        with open_for_reading(path, binary=True) as f:
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
