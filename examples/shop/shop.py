"""A small tolva pipeline whose values are pandas DataFrames, stored as Parquet, over
the synthetic orders in data/.

orders[region] ─> daily[region] ─> revenue ─┬─> summary
                                             └─> export (CSV, a format of this module's own)

Run it from the repository root (it needs pandas and pyarrow):

    python -m tolva.run examples.shop.shop
    python -m tolva.run examples.shop.shop --show revenue
"""

import pathlib

import pandas as pd

import tolva
from tolva import asset, partitions

DATA = pathlib.Path(__file__).resolve().parent / "data"
REGIONS = partitions(["north", "south", "west"])


@asset(serializer="parquet", partitions={"region": REGIONS})
def orders(region: str) -> pd.DataFrame:
    """The orders of one region, as the data set lists them."""
    frame = pd.read_csv(DATA / "orders.csv", parse_dates=["date"])
    return frame[frame["region"] == region].reset_index(drop=True)


@asset(inputs={"orders": orders}, serializer="parquet", partitions={"region": REGIONS})
def daily(orders: pd.DataFrame, region: str) -> pd.DataFrame:
    """Per day of one region: how many orders, and their revenue."""
    orders = orders.assign(revenue=orders["quantity"] * orders["unit_price"])
    return orders.groupby("date", as_index=False).agg(orders=("order_id", "count"), revenue=("revenue", "sum"))


@asset(inputs={"days": daily}, serializer="parquet")
def revenue(days: list[pd.DataFrame]) -> pd.DataFrame:
    """Revenue per date (rows) and region (columns); 0 where a region sold nothing."""
    by_region = {day["partition"]["region"]: day["value"].set_index("date")["revenue"] for day in days}
    return pd.concat(by_region, axis=1).fillna(0.0).sort_index()


@asset(inputs={"table": revenue})
def summary(table: pd.DataFrame) -> dict:
    """A JSON summary for people and dashboards."""
    totals = table.sum()
    return {"days": len(table), "total": round(float(totals.sum()), 2),
            "by_region": {region: round(float(value), 2) for region, value in totals.items()},
            "best_region": str(totals.idxmax()), "best_day": table.sum(axis=1).idxmax().date().isoformat()}


@tolva.value_format("csv", suffix=".csv")
class Csv:
    """A DataFrame as CSV, for the people who open it in a spreadsheet: index and all.
    Registered here, where the assets are, so that every job and worker knows it."""

    def dump(self, value, path):
        value.to_csv(path)

    def load(self, path):
        return pd.read_csv(path, index_col=0, parse_dates=True)

    def preview(self, value):
        return {"rows": len(value), "columns": [[str(c), str(t)] for c, t in value.dtypes.items()]}


@asset(inputs={"table": revenue}, serializer="csv")
def export(table: pd.DataFrame) -> pd.DataFrame:
    """The revenue table with a total per day, as CSV."""
    return table.assign(total=table.sum(axis=1)).round(2)
