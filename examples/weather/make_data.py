"""Writes the synthetic data set of the weather example: deterministic, made up.

    python examples/weather/make_data.py

Four invented stations, 90 days from 2026-01-01, a temperature and a rainfall
reading every six hours: a seasonal curve per station plus seeded noise.
"""

import csv
import datetime
import math
import pathlib
import random

STATIONS = [
    ("nordhavn", "Nordhavn (synthetic)", 2.0, 6.0),
    ("eastfield", "Eastfield (synthetic)", 5.5, 7.5),
    ("highmoor", "Highmoor (synthetic)", -1.0, 9.0),
    ("southbay", "Southbay (synthetic)", 11.0, 5.0),
]
DAYS = 90


def main():
    here = pathlib.Path(__file__).resolve().parent / "data"
    here.mkdir(exist_ok=True)
    rng = random.Random(42)
    with open(here / "stations.csv", "w", newline="") as f:
        writer = csv.writer(f)
        writer.writerow(["id", "name", "base_celsius", "swing_celsius"])
        for row in STATIONS:
            writer.writerow(row)
    start = datetime.date(2026, 1, 1)
    with open(here / "readings.csv", "w", newline="") as f:
        writer = csv.writer(f)
        writer.writerow(["station", "date", "hour", "celsius", "rain_mm"])
        for station, _, base, swing in STATIONS:
            for day in range(DAYS):
                date = start + datetime.timedelta(days=day)
                season = base + swing * math.sin((day - 20) / DAYS * math.pi)
                for hour in (0, 6, 12, 18):
                    daily = 3.0 * math.sin((hour - 9) / 24 * 2 * math.pi)
                    celsius = round(season + daily + rng.gauss(0, 1.8), 1)
                    rain = round(max(0.0, rng.gauss(-1.0, 2.5)), 1)
                    writer.writerow([station, date.isoformat(), hour, celsius, rain])


if __name__ == "__main__":
    main()
