"""An incremental run after an ordinary edit gives exactly the values a run from scratch
gives, reruns only what the edit can change, explains why, and does not depend on the
hash seed, the current directory or where the checkout lives."""

import json
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

HELPERS = '''\
import dataclasses
import datetime
import decimal
import enum
import functools
import os
import pathlib
import sys

RATE = 2
DATE = datetime.date(2024, 1, 1)
PRICE = decimal.Decimal("1.50")
WHERE = pathlib.Path("data")
TAGS = {"a", "b"}


class Color(enum.Enum):
    RED = 1
    BLUE = 2


@dataclasses.dataclass(frozen=True)
class Config:
    factor: int = 3


CONFIG = Config()


class Base:
    bonus = 1

    def extra(self):
        return self.bonus


class Child(Base):
    pass


INSTANCE = Child()


@functools.cache
def cached(x):
    return x + 1


def logged(fn):
    @functools.wraps(fn)
    def wrapper(*args):
        return fn(*args)
    return wrapper


@logged
def wrapped(x):
    return x * 2


def double(x, by=2):
    return x * by


TRIPLE = functools.partial(double, by=3)
REGISTRY = {"double": double}


def hidden(x):
    return x - 1


def dispatch(name, x):
    return getattr(sys.modules[__name__], name)(x)


HERE = os.path.dirname(os.path.abspath(__file__))  # where the checkout is: not part of any value


def capped(x):
    return min(x, capped.cap)


capped.cap = 150


def rounded():
    return str(decimal.Decimal("2.5").quantize(decimal.Decimal("1")))


@functools.singledispatch
def kind(x):
    return "thing"


@kind.register
def _(x: int):
    return "int"


@kind.register
def _(x: str):
    return "str"
'''

PIPELINE = '''\
import os
import pathlib
import subprocess

import pkg.deep.sub
from pkg import bonuses, helpers
from pkg.config import SETTINGS
from tolva import asset, depends_on, partitions


@asset(partitions={"k": partitions([1, 2])})
def base(k, offset=0):
    # a comment inside
    return k + offset


@asset(inputs={"b": base}, partitions={"k": partitions([1, 2])})
def uses(b, k):
    h = helpers
    return {
        "rate": b * h.RATE, "deep": pkg.deep.sub.f(b), "date": str(h.DATE), "price": str(h.PRICE),
        "where": str(h.WHERE), "tags": sorted(h.TAGS), "color": h.Color.RED.value, "factor": h.CONFIG.factor,
        "extra": h.INSTANCE.extra(), "cached": h.cached(b), "wrapped": h.wrapped(b), "triple": h.TRIPLE(b),
        "registry": h.REGISTRY["double"](b), "dispatch": h.dispatch("hidden", b),
    }


@asset(inputs={"rows": uses})
def total(rows):
    count = len(rows)
    return count


@asset(inputs={"rows": base})
def latest(rows):
    """The last base value, and where the helpers live."""
    return [rows[-1]["value"], os.path.basename(helpers.HERE)]


@asset()
def bonus():
    return getattr(bonuses, "BONUS_" + "A")


@asset()
def tricks():
    return [helpers.capped(200), helpers.rounded(), helpers.kind(1)]


@asset()
def configured():
    return SETTINGS["main"]["level"]


@asset()
def probed():
    return [pathlib.Path("flag").exists(), os.access("gate", os.R_OK),
            sorted(k for k in os.environ if k.startswith("TOLVA_OPT_"))]


@depends_on(files=["shelled.txt"])
@asset()
def shelled():
    return subprocess.run(["cat", "shelled.txt"], capture_output=True, text=True, check=True).stdout


@asset()
def late_import():
    from pkg.late import late
    return late(1)


@asset()
def from_file():
    with open("data.txt") as f:
        return f.read()


@asset()
def from_env():
    return os.environ.get("TOLVA_TEST_SETTING", "unset")


@asset()
def listed():
    return sorted(os.listdir("inputs"))


@asset()
def writes_report():
    with open("report.txt", "w") as f:
        f.write("report")
    return 1


@asset(inputs={"b": base}, partitions={"k": partitions([1, 2])}, serializer="npy")
def grid(b, k):
    import numpy
    return numpy.full((2, 2), b * 1.0)


@asset(inputs={"g": grid})
def gridded(g):
    return [float(x["value"].sum()) for x in g]
'''

FILES = {"pkg/__init__.py": "import decimal\n\ndecimal.getcontext().rounding = decimal.ROUND_HALF_EVEN\n",
         "pkg/config.py": "import configparser\nimport os\n\nSETTINGS = configparser.ConfigParser()\n"
                          "SETTINGS.read(os.path.join(os.path.dirname(__file__), 'settings.ini'))\n",
         "pkg/settings.ini": "[main]\nlevel = 1\n", "pkg/bonuses.py": "BONUS_A = 1\nBONUS_B = 2\n", "shelled.txt": "shelled", "pkg/helpers.py": HELPERS, "pkg/deep/__init__.py": "",
         "pkg/deep/sub.py": "FACTOR = 5\n\n\ndef f(x):\n    return x * FACTOR\n",
         "pkg/late.py": "def late(x):\n    return x + 7\n", "pipeline.py": PIPELINE, "data.txt": "first",
         "inputs/a.txt": "a"}
USES = ["uses/k=1", "uses/k=2"]
ALL_USES = USES + ["total"]
GRIDS = ["grid/k=1", "grid/k=2"]

EDITS = [
    # Nothing that can change a value reruns anything.
    ("pipeline.py", "# a comment inside", "# another comment", [], None),
    ("pipeline.py", "return k + offset", "return (k +\n            offset)", [], None),
    ("pkg/helpers.py", "RATE = 2\nDATE", "DATE", [], None),  # moved below, same value
    ("pipeline.py", "import os\n", "import os\nimport json\n", [], None),
    ("pkg/helpers.py", "def hidden", "def unused():\n    return 0\n\n\ndef hidden", [], None),
    ("pipeline.py", "@asset()\ndef late_import", "@asset()\ndef added():\n    return 0\n\n\n@asset()\ndef late_import",
     ["added"], None),
    ("pipeline.py", 'partitions={"k": partitions([1, 2])})\ndef base',
     'partitions={"k": partitions([1, 2, 3])})\ndef base', ["base/k=3", "latest"], None),
    # A helper rewritten to the same result reruns its callers and stops there.
    ("pkg/helpers.py", "return x * by", "return by * x", USES, "uses/k=1: code changed (pkg.helpers.double)"),
    # Everything an asset reaches, however it reaches it.
    ("pkg/helpers.py", "RATE = 2", "RATE = 3", ALL_USES, "uses/k=1: code changed (pkg.helpers.RATE)"),
    ("pkg/deep/sub.py", "FACTOR = 5", "FACTOR = 6", ALL_USES, "uses/k=1: code changed (pkg.deep.sub.FACTOR)"),
    ("pkg/helpers.py", "date(2024, 1, 1)", "date(2025, 1, 1)", ALL_USES, None),
    ("pkg/helpers.py", '"1.50"', '"2.50"', ALL_USES, None),
    ("pkg/helpers.py", 'Path("data")', 'Path("other")', ALL_USES, None),
    ("pkg/helpers.py", '{"a", "b"}', '{"a", "c"}', ALL_USES, None),
    ("pkg/helpers.py", "RED = 1", "RED = 7", ALL_USES, "uses/k=1: code changed (pkg.helpers.Color)"),
    ("pkg/helpers.py", "factor: int = 3", "factor: int = 4", ALL_USES, None),
    ("pkg/helpers.py", "bonus = 1", "bonus = 5", ALL_USES, "uses/k=1: code changed (pkg.helpers.Base)"),
    ("pkg/helpers.py", "return self.bonus", "return self.bonus + 1", ALL_USES, None),
    ("pkg/helpers.py", "return x + 1", "return x + 2", ALL_USES, None),
    ("pkg/helpers.py", "return fn(*args)", "return fn(*args) + 1", ALL_USES, None),
    ("pkg/helpers.py", "return x * 2", "return x * 5", ALL_USES, None),
    ("pkg/helpers.py", "by=3)", "by=4)", ALL_USES, None),
    ("pkg/helpers.py", "return x - 1", "return x - 2", ALL_USES, "uses/k=1: code changed (pkg.helpers.hidden)"),
    ("pkg/late.py", "x + 7", "x + 8", ["late_import"], "late_import: code changed (pkg.late.late)"),
    ("pipeline.py", "offset=0", "offset=10", ["base/k=1", "base/k=2"] + ALL_USES + GRIDS + ["gridded", "latest"],
     None),
    # A value of another format: its bytes are its identity, and its format is part of it.
    ("pipeline.py", "b * 1.0)", "b * 1.0 + 0)", GRIDS, "grid/k=1: code changed (pipeline.grid)"),
    ("pipeline.py", "b * 1.0)", "b * 2.0)", GRIDS + ["gridded"], None),
    ("pipeline.py", 'serializer="npy")', 'serializer="pickle")', GRIDS + ["gridded"],
     "grid/k=1: declaration or partition changed"),
    ("data.txt", "first", "second", ["from_file"], "from_file: file changed (data.txt)"),
    ("env", None, "on", ["from_env", "probed"], "from_env: environment variable changed (TOLVA_TEST_SETTING)"),
    ("inputs/b.txt", None, "b", ["listed"], "listed: file changed (inputs)"),
    ("report.txt", "report", "edited", ["writes_report"], "writes_report: output changed by hand (report.txt)"),
    # Local names and a checkout's location (every row runs in a moved copy) are not values.
    ("pipeline.py", "count", "number", [], None),
    ("pipeline.py", "The last base value", "The newest base value", [], None),
    # The order a gather receives its partitions in is part of its inputs.
    ("pipeline.py", "partitions([1, 2])})\ndef base", "partitions([2, 1])})\ndef base", ["latest"],
     "latest: order of gathered inputs changed (rows)"),
    # Module-level code that is not a definition: every asset touching the module depends on it.
    ("pkg/__init__.py", "ROUND_HALF_EVEN", "ROUND_HALF_UP",
     ["tricks", "bonus", "configured", "late_import", "latest"] + USES, "tricks: module-level code changed (pkg)"),
    ("pkg/helpers.py", "capped.cap = 150", "capped.cap = 100", ["tricks", "latest"] + USES, None),
    ("pkg/helpers.py", 'return "int"', 'return "integer"', ["tricks", "latest"] + USES, None),
    ("pkg/settings.ini", "level = 1", "level = 2", ["configured"], "configured: file changed (pkg/settings.ini)"),
    # Values reached dynamically: every definition of the modules the code touches.
    ("pkg/bonuses.py", "BONUS_A = 1", "BONUS_A = 5", ["bonus"], "bonus: module-level code changed (pkg.bonuses)"),
    # Probes are reads; an environment listed is its names.
    ("flag", None, "", ["probed"], "probed: file changed (flag)"),
    ("gate", None, "", ["probed"], "probed: file changed (gate)"),
    ("env:TOLVA_OPT_FAST", None, "1", ["probed"], "probed: environment variables added or removed"),
    # Same size and time: the change time still tells.
    ("data.txt:same time", "first", "fir5t", ["from_file"], "from_file: file changed (data.txt)"),
    # Read through a subprocess, declared: vouched for while what it declares holds.
    ("shelled.txt", "shelled", "changed", ["shelled"], "shelled: file changed (shelled.txt)"),
]


def tolva(args, cwd, env=None, seed="0"):
    environment = {k: v for k, v in os.environ.items() if k != "TOLVA_TEST_SETTING"}
    environment.update(PYTHONHASHSEED=seed, **(env or {}))
    return subprocess.run([sys.executable, "-m", "tolva.run", *args], cwd=cwd, capture_output=True, text=True,
                          timeout=300, env=environment)


def ran(project, *args, **kwargs):
    result = tolva(["pipeline", "--jobs", "2", *args], project, **kwargs)
    assert result.returncode == 0, result.stdout + result.stderr
    jobs = json.loads((project / "tolva-out/run.json").read_text())["jobs"]
    return sorted(j["id"] for j in jobs if j["status"] != "up-to-date")


def values(out):
    return {str(p.relative_to(out)): p.read_bytes() for p in sorted(out.rglob("value.*"))}


@pytest.fixture(scope="module")
def baseline(tmp_path_factory):
    project = tmp_path_factory.mktemp("baseline") / "project"
    for name, text in FILES.items():
        (project / name).parent.mkdir(parents=True, exist_ok=True)
        (project / name).write_text(text)
    assert len(ran(project)) == 19
    return project


@pytest.mark.parametrize("file, old, new, expected, explained", EDITS, ids=[f"{e[0]}:{e[2]!r}"[:60] for e in EDITS])
def test_an_incremental_run_equals_a_run_from_scratch(baseline, tmp_path, file, old, new, expected, explained):
    project = tmp_path / "moved"
    shutil.copytree(baseline, project)  # a checkout in another place: nothing reruns for that alone
    env = None
    if file.startswith("env"):
        env = {file.partition(":")[2] or "TOLVA_TEST_SETTING": new}
    elif file.endswith(":same time"):
        path = project / file.partition(":")[0]
        times = path.stat()
        path.write_text(path.read_text().replace(old, new))
        os.utime(path, ns=(times.st_atime_ns, times.st_mtime_ns))
    elif old is None:
        (project / file).write_text(new)
    else:
        text = (project / file).read_text()
        assert old in text
        (project / file).write_text(text.replace(old, new) + ("RATE = 2\n" if old == "RATE = 2\nDATE" else ""))
    if explained:
        explanation = tolva(["pipeline", "--explain", "-v"], project, env).stdout
        assert f"runs        {explained}\n" in explanation
    assert ran(project, env=env) == sorted(expected)
    scratch = tolva(["pipeline", "--out", "scratch"], project, env)
    assert scratch.returncode == 0, scratch.stderr
    assert values(project / "tolva-out") == values(project / "scratch")


def test_unchanged_reruns_under_any_hash_seed_or_from_elsewhere_run_nothing(baseline, tmp_path):
    project = tmp_path / "p"
    shutil.copytree(baseline, project)
    for seed in ("1", "2", "random"):
        assert ran(project, seed=seed) == []
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    shutil.copytree(project / "tolva-out", elsewhere / "tolva-out")
    shutil.copytree(project / "inputs", elsewhere / "inputs")
    (elsewhere / "data.txt").write_text("first")
    (elsewhere / "shelled.txt").write_text("shelled")
    env = {"PYTHONPATH": str(project)}
    (project / "pkg/deep/sub.py").write_text("FACTOR = 7\n\n\ndef f(x):\n    return x * FACTOR\n")
    # Relative paths name other files from another folder: those jobs run again.
    relative = ["from_file", "listed", "writes_report", "shelled"]
    explained = tolva(["pipeline", "--explain", "-v"], elsewhere, env).stdout
    assert all(f"runs        {name}: working directory changed (it read a relative path)\n" in explained
               for name in relative)
    assert "runs        probed: environment variables added or removed\n" in explained  # PYTHONPATH
    result = tolva(["pipeline", "--jobs", "2"], elsewhere, env)
    statuses = {j["id"]: j["status"] for j in json.loads((elsewhere / "tolva-out/run.json").read_text())["jobs"]}
    assert result.returncode == 0
    assert sorted(i for i, s in statuses.items() if s != "up-to-date") == sorted(USES + ["total", "probed"] + relative)


def test_a_global_without_a_stable_description_is_named(tmp_path):
    # Loggers, locks and patterns cannot change a value by their nature: no warning for them.
    (tmp_path / "conn.py").write_text(
        "import logging, re, sqlite3, threading\nfrom tolva import asset\nDB = sqlite3.connect(':memory:')\n"
        "LOG = logging.getLogger(__name__)\nLOCK = threading.Lock()\nRLOCK = threading.RLock()\n"
        "WORD = re.compile('[a-z]+')\n\n\n@asset()\ndef rows():\n    with LOCK, RLOCK:\n        LOG.info('rows')\n"
        "        return [WORD.match('abc')[0], DB.execute('select 1').fetchall()]\n")
    result = tolva(["conn", "--plan"], tmp_path)
    assert result.returncode == 0
    assert result.stderr == ("python -m tolva.run: warning: asset 'rows' reads 'DB', a sqlite3.Connection with no stable "
                             "description: a change to it is not seen; run with --force after changing it\n")


@pytest.mark.parametrize(
    "change, reason",
    [
        (lambda out: None, "never run"),
        (lambda out: (out / "from_env/value.json").write_text('"x"'), "output changed by hand"),
        (lambda out: (out / ".tolva/jobs/from_env.json").write_text("{"), "record missing or unreadable"),
        (lambda out: shutil.rmtree(out / ".tolva"), "record missing or unreadable"),
    ],
)
def test_explain_names_a_missing_or_touched_record(baseline, tmp_path, change, reason):
    project = tmp_path / "p"
    shutil.copytree(baseline, project)
    if reason == "never run":
        shutil.rmtree(project / "tolva-out")
    else:
        change(project / "tolva-out")
    before = sorted(p for p in project.rglob("*"))
    result = tolva(["pipeline", "--explain", "-v", "--select", "from_env"], project)
    assert (result.returncode, result.stdout) == (0, f"runs        from_env: {reason}\n\n1 of 1 jobs would run, "
                                                     "0 more if their upstream values change\n")
    assert sorted(p for p in project.rglob("*")) == before
    forced = tolva(["pipeline", "--explain", "-v", "--force", "--select", "from_env"], project).stdout
    assert forced.startswith("runs        from_env: --force\n")
    record = json.loads((pathlib.Path(baseline) / "tolva-out/run.json").read_text())
    assert {j["reason"] for j in record["jobs"]} == {"never run"}


def test_a_job_records_the_code_it_ran_not_the_code_planned(tmp_path):
    (tmp_path / "edited.py").write_text("from tolva import asset\n@asset()\ndef a():\n    return 1\n")
    plan = json.loads(tolva(["edited", "--plan"], tmp_path).stdout)
    (tmp_path / "edited.py").write_text("from tolva import asset\n@asset()\ndef a():\n    return 2\n")
    assert subprocess.run(plan["jobs"][0]["argv"], cwd=tmp_path, capture_output=True).returncode == 0
    assert (tmp_path / "tolva-out/a/value.json").read_text() == "2"
    (tmp_path / "edited.py").write_text("from tolva import asset\n@asset()\ndef a():\n    return 1\n")
    explained = tolva(["edited", "--explain", "-v"], tmp_path).stdout
    assert explained.startswith("runs        a: code changed (edited.a)\n")
    assert tolva(["edited"], tmp_path).returncode == 0
    assert (tmp_path / "tolva-out/a/value.json").read_text() == "1"


def test_a_second_observation_in_one_process_sees_what_the_first_saw(tmp_path, monkeypatch):
    (tmp_path / "twice.py").write_text("def helper():\n    return 1\n\n\ndef main():\n    return helper()\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    import twice

    from tolva import fingerprint, observe

    project = fingerprint.Project([str(tmp_path)])
    seen = []
    for _ in range(2):
        with observe.Observer(project, str(tmp_path / "out"), twice.main) as observer:
            twice.main()
        seen.append(sorted(observer.record(str(tmp_path / "out/x"), fingerprint.CodeFingerprints(project))["functions"]))
    assert seen[0] == seen[1] == ["twice:helper", "twice:main"]
