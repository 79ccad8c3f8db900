"""fit_probit and ame over Dask arrays chunked along rows, for data that do not fit in one machine's memory.

The optimiser is the one fit_probit runs; it asks for the sums of a pass over the rows at some
coefficients, and each request becomes one Dask computation: the sums of every block of rows on the
workers, added block after block in row order. A given chunking therefore gives the same bits on every
run, whatever the cluster, and the numbers of the in-memory functions up to the order of the additions.

Needs the optional dependencies ``dask[array]`` and ``distributed`` (``pip install 'quorbis[dask]'``).
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Any, Callable, TypeVar, cast

import dask
import dask.array as da
import numpy as np

from . import _diagnostics, _quorbis

__all__ = ["fit_probit", "ame"]

_MATRICES = ("hessian", "gram", "score_outer_sum")
# The extension's error texts, so that a message reads the same whichever side raises it.
_MESSAGES: dict[str, str] = _quorbis._MESSAGES

_T = TypeVar("_T")
# A block of rows: its (y, X, cluster variables or None, weights or None) as delayed objects.
_Block = tuple[Any, Any, Any, Any]
# The sums of a pass, keyed as _quorbis._block_sums returns them.
_Sums = dict[str, Any]


def fit_probit(y: Any, X: Any, max_iter: Any = None, tol: Any = None, robust: Any = None,
               cluster_vars: Any = None) -> Any:
    """Fits a probit model to Dask arrays, with the numbers of ``quorbis.fit_probit``.

    Parameters
    ----------
    y : dask.array.Array of float64, shape (n,) or (n, 1)
        The 0/1 outcome; brought to X's row chunks.
    X : dask.array.Array of float64, shape (n, k)
        The regressors, chunked along rows only: all k columns in one chunk.
    max_iter, tol, robust, cluster_vars
        As for ``quorbis.fit_probit``; cluster_vars is a float64 Dask array of n rows.

    Returns
    -------
    VaskProbitResults
        Its ``model.exog`` is X itself, not a copy.

    Raises
    ------
    TypeError, ValueError, AttributeError
        For bad input, the exceptions of ``quorbis.fit_probit`` with its messages, before any pass over the
        rows; a ValueError also for X chunked along its columns, or arrays whose row count Dask does not
        know.

    Examples
    --------
    >>> import dask.array as da, numpy as np, quorbis.dask
    >>> X = da.from_array(np.column_stack([np.ones(8), np.arange(8.0)]), chunks=(3, 2))
    >>> y = da.from_array(np.array([0, 0, 1, 0, 1, 0, 1, 1.0]), chunks=3)
    >>> r = quorbis.dask.fit_probit(y, X)
    >>> r.params.round(3).tolist()
    [-1.308, 0.374]
    """
    results, _, singular = _fit(y, X, max_iter, tol, robust, cluster_vars, False)
    if singular:  # the line fit_probit writes; probit() warns instead
        os.write(2, _MESSAGES["hessian_singular"].encode())
    return results


def _fit_design(endog: Any, exog: Any, max_iter: int, tol: float, robust: bool, clusters: Any = None,
                weights: Any = None, frequency: bool = False, small_sample: bool = False) -> tuple[Any, None, int]:
    """The fit of a design that probit() built, as _quorbis._fit_design: finished with Newton steps to the
    maximum; clusters a list of Dask vectors of cluster codes, one per dimension, or None; weights a Dask
    vector or None. The largest index is not taken here (None)."""
    cluster_vars = None if not clusters else da.stack(clusters, axis=1)
    results, negative, _ = _fit(endog, exog, max_iter, tol, robust, cluster_vars, True,
                                _Weighting(weights, frequency, bool(clusters) and len(clusters) > 1, small_sample))
    return results, None, negative


@dataclass(frozen=True)
class _Weighting:
    """What probit() adds to a fit: weights, multiway clusters, and their terms' small-sample factor."""

    weights: Any = None
    frequency: bool = False
    multiway: bool = False
    small_sample: bool = False


def _fit(y: Any, X: Any, max_iter: Any, tol: Any, robust: Any, cluster_vars: Any, newton: bool,
         weighting: _Weighting | None = None) -> tuple[Any, int, bool]:
    """The results of the fit, the negative eigenvalues its multiway covariance set to 0, and whether its
    Hessian was singular."""
    weighting = weighting or _Weighting()
    X = _exog(X)
    optimizer = _quorbis._Optimizer(X.shape[1], max_iter, tol, robust, cluster_vars is not None, newton,
                                    weighting.multiway, weighting.small_sample)
    robust = robust is True
    y = _endog(y)
    n = y.shape[0]
    if X.shape[0] < n:
        raise ValueError(_MESSAGES["exog_rows"].format(rows=X.shape[0], nobs=n))
    rows = X[:n] if X.shape[0] > n else X
    clusters = _clusters(cluster_vars, n, rows.chunks[0]) if robust and cluster_vars is not None else None
    weights = None if weighting.weights is None else weighting.weights.rechunk({0: rows.chunks[0]})
    blocks = _row_blocks(y.rechunk({0: rows.chunks[0]}), rows, clusters, weights)
    while (request := optimizer.request()) is not None:
        beta, wants = request
        optimizer.respond(_reduce(blocks, beta, wants, weighting.frequency))
    results = optimizer.results(X, y)
    return results, optimizer.negative_eigenvalues(), optimizer.singular_hessian()


def ame(result: Any, chunk_size: Any = None) -> Any:
    """Average marginal effects of a fit whose ``model.exog`` is a Dask array chunked along rows.

    Parameters
    ----------
    result : VaskProbitResults
        As ``quorbis.dask.fit_probit`` returns it (or any object with ``params``, ``cov_params()`` and
        ``model.exog`` / ``model.exog_names``).
    chunk_size : int, optional
        Each block's rows are summed in chunks of this many rows (all of the block's rows when None).

    Returns
    -------
    pandas.DataFrame
        The table of ``quorbis.ame``.

    Raises
    ------
    TypeError, ValueError, AttributeError
        For bad input, the exceptions of ``quorbis.ame`` with its messages, before any pass over the rows.

    Examples
    --------
    Name the columns, so that the constant gets no row:

    >>> import types
    >>> import dask.array as da, numpy as np, quorbis.dask
    >>> X = da.from_array(np.column_stack([np.ones(8), np.arange(8.0)]), chunks=(3, 2))
    >>> y = da.from_array(np.array([0, 0, 1, 0, 1, 0, 1, 1.0]), chunks=3)
    >>> r = quorbis.dask.fit_probit(y, X)
    >>> named = types.SimpleNamespace(params=r.params, cov_params=r.cov_params,
    ...                               model=types.SimpleNamespace(exog=r.model.exog, exog_names=["const", "x"]))
    >>> quorbis.dask.ame(named, chunk_size=2).round(4)
        dy/dx  Std. Err      z  Pr(>|z|) Significance
    x  0.1084    0.0334  3.244    0.0012          ***
    """
    inputs = _EffectInputs(result)
    _quorbis.ame(inputs, chunk_size)  # checks the inputs as quorbis.ame does, with its messages
    params, cov, names, X = inputs.params_read, inputs.cov_read, list(inputs.names_read), _exog(inputs.exog_read)
    blocks = list(X.to_delayed().ravel())
    dummies = _fold([dask.delayed(_dummy_columns)(block) for block in blocks], _both)
    parts = [dask.delayed(_effect_sums)(block, params, names, dummies, chunk_size) for block in blocks]
    effects, jacobian = dask.compute(_fold(parts, _add_pair))[0]
    return _quorbis._effects_table(effects, jacobian, X.shape[0], cov, names)


class _EffectInputs:
    """What quorbis.ame reads of a fit, read once from result and handed to it with no rows of X, so that it
    checks the inputs (and chunk_size) in its order and refuses them with its messages."""

    def __init__(self, result: Any) -> None:
        self._result = result

    @property
    def params(self) -> Any:
        self.params_read = self._result.params
        return self.params_read

    def cov_params(self) -> Any:
        self.cov_read = self._result.cov_params()
        return self.cov_read

    @property
    def model(self) -> _EffectInputs:
        return self

    @property
    def exog_names(self) -> Any:
        self.names_read = self._result.model.exog_names
        return self.names_read

    @property
    def exog(self) -> Any:
        self.exog_read = X = self._result.model.exog
        whole = isinstance(X, (da.Array, np.ndarray)) and X.ndim == 2 and X.dtype == np.float64
        return np.empty((0, X.shape[1])) if whole else X


def _stacked_r(X: Any, ones: bool = False) -> np.ndarray:
    """R of X = QR (of [X, 1] with ones): each block's R, stacked on the R so far and factored again, block
    after block in row order."""
    parts = [dask.delayed(_diagnostics.block_r)(block, ones) for block in _exog(X).to_delayed().ravel()]
    r: np.ndarray = dask.compute(_fold(parts, _stack_r))[0]
    return r


def _stack_r(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    return cast(np.ndarray, np.linalg.qr(np.vstack([a, b]), mode="r"))


def _as_dask(a: Any, argument: str = "") -> Any:
    """A Dask array, or a NumPy array as one; anything else is refused as fit_probit refuses it."""
    if isinstance(a, da.Array):
        return a
    if isinstance(a, np.ndarray):
        return da.from_array(a, chunks=-1)
    raise _not_an_array(a, argument)


def _exog(X: Any) -> Any:
    """X as fit_probit takes it, chunked along rows only."""
    X = _as_dask(X, "exog_py")
    if X.ndim != 2:
        message = _MESSAGES["dimensionality_mismatch"].format(ndim=X.ndim)
        raise TypeError(_MESSAGES["argument"].format(name="exog_py", message=message))
    if X.dtype != np.float64:
        message = _MESSAGES["type_mismatch"].format(dtype=X.dtype)
        raise TypeError(_MESSAGES["argument"].format(name="exog_py", message=message))
    _known_rows(X, "X")
    if len(X.chunks[1]) > 1:
        raise ValueError(
            f"X must be chunked along rows only, its {X.shape[1]} columns in one chunk (got column chunks "
            f"{X.chunks[1]}); rechunk it with X.rechunk({{1: -1}})"
        )
    return X


def _known_rows(a: Any, name: str) -> None:
    if any(np.isnan(a.shape)):
        raise ValueError(f"{name} has rows of unknown number (from a DataFrame, say): "
                         f"call {name}.compute_chunk_sizes() first")


def _not_an_array(obj: object, argument: str = "") -> TypeError:
    message = _MESSAGES["not_an_array"].format(type=type(obj).__qualname__)
    return TypeError(_MESSAGES["argument"].format(name=argument, message=message) if argument else message)


def _endog(y: Any) -> Any:
    """The outcome as a 1-D array: y itself, or column 0 of an (n, 1) array."""
    y.shape  # an object without a shape fails here, as in fit_probit
    y = _as_dask(y)
    if y.ndim not in (1, 2):
        raise ValueError(_MESSAGES["endog_ndim"].format(ndim=y.ndim))
    if y.ndim == 2 and y.shape[1] != 1:
        raise ValueError(_MESSAGES["endog_columns"].format(rows=y.shape[0], cols=y.shape[1]))
    if y.dtype != np.float64:
        raise _not_an_array(y)
    _known_rows(y, "y")
    return y if y.ndim == 1 else y[:, 0]


def _clusters(cluster_vars: Any, n: int, row_chunks: tuple[int, ...]) -> Any:
    cluster_vars = _as_dask(cluster_vars)
    if cluster_vars.ndim != 2 or cluster_vars.dtype != np.float64:
        raise _not_an_array(cluster_vars)
    _known_rows(cluster_vars, "cluster_vars")
    if cluster_vars.shape[0] != n:
        raise ValueError(_MESSAGES["cluster_rows"].format(rows=cluster_vars.shape[0], nobs=n))
    return cluster_vars.rechunk({0: row_chunks, 1: -1})


def _row_blocks(y: Any, X: Any, clusters: Any, weights: Any = None) -> list[_Block]:
    """(y, X, cluster_vars or None, weights or None) of each block of rows, as delayed objects, in row order."""
    ys = y.to_delayed().ravel()
    xs = X.to_delayed().ravel()
    cs = clusters.to_delayed().ravel() if clusters is not None else [None] * len(xs)
    ws = weights.to_delayed().ravel() if weights is not None else [None] * len(xs)
    return list(zip(ys, xs, cs, ws))


def _reduce(blocks: list[_Block], beta: np.ndarray, wants: dict[str, bool], frequency: bool = False) -> _Sums:
    """The sums over every block that wants names, at beta: one Dask computation."""
    clusters = wants["clusters"]
    parts = [
        dask.delayed(_block_sums)(y, X, beta, wants, c if clusters else None, w, frequency) for y, X, c, w in blocks
    ]
    total: _Sums = dask.compute(_fold([dask.delayed(_first)(parts[0])] + parts[1:], _merge))[0]
    total.pop("index", None)
    return total


# The extension's functions cannot be pickled by name (their module reports itself as quorbis), so the
# workers reach them through these.
def _block_sums(y: np.ndarray, X: np.ndarray, beta: np.ndarray, wants: dict[str, bool],
                cluster_vars: np.ndarray | None, weights: np.ndarray | None = None, frequency: bool = False) -> _Sums:
    sums: _Sums = _quorbis._block_sums(y, X, beta, wants, cluster_vars, weights, frequency)
    return sums


def _dummy_columns(X: np.ndarray) -> list[bool]:
    flags: list[bool] = _quorbis._dummy_columns(X)
    return flags


def _effect_sums(X: np.ndarray, params: np.ndarray, names: list[str], dummies: list[bool],
                 chunk_size: int | None) -> tuple[np.ndarray, np.ndarray]:
    sums: tuple[np.ndarray, np.ndarray] = _quorbis._effect_sums(X, params, names, dummies, chunk_size)
    return sums


def _fold(parts: list[Any], combine: Callable[[_T, _T], _T]) -> Any:
    """combine(combine(p0, p1), p2) ...: the blocks' results added in row order, never as a tree, so the
    bits do not depend on which worker finishes first."""
    total = parts[0]
    for part in parts[1:]:
        total = dask.delayed(combine)(total, part)
    return total


def _first(part: _Sums) -> _Sums:
    """The running total of the first block: its cluster labels become the index of the merged sums."""
    total = dict(part)
    if "labels" in total:
        total["index"] = {label: i for i, label in enumerate(total.pop("labels"))}
    return total


def _merge(total: _Sums, part: _Sums) -> _Sums:
    """The running total continued by the sums of the next block; neither input is changed."""
    out = dict(total)
    if "loglike" in part:
        out["loglike"] = total["loglike"] + part["loglike"]
    for name in ("gradient",) + _MATRICES:
        if name in part:
            out[name] = total[name] + part[name]
    if "labels" in part:
        out["index"], out["cluster_sums"], out["cells"] = _merge_clusters(total["index"], total["cluster_sums"],
                                                                          total["cells"], part)
    return out


def _merge_clusters(index: dict[str, int], sums: np.ndarray, cells: np.ndarray,
                    part: _Sums) -> tuple[dict[str, int], np.ndarray, np.ndarray]:
    """The clusters' score sums continued by a block's, new labels appended in order of appearance, with
    their values."""
    index = dict(index)
    ids = np.fromiter((index.setdefault(label, len(index)) for label in part["labels"]), np.intp)
    merged = np.zeros((len(index), sums.shape[1]))
    merged[: len(sums)] = sums
    merged[ids] = merged[ids] + part["cluster_sums"]  # a block lists each of its labels once
    values = np.zeros((len(index), cells.shape[1]))
    values[: len(cells)] = cells
    values[ids] = part["cells"]
    return index, merged, values


def _both(a: list[bool], b: list[bool]) -> list[bool]:
    return [x and y for x, y in zip(a, b)]


def _add_pair(a: tuple[np.ndarray, np.ndarray], b: tuple[np.ndarray, np.ndarray]) -> tuple[np.ndarray, np.ndarray]:
    return a[0] + b[0], a[1] + b[1]
