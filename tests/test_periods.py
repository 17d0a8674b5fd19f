"""Date partitions and selecting by date: keys at the edges of weeks, months, years and
changes of clocks, one-line errors, and --select ranges, globs and graph operators."""

import datetime
import json
import subprocess
import sys

import pytest

from tolva import daily, hourly, periods, policy, previous, window


@pytest.mark.parametrize("kind, start, end, tz, keys", [
    ("daily", "2024-02-28", "2024-03-01", "UTC", ["2024-02-28", "2024-02-29", "2024-03-01"]),
    ("daily", datetime.date(2024, 12, 31), "2025-01-01", "UTC", ["2024-12-31", "2025-01-01"]),
    ("weekly", "2024-12-25", "2025-01-08", "UTC", ["2024-W52", "2025-W01", "2025-W02"]),
    ("weekly", "2024-W52", "2025-W01", "UTC", ["2024-W52", "2025-W01"]),
    ("monthly", "2023-11", "2024-02-15", "UTC", ["2023-11", "2023-12", "2024-01", "2024-02"]),
    ("hourly", "2024-03-01T22:30", "2024-03-02T00:00", "UTC",
     ["2024-03-01T22:00+00:00", "2024-03-01T23:00+00:00", "2024-03-02T00:00+00:00"]),
    # Clocks back: 01:00 twice, two keys; clocks forward: no 02:00.
    ("hourly", "2024-11-03T00:00", "2024-11-03T02:00", "America/New_York",
     ["2024-11-03T00:00-04:00", "2024-11-03T01:00-04:00", "2024-11-03T01:00-05:00", "2024-11-03T02:00-05:00"]),
    ("hourly", "2024-03-10T01:00", "2024-03-10T03:00", "America/New_York",
     ["2024-03-10T01:00-05:00", "2024-03-10T03:00-04:00"]),
    ("daily", "2024-03-01", "2024-03-01", "Asia/Tokyo", ["2024-03-01"]),
])
def test_period_keys(kind, start, end, tz, keys):
    assert periods.period_keys(kind, start, end, tz) == keys


def test_no_end_means_the_last_complete_period():
    yesterday = datetime.datetime.now(datetime.timezone.utc).date() - datetime.timedelta(days=1)
    keys = periods.period_keys("daily", yesterday - datetime.timedelta(days=2))
    assert keys[-1] == yesterday.isoformat() and len(keys) == 3
    this_month = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m")
    assert this_month not in periods.period_keys("monthly", "2020-01")


@pytest.mark.parametrize("call, error, message", [
    (lambda: daily("2024-03-05", "2024-03-01"), ValueError, "daily(): end '2024-03-01' is before start '2024-03-05'"),
    (lambda: daily("March 1st"), ValueError, "daily(): start 'March 1st' is not a date (YYYY-MM-DD)"),
    (lambda: daily("2024-01-01", tz="Mars/Olympus"), ValueError, "daily(): unknown time zone 'Mars/Olympus'"),
    (lambda: daily(20240101), TypeError, "daily(): start must be a date, a datetime or ISO text, not int"),
    (lambda: previous(42, "day"), TypeError,
     "previous(): upstream must be an @asset-decorated function or an asset's name, not int"),
    (lambda: window("total", "day", 0), ValueError, "window(): size must be a positive int, not 0"),
    (lambda: policy(timeout=0), ValueError, "policy(): timeout must be a positive number of seconds, not 0"),
    (lambda: policy(retries=1.5), ValueError, "policy(): retries must be an int of 0 or more, not 1.5"),
    (lambda: policy(retry_delay=-1), ValueError, "policy(): retry_delay must be a number of seconds, 0 or more, not -1"),
    (lambda: daily("2024-01-01", tz=5), TypeError, "daily(): tz must be a time zone name such as 'Europe/Paris', not int"),
    (lambda: previous("total", "day", offset=1.5), TypeError, "previous(): offset must be an int, not float"),
    (lambda: previous("total", ""), TypeError, "previous(): dimension must be a dimension's name, not ''"),
    (lambda: hourly("1850-01-01T00:00", "2024-01-01T00:00"), ValueError,
     "hourly(): more than 1,000,000 periods from '1850-01-01T00:00'"),
])
def test_bad_declarations_are_one_line(call, error, message):
    with pytest.raises(error) as caught:
        call()
    assert str(caught.value) == message


DAILY = '''\
from tolva import asset, daily, partitions


@asset(partitions={"day": daily("2024-02-27", "2024-03-03")})
def day_total(day):
    return day


@asset(inputs={"days": day_total})
def week(days):
    return len(days)


@asset(inputs={"w": week})
def report(w):
    return w


@asset(partitions={"n": partitions([1, 2, 10])})
def numbered(n):
    return n


@asset(partitions={"k": partitions([1, "a"])})
def mixed(k):
    return k
'''


DAYS = [f"day_total/day={d}" for d in ("2024-02-27", "2024-02-28", "2024-02-29", "2024-03-01", "2024-03-02",
                                         "2024-03-03")]


@pytest.mark.parametrize("selection, jobs", [
    (["day_total/day=2024-03-01..2024-03-02"], DAYS[3:5]),
    (["day_total/day=2024-03-0*"], DAYS[3:]),
    (["day_total/day=..2024-02-27", "numbered/n=2..10"], DAYS[:1] + ["numbered/n=10", "numbered/n=2"]),
    (["day_total/day=2024-03-03+1"], DAYS + ["week"]),  # week needs every day
    (["day_total/day=2024-03-03+"], DAYS + ["week", "report"]),
    (["+week"], DAYS + ["week"]),
    (["week+"], DAYS + ["week", "report"]),
])
def test_select_ranges_globs_and_downstream(tmp_path, selection, jobs):
    (tmp_path / "days.py").write_text(DAILY)
    args = [arg for name in selection for arg in ("--select", name)]
    result = subprocess.run([sys.executable, "-m", "tolva.run", "days", *args, "--plan", "p.json"], cwd=tmp_path,
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert sorted(job["id"] for job in json.loads(result.stdout)["jobs"]) == sorted(jobs)


@pytest.mark.parametrize("selection, message", [
    ("numbered/n=a..b", "--select: 'a..b' is not a range of dimension 'n' of asset 'numbered' (FIRST..LAST, numbers)"),
    ("day_total/day=2025-*", "--select 'day_total/day=2025-*': dimension 'day' of asset 'day_total' has no key '2025-*'"),
    ("mixed/k=1..2", "--select: dimension 'k' of asset 'mixed' is not ordered (its keys are not all numbers or all "
                     "text): it takes no range"),
])
def test_a_selection_that_cannot_be_made_is_a_graph_error(tmp_path, selection, message):
    (tmp_path / "days.py").write_text(DAILY)
    result = subprocess.run([sys.executable, "-m", "tolva.run", "days", "--select", selection, "--plan", "p.json"],
                            cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert result.returncode == 2 and result.stderr.startswith(f"python -m tolva.run: error: {message}")
    assert not (tmp_path / "tolva-out").exists()


ROLLING = '''\
import pathlib

from tolva import asset, daily, partitions, policy, previous, window

DAYS = daily("2024-03-01", "2024-03-06")


@asset(partitions={"day": DAYS})
def total(day):
    return int(pathlib.Path("data", day).read_text())


@asset(inputs={"yesterday": previous(total, "day"), "week": window(total, "day", 3)}, partitions={"day": DAYS})
def rolling(yesterday, week, day):
    return [yesterday, [item["partition"]["day"][-2:] for item in week], sum(item["value"] for item in week)]


@asset(inputs={"ahead": previous("total", "day", offset=2)}, partitions={"day": DAYS})
def ahead(ahead, day):
    return ahead
'''


def run_rolling(project, *args):
    result = subprocess.run([sys.executable, "-m", "tolva.run", "rolling", *args], cwd=project, capture_output=True,
                            text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    return result


@pytest.fixture
def rolling(tmp_path):
    (tmp_path / "data").mkdir()
    for day in range(1, 7):
        (tmp_path / "data" / f"2024-03-0{day}").write_text(str(day))
    (tmp_path / "rolling.py").write_text(ROLLING)
    run_rolling(tmp_path)
    return tmp_path


def test_previous_and_window_inputs_at_the_edges_and_incrementally(rolling):
    def value(job):
        return json.loads((rolling / "tolva-out" / job / "value.json").read_text())

    # The first day has no yesterday and a shorter window; offsets past the end are None.
    assert value("rolling/day=2024-03-01") == [None, ["01"], 1]
    assert value("rolling/day=2024-03-04") == [3, ["02", "03", "04"], 9]
    assert [value(f"ahead/day=2024-03-0{d}") for d in (1, 5)] == [3, None]
    (rolling / "data/2024-03-05").write_text("50")
    explained = run_rolling(rolling, "--explain", "-v").stdout
    assert "runs        total/day=2024-03-05: file changed (data/2024-03-05)\n" in explained
    run_rolling(rolling)
    records = json.loads((rolling / "tolva-out/run.json").read_text())["jobs"]
    assert sorted(j["id"] for j in records if j["status"] != "up-to-date") == [
        "ahead/day=2024-03-03", "rolling/day=2024-03-05", "rolling/day=2024-03-06", "total/day=2024-03-05"]
    dot = run_rolling(rolling, "--dot").stdout
    assert '"total" -> "rolling" [label="yesterday (previous day -1)"];' in dot


@pytest.mark.parametrize("declaration, message", [
    ('previous(total, "region")', "asset 'rolling': input 'yesterday' (previous of 'total' by 'region'): 'total' has "
                                  "no dimension 'region'"),
    ('window(total, "n", 2)', "asset 'rolling': input 'yesterday' (window of 'total' by 'n'): dimension 'n' of "
                              "'total' is not ordered (its keys must be numbers or text in increasing order, as "
                              "daily() and the other period helpers give)"),
    ('"total|window(n, 0)"', "asset 'rolling': input 'yesterday' (window of 'total' by 'n'): a window holds at least "
                             "one period, not 0"),
    ('previous("wide", "n")', "asset 'rolling': input 'yesterday' (previous of 'wide' by 'n'): 'wide' has "
                              "dimensions 'rolling' does not: m"),
])
def test_a_period_input_that_cannot_be_mapped_is_a_graph_error(tmp_path, declaration, message):
    (tmp_path / "rolling.py").write_text(
        'from tolva import asset, partitions, previous, window\n\n\n'
        '@asset(partitions={"n": partitions([3, 1, 2])})\ndef total(n):\n    return n\n\n\n'
        '@asset(partitions={"n": partitions([3, 1, 2]), "m": partitions([0])})\ndef wide(n, m):\n    return n\n\n\n'
        f'@asset(inputs={{"yesterday": {declaration}}}, partitions={{"n": partitions([3, 1, 2])}})\n'
        'def rolling(yesterday, n):\n    return yesterday\n')
    result = subprocess.run([sys.executable, "-m", "tolva.run", "rolling"], cwd=tmp_path, capture_output=True,
                            text=True, timeout=120)
    assert result.returncode == 2 and f"error: {message}" in result.stderr
    assert not (tmp_path / "tolva-out").exists()


@pytest.mark.parametrize("executor", ["local", "interpreter", "worker"])
def test_per_asset_retries_and_timeout(tmp_path, executor):
    (tmp_path / "slow.py").write_text(
        "import time\nfrom tolva import asset, policy\n\n\n@policy(timeout=0.5, retries=1, retry_delay=0)\n"
        "@asset()\ndef slow():\n    time.sleep(30)\n\n\n@policy(timeout=0.5)\n@asset()\ndef stubborn():\n"
        "    while True:\n        try:\n            time.sleep(30)\n        except TimeoutError:\n            pass\n")
    args = ["--isolation", executor] if executor != "local" else []
    result = subprocess.run([sys.executable, "-m", "tolva.run", "slow", *args], cwd=tmp_path, capture_output=True,
                            text=True, timeout=120)
    assert result.returncode == 1
    jobs = {j["id"]: j for j in json.loads((tmp_path / "tolva-out/run.json").read_text())["jobs"]}
    assert [jobs["slow"]["attempts"], jobs["stubborn"]["attempts"]] == [2, 1]
    assert {j["error"].rpartition(": ")[2] for j in jobs.values()} == {"timed out after 0.5 s"}
