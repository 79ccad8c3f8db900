"""Average marginal effects: numbers against statsmodels and closed forms, intercept and dummy detection,
chunking and memory-layout invariance, significance stars and every failure path."""
import math
import sys
from statistics import NormalDist

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm
from conftest import unaligned

import quorbis

COLUMNS = ["dy/dx", "Std. Err", "z", "Pr(>|z|)", "Significance"]
NAMES = ("const", "a", "b", "d")


class Fitted:
    """The attributes ame reads from a fitted model, and nothing else."""

    def __init__(self, params, cov, names, exog):
        self.params, self._cov = params, cov
        self.model = type("Model", (), {"exog_names": names, "exog": exog})()

    def cov_params(self):
        return self._cov


def normal_cdf(x):
    return np.vectorize(lambda v: 0.5 * math.erfc(-v / math.sqrt(2.0)))(x)


def normal_pdf(x):
    return np.exp(-0.5 * x * x) / math.sqrt(2.0 * math.pi)


def reference_effects(exog, params, dummies):
    """Discrete change mean[Phi(eta1) - Phi(eta0)] for the columns in dummies, else b_j mean phi(x.b)."""
    eta = exog @ params
    return np.array([
        np.mean(normal_cdf(eta + (1 - exog[:, j]) * b) - normal_cdf(eta - exog[:, j] * b)) if j in dummies
        else b * np.mean(normal_pdf(eta)) for j, b in enumerate(params)])


def reference_std_errs(exog, params, cov, dummies, h=1e-6):
    """Delta-method standard errors with the Jacobian by central differences (relative error ~1e-9)."""
    jac = np.column_stack([(reference_effects(exog, params + s, dummies)
                            - reference_effects(exog, params - s, dummies)) / (2 * h)
                           for s in np.eye(len(params)) * h])
    return np.sqrt(np.diag(jac @ cov @ jac.T))


def fitted(names=NAMES, n=400, **replace):
    """An intercept, two continuous columns and a dummy, with a positive definite covariance."""
    rng = np.random.default_rng(3)
    exog = np.column_stack([np.ones(n), rng.standard_normal(n), rng.uniform(-2, 3, n), rng.random(n) < 0.4])
    a = rng.standard_normal((4, 4))
    arrays = {"params": np.array([0.2, 0.7, -0.4, 0.9]), "cov": a @ a.T / 50, "exog": exog} | replace
    return Fitted(arrays["params"], arrays["cov"], list(names), arrays["exog"])


class TestNumbers:
    @pytest.fixture(scope="class")
    @classmethod
    def spector(cls):
        data = sm.datasets.spector.load_pandas()
        return data.endog.to_numpy(), sm.add_constant(data.exog, prepend=True)

    def test_spector_matches_statsmodels(self, spector):
        y, exog = spector
        res = sm.Probit(y, exog).fit(disp=0, method="newton", tol=1e-12)
        expected = res.get_margeff(at="overall", method="dydx", dummy=True).summary_frame()
        table = quorbis.ame(Fitted(res.params.to_numpy(), res.cov_params().to_numpy(), list(exog.columns),
                                   exog.to_numpy()))
        assert list(table.columns) == COLUMNS and list(table.index) == ["GPA", "TUCE", "PSI"]
        assert (table.dtypes.iloc[:4] == np.float64).all()
        for ours, theirs in zip(COLUMNS[:4], ["dy/dx", "Std. Err.", "z", "Pr(>|z|)"]):
            np.testing.assert_allclose(table[ours], expected[theirs], rtol=1e-12)
        assert list(table["Significance"]) == ["***", "", "***"]

    def test_fit_probit_results_go_straight_in(self, spector):
        y, exog = spector
        res = quorbis.fit_probit(y, exog.to_numpy())
        table = quorbis.ame(res)
        # The default names x0.. are never intercepts: the column of ones is reported, as a dummy.
        assert list(table.index) == ["x0", "x1", "x2", "x3"]
        x, b = res.model.exog, res.params
        np.testing.assert_allclose(table["dy/dx"], reference_effects(x, b, {0, 3}), rtol=1e-12)
        np.testing.assert_allclose(table["Std. Err"], reference_std_errs(x, b, res.cov_params(), {0, 3}),
                                   rtol=1e-7)

    def test_zero_coefficients(self):
        fit = fitted(params=np.zeros(4))
        table = quorbis.ame(fit)
        assert (table["dy/dx"] == 0).all() and (table["z"] == 0).all() and (table["Pr(>|z|)"] == 1).all()
        # J = phi(0) I, up to the rounding of a sum of 400 equal terms.
        expected = np.sqrt(np.diag(fit.cov_params())[1:]) / math.sqrt(2 * math.pi)
        np.testing.assert_allclose(table["Std. Err"], expected, rtol=1e-14)

    def test_no_rows(self):
        table = quorbis.ame(fitted(exog=np.empty((0, 4))), chunk_size=5)
        # Nothing is known without rows: the standard errors are NaN, not a measured 0.
        assert table["dy/dx"].isna().all() and table["Std. Err"].isna().all()
        assert table["z"].isna().all() and table["Pr(>|z|)"].isna().all() and (table["Significance"] == "").all()

    @pytest.mark.parametrize("names", [[], ["Intercept"], ["const", "CONST"]])
    def test_nothing_to_report(self, names):
        k = len(names)
        table = quorbis.ame(Fitted(np.full(k, 0.3), np.eye(k), names, np.ones((10, k))))
        assert list(table.columns) == COLUMNS and len(table) == 0

    @pytest.mark.parametrize(
        "cov, std_err",
        [(-1e-3 * np.eye(4), 0.0), (np.where(np.eye(4) == 1, np.nan, 0.01), np.nan)],
        ids=["negative variance floors at 0", "NaN variance stays NaN"],
    )
    def test_variance_without_a_square_root(self, cov, std_err):
        table = quorbis.ame(fitted(cov=cov))
        np.testing.assert_array_equal(table["Std. Err"], std_err)
        assert table["z"].isna().all() and table["Pr(>|z|)"].isna().all()
        assert (table["Significance"] == "").all()

    def test_singular_fit_gives_unknown_standard_errors(self):
        # A column of zeros makes the Hessian singular; its NaN covariance must not read as SE = 0.
        rng = np.random.default_rng(3)
        x = np.column_stack([np.ones(200), rng.normal(size=200), np.zeros(200)])
        y = (x[:, 1] + rng.normal(size=200) > 0).astype(float)
        table = quorbis.ame(quorbis.fit_probit(y, x))
        assert table["Std. Err"].isna().all() and table["Pr(>|z|)"].isna().all()


class TestColumnKinds:
    @pytest.mark.parametrize("name, is_intercept", [
        ("const", True), ("CONST", True), ("Intercept", True), ("iNTERCEPT", True),
        (" const", False), ("const ", False), ("constant", False), ("ＣＯＮＳＴ", False),
    ])
    def test_intercept_by_name(self, name, is_intercept):
        base = quorbis.ame(fitted(names=("x", "a", "b", "d")))
        table = quorbis.ame(fitted(names=(name, "a", "b", "d")))
        assert list(table.index) == (["a", "b", "d"] if is_intercept else [name, "a", "b", "d"])
        # Reported or not, the column enters the other columns' errors through V and the Jacobian.
        pd.testing.assert_frame_equal(table.iloc[-3:], base.iloc[1:], check_exact=True)

    @pytest.mark.parametrize("column, is_dummy", [
        ([0.0, 1.0] * 20, True), ([-0.0, 1.0] * 20, True), ([0.0] * 40, True), ([1.0] * 40, True),
        ([0.0, 1.0] * 19 + [1.0, 2.0], False), ([0.0, 1.0] * 19 + [0.0, 0.5], False),
    ])
    def test_dummy_by_values(self, column, is_dummy):
        exog, params, cov = np.column_stack([np.linspace(-1, 2, 40), column]), np.array([0.5, -0.8]), np.eye(2) / 100
        table = quorbis.ame(Fitted(params, cov, ["a", "b"], exog))
        dummies = {1} if is_dummy else set()
        np.testing.assert_allclose(table["dy/dx"], reference_effects(exog, params, dummies), rtol=1e-12)
        np.testing.assert_allclose(table["Std. Err"], reference_std_errs(exog, params, cov, dummies), rtol=1e-7)

    def test_duplicate_and_unicode_names_are_kept(self):
        table = quorbis.ame(fitted(names=("const", "α β", "α β", "d")))
        assert list(table.index) == ["α β", "α β", "d"] and table["dy/dx"].iloc[0] != table["dy/dx"].iloc[1]


def sliced(a):
    if a.ndim == 1:
        return np.repeat(a, 2)[1::2]
    return np.repeat(np.repeat(a, 3, axis=0), 2, axis=1)[::3, 1::2]


class TestChunksAndLayouts:
    def test_chunk_sizes_agree(self):
        fit = fitted()
        whole = quorbis.ame(fit)
        for chunk in (400, 401, 2**64 - 1, np.int64(400)):
            pd.testing.assert_frame_equal(quorbis.ame(fit, chunk_size=chunk), whole, check_exact=True)
        for chunk in (1, 7, 256, 257, 399):
            pd.testing.assert_frame_equal(quorbis.ame(fit, chunk_size=chunk), whole, rtol=1e-12)

    @pytest.mark.parametrize("layout", [np.asfortranarray, sliced, lambda a: np.flip(np.flip(a).copy()), unaligned])
    def test_memory_layout_does_not_change_a_bit(self, layout):
        fit = fitted()
        arrays = [layout(a) for a in (fit.params, fit.cov_params(), fit.model.exog)]
        assert not (arrays[2].flags.c_contiguous and arrays[2].flags.aligned)
        for chunk in (None, 7):
            pd.testing.assert_frame_equal(quorbis.ame(Fitted(*arrays[:2], list(NAMES), arrays[2]), chunk_size=chunk),
                                          quorbis.ame(fit, chunk_size=chunk), check_exact=True)


class TestSignificance:
    @pytest.mark.parametrize("p, stars", [
        (0.0099, "***"), (0.0101, "**"), (0.0499, "**"), (0.0501, "*"), (0.0999, "*"), (0.1001, ""),
        (0.0, "***"), (0.9, ""), (1e-17, "***"), (8e-197, "***"),
    ])
    def test_thresholds(self, p, stars):
        # One continuous column held at 2: AME = b phi(2b) and dAME/db = phi(2b) (1 - 4 b^2), so V sets z.
        # p-values far below 1e-16 keep their digits rather than rounding to 0.
        b = 0.3
        z = 40.0 if p == 0 else -NormalDist().inv_cdf(p / 2)
        variance = (b / ((1 - 4 * b * b) * z)) ** 2
        row = quorbis.ame(Fitted(np.array([b]), np.array([[variance]]), ["x"], np.full((50, 1), 2.0))).iloc[0]
        assert row["z"] == pytest.approx(z, rel=1e-12) and row["Pr(>|z|)"] == pytest.approx(p, rel=1e-9, abs=0)
        assert row["Significance"] == stars


class Recorder:
    """A fitted model (and its .model) that logs each attribute ame reads; `broken` reads as unusable."""

    def __init__(self, broken, source, log=None):
        self.broken, self.source, self.log = broken, source, [] if log is None else log

    def __getattr__(self, name):
        self.log.append(name)
        if name == "model":
            return Recorder(self.broken, self.source.model, self.log)
        value = getattr(self.source, name)
        return value if name != self.broken else (lambda: 7) if callable(value) else 7


class TestFailures:
    @pytest.mark.parametrize("args, kwargs, message", [
        ((), {}, "ame() missing 1 required positional argument: 'probit_model'"),
        ((None, 1, 2), {}, "ame() takes from 1 to 2 positional arguments but 3 were given"),
        ((None,), {"chunk": 1}, "ame() got an unexpected keyword argument 'chunk'"),
        ((None,), {"probit_model": 1}, "ame() got multiple values for argument 'probit_model'"),
        ((None,), {"chunk_size": 1.5}, "argument 'chunk_size': 'float' object cannot be interpreted as an integer"),
        ((None,), {"chunk_size": "3"}, "argument 'chunk_size': 'str' object cannot be interpreted as an integer"),
    ])
    def test_arguments(self, args, kwargs, message):
        with pytest.raises(TypeError) as info:
            quorbis.ame(*args, **kwargs)
        assert str(info.value) == message

    @pytest.mark.parametrize("chunk, error, message", [
        (0, ValueError, "chunk_size must be at least 1"),
        (-1, OverflowError, "can't convert negative int to unsigned"),
        (2**64, OverflowError, "int too big to convert"),
    ])
    def test_chunk_size_range(self, chunk, error, message):
        with pytest.raises(error) as info:
            quorbis.ame(fitted(), chunk_size=chunk)
        assert type(info.value) is error and str(info.value) == message

    @pytest.mark.parametrize("attribute, value, error, message", [
        ("params", [0.1] * 4, TypeError, "'list' object cannot be converted to 'PyArray<T, D>'"),
        ("params", np.zeros((4, 1)), TypeError, "'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        ("params", np.zeros(4, np.int64), TypeError, "'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        ("params", np.zeros(4, ">f8"), TypeError, "'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        ("cov", pd.DataFrame(np.eye(4)), TypeError, "'DataFrame' object cannot be converted to 'PyArray<T, D>'"),
        ("cov", np.zeros(16), TypeError, "'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        ("names", "abcd", TypeError, "Can't extract `str` to `Vec`"),
        ("names", 4, TypeError, "'int' object cannot be converted to 'Sequence'"),
        ("names", {"a": 1}, TypeError, "'dict' object cannot be converted to 'Sequence'"),
        ("names", ["a", "b", b"c", "d"], TypeError, "'bytes' object cannot be converted to 'PyString'"),
        ("names", ("a", None), TypeError, "'NoneType' object cannot be converted to 'PyString'"),
        ("exog", [[1.0] * 4], TypeError, "'list' object cannot be converted to 'PyArray<T, D>'"),
        ("exog", np.ones(4), TypeError, "'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        ("params", np.zeros(3), ValueError, "params has shape (3,), expected (4,) for exog with 4 columns"),
        ("cov", np.eye(5)[:4], ValueError, "cov_params() has shape (4, 5), expected (4, 4) for exog with 4 columns"),
        ("names", ["a"], ValueError, "exog_names has 1 name, expected 4 for exog with 4 columns"),
        ("exog", np.ones((3, 1)), ValueError, "params has shape (4,), expected (1,) for exog with 1 column"),
    ])
    def test_unusable_inputs(self, attribute, value, error, message):
        fit = fitted(**({} if attribute == "names" else {attribute: value}))
        if attribute == "names":
            fit.model.exog_names = value
        with pytest.raises(error) as info:
            quorbis.ame(fit)
        assert type(info.value) is error and str(info.value) == message

    @pytest.mark.parametrize("broken, read", [
        ("params", ["params"]),
        ("cov_params", ["params", "cov_params"]),
        ("exog_names", ["params", "cov_params", "model", "exog_names"]),
        ("exog", ["params", "cov_params", "model", "exog_names", "model", "exog"]),
    ])
    def test_reading_stops_at_the_first_failure(self, broken, read):
        recorder = Recorder(broken, fitted())
        with pytest.raises(TypeError):
            quorbis.ame(recorder)
        assert recorder.log == read

    def test_python_errors_pass_through_unchanged(self):
        def fail():
            raise LookupError("inside cov_params")

        fit = fitted()
        fit.cov_params = fail
        with pytest.raises(LookupError, match="^inside cov_params$"):
            quorbis.ame(fit)
        with pytest.raises(AttributeError, match="^'object' object has no attribute 'params'$"):
            quorbis.ame(object())
        with pytest.raises(UnicodeEncodeError):
            quorbis.ame(fitted(names=("const", "a", "\ud800", "d")))

    def test_pandas_is_imported_only_after_success(self, monkeypatch):
        monkeypatch.setitem(sys.modules, "pandas", None)
        with pytest.raises(ValueError, match="^exog_names has 1 name"):
            quorbis.ame(fitted(names=["a"]))
        with pytest.raises(ImportError):
            quorbis.ame(fitted())

    def test_no_reference_is_kept_on_any_path(self, monkeypatch):
        fit = fitted()
        params, cov, names, exog = inputs = (fit.params, fit.cov_params(), fit.model.exog_names, fit.model.exog)
        failing = [(fit, {"chunk_size": 0}), (Fitted(params, cov, ["a", 1, "c", "d"], exog), {}),
                   (Fitted(params, cov, ["a"], exog), {}), (Fitted(params, exog, names, exog), {})]
        before = [sys.getrefcount(a) for a in inputs]
        for _ in range(20):
            quorbis.ame(fit, chunk_size=9)
            for model, kwargs in failing:
                with pytest.raises((TypeError, ValueError)):
                    quorbis.ame(model, **kwargs)
        monkeypatch.setitem(sys.modules, "pandas", None)
        with pytest.raises(ImportError):
            quorbis.ame(fit)
        assert [sys.getrefcount(a) for a in inputs] == before
