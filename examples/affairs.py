"""Effects of variables: a probit with a quadratic age term, an interaction and a categorical variable.

The data are Fair's (1978) survey of 6,366 married women, as statsmodels ships them
(statsmodels.datasets.fair): whether they had an affair (affairs > 0), their age, years of education,
religiousness (1 to 4), years married, number of children and rating of their marriage (1 to 5). The
effect of age runs through age, age squared and age times education; the table gives one row per variable,
as applied work reports it, and a contrast with the base level for each level of religiousness.

Needs statsmodels for the data (pip install statsmodels). Run it from any directory: python examples/affairs.py
"""

from __future__ import annotations

import pandas as pd

import quorbis

FORMULA = "affair ~ age + I(age**2) + age:educ + C(religious) + yrs_married + children + rate_marriage"


def load() -> pd.DataFrame:
    try:
        from statsmodels.datasets import fair
    except ImportError as missing:
        raise SystemExit("this example reads its data from statsmodels: pip install statsmodels") from missing
    data = fair.load_pandas().data
    return data.assign(affair=(data.affairs > 0).astype(int))


def main() -> None:
    data = load()
    r = quorbis.probit(FORMULA, data, robust=True)
    columns = ["dy/dx", "Std. Err", "z", "Pr(>|z|)", "[0.025", "0.975]"]
    pd.set_option("display.width", 120)
    print(f"Probit of {FORMULA}: {r.nobs} observations, robust standard errors")
    print()
    print("Average marginal effects of the variables (religious: each level against 1)")
    print(r.ame()[columns].round(5).to_string())
    print()
    print("The effect of age at ages 25, 35 and 45 (every woman set to that age)")
    print(r.ame("age", at={"age": [25, 35, 45]})[columns].round(5).to_string())
    print()
    print("Average probability of an affair with no children and with two, by religiousness")
    print(r.margins(at={"children": [0, 2]}, by="religious").round(5).to_string())


if __name__ == "__main__":
    main()
