"""Jobs forked from a warm server: isolation between jobs, crashes, logs at the
descriptor level, no process left behind; and a job command that reads only what
its job needs, whatever the plan's size."""

import contextlib
import json
import os
import signal
import subprocess
import sys
import time
import types

import pytest

from conftest import process_alive

from tolva import executors
from tolva import run as runner

CRASHY = '''\
import os, signal, sys
from tolva import asset, partitions

COUNT = []


@asset(partitions={"n": partitions([1, 2, 3, 4])})
def counted(n):
    COUNT.append(n)  # module state: each job must start from the imported module
    print("to stdout", n)
    sys.stdout.flush()
    os.write(2, b"raw to fd 2\\n")
    return len(COUNT)


@asset(partitions={"how": partitions(["ok", "signal", "exit"])})
def crashes(how):
    if how == "signal":
        os.kill(os.getpid(), signal.SIGKILL)
    if how == "exit":
        os._exit(3)
    return how


@asset(inputs={"all": crashes})
def after(all):
    return all
'''


def tolva(args, cwd, **kwargs):
    return subprocess.run([sys.executable, "-m", "tolva.run", *args], cwd=cwd, capture_output=True, text=True,
                          timeout=300, **kwargs)


@pytest.fixture
def project(tmp_path):
    (tmp_path / "crashy.py").write_text(CRASHY)
    return tmp_path


@pytest.mark.parametrize("isolation, counts", [
    ("fork", [1, 1, 1, 1]), ("interpreter", [1, 1, 1, 1]),
    ("worker", [1, 2, 3, 4]),  # what a job leaves in a module stays for the next: documented
])
def test_jobs_are_isolated_crashes_fail_and_logs_hold_both_streams(project, isolation, counts):
    result = tolva(["crashy", "--jobs", "1", "--isolation", isolation], project)
    assert result.returncode == 1
    out = project / "tolva-out"
    assert [json.loads((out / f"counted/n={n}/value.json").read_text()) for n in range(1, 5)] == counts
    log = (out / ".tolva/logs/counted/n=3.log").read_text()
    assert "to stdout 3\n" in log and "raw to fd 2\n" in log
    jobs = {j["id"]: j for j in json.loads((out / "run.json").read_text())["jobs"]}
    assert jobs["crashes/how=ok"]["status"] == "succeeded"
    assert jobs["crashes/how=signal"]["status"] == "failed"
    assert jobs["crashes/how=signal"]["error"] == "the job was killed by signal SIGKILL before recording its outcome"
    assert jobs["crashes/how=exit"]["error"].startswith("the job ended (exit status 3) without recording its outcome")
    assert jobs["after"]["status"] == "skipped"


SLOW = '''\
import os, time
from tolva import asset, partitions


@asset(partitions={"n": partitions([1, 2])})
def slow(n):
    with open(f"pid-{n}", "w") as f:
        f.write(str(os.getpid()))
    time.sleep(120)
'''



def parent_of(pid):
    with open(f"/proc/{pid}/stat") as f:
        return int(f.read().rsplit(")", 1)[1].split()[1])


THREADED = '''\
import os, threading, time
from tolva import asset, partitions

print("imported")  # never taken for the server's word that it is ready
if os.environ.get("START_A_THREAD") == "python":
    threading.Thread(target=time.sleep, args=(60,), daemon=True).start()
if os.environ.get("START_A_THREAD") == "native":  # as a BLAS library's pool: sleep(60) on a thread of libc's
    import ctypes
    libc = ctypes.CDLL(None)
    libc.pthread_create(ctypes.byref(ctypes.c_ulong()), None, libc.sleep, ctypes.c_void_p(60))


@asset(partitions={"n": partitions([1, 2, 3])})
def server(n):
    with open(f"/proc/{os.getppid()}/cmdline", "rb") as f:
        argv = f.read().split(b"\\0")
    return argv[argv.index(b"-m") + 1].decode()
'''


@pytest.mark.parametrize("threads, edited, server", [("", False, "tolva.run"), ("native", False, "tolva.run"),
                                                     ("python", False, "tolva.executors.fork_server"),
                                                     ("", True, "tolva.run")])
def test_the_warm_server_is_forked_from_the_runner_unless_it_has_threads(tmp_path, threads, edited, server):
    (tmp_path / "threaded.py").write_text(THREADED)
    env = dict(os.environ, START_A_THREAD=threads)
    if edited:  # a run after a run that left every job done starts its server at the first job to run
        assert tolva(["threaded"], tmp_path, env=env).returncode == 0
        (tmp_path / "threaded.py").write_text(THREADED.replace(".decode()", ".decode().strip()"))
    result = tolva(["threaded"], tmp_path, env=env)
    assert result.returncode == 0, result.stderr
    assert "3 of 3 jobs done (0 up to date)" in result.stdout
    values = {json.loads((tmp_path / f"tolva-out/server/n={n}/value.json").read_text()) for n in (1, 2, 3)}
    assert values == {server}


KILLS = """\
import os, pathlib, signal, time
from tolva import asset, partitions


@asset(partitions={"n": partitions(list(range(1, 9)))})
def kills(n):
    here, at_once = pathlib.Path(os.environ["KILLS_DIR"]), int(os.environ["AT_ONCE"])
    if 1 < n <= at_once:
        (here / f"started-{n}").touch()
        time.sleep(30)
    if n == 1:
        while len(list(here.glob("started-*"))) < at_once - 1:
            time.sleep(0.02)
        os.kill(os.getppid(), signal.SIGKILL)
        time.sleep(30)
    return n
"""


@pytest.mark.parametrize("at_once,isolation", [(1, "fork"), (3, "fork"), (3, "worker")])
def test_jobs_after_the_warm_server_is_lost_start_fresh(tmp_path, at_once, isolation):
    """The server dies while jobs run; those it forked die with it, and those queued
    meanwhile (several, with jobs at once) start as fresh interpreters: the run ends."""
    (tmp_path / "kills.py").write_text(KILLS)
    env = dict(os.environ, KILLS_DIR=str(tmp_path), AT_ONCE=str(at_once))
    result = tolva(["kills", "--jobs", str(at_once), "--isolation", isolation], tmp_path, env=env)
    assert result.returncode == 1, result.stderr
    jobs = {j["id"]: j for j in json.loads((tmp_path / "tolva-out/run.json").read_text())["jobs"]}
    assert {jobs[f"kills/n={n}"]["error"] for n in range(1, at_once + 1)} == {
        "the job was killed by signal SIGKILL before recording its outcome"}
    assert [jobs[f"kills/n={n}"]["status"] for n in range(at_once + 1, 9)] == ["succeeded"] * (8 - at_once)


def test_a_runner_killed_outright_leaves_no_job(tmp_path):
    (tmp_path / "slow.py").write_text(SLOW)
    runner = subprocess.Popen([sys.executable, "-m", "tolva.run", "slow", "--jobs", "2"], cwd=tmp_path,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    pid_files = [tmp_path / "pid-1", tmp_path / "pid-2"]
    deadline = time.monotonic() + 60
    while not all(p.exists() and p.read_text() for p in pid_files):
        assert time.monotonic() < deadline
        time.sleep(0.05)
    pids = [int(p.read_text()) for p in pid_files]
    pids += [parent_of(pids[0])]  # the warm server they were forked from
    runner.send_signal(signal.SIGKILL)
    runner.wait()
    deadline = time.monotonic() + 20
    while any(process_alive(pid) for pid in pids) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert not any(process_alive(pid) for pid in pids)


DETACHES = """\
import os, pathlib, time
from tolva import asset


@asset()
def detaches():
    child = os.fork()
    if child == 0:
        os.setsid()  # a daemon of its own session, its parent gone at once
        if os.fork() == 0:
            pathlib.Path("daemon.pid").write_text(str(os.getpid()))
            time.sleep(120)
        os._exit(0)
    os.waitpid(child, 0)
    time.sleep(120)
"""


@pytest.mark.parametrize("isolation", ["fork", "worker", "interpreter"])
def test_what_a_job_detaches_ends_with_a_runner_killed_outright(tmp_path, isolation):
    (tmp_path / "detaches.py").write_text(DETACHES)
    runner = subprocess.Popen([sys.executable, "-m", "tolva.run", "detaches", "--isolation", isolation], cwd=tmp_path,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 60
    while not ((tmp_path / "daemon.pid").exists() and (tmp_path / "daemon.pid").read_text()):
        assert time.monotonic() < deadline and runner.poll() is None
        time.sleep(0.05)
    daemon = int((tmp_path / "daemon.pid").read_text())
    runner.send_signal(signal.SIGKILL)
    runner.wait()
    deadline = time.monotonic() + 20
    while process_alive(daemon) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert not process_alive(daemon)


def test_a_job_command_reads_only_its_own_part_of_a_large_plan(tmp_path):
    (tmp_path / "wide.py").write_text(
        "from tolva import asset, partitions\n"
        "@asset(partitions={'n': partitions(list(range(20_000)))})\ndef wide(n):\n    return n * 2\n")
    result = tolva(["wide", "--plan"], tmp_path)
    assert result.returncode == 0, result.stderr
    plan_file = tmp_path / "tolva-out/plan.json"
    # 256 jobs' entries a file, and their index.
    assert len(list((tmp_path / "tolva-out/.tolva/plans/plan.json").iterdir())) == 79 + 1
    argv = next(j for j in json.loads(plan_file.read_text())["jobs"] if j["id"] == "wide/n=12345")["argv"]
    # The plan's jobs become unreadable, in place, its head (version and id) and size
    # kept: the job runs all the same, so it read no more of the plan than its id.
    size = plan_file.stat().st_size
    with open(plan_file, "r+b") as f:
        f.seek(200)
        f.write(b"x" * (size - 200))
    done = subprocess.run(argv, cwd="/", capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "tolva-out/wide/n=12345/value.json").read_text() == "24690"
    # Edited later than the job files, the plan is read whole again, and checked.
    plan_file.write_text("not JSON either")
    stale = subprocess.run(argv, cwd="/", capture_output=True, text=True, timeout=60)
    assert stale.returncode == 2 and "is not valid JSON" in stale.stderr


def test_an_executor_is_one_module_in_the_registry(monkeypatch, capsys):
    """Its options, their checks, how many jobs it takes at once and whether it waits
    for its first job: all said by its own module."""
    fake = types.ModuleType("fake_executor")
    configured = []

    def configure(error, options, chosen):
        configured.append((options.knob, chosen))
        if options.knob and not chosen:
            error("--knob goes with --executor fake")

    fake.__dict__.update(NAME="fake", HELP="fake: a test's", lazy=True, configure=configure,
                         add_options=lambda parser: parser.add_argument("--knob"),
                         in_flight=lambda options, plan: 7, warming=lambda options: contextlib.nullcontext(),
                         make=lambda plan, plan_file, run_id, options: types.SimpleNamespace(
                             submit=lambda job, attempt, force: (job, plan_file)))
    monkeypatch.setitem(sys.modules, "fake_executor", fake)
    monkeypatch.setitem(executors.EXECUTORS, "fake", "fake_executor")
    parser = runner.build_parser("tolva-run")
    assert "fake: a test's" in parser.format_help() and "--knob" in parser.format_help()
    args = parser.parse_args(["m", "--executor", "fake", "--knob", "3"])
    runner.check_options(parser, args)
    made = executors.make("fake", {"jobs": []}, "plan.json", "r", args)
    assert (configured, executors.module("fake").in_flight(args, {}), made.executor) == ([("3", True)], 7, None)
    assert made.submit("job") == ("job", "plan.json")  # made at its first job
    with pytest.raises(SystemExit):
        runner.check_options(parser, parser.parse_args(["m", "--knob", "3"]))
    assert capsys.readouterr().err.endswith("tolva-run: error: --knob goes with --executor fake\n")


FEW = '''\
import os, pathlib, time
from tolva import asset, partitions


@asset(partitions={"n": partitions([1, 2, 3])})
def few(n):
    pathlib.Path(f"started-{n}").touch()
    if os.environ.get("FEW_WAIT"):
        time.sleep(60)
    return n
'''


@pytest.mark.parametrize("hook, env, code, error, statuses", [
    # The thread that starts jobs fails: the run ends, its traceback said once.
    ("def broken(*args):\n    raise RuntimeError('the thread broke')\nlocal.ServerExecutor._start = broken\n", {}, 1,
     "python -m tolva.run: error: the thread that starts the run's jobs failed (RuntimeError: the thread broke); the "
     "traceback is above", {"cancelled"}),
    # Jobs that no signal ends: the runner stops waiting after SIGKILL and names them.
    ("local.LocalJobs.signal = lambda self, signum: None\nscheduler.GRACE_SECONDS = 0.3\n"
     "scheduler.KILLED_WAIT_SECONDS = 0.3\n", {"FEW_WAIT": "1"}, 130,
     "python -m tolva.run: warning: stopped waiting for 2 jobs still running after SIGKILL: few/n=1 (PID {n1}), "
     "few/n=2 (PID {n2})", {"cancelled"}),
])
def test_a_run_always_ends(tmp_path, hook, env, code, error, statuses):
    (tmp_path / "few.py").write_text(FEW)
    (tmp_path / "hook").mkdir()
    (tmp_path / "hook/sitecustomize.py").write_text("from tolva import scheduler\nfrom tolva.executors import local\n"
                                                    + hook)
    runner = subprocess.Popen([sys.executable, "-m", "tolva.run", "few", "--jobs", "2"], cwd=tmp_path, text=True,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              env=dict(os.environ, PYTHONPATH=str(tmp_path / "hook"), **env))
    if env:
        deadline = time.monotonic() + 60
        while not ((tmp_path / "started-1").exists() and (tmp_path / "started-2").exists()):
            assert time.monotonic() < deadline and runner.poll() is None
            time.sleep(0.05)
        pids = {n: json.loads((tmp_path / f"tolva-out/.tolva/jobs/few/n={n}.json").read_text())["where"]["pid"]
                for n in (1, 2)}
        runner.send_signal(signal.SIGINT)
        error = error.format(n1=pids[1], n2=pids[2])
    out, err = runner.communicate(timeout=60)
    assert runner.returncode == code, err
    assert error in err.splitlines() and err.count("Traceback") == (0 if env else 1)
    assert {j["status"] for j in json.loads((tmp_path / "tolva-out/run.json").read_text())["jobs"]} == statuses


def test_the_warm_server_forks_only_well_formed_requests_of_its_run_and_no_connection_holds_it_up(tmp_path):
    import socket

    from tolva.executors import fork_server

    server = fork_server.Server.spawn([sys.executable], str(tmp_path), [])
    try:
        assert server.ready()

        def raw(line):
            conn = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            conn.connect("\0" + server.name)
            conn.sendall(line)
            return conn

        stalled = raw(b'{"plan_file": "half a request')  # and it stays open
        refused = [raw(text + b"\n") for text in (b"[1,2]", b"{}", b'{"job_id": "j"}')]
        for conn in refused:
            conn.settimeout(10)
            assert conn.recv(64) == b""  # closed without a PID: nothing was forked
        log = tmp_path / "job.log"
        log.touch()
        request = {"plan_file": str(tmp_path / "no-plan.json"), "job_id": "j", "force": False, "run_id": "r",
                   "attempt": 1, "log": str(log)}
        started = time.monotonic()
        job = server.start(request)
        assert job is not None and job.wait(30) == 2 and time.monotonic() - started < 5
        assert "cannot read plan" in log.read_text()
        stalled.settimeout(10)
        assert stalled.recv(64) == b""  # its time was up
    finally:
        server.end(kill=True)


@pytest.mark.parametrize("reuse", [None, {"jobs": 2, "memory": 1 << 30}], ids=["forked", "workers"])
def test_a_session_asks_for_many_jobs_and_one_that_dies_or_misbehaves_leaves_the_server_serving(tmp_path, reuse):
    import select

    from tolva.executors import fork_server

    server = fork_server.Server.spawn([sys.executable], str(tmp_path), [])
    try:
        assert server.ready()
        dying = server.session(reuse)
        dying.conn.sendall(b'1 {"plan_file": "half a line')
        dying.close()
        rude = server.session(reuse)
        rude.conn.sendall(b"not-a-tag {}\n")
        assert select.select([rude], [], [], 10)[0] and rude.answers() is None  # closed, nothing forked
        log = tmp_path / "job.log"
        log.touch()
        request = {"plan_file": str(tmp_path / "no-plan.json"), "force": False, "run_id": "r", "attempt": 1,
                   "log": str(log)}
        session = server.session(reuse)

        def answered(sent):
            """The job's pid and exit status, one job at a time, as a runner takes them: a
            worker that ends after its job ("TAG STATUS 1") is waited for ("- STATUS")."""
            tag, said, ending, deadline = session.send(sent), [], [], time.monotonic() + 30
            while (len(said) < 2 or ending == [1]) and time.monotonic() < deadline:
                for found, value, *rest in (session.answers() or []) if select.select([session], [], [], 1)[0] else []:
                    said += [value] if found == tag else []
                    ending = rest if found == tag else [] if found == "-" else ending
            return said

        said = [answered(dict(request, job_id=f"j{n}")) for n in range(3)] + [answered({"job_id": 1})]
        assert [status for _, status in said] == [2, 2, 2, 2]  # no plan; a malformed request
        assert all(pid > 0 for pid, _ in said)
        assert log.read_text().count("cannot read plan") == 3
    finally:
        server.end(kill=True)


def test_a_worker_that_ends_hands_back_the_requests_it_never_took(tmp_path):
    """Two requests at once on a worker's session: the first fails, so the worker ends
    after it; the second, never taken, is handed back ("! TAG") before the end is said,
    and a successor serves the session, forked only once the session asks again."""
    import select

    from tolva.executors import fork_server

    server = fork_server.Server.spawn([sys.executable], str(tmp_path), [])
    try:
        assert server.ready()
        (tmp_path / "job.log").touch()
        request = {"plan_file": str(tmp_path / "no-plan.json"), "job_id": "j", "force": False, "run_id": "r",
                   "attempt": 1, "log": str(tmp_path / "job.log")}
        session = server.session({"jobs": 5, "memory": 1 << 30})
        first, second = session.send(request), session.send(request)
        said, deadline = [], time.monotonic() + 30
        while ("-" not in [line[0] for line in said]) and time.monotonic() < deadline:
            said += (session.answers() or []) if select.select([session], [], [], 1)[0] else []
        worker = said[0][1]
        assert said == [(first, worker), (first, 2, 1), ("!", second), ("-", fork_server.RECYCLED)]
        time.sleep(0.3)  # a successor forked at once would be there by now
        assert open(f"/proc/{server.pid}/task/{server.pid}/children").read().split() == []
        third = session.send(request)
        while len(said) < 6 and time.monotonic() < deadline:
            said += (session.answers() or []) if select.select([session], [], [], 1)[0] else []
        assert said[4][0] == third and said[4][1] != worker and said[5][:2] == (third, 2)
    finally:
        server.end(kill=True)


WORKERS = '''\
import os, threading, time
from tolva import asset, partitions, policy

@policy(timeout=0.5)
@asset(partitions={"n": partitions(list(range(9)))})
def where(n):
    if n == 2:
        raise ValueError("two")
    if n == 4:
        threading.Thread(target=time.sleep, args=(0.3,)).start()
    if n == 6:
        os.chdir("/")
    if n == 8:
        time.sleep(5)
    return os.getpid()
'''


def test_a_worker_is_replaced_when_a_job_leaves_it_unfit(tmp_path):
    """One slot: a failure, a thread left running, a changed directory, a timeout and
    the --worker-jobs share each hand the next job to a fresh worker."""
    (tmp_path / "workers.py").write_text(WORKERS)
    result = tolva(["workers", "--jobs", "1", "--isolation", "worker", "--worker-jobs", "2"], tmp_path)
    assert result.returncode == 1
    out = tmp_path / "tolva-out"
    jobs = {j["id"]: j for j in json.loads((out / "run.json").read_text())["jobs"]}
    assert [jobs[f"where/n={n}"]["status"] for n in range(9)] == ["succeeded"] * 2 + ["failed"] + ["succeeded"] * 5 + [
        "failed"]
    assert jobs["where/n=8"]["error"] == "TimeoutError: timed out after 0.5 s"
    pids = {n: json.loads((out / f"where/n={n}/value.json").read_text()) for n in (0, 1, 3, 4, 5, 6, 7)}
    # 0 and 1 share a worker (its share is 2); 2 fails; 3 and 4 share one (4 leaves a
    # thread); 5 and 6 (6 changes directory); 7 runs alone before the timeout.
    assert pids[0] == pids[1] and pids[3] == pids[4] and pids[5] == pids[6]
    assert len({pids[0], pids[3], pids[5], pids[7]}) == 4
    # What a job did that the next must not inherit is said in its log; a failure and a
    # worker's share of jobs, its routine end, are not.
    said = {n: [line for line in (out / f".tolva/logs/where/n={n}.log").read_text().splitlines()
                if "fresh worker" in line] for n in (1, 2, 4, 6)}
    assert said == {1: [], 2: [], 4: ["python -m tolva.run: warning: job 'where/n=4' left a thread running; the next "
                                      "job runs in a fresh worker"],
                    6: ["python -m tolva.run: warning: job 'where/n=6' changed the working directory; the next job "
                        "runs in a fresh worker"]}


SEEN = """\
import os
from tolva import asset, partitions

SEEN = []


@asset(partitions={"n": partitions([0, 1, 2])})
def seen(n):
    SEEN.append(n)
    return [len(SEEN), os.getpid()]
"""


@pytest.mark.parametrize("options, lengths, workers", [
    (["--isolation", "worker"], [1, 2, 3], 1),  # what a job leaves in a module stays for the next
    (["--isolation", "worker", "--worker-memory", "1"], [1, 1, 1], 3),  # past its memory limit: replaced
    (["--isolation", "fork"], [1, 1, 1], 3),
])
def test_what_a_job_leaves_in_a_module_stays_only_in_its_worker(tmp_path, options, lengths, workers):
    (tmp_path / "seen.py").write_text(SEEN)
    result = tolva(["seen", "--jobs", "1", *options], tmp_path)
    assert result.returncode == 0, result.stderr
    found = [json.loads((tmp_path / f"tolva-out/seen/n={n}/value.json").read_text()) for n in range(3)]
    assert [length for length, _ in found] == lengths and len({pid for _, pid in found}) == workers


@pytest.mark.parametrize("args, message", [
    (["--worker-jobs", "100"], "--worker-jobs and --worker-memory go with --isolation worker"),
    (["--isolation", "interpreter", "--worker-memory", "10"], "--worker-jobs and --worker-memory go with "
     "--isolation worker"),
    (["--isolation", "worker", "--worker-jobs", "0"], "--worker-jobs and --worker-memory must be at least 1"),
])
def test_worker_options_go_with_worker_isolation(project, args, message):
    result = tolva(["crashy", *args], project)
    assert result.returncode == 2 and result.stderr.endswith(f"python -m tolva.run: error: {message}\n")
    assert not (project / "tolva-out").exists()
