"""Probit of grade improvement on GPA, TUCE and PSI, with average marginal effects.

The data are Spector and Mazzeo (1980): 32 students of intermediate macroeconomics, with their grade
point average (GPA), their score on a pre-test of economics knowledge (TUCE), whether they were taught
by the personalized system of instruction (PSI = 1) and whether their grade improved (GRADE = 1).

Run it from any directory:  python examples/grades.py
"""

from __future__ import annotations

import math
from pathlib import Path

import numpy as np
import numpy.typing as npt
import pandas as pd

import quorbis

DATA = Path(__file__).resolve().parent / "grades.csv"
REGRESSORS = ["GPA", "TUCE", "PSI"]
NAMES = ["const", *REGRESSORS]


class NamedModel:
    """The design matrix of a fit together with readable column names."""

    def __init__(self, exog: npt.NDArray[np.float64], exog_names: list[str]) -> None:
        self.exog = exog
        self.exog_names = exog_names


class NamedResults:
    """A fitted model seen under readable column names.

    fit_probit names the columns x0, x1, ...; ame labels its rows with model.exog_names and leaves out
    a column named "const" (the intercept). ame accepts any object with params, cov_params() and
    model.exog / model.exog_names, so this wrapper is all it takes.
    """

    def __init__(self, results: quorbis.VaskProbitResults, exog_names: list[str]) -> None:
        self.params = results.params
        self._cov = results.cov_params()
        self.model = NamedModel(results.model.exog, exog_names)

    def cov_params(self) -> npt.NDArray[np.float64]:
        return self._cov


def two_sided_p(z: float) -> float:
    return math.erfc(abs(z) / math.sqrt(2.0))


def coefficient_table(
    classical: quorbis.VaskProbitResults, robust: quorbis.VaskProbitResults
) -> pd.DataFrame:
    se = np.sqrt(np.diag(classical.cov_params()))
    se_robust = np.sqrt(np.diag(robust.cov_params()))
    z = classical.params / se
    return pd.DataFrame(
        {
            "coef": classical.params,
            "std err": se,
            "z": z,
            "P>|z|": [two_sided_p(float(v)) for v in z],
            "robust std err": se_robust,
        },
        index=NAMES,
    )


def main() -> None:
    data = pd.read_csv(DATA)
    y = data["GRADE"].to_numpy(dtype=np.float64)
    X = np.column_stack([np.ones(len(data)), data[REGRESSORS].to_numpy(dtype=np.float64)])

    classical = quorbis.fit_probit(y, X)
    robust = quorbis.fit_probit(y, X, robust=True)

    status = "converged" if classical.converged else "did NOT converge"
    print(f"Probit of GRADE on {', '.join(REGRESSORS)} and a constant: {len(y)} observations")
    print(f"Log-likelihood {classical.loglike:.6f}; {status} after {classical.iterations + 1} iterations")
    print()
    print("Coefficients (robust: heteroskedasticity-robust sandwich, no small-sample factor)")
    print(coefficient_table(classical, robust).to_string(float_format=lambda v: f"{v:.6f}"))
    print()
    print("Average marginal effects (PSI is 0/1, so its effect is the discrete change from 0 to 1)")
    effects = quorbis.ame(NamedResults(classical, NAMES))
    print(effects.to_string(float_format=lambda v: f"{v:.6f}"))


if __name__ == "__main__":
    main()
