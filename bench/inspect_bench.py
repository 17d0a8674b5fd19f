"""inspect_modules on 1,000 generated assets, next to the bare host calls each asset
record needs (getsource + dedent + strip of the function, and of its module once per
module; getsourcefile + resolve, signature, json.dumps of the metadata), measured in
the same run. The ratio is the module's overhead over those host calls; targets:
under 1.10 for 100 modules of 10 assets, under 3 for one module of 1,000 assets.

Two layouts: all 1,000 assets in one module, and the same assets spread over 100
modules of 10. Every record carries its module's whole source, so the first layout's
document grows with the square of the module (about 176 MB here) and its cost is
mostly writing that text; the second shows the per-asset overhead itself.
"""

import importlib
import inspect
import json
import pathlib
import sys
import tempfile
import textwrap
import time

from _tolva import inspect_modules

ASSETS = 1000


def generate(directory, name="bench_assets", first=0, count=ASSETS):
    lines = ["from _tolva import asset, partitions", "", "days = partitions(['mon', 'tue', 'wed'])", ""]
    for i in range(first, first + count):
        upstream = f"inputs={{'x': a{i - 1}}}, " if i > first else ""
        lines += [
            f"@asset(name='asset {i}', {upstream}partitions={{'day': days}})",
            f"def a{i}(x=None, day='mon') -> dict:",
            f"    '''Asset number {i}.'''",
            f"    return {{'i': {i}, 'day': day}}",
            "",
        ]
    (pathlib.Path(directory) / f"{name}.py").write_text("\n".join(lines))


def host_calls(module):
    # The source pipeline every record's two source texts need: the module's once.
    textwrap.dedent(inspect.getsource(module)).strip()
    for name, member in inspect.getmembers(module):
        if getattr(member, "__tolva_kind__", None) != "asset":
            continue
        fn = member.__tolva_original__
        textwrap.dedent(inspect.getsource(fn)).strip()
        str(pathlib.Path(inspect.getsourcefile(fn)).resolve())
        inspect.signature(fn)
        json.dumps(member.__tolva_metadata__)


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def measure(names, rounds=8):
    """The best time of each, taken in alternating order (module, host, host, module,
    then the reverse) so that a slow spell of the machine weighs on both alike."""
    modules = [importlib.import_module(name) for name in names]
    inspect_modules(names)  # warm linecache and the import system
    candidate = lambda: inspect_modules(names)
    baseline = lambda: [host_calls(module) for module in modules]
    module_times, host_times = [], []
    for r in range(rounds):
        order = (candidate, baseline, baseline, candidate) if r % 2 == 0 else (baseline, candidate, candidate, baseline)
        for fn in order:
            (module_times if fn is candidate else host_times).append(timed(fn))
    return min(module_times), min(host_times)


def main():
    with tempfile.TemporaryDirectory() as directory:
        sys.path.insert(0, directory)
        generate(directory)
        split = [f"bench_split_{k}" for k in range(100)]
        for k, name in enumerate(split):
            generate(directory, name, first=k * 10, count=10)
        for label, names in (("1 module of 1,000 assets", ["bench_assets"]), ("100 modules of 10 assets", split)):
            module_time, host_time = measure(names)
            print(label)
            print(f"  inspect_modules:  {module_time / ASSETS * 1e6:8.1f} us per asset")
            print(f"  bare host calls:  {host_time / ASSETS * 1e6:8.1f} us per asset")
            target = "3" if len(names) == 1 else "1.10"
            print(f"  ratio: {module_time / host_time:.3f} (target < {target})")


if __name__ == "__main__":
    main()
