"""ProbitResult: a fit seen under its column names, with the statistics read off a probit table."""

from __future__ import annotations

import math
import statistics
from types import SimpleNamespace
from typing import Any

import numpy as np
import pandas as pd

from . import _report
from ._design import Design, design_for, is_dask_frame
from ._fit import driver, fit_rows
from ._separation import Separation

# Phi(x) = erfc(-x / sqrt 2) / 2 with the C library's erfc, one call per row.
_erfc = np.frompyfunc(math.erfc, 1, 1)


def normal_cdf(x: np.ndarray) -> np.ndarray:
    return 0.5 * np.asarray(_erfc(np.asarray(x, dtype=np.float64) * -math.sqrt(0.5)), dtype=np.float64)


def _predicted(exog: np.ndarray, coef: np.ndarray) -> np.ndarray:
    return normal_cdf(exog @ coef)


def _predict_frame(newdata: Any, spec: Any, columns: list[Any], coef: np.ndarray) -> Any:
    """columns: the labels of the fitted columns, as newdata (or its design under spec) names them."""
    if spec is not None:
        newdata = design_for(spec, newdata)
    if isinstance(newdata, pd.DataFrame):
        absent = [c for c in columns if c not in newdata.columns]
        if absent:
            raise ValueError(f"newdata lacks the columns {', '.join(map(str, absent))}")
        repeated = [c for c in columns if isinstance(newdata.columns.get_loc(c), (slice, np.ndarray))]
        if repeated:
            raise ValueError(f"newdata has several columns named {', '.join(map(repr, repeated))}")
        values = np.column_stack([newdata[c].to_numpy(dtype=np.float64, na_value=np.nan) for c in columns]) \
            if columns else np.empty((len(newdata), 0))
        return pd.Series(normal_cdf(values @ coef), index=newdata.index, name="predicted")
    values = np.asarray(newdata, dtype=np.float64)
    values = values.reshape(1, -1) if values.ndim == 1 else values
    if values.ndim != 2 or values.shape[1] != len(coef):
        raise ValueError(f"newdata must have {len(coef)} columns, not shape {values.shape}")
    return normal_cdf(values @ coef)


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
        Rows used in the fit.
    dropped_rows : int
        Rows left out for missing values.
    llf, llnull : float
        Log-likelihood of the model and of the constant-only model (closed form n1 ln p + n0 ln(1 - p),
        p the share of ones; it is the reference even for a design without a constant).
    prsquared : float
        McFadden's pseudo R-squared, 1 - llf / llnull.
    aic, bic : float
        -2 llf + 2 k and -2 llf + k ln(nobs), k the number of coefficients.
    converged : bool
        Whether the log-likelihood settled within ``tol``.
    iterations : int
        Number of iterations run.
    cov_type : str
        "nonrobust", "HC0" (robust), "HC1" (robust with N/(N-K)) or "cluster".
    n_clusters : int or None
        Number of clusters (cells of the cluster variables) when clustered.
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
        self._labels = design.labels
        self.separation: Separation | None = separation
        self._ones = design.ones
        self._constants = design.constants
        self._fit_options = (max_iter, tol, robust)
        self.exog_names: list[str] = list(design.exog_names)
        self.endog_name: str = design.endog_name
        self.formula: str | None = design.formula
        self._spec = design.spec
        self.n_clusters: int | None = design.n_clusters
        self.dropped_rows: int = design.dropped_rows
        self.small_sample: bool = small_sample
        self.notes: list[str] = list(notes)
        self.nobs: int = len(self._endog)
        self.llf: float = float(raw.loglike)
        # Under separation the likelihood has no maximum to converge to.
        self.converged: bool = bool(raw.converged) and (separation is None or separation.dropped)
        self.iterations: int = 0 if max_iter == 0 else int(raw.iterations) + 1
        self.cov_type: str = _cov_type(design.clusters is not None, robust, small_sample)
        names = pd.Index(self.exog_names)
        self.params: pd.Series = pd.Series(np.array(raw.params), index=names, name="coef")
        cov = np.array(raw.cov_params()) * self._small_sample_factor()
        if self.n_clusters == 1:
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
        n, k, g = self.nobs, len(self.exog_names), self.n_clusters
        if n <= k or (g is not None and g < 2):
            return math.nan  # no residual degrees of freedom, or a single cluster
        return n / (n - k) if g is None else g / (g - 1) * (n - 1) / (n - k)

    @property
    def llnull(self) -> float:
        n1 = self._ones
        n0 = self.nobs - n1
        p = n1 / self.nobs
        return sum(count * math.log(share) for count, share in ((n1, p), (n0, 1.0 - p)) if count)

    @property
    def prsquared(self) -> float:
        llnull = self.llnull
        return 1.0 - self.llf / llnull if llnull else math.nan

    @property
    def aic(self) -> float:
        return -2.0 * self.llf + 2.0 * len(self.exog_names)

    @property
    def bic(self) -> float:
        return -2.0 * self.llf + len(self.exog_names) * math.log(self.nobs)

    @property
    def raw(self) -> Any:
        # An unpickled result refits: fit_probit gives bit-identical results for the same data.
        if self._raw is None:
            max_iter, tol, robust = self._fit_options
            self._raw = fit_rows(self._endog, self._exog, self._clusters, max_iter, tol, robust)[0]
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

    def predict(self, newdata: Any = None) -> Any:
        """Predicted probabilities Phi(x . b).

        Parameters
        ----------
        newdata : DataFrame (pandas or Dask), array or None
            For a formula fit, data with the formula's variables (the same transforms and categories
            apply; a category not seen in the fit is an error). For a fit on arrays, a design matrix with
            the fitted columns (a DataFrame's columns are taken by name). None: the rows of the fit.

        Returns
        -------
        pandas.Series, numpy.ndarray or their Dask counterparts
            A Series indexed like ``newdata`` when it is a DataFrame, else an array. Rows with a
            missing value get NaN. A Dask DataFrame gives a Dask Series, partition by partition; None
            gives a Dask array when the fit was on a Dask DataFrame.
        """
        coef = self.params.to_numpy()
        if newdata is None:
            if isinstance(self._exog, np.ndarray):
                return _predicted(self._exog, coef)
            return self._exog.map_blocks(_predicted, coef, drop_axis=1, dtype=np.float64)
        if is_dask_frame(newdata):
            return newdata.map_partitions(_predict_frame, self._spec, self._columns(), coef,
                                          meta=pd.Series(dtype=np.float64, name="predicted"))
        return _predict_frame(newdata, self._spec, self._columns(), coef)

    def _columns(self) -> list[Any]:
        # A fit on a DataFrame X reads new data by X's own labels (integers, tuples), not their text.
        return self.exog_names if self._labels is None else list(self._labels)

    def ame(self, chunk_size: int | None = None) -> pd.DataFrame:
        """Average marginal effects of every regressor but the constant, with delta-method errors.

        A column of 0 and 1 gets the discrete change from 0 to 1, any other column the derivative.
        The covariance is that of this fit (robust, clustered, with the small-sample factor if chosen).

        Parameters
        ----------
        chunk_size : int, optional
            Rows per chunk, to bound the working memory; the results equal those of one chunk up to
            rounding.

        Returns
        -------
        pandas.DataFrame
            Columns "dy/dx", "Std. Err", "z", "Pr(>|z|)" and "Significance", one row per regressor.

        Examples
        --------
        >>> quorbis.probit("GRADE ~ GPA + TUCE + PSI", data).ame()  # doctest: +SKIP
        """
        constants = set(self._constants)
        # ame leaves out columns named const and takes the others' names as row labels: name them
        # neutrally for the call and put the real names back.
        labels = ["const" if j in constants else f"x{j}" for j in range(len(self.exog_names))]
        view = SimpleNamespace(params=self.params.to_numpy(), cov_params=lambda: self._cov,
                               model=SimpleNamespace(exog=self._exog, exog_names=labels))
        table: pd.DataFrame = driver(self._exog).ame(view, chunk_size)
        table.index = [self.exog_names[j] for j in range(len(labels)) if j not in constants]
        return table

    def plot_ame(self, ax: Any = None, alpha: float = 0.05) -> Any:
        """Draws the average marginal effects with their (1 - alpha) intervals; returns the Axes.

        Needs matplotlib: ``pip install 'quorbis[plot]'``.
        """
        return _report.plot_effects(self.ame(), alpha, ax)

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
