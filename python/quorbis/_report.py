"""How a ProbitResult looks: the summary as text and HTML, and the plot of its marginal effects."""

from __future__ import annotations

import html
import statistics
from typing import Any

import pandas as pd

WIDTH = 78


def _cov_label(r: Any) -> str:
    if r.cov_type == "cluster":
        label = "cluster" if not isinstance(r.n_clusters, dict) else f"cluster, {len(r.n_clusters)}-way"
        return f"{label}, G/(G-1)(N-1)/(N-K)" if r.small_sample else label
    return str(r.cov_type)


def _clusters(r: Any) -> str:
    if r.n_clusters is None:
        return "-"
    if isinstance(r.n_clusters, dict):
        return ", ".join(f"{name} {g}" for name, g in r.n_clusters.items())
    return str(r.n_clusters)


def _header(r: Any) -> tuple[list[tuple[str, str]], list[tuple[str, str]]]:
    pseudo = getattr(r, "weights_type", None) == "probability"
    left = [
        ("Dep. Variable:", r.endog_name),
        ("Model:", "Probit"),
        ("Covariance Type:", _cov_label(r)),
        ("Clusters:", _clusters(r)),
        ("Converged:", str(r.converged)),
        ("Iterations:", str(r.iterations)),
    ]
    right = [
        ("No. Observations:", str(r.nobs)),
        ("Dropped rows:", str(r.dropped_rows)),
        ("Log-Pseudolikelihood:" if pseudo else "Log-Likelihood:", f"{r.llf:.3f}"),
        ("LL-Null:", f"{r.llnull:.3f}"),
        ("Pseudo R-squ.:", f"{r.prsquared:.4f}"),
        ("AIC / BIC:", "- / -" if pseudo else f"{r.aic:.3f} / {r.bic:.3f}"),
    ]
    if getattr(r, "weights_type", None) is not None:
        left.append(("Weights:", f"{r.weights_type}, {r.weights_name}"))
        right.append(("Zero-weight rows:", str(r.zero_weight_rows)))
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


class Summary(str):
    """The summary of a fit: its text (a str, so that it prints, compares and joins as text), shown as that
    text at the prompt and as HTML in a notebook, with its parts as DataFrames.

    :meth:`ProbitResult.summary` makes it. The class is not an attribute of the module; the type stubs declare
    it as ``quorbis.Summary`` for annotations. A pickled summary comes back as its text, a plain str.

    Attributes
    ----------
    tables : list of pandas.DataFrame
        The model statistics (their text in the column "value", indexed by name), the fixed effects' levels
        for a fit with fixed effects, and the coefficient table.
    notes : list of str
        The warnings of the fit.

    Examples
    --------
    >>> import pandas as pd, quorbis
    >>> r = quorbis.probit("GRADE ~ GPA + TUCE + PSI", pd.read_csv("examples/grades.csv"))
    >>> s = r.summary()
    >>> isinstance(s, str), s.splitlines()[0].strip(), s.notes
    (True, 'Probit Regression Results', [])
    >>> s.tables[0].loc["Log-Likelihood", "value"]
    '-12.819'
    >>> s.tables[1]["P>|z|"].round(4)
    Intercept    0.0034
    GPA          0.0191
    TUCE         0.5375
    PSI          0.0165
    Name: P>|z|, dtype: float64
    """

    tables: list[pd.DataFrame]
    notes: list[str]
    _html: str

    def __new__(cls, r: Any) -> Summary:
        left, right = _header(r)
        effects, coefficients = effects_table(r), coefficient_table(r)
        extra = [] if effects is None else _effects_notes(r)
        text = super().__new__(cls, _text(left, right, effects, extra, coefficients, r.notes))
        statistics = pd.DataFrame({"value": [v for _, v in left + right]},
                                  index=[label.rstrip(":") for label, _ in left + right])
        text.tables = [statistics, *([] if effects is None else [effects]), coefficients]
        text.notes = list(r.notes)
        text._html = _html(left, right, effects, extra, coefficients, r.notes)
        return text

    def __repr__(self) -> str:
        return str(self)

    def _repr_html_(self) -> str:
        return self._html

    def __reduce__(self) -> tuple[Any, ...]:  # pickles as its text
        return (str, (str(self),))


def _text(left: list[tuple[str, str]], right: list[tuple[str, str]], effects: pd.DataFrame | None,
          extra: list[str], coefficients: pd.DataFrame, notes: list[str]) -> str:
    # Each half is as wide as its longest line needs, so that a long value never runs into the next label.
    wide_left = max([WIDTH // 2 - 2] + [len(a) + 1 + len(b) for a, b in left])
    wide_right = max([WIDTH - WIDTH // 2] + [len(c) + 1 + len(d) for c, d in right])
    lines = [f"{a}{b:>{wide_left - len(a)}}  {c}{d:>{wide_right - len(c)}}" for (a, b), (c, d) in zip(left, right)]
    table = coefficients.to_string(float_format=_number).splitlines()
    width = max([WIDTH, *map(len, lines), *map(len, table)])
    rule = "=" * width
    effects_lines = [] if effects is None else [*effects.to_string().splitlines(), *extra, "-" * width]
    return "\n".join(["Probit Regression Results".center(width), rule, *lines, rule, *effects_lines, *table, rule,
                      *[f"Warning: {note}" for note in notes]])


def _html(left: list[tuple[str, str]], right: list[tuple[str, str]], effects: pd.DataFrame | None,
          extra: list[str], coefficients: pd.DataFrame, notes: list[str]) -> str:
    rows = "".join(
        f"<tr><th>{html.escape(a)}</th><td>{html.escape(b)}</td><th>{html.escape(c)}</th>"
        f"<td>{html.escape(d)}</td></tr>" for (a, b), (c, d) in zip(left, right))
    paragraphs = "".join(f"<p>{html.escape(line)}</p>" for line in extra)
    paragraphs += "".join(f"<p>Warning: {html.escape(note)}</p>" for note in notes)
    return (f"<div><table><caption>Probit Regression Results</caption>{rows}</table>"
            f"{'' if effects is None else effects.to_html()}"
            f"{coefficients.to_html(float_format=_number)}{paragraphs}</div>")


def plot_effects(effects: pd.DataFrame, alpha: float, ax: Any) -> Any:
    try:
        import matplotlib.pyplot as plt
    except ImportError as missing:
        raise ImportError("plot_ame needs matplotlib: pip install 'quorbis[plot]'") from missing
    labels, rows = _plot_rows(effects)
    headers = set(range(len(labels))) - set(rows)
    if ax is None:
        _, ax = plt.subplots(figsize=(6.0, 1.0 + 0.4 * len(labels)))
    half = statistics.NormalDist().inv_cdf(1.0 - alpha / 2.0) * effects["Std. Err"]
    place = [len(labels) - 1 - i for i in rows]
    ax.errorbar(effects["dy/dx"], place, xerr=half, fmt="o", capsize=3)
    ax.axvline(0.0, color="grey", linewidth=0.8)
    ax.set_yticks(list(range(len(labels)))[::-1], labels=labels)
    for line, tick in enumerate(ax.get_yticklabels()):
        if line in headers:
            tick.set_fontweight("bold")
    ax.set_xlabel(f"average marginal effect, {100 * (1 - alpha):g} % interval")
    return ax


def _plot_rows(effects: pd.DataFrame) -> tuple[list[str], list[int]]:
    """The lines of the plot, top down, and the line of each effect: the contrasts of a categorical variable
    under a line of its name (drawn in bold), each labelled by its levels."""
    labels: list[str] = []
    rows: list[int] = []
    header = None
    for position, label in enumerate(effects.index):
        text = " ".join(map(str, label)) if isinstance(label, tuple) else str(label)
        if "variable" in effects and effects["variable"].iloc[position] != text.split(" ")[-1] \
                and effects["contrast"].iloc[position]:
            prefix = " ".join(text.split(" ")[:-1] + [str(effects["variable"].iloc[position])])
            if prefix != header:
                header = prefix
                labels.append(prefix)
            text = str(effects["contrast"].iloc[position])
        else:
            header = None
        rows.append(len(labels))
        labels.append(text)
    return labels, rows
