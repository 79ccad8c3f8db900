"""From 'y ~ x1 + x2 | firm + year' and a DataFrame to the slopes' design and the codes of the fixed effects.

The part after '|' lists the effects' dimensions: column names, or combinations 'a:b' of them (one effect
per cell). The slopes' part is encoded as for a fit without effects, categorical terms against their first
level, and then loses its intercept, which the effects absorb. Rows with a missing value in any of these
columns are dropped together (or refused), as for the outcome and the regressors.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import formulaic
import numpy as np
import pandas as pd

from ._clusters import cluster_columns
from ._columns import gather, plain_columns, used_columns
from ._design import Design, _finish, _keep_rows, _missing_in, _outcome, _rows, column_order, formula_with_outcome


@dataclass(frozen=True, kw_only=True)
class Effects:
    """The fixed effects of the design's rows: one column of codes per dimension, levels numbered in sorted
    order of their values (in order of appearance when the values do not sort)."""

    names: list[str]  # "firm", or "firm:year" for a combination
    codes: np.ndarray  # (n, dimensions) int64, C-contiguous
    levels: list[pd.Index]  # each dimension's values by code; tuples for a combination


def has_effects(formula: Any) -> bool:
    return isinstance(formula, str) and "|" in formula


def split_formula(formula: str) -> tuple[Any, list[list[str]]]:
    """The slopes' formula, outcome included, and the variables of each effect's dimension."""
    parsed = formula_with_outcome(formula)
    parts = parsed.rhs if isinstance(parsed.rhs, tuple) else (parsed.rhs,)
    if len(parts) != 2:
        raise ValueError(f"the formula {formula!r} must have one '|': 'y ~ x1 + x2 | firm + year'")
    dimensions = []
    for term in parts[1]:
        if term.degree == 0:
            continue  # the intercept formulaic adds to every part
        if any(factor.eval_method.name != "LOOKUP" for factor in term.factors):
            raise ValueError(f"the fixed effects must be column names or their combinations 'a:b', not '{term}'")
        dimensions.append([str(factor) for factor in term.factors])
    if not dimensions:
        raise ValueError(f"the formula {formula!r} names no fixed effect after '|'")
    return formulaic.Formula(lhs=parsed.lhs, rhs=parts[0]), dimensions


def from_formula(formula: str, data: Any, cluster: Any, missing: str) -> tuple[Design, Effects]:
    frame = data if isinstance(data, pd.DataFrame) else pd.DataFrame(data)
    slopes, dimensions = split_formula(formula)
    named = list(dict.fromkeys(v for dimension in dimensions for v in dimension))
    absent = [v for v in named if v not in frame.columns]
    if absent:
        raise ValueError(f"fixed-effect columns not in data: {', '.join(absent)}")
    used = used_columns(frame, slopes)
    clusters = cluster_columns(cluster, len(frame), frame, frame.index)
    columns = [frame[v].reset_index(drop=True).rename(v) for v in named]
    keep = _keep_rows(frame[used], clusters + columns, missing)
    kept = frame[used] if keep.all() else frame.loc[keep, used]
    y_name, y = _outcome(slopes, kept)
    X, names, spec = _slopes(slopes, kept)
    later = _missing_in(y, X, [y_name, *names], missing)
    if X.shape[1] == 0:
        raise ValueError("a probit with fixed effects needs at least one regressor besides the effects")
    rows = {v: c[keep][~later] for v, c in zip(named, columns)}
    design = _finish(_rows(y, ~later), _rows(X, ~later), names, y_name, [c[keep][~later] for c in clusters],
                     int((~keep).sum()) + int(later.sum()), formula=formula, spec=spec)
    return design, _effects([":".join(d) for d in dimensions], [[rows[v] for v in d] for d in dimensions])


def _slopes(slopes: Any, rows: pd.DataFrame) -> tuple[np.ndarray, list[str], Any]:
    """The slopes' design of rows without the constant, which the effects absorb, with the columns' names and
    the model for new data: numeric columns are read as they are, other terms through formulaic."""
    plain = plain_columns(slopes, rows)
    if plain is not None:
        names = [source for source in plain.sources if source is not None]
        return gather([rows[c].to_numpy() for c in names], len(rows))[0], names, plain
    rhs = formulaic.model_matrix(slopes.rhs, rows, na_action="ignore")
    spec = rhs.model_spec
    intercepts = {i for term, indices in spec.term_indices.items() if term.degree == 0 for i in indices}
    order = [i for i in column_order(spec) if i not in intercepts]
    X = gather([rhs.iloc[:, j].to_numpy(dtype=np.float64) for j in order], len(rhs))[0]
    return X, [str(rhs.columns[j]) for j in order], spec


def _effects(names: list[str], dimensions: list[list[pd.Series]]) -> Effects:
    codes, levels = zip(*(_numbered(columns) for columns in dimensions))
    return Effects(names=names, codes=np.ascontiguousarray(np.column_stack(codes), dtype=np.int64),
                   levels=list(levels))


def _numbered(columns: list[pd.Series]) -> tuple[np.ndarray, pd.Index]:
    """Codes of the cells of columns, numbered in sorted order of their values, and the values by code."""
    values: Any = columns[0].to_numpy() if len(columns) == 1 else pd.MultiIndex.from_arrays(
        [c.to_numpy() for c in columns])
    try:
        codes, levels = pd.factorize(values, sort=True)
    except TypeError:  # values of several types that do not compare
        codes, levels = pd.factorize(values)
    return codes, pd.Index(levels)
