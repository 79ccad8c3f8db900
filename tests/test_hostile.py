"""Hostile input: whatever is passed, the call fails with the right exception or gives sound numbers,
and never changes its inputs."""
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import quorbis

pytestmark = pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")

SETTINGS = settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])


def _fit_fingerprint(results):
    """Everything a fit returns, for bit-for-bit comparison."""
    model = results.model
    return (
        results.params.tobytes(),
        results.cov_params().tobytes(),
        np.float64(results.loglike).tobytes(),
        results.iterations,
        results.converged,
        np.ascontiguousarray(model.exog).tobytes(),
        model.endog.tobytes(),
        model.exog_names,
    )


def _snapshot(*arrays):
    return [(a.shape, a.strides, a.dtype.str, np.array(a, copy=True).tobytes()) for a in arrays]


def _probit_data(n, k, seed):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, k))
    if k:
        x[:, 0] = 1.0
    y = (x.sum(axis=1) * 0.3 + rng.normal(size=n) > 0).astype(float)
    return y, x


# Views of the same values in other memory layouts, each paired with a description.
LAYOUTS = {
    "C order": lambda a: np.ascontiguousarray(a),
    "Fortran order": lambda a: np.asfortranarray(a),
    "negative strides": lambda a: np.ascontiguousarray(a[::-1])[::-1],
    "every other row of a larger array": lambda a: np.repeat(a, 2, axis=0)[::2],
    "read-only": lambda a: _read_only(a),
    "matrix subclass": lambda a: np.asmatrix(a) if a.ndim == 2 else a,
}


def _read_only(a):
    a = a.copy()
    a.flags.writeable = False
    return a


class TestLayouts:
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
        y, x = _probit_data(n, k, seed)
        groups = (np.arange(n) % 3).astype(float)[:, None]
        xv, yv, gv = LAYOUTS[x_layout](x), LAYOUTS[y_layout](y), LAYOUTS[x_layout](groups)
        before = _snapshot(xv, yv, gv)
        got = quorbis.fit_probit(yv, xv, robust=robust, cluster_vars=gv)
        assert _snapshot(xv, yv, gv) == before
        want = quorbis.fit_probit(y, x, robust=robust, cluster_vars=groups)
        assert _fit_fingerprint(got) == _fit_fingerprint(want)
        for array in (got.params, got.cov_params(), got.model.exog, got.model.endog):
            assert not np.shares_memory(array, xv) and not np.shares_memory(array, yv)

    def test_zero_stride_design_is_read_not_refused(self):
        y = np.array([1.0, 0.0, 1.0, 0.0])
        x = np.broadcast_to(np.array([1.0, 2.0]), (4, 2))
        got = quorbis.fit_probit(y, x)
        want = quorbis.fit_probit(y, np.ascontiguousarray(x))
        assert _fit_fingerprint(got) == _fit_fingerprint(want)


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


class TestShapeObjects:
    @pytest.mark.parametrize(
        "endog, error, message",
        [
            (_Shaped([3]), TypeError, "'list' object cannot be converted to 'PyTuple'"),
            (_Shaped(None), TypeError, "'NoneType' object cannot be converted to 'PyTuple'"),
            (_Shaped(()), ValueError, "endog must be shape (nobs,) or (nobs,1). got ndim=0"),
            (_Shaped((3, 1, 1)), ValueError, "endog must be shape (nobs,) or (nobs,1). got ndim=3"),
            (_Shaped((3, 2)), ValueError, "endog must be shape (nobs,) or (nobs,1). got=(3,Some(2))"),
            (_Shaped((3,)), TypeError, "'_Shaped' object cannot be converted to 'PyArray<T, D>'"),
            (_Shaped((3, 1)), TypeError, "'_Shaped' object cannot be converted to 'PyArray<T, D>'"),
            (_Shaped((-1,)), OverflowError, "can't convert negative int to unsigned"),
            (_Shaped((2**64,)), OverflowError, "int too big to convert"),
            (_Shaped((3, -1)), OverflowError, "can't convert negative int to unsigned"),
            (_Shaped((_BadIndex(),)), ZeroDivisionError, "no index here"),
            (_Shaped(("3",)), TypeError, "'str' object cannot be interpreted as an integer"),
            (_ShapeRaises(), KeyError, "'shape lookup failed'"),
            (np.ones((2, 2, 1)), ValueError, "endog must be shape (nobs,) or (nobs,1). got ndim=3"),
        ],
    )
    def test_outcome_shapes(self, endog, error, message):
        with pytest.raises(error) as caught:
            quorbis.fit_probit(endog, np.ones((3, 2)))
        assert type(caught.value) is error
        assert str(caught.value) == message


class TestNonFinite:
    @SETTINGS
    @given(
        data=st.data(),
        n=st.integers(1, 12),
        k=st.integers(1, 3),
        robust=st.booleans(),
    )
    def test_nan_and_infinities_give_numbers_not_garbage(self, data, n, k, robust):
        values = st.sampled_from([0.0, 1.0, -1.0, 0.5, 2.0, np.nan, np.inf, -np.inf, 1e300, -1e-300])
        x = data.draw(hnp.arrays(np.float64, (n, k), elements=values))
        y = data.draw(hnp.arrays(np.float64, (n,), elements=values))
        groups = data.draw(hnp.arrays(np.float64, (n, 2), elements=values))
        before = _snapshot(x, y, groups)
        results = quorbis.fit_probit(y, x, max_iter=5, robust=robust, cluster_vars=groups)
        assert _snapshot(x, y, groups) == before
        # Every term ln Phi is at most 0; non-finite data may give NaN, but never as a converged maximum.
        assert results.loglike <= 0.0 or (np.isnan(results.loglike) and not results.converged)
        assert results.params.shape == (k,) and results.cov_params().shape == (k, k)
        assert results.iterations <= 4

    def test_repeated_calls_are_bit_identical(self):
        y, x = _probit_data(500, 4, 7)
        groups = np.random.default_rng(7).integers(0, 40, size=(500, 2)).astype(float)
        first = quorbis.fit_probit(y, x, robust=True, cluster_vars=groups)
        second = quorbis.fit_probit(y, x, robust=True, cluster_vars=groups)
        assert _fit_fingerprint(first) == _fit_fingerprint(second)


class TestSizes:
    @pytest.mark.parametrize("n, k", [(0, 0), (0, 3), (1, 0), (1, 1), (1, 3), (2, 5)])
    @pytest.mark.parametrize("robust", [False, True])
    def test_degenerate_sizes(self, n, k, robust):
        y, x = _probit_data(n, k, 0)
        results = quorbis.fit_probit(y, x, robust=robust, cluster_vars=np.zeros((n, 1)))
        assert results.params.shape == (k,)
        assert results.cov_params().shape == (k, k)
        assert results.model.exog.shape == (n, k)
        assert np.isfinite(results.loglike)
