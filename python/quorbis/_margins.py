"""Effects of the variables of a formula and average predictions, with delta-method standard errors.

A numeric variable gets the average over rows of dP(y = 1)/dv through every column that reads it (the
chain rule over the formula's structure, see _terms), a 0/1 variable the discrete change from 0 to 1, a
categorical variable the contrast of each level with the base level, every row set to the one and then to
the other. Variables can be set for every row (``at``), and the averages taken within groups (``by``).

The fitted rows are read again in chunks: each chunk's changed columns and derivatives are built from its
data, and the core (_margin_sums) sums over its rows on the thread pool; chunks, and the partitions of a
Dask DataFrame, are added in row order. The Jacobian J of the averages in the coefficients comes out of the
same sums, and their covariance is J V J' with V the fit's covariance. A weighted fit's averages, and the
means and shares of at="mean", are weighted by the fit's weights.
"""

from __future__ import annotations

import functools
import itertools
import math
import statistics
from dataclasses import dataclass, field
from typing import Any, Callable, cast

import numpy as np
import pandas as pd

from . import _quorbis
from ._columns import PlainColumns
from ._design import FrameRows
from ._terms import (Factor, Opaque, Rows, Structure, column_derivative, column_value, opaque_derivatives,
                     opaque_values, structure)

# Rows per chunk: the chunk's data and changed columns take O(chunk x columns) memory.
DEFAULT_CHUNK = 1 << 16
# Fitted rows on which the decoded structure is checked against the fitted design.
_CHECK_ROWS = 64

# The sums over rows as _margin_sums returns them: values, Jacobian rows, total weight.
Sums = tuple[np.ndarray, np.ndarray, float]


@dataclass(frozen=True)
class Fit:
    """What the effects need of a fitted formula."""

    params: np.ndarray
    cov: np.ndarray
    exog: Any  # the fitted design: an array, or a Dask array
    spec: Any
    names: list[str]
    rows: Any  # FrameRows or DaskRows
    weights: Any = None  # the fitted rows' weights in memory; a Dask DataFrame's partitions hold their own


@dataclass(frozen=True)
class Variable:
    name: str
    kind: str  # "numeric", "binary" or "categorical"
    factor: Factor | None = None  # categorical: the factor that names its levels
    base: Any = None


@dataclass(frozen=True)
class Row:
    """A row of a table: one quantity, or the difference of two predictions."""

    label: str
    variable: str
    contrast: str
    plus: tuple[str, int]  # ("prediction" or "derivative", its index)
    minus: tuple[str, int] | None = None


@dataclass
class Plan:
    """What every chunk computes, the same for all rows; picklable, for Dask's workers."""

    structure: Structure
    params: np.ndarray
    by: list[str]
    groups: pd.Index | None  # the groups' keys, in table order
    scenarios: list[dict[str, Any]] = field(default_factory=list)
    predictions: list[int] = field(default_factory=list)
    derivatives: list[tuple[int, str]] = field(default_factory=list)
    cells: list[tuple[tuple[Any, ...], list[Row]]] = field(default_factory=list)  # per grid point

    def scenario(self, settings: dict[str, Any]) -> int:
        key = tuple(sorted(settings.items(), key=lambda item: item[0]))
        for i, known in enumerate(self.scenarios):
            if tuple(sorted(known.items(), key=lambda item: item[0])) == key:
                return i
        self.scenarios.append(dict(settings))
        return len(self.scenarios) - 1

    def prediction(self, settings: dict[str, Any]) -> tuple[str, int]:
        s = self.scenario(settings)
        if s not in self.predictions:
            self.predictions.append(s)
        return "prediction", self.predictions.index(s)

    def derivative(self, settings: dict[str, Any], variable: str) -> tuple[str, int]:
        self.derivatives.append((self.scenario(settings), variable))
        return "derivative", len(self.derivatives) - 1

    def position(self, quantity: tuple[str, int]) -> int:
        kind, i = quantity
        return i if kind == "prediction" else len(self.predictions) + i


def effects(fit: Fit, variables: Any, at: Any, by: Any, alpha: float, chunk_size: int | None) -> pd.DataFrame:
    design, by, grid, chunk = _setup(fit, at, by, alpha, chunk_size)
    chosen = _chosen(design, variables)
    kinds = _kinds(fit, design, chosen, chunk)
    plan = Plan(design, fit.params, by, None)
    for values in grid["points"]:
        settings = dict(zip(grid["names"], values))
        rows: list[Row] = []
        for v in kinds:
            rows += _effect_rows(plan, v, settings)
        plan.cells.append((values, rows))
    return _table(fit, plan, grid, at, alpha, chunk, "dy/dx")


def predictions(fit: Fit, at: Any, by: Any, alpha: float, chunk_size: int | None) -> pd.DataFrame:
    design, by, grid, chunk = _setup(fit, at, by, alpha, chunk_size)
    plan = Plan(design, fit.params, by, None)
    for values in grid["points"]:
        plan.cells.append((values, [Row("", "", "", plan.prediction(dict(zip(grid["names"], values))))]))
    return _table(fit, plan, grid, at, alpha, chunk, "predicted")


def column_effects(fit: Fit, constants: list[int], chunk_size: int | None) -> pd.DataFrame:
    """The effects of a fit of arrays column by column, as quorbis.ame gives them, but averaged with the fit's
    weights: for each column but the constants, the derivative, or for a column of 0 and 1 the change from
    0 to 1."""
    chunk = DEFAULT_CHUNK if chunk_size is None else int(chunk_size)
    if chunk < 1:
        raise ValueError(_quorbis._MESSAGES["chunk_size"])
    columns = [j for j in range(len(fit.names)) if j not in set(constants)]
    dummies = _quorbis._dummy_columns(fit.exog)
    scenarios, predictions, derivatives = [np.empty((0, 3))], [], []
    for j in columns:
        if dummies[j]:
            predictions += [len(scenarios), len(scenarios) + 1]
            scenarios += [np.array([[j, 1.0, -1.0]]), np.array([[j, 0.0, -1.0]])]
        else:
            derivatives.append((0, np.array([[j, 1.0, -1.0]])))
    total: Sums | None = None
    for begin in range(0, len(fit.exog), chunk):
        X, w = fit.exog[begin:begin + chunk], np.ascontiguousarray(fit.weights[begin:begin + chunk])
        part = _quorbis._margin_sums(X, fit.params, [], scenarios, predictions, derivatives, w)
        total = part if total is None else (total[0] + part[0], total[1] + part[1], total[2] + part[2])
    assert total is not None
    values, jacobian, weight = total
    estimates, gradients, p, d = [], [], 0, len(predictions)
    for j in columns:
        if dummies[j]:
            estimates.append((values[p] - values[p + 1]) / weight)
            gradients.append((jacobian[p] - jacobian[p + 1]) / weight)
            p += 2
        else:
            estimates.append(values[d] / weight)
            gradients.append(jacobian[d] / weight)
            d += 1
    table = _statistics(np.array(estimates), np.array(gradients).reshape(-1, len(fit.params)), fit.cov, 0.05, "dy/dx")
    return pd.DataFrame({c: table[c] for c in ("dy/dx", "Std. Err", "z", "Pr(>|z|)", "Significance")},
                        index=[fit.names[j] for j in columns])


def _setup(fit: Fit, at: Any, by: Any, alpha: float,
           chunk_size: int | None) -> tuple[Structure, list[str], dict[str, Any], int]:
    if not 0.0 < alpha < 1.0:
        raise ValueError(f"alpha must lie strictly between 0 and 1, not {alpha}")
    chunk = DEFAULT_CHUNK if chunk_size is None else int(chunk_size)
    if chunk < 1:
        raise ValueError(_quorbis._MESSAGES["chunk_size"])
    design = _checked_structure(fit, chunk)
    by = [] if by is None else [by] if isinstance(by, str) else list(by)
    return design, by, _grid(design, at), chunk


def _checked_structure(fit: Fit, chunk: int) -> Structure:
    """The decoded structure, each decoded term checked against the fitted design on the first rows: a term
    whose columns do not come out as fitted is left to formulaic."""
    if fit.spec is None:  # a fit of arrays: its columns are all there is
        return Structure([], [], {}, [])
    model = fit.spec.model_spec() if isinstance(fit.spec, PlainColumns) else fit.spec
    design = structure(model, fit.names)
    if not isinstance(fit.rows, FrameRows) or fit.rows.nobs == 0:
        return design
    frame, _, end = next(fit.rows.chunks(design.variables, min(chunk, _CHECK_ROWS)))
    rows, fitted = Rows(frame), np.asarray(fit.exog[:end])
    wrong = set()
    for column in design.columns:
        try:
            value = np.broadcast_to(column_value(column, rows), (end,))
        except (Opaque, ValueError, TypeError, KeyError):
            value = np.full(end, np.inf)
        if not np.allclose(value, fitted[:, column.index], rtol=1e-12, atol=1e-300, equal_nan=True):
            wrong.add(column.index)
    if not wrong:
        return design
    return structure(model, fit.names, opaque_columns=wrong)


def _chosen(design: Structure, variables: Any) -> list[str]:
    if variables is None:
        return list(design.variables)
    names = [variables] if isinstance(variables, str) else list(variables)
    unknown = [v for v in names if v not in design.variables]
    if unknown:
        raise ValueError(f"{', '.join(map(str, unknown))} is not a variable of the formula's right-hand side "
                         f"(its variables: {', '.join(design.variables)})")
    return names


def _kinds(fit: Fit, design: Structure, names: list[str], chunk: int) -> list[Variable]:
    """Each variable's kind: categorical when a categorical factor codes it, binary when every fitted value
    is 0 or 1, numeric otherwise."""
    numeric = [v for v in names if v not in design.categorical]
    binary = _binary(fit, numeric, chunk) if numeric else set()
    out = []
    for v in names:
        if v in design.categorical:
            factor = design.categorical[v]
            out.append(Variable(v, "categorical", factor, factor.base))
        else:
            out.append(Variable(v, "binary" if v in binary else "numeric"))
    return out


def _binary(fit: Fit, names: list[str], chunk: int) -> set[str]:
    flags: dict[str, bool] = _fold(fit, names, functools.partial(_zero_one, names), _both, chunk, exog=False)
    return {v for v, flag in flags.items() if flag}


def _zero_one(names: list[str], frame: pd.DataFrame, _: Any, __: Any) -> dict[str, bool]:
    out = {}
    for v in names:
        values = frame[v].to_numpy(dtype=np.float64, na_value=np.nan)
        # A few rows settle it for most variables, before a pass over all of them.
        out[v] = all(bool(((part == 0.0) | (part == 1.0)).all()) for part in (values[:_CHECK_ROWS], values))
    return out


def _both(a: dict[str, bool], b: dict[str, bool]) -> dict[str, bool]:
    return {v: a[v] and b[v] for v in a}


def _grid(design: Structure, at: Any) -> dict[str, Any]:
    """The names set by at and the tuples of their values, one per grid point; one empty point without."""
    if at is None or (isinstance(at, str) and at == "mean"):
        return {"names": [], "points": [()]}
    if isinstance(at, str):
        raise ValueError(f"at must be None, 'mean' or a dict of variables and values, not {at!r}")
    if not isinstance(at, dict):
        raise TypeError(f"at must be None, 'mean' or a dict of variables and values, not {type(at).__name__}")
    names = list(at)
    unknown = [v for v in names if v not in design.variables]
    if unknown:
        raise ValueError(f"at sets {', '.join(map(str, unknown))}, which the formula's right-hand side does not "
                         f"read (its variables: {', '.join(design.variables)})")
    values = [_at_values(design, v, at[v]) for v in names]
    return {"names": names, "points": list(itertools.product(*values))}


def _at_values(design: Structure, v: str, given: Any) -> list[Any]:
    options = list(given) if isinstance(given, (list, tuple, np.ndarray, pd.Series, pd.Index)) else [given]
    if not options:
        raise ValueError(f"at gives no value for {v}")
    factor = design.categorical.get(v)
    for option in options:
        if factor is not None and option not in factor.levels:
            raise ValueError(f"at sets {v} to {option!r}, which is not one of its levels "
                             f"({', '.join(map(str, factor.levels))})")
        if factor is None and not isinstance(option, (int, float, np.integer, np.floating)):
            raise ValueError(f"at sets the numeric variable {v} to {option!r}, which is not a number")
    return options


def _effect_rows(plan: Plan, v: Variable, settings: dict[str, Any]) -> list[Row]:
    if v.kind == "numeric":
        return [Row(v.name, v.name, "", plan.derivative(settings, v.name))]
    if v.kind == "binary":
        return [Row(v.name, v.name, "1 - 0", plan.prediction({**settings, v.name: 1.0}),
                    plan.prediction({**settings, v.name: 0.0}))]
    assert v.factor is not None
    base = plan.prediction({**settings, v.name: v.base})
    return [Row(f"{v.factor.expr}[T.{level}]", v.name, f"{level} - {v.base}",
                plan.prediction({**settings, v.name: level}), base)
            for level in v.factor.levels if level != v.base]


def _table(fit: Fit, plan: Plan, grid: dict[str, Any], at: Any, alpha: float, chunk: int, what: str) -> pd.DataFrame:
    plan.groups = _groups(fit, plan.by, chunk)
    if isinstance(at, str):
        sums = _at_means(fit, plan, chunk)
    else:
        sums = _fold(fit, _columns(plan), functools.partial(_chunk_sums, plan), _add_groups, chunk, exog=True)
    keys, rows, estimates, gradients = [], [], [], []
    for g in range(1 if plan.groups is None else len(plan.groups)):
        values, jacobian, weight = sums.get(g, _empty(plan, len(fit.params)))
        group = () if plan.groups is None else _key(plan.groups[g])
        for point, cell in plan.cells:
            for row in cell:
                estimate, gradient = _estimate(plan, row, values, jacobian, weight)
                estimates.append(estimate)
                gradients.append(gradient)
                keys.append((*group, *point))
                rows.append(row)
    table = _statistics(np.array(estimates), np.array(gradients).reshape(-1, len(fit.params)), fit.cov, alpha, what)
    levels = [*plan.by, *grid["names"]]
    if what == "dy/dx":
        table.update({"contrast": [r.contrast for r in rows], "variable": [r.variable for r in rows]})
        index = _index([(*key, r.label) for key, r in zip(keys, rows)], [*levels, "term"]) if levels else \
            pd.Index([r.label for r in rows])
    else:
        index = _index(keys, levels) if levels else pd.Index(["average"])
    return pd.DataFrame(table, index=index)


def _index(tuples: list[tuple[Any, ...]], names: list[str]) -> pd.Index:
    if len(names) == 1:
        return cast(pd.Index, pd.Index([t[0] for t in tuples], name=names[0]))
    return cast(pd.Index, pd.MultiIndex.from_tuples(tuples, names=names))


def _empty(plan: Plan, k: int) -> Sums:
    q = len(plan.predictions) + len(plan.derivatives)
    return np.zeros(q), np.zeros((q, k)), 0.0


def _key(key: Any) -> tuple[Any, ...]:
    return key if isinstance(key, tuple) else (key,)


def _estimate(plan: Plan, row: Row, values: np.ndarray, jacobian: np.ndarray,
              weight: float) -> tuple[float, np.ndarray]:
    plus = plan.position(row.plus)
    with np.errstate(invalid="ignore", divide="ignore"):
        if row.minus is None:
            return values[plus] / weight, jacobian[plus] / weight
        minus = plan.position(row.minus)
        return (values[plus] - values[minus]) / weight, (jacobian[plus] - jacobian[minus]) / weight


def _statistics(estimates: np.ndarray, gradients: np.ndarray, cov: np.ndarray, alpha: float,
                what: str) -> dict[str, Any]:
    """The table's numeric columns: the estimates, their delta-method standard errors sqrt(g V g'), for
    effects z and p, and the intervals."""
    with np.errstate(invalid="ignore"):
        variance = np.einsum("ij,jk,ik->i", gradients, cov, gradients)
    # A negative variance is rounding around 0; a NaN one (a singular fit's covariance) stays NaN.
    se = np.sqrt(np.where(variance < 0.0, 0.0, variance))
    half = statistics.NormalDist().inv_cdf(1.0 - alpha / 2.0) * se
    table: dict[str, Any] = {what: estimates, "Std. Err": se}
    if what == "dy/dx":
        with np.errstate(invalid="ignore", divide="ignore"):
            z = np.where(se > 0.0, estimates / np.where(se > 0.0, se, 1.0), np.nan)
        p = np.array([math.erfc(abs(v) * math.sqrt(0.5)) for v in z])
        table.update({"z": z, "Pr(>|z|)": p, "Significance": [_stars(v) for v in p]})
    table.update({f"[{alpha / 2:g}": estimates - half, f"{1 - alpha / 2:g}]": estimates + half})
    return table


def _stars(p: float) -> str:
    return "***" if p < 0.01 else "**" if p < 0.05 else "*" if p < 0.1 else ""


def _columns(plan: Plan) -> list[str]:
    return list(dict.fromkeys([*plan.structure.variables, *plan.by]))


def _group_codes(plan: Plan, frame: pd.DataFrame) -> np.ndarray | None:
    if plan.groups is None:
        return None
    # A copy of the groups' index of this call's own: pandas fills an index's lookup table and uniqueness flag
    # on first use without a lock, and a Dask DataFrame's partitions are looked up from several threads at once.
    groups = plan.groups.copy(deep=True)
    if len(plan.by) == 1:
        codes: np.ndarray = groups.get_indexer(pd.Index(frame[plan.by[0]]))
    else:
        codes = groups.get_indexer(pd.MultiIndex.from_frame(frame[plan.by]))
    return codes


def _chunk_sums(plan: Plan, frame: pd.DataFrame, X: np.ndarray, w: np.ndarray | None) -> dict[int, Sums]:
    """Each group's sums over the chunk's rows, weighted by w when given."""
    codes = _group_codes(plan, frame)
    if codes is None:
        return {0: _sums(plan, Rows(frame), X, w)}
    out = {}
    for g in np.unique(codes):
        rows = np.flatnonzero(codes == g)
        out[int(g)] = _sums(plan, Rows(frame.iloc[rows]), X[rows], None if w is None else w[rows])
    return out


def _sums(plan: Plan, rows: Rows, X: np.ndarray, w: np.ndarray | None = None) -> Sums:
    extras: list[np.ndarray] = []
    scenarios = [_scenario_entries(plan.structure, rows.setting(s), s, extras) for s in plan.scenarios]
    derivatives = [(s, _derivative_entries(plan.structure, rows.setting(plan.scenarios[s]), v, extras))
                   for s, v in plan.derivatives]
    values, jacobian, weight = _quorbis._margin_sums(X, plan.params, extras, scenarios, plan.predictions, derivatives,
                                                     None if w is None else np.ascontiguousarray(w))
    return values, jacobian, float(weight)


def _scenario_entries(design: Structure, rows: Rows, settings: dict[str, Any], extras: list[np.ndarray]) -> np.ndarray:
    columns, terms = design.affected(set(settings))
    entries = [_entry(c.index, column_value(c, rows), extras) for c in columns]
    for term in terms:
        entries += [_entry(j, value, extras) for j, value in zip(term.indices, opaque_values(term, rows))]
    return np.array(entries, dtype=np.float64).reshape(-1, 3)


def _derivative_entries(design: Structure, rows: Rows, variable: str, extras: list[np.ndarray]) -> np.ndarray:
    columns, terms = design.affected({variable})
    entries = [_entry(c.index, column_derivative(c, variable, rows), extras) for c in columns]
    for term in terms:
        entries += [_entry(j, d, extras) for j, d in zip(term.indices, opaque_derivatives(term, variable, rows))]
    return np.array(entries, dtype=np.float64).reshape(-1, 3)


def _entry(column: int, value: Any, extras: list[np.ndarray]) -> tuple[float, float, float]:
    if np.ndim(value) == 0:
        return float(column), float(value), -1.0
    extras.append(np.ascontiguousarray(value, dtype=np.float64))
    return float(column), 1.0, float(len(extras) - 1)


def _add_groups(a: dict[int, Sums], b: dict[int, Sums]) -> dict[int, Sums]:
    out = dict(a)
    for g, (values, jacobian, weight) in b.items():
        if g in out:
            v, j, w = out[g]
            out[g] = (v + values, j + jacobian, w + weight)
        else:
            out[g] = (values, jacobian, weight)
    return out


def _fold(fit: Fit, columns: list[str], function: Callable[[pd.DataFrame, Any, Any], Any],
          combine: Callable[[Any, Any], Any], chunk: int, exog: bool) -> Any:
    """function(frame, X, w) of every chunk of fitted rows, w their weights (None for a fit without),
    combined in row order."""
    if fit.rows is not None and not isinstance(fit.rows, FrameRows):
        return fit.rows.fold(columns, function, combine, chunk, exog)
    total = None
    for frame, begin, end in _chunks(fit, columns, chunk):
        part = function(frame, fit.exog[begin:end] if exog else None,
                        None if fit.weights is None else fit.weights[begin:end])
        total = part if total is None else combine(total, part)
    return total if total is not None else {}


def _chunks(fit: Fit, columns: list[str], chunk: int) -> Any:
    if fit.rows is not None:
        return fit.rows.chunks(columns, chunk)
    n = len(fit.exog)
    return ((pd.DataFrame(index=range(end - begin)), begin, end) for begin, end in
            ((b, min(n, b + chunk)) for b in range(0, n, chunk)))


def _groups(fit: Fit, by: list[str], chunk: int) -> pd.Index | None:
    """The keys of the groups of by among the fitted rows, sorted (or in order of appearance)."""
    if not by:
        return None
    _check_columns(fit, by)
    keys: pd.DataFrame = _fold(fit, by, functools.partial(_keys, by), _more_keys, chunk, exog=False)
    if keys.isna().to_numpy().any():
        raise ValueError(f"by: {', '.join(by)} has missing values in the fitted rows")
    try:
        keys = keys.sort_values(by, ignore_index=True)
    except TypeError:
        pass
    return pd.Index(keys.iloc[:, 0]) if len(by) == 1 else pd.MultiIndex.from_frame(keys)


def _check_columns(fit: Fit, by: list[str]) -> None:
    columns = fit.rows.columns
    absent = [c for c in by if c not in columns]
    if absent:
        raise ValueError(f"by names {', '.join(map(str, absent))}, which the data does not have")


def _keys(by: list[str], frame: pd.DataFrame, _: Any, __: Any) -> pd.DataFrame:
    return frame[by].drop_duplicates()


def _more_keys(a: pd.DataFrame, b: pd.DataFrame) -> pd.DataFrame:
    return pd.concat([a, b], ignore_index=True).drop_duplicates(ignore_index=True)


def _at_means(fit: Fit, plan: Plan, chunk: int) -> dict[int, Sums]:
    """Each group's quantities at the means of the variables: one row, the design's columns evaluated
    there, categorical variables at their observed shares (so a treatment dummy is its level's share)."""
    design = plan.structure
    numeric = [v for v in design.variables if v not in design.categorical]
    categorical = list(design.categorical)
    summary = _fold(fit, _columns(plan), functools.partial(_group_summary, plan, numeric, categorical),
                    _add_summaries, chunk, exog=False)
    out = {}
    for g, (count, sums, levels) in summary.items():
        means = {v: sums[v] / count for v in numeric}
        shares = {v: {level: n / count for level, n in levels[v].items()} for v in categorical}
        rows = Rows(pd.DataFrame({v: [m] for v, m in means.items()}), means, shares=shares)
        x = _mean_design(design, rows, len(fit.params))
        out[g] = _sums(plan, rows, x)
    return out


def _mean_design(design: Structure, rows: Rows, k: int) -> np.ndarray:
    x = np.ones((1, k))
    for column in design.columns:
        x[0, column.index] = float(column_value(column, rows))
    for term in design.opaque:
        for j, value in zip(term.indices, opaque_values(term, rows)):
            x[0, j] = float(value)
    return x


def _group_summary(plan: Plan, numeric: list[str], categorical: list[str], frame: pd.DataFrame, _: Any,
                   w: np.ndarray | None) -> dict[int, tuple[float, dict[str, float], dict[str, dict[Any, float]]]]:
    """Per group: its rows, the sums of the numeric variables and the counts of each categorical's levels;
    with weights w, the weights' sum and the weighted sums and counts."""
    codes = _group_codes(plan, frame)
    groups = [(0, np.arange(len(frame)))] if codes is None else \
        [(int(g), np.flatnonzero(codes == g)) for g in np.unique(codes)]
    out: dict[int, tuple[float, dict[str, float], dict[str, dict[Any, float]]]] = {}
    for g, rows in groups:
        part = frame.iloc[rows]
        if w is None:
            sums = {v: float(part[v].to_numpy(dtype=np.float64, na_value=np.nan).sum()) for v in numeric}
            levels = {v: {level: float(n) for level, n in part[v].value_counts(sort=False).items()}
                      for v in categorical}
            out[g] = (float(len(rows)), sums, levels)
            continue
        weights = w[rows]
        sums = {v: float((weights * part[v].to_numpy(dtype=np.float64, na_value=np.nan)).sum()) for v in numeric}
        levels = {v: pd.Series(weights).groupby(part[v].to_numpy(), sort=False).sum().to_dict() for v in categorical}
        out[g] = (float(weights.sum()), sums, levels)
    return out


def _add_summaries(a: dict[int, Any], b: dict[int, Any]) -> dict[int, Any]:
    out = dict(a)
    for g, (count, sums, levels) in b.items():
        if g not in out:
            out[g] = (count, sums, levels)
            continue
        n, s, l = out[g]
        out[g] = (n + count, {v: s[v] + sums[v] for v in s},
                  {v: {level: l[v].get(level, 0) + levels[v].get(level, 0)
                       for level in dict.fromkeys([*l[v], *levels[v]])} for v in l})
    return out
