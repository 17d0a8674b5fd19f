"""A worker process end to end: `python -c` calling materialize_asset on a small asset,
next to a bare interpreter that imports the same host modules and the user module,
calls the function and writes the same two texts with plain Python. Both are started
alternately in the same run; the ratio of the medians is the module's cost.
Target: within 5% (ratio <= 1.05).
"""

import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

RUNS = 40

USER_MODULE = """
from _tolva import asset

@asset()
def make():
    return {"rows": list(range(100)), "name": "small"}
"""

WORKER = "import _tolva; _tolva.materialize_asset('bench_worker_assets', 'make', 'out-worker')"

BARE = """
import importlib, inspect, json, pathlib
module = importlib.import_module('bench_worker_assets')
fn = module.make.__tolva_original__
value = fn()
out = pathlib.Path('out-bare')
out.mkdir(parents=True, exist_ok=True)
(out / 'value.json').write_text(json.dumps(value), 'utf-8')
record = {'artifact_format': 'json', 'function_name': 'make', 'module_path': 'bench_worker_assets', 'ok': True,
          'result_type': type(value).__name__, 'signature': str(inspect.signature(fn)),
          'value_path': str(out / 'value.json')}
(out / 'result.json').write_text(json.dumps(record, separators=(',', ':'), sort_keys=True), 'utf-8')
"""


def timed(code, cwd, env):
    start = time.perf_counter()
    subprocess.run([sys.executable, "-c", code], cwd=cwd, env=env, check=True)
    return time.perf_counter() - start


def main():
    with tempfile.TemporaryDirectory() as directory:
        pathlib.Path(directory, "bench_worker_assets.py").write_text(USER_MODULE)
        env = dict(os.environ, PYTHONPATH=directory)
        worker, bare = [], []
        for _ in range(3):
            timed(WORKER, directory, env), timed(BARE, directory, env)
        for _ in range(RUNS):
            worker.append(timed(WORKER, directory, env))
            bare.append(timed(BARE, directory, env))
        same = [pathlib.Path(directory, d, "result.json").read_text() for d in ("out-worker", "out-bare")]
        assert same[0].replace("out-worker", "X") == same[1].replace("out-bare", "X"), same
    w, b = statistics.median(worker), statistics.median(bare)
    print(f"materialize_asset worker: {w * 1e3:7.2f} ms (median of {RUNS})")
    print(f"bare Python process:      {b * 1e3:7.2f} ms")
    print(f"ratio: {w / b:.3f} (target <= 1.05)")


if __name__ == "__main__":
    main()
