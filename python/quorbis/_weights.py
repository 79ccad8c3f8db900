"""Row weights of probit(): read by name or as values, checked, and the rows of weight 0 left out.

Frequency weights count each row as that many identical rows; probability weights are a survey's sampling
weights, the inverse probabilities of selection, which weigh each row's part of a pseudo-likelihood.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
import pandas as pd

WEIGHTS_TYPES = ("probability", "frequency")


@dataclass(frozen=True)
class Weights:
    """The weights of the data's rows, numbered 0 .. rows - 1."""

    values: pd.Series  # float64, NaN where missing; named for messages
    by_name: bool  # a column of the data, whose missing values follow missing=
    frequency: bool

    @property
    def name(self) -> str:
        return str(self.values.name)

    def missing(self) -> list[pd.Series]:
        """The column for the table of missing values: only a column of the data counts as data."""
        return [self.values] if self.by_name else []


def weights_column(weights: Any, weights_type: str, rows: int, data: pd.DataFrame | None,
                   index: Any) -> Weights | None:
    """The weights given by the name of a column of data, or as values matched to the rows by position
    (pandas objects must carry the data's index)."""
    if weights is None:
        return None
    frequency = weights_type == "frequency"
    if isinstance(weights, str):
        if data is None:
            raise ValueError("weights by name need a formula and its data; pass the weights themselves")
        if weights not in data.columns:
            raise ValueError(f"weights column not in data: {weights}")
        return Weights(read_column(data, weights), True, frequency)
    if isinstance(weights, pd.Series) and index is not None and not weights.index.equals(index):
        raise ValueError("weights and the data have different indexes; align them first (arrays are matched by "
                         "position)")
    name = str(weights.name) if isinstance(weights, pd.Series) and weights.name is not None else "weights"
    values = _floats(weights if isinstance(weights, pd.Series) else pd.Series(_vector(weights)), name)
    if len(values) != rows:
        raise ValueError(f"weights has {len(values)} rows, the data {rows}")
    return Weights(values.reset_index(drop=True), False, frequency)


def read_column(data: pd.DataFrame, name: str) -> pd.Series:
    """The weights column of data as float64, rows numbered from 0, NaN where missing."""
    return _floats(data[name], name).reset_index(drop=True)


def _vector(weights: Any) -> np.ndarray:
    array = np.asarray(weights)
    if array.ndim == 2 and array.shape[1] == 1:
        array = array[:, 0]
    if array.ndim != 1:
        raise ValueError(f"weights must be one value per row, not of shape {array.shape}")
    return array


def _floats(values: pd.Series, name: str) -> pd.Series:
    if values.dtype.kind == "c":
        raise ValueError(f"complex values in {name}: weights are real numbers")
    if not (pd.api.types.is_numeric_dtype(values) or pd.api.types.is_bool_dtype(values)):
        try:  # objects: None or pandas' NA stand for missing values
            return pd.Series(values.to_numpy(dtype=np.float64, na_value=np.nan), name=name)
        except (TypeError, ValueError):
            raise TypeError(f"weights '{name}' must be numeric, not {values.dtype}") from None
    return pd.Series(values.to_numpy(dtype=np.float64, na_value=np.nan), name=name)


def check(values: np.ndarray, frequency: bool) -> None:
    """Refuses weights that are negative, NaN or infinite, and fractional frequency weights."""
    valid = bool(np.all(values >= 0.0)) and bool(np.all(values < np.inf))  # NaN fails the first
    if valid and (not frequency or bool(np.all(values == np.floor(values)))):
        return
    refuse(counts(values, frequency))


def counts(values: np.ndarray, frequency: bool) -> dict[str, int]:
    """The rows of each kind of weight refused: negative, NaN, infinite, fractional (of frequency weights)."""
    found = {"negative": values < 0.0, "NaN": np.isnan(values), "infinite": np.isinf(values)}
    if frequency:
        found["fractional"] = np.isfinite(values) & (values != np.floor(values))
    return {what: int(np.count_nonzero(rows)) for what, rows in found.items()}


def refuse(found: dict[str, int]) -> None:
    """The error for the rows that counts found, if any, counting the rows of each kind."""
    bad = {what: n for what, n in found.items() if n and what != "fractional"}
    if bad:
        total = sum(bad.values())
        listed = ", ".join(f"{n} {what}" for what, n in bad.items())
        raise ValueError(f"weights must be finite numbers of at least 0: {total} row{'s' if total > 1 else ''} "
                         f"{'have' if total > 1 else 'has'} other weights ({listed})")
    fractional = found.get("fractional", 0)
    if fractional:
        raise ValueError(f"frequency weights count rows, so they must be whole numbers: {fractional} "
                         f"row{'s' if fractional > 1 else ''} {'have' if fractional > 1 else 'has'} a fractional "
                         "weight; pass weights_type='probability' for sampling weights")


def sums(weights: Any, endog: Any) -> tuple[float, float]:
    """The sum of the weights, and that of the weights of the rows whose outcome is 1. Not a BLAS dot
    product: its threads would spin on the cores that the fit is about to take."""
    total, ones = np.asarray(weights.sum()), np.asarray((weights * endog).sum())
    return float(total), float(ones)
