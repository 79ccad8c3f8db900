"""What a fit may be quietly wrong about: no convergence, separation, collinear columns, no constant."""

from __future__ import annotations

import numpy as np

# Phi(-t) = 1e-15: beyond |x.b| = t a fitted probability is within 1e-15 of 0 or 1, a sign of separation.
EXTREME_INDEX = 7.941345326170997
# Covariances whose correlation matrix is this close to singular send the design to the rank test.
SUSPECT_CONDITION = 1e-10


class ProbitWarning(UserWarning):
    """A fit whose numbers need care: no convergence, separation, a singular Hessian or no constant.

    Filter it like any warning, e.g. ``warnings.simplefilter("error", quorbis.ProbitWarning)``.
    """

    __module__ = "quorbis"


def constant_columns(exog: np.ndarray) -> list[int]:
    """Columns holding one nonzero value in every row."""
    if len(exog) == 0:
        return []
    return [int(j) for j in np.flatnonzero((exog == exog[0]).all(axis=0) & (exog[0] != 0.0))]


def collinear_columns(exog: np.ndarray, names: list[str]) -> list[str]:
    """A set of columns of which one is a linear combination of the others; empty if none is."""
    n, k = exog.shape
    if k == 0:
        return []
    scale = np.linalg.norm(exog, axis=0)
    scale[scale == 0.0] = 1.0
    # The singular values and right vectors of X are those of R in X = QR, at O(n k^2) and no n x k copy.
    r = np.linalg.qr(exog / scale, mode="r")
    _, s, vt = np.linalg.svd(r)
    if len(s) == k and s[-1] > s[0] * max(n, k) * np.finfo(float).eps:
        return []
    null = np.abs(vt[-1])
    return [names[j] for j in np.flatnonzero(null > 1e-6 * null.max())]


def has_implied_constant(exog: np.ndarray) -> bool:
    """Whether a column of ones lies in the span of the columns (dummies for every level, say)."""
    n, k = exog.shape
    if n == 0 or k == 0:
        return False
    coef, *_ = np.linalg.lstsq(exog, np.ones(n), rcond=None)
    return bool(np.abs(exog @ coef - 1.0).max() < 1e-8)


def _ill_conditioned(cov: np.ndarray) -> bool:
    if not np.isfinite(cov).all():
        return True
    variances = np.diag(cov)
    if not (variances > 0.0).all():
        return True
    d = np.sqrt(variances)
    eig = np.linalg.eigvalsh(cov / np.outer(d, d))
    return bool(eig[0] <= SUSPECT_CONDITION * eig[-1])


def diagnose(exog: np.ndarray, names: list[str], params: np.ndarray, cov: np.ndarray, converged: bool,
             iterations: int) -> list[str]:
    """The warnings a fit deserves, as sentences."""
    notes = []
    if not converged:
        notes.append(f"the fit did not converge in {iterations} iterations: the log-likelihood still "
                     "changed by more than tol; raise max_iter, and check for separation")
    if np.isfinite(params).all() and len(exog):
        extreme = int((np.abs(exog @ params) > EXTREME_INDEX).sum())
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
        elif not np.isfinite(cov).all():
            notes.append("the Hessian is singular at the estimates although the columns are linearly "
                         "independent (a sign of separation); the covariance matrix is NaN")
    if not constant_columns(exog) and not has_implied_constant(exog):
        notes.append("the design has no constant column: the model forces P(y = 1) = 0.5 where every "
                     "regressor is 0; add an intercept unless that is intended")
    return notes
