"""Agreement between quorbis and statsmodels, so that a fast wrong answer cannot pass.

Differences of estimates are measured in units of statsmodels' standard error, differences of
standard errors relatively. Near the maximum the log-likelihood falls off as
1/2 * sum((delta_beta / se)^2) (the covariance is the inverse curvature), so a fit that stops
once the log-likelihood changes by less than tol has its coefficients within about sqrt(2 * tol)
standard errors of the maximum; the standard errors and the marginal effects move by the same
order or less. statsmodels' Newton fit converges quadratically and its marginal-effect Jacobian is
taken by complex-step differentiation, exact to rounding, so the bounds follow from quorbis' tol,
with a factor 3 for a last step that still moved the log-likelihood by a few times tol:
- tight: a separate quorbis fit with tol=1e-12 must agree to 3 * sqrt(2e-12) = 4.2e-6;
- loose: the timed calls, at quorbis' default tol=1e-6, must agree to 3 * sqrt(2e-6) = 4.2e-3.
A fault in a formula (a missing factor, a wrong weight, a wrong column) shows up far above both.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

DEFAULT_TOL = 1e-6
TIGHT_TOL = 1e-12
TIGHT_MAX_ITER = 200
TIGHT_BOUND = 3.0 * math.sqrt(2.0 * TIGHT_TOL)
LOOSE_BOUND = 3.0 * math.sqrt(2.0 * DEFAULT_TOL)


@dataclass(frozen=True)
class Agreement:
    what: str  # "params"/"std. errors" or "effects"/"effect std. errors"
    deviation: float  # largest deviation over the columns
    bound: float

    @property
    def ok(self) -> bool:
        return bool(self.deviation <= self.bound)  # a NaN deviation fails


def fit_agreement(quorbis_result, statsmodels_result, bound: float) -> list[Agreement]:
    se = np.asarray(statsmodels_result.bse)
    params = np.abs(np.asarray(quorbis_result.params) - np.asarray(statsmodels_result.params)) / se
    quorbis_se = np.sqrt(np.diag(quorbis_result.cov_params()))
    return [
        Agreement("params (in SEs)", float(np.max(params)), bound),
        Agreement("std. errors (relative)", float(np.max(np.abs(quorbis_se / se - 1.0))), bound),
    ]


def ame_agreement(quorbis_frame, statsmodels_frame, bound: float) -> list[Agreement]:
    """quorbis names the columns x0, x1, ... and so reports the intercept column x0 as a 0/1
    column; statsmodels leaves the constant out and names the rest x1, x2, ...: the rows
    compared are statsmodels' rows."""
    names = list(statsmodels_frame.index)
    if list(quorbis_frame.index) != ["x0", *names]:
        raise AssertionError(
            f"ame rows {list(quorbis_frame.index)} do not match statsmodels' rows {names} plus x0"
        )
    rows = quorbis_frame.loc[names]
    se = statsmodels_frame["Std. Err."].to_numpy()
    effects = np.abs(rows["dy/dx"].to_numpy() - statsmodels_frame["dy/dx"].to_numpy()) / se
    ses = np.abs(rows["Std. Err"].to_numpy() / se - 1.0)
    return [
        Agreement("effects (in SEs)", float(np.max(effects)), bound),
        Agreement("effect std. errors (relative)", float(np.max(ses)), bound),
    ]
