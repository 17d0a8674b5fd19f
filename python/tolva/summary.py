"""What people read at a run's end: one row per asset, each failed asset's first
failure, a footer; and the terminal styles every printed line shares. Prints only."""

import os
import sys

from tolva._cli import printable
from tolva.records import DONE, FINISHED, NOT_RUN, STATUSES, row_label


class Style:
    """Colour on a terminal only, and never when NO_COLOR is set."""

    def __init__(self, stream):
        self.on = stream.isatty() and not os.environ.get("NO_COLOR")

    def _paint(self, code, text):
        return f"\033[{code}m{text}\033[0m" if self.on else text

    def failed(self, text):
        return self._paint("31", text)

    def succeeded(self, text):
        return self._paint("32", text)

    def dim(self, text):
        return self._paint("2", text)

    def status(self, status, text):
        if status == "failed":
            return self.failed(text)
        if status in DONE:
            return self.succeeded(text)
        return self.dim(text)


def print_summary(assets, entries, details, elapsed, interrupted, record_path, stream=None):
    """One row per asset, the first failure of each failed asset with its last user
    frame and log, then a footer of at most 80 columns."""
    stream = stream or sys.stdout
    style = Style(stream)
    by_asset = {}
    for entry in entries:
        by_asset.setdefault(row_label(entry), []).append(entry)
    labels = [label for label in assets if label in by_asset]
    shown = {label: printable(label) for label in labels}
    width = max([len("asset")] + [len(shown[label]) for label in labels])
    print(f"\n{'asset':<{width}}  succeeded  up-to-date  failed  skipped  cancelled  total job time", file=stream)
    for label in labels:
        statuses = [e["status"] for e in by_asset[label]]
        seconds = sum(e["duration"] or 0.0 for e in by_asset[label])
        counts = [statuses.count(s) for s in STATUSES]
        row = (f"{shown[label]:<{width}}  {counts[0]:>9}  {counts[1]:>10}  {counts[2]:>6}  {counts[3]:>7}  {counts[4]:>9}  "
               f"{seconds:13.2f}s")
        print(style.failed(row) if counts[2] else row, file=stream)
    for label in labels:
        failed = [e for e in by_asset[label] if e["status"] == "failed"]
        if failed:
            first = failed[0]
            detail = details.get(first["id"], {})
            error = printable(str(first['error'] or first['error_type']).replace("\n", " "))
            print(style.failed(f"\n{shown[label]}: {error}"), file=stream)
            if detail.get("frame"):
                print(f"  at {printable(detail['frame'])}", file=stream)
            log = f"; log: {printable(detail['log'])}" if detail.get("log") else ""
            print(f"  first failed job: {printable(first['id'])}{log}", file=stream)
    warned = [e for e in entries if e["status"] in DONE and (e.get("check") or {}).get("passed") is False]
    for label in labels:
        mine = [e for e in warned if row_label(e) == label]
        if mine:
            print(f"\n{shown[label]}: warning: {len(mine)} of {len(by_asset[label])} failed (not blocking): "
                  f"{printable(mine[0]['check']['message'] or '')}", file=stream)
            print(f"  first: {printable(mine[0]['id'])}", file=stream)
    counts = {s: sum(1 for e in entries if e["status"] == s) for s in STATUSES}
    done = sum(1 for e in entries if e["status"] in FINISHED)
    running = sum(1 for e in entries if e["status"] == "running")
    not_run = sum(1 for e in entries if e["status"] in NOT_RUN)
    state = ("interrupted" if interrupted else "in progress" if running else
             "failed" if counts["failed"] or not_run else "succeeded")
    footer = (f"{state}: {done} of {len(entries)} jobs done ({counts['up-to-date']} up to date), "
              f"{counts['failed']} failed, {f'{running} running, ' if running else ''}{not_run} not run, "
              + (f"{len(warned)} check{'s' if len(warned) != 1 else ''} failed (not blocking), " if warned else "")
              + f"{elapsed:.1f}s")
    print("\n" + style.status("succeeded" if state == "succeeded" else "failed", footer), file=stream)
    print(f"run record: {printable(record_path)}", file=stream)
