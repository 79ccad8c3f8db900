"""What a fit may be quietly wrong about: no convergence, separation, collinear columns, no constant."""

from __future__ import annotations

from typing import Any, cast

import numpy as np

# Phi(-t) = 1e-15: beyond |x.b| = t a fitted probability is within 1e-15 of 0 or 1, a sign of separation.
EXTREME_INDEX = 7.941345326170997
# Phi(-t) = 1e-6: rows this close to 0 or 1 send the fit to the separation test, which then decides.
SUSPECT_INDEX = 4.753424308822899
# Covariances whose correlation matrix is this close to singular send the design to the rank test.
SUSPECT_CONDITION = 1e-10


class ProbitWarning(UserWarning):
    """A fit whose numbers need care: no convergence, separation, a singular Hessian or no constant.

    :func:`quorbis.probit` issues it (a ``UserWarning``) and keeps its texts in the result's ``notes``. Filter
    it like any warning, e.g. ``warnings.simplefilter("error", quorbis.ProbitWarning)`` to make it an error.

    Examples
    --------
    >>> import warnings
    >>> import pandas as pd, quorbis
    >>> data = pd.read_csv("examples/grades.csv")
    >>> with warnings.catch_warnings(record=True) as caught:
    ...     warnings.simplefilter("always", quorbis.ProbitWarning)
    ...     r = quorbis.probit("GRADE ~ GPA + PSI - 1", data)
    >>> caught[0].category.__name__
    'ProbitWarning'
    >>> print(r.notes[0])
    the design has no constant column: the model forces P(y = 1) = 0.5 where every regressor is 0; ...
    """

    __module__ = "quorbis"


# Each function takes the design as a NumPy array or as a Dask array chunked along rows; on a Dask array
# every np.asarray below is one reduction over the rows.

def constant_columns(exog: Any) -> list[int]:
    """Columns holding one nonzero value in every row."""
    if len(exog) == 0:
        return []
    first = np.asarray(exog[0])
    if isinstance(exog, np.ndarray):  # most columns differ within a few rows: only the others are read in full
        maybe = np.flatnonzero((exog[:64] == first).all(axis=0) & (first != 0.0))
        return [int(j) for j in maybe if (exog[:, j] == first[j]).all()]
    same = np.asarray((exog == first).all(axis=0))
    return [int(j) for j in np.flatnonzero(same & (first != 0.0))]


def extreme_rows(exog: Any, params: np.ndarray, largest: float | None = None) -> tuple[int, int]:
    """Rows whose fitted probability is within 1e-6, and within 1e-15, of 0 or 1 (none for coefficients
    that are not finite); largest, the largest |x.b| when the fit took it, spares the pass in the usual
    case."""
    if not np.isfinite(params).all() or (largest is not None and largest <= SUSPECT_INDEX):
        return 0, 0
    index = np.abs(exog @ params)
    counts = np.asarray([(index > SUSPECT_INDEX).sum(), (index > EXTREME_INDEX).sum()])
    return int(counts[0]), int(counts[1])


def collinear_columns(exog: Any, names: list[str]) -> list[str]:
    """A set of columns of which one is a linear combination of the others; empty if none is."""
    n, k = exog.shape
    if k == 0:
        return []
    # The singular values and right vectors of X are those of R in X = QR, at O(n k^2) and no n x k copy;
    # scaling R's columns scales X's.
    r = r_factor(exog)
    scale = np.linalg.norm(r, axis=0)
    scale[scale == 0.0] = 1.0
    _, s, vt = np.linalg.svd(r / scale)
    if len(s) == k and s[-1] > s[0] * max(n, k) * np.finfo(float).eps:
        return []
    null = np.abs(vt[-1])
    return [names[j] for j in np.flatnonzero(null > 1e-6 * null.max())]


def has_implied_constant(exog: Any) -> bool:
    """Whether a column of ones lies in the span of the columns (dummies for every level, say)."""
    n, k = exog.shape
    if n == 0 or k == 0:
        return False
    # With [X, 1] = QR, the least-squares fit of 1 on X solves R[:k, :k] c = R[:k, k].
    r = r_factor(exog, ones=True)
    coef, *_ = np.linalg.lstsq(r[:k, :k], r[:k, k], rcond=None)
    return bool(np.asarray(np.abs(exog @ coef - 1.0).max()) < 1e-8)


def block_r(exog: np.ndarray, ones: bool = False) -> np.ndarray:
    """R of the QR decomposition of exog, with a column of ones appended when asked."""
    return cast(np.ndarray, np.linalg.qr(np.column_stack([exog, np.ones(len(exog))]) if ones else exog, mode="r"))


def r_factor(exog: Any, ones: bool = False) -> np.ndarray:
    """R of exog (with ones), square: zero rows below n. A Dask array's R is stacked from its blocks' R."""
    if isinstance(exog, np.ndarray):
        r = block_r(exog, ones)
    else:
        from .dask import _stacked_r

        r = _stacked_r(exog, ones)
    return np.vstack([r, np.zeros((r.shape[1] - len(r), r.shape[1]))])


def _ill_conditioned(cov: np.ndarray) -> bool:
    if not np.isfinite(cov).all():
        return True
    variances = np.diag(cov)
    if not (variances > 0.0).all():
        return True
    d = np.sqrt(variances)
    eig = np.linalg.eigvalsh(cov / np.outer(d, d))
    return bool(eig[0] <= SUSPECT_CONDITION * eig[-1])


def diagnose(exog: Any, names: list[str], params: np.ndarray, cov: np.ndarray, converged: bool,
             iterations: int, constants: list[int], extreme: int, separated: bool = False) -> list[str]:
    """The warnings a fit deserves, as sentences; constants are the constant columns of exog, extreme the
    rows at probabilities of 0 or 1 that no separation test has explained, separated whether a separation
    was found (which accounts for no convergence and a singular Hessian)."""
    notes = []
    if not converged and not separated:
        notes.append(f"the fit did not converge in {iterations} iterations: the log-likelihood still "
                     "changed by more than tol; raise max_iter, and check for separation")
    if extreme:
        notes.append(f"fitted probabilities are numerically 0 or 1 for {extreme} of {len(exog)} rows: "
                     "a sign of complete or quasi-complete separation; the coefficients and standard "
                     "errors of the columns involved are not reliable")
    if _ill_conditioned(cov):
        collinear = collinear_columns(exog, names)
        if collinear:
            notes.append(f"the Hessian is singular: the columns {', '.join(collinear)} are collinear (one is "
                         "a linear combination of the others), so their coefficients are not identified "
                         "and their standard errors are meaningless; drop one of them")
        elif not np.isfinite(cov).all() and not separated:
            notes.append("the Hessian is singular at the estimates although the columns are linearly "
                         "independent (a sign of separation); the covariance matrix is NaN")
    if not constants and not has_implied_constant(exog):
        notes.append("the design has no constant column: the model forces P(y = 1) = 0.5 where every "
                     "regressor is 0; add an intercept unless that is intended")
    return notes


def cluster_notes(n_clusters: list[int] | None, names: list[str], k: int, negative: int = 0) -> list[str]:
    """What the number of clusters G does to a cluster-robust covariance: its meat is a sum of G outer
    products of scores that add up to zero, so its rank is at most G - 1. With several dimensions, the
    dimension of fewest clusters decides; and a multiway covariance may have had negative eigenvalues."""
    if n_clusters is None:
        return []
    notes = []
    if len(n_clusters) > 1 and negative:
        terms = " + ".join(names) + " - ..." if len(names) > 2 else f"{names[0]} + {names[1]} - {names[0]}&{names[1]}"
        notes.append(f"the {len(names)}-way cluster-robust covariance ({terms}) was not positive semi-definite: its "
                     f"{negative} negative eigenvalue{'s were' if negative > 1 else ' was'} set to 0, as Cameron, "
                     "Gelbach and Miller (2011) propose")
    g = min(n_clusters)
    if g > k:
        return notes
    if len(n_clusters) == 1:
        if g == 1:
            return ["there is only one cluster: a cluster-robust covariance needs at least two, so the covariance "
                    "matrix is NaN"]
        return [f"{g} clusters for {k} coefficients: the cluster-robust covariance has rank at most G - 1 = "
                f"{g - 1}, so it is singular, and tests of more than {g - 1} restrictions at once are impossible"]
    where = f"{names[n_clusters.index(g)]}, the dimension with the fewest clusters,"
    if g == 1:
        return notes + [f"{where} has only one: a cluster-robust covariance needs at least two in every dimension, "
                        "so the covariance matrix is NaN"]
    return notes + [f"{where} has {g} for {k} coefficients: its term of the multiway covariance has rank at most "
                    f"G - 1 = {g - 1}, so the covariance rests on too few clusters, and tests of more than {g - 1} "
                    "restrictions at once are unreliable"]
