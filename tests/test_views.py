"""Views of a run from outside it: the values tolva.load vouches for, and the history of
the runs of an output folder."""

import json
import subprocess
import sys

import pytest

import tolva

PIPE = '''\
import os
from tolva import asset, partitions


@asset(partitions={"city": partitions(["Oslo", "Lima"]), "year": partitions([2024, 2025])})
def visits(city, year):
    if os.environ.get("BREAK") == city:
        raise ValueError("no data")
    return {"city": city, "year": year}


@asset(inputs={"rows": visits})
def total(rows):
    return len(rows)
'''


def tolva_run(project, *args, **env):
    return subprocess.run([sys.executable, "-m", "tolva.run", "views", *args], cwd=project, capture_output=True,
                          text=True, timeout=120, env=dict(__import__("os").environ, **env))


@pytest.fixture(scope="module")
def project(tmp_path_factory):
    project = tmp_path_factory.mktemp("views")
    (project / "views.py").write_text(PIPE)
    assert tolva_run(project).returncode == 0
    assert tolva_run(project, "--select", "visits/city=Lima", BREAK="Lima").returncode == 1
    return project


@pytest.mark.parametrize(
    "asset, partition, expected",
    [
        ("total", None, 4),
        ("visits", {"city": "Oslo", "year": 2025}, {"city": "Oslo", "year": 2025}),
        ("views:visits", {"year": 2024, "city": "Oslo"}, {"city": "Oslo", "year": 2024}),
        ("visit", None, "no asset 'visit' in the plan of {out}; did you mean 'visits'?"),
        ("visits", {"city": "Rome", "year": 2024}, "asset 'visits' has no job for partition {{'city': 'Rome', "
                                                   "'year': 2024}}: dimension 'city' has no key \"Rome\" (its keys: "
                                                   "Lima, Oslo)"),
        ("visits", {"city": "Olso", "year": 2024}, "asset 'visits' has no job for partition {{'city': 'Olso', "
                                                   "'year': 2024}}: dimension 'city' has no key \"Olso\"; did you "
                                                   "mean 'Oslo'? (its keys: Lima, Oslo)"),
        ("visits", {"city": "Oslo"}, "asset 'visits' has no job for partition {{'city': 'Oslo'}} (its dimensions: "
                                     "city, year)"),
        ("visits", {"city": "Lima", "year": 2024}, "job 'visits/city=Lima/year=2024' did not succeed in its last run "
                                                   "(failed: ValueError: no data)"),
    ],
)
def test_load_returns_only_what_a_record_vouches_for(project, asset, partition, expected):
    out = project / "tolva-out"
    if isinstance(expected, str):
        with pytest.raises(tolva.ValueNotAvailable) as raised:
            tolva.load(asset, partition, out=out)
        assert str(raised.value) == expected.format(out=out)
    else:
        assert tolva.load(asset, partition, out=str(out)) == expected


def test_load_refuses_a_value_changed_by_hand(project, tmp_path):
    import shutil

    shutil.copytree(project / "tolva-out", tmp_path / "out")
    (tmp_path / "out/total/value.json").write_text("5")
    with pytest.raises(LookupError, match="is not the value its last success recorded"):
        tolva.load("total", out=tmp_path / "out")


def test_history_lists_the_runs_newest_first(project):
    result = subprocess.run([sys.executable, "-m", "tolva.run", "--history"], cwd=project, capture_output=True,
                            text=True, timeout=60)
    lines = result.stdout.splitlines()
    assert result.returncode == 0 and len(lines) == 3
    assert lines[0].split() == ["started", "took", "state", "run", "succeeded", "up-to-date", "failed", "skipped",
                                "cancelled", "selection", "page"]
    latest = json.loads((project / "tolva-out/run.json").read_text())
    page = min((project / "tolva-out/.tolva/runs").glob("*.html"))  # the older run's
    assert lines[1].split()[2:-1] == ["failed", latest["run_id"], "0", "0", "2", "0", "0", "visits/city=Lima"]
    assert lines[2].split()[2:] == ["succeeded", page.name.split("-", 1)[1][:-5], "5", "0", "0", "0", "0",
                                    "everything", str(page.relative_to(project))]
    assert lines[1].split()[1].endswith("s") and "." in lines[1].split()[1]
    assert latest["selection"] == ["visits/city=Lima"] and len(list((project / "tolva-out/.tolva/runs").glob("*.json"))) == 2


def test_progress_names_running_jobs_and_sums_up_to_date_ones(tmp_path):
    (tmp_path / "slowish.py").write_text(
        "import time\nfrom tolva import asset, partitions\n"
        "@asset(partitions={'n': partitions([1, 2, 3])})\ndef slowish(n):\n    time.sleep(1.5 if n == 3 else 0)\n"
        "    return n\n")
    command = [sys.executable, "-m", "tolva.run", "slowish", "--jobs", "3"]
    first = subprocess.run(command, cwd=tmp_path, capture_output=True, text=True, timeout=60)
    lines = first.stdout.split("\n\n")[0].splitlines()
    assert sorted(line.split()[:2] for line in lines) == [["succeeded", f"slowish/n={n}"] for n in (1, 2, 3)]
    again = subprocess.run(command, cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert again.stdout.split("\n\n")[0] == "up-to-date: 3 jobs"
    (tmp_path / "slowish.py").write_text((tmp_path / "slowish.py").read_text().replace("return n", "return n + 1"))
    terminal = subprocess.run(["script", "-q", "-c", " ".join(command + ["-v"]), "/dev/null"], cwd=tmp_path,
                              capture_output=True, text=True, timeout=60)
    assert "1 running: slowish/n=3 " in terminal.stdout and "succeeded slowish/n=3" in terminal.stdout


def test_load_takes_the_asset_itself_and_nothing_else(project):
    import importlib.util

    spec = importlib.util.spec_from_file_location("views", project / "views.py")
    views = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(views)
    # The latest run was of a selection, which planned visits of Lima only.
    assert tolva.load(views.total, out=project / "tolva-out") == 4
    assert tolva.load(views.visits, {"city": "Oslo", "year": 2024}, out=project / "tolva-out")["year"] == 2024
    for wrong in (None, 42, views.total.__tolva_original__):
        with pytest.raises(TypeError, match="^tolva.load: asset must be an asset or its name, not "):
            tolva.load(wrong, out=project / "tolva-out")


@pytest.mark.parametrize("edit, message", [
    # The latest run skipped it: its earlier value is not vouched for by that run.
    ({"BREAK": "Oslo"}, "job 'total' was skipped in the latest run that planned it; its value is from an earlier run"),
    # A partition taken out of the code is no longer part of the pipeline.
    ({"LIMA": "gone"}, "asset 'visits' has no job for partition {'city': 'Lima', 'year': 2024}: it is no longer part "
                       "of the pipeline"),
])
def test_load_refuses_what_the_latest_run_did_not_vouch_for(project, tmp_path, edit, message):
    import shutil

    shutil.copytree(project, tmp_path / "p")
    if "LIMA" in edit:
        (tmp_path / "p/views.py").write_text(PIPE.replace('["Oslo", "Lima"]', '["Oslo"]'))
    assert tolva_run(tmp_path / "p", **{k: v for k, v in edit.items() if k == "BREAK"}).returncode in (0, 1)
    asset, partition = ("total", None) if "BREAK" in edit else ("visits", {"city": "Lima", "year": 2024})
    with pytest.raises(tolva.ValueNotAvailable) as raised:
        tolva.load(asset, partition, out=tmp_path / "p/tolva-out")
    assert str(raised.value) == message
