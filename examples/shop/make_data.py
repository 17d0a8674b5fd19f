"""Writes the synthetic order data of the shop example: deterministic, made up.

    python examples/shop/make_data.py

Three invented regions, 60 days from 2026-03-01, a few orders a day of four products:
seeded noise, no real data.
"""

import csv
import datetime
import pathlib
import random

REGIONS = ["north", "south", "west"]
PRODUCTS = {"kettle": 24.5, "lamp": 39.0, "mug": 6.25, "teapot": 18.75}
DAYS = 60


def main():
    here = pathlib.Path(__file__).resolve().parent / "data"
    here.mkdir(exist_ok=True)
    rng = random.Random(7)
    start = datetime.date(2026, 3, 1)
    order_id = 1000
    with open(here / "orders.csv", "w", newline="") as f:
        writer = csv.writer(f)
        writer.writerow(["order_id", "date", "region", "product", "quantity", "unit_price"])
        for day in range(DAYS):
            date = start + datetime.timedelta(days=day)
            for region in REGIONS:
                for _ in range(rng.randint(1, 4)):
                    order_id += 1
                    product = rng.choice(sorted(PRODUCTS))
                    writer.writerow([order_id, date.isoformat(), region, product, rng.randint(1, 5),
                                     PRODUCTS[product]])


if __name__ == "__main__":
    main()
