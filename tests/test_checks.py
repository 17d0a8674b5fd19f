"""Asset checks: what a check's return means, a blocking failure skipping what reads
the asset, a non-blocking one a warning, checks found up to date or run again alone,
taken along by --select, and declarations refused before anything runs."""

import json
import subprocess
import sys

import pytest

from tolva import CheckResult, checks


@pytest.mark.parametrize("body, passed, message, metadata", [
    ("return True", True, "", None),
    ("return False", False, "returned False", None),
    ("return CheckResult(False, '3 rows with total < 0\\nmore', {'rows': 3})", False, "3 rows with total < 0",
     {"rows": 3}),
    ("return {'passed': True, 'message': 'fine'}", True, "fine", None),
    ("raise ValueError('no column total')", False, "ValueError: no column total", None),
    ("return 1", False, "returned 1, not True, False or a CheckResult", None),
    ("return (False, f'{region} is empty')", False, "north is empty", None),
    ("return CheckResult(True, 'ok', {'when': object})", False, "its metadata cannot be stored as JSON: Object of "
     "type type is not JSON serializable", None),
])
def test_what_a_check_returns(body, passed, message, metadata):
    scope = {"CheckResult": CheckResult}
    exec(f"def probe(value, region):\n    {body}\n", scope)
    result, _ = checks.evaluate(scope["probe"], [1], {"region": "north"})
    assert result == {"passed": passed, "message": message, "metadata": metadata}


@pytest.mark.parametrize("signature, receives", [
    ("rows", ("rows", [])),
    ("rows, region", ("rows", ["region"])),
    ("rows, /, *, partition", ("rows", ["partition"])),
    ("rows, **keys", ("rows", ["region", "month"])),
    ("rows, limit=3", ("rows", [])),
])
def test_what_a_check_receives(signature, receives):
    scope = {}
    exec(f"def probe({signature}): pass", scope)
    assert checks.receivers(scope["probe"], ["region", "month"]) == receives
    assert checks.keywords(["region", "partition"], {"region": "n", "month": "1"}) == {
        "region": "n", "partition": {"region": "n", "month": "1"}}


SHOP = '''\
import os
from tolva import CheckResult, asset, check, partitions

@asset(partitions={"region": partitions(["north", "south"])})
def orders(region):
    return [{"total": -1}, {"total": -2}, {"total": -3}] if region == os.environ.get("BAD") else [{"total": 5}]

@check(orders)
def no_negative_totals(rows):
    bad = sum(1 for row in rows if row["total"] < 0)
    return CheckResult(bad == 0, f"{bad} rows with total < 0", {"rows": bad})

@check(orders, blocking=False)
def not_tiny(rows, region):
    return len(rows) > LIMIT

LIMIT = 1

@asset(inputs={"rows": orders})
def total(rows):
    return sum(row["total"] for item in rows for row in item["value"])
'''


def run(project, *args, env=None):
    import os

    result = subprocess.run([sys.executable, "-m", "tolva.run", "shop", *args], cwd=project, capture_output=True,
                            text=True, timeout=120, env=dict(os.environ, **(env or {})))
    record = json.loads((project / "tolva-out/run.json").read_text()) if "--explain" not in args else None
    return result, record


def statuses(record):
    return {job["id"]: job["status"] for job in record["jobs"]}


@pytest.fixture
def shop(tmp_path):
    (tmp_path / "shop.py").write_text(SHOP)
    return tmp_path


def test_a_blocking_check_that_fails_skips_what_reads_the_asset(shop):
    result, record = run(shop, env={"BAD": "south"})
    assert result.returncode == 1
    skipped = [job for job in record["jobs"] if job["status"] == "skipped"]
    assert [(job["id"], job["reason"]) for job in skipped] == [
        ("total", "check 'no_negative_totals' of 'orders' failed: 3 rows with total < 0")]
    failed = next(job for job in record["jobs"] if job["status"] == "failed")
    assert failed["id"] == "orders/region=south/check=no_negative_totals"
    assert failed["check"] == {"name": "no_negative_totals", "blocking": True, "passed": False,
                               "message": "3 rows with total < 0"}
    said = json.loads((shop / "tolva-out/orders/region=south/check=no_negative_totals/value.json").read_text())
    assert said == {"passed": False, "message": "3 rows with total < 0", "metadata": {"rows": 3}}
    assert "1 failed, 1 not run, 1 check failed (not blocking)" in result.stdout.splitlines()[-2]


def test_checks_incrementally_and_by_selection(shop):
    first, record = run(shop)
    assert first.returncode == 0 and len(record["jobs"]) == 7
    warned = [job["id"] for job in record["jobs"] if (job.get("check") or {}).get("passed") is False]
    assert warned == ["orders/region=north/check=not_tiny", "orders/region=south/check=not_tiny"]
    assert "2 checks failed (not blocking)" in first.stdout
    # Editing only a check runs only that check; an up-to-date one still says it failed.
    (shop / "shop.py").write_text(SHOP.replace("return len(rows) > LIMIT", "return len(rows) >= LIMIT"))
    again, record = run(shop)
    assert again.returncode == 0
    assert {job_id for job_id, status in statuses(record).items() if status != "up-to-date"} == {
        "orders/region=north/check=not_tiny", "orders/region=south/check=not_tiny"}
    explained, _ = run(shop, "--explain", "-v")
    assert "runs" not in explained.stdout.split("\n\n")[0]
    # An asset's selection takes its checks along; what it needs waits for blocking ones only.
    _, record = run(shop, "--select", "orders/region=north", "--force")
    assert sorted(statuses(record)) == ["orders/region=north", "orders/region=north/check=no_negative_totals",
                                        "orders/region=north/check=not_tiny"]
    dot = subprocess.run([sys.executable, "-m", "tolva.run", "shop", "--dot"], cwd=shop, capture_output=True,
                         text=True, timeout=60).stdout
    assert '"orders" -> "orders [check not_tiny]" [style=dashed];' in dot
    _, record = run(shop, "--select", "total")
    assert sorted(statuses(record)) == ["orders/region=north", "orders/region=north/check=no_negative_totals",
                                        "orders/region=south", "orders/region=south/check=no_negative_totals",
                                        "total"]


@pytest.mark.parametrize("declaration, message", [
    ("def plain(): return 1\n@check(plain)\ndef c(v): return True",
     "check 'c' (shop.c) is of function 'plain', which is not an asset"),
    ("@check('ordres')\ndef c(v): return True",
     "check 'c' (shop.c) is of 'ordres', which is not an asset of the inspected modules; did you mean 'orders'?"),
    ("@check(orders)\ndef c(): return True", "check 'c' of 'orders' cannot receive the value: it takes no "
     "positional parameter"),
    ("@check(orders)\ndef c(v, limit): return True", "check 'c' of 'orders' cannot receive the value: its parameter "
     "'limit' is neither the value nor a dimension of the asset (region)"),
    ("@check(orders, name='not_tiny')\ndef c(v): return True",
     "asset 'orders' has two checks named 'not_tiny': shop.not_tiny and shop.c"),
])
def test_a_check_that_cannot_be_planned_is_a_graph_error(shop, declaration, message):
    (shop / "shop.py").write_text(SHOP + declaration + "\n")
    result = subprocess.run([sys.executable, "-m", "tolva.run", "shop"], cwd=shop, capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 2 and not (shop / "tolva-out").exists()
    assert f"python -m tolva.run: error: {message}" in result.stderr.splitlines()[0]


@pytest.mark.parametrize("call, message", [
    (lambda: checks.check("orders", blocking="yes"), "check(): blocking must be True or False, not 'yes'"),
    (lambda: checks.check("orders", name=""), "check(): name must be a non-empty str, not ''"),
    (lambda: checks.check("orders")(len), "check() decorates a function, not builtin_function_or_method"),
])
def test_bad_check_calls_are_one_line(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == message


def test_a_check_that_hangs_is_stopped_by_its_policy(tmp_path):
    (tmp_path / "shop.py").write_text(SHOP.replace("@check(orders)\n", "@policy(timeout=0.5)\n@check(orders)\n").replace(
        "bad = sum(", "__import__('time').sleep(30)\n    bad = sum(").replace(
        "from tolva import", "from tolva import policy,"))
    result, record = run(tmp_path)
    assert result.returncode == 1
    failed = [(job["id"], job["error"]) for job in record["jobs"] if job["status"] == "failed"]
    assert failed == [(f"orders/region={region}/check=no_negative_totals", "check 'no_negative_totals' of 'orders' "
                       "failed: TimeoutError: timed out after 0.5 s") for region in ("north", "south")]


def test_checks_kept_in_a_module_of_their_own_are_found(shop):
    """A check module the pipeline imports, or imports from, is the pipeline's: each
    check found once, named by its own module."""
    (shop / "quality.py").write_text("from tolva import check\nfrom shop import orders\n\n\n"
                                     "@check(orders, blocking=False)\ndef small(rows):\n    return len(rows) < 9\n")
    (shop / "shop.py").write_text(SHOP + "\nimport quality\nfrom quality import small\n")
    result, record = run(shop)
    assert result.returncode == 0, result.stderr
    assert [job["id"] for job in record["jobs"] if job["id"].endswith("check=small")] == [
        "orders/region=north/check=small", "orders/region=south/check=small"]
    plan = json.loads((shop / "tolva-out/plan.json").read_text())
    assert {(job["module"], job["function"]) for job in plan["jobs"] if job["id"].endswith("check=small")} == {
        ("quality", "small")}


@pytest.mark.parametrize("change, code, message", [
    (lambda job: job.update(function="LIMIT"), 2,
     "job 'orders/region=north/check=not_tiny': 'shop.LIMIT' is not a tolva check; only checks and assets are run"),
    (lambda job: job.update(check={"name": "not_tiny"}), 2,
     "plan '{plan}' is malformed: job 'orders/region=north/check=not_tiny' has a malformed 'check'"),
])
def test_a_check_job_of_an_edited_plan_is_refused(shop, change, code, message):
    assert run(shop)[0].returncode == 0  # the values the check reads
    plan_file = shop / "tolva-out/plan.json"
    plan = json.loads(plan_file.read_text())
    job = next(job for job in plan["jobs"] if job["id"] == "orders/region=north/check=not_tiny")
    change(job)
    plan_file.write_text(json.dumps(plan))
    result = subprocess.run(job["argv"], cwd=shop, capture_output=True, text=True, timeout=60)
    assert result.returncode == code
    assert result.stderr.splitlines()[-1] == "python -m tolva.run: error: " + message.format(plan=plan_file)
