"""Incremental runs: the weather example's second, unchanged run against its first
run, timed in the order first, second, second, first (each first run into a fresh
folder); target: the second run under 15% of the first. Then the cost of the code
fingerprints, for the weather example and for a module of 1,000 assets sharing
helpers and constants.
"""

import importlib
import os
import pathlib
import subprocess
import sys
import tempfile
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent


def timed_run(out):
    start = time.perf_counter()
    subprocess.run([sys.executable, "-m", "tolva.run", "examples.weather.weather", "--out", out], cwd=ROOT,
                   check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def fingerprint_cost(module_name, root):
    from tolva import fingerprint

    module = importlib.import_module(module_name)
    functions = [v.__tolva_original__ for v in vars(module).values() if getattr(v, "__tolva_kind__", None) == "asset"]
    start = time.perf_counter()
    codes = fingerprint.CodeFingerprints(root)
    for fn in functions:
        codes.of(fn)
    return len(functions), time.perf_counter() - start


THOUSAND = """
from tolva import asset

LIMIT = 10
NAMES = ("a", "b", "c")


def clean(x):
    return min(x, LIMIT)


class Shape:
    def area(self, x):
        return clean(x) * len(NAMES)

"""


def main():
    with tempfile.TemporaryDirectory() as directory:
        first = timed_run(f"{directory}/a")
        second = timed_run(f"{directory}/a") + timed_run(f"{directory}/a")
        first += timed_run(f"{directory}/b")
        first, second = first / 2, second / 2
        print(f"weather example: first run {first * 1e3:.0f} ms, unchanged second run {second * 1e3:.0f} ms; "
              f"ratio {second / first:.3f} (target < 0.15)")

        sys.path.insert(0, str(ROOT))
        count, seconds = fingerprint_cost("examples.weather.weather", str(ROOT))
        print(f"code fingerprints, weather example: {count} assets in {seconds * 1e3:.1f} ms")
        body = THOUSAND + "".join(
            f"@asset()\ndef asset_{i}():\n    return Shape().area({i}) + clean({i})\n\n" for i in range(1000))
        pathlib.Path(directory, "bench_thousand.py").write_text(body)
        sys.path.insert(0, directory)
        count, seconds = fingerprint_cost("bench_thousand", directory)
        print(f"code fingerprints, one module of {count} assets: {seconds * 1e3:.0f} ms "
              f"({seconds / count * 1e6:.0f} us per asset)")


if __name__ == "__main__":
    main()
