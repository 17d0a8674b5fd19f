"""Values beyond JSON, each pipeline against the same work done with the bare library
calls in one fresh process, timed baseline, candidate, candidate, baseline (medians):

- a DataFrame of 1,000,000 rows x 6 columns (ints, floats, strings, a datetime) made by
  one asset and read by another through parquet, against making it, df.to_parquet and
  pd.read_parquet (target: at most 1.3 times); and the peak memory a job adds to its
  process for the frame, against the frame's own memory (target: at most 2.5 times);
- a 200 MB array through npy, against numpy.save and numpy.load (target: 1.2);
- a 200 MB bytes value through pickle, against pickle.dump and pickle.load (target: 1.2);
- the peak memory a job adds to its process for a 200 MB JSON value it reads, against
  the value (target: at most 2.5 times).

Both sides make the value, start an interpreter and import the same libraries.
"""

import json
import os
import subprocess
import sys

from timing import abba, scratch_project, timed

ROUNDS = int(os.environ.get("TOLVA_BENCH_ROUNDS", "3"))

MAKE = '''
import numpy as np
import pandas as pd


def frame():
    rng = np.random.default_rng(7)
    n = 1_000_000
    names = np.array([f"item-{i:04d}" for i in range(5000)], dtype=object)
    return pd.DataFrame({"id": np.arange(n, dtype="int64"), "quantity": rng.integers(1, 50, n, dtype="int32"),
                         "price": rng.random(n), "score": rng.normal(size=n), "name": names[rng.integers(0, 5000, n)],
                         "when": pd.Timestamp("2026-01-01") + pd.to_timedelta(rng.integers(0, 10**6, n), unit="s")})


def array():
    return np.full(200 * 1024 * 1024 // 8, 1.5)


def blob():
    return b"x" * (200 * 1024 * 1024)
'''

PIPELINE = '''
import resource
from make import array, blob, frame
from tolva import asset


@asset(serializer="parquet")
def made_frame():
    return frame()


@asset(inputs={"df": made_frame})
def read_frame(df) -> int:
    return len(df)


@asset(serializer="npy")
def made_array():
    return array()


@asset(inputs={"a": made_array})
def read_array(a) -> int:
    return int(a.size)


@asset()
def made_text():
    return "x" * (200 * 1024 * 1024)


@asset(inputs={"t": made_text})
def read_text(t) -> int:
    return len(t)


@asset(serializer="pickle")
def made_blob():
    return blob()


@asset(inputs={"b": made_blob})
def read_blob(b) -> int:
    return len(b)
'''

BARE = {
    "frame": "from make import frame\nimport pandas as pd\ndf = frame()\ndf.to_parquet('v.parquet')\n"
             "assert len(pd.read_parquet('v.parquet')) == len(df)",
    "array": "from make import array\nimport numpy as np\na = array()\nnp.save('v.npy', a)\n"
             "assert np.load('v.npy').size == a.size",
    "blob": "from make import blob\nimport pickle\nb = blob()\nwith open('v.pickle', 'wb') as f:\n"
            "    pickle.dump(b, f, protocol=5)\nwith open('v.pickle', 'rb') as f:\n    assert len(pickle.load(f)) == len(b)",
}




def pipeline_time(project, name, counter):
    def run():
        return timed([sys.executable, "-m", "tolva.run", "values_pipeline", "--select", f"read_{name}", "--force",
                      "--jobs", "1", "--out", f"out{next(counter)}"], project)
    return run


def job_memory(project, selected="read_frame"):
    """The peak memory each job of a pipeline adds to its process, measured on the job's
    own command run as a fresh interpreter, less an interpreter that has imported the
    same modules; and the frame's own memory."""
    subprocess.run([sys.executable, "-m", "tolva.run", "values_pipeline", "--select", selected, "--out", selected],
                   cwd=project, check=True, stdout=subprocess.DEVNULL)
    plan = json.loads((project / selected / "plan.json").read_text())
    peaks = {}
    for job in plan["jobs"]:
        process = subprocess.Popen(job["argv"] + ["--force"], cwd=project, stdout=subprocess.DEVNULL)
        peaks[job["id"]] = os.wait4(process.pid, 0)[2].ru_maxrss * 1024
    idle = subprocess.Popen([sys.executable, "-c", "import values_pipeline, tolva.job, pyarrow.parquet"], cwd=project)
    resting = os.wait4(idle.pid, 0)[2].ru_maxrss * 1024
    size = subprocess.run([sys.executable, "-c", "from make import frame\n"
                           "print(int(frame().memory_usage(deep=True).sum()))"], cwd=project, check=True,
                          capture_output=True, text=True).stdout
    return {job: peak - resting for job, peak in peaks.items()}, int(size)


def main():
    with scratch_project({"make.py": MAKE, "values_pipeline.py": PIPELINE}) as project:
        counter = iter(range(1000))
        for name, target in (("frame", 1.3), ("array", 1.2), ("blob", 1.2)):
            bare = [sys.executable, "-c", BARE[name]]
            base, cand = abba(lambda: timed(bare, project), pipeline_time(project, name, counter), ROUNDS)
            print(f"{name}: pipeline {cand:.2f} s, bare library calls {base:.2f} s; ratio {cand / base:.2f} "
                  f"(target <= {target})")
        added, size = job_memory(project)
        for job, peak in added.items():
            print(f"job {job}: adds {peak / 2**20:.0f} MiB at its peak for a frame of {size / 2**20:.0f} MiB; "
                  f"ratio {peak / size:.2f} (target <= 2.5)")
        peak = job_memory(project, "read_text")[0]["read_text"]
        print(f"job read_text: adds {peak / 2**20:.0f} MiB at its peak for a JSON value of 200 MiB; "
              f"ratio {peak / (200 * 2**20):.2f} (target <= 2.5)")


if __name__ == "__main__":
    main()
