"""The columns of a DataFrame that a formula reads, and the design matrix built from them.

A design matrix is built once, column-major (the layout the fit reads in place), by the extension on its
threads. A formula whose terms are plain numeric columns, with or without an intercept, takes them from the
data as they are; other formulas go through formulaic, whose columns are gathered the same way.
"""

from __future__ import annotations

from collections import Counter
from typing import Any

import formulaic
import numpy as np
import pandas as pd
from formulaic.transforms import TRANSFORMS
from formulaic.utils.variables import get_required_variables

from . import _quorbis


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
        with np.errstate(invalid="ignore", over="ignore"):  # inf - inf, or a sum past the largest float
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


def gather(columns: list[np.ndarray | None], rows: int) -> tuple[np.ndarray, list[bool]]:
    """The columns side by side as a float64 matrix in column-major order (None for a column of ones),
    written once on the thread pool, and whether each column holds only finite values."""
    floats = [None if c is None else np.asarray(c, dtype=np.float64) for c in columns]
    design: tuple[np.ndarray, list[bool]] = _quorbis._design_matrix(floats, rows)
    return design


class PlainColumns:
    """A right-hand side whose terms are the constant or numeric columns read as they are, known without
    formulaic evaluating anything: its columns in the order of a probit table (the constant, then the terms as
    written), their names, and the data column of each (None for the constant). formulaic's model of it, for
    the design of new data, is learned when first asked for, from two rows (such terms learn nothing)."""

    def __init__(self, parsed: Any, frame: pd.DataFrame) -> None:
        terms = sorted(parsed.rhs, key=lambda term: term.degree)
        self.sources: list[str | None] = [None if t.degree == 0 else str(next(iter(t.factors)).expr) for t in terms]
        self.names: list[str] = ["Intercept" if c is None else c for c in self.sources]
        self._rhs = parsed.rhs
        self._sample = frame.iloc[:2]
        self._spec: Any = None

    def model_spec(self) -> Any:
        """formulaic's model of the right-hand side, learned on first use."""
        if self._spec is None:
            self._spec = formulaic.model_matrix(self._rhs, self._sample, na_action="ignore").model_spec
        return self._spec

    def get_model_matrix(self, data: Any, **options: Any) -> Any:
        return self.model_spec().get_model_matrix(data, **options)


def plain_columns(parsed: Any, frame: pd.DataFrame) -> PlainColumns | None:
    """The right-hand side as PlainColumns when every term is the constant or one numeric column (not
    boolean, not complex) read as it is; None for other formulas."""
    for term in parsed.rhs:
        factors = list(term.factors)
        if term.degree == 0:
            continue
        if len(factors) != 1 or factors[0].eval_method.name != "LOOKUP":
            return None
        dtype = frame[str(factors[0].expr)].dtype
        if not (isinstance(dtype, np.dtype) and dtype.kind in "iuf"):
            return None
    return PlainColumns(parsed, frame)


def plain_design(plain: PlainColumns, frame: pd.DataFrame) -> tuple[np.ndarray, list[bool]]:
    """The design of plain columns straight from frame, and whether each column holds only finite values."""
    return gather([None if c is None else frame[c].to_numpy() for c in plain.sources], len(frame))


def plain_outcome(parsed: Any, frame: pd.DataFrame) -> str | None:
    """The column an outcome reads as it is, when it is one numeric or boolean column; else None."""
    terms = list(parsed.lhs)
    factors = list(terms[0].factors) if len(terms) == 1 else []
    if len(factors) != 1 or factors[0].eval_method.name != "LOOKUP":
        return None
    name = str(factors[0].expr)
    dtype = frame[name].dtype
    numeric = pd.api.types.is_numeric_dtype(dtype) or pd.api.types.is_bool_dtype(dtype)
    return name if numeric and not (isinstance(dtype, np.dtype) and dtype.kind == "c") else None
