"""Which upstream jobs a partitioned job reads, the graph errors of keys that do not
meet, --select by keys as written, and one name per asset."""

import json
import subprocess
import sys

import pytest

from tolva import plan as planning

ORDERS = '''\
from tolva import asset, partitions

MONTHS = partitions(["2024-01", "2024-02"])
REGIONS = partitions(["north", "south"])


@asset(partitions={"month": MONTHS, "region": REGIONS})
def orders(month, region):
    return {"month": month, "region": region}


@asset()
def rates():
    return 1
'''


def plan_of(make_module, downstream):
    name = make_module(ORDERS + downstream, do_import=False)
    assets = planning.load_assets([name])
    return {job["id"]: job for job in planning.build_plan(assets, "/tmp/o", "/tmp", sys.executable, "/tmp/p")["jobs"]}


@pytest.mark.parametrize(
    "downstream, job_id, mode, reads",
    [
        # A rollup: one dimension of a two-dimension upstream.
        ('@asset(inputs={"x": orders}, partitions={"region": REGIONS})\ndef d(x, region):\n    pass\n',
         "d/region=north", "list", ["orders/month=2024-01/region=north", "orders/month=2024-02/region=north"]),
        # A gather of everything.
        ('@asset(inputs={"x": orders})\ndef d(x):\n    pass\n',
         "d", "list", [f"orders/month={m}/region={r}" for m in ("2024-01", "2024-02") for r in ("north", "south")]),
        # The same dimensions: the one matching job's value.
        ('@asset(inputs={"x": orders}, partitions={"region": REGIONS, "month": MONTHS})\n'
         'def d(x, region, month):\n    pass\n',
         "d/month=2024-02/region=south", "value", ["orders/month=2024-02/region=south"]),
        # More dimensions downstream than upstream: still one value.
        ('@asset(inputs={"x": orders}, partitions={"region": REGIONS, "month": MONTHS, "k": partitions([1, 2])})\n'
         'def d(x, region, month, k):\n    pass\n',
         "d/k=2/month=2024-01/region=north", "value", ["orders/month=2024-01/region=north"]),
        # Dimensions that overlap in part: the upstream jobs that agree on the shared one.
        ('@asset(inputs={"x": orders}, partitions={"region": REGIONS, "kind": partitions(["a"])})\n'
         'def d(x, region, kind):\n    pass\n',
         "d/kind=a/region=south", "list", ["orders/month=2024-01/region=south", "orders/month=2024-02/region=south"]),
        # An unpartitioned upstream matches every job.
        ('@asset(inputs={"x": rates}, partitions={"region": REGIONS})\ndef d(x, region):\n    pass\n',
         "d/region=south", "value", ["rates"]),
    ],
)
def test_a_job_reads_the_upstream_jobs_that_agree_on_shared_dimensions(make_module, downstream, job_id, mode, reads):
    job = plan_of(make_module, downstream)[job_id]
    assert job["inputs"] == [{"parameter": "x", "mode": mode, "from": reads}]
    assert job["dependencies"] == reads


@pytest.mark.parametrize(
    "source, message",
    [
        ('@asset(partitions={"k": partitions(["a", "b"])})\ndef up(k):\n    pass\n'
         '@asset(inputs={"x": up}, partitions={"k": partitions(["a", "b", "c"])})\ndef down(x, k):\n    pass\n',
         "asset 'down': input 'x': key \"c\" of dimension 'k' is not a key of upstream 'up' (its keys: \"a\", \"b\")"),
        ('@asset(partitions={"k": partitions([1, 2]), "j": partitions([0])})\ndef up(k, j):\n    pass\n'
         '@asset(inputs={"x": up}, partitions={"k": partitions([1, 3])})\ndef down(x, k):\n    pass\n',
         "asset 'down': input 'x': key 3 of dimension 'k' is not a key of upstream 'up' (its keys: 1, 2)"),
        ('@asset(partitions={"k": partitions(list(range(20)))})\ndef up(k):\n    pass\n'
         '@asset(inputs={"x": up}, partitions={"k": partitions([99])})\ndef down(x, k):\n    pass\n',
         "asset 'down': input 'x': key 99 of dimension 'k' is not a key of upstream 'up' (its keys: 0, 1, 2, 3, 4, "
         "5, 6, 7, ... (12 more))"),
        ('@asset(partitions={"k": partitions([])})\ndef empty(k):\n    pass\n',
         "asset 'empty': dimension 'k' has no keys, so the asset would have no job; give partitions([...]) at least "
         "one value"),
    ],
)
@pytest.mark.parametrize("mode", [[], ["--plan"]])
def test_keys_that_do_not_meet_are_graph_errors(tmp_path, source, message, mode):
    (tmp_path / "keys.py").write_text("from tolva import asset, partitions\n" + source)
    result = subprocess.run([sys.executable, "-m", "tolva.run", "keys", *mode], cwd=tmp_path, capture_output=True,
                            text=True, timeout=60)
    assert (result.returncode, result.stderr) == (2, f"python -m tolva.run: error: {message}\n")
    assert not (tmp_path / "tolva-out").exists()


SELECTABLE = ORDERS + '''
@asset(partitions={"k": partitions(["Café", "a/b", 1, "1", {"x": [1]}])})
def odd(k):
    pass
'''


@pytest.mark.parametrize(
    "name, selected",
    [
        ("orders/region=south/month=2024-02", ["orders/month=2024-02/region=south"]),
        ("orders/month=2024-02/region=south", ["orders/month=2024-02/region=south"]),
        ("orders/month=2024-02", ["orders/month=2024-02/region=north", "orders/month=2024-02/region=south"]),
        ("odd/k=Café", ["odd/k=Caf%C3%A9"]),
        ("odd/k=Caf%C3%A9", ["odd/k=Caf%C3%A9"]),
        ("odd/k=a/b", ["odd/k=a%2Fb"]),
        ("odd/k=1", ["odd/k=1"]),
        ('odd/k="1"', ["odd/k=%221%22"]),
        ('odd/k={"x":[1]}', ['odd/k={%22x%22%3A[1]}']),
        ("rates", ["rates"]),
    ],
)
def test_select_by_keys_as_written(make_module, name, selected):
    assets = planning.load_assets([make_module(SELECTABLE, do_import=False)])
    plan = planning.build_plan(assets, "/tmp/o", "/tmp", sys.executable, "/tmp/p")
    assert sorted(planning.select_jobs(assets, plan, [name])[1]) == selected


@pytest.mark.parametrize(
    "name, message",
    [
        ("ordrs/region=south", "--select: no asset or job named 'ordrs/region=south'; did you mean 'orders'? "
                               "(known assets: odd, orders, rates)"),
        ("orders/regin=south", "--select 'orders/regin=south': asset 'orders' has no dimension 'regin'; did you mean "
                               "'region'? (its dimensions: month, region)"),
        ("orders/region=sout", "--select 'orders/region=sout': dimension 'region' of asset 'orders' has no key 'sout'; "
                               "did you mean 'south'? (its keys: north, south)"),
        ("orders/south", "--select 'orders/south': 'south' after the asset's name is not DIMENSION=KEY "
                         "(its dimensions: month, region)"),
        ("orders/month=2024-01/month=2024-02", "--select 'orders/month=2024-01/month=2024-02': dimension 'month' "
                                               "is given twice"),
        ("rates/k=1", "--select 'rates/k=1': asset 'rates' has no dimension 'k' (it is not partitioned)"),
    ],
)
def test_select_names_what_it_cannot_find(make_module, name, message):
    assets = planning.load_assets([make_module(SELECTABLE, do_import=False)])
    plan = planning.build_plan(assets, "/tmp/o", "/tmp", sys.executable, "/tmp/p")
    with pytest.raises(planning.GraphError) as raised:
        planning.select_jobs(assets, plan, [name])
    assert str(raised.value) == message


def test_a_rollup_runs_on_its_own_keys_and_shared_names_show_their_module(tmp_path):
    (tmp_path / "sales.py").write_text(ORDERS + '@asset(inputs={"x": orders}, partitions={"region": REGIONS})\n'
                                                'def by_region(x, region):\n    return [r["value"] for r in x]\n')
    (tmp_path / "other.py").write_text("from tolva import asset\n@asset()\ndef rates():\n    return 2\n")
    result = subprocess.run([sys.executable, "-m", "tolva.run", "sales", "other", "--jobs", "1"], cwd=tmp_path,
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    value = json.loads((tmp_path / "tolva-out/by_region/region=north/value.json").read_text())
    assert value == [{"month": "2024-01", "region": "north"}, {"month": "2024-02", "region": "north"}]
    record = json.loads((tmp_path / "tolva-out/run.json").read_text())
    assert sorted({j["asset"] for j in record["jobs"]}) == ["by_region", "orders", "other.rates", "sales.rates"]
    assert "succeeded other.rates " in result.stdout and "\nsales.rates " in result.stdout
    dot = subprocess.run([sys.executable, "-m", "tolva.run", "sales", "other", "--dot"], cwd=tmp_path,
                         capture_output=True, text=True, timeout=60).stdout
    assert '"other.rates" [label="other.rates"];' in dot


def test_a_plan_of_an_older_version_is_refused(tmp_path):
    plan = tmp_path / "plan.json"
    plan.write_text(json.dumps({"version": 1, "workdir": str(tmp_path), "out": str(tmp_path / "o"), "jobs": []}))
    for args in (["--job", "a"], ["--report"]):
        result = subprocess.run([sys.executable, "-m", "tolva.run", "--from-plan", str(plan), *args],
                                capture_output=True, text=True, timeout=60)
        assert (result.returncode, result.stderr) == (2, (
            f"python -m tolva.run: error: plan '{plan}' was written by an older tolva (plan version 1, which maps "
            "partitions differently); plan again with --plan\n"))
