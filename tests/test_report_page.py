"""The report page as a person sees it: loaded from disk in a real headless browser."""

import os
import pathlib
import struct
import subprocess
import sys
import zlib

import pytest

PIPE = '''\
from tolva import asset, partitions

KEYS = ["a", "b", "c"]


@asset(partitions={"k": partitions(KEYS)})
def numbers(k):
    if k == "b":
        print("the log of b says hello")
        raise ValueError("bad key <!--<script></script><b>b</b>")
    return k


@asset(inputs={"n": numbers}, partitions={"k": partitions(KEYS)})
def doubled(n, k):
    return n * 2


@asset()
def alone():
    return 1
'''

FAILED_RED = (0xC6, 0x28, 0x28)


def browser():
    path = os.environ.get("TOLVA_BROWSER") or str(pathlib.Path(__file__).parents[1] / ".toolchain/chromium/chromium")
    if not os.access(path, os.X_OK):
        pytest.skip("no headless browser: run tools/provision-browser")
    return path


@pytest.fixture(scope="module")
def report(tmp_path_factory):
    project = tmp_path_factory.mktemp("page")
    (project / "page_pipe.py").write_text(PIPE)
    done = subprocess.run([sys.executable, "-m", "tolva.run", "page_pipe", "--out", "out"], cwd=project,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 1, done.stderr
    return project / "out" / "report.html"


def browse(*args, **kwargs):
    # The sanitizer run preloads its runtime into every child; the browser is not built for it.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")}
    return subprocess.run([browser(), *args], capture_output=True, timeout=60, env=env, **kwargs)


def dom(page, address=""):
    done = browse("--dump-dom", page.as_uri() + address, text=True)
    assert done.returncode == 0, done.stderr[-2000:]
    return done.stdout


def pixels(png):
    """The RGB pixels of an 8-bit RGB or RGBA PNG without interlacing, as the browser writes it."""
    width, height, depth, kind = struct.unpack(">IIBB", png[16:26])
    assert depth == 8 and kind in (2, 6)
    chunks, at = b"", 8
    while at < len(png):
        length, name = struct.unpack(">I4s", png[at:at + 8])
        if name == b"IDAT":
            chunks += png[at + 8:at + 8 + length]
        at += 12 + length
    raw, size = zlib.decompress(chunks), 3 if kind == 2 else 4
    stride, previous, rows = width * size, bytearray(width * size), []
    for y in range(height):
        kind_of_filter, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            left = line[i - size] if i >= size else 0
            up, corner = previous[i], previous[i - size] if i >= size else 0
            if kind_of_filter == 1:
                line[i] = (line[i] + left) & 255
            elif kind_of_filter == 2:
                line[i] = (line[i] + up) & 255
            elif kind_of_filter == 3:
                line[i] = (line[i] + (left + up) // 2) & 255
            elif kind_of_filter == 4:
                p = left + up - corner
                best = min((abs(p - left), 0, left), (abs(p - up), 1, up), (abs(p - corner), 2, corner))[2]
                line[i] = (line[i] + best) & 255
        rows.append(bytes(line))
        previous = line
    return [tuple(row[x:x + 3]) for row in rows for x in range(0, stride, size)]


def test_a_run_with_a_failure_reads_as_it_ran(report):
    page = report.read_text(encoding="utf-8")
    assert "http" not in page.replace("http-equiv", "") and " src=" not in page  # nothing fetched
    history = list((report.parent / ".tolva" / "runs").glob("*.html"))
    # The history's copy links to OUT's files from where it is.
    assert [p.read_text(encoding="utf-8") for p in history] == [page.replace('"root":""', '"root":"../../"')]

    seen = dom(report)
    for status in ("failed (1)", "skipped (1)", "succeeded (5)"):
        assert f">{status}</option>" in seen
    # Text that would end the page's data, or hide its script, is only text.
    assert "bad key &lt;!--&lt;script&gt;&lt;/script&gt;&lt;b&gt;b&lt;/b&gt;" in seen and "page_pipe.py:10 in numbers" in seen
    assert "the log of b says hello" in seen
    assert seen.count('class="node"') == 3 and 'data-status="failed"' in seen
    assert 'id="timeline-canvas"' in seen and 'data-bars="6"' in seen
    assert "7 of 7 jobs" in seen
    # A job's value is a click away: its preview, and links to its file and its log.
    assert '<summary>value: str (json)</summary><div class="preview"><pre>"c"</pre></div>' in seen
    assert '<a href="numbers/k%3Dc/value.json">value file</a> · <a href=".tolva/logs/numbers/k%3Dc.log">log</a>' \
        in seen


@pytest.mark.parametrize("address, rows, shown", [
    ("#status=failed", ["numbers/k=b"], "1 of 7"),
    ("#q=k%3Dc", ["numbers/k=c", "doubled/k=c"], "2 of 7"),
    ("#status=skipped&q=doubled", ["doubled/k=b"], "1 of 7"),
    ("#status=cancelled", None, "7 of 7"),  # not a status of this run: every job
])
def test_the_filter_in_the_address_selects_rows(report, address, rows, shown):
    seen = dom(report, address)
    assert f"{shown} jobs" in seen
    if rows is not None:
        assert [line.split('data-id="')[1].split('"')[0] for line in seen.split("<tr ")[1:]] == rows


def test_the_screenshot_shows_the_failure_in_red(report, tmp_path):
    shot = tmp_path / "page.png"
    browse(f"--screenshot={shot}", "--window-size=800,700", report.as_uri(), check=True)
    colours = pixels(shot.read_bytes())
    red = sum(1 for pixel in colours if all(abs(a - b) < 8 for a, b in zip(pixel, FAILED_RED)))
    assert red > 2000  # the failed asset's box, its chip and its bar on the timeline


@pytest.mark.parametrize("dot, drawn_by", [
    ("printf '<?xml version=\"1.0\"?>\\n<svg width=\"1\"><g id=\"by-dot\"/></svg>'", 'id="by-dot"'),
    ("exit 3", 'class="node"'),  # dot failed: our own layout
])
def test_graphviz_draws_the_graph_when_it_can(tmp_path, monkeypatch, dot, drawn_by):
    from tolva import report_page

    (tmp_path / "dot").write_text(f"#!/bin/sh\ncat >/dev/null\n{dot}\n")
    (tmp_path / "dot").chmod(0o755)
    monkeypatch.setenv("PATH", f"{tmp_path}:{os.environ['PATH']}")
    plan = {"jobs": [{"id": "a", "asset": "a", "dependencies": []}, {"id": "b", "asset": "b", "dependencies": ["a"]}]}
    entries = [{"id": j["id"], "asset": j["asset"], "status": "succeeded"} for j in plan["jobs"]]
    graph = report_page.asset_graph(plan, entries)
    assert drawn_by in graph and "<?xml" not in graph


@pytest.mark.parametrize("page, name", [("report.html", "report page"), ("index.html", "state page")])
def test_a_page_that_cannot_be_written_is_a_warning_not_a_failure(tmp_path, page, name):
    (tmp_path / "page_pipe.py").write_text(PIPE.replace('k == "b"', "False"))
    (tmp_path / "out" / page).mkdir(parents=True)  # a folder where the page goes
    done = subprocess.run([sys.executable, "-m", "tolva.run", "page_pipe", "--out", "out"], cwd=tmp_path,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0
    assert done.stderr == (f"python -m tolva.run: warning: the {name} was not written: "
                           f"{tmp_path}/out/{page}: Is a directory\n")


CHECKED = PIPE.replace("from tolva import asset, partitions", "from tolva import asset, check, partitions") + '''

@check(doubled)
def short(value, k):
    return CheckResult(len(value) < 2, f"{k} is </script><b>long") if k != "a" else True

@check(numbers, blocking=False)
def upper(value):
    return value.isupper()

from tolva import CheckResult
'''


@pytest.fixture(scope="module")
def state(tmp_path_factory):
    """Two runs: everything (numbers/k=b fails), then a selection of alone."""
    project = tmp_path_factory.mktemp("state")
    (project / "page_pipe.py").write_text(CHECKED)
    for args in ([], ["--select", "alone", "--force"]):
        subprocess.run([sys.executable, "-m", "tolva.run", "page_pipe", "--out", "out", *args], cwd=project,
                       capture_output=True, text=True, timeout=120)
    return project / "out"


def test_the_state_page_shows_every_asset_whatever_run_made_it(state):
    first, second = sorted(p.name for p in (state / ".tolva/runs").glob("*.html"))
    seen = dom(state / "index.html", "#job=doubled/k=c")
    assert [part.split('"')[0] for part in seen.split('data-name="')[1:]] == ["alone", "numbers", "doubled"]
    assert "check short: 1 passed, 1 failed, 1 not run (c is &lt;/script&gt;&lt;b&gt;long)" in seen
    # A cell's details: its status, the run that made it (a link to its page), its check, its value.
    details = seen.split('<div class="cell-details">')[2].split("</div>")[0]
    assert (f'made ' in details and f'<a href=".tolva/runs/{first}">' in details
            and '<p class="fail">check short: failed (c is &lt;/script&gt;&lt;b&gt;long)</p>' in details and '<pre>"cc"</pre>' in details)
    assert f'by run <a href=".tolva/runs/{second}">' in seen.split('data-name="alone"')[1]
    # A check that is not blocking warns on the run's page.
    history = dom(state / ".tolva/runs" / first)
    assert '<span class="warning">2 checks failed (not blocking)</span>' in history
    assert history.count("warning: check 'upper' failed (not blocking): returned False") == 2
    # The second run's page links to this page and to the first run, and names what it left alone.
    around = dom(state / "report.html").split('id="around">')[1].split("</p>")[0]
    assert around == ('<a href="index.html">the state of every asset</a> · <a href=".tolva/runs/'
                      f'{first}">the previous run</a><span class="untouched"> · not touched by this run: '
                      'numbers, doubled</span>')


def test_a_job_asked_for_shows_its_folded_keys(tmp_path):
    from tolva import state_page

    jobs = [{"id": f"cube/a={a}/b={b}/c={c}", "asset": "cube", "partition": {"a": a, "b": b, "c": c},
             "dependencies": [], "output_dir": str(tmp_path / f"cube/a={a}/b={b}/c={c}")}
            for a in "xyz" for b in range(4) for c in "pq"]
    state_page.write(str(tmp_path), {"jobs": jobs}, {j["id"]: "succeeded" for j in jobs}, "r1")
    seen = dom(tmp_path / "index.html", "#job=cube/a=y/b=2/c=q")
    assert '<select data-dim="c">' in seen and 'data-drawn="12" data-folded="1"' in seen
    assert '<p>cube/a=y/b=2/c=q <span class="status"' in seen


def test_the_state_page_draws_only_what_is_in_view(tmp_path):
    from tolva import state_page

    jobs = [{"id": f"grid/a={a}/b={b}", "asset": "grid", "partition": {"a": a, "b": b}, "dependencies": [],
             "output_dir": str(tmp_path / f"grid/a={a}/b={b}")} for a in range(100) for b in range(100)]
    state_page.write(str(tmp_path), {"jobs": jobs}, {j["id"]: "failed" if i % 37 == 0 else "succeeded"
                                                     for i, j in enumerate(jobs)}, "r1")
    canvas = dom(tmp_path / "index.html").split("<canvas ")[1].split(">")[0]
    assert 'data-cells="10000"' in canvas and 0 < int(canvas.split('data-drawn="')[1].split('"')[0]) < 2500
    shot = tmp_path / "page.png"
    browse(f"--screenshot={shot}", "--window-size=900,700", (tmp_path / "index.html").as_uri(), check=True)
    red = sum(1 for pixel in pixels(shot.read_bytes()) if all(abs(a - b) < 8 for a, b in zip(pixel, FAILED_RED)))
    assert red > 2000  # the failed cells in view, and the chips


def _points(d):
    """Points along an SVG path of M, C and L commands, sampled finely."""
    import re

    numbers = [float(n) for n in re.findall(r"-?\d+(?:\.\d+)?", d)]
    commands = re.findall(r"[MCL]", d)
    at, pen, points = 0, None, []
    for command in commands:
        if command in "ML":
            target = (numbers[at], numbers[at + 1])
            at += 2
            if command == "L":
                points += [(pen[0] + (target[0] - pen[0]) * t / 50, pen[1]) for t in range(51)]
            pen = target
        else:
            (ax, ay), (bx, by), (cx, cy) = [(numbers[at + i], numbers[at + i + 1]) for i in (0, 2, 4)]
            at += 6
            for step in range(51):
                t = step / 50
                u = 1 - t
                points.append((u ** 3 * pen[0] + 3 * u * u * t * ax + 3 * u * t * t * bx + t ** 3 * cx,
                               u ** 3 * pen[1] + 3 * u * u * t * ay + 3 * u * t * t * by + t ** 3 * cy))
            pen = (cx, cy)
    return points


def _weather():
    return (["stations", "readings", "daily", "network", "extremes", "report"],
            [("readings", "daily"), ("daily", "network"), ("network", "extremes"), ("stations", "report"),
             ("network", "report"), ("extremes", "report")])


def _generated(seed, size):
    import random

    chance = random.Random(seed)
    names = [f"a{i}" for i in range(size)]
    edges = {(names[i], names[j]) for j in range(1, size) for i in chance.sample(range(j), min(j, 2))}
    edges |= {(names[0], names[-1]), (names[1], names[-2])}  # long ones, across every layer
    return names, sorted(edges, key=lambda e: (names.index(e[1]), names.index(e[0])))


@pytest.mark.parametrize("graph", [_weather(), _generated(1, 9), _generated(2, 14), _generated(3, 20)])
def test_edges_start_and_end_on_their_boxes_and_cross_no_other(graph):
    import re

    from tolva import report_page

    names, edges = graph
    svg = report_page._layered_graph(names, edges, {name: {"succeeded": 1} for name in names})
    boxes = {f"asset-{i}": tuple(map(float, re.search(
        rf'id="asset-{i}".*?<rect x="([\d.]+)" y="([\d.]+)" width="(\d+)" height="(\d+)"', svg).groups()))
        for i in range(len(names))}
    drawn = re.findall(r'<path class="edge" data-from="(asset-\d+)" data-to="(asset-\d+)" d="([^"]+)"', svg)
    index = {name: f"asset-{i}" for i, name in enumerate(names)}
    assert sorted((a, b) for a, b, _ in drawn) == sorted((index[a], index[b]) for a, b in edges)
    for source, target, d in drawn:
        points = _points(d)
        (sx, sy, sw, sh), (tx, ty, tw, th) = boxes[source], boxes[target]
        assert abs(points[0][0] - (sx + sw)) <= 1 and sy < points[0][1] < sy + sh
        assert abs(points[-1][0] - tx) <= 1 and ty < points[-1][1] < ty + th
        for x, y, w, h in boxes.values():
            inside = [p for p in points if x + 1 < p[0] < x + w - 1 and y + 1 < p[1] < y + h - 1]
            assert not inside, f"{source} -> {target} crosses the box at {x},{y}"
