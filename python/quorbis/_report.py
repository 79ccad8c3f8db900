"""How a ProbitResult looks: the summary as text and HTML, and the plot of its marginal effects."""

from __future__ import annotations

import html
import statistics
from typing import Any

import pandas as pd

WIDTH = 78


def _cov_label(r: Any) -> str:
    if r.cov_type == "cluster":
        return "cluster, G/(G-1)(N-1)/(N-K)" if r.small_sample else "cluster"
    return str(r.cov_type)


def _header(r: Any) -> tuple[list[tuple[str, str]], list[tuple[str, str]]]:
    left = [
        ("Dep. Variable:", r.endog_name),
        ("Model:", "Probit"),
        ("Covariance Type:", _cov_label(r)),
        ("Clusters:", "-" if r.n_clusters is None else str(r.n_clusters)),
        ("Converged:", str(r.converged)),
        ("Iterations:", str(r.iterations)),
    ]
    right = [
        ("No. Observations:", str(r.nobs)),
        ("Dropped rows:", str(r.dropped_rows)),
        ("Log-Likelihood:", f"{r.llf:.6g}"),
        ("LL-Null:", f"{r.llnull:.6g}"),
        ("Pseudo R-squ.:", f"{r.prsquared:.4f}"),
        ("AIC / BIC:", f"{r.aic:.6g} / {r.bic:.6g}"),
    ]
    return left, right


def coefficient_table(r: Any) -> pd.DataFrame:
    intervals = r.conf_int(0.05)
    return pd.DataFrame({"coef": r.params, "std err": r.bse, "z": r.zvalues, "P>|z|": r.pvalues,
                         "[0.025": intervals["lower"], "0.975]": intervals["upper"]})


def effects_table(r: Any) -> pd.DataFrame | None:
    """The fixed effects' dimensions with their levels, or None for a fit without effects."""
    names = getattr(r, "effect_names", None)
    if names is None:
        return None
    return pd.DataFrame({"levels": [r.n_levels[n] for n in names],
                         "removed levels": [r.removed_levels[n] for n in names]},
                        index=pd.Index(names, name="Fixed effects"))


def _effects_notes(r: Any) -> list[str]:
    correction = "none" if r.bias_correction is None else f"{r.bias_correction}, L = {r.L}"
    omitted = ", ".join(r.omitted) or "none"
    return [f"Rows removed as perfectly predicted: {r.removed_rows}; columns omitted: {omitted}",
            f"Bias correction: {correction}"]


def _number(v: float) -> str:
    # Four decimals, except for tiny values (p-values mostly), which keep four significant digits.
    return f"{v:.4g}" if 0.0 < abs(v) < 1e-4 else f"{v:.4f}"


def summary_text(r: Any) -> str:
    left, right = _header(r)
    half = WIDTH // 2
    lines = ["Probit Regression Results".center(WIDTH), "=" * WIDTH]
    for (a, b), (c, d) in zip(left, right):
        lines.append(f"{a}{b:>{half - 2 - len(a)}}  {c}{d:>{half - len(c)}}")
    lines.append("=" * WIDTH)
    effects = effects_table(r)
    if effects is not None:
        lines += effects.to_string().splitlines() + _effects_notes(r) + ["-" * WIDTH]
    lines += coefficient_table(r).to_string(float_format=_number).splitlines()
    lines.append("=" * WIDTH)
    lines += [f"Warning: {note}" for note in r.notes]
    return "\n".join(lines)


def summary_html(r: Any) -> str:
    left, right = _header(r)
    rows = "".join(
        f"<tr><th>{html.escape(a)}</th><td>{html.escape(b)}</td><th>{html.escape(c)}</th>"
        f"<td>{html.escape(d)}</td></tr>" for (a, b), (c, d) in zip(left, right))
    notes = "".join(f"<p>Warning: {html.escape(note)}</p>" for note in r.notes)
    effects = effects_table(r)
    if effects is not None:
        notes = "".join(f"<p>{html.escape(line)}</p>" for line in _effects_notes(r)) + notes
    return (f"<div><table><caption>Probit Regression Results</caption>{rows}</table>"
            f"{'' if effects is None else effects.to_html()}"
            f"{coefficient_table(r).to_html(float_format=_number)}{notes}</div>")


def plot_effects(effects: pd.DataFrame, alpha: float, ax: Any) -> Any:
    try:
        import matplotlib.pyplot as plt
    except ImportError as missing:
        raise ImportError("plot_ame needs matplotlib: pip install 'quorbis[plot]'") from missing
    if ax is None:
        _, ax = plt.subplots(figsize=(6.0, 1.0 + 0.4 * len(effects)))
    half = statistics.NormalDist().inv_cdf(1.0 - alpha / 2.0) * effects["Std. Err"]
    rows = list(range(len(effects)))[::-1]
    ax.errorbar(effects["dy/dx"], rows, xerr=half, fmt="o", capsize=3)
    ax.axvline(0.0, color="grey", linewidth=0.8)
    ax.set_yticks(rows, labels=list(effects.index))
    ax.set_xlabel(f"average marginal effect, {100 * (1 - alpha):g} % interval")
    return ax
