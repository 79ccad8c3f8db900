"""probit(): from a formula and a DataFrame, or from y and X, to a ProbitResult."""

from __future__ import annotations

import warnings
from typing import Any

from . import _design, _quorbis
from ._diagnostics import ProbitWarning, cluster_notes, diagnose, extreme_rows
from ._effects_design import has_effects
from ._fit import Options, fit_design
from ._options import SEPARATION, choice, flag
from ._result import ProbitResult
from ._separation import check as separation_check
from ._weights import WEIGHTS_TYPES

# The extension's defaults, so that probit() and fit_probit() fit alike when neither is told otherwise.
_MAX_ITER: int = _quorbis._DEFAULTS["max_iter"]
_TOL: float = _quorbis._DEFAULTS["tol"]


def probit(formula: Any, data: Any, *, robust: bool | None = None, cluster: Any = None, weights: Any = None,
           weights_type: str = "probability", missing: str = "drop", max_iter: int = _MAX_ITER, tol: float = _TOL,
           small_sample: bool = False, bias_correction: str | None = None, L: int = 0,
           separation: str = "warn") -> ProbitResult:
    """Fits a probit model P(y = 1 | x) = Phi(x . b) by maximum likelihood.

    Parameters
    ----------
    formula : str or array_like
        A formula such as ``"y ~ x + C(group) + x:z + np.log(w)"``: categorical terms get treatment
        dummies, ``a:b`` and ``a*b`` interactions, and an intercept is included unless the formula says
        ``- 1``. After ``|``, fixed effects: ``"y ~ x1 + x2 | firm + year"`` adds one effect per level of
        each listed column (or per cell of a combination ``firm:year``) in place of the intercept, and
        returns a :class:`FixedEffectsResult`. Or the outcome itself (Series or array), with ``data`` the
        design matrix.
    data : DataFrame or array_like
        The data the formula refers to, a pandas or a Dask DataFrame (see Notes); or, with an outcome as
        first argument, the design matrix X (a DataFrame, whose column names name the coefficients, or a
        2-D array, columns x0, x1, ...; include the constant column yourself).
    robust : bool, optional
        Heteroskedasticity-robust (sandwich) covariance. True or False only (NumPy's bools too). By default
        the classical covariance, except under probability weights, which take the sandwich and refuse
        ``robust=False``.
    cluster : str, list of str, Series, DataFrame or array_like, optional
        Cluster-robust covariance: a variable of any dtype, or several, each a dimension of multiway
        clustering (``["firm", "year"]`` is two-way, Cameron, Gelbach and Miller 2011); for clusters that are
        the cells of several variables, pass one combined column. Names refer to columns of ``data``;
        arrays are matched to the rows by position (the columns of a 2-D array are dimensions), pandas
        objects must share the data's index; with a Dask DataFrame, only names. Implies ``robust``.
    weights : str or array_like, optional
        A weight per row: the name of a column of ``data``, or the values (matched by position; a Series
        must share the data's index). Finite numbers of at least 0; rows of weight 0 are left out and
        counted in ``zero_weight_rows``. Missing values in a weights column follow ``missing``.
    weights_type : {"probability", "frequency"}, default "probability"
        Probability (sampling) weights: the pseudo-likelihood sum w ln Phi(q x.b) with the sandwich
        covariance of weighted scores (each row its own cluster unless ``cluster`` is given). Frequency
        weights: each row stands for w identical rows (whole numbers only), and every statistic is that of
        the rows so repeated.
    missing : {"drop", "raise"}, default "drop"
        Rows with a missing value in the outcome, the regressors, the cluster variables or a weights column
        are dropped (their number is ``dropped_rows``), or a ValueError names the columns that hold them.
    max_iter : int, default 35
        Iteration limit, the Newton steps that end the fit included.
    tol : float, default 1e-6
        Tolerance of the quasi-Newton phase on the change of the log-likelihood; Newton steps then go on
        until the coefficients are within 1e-8 standard errors of the maximum (for a ``tol`` below 1e-6,
        within 1e-8 sqrt(tol / 1e-6), but no less than 1e-12).
    small_sample : bool, default False
        Multiply a cluster-robust covariance by G/(G-1) (N-1)/(N-K), G clusters, N rows, K coefficients
        (statsmodels' default correction for clusters), a multiway one term by term with each term's G; a
        robust one by N/(N-K), the HC1 factor of linear models. No effect on the classical covariance. N
        is the sum of frequency weights. With fixed effects, K counts the identified effects too, except,
        for clusters, those of dimensions nested within the clusters. True or False only.
    bias_correction : {None, "analytical"}, default None
        With fixed effects of individuals (the first dimension), or of individuals and periods (the first
        and second): "analytical" corrects the slopes, and the average partial effects of ``ame()``, for
        the incidental-parameter bias as in Fernandez-Val and Weidner (2016); the maximum likelihood fit
        stays available as the result's ``uncorrected``.
    L : int, default 0
        The bandwidth of the correction: 0 for strictly exogenous regressors; for predetermined ones (a
        lagged outcome, say), the number of lags of the scores it takes into account. An individual's
        periods are its rows in order of the second dimension's values (in row order with individual
        effects only).
    separation : {"warn", "drop", "raise"}, default "warn"
        Without fixed effects: when columns predict the outcome perfectly in some rows (found by linear
        programming once the fit shows the signs), warn, with the standard errors of the coefficients that
        run off to infinity NaN; leave those rows out, with the columns only they identify, and refit; or
        raise. (Fixed effects leave out perfectly predicted levels themselves.)

    Returns
    -------
    ProbitResult
        The estimates, tests and predictions; a :class:`FixedEffectsResult` for a formula with fixed effects.

    Raises
    ------
    TypeError
        For ``robust`` or ``small_sample`` not a bool; a Dask DataFrame with arrays in place of a formula, or
        with a formula of fixed effects.
    ValueError
        For an outcome that is not 0/1 (or boolean) or takes one value only, missing values with
        ``missing="raise"``, infinite or complex values, inputs of different lengths, a name that two
        columns hold (or that hides the constant or a transform the formula calls), separation with
        ``separation="raise"``, weights that are negative, NaN or infinite (or fractional frequency
        weights), ``robust=False`` with probability weights; for a Dask DataFrame, also a formula its
        partitions cannot compute one by one (see Notes).

    Notes
    -----
    A formula is Python code, run by formulaic (and again by ``predict``): never build one from text you do
    not trust.

    A Dask DataFrame (``pip install 'quorbis[dask]'``) is fitted where its partitions are, with the
    numbers of the in-memory fit of the same rows up to rounding (1e-12 relative). Two passes over the
    partitions come first: one learns the levels of the categorical variables over all rows and finds the
    missing values, the other checks the outcome and the values as the in-memory path does and numbers the
    clusters; then every pass of the fit, the warnings' checks and ``ame`` are Dask computations over the
    partitions (those of :func:`quorbis.dask.fit_probit`), and no partition's rows leave its worker.
    Transforms that learn from all rows, such as ``center(x)`` or ``scale(x)``, are refused there: make
    them columns first.

    Warns
    -----
    ProbitWarning
        When separation is found, the fit did not converge, the Hessian is singular (naming collinear
        columns), the design has no constant, levels of a categorical occur in no row, the covariance
        is clustered over fewer than k + 1 clusters (in the dimension with the fewest), or a multiway
        covariance was not positive semi-definite (its negative eigenvalues are then set to 0).

    Examples
    --------
    >>> import pandas as pd, quorbis
    >>> data = pd.read_csv("examples/grades.csv")
    >>> r = quorbis.probit("GRADE ~ GPA + TUCE + PSI", data, robust=True)
    >>> r.params.round(3).to_dict()
    {'Intercept': -7.452, 'GPA': 1.626, 'TUCE': 0.052, 'PSI': 1.426}
    >>> list(r.ame().index)
    ['GPA', 'TUCE', 'PSI']
    >>> survey = data.assign(w=[1.5, 2.0, 0.5, 1.0] * 8)
    >>> quorbis.probit("GRADE ~ GPA + TUCE + PSI", survey, weights="w").cov_type
    'HC0'

    Arrays in place of a formula, with the constant column added by hand:

    >>> X = data[["GPA", "TUCE", "PSI"]].assign(const=1.0)
    >>> quorbis.probit(data["GRADE"], X).params.round(3).to_dict()
    {'GPA': 1.626, 'TUCE': 0.052, 'PSI': 1.426, 'const': -7.452}
    """
    robust = None if robust is None else flag(robust, "robust")
    small_sample = flag(small_sample, "small_sample")
    missing = choice(missing, "missing", ("drop", "raise"))
    separation = choice(separation, "separation", SEPARATION)
    weights_type = choice(weights_type, "weights_type", WEIGHTS_TYPES)
    if robust is False and weights is not None and weights_type == "probability":
        raise ValueError(_quorbis._MESSAGES["probability_classical"])
    if has_effects(formula):
        if _design.is_dask_frame(data):
            raise TypeError("a formula with fixed effects needs a pandas DataFrame")
        if separation != "warn":
            raise ValueError("separation applies to fits without fixed effects, which leave out perfectly "
                             "predicted levels themselves")
        from ._fixed_effects import probit_with_effects

        return probit_with_effects(formula, data, robust=bool(robust), cluster=cluster, weights=weights,
                                   weights_type=weights_type, missing=missing, max_iter=max_iter, tol=tol,
                                   small_sample=small_sample, bias_correction=bias_correction, L=L)
    if bias_correction is not None or L != 0:
        raise ValueError("bias_correction and L apply to fixed effects: write them after '|' in the formula, "
                         "as in 'y ~ x1 + x2 | firm + year'")
    design = _design_of(formula, data, cluster, missing, weights, weights_type)
    probability = design.weights is not None and not design.frequency
    robust = bool(robust) or design.clusters is not None or probability
    options = Options(max_iter, tol, robust, small_sample)
    raw, largest, negative = fit_design(design, options)
    suspect, extreme = extreme_rows(design.exog, raw.params, largest)
    checked = separation_check(design, raw, suspect, separation)
    if checked is not None and checked.design is not None:
        design = checked.design
        raw, _, negative = fit_design(design, options)
    found = None if checked is None else checked.separation
    notes = [*design.notes, *([] if checked is None or checked.note is None else [checked.note])]
    # Once the test has run, rows at 0 or 1 are explained: by the separation found, or by strong effects.
    notes += diagnose(design.exog, design.exog_names, raw.params, raw.cov_params(), raw.converged, max_iter,
                      design.constants, extreme=0 if checked is not None else extreme,
                      separated=found is not None and not found.dropped)
    notes += cluster_notes(design.n_clusters, design.cluster_names, len(design.exog_names), negative)
    for note in notes:
        warnings.warn(note, ProbitWarning, stacklevel=2)
    return ProbitResult(design, raw, max_iter=max_iter, tol=tol, robust=robust, small_sample=small_sample,
                        notes=notes, separation=found)


probit.__module__ = "quorbis"


def _design_of(formula: Any, data: Any, cluster: Any, missing: str, weights: Any,
               weights_type: str) -> _design.Design:
    if not _design.is_dask_frame(data):
        if isinstance(formula, str):
            return _design.from_formula(formula, data, cluster, missing, weights, weights_type)
        return _design.from_arrays(formula, data, cluster, missing, weights, weights_type)
    if not isinstance(formula, str):
        raise TypeError("a Dask DataFrame needs a formula, such as 'y ~ x1 + x2'")
    from ._dask_frame import from_dask_frame

    return from_dask_frame(formula, data, cluster, missing, weights, weights_type)
