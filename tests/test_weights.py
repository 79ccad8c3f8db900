"""Weights in probit(): frequency weights against the rows repeated, probability weights against the formula of
their sandwich and statsmodels' weighted GLM, the weights refused, and the same bits on every path."""

import math

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm
from conftest import simulate

import quorbis
from quorbis import _quorbis

FORMULA = "y ~ x + d + C(region)"
TIGHT = {"tol": 1e-12, "max_iter": 200}


def _data():
    rng = np.random.default_rng(21)
    n = 600
    data = pd.DataFrame({"x": rng.normal(size=n), "d": rng.integers(0, 2, n),
                         "region": rng.choice(["north", "south", "east"], n), "firm": rng.integers(0, 30, n)})
    data["y"] = (0.3 * data.x - 0.5 * data.d + 0.4 * (data.region == "east") + rng.normal(size=n) > 0) * 1.0
    data["f"] = rng.integers(0, 4, n)  # counts, some rows 0
    data["w"] = rng.uniform(0.2, 5.0, n)  # a survey's inverse probabilities of selection
    data["year"] = rng.integers(0, 12, n)
    return data


DATA = _data()
REPEATED = DATA.loc[DATA.index.repeat(DATA.f)]

COVARIANCES = {"classical": {}, "HC0": {"robust": True}, "HC1": {"robust": True, "small_sample": True},
               "cluster": {"cluster": "firm", "small_sample": True}, "two-way": {"cluster": ["firm", "year"]}}


@pytest.mark.parametrize("options", COVARIANCES.values(), ids=COVARIANCES)
@pytest.mark.filterwarnings("ignore:the 2-way cluster-robust covariance:quorbis.ProbitWarning")
def test_frequency_weights_give_the_fit_of_the_rows_repeated(assert_cov_close, options):
    weighted = quorbis.probit(FORMULA, DATA, weights="f", weights_type="frequency", **TIGHT, **options)
    repeated = quorbis.probit(FORMULA, REPEATED, **TIGHT, **options)
    assert (weighted.nobs, weighted.n_clusters, weighted.cov_type) == (len(REPEATED), repeated.n_clusters,
                                                                      repeated.cov_type)
    assert weighted.zero_weight_rows == int((DATA.f == 0).sum())
    np.testing.assert_allclose(weighted.params, repeated.params, rtol=1e-12)
    assert_cov_close(weighted.cov_params(), repeated.cov_params(), rtol=1e-12)
    for name in ("llf", "llnull", "aic", "bic", "prsquared"):
        assert getattr(weighted, name) == pytest.approx(getattr(repeated, name), rel=1e-12), name
    for table, expected in [(weighted.ame(), repeated.ame()), (weighted.margins(by="d"), repeated.margins(by="d")),
                            (weighted.ame(at="mean"), repeated.ame(at="mean"))]:
        np.testing.assert_allclose(table.iloc[:, :2], expected.iloc[:, :2], rtol=1e-12)


def test_frequency_weights_of_arrays_give_the_effects_of_the_rows_repeated():
    X = pd.get_dummies(DATA[["x", "d", "region"]], drop_first=True, dtype=float).assign(const=1.0)
    weighted = quorbis.probit(DATA.y, X, weights=DATA.f, weights_type="frequency", **TIGHT)
    repeated = quorbis.probit(REPEATED.y, X.loc[REPEATED.index], **TIGHT)
    effects, expected = weighted.ame(chunk_size=100), repeated.ame()
    assert list(effects.columns) == list(expected.columns) and list(effects.index) == list(expected.index)
    np.testing.assert_allclose(effects.iloc[:, :4], expected.iloc[:, :4], rtol=1e-12)


def test_the_point_estimates_are_statsmodels_weighted_glm():
    r = quorbis.probit(FORMULA, DATA, weights="w", **TIGHT)
    X = r.raw.model.exog
    glm = sm.GLM(DATA.y.to_numpy(), X, family=sm.families.Binomial(sm.families.links.Probit()),
                 freq_weights=DATA.w.to_numpy()).fit(tol=1e-13, maxiter=100)
    np.testing.assert_allclose(r.params, glm.params, rtol=1e-9)


@pytest.mark.parametrize("options", [{}, {"cluster": "firm"}, {"cluster": "firm", "small_sample": True},
                                     {"robust": True, "small_sample": True}],
                         ids=["each row its own cluster", "cluster", "cluster, G/(G-1)(N-1)/(N-K)", "HC1"])
def test_probability_weights_take_the_sandwich_of_weighted_scores(reference, assert_cov_close, options):
    r = quorbis.probit(FORMULA, DATA, weights="w", **TIGHT, **options)
    y, X, w, b = DATA.y.to_numpy(), r.raw.model.exog, DATA.w.to_numpy(), r.params.to_numpy()
    z, q, log_cdf, ratio = reference._terms(y, X, b)
    bread = np.linalg.inv(-(X * (w * q * q * ratio * (z + ratio))[:, None]).T @ X)
    groups = DATA.firm.to_numpy() if "cluster" in options else np.arange(len(y))
    sums = pd.DataFrame(w[:, None] * reference.scores(y, X, b)).groupby(groups).sum().to_numpy()
    n, k, g = len(y), len(b), len(sums)
    factor = 1.0 if not options.get("small_sample") else n / (n - k) if "cluster" not in options else \
        g / (g - 1) * (n - 1) / (n - k)
    assert_cov_close(r.cov_params(), factor * bread @ sums.T @ sums @ bread, rtol=1e-12)
    assert r.cov_type == ("cluster" if "cluster" in options else "HC1" if options else "HC0")
    assert r.llf == pytest.approx(w @ log_cdf, rel=1e-12)
    assert math.isnan(r.aic) and math.isnan(r.bic) and r.nobs == n


def test_a_pseudo_likelihood_is_named_so():
    statistics = quorbis.probit(FORMULA, DATA, weights="w").summary().tables[0]["value"]
    assert statistics["Log-Pseudolikelihood"] == "-1020.076" and statistics["AIC / BIC"] == "- / -"
    assert (statistics["Weights"], statistics["Zero-weight rows"]) == ("probability, w", "0")


def test_rows_of_weight_0_take_no_part_and_are_counted():
    zeroed = DATA.assign(w=DATA.w.where(DATA.firm != 3, 0.0), region=DATA.region.where(DATA.firm != 3, "west"))
    r = quorbis.probit(FORMULA, zeroed, weights="w", cluster="firm", **TIGHT)
    without = quorbis.probit(FORMULA, zeroed[zeroed.firm != 3], weights="w", cluster="firm", **TIGHT)
    assert r.zero_weight_rows == int((DATA.firm == 3).sum()) and r.nobs == without.nobs
    assert r.exog_names == without.exog_names  # the level only those rows held leaves with them
    assert r.n_clusters == 29 and r.dropped_rows == 0
    np.testing.assert_array_equal(r.params, without.params)
    np.testing.assert_array_equal(r.cov_params(), without.cov_params())


def test_a_weights_column_with_missing_values_follows_missing():
    holes = DATA.assign(w=DATA.w.where(DATA.index % 50 != 0))
    r = quorbis.probit(FORMULA, holes, weights="w")
    assert r.dropped_rows == 12 and r.nobs == len(DATA) - 12
    with pytest.raises(ValueError) as refused:
        quorbis.probit(FORMULA, holes, weights="w", missing="raise")
    assert str(refused.value) == "missing values in w (12 rows); pass missing='drop' to leave those rows out"


W = DATA.w.to_numpy()


@pytest.mark.parametrize("options, message", [
    ({"weights": np.where(DATA.index < 3, -1.0, W)},
     "weights must be finite numbers of at least 0: 3 rows have other weights (3 negative)"),
    ({"weights": np.where(DATA.index == 5, np.nan, np.where(DATA.index == 6, np.inf, W))},
     "weights must be finite numbers of at least 0: 2 rows have other weights (1 NaN, 1 infinite)"),
    ({"weights": "w", "weights_type": "frequency"},
     "frequency weights count rows, so they must be whole numbers: 600 rows have a fractional weight; pass "
     "weights_type='probability' for sampling weights"),
    ({"weights": "w", "robust": False}, _quorbis._MESSAGES["probability_classical"]),
    ({"weights": "w", "weights_type": "survey"}, "weights_type must be 'probability' or 'frequency', not 'survey'"),
    ({"weights": "v"}, "weights column not in data: v"),
    ({"weights": W[:-1]}, "weights has 599 rows, the data 600"),
    ({"weights": np.zeros(600)}, "no rows to fit: the weights of all 600 rows are 0"),
    ({"weights": pd.Series(W, index=DATA.index + 1)},
     "weights and the data have different indexes; align them first (arrays are matched by position)"),
], ids=["negative", "NaN and infinite", "fractional counts", "classical", "unknown type", "absent column",
        "length", "all 0", "index"])
def test_weights_refused(options, message):
    with pytest.raises(ValueError) as refused:
        quorbis.probit(FORMULA, DATA, **options)
    assert str(refused.value) == message


def test_weights_and_fixed_effects_are_refused():
    with pytest.raises(ValueError) as refused:
        quorbis.probit("y ~ x | firm", DATA, weights="w")
    assert str(refused.value) == "weights apply to fits without fixed effects: a fit with fixed effects takes no weights"


N = 3 * 4096 + 2 * 256 + 37  # many blocks, and a partial one
Y, X = simulate(N, 6, 5, dummy=True)
X = np.asfortranarray(X)
WEIGHTS = np.random.default_rng(6).uniform(0.0, 3.0, N)
COUNTS = np.floor(WEIGHTS)
CODES = [np.random.default_rng(7).integers(0, g, N).astype(float) for g in (60, 9)]


def _bits(weights, frequency, robust, clusters):
    r, _, _ = _quorbis._fit_design(Y, X, 35, 1e-6, robust, clusters, weights, frequency, True)
    return r.params.tobytes(), r.cov_params().tobytes(), np.float64(r.loglike).tobytes()


CASES = {"probability": (WEIGHTS, False, True, None), "frequency": (COUNTS, True, True, None),
         "frequency, classical": (COUNTS, True, False, None), "two-way": (WEIGHTS, False, True, CODES)}


@pytest.mark.parametrize("case", CASES.values(), ids=CASES)
def test_the_same_bits_for_any_number_of_threads(case):
    before = quorbis.get_num_threads()
    try:
        runs = []
        for n in (1, 2, 3):
            quorbis.set_num_threads(n)
            runs.append(_bits(*case))
    finally:
        quorbis.set_num_threads(before)
    assert runs[0] == runs[1] == runs[2]


@pytest.mark.parametrize("case", CASES.values(), ids=CASES)
def test_the_fast_paths_give_the_portable_bits(case):
    hooks = pytest.importorskip("_quorbis_hooks")
    previous = hooks.set_simd_enabled(True)
    try:
        fast = _bits(*case)
        hooks.set_simd_enabled(False)
        portable = _bits(*case)
    finally:
        hooks.set_simd_enabled(previous)
    assert fast == portable
