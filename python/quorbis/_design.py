"""From a formula and a DataFrame, or from y and X, to the float64 arrays and names that fit_probit takes.

Rows with a missing value in the outcome, the regressors, the cluster variables or a weights column are
dropped together (or refused), rows of weight 0 are left out and counted, the outcome is checked to be 0/1,
and cluster ids of any dtype become float codes, one column per clustering dimension.
"""

from __future__ import annotations

import sys
import warnings
from dataclasses import dataclass, field
from typing import Any, Iterator, cast

import formulaic
import numpy as np
import pandas as pd
from formulaic.errors import DataMismatchWarning

from ._clusters import cluster_codes, cluster_columns
from ._columns import (PlainColumns, gather, may_be_missing_or_infinite, plain_columns, plain_design,
                       plain_outcome, refuse_complex, refuse_repeated_names, refuse_shared_intercept_name,
                       used_columns, without_unused_levels)
from ._diagnostics import constant_columns
from ._weights import Weights, check as check_weights, sums as weight_sums, weights_column


@dataclass(frozen=True, kw_only=True)
class Design:
    """The rows of a fit as fit_probit takes them; Dask arrays, chunked by partition, for a Dask DataFrame."""

    endog: Any  # (n,) float64 of 0 and 1
    exog: Any  # (n, k) float64
    exog_names: list[str]
    endog_name: str
    clusters: Any  # None or (n, dimensions) float64 cluster codes, column d numbered 0 .. n_clusters[d] - 1
    n_clusters: list[int] | None
    dropped_rows: int
    formula: str | None
    spec: Any  # the formula's right-hand side, to build the design of new data
    ones: float  # the number of ones in endog
    constants: list[int]  # the columns of exog holding one nonzero value in every row
    labels: list[Any] | None = None  # for a DataFrame X: its column labels, by which predict() reads new data
    notes: list[str] = field(default_factory=list)  # what was changed in the data on the way, for the result
    rows: Any = None  # for a formula: where the fitted rows' variables are read again (FrameRows, DaskRows)
    cluster_names: list[str] = field(default_factory=list)  # of each clustering dimension
    weights: Any = None  # (n,) float64 weights, all positive, or None
    frequency: bool = False  # the weights are frequency weights, else probability weights
    weights_name: str | None = None
    zero_weight_rows: int = 0  # rows of weight 0, left out
    weight_sums: tuple[float, float] | None = None  # the sum of the weights, and theirs of the rows of ones


@dataclass(frozen=True)
class FrameRows:
    """The data a formula was fitted on, and which of its rows were fitted, to read their variables again."""

    frame: pd.DataFrame  # a shallow copy of the data
    positions: np.ndarray | None  # the fitted rows' positions in frame, in order; None for all rows

    @property
    def nobs(self) -> int:
        return len(self.frame) if self.positions is None else len(self.positions)

    @property
    def columns(self) -> pd.Index:
        return self.frame.columns

    def subset(self, keep: np.ndarray, columns: list[int]) -> FrameRows:
        """The fitted rows that keep flags, as the fitted rows of a refit on them (and some of the columns,
        which the fit's own design holds)."""
        positions = np.arange(self.nobs) if self.positions is None else self.positions
        return FrameRows(self.frame, positions[keep])

    def chunks(self, columns: list[str], size: int) -> Iterator[tuple[pd.DataFrame, int, int]]:
        """The fitted rows' columns, size rows at a time, with the range of fitted rows they are."""
        where: Any = [self.frame.columns.get_loc(c) for c in columns]
        for begin in range(0, self.nobs, size):
            end = min(self.nobs, begin + size)
            rows: Any = slice(begin, end) if self.positions is None else self.positions[begin:end]
            yield cast(pd.DataFrame, self.frame.iloc[rows, where]), begin, end


def from_formula(formula: str, data: Any, cluster: Any, missing: str, weights: Any = None,
                 weights_type: str = "probability") -> Design:
    frame = data if isinstance(data, pd.DataFrame) else pd.DataFrame(data)
    parsed = formula_with_outcome(formula)
    used = used_columns(frame, parsed)
    refuse_shared_intercept_name(parsed, used)
    columns = cluster_columns(cluster, len(frame), frame, frame.index)
    weighted = weights_column(weights, weights_type, len(frame), frame, frame.index)
    extra = columns + ([] if weighted is None else weighted.missing())
    plain = plain_columns(parsed, frame[used])
    if plain is not None and not any(c.isna().any() for c in extra):
        fitted = FrameRows(frame.copy(deep=False), None)
        whole = _whole_plain_design(parsed, plain, frame[used], columns, formula, fitted, weighted)
        if whole is not None:
            return whole
    unsure = [c for c in used if may_be_missing_or_infinite(frame[c])]
    keep = _keep_rows(frame[unsure], [c for c in extra if may_be_missing_or_infinite(c)], missing)
    check_size(int(keep.sum()), 1, int((~keep).sum()))
    # Rows of weight 0 leave before the design, so that a level only they hold leaves with them.
    keep, zero = _positive_rows(weighted, keep)
    rows = frame[used] if keep.all() else frame.loc[keep, used]
    rows, notes = without_unused_levels(rows)
    y_name, y = _outcome(parsed, rows)
    spec: Any = plain
    if plain is None:
        rhs = formulaic.model_matrix(parsed.rhs, rows, na_action="ignore")
        refuse_complex(rhs)
        spec, order = rhs.model_spec, column_order(rhs.model_spec)
        names = [str(rhs.columns[j]) for j in order]
        X = gather([rhs.iloc[:, j].to_numpy(dtype=np.float64) for j in order], len(rhs))[0]
        checked = list(range(len(order)))
    else:
        names = plain.names
        X = plain_design(plain, rows)[0]
        # Columns read as they are hold no NaN now; only those that may hold infinities are checked.
        checked = [p for p, source in enumerate(plain.sources) if source in unsure]
    refuse_repeated_names(names, "the design")
    # Transforms (a log of zero, say) can make values missing that the data did not have.
    later = _missing_in(y, X[:, checked] if len(checked) < len(names) else X, [y_name, *[names[p] for p in checked]],
                        missing)
    dropped = int((~keep).sum()) - zero + int(later.sum())
    codes = [c[keep][~later] for c in columns]
    positions = None if keep.all() and not later.any() else np.flatnonzero(keep)[~later]
    return _finish(_rows(y, ~later), _rows(X, ~later), names, y_name, codes, dropped, formula=formula, spec=spec,
                   notes=notes, rows=FrameRows(frame.copy(deep=False), positions),
                   weights=_kept_weights(weighted, zero, keep, ~later))


def _positive_rows(weighted: Weights | None, keep: np.ndarray) -> tuple[np.ndarray, int]:
    """keep narrowed to the rows of a positive weight, once the weights of the rows kept are found valid, and
    the number of rows of weight 0 among them."""
    if weighted is None:
        return keep, 0
    values = weighted.values.to_numpy()
    check_weights(values[keep], weighted.frequency)
    positive = keep & (values > 0.0)
    zero = int(np.count_nonzero(keep)) - int(np.count_nonzero(positive))
    if zero and not positive.any():
        raise ValueError(f"no rows to fit: the weights of all {zero} rows are 0")
    return positive, zero


def _kept_weights(weighted: Weights | None, zero: int, *keeps: np.ndarray) -> tuple[np.ndarray, Weights, int] | None:
    """The weights of the rows that every keep flags, in turn, with what they were read from and the number
    of rows of weight 0 left out."""
    if weighted is None:
        return None
    values = weighted.values.to_numpy()
    for keep in keeps:
        values = _rows(values, keep)
    return values, weighted, zero


def _whole_plain_design(parsed: Any, plain: PlainColumns, rows: pd.DataFrame, clusters: list[pd.Series],
                        formula: str, fitted: FrameRows, weighted: Weights | None) -> Design | None:
    """The design of every row under a formula of plain columns, when none of its values is missing or
    infinite: the columns are put together and checked in one pass on the thread pool, with no pass of
    pandas' isna before. None when some value is, for the careful path."""
    if weighted is not None and not (weighted.values.to_numpy() > 0.0).all():
        return None  # rows of weight 0 or invalid weights: the careful path leaves them out, or refuses them
    y_name, y = _outcome(parsed, rows)
    X, finite = plain_design(plain, rows)
    # Counting the two outcomes checks them and finds missing ones too.
    ones = np.count_nonzero(y == 1.0)
    if not all(finite) or ones + np.count_nonzero(y == 0.0) != len(y):
        return None
    refuse_repeated_names(plain.names, "the design")
    if weighted is not None:
        check_weights(weighted.values.to_numpy(), weighted.frequency)
    return _finish(y, X, plain.names, y_name, clusters, 0, formula=formula, spec=plain, ones=float(ones),
                   rows=fitted, weights=_kept_weights(weighted, 0))


def _outcome(parsed: Any, rows: pd.DataFrame) -> tuple[str, np.ndarray]:
    name = plain_outcome(parsed, rows)
    if name is not None:  # read as it is, without formulaic's copy of it
        return name, floats(rows[name], name)
    lhs = formulaic.model_matrix(parsed.lhs, rows, na_action="ignore")
    check_one_outcome(parsed, lhs)
    refuse_complex(lhs)
    name = str(lhs.columns[0])
    return name, floats(lhs.iloc[:, 0], name)


def formula_with_outcome(formula: str) -> Any:
    parsed = formulaic.Formula(formula)
    if not hasattr(parsed, "lhs"):
        raise ValueError(f"the formula {formula!r} has no outcome: write it as 'y ~ x1 + x2'")
    return parsed


def check_one_outcome(parsed: Any, lhs: pd.DataFrame) -> None:
    if lhs.shape[1] != 1:
        raise ValueError(f"the outcome must be one numeric or boolean column; '{parsed.lhs}' gives "
                         f"{lhs.shape[1]} columns: {', '.join(map(str, lhs.columns))}")


def column_order(spec: Any) -> list[int]:
    """The usual order of a probit table: the intercept, the terms of categorical factors only (by
    degree), then the other terms grouped by their numeric factors, each group by degree."""
    categorical = set(spec.factor_contrasts)
    terms = list(spec.term_indices)
    first = [t for t in terms if t.degree == 0]
    first += sorted((t for t in terms if t.degree and all(f in categorical for f in t.factors)),
                    key=lambda t: t.degree)
    groups: dict[tuple[str, ...], list[Any]] = {}
    for t in terms:
        if t not in first:
            numeric = tuple(sorted(str(f) for f in t.factors if f not in categorical))
            groups.setdefault(numeric, []).append(t)
    ordered = first + [t for group in groups.values() for t in sorted(group, key=lambda t: t.degree)]
    return [i for t in ordered for i in spec.term_indices[t]]


def from_arrays(endog: Any, exog: Any, cluster: Any, missing: str, weights: Any = None,
                weights_type: str = "probability") -> Design:
    y_name = str(endog.name) if isinstance(endog, pd.Series) and endog.name is not None else "y"
    y = floats(endog, y_name)
    X = _frame_floats(exog) if isinstance(exog, pd.DataFrame) else _array_floats(exog, "X")
    X = X.reshape(-1, 1) if X.ndim == 1 else X
    if X.ndim != 2:
        raise ValueError(f"X must be 1-D or 2-D, not {X.ndim}-D")
    y = y.reshape(-1) if y.ndim == 2 and y.shape[1] == 1 else y
    if y.ndim != 1:
        raise ValueError(f"y must be 1-D or one column, not of shape {y.shape}")
    if len(y) != len(X):
        raise ValueError(f"y has {len(y)} rows and X has {len(X)}")
    check_size(len(y), X.shape[1], 0)
    X = _private(X, exog)
    labels = list(exog.columns) if isinstance(exog, pd.DataFrame) else None
    names = [f"x{j}" for j in range(X.shape[1])] if labels is None else [str(c) for c in labels]
    refuse_repeated_names(names, "X")
    index = _common_index(endog, exog)
    columns = cluster_columns(cluster, len(y), None, index)
    weighted = weights_column(weights, weights_type, len(y), None, index)
    keep = ~_missing_in(y, X, [y_name, *names], missing)
    keep &= _keep_rows(pd.DataFrame(index=range(len(y))), columns, missing)
    fitted, zero = _positive_rows(weighted, keep)
    codes = [c[fitted] for c in columns]
    return _finish(_rows(y, fitted), _rows(X, fitted), names, y_name, codes, int((~keep).sum()), labels=labels,
                   weights=_kept_weights(weighted, zero, fitted))


def _private(X: np.ndarray, source: Any) -> np.ndarray:
    """X in column-major order, in memory of its own: the fit reads it in place and the result keeps it, so
    it must not be the caller's array, nor a view of it, nor of a DataFrame's block."""
    out = np.asfortranarray(X)
    return out.copy(order="F") if out is source or not out.flags.owndata else out


def is_dask_frame(data: Any) -> bool:
    """Whether data is a Dask DataFrame, without importing dask: such data exist only once it is imported."""
    frames = sys.modules.get("dask.dataframe")
    return frames is not None and isinstance(data, frames.DataFrame)


def design_for(spec: Any, newdata: Any) -> pd.DataFrame:
    """The design matrix of new data under a fitted formula; unseen categories are an error."""
    frame = newdata if isinstance(newdata, pd.DataFrame) else pd.DataFrame(newdata)
    with warnings.catch_warnings():
        warnings.simplefilter("error", DataMismatchWarning)
        try:
            return cast(pd.DataFrame, spec.get_model_matrix(frame, na_action="ignore"))
        except DataMismatchWarning as mismatch:
            raise ValueError(f"newdata does not fit the fitted formula: {mismatch}") from None


def _finish(y: np.ndarray, X: np.ndarray, names: list[str], y_name: str, codes: list[pd.Series], dropped: int,
            formula: str | None = None, spec: Any = None, labels: list[Any] | None = None,
            notes: list[str] | None = None, ones: float | None = None, rows: Any = None,
            weights: tuple[np.ndarray, Weights, int] | None = None) -> Design:
    """ones: the number of ones in y when the caller has found y to be 0/1 already; weights: the (positive)
    weights of y's rows, with what they were read from and the number of rows of weight 0 left out."""
    check_size(len(y), X.shape[1], dropped)
    if ones is None:
        if not is_binary(y):
            refuse_outcome(np.unique(y), y_name)
        ones = float(y.sum())
    refuse_constant_outcome(ones, len(y), y_name)
    clusters, n_clusters = cluster_codes(codes)
    extra: dict[str, Any] = {}
    if weights is not None:
        values, read, zero = weights
        values = np.ascontiguousarray(values)
        extra = {"weights": values, "frequency": read.frequency, "weights_name": read.name,
                 "zero_weight_rows": zero, "weight_sums": weight_sums(values, y)}
    return Design(endog=np.ascontiguousarray(y), exog=np.asfortranarray(X), exog_names=names, endog_name=y_name,
                  clusters=clusters, n_clusters=n_clusters, dropped_rows=dropped, formula=formula, spec=spec,
                  ones=ones, constants=constant_columns(X), labels=labels, notes=notes or [], rows=rows,
                  cluster_names=[str(c.name) for c in codes], **extra)


def check_size(rows: int, columns: int, dropped: int) -> None:
    if rows == 0:
        raise ValueError(f"no rows to fit: {dropped} of {dropped} rows have missing values" if dropped else
                         "no rows to fit: the data have none")
    if columns == 0:
        raise ValueError("the model has no regressors, not even a constant")


def _rows(values: np.ndarray, keep: np.ndarray) -> np.ndarray:
    return values if keep.all() else values[keep]


def is_binary(y: np.ndarray) -> bool:
    """Whether every outcome is 0 or 1."""
    return bool(((y == 0.0) | (y == 1.0)).all())


def refuse_outcome(values: np.ndarray, name: str) -> None:
    """The error for an outcome that is not 0/1, given its distinct values in order (the first 11 suffice)."""
    shown = ", ".join(f"{v:g}" for v in values[:10]) + (", ..." if len(values) > 10 else "")
    raise ValueError(f"the outcome '{name}' must be 0 or 1 (or boolean); found the values {shown}")


def refuse_constant_outcome(ones: float, rows: int, name: str) -> None:
    """An outcome without both values has no maximum likelihood: the constant would run off to infinity."""
    if ones == 0 or ones == rows:
        raise ValueError(f"the outcome '{name}' is {int(ones > 0)} in all {rows} rows: a probit needs rows with "
                         "either outcome")


def floats(values: Any, name: str) -> np.ndarray:
    if isinstance(values, pd.Series):
        if not (pd.api.types.is_numeric_dtype(values) or pd.api.types.is_bool_dtype(values)):
            raise TypeError(f"'{name}' must be numeric or boolean, not {values.dtype}")
        refuse_complex(values.to_frame(name))
        return values.to_numpy(dtype=np.float64, na_value=np.nan)
    return _array_floats(values, name)


def _array_floats(values: Any, name: str) -> np.ndarray:
    array = np.asarray(values)
    if array.ndim > 2:
        raise ValueError(f"'{name}' must be 1-D or 2-D, not {array.ndim}-D")
    if array.dtype.kind == "c":
        raise ValueError(f"complex values in {name}: a probit takes real numbers only")
    if array.dtype.kind in "biuf":
        return array.astype(np.float64, copy=False)
    try:  # objects: None or pandas' NA stand for missing values
        table = pd.DataFrame(array) if array.ndim == 2 else pd.Series(array)
        return table.to_numpy(dtype=np.float64, na_value=np.nan)
    except (TypeError, ValueError):
        raise TypeError(f"'{name}' must hold numbers or booleans") from None


def _frame_floats(frame: pd.DataFrame) -> np.ndarray:
    other = [str(c) for c, t in frame.dtypes.items()
             if not (pd.api.types.is_numeric_dtype(t) or pd.api.types.is_bool_dtype(t))]
    if other:
        raise TypeError(f"X has columns that are not numeric or boolean: {', '.join(other)}; encode them "
                        "first, or use a formula with C(column)")
    refuse_complex(frame)
    return frame.to_numpy(dtype=np.float64, na_value=np.nan)


def _common_index(endog: Any, exog: Any) -> pd.Index | None:
    """The index of the pandas objects among y and X, which must agree; None for arrays."""
    indexes = [v.index for v in (endog, exog) if isinstance(v, (pd.Series, pd.DataFrame))]
    if len(indexes) == 2 and not indexes[0].equals(indexes[1]):
        raise ValueError("y and X have different indexes; align them first (arrays are matched by position)")
    return indexes[0] if indexes else None


def _missing_in(y: np.ndarray, X: np.ndarray, names: list[str], missing: str) -> np.ndarray:
    """Rows with a NaN in y or X; with missing='raise', a ValueError naming the columns (names: y's, X's)."""
    rows: np.ndarray = np.isnan(y)
    if np.isfinite(X).all() and not rows.any():
        return rows
    nan = np.column_stack([rows, np.isnan(X)])
    rows = np.asarray(nan.any(axis=1))
    refuse_missing(np.asarray(nan.any(axis=0)), int(rows.sum()), np.asarray(np.isinf(X).any(axis=0)), names, missing)
    return rows


def refuse_missing(nan: np.ndarray, rows: int, infinite: np.ndarray, names: list[str], missing: str) -> None:
    """The errors for NaN (in rows rows; nan flags y's column and X's) and infinite values (flags X's)."""
    if rows and missing == "raise":
        refuse([n for n, has in zip(names, nan) if has], rows)
    if infinite.any():
        raise ValueError(f"infinite values in {', '.join(n for n, has in zip(names[1:], infinite) if has)}")


def _keep_rows(frame: pd.DataFrame, clusters: list[pd.Series], missing: str) -> np.ndarray:
    """Rows without a missing value in frame or the cluster variables (refused with missing='raise')."""
    na = missing_table(frame, clusters)
    rows = na.any(axis=1).to_numpy()
    if rows.any() and missing == "raise":
        refuse([str(c) for c in na.columns[na.any(axis=0).to_numpy()]], int(rows.sum()))
    return ~rows


def missing_table(frame: pd.DataFrame, clusters: list[pd.Series]) -> pd.DataFrame:
    """Where frame and the cluster variables hold missing values, one column each, rows numbered from 0."""
    flags: list[pd.DataFrame | pd.Series] = [frame.isna().reset_index(drop=True)]
    flags += [c.isna().rename(str(c.name)) for c in clusters]
    return pd.concat(flags, axis=1)


def refuse(columns: list[str], rows: int) -> None:
    raise ValueError(f"missing values in {', '.join(columns)} ({rows} rows); pass missing='drop' to "
                     "leave those rows out")
