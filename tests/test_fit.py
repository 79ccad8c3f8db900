"""fit_probit's estimates, iteration control and handling of the caller's arrays."""

import math

import numpy as np
import pytest
from conftest import assert_same_fit, cluster_ids, fingerprint, simulate, unaligned
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import quorbis

LN_HALF = math.log(0.5)


def newton_decrement(reference, y, X, beta):
    """g' J^-1 g at beta: twice the log-likelihood still to gain by a Newton step."""
    g = reference.scores(y, X, beta).sum(axis=0)
    return g @ np.linalg.solve(-reference.hessian(y, X, beta), g)


class TestAgainstStatsmodels:
    # With tol=1e-12 the fit stops once a step gains less than 1e-12 in log-likelihood; on a quadratic
    # surface that leaves the coefficients about sqrt(2e-12) ~ 1.4e-6 standard errors from the optimum.
    @pytest.mark.parametrize("name", ["simulated", "simulated_wide", "spector", "fair", "modechoice"])
    def test_tight_fit_reaches_the_maximum(self, dataset, statsmodels_fit, reference, name):
        y, X, _ = dataset(name)
        r = quorbis.fit_probit(y, X, tol=1e-12, max_iter=200)
        sm = statsmodels_fit(y, X)
        se = np.sqrt(np.diag(sm.cov_params()))
        assert r.converged
        np.testing.assert_array_less(np.abs(r.params - sm.params), 1e-5 * se)
        assert r.loglike == pytest.approx(sm.llf, rel=1e-10)
        # the reported log-likelihood is the one at the reported coefficients
        assert r.loglike == pytest.approx(reference.loglike(y, X, r.params), rel=1e-12)

    # The default tol=1e-6 bounds the remaining distance by about sqrt(2e-6) ~ 1.4e-3 standard errors.
    @pytest.mark.parametrize("name", ["simulated", "spector", "fair", "modechoice", "randhie"])
    def test_defaults_converge_close_to_the_maximum(self, dataset, statsmodels_fit, name):
        y, X, _ = dataset(name)
        r = quorbis.fit_probit(y, X)
        sm = statsmodels_fit(y, X)
        assert r.converged and r.iterations < 34
        np.testing.assert_array_less(np.abs(r.params - sm.params), 1.5e-3 * np.sqrt(np.diag(sm.cov_params())))
        assert sm.llf - 1e-5 < r.loglike <= sm.llf + 1e-9


@pytest.mark.parametrize("seed", [0, 1])
def test_the_log_likelihood_of_many_rows_is_summed_to_its_last_bits(simulate, reference, seed):
    # A plain running sum of 3e5 terms is off by up to 1e-14 here: more than the gain of a converged
    # step, which then looks like a loss and sets off ten needless halvings.
    y, X = simulate(300_000, 4, seed=seed)
    r = quorbis.fit_probit(y, X)
    assert r.loglike == pytest.approx(math.fsum(reference._terms(y, X, r.params)[2]), rel=5e-16, abs=0)


class TestLargeBadlyScaled:
    def test_converges_and_is_equivariant_to_column_scale(self, simulate, reference):
        y, X = simulate(100_000, 20, seed=11)
        scaled = X.copy()
        scaled[:, 3] *= 1e4
        r = quorbis.fit_probit(y, scaled)
        assert r.converged and r.iterations < 34
        # The Newton decrement d bounds the distance to the maximum: |b_j - b*_j| <= sqrt(d) SE_j.
        # A converged fit gained less than tol = 1e-6 in its last step, so d stays near 2e-6 or below.
        assert newton_decrement(reference, y, scaled, r.params) < 2e-6
        # scaling a column by c divides its coefficient by c and changes nothing else
        plain = quorbis.fit_probit(y, X)
        assert plain.converged
        unscaled = r.params.copy()
        unscaled[3] *= 1e4
        se = np.sqrt(np.diag(np.linalg.inv(-reference.hessian(y, X, plain.params))))
        np.testing.assert_array_less(np.abs(plain.params - unscaled), 3e-3 * se)


def far_tail_data():
    """A regressor in the thousands (coefficient about -0.003) beside dummies, and five observations with
    y = 1 whose signed index sits between -10 and -19 at the maximum; cluster labels from two columns."""
    rng = np.random.default_rng(11)
    n = 20_000
    wage = rng.lognormal(np.log(900.0), 0.4, n)
    wage[:5] = np.linspace(5500.0, 9500.0, 5)
    years = rng.integers(8, 21, n).astype(float)
    region = rng.integers(0, 3, n)
    X = np.column_stack([np.ones(n), wage, years, region == 1, region == 2]).astype(float)
    y = (X @ np.array([1.5, -0.003, 0.08, 0.3, -0.2]) + rng.normal(size=n) > 0).astype(float)
    y[:5] = 1.0
    return y, X, region * 100.0 + years


@pytest.fixture(scope="module", name="tail")
def tail_fixture():
    return far_tail_data()


def newton_maximum(reference, y, X, steps=30):
    beta = np.zeros(X.shape[1])
    for _ in range(steps):
        beta = beta - np.linalg.solve(reference.hessian(y, X, beta), reference.scores(y, X, beta).sum(axis=0))
    return beta


class TestExactLikelihood:
    """Observations far on the wrong side enter with their exact ln Phi and phi / Phi, not a clamped Phi."""

    def test_the_maximum_of_the_exact_likelihood(self, tail, reference):
        y, X, _ = tail
        best = newton_maximum(reference, y, X)
        z = (2 * y - 1) * (X @ best)
        assert np.sum(z < -9) == 5 and -20 < z.min() < -15
        se = np.sqrt(np.diag(np.linalg.inv(-reference.hessian(y, X, best))))
        r = quorbis.fit_probit(y, X, tol=1e-12, max_iter=200)
        assert r.converged
        np.testing.assert_array_less(np.abs(r.params - best), 1e-6 * se)
        assert r.loglike == pytest.approx(reference.loglike(y, X, r.params), rel=1e-12)

    @pytest.mark.parametrize("kind", ["classical", "HC0", "cluster"])
    def test_covariance_is_the_exact_formula_at_the_estimates(self, tail, reference, assert_cov_close, kind):
        y, X, groups = tail
        options = {"classical": {}, "HC0": {"robust": True},
                   "cluster": {"robust": True, "cluster_vars": groups[:, None]}}[kind]
        r = quorbis.fit_probit(y, X, **options)
        b = r.params
        if kind == "classical":
            expected = np.linalg.inv(-reference.hessian(y, X, b))
        elif kind == "HC0":
            scores = reference.scores(y, X, b)
            expected = reference.sandwich(y, X, b, scores.T @ scores)
        else:
            expected = reference.sandwich(y, X, b, reference.cluster_meat(y, X, b, groups))
        assert_cov_close(r.cov_params(), expected, rtol=1e-9)

    @pytest.mark.parametrize("robust", [False, True])
    @pytest.mark.parametrize("n", [50, 1000])
    def test_complete_separation(self, n, robust):
        # y = 1 exactly when x > 0: no maximum exists, the likelihood creeps up to 0 as the slope grows.
        # The fit stops either on the tolerance (a flat likelihood, finite coefficients) or at the limit.
        x = np.random.default_rng(0).normal(size=n)
        r = quorbis.fit_probit((x > 0).astype(float), np.column_stack([np.ones(n), x]), robust=robust)
        assert np.isfinite(r.params).all() or not r.converged
        assert n * LN_HALF < r.loglike <= 0.0


class TestIterationControl:
    @pytest.fixture
    def data(self, dataset):
        y, X, _ = dataset("fair")
        return y, X

    def test_zero_iterations_return_the_start(self, data):
        y, X = data
        r = quorbis.fit_probit(y, X, max_iter=0)
        np.testing.assert_array_equal(r.params, np.zeros(X.shape[1]))
        assert r.loglike == pytest.approx(len(y) * LN_HALF, rel=1e-12, abs=0)
        assert (r.iterations, r.converged) == (0, False)

    @pytest.mark.parametrize("tol, converged", [(1e-6, False), (1e9, True)])
    def test_one_iteration_reports_index_zero(self, data, tol, converged):
        r = quorbis.fit_probit(*data, max_iter=1, tol=tol)
        assert (r.iterations, r.converged) == (0, converged)
        assert r.loglike > len(data[0]) * LN_HALF

    @pytest.mark.parametrize("tol", [0.0, -1.0, math.nan, -math.inf])
    def test_unreachable_tolerance_runs_every_iteration(self, data, tol):
        r = quorbis.fit_probit(*data, max_iter=4, tol=tol)
        assert (r.iterations, r.converged) == (3, False)

    def test_the_first_step_is_a_newton_step(self, data, reference):
        # From zero, one Newton step on a probit likelihood gains most of the distance to the maximum.
        y, X = data
        r = quorbis.fit_probit(y, X, max_iter=1)
        zero = np.zeros(X.shape[1])
        newton = np.linalg.solve(-reference.hessian(y, X, zero), reference.scores(y, X, zero).sum(axis=0))
        np.testing.assert_allclose(r.params, newton, rtol=1e-9, atol=1e-12)


    def test_a_step_that_lowers_the_likelihood_is_halved(self, reference, capfd):
        # Four copies of one column make the Hessian at zero singular, so the first direction divides each
        # column's gradient by its own curvature: four times the Newton step along x, which overshoots.
        rng = np.random.default_rng(3)
        x = rng.standard_normal(500)
        X = np.column_stack([x] * 4)
        y = (0.5 * x + rng.standard_normal(500) > 0).astype(float)
        zero = np.zeros(4)
        full = reference.scores(y, X, zero).sum(axis=0) / np.diag(-reference.hessian(y, X, zero))
        assert reference.loglike(y, X, full) < reference.loglike(y, X, zero) < reference.loglike(y, X, full / 2)
        r = quorbis.fit_probit(y, X, max_iter=1)
        np.testing.assert_allclose(r.params, full / 2, rtol=1e-12)
        assert r.loglike == pytest.approx(reference.loglike(y, X, r.params), rel=1e-12)
        assert capfd.readouterr().err == "Hessian singular => NaN for Cov\n"  # the covariance's, once


SETTINGS = settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def snapshot(*arrays):
    return [(a.shape, a.strides, a.dtype.str, np.array(a, copy=True).tobytes()) for a in arrays]


class TestNonFiniteData:
    @pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
    def test_coefficients_that_are_not_finite_never_count_as_converged(self, simulated, bad):
        # The log-likelihood reported is the one at the coefficients: not a number either.
        y, X = simulated
        X = X.copy()
        X[3, 1] = bad
        r = quorbis.fit_probit(y, X)
        assert not np.isfinite(r.params).all()
        assert (r.iterations, r.converged) == (0, False)
        assert np.isnan(r.loglike)

    @pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")
    @SETTINGS
    @given(data=st.data(), n=st.integers(1, 12), k=st.integers(1, 3), robust=st.booleans())
    def test_nan_and_infinities_give_numbers_not_garbage(self, data, n, k, robust):
        values = st.sampled_from([0.0, 1.0, -1.0, 0.5, 2.0, np.nan, np.inf, -np.inf, 1e300, -1e-300])
        x = data.draw(hnp.arrays(np.float64, (n, k), elements=values))
        y = data.draw(hnp.arrays(np.float64, (n,), elements=values))
        groups = data.draw(hnp.arrays(np.float64, (n, 2), elements=values))
        before = snapshot(x, y, groups)
        results = quorbis.fit_probit(y, x, max_iter=5, robust=robust, cluster_vars=groups)
        assert snapshot(x, y, groups) == before
        # Every term ln Phi is at most 0; non-finite data may give NaN, but never as a converged maximum.
        assert results.loglike <= 0.0 or (np.isnan(results.loglike) and not results.converged)
        assert results.params.shape == (k,) and results.cov_params().shape == (k, k)
        assert results.iterations <= 4

    def test_repeated_calls_are_bit_identical(self):
        y, x = simulate(500, 4, 7)
        groups = cluster_ids(500, 40, 7, columns=2)
        first = quorbis.fit_probit(y, x, robust=True, cluster_vars=groups)
        assert fingerprint(first) == fingerprint(quorbis.fit_probit(y, x, robust=True, cluster_vars=groups))


class TestDegenerateShapes:
    def test_no_columns(self, simulated, capfd):
        y, _ = simulated
        r = quorbis.fit_probit(y, np.empty((len(y), 0)), robust=True)
        assert r.params.shape == (0,) and r.cov_params().shape == (0, 0) and r.model.exog_names == []
        assert (r.iterations, r.converged) == (0, True)
        assert r.loglike == pytest.approx(math.fsum([LN_HALF] * len(y)), rel=1e-15, abs=0)
        assert capfd.readouterr().err == ""

    def test_no_observations(self):
        r = quorbis.fit_probit(np.empty(0), np.empty((0, 3)))
        np.testing.assert_array_equal(r.params, np.zeros(3))
        assert (r.loglike, r.iterations, r.converged) == (0.0, 0, True)
        assert r.model.exog.shape == (0, 3) and r.model.endog.shape == (0,)

    @pytest.mark.parametrize("n, k", [(0, 0), (0, 3), (1, 0), (1, 1), (1, 3), (2, 5)])
    @pytest.mark.parametrize("robust", [False, True])
    def test_degenerate_sizes(self, n, k, robust):
        y, x = simulate(n, k, 0)
        results = quorbis.fit_probit(y, x, robust=robust, cluster_vars=np.zeros((n, 1)))
        assert results.params.shape == (k,)
        assert results.cov_params().shape == (k, k)
        assert results.model.exog.shape == (n, k)
        assert np.isfinite(results.loglike)


class TestOutcomeValues:
    def test_half_outcomes_only_add_ln_half(self, simulated):
        # q = 2y - 1 = 0 for y = 0.5: the row adds ln(1/2) to the likelihood and nothing to the gradient
        y, X = simulated
        extra = np.random.default_rng(3).normal(size=(50, X.shape[1]))
        base = quorbis.fit_probit(y, X, tol=1e-12, max_iter=200)
        padded = quorbis.fit_probit(np.r_[y, np.full(50, 0.5)], np.r_[X, extra], tol=1e-12, max_iter=200)
        np.testing.assert_allclose(padded.params, base.params, rtol=1e-7)
        assert padded.loglike == pytest.approx(base.loglike + 50 * LN_HALF, rel=1e-12)

    def test_other_values_enter_through_q(self, simulated, reference):
        y, X = simulated
        y = y + (np.arange(len(y)) % 7 == 0)  # outcomes 0, 1 and 2
        r = quorbis.fit_probit(y, X, tol=1e-12, max_iter=200)
        assert r.converged
        assert r.loglike == pytest.approx(reference.loglike(y, X, r.params), rel=1e-12)
        assert newton_decrement(reference, y, X, r.params) < 1e-10


def _read_only(a):
    a = a.copy()
    a.flags.writeable = False
    return a


# Views of the same values in other memory layouts.
LAYOUTS = {
    "C order": np.ascontiguousarray,
    "Fortran order": np.asfortranarray,
    "negative strides": lambda a: np.ascontiguousarray(a[::-1])[::-1],
    "every other row of a larger array": lambda a: np.repeat(a, 2, axis=0)[::2],
    "read-only": _read_only,
    "matrix subclass": lambda a: np.asmatrix(a) if a.ndim == 2 else a,
}


class TestMemoryLayout:
    """The values, not their layout in memory, decide the fit; the caller's arrays are only read."""

    @pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")
    @SETTINGS
    @given(
        n=st.integers(0, 40),
        k=st.integers(0, 4),
        seed=st.integers(0, 2**32 - 1),
        x_layout=st.sampled_from(sorted(LAYOUTS)),
        y_layout=st.sampled_from(sorted(LAYOUTS)),
        robust=st.booleans(),
    )
    def test_any_layout_gives_the_contiguous_result(self, n, k, seed, x_layout, y_layout, robust):
        y, x = simulate(n, k, seed)
        groups = (np.arange(n) % 3).astype(float)[:, None]
        xv, yv, gv = LAYOUTS[x_layout](x), LAYOUTS[y_layout](y), LAYOUTS[x_layout](groups)
        before = snapshot(xv, yv, gv)
        got = quorbis.fit_probit(yv, xv, robust=robust, cluster_vars=gv)
        assert snapshot(xv, yv, gv) == before
        want = quorbis.fit_probit(y, x, robust=robust, cluster_vars=groups)
        assert fingerprint(got) == fingerprint(want)
        for array in (got.params, got.cov_params(), got.model.exog, got.model.endog):
            assert not np.shares_memory(array, xv) and not np.shares_memory(array, yv)

    @pytest.mark.parametrize("layout", [
        lambda X: np.repeat(np.repeat(X, 2, axis=0), 3, axis=1)[::2, 1::3],  # strided in both axes
        lambda X: X[:, ::-1].copy()[:, ::-1],  # negative column stride
        lambda X: np.broadcast_to(X[:1], X.shape),  # zero row stride: read, not refused
        unaligned,
    ])
    def test_exog_layouts(self, simulated, layout):
        y, X = simulated
        got = quorbis.fit_probit(y, layout(X), robust=True)
        assert_same_fit(got, quorbis.fit_probit(y, np.ascontiguousarray(layout(X)), robust=True))

    @pytest.mark.parametrize("layout", [
        lambda y: y[:, None].copy(),
        lambda y: np.column_stack([y, y, y])[:, 1:2],  # a column of a wider array
        lambda y: np.asfortranarray(y[:, None]),
        lambda y: np.broadcast_to(y[:, None], (len(y), 1)),
        unaligned,
    ])
    def test_endog_layouts(self, simulated, layout):
        y, X = simulated
        r = quorbis.fit_probit(layout(y), X, robust=True)
        assert_same_fit(r, quorbis.fit_probit(y, X, robust=True))
        assert r.model.endog.shape == y.shape
        np.testing.assert_array_equal(r.model.endog, y)


BAD_DTYPES = ["int64", "int32", "bool", "float32", "complex128", "object", ">f8", "<U3"]


class TestDtypes:
    @pytest.mark.parametrize("dtype", BAD_DTYPES)
    def test_design_matrix_of_another_dtype(self, dtype):
        x = np.ones((3, 2)).astype(dtype)
        with pytest.raises(TypeError) as caught:
            quorbis.fit_probit(np.ones(3), x)
        assert str(caught.value) == f"argument 'exog_py': type mismatch:\n from={x.dtype}, to=float64"

    @pytest.mark.parametrize("dtype", BAD_DTYPES)
    @pytest.mark.parametrize("shape", [(3,), (3, 1)])
    def test_outcome_of_another_dtype(self, dtype, shape):
        y = np.ones(shape).astype(dtype)
        with pytest.raises(TypeError, match=r"^'ndarray' object cannot be converted to 'PyArray<T, D>'$"):
            quorbis.fit_probit(y, np.ones((3, 2)))

    @pytest.mark.parametrize("dtype", BAD_DTYPES)
    def test_cluster_variables_of_another_dtype(self, dtype):
        with pytest.raises(TypeError, match=r"^'ndarray' object cannot be converted to 'PyArray<T, D>'$"):
            quorbis.fit_probit(np.ones(3), np.ones((3, 1)), robust=True, cluster_vars=np.ones((3, 1)).astype(dtype))


class Lying(np.ndarray):
    """An array that reports a shape of its own."""

    reported = (4, 1)

    @property
    def shape(self):
        return self.reported


class _Shaped:
    def __init__(self, shape):
        self.shape = shape


class _BadIndex:
    def __index__(self):
        raise ZeroDivisionError("no index here")


class _ShapeRaises:
    @property
    def shape(self):
        raise KeyError("shape lookup failed")


SHAPE_MESSAGE = "endog must be shape (nobs,) or (nobs,1). "


class TestShapes:
    X = np.column_stack([np.ones(4), [0.5, -0.3, 1.2, -0.8]])

    @pytest.mark.parametrize("endog, exc, message", [
        (np.zeros((100, 3)), ValueError, SHAPE_MESSAGE + "got=(100,Some(3))"),
        (np.zeros((4, 0)), ValueError, SHAPE_MESSAGE + "got=(4,Some(0))"),
        (np.float64(1.0), ValueError, SHAPE_MESSAGE + "got ndim=0"),
        (np.ones((2, 2, 1)), ValueError, SHAPE_MESSAGE + "got ndim=3"),
        ([1.0, 0.0, 1.0, 0.0], AttributeError, "'list' object has no attribute 'shape'"),
        # an array whose reported shape disagrees with its real one is read by its real shape
        (np.zeros((4, 0)).view(Lying), ValueError, SHAPE_MESSAGE + "got=(4,Some(0))"),
        (np.zeros((4, 5)).view(Lying), ValueError, SHAPE_MESSAGE + "got=(4,Some(5))"),
        # objects that are no arrays are read through their shape attribute alone
        (_Shaped([3]), TypeError, "'list' object cannot be converted to 'PyTuple'"),
        (_Shaped(None), TypeError, "'NoneType' object cannot be converted to 'PyTuple'"),
        (_Shaped(()), ValueError, SHAPE_MESSAGE + "got ndim=0"),
        (_Shaped((3, 1, 1)), ValueError, SHAPE_MESSAGE + "got ndim=3"),
        (_Shaped((3, 2)), ValueError, SHAPE_MESSAGE + "got=(3,Some(2))"),
        (_Shaped((3,)), TypeError, "'_Shaped' object cannot be converted to 'PyArray<T, D>'"),
        (_Shaped((3, 1)), TypeError, "'_Shaped' object cannot be converted to 'PyArray<T, D>'"),
        (_Shaped((-1,)), OverflowError, "can't convert negative int to unsigned"),
        (_Shaped((2**64,)), OverflowError, "int too big to convert"),
        (_Shaped((3, -1)), OverflowError, "can't convert negative int to unsigned"),
        (_Shaped((_BadIndex(),)), ZeroDivisionError, "no index here"),
        (_Shaped(("3",)), TypeError, "'str' object cannot be interpreted as an integer"),
        (_ShapeRaises(), KeyError, "'shape lookup failed'"),
    ])
    def test_refused(self, endog, exc, message):
        with pytest.raises(exc) as info:
            quorbis.fit_probit(endog, self.X)
        assert type(info.value) is exc and str(info.value) == message

    def test_fewer_exog_rows_than_outcomes(self):
        for endog in (np.zeros(5), np.zeros((5, 1))):
            with pytest.raises(ValueError) as info:
                quorbis.fit_probit(endog, self.X)
            assert str(info.value) == "exog has 4 rows, fewer than nobs=5"

    def test_extra_exog_rows_are_kept_but_not_fitted(self, simulated):
        y, X = simulated
        extended = np.r_[X, np.full((3, X.shape[1]), 1e3)]
        r = quorbis.fit_probit(y, extended, robust=True)
        assert_same_fit(r, quorbis.fit_probit(y, X, robust=True))
        np.testing.assert_array_equal(r.model.exog, extended)
        assert r.model.endog.shape == y.shape


class TestKeptData:
    def test_later_changes_to_inputs_are_not_seen(self, simulated):
        y, X = simulated[0].copy(), simulated[1].copy()
        r = quorbis.fit_probit(y, X)
        snapshot = [r.params.copy(), r.model.exog.copy(), r.model.endog.copy()]
        y[:] = 0.5
        X[:] = np.nan
        for kept, now in zip(snapshot, (r.params, r.model.exog, r.model.endog)):
            np.testing.assert_array_equal(kept, now)

    @pytest.mark.parametrize("k, last", [(1, "x0"), (3, "x2"), (12, "x11")])
    def test_default_names(self, k, last):
        names = quorbis.fit_probit(np.zeros(2), np.zeros((2, k)), max_iter=0).model.exog_names
        assert names == [f"x{j}" for j in range(k)] and names[-1] == last
