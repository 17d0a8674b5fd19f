"""The report page at 10,000 jobs: its size, and the time the test browser takes to load
and draw it, against the time it takes for an empty page (the browser's own start).

    .venv/bin/python bench/report_bench.py [--jobs 10000] [--browser PATH]

Targets: the file under 5 MB; drawing it adds under 2 s to the browser's start.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

from tolva import report_page


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
    page, blank = os.path.join(folder, "report.html"), os.path.join(folder, "blank.html")
    with open(page, "w", encoding="utf-8") as f:
        f.write(synthetic_run(args.jobs))
    with open(blank, "w", encoding="utf-8") as f:
        f.write("<!DOCTYPE html><title>blank</title>")
    size = os.path.getsize(page)
    times = {"blank": [], "report": []}
    for name in ("blank", "report", "report", "blank") * 2:
        times[name].append(load_time(args.browser, page if name == "report" else blank))
    blank_s, report_s = sorted(times["blank"])[1], sorted(times["report"])[1]
    print(f"{args.jobs} jobs: {size / 1e6:.2f} MB; browser with an empty page {blank_s:.2f} s, "
          f"with the report {report_s:.2f} s: drawing adds {report_s - blank_s:.2f} s")
    return 0 if size < 5e6 and report_s - blank_s < 2.0 else 1


if __name__ == "__main__":
    sys.exit(main())
