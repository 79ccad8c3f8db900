#!/usr/bin/env python
"""quorbis against R's glm(family = binomial(link = "probit")) on the same design matrices.

Three fits: the grade data of examples/grades.csv, Fair's affairs data with a squared term, an interaction
and a categorical variable (statsmodels ships it), and a panel with firm and year effects, which R fits as a
probit with one dummy per level. quorbis builds each design from its formula; R fits exactly those columns
(`y ~ 0 + .`), run to convergence (glm.control(epsilon = 1e-14)), so the table compares the estimators, not
the formula languages.

glm's standard errors come from the expected information (the weights of its Fisher scoring); quorbis', as
statsmodels', from the observed information, the negative Hessian of the log-likelihood. For a probit the
two differ, so the table shows both, with the observed-information errors R gives for glm's estimates
(optimHess of the log-likelihood, written with pnorm(log.p = TRUE)).

    python benchmarks/r_agreement.py            # needs Rscript on the PATH (Debian: r-base-core)

It writes benchmarks/r_agreement.md, which the documentation includes.
"""

from __future__ import annotations

import argparse
import datetime
import os
import shutil
import subprocess
import tempfile
import warnings

import numpy as np
import pandas as pd

import quorbis

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

R_SCRIPT = r"""
args <- commandArgs(trailingOnly = TRUE)
d <- read.csv(args[1], check.names = FALSE)
fit <- glm(y ~ 0 + ., family = binomial(link = "probit"), data = d,
           control = glm.control(epsilon = 1e-14, maxit = 100))
X <- as.matrix(d[, names(d) != "y"])
q <- 2 * d$y - 1
negloglike <- function(b) -sum(pnorm(q * drop(X %*% b), log.p = TRUE))
gradient <- function(b) {
  z <- q * drop(X %*% b)
  -drop(crossprod(X, q * exp(dnorm(z, log = TRUE) - pnorm(z, log.p = TRUE))))
}
# Steps of a thousandth of a standard error: the columns' scales differ by orders of magnitude.
steps <- 1e-3 * sqrt(diag(vcov(fit)))
observed <- sqrt(diag(solve(optimHess(coef(fit), negloglike, gradient, control = list(ndeps = steps)))))
out <- data.frame(coef = coef(fit), se_expected = sqrt(diag(vcov(fit))), se_observed = observed)
write.csv(out, args[2], row.names = FALSE)
cat(sprintf("%.17g\n%s\n%d\n", as.numeric(logLik(fit)), fit$converged, fit$iter), file = args[3])
"""


def grades() -> tuple[str, pd.DataFrame]:
    return "GRADE ~ GPA + TUCE + PSI", pd.read_csv(os.path.join(ROOT, "examples", "grades.csv"))


def affairs() -> tuple[str, pd.DataFrame]:
    from statsmodels.datasets import fair

    data = fair.load_pandas().data
    data = data.assign(affair=(data.affairs > 0).astype(int))
    formula = "affair ~ age + I(age**2) + age:educ + C(religious) + yrs_married + children + rate_marriage"
    return formula, data


def panel() -> tuple[str, pd.DataFrame]:
    """200 firms over 8 years; firms and years whose outcomes are all equal are left out beforehand, so
    that both programs fit the same rows."""
    rng = np.random.default_rng(20261209)
    firms, years = 200, 8
    data = pd.DataFrame({"firm": np.repeat(np.arange(firms), years), "year": np.tile(np.arange(years), firms)})
    quality = rng.normal(0.0, 0.5, firms)
    data["price"] = rng.normal(size=len(data)) + np.repeat(quality, years)
    data["promo"] = (rng.random(len(data)) < 0.3).astype(int)
    latent = 0.6 * data.price - 0.8 * data.promo + np.repeat(quality, years) + 0.1 * data.year
    data["export"] = (latent + rng.normal(size=len(data)) > 0).astype(int)
    while True:
        varied = [data.groupby(g)["export"].transform("nunique") > 1 for g in ("firm", "year")]
        if (varied[0] & varied[1]).all():
            return "export ~ price + promo | firm + year", data
        data = data[varied[0] & varied[1]]


def quorbis_fit(formula: str, data: pd.DataFrame) -> tuple[quorbis.ProbitResult, pd.DataFrame]:
    """The fit, and the design R is to fit: the slopes' columns, with one dummy per level for effects."""
    with warnings.catch_warnings():
        warnings.simplefilter("error", quorbis.ProbitWarning)
        r = quorbis.probit(formula, data)
    if isinstance(r, quorbis.FixedEffectsResult):
        # The slopes' columns, all firm dummies and the year dummies but the first: a probit with dummies.
        design = pd.concat([data[r.exog_names].astype(float), pd.get_dummies(data["firm"], prefix="firm", dtype=float),
                            pd.get_dummies(data["year"], prefix="year", dtype=float).iloc[:, 1:]], axis=1)
        return r, design.assign(y=data[r.endog_name].to_numpy(dtype=float)).reset_index(drop=True)
    design = pd.DataFrame(np.asarray(r.raw.model.exog), columns=r.exog_names)
    return r, design.assign(y=np.asarray(r.raw.model.endog))


def r_fit(design: pd.DataFrame, workdir: str) -> tuple[pd.DataFrame, float]:
    paths = [os.path.join(workdir, name) for name in ("design.csv", "fit.R", "coef.csv", "loglike.txt")]
    design.to_csv(paths[0], index=False, float_format="%.17g")
    with open(paths[1], "w") as script:
        script.write(R_SCRIPT)
    subprocess.run(["Rscript", paths[1], paths[0], paths[2], paths[3]], check=True, capture_output=True, text=True)
    with open(paths[3]) as lines:
        loglike, converged, _ = lines.read().split()
    if converged != "TRUE":
        raise RuntimeError("glm did not converge")
    return pd.read_csv(paths[2]), float(loglike)


def rows(name: str, r: quorbis.ProbitResult, glm: pd.DataFrame, loglike: float) -> list[str]:
    k = len(r.exog_names)
    coef, expected, observed = (glm[c].to_numpy()[:k] for c in ("coef", "se_expected", "se_observed"))
    lines = []
    for j, column in enumerate(r.exog_names):
        lines.append(f"| {name} | `{column}` | {r.params.iloc[j]:.9g} | {coef[j]:.9g} "
                     f"| {_relative(r.params.iloc[j], coef[j])} | {r.bse.iloc[j]:.9g} | {observed[j]:.9g} "
                     f"| {_relative(r.bse.iloc[j], observed[j])} | {expected[j]:.9g} |")
    lines.append(f"| {name} | log-likelihood | {r.llf:.12g} | {loglike:.12g} | {_relative(r.llf, loglike)} "
                 "| | | | |")
    return lines


def _relative(a: float, b: float) -> str:
    return f"{abs(a - b) / abs(b):.1e}"


def r_version() -> str:
    text = subprocess.run(["Rscript", "--version"], check=True, capture_output=True, text=True)
    return (text.stdout or text.stderr).strip().removeprefix("Rscript (R) version ").strip()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--output", default=os.path.join(HERE, "r_agreement.md"), help="Markdown file to write")
    output = parser.parse_args().output
    if shutil.which("Rscript") is None:
        raise SystemExit("Rscript not found: install R (Debian: apt-get install r-base-core)")
    table = ["| data | coefficient | quorbis | R | relative difference | std err quorbis | std err R, observed "
             "information | relative difference | std err R, glm (expected information) |",
             "|---|---|---:|---:|---:|---:|---:|---:|---:|"]
    with tempfile.TemporaryDirectory() as workdir:
        for name, case in (("grades", grades), ("affairs", affairs), ("panel", panel)):
            formula, data = case()
            r, design = quorbis_fit(formula, data)
            glm, loglike = r_fit(design, workdir)
            table += rows(name, r, glm, loglike)
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    text = "\n".join([
        "# quorbis against R's glm",
        "",
        f"Produced by `python benchmarks/r_agreement.py` on {now} with R {r_version()} and quorbis "
        f"{quorbis.__version__}. quorbis fits with its defaults (`probit(formula, data)`, classical covariance); R "
        "fits the same design matrix with `glm(y ~ 0 + ., family = binomial(link = \"probit\"), "
        "control = glm.control(epsilon = 1e-14, maxit = 100))`. The data: `grades`, `GRADE ~ GPA + TUCE + PSI` "
        "on examples/grades.csv; `affairs`, `affair ~ age + I(age**2) + age:educ + C(religious) + yrs_married "
        "+ children + rate_marriage` on Fair's data as statsmodels ships them; `panel`, `export ~ price + promo "
        "| firm + year` on 200 simulated firms over 8 years, which R fits with one dummy per firm and per year "
        "but the first (the slopes are compared).",
        "",
        "glm reports standard errors from the expected information; quorbis from the observed information, "
        "as statsmodels does. For a probit the two differ (the last column shows glm's), so the column beside "
        "quorbis' holds the observed-information errors of glm's estimates, from R's `optimHess` of the "
        "log-likelihood.",
        "",
        *table,
        "",
    ])
    with open(output, "w") as handle:
        handle.write(text)
    print(text)


if __name__ == "__main__":
    main()
