"""Separation: rows whose outcome a combination of the columns predicts perfectly, found by linear programming.

With q_i = 2 y_i - 1, the likelihood has no maximum when some direction d has q_i x_i.d >= 0 in every row and
> 0 in some (Konis 2007): moving the coefficients along d raises every such row's likelihood towards 1, and the
coefficients run off to infinity. The rows that some such direction makes positive are the perfectly
predicted ones; the set of all of them is found by repeating the linear program

    maximise  sum_i q_i z_i.d   subject to  q_i z_i.d >= 0 for every row,  -1 <= d_j <= 1

(z the rows with each column scaled to a largest magnitude of 1) on the rows not yet found, until it finds
none: directions add up, so the union of what each finds is the largest set. Each program is solved on a
few hundred rows at a time, adding the rows that its solution makes negative, so that a pass over all rows
checks each solution: the rows may be a Dask array. A sparse direction then names the columns involved.
"""

from __future__ import annotations

from dataclasses import dataclass, field, replace
from functools import partial
from typing import Any

import numpy as np
import pandas as pd

from ._design import Design, refuse_constant_outcome
from ._diagnostics import constant_columns, r_factor
from ._weights import sums as weight_sums

# A row counts as perfectly predicted when the direction's index exceeds this (|z.d| <= k for every row);
# well above the linear programs' feasibility tolerance of 1e-7.
_POSITIVE = 1e-6
_MAX_ROUNDS = 60


@dataclass(frozen=True)
class Separation:
    """Separation found in the rows of a fit: some combination of the columns predicts the outcome perfectly.

    Attributes
    ----------
    columns : list of str
        The separating variables: the columns (other than a constant) of a sparse separating direction.
    coefficients : list of str
        The coefficients that run off to infinity along it as the likelihood approaches its supremum (the
        columns, and the constant when it moves too): their estimates and standard errors mean nothing.
    rows : int
        The rows whose outcome is predicted perfectly.
    nobs : int
        The rows examined.
    dropped : bool
        Whether the fit left the perfectly predicted rows out (``separation="drop"``).
    dropped_columns : list of str
        The columns left out with them: those the other rows cannot identify.

    Examples
    --------
    Every row with d = 1 has y = 1:

    >>> import warnings
    >>> import pandas as pd, quorbis
    >>> data = pd.DataFrame({"x": [0.5, 1, 2, 3, 4, 5, 6, 7, 1.5, 2.5], "d": [0, 0, 0, 0, 1, 1, 0, 0, 1, 0],
    ...              "y": [0, 1, 0, 1, 1, 1, 0, 1, 1, 0]})
    >>> with warnings.catch_warnings(record=True):
    ...     r = quorbis.probit("y ~ x + d", data)
    >>> r.separation
    Separation(columns=['d'], coefficients=['d'], rows=3, nobs=10, dropped=False, dropped_columns=[])
    >>> r.bse.isna().to_dict()
    {'Intercept': False, 'x': False, 'd': True}
    >>> with warnings.catch_warnings(record=True):
    ...     dropped = quorbis.probit("y ~ x + d", data, separation="drop")
    >>> dropped.separation.dropped_columns, dropped.nobs
    (['d'], 7)
    """

    __module__ = "quorbis"

    columns: list[str]
    coefficients: list[str]
    rows: int
    nobs: int
    dropped: bool = False
    dropped_columns: list[str] = field(default_factory=list)

    @property
    def complete(self) -> bool:
        """Whether every row is predicted perfectly (complete separation; else quasi-complete).

        Examples
        --------
        >>> import warnings
        >>> import pandas as pd, quorbis
        >>> data = pd.DataFrame({"x": [0.5, 1, 2, 3, 4, 5, 6, 7, 1.5, 2.5], "d": [0, 0, 0, 0, 1, 1, 0, 0, 1, 0],
        ...                      "y": [0, 1, 0, 1, 1, 1, 0, 1, 1, 0]})
        >>> with warnings.catch_warnings(record=True):
        ...     r = quorbis.probit("y ~ x + d", data)
        >>> r.separation.complete, r.separation.rows, r.separation.nobs
        (False, 3, 10)
        """
        return self.rows == self.nobs

    def finding(self) -> str:
        """The finding in words, as the warning begins.

        Returns
        -------
        str
            Which separation, by which columns, in how many rows.

        Examples
        --------
        >>> import warnings
        >>> import pandas as pd, quorbis
        >>> data = pd.DataFrame({"x": [0.5, 1, 2, 3, 4, 5, 6, 7, 1.5, 2.5], "d": [0, 0, 0, 0, 1, 1, 0, 0, 1, 0],
        ...                      "y": [0, 1, 0, 1, 1, 1, 0, 1, 1, 0]})
        >>> with warnings.catch_warnings(record=True):
        ...     r = quorbis.probit("y ~ x + d", data)
        >>> r.separation.finding()
        'quasi-complete separation: d predicts the outcome perfectly in 3 of 10 rows'
        """
        where = f"all {self.nobs} rows" if self.complete else f"{self.rows} of {self.nobs} rows"
        return (f"{'complete' if self.complete else 'quasi-complete'} separation: {', '.join(self.columns)} "
                f"predict{'s' if len(self.columns) == 1 else ''} the outcome perfectly in {where}")


def has_symptoms(converged: bool, suspect_rows: int, cov: np.ndarray) -> bool:
    """The signs of separation in a fit: no convergence, fitted probabilities within 1e-6 of 0 or 1, a
    covariance that is not finite."""
    return not converged or suspect_rows > 0 or not np.isfinite(cov).all()


def find(exog: Any, endog: Any, names: list[str], params: np.ndarray) -> tuple[Separation, Any] | None:
    """The separation in the rows, and a mask of the perfectly predicted rows; None when there is none."""
    n, k = exog.shape
    if n == 0 or k == 0:
        return None
    scale = np.asarray(abs(exog).max(axis=0), dtype=float)
    scale[~(scale > 0.0) | ~np.isfinite(scale)] = 1.0
    q = 2.0 * endog - 1.0
    start = q * (exog @ params)  # rows far on their own side are rarely the binding ones
    separated, directions = _separated_rows(exog, q, scale, start)
    count = int(np.asarray(separated.sum()))
    if count == 0:
        return None
    constant = [bool(np.asarray((exog[:, j] == exog[0, j]).all())) for j in range(k)]
    support = _sparse_support(exog, q, scale, separated, directions, constant)
    alone = _thresholds(exog, endog, constant) if count == n else []
    columns = [names[j] for j in alone or support if not constant[j]] or [names[j] for j in support]
    # Where every row is predicted perfectly, no coefficient is pinned down by the likelihood.
    coefficients = list(names) if count == n else [names[j] for j in support]
    return Separation(columns, coefficients, count, n), separated


def _separated_rows(exog: Any, q: Any, scale: np.ndarray, start: Any) -> tuple[Any, list[np.ndarray]]:
    separated = q != q  # no row, of the rows' kind of array
    directions = []
    for _ in range(exog.shape[1] + 1):
        d = _widest_direction(exog, q, scale, ~separated, start)
        if d is None:
            break
        found = ~separated & (q * (exog @ (d / scale)) > _POSITIVE)
        if not np.asarray(found.any()):
            break
        separated = separated | found
        directions.append(d)
    return separated, directions


def _widest_direction(exog: Any, q: Any, scale: np.ndarray, rows: Any, start: Any) -> np.ndarray | None:
    """The box-bounded direction of largest total index over rows that keeps every one of them >= 0."""
    from scipy.optimize import linprog

    k = exog.shape[1]
    objective = -np.asarray((q * rows) @ exog, dtype=float) / scale
    if not np.any(objective) or not np.isfinite(objective).all():
        return None
    chosen = _lowest(start, rows, 20 * k + 100)
    for _ in range(_MAX_ROUNDS):
        constraints = _signed_rows(exog, q, scale, chosen)
        solution = linprog(objective, A_ub=-constraints, b_ub=np.zeros(len(constraints)), bounds=(-1.0, 1.0),
                           method="highs")
        if solution.status != 0:
            return None
        d = np.asarray(solution.x, dtype=float)
        index = q * (exog @ (d / scale))
        violated = _lowest(index, rows & (index < -_POSITIVE / 10), 20 * k + 100)
        if len(violated) == 0:
            return d if -solution.fun > _POSITIVE else None
        chosen = np.union1d(chosen, violated)
    return None


def _sparse_support(exog: Any, q: Any, scale: np.ndarray, separated: Any, directions: list[np.ndarray],
                    constant: list[bool]) -> list[int]:
    """The columns of a direction of least L1 norm with index >= 1 on the separated rows and 0 on the others
    (a direction can do no better on those); the union of the directions found if that program fails. A
    constant column costs little, so that the direction names the variables that separate, whatever
    threshold the constant sets."""
    from scipy.optimize import linprog

    k = exog.shape[1]
    fallback = [int(j) for j in np.flatnonzero(np.abs(np.sum(directions, axis=0)) > _POSITIVE)]
    rest = ~separated
    equal = r_factor(exog * rest[:, None]) / scale if np.asarray(rest.any()) else np.zeros((0, k))
    weights = np.where(constant, 1e-3, 1.0)
    objective = np.concatenate([weights, weights])
    chosen = _lowest(q * (exog @ (np.sum(directions, axis=0) / scale)), separated, 20 * k + 100)
    for _ in range(_MAX_ROUNDS):
        constraints = _signed_rows(exog, q, scale, chosen)
        solution = linprog(objective, A_ub=-np.hstack([constraints, -constraints]), b_ub=-np.ones(len(constraints)),
                           A_eq=np.hstack([equal, -equal]), b_eq=np.zeros(len(equal)), bounds=(0.0, None),
                           method="highs")
        if solution.status != 0:
            return fallback
        d = solution.x[:k] - solution.x[k:]
        index = q * (exog @ (d / scale))
        violated = _lowest(index, separated & (index < 1.0 - 1e-6), 20 * k + 100)
        if len(violated) == 0:
            biggest = np.abs(d).max()
            return [int(j) for j in np.flatnonzero(np.abs(d) > 1e-7 * biggest)]
        chosen = np.union1d(chosen, violated)
    return fallback


def _thresholds(exog: Any, endog: Any, constant: list[bool]) -> list[int]:
    """The columns that separate the outcomes completely on their own, by a threshold: all the values of the
    rows with y = 1 above (or below) all those of the rows with y = 0."""
    ones = (endog == 1.0)[:, None]
    low1, low0 = (np.asarray(np.where(rows, exog, np.inf).min(axis=0)) for rows in (ones, ~ones))
    high1, high0 = (np.asarray(np.where(rows, exog, -np.inf).max(axis=0)) for rows in (ones, ~ones))
    return [j for j in range(exog.shape[1]) if not constant[j] and (low1[j] > high0[j] or high1[j] < low0[j])]


def _lowest(values: Any, rows: Any, count: int) -> np.ndarray:
    """The positions of the (at most count) lowest values among rows, ascending."""
    masked = np.where(rows, values, np.inf)
    count = min(count, len(masked))
    if isinstance(masked, np.ndarray):
        picked = np.arange(len(masked)) if count == len(masked) else np.argpartition(masked, count - 1)[:count]
        chosen = masked[picked]
    else:
        import dask.array as da

        picked = np.asarray(da.argtopk(-masked, count))
        chosen = np.asarray(masked[np.sort(picked)])
        picked = np.sort(picked)
    return np.sort(picked[np.isfinite(chosen)]).astype(np.intp)


def _signed_rows(exog: Any, q: Any, scale: np.ndarray, positions: np.ndarray) -> np.ndarray:
    """q_i z_i of the given rows, in memory."""
    signs = np.asarray(q[positions], dtype=float)[:, None]
    signed: np.ndarray = np.asarray(exog[positions], dtype=float) / scale * signs
    return signed


def columns_to_drop(exog: np.ndarray, kept_rows: Any, support: list[int]) -> list[int]:
    """The separating columns that the rows left after dropping the separated ones cannot identify: each is
    taken in turn after every other column, and dropped when it adds no rank (a dummy that is 0 there)."""
    k = exog.shape[1]
    order = [j for j in range(k) if j not in support] + sorted(support, key=lambda j: -_is_constant(exog, j))
    r = r_factor(exog[:, order] * kept_rows[:, None])
    norms = np.linalg.norm(r, axis=0)
    dropped = []
    for p, j in enumerate(order):
        if j in support and not abs(r[p, p]) > 1e-9 * max(norms[p], 1e-300):
            dropped.append(j)
    return sorted(dropped)


def _is_constant(exog: Any, j: int) -> bool:
    column = exog[:, j]
    return bool(np.asarray((column == column[0]).all()))


@dataclass(frozen=True)
class Check:
    """What probit() makes of the test: the separation found, the design to refit without it, the note."""

    separation: Separation | None
    design: Design | None = None
    note: str | None = None

    @property
    def dropped(self) -> bool:
        return self.design is not None


def check(design: Design, raw: Any, suspect: int, mode: str) -> Check | None:
    """The separation test of a fit that shows its signs (None for a fit that does not); with mode "raise"
    a ValueError, with "drop" the design without the perfectly predicted rows and the columns they alone
    identify."""
    if not has_symptoms(bool(raw.converged), suspect, np.asarray(raw.cov_params())):
        return None
    params = np.asarray(raw.params)
    found = find(design.exog, design.endog, design.exog_names, np.where(np.isfinite(params), params, 0.0))
    if found is None:
        return Check(None)
    separation, rows = found
    if mode == "raise":
        raise ValueError(f"{separation.finding()}, so the likelihood has no maximum; pass separation='drop' to "
                         "leave those rows out, or 'warn' to see the fit")
    if mode == "warn":
        consequence = ("no standard error or test is estimable (NaN)" if separation.complete else
                       f"the coefficients of {', '.join(separation.coefficients)} run off to infinity, and their "
                       "standard errors and tests are not estimable (NaN); pass separation='drop' to leave those "
                       "rows out and refit")
        return Check(separation, note=f"{separation.finding()}: the likelihood has no maximum; {consequence}")
    if separation.complete:
        raise ValueError(f"{separation.finding()}: no rows are left to fit once they are dropped")
    return _dropped(design, separation, rows)


def _dropped(design: Design, separation: Separation, rows: Any) -> Check:
    keep = ~rows
    support = [design.exog_names.index(c) for c in separation.coefficients]
    drop = columns_to_drop(design.exog, keep, support)
    columns = [j for j in range(len(design.exog_names)) if j not in drop]
    names = [design.exog_names[j] for j in columns]
    exog, endog = design.exog[keep][:, columns], design.endog[keep]
    weights = None if design.weights is None else design.weights[keep]
    if isinstance(exog, np.ndarray):
        exog, endog = np.asfortranarray(exog), np.ascontiguousarray(endog)
        weights = None if weights is None else np.ascontiguousarray(weights)
    else:
        exog, endog = exog.compute_chunk_sizes(), endog.compute_chunk_sizes()
        weights = None if weights is None else weights.compute_chunk_sizes()
    ones = float(np.asarray(endog.sum()))
    refuse_constant_outcome(ones, len(endog), design.endog_name)
    clusters, n_clusters = _renumbered(design.clusters, keep)
    reduced = replace(design, endog=endog, exog=exog, exog_names=names, ones=ones, constants=constant_columns(exog),
                      clusters=clusters, n_clusters=n_clusters,
                      labels=None if design.labels is None else [design.labels[j] for j in columns],
                      rows=None if design.rows is None else design.rows.subset(keep, columns), weights=weights,
                      weight_sums=None if weights is None else weight_sums(weights, endog))
    dropped = [design.exog_names[j] for j in drop]
    separation = replace(separation, dropped=True, dropped_columns=dropped)
    also = f" and the column{'s' if len(dropped) > 1 else ''} {', '.join(dropped)}" if dropped else ""
    return Check(separation, reduced, f"{separation.finding()}: those rows{also} were left out, and the model "
                 f"refitted on the other {len(endog)} rows")


def _renumbered(clusters: Any, keep: Any) -> tuple[Any, list[int] | None]:
    """The cluster codes of the kept rows numbered 0 .. G - 1 again in each dimension, and each G."""
    if clusters is None:
        return None, None
    kept = clusters[keep]
    if isinstance(kept, np.ndarray):
        codes = [pd.factorize(kept[:, d])[0] for d in range(kept.shape[1])]
        return np.column_stack(codes).astype(np.float64), [int(c.max(initial=-1)) + 1 for c in codes]
    import dask.array as da

    kept = kept.compute_chunk_sizes()
    columns, counts = [], []
    for d in range(kept.shape[1]):
        levels = np.asarray(np.unique(kept[:, d]))
        columns.append(kept[:, d].map_blocks(partial(np.searchsorted, levels), dtype=np.intp).astype(np.float64))
        counts.append(len(levels))
    return da.stack(columns, axis=1), counts
