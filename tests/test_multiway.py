"""Clustering in several dimensions at once: against statsmodels' two-way clusters, the inclusion-exclusion
over all intersections by hand, the negative eigenvalues set to 0, the counts and warnings per dimension, and
fixed effects."""

import math
import warnings

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm

import quorbis

TIGHT = {"tol": 1e-12, "max_iter": 200}


def _clustered(n, sizes, seed):
    """Probit data whose errors share a part within the clusters of each dimension, so that every term of
    the multiway covariance counts; the dimensions' codes as columns."""
    rng = np.random.default_rng(seed)
    codes = np.column_stack([rng.integers(0, g, n) for g in sizes])
    shared = sum(rng.normal(0, 0.7, g)[codes[:, d]] for d, g in enumerate(sizes))
    X = np.column_stack([np.ones(n), rng.normal(size=n) + shared, rng.normal(size=n)])
    y = (X @ [0.2, 0.5, -0.4] + shared + rng.normal(size=n) > 0) * 1.0
    return y, X, codes.astype(float)


def _statsmodels_two_way(y, X, groups, correction):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return sm.Probit(y, X).fit(method="newton", maxiter=100, tol=1e-12, disp=0, cov_type="cluster",
                                   cov_kwds={"groups": groups.astype(np.int64), "use_correction": correction})


def _two_way_cases():
    y, X, groups = _clustered(2000, (40, 25), 1)
    yield "simulated", y, X, groups
    y, X, groups = _fair(["rate_marriage", "yrs_married"], ["occupation_husb", "age"])
    yield "fair", y, X, groups


def _fair(columns, clusters):
    data = sm.datasets.fair.load_pandas().data
    X = np.column_stack([np.ones(len(data)), data[columns]])
    return (data.affairs > 0).to_numpy(float), X, data[clusters].to_numpy(float)


@pytest.mark.parametrize("name, y, X, groups", list(_two_way_cases()), ids=["simulated", "fair"])
@pytest.mark.parametrize("correction", [False, True], ids=["no correction", "G/(G-1)(N-1)/(N-K) per term"])
def test_two_way_is_statsmodels_two_column_groups(assert_cov_close, name, y, X, groups, correction):
    r = quorbis.probit(y, X, cluster=groups, small_sample=correction, **TIGHT)
    expected = _statsmodels_two_way(y, X, groups, correction)
    assert r.notes == [] and r.n_clusters == {"cluster[0]": len(np.unique(groups[:, 0])),
                                               "cluster[1]": len(np.unique(groups[:, 1]))}
    np.testing.assert_allclose(r.params, expected.params, rtol=1e-10)
    assert_cov_close(r.cov_params(), expected.cov_params(), rtol=1e-10)


def _term_covariance(reference, y, X, b, codes):
    """The one-way covariance on the intersections of the given columns of codes."""
    cells = pd.factorize(pd.MultiIndex.from_arrays(codes.T))[0]
    return reference.sandwich(y, X, b, reference.cluster_meat(y, X, b, cells))


def test_three_way_adds_and_subtracts_every_intersection(reference, assert_cov_close):
    y, X, codes = _clustered(3000, (30, 20, 12), 2)
    r = quorbis.probit(y, X, cluster=pd.DataFrame(codes, columns=["firm", "year", "state"]), **TIGHT)
    b = r.params.to_numpy()
    expected = sum((-1) ** (len(s) + 1) * _term_covariance(reference, y, X, b, codes[:, list(s)])
                   for s in [(0,), (1,), (2,), (0, 1), (0, 2), (1, 2), (0, 1, 2)])
    assert r.n_clusters == {"firm": 30, "year": 20, "state": 12} and r.cov_type == "cluster"
    assert_cov_close(r.cov_params(), expected, rtol=1e-10)


def test_negative_eigenvalues_are_set_to_0_with_a_note(reference, assert_cov_close):
    y, X, codes = _fair(["rate_marriage", "age", "yrs_married", "children"], ["occupation", "educ"])
    with pytest.warns(quorbis.ProbitWarning) as caught:
        r = quorbis.probit(y, X, cluster=codes, **TIGHT)
    b = r.params.to_numpy()
    raw = sum(sign * _term_covariance(reference, y, X, b, codes[:, s]) for sign, s in [(1, [0]), (1, [1]), (-1, [0, 1])])
    values, vectors = np.linalg.eigh(raw)
    assert (values < 0).sum() == 1
    assert_cov_close(r.cov_params(), (vectors * np.maximum(values, 0.0)) @ vectors.T, rtol=1e-10)
    assert [str(w.message) for w in caught] == r.notes == [
        "the 2-way cluster-robust covariance (cluster[0] + cluster[1] - cluster[0]&cluster[1]) was not positive "
        "semi-definite: its 1 negative eigenvalue was set to 0, as Cameron, Gelbach and Miller (2011) propose"]


def test_a_dimension_of_one_cluster_leaves_no_covariance():
    y, X, codes = _clustered(500, (20,), 6)
    data = pd.DataFrame({"y": y, "x": X[:, 1], "z": X[:, 2], "firm": codes[:, 0], "country": "fr"})
    with pytest.warns(quorbis.ProbitWarning) as caught:
        r = quorbis.probit("y ~ x + z", data, cluster=["firm", "country"], small_sample=True)
    assert np.isnan(r.cov_params().to_numpy()).all() and r.n_clusters == {"firm": 20, "country": 1}
    assert [str(w.message) for w in caught] == [
        "country, the dimension with the fewest clusters, has only one: a cluster-robust covariance needs at "
        "least two in every dimension, so the covariance matrix is NaN"]


def test_a_list_of_one_name_is_one_way():
    y, X, codes = _clustered(800, (25, 10), 7)
    data = pd.DataFrame({"y": y, "x": X[:, 1], "z": X[:, 2], "firm": codes[:, 0]})
    one, listed = (quorbis.probit("y ~ x + z", data, cluster=c) for c in ("firm", ["firm"]))
    assert one.n_clusters == listed.n_clusters == 25
    np.testing.assert_array_equal(one.cov_params(), listed.cov_params())


@pytest.mark.parametrize("small_sample", [False, True])
@pytest.mark.filterwarnings("ignore:60 rows were left out:quorbis.ProbitWarning")
def test_fixed_effects_cluster_in_two_dimensions_as_the_probit_with_dummies(assert_cov_close, small_sample):
    rng = np.random.default_rng(8)
    firms, years = 50, 6
    data = pd.DataFrame({"firm": np.repeat(np.arange(firms), years), "year": np.tile(np.arange(years), firms)})
    quality = np.repeat(rng.normal(0, 0.5, firms), years)
    data["x"], data["z"] = rng.normal(size=len(data)) + quality, rng.normal(size=len(data))
    data["state"] = data.firm % 9
    data["y"] = (0.5 * data.x - 0.3 * data.z + quality + rng.normal(size=len(data)) > 0) * 1.0
    r = quorbis.probit("y ~ x + z | firm", data, cluster=["state", "year"], small_sample=small_sample, **TIGHT)
    kept = data[data.groupby("firm").y.transform(lambda y: 0 < y.mean() < 1).astype(bool)]
    dummies = np.column_stack([kept[["x", "z"]], pd.get_dummies(kept.firm, dtype=float)])
    expected = _statsmodels_two_way(kept.y.to_numpy(), dummies, kept[["state", "year"]].to_numpy(), small_sample)
    assert r.n_clusters == {"state": 9, "year": 6} and r.nobs == len(kept)
    np.testing.assert_allclose(r.params, expected.params[:2], rtol=1e-8)
    # statsmodels' K counts the dummies; the fit counts the effects that the clusters do not absorb, and every
    # firm lies within one state.
    n = len(kept)
    factor = (n - dummies.shape[1]) / (n - 2) if small_sample else 1.0
    assert_cov_close(r.cov_params(), factor * expected.cov_params()[:2, :2], rtol=1e-8)
    assert math.isfinite(r.ame()["Std. Err"].sum())


def test_clusters_of_a_generator_stay_alive_while_the_fit_reads_them():
    y, X, codes = _clustered(1000, (20, 8), 9)
    fit = quorbis._quorbis._fit_design
    X = np.asfortranarray(X)
    for dimensions in (1, 2):
        listed = fit(y, X, 35, 1e-6, True, [codes[:, d].copy() for d in range(dimensions)])[0]
        generated = fit(y, X, 35, 1e-6, True, (codes[:, d].copy() for d in range(dimensions)))[0]
        np.testing.assert_array_equal(generated.cov_params(), listed.cov_params())
