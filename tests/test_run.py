"""python -m tolva.run: planning, mapping of partitioned values, failures, plans, DOT."""

import json
import os
import pathlib
import re
import signal
import subprocess
import sys
import time

import pytest

from tolva import plan as planning

PIPELINE = '''\
from tolva import asset, partitions


@asset()
def raw() -> list:
    return [1, 2, 3]


@asset(inputs={"data": raw}, partitions={"ticker": partitions(["AAPL", "MSFT"]), "day": partitions([1, 2])})
def prices(data: list, ticker, day):
    return {"ticker": ticker, "day": day, "total": sum(data) * day}


@asset(inputs={"rows": prices}, partitions={"ticker": partitions(["AAPL", "MSFT"]), "day": partitions([1, 2])})
def same_partition(rows, ticker, day):
    return rows["total"]


@asset(inputs={"rows": prices})
def gathered(rows):
    return [[r["partition"], r["value"]["total"]] for r in rows]
'''


ISOLATION = ["fork"]


@pytest.fixture(autouse=True, params=["fork", "interpreter", "worker"])
def isolation(request):
    """Every runner test runs with jobs forked from the warm server, with a fresh
    interpreter per job, and in long-lived workers."""
    ISOLATION[0] = request.param
    return request.param


def run(args, cwd, **kwargs):
    return subprocess.run([sys.executable, "-m", "tolva.run", *args, "--isolation", ISOLATION[0]], cwd=cwd,
                          capture_output=True, text=True, timeout=300, **kwargs)


def value(cwd, *parts):
    return json.loads((pathlib.Path(cwd, "tolva-out", *parts) / "value.json").read_text())


@pytest.fixture
def project(tmp_path):
    (tmp_path / "pipe.py").write_text(PIPELINE)
    return tmp_path


@pytest.mark.parametrize("jobs", ["2", "1000000000"])  # never more at once than there are jobs
def test_runs_in_dependency_order_with_both_mapping_rules(project, jobs):
    result = run(["pipe", "--jobs", jobs], project)
    assert result.returncode == 0, result.stdout + result.stderr
    assert value(project, "prices", "day=2", "ticker=MSFT") == {"ticker": "MSFT", "day": 2, "total": 12}
    assert value(project, "same_partition", "day=1", "ticker=AAPL") == 6
    assert value(project, "gathered") == [
        [{"day": 1, "ticker": "AAPL"}, 6], [{"day": 1, "ticker": "MSFT"}, 6],
        [{"day": 2, "ticker": "AAPL"}, 12], [{"day": 2, "ticker": "MSFT"}, 12],
    ]
    record = json.loads((project / "tolva-out/run.json").read_text())
    assert record["version"] == 3 and len(record["jobs"]) == 10
    assert {j["status"] for j in record["jobs"]} == {"succeeded"}
    first = record["jobs"][0]
    assert list(first) == ["id", "asset", "partition", "status", "reason", "duration", "directory", "error_type", "error",
                           "attempts", "worker"]
    assert list(record) == ["version", "run_id", "pid", "in_progress", "started", "finished", "interrupted", "plan",
                            "executor", "selection", "jobs"]
    assert record["executor"] == "local" and first["worker"] is None
    assert re.search(r"^asset +succeeded  up-to-date  failed  skipped  cancelled  total job time$", result.stdout,
                     re.M)
    assert re.search(r"^prices +4 +0 +0 +0 +0 +[0-9.]+s$", result.stdout, re.M)
    footer = result.stdout.splitlines()[-2]
    assert footer.startswith("succeeded: 10 of 10 jobs done (0 up to date), 0 failed, 0 not run, ")
    assert len(footer) <= 80


def test_failed_job_skips_its_dependents_only(project):
    (project / "pipe.py").write_text(PIPELINE.replace('return {"ticker"', 'if ticker == "MSFT" and day == 2:\n'
                                                     '        raise ValueError("no data")\n    return {"ticker"'))
    result = run(["pipe", "--jobs", "2"], project)
    assert result.returncode == 1
    record = {j["id"]: j for j in json.loads((project / "tolva-out/run.json").read_text())["jobs"]}
    assert record["prices/day=2/ticker=MSFT"]["status"] == "failed"
    assert record["prices/day=2/ticker=MSFT"]["error"] == "ValueError: no data"
    assert record["same_partition/day=2/ticker=MSFT"]["status"] == "skipped"
    assert record["gathered"]["status"] == "skipped"
    assert record["same_partition/day=1/ticker=MSFT"]["status"] == "succeeded"
    assert "\nprices: ValueError: no data\n  at " in result.stdout
    assert re.search(r"^  at .*pipe\.py:\d+ in prices$", result.stdout, re.M)
    assert ".tolva/logs/prices/day=2/ticker=MSFT.log" in result.stdout


@pytest.mark.parametrize(
    "source, message",
    [
        ('from tolva import asset\n@asset(inputs={"x": "nowhere.py:f"})\ndef a(x):\n    pass\n',
         "asset 'a': input 'x' refers to 'nowhere.py:f', which is not an asset of the inspected modules"),
        ('from tolva import asset\nimport os\nHERE = os.path.realpath(__file__)\n'
         '@asset(inputs={"y": HERE + ":b"})\ndef a(y):\n    pass\n'
         '@asset(inputs={"x": HERE + ":a"})\ndef b(x):\n    pass\n',
         "assets form a cycle: a -> b -> a"),
        ('from tolva import asset\n@asset()\ndef a(needed):\n    pass\n',
         "asset 'a': parameter 'needed' has no default and is neither an input nor a partition dimension"),
        ('from tolva import asset, partitions\n@asset()\ndef u():\n    pass\n'
         '@asset(inputs={"d": u}, partitions={"d": partitions([1])})\ndef a(d):\n    pass\n',
         "asset 'a': 'd' is both an input and a partition dimension"),
        ('from tolva import asset, partitions\n@asset(partitions={"d": partitions([1])})\ndef a():\n    pass\n',
         "asset 'a': function has no parameter 'd' to receive it"),
        ('from tolva import asset, partitions\n@asset(partitions={"d": partitions([1])})\ndef a(d, /):\n    pass\n',
         "asset 'a': parameter 'd' is positional-only and cannot be passed"),
    ],
)
def test_graph_errors_stop_before_running(tmp_path, source, message):
    (tmp_path / "bad.py").write_text(source)
    result = run(["bad"], tmp_path)
    assert result.returncode == 2
    assert message in result.stderr and result.stderr.count("\n") == 1
    assert not (tmp_path / "tolva-out").exists()


def test_annotation_mismatch_is_a_warning(tmp_path):
    (tmp_path / "warn.py").write_text(
        "from tolva import asset\n@asset()\ndef a() -> int:\n    return 1\n"
        "@asset(inputs={'x': a})\ndef b(x: str):\n    return x\n"
    )
    result = run(["warn", "--plan"], tmp_path)
    assert result.returncode == 0
    assert "warning: asset 'b': parameter 'x' is annotated str but upstream 'a' returns int" in result.stderr


def test_select_runs_only_what_is_needed(project):
    result = run(["pipe", "--select", "same_partition"], project)
    assert result.returncode == 0, result.stderr
    assert not (project / "tolva-out/gathered").exists()
    assert (project / "tolva-out/same_partition/day=2/ticker=MSFT/value.json").exists()
    missing = run(["pipe", "--select", "nope"], project)
    assert missing.returncode == 2
    assert missing.stderr == ("python -m tolva.run: error: --select: no asset or job named 'nope' "
                              "(known assets: gathered, prices, raw, same_partition)\n")


@pytest.mark.parametrize(
    "args, code, message",
    [
        (["pipe", "--jobs", "0"], 2, "error: --jobs must be at least 1"),
        (["--job", "raw"], 2, "error: --from-plan and --job go together, without modules"),
        ([], 2, "error: the following arguments are required: MODULE"),
        (["--from-plan", "PLAN", "--job", "nope"], 2, "tolva.run: error: no job 'nope' in PLAN"),
    ],
)
def test_usage_errors(project, args, code, message):
    (project / "PLAN").write_text(json.dumps({"version": 2, "id": "p", "workdir": str(project), "out": str(project / "o"),
                                              "jobs": []}))
    result = run(args, project)
    assert result.returncode == code
    assert result.stderr.strip().endswith(message)


def test_plan_argv_run_by_hand_materializes_the_job(project, tmp_path):
    plan_file = tmp_path / "plan.json"
    result = run(["pipe", "--plan", str(plan_file)], project)
    assert result.returncode == 0
    plan = json.loads(result.stdout)
    assert plan == json.loads(plan_file.read_text())
    jobs = {j["id"]: j for j in plan["jobs"]}
    # Upstream before downstream; assets otherwise in name order, dimensions in name order.
    assert list(jobs) == ["raw", "prices/day=1/ticker=AAPL", "prices/day=1/ticker=MSFT", "prices/day=2/ticker=AAPL",
                          "prices/day=2/ticker=MSFT", "gathered", "same_partition/day=1/ticker=AAPL",
                          "same_partition/day=1/ticker=MSFT", "same_partition/day=2/ticker=AAPL",
                          "same_partition/day=2/ticker=MSFT"]
    assert jobs["gathered"]["dependencies"] == [j for j in jobs if j.startswith("prices/")]
    assert not (project / "tolva-out").exists()
    # Upstream first, from another directory, as another engine would.
    for job_id in ("raw", "prices/day=1/ticker=AAPL"):
        done = subprocess.run(jobs[job_id]["argv"], cwd="/", capture_output=True, text=True)
        assert done.returncode == 0, done.stderr
    assert value(project, "prices", "day=1", "ticker=AAPL")["total"] == 6
    early = subprocess.run(jobs["gathered"]["argv"], capture_output=True, text=True)
    assert early.returncode == 1 and "upstream job 'prices/day=1/ticker=MSFT'" in early.stderr


def test_dot(project):
    result = run(["pipe", "--dot"], project)
    assert result.returncode == 0
    assert result.stdout.startswith("digraph tolva {")
    assert '"prices" [label="prices\\n4 partitions (day: 2, ticker: 2)"];' in result.stdout
    assert '"raw" -> "prices" [label="data"];' in result.stdout


def test_ctrl_c_leaves_a_run_record(tmp_path):
    (tmp_path / "slow.py").write_text(
        "import time\nfrom tolva import asset, partitions\n"
        "@asset(partitions={'n': partitions(list(range(6)))})\ndef slow(n):\n    time.sleep(30)\n"
    )
    process = subprocess.Popen([sys.executable, "-m", "tolva.run", "slow", "--jobs", "2", "--isolation", ISOLATION[0]],
                               cwd=tmp_path,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    running = tmp_path / "tolva-out/.tolva/jobs/slow/n=1.json"
    deadline = time.monotonic() + 60
    while not (running.exists() and '"running"' in running.read_text()):  # two jobs run: the loop has the signal
        assert time.monotonic() < deadline and process.poll() is None, "the jobs did not start"
        time.sleep(0.05)
    process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=60)
    assert process.returncode == 130, err
    record = json.loads((tmp_path / "tolva-out/run.json").read_text())
    assert record["interrupted"] is True
    assert {j["status"] for j in record["jobs"]} == {"cancelled"}
    assert "interrupted:" in out
    states = [tmp_path / f"tolva-out/.tolva/jobs/slow/n={n}.json" for n in range(6)]
    started = {n for n, state in enumerate(states) if state.exists() and "where" in json.loads(state.read_text())}
    assert 1 in started and started <= {0, 1}  # jobs waiting for a worker never start once the run is stopped


@pytest.mark.parametrize(
    "keys",
    [["../../x", "a/b", "", None, {"k": 1}, "x" * 10_000, "1", 1, "null", ".", "..", "~", "%", "é/ü", "a\x00b"]],
)
def test_partition_keys_cannot_escape_or_collide(keys):
    names = [planning.escape_component(f"d={planning.key_text(k)}") for k in keys]
    assert len(set(names)) == len(names)
    for name in names:
        assert "/" not in name and "\\" not in name and "\x00" not in name
        assert name not in (".", "..") and not name.startswith(".") and len(name.encode()) <= 120
        assert all(32 < ord(c) < 127 or c == " " for c in name)


def test_odd_keys_end_up_in_their_own_directories(tmp_path):
    keys = ["../../x", "a/b", "", None, {"k": 1}, "x" * 10_000]
    (tmp_path / "odd.py").write_text(
        "from tolva import asset, partitions\n"
        f"@asset(partitions={{'key': partitions({keys!r})}})\ndef odd(key):\n    return key\n"
    )
    result = run(["odd", "--jobs", "2"], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    base = tmp_path / "tolva-out" / "odd"
    found = {}
    for path in base.rglob("value.json"):
        assert path.resolve().is_relative_to(base.resolve())
        found[json.dumps(json.loads(path.read_text()))] = path.parent
    assert sorted(found) == sorted(json.dumps(k) for k in keys)
    assert len(set(found.values())) == len(keys)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["odd.py", "tolva-out"]


def test_asset_names_never_take_the_runners_files(tmp_path):
    (tmp_path / "names.py").write_text(
        "from tolva import asset\n@asset(name='run.json')\ndef a():\n    return 1\n"
        "@asset(name='.tolva')\ndef b():\n    return 2\n"
    )
    result = run(["names"], tmp_path)
    assert result.returncode == 0, result.stderr
    assert json.loads((tmp_path / "tolva-out/run.json").read_text())["version"] == 3
    assert (tmp_path / "tolva-out/run%2Ejson/value.json").read_text() == "1"
    assert (tmp_path / "tolva-out/%2Etolva/value.json").read_text() == "2"


def test_the_weather_example_runs_end_to_end(tmp_path):
    root = pathlib.Path(__file__).resolve().parent.parent
    report_dir = root / "examples/weather/report"
    result = run(["examples.weather.weather", "--out", str(tmp_path / "out")], root)
    assert result.returncode == 0, result.stdout + result.stderr
    written = json.loads((tmp_path / "out/report/value.json").read_text())
    assert written == {"report": str(report_dir / "report.md"), "chart": str(report_dir / "chart.svg")}
    assert (report_dir / "report.md").read_text().startswith("# Weather report\n")
    assert (report_dir / "chart.svg").read_text().startswith("<svg ")
    stations = json.loads((tmp_path / "out/network/value.json").read_text())
    assert sorted(stations) == ["eastfield", "highmoor", "nordhavn", "southbay"]
    assert all(len(days) == 90 for days in stations.values())
