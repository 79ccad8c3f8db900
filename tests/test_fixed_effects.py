"""probit() with fixed effects: the fit against the probit with one dummy per level, the removal of perfectly
predicted levels, the effects and predictions, the average partial effects against the delta method on the
dummies' covariance, and the bias correction against the paper's sums."""

import pickle
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pandas as pd
import pytest
from panel_reference import dummies, paper_bias_correction, paper_corrected_effects, partial_effects
from scipy.special import ndtr

import quorbis

TIGHT = {"tol": 1e-12, "max_iter": 100}


def panel(firms, years, seed, *, year_effects=True):
    """A balanced panel: string firm ids, years from 2001, x continuous and correlated with the firm's
    effect, d a 0/1 column."""
    rng = np.random.default_rng(seed)
    firm = np.repeat(np.arange(firms), years)
    year = np.tile(np.arange(years), firms)
    a, g = rng.normal(0, 0.6, firms), rng.normal(0, 0.4, years) * year_effects
    x = rng.normal(size=firms * years) + 0.5 * a[firm]
    d = (rng.random(firms * years) < 0.4).astype(float)
    y = (0.7 * x - 0.5 * d + a[firm] + g[year] + rng.normal(size=firms * years) > 0).astype(int)
    return pd.DataFrame({"y": y, "x": x, "d": d, "firm": [f"f{i:03d}" for i in firm], "year": 2001 + year})


def fit(formula, data, **options):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", quorbis.ProbitWarning)
        return quorbis.probit(formula, data, **TIGHT, **options)


def dummy_design(r, data):
    """The rows the fit used, with the slopes' columns, one dummy per firm and per year but the first."""
    rows = data[np.asarray(r.raw.kept)]
    codes = [pd.factorize(rows[c], sort=True)[0] for c in r.effect_names]
    Z = np.column_stack([rows[r.exog_names].to_numpy(float), dummies(codes[:1])]
                        + [dummies(codes[d:d + 1])[:, 1:] for d in range(1, len(codes))])
    return rows, Z


def dummy_fit(r, data, **options):
    """fit_probit on the dummies, all of 100 iterations run (tol 0): its quasi-Newton steps go on refining
    the coefficients to the last digits after the log-likelihood stops changing by 1e-13."""
    rows, Z = dummy_design(r, data)
    clusters = options.pop("cluster", None)
    cluster_vars = None if clusters is None else pd.factorize(rows[clusters])[0].reshape(-1, 1).astype(float)
    return rows, Z, quorbis.fit_probit(rows.y.to_numpy(float), Z, max_iter=100, tol=0.0,
                                       robust=bool(options) or clusters is not None, cluster_vars=cluster_vars)


PANELS = {"one-way 200x8": (panel(200, 8, 1, year_effects=False), "firm"),
          "two-way 200x8": (panel(200, 8, 2), "firm + year"),
          "two-way 50x50": (panel(50, 50, 3), "firm + year")}
COVARIANCES = {"classical": {}, "robust": {"robust": True}, "clustered": {"cluster": "firm"}}


@pytest.mark.parametrize("cov", COVARIANCES.values(), ids=COVARIANCES.keys())
@pytest.mark.parametrize("data, effects", PANELS.values(), ids=PANELS.keys())
def test_equals_the_probit_with_one_dummy_per_level(data, effects, cov):
    r = fit(f"y ~ x + d | {effects}", data, **cov)
    _, _, dummy = dummy_fit(r, data, **cov)
    k = len(r.params)
    np.testing.assert_allclose(r.params, dummy.params[:k], rtol=1e-8)
    np.testing.assert_allclose(r.bse, np.sqrt(np.diag(dummy.cov_params()))[:k], rtol=1e-7)
    assert r.llf == pytest.approx(dummy.loglike, rel=1e-10, abs=0)
    assert r.nobs == len(dummy.model.endog) and list(r.params.index) == ["x", "d"]


class TestRemoval:
    @staticmethod
    def cascade():
        """Firm f0 has only ones; without it year 3 has only zeros; without year 3 firm f1 has only ones.
        The other firms have a 1 and a 0 in years 1 and 2."""
        rng = np.random.default_rng(5)
        rows = [("f0", t, 1) for t in (1, 2, 3)] + [("f1", 1, 1), ("f1", 2, 1), ("f1", 3, 0)]
        for i in range(2, 42):
            first = int(rng.integers(0, 2))
            rows += [(f"f{i}", 1, first), (f"f{i}", 2, 1 - first), (f"f{i}", 3, 0)]
        data = pd.DataFrame(rows, columns=["firm", "year", "y"])
        data["x"] = rng.normal(size=len(data)) + (2 * data.y - 1)
        return data

    def test_levels_are_removed_until_none_is_all_0_or_all_1(self):
        data = self.cascade()
        with pytest.warns(quorbis.ProbitWarning) as caught:
            r = quorbis.probit("y ~ x | firm + year", data)
        assert (r.removed_rows, r.removed_levels, r.n_levels) == (46, {"firm": 2, "year": 1}, {"firm": 40, "year": 2})
        assert [str(w.message) for w in caught] == r.notes == [
            "46 rows were left out, those of the levels whose outcomes are all 0 or all 1 (firm: 2, year: 1 "
            "levels): their effects are infinite and they carry no information on the slopes"]
        assert "Rows removed as perfectly predicted: 46; columns omitted: none" in r.summary()
        kept = data[(data.year < 3) & ~data.firm.isin(["f0", "f1"])]
        alone = quorbis.probit("y ~ x | firm + year", kept)
        pd.testing.assert_series_equal(r.params, alone.params)
        assert r.llf == alone.llf and alone.notes == [] and r.nobs == alone.nobs == 80
        assert np.isnan(r.predict(data.iloc[[0, 5, 6]])).tolist() == [True, True, False]

    def test_a_column_the_effects_explain_is_left_out(self):
        data = panel(40, 5, 4).assign(size=lambda d: d.firm.str[1:].astype(int) % 7, trend=lambda d: d.year * 2.0)
        with pytest.warns(quorbis.ProbitWarning):
            r = quorbis.probit("y ~ x + size + trend + d | firm + year", data)
        assert r.omitted == ["size", "trend"] and list(r.params.index) == ["x", "d"]
        pd.testing.assert_series_equal(r.params, fit("y ~ x + d | firm + year", data).params, rtol=1e-6)


class TestEffects:
    data = panel(30, 6, 7)

    def test_are_normalised_and_reproduce_the_fitted_index(self):
        r = fit("y ~ x + d | firm + year", self.data)
        effects = r.fixef()
        assert effects["year"].iloc[0] == 0.0 and list(effects["year"].index) == list(range(2001, 2007))
        rows = self.data[np.asarray(r.raw.kept)]
        index = rows[["x", "d"]].to_numpy() @ r.params + effects["firm"][rows.firm].to_numpy() \
            + effects["year"][rows.year].to_numpy()
        np.testing.assert_allclose(r.predict(), ndtr(index), rtol=1e-12)
        np.testing.assert_allclose(r.predict(rows), r.predict(), rtol=1e-12)
        # the dummies' coefficients: firm effects, then year effects against the first year
        _, _, dummy = dummy_fit(r, self.data)
        np.testing.assert_allclose(np.concatenate([effects["firm"], effects["year"].iloc[1:]]), dummy.params[2:],
                                   rtol=1e-7, atol=1e-8)

    def test_unknown_levels_predict_nan(self):
        r = fit("y ~ x + d | firm + year", self.data)
        new = self.data.iloc[:3].assign(firm=["f000", "nobody", "f001"], year=[2001, 2001, 1999])
        assert np.isnan(r.predict(new)).tolist() == [False, True, True]

    def test_survive_pickling_and_the_refit_is_bit_identical(self):
        r = fit("y ~ x + d | firm + year", self.data, cluster="firm")
        copy = pickle.loads(pickle.dumps(r))
        pd.testing.assert_series_equal(copy.bse, r.bse)
        assert copy.raw.params.tobytes() == r.raw.params.tobytes()
        pd.testing.assert_frame_equal(copy.ame(), r.ame())


def delta_method_effects(r, data, cov, population):
    """The average partial effects at the dummies' fit, their Jacobian in all its coefficients by central
    differences, and the covariance J V J' (plus the partial effects' variation over firms and years)."""
    rows, Z, dummy = dummy_fit(r, data, **cov)
    k, binary = len(r.params), [False, True]

    def effects(theta):
        return partial_effects(Z[:, :k], theta[:k], Z @ theta, binary)[0]

    theta = dummy.params
    steps = np.eye(len(theta)) * 1e-6
    J = np.column_stack([(effects(theta + s).mean(0) - effects(theta - s).mean(0)) / 2e-6 for s in steps])
    V = J @ dummy.cov_params() @ J.T
    if population:
        centred = effects(theta) - effects(theta).mean(0)
        sums = [pd.DataFrame(centred).groupby(rows[c].to_numpy()).sum().to_numpy() for c in ("firm", "year")]
        V = V + (sum(s.T @ s for s in sums) - centred.T @ centred) / len(rows) ** 2
    return effects(theta).mean(0), np.sqrt(np.diag(V))


@pytest.mark.parametrize("population", [False, True])
@pytest.mark.parametrize("cov", COVARIANCES.values(), ids=COVARIANCES.keys())
def test_partial_effects_follow_the_delta_method_in_all_coefficients(cov, population):
    data = panel(30, 6, 8)
    r = fit("y ~ x + d | firm + year", data, **cov)
    table = r.ame(population=population)
    effects, std_errs = delta_method_effects(r, data, cov, population)
    share = r.nobs / len(data)  # the rows of all-0 and all-1 firms count with an effect of 0
    assert list(table.index) == ["x", "d"] and r.removed_rows > 0
    np.testing.assert_allclose(table["dy/dx"], share * effects, rtol=1e-9)
    np.testing.assert_allclose(table["Std. Err"], share * std_errs, rtol=1e-6)


@pytest.mark.parametrize("L", [0, 2])
@pytest.mark.parametrize("effects", ["firm", "firm + year"])
def test_the_bias_correction_follows_the_paper(effects, L):
    data = panel(15, 9, 9)
    r = fit(f"y ~ x + d | {effects}", data, bias_correction="analytical", L=L)
    rows, Z, dummy = dummy_fit(r.uncorrected, data)
    codes = [pd.factorize(rows[c], sort=True)[0] for c in r.effect_names] + [None]
    args = rows.y.to_numpy(float), Z[:, :2], codes[0], codes[1]
    expected = paper_bias_correction(*args, dummy.params[:2], Z @ dummy.params, L)
    np.testing.assert_allclose(r.params, expected, rtol=1e-8)
    np.testing.assert_allclose(r.uncorrected.params, dummy.params[:2], rtol=1e-8)
    assert r.llf == r.uncorrected.llf and r.bias_correction == "analytical" and r.L == L
    corrected = paper_corrected_effects(*args, dummy.params[:2], Z @ dummy.params, [False, True], L)
    np.testing.assert_allclose(r.ame()["dy/dx"], corrected * r.nobs / len(data), rtol=1e-7)


DATA = panel(20, 4, 10).assign(industry=lambda d: d.firm.str[-1])
MISUSE = [
    ("y ~ x | firm | year", {}, "the formula 'y ~ x | firm | year' must have one '|': 'y ~ x1 + x2 | firm + year'"),
    ("y ~ x | np.log(year)", {}, "the fixed effects must be column names or their combinations 'a:b', not "
                                 "'np.log(year)'"),
    ("y ~ x | 1", {}, "the formula 'y ~ x | 1' names no fixed effect after '|'"),
    ("y ~ x | plant", {}, "fixed-effect columns not in data: plant"),
    ("y ~ 1 | firm", {}, "a probit with fixed effects needs at least one regressor besides the effects"),
    ("y ~ x | firm", {"bias_correction": "jackknife"}, "bias_correction must be None or 'analytical', not "
                                                       "'jackknife'"),
    ("y ~ x | firm", {"L": 1}, "L is the bandwidth of the bias correction: pass bias_correction='analytical' "
                               "with it"),
    ("y ~ x | firm", {"bias_correction": "analytical", "L": -1}, "L must be an integer of 0 or more, not -1"),
    ("y ~ x | firm", {"bias_correction": "analytical", "L": 1.0}, "L must be an integer of 0 or more, not 1.0"),
    ("y ~ x | firm + year + industry", {"bias_correction": "analytical"},
     "bias_correction='analytical' corrects individual effects, or individual and time effects: the formula has "
     "3 dimensions of effects"),
    ("y ~ x", {"bias_correction": "analytical"}, "bias_correction and L apply to fixed effects: write them after "
                                                 "'|' in the formula, as in 'y ~ x1 + x2 | firm + year'"),
]


@pytest.mark.parametrize("formula, options, message", MISUSE, ids=[m[0] + str(m[1]) for m in MISUSE])
def test_misuse_is_refused_with_a_message(formula, options, message):
    with pytest.raises(ValueError) as error:
        quorbis.probit(formula, DATA, **options)
    assert str(error.value) == message


def test_missing_effect_values_drop_their_rows_or_are_refused():
    data = DATA.assign(firm=DATA.firm.where(DATA.index % 9 != 4))
    r = fit("y ~ x | firm", data)
    assert r.dropped_rows == 9 and r.nobs + r.removed_rows == len(data) - 9
    with pytest.raises(ValueError, match=r"^missing values in firm \(9 rows\); pass missing='drop'"):
        quorbis.probit("y ~ x | firm", data, missing="raise")


class TestEngine:
    data = panel(300, 6, 11)

    def everything(self, X_order):
        X = np.asarray(self.data[["x", "d"]].to_numpy(), order=X_order)
        codes = np.ascontiguousarray(np.column_stack([pd.factorize(self.data.firm)[0], self.data.year - 2001]))
        clusters = codes[:, :1].astype(float)
        raw = quorbis._quorbis._fit_fixed_effects(self.data.y.to_numpy(float), X, codes, 35, 1e-6, True, clusters, 1)
        return [raw["params"], raw["cov_params"], *raw["effects"], raw["uncorrected"]["params"]]

    def test_results_are_bit_identical_for_any_number_of_threads_and_memory_layout(self):
        before = quorbis.get_num_threads()
        try:
            runs = []
            for threads, order in [(1, "C"), (2, "F"), (3, "C"), (8, "F")]:
                quorbis.set_num_threads(threads)
                runs.append(self.everything(order))
        finally:
            quorbis.set_num_threads(before)
        for run in runs[1:]:
            for got, expected in zip(run, runs[0]):
                assert got.tobytes() == expected.tobytes()

    def test_ctrl_c_stops_a_fit(self):
        code = """
            import os, signal, threading
            import numpy as np
            import quorbis

            signal.signal(signal.SIGINT, signal.default_int_handler)
            rng = np.random.default_rng(0)
            n = 200_000
            codes = np.ascontiguousarray(np.column_stack([rng.integers(0, 5000, n), rng.integers(0, 20, n)]))
            X = rng.normal(size=(n, 5))
            y = (X.sum(axis=1) + rng.normal(size=n) > 0).astype(float)
            for _ in range(3):
                threading.Timer(0.05, os.kill, (os.getpid(), signal.SIGINT)).start()
                try:
                    quorbis._quorbis._fit_fixed_effects(y, X, codes, 10**9, 0.0, False, None, None)
                except KeyboardInterrupt:
                    pass
                else:
                    raise SystemExit("not interrupted")
            print("interrupted")
        """
        result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                                timeout=120)
        assert result.returncode == 0 and result.stdout.strip() == "interrupted", result.stderr


@pytest.mark.parametrize("options, nested", [({"robust": True}, False), ({"cluster": "firm"}, True)])
def test_the_small_sample_factor_counts_the_identified_effects(options, nested):
    data = panel(120, 30, 12)
    plain = fit("y ~ x + d | firm + year", data, **options)
    scaled = fit("y ~ x + d | firm + year", data, small_sample=True, **options)
    assert plain.n_effects == plain.n_levels["firm"] + plain.n_levels["year"] - 1  # one connected set
    n, g = plain.nobs, plain.n_clusters
    K = len(plain.params) + plain.n_effects - (plain.n_levels["firm"] if nested else 0)  # firms within clusters
    factor = g / (g - 1) * (n - 1) / (n - K) if nested else n / (n - K)
    np.testing.assert_allclose(scaled.bse, plain.bse * np.sqrt(factor), rtol=1e-14)


def test_nothing_left_to_fit_is_refused():
    # Each firm's outcome is constant, though both outcomes occur (an outcome constant in every row is refused
    # as such before).
    with pytest.raises(ValueError) as error:
        quorbis.probit("y ~ x | firm", DATA.assign(y=DATA.firm.str[-1].astype(int) % 2))
    assert str(error.value) == "no row is left to fit: every row belongs to a level whose outcomes are all 0 or all 1"
