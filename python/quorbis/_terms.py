"""The columns of a formula's design as products of factor values, and their derivatives in a variable.

formulaic builds each column of a term as a scale times one encoded column per factor: a numeric factor's
value, or the contrast coding of a categorical factor's level. From that structure follow the value of a
column when some variables are set for every row, and its derivative in a variable by the chain rule
through the factor's expression (sums, products, powers, logarithms, exponentials, roots, center and
scale). Terms whose structure is not understood here (splines, unknown functions) are left to formulaic:
evaluated on the modified rows, and differentiated by central differences with Richardson extrapolation.
"""

from __future__ import annotations

import ast
import itertools
import math
from dataclasses import dataclass, field
from typing import Any, Callable, cast

import numpy as np
import pandas as pd

# A value over a block of rows: the same number in every row, or one per row.
Value = Any  # float | np.ndarray


class Opaque(Exception):
    """An expression whose derivative or value is not known here."""


_FUNCTIONS: dict[str, Callable[[Any], Any]] = {
    "I": lambda a: a, "log": np.log, "exp": np.exp, "sqrt": np.sqrt, "log1p": np.log1p, "expm1": np.expm1,
    "square": np.square, "log10": np.log10, "log2": np.log2,
}
_STATEFUL = ("center", "scale")


def _function_name(node: ast.AST) -> str:
    """"log" for np.log, numpy.log and log; "" for anything else."""
    if isinstance(node, ast.Name):
        return node.id
    if isinstance(node, ast.Attribute) and isinstance(node.value, ast.Name) and node.value.id in ("np", "numpy"):
        return node.attr
    return ""


@dataclass(frozen=True, eq=False)
class Factor:
    """A factor of the formula: numeric, with its expression, or categorical, coding one variable."""

    expr: str
    variables: frozenset[str]
    node: ast.expr | None = None  # numeric: its expression; None when not understood here
    variable: str | None = None  # categorical: the variable it codes
    levels: tuple[Any, ...] = ()
    base: Any = None  # categorical: the level the others are compared with
    state: dict[str, Any] = field(default_factory=dict)  # the transforms' state, by their expressions

    @property
    def categorical(self) -> bool:
        return self.variable is not None


@dataclass(frozen=True, eq=False)
class FactorColumn:
    """A factor's encoded column in a column of the design: coding[level] per level for a categorical."""

    factor: Factor
    coding: np.ndarray | None = None


@dataclass(frozen=True, eq=False)
class Column:
    index: int  # in the fitted design
    scale: float
    factors: tuple[FactorColumn, ...]
    variables: frozenset[str]


@dataclass(frozen=True, eq=False)
class OpaqueTerm:
    """A term left to formulaic: its model spec, and the fitted design's positions of its columns."""

    spec: Any
    names: list[str]
    indices: list[int]
    variables: frozenset[str]


@dataclass(frozen=True, eq=False)
class Structure:
    columns: list[Column]
    opaque: list[OpaqueTerm]
    categorical: dict[str, Factor]  # each categorical variable's first factor: its levels and label
    variables: list[str]  # the data variables of the right-hand side, in the order of the columns

    def affected(self, variables: set[str]) -> tuple[list[Column], list[OpaqueTerm]]:
        """The columns and opaque terms that read any of variables."""
        return ([c for c in self.columns if c.variables & variables],
                [t for t in self.opaque if t.variables & variables])


def structure(spec: Any, names: list[str], opaque_columns: set[int] | frozenset[int] = frozenset()) -> Structure:
    """The design's columns (named names, in their fitted order) decoded from formulaic's structure; the
    terms of opaque_columns are left to formulaic."""
    position = {name: j for j, name in enumerate(names)}
    factors: dict[str, Factor] = {}
    columns: list[Column] = []
    opaque: list[OpaqueTerm] = []
    seen: dict[str, None] = {}  # the variables in the order of the formula's terms
    for encoded in spec.structure:
        for formula_factor in encoded.term.factors:
            seen.update(dict.fromkeys(sorted(_factor(formula_factor, spec, factors).variables)))
        decoded = _decode(encoded, spec, factors)
        if decoded is None or any(position.get(str(n)) in opaque_columns for n in encoded.columns):
            variables = frozenset().union(*(_factor(f, spec, factors).variables for f in encoded.term.factors))
            # A column the fit left out (say for separation) has no coefficient: it moves nothing.
            kept = [str(n) for n in encoded.columns if str(n) in position]
            opaque.append(OpaqueTerm(spec.subset([encoded.term]), kept, [position[n] for n in kept], variables))
            continue
        columns += [Column(position[str(name)], scale, factors, frozenset().union(*(f.factor.variables for f in factors)))
                    for name, scale, factors in decoded if str(name) in position]
    categorical: dict[str, Factor] = {}
    for factor in factors.values():
        if factor.categorical:
            categorical.setdefault(str(factor.variable), factor)
    read = frozenset().union(*(c.variables for c in columns), *(t.variables for t in opaque if t.indices))
    return Structure(sorted(columns, key=lambda c: c.index), opaque, categorical, [v for v in seen if v in read])


def _decode(encoded: Any, spec: Any, factors: dict[str, Factor]) -> list[tuple[str, float, tuple[FactorColumn, ...]]] | None:
    """Each column of the term with its scale and factor columns, or None when a factor is not understood."""
    out: list[tuple[str, float, tuple[FactorColumn, ...]]] = []
    names = [str(n) for n in encoded.columns]
    for scoped in encoded.scoped_terms:
        choices: list[list[FactorColumn]] = []
        for scoped_factor in scoped.factors:
            factor = _factor(scoped_factor.factor, spec, factors)
            if factor.categorical:
                choices.append(_coding_columns(factor, spec, scoped_factor.reduced))
            elif factor.node is not None:
                choices.append([FactorColumn(factor)])
            else:
                return None
        # formulaic's order: the first factor's columns vary fastest.
        combos = [tuple(reversed(c)) for c in _product(list(reversed(choices)))]
        if len(out) + len(combos) > len(names):
            return None
        out += [(names[len(out) + i], float(scoped.scale), combo) for i, combo in enumerate(combos)]
    return out if len(out) == len(names) else None


def _product(choices: list[list[FactorColumn]]) -> list[tuple[FactorColumn, ...]]:
    combos: list[tuple[FactorColumn, ...]] = [()]
    for options in choices:
        combos = [c + (o,) for c in combos for o in options]
    return combos


def _coding_columns(factor: Factor, spec: Any, reduced: bool) -> list[FactorColumn]:
    contrasts = spec.encoder_state[factor.expr][1]["contrasts"]
    coding = contrasts.contrasts.get_coding_matrix(list(factor.levels), reduced_rank=reduced)
    values = np.asarray(coding, dtype=np.float64)
    return [FactorColumn(factor, values[:, j].copy()) for j in range(values.shape[1])]


def _factor(formula_factor: Any, spec: Any, factors: dict[str, Factor]) -> Factor:
    formula_factor = getattr(formula_factor, "factor", formula_factor)  # the parsed factor of an evaluated one
    expr = str(formula_factor.expr)
    if expr in factors:
        return factors[expr]
    variables = frozenset(str(v) for v in spec.factor_variables.get(formula_factor, ())
                          if getattr(v, "source", "data") == "data")
    kind, state = spec.encoder_state.get(expr, (None, {}))
    if getattr(kind, "value", None) == "categorical":
        levels = tuple(state.get("categories") or state["contrasts"].levels)
        base = getattr(state["contrasts"].contrasts, "base", None)  # a treatment coding's chosen base
        factor = Factor(expr, variables, variable=next(iter(variables)) if len(variables) == 1 else None,
                        levels=levels, base=base if base in levels else levels[0])
        if factor.variable is None:
            factor = Factor(expr, variables)
    else:
        factor = Factor(expr, variables, node=_numeric_node(formula_factor, expr, variables),
                        state=dict(spec.transform_state))
    factors[expr] = factor
    return factor


def _numeric_node(formula_factor: Any, expr: str, variables: frozenset[str]) -> ast.expr | None:
    method = getattr(formula_factor.eval_method, "value", "")
    if method == "lookup":
        return ast.Name(expr) if expr in variables else None
    if method == "literal":
        try:
            return ast.Constant(float(expr))
        except ValueError:
            return None
    try:
        node = ast.parse(expr, mode="eval").body
    except SyntaxError:
        return None
    return node if _known(node, variables) else None


def _known(node: ast.AST, variables: frozenset[str]) -> bool:
    if isinstance(node, ast.Name):
        return node.id in variables
    if isinstance(node, ast.Constant):
        return isinstance(node.value, (int, float)) and not isinstance(node.value, bool)
    if isinstance(node, ast.BinOp):
        return isinstance(node.op, (ast.Add, ast.Sub, ast.Mult, ast.Div, ast.Pow)) and \
            _known(node.left, variables) and _known(node.right, variables)
    if isinstance(node, ast.UnaryOp):
        return isinstance(node.op, (ast.USub, ast.UAdd)) and _known(node.operand, variables)
    if isinstance(node, ast.Call):
        name = _function_name(node.func)
        if node.keywords or name not in (*_FUNCTIONS, *_STATEFUL, "power"):
            return False
        return len(node.args) == (2 if name == "power" else 1) and all(_known(a, variables) for a in node.args)
    return False


class Rows:
    """The variables of a block of rows as the factors read them, some of them set to one value."""

    def __init__(self, frame: pd.DataFrame, values: dict[str, Any] | None = None,
                 codes: dict[str, np.ndarray] | None = None, shares: dict[str, dict[Any, float]] | None = None) -> None:
        self.frame = frame
        self.values: dict[str, Any] = dict(values or {})  # variable -> number, array or level
        self._codes = codes if codes is not None else {}
        # For the means of the variables: each categorical variable's share of each level.
        self.shares: dict[str, dict[Any, float]] = shares or {}

    def setting(self, values: dict[str, Any]) -> Rows:
        """These rows with more variables set; read columns are shared."""
        return Rows(self.frame, {**self.values, **values}, self._codes, self.shares)

    def number(self, name: str) -> Value:
        value = self.values.get(name)
        if value is None:
            value = self.frame[name].to_numpy(dtype=np.float64, na_value=np.nan)
            self.values[name] = value
        return value

    def level_codes(self, factor: Factor) -> Value:
        """The index of each row's level among factor's levels (one index when the variable is set)."""
        name = str(factor.variable)
        if name in self.values:
            return factor.levels.index(self.values[name])
        if name not in self._codes:
            self._codes[name] = pd.Categorical(self.frame[name], categories=list(factor.levels)).codes
        return self._codes[name]


def factor_value(encoded: FactorColumn, rows: Rows) -> Value:
    if encoded.coding is not None:
        name = str(encoded.factor.variable)
        if name in rows.shares and name not in rows.values:
            shares = rows.shares[name]
            return float(sum(shares.get(level, 0.0) * c for level, c in zip(encoded.factor.levels, encoded.coding)))
        return encoded.coding[rows.level_codes(encoded.factor)]
    assert encoded.factor.node is not None
    return evaluate(encoded.factor.node, rows, encoded.factor.state)


def column_value(column: Column, rows: Rows) -> Value:
    return _times(column.scale, [factor_value(p, rows) for p in column.factors])


def column_derivative(column: Column, variable: str, rows: Rows) -> Value:
    """d column / d variable through every numeric factor that reads it; 0.0 when none does."""
    total: Value = 0.0
    for i, encoded in enumerate(column.factors):
        if encoded.coding is not None or variable not in encoded.factor.variables:
            continue
        assert encoded.factor.node is not None
        inner = derivative(encoded.factor.node, variable, encoded.factor.state)
        if inner is None:
            continue
        others = [factor_value(p, rows) for j, p in enumerate(column.factors) if j != i]
        total = total + _times(column.scale, [evaluate(inner, rows, encoded.factor.state), *others])
    return total


def _times(scale: float, values: list[Value]) -> Value:
    out: Value = scale
    for v in values:
        out = v if isinstance(out, float) and out == 1.0 else out * v
    return out


def evaluate(node: ast.AST, rows: Rows, state: dict[str, Any]) -> Value:
    if isinstance(node, ast.Name):
        return rows.number(node.id)
    if isinstance(node, ast.Constant):
        return float(cast(float, node.value))
    if isinstance(node, ast.UnaryOp):
        value = evaluate(node.operand, rows, state)
        return -value if isinstance(node.op, ast.USub) else value
    if isinstance(node, ast.BinOp):
        a, b = evaluate(node.left, rows, state), evaluate(node.right, rows, state)
        op = type(node.op)
        with np.errstate(all="ignore"):
            if op is ast.Add:
                return a + b
            if op is ast.Sub:
                return a - b
            if op is ast.Mult:
                return a * b
            if op is ast.Div:
                return a / b
            return np.power(a, b) if isinstance(a, np.ndarray) or isinstance(b, np.ndarray) else _power(a, b)
    if isinstance(node, ast.Call):
        name = _function_name(node.func)
        args = [evaluate(a, rows, state) for a in node.args]
        if name in _STATEFUL:
            center, scale = _transform_state(node, state)
            return (args[0] - center) / scale
        with np.errstate(all="ignore"):
            if name == "power":
                return np.power(args[0], args[1])
            return _FUNCTIONS[name](args[0])
    raise Opaque(ast.unparse(node))


def _power(a: float, b: float) -> float:
    try:
        return float(a ** b)
    except (ZeroDivisionError, OverflowError):
        return math.nan


def _transform_state(node: ast.Call, state: dict[str, Any]) -> tuple[float, float]:
    """center and scale of a center(...) or scale(...) call, from the state the fit learned."""
    learned = state.get(ast.unparse(node))
    if learned is None:
        raise Opaque(ast.unparse(node))
    center = learned.get("center")
    scale = learned.get("scale")
    return (0.0 if center is None else float(center)), (1.0 if scale is None else float(scale))


def _const(value: float) -> ast.expr:
    return ast.Constant(value)


def _bin(left: ast.expr, op: ast.operator, right: ast.expr) -> ast.expr:
    return ast.BinOp(left, op, right)


def _call(name: str, arg: ast.expr) -> ast.expr:
    return ast.Call(ast.Name(name), [arg], [])


def _mul(a: ast.expr | None, b: ast.expr | None) -> ast.expr | None:
    if a is None or b is None:
        return None
    if isinstance(a, ast.Constant) and a.value == 1.0:
        return b
    if isinstance(b, ast.Constant) and b.value == 1.0:
        return a
    return _bin(a, ast.Mult(), b)


def _add(a: ast.expr | None, b: ast.expr | None) -> ast.expr | None:
    if a is None:
        return b
    return a if b is None else _bin(a, ast.Add(), b)


def _neg(a: ast.expr | None) -> ast.expr | None:
    return None if a is None else ast.UnaryOp(ast.USub(), a)


def derivative(node: ast.AST, v: str, state: dict[str, Any]) -> ast.expr | None:
    """The expression of d node / d v; None when node does not depend on v. Raises Opaque."""
    if isinstance(node, ast.Name):
        return _const(1.0) if node.id == v else None
    if isinstance(node, ast.Constant):
        return None
    if isinstance(node, ast.UnaryOp):
        inner = derivative(node.operand, v, state)
        return _neg(inner) if isinstance(node.op, ast.USub) else inner
    if isinstance(node, ast.BinOp):
        return _binary_derivative(node, v, state)
    if isinstance(node, ast.Call):
        return _call_derivative(node, v, state)
    raise Opaque(ast.unparse(node))


def _binary_derivative(node: ast.BinOp, v: str, state: dict[str, Any]) -> ast.expr | None:
    a, b = node.left, node.right
    da, db = derivative(a, v, state), derivative(b, v, state)
    op = type(node.op)
    if op is ast.Add:
        return _add(da, db)
    if op is ast.Sub:
        return _add(da, _neg(db))
    if op is ast.Mult:
        return _add(_mul(da, b), _mul(a, db))
    if op is ast.Div:
        quotient = _add(_mul(da, b), _neg(_mul(a, db)))
        return None if quotient is None else _bin(quotient, ast.Div(), _bin(b, ast.Pow(), _const(2.0)))
    if db is not None:  # a power with an exponent that depends on v
        raise Opaque(ast.unparse(node))
    return _power_derivative(a, b, da)


def _power_derivative(base: ast.expr, exponent: ast.expr, d_base: ast.expr | None) -> ast.expr | None:
    """d base**c = c base**(c - 1) d base."""
    if d_base is None:
        return None
    lowered = _bin(exponent, ast.Sub(), _const(1.0))
    return _mul(_mul(exponent, _bin(base, ast.Pow(), lowered)), d_base)


def _call_derivative(node: ast.Call, v: str, state: dict[str, Any]) -> ast.expr | None:
    name = _function_name(node.func)
    if name == "power":
        if derivative(node.args[1], v, state) is not None:
            raise Opaque(ast.unparse(node))
        return _power_derivative(node.args[0], node.args[1], derivative(node.args[0], v, state))
    a = node.args[0]
    da = derivative(a, v, state)
    if da is None:
        return None
    if name == "I":
        return da
    if name in _STATEFUL:
        _, scale = _transform_state(node, state)
        return _mul(da, _const(1.0 / scale))
    outer: dict[str, ast.expr] = {
        "log": _bin(_const(1.0), ast.Div(), a),
        "log1p": _bin(_const(1.0), ast.Div(), _bin(_const(1.0), ast.Add(), a)),
        "log10": _bin(_const(1.0), ast.Div(), _bin(a, ast.Mult(), _const(math.log(10.0)))),
        "log2": _bin(_const(1.0), ast.Div(), _bin(a, ast.Mult(), _const(math.log(2.0)))),
        "exp": _call("exp", a),
        "expm1": _call("exp", a),
        "sqrt": _bin(_const(0.5), ast.Div(), _call("sqrt", a)),
        "square": _bin(_const(2.0), ast.Mult(), a),
    }
    return _mul(outer[name], da)


def opaque_values(term: OpaqueTerm, rows: Rows) -> list[Value]:
    """The term's columns on the rows, by formulaic; at the means, averaged over the levels of its
    categorical variables with their shares as weights (the coding is linear in each)."""
    frame = rows.frame
    shared = [v for v in sorted(term.variables) if v in rows.shares and v not in rows.values]
    weights = np.ones(1)
    if shared:
        combos = list(itertools.product(*(rows.shares[v].items() for v in shared)))
        weights = np.array([math.prod(share for _, share in combo) for combo in combos])
        frame = frame.iloc[np.zeros(len(combos), dtype=np.intp)].reset_index(drop=True)
        for i, v in enumerate(shared):
            frame[v] = pd.Series([combo[i][0] for combo in combos], dtype=object)
    settings = {v: value for v, value in rows.values.items() if v in term.variables}
    if settings:
        frame = frame.assign(**{v: _column_of(value, len(frame)) for v, value in settings.items()})
    matrix = term.spec.get_model_matrix(frame, na_action="ignore")
    values = [matrix[name].to_numpy(dtype=np.float64) for name in term.names]
    if shared:
        return [float(weights @ v) for v in values]
    return values


def _column_of(value: Any, size: int) -> Any:
    if isinstance(value, np.ndarray):
        return value
    return pd.Series([value] * size, dtype=object if isinstance(value, str) else None)


def opaque_derivatives(term: OpaqueTerm, variable: str, rows: Rows) -> list[Value]:
    """d term / d variable by central differences, a step of 2**-10 max(|v|, 1), and Richardson
    extrapolation (4 D(h/2) - D(h)) / 3, which leaves an error of order h**4."""
    v = rows.number(variable)
    step = 2.0 ** -10 * np.maximum(np.abs(v), 1.0)

    def central(h: Value) -> list[Value]:
        try:
            up = opaque_values(term, rows.setting({variable: v + h}))
            down = opaque_values(term, rows.setting({variable: v - h}))
        except Exception as error:  # formulaic's, whatever the transform raises
            terms = ", ".join(dict.fromkeys(str(n).split("[")[0] for n in term.names))
            raise ValueError(f"the derivative of {terms} in {variable} steps beyond the values it takes ({error}); "
                             "a spline needs extrapolation='extend' for its derivatives") from error
        return [(a - b) / (2.0 * h) for a, b in zip(up, down)]

    coarse, fine = central(step), central(step / 2.0)
    return [(4.0 * f - c) / 3.0 for f, c in zip(fine, coarse)]
