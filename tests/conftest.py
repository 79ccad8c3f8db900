"""Shared data sets and independent references for the fit_probit tests.

Numbers the tests compare against come from statsmodels or from the small NumPy/SciPy probit reference
below, never from quorbis itself.
"""

import functools
import warnings

import numpy as np
import pytest
import statsmodels.api as sm
from scipy.special import log_ndtr


def simulate(n, k, seed, *, dummy=False):
    """Probit data y = 1{X b + e > 0}, e standard normal, X with an intercept column first (when k > 0) and,
    with dummy, a 0/1 column last."""
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, k))
    if k:
        X[:, 0] = 1.0
    if dummy and k > 1:
        X[:, -1] = rng.integers(0, 2, n)
    beta = rng.uniform(-0.6, 0.6, size=k)
    y = (X @ beta + rng.normal(size=n) > 0).astype(float)
    return y, X


def cluster_ids(n, count, seed, columns=1):
    """(n, columns) float cluster ids drawn from 0 .. count - 1."""
    return np.random.default_rng(seed).integers(0, count, size=(n, columns)).astype(float)


def unaligned(a):
    """A copy of a whose data start one byte past an 8-byte boundary."""
    out = np.ndarray(a.shape, np.float64, buffer=np.zeros(a.nbytes + 1, np.uint8), offset=1)
    out[...] = a
    return out


def fingerprint(results, data=True):
    """The bits of everything a fit returns (with data, also the model's arrays and names)."""
    bits = (results.params.tobytes(), results.cov_params().tobytes(), np.float64(results.loglike).tobytes(),
            results.iterations, results.converged)
    if not data:
        return bits
    model = results.model
    return bits + (np.ascontiguousarray(model.exog).tobytes(), model.endog.tobytes(), model.exog_names)


def assert_same_fit(a, b):
    """The estimates, covariance and iteration record of two fits agree to the last bit."""
    assert fingerprint(a, data=False) == fingerprint(b, data=False)


def _real(name):
    """Binary-outcome versions of data sets that statsmodels ships (loaded offline)."""
    data = getattr(sm.datasets, name).load_pandas().data
    if name == "spector":
        y, cols, groups = data["GRADE"], ["GPA", "TUCE", "PSI"], None
    elif name == "fair":
        y, cols, groups = data["affairs"] > 0, list(data.columns[:-1]), data["occupation"]
    elif name == "modechoice":
        y, cols, groups = data["choice"], ["ttme", "invc", "invt", "gc", "hinc", "psize"], data["individual"]
    elif name == "randhie":
        y, cols, groups = data["mdvis"] > 0, list(data.columns[1:]), None
    X = np.column_stack([np.ones(len(data)), data[cols].to_numpy(float)])
    return np.asarray(y, float), X, None if groups is None else groups.to_numpy(float)


@functools.cache
def _dataset(name):
    if name.startswith("simulated"):
        n, k = {"simulated": (1500, 4), "simulated_wide": (3000, 12)}[name]
        y, X = simulate(n, k, seed=len(name))
        return y, X, cluster_ids(n, 40, 7)[:, 0]
    return _real(name)


@pytest.fixture(scope="session", name="simulate")
def simulate_fixture():
    return simulate


@pytest.fixture(scope="session")
def dataset():
    """dataset(name) -> (y, X, groups); arrays are shared, so tests copy before writing."""
    return _dataset


@pytest.fixture(scope="session")
def simulated():
    y, X, _ = _dataset("simulated")
    return y, X


@pytest.fixture(scope="session")
def statsmodels_fit():
    """Runs statsmodels' Probit to its optimum with Newton steps and the requested covariance."""

    def fit(y, X, cov_type="nonrobust", groups=None):
        cov_kwds = None if groups is None else {"groups": groups, "use_correction": False}
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return sm.Probit(y, X).fit(method="newton", maxiter=100, tol=1e-10, disp=0,
                                       cov_type=cov_type, cov_kwds=cov_kwds)

    return fit


class ProbitReference:
    """The exact probit likelihood, its Hessian and score rows, in NumPy (vectorised, no loops).

    ln Phi comes from scipy's log_ndtr, and phi / Phi from the difference of logarithms, so that neither
    underflows far in the tails.
    """

    @staticmethod
    def _terms(y, X, beta):
        eta = X[: len(y)] @ beta
        q = 2.0 * y - 1.0
        z = q * eta
        log_cdf = log_ndtr(z)
        ratio = np.exp(-0.5 * z * z - 0.5 * np.log(2 * np.pi) - log_cdf)
        return z, q, log_cdf, ratio

    def loglike(self, y, X, beta):
        return self._terms(y, X, beta)[2].sum()

    def scores(self, y, X, beta):
        _, q, _, ratio = self._terms(y, X, beta)
        return (q * ratio)[:, None] * X[: len(y)]

    def hessian(self, y, X, beta):
        z, q, _, ratio = self._terms(y, X, beta)
        Xn = X[: len(y)]
        return -(Xn * (q * q * ratio * (z + ratio))[:, None]).T @ Xn

    def sandwich(self, y, X, beta, meat):
        bread = np.linalg.inv(self.hessian(y, X, beta))
        return bread @ meat @ bread

    def cluster_meat(self, y, X, beta, groups):
        _, ids = np.unique(groups, return_inverse=True)
        sums = np.zeros((ids.max() + 1, X.shape[1]))
        np.add.at(sums, ids, self.scores(y, X, beta))
        return sums.T @ sums


@pytest.fixture(scope="session")
def reference():
    return ProbitReference()


@pytest.fixture(scope="session")
def assert_cov_close():
    """Compares covariance matrices on the correlation scale: entry (i, j) within rtol * sqrt(c_ii c_jj).

    Relative comparison of single entries would be meaningless for off-diagonal entries near zero.
    """

    def check(actual, expected, rtol):
        actual, expected = np.asarray(actual), np.asarray(expected)
        assert actual.shape == expected.shape
        scale = np.sqrt(np.outer(np.diag(expected), np.diag(expected)))
        np.testing.assert_array_less(np.abs(actual - expected), rtol * scale + 1e-300)

    return check
