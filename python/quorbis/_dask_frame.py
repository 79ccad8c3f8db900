"""A formula over a Dask DataFrame: the in-memory path's design, as Dask arrays of one block per partition.

Two passes over the partitions come before the fit. The first finds the rows with missing values and the
levels of the categorical variables among the other rows; one formulaic model learned from those levels then
builds every partition's rows, so each partition gives the in-memory design's columns whatever levels it
lacks. The second checks the outcome, the design's values and the weights, and collects each clustering
dimension's values in order of first appearance, the numbering of the in-memory path. Only such small
summaries leave the workers.
"""

from __future__ import annotations

import warnings
from dataclasses import dataclass
from typing import Any

import dask
import dask.array as da
import formulaic
import numpy as np
import pandas as pd

from ._clusters import cluster_columns
from ._columns import (refuse_complex, refuse_repeated_names, refuse_shared_intercept_name, used_columns,
                       without_unused_levels)
from ._design import (Design, check_one_outcome, check_size, column_order, floats, formula_with_outcome,
                      is_binary, missing_table, refuse, refuse_constant_outcome, refuse_missing, refuse_outcome)
from ._weights import counts as weight_counts, read_column, refuse as refuse_weights, weights_column

# Dask's placeholder in the dtype of a categorical column whose categories it has not computed.
_UNKNOWN_CATEGORIES = "__UNKNOWN_CATEGORIES__"


class _Plan:
    """What a partition needs to build its rows of the design. A plain class, so that Dask hands it to
    the tasks as it is."""

    def __init__(self, used: list[str], cluster: Any, lhs: Any, rhs: Any, order: list[int], y_name: str,
                 names: list[str], notes: list[str], weights: str | None = None, frequency: bool = False) -> None:
        self.used, self.cluster, self.lhs, self.rhs = used, cluster, lhs, rhs
        self.order, self.y_name, self.names, self.notes = order, y_name, names, notes
        self.weights, self.frequency = weights, frequency


def from_dask_frame(formula: str, data: Any, cluster: Any, missing: str, weights: Any = None,
                    weights_type: str = "probability") -> Design:
    parsed = formula_with_outcome(formula)
    meta = data._meta
    used = used_columns(meta, parsed)
    refuse_shared_intercept_name(parsed, used)
    cluster = _cluster_names(cluster, meta)
    weights = _weights_name(weights, weights_type, meta)
    extra = [*(cluster or []), *([] if weights is None else [weights])]
    # Dask's example rows of the data's dtypes tell which factors are categorical. All columns: the
    # variables of stateful transforms are not among the formula's required variables.
    sample = data._meta_nonempty
    with warnings.catch_warnings():  # about the example values, not the data
        warnings.simplefilter("ignore")
        probe = formulaic.model_matrix(parsed, sample, na_action="ignore")
    categorical = _categorical_columns(probe, used, meta)
    # Only these columns: a Parquet source, say, then reads no others.
    partitions = data[list(dict.fromkeys([*used, *extra]))].to_delayed()
    levels, dropped = _levels(partitions, used, cluster, weights, categorical, missing)
    plan = _plan(parsed, sample[used], cluster, levels, weights, weights_type == "frequency")
    plan_key = dask.delayed(plan, traverse=False)
    checks, later, ones, dimensions = _check_all(partitions, plan_key, plan, missing, dropped)
    endog, exog, codes, w = _arrays(partitions, checks, plan_key, dimensions, len(plan.names), weights is not None)
    weighted: dict[str, Any] = {}
    if weights is not None:
        weighted = {"weights": w, "frequency": plan.frequency, "weights_name": weights,
                    "zero_weight_rows": sum(c["zero"] for c in checks),
                    "weight_sums": (sum(c["weight"] for c in checks), sum(c["weighted_ones"] for c in checks))}
    return Design(endog=endog, exog=exog, exog_names=plan.names, endog_name=plan.y_name, clusters=codes,
                  n_clusters=None if dimensions is None else [len(d) for d in dimensions],
                  cluster_names=list(cluster or []), dropped_rows=dropped + later, formula=formula, spec=plan.rhs,
                  ones=ones, constants=_constant_columns(checks), notes=plan.notes,
                  rows=DaskRows(data, plan, [(c["rows"], c["transformed"]) for c in checks]), **weighted)


class DaskRows:
    """The fitted rows of a Dask DataFrame, to read their variables again: partition by partition, the rows
    the fit kept, with their rows of the design."""

    def __init__(self, data: Any, plan: _Plan, partitions: list[tuple[int, bool]], keep: Any = None,
                 columns: list[int] | None = None) -> None:
        self.data, self.plan, self.partitions = data, plan, partitions  # (rows, transformed) per partition
        # For a refit on some rows and columns: a Dask array flagging the rows kept, in X's blocks, and the
        # positions of the columns kept.
        self.keep, self.columns_kept = keep, columns

    def subset(self, keep: Any, columns: list[int]) -> DaskRows:
        """The fitted rows that keep flags and the columns at those positions, as the rows of a refit."""
        if self.keep is not None:
            raise ValueError("a design can be reduced once")
        return DaskRows(self.data, self.plan, self.partitions, keep, columns)

    @property
    def columns(self) -> pd.Index:
        columns: pd.Index = self.data.columns
        return columns

    def fold(self, columns: list[str], function: Any, combine: Any, chunk: int, exog: bool) -> Any:
        """function(frame, X, w) of every chunk of every partition's fitted rows, w their weights (or None),
        combined in row order."""
        wanted = list(dict.fromkeys([*self.plan.used, *_extra(self.plan), *columns]))
        plan = dask.delayed(self.plan, traverse=False)
        fitted = [(p, transformed) for p, (rows, transformed) in zip(self.data[wanted].to_delayed(), self.partitions)
                  if rows]
        masks = [None] * len(fitted) if self.keep is None else list(self.keep.to_delayed().ravel())
        parts = [dask.delayed(_fold_partition)(p, plan, transformed, mask, self.columns_kept, function, combine, chunk,
                                               exog) for (p, transformed), mask in zip(fitted, masks)]
        total = parts[0]
        for part in parts[1:]:
            total = dask.delayed(combine)(total, part)
        return dask.compute(total)[0]


def _fold_partition(part: pd.DataFrame, plan: _Plan, transformed: bool, keep: np.ndarray | None,
                    columns_kept: list[int] | None, function: Any, combine: Any, chunk: int, exog: bool) -> Any:
    rows = _fitted(part, plan, transformed, exog, everything=True)
    frame, X, w = rows.frame, rows.X, rows.weights
    if keep is not None:
        frame, X, w = frame[keep], None if X is None else X[keep][:, columns_kept], None if w is None else w[keep]
    total = None
    for begin in range(0, len(frame), chunk):
        end = min(len(frame), begin + chunk)
        result = function(frame.iloc[begin:end], None if X is None else X[begin:end],
                          None if w is None else w[begin:end])
        total = result if total is None else combine(total, result)
    return total


def _extra(plan: _Plan) -> list[str]:
    """The columns a fit reads besides the formula's: the cluster variables and the weights."""
    return [*(plan.cluster or []), *([] if plan.weights is None else [plan.weights])]


def _levels(partitions: list[Any], used: list[str], cluster: Any, weights: str | None, categorical: list[str],
            missing: str) -> tuple[dict[str, pd.Series], int]:
    """The first pass: each categorical column's levels among the rows without missing values, and the
    number of the others (refused with missing='raise')."""
    surveys = dask.compute(*[dask.delayed(_survey)(p, used, cluster, weights, categorical) for p in partitions])
    na = np.logical_or.reduce([s["na"] for s in surveys])
    rows = sum(s["rows"] for s in surveys)
    if rows and missing == "raise":
        columns = [*used, *(cluster or []), *([] if weights is None else [weights])]
        refuse([c for c, has in zip(columns, na) if has], rows)
    return {c: pd.concat([s["levels"][c] for s in surveys]).drop_duplicates() for c in categorical}, rows


def _check_all(partitions: list[Any], plan_key: Any, plan: _Plan, missing: str,
               dropped: int) -> tuple[list[dict[str, Any]], int, float, list[pd.Index] | None]:
    """The second pass: the checks of the in-memory path; each partition's findings, the rows dropped for
    NaN made by the formula's transforms, the number of ones, and the values of each clustering dimension."""
    checks = dask.compute(*[dask.delayed(_check)(p, plan_key) for p in partitions])
    later = sum(c["later"] for c in checks)
    refuse_missing(np.logical_or.reduce([c["nan"] for c in checks]), later,
                   np.logical_or.reduce([c["infinite"] for c in checks]), [plan.y_name, *plan.names], missing)
    if plan.weights is not None:
        refuse_weights({what: sum(c["found"][what] for c in checks) for what in checks[0]["found"]})
        zero = sum(c["zero"] for c in checks)
        if zero and not sum(c["rows"] for c in checks):
            raise ValueError(f"no rows to fit: the weights of all {zero} rows are 0")
    check_size(sum(c["rows"] for c in checks), len(plan.names), dropped + later)
    if not all(c["binary"] for c in checks):
        refuse_outcome(np.unique(np.concatenate([c["values"] for c in checks]))[:11], plan.y_name)
    ones = float(sum(c["ones"] for c in checks))
    refuse_constant_outcome(ones, sum(c["rows"] for c in checks), plan.y_name)
    dimensions = None if plan.cluster is None else [
        pd.Index(pd.concat([c["dimensions"][d] for c in checks], ignore_index=True).drop_duplicates())
        for d in range(len(plan.cluster))]
    return checks, later, ones, dimensions


def _constant_columns(checks: list[dict[str, Any]]) -> list[int]:
    """Columns holding one nonzero value in every row of every partition."""
    found = [c for c in checks if c["first"] is not None]
    first = found[0]["first"]
    same = np.logical_and.reduce([c["same"] & (c["first"] == first) for c in found])
    return [int(j) for j in np.flatnonzero(same & (first != 0.0))]


def _cluster_names(cluster: Any, meta: pd.DataFrame) -> list[str] | None:
    if cluster is None:
        return None
    if not (isinstance(cluster, str) or (isinstance(cluster, (list, tuple)) and cluster
                                         and all(isinstance(c, str) for c in cluster))):
        raise ValueError("with a Dask DataFrame, cluster must name columns of it")
    names = [cluster] if isinstance(cluster, str) else list(cluster)
    cluster_columns(names, 0, meta, meta.index)  # the errors of the in-memory path for absent columns
    return names


def _weights_name(weights: Any, weights_type: str, meta: pd.DataFrame) -> str | None:
    if weights is None:
        return None
    if not isinstance(weights, str):
        raise ValueError("with a Dask DataFrame, weights must name a column of it")
    weights_column(weights, weights_type, 0, meta, meta.index)  # the errors of the in-memory path
    return weights


def _categorical_columns(probe: Any, used: list[str], meta: pd.DataFrame) -> list[str]:
    """The columns whose levels the formulaic model learns: the variables of the categorical factors. Refuses
    what a partition cannot compute alone: transforms that learn from all rows, categorical factors of
    several columns, and categories Dask does not know."""
    found: set[str] = set()
    for matrix in (probe.lhs, probe.rhs):
        spec = matrix.model_spec
        if spec.transform_state:
            raise ValueError(f"{', '.join(spec.transform_state)} learns from all rows at once, which a Dask "
                             "DataFrame does not allow: compute it as a column first, or fit in memory")
        for factor, variables in spec.factor_variables.items():
            kind = spec.encoder_state.get(factor.expr, (None,))[0]
            if getattr(kind, "value", None) != "categorical":
                continue
            columns = variables & set(used)
            if len(columns) > 1:
                raise ValueError(f"the categorical factor {factor.expr} combines the columns "
                                 f"{', '.join(sorted(columns))}: compute it as a column first")
            found |= columns
    unknown = [c for c in found if _UNKNOWN_CATEGORIES in getattr(meta[c].dtype, "categories", ())]
    if unknown:
        raise ValueError(f"the categories of {', '.join(unknown)} are unknown to Dask: set them with "
                         ".cat.as_known() first")
    return [c for c in used if c in found]


def _survey(part: pd.DataFrame, used: list[str], cluster: Any, weights: str | None,
            categorical: list[str]) -> dict[str, Any]:
    """Which columns hold missing values and in how many rows; each categorical column's distinct values
    among the other rows."""
    extra = cluster_columns(cluster, len(part), part, part.index)
    extra += [] if weights is None else [read_column(part, weights)]
    na = missing_table(part[used], extra)
    rows = na.any(axis=1).to_numpy()
    # Rows of weight 0 are left out of the fit, and their levels with them.
    zero = np.zeros(len(part), dtype=bool) if weights is None else (extra[-1] == 0.0).to_numpy()
    kept = part[categorical][~rows & ~zero]
    return {"na": na.any(axis=0).to_numpy(), "rows": int(rows.sum()),
            "levels": {c: kept[c].drop_duplicates() for c in categorical}}


def _plan(parsed: Any, sample: pd.DataFrame, cluster: Any, levels: dict[str, pd.Series], weights: str | None,
          frequency: bool) -> _Plan:
    """The formulaic model of rows that hold every level of every categorical column, which is the model of
    all the rows: formulaic sorts the levels, whatever rows they come from. The other columns repeat the
    sample's values."""
    size = max([len(v) for v in levels.values()] + [len(sample)])
    frame = sample.take(np.arange(size) % len(sample)).reset_index(drop=True)
    for column, values in levels.items():
        if len(values):  # else no row is left to fit
            frame[column] = values.take(np.arange(size) % len(values)).reset_index(drop=True)
    frame, notes = without_unused_levels(frame)
    matrices = formulaic.model_matrix(parsed, frame, na_action="ignore")
    check_one_outcome(parsed, matrices.lhs)
    rhs = matrices.rhs.model_spec
    order = column_order(rhs)
    names = [str(matrices.rhs.columns[j]) for j in order]
    refuse_repeated_names(names, "the design")
    return _Plan(list(sample.columns), cluster, matrices.lhs.model_spec, rhs, order,
                 str(matrices.lhs.columns[0]), names, notes, weights, frequency)


def _kept(part: pd.DataFrame, plan: _Plan,
          everything: bool = False) -> tuple[pd.DataFrame, pd.DataFrame | None, np.ndarray | None]:
    """The partition's rows without missing data values (the formula's columns, categories they do not hold
    removed as from the plan's rows; or every column), their cluster variables and their weights."""
    columns = cluster_columns(plan.cluster, len(part), part, part.index)
    weights = [] if plan.weights is None else [read_column(part, plan.weights)]
    keep = ~missing_table(part[plan.used], columns + weights).any(axis=1).to_numpy()
    rows = part[keep] if everything else without_unused_levels(part[plan.used][keep])[0]
    return (rows, pd.concat(columns, axis=1)[keep].reset_index(drop=True) if columns else None,
            weights[0].to_numpy()[keep] if weights else None)


@dataclass
class _Fitted:
    """A partition's fitted rows: their data, and as asked, their rows of X and y, their cluster variables
    and their weights."""

    frame: pd.DataFrame
    X: np.ndarray | None
    y: np.ndarray | None
    clusters: pd.DataFrame | None
    weights: np.ndarray | None


def _fitted(part: pd.DataFrame, plan: _Plan, transformed: bool, exog: bool, outcome: bool = False,
            everything: bool = False) -> _Fitted:
    """The rows the fit kept of a partition: those without missing values, less those that the formula's
    transforms made missing (which only a transformed partition has) and those of weight 0. X and y only
    when asked: they need the formula's sides, the costly part."""
    frame, values, w = _kept(part, plan, everything)
    X = _regressors(frame, plan) if exog or transformed else None
    y = _outcome(frame, plan) if outcome or transformed else None
    keep = np.ones(len(frame), dtype=bool)
    if transformed:
        assert X is not None and y is not None
        keep &= ~_later(y, X)
    if w is not None:
        keep &= w > 0.0
    if keep.all():
        return _Fitted(frame, X, y, values, w)
    return _Fitted(frame[keep], None if X is None else X[keep], None if y is None else y[keep],
                   None if values is None else values[keep].reset_index(drop=True), None if w is None else w[keep])


def _outcome(frame: pd.DataFrame, plan: _Plan) -> np.ndarray:
    return floats(plan.lhs.get_model_matrix(frame, na_action="ignore").iloc[:, 0], plan.y_name)


def _regressors(frame: pd.DataFrame, plan: _Plan) -> np.ndarray:
    matrix: pd.DataFrame = plan.rhs.get_model_matrix(frame, na_action="ignore")
    refuse_complex(matrix)
    return matrix.iloc[:, plan.order].to_numpy(dtype=np.float64)


def _later(y: np.ndarray, X: np.ndarray) -> np.ndarray:
    """Rows with NaN that the formula's transforms made."""
    rows: np.ndarray = np.isnan(y) | np.isnan(X).any(axis=1)
    return rows


def _check(part: pd.DataFrame, plan: _Plan) -> dict[str, Any]:
    """What the in-memory path checks of the design and the weights, and each clustering dimension's values
    in order of appearance."""
    frame, values, w = _kept(part, plan)
    y, X = _outcome(frame, plan), _regressors(frame, plan)
    later = _later(y, X)
    nan = np.column_stack([np.isnan(y), np.isnan(X)]).any(axis=0)
    infinite = np.isinf(X).any(axis=0)
    y, X = y[~later], X[~later]
    values = None if values is None else values[~later]
    weighted: dict[str, Any] = {}
    if w is not None:
        w = w[~later]
        positive = w > 0.0
        weighted = {"found": weight_counts(w, plan.frequency), "zero": int(np.count_nonzero(w == 0.0))}
        y, X, w = y[positive], X[positive], w[positive]
        values = None if values is None else values[positive]
        weighted.update({"weight": float(w.sum()), "weighted_ones": float((w * y).sum())})
    first = X[0] if len(X) else None
    return {"nan": nan, "later": int(later.sum()), "infinite": infinite, "rows": len(y),
            "first": first, "same": None if first is None else (X == first).all(axis=0),
            "ones": float(y.sum()), "binary": is_binary(y), "values": np.unique(y)[:11],
            "dimensions": None if values is None else [values[c].drop_duplicates() for c in values.columns],
            "transformed": bool(later.any()), **weighted}


def _block(part: pd.DataFrame, plan: _Plan, what: str, transformed: bool,
           dimensions: list[pd.Index] | None) -> np.ndarray:
    """The partition's rows of y, X, the weights or the cluster codes (each dimension's values' positions
    in dimensions), one task each."""
    rows = _fitted(part, plan, transformed, what == "X", what == "y")
    if what == "X":
        return np.ascontiguousarray(rows.X)
    if what == "y":
        return np.ascontiguousarray(rows.y)
    if what == "w":
        return np.ascontiguousarray(rows.weights)
    assert dimensions is not None and rows.clusters is not None
    codes = [index.get_indexer(pd.Index(rows.clusters.iloc[:, d])) for d, index in enumerate(dimensions)]
    return np.column_stack(codes).astype(np.float64)


def _arrays(partitions: list[Any], checks: list[dict[str, Any]], plan: Any, dimensions: list[pd.Index] | None,
            k: int, weighted: bool) -> tuple[Any, Any, Any, Any]:
    """y, X, the cluster codes and the weights as Dask arrays, one block per partition with rows. Each block
    is its own task: Dask fuses a task that several arrays shared into each of them anyway."""
    key = None if dimensions is None else dask.delayed(dimensions, traverse=False)

    def array(what: str, columns: tuple[int, ...]) -> Any:
        return da.concatenate([
            da.from_delayed(dask.delayed(_block)(p, plan, what, c["transformed"], key), (c["rows"], *columns),
                            np.float64)
            for p, c in zip(partitions, checks) if c["rows"]])

    codes = None if dimensions is None else array("codes", (len(dimensions),))
    return array("y", ()), array("X", (k,)), codes, array("w", ()) if weighted else None
