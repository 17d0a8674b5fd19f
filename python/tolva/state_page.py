"""OUT/index.html: the state of every asset of the pipeline, whatever runs made it.

For each asset: how many of its jobs hold a value, failed or never ran, when and by
which run its newest value was made (a link to that run's page), what its checks
said, and its value's preview. A partitioned asset is a grid of its partitions (rows
by the first dimension, columns by the second, further ones chosen with a filter),
each cell coloured by its job's status, marked when a check of it failed; a click
shows the cell's details, as does ``index.html#job=<id>``. The grid draws only the
cells in view, so an asset of 10,000 partitions opens as fast as one of ten.
"""

import json
import os

from tolva import layout, records, values
from tolva.report_page import COLOURS, PAGE_HEAD, PREVIEW_BYTES_AT_MOST, SHARED_SCRIPT, STYLE, _link, _script_json, \
    escape

NEVER = "never run"
PAGE_COLOURS = dict(COLOURS, **{NEVER: "#eceff1"})
ORDER = ("failed", "cancelled", "skipped", NEVER, "succeeded", "up-to-date")


def write(out, plan, run_status, run_id, known=None):
    """Writes OUT/index.html for the plan's jobs: run_status holds the statuses of the
    jobs the latest run planned; the others are as their own records say (known: the
    records already read, by job id)."""
    layout.write_atomically(os.path.join(out, "index.html"), render(out, plan, run_status, run_id, known))


def render(out, plan, run_status, run_id, known=None):
    pages = _run_pages(out)
    assets, by_label, previews = [], {}, 0
    owner_hash = {}  # an asset's job -> the digest of the value it holds, which its checks were of
    for job in plan["jobs"]:
        check = job.get("check")
        entry = by_label.get(job["asset"])
        if entry is None:
            entry = by_label[job["asset"]] = {"name": job["asset"], "dims": list(job["partition"]), "keys": {},
                                              "checks": [], "jobs": [], "index": {}}
            entry["keys"] = {dim: {} for dim in entry["dims"]}
            assets.append(entry)
        state = (known or {}).get(job["id"]) or records.read_job_state(out, job["id"]) or {}
        status = run_status.get(job["id"]) or state.get("status") or NEVER
        if status not in PAGE_COLOURS:
            status = "failed"  # a record left running by a job that is gone
        if check is not None:
            names = [c["name"] for c in entry["checks"]]
            if check["name"] not in names:
                entry["checks"].append({"name": check["name"], "blocking": check["blocking"]})
                names.append(check["name"])
            owner = entry["index"].get(job["dependencies"][0])
            said = state.get("check") if status in records.FINISHED else None
            if said is not None and (state.get("upstream") or {}).get(job["dependencies"][0]) != owner_hash.get(
                    job["dependencies"][0], ""):
                status, said = "stale", None  # what it said was of an earlier value
            if owner is not None:
                owner[6][names.index(check["name"])] = [status, None if said is None else said.get("passed"),
                                                        None if said is None else said.get("message")]
            continue
        owner_hash[job["id"]] = state.get("value_hash") if status in records.DONE else None
        made_at, made_by = _made(state, status)
        preview = state.get("preview") if status in records.DONE else None
        if preview is not None:
            previews += len(json.dumps(preview, ensure_ascii=False))
            preview = preview if previews <= PREVIEW_BYTES_AT_MOST else {"left_out": True}
        cells = [_key_index(entry["keys"][dim], key) for dim, key in job["partition"].items()]
        row = [job["id"], cells, status, made_at, made_by, state.get("error") if status == "failed" else None, {},
               preview, _value_link(out, job, preview)]
        entry["jobs"].append(row)
        entry["index"][job["id"]] = row
    for entry in assets:
        del entry["index"]
        entry["keys"] = [list(keys) for keys in entry["keys"].values()]
        for row in entry["jobs"]:
            row[6] = [row[6].get(i) for i in range(len(entry["checks"]))]
    data = {"root": "", "colours": PAGE_COLOURS, "order": ORDER, "runs": pages, "latest": run_id,
            "assets": assets}
    return PAGE.format(title="tolva: the state of every asset", style=STYLE + STATE_STYLE, data=_script_json(data), script=SHARED_SCRIPT + SCRIPT,
                       latest=escape(run_id or ""))


def _key_index(keys, key):
    text = key if isinstance(key, str) else json.dumps(key, ensure_ascii=False)
    return keys.setdefault(text, len(keys))


def _made(state, status):
    if status not in records.DONE:
        return None, None
    if state.get("status") == "succeeded":
        return state.get("finished"), state.get("run_id")
    return state.get("made_at"), state.get("made_by")


def _value_link(out, job, preview):
    return _link(values.previewed_file(job["output_dir"], preview), out) if isinstance(preview, dict) else None


def _run_pages(out):
    """Each recorded run's page, by run id, as a link from OUT."""
    pages = {}
    for path in layout.history_files(out, ".html"):
        run_id = os.path.basename(path)[:-len(".html")].rsplit("-", 1)[-1]
        pages.setdefault(run_id, _link(path, out))
    return pages


PAGE = PAGE_HEAD + """<header><h1>The state of every asset</h1>
<p class="links"><a href="report.html">the latest run's page</a> (run <code>{latest}</code>) ·
<label>asset <input id="search" type="search" placeholder="search"></label> <output id="shown"></output></p>
<p class="legend" id="legend"></p></header>
<main id="assets"></main>
<script type="application/json" id="state-data">{data}</script>
<script>{script}</script>
</body>
</html>
"""

STATE_STYLE = """
.asset{background:#fff;border:1px solid #dde3ea;border-radius:6px;padding:8px 14px;margin:0 0 14px}
.asset h2{margin:4px 0 6px}.asset h2 .status{vertical-align:middle;margin-left:8px}
.checks{margin:4px 0;padding-left:18px;font-size:13px}.checks .fail{color:#c62828}
.legend .status{margin-right:6px}.grid-box{position:relative;overflow:auto;max-height:420px;
border:1px solid #edf0f3;margin:6px 0}.grid-box canvas{position:absolute;left:0;top:0}
.cell-details{border-left:3px solid #90a4ae;padding:2px 10px;margin:6px 0;font-size:13px}
.folded label{margin-right:10px;font-size:13px}
"""

SCRIPT = r"""
const data = JSON.parse(document.getElementById("state-data").textContent);
const J = {id: 0, cells: 1, status: 2, madeAt: 3, madeBy: 4, error: 5, checks: 6, preview: 7, value: 8};
const LABEL = 150, HEAD = 70;

function chip(status, text) {
  return element("span", {class: "status", style: "background:" + data.colours[status] +
                          (status === "never run" ? ";color:#5f6b7a" : "")}, text || status);
}

function when(seconds) {
  return seconds ? new Date(seconds * 1000).toISOString().slice(0, 19).replace("T", " ") + " UTC" : "";
}

function runLink(runId) {
  if (!runId) return document.createTextNode("");
  return data.runs[runId] ? fileLink(data.runs[runId], runId) : element("code", {}, runId);
}

function worst(jobs) {
  const seen = new Set(jobs.map(job => job[J.status]));
  return data.order.find(status => seen.has(status)) || "never run";
}

function checkFailed(job) {
  // 2: a blocking check failed, 1: a non-blocking one, 0: none.
  return job[J.checks].reduce((most, said, i) => said && said[1] === false ? Math.max(most, said[0] === "failed" ? 2 : 1) : most, 0);
}

function madeLine(jobs) {
  const newest = jobs.filter(job => job[J.madeAt]).sort((a, b) => b[J.madeAt] - a[J.madeAt])[0];
  const line = element("p", {class: "made"});
  if (!newest) {
    line.textContent = "no value yet";
    return line;
  }
  line.append(`newest value made ${when(newest[J.madeAt])} by run `, runLink(newest[J.madeBy]));
  return line;
}

function checkList(asset) {
  const list = element("ul", {class: "checks"});
  asset.checks.forEach((check, i) => {
    const said = asset.jobs.map(job => job[J.checks][i]).filter(s => s && s[1] !== null);
    const failed = said.filter(s => s[1] === false);
    const item = element("li", {class: failed.length ? "fail" : "", "data-check": check.name},
                         `check ${check.name}${check.blocking ? "" : " (not blocking)"}: ` +
                         `${said.filter(s => s[1] === true).length} passed, ${failed.length} failed` +
                         (said.length < asset.jobs.length ? `, ${asset.jobs.length - said.length} not run` : "") +
                         (failed.length && failed[0][2] ? ` (${failed[0][2]})` : ""));
    list.appendChild(item);
  });
  return list;
}

function details(asset, job, box) {
  box.replaceChildren();
  box.appendChild(element("p", {}, job[J.id] + " ")).appendChild(chip(job[J.status]));
  if (job[J.madeAt]) box.appendChild(element("p", {}, `made ${when(job[J.madeAt])} by run `)).appendChild(runLink(job[J.madeBy]));
  if (job[J.error]) box.appendChild(element("p", {class: "fail"}, job[J.error]));
  asset.checks.forEach((check, i) => {
    const said = job[J.checks][i];
    const text = !said ? "not run" : said[1] === true ? "passed" : said[1] === false ? "failed" :
                 said[0] === "stale" ? "not run on this value" : said[0];
    box.appendChild(element("p", {class: said && said[1] === false ? "fail" : ""},
                            `check ${check.name}: ${text}` + (said && said[2] ? ` (${said[2]})` : "")));
  });
  if (job[J.preview]) {
    if (job[J.preview].left_out) job[J.preview].left_out = job[J.id];
    box.appendChild(previewBody(job[J.preview]));
  }
  if (job[J.value]) box.appendChild(element("p", {class: "links"})).appendChild(fileLink(job[J.value], "value file"));
  box.hidden = false;
}

function text(asset, dim, index) {
  return asset.keys[dim][index];
}

class Grid {
  // Rows: the first dimension's keys (one dimension: its keys wrapped in rows);
  // columns: the second's; further dimensions are folded, one key each at a time.
  constructor(asset, section, box) {
    this.asset = asset;
    this.box = box;
    this.cell = asset.jobs.length <= 400 ? 22 : 14;  // a few partitions read better large
    this.folded = asset.dims.slice(2).map(() => 0);
    this.byCells = new Map(asset.jobs.map(job => [job[J.cells].join(","), job]));
    if (asset.dims.length > 2) {
      const filters = element("p", {class: "folded"});
      asset.dims.slice(2).forEach((dim, i) => {
        const label = element("label", {}, dim + " ");
        const select = element("select", {"data-dim": dim});
        asset.keys[i + 2].forEach((key, k) => select.appendChild(element("option", {value: k}, key)));
        select.addEventListener("change", () => { this.folded[i] = Number(select.value); this.draw(); });
        label.appendChild(select);
        filters.appendChild(label);
      });
      section.appendChild(filters);
    }
    this.scroller = element("div", {class: "grid-box"});
    this.sizer = element("div");
    this.canvas = element("canvas", {role: "img", "aria-label": `partitions of ${asset.name}`,
                                     "data-cells": asset.jobs.length});
    this.scroller.append(this.sizer, this.canvas);
    section.appendChild(this.scroller);
    this.scroller.addEventListener("scroll", () => this.draw());
    this.canvas.addEventListener("click", event => this.click(event));
    this.canvas.addEventListener("mousemove", event => {
      const job = this.at(event);
      this.canvas.title = job ? `${job[J.id]}: ${job[J.status]}` : "";
    });
  }

  layout() {
    const two = this.asset.dims.length >= 2;
    const width = Math.max(300, this.scroller.clientWidth || 800);
    this.left = two ? LABEL : 0;
    this.top = two ? HEAD : 0;
    this.columns = two ? this.asset.keys[1].length : Math.max(1, Math.floor((width - 4) / this.cell));
    this.rows = two ? this.asset.keys[0].length : Math.ceil(this.asset.keys[0].length / this.columns);
    this.sizer.style.width = this.left + this.columns * this.cell + "px";
    this.sizer.style.height = this.top + this.rows * this.cell + "px";
  }

  cellJob(row, column) {
    if (this.asset.dims.length === 1) {
      const index = row * this.columns + column;
      return index < this.asset.keys[0].length ? this.byCells.get(String(index)) : undefined;
    }
    return this.byCells.get([row, column, ...this.folded].join(","));
  }

  at(event) {
    const bounds = this.canvas.getBoundingClientRect();
    const x = event.clientX - bounds.left + this.scroller.scrollLeft - this.left;
    const y = event.clientY - bounds.top + this.scroller.scrollTop - this.top;
    if (x < 0 || y < 0) return undefined;
    const row = Math.floor(y / this.cell), column = Math.floor(x / this.cell);
    return row < this.rows && column < this.columns ? this.cellJob(row, column) : undefined;
  }

  click(event) {
    const job = this.at(event);
    if (job) details(this.asset, job, this.box);
  }

  draw() {
    if (this.columns === undefined) this.layout();
    const view = this.scroller, scale = window.devicePixelRatio || 1;
    const width = Math.min(view.clientWidth || 800, this.left + this.columns * this.cell);
    const height = Math.min(view.clientHeight || 420, this.top + this.rows * this.cell);
    this.canvas.width = width * scale;
    this.canvas.height = height * scale;
    this.canvas.style.width = width + "px";
    this.canvas.style.height = height + "px";
    this.canvas.style.left = view.scrollLeft + "px";
    this.canvas.style.top = view.scrollTop + "px";
    const context = this.canvas.getContext("2d");
    context.scale(scale, scale);
    context.font = "11px system-ui, sans-serif";
    const firstRow = Math.floor(view.scrollTop / this.cell), firstColumn = Math.floor(view.scrollLeft / this.cell);
    const lastRow = Math.min(this.rows, firstRow + Math.ceil(height / this.cell) + 1);
    const lastColumn = Math.min(this.columns, firstColumn + Math.ceil(width / this.cell) + 1);
    let drawn = 0;
    for (let row = firstRow; row < lastRow; row++) {
      for (let column = firstColumn; column < lastColumn; column++) {
        const job = this.cellJob(row, column);
        if (!job) continue;
        const x = this.left + (column - firstColumn) * this.cell - view.scrollLeft % this.cell;
        const y = this.top + (row - firstRow) * this.cell - view.scrollTop % this.cell;
        context.fillStyle = data.colours[job[J.status]];
        context.fillRect(x, y, this.cell - 2, this.cell - 2);
        const failed = checkFailed(job);
        if (failed) {
          // A failed check: a dark corner (red for a blocking one, amber otherwise).
          context.fillStyle = failed === 2 ? "#7f0000" : "#ffb300";
          context.beginPath();
          context.moveTo(x + this.cell - 2, y);
          context.lineTo(x + this.cell - 2, y + 7);
          context.lineTo(x + this.cell - 9, y);
          context.fill();
        }
        drawn++;
      }
    }
    this.canvas.dataset.drawn = drawn;
    this.canvas.dataset.folded = this.folded.join(",");
    if (this.asset.dims.length >= 2) {
      context.fillStyle = "#fff";
      context.fillRect(0, 0, width, this.top);
      context.fillRect(0, 0, this.left, height);
      context.fillStyle = "#5f6b7a";
      for (let row = firstRow; row < lastRow; row++) {
        const label = text(this.asset, 0, row);
        context.fillText(label.length > 22 ? label.slice(0, 21) + "\u2026" : label, 2,
                         this.top + (row - firstRow) * this.cell - view.scrollTop % this.cell + 10);
      }
      for (let column = firstColumn; column < lastColumn; column++) {
        const label = text(this.asset, 1, column);
        context.save();
        context.translate(this.left + (column - firstColumn) * this.cell - view.scrollLeft % this.cell + 10, this.top - 4);
        context.rotate(-Math.PI / 2);
        context.fillText(label.length > 11 ? label.slice(0, 10) + "\u2026" : label, 0, 0);
        context.restore();
      }
      context.fillText(`${this.asset.dims[0]} \u2193  ${this.asset.dims[1]} \u2192`, 2, 12);
    }
  }
}

function counts(jobs) {
  const found = {};
  for (const job of jobs) found[job[J.status]] = (found[job[J.status]] || 0) + 1;
  const line = element("p", {class: "chips"}, `${jobs.length} job${jobs.length === 1 ? "" : "s"}: `);
  for (const status of data.order) if (found[status]) line.appendChild(chip(status, `${found[status]} ${status}`));
  return line;
}

const sections = [], grids = [], gridOf = {};

function drawAsset(asset, i) {
  const section = element("article", {class: "asset", id: "asset-" + i, "data-name": asset.name,
                                      "data-status": worst(asset.jobs)});
  const title = element("h2", {}, asset.name);
  title.appendChild(chip(worst(asset.jobs)));
  section.append(title, counts(asset.jobs), madeLine(asset.jobs));
  if (asset.checks.length) section.appendChild(checkList(asset));
  const box = element("div", {class: "cell-details", hidden: ""});
  if (asset.dims.length === 0) {
    section.appendChild(box);
    details(asset, asset.jobs[0], box);
  } else {
    section.appendChild(element("p", {class: "dims"}, `partitions by ${asset.dims.join(" × ")}: click a cell`));
    const grid = new Grid(asset, section, box);
    section.appendChild(box);
    grids.push(grid);
    gridOf[i] = grid;
  }
  sections.push(section);
  return section;
}

function legend() {
  const line = document.getElementById("legend");
  for (const status of data.order) line.appendChild(chip(status));
}

function applySearch() {
  const search = document.getElementById("search").value.toLowerCase();
  let shown = 0;
  for (const section of sections) {
    section.hidden = !!search && !section.dataset.name.toLowerCase().includes(search);
    shown += section.hidden ? 0 : 1;
  }
  document.getElementById("shown").textContent = `${shown} of ${sections.length} assets`;
  for (const grid of grids) if (!grid.scroller.closest("[hidden]")) { grid.layout(); grid.draw(); }
}

function jobFromAddress() {
  const wanted = new URLSearchParams(location.hash.slice(1)).get("job");
  if (!wanted) return;
  data.assets.forEach((asset, i) => {
    const job = asset.jobs.find(j => j[J.id] === wanted);
    if (!job) return;
    const grid = gridOf[i];
    if (grid && asset.dims.length > 2) {
      // The grid shows the folded keys of the job asked for.
      grid.folded = job[J.cells].slice(2);
      sections[i].querySelectorAll(".folded select").forEach((select, d) => { select.value = grid.folded[d]; });
      grid.draw();
    }
    details(asset, job, sections[i].querySelector(".cell-details"));
  });
}

legend();
const main = document.getElementById("assets");
data.assets.forEach((asset, i) => main.appendChild(drawAsset(asset, i)));
applySearch();
jobFromAddress();
document.getElementById("search").addEventListener("input", applySearch);
window.addEventListener("hashchange", jobFromAddress);
window.addEventListener("resize", () => grids.forEach(grid => { grid.layout(); grid.draw(); }));
"""
