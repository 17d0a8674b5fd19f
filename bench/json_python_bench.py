"""The module's JSON layer against CPython's json on the same documents: parse
(json.loads) and write (json.dumps of the loaded value, compact and key-sorted, as the
module writes) of the small documents the module really sees and of the 1 MB
documents, in MB/s of input text. The module's figures come from json_bench in the
same run (medians of repetitions). Target: faster than CPython's json everywhere.
"""

import json
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

BENCH = pathlib.Path(__file__).resolve().parent.parent / "build/bench/json_bench"


def rate(fn, size, seconds=0.3, repeats=7):
    rates = []
    for _ in range(repeats):
        count, start = 0, time.perf_counter()
        while (elapsed := time.perf_counter() - start) < seconds:
            fn()
            count += 1
        rates.append(count * size / elapsed)
    return statistics.median(rates)


def ours(directory):
    report_file = pathlib.Path(directory, "report.json")
    subprocess.run([BENCH, "--benchmark_filter=tolva", "--benchmark_min_time=0.3", "--benchmark_repetitions=7",
                    "--benchmark_report_aggregates_only=true", f"--benchmark_out={report_file}",
                    "--benchmark_out_format=json"], capture_output=True, check=True)
    report = json.loads(report_file.read_text())
    return {b["run_name"]: b["bytes_per_second"] for b in report["benchmarks"] if b.get("aggregate_name") == "median"}


def main():
    with tempfile.TemporaryDirectory() as directory:
        subprocess.run([BENCH, "--write-documents", directory], check=True)
        documents = {p.stem: p.read_text(encoding="utf-8") for p in sorted(pathlib.Path(directory).glob("*.json"))}
        module = ours(directory)
    print(f"{'document':<11} {'op':<5} {'tolva MB/s':>10} {'CPython MB/s':>12} {'ratio':>6}")
    for name, text in documents.items():
        value = json.loads(text)
        written = json.dumps(value, separators=(",", ":"), sort_keys=True, ensure_ascii=False)
        cpython = {"parse": rate(lambda: json.loads(text), len(text.encode())),
                   "write": rate(lambda: json.dumps(value, separators=(",", ":"), sort_keys=True,
                                                    ensure_ascii=False), len(written.encode()))}
        for op in ("parse", "write"):
            theirs, mine = cpython[op], module.get(f"{op}/tolva/{name}", 0.0)
            print(f"{name:<11} {op:<5} {mine / 1e6:10.1f} {theirs / 1e6:12.1f} {mine / theirs:6.2f}")


if __name__ == "__main__":
    sys.exit(main())
