"""The run's report page: one self-contained HTML file, OUT/report.html, with a copy
beside the run's record in the history.

The page fetches nothing (its content security policy forbids it): the asset graph is
drawn here as SVG, with Graphviz's ``dot`` when it is installed and a layered layout of
our own otherwise; the timeline and the job table are drawn in the browser from the
run's data, embedded as JSON. Filters can be given in the address, as in
``report.html#status=failed&q=daily``.
"""

import json
import os

from tolva import layout

# Worst first: an asset takes the colour of the worst status among its jobs.
SEVERITY = ("failed", "cancelled", "running", "skipped", "not-started", "succeeded", "up-to-date")
COLOURS = {"failed": "#c62828", "cancelled": "#ef6c00", "running": "#7b1fa2", "skipped": "#9e9e9e",
           "not-started": "#cfd8dc", "succeeded": "#2e7d32", "up-to-date": "#1e88e5"}
CHECK_FAILED = "checks failed"  # of an asset's jobs, beside their statuses
LOG_TAIL_BYTES = 4096
LOG_TAILS_AT_MOST = 200  # failed jobs whose log tail the page carries, so that it stays small
PREVIEW_BYTES_AT_MOST = 2 << 20  # of value previews in one page; the rest are a --show away
# Where OUT is from the page, filled in for each of its two copies.
_ROOT = "\u0000root\u0000"

# html.escape's table: the html module would also load its table of entities, which
# is a twentieth of an unchanged run's time.
_ESCAPES = str.maketrans({"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;", "'": "&#x27;"})


def escape(text):
    return text.translate(_ESCAPES)


NODE_WIDTH, NODE_HEIGHT, LAYER_GAP, ROW_GAP = 180, 46, 46, 16


def write(out, record, plan, timeline, details, exit_status, started, untouched=()):
    """Writes OUT/report.html and the history's copy. timeline: job id -> (start, end,
    lane) in seconds from the run's start; details: job id -> frame, log path, and the
    preview and path of its value; untouched: the assets a run of a selection left as
    they were."""
    history = layout.history_path(out, started, record["run_id"], ".html")
    earlier = [path for path in layout.history_files(out, ".html") if os.path.basename(path) < os.path.basename(history)]
    previous = _link(earlier[0], out) if earlier else None
    page = render(record, plan, timeline, details, exit_status, out, {"previous": previous, "untouched": untouched})
    page_path = layout.page_path(out)
    layout.write_atomically(page_path, page.replace(_script_root(), _script_root(_root_of(page_path, out))))
    layout.write_atomically(history, page.replace(_script_root(), _script_root(_root_of(history, out))))


def _root_of(page, out):
    """OUT as a link from the page: "" beside it, "../../" from the history."""
    relative = os.path.relpath(out, os.path.dirname(page))
    return "" if relative == "." else relative.replace(os.sep, "/") + "/"


def _script_root(root=_ROOT):
    return _script_json({"root": root})[1:-1]


def render(record, plan, timeline, details, exit_status, out=None, around=None):
    labels = {}
    for entry in record["jobs"]:
        labels.setdefault(entry["asset"], len(labels))
    lanes = {}
    jobs = []
    tails = previews = 0
    for entry in record["jobs"]:
        start, end, lane = timeline.get(entry["id"], (None, None, None))
        if lane is not None:
            lane = lanes.setdefault(lane, len(lanes))
        detail = details.get(entry["id"], {})
        log_tail = None
        if entry["status"] == "failed" and detail.get("log") and tails < LOG_TAILS_AT_MOST:
            tails += 1
            log_tail = layout.tail(detail["log"], LOG_TAIL_BYTES)
        preview = detail.get("preview")
        if preview is not None:
            previews += len(json.dumps(preview, ensure_ascii=False))
            preview = preview if previews <= PREVIEW_BYTES_AT_MOST else {"left_out": True}
        jobs.append([entry["id"], labels[entry["asset"]], entry["status"], entry["duration"], entry["attempts"],
                     entry["reason"], _round(start), _round(end), lane, entry["error_type"], entry["error"],
                     detail.get("frame") if entry["status"] == "failed" else None, log_tail, preview,
                     _link(detail.get("value"), out), _link(detail.get("log"), out), entry.get("check")])
    data = {"assets": list(labels), "lanes": [str(lane) for lane in lanes], "jobs": jobs,
            "colours": COLOURS, "order": SEVERITY, "root": _ROOT, **(around or {"previous": None, "untouched": []})}
    header = _header(record, exit_status)
    graph = asset_graph(plan, record["jobs"])
    return PAGE.format(title=escape(f"tolva run {record['run_id']}"), header=header, graph=graph,
                       data=_script_json(data), style=STYLE, script=SHARED_SCRIPT + SCRIPT)


def _link(path, out):
    """A file of OUT as a link relative to OUT (the page adds where OUT is from it)."""
    if not path or not out:
        return None
    return "/".join(os.path.relpath(path, out).split(os.sep))


def _round(seconds):
    return None if seconds is None else round(seconds, 3)


def _script_json(value):
    # Inside <script>, "</" would end the element whatever the JSON says, and "<!--" or
    # "<script" would change how the rest is read: JSON has "<" only inside strings,
    # where its escape means the same.
    return json.dumps(value, ensure_ascii=False, separators=(",", ":")).replace("<", "\\u003c").replace(
        "\u2028", "\\u2028").replace("\u2029", "\\u2029")


def _header(record, exit_status):
    counts = {}
    for entry in record["jobs"]:
        counts[entry["status"]] = counts.get(entry["status"], 0) + 1
    started, finished = record["started"], record["finished"]
    duration = _duration(started, finished)
    state = "interrupted" if record["interrupted"] else "in progress" if record["in_progress"] else (
        "succeeded" if exit_status == 0 else "failed")
    rows = [("started", started), ("duration", duration), ("executor", record["executor"] or "an engine"),
            ("selection", ", ".join(record["selection"]) if record["selection"] else "every job"),
            ("exit status", f"{exit_status} ({state})"), ("plan", record["plan"])]
    facts = "".join(f"<dt>{escape(k)}</dt><dd>{escape(str(v))}</dd>" for k, v in rows)
    chips = "".join(f'<span class="chip" style="--c:{COLOURS[s]}">{counts[s]} {escape(s)}</span>'
                    for s in SEVERITY if s in counts)
    warned = sum(1 for entry in record["jobs"] if entry["status"] in ("succeeded", "up-to-date")
                 and (entry.get("check") or {}).get("passed") is False)
    if warned:
        chips += f'<span class="warning">{warned} check{"s" if warned != 1 else ""} failed (not blocking)</span>'
    return (f'<h1>tolva run <code>{escape(record["run_id"])}</code> <span class="state {state.replace(" ", "-")}">'
            f'{escape(state)}</span></h1><dl class="facts">{facts}</dl><p class="chips">'
            f'{len(record["jobs"])} jobs: {chips}</p>')


def _duration(started, finished):
    import datetime

    if not finished:
        return "unfinished"
    seconds = (datetime.datetime.fromisoformat(finished) - datetime.datetime.fromisoformat(started)).total_seconds()
    if seconds < 1:
        return "under 1 s"  # the record keeps whole seconds
    return f"{seconds:.0f} s" if seconds < 120 else f"{seconds // 60:.0f} min {seconds % 60:.0f} s"


# --- the asset graph ---------------------------------------------------------------


def asset_graph(plan, entries):
    """The assets as SVG, each coloured by its jobs' worst status, with their counts."""
    asset_of = {job["id"]: job["asset"] for job in plan["jobs"]}
    names = list(dict.fromkeys(entry["asset"] for entry in entries))
    edges = {}
    for job in plan["jobs"]:
        if job["asset"] not in names:
            continue
        for dependency in job["dependencies"]:
            upstream = asset_of[dependency]
            if upstream in names and upstream != job["asset"]:
                edges[(upstream, job["asset"])] = None
    counts = {name: {} for name in names}
    for entry in entries:
        by_status = counts[entry["asset"]]
        if "check" in entry:  # a check's job says what it found, not how the asset's jobs went
            if entry["status"] == "failed" or (entry["check"] or {}).get("passed") is False:
                by_status[CHECK_FAILED] = by_status.get(CHECK_FAILED, 0) + 1
            continue
        by_status[entry["status"]] = by_status.get(entry["status"], 0) + 1
    if _on_path("dot"):
        drawn = _dot_graph(names, list(edges), counts)
        if drawn:
            return drawn
    return _layered_graph(names, list(edges), counts)


def _on_path(program):
    """shutil.which's answer for a plain name, without importing shutil (and the
    compression modules it brings) into every run for a program that is rarely there."""
    return any(os.path.isfile(path) and os.access(path, os.X_OK)
               for path in (os.path.join(folder or ".", program) for folder in os.environ.get("PATH", "").split(os.pathsep)))


def _worst(by_status):
    return next((s for s in SEVERITY if s in by_status), "not-started")


def _count_text(by_status):
    counts = [f"{by_status[s]} {s}" for s in SEVERITY if s in by_status]
    failed = by_status.get(CHECK_FAILED)
    return ", ".join(counts + ([f"{failed} check{'s' if failed != 1 else ''} failed"] if failed else []))


def _dot_graph(names, edges, counts):
    """Graphviz's layout, or None when dot fails or takes too long."""
    def quote(text):
        return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'

    lines = ['digraph assets {', 'rankdir=LR; bgcolor="transparent";',
             'node [shape=box style="rounded,filled" fontname="sans-serif" fontsize=11 fontcolor=white];']
    for i, name in enumerate(names):
        label = f"{name}\n{_count_text(counts[name])}"
        lines.append(f'n{i} [label={quote(label)} fillcolor={quote(COLOURS[_worst(counts[name])])} '
                     f'id={quote(f"asset-{i}")} tooltip={quote(name)}];')
    index = {name: i for i, name in enumerate(names)}
    lines += [f"n{index[a]} -> n{index[b]};" for a, b in edges]
    lines.append("}")
    import subprocess

    try:
        done = subprocess.run(["dot", "-Tsvg"], input="\n".join(lines), capture_output=True, text=True, timeout=20)
    except (OSError, subprocess.SubprocessError):
        return None
    svg = done.stdout
    start = svg.find("<svg")
    if done.returncode != 0 or start < 0:
        return None
    return svg[start:].replace("<svg", '<svg class="graph" role="img" aria-label="asset graph"', 1)


def _layers(names, edges):
    """Each asset's layer: the longest path to it from an asset with no inputs."""
    upstream = {name: [] for name in names}
    for a, b in edges:
        upstream[b].append(a)
    layer = {}
    for name in names:  # assets come in an order where inputs come first
        layer[name] = 1 + max((layer[a] for a in upstream[name] if a in layer), default=-1)
    return layer, upstream


DUMMY_HEIGHT = 14  # the room an edge takes where it passes a layer


def _layered_graph(names, edges, counts):
    """A layered drawing: each asset in the layer of its longest path from a source;
    an edge that spans layers passes each one in a slot of its own, so that it never
    crosses a box, and rows follow the mean row of what feeds them."""
    layer, _ = _layers(names, edges)
    feeds = {name: [] for name in names}  # node -> the nodes one layer before that feed it
    chains = []
    for a, b in edges:
        chain = [a]
        for passed in range(layer[a] + 1, layer[b]):
            dummy = ("edge", a, b, passed)
            layer[dummy], feeds[dummy] = passed, [chain[-1]]
            chain.append(dummy)
        feeds[b].append(chain[-1])
        chains.append(chain + [b])
    columns = {}
    for node in feeds:
        columns.setdefault(layer[node], []).append(node)
    row = {}
    for sweep in range(2):
        for column in sorted(columns):
            members = columns[column]
            for position, node in enumerate(members):
                row.setdefault(node, position)
            members.sort(key=lambda n: sum(row[f] for f in feeds[n]) / len(feeds[n]) if feeds[n] else row[n])
            for position, node in enumerate(members):
                row[node] = position

    def height(node):
        return DUMMY_HEIGHT if isinstance(node, tuple) else NODE_HEIGHT

    extent = {column: sum(height(n) + ROW_GAP for n in members) - ROW_GAP for column, members in columns.items()}
    tallest = max(extent.values(), default=0)
    top = {}
    for column, members in columns.items():
        y = 10 + (tallest - extent[column]) / 2
        for node in members:
            top[node] = y
            y += height(node) + ROW_GAP
    width = len(columns) * (NODE_WIDTH + LAYER_GAP) - LAYER_GAP + 20

    def left(node):
        return 10 + layer[node] * (NODE_WIDTH + LAYER_GAP)

    def middle(node):
        return top[node] + height(node) / 2

    parts = [f'<svg class="graph" role="img" aria-label="asset graph" width="{max(width, 0)}" '
             f'height="{max(tallest + 20, 0):.0f}" viewBox="0 0 {max(width, 0)} {max(tallest + 20, 0):.0f}">',
             '<defs><marker id="arrow" viewBox="0 0 10 10" refX="10" refY="5" markerWidth="7" markerHeight="7" '
             'orient="auto"><path d="M0,0L10,5L0,10z" fill="#78909c"/></marker></defs>']
    index = {name: i for i, name in enumerate(names)}
    for chain in chains:
        path = f"M{left(chain[0]) + NODE_WIDTH:.0f},{middle(chain[0]):.0f}"
        for before, node in zip(chain, chain[1:]):
            x1, y1, x2, y2 = left(before) + NODE_WIDTH, middle(before), left(node), middle(node)
            bend = (x1 + x2) / 2
            path += f"C{bend:.0f},{y1:.0f} {bend:.0f},{y2:.0f} {x2:.0f},{y2:.0f}"
            if isinstance(node, tuple):
                path += f"L{x2 + NODE_WIDTH:.0f},{y2:.0f}"
        parts.append(f'<path class="edge" data-from="asset-{index[chain[0]]}" data-to="asset-{index[chain[-1]]}" '
                     f'd="{path}" marker-end="url(#arrow)"/>')
    for i, name in enumerate(names):
        x, y = left(name), top[name]
        text = _count_text(counts[name])
        parts.append(f'<g class="node" id="asset-{i}" data-status="{_worst(counts[name])}">'
                     f'<title>{escape(name)}: {escape(text)}</title>'
                     f'<rect x="{x:.0f}" y="{y:.0f}" width="{NODE_WIDTH}" height="{NODE_HEIGHT}" rx="7" '
                     f'fill="{COLOURS[_worst(counts[name])]}"/>'
                     f'<text x="{x + 10:.0f}" y="{y + 19:.0f}" class="name">{escape(_cut(name, 24))}</text>'
                     f'<text x="{x + 10:.0f}" y="{y + 36:.0f}" class="counts">{escape(_cut(text, 30))}</text>'
                     f'</g>')
    parts.append("</svg>")
    return "".join(parts)


def _cut(text, most):
    return text if len(text) <= most else text[:most - 1] + "\u2026"


# Both pages' head: nothing may be fetched, only the page's own style and script run.
PAGE_HEAD = """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta http-equiv="Content-Security-Policy" content="default-src 'none'; style-src 'unsafe-inline'; \
script-src 'unsafe-inline'; img-src data:">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>{title}</title>
<style>{style}</style>
</head>
<body>
"""

PAGE = PAGE_HEAD + """<header>{header}<p class="links" id="around"></p></header>
<section id="graph-section"><h2>Assets</h2><div class="scroll">{graph}</div></section>
<section id="timeline-section"><h2>Timeline</h2><div class="scroll" id="timeline"></div></section>
<section id="jobs-section"><h2>Jobs</h2>
<form id="filters" onsubmit="return false"><label>status <select id="status"><option value="">all</option></select>\
</label> <label>job id <input id="search" type="search" placeholder="search"></label> <output id="shown"></output></form>
<table id="jobs"><thead><tr><th>job</th><th>status</th><th>duration</th><th>attempts</th><th>why it ran</th>\
<th>error</th></tr></thead><tbody></tbody></table><button id="more" type="button" hidden></button></section>
<script type="application/json" id="run-data">{data}</script>
<script>{script}</script>
</body>
</html>
"""

# What both pages draw alike: elements, links to OUT's files, value previews.
SHARED_SCRIPT = r"""
"use strict";
function element(name, attributes, text) {
  const node = document.createElement(name);
  for (const [key, value] of Object.entries(attributes || {})) node.setAttribute(key, value);
  if (text !== undefined && text !== null) node.textContent = text;
  return node;
}

function fileLink(path, text) {
  // A path under OUT, as a link from wherever this copy of the page is.
  const link = element("a", {href: data.root + path.split("/").map(encodeURIComponent).join("/")}, text);
  return link;
}

function previewTable(preview) {
  const table = element("table", {class: "preview-table"});
  const head = element("tr");
  if (preview.index) head.appendChild(element("th", {}, ""));
  for (const [name, dtype] of preview.columns) head.appendChild(element("th", {title: dtype}, name));
  table.appendChild(head);
  (preview.head || []).forEach((cells, i) => {
    const row = element("tr");
    if (preview.index) row.appendChild(element("th", {}, preview.index[i]));
    for (const cell of cells) row.appendChild(element("td", {}, cell));
    table.appendChild(row);
  });
  return table;
}

function previewBody(preview) {
  // What the value is, as the job recorded it: a table's first rows, an array's shape
  // and range, the start of a text, a file's name and size.
  const box = element("div", {class: "preview"});
  if (preview.left_out) {
    box.appendChild(element("p", {}, "Left out of this page, which keeps it small: python -m tolva.run " +
                                     `MODULE --show ${preview.left_out}`));
    return box;
  }
  if (preview.columns) {
    box.appendChild(element("p", {}, `${preview.rows} rows × ${preview.columns.length} columns: ` +
      preview.columns.map(([name, dtype]) => `${name} ${dtype}`).join(", ")));
    box.appendChild(previewTable(preview));
  } else if (preview.shape) {
    const range = "min" in preview ? `, from ${preview.min} to ${preview.max}` : "";
    box.appendChild(element("p", {}, `array of shape ${preview.shape.join("×") || "scalar"}, ${preview.dtype}${range}`));
  } else if ("name" in preview && "size" in preview) {
    box.appendChild(element("p", {}, `${preview.folder ? "folder" : "file"} ${preview.name}, ${preview.size} bytes`));
  } else if ("text" in preview) {
    if ("size" in preview) box.appendChild(element("p", {}, `${preview.size} ${preview.format === "bytes" ? "bytes" : "characters"}`));
    box.appendChild(element("pre", {}, preview.text));
  } else if ("repr" in preview) {
    box.appendChild(element("pre", {}, preview.repr));
  } else if (preview.preview_error) {
    box.appendChild(element("p", {}, preview.preview_error));
  }
  return box;
}

"""

STYLE = """
body{font:14px/1.45 system-ui,-apple-system,"Segoe UI",sans-serif;margin:0 auto;padding:16px 24px;max-width:1400px;
color:#1c2430;background:#fafbfc}
h1{font-size:20px;margin:4px 0 10px}h2{font-size:16px;margin:22px 0 8px}
code,pre{font-family:ui-monospace,"DejaVu Sans Mono",monospace}
.state{font-size:13px;padding:2px 8px;border-radius:10px;color:#fff;background:#2e7d32;vertical-align:middle}
.state.failed{background:#c62828}.state.interrupted{background:#ef6c00}.state.in-progress{background:#7b1fa2}
.facts{display:grid;grid-template-columns:max-content 1fr;gap:2px 14px;margin:0}.facts dt{color:#5f6b7a}
.facts dd{margin:0;word-break:break-all}
.chip{display:inline-block;margin:0 4px;padding:1px 8px;border-radius:9px;color:#fff;background:var(--c)}
.scroll{overflow:auto;max-height:560px;border:1px solid #dde3ea;border-radius:6px;background:#fff;padding:6px}
.graph{max-width:100%;height:auto}.graph .node text{fill:#fff;font-size:12px}.graph .node .name{font-weight:600}
.graph .edge{fill:none;stroke:#78909c;stroke-width:1.4}
#timeline svg text{font-size:11px;fill:#5f6b7a}#timeline .bar{stroke:#fff;stroke-width:.6}
#timeline .bar:hover{opacity:.75}
table{border-collapse:collapse;width:100%;background:#fff}
th,td{text-align:left;padding:4px 8px;border-bottom:1px solid #edf0f3;vertical-align:top}
th{position:sticky;top:0;background:#f1f4f7}
td.num{text-align:right;font-variant-numeric:tabular-nums}
.status{display:inline-block;padding:0 7px;border-radius:8px;color:#fff;font-size:12px}
td.error{max-width:560px;word-break:break-word}td.error pre{white-space:pre-wrap;max-height:260px;overflow:auto;
background:#f6f8fa;padding:6px;margin:4px 0}
details.value summary{cursor:pointer;color:#1e5fa8;font-size:12px}.preview{margin:4px 0;font-size:12px}
.preview pre{white-space:pre-wrap;max-height:260px;overflow:auto;background:#f6f8fa;padding:6px;margin:4px 0}
.preview-table th,.preview-table td{padding:1px 6px;font-size:12px;border-bottom:1px solid #edf0f3}
.links{margin:4px 0;font-size:12px}.warning{color:#b26a00;margin-left:6px}
#filters{margin:0 0 8px}#more{margin:8px 0;padding:4px 12px}#shown{color:#5f6b7a;margin-left:8px}
"""

SCRIPT = r"""
const data = JSON.parse(document.getElementById("run-data").textContent);
const COLUMNS = {id: 0, asset: 1, status: 2, duration: 3, attempts: 4, reason: 5, start: 6, end: 7, lane: 8,
                 errorType: 9, error: 10, frame: 11, log: 12, preview: 13, value: 14, logPath: 15, check: 16};

function seconds(value) {
  return value === null ? "" : value < 60 ? value.toFixed(2) + " s" : (value / 60).toFixed(1) + " min";
}

function drawTimeline() {
  // A canvas: thousands of bars draw in milliseconds; hovering names the job under the pointer.
  const ran = data.jobs.filter(job => job[COLUMNS.start] !== null && job[COLUMNS.end] !== null);
  const box = document.getElementById("timeline");
  if (!ran.length) {
    box.appendChild(element("p", {class: "empty"}, "No job ran in this run."));
    return;
  }
  const end = Math.max(...ran.map(job => job[COLUMNS.end]), 0.001);
  const label = 130, row = 18, width = Math.max(400, box.clientWidth - label - 30);
  const height = data.lanes.length * row + 24, scale = window.devicePixelRatio || 1;
  const canvas = element("canvas", {id: "timeline-canvas", role: "img", "data-bars": ran.length,
                                    "aria-label": `timeline of ${ran.length} jobs on ${data.lanes.length} lanes`});
  canvas.width = (label + width + 10) * scale;
  canvas.height = height * scale;
  canvas.style.width = label + width + 10 + "px";
  canvas.style.height = height + "px";
  const context = canvas.getContext("2d");
  context.scale(scale, scale);
  context.font = "11px system-ui, sans-serif";
  context.fillStyle = "#5f6b7a";
  data.lanes.forEach((lane, i) => context.fillText(lane.length > 20 ? lane.slice(0, 19) + "\u2026" : lane, 0, i * row + 13));
  for (let i = 0; i <= 4; i++) {
    context.fillText(seconds(end * i / 4), label + i / 4 * width - (i ? 40 : 0), height - 4);
  }
  const x = t => label + t / end * width;
  for (const job of ran) {
    context.fillStyle = data.colours[job[COLUMNS.status]];
    const left = x(job[COLUMNS.start]), span = Math.max(1, x(job[COLUMNS.end]) - left);
    context.fillRect(left, job[COLUMNS.lane] * row + 2, Math.max(1, span - 0.6), row - 4);
  }
  canvas.addEventListener("mousemove", event => {
    const bounds = canvas.getBoundingClientRect();
    const lane = Math.floor((event.clientY - bounds.top) / row);
    const time = (event.clientX - bounds.left - label) / width * end;
    const job = ran.find(j => j[COLUMNS.lane] === lane && j[COLUMNS.start] <= time && time <= j[COLUMNS.end]);
    canvas.title = job ? `${job[COLUMNS.id]}: ${job[COLUMNS.status]}, ${seconds(job[COLUMNS.start])} to ` +
                         `${seconds(job[COLUMNS.end])}` : "";
  });
  box.appendChild(canvas);
}

function errorCell(job) {
  const cell = element("td", {class: "error"});
  const check = job[COLUMNS.check];
  if (check && check.passed === false && job[COLUMNS.status] !== "failed") {
    cell.appendChild(element("div", {class: "warning"}, `warning: check '${check.name}' failed (not blocking): ` +
                                                        (check.message || "")));
  }
  if (job[COLUMNS.status] !== "failed") return cell;
  cell.appendChild(element("div", {}, job[COLUMNS.error] || job[COLUMNS.errorType] || ""));
  if (job[COLUMNS.frame]) cell.appendChild(element("div", {class: "frame"}, "at " + job[COLUMNS.frame]));
  if (job[COLUMNS.log]) {
    const more = element("details");
    more.appendChild(element("summary", {}, "end of its log"));
    more.appendChild(element("pre", {}, job[COLUMNS.log]));
    cell.appendChild(more);
  }
  return cell;
}

const PAGE_ROWS = 200;  // rows drawn at a time: a long run's table opens at once
let matching = [], drawn = 0;

function valueCell(job) {
  const cell = element("td", {class: "job"});
  cell.appendChild(document.createTextNode(job[COLUMNS.id]));
  const preview = job[COLUMNS.preview];
  if (!preview || !["succeeded", "up-to-date"].includes(job[COLUMNS.status])) return cell;
  const more = element("details", {class: "value"});
  more.appendChild(element("summary", {}, `value: ${preview.type || "?"} (${preview.format || "json"})`));
  if (preview.left_out) preview.left_out = job[COLUMNS.id];
  more.appendChild(previewBody(preview));
  const links = element("p", {class: "links"});
  if (job[COLUMNS.value]) links.appendChild(fileLink(job[COLUMNS.value], "value file"));
  if (job[COLUMNS.logPath]) {
    links.appendChild(document.createTextNode(" · "));
    links.appendChild(fileLink(job[COLUMNS.logPath], "log"));
  }
  more.appendChild(links);
  cell.appendChild(more);
  return cell;
}

function jobRow(job) {
  const row = element("tr", {"data-status": job[COLUMNS.status], "data-id": job[COLUMNS.id]});
  row.appendChild(valueCell(job));
  const status = element("td");
  status.appendChild(element("span", {class: "status", style: "background:" + data.colours[job[COLUMNS.status]]},
                             job[COLUMNS.status]));
  row.appendChild(status);
  row.appendChild(element("td", {class: "num"}, seconds(job[COLUMNS.duration])));
  row.appendChild(element("td", {class: "num"}, String(job[COLUMNS.attempts])));
  row.appendChild(element("td", {}, job[COLUMNS.reason] || ""));
  row.appendChild(errorCell(job));
  return row;
}

function drawMoreRows() {
  const rows = document.createDocumentFragment();
  for (const job of matching.slice(drawn, drawn + PAGE_ROWS)) rows.appendChild(jobRow(job));
  document.querySelector("#jobs tbody").appendChild(rows);
  drawn = Math.min(matching.length, drawn + PAGE_ROWS);
  const more = document.getElementById("more");
  more.hidden = drawn >= matching.length;
  more.textContent = `show ${Math.min(PAGE_ROWS, matching.length - drawn)} more of ${matching.length - drawn}`;
}

function statusOptions() {
  const select = document.getElementById("status");
  const counts = {};
  for (const job of data.jobs) counts[job[COLUMNS.status]] = (counts[job[COLUMNS.status]] || 0) + 1;
  for (const status of data.order) {
    if (counts[status]) select.appendChild(element("option", {value: status}, `${status} (${counts[status]})`));
  }
}

function applyFilter() {
  const status = document.getElementById("status").value;
  const search = document.getElementById("search").value.toLowerCase();
  matching = data.jobs.filter(job => (!status || job[COLUMNS.status] === status) &&
                                     (!search || job[COLUMNS.id].toLowerCase().includes(search)));
  document.querySelector("#jobs tbody").replaceChildren();
  drawn = 0;
  drawMoreRows();
  document.getElementById("shown").textContent = `${matching.length} of ${data.jobs.length} jobs`;
  const hash = new URLSearchParams();
  if (status) hash.set("status", status);
  if (search) hash.set("q", search);
  try {
    history.replaceState(null, "", hash.toString() ? "#" + hash : location.pathname);
  } catch (error) {
    // Some browsers refuse it for a page opened from disk; the filter still applies.
  }
}

function filterFromAddress() {
  const hash = new URLSearchParams(location.hash.slice(1));
  const select = document.getElementById("status");
  if ([...select.options].some(option => option.value === hash.get("status"))) select.value = hash.get("status");
  document.getElementById("search").value = hash.get("q") || "";
}

function around() {
  // Where this run stands: the state of every asset, the run before it, and what a run
  // of a selection left as it was.
  const line = document.getElementById("around");
  line.appendChild(fileLink("index.html", "the state of every asset"));
  if (data.previous) line.append(" · ", fileLink(data.previous, "the previous run"));
  if (data.untouched.length) {
    line.appendChild(element("span", {class: "untouched"}, ` · not touched by this run: ${data.untouched.join(", ")}`));
  }
}

around();
drawTimeline();
statusOptions();
filterFromAddress();
applyFilter();
document.getElementById("status").addEventListener("change", applyFilter);
document.getElementById("search").addEventListener("input", applyFilter);
document.getElementById("more").addEventListener("click", drawMoreRows);
"""
