"""Cluster-robust covariance: grouping rows by their cluster values to four decimals."""

import decimal
import math

import numpy as np
import pandas as pd
import pytest

import quorbis


def labels(clusters):
    """One text label per row: each value to four decimals (the exact binary value, ties to even)."""
    def text(v):
        return "NaN" if math.isnan(v) else f"{v:.4f}"

    return np.array(["|".join(text(v) for v in row) for row in np.atleast_2d(clusters)])


def fit(y, X, clusters, **kwargs):
    return quorbis.fit_probit(y, X, robust=True, cluster_vars=clusters, tol=1e-12, max_iter=200, **kwargs)


class TestAgainstStatsmodels:
    @pytest.mark.parametrize("name", ["simulated", "simulated_wide", "fair", "modechoice"])
    def test_one_variable(self, dataset, statsmodels_fit, reference, assert_cov_close, name):
        y, X, groups = dataset(name)
        r = fit(y, X, groups[:, None])
        expected = statsmodels_fit(y, X, cov_type="cluster", groups=groups.astype(np.int64)).cov_params()
        assert_cov_close(r.cov_params(), expected, rtol=1e-6)
        at_same = reference.sandwich(y, X, r.params, reference.cluster_meat(y, X, r.params, groups))
        assert_cov_close(r.cov_params(), at_same, rtol=1e-10)

    def test_two_variables_cluster_on_their_combination(self, dataset, statsmodels_fit, assert_cov_close):
        y, X, _ = dataset("fair")
        clusters = X[:, [7, 5]]  # occupation and religious
        _, combined = np.unique(labels(clusters), return_inverse=True)
        r = fit(y, X, clusters)
        expected = statsmodels_fit(y, X, cov_type="cluster", groups=combined).cov_params()
        assert_cov_close(r.cov_params(), expected, rtol=1e-6)


def _case(name, rng, ids):
    """Cluster values built from ids, and the group keys of a plausible but wrong grouping of the rows."""
    n = len(ids)
    if name == "equal to four decimals":
        values = ids + rng.choice([1.00001, 1.00002], size=n)
        wrong = values  # exact equality of the floats
    elif name == "either side of a rounding boundary":
        values = ids + rng.choice([0.00004, 0.00006], size=n)
        wrong = np.round(values, 3)
    elif name == "zero and negative zero":
        values = np.where(ids % 2 == 0, 0.0, rng.choice([-0.0, -0.00001], size=n))
        wrong = np.round(values, 4) + 0.0
    elif name == "ties to even":
        values = np.array([0.03125, 0.0312, 0.0313, 0.09375, 0.0938, 0.0937])[ids % 6]
        wrong = np.array([float(decimal.Decimal(v).quantize(decimal.Decimal("0.0001"), decimal.ROUND_HALF_UP))
                          for v in values])
    elif name == "NaN rows together":
        values = np.where(ids % 3 == 0, rng.choice([np.nan, -np.nan], size=n), ids)  # either sign bit
        wrong = np.where(np.isnan(values), -np.arange(n) - 1.0, values)  # every NaN row alone
    elif name == "infinities and huge values":
        values = np.array([np.inf, -np.inf, 1e20, 1e20 + 16384.0, -1e20, 5.0])[ids % 6]
        wrong = values.astype(np.float32).astype(float)  # merges 1e20 with its neighbour
    elif name == "two columns":
        values = np.column_stack([ids % 5, ids // 5]).astype(float)
        wrong = values[:, 0]
    return values.reshape(n, -1), wrong


CASES = ["equal to four decimals", "either side of a rounding boundary", "zero and negative zero",
         "ties to even", "NaN rows together", "infinities and huge values", "two columns"]


class TestLabels:
    @pytest.mark.parametrize("case", CASES)
    def test_grouping(self, simulated, reference, assert_cov_close, case):
        y, X = simulated
        rng = np.random.default_rng(CASES.index(case))
        values, wrong = _case(case, rng, rng.integers(0, 24, size=len(y)))
        r = fit(y, X, values)
        expected = reference.sandwich(y, X, r.params, reference.cluster_meat(y, X, r.params, labels(values)))
        assert_cov_close(r.cov_params(), expected, rtol=1e-10)
        misgrouped = reference.sandwich(y, X, r.params, reference.cluster_meat(y, X, r.params, wrong))
        with pytest.raises(AssertionError):
            assert_cov_close(r.cov_params(), misgrouped, rtol=1e-3)

    def test_any_relabelling_with_the_same_partition_is_identical(self, simulated):
        y, X = simulated
        ids = np.random.default_rng(5).integers(0, 30, size=len(y)).astype(float)
        base = fit(y, X, ids[:, None]).cov_params()
        for variant in (ids[:, None] * 10 - 3.5, np.column_stack([ids, ids]), np.column_stack([ids, np.ones_like(ids)]),
                        np.asfortranarray(np.column_stack([ids, -ids])), np.repeat(ids, 2)[::2, None],
                        ids[::-1].copy()[::-1, None]):
            np.testing.assert_array_equal(fit(y, X, variant).cov_params(), base)


class TestStructure:
    def test_every_row_its_own_cluster_is_the_robust_estimate(self, simulated, assert_cov_close):
        y, X = simulated
        robust = quorbis.fit_probit(y, X, robust=True, tol=1e-12, max_iter=200).cov_params()
        assert_cov_close(fit(y, X, np.arange(len(y), dtype=float)[:, None]).cov_params(), robust, rtol=1e-12)

    def test_one_cluster_leaves_only_the_gradient(self, simulated, reference):
        # One cluster sums the scores to the gradient g at the optimum: V = J^-1 g g' J^-1, and by
        # Cauchy-Schwarz V_jj <= (g' J^-1 g) C_jj, with g' J^-1 g below 1e-10 at a tol=1e-12 optimum.
        y, X = simulated
        classical = quorbis.fit_probit(y, X, tol=1e-12, max_iter=200).cov_params()
        for clusters in (np.full((len(y), 1), 7.0), np.empty((len(y), 0))):
            v = fit(y, X, clusters).cov_params()
            np.testing.assert_array_less(np.diag(v), 1e-10 * np.diag(classical))

    def test_one_cluster_at_an_exact_optimum_is_zero(self):
        r = quorbis.fit_probit(np.array([1.0, 0.0]), np.ones((2, 1)), robust=True, cluster_vars=np.ones((2, 1)))
        assert r.cov_params().tolist() == [[0.0]]

    def test_row_order_does_not_matter(self, simulated, assert_cov_close):
        y, X = simulated
        ids = np.random.default_rng(9).integers(0, 30, size=(len(y), 1)).astype(float)
        order = np.random.default_rng(10).permutation(len(y))
        a, b = fit(y, X, ids), fit(y[order], X[order], ids[order])
        np.testing.assert_allclose(a.params, b.params, rtol=1e-8)
        assert_cov_close(b.cov_params(), a.cov_params(), rtol=1e-8)


class TestRefused:
    @pytest.mark.parametrize("clusters, exc, message", [
        ([[1.0]] * 100, TypeError, "'list' object cannot be converted to 'PyArray<T, D>'"),
        (np.ones(100), TypeError, "'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        (np.ones((100, 1), np.int64), TypeError, "'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        (pd.DataFrame(np.ones((100, 1))), TypeError, "'DataFrame' object cannot be converted to 'PyArray<T, D>'"),
        (np.ones((101, 1)), ValueError, "cluster mismatch: got 101 rows, nobs=100"),
        (np.ones((99, 2)), ValueError, "cluster mismatch: got 99 rows, nobs=100"),
    ])
    def test_bad_cluster_values(self, clusters, exc, message):
        y, X = np.r_[np.ones(50), np.zeros(50)], np.ones((100, 1))
        with pytest.raises(exc) as info:
            quorbis.fit_probit(y, X, robust=True, cluster_vars=clusters)
        assert type(info.value) is exc and str(info.value) == message

    @pytest.mark.parametrize("clusters, exc, message", [
        (np.ones((99, 1)), ValueError, "cluster mismatch: got 99 rows, nobs=100"),
        ("unnamed", RuntimeError, "no name"),  # raised by Python code while the message is built
    ])
    def test_refused_after_the_classical_covariance(self, capfd, clusters, exc, message):
        class Nameless(type):
            def __getattribute__(cls, name):
                if name == "__qualname__":
                    raise RuntimeError("no name")
                return super().__getattribute__(name)

        if isinstance(clusters, str):
            clusters = Nameless("Unnamed", (), {})()
        y, X = np.r_[np.ones(50), np.zeros(50)], np.column_stack([np.ones(100), np.zeros(100)])
        with pytest.raises(exc) as info:
            quorbis.fit_probit(y, X, robust=True, cluster_vars=clusters)
        assert type(info.value) is exc and str(info.value) == message
        assert capfd.readouterr().err == "Hessian singular => NaN for Cov\n"

    def test_not_examined_without_robust(self):
        y, X = np.r_[np.ones(50), np.zeros(50)], np.ones((100, 1))
        plain = quorbis.fit_probit(y, X)
        r = quorbis.fit_probit(y, X, cluster_vars=[[1.0]])
        assert r.cov_params().tolist() == plain.cov_params().tolist()

