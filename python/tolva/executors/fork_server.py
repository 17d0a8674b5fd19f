"""A warm process that forks jobs on request, for a Dask worker: it imports the plan's
modules once (tolva.executors.warm, as the local executor's server does), then serves
requests on an abstract Unix socket (nothing on disk to clean up), one per connection,
from processes of its own user only: it forks the job, answers its pid, and then its
exit status. Every job still runs job.run_job, as from any other executor.

    python -m tolva.executors.fork_server NAME

Single-threaded, so forking is safe. It ends when its parent (the worker) ends, when
told to (SIGTERM), or after IDLE_SECONDS with no job running and no request.
"""

import json
import os
import selectors
import socket
import sys

IDLE_SECONDS = 120.0


def _run_job(request, conn, listener):
    """In the forked child: the server's sockets closed, then the job."""
    conn.close()
    listener.close()
    from tolva.executors import run_forked_job

    code = 1
    try:
        code = run_forked_job(request["log"], request["plan_file"], request["job_id"], request["force"],
                              request["run_id"], request["attempt"])
    finally:
        os._exit(code)


def _answer(conn, value):
    try:
        conn.sendall(f"{value}\n".encode())
    except OSError:
        pass  # the worker's task went away; the job's record still tells


def _same_user(conn):
    import struct

    credentials = conn.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, struct.calcsize("3i"))
    return struct.unpack("3i", credentials)[1] == os.getuid()


def serve(name):
    import tolva.executors.warm  # noqa: F401 - the plan's modules, and a first materialization

    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind("\0" + name)
    listener.listen(64)
    print("ready", flush=True)  # the worker waits for this line
    selector = selectors.DefaultSelector()
    selector.register(listener, selectors.EVENT_READ, "accept")
    while True:
        events = selector.select(timeout=IDLE_SECONDS)
        if not events and len(selector.get_map()) == 1:
            return  # idle: the run is over, or its runner gone
        for key, _ in events:
            if key.data == "accept":
                conn, _ = listener.accept()
                if not _same_user(conn):
                    conn.close()
                    continue
                request = json.loads(conn.makefile("rb").readline())
                pid = os.fork()
                if pid == 0:
                    _run_job(request, conn, listener)
                _answer(conn, pid)
                selector.register(os.pidfd_open(pid), selectors.EVENT_READ, (pid, conn))
            else:
                pid, conn = key.data
                selector.unregister(key.fileobj)
                os.close(key.fileobj)
                _, status = os.waitpid(pid, 0)
                _answer(conn, os.waitstatus_to_exitcode(status))
                conn.close()


if __name__ == "__main__":
    serve(sys.argv[1])
