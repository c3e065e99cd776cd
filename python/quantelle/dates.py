"""Dates of documents: epoch seconds as the module reads them, from numbers or ``datetime64``."""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

from .plan import real_array

__all__ = ["MAX_TIMESTAMP", "epoch_seconds", "timestamp_problem"]

MAX_TIMESTAMP = 253402300799.0
"""The last second of the year 9999 (UTC), the latest date that `datetime` can show."""

_UNITS = ((1e9, "nanoseconds", "1e9"), (1e6, "microseconds", "1e6"), (1e3, "milliseconds", "1000"))


def epoch_seconds(timestamps: npt.ArrayLike, rows: int) -> npt.NDArray[np.float64]:
    """One read-only float64 of epoch seconds per row, checked; NaN for no date."""
    t = np.asarray(timestamps)
    if t.dtype.kind == "M":
        t = _datetime_seconds(t)
    t = real_array(t, "timestamps")
    if t.shape != (rows,):
        raise ValueError(f"timestamps must have shape ({rows},), one per row, got {t.shape}")
    ts = np.array(t, dtype=np.float64, order="C", copy=True)
    bad = np.flatnonzero(np.isinf(ts) | (ts > MAX_TIMESTAMP))
    if bad.size:
        raise ValueError(f"timestamps[{bad[0]}]: {timestamp_problem(float(ts[bad[0]]))}")
    ts.flags.writeable = False
    return ts


def _datetime_seconds(t: npt.NDArray[np.datetime64]) -> npt.NDArray[np.float64]:
    # Years first: a cast to a finer unit wraps silently where the value does not fit.
    undated = np.isnat(t)
    years = np.where(undated, 1971, t.astype("datetime64[Y]").astype(np.int64) + 1970)
    bad = np.flatnonzero((years < 1970) | (years > 9999))
    if bad.size:
        raise ValueError(f"timestamps[{bad[0]}]: {t[bad[0]]} lies outside the years 1970 to "
                         "9999, which decay can date; NaT marks a document without a date")
    micro = np.where(undated, np.datetime64(0, "us"), t).astype("datetime64[us]").astype(np.int64)
    return np.where(undated, np.nan, micro / 1e6)


def timestamp_problem(value: float) -> str:
    """What is wrong with an epoch-seconds value that is NaN, infinite or beyond the year 9999."""
    if np.isnan(value):
        return "NaN is not a date: leave 'timestamp' out (or null) for a document without one"
    if not np.isfinite(value):
        return (f"{value} is not a finite number of epoch seconds; a document without a date has "
                "NaN in a Corpus and no 'timestamp' in a file")
    for factor, unit, divisor in _UNITS:
        if 1e8 < value / factor <= MAX_TIMESTAMP:
            return (f"{value:.0f} lies beyond the year 9999; it looks like {unit} since the epoch: "
                    f"divide by {divisor} to get seconds")
    return f"{value:g} lies beyond the year 9999: timestamps are seconds since 1970-01-01 UTC"
