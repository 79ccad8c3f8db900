"""FixedEffectsResult: a probit with fixed effects seen as a ProbitResult, plus its effects."""

from __future__ import annotations

import functools
import math
from types import SimpleNamespace
from typing import Any

import numpy as np
import pandas as pd

from . import _quorbis, _report
from ._design import Design, design_for, is_dask_frame
from ._effects_design import Effects
from ._predictions import normal_cdf
from ._result import ProbitResult


def fit_fixed_effects(endog: Any, exog: Any, codes: np.ndarray, max_iter: int, tol: float, robust: bool,
                      clusters: Any, bias_L: int | None, small_sample: bool) -> Any:
    """The extension's fit with fixed effects as a record: its dict's entries as attributes, with
    cov_params() a method as on the results of fit_probit."""
    return _record(_quorbis._fit_fixed_effects(endog, exog, codes, max_iter, tol, robust, clusters, bias_L,
                                               small_sample))


def _record(entries: dict[str, Any]) -> SimpleNamespace:
    cov = entries.pop("cov_params")
    uncorrected = entries.pop("uncorrected", None)
    return SimpleNamespace(**entries, cov_params=lambda: cov,
                           uncorrected=None if uncorrected is None else _record(uncorrected))


class FixedEffectsResult(ProbitResult):
    """The result of :func:`quorbis.probit` with fixed effects, ``"y ~ x1 + x2 | firm + year"``.

    A :class:`ProbitResult` whose ``params``, ``bse``, ``cov_params()`` and tests are those of the slopes;
    ``nobs`` counts the rows used, after those of perfectly predicted levels were removed.

    Attributes
    ----------
    effect_names : list of str
        The dimensions of the effects, as the formula names them ("firm", "year", "firm:year").
    n_levels : dict of str to int
        The number of levels of each dimension that the fit estimated.
    removed_rows : int
        Rows left out because a level they belong to has outcomes all 0 or all 1 (its effect would be
        infinite); removal repeats over all dimensions until no such level is left.
    removed_levels : dict of str to int
        The number of such levels of each dimension.
    omitted : list of str
        Columns left out because the effects (with the other columns) explain them exactly.
    bias_correction : str or None
        "analytical" when the slopes are bias-corrected, else None.
    L : int
        The bandwidth of the correction (0: strictly exogenous regressors).
    uncorrected : FixedEffectsResult or None
        For a corrected fit, the maximum likelihood fit it corrects.

    Notes
    -----
    ``llf``, ``llnull``, ``prsquared``, ``aic`` and ``bic`` are those of the maximum likelihood fit (for
    ``aic`` and ``bic`` the parameters count the identified effects too); a corrected fit reports them
    unchanged. For a corrected fit every other statistic -- covariance, ``fixef()``, ``predict()``,
    ``ame()`` -- is evaluated at the corrected slopes and the effects that maximise the likelihood given
    them.

    Examples
    --------
    >>> import numpy as np, pandas as pd, quorbis
    >>> rng = np.random.default_rng(1)
    >>> panel = pd.DataFrame({"firm": np.repeat(range(40), 10), "year": np.tile(range(10), 40),
    ...                       "x": rng.normal(size=400)})
    >>> shock = np.repeat(rng.normal(0, 0.5, 40), 10)
    >>> panel["y"] = (panel.x + shock + rng.normal(size=400) > 0).astype(int)
    >>> r = quorbis.probit("y ~ x | firm + year", panel)
    >>> r
    <FixedEffectsResult y ~ x | firm + year: nobs=400, llf=-188.735, nonrobust, converged>
    >>> r.effect_names, r.n_levels, r.removed_rows, r.omitted
    (['firm', 'year'], {'firm': 40, 'year': 10}, 0, [])
    >>> corrected = quorbis.probit("y ~ x | firm + year", panel, bias_correction="analytical")
    >>> round(float(corrected.params["x"]), 4), round(float(corrected.uncorrected.params["x"]), 4)
    (0.9398, 1.0974)
    """

    __module__ = "quorbis"

    def __init__(self, design: Design, effects: Effects, raw: Any, *, max_iter: int, tol: float, robust: bool,
                 small_sample: bool, notes: list[str], bias_correction: str | None, L: int, removed_rows: int,
                 omitted: list[str], uncorrected: FixedEffectsResult | None = None) -> None:
        # design and effects hold the rows and columns that the fit used (see _fixed_effects.used_rows); raw
        # is the extension's record, whose slopes include the omitted columns as NaN.
        self._effects = effects
        self._effect_values: list[np.ndarray] = [np.asarray(v, dtype=np.float64) for v in raw.effects]
        self.effect_names: list[str] = list(effects.names)
        self.n_levels: dict[str, int] = {name: int(np.isfinite(v).sum())
                                         for name, v in zip(effects.names, self._effect_values)}
        self.removed_rows = removed_rows
        self.removed_levels: dict[str, int] = {name: int(n) for name, n in zip(effects.names, raw.removed_levels)}
        self.omitted = omitted
        self.bias_correction = bias_correction
        self.L = L
        self.uncorrected = uncorrected
        self._fit_arguments = (max_iter, tol, robust, bias_correction, L, small_sample)
        columns = np.flatnonzero(~np.isin(np.arange(len(raw.params)), np.asarray(raw.omitted, dtype=np.int64)))
        cov = np.asarray(raw.cov_params())[np.ix_(columns, columns)]
        view = SimpleNamespace(params=np.asarray(raw.params)[columns], cov_params=lambda: cov, loglike=raw.loglike,
                               converged=raw.converged, iterations=raw.iterations,
                               model=SimpleNamespace(exog=design.exog, endog=design.endog))
        super().__init__(design, view, max_iter=max_iter, tol=tol, robust=robust, small_sample=small_sample,
                         notes=notes)
        self._raw = raw

    # ---- the count of estimated parameters ----

    @functools.cached_property
    def _components(self) -> np.ndarray | None:
        """For two dimensions, the connected set of each level of the first and of the second dimension
        (levels linked by sharing a row), one array of labels after the other; None otherwise."""
        if len(self.effect_names) != 2:
            return None
        from scipy.sparse import coo_matrix
        from scipy.sparse.csgraph import connected_components

        sizes = [len(v) for v in self._effect_values]
        codes = self._effects.codes
        edges = coo_matrix((np.ones(len(codes)), (codes[:, 0], sizes[0] + codes[:, 1])),
                           shape=(sum(sizes), sum(sizes)))
        return np.asarray(connected_components(edges, directed=False)[1])

    @property
    def n_effects(self) -> int:
        """The number of effects the data identify: the levels of all dimensions, less one per connected
        set of levels beyond the first dimension (for three or more dimensions, less one per dimension
        beyond the first, which is exact when their levels are linked enough).

        Examples
        --------
        >>> import numpy as np, pandas as pd, quorbis
        >>> rng = np.random.default_rng(1)
        >>> panel = pd.DataFrame({"firm": np.repeat(range(40), 10), "year": np.tile(range(10), 40),
        ...                       "x": rng.normal(size=400)})
        >>> shock = np.repeat(rng.normal(0, 0.5, 40), 10)
        >>> panel["y"] = (panel.x + shock + rng.normal(size=400) > 0).astype(int)
        >>> r = quorbis.probit("y ~ x | firm + year", panel)
        >>> r.n_levels, r.n_effects
        ({'firm': 40, 'year': 10}, 49)
        """
        levels = sum(self.n_levels.values())
        if self._components is not None:
            first = self._components[:len(self._effect_values[0])]
            return levels - len(np.unique(first[np.isfinite(self._effect_values[0])]))
        return levels - (len(self.effect_names) - 1)

    def _small_sample_factor(self) -> float:
        if not self.small_sample or self.cov_type == "nonrobust":
            return 1.0
        clustered = self._cluster_counts is not None
        return self._sample_factor(len(self.exog_names) + self.n_effects - (self._nested_effects() if clustered else 0))

    def _nested_effects(self) -> int:
        """The effects of the dimensions whose every level lies within one cluster (of some clustering
        dimension): the clusters' own sums absorb them, so the cluster factor does not count them."""
        clusters = np.asarray(self._clusters)
        nested = 0
        for d, name in enumerate(self.effect_names):
            for c in range(clusters.shape[1]):
                pairs = np.unique(np.column_stack([self._effects.codes[:, d], clusters[:, c]]), axis=0)
                if len(pairs) == self.n_levels[name]:
                    nested += self.n_levels[name]
                    break
        return nested

    @property
    def aic(self) -> float:
        """Akaike's information criterion, -2 llf + 2 (k + n_effects): the identified effects count.

        Examples
        --------
        >>> import numpy as np, pandas as pd, quorbis
        >>> rng = np.random.default_rng(1)
        >>> panel = pd.DataFrame({"firm": np.repeat(range(40), 10), "year": np.tile(range(10), 40),
        ...                       "x": rng.normal(size=400)})
        >>> shock = np.repeat(rng.normal(0, 0.5, 40), 10)
        >>> panel["y"] = (panel.x + shock + rng.normal(size=400) > 0).astype(int)
        >>> r = quorbis.probit("y ~ x | firm + year", panel)
        >>> round(r.aic, 3)
        477.47
        """
        return -2.0 * self.llf + 2.0 * (len(self.exog_names) + self.n_effects)

    @property
    def bic(self) -> float:
        """The Bayesian information criterion, -2 llf + (k + n_effects) ln(nobs).

        Examples
        --------
        >>> import numpy as np, pandas as pd, quorbis
        >>> rng = np.random.default_rng(1)
        >>> panel = pd.DataFrame({"firm": np.repeat(range(40), 10), "year": np.tile(range(10), 40),
        ...                       "x": rng.normal(size=400)})
        >>> shock = np.repeat(rng.normal(0, 0.5, 40), 10)
        >>> panel["y"] = (panel.x + shock + rng.normal(size=400) > 0).astype(int)
        >>> r = quorbis.probit("y ~ x | firm + year", panel)
        >>> round(r.bic, 3)
        677.043
        """
        return -2.0 * self.llf + (len(self.exog_names) + self.n_effects) * math.log(self.nobs)

    # ---- the effects ----

    def fixef(self) -> dict[str, pd.Series]:
        """The estimated effects of each dimension, as Series indexed by the level's values.

        Only differences of effects are identified, so they are normalised: with one dimension they are
        as estimated; with more, the first level (in sorted order) of each dimension after the first is 0
        and the first dimension takes up the shift. With two dimensions whose levels fall into several
        connected sets (no row links one set to another), that holds within each set. Levels removed as
        perfectly predicted are left out.

        Returns
        -------
        dict of str to pandas.Series
            One Series per dimension, named after it, indexed by its levels' values.

        Examples
        --------
        >>> import numpy as np, pandas as pd, quorbis
        >>> rng = np.random.default_rng(1)
        >>> panel = pd.DataFrame({"firm": np.repeat(range(40), 10), "year": np.tile(range(10), 40),
        ...                       "x": rng.normal(size=400)})
        >>> shock = np.repeat(rng.normal(0, 0.5, 40), 10)
        >>> panel["y"] = (panel.x + shock + rng.normal(size=400) > 0).astype(int)
        >>> r = quorbis.probit("y ~ x | firm + year", panel)
        >>> effects = r.fixef()
        >>> list(effects), len(effects["firm"])
        (['firm', 'year'], 40)
        >>> effects["year"].head(3).round(3)
        0    0.000
        1    0.208
        2    0.250
        Name: year, dtype: float64
        """
        values = _normalised(self._effect_values, self._components)
        return {name: pd.Series(v[np.isfinite(v)], index=levels[np.isfinite(v)], name=name)
                for name, v, levels in zip(self.effect_names, values, self._effects.levels)}

    def _offsets(self, codes: np.ndarray) -> np.ndarray:
        """Each row's sum of its effects; NaN where a level was not estimated (-1: not seen in the fit)."""
        total = np.zeros(len(codes))
        for d, values in enumerate(self._effect_values):
            found = codes[:, d] >= 0
            total += np.where(found, values[np.where(found, codes[:, d], 0)], np.nan)
        return total

    @property
    def raw(self) -> Any:
        """The record of the extension's fit underneath: ``params`` and ``cov_params()`` of all the formula's
        columns (NaN for omitted ones), ``loglike``, ``iterations``, ``converged``, ``effects`` (one array
        per dimension, NaN for levels without rows), ``kept`` (the rows used) and ``removed_levels``.

        Examples
        --------
        >>> import numpy as np, pandas as pd, quorbis
        >>> rng = np.random.default_rng(1)
        >>> panel = pd.DataFrame({"firm": np.repeat(range(40), 10), "year": np.tile(range(10), 40),
        ...                       "x": rng.normal(size=400)})
        >>> shock = np.repeat(rng.normal(0, 0.5, 40), 10)
        >>> panel["y"] = (panel.x + shock + rng.normal(size=400) > 0).astype(int)
        >>> r = quorbis.probit("y ~ x | firm + year", panel)
        >>> r.raw.params.round(4), len(r.raw.effects), int(r.raw.kept.sum())
        (array([1.0974]), 2, 400)
        """
        if self._raw is None:
            max_iter, tol, robust, bias_correction, L, small_sample = self._fit_arguments
            self._raw = fit_fixed_effects(self._endog, self._exog, self._effects.codes, max_iter, tol, robust,
                                          self._clusters, L if bias_correction else None, small_sample)
        return self._raw

    def predict(self, newdata: Any = None) -> Any:  # type: ignore[override]
        """Predicted probabilities Phi(x . b + the rows' effects).

        Parameters
        ----------
        newdata : DataFrame or None
            Data with the formula's variables and the effects' columns. Rows whose level of some dimension
            was not estimated (not seen in the fit, or removed as perfectly predicted) get NaN, as do rows
            with a missing value. None: the fitted probabilities of the rows used.

        Returns
        -------
        pandas.Series or numpy.ndarray
            A Series indexed like ``newdata``; an array of the fitted rows for None.

        Raises
        ------
        TypeError
            For new data that are not a pandas DataFrame.
        ValueError
            For new data that lack a variable of the formula or a column of the effects.

        Examples
        --------
        >>> import numpy as np, pandas as pd, quorbis
        >>> rng = np.random.default_rng(1)
        >>> panel = pd.DataFrame({"firm": np.repeat(range(40), 10), "year": np.tile(range(10), 40),
        ...                       "x": rng.normal(size=400)})
        >>> shock = np.repeat(rng.normal(0, 0.5, 40), 10)
        >>> panel["y"] = (panel.x + shock + rng.normal(size=400) > 0).astype(int)
        >>> r = quorbis.probit("y ~ x | firm + year", panel)
        >>> r.predict(panel.head(3)).round(4)
        0    0.4556
        1    0.7321
        2    0.5485
        Name: predicted, dtype: float64
        """
        coef = self.params.to_numpy()
        if newdata is None:
            return normal_cdf(self._exog @ coef + self._offsets(self._effects.codes))
        if is_dask_frame(newdata) or not isinstance(newdata, pd.DataFrame):
            raise TypeError("predict of a fit with fixed effects takes a pandas DataFrame or None")
        design = design_for(self._spec, newdata)
        values = design[self.exog_names].to_numpy(dtype=np.float64, na_value=np.nan)
        return pd.Series(normal_cdf(values @ coef + self._offsets(self._codes_of(newdata))), index=newdata.index,
                         name="predicted")

    def _codes_of(self, frame: pd.DataFrame) -> np.ndarray:
        """The codes of the fit's levels for the rows of frame; -1 for a level the fit did not see."""
        columns = []
        for name, levels in zip(self.effect_names, self._effects.levels):
            variables = name.split(":")
            absent = [v for v in variables if v not in frame.columns]
            if absent:
                raise ValueError(f"newdata lacks the columns {', '.join(absent)}")
            values: Any = (frame[variables[0]].to_numpy() if len(variables) == 1
                           else pd.MultiIndex.from_frame(frame[variables]))
            columns.append(levels.get_indexer(values))
        return np.column_stack(columns)

    def margins(self, at: Any = None, by: Any = None, *, alpha: float = 0.05,
                chunk_size: int | None = None) -> pd.DataFrame:
        """Not for a fit with fixed effects: the averages of a formula's rows leave the effects out.

        Parameters
        ----------
        at, by, alpha, chunk_size
            Those of :meth:`ProbitResult.margins`.

        Returns
        -------
        pandas.DataFrame
            Never: it raises.

        Raises
        ------
        NotImplementedError
            Always; average :meth:`predict` over the rows you want instead.

        Examples
        --------
        >>> import numpy as np, pandas as pd, quorbis
        >>> rng = np.random.default_rng(1)
        >>> panel = pd.DataFrame({"firm": np.repeat(range(40), 10), "year": np.tile(range(10), 40),
        ...                       "x": rng.normal(size=400)})
        >>> shock = np.repeat(rng.normal(0, 0.5, 40), 10)
        >>> panel["y"] = (panel.x + shock + rng.normal(size=400) > 0).astype(int)
        >>> r = quorbis.probit("y ~ x | firm + year", panel)
        >>> r.margins()
        Traceback (most recent call last):
        NotImplementedError: margins() averages over the design without the fixed effects, so it is not offered ...
        >>> round(float(r.predict().mean()), 4)
        0.4322
        """
        raise NotImplementedError("margins() averages over the design without the fixed effects, so it is not "
                                  "offered for a fit with them; average predict() over the rows you want instead")

    # ---- average partial effects ----

    def ame(self, chunk_size: int | None = None, *, population: bool = True) -> pd.DataFrame:  # type: ignore[override]
        """Average partial effects of every slope, averaged over the rows with their estimated effects.

        A column of 0 and 1 gets the change from 0 to 1, any other column the derivative b_j phi(x.b + the
        row's effects). The average runs over all rows of the fit, those removed as perfectly predicted
        included with an effect of 0 (their fitted probabilities are 0 or 1), as in Fernandez-Val and
        Weidner (2016). The standard errors follow that paper: the delta method with respect to the slopes
        *and* the effects, under this fit's covariance (classical, robust or clustered, with its
        small-sample factor), plus, with ``population``, the variation of the partial effects over
        individuals and periods (effects of different levels independent); the share of removed rows is
        taken as fixed. A corrected fit's effects are evaluated at the corrected slopes, less their own
        estimated bias.

        Parameters
        ----------
        chunk_size : int, optional
            Accepted for the signature of :meth:`ProbitResult.ame`; the effects take one pass over the rows
            whatever it is.
        population : bool, default True
            Standard errors for the average effect of the population the rows were drawn from; False for
            the average over these rows, conditional on their regressors and effects.

        Returns
        -------
        pandas.DataFrame
            Columns "dy/dx", "Std. Err", "z", "Pr(>|z|)" and "Significance", one row per slope.

        Examples
        --------
        >>> import numpy as np, pandas as pd, quorbis
        >>> rng = np.random.default_rng(1)
        >>> panel = pd.DataFrame({"firm": np.repeat(range(40), 10), "year": np.tile(range(10), 40),
        ...                       "x": rng.normal(size=400)})
        >>> shock = np.repeat(rng.normal(0, 0.5, 40), 10)
        >>> panel["y"] = (panel.x + shock + rng.normal(size=400) > 0).astype(int)
        >>> r = quorbis.probit("y ~ x | firm + year", panel)
        >>> r.ame().round(4)
            dy/dx  Std. Err        z  Pr(>|z|) Significance
        x  0.2906    0.0219  13.2996       0.0          ***
        >>> r.ame(population=False)["Std. Err"].round(4)
        x    0.0204
        Name: Std. Err, dtype: float64
        """
        fit = SimpleNamespace(endog=self._endog, exog=self._exog, effects=self._effects.codes,
                              effect_values=self._effect_values, params=self.params.to_numpy(),
                              robust=self.cov_type != "nonrobust", clusters=self._clusters,
                              bias_correction=self.L if self.bias_correction else None,
                              factor=self._small_sample_factor(), small_sample=self.small_sample,
                              names=self.exog_names)
        table: pd.DataFrame = _quorbis._fixed_effects_ame(fit, population)
        share = self.nobs / (self.nobs + self.removed_rows)  # the removed rows' effects are 0
        table[["dy/dx", "Std. Err"]] *= share
        return table

    # ---- display ----

    def summary(self) -> _report.Summary:
        """The fit as a table: model statistics, the effects, then the slopes with tests and 95 % intervals.

        Returns
        -------
        Summary
            A str of the table's text, shown as HTML in a notebook; ``.tables`` holds its parts as DataFrames
            (the statistics, the effects' levels, the slopes), ``.notes`` the warnings.

        Examples
        --------
        >>> import numpy as np, pandas as pd, quorbis
        >>> rng = np.random.default_rng(1)
        >>> panel = pd.DataFrame({"firm": np.repeat(range(40), 10), "year": np.tile(range(10), 40),
        ...                       "x": rng.normal(size=400)})
        >>> shock = np.repeat(rng.normal(0, 0.5, 40), 10)
        >>> panel["y"] = (panel.x + shock + rng.normal(size=400) > 0).astype(int)
        >>> r = quorbis.probit("y ~ x | firm + year", panel)
        >>> r.summary().tables[1]
                       levels  removed levels
        Fixed effects
        firm               40               0
        year               10               0
        """
        return _report.Summary(self)

    def __repr__(self) -> str:
        state = "converged" if self.converged else "NOT converged"
        corrected = ", bias-corrected" if self.bias_correction else ""
        return (f"<FixedEffectsResult {self.formula}: nobs={self.nobs}, llf={self.llf:.6g}, {self.cov_type}"
                f"{corrected}, {state}>")


def _normalised(values: list[np.ndarray], components: np.ndarray | None) -> list[np.ndarray]:
    """The effects with the first level of each dimension after the first at 0 (per connected set for two
    dimensions), the shift taken up by the first dimension."""
    values = [v.copy() for v in values]
    if components is not None:
        first, second = components[:len(values[0])], components[len(values[0]):]
        for label in np.unique(second[np.isfinite(values[1])]):
            members = np.flatnonzero((second == label) & np.isfinite(values[1]))
            shift = values[1][members[0]]
            values[1][second == label] -= shift
            values[0][first == label] += shift
        return values
    for v in values[1:]:
        shift = v[np.flatnonzero(np.isfinite(v))[0]]
        v -= shift
        values[0] += shift
    return values
