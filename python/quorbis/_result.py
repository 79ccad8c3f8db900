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

    :func:`quorbis.probit` makes it; a fit with fixed effects gives its subclass
    :class:`FixedEffectsResult`.

    Attributes
    ----------
    params : pandas.Series
        The coefficients, indexed by column name.
    bse : pandas.Series
        Their standard errors, the square roots of the diagonal of :meth:`cov_params`.
    zvalues : pandas.Series
        The z statistics, ``params / bse``.
    pvalues : pandas.Series
        The two-sided p-values ``2 Phi(-|z|)``, computed with erfc so that they are never rounded to 0.
    nobs : int
        The rows used in the fit; with frequency weights, the sum of the weights (the rows they stand for).
    dropped_rows : int
        The rows left out for missing values.
    zero_weight_rows : int
        The rows left out for a weight of 0.
    weights_type : str or None
        "probability" or "frequency" for a weighted fit, else None.
    weights_name : str or None
        The name of the weights' column ("weights" for weights given as values), else None.
    llf : float
        The log-likelihood at ``params``; under probability weights, the weighted pseudo-log-likelihood.
    converged : bool
        Whether the fit reached the maximum: true once the coefficients are within 1e-8 standard errors of
        it (closer for a ``tol`` below 1e-6; or, when the Hessian is singular and there are no standard
        errors, once the log-likelihood settled within ``tol``); never under separation.
    iterations : int
        The iterations run, the Newton steps that end the fit included.
    cov_type : str
        "nonrobust", "HC0" (robust), "HC1" (robust with the factor N/(N-K)) or "cluster".
    n_clusters : int, dict of str to int, or None
        The number of clusters of a clustered covariance: an int for one variable, the number of each
        dimension (by name) for multiway clustering; None without clusters.
    small_sample : bool
        Whether the small-sample factor was applied to the covariance.
    exog_names : list of str
        The names of the columns of the design, in order.
    endog_name : str
        The name of the outcome.
    formula : str or None
        The formula of the fit; None for a fit of arrays.
    notes : list of str
        The texts of the :class:`ProbitWarning` issued for this fit.
    separation : Separation or None
        What the separation test found, when it ran and found separation; else None.

    Notes
    -----
    A result can be pickled and deep-copied. The raw result underneath cannot be pickled, so it is left
    out and refitted on first use of :attr:`raw` after unpickling; the fit is deterministic, so it comes
    back bit for bit. A fit on a Dask DataFrame keeps its rows as Dask arrays, and everything that reads
    them (``ame``, ``predict``, ``raw``) computes on Dask; pickling or copying such a result computes
    nothing: the copy holds the same lazy arrays (their task graphs).

    Examples
    --------
    >>> import pandas as pd, quorbis
    >>> data = pd.read_csv("examples/grades.csv")
    >>> r = quorbis.probit("GRADE ~ GPA + TUCE + PSI", data)
    >>> r
    <ProbitResult GRADE ~ GPA + TUCE + PSI: nobs=32, llf=-12.8188, nonrobust, converged>
    >>> pd.DataFrame({"coef": r.params, "std err": r.bse, "z": r.zvalues, "P>|z|": r.pvalues}).round(3)
                coef  std err      z  P>|z|
    Intercept -7.452    2.542 -2.931  0.003
    GPA        1.626    0.694  2.343  0.019
    TUCE       0.052    0.084  0.617  0.537
    PSI        1.426    0.595  2.397  0.017
    >>> r.nobs, r.dropped_rows, round(r.llf, 4), r.converged, r.cov_type, r.n_clusters
    (32, 0, -12.8188, True, 'nonrobust', None)
    >>> r.exog_names, r.endog_name, r.notes, r.separation
    (['Intercept', 'GPA', 'TUCE', 'PSI'], 'GRADE', [], None)
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
        """The log-likelihood of the constant-only model, n1 ln p + n0 ln(1 - p) with p the share of ones.

        It is the reference of :attr:`prsquared` even for a design without a constant, as in statsmodels. With
        weights, n1 and n0 are the weights of the ones and of the zeros; under probability weights, it is a
        pseudo-log-likelihood.

        Examples
        --------
        >>> import pandas as pd, quorbis
        >>> r = quorbis.probit("GRADE ~ GPA + TUCE + PSI", pd.read_csv("examples/grades.csv"))
        >>> round(r.llnull, 4)
        -20.5917
        """
        n1 = self._ones
        n0 = self._total - n1
        p = n1 / self._total
        return sum(count * math.log(share) for count, share in ((n1, p), (n0, 1.0 - p)) if count)

    @property
    def prsquared(self) -> float:
        """McFadden's pseudo R-squared, 1 - llf / llnull.

        Examples
        --------
        >>> import pandas as pd, quorbis
        >>> r = quorbis.probit("GRADE ~ GPA + TUCE + PSI", pd.read_csv("examples/grades.csv"))
        >>> round(r.prsquared, 4)
        0.3775
        """
        llnull = self.llnull
        return 1.0 - self.llf / llnull if llnull else math.nan

    @property
    def aic(self) -> float:
        """Akaike's information criterion, -2 llf + 2 k, k the number of coefficients.

        NaN under probability weights, whose pseudo-likelihood is no likelihood to compare models by.

        Examples
        --------
        >>> import pandas as pd, quorbis
        >>> r = quorbis.probit("GRADE ~ GPA + TUCE + PSI", pd.read_csv("examples/grades.csv"))
        >>> round(r.aic, 3)
        33.638
        """
        if self.weights_type == "probability":
            return math.nan
        return -2.0 * self.llf + 2.0 * len(self.exog_names)

    @property
    def bic(self) -> float:
        """The Bayesian information criterion, -2 llf + k ln(nobs), k the number of coefficients.

        NaN under probability weights, whose pseudo-likelihood is no likelihood to compare models by.

        Examples
        --------
        >>> import pandas as pd, quorbis
        >>> r = quorbis.probit("GRADE ~ GPA + TUCE + PSI", pd.read_csv("examples/grades.csv"))
        >>> round(r.bic, 3)
        39.501
        """
        if self.weights_type == "probability":
            return math.nan
        return -2.0 * self.llf + len(self.exog_names) * math.log(self.nobs)

    @property
    def raw(self) -> Any:
        """The ``VaskProbitResults`` of the fit underneath, as :func:`quorbis.fit_probit` returns it.

        Its ``model.exog`` is the design matrix itself, its columns named ``x0``, ``x1``, ...; its covariance
        has no small-sample factor.

        Examples
        --------
        >>> import pandas as pd, quorbis
        >>> r = quorbis.probit("GRADE ~ GPA + TUCE + PSI", pd.read_csv("examples/grades.csv"))
        >>> type(r.raw).__name__, r.raw.model.exog.shape
        ('VaskProbitResults', (32, 4))
        """
        # An unpickled result refits: fit_probit gives bit-identical results for the same data.
        if self._raw is None:
            self._raw = fit_rows(self._fitted, self._options)[0]
        return self._raw

    def cov_params(self) -> pd.DataFrame:
        """The covariance matrix of the coefficients: classical, robust or clustered as fitted.

        Returns
        -------
        pandas.DataFrame
            The k x k matrix, indexed by column name both ways, with the small-sample factor if chosen;
            NaN where it is not estimable (a singular Hessian, a single cluster, coefficients that
            separation sends to infinity).

        Examples
        --------
        >>> import pandas as pd, quorbis
        >>> r = quorbis.probit("GRADE ~ GPA + TUCE + PSI", pd.read_csv("examples/grades.csv"))
        >>> r.cov_params().round(4)
                   Intercept     GPA    TUCE     PSI
        Intercept     6.4642 -1.1697 -0.1012 -0.5948
        GPA          -1.1697  0.4815 -0.0189  0.1054
        TUCE         -0.1012 -0.0189  0.0070  0.0025
        PSI          -0.5948  0.1054  0.0025  0.3541
        """
        return pd.DataFrame(self._cov, index=self.exog_names, columns=self.exog_names)

    def conf_int(self, alpha: float = 0.05) -> pd.DataFrame:
        """Confidence intervals of the coefficients, ``params -/+ z(1 - alpha/2) bse``.

        Parameters
        ----------
        alpha : float, default 0.05
            One minus the intervals' confidence level, strictly between 0 and 1.

        Returns
        -------
        pandas.DataFrame
            The columns "lower" and "upper", indexed by column name.

        Raises
        ------
        ValueError
            For an ``alpha`` outside (0, 1).

        Examples
        --------
        >>> import pandas as pd, quorbis
        >>> r = quorbis.probit("GRADE ~ GPA + TUCE + PSI", pd.read_csv("examples/grades.csv"))
        >>> r.conf_int(0.1).round(3)
                     lower  upper
        Intercept -11.634 -3.270
        GPA         0.484  2.767
        TUCE       -0.086  0.190
        PSI         0.448  2.405
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

        Raises
        ------
        ValueError
            For new data that lack a variable or column of the fit, hold a category the fit did not see, or
            have columns of one name; a ``which`` other than "prob" or "linear"; an ``alpha`` outside
            (0, 1).

        Notes
        -----
        The standard error of x . b is sqrt(x V x'), V the covariance of the fit (robust, clustered, with
        the small-sample factor if chosen); that of Phi(x . b) is phi(x . b) times it. The interval is
        x . b -/+ z se(x . b), taken through Phi for the probability, so it stays within [0, 1].

        Examples
        --------
        >>> import pandas as pd, quorbis
        >>> data = pd.read_csv("examples/grades.csv")
        >>> r = quorbis.probit("GRADE ~ GPA + TUCE + PSI", data)
        >>> r.predict(data.head(3)).round(4)
        0    0.0182
        1    0.0531
        2    0.1899
        Name: predicted, dtype: float64
        >>> r.predict(data.head(3), se=True).round(4)
           predicted  std err   lower   upper
        0     0.0182   0.0284  0.0004  0.1984
        1     0.0531   0.0566  0.0041  0.2779
        2     0.1899   0.1185  0.0415  0.4911
        >>> r.predict(which="linear")[:3].round(3)
        array([-2.093, -1.616, -0.878])
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

        Raises
        ------
        ValueError
            For a name that is no variable of the right-hand side, values of ``at`` that a variable cannot
            take, ``by`` columns the data lack or whose fitted rows hold missing values, ``variables``,
            ``at`` or ``by`` with a fit of arrays, an ``alpha`` outside (0, 1), a ``chunk_size`` below 1.
        TypeError
            For an ``at`` that is neither None, "mean" nor a dict.

        Notes
        -----
        The standard errors use this fit's covariance (robust, clustered, with the small-sample factor if
        chosen); p-values are computed with erfc, so that they are never rounded to 0. Derivatives of
        transforms not known here (splines, say) come from formulaic's model of the term evaluated on
        perturbed rows, by central differences with Richardson extrapolation.

        Examples
        --------
        >>> import pandas as pd, quorbis
        >>> r = quorbis.probit("GRADE ~ GPA + TUCE + PSI", pd.read_csv("examples/grades.csv"))
        >>> r.ame()[["dy/dx", "Std. Err", "contrast"]].round(4)
               dy/dx  Std. Err contrast
        GPA   0.3608    0.1134
        TUCE  0.0115    0.0184
        PSI   0.3738    0.1400    1 - 0
        >>> r.ame("GPA", at={"GPA": [2.5, 3.5]})[["dy/dx", "Std. Err"]].round(4)
                  dy/dx  Std. Err
        GPA term
        2.5 GPA  0.2346    0.0656
        3.5 GPA  0.4933    0.2253
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

        Raises
        ------
        ValueError
            As :meth:`ame` does for ``at``, ``by``, ``alpha`` and ``chunk_size``; for ``at`` or ``by`` with a
            fit of arrays.

        Examples
        --------
        >>> import pandas as pd, quorbis
        >>> r = quorbis.probit("GRADE ~ GPA + TUCE + PSI", pd.read_csv("examples/grades.csv"))
        >>> r.margins().round(4)
                 predicted  Std. Err  [0.025  0.975]
        average     0.3427    0.0628  0.2196  0.4658
        >>> r.margins(at={"PSI": [0, 1]}).round(4)
             predicted  Std. Err  [0.025  0.975]
        PSI
        0       0.1740    0.0829  0.0116  0.3364
        1       0.5477    0.1123  0.3276  0.7679
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
        """Draws the average marginal effects with their (1 - alpha) intervals.

        The contrasts of a categorical variable are drawn together under its name. Needs matplotlib:
        ``pip install 'quorbis[plot]'``.

        Parameters
        ----------
        ax : matplotlib.axes.Axes, optional
            The Axes to draw on; a new figure's when None.
        alpha : float, default 0.05
            One minus the intervals' confidence level.
        **options
            Passed to :meth:`ame`: ``variables``, ``at``, ``by``.

        Returns
        -------
        matplotlib.axes.Axes
            The Axes drawn on, one line per effect, the effects' names as tick labels.

        Raises
        ------
        ImportError
            When matplotlib is not installed.

        Examples
        --------
        >>> import pandas as pd, quorbis
        >>> r = quorbis.probit("GRADE ~ GPA + TUCE + PSI", pd.read_csv("examples/grades.csv"))
        >>> ax = r.plot_ame()
        >>> [tick.get_text() for tick in ax.get_yticklabels()]
        ['GPA', 'TUCE', 'PSI']
        """
        return _report.plot_effects(self.ame(**options), alpha, ax)

    def summary(self) -> _report.Summary:
        """The fit as a table: model statistics, then coefficients with tests and 95 % intervals.

        Returns
        -------
        Summary
            A str of the table's text, shown as HTML in a notebook; ``.tables`` holds its parts as DataFrames,
            ``.notes`` the warnings.

        Examples
        --------
        >>> import pandas as pd, quorbis
        >>> r = quorbis.probit("GRADE ~ GPA + TUCE + PSI", pd.read_csv("examples/grades.csv"))
        >>> print(r.summary())
                                  Probit Regression Results
        ==============================================================================
        Dep. Variable:                  GRADE  No. Observations:                    32
        Model:                         Probit  Dropped rows:                         0
        Covariance Type:            nonrobust  Log-Likelihood:                 -12.819
        Clusters:                           -  LL-Null:                        -20.592
        Converged:                       True  Pseudo R-squ.:                   0.3775
        Iterations:                         9  AIC / BIC:              33.638 / 39.501
        ==============================================================================
                     coef  std err       z  P>|z|   [0.025  0.975]
        Intercept -7.4523   2.5425 -2.9311 0.0034 -12.4355 -2.4692
        GPA        1.6258   0.6939  2.3431 0.0191   0.2658  2.9858
        TUCE       0.0517   0.0839  0.6166 0.5375  -0.1127  0.2162
        PSI        1.4263   0.5950  2.3970 0.0165   0.2601  2.5926
        ==============================================================================
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
