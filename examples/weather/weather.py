"""A small tolva pipeline over the synthetic weather data in data/.

stations ─┐
readings[station] ─> daily[station] ─> network ─> extremes ─┐
                                          └──────────────────┴─> report

daily's check, plausible_days, runs after each station's day table; a station whose
days fail it does not reach the network.

Run it from the repository root:

    python -m tolva.run examples.weather.weather

The report (Markdown and an SVG chart) lands in examples/weather/report/.
"""

import csv
import pathlib
import statistics

from tolva import CheckResult, asset, check, partitions

DATA = pathlib.Path(__file__).resolve().parent / "data"
REPORT_DIR = pathlib.Path(__file__).resolve().parent / "report"
STATION_IDS = ["eastfield", "highmoor", "nordhavn", "southbay"]


@asset()
def stations() -> list:
    """The stations of the network, as the data set lists them."""
    with open(DATA / "stations.csv", newline="") as f:
        return [
            {"id": row["id"], "name": row["name"]} for row in csv.DictReader(f)
        ]


@asset(partitions={"station": partitions(STATION_IDS)})
def readings(station: str) -> list:
    """Every reading of one station."""
    with open(DATA / "readings.csv", newline="") as f:
        return [
            {"date": row["date"], "hour": int(row["hour"]), "celsius": float(row["celsius"]),
             "rain_mm": float(row["rain_mm"])}
            for row in csv.DictReader(f)
            if row["station"] == station
        ]


@asset(inputs={"rows": readings}, partitions={"station": partitions(STATION_IDS)})
def daily(rows: list, station: str) -> list:
    """Per day and station: lowest, highest and mean temperature, total rain."""
    days = {}
    for row in rows:
        days.setdefault(row["date"], []).append(row)
    return [
        {
            "date": date,
            "min": min(r["celsius"] for r in day),
            "max": max(r["celsius"] for r in day),
            "mean": round(statistics.fmean(r["celsius"] for r in day), 2),
            "rain_mm": round(sum(r["rain_mm"] for r in day), 1),
        }
        for date, day in sorted(days.items())
    ]


@check(daily)
def plausible_days(days: list, station: str) -> CheckResult:
    """Each day's lowest, mean and highest temperature in order, and no rain below zero:
    a station whose data fails this does not reach the network."""
    wrong = [d["date"] for d in days if not d["min"] <= d["mean"] <= d["max"] or d["rain_mm"] < 0]
    return CheckResult(not wrong, f"{len(wrong)} implausible days at {station}" if wrong else "",
                       {"days": len(days), "wrong": wrong[:5]})


@asset(inputs={"per_station": daily})
def network(per_station: list) -> dict:
    """All stations together: gathers every partition of daily."""
    return {entry["partition"]["station"]: entry["value"] for entry in per_station}


@asset(inputs={"network": network})
def extremes(network: dict) -> dict:
    """Warmest and coldest day and wettest day of each station."""
    result = {}
    for station, days in sorted(network.items()):
        result[station] = {
            "warmest": max(days, key=lambda d: d["max"]),
            "coldest": min(days, key=lambda d: d["min"]),
            "wettest": max(days, key=lambda d: d["rain_mm"]),
        }
    return result


COLOURS = ["#1b6ca8", "#d1495b", "#edae49", "#2a9d3f"]


def svg_chart(network, names, width=760, height=340):
    """A line chart of the daily mean temperature of each station."""
    left, right, top, bottom = 48, 150, 20, 36
    series = sorted(network.items())
    values = [d["mean"] for _, days in series for d in days]
    low, high = min(values) - 1, max(values) + 1
    count = max(len(days) for _, days in series)

    def x(i):
        return left + i * (width - left - right) / max(1, count - 1)

    def y(v):
        return top + (high - v) * (height - top - bottom) / (high - low)

    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
             f'viewBox="0 0 {width} {height}" font-family="Helvetica, Arial, sans-serif" font-size="11">',
             f'<rect width="{width}" height="{height}" fill="white"/>']
    step = 5 if high - low < 40 else 10
    tick = int(low // step * step)
    while tick <= high:
        if tick >= low:
            parts.append(f'<line x1="{left}" x2="{width - right}" y1="{y(tick):.1f}" y2="{y(tick):.1f}" '
                         'stroke="#e4e4e4"/>')
            parts.append(f'<text x="{left - 6}" y="{y(tick) + 4:.1f}" text-anchor="end" fill="#555">{tick}°C</text>')
        tick += step
    first_dates = series[0][1]
    for i in range(0, count, 15):
        parts.append(f'<text x="{x(i):.1f}" y="{height - 14}" text-anchor="middle" fill="#555">'
                     f'{first_dates[i]["date"][5:]}</text>')
    for k, (station, days) in enumerate(series):
        colour = COLOURS[k % len(COLOURS)]
        points = " ".join(f"{x(i):.1f},{y(d['mean']):.1f}" for i, d in enumerate(days))
        parts.append(f'<polyline fill="none" stroke="{colour}" stroke-width="1.6" points="{points}"/>')
        ly = top + 14 + k * 18
        parts.append(f'<rect x="{width - right + 14}" y="{ly - 9}" width="12" height="3" fill="{colour}"/>')
        parts.append(f'<text x="{width - right + 32}" y="{ly - 4}" fill="#222">{names.get(station, station)}</text>')
    parts.append(f'<text x="{left}" y="12" fill="#222">Daily mean temperature (synthetic data)</text>')
    parts.append("</svg>")
    return "\n".join(parts) + "\n"


@asset(inputs={"network": network, "extremes": extremes, "stations": stations})
def report(network: dict, extremes: dict, stations: list, report_dir: str = str(REPORT_DIR)) -> dict:
    """Writes report.md and chart.svg; returns where they are."""
    names = {s["id"]: s["name"] for s in stations}
    out = pathlib.Path(report_dir)
    out.mkdir(parents=True, exist_ok=True)
    (out / "chart.svg").write_text(svg_chart(network, names), encoding="utf-8")
    lines = ["# Weather report", "", "Synthetic data: four invented stations, 90 days from 2026-01-01.", "",
             "![Daily mean temperature](chart.svg)", "",
             "| station | days | mean °C | lowest °C | highest °C | rain mm |", "|---|---:|---:|---:|---:|---:|"]
    for station, days in sorted(network.items()):
        lines.append(
            f"| {names.get(station, station)} | {len(days)} | {statistics.fmean(d['mean'] for d in days):.1f} | "
            f"{min(d['min'] for d in days):.1f} | {max(d['max'] for d in days):.1f} | "
            f"{sum(d['rain_mm'] for d in days):.1f} |"
        )
    lines += ["", "## Extremes", ""]
    for station, e in sorted(extremes.items()):
        lines.append(
            f"- **{names.get(station, station)}**: warmest {e['warmest']['date']} ({e['warmest']['max']} °C), "
            f"coldest {e['coldest']['date']} ({e['coldest']['min']} °C), "
            f"wettest {e['wettest']['date']} ({e['wettest']['rain_mm']} mm)"
        )
    (out / "report.md").write_text("\n".join(lines) + "\n", encoding="utf-8")
    return {"report": str(out / "report.md"), "chart": str(out / "chart.svg")}
