"""probit() with fixed effects: the design, the extension's fit, the notes, and the result.

The extension's _fit_fixed_effects(endog, exog, effects, max_iter, tol, robust, cluster_vars, bias_L,
small_sample) fits y on the columns of exog and one effect per level of each column of effects (int64 codes
0 .. levels - 1) and returns a dict, which fit_fixed_effects makes a record: params and cov_params() of all
columns (NaN for the omitted ones, those the effects and the earlier columns explain), loglike,
iterations, converged, negative_eigenvalues (of a multiway covariance, set to 0), effects (one array per
dimension, NaN for codes without rows), kept (the rows used), removed_levels, omitted, and uncorrected
(the maximum likelihood record under a corrected one, else None). bias_L None fits by maximum likelihood;
an int L >= 0 corrects with that bandwidth.
"""

from __future__ import annotations

import dataclasses
import warnings
from typing import Any

import numpy as np
import pandas as pd

from ._design import Design
from ._diagnostics import EXTREME_INDEX, ProbitWarning, cluster_notes
from ._effects_design import Effects, from_formula
from ._panel_result import FixedEffectsResult, fit_fixed_effects

BIAS_CORRECTIONS = (None, "analytical")


def probit_with_effects(formula: str, data: Any, *, robust: bool, cluster: Any, weights: Any, weights_type: str,
                        missing: str, max_iter: int, tol: float, small_sample: bool, bias_correction: str | None,
                        L: int) -> FixedEffectsResult:
    if weights is not None:
        raise ValueError("weights apply to fits without fixed effects: a fit with fixed effects takes no weights")
    design, effects = from_formula(formula, data, cluster, missing)
    check_correction(bias_correction, L, len(effects.names))
    robust = bool(robust) or design.clusters is not None
    corrected = bias_correction is not None
    raw = fit_fixed_effects(design.endog, design.exog, effects.codes, max_iter, tol, robust, design.clusters,
                            L if corrected else None, small_sample)
    kept = np.asarray(raw.kept, dtype=bool)
    used, used_effects = used_rows(design, effects, kept, np.asarray(raw.omitted, dtype=np.int64))
    omitted = [design.exog_names[j] for j in raw.omitted]
    notes = effect_notes(raw, used, used_effects, omitted, max_iter)
    notes += cluster_notes(used.n_clusters, used.cluster_names, len(used.exog_names), raw.negative_eigenvalues)
    for note in notes:
        warnings.warn(note, ProbitWarning, stacklevel=3)
    options: dict[str, Any] = {"max_iter": max_iter, "tol": tol, "robust": robust, "small_sample": small_sample,
                               "notes": notes, "removed_rows": int((~kept).sum()), "omitted": omitted}
    uncorrected = None
    if corrected:
        uncorrected = FixedEffectsResult(used, used_effects, raw.uncorrected, bias_correction=None, L=0, **options)
    return FixedEffectsResult(used, used_effects, raw, bias_correction=bias_correction, L=L,
                              uncorrected=uncorrected, **options)


def check_correction(bias_correction: Any, L: Any, dimensions: int) -> None:
    if bias_correction not in BIAS_CORRECTIONS:
        raise ValueError(f"bias_correction must be None or 'analytical', not {bias_correction!r}")
    if isinstance(L, bool) or not isinstance(L, (int, np.integer)) or L < 0:
        raise ValueError(f"L must be an integer of 0 or more, not {L!r}")
    if L and bias_correction is None:
        raise ValueError("L is the bandwidth of the bias correction: pass bias_correction='analytical' with it")
    if bias_correction is not None and dimensions > 2:
        raise ValueError(f"bias_correction='analytical' corrects individual effects, or individual and time "
                         f"effects: the formula has {dimensions} dimensions of effects")


def used_rows(design: Design, effects: Effects, kept: np.ndarray, omitted: np.ndarray) -> tuple[Design, Effects]:
    """The design and effects of the rows and columns that the fit used."""
    columns = [j for j in range(len(design.exog_names)) if j not in set(omitted.tolist())]
    if kept.all() and not len(omitted):
        return design, effects
    rows = slice(None) if kept.all() else kept
    exog = design.exog[rows][:, columns] if len(omitted) else design.exog[rows]
    endog = design.endog[rows]
    clusters, n_clusters = design.clusters, design.n_clusters
    if clusters is not None and not kept.all():  # some clusters may have lost all their rows
        codes = [pd.factorize(clusters[kept, d])[0] for d in range(clusters.shape[1])]
        clusters, n_clusters = np.column_stack(codes).astype(np.float64), [int(c.max(initial=-1)) + 1 for c in codes]
    used = dataclasses.replace(design, endog=endog, exog=exog, exog_names=[design.exog_names[j] for j in columns],
                               clusters=clusters, n_clusters=n_clusters, ones=float(endog.sum()), constants=[])
    return used, dataclasses.replace(effects, codes=np.ascontiguousarray(effects.codes[rows]))


def effect_notes(raw: Any, design: Design, effects: Effects, omitted: list[str], max_iter: int) -> list[str]:
    """The warnings a fit with fixed effects deserves, as sentences."""
    notes = []
    removed = [f"{name}: {int(n)}" for name, n in zip(effects.names, raw.removed_levels) if n]
    if removed:
        rows = len(raw.kept) - int(np.count_nonzero(raw.kept))
        notes.append(f"{rows} rows were left out, those of the levels whose outcomes are all 0 or all 1 "
                     f"({', '.join(removed)} levels): their effects are infinite and they carry no information "
                     "on the slopes")
    if omitted:
        notes.append(f"the columns {', '.join(omitted)} are explained exactly by the fixed effects (with the other "
                     "columns) and were left out")
    if not raw.converged:
        notes.append(f"the fit did not converge in {max_iter} iterations: the log-likelihood still changed by "
                     "more than tol; raise max_iter")
    params = np.delete(np.asarray(raw.params), np.asarray(raw.omitted, dtype=np.int64))
    cov = np.delete(np.delete(np.asarray(raw.cov_params()), raw.omitted, axis=0), raw.omitted, axis=1)
    if np.isfinite(params).all() and len(design.endog):
        offsets = sum(np.asarray(v)[effects.codes[:, d]] for d, v in enumerate(raw.effects))
        extreme = int(np.count_nonzero(np.abs(design.exog @ params + offsets) > EXTREME_INDEX))
        if extreme:
            notes.append(f"fitted probabilities are numerically 0 or 1 for {extreme} of {len(design.endog)} rows: "
                         "a sign of quasi-complete separation by the regressors and effects; the slopes and "
                         "standard errors of the columns involved are not reliable")
    if not np.isfinite(cov).all():
        notes.append("the Hessian of the slopes is singular at the estimates (a sign of separation); the "
                     "covariance matrix is NaN")
    return notes
