"""A warm process that forks jobs on request, for the local executor and on a Dask
worker: it imports the plan's modules once (tolva.executors.warm), then serves requests
on an abstract Unix socket (nothing on disk to clean up), from processes of its own
user only: it forks the job, answers its pid, and then its exit status. A request comes
alone on a connection of its own, or as one line of a session: a connection that stays
open for a run's jobs, each line tagged with the client's number for its job, the
answers tagged alike; the server checks the session once and hands each line to the
process that runs the job, which parses it. With --isolation worker, each session is
served by a long-lived worker of its own, forked from here, which reads its requests
and answers them itself: the server only replaces it when it ends. Every job still
runs job.run_job, as from any other executor. A fork from here costs under a
millisecond; multiprocessing's forkserver spends several more on each process it
starts (its handshake, its preparation, its exit).

    python -m tolva.executors.fork_server NAME

Single-threaded, so forking is safe. It ends when its parent (the runner or worker)
ends, when told to (SIGTERM), or after IDLE_SECONDS with no job running, no session
open and no request.

Server, Session and ForkedJob below are the client's side, for the executors.
"""

import json
import os
import selectors
import signal
import socket
import sys
import time

from tolva.executors import processes
from tolva.executors.processes import exec_job, run_forked_job

IDLE_SECONDS = 120.0


def _leave_server(selector):
    """In a child of the server: its sockets and its other jobs' handles closed."""
    for key in list(selector.get_map().values()):
        if isinstance(key.fileobj, int):
            os.close(key.fileobj)  # a running job's or worker's pidfd
            # and the connection its status goes to
            (key.data.conn if isinstance(key.data, _Bound) else key.data[1].conn).close()
        else:
            key.fileobj.close()  # the listener, a session, or a connection still sending its request
    selector.close()


class _Reply:
    """Where a job's PID and then its exit status are said: a connection of its own,
    closed after the status, or a session's, each line tagged with the job's number."""

    def __init__(self, conn, tag=None):
        self.conn, self.prefix = conn, b"" if tag is None else tag + b" "

    def say(self, value):
        try:
            self.conn.sendall(self.prefix + f"{value}\n".encode())
        except OSError:
            pass  # the client went away; the job's record still tells

    def ended(self, code):
        self.say(code)
        if not self.prefix:
            self.conn.close()


def _run_job(request, selector):
    """In the forked child: the server's sockets and its other jobs' handles closed,
    then the job (a session's line is parsed here, not in the server)."""
    _leave_server(selector)
    if isinstance(request, bytes):
        request = shaped(_parsed(request))
        if request is None:
            os._exit(2)
    if "argv" in request:
        exec_job(request["argv"], request["workdir"], request["log"])
    code = 1
    try:
        code = run_forked_job(request["log"], request["plan_file"], request["job_id"], request["force"],
                              request["run_id"], request["attempt"], request.get("entry"), request.get("worker"))
    except BaseException:  # noqa: BLE001 - said in the job's log, then the job ends
        import traceback

        traceback.print_exc()
        sys.stderr.flush()
    finally:
        os._exit(code)


class _Bound:
    """A long-lived worker bound to one session (--isolation worker): it reads the
    session's requests and answers them itself, one job at a time; the server only
    hears when it ends, says so on the session, and forks its successor there."""

    def __init__(self, pid, conn, reuse):
        self.pid, self.conn, self.reuse = pid, conn, reuse


class _Vacant:
    """A session whose bound worker has ended, until it asks for its next job."""

    def __init__(self, reuse):
        self.reuse = reuse


# How a bound worker ends when a job left it unfit for the next (it said so with the
# job's status), and when its session has gone.
RECYCLED, CLIENT_GONE = 75, 0


def _bind_worker(conn, reuse, selector):
    """A worker forked for the session, as a job would be."""
    pid = os.fork()
    if pid == 0:
        _leave_server(selector)  # the session itself is not the server's to close here
        _serve_session(conn, reuse)
    selector.register(os.pidfd_open(pid), selectors.EVENT_READ, _Bound(pid, conn, reuse))


def _serve_session(conn, reuse):
    """In a bound worker: set up once as a forked job is, and the jobs' orphans its
    own to end; then each request's job in turn, answered "TAG PID" when it starts and
    "TAG STATUS ENDING" when it ends (ENDING 1: the worker ends after it, a successor
    takes over; a request that is not one ends with status 2). A request is taken off
    the session only once its PID is said: one the worker never said it started stays
    there for its successor."""
    code = 1
    try:
        processes.forked_process_setup()
        processes.become_subreaper()  # what a job detaches comes back here, and ends with the job
        done = 0
        while True:
            line = _next_line(conn)
            if line is None:
                os._exit(CLIENT_GONE)
            tag, _, text = line.partition(b" ")
            if not tag.isdigit():
                conn.shutdown(socket.SHUT_RDWR)  # not a session of the run's: closed, for the server too
                os._exit(CLIENT_GONE)
            conn.sendall(tag + f" {os.getpid()}\n".encode())
            _take(conn, len(line) + 1)
            request = shaped(_parsed(text))
            code, recycle = processes.run_reused_job(request, done, reuse) if request is not None else (2, None)
            done += 1
            conn.sendall(tag + f" {code} {1 if recycle else 0}\n".encode())
            if recycle:
                os._exit(RECYCLED)
    except BaseException:  # noqa: BLE001 - the server says the worker ended, with its status
        pass
    finally:
        os._exit(code)


def _next_line(conn):
    """The session's next line, left on it; None when the client has gone."""
    size = 1 << 16
    while True:
        data = conn.recv(size, socket.MSG_PEEK)
        if not data:
            return None
        end = data.find(b"\n")
        if end >= 0:
            return data[:end]
        if len(data) == size:
            size *= 2
        else:
            time.sleep(0.001)  # the rest of the line is on its way


def _take(conn, count):
    while count > 0:
        count -= len(conn.recv(count))


def _bound_ended(key, selector):
    """A bound worker ended (after the job that left it unfit, killed with its job, or
    its session gone): what it left running ends; the session hears "! TAG" for each
    request the worker never took (its client asks again) and "- STATUS" (the status
    of the job it was running, if it had not said it); a successor takes over when the
    session asks for its next job."""
    bound = key.data
    selector.unregister(key.fileobj)
    os.close(key.fileobj)
    _, status = os.waitpid(bound.pid, 0)
    processes.signal_group(bound.pid, signal.SIGKILL, leader_too=False)  # its group, now it has gone
    _end_leftovers(selector)
    untaken = _untaken(bound.conn)
    try:
        bound.conn.sendall(b"".join(b"! " + line.partition(b" ")[0] + b"\n" for line in untaken) +
                           f"- {os.waitstatus_to_exitcode(status)}\n".encode())
    except OSError:
        pass
    # Its successor is forked when the session asks for a job: a run that has ended
    # (its session closed) gets none.
    selector.register(bound.conn, selectors.EVENT_READ, _Vacant(bound.reuse))


def _fill(key, selector):
    """A session without a worker asks for a job (a successor is forked), or has ended."""
    selector.unregister(key.fileobj)
    if _still_open(key.fileobj):
        _bind_worker(key.fileobj, key.data.reuse, selector)
    else:
        key.fileobj.close()


def _untaken(conn):
    """The whole lines waiting on the session, read off it."""
    data = b""
    while True:
        try:
            found = conn.recv(1 << 16, socket.MSG_DONTWAIT | socket.MSG_PEEK)
        except OSError:
            break
        end = found.rfind(b"\n")
        if end < 0:
            break
        _take(conn, end + 1)
        data += found[:end + 1]
    return [line for line in data.split(b"\n") if line]


def _still_open(conn):
    """Whether the client has kept its end of the connection (what it sent waits unread)."""
    try:
        return conn.recv(1, socket.MSG_PEEK | socket.MSG_DONTWAIT) != b""
    except BlockingIOError:
        return True
    except OSError:
        return False


def _end_leftovers(selector):
    """What jobs detached from their groups ends, sparing the jobs and workers."""
    keep = set()
    for key in selector.get_map().values():
        if isinstance(key.data, tuple):
            keep.add(key.data[0])
        elif isinstance(key.data, _Bound):
            keep.add(key.data.pid)
    processes.end_orphans(keep)


def _same_user(conn):
    import struct

    credentials = conn.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, struct.calcsize("3i"))
    return struct.unpack("3i", credentials)[1] == os.getuid()


def _listen(name):
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind("\0" + name)
    listener.listen(64)
    return listener


REQUEST_SECONDS = 5.0  # a connection has this long to send its whole request (a session, its first line)
REQUEST_BYTES = 256 << 20
# What a request of the run holds, and of what type, for a job forked here, and for a
# job that is its own command; anything else forks nothing.
_REQUEST = {"plan_file": str, "job_id": str, "force": bool, "run_id": str, "attempt": int, "log": str}
_COMMAND = {"argv": list, "workdir": str, "log": str, "job_id": str}


class _Arriving:
    """A connection whose request is still arriving, and by when it must have."""

    def __init__(self):
        self.data = bytearray()
        self.deadline = time.monotonic() + REQUEST_SECONDS


class _Session:
    """A connection of the run's that asks for its jobs one line each ("TAG REQUEST"),
    as long as it stays open; reuse: how its long-lived worker is reused, when one
    serves it (--isolation worker): the worker then reads the lines itself."""

    def __init__(self, reuse):
        self.reuse, self.buffer = reuse, b""


def _parsed(line):
    try:
        return json.loads(line)
    except ValueError:
        return None


def shaped(request):
    """The request, when it has the shape of a job's (or of a job's own command);
    None otherwise."""
    if not isinstance(request, dict):
        return None
    if "argv" in request:
        shape = all(type(request.get(key)) is kind for key, kind in _COMMAND.items()) and request["argv"] and \
            all(isinstance(arg, str) for arg in request["argv"])
        return request if shape else None
    if not all(type(request.get(key)) is kind for key, kind in _REQUEST.items()):
        return None
    if not isinstance(request.get("entry", {}), dict) or not isinstance(request.get("worker", ""), str):
        return None
    return request


def _reuse_of(request):
    """A session's reuse of workers: None for forked jobs; False when malformed."""
    reuse = request.get("reuse")
    if reuse is None:
        return None
    if not isinstance(reuse, dict) or set(reuse) != {"jobs", "memory"} or not all(
            type(value) is int and value > 0 for value in reuse.values()):
        return False
    return reuse


def request_of(line, secret):
    """What a connection's first line asks, when it is of this server's run (it
    carries the run's secret): a job's request, or a _Session; None otherwise."""
    request = _parsed(line)
    if not secret or not isinstance(request, dict) or request.get("secret") != secret:
        return None
    if "session" in request:
        reuse = _reuse_of(request)
        return _Session(reuse) if request["session"] is True and reuse is not False else None
    return shaped(request)


def serve(listener, secret):
    """Forks a job for each request, answers its pid and then its exit status; returns
    after IDLE_SECONDS with no job running and no request. Requests are read as they
    arrive, one connection never holding up another: one that is not a well-formed
    request of this run by REQUEST_SECONDS is closed, and forks nothing."""
    selector = selectors.DefaultSelector()
    selector.register(listener, selectors.EVENT_READ, "accept")
    while True:
        arriving = [key for key in selector.get_map().values() if isinstance(key.data, _Arriving)]
        soonest = min((key.data.deadline for key in arriving), default=None)
        timeout = IDLE_SECONDS if soonest is None else max(0.0, soonest - time.monotonic())
        events = selector.select(timeout=timeout)
        if not events and len(selector.get_map()) == 1:
            return  # idle: the run is over, or its runner gone
        for key in arriving:
            if time.monotonic() > key.data.deadline and key.fileobj.fileno() >= 0:
                selector.unregister(key.fileobj)
                key.fileobj.close()  # too slow to be a request of this run
        for key, _ in events:
            if not isinstance(key.fileobj, int) and key.fileobj.fileno() < 0:
                continue  # closed above, its time up
            if key.data == "accept":
                _accept(listener, selector)
            elif isinstance(key.data, _Arriving):
                request = _read_request(key, selector, secret)
                if isinstance(request, _Session) and request.reuse is not None:
                    _bind_worker(key.fileobj, request.reuse, selector)
                elif isinstance(request, _Session):
                    selector.register(key.fileobj, selectors.EVENT_READ, request)
                elif request is not None:
                    _fork_job(request, _Reply(key.fileobj), selector)
            elif isinstance(key.data, _Session):
                _read_session(key.fileobj, key.data, selector)
            elif isinstance(key.data, _Bound):
                _bound_ended(key, selector)
            elif isinstance(key.data, _Vacant):
                _fill(key, selector)
            else:
                pid, reply = key.data
                selector.unregister(key.fileobj)
                os.close(key.fileobj)
                _, status = os.waitpid(pid, 0)
                # What the job left running ends with it: its group, and what it detached.
                processes.signal_group(pid, signal.SIGKILL, leader_too=False)
                _end_leftovers(selector)
                reply.ended(os.waitstatus_to_exitcode(status))


def _accept(listener, selector):
    try:
        conn, _ = listener.accept()
    except OSError:
        return
    if not _same_user(conn):
        conn.close()
        return
    conn.setblocking(False)
    selector.register(conn, selectors.EVENT_READ, _Arriving())


def _read_request(key, selector, secret):
    """The request, once its line has arrived whole; None while it arrives, and when
    it is not one (the connection is then closed). Only the first line is read: what
    a session sent after it stays there for what serves the session."""
    conn, arriving = key.fileobj, key.data
    try:
        data = conn.recv(1 << 16, socket.MSG_PEEK)
        end = data.find(b"\n")
        data = conn.recv(len(data) if end < 0 else end + 1)
    except BlockingIOError:
        return None
    except OSError:
        data = b""
    arriving.data += data
    if data and not data.endswith(b"\n") and len(arriving.data) < REQUEST_BYTES:
        return None
    selector.unregister(conn)
    request = request_of(bytes(arriving.data[:-1]), secret) if data.endswith(b"\n") else None
    if request is None:
        conn.close()
        return None
    conn.setblocking(True)
    return request


def _read_session(conn, session, selector):
    """A session's lines that have arrived whole: each a job, forked. A session that
    ends, or sends what is not a tagged line, is closed; its jobs run on, and their
    records tell."""
    try:
        data = conn.recv(1 << 16)
    except OSError:
        data = b""
    *lines, session.buffer = (session.buffer + data).split(b"\n")
    for line in lines:
        tag, _, request = line.partition(b" ")
        if not tag.isdigit():
            data = b""
            break
        _fork_job(request, _Reply(conn, tag), selector)
    if data == b"" or len(session.buffer) > REQUEST_BYTES:
        selector.unregister(conn)
        conn.close()


def _fork_job(request, reply, selector):
    pid = os.fork()
    if pid == 0:
        reply.conn.close()
        _run_job(request, selector)
    reply.say(pid)
    selector.register(os.pidfd_open(pid), selectors.EVENT_READ, (pid, reply))


def main(name):
    """A server in a fresh interpreter: it comes up, says "ready" on its standard output
    (with why modules failed to import, if any did), and serves."""
    path = os.environ.pop("TOLVA_WARM_PATH", None)
    if path:
        sys.path[:] = json.loads(path)  # the runner's, so that modules resolve as in the runner
    from tolva.executors import warm

    # What the modules print as they import goes nowhere: the parent reads one line here.
    answer = os.fdopen(os.dup(1), "w")
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    os.close(null)
    modules = filter(None, os.environ.pop("TOLVA_WARM_MODULES", "").split(","))
    secret = os.environ.pop("TOLVA_WARM_SECRET", "")
    failures = warm.prepare(modules, int(os.environ.pop("TOLVA_WARM_PARENT", os.getppid())),
                            bare=os.environ.pop("TOLVA_WARM_BARE", "") == "1")
    listener = _listen(name)
    answer.write(f"ready {json.dumps(failures)}\n")
    answer.close()
    serve(listener, secret)


def _new_name():
    return f"tolva-{os.getpid()}-{os.urandom(8).hex()}"


class Server:
    """A warm server for a run: start(request) forks a job there; end() ends it.
    spawn() starts one in a fresh interpreter; fork_here() makes one of this very
    process, which has imported the pipeline's modules already."""

    def __init__(self, name, pid, secret):
        self.name, self.pid = name, pid
        self.secret = secret  # what the run's requests carry: the server forks nothing else
        self.failures = []  # why modules failed to import there, once it is ready

    @classmethod
    def spawn(cls, command, workdir, modules, env=None, preexec_fn=None, path=None, bare=False):
        """command: the interpreter, with what runs it (a memory limit, say); bare: a
        server that only starts jobs' own commands, and imports nothing for them."""
        if bare:
            env = dict(os.environ if env is None else env, TOLVA_WARM_BARE="1")
        return _Spawned(command, workdir, modules, env, preexec_fn, path)

    @classmethod
    def fork_here(cls, modules):
        """A server forked from this process, or None when it runs Python threads (a
        module started one as it was imported: its locks and state would be copied
        midway; spawn() then). Threads of native libraries (a BLAS pool, say) handle
        forks themselves, as in any server that imports such a library. The listener is
        made before the fork, so a job can be requested at once: it waits in the
        listener's queue while the server warms up."""
        threading = sys.modules.get("threading")
        if threading is not None and threading.active_count() > 1:
            return None
        name, secret = _new_name(), os.urandom(16).hex()
        listener = _listen(name)
        sys.stdout.flush()
        sys.stderr.flush()
        parent = os.getpid()
        import warnings

        with warnings.catch_warnings(action="ignore", category=DeprecationWarning):
            pid = os.fork()  # the warning about native threads, which would fail the run under -W error
        if pid == 0:
            try:
                _become_server(listener, modules, parent, secret)
            finally:
                os._exit(0)
        listener.close()
        return _Forked(name, pid, secret)

    def ready(self):
        raise NotImplementedError

    def start(self, request):
        """The job the server forked for the request; None when the server is gone."""
        return ForkedJob.start("\0" + self.name, dict(request, secret=self.secret)) if self.ready() else None

    def session(self, reuse=None):
        """A Session for a run's jobs (reuse: how long-lived workers run them, if they
        do); None when the server is gone."""
        return Session.open("\0" + self.name, {"secret": self.secret, "session": True, "reuse": reuse}) \
            if self.ready() else None

    def end(self, kill=False):
        raise NotImplementedError


def _become_server(listener, modules, parent, secret):
    """In the child of Server.fork_here: a session of its own (the terminal's Ctrl-C
    reaches the runner only), nothing of the runner's files (its standard streams, the
    output folder's lock: a job's leftover process must never hold it) or signal
    handlers, then the server."""
    import signal

    os.setsid()
    os.closerange(3, listener.fileno())
    os.closerange(listener.fileno() + 1, os.sysconf("SC_OPEN_MAX"))
    null = os.open(os.devnull, os.O_RDWR)
    for fd in (0, 1, 2):
        os.dup2(null, fd)
    os.close(null)
    signal.signal(signal.SIGINT, signal.default_int_handler)
    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, signal.SIG_DFL)
    from tolva.executors import warm

    warm.prepare(modules, parent)
    serve(listener, secret)


class _Forked(Server):
    def __init__(self, name, pid, secret):
        super().__init__(name, pid, secret)
        self.status = None

    def ready(self):
        try:
            if self.status is None and os.waitpid(self.pid, os.WNOHANG)[0] == self.pid:
                self.status = "ended"
        except ChildProcessError:
            self.status = "ended"  # already waited for
        return self.status is None

    def end(self, kill=False):
        import signal

        if self.ready():
            os.kill(self.pid, signal.SIGKILL if kill else signal.SIGTERM)
            try:
                os.waitpid(self.pid, 0)
            except ChildProcessError:
                pass
            self.status = "ended"


class _Spawned(Server):
    def __init__(self, command, workdir, modules, env, preexec_fn, path):
        import subprocess

        super().__init__(_new_name(), None, os.urandom(16).hex())
        env = dict(os.environ if env is None else env, TOLVA_WARM_MODULES=",".join(modules),
                   TOLVA_WARM_PARENT=str(os.getpid()), TOLVA_WARM_SECRET=self.secret)
        if path is not None:
            env["TOLVA_WARM_PATH"] = json.dumps(path)
        # In a session of its own: the terminal's Ctrl-C reaches the runner only.
        self.process = subprocess.Popen([*command, "-m", "tolva.executors.fork_server", self.name], cwd=workdir,
                                        env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, preexec_fn=preexec_fn, start_new_session=True)
        self.pid = self.process.pid
        self.up = None

    def ready(self):
        """Whether the server came up (waits for it the first time); one that did not is
        ended. failures: why modules failed to import there."""
        if self.up is None:
            try:
                self.failures = json.loads(self.process.stdout.readline().removeprefix(b"ready "))
                self.up = isinstance(self.failures, list)
            except (OSError, ValueError):
                self.up = False
            self.process.stdout.close()
            if not self.up:
                self.end(kill=True)
        return self.up and self.process.poll() is None

    def end(self, kill=False):
        if self.process.poll() is None:
            self.process.kill() if kill else self.process.terminate()
        self.process.wait()


def _connected(address, first):
    """A connection to the server that has sent its first line (a request, or a
    session's hello); None when the server is gone."""
    conn = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        conn.connect(address)
        conn.sendall((json.dumps(first) + "\n").encode())
    except OSError:
        conn.close()
        return None
    return conn


class Session:
    """A connection that asks the server for many jobs, each request a line tagged with
    a number of the client's; the server answers each job's pid and then its exit
    status on lines tagged alike. send() does not wait for either: answers() reads
    those that came, once select says the session is readable. A session of reused
    workers is served by one worker at a time, one job at a time; its status line says
    whether the worker ends after it ("TAG STATUS 1"); when a worker ends, the server
    says "! TAG" for each request it never took, then "- STATUS". flight: the client's
    jobs in flight on it, by tag; ending: its worker ends, and the next job waits for
    the server's word."""

    def __init__(self, conn):
        self.conn, self.buffer, self.tags = conn, b"", iter(range(1, 1 << 62))
        self.flight, self.ending = {}, False

    @classmethod
    def open(cls, address, hello):
        conn = _connected(address, hello)
        return None if conn is None else cls(conn)

    def fileno(self):
        return self.conn.fileno()

    def send(self, request):
        """The request's tag; None when the server is gone."""
        tag = next(self.tags)
        try:
            self.conn.sendall(f"{tag} {json.dumps(request)}\n".encode())
        except OSError:
            return None
        return tag

    def answers(self):
        """The lines that came, each (tag, value, ...) as ints, or ("-", status) when a
        worker ended and ("!", tag) for a request it never took; None once the server
        has gone."""
        try:
            data = self.conn.recv(1 << 16)
        except OSError:
            data = b""
        if not data:
            return None
        *lines, self.buffer = (self.buffer + data).split(b"\n")
        return [tuple(field.decode() if field in (b"-", b"!") else int(field) for field in line.split())
                for line in lines]

    def close(self):
        self.conn.close()


class ForkedJob:
    """A job forked by a warm server: its pid, and its exit status when the server
    says it; wait() as subprocess.Popen's, fileno() to wait in a selector."""

    def __init__(self, conn, pid):
        self.conn, self.pid, self.buffer, self.returncode = conn, pid, b"", None

    @classmethod
    def start(cls, address, request):
        conn = _connected(address, request)
        if conn is None:
            return None  # the server is gone: this job starts fresh
        job = cls(conn, None)
        try:
            job.pid = int(job._line(None))
            return job
        except (OSError, ValueError):
            conn.close()
            return None

    def fileno(self):
        return self.conn.fileno()

    def _line(self, timeout):
        self.conn.settimeout(timeout)
        while b"\n" not in self.buffer:
            data = self.conn.recv(64)
            if not data:
                raise ConnectionError("the warm server ended")
            self.buffer += data
        line, self.buffer = self.buffer.split(b"\n", 1)
        return line

    def wait(self, timeout=None):
        import signal
        import subprocess

        if self.returncode is None:
            try:
                self.returncode = int(self._line(timeout))
            except TimeoutError:
                raise subprocess.TimeoutExpired("job", timeout) from None
            except (OSError, ValueError):
                self.returncode = -int(signal.SIGKILL)  # ended with its server
            self.conn.close()
        return self.returncode


if __name__ == "__main__":
    main(sys.argv[1])
