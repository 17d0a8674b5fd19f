"""tolva.run reports every outcome truly: import failures, tracebacks, stale records,
names people type, colliding keys, locks and signals, untrusted plans, conventions."""

import json
import os
import pathlib
import re
import signal
import subprocess
import sys
import time

import pytest

from conftest import process_alive

from tolva import plan as planning
from tolva import records, summary

PIPE = '''\
from tolva import asset, partitions


@asset()
def raw() -> list:
    return [1, 2, 3]


@asset(inputs={"data": "raw"}, partitions={"ticker": partitions(["AAPL", "MSFT"])})
def prices(data: list, ticker: str) -> dict:
    if ticker == FAIL:
        raise ValueError("bad rows")
    return {"ticker": ticker, "total": sum(data)}


@asset(inputs={"rows": prices})
def summary(rows: list) -> int:
    return len(rows)


FAIL = None
'''


def tolva(args, cwd, module="tolva.run", **kwargs):
    return subprocess.run([sys.executable, "-m", module, *args], cwd=cwd, capture_output=True, text=True,
                          timeout=120, **kwargs)


@pytest.fixture
def project(tmp_path):
    (tmp_path / "pipe.py").write_text(PIPE)
    return tmp_path


def fail_on(project, ticker):
    (project / "pipe.py").write_text(PIPE.replace("FAIL = None", f"FAIL = {ticker!r}"))


# --- 1. modules that fail to import --------------------------------------------------


@pytest.mark.parametrize(
    "module, source, line",
    [
        ("pipe_typo", None, "cannot import module 'pipe_typo': ModuleNotFoundError: No module named 'pipe_typo' "
                            "(current directory: {cwd}; run from the project root or add the project to PYTHONPATH)"),
        ("broken", "def f(:\n", "cannot import module 'broken': SyntaxError: invalid syntax (broken.py, line 1)"),
        ("needs", "import tolva_missing_dependency\n",
         "cannot import module 'needs': ModuleNotFoundError: No module named 'tolva_missing_dependency' (at "
         "{cwd}/needs.py:1) (current directory: {cwd}; run from the project root or add the project to PYTHONPATH)"),
        ("bare", "from tolva import asset\n@asset\ndef f():\n    pass\n",
         "cannot import module 'bare': TypeError: asset() takes 0 positional arguments but 1 was given (at "
         "{cwd}/bare.py:2)"),
    ],
)
@pytest.mark.parametrize("mode", [[], ["--plan"], ["--dot"]])
def test_a_module_that_fails_to_import_is_a_usage_error(project, module, source, line, mode):
    assert tolva(["pipe"], project).returncode == 0
    before = {p: p.read_bytes() for p in (project / "tolva-out").rglob("*") if p.is_file()}
    if source:
        (project / f"{module}.py").write_text(source)
    result = tolva([module, *mode], project)
    assert result.returncode == 2
    assert result.stderr == f"python -m tolva.run: error: {line.format(cwd=project)}\n"
    assert result.stdout == ""
    after = {p: p.read_bytes() for p in (project / "tolva-out").rglob("*") if p.is_file()}
    assert after == before  # the earlier run.json and plan.json survive byte for byte


# --- 2. tracebacks -----------------------------------------------------------------


def test_a_failed_asset_leaves_its_traceback_in_the_log(project):
    fail_on(project, "MSFT")
    result = tolva(["pipe"], project)
    assert result.returncode == 1
    log = (project / "tolva-out/.tolva/logs/prices/ticker=MSFT.log").read_text()
    assert log.startswith("Traceback (most recent call last):\n")
    assert f'File "{project / "pipe.py"}", line 12, in prices\n    raise ValueError("bad rows")\n' in log
    assert log.endswith("ValueError: bad rows\npython -m tolva.run: error: ValueError: bad rows\n")
    assert f"\nprices: ValueError: bad rows\n  at {project / 'pipe.py'}:12 in prices\n" in result.stdout


# --- 3. stale outputs and the job's own records ------------------------------------


def test_jobs_not_run_keep_no_earlier_record(project):
    assert tolva(["pipe"], project).returncode == 0
    fail_on(project, "MSFT")
    assert tolva(["pipe"], project).returncode == 1
    out = project / "tolva-out"
    assert not (out / "summary/result.json").exists()  # skipped: no earlier ok:true left behind
    assert json.loads((out / "prices/ticker=MSFT/result.json").read_text())["ok"] is False
    statuses = {j["id"]: j["status"] for j in json.loads((out / "run.json").read_text())["jobs"]}
    # raw does not read the edited constant: its last success still holds.
    assert statuses == {"raw": "up-to-date", "prices/ticker=AAPL": "succeeded", "prices/ticker=MSFT": "failed",
                        "summary": "skipped"}


def test_report_assembles_the_record_of_a_plan_run_by_an_engine(project):
    fail_on(project, "MSFT")
    plan = json.loads(tolva(["pipe", "--plan"], project).stdout)
    for job in plan["jobs"]:
        subprocess.run(job["argv"], cwd="/", capture_output=True)
    report = tolva(["--from-plan", "tolva-out/plan.json", "--report"], project)
    assert report.returncode == 1
    record = json.loads((project / "tolva-out/run.json").read_text())
    assert [j["status"] for j in record["jobs"]] == ["succeeded", "succeeded", "failed", "failed"]
    assert record["jobs"][2]["error"] == "ValueError: bad rows"
    # Fixed and re-run by hand: the job and what needs it are no longer failed.
    fail_on(project, None)
    for job in plan["jobs"][2:]:
        assert subprocess.run(job["argv"], capture_output=True).returncode == 0
    assert tolva(["--from-plan", "tolva-out/plan.json", "--report"], project).returncode == 0
    assert {j["status"] for j in json.loads((project / "tolva-out/run.json").read_text())["jobs"]} == {"succeeded"}


def test_leftover_temporary_files_are_removed_before_a_job_starts(project):
    folder = project / "tolva-out/raw"
    folder.mkdir(parents=True)
    (folder / ".value.json.999999.1.tmp").write_text("x" * 1000)
    assert tolva(["pipe"], project).returncode == 0
    assert sorted(p.name for p in folder.iterdir()) == ["result.json", "value.json"]


# --- 4. annotations of gathering inputs ----------------------------------------------


@pytest.mark.parametrize(
    "annotation, warning",
    [("list", ""), ("list[dict]", ""), ("'list[dict]'", ""),
     ("list[int]", "warning: asset 'summary': parameter 'rows' is annotated list[int] but upstream 'prices' "
                   "returns dict\n"),
     ("dict", "warning: asset 'summary': parameter 'rows' is annotated dict but gathers a list of every "
              "partition of upstream 'prices'\n")],
)
def test_gathering_inputs_compare_the_element_type(project, annotation, warning):
    (project / "pipe.py").write_text(PIPE.replace("def summary(rows: list)", f"def summary(rows: {annotation})"))
    result = tolva(["pipe", "--plan"], project)
    assert result.returncode == 0
    assert result.stderr == (f"python -m tolva.run: {warning}" if warning else "")


# --- 5. keys that are the same key, and folder names -------------------------------


@pytest.mark.parametrize(
    "keys, shown",
    [('["mon", "mon"]', '"mon"'), ("[10**30, 10**30 + 1]", "1e+30"),
     ('[{"a": 1, "b": 2}, {"b": 2, "a": 1}]', '{"a":1,"b":2}')],
)
def test_keys_that_are_one_key_are_refused(tmp_path, keys, shown):
    (tmp_path / "dup.py").write_text(
        f"from tolva import asset, partitions\n@asset(partitions={{'day': partitions({keys})}})\n"
        "def daily(day):\n    return day\n")
    result = tolva(["dup"], tmp_path)
    assert result.returncode == 2
    assert result.stderr == (f"python -m tolva.run: error: asset 'daily': dimension 'day' lists the same key more "
                             f"than once: {shown} (each key names one job and one folder)\n")
    assert not (tmp_path / "tolva-out").exists()


def test_folder_names_differ_beyond_letter_case_and_avoid_device_names(tmp_path):
    (tmp_path / "cases.py").write_text(
        "from tolva import asset, partitions\n"
        "@asset(name='Same', partitions={'k': partitions(['Abc', 'abc', 'CON', 'nul.txt'])})\n"
        "def upper(k):\n    return k\n"
        "@asset(name='same')\ndef lower():\n    return 0\n")
    result = tolva(["cases"], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    folders = [p.relative_to(tmp_path / "tolva-out") for p in (tmp_path / "tolva-out").rglob("value.json")]
    names = [str(p.parent) for p in folders]
    assert len({n.casefold() for n in names}) == len(names) == 5
    labels = {j["asset"] for j in json.loads((tmp_path / "tolva-out/run.json").read_text())["jobs"]}
    assert sorted(label[:5] for label in labels) == ["Same~", "same~"]
    assert planning.escape_component("CON") == "%43ON" and planning.escape_component("nul.txt") == "%6Eul.txt"


# --- 6 and 7. names people type, --select ------------------------------------------


@pytest.mark.parametrize(
    "reference, message",
    [("raw", None), ("pipe:raw", None),
     ("rwa", "asset 'prices': input 'data' refers to 'rwa', which is not an asset of the inspected modules; "
             "did you mean 'raw'? (known assets: prices, raw, summary)"),
     ("twice", "asset 'prices': input 'data': 'twice' names several assets: pipe:one, pipe:two; use one of these")],
)
def test_inputs_by_the_names_people_type(project, reference, message):
    source = PIPE.replace('inputs={"data": "raw"}', f'inputs={{"data": "{reference}"}}')
    if reference == "twice":
        source += "\n@asset(name='twice')\ndef one():\n    pass\n\n@asset(name='twice')\ndef two():\n    pass\n"
    (project / "pipe.py").write_text(source)
    result = tolva(["pipe", "--plan"], project)
    if message is None:
        assert result.returncode == 0, result.stderr
        assert json.loads(result.stdout)["jobs"][1]["dependencies"] == ["raw"]
    else:
        assert (result.returncode, result.stderr) == (2, f"python -m tolva.run: error: {message}\n")


def test_select_takes_job_ids_and_keeps_the_module(project):
    result = tolva(["--select", "prices/ticker=MSFT", "pipe"], project)
    assert result.returncode == 0, result.stderr
    assert [j["id"] for j in json.loads((project / "tolva-out/run.json").read_text())["jobs"]] == [
        "raw", "prices/ticker=MSFT"]
    typo = tolva(["pipe", "--select", "sumary"], project)
    assert typo.returncode == 2
    assert typo.stderr == ("python -m tolva.run: error: --select: no asset or job named 'sumary'; did you mean "
                           "'summary'? (known assets: prices, raw, summary)\n")


# --- 8. one run per folder, signals ------------------------------------------------

SLOW = """
import os, time
from tolva import asset, partitions

@asset(partitions={"n": partitions([1, 2])})
def slow(n):
    with open(f"pid-{n}", "w") as f:
        f.write(str(os.getpid()))
    time.sleep(60)
"""


def wait_for(paths, seconds=30):
    deadline = time.monotonic() + seconds
    while not all(p.exists() and p.read_text() for p in paths):
        assert time.monotonic() < deadline, "jobs did not start"
        time.sleep(0.05)



@pytest.mark.parametrize("signals", [[signal.SIGTERM], [signal.SIGINT, signal.SIGINT]])
def test_signals_end_every_job_and_keep_the_record(tmp_path, signals):
    (tmp_path / "slow.py").write_text(SLOW)
    runner = subprocess.Popen([sys.executable, "-m", "tolva.run", "slow", "--jobs", "2"], cwd=tmp_path,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    pid_files = [tmp_path / "pid-1", tmp_path / "pid-2"]
    wait_for(pid_files)
    second = tolva(["slow"], tmp_path)
    assert second.returncode == 2
    assert second.stderr == (f"python -m tolva.run: error: another run (PID {runner.pid}) is using the output "
                             f"folder {tmp_path / 'tolva-out'}; wait for it to end or choose another --out\n")
    for signum in signals:
        runner.send_signal(signum)
        time.sleep(0.2)
    out, err = runner.communicate(timeout=60)
    assert runner.returncode == 130, err
    assert "Traceback" not in err
    record = json.loads((tmp_path / "tolva-out/run.json").read_text())
    assert record["interrupted"] is True and {j["status"] for j in record["jobs"]} == {"cancelled"}
    assert not any(process_alive(int(p.read_text())) for p in pid_files)
    assert re.search(r"^slow +0 +0 +0 +0 +2 +[0-9.]+s$", out, re.M)


# --- 9. plans are checked before they are trusted ----------------------------------


def edited(plan, change):
    plan = json.loads(json.dumps(plan))
    change(plan)
    return json.dumps(plan)


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda p: json.dumps(p)[:40], "plan '{file}' is not valid JSON: "),
        (lambda p: "[]", "plan '{file}' is malformed: not a JSON object"),
        (lambda p: edited(p, lambda q: q.pop("workdir")), "plan '{file}' is malformed: no absolute 'workdir'"),
        (lambda p: edited(p, lambda q: q.update(version=7)),
         "plan '{file}' is malformed: version 7; this tolva reads version 2"),
        (lambda p: edited(p, lambda q: q["jobs"][1]["dependencies"].append("ghost")),
         "plan '{file}' is malformed: job 'prices/ticker=AAPL' needs unknown job 'ghost'"),
        (lambda p: edited(p, lambda q: q["jobs"][0].update(id="../../escape")),
         "plan '{file}' is malformed: job '../../escape' is not a safe job id"),
        (lambda p: edited(p, lambda q: q["jobs"][0].update(policy={"timeout": -1})),
         "plan '{file}' is malformed: job 'raw' has a malformed 'policy'"),
        (lambda p: edited(p, lambda q: q["jobs"][1]["inputs"][0].update(mode="maybe", **{"from": ["raw", "raw"]})),
         "plan '{file}' is malformed: job 'prices/ticker=AAPL': input 'data' needs one job or none"),
        (lambda p: edited(p, lambda q: q["jobs"][0].update(output_dir="/tmp/tolva-elsewhere")),
         "plan '{file}' is malformed: job 'raw' writes outside the output folder {out}"),
    ],
)
def test_malformed_plans_are_refused_in_one_line(project, make, message):
    plan = json.loads(tolva(["pipe", "--plan"], project).stdout)
    plan_file = project / "tolva-out/plan.json"
    plan_file.write_text(make(plan))
    before = sorted(p.name for p in project.iterdir())
    result = tolva(["--from-plan", str(plan_file), "--job", "raw"], project)
    assert result.returncode == 2
    expected = message.format(file=plan_file, out=project / "tolva-out")
    assert result.stderr.startswith(f"python -m tolva.run: error: {expected}") and result.stderr.count("\n") == 1
    assert sorted(p.name for p in project.iterdir()) == before
    assert not pathlib.Path("/tmp/tolva-elsewhere").exists()


def test_a_plan_naming_something_else_than_an_asset_runs_nothing(project, tmp_path):
    plan = json.loads(tolva(["pipe", "--plan"], project).stdout)
    victim = tmp_path / "victim"
    victim.mkdir()
    plan["jobs"][0].update(module="shutil", function="rmtree")
    (project / "tolva-out/plan.json").write_text(json.dumps(plan))
    (project / "tolva-out/.tolva/inputs").mkdir(parents=True, exist_ok=True)
    result = tolva(["--from-plan", "tolva-out/plan.json", "--job", "raw"], project)
    assert result.returncode == 2
    assert result.stderr == ("python -m tolva.run: error: job 'raw': 'shutil.rmtree' is not a tolva asset; only "
                             "assets are run\n")
    worker = tolva(["os", "getcwd", "out"], project, module="tolva.worker")
    assert (worker.returncode, worker.stderr) == (
        2, "python -m tolva.worker: error: NotAnAsset: 'os.getcwd' is not a tolva asset; only assets are run\n")


# --- 10. command-line conventions --------------------------------------------------


@pytest.mark.parametrize("module", ["tolva.run", "tolva.inspect", "tolva.worker"])
def test_version(project, module):
    result = tolva(["--version"], project, module=module)
    assert (result.returncode, result.stdout) == (0, f"python -m {module} 0.1.0\n")


def test_python_m_tolva_lists_the_commands(project):
    result = tolva([], project, module="tolva")
    assert result.returncode == 0 and result.stdout.startswith("tolva 0.1.0: ")
    assert all(f"python -m tolva.{c}" in result.stdout for c in ("run", "inspect", "worker"))


@pytest.mark.parametrize(
    "args, status, line",
    [(["pipe", "--out", "afile"], 2, "--out 'afile' is not a directory"),
     (["--from-plan", "missing.json", "--job", "raw"], 2, "cannot read plan 'missing.json': No such file or directory"),
     (["--from-plan", "missing.json", "--report"], 2, "cannot read plan 'missing.json': No such file or directory")],
)
def test_user_errors_are_one_line(project, args, status, line):
    (project / "afile").write_text("")
    result = tolva(args, project)
    assert (result.returncode, result.stderr) == (status, f"python -m tolva.run: error: {line}\n")


class Terminal:
    def isatty(self):
        return True


@pytest.mark.parametrize("no_color, painted", [(None, "\033[31mx\033[0m"), ("1", "x")])
def test_colour_only_on_a_terminal_without_no_color(monkeypatch, no_color, painted):
    if no_color is None:
        monkeypatch.delenv("NO_COLOR", raising=False)
    else:
        monkeypatch.setenv("NO_COLOR", no_color)
    assert summary.Style(Terminal()).failed("x") == painted
    assert summary.Style(sys.stdout if not sys.stdout.isatty() else open(os.devnull)).failed("x") == "x"


# --- the README's tour and the example run without a warning -----------------------

ROOT = pathlib.Path(__file__).resolve().parent.parent


def test_the_readme_tour_runs_as_written_without_a_warning(tmp_path):
    readme = (ROOT / "README.md").read_text()
    tour = readme.split("```python\n", 1)[1].split("```", 1)[0]
    (tmp_path / "mypkg").mkdir()
    (tmp_path / "mypkg/__init__.py").write_text("")
    (tmp_path / "mypkg/assets.py").write_text(tour)
    result = tolva(["mypkg.assets", "--select", "summary", "--jobs", "4", "--out", "results"], tmp_path)
    assert (result.returncode, result.stderr) == (0, "")
    assert json.loads((tmp_path / "results/summary/value.json").read_text()) == 2
    selected = tolva(["--select", "prices/ticker=AAPL", "--select", "summary", "mypkg.assets"], tmp_path)
    assert (selected.returncode, selected.stderr) == (0, "")


def test_the_weather_example_plans_without_a_warning(tmp_path):
    result = tolva(["examples.weather.weather", "--plan", str(tmp_path / "plan.json")], ROOT)
    assert (result.returncode, result.stderr) == (0, "")


def test_worker_prints_no_unrelated_traceback(project):
    (project / "caught.py").write_text(
        "from tolva import asset\n@asset()\ndef ok():\n    try:\n        raise KeyError('handled')\n"
        "    except KeyError:\n        return 1\n")
    result = tolva(["caught", "missing_name", "out"], project, module="tolva.worker")
    assert result.returncode == 1
    assert result.stderr == ("python -m tolva.worker: error: AttributeError: module 'caught' has no attribute "
                             "'missing_name'\n")
