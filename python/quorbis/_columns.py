"""The columns of a DataFrame that a formula reads, and the design matrix built from them.

A design matrix is built once, column-major (the layout the fit reads in place). A formula whose terms
are plain numeric columns, with or without an intercept, is built here column by column; other formulas
go through formulaic, whose columns are gathered once into the same layout.
"""

from __future__ import annotations

from collections import Counter
from typing import Any

import formulaic
import numpy as np
import pandas as pd
from formulaic.transforms import TRANSFORMS
from formulaic.utils.variables import get_required_variables


def formula_variables(parsed: Any) -> tuple[set[str], set[str]]:
    """The names of the columns the formula may read, and the names of formulaic's transforms it uses.

    A factor that is a plain name (backticked or not) is a column; in a Python factor such as
    ``np.log(x)`` or ``center(x)`` every name but formulaic's transforms (np, log, C, I, center, ...) may
    be one. Data columns named like a transform (a column ``np``) are read only where the formula names
    them as a column."""
    names: set[str] = set()
    transforms: set[str] = set()
    for side in (parsed.lhs, parsed.rhs):
        for term in side:
            for factor in term.factors:
                if factor.eval_method.name == "LOOKUP":
                    names.add(str(factor.expr))
                elif factor.eval_method.name == "PYTHON":
                    for variable in get_required_variables(str(factor.expr)):
                        root = str(variable).split(".", 1)[0]
                        if root in TRANSFORMS:
                            transforms.add(root)
                        else:
                            names |= {str(variable), root}
    return names, transforms


def used_columns(frame: pd.DataFrame, parsed: Any) -> list[Any]:
    """The columns of frame that the formula reads, in frame's order. A name held by several columns is
    refused, since the formula could read either, and so is a column that would hide a transform that the
    formula calls (a column C beside C(g))."""
    variables, transforms = formula_variables(parsed)
    used = [c for c in frame.columns if isinstance(c, str) and c in variables]
    repeated = [c for c, count in Counter(used).items() if count > 1]
    if repeated:
        raise ValueError(f"the data have several columns named {', '.join(map(repr, repeated))}: rename them, "
                         "so that the formula reads the column meant")
    hiding = [c for c in used if c in transforms]
    if hiding:
        raise ValueError(f"the data's column {', '.join(map(repr, hiding))} has the name of a transform that the "
                         "formula calls: rename the column")
    return used


def may_be_missing_or_infinite(values: pd.Series) -> bool:
    """False when values certainly hold neither missing nor infinite values: integers and booleans of NumPy's
    dtypes, and floats whose sum is finite (one fast pass instead of pandas' isna and a check for infinities)."""
    dtype = values.dtype
    if isinstance(dtype, np.dtype) and dtype.kind in "biu":
        return False
    if isinstance(dtype, np.dtype) and dtype.kind == "f":
        return not np.isfinite(np.sum(values.to_numpy()))
    return True


def without_unused_levels(frame: pd.DataFrame) -> tuple[pd.DataFrame, list[str]]:
    """frame with the categories that no row holds removed from its categorical columns, and a note for
    each such column: an unused level would get a dummy of zeros, which no data can estimate."""
    notes = []
    for column in frame.columns:
        values = frame[column]
        if isinstance(values.dtype, pd.CategoricalDtype):
            used = values.cat.remove_unused_categories()
            unused = values.cat.categories.difference(used.cat.categories, sort=False)
            if len(unused):
                frame = frame.assign(**{column: used})
                notes.append(f"the levels {', '.join(map(str, unused))} of {column} occur in no row of the fit "
                             "and were left out of the design")
    return frame, notes


def refuse_complex(frame: pd.DataFrame) -> None:
    """Complex values would lose their imaginary part on the way to float64."""
    complex_ = [str(c) for c, t in frame.dtypes.items() if isinstance(t, np.dtype) and t.kind == "c"]
    if complex_:
        raise ValueError(f"complex values in {', '.join(complex_)}: a probit takes real numbers only")


def refuse_shared_intercept_name(parsed: Any, used: list[Any]) -> None:
    """formulaic names the constant Intercept and lets a data column of that name take its place."""
    if "Intercept" in used and any(term.degree == 0 for term in parsed.rhs):
        raise ValueError("the data's column 'Intercept' has the name of the formula's constant: rename the "
                         "column, or leave out the constant with '- 1'")


def refuse_repeated_names(names: list[str], where: str) -> None:
    repeated = [n for n, count in Counter(names).items() if count > 1]
    if repeated:
        raise ValueError(f"{where} has several columns named {', '.join(map(repr, repeated))}: rename them, so "
                         "that each coefficient has a name of its own")


def gather(columns: list[np.ndarray], rows: int) -> np.ndarray:
    """The columns side by side as a float64 matrix in column-major order, written once."""
    out = np.empty((rows, len(columns)), dtype=np.float64, order="F")
    for j, column in enumerate(columns):
        out[:, j] = column
    return out


def plain_columns(parsed: Any, frame: pd.DataFrame) -> Any:
    """The model spec of the right-hand side when every term is the constant or a numeric column read as
    it is, learned from two rows (such terms learn nothing from the data); None for other formulas."""
    for term in parsed.rhs:
        factors = list(term.factors)
        if term.degree == 0:
            continue
        if len(factors) != 1 or factors[0].eval_method.name != "LOOKUP":
            return None
        dtype = frame[str(factors[0].expr)].dtype
        if not (isinstance(dtype, np.dtype) and dtype.kind in "iuf"):
            return None
    return formulaic.model_matrix(parsed.rhs, frame.iloc[:2], na_action="ignore").model_spec


def plain_design(spec: Any, order: list[int], frame: pd.DataFrame) -> np.ndarray:
    """The design of a spec from plain_columns, its columns in the given order, straight from frame."""
    source: dict[int, Any] = {}
    for term, indices in spec.term_indices.items():
        factors = list(term.factors)
        source[indices[0]] = str(factors[0].expr) if term.degree else None
    ones = np.ones(len(frame))
    return gather([ones if source[j] is None else frame[source[j]].to_numpy() for j in order], len(frame))
