"""Stand-ins for the extension's fixed-effects entry points, from the NumPy reference (temporary)."""
import numpy as np
import pandas as pd
from panel_reference import Concentrated

import quorbis


def _fit(endog, exog, effects, max_iter, tol, robust, cluster_vars, bias_L):
    codes = [effects[:, d] for d in range(effects.shape[1])]
    c = Concentrated(endog, exog, codes, tol=min(tol, 1e-10))
    kept = c.keep
    present = [np.unique(g[kept]) for g in codes]

    def record(beta, alpha, eta):
        values = []
        for g, p, a in zip(codes, present, alpha):
            v = np.full(int(g.max()) + 1, np.nan)
            v[p] = a
            values.append(v)
        kind = "nonrobust" if not robust else ("cluster" if cluster_vars is not None else "robust")
        cov = c.covariance(kind, None if cluster_vars is None else cluster_vars[kept, 0], eta)
        removed = [len(np.unique(g)) - len(p) for g, p in zip(codes, present)]
        full = np.full(exog.shape[1], np.nan)
        full[np.setdiff1d(np.arange(exog.shape[1]), c.omitted)] = beta
        cov_full = np.full((exog.shape[1],) * 2, np.nan)
        cols = np.setdiff1d(np.arange(exog.shape[1]), c.omitted)
        cov_full[np.ix_(cols, cols)] = cov
        return dict(params=full, cov_params=cov_full, loglike=c.loglike, iterations=5, converged=True,
                    effects=tuple(values), kept=kept, removed_levels=tuple(removed), omitted=tuple(c.omitted),
                    uncorrected=None)

    mle = record(c.beta, c.alpha, c.eta)
    if bias_L is None:
        return mle
    beta = c.beta + c.bias(bias_L)
    alpha = c.effects_at(beta)
    out = record(beta, alpha, c.X @ beta + sum(a[g] for a, g in zip(alpha, c.codes)))
    out["uncorrected"] = mle
    return out


def _ame(fit, population):
    codes = [fit.effects[:, d] for d in range(fit.effects.shape[1])]
    c = Concentrated(fit.endog, fit.exog, codes)
    binary = [bool(np.isin(fit.exog[:, j], (0.0, 1.0)).all()) for j in range(fit.exog.shape[1])]
    kind = "nonrobust" if not fit.robust else ("cluster" if fit.clusters is not None else "robust")
    L = fit.bias_correction
    delta, V = c.ame(binary, kind, None if fit.clusters is None else fit.clusters[:, 0], population,
                     corrected=L is not None, L=L or 0)
    se = np.sqrt(np.diag(V))
    z = delta / se
    from scipy.special import ndtr
    p = 2 * ndtr(-np.abs(z))
    stars = ["***" if q < 0.01 else "**" if q < 0.05 else "*" if q < 0.1 else "" for q in p]
    return pd.DataFrame({"dy/dx": delta, "Std. Err": se, "z": z, "Pr(>|z|)": p, "Significance": stars},
                        index=fit.names)


def install():
    quorbis._quorbis._fit_fixed_effects = _fit
    quorbis._quorbis._fixed_effects_ame = _ame
