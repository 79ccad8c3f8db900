"""ProbitResult: a fit seen under its column names, with the statistics read off a probit table."""

from __future__ import annotations

import math
import statistics
from types import SimpleNamespace
from typing import Any

import numpy as np
import pandas as pd

from . import _margins, _predictions, _report
from ._design import Design
from ._fit import Options, Rows, driver, fit_rows
from ._separation import Separation


def _cov_type(clustered: bool, robust: bool, small_sample: bool) -> str:
    if clustered:
        return "cluster"
    if robust:
        return "HC1" if small_sample else "HC0"
    return "nonrobust"


class ProbitResult:
    """The result of :func:`quorbis.probit`: estimates, tests and predictions, indexed by column name.

    Attributes
    ----------
    params, bse, zvalues, pvalues : pandas.Series
        Coefficients, their standard errors, z statistics and two-sided p-values 2 Phi(-|z|).
    nobs : int
        Rows used in the fit; with frequency weights, the sum of the weights (the rows they stand for).
    dropped_rows : int
        Rows left out for missing values.
    zero_weight_rows : int
        Rows left out for a weight of 0.
    weights_type : str or None
        "probability" or "frequency" for a weighted fit.
    llf, llnull : float
        Log-likelihood of the model and of the constant-only model (closed form n1 ln p + n0 ln(1 - p),
        p the share of ones; it is the reference even for a design without a constant). With weights, the
        weighted sums (n1 and n0 the weights of the ones and zeros): under probability weights, the
        pseudo-log-likelihoods.
    prsquared : float
        McFadden's pseudo R-squared, 1 - llf / llnull.
    aic, bic : float
        -2 llf + 2 k and -2 llf + k ln(nobs), k the number of coefficients; NaN under probability weights,
        whose pseudo-likelihood is no likelihood to compare models by.
    converged : bool
        Whether the log-likelihood settled within ``tol``.
    iterations : int
        Number of iterations run.
    cov_type : str
        "nonrobust", "HC0" (robust), "HC1" (robust with N/(N-K)) or "cluster".
    n_clusters : int, dict of str to int, or None
        Number of clusters when clustered: an int for one variable, the number of each dimension (by name)
        for multiway clustering.
    small_sample : bool
        Whether the small-sample factor was applied to the covariance.
    notes : list of str
        The texts of the :class:`ProbitWarning` issued for this fit.
    raw : VaskProbitResults
        The result of :func:`quorbis.fit_probit` underneath.

    A fit on a Dask DataFrame keeps its rows as Dask arrays, and everything that reads them (``ame``,
    ``predict``, ``raw``) computes on Dask. Pickling or copying such a result computes nothing: the copy
    holds the same lazy arrays (their task graphs), and refits on Dask when its ``raw`` is asked for.
    """

    __module__ = "quorbis"

    def __init__(self, design: Design, raw: Any, *, max_iter: int, tol: float, robust: bool,
                 small_sample: bool, notes: list[str], separation: Separation | None = None) -> None:
        self._raw: Any = raw
        self._exog: np.ndarray = raw.model.exog
        self._endog: np.ndarray = raw.model.endog
        self._clusters = design.clusters
        self._weights = design.weights
        self._labels = design.labels
        self.separation: Separation | None = separation
        self._constants = design.constants
        self._fitted = Rows(self._endog, self._exog, design.clusters, design.weights, design.frequency)
        self._options = Options(max_iter, tol, robust, small_sample)
        self.exog_names: list[str] = list(design.exog_names)
        self.endog_name: str = design.endog_name
        self.formula: str | None = design.formula
        self._spec = design.spec
        self._rows = design.rows
        self._cluster_counts: list[int] | None = design.n_clusters
        counts = design.n_clusters
        self.n_clusters: int | dict[str, int] | None = \
            None if counts is None else counts[0] if len(counts) == 1 else dict(zip(design.cluster_names, counts))
        self.dropped_rows: int = design.dropped_rows
        self.zero_weight_rows: int = design.zero_weight_rows
        self.weights_type: str | None = None if design.weights is None else \
            "frequency" if design.frequency else "probability"
        self.weights_name: str | None = design.weights_name
        self.small_sample: bool = small_sample
        self.notes: list[str] = list(notes)
        # The rows, or the weights, of the ones and of all rows: the constant-only model's likelihood.
        self._ones, self._total = (design.ones, float(len(self._endog))) if design.weight_sums is None else \
            (design.weight_sums[1], design.weight_sums[0])
        self.nobs: int = round(self._total) if design.frequency else len(self._endog)
        self.llf: float = float(raw.loglike)
        # Under separation the likelihood has no maximum to converge to.
        self.converged: bool = bool(raw.converged) and (separation is None or separation.dropped)
        self.iterations: int = 0 if max_iter == 0 else int(raw.iterations) + 1
        self.cov_type: str = _cov_type(design.clusters is not None, robust, small_sample)
        names = pd.Index(self.exog_names)
        self.params: pd.Series = pd.Series(np.array(raw.params), index=names, name="coef")
        cov = np.array(raw.cov_params()) * self._small_sample_factor()
        if self._cluster_counts is not None and min(self._cluster_counts) == 1:
            cov[...] = math.nan
        if separation is not None and not separation.dropped:
            infinite = names.get_indexer(pd.Index(separation.coefficients))
            cov[infinite, :] = cov[:, infinite] = math.nan
        self._cov = cov
        with np.errstate(divide="ignore", invalid="ignore"):  # a singular fit's variances may be < 0
            self.bse: pd.Series = pd.Series(np.sqrt(np.diag(cov)), index=names, name="std err")
            self.zvalues: pd.Series = (self.params / self.bse).rename("z")
        self.pvalues: pd.Series = pd.Series(
            [math.erfc(abs(z) * math.sqrt(0.5)) for z in self.zvalues], index=names, name="P>|z|")

    def _small_sample_factor(self) -> float:
        if not self.small_sample or self.cov_type == "nonrobust":
            return 1.0
        return self._sample_factor(len(self.exog_names))

    def _sample_factor(self, k: int) -> float:
        """N/(N-K), or G/(G-1) (N-1)/(N-K) for clusters; a multiway covariance has the G/(G-1) of each term
        from the fit."""
        n, counts = self.nobs, self._cluster_counts
        if n <= k or (counts is not None and min(counts) < 2):
            return math.nan  # no residual degrees of freedom, or a single cluster
        if counts is None:
            return n / (n - k)
        clusters = counts[0] / (counts[0] - 1) if len(counts) == 1 else 1.0
        return clusters * (n - 1) / (n - k)

    @property
    def llnull(self) -> float:
        n1 = self._ones
        n0 = self._total - n1
        p = n1 / self._total
        return sum(count * math.log(share) for count, share in ((n1, p), (n0, 1.0 - p)) if count)

    @property
    def prsquared(self) -> float:
        llnull = self.llnull
        return 1.0 - self.llf / llnull if llnull else math.nan

    @property
    def aic(self) -> float:
        if self.weights_type == "probability":
            return math.nan
        return -2.0 * self.llf + 2.0 * len(self.exog_names)

    @property
    def bic(self) -> float:
        if self.weights_type == "probability":
            return math.nan
        return -2.0 * self.llf + len(self.exog_names) * math.log(self.nobs)

    @property
    def raw(self) -> Any:
        # An unpickled result refits: fit_probit gives bit-identical results for the same data.
        if self._raw is None:
            self._raw = fit_rows(self._fitted, self._options)[0]
        return self._raw

    def cov_params(self) -> pd.DataFrame:
        """Covariance matrix of the coefficients, as a DataFrame indexed by column name both ways."""
        return pd.DataFrame(self._cov, index=self.exog_names, columns=self.exog_names)

    def conf_int(self, alpha: float = 0.05) -> pd.DataFrame:
        """Confidence intervals params -/+ z(1 - alpha/2) bse, in the columns "lower" and "upper".

        Examples
        --------
        >>> r.conf_int(0.1)  # doctest: +SKIP
        """
        if not 0.0 < alpha < 1.0:
            raise ValueError(f"alpha must lie strictly between 0 and 1, not {alpha}")
        half = statistics.NormalDist().inv_cdf(1.0 - alpha / 2.0) * self.bse
        return pd.DataFrame({"lower": self.params - half, "upper": self.params + half})

    def predict(self, newdata: Any = None, *, se: bool = False, which: str = "prob", alpha: float = 0.05) -> Any:
        """Predicted probabilities Phi(x . b), or the index x . b; with ``se``, their standard errors and
        intervals.

        Parameters
        ----------
        newdata : DataFrame (pandas or Dask), array or None
            For a formula fit, data with the formula's variables (the same transforms and categories
            apply; a category not seen in the fit is an error). For a fit on arrays, a design matrix with
            the fitted columns (a DataFrame's columns are taken by name). None: the rows of the fit.
        se : bool, default False
            Also the delta-method standard error and the (1 - alpha) interval of each prediction.
        which : {"prob", "linear"}, default "prob"
            The probability Phi(x . b), or the linear index x . b.
        alpha : float, default 0.05
            One minus the intervals' confidence level.

        Returns
        -------
        pandas.Series, numpy.ndarray, pandas.DataFrame or their Dask counterparts
            Without ``se``: a Series indexed like ``newdata`` when it is a DataFrame, else an array. With
            ``se``: a DataFrame with the columns "predicted", "std err", "lower" and "upper". Rows with a
            missing value get NaN. A Dask DataFrame gives Dask results, partition by partition; None
            gives a Dask array when the fit was on a Dask DataFrame.

        Notes
        -----
        The standard error of x . b is sqrt(x V x'), V the covariance of the fit (robust, clustered, with
        the small-sample factor if chosen); that of Phi(x . b) is phi(x . b) times it. The interval is
        x . b -/+ z se(x . b), taken through Phi for the probability, so it stays within [0, 1].

        Examples
        --------
        >>> r.predict(data.head(), se=True)  # doctest: +SKIP
        """
        return _predictions.predict(self.params.to_numpy(), self._cov, self._exog, self._spec, self._columns(),
                                    newdata, se, which, alpha)

    def _columns(self) -> list[Any]:
        # A fit on a DataFrame X reads new data by X's own labels (integers, tuples), not their text.
        return self.exog_names if self._labels is None else list(self._labels)

    def ame(self, variables: Any = None, *, at: Any = None, by: Any = None, alpha: float = 0.05,
            chunk_size: int | None = None) -> pd.DataFrame:
        """Average marginal effects of the formula's variables, with delta-method standard errors.

        For a formula fit, one row per variable of the right-hand side: a numeric variable gets the average
        of dP(y = 1)/dv through every term that reads it (powers, logarithms, ``center``/``scale``,
        interactions, ...; by the chain rule, exactly); a 0/1 variable the discrete change from 0 to 1; a
        categorical one a row per level but the base, the average of P(level) - P(base) with every row set
        to each. A fit on arrays gives one row per column instead: a column of 0 and 1 gets the discrete
        change, any other the derivative.

        Parameters
        ----------
        variables : str or list of str, optional
            The variables to report (default: all of the right-hand side, in the order of their columns).
        at : None, "mean" or dict, optional
            None averages over the fitted rows. "mean" evaluates at the means of the variables, each
            categorical variable at its observed shares (every dummy column at its level's share, as the
            usual packages do). A dict sets variables for every row, ``{"age": [30, 40], "children": 0}``,
            and gives the effects at each point of the grid of its values.
        by : str or list of str, optional
            Columns of the fitted data: the effects averaged within each of their groups.
        alpha : float, default 0.05
            One minus the intervals' confidence level.
        chunk_size : int, optional
            Rows read and summed at a time (65536 by default): the memory beyond the fit's own is a few
            arrays of this many rows.

        Returns
        -------
        pandas.DataFrame
            Columns "dy/dx", "Std. Err", "z", "Pr(>|z|)", "Significance", the interval's ends, and for a
            formula fit "contrast" (the levels compared, "" for a derivative) and "variable". Indexed by
            the row's label, with the groups and grid values first when ``by`` or ``at`` are given.

        Notes
        -----
        The standard errors use this fit's covariance (robust, clustered, with the small-sample factor if
        chosen); p-values are computed with erfc, so that they are never rounded to 0. Derivatives of
        transforms not known here (splines, say) come from formulaic's model of the term evaluated on
        perturbed rows, by central differences with Richardson extrapolation.

        Examples
        --------
        >>> r = quorbis.probit("y ~ age + I(age**2) + age:educ + C(religious)", data)  # doctest: +SKIP
        >>> r.ame()  # doctest: +SKIP
        >>> r.ame("age", at={"age": [30, 40, 50]})  # doctest: +SKIP
        """
        if isinstance(variables, (int, np.integer)) and not isinstance(variables, bool) and chunk_size is None:
            variables, chunk_size = None, int(variables)  # ame(chunk_size) as it was called before
        if self._rows is None:
            if variables is not None or at is not None or by is not None:
                raise ValueError("variables, at and by need a fit of a formula; this fit is of arrays")
            return self._column_effects(chunk_size)
        return _margins.effects(self._margin_fit(), variables, at, by, alpha, chunk_size)

    def margins(self, at: Any = None, by: Any = None, *, alpha: float = 0.05,
                chunk_size: int | None = None) -> pd.DataFrame:
        """Average predicted probabilities with delta-method standard errors and intervals.

        Parameters
        ----------
        at : None, "mean" or dict, optional
            As for :meth:`ame`: the fitted rows as they are, the means of the variables, or variables set
            for every row, one average per point of the grid of their values.
        by : str or list of str, optional
            Columns of the fitted data: one average per group.
        alpha : float, default 0.05
            One minus the intervals' confidence level.
        chunk_size : int, optional
            Rows read and summed at a time.

        Returns
        -------
        pandas.DataFrame
            Columns "predicted", "Std. Err" and the interval's ends, one row per group and grid point.

        Examples
        --------
        >>> r.margins(at={"age": 40, "children": 1})  # doctest: +SKIP
        """
        if self._rows is None:
            if at is not None or by is not None:
                raise ValueError("at and by need a fit of a formula; this fit is of arrays")
        return _margins.predictions(self._margin_fit(), at, by, alpha, chunk_size)

    def _margin_fit(self) -> _margins.Fit:
        return _margins.Fit(self.params.to_numpy(), self._cov, self._exog, self._spec, self.exog_names, self._rows,
                            self._weights)

    def _column_effects(self, chunk_size: int | None) -> pd.DataFrame:
        if self._weights is not None:
            return _margins.column_effects(self._margin_fit(), self._constants, chunk_size)
        constants = set(self._constants)
        # ame leaves out columns named const and takes the others' names as row labels: name them
        # neutrally for the call and put the real names back.
        labels = ["const" if j in constants else f"x{j}" for j in range(len(self.exog_names))]
        view = SimpleNamespace(params=self.params.to_numpy(), cov_params=lambda: self._cov,
                               model=SimpleNamespace(exog=self._exog, exog_names=labels))
        table: pd.DataFrame = driver(self._exog).ame(view, chunk_size)
        table.index = [self.exog_names[j] for j in range(len(labels)) if j not in constants]
        return table

    def plot_ame(self, ax: Any = None, alpha: float = 0.05, **options: Any) -> Any:
        """Draws the average marginal effects with their (1 - alpha) intervals; returns the Axes.

        The contrasts of a categorical variable are drawn together under its name. ``options`` go to
        :meth:`ame` (``variables``, ``at``, ``by``). Needs matplotlib: ``pip install 'quorbis[plot]'``.
        """
        return _report.plot_effects(self.ame(**options), alpha, ax)

    def summary(self) -> _report.Summary:
        """The fit as a table: model statistics, then coefficients with tests and 95 % intervals.

        Returns
        -------
        Summary
            A str of the table's text, shown as HTML in a notebook; ``.tables`` holds its parts as DataFrames.

        Examples
        --------
        >>> print(r.summary())  # doctest: +SKIP
        >>> r.summary().tables[1]["P>|z|"]  # doctest: +SKIP
        """
        return _report.Summary(self)

    def _repr_html_(self) -> str:
        return self.summary()._repr_html_()

    def __repr__(self) -> str:
        what = self.formula or f"{self.endog_name} on {len(self.exog_names)} columns"
        state = "converged" if self.converged else "NOT converged"
        return f"<ProbitResult {what}: nobs={self.nobs}, llf={self.llf:.6g}, {self.cov_type}, {state}>"

    def __getstate__(self) -> dict[str, Any]:
        return {**self.__dict__, "_raw": None}
