"""Incremental runs, each measure against a baseline taken in the same run, in the order
baseline, candidate, candidate, baseline (repeated; medians):

- the weather example's unchanged run against importing its module and tolva in a
  fresh interpreter (target: at most 1.5 times);
- a 1,000-asset project's unchanged run, under a new random hash seed each time,
  against its first run (target: at most 0.15);
- the throughput of trivial jobs with what a job observes while its asset runs
  against the same run with observing switched off (target: at least 0.95).
"""

import os
import pathlib
import sys
import tempfile

from timing import abba, timed

ROOT = pathlib.Path(__file__).resolve().parent.parent
ROUNDS = int(os.environ.get("TOLVA_BENCH_ROUNDS", "6"))

THOUSAND = """
from tolva import asset

LIMIT = 10
NAMES = ("a", "b", "c")
TAGS = {"x", "y"}


def clean(x):
    return min(x, LIMIT)


class Shape:
    def area(self, x):
        return clean(x) * len(NAMES) + len(TAGS)

""" + "".join(f"@asset()\ndef asset_{i}():\n    return Shape().area({i}) + clean({i})\n\n" for i in range(1000))

TRIVIAL = """
from tolva import asset, partitions

@asset(partitions={"n": partitions(list(range(400)))})
def job(n):
    return n
"""

# Put on PYTHONPATH, it switches observing off in every process of a run.
NO_OBSERVING = """
import tolva.observe as observe
observe.Observer.__enter__ = lambda self: self
observe.Observer.__exit__ = lambda self, *exc_info: False
observe.Observer.record = lambda self, own_dir, codes: {
    "functions": {}, "files": {}, "folders": {}, "outputs": {}, "environment": {}}
"""



def run(module, out, cwd, env=None):
    return timed([sys.executable, "-m", "tolva.run", module, "--out", out], cwd, env)



def weather(directory):
    out = f"{directory}/weather"
    run("examples.weather.weather", out, ROOT)
    imports = [sys.executable, "-c", "import tolva, examples.weather.weather"]
    base, cand = abba(lambda: timed(imports, ROOT), lambda: run("examples.weather.weather", out, ROOT), ROUNDS * 2)
    print(f"weather example: unchanged run {cand * 1e3:.1f} ms, importing its module and tolva {base * 1e3:.1f} ms; "
          f"ratio {cand / base:.2f} (target <= 1.5)")


def thousand(directory):
    project = pathlib.Path(directory, "thousand")
    project.mkdir()
    (project / "thousand.py").write_text(THOUSAND)
    firsts = iter(range(100))
    seeds = iter(range(1, 1000))

    def first():
        return run("thousand", f"first-{next(firsts)}", project, dict(os.environ, PYTHONHASHSEED=str(next(seeds))))

    run("thousand", "again", project)

    def unchanged():
        return run("thousand", "again", project, dict(os.environ, PYTHONHASHSEED=str(next(seeds))))

    base, cand = abba(first, unchanged, 2)
    print(f"1,000 assets: unchanged run {cand * 1e3:.0f} ms under new hash seeds, first run {base * 1e3:.0f} ms; "
          f"ratio {cand / base:.3f} (target <= 0.15)")


def observing(directory):
    project = pathlib.Path(directory, "trivial")
    (project / "off").mkdir(parents=True)
    (project / "trivial.py").write_text(TRIVIAL)
    (project / "off" / "sitecustomize.py").write_text(NO_OBSERVING)
    off_env = dict(os.environ, PYTHONPATH=str(project / "off"))
    counter = iter(range(1000))

    def trivial(env):
        return timed([sys.executable, "-m", "tolva.run", "trivial", "--jobs", "2", "--out", f"o{next(counter)}"],
                     project, env)

    base, cand = abba(lambda: trivial(off_env), lambda: trivial(None), 4)
    print(f"trivial jobs: {400 / cand:.1f} jobs/s observing, {400 / base:.1f} jobs/s not observing; "
          f"ratio {base / cand:.3f} (target >= 0.95)")


def main():
    with tempfile.TemporaryDirectory() as directory:
        weather(directory)
        thousand(directory)
        observing(directory)


if __name__ == "__main__":
    main()
