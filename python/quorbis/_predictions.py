"""Predictions row by row: P(y = 1) = Phi(x . b) or the index x . b, with delta-method standard errors and
intervals, computed by the core's normal functions on the thread pool (_predict)."""

from __future__ import annotations

import statistics
from typing import Any

import numpy as np
import pandas as pd

from . import _quorbis
from ._design import design_for, is_dask_frame

_WHICH = ("prob", "linear")
_COLUMNS = ["predicted", "std err", "lower", "upper"]


def predict(params: np.ndarray, cov: np.ndarray, exog: Any, spec: Any, columns: list[Any], newdata: Any, se: bool,
            which: str, alpha: float) -> Any:
    """What ProbitResult.predict returns; exog the fitted rows (an array or a Dask array)."""
    if which not in _WHICH:
        raise ValueError(f"which must be 'prob' or 'linear', not {which!r}")
    if se and not 0.0 < alpha < 1.0:
        raise ValueError(f"alpha must lie strictly between 0 and 1, not {alpha}")
    options = (params, cov if se else None, statistics.NormalDist().inv_cdf(1.0 - alpha / 2.0) if se else 0.0,
               which == "linear")
    if newdata is None:
        if isinstance(exog, np.ndarray):
            return _frame_or_array(_rows(exog, *options), None, se)
        if se:
            return exog.map_blocks(_rows, *options, chunks=(exog.chunks[0], (4,)), dtype=np.float64)
        return exog.map_blocks(_rows, *options, drop_axis=1, dtype=np.float64)
    if is_dask_frame(newdata):
        meta = pd.DataFrame({c: pd.Series(dtype=np.float64) for c in _COLUMNS}) if se else \
            pd.Series(dtype=np.float64, name="predicted")
        return newdata.map_partitions(_predict_frame, spec, columns, options, meta=meta)
    return _predict_frame(newdata, spec, columns, options)


def normal_cdf(x: Any) -> np.ndarray:
    """Phi of each value, by the core's normal kernels (x times a coefficient of 1 is x itself)."""
    values = np.asarray(x, dtype=np.float64)
    out: np.ndarray = _quorbis._predict(values.reshape(-1, 1), np.ones(1))
    return out.reshape(values.shape)


def _rows(exog: np.ndarray, params: np.ndarray, cov: np.ndarray | None, z: float, linear: bool) -> np.ndarray:
    out: np.ndarray = _quorbis._predict(exog, params, cov, z, linear)
    return out


def _frame_or_array(values: np.ndarray, index: pd.Index | None, se: bool) -> Any:
    if index is None:
        return pd.DataFrame(values, columns=_COLUMNS, copy=False) if se else values
    if se:
        return pd.DataFrame(values, columns=_COLUMNS, index=index, copy=False)
    return pd.Series(values, index=index, name="predicted")


def _predict_frame(newdata: Any, spec: Any, columns: list[Any], options: tuple[Any, ...]) -> Any:
    """columns: the labels of the fitted columns, as newdata (or its design under spec) names them."""
    se = options[1] is not None
    if spec is not None:
        newdata = design_for(spec, newdata)
    if isinstance(newdata, pd.DataFrame):
        absent = [c for c in columns if c not in newdata.columns]
        if absent:
            raise ValueError(f"newdata lacks the columns {', '.join(map(str, absent))}")
        repeated = [c for c in columns if isinstance(newdata.columns.get_loc(c), (slice, np.ndarray))]
        if repeated:
            raise ValueError(f"newdata has several columns named {', '.join(map(repr, repeated))}")
        values = np.column_stack([newdata[c].to_numpy(dtype=np.float64, na_value=np.nan) for c in columns]) \
            if columns else np.empty((len(newdata), 0))
        return _frame_or_array(_rows(values, *options), newdata.index, se)
    values = np.asarray(newdata, dtype=np.float64)
    values = values.reshape(1, -1) if values.ndim == 1 else values
    if values.ndim != 2 or values.shape[1] != len(options[0]):
        raise ValueError(f"newdata must have {len(options[0])} columns, not shape {values.shape}")
    return _frame_or_array(_rows(values, *options), None, se)
