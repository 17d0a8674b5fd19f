"""The report page at 10,000 jobs, and the state page (OUT/index.html) of an asset of
10,000 partitions: their sizes, and the time the test browser takes to load and draw
each, against the time it takes for an empty page (the browser's own start).

    .venv/bin/python bench/report_bench.py [--jobs 10000] [--browser PATH]

Targets: each file under 5 MB; drawing either adds under 2 s to the browser's start.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

from tolva import report_page, state_page


def synthetic_run(jobs, assets=10, failed_every=25):
    """A run of `jobs` jobs over `assets` partitioned assets in a chain, some failed
    with a log, as the runner would leave it."""
    per_asset = jobs // assets
    plan_jobs, entries, timeline, details = [], [], {}, {}
    logs = tempfile.mkdtemp()
    for a in range(assets):
        for p in range(per_asset):
            job_id = f"asset_{a}/part=key-{p:05d}"
            status = "failed" if (a * per_asset + p) % failed_every == 0 else "succeeded"
            plan_jobs.append({"id": job_id, "asset": f"asset_{a}", "dependencies":
                              [f"asset_{a - 1}/part=key-{p:05d}"] if a else []})
            entries.append({"id": job_id, "asset": f"asset_{a}", "partition": {"part": f"key-{p:05d}"},
                            "status": status, "reason": "never run", "duration": 0.5, "directory": "/x",
                            "error_type": "ValueError" if status == "failed" else None,
                            "error": "ValueError: a bad row in the input" if status == "failed" else None,
                            "attempts": 1, "worker": None})
            timeline[job_id] = (a * 10 + p * 0.01, a * 10 + p * 0.01 + 0.5, f"slot {p % 8 + 1}")
            if status == "failed":
                log = os.path.join(logs, f"{a}-{p}.log")
                with open(log, "w") as f:
                    f.write("a line of the job's output\n" * 300)
                details[job_id] = {"frame": "pipeline.py:12 in compute", "log": log}
    record = {"run_id": "0123456789abcdef", "started": "2026-01-01T00:00:00+00:00",
              "finished": "2026-01-01T00:02:00+00:00", "interrupted": False, "in_progress": False,
              "plan": "/x/plan.json", "executor": "local", "selection": None, "jobs": entries}
    return report_page.render(record, {"jobs": plan_jobs}, timeline, details, 1)


def synthetic_state(jobs, folder):
    """The state page of one asset of `jobs` partitions over two dimensions, some failed."""
    side = int(jobs ** 0.5)
    plan_jobs = [{"id": f"grid/a={a}/b={b}", "asset": "grid", "partition": {"a": a, "b": b}, "dependencies": [],
                  "output_dir": os.path.join(folder, f"grid/a={a}/b={b}")} for a in range(side) for b in range(side)]
    status = {job["id"]: "failed" if i % 37 == 0 else "succeeded" for i, job in enumerate(plan_jobs)}
    return state_page.render(folder, {"jobs": plan_jobs}, status, "0123456789abcdef")


def load_time(browser, path):
    start = time.perf_counter()
    subprocess.run([browser, "--dump-dom", f"file://{path}"], check=True, capture_output=True, timeout=120)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--jobs", type=int, default=10000)
    parser.add_argument("--browser", default=os.path.join(os.path.dirname(__file__), "..", ".toolchain", "chromium",
                                                          "chromium"))
    args = parser.parse_args()
    folder = tempfile.mkdtemp()
    pages = {"blank": "<!DOCTYPE html><title>blank</title>", "report": synthetic_run(args.jobs),
             "state": synthetic_state(args.jobs, folder)}
    for name, text in pages.items():
        with open(os.path.join(folder, f"{name}.html"), "w", encoding="utf-8") as f:
            f.write(text)
    ok = True
    for name in ("report", "state"):
        size = os.path.getsize(os.path.join(folder, f"{name}.html"))
        times = {"blank": [], name: []}
        for which in ("blank", name, name, "blank") * 2:
            times[which].append(load_time(args.browser, os.path.join(folder, f"{which}.html")))
        blank_s, page_s = sorted(times["blank"])[1], sorted(times[name])[1]
        print(f"{name} page, {args.jobs} jobs: {size / 1e6:.2f} MB; browser with an empty page {blank_s:.2f} s, "
              f"with the page {page_s:.2f} s: drawing adds {page_s - blank_s:.2f} s")
        ok = ok and size < 5e6 and page_s - blank_s < 2.0
    return 0 if ok else 1

if __name__ == "__main__":
    sys.exit(main())
