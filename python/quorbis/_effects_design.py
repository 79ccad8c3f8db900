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
from ._columns import used_columns
from ._design import (Design, _finish, _keep_rows, _missing_in, _rows, check_one_outcome, column_order, floats,
                      formula_with_outcome)


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
    matrices = formulaic.model_matrix(slopes, frame.loc[keep, used], na_action="ignore")
    lhs, rhs, spec = matrices.lhs, matrices.rhs, matrices.rhs.model_spec
    check_one_outcome(slopes, lhs)
    y = floats(lhs.iloc[:, 0], str(lhs.columns[0]))
    order = [i for i in column_order(spec) if i not in _intercepts(spec)]
    rhs = rhs.iloc[:, order]
    X = rhs.to_numpy(dtype=np.float64)
    names = [str(c) for c in rhs.columns]
    later = _missing_in(y, X, [str(lhs.columns[0]), *names], missing)
    if X.shape[1] == 0:
        raise ValueError("a probit with fixed effects needs at least one regressor besides the effects")
    rows = {v: c[keep][~later] for v, c in zip(named, columns)}
    design = _finish(_rows(y, ~later), _rows(X, ~later), names, str(lhs.columns[0]),
                     [c[keep][~later] for c in clusters], int((~keep).sum()) + int(later.sum()),
                     formula=formula, spec=spec)
    return design, _effects([":".join(d) for d in dimensions], [[rows[v] for v in d] for d in dimensions])


def _intercepts(spec: Any) -> set[int]:
    return {i for term, indices in spec.term_indices.items() if term.degree == 0 for i in indices}


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
