"""Probit of grade improvement on GPA, TUCE and PSI, with average marginal effects.

The data are Spector and Mazzeo (1980): 32 students of intermediate macroeconomics, with their grade
point average (GPA), their score on a pre-test of economics knowledge (TUCE), whether they were taught
by the personalized system of instruction (PSI = 1) and whether their grade improved (GRADE = 1).

Run it from any directory:  python examples/grades.py
"""

from __future__ import annotations

from pathlib import Path

import pandas as pd

import quorbis

DATA = Path(__file__).resolve().parent / "grades.csv"
FORMULA = "GRADE ~ GPA + TUCE + PSI"


def six_decimals(v: float) -> str:
    return f"{v:.6f}"


def main() -> None:
    data = pd.read_csv(DATA)
    classical = quorbis.probit(FORMULA, data)
    robust = quorbis.probit(FORMULA, data, robust=True)

    status = "converged" if classical.converged else "did NOT converge"
    print(f"Probit of GRADE on GPA, TUCE, PSI and a constant: {classical.nobs} observations")
    print(f"Log-likelihood {classical.llf:.6f}; {status} after {classical.iterations} iterations")
    print()
    print("Coefficients (robust: heteroskedasticity-robust sandwich, no small-sample factor)")
    coefficients = pd.DataFrame({"coef": classical.params, "std err": classical.bse, "z": classical.zvalues,
                                 "P>|z|": classical.pvalues, "robust std err": robust.bse})
    print(coefficients.to_string(float_format=six_decimals))
    print()
    print("Average marginal effects (PSI is 0/1, so its effect is the discrete change from 0 to 1)")
    effects = classical.ame()[["dy/dx", "Std. Err", "z", "Pr(>|z|)", "Significance"]]
    print(effects.to_string(float_format=six_decimals))


if __name__ == "__main__":
    main()
