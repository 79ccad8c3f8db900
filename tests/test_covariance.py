"""Classical and heteroskedasticity-robust covariance of the fitted coefficients."""

import math

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm

import quorbis

SINGULAR_LINE = "Hessian singular => NaN for Cov\n"
DATASETS = ["simulated", "simulated_wide", "spector", "fair", "modechoice"]


def statsmodels_at(y, X, params, robust):
    """statsmodels' covariance formula evaluated at the given coefficients."""
    model = sm.Probit(y, X)
    bread = np.linalg.inv(model.hessian(params))
    if not robust:
        return -bread
    scores = model.score_obs(params)
    return bread @ (scores.T @ scores) @ bread


class TestAgainstStatsmodels:
    @pytest.mark.parametrize("robust", [False, True])
    @pytest.mark.parametrize("name", DATASETS)
    def test_at_the_same_coefficients(self, dataset, assert_cov_close, name, robust):
        # Same formula at the same point: only rounding of n-term sums differs (about 1e-14 measured).
        y, X, _ = dataset(name)
        r = quorbis.fit_probit(y, X, tol=1e-12, max_iter=200, robust=robust)
        assert_cov_close(r.cov_params(), statsmodels_at(y, X, r.params, robust), rtol=1e-10)

    @pytest.mark.parametrize("robust", [False, True])
    @pytest.mark.parametrize("max_iter", [0, 1, 2, 3])
    def test_at_coefficients_short_of_the_maximum(self, dataset, assert_cov_close, max_iter, robust):
        # The covariance belongs to the returned coefficients, also when the fit stops early.
        y, X, _ = dataset("simulated_wide")
        r = quorbis.fit_probit(y, X, max_iter=max_iter, robust=robust)
        assert_cov_close(r.cov_params(), statsmodels_at(y, X, r.params, robust), rtol=1e-10)

    @pytest.mark.parametrize("robust", [False, True])
    @pytest.mark.parametrize("name", DATASETS)
    def test_fitted_by_both(self, dataset, statsmodels_fit, assert_cov_close, name, robust):
        # Both optima agree to ~1e-6 standard errors, which moves the covariance by far less than 1e-6.
        y, X, _ = dataset(name)
        r = quorbis.fit_probit(y, X, tol=1e-12, max_iter=200, robust=robust)
        expected = statsmodels_fit(y, X, cov_type="HC0" if robust else "nonrobust").cov_params()
        assert_cov_close(r.cov_params(), expected, rtol=1e-6)
        assert_cov_close(r.cov_params().T, r.cov_params(), rtol=1e-13)  # symmetric up to rounding


class TestClosedForms:
    @pytest.mark.parametrize("robust", [False, True])
    def test_two_rows_give_pi_over_four(self, robust):
        # beta = 0, each w_i = 2/pi, so J = 4/pi; with y = (1, 0) the meat equals J as well
        r = quorbis.fit_probit(np.array([1.0, 0.0]), np.ones((2, 1)), robust=robust)
        assert (r.params.tolist(), r.iterations, r.converged) == ([0.0], 0, True)
        assert r.loglike == 2 * math.log(0.5)
        assert r.cov_params()[0, 0] == pytest.approx(math.pi / 4, rel=4e-16)

    @pytest.mark.parametrize("robust", [False, True])
    def test_at_zero_coefficients(self, simulated, assert_cov_close, robust):
        # At beta = 0 every lambda_i^2 = w_i = 2/pi for 0/1 outcomes: both estimates are (pi/2)(X'X)^-1.
        y, X = simulated
        r = quorbis.fit_probit(y, X, max_iter=0, robust=robust)
        assert_cov_close(r.cov_params(), math.pi / 2 * np.linalg.inv(X.T @ X), rtol=1e-12)


class TestSingularHessian:
    """A singular Hessian gives no number that looks measured: NaN, and one line on fd 2 per fit."""

    @pytest.fixture
    def zero_column(self, simulated):
        y, X = simulated
        return y, np.column_stack([X, np.zeros(len(y))])

    @pytest.mark.parametrize("options", [{}, {"robust": True}, {"robust": True, "cluster_vars": "clusters"}])
    def test_nan_covariance_and_one_line(self, zero_column, capfd, options):
        y, X = zero_column
        if "cluster_vars" in options:
            options = {**options, "cluster_vars": np.floor(X[:, 1:2])}
        r = quorbis.fit_probit(y, X, **options)
        assert np.isnan(r.cov_params()).all() and r.cov_params().shape == (5, 5)
        assert np.isfinite(r.params).all()
        assert capfd.readouterr().err == SINGULAR_LINE

    def test_no_observations(self, capfd):
        for robust in (False, True):
            r = quorbis.fit_probit(np.empty(0), np.empty((0, 2)), robust=robust)
            assert np.isnan(r.cov_params()).all() and r.cov_params().shape == (2, 2)
        assert capfd.readouterr().err == SINGULAR_LINE * 2

    def test_line_precedes_a_cluster_error(self, zero_column, capfd):
        y, X = zero_column
        with pytest.raises(ValueError, match=r"^cluster mismatch: got 3 rows, nobs=1500$"):
            quorbis.fit_probit(y, X, robust=True, cluster_vars=np.zeros((3, 1)))
        assert capfd.readouterr().err == SINGULAR_LINE

    def test_regular_fits_write_nothing(self, simulated, capfd):
        quorbis.fit_probit(*simulated, robust=True)
        assert capfd.readouterr().err == ""

    def test_the_dask_driver_writes_the_line_and_probit_warns_instead(self, zero_column, capfd):
        da = pytest.importorskip("dask.array")
        y, X = zero_column
        qd = pytest.importorskip("quorbis.dask")
        r = qd.fit_probit(da.from_array(y, chunks=500), da.from_array(X, chunks=(500, 5)))
        assert np.isnan(r.cov_params()).all() and capfd.readouterr().err == SINGULAR_LINE
        data = pd.DataFrame(X[:, 1:], columns=["a", "b", "c", "zero"]).assign(y=y)
        with pytest.warns(quorbis.ProbitWarning, match="the Hessian is singular"):
            quorbis.probit("y ~ a + b + c + zero", data)
        assert capfd.readouterr().err == ""


class TestScaleFreeSingularity:
    """Singularity is judged on the Hessian scaled to a unit diagonal: units of the columns do not matter."""

    @pytest.mark.parametrize("robust", [False, True])
    @pytest.mark.parametrize("design", ["dummy trap", "duplicated column", "1000 (a + b)"])
    def test_collinear_columns_give_nan_and_one_line(self, capfd, design, robust):
        rng = np.random.default_rng(5)
        n = 3000
        a, b = rng.normal(size=(2, n))
        wage = rng.lognormal(6.5, 0.6, n)
        group = rng.integers(0, 4, n)
        X = {"dummy trap": np.column_stack([np.ones(n), wage, group[:, None] == np.arange(4)]).astype(float),
             "duplicated column": np.column_stack([np.ones(n), a, b, a]),
             "1000 (a + b)": np.column_stack([np.ones(n), a, b, 1000 * (a + b)])}[design]
        y = (0.5 * a - 0.5 * b + 0.3 * group - 0.001 * wage + rng.normal(size=n) > 0).astype(float)
        r = quorbis.fit_probit(y, X, robust=robust)
        assert np.isnan(r.cov_params()).all()
        assert capfd.readouterr().err == SINGULAR_LINE

    @pytest.mark.parametrize("robust", [False, True])
    @pytest.mark.parametrize("scale", [1e-9, 1e9])
    def test_scaled_columns_scale_the_covariance(self, simulated, assert_cov_close, capfd, scale, robust):
        y, X = simulated
        factors = np.where(np.arange(X.shape[1]) % 2 == 1, scale, 1.0)
        plain = quorbis.fit_probit(y, X, robust=robust)
        scaled = quorbis.fit_probit(y, X * factors, robust=robust)
        assert_cov_close(scaled.cov_params(), plain.cov_params() / np.outer(factors, factors), rtol=1e-8)
        assert capfd.readouterr().err == ""


class TestClusterVarsIgnoredWithoutRobust:
    @pytest.mark.parametrize("cluster_vars", ["text", [1, 2], np.ones(3), np.ones((7, 2)), object()])
    def test_any_value_is_ignored(self, simulated, cluster_vars):
        plain = quorbis.fit_probit(*simulated)
        r = quorbis.fit_probit(*simulated, robust=False, cluster_vars=cluster_vars)
        np.testing.assert_array_equal(r.cov_params(), plain.cov_params())
