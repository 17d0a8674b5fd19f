"""Date partitions: hourly, daily, weekly and monthly keys as ordinary partitions of
ISO-8601 text, from a start to an end (both included); and inputs that read an
upstream asset's other periods, as the reference strings inputs take.

    @asset(partitions={"day": daily("2024-01-01")})
    @asset(inputs={"today": totals, "yesterday": previous(totals, "day"),
                   "week": window(totals, "day", 7)}, partitions={"day": daily("2024-01-01")})

Keys: days "2024-03-01", ISO weeks "2024-W09", months "2024-03", hours as local time
with its offset "2024-03-01T05:00+00:00" (an hour that a change of clocks repeats
keeps two keys). With end=None the last key is the last *complete* period in the
time zone, so a plan made tomorrow has one more job.
"""

import datetime
import os

from _tolva import partitions

_FORMS = {"hourly": "YYYY-MM-DDTHH:MM", "daily": "YYYY-MM-DD", "weekly": "YYYY-Www or YYYY-MM-DD",
          "monthly": "YYYY-MM or YYYY-MM-DD"}
_LIMIT = 1_000_000  # keys in one dimension: a start a century back in hours is a mistake


def hourly(start, end=None, *, tz="UTC"):
    """Partitions of the hours from start to end, in the time zone tz."""
    return _periods("hourly", start, end, tz)


def daily(start, end=None, *, tz="UTC"):
    """Partitions of the days from start to end ("2024-03-01")."""
    return _periods("daily", start, end, tz)


def weekly(start, end=None, *, tz="UTC"):
    """Partitions of the ISO weeks from the one holding start to the one holding end ("2024-W09")."""
    return _periods("weekly", start, end, tz)


def monthly(start, end=None, *, tz="UTC"):
    """Partitions of the months from start to end ("2024-03")."""
    return _periods("monthly", start, end, tz)


def _periods(kind, start, end, tz):
    return partitions(period_keys(kind, start, end, tz))


def period_keys(kind, start, end=None, tz="UTC"):
    """The keys of kind ("hourly", "daily", "weekly", "monthly") from start to end."""
    zone = _zone(kind, tz)
    first = _period(kind, _parse(kind, "start", start, zone), zone)
    last = _period(kind, _parse(kind, "end", end, zone), zone) if end is not None else _last_complete(kind, zone)
    if last < first:
        ending = f"'{_text(end)}'" if end is not None else f"(the last complete period in {tz}, {_key(kind, last, zone)})"
        raise ValueError(f"{kind}(): end {ending} is before start '{_text(start)}'")
    if _count(kind, first, last) > _LIMIT:
        raise ValueError(f"{kind}(): more than {_LIMIT:,} periods from '{_text(start)}'")
    keys, period = [], first
    while period <= last:
        keys.append(_key(kind, period, zone))
        period = _after(kind, period)
    return keys


def _count(kind, first, last):
    """How many periods from first to last, both included, counted without listing them."""
    if kind == "monthly":
        return (last.year - first.year) * 12 + last.month - first.month + 1
    step = datetime.timedelta(hours=1) if kind == "hourly" else datetime.timedelta(days=7 if kind == "weekly" else 1)
    return (last - first) // step + 1


def _zone(kind, tz):
    if isinstance(tz, datetime.tzinfo):
        return tz
    if not isinstance(tz, str):
        raise TypeError(f"{kind}(): tz must be a time zone name such as 'Europe/Paris', not {type(tz).__name__}")
    if tz == "UTC":
        return datetime.timezone.utc
    import zoneinfo

    try:
        return zoneinfo.ZoneInfo(tz)
    except (zoneinfo.ZoneInfoNotFoundError, ValueError):
        raise ValueError(f"{kind}(): unknown time zone '{tz}'") from None


def _text(value):
    return value.isoformat() if isinstance(value, (datetime.date, datetime.datetime)) else str(value)


def _parse(kind, which, value, zone):
    """A datetime (hourly, aware) or a date for the other kinds."""
    if isinstance(value, datetime.datetime):
        parsed = value
    elif isinstance(value, datetime.date):
        parsed = value
    elif isinstance(value, str):
        parsed = _parse_text(kind, value)
        if parsed is None:
            raise ValueError(f"{kind}(): {which} '{value}' is not a date ({_FORMS[kind]})")
    else:
        raise TypeError(f"{kind}(): {which} must be a date, a datetime or ISO text, not {type(value).__name__}")
    if kind == "hourly":
        if not isinstance(parsed, datetime.datetime):
            parsed = datetime.datetime(parsed.year, parsed.month, parsed.day)
        return parsed.replace(tzinfo=zone) if parsed.tzinfo is None else parsed.astimezone(zone)
    if isinstance(parsed, datetime.datetime):
        parsed = (parsed.astimezone(zone) if parsed.tzinfo is not None else parsed).date()
    return parsed


def _parse_text(kind, text):
    try:
        if kind == "weekly" and "-W" in text:
            year, week = text.split("-W")
            return datetime.date.fromisocalendar(int(year), int(week), 1)
        if kind == "monthly" and len(text) == 7:
            return datetime.date.fromisoformat(text + "-01")
        if kind == "hourly" and "T" in text:
            return datetime.datetime.fromisoformat(text)
        return datetime.date.fromisoformat(text)
    except ValueError:
        return None


def _period(kind, value, zone):
    """The start of the period holding value: an hour as a UTC instant, or a date."""
    if kind == "hourly":
        return value.astimezone(datetime.timezone.utc).replace(minute=0, second=0, microsecond=0)
    if kind == "weekly":
        return value - datetime.timedelta(days=value.weekday())
    if kind == "monthly":
        return value.replace(day=1)
    return value


def _after(kind, period):
    if kind == "hourly":
        return period + datetime.timedelta(hours=1)
    if kind == "weekly":
        return period + datetime.timedelta(days=7)
    if kind == "monthly":
        return (period.replace(day=28) + datetime.timedelta(days=4)).replace(day=1)
    return period + datetime.timedelta(days=1)


def _last_complete(kind, zone):
    now = datetime.datetime.now(zone)
    if kind == "hourly":
        return _period(kind, now, zone) - datetime.timedelta(hours=1)
    current = _period(kind, now.date(), zone)
    if kind == "monthly":
        return (current - datetime.timedelta(days=1)).replace(day=1)
    return current - datetime.timedelta(days=7 if kind == "weekly" else 1)


def _key(kind, period, zone):
    if kind == "hourly":
        return period.astimezone(zone).isoformat(timespec="minutes")
    if kind == "weekly":
        year, week, _ = period.isocalendar()
        return f"{year}-W{week:02d}"
    if kind == "monthly":
        return period.strftime("%Y-%m")
    return period.isoformat()


def previous(upstream, dimension, offset=-1):
    """An input that reads the upstream asset's value of the period offset from the
    job's own on dimension (-1: the one before); None where there is none."""
    if not isinstance(offset, int) or isinstance(offset, bool):
        raise TypeError(f"previous(): offset must be an int, not {type(offset).__name__}")
    return f"{_reference('previous', upstream, dimension)}|previous({dimension}, {offset})"


def window(upstream, dimension, size):
    """An input that reads the upstream asset's values of the last size periods up to
    the job's own, oldest first, as a gather gives them ({"partition", "value"}
    items); fewer at the start of the dimension."""
    if not isinstance(size, int) or isinstance(size, bool) or size < 1:
        raise ValueError(f"window(): size must be a positive int, not {size!r}")
    return f"{_reference('window', upstream, dimension)}|window({dimension}, {size})"


def _reference(helper, upstream, dimension):
    """The reference string @asset(inputs=...) makes of the upstream."""
    if not isinstance(dimension, str) or not dimension:
        raise TypeError(f"{helper}(): dimension must be a dimension's name, not {dimension!r}")
    if isinstance(upstream, str):
        return upstream
    try:
        if upstream.__tolva_kind__ != "asset":
            raise AttributeError
        fn = upstream.__tolva_original__
    except AttributeError:
        raise TypeError(f"{helper}(): upstream must be an @asset-decorated function or an asset's name, "
                        f"not {type(upstream).__name__}") from None
    return f"{os.path.realpath(fn.__code__.co_filename)}:{fn.__name__}"
