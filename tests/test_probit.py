"""probit(): formulas and DataFrames in, a ProbitResult out, checked against statsmodels' formula
interface, and on the inputs that go quietly wrong when the arrays are prepared by hand."""

import copy
import importlib.metadata
import math
import pickle
import sys
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
import statsmodels.formula.api as smf

import quorbis

GRADES = pd.read_csv(Path(__file__).resolve().parent.parent / "examples" / "grades.csv")
TIGHT = {"tol": 1e-12, "max_iter": 200}


def survey(n=800, seed=3):
    """A categorical regressor, a dummy, an interaction, string cluster ids and a few missing values."""
    rng = np.random.default_rng(seed)
    data = pd.DataFrame({"x": rng.normal(size=n), "region": rng.choice(["north", "south", "east", "west"], n),
                         "d": rng.integers(0, 2, n), "firm": rng.choice([f"f{i:02d}" for i in range(40)], n)})
    eta = (-0.2 + 0.8 * data.x + data.region.map({"north": 0.0, "south": 0.5, "east": -0.4, "west": 0.2})
           + 0.6 * data.d - 0.3 * data.x * data.d)
    data["y"] = (eta + rng.normal(size=n) > 0).astype(int)
    data.loc[[3, 50], "x"] = np.nan
    data.loc[7, "firm"] = None
    return data


SURVEY = survey()
SURVEY_FORMULA = "y ~ x + C(region) + d + x:d"


def statsmodels_fit(formula, data, **fit):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return smf.probit(formula, data).fit(disp=0, method="newton", tol=1e-12, maxiter=200, **fit)


CASES = {
    "grades": (("GRADE ~ GPA + TUCE + PSI", GRADES, {}), ("GRADE ~ GPA + TUCE + PSI", GRADES, {})),
    "grades robust": (("GRADE ~ GPA + TUCE + PSI", GRADES, {"robust": True}),
                      ("GRADE ~ GPA + TUCE + PSI", GRADES, {"cov_type": "HC0"})),
    "survey clusters": (
        (SURVEY_FORMULA, SURVEY, {"cluster": "firm"}),
        (SURVEY_FORMULA, SURVEY.dropna(),
         {"cov_type": "cluster",
          "cov_kwds": {"groups": pd.factorize(SURVEY.dropna().firm)[0], "use_correction": False}})),
    "survey clusters corrected": (
        (SURVEY_FORMULA, SURVEY, {"cluster": "firm", "small_sample": True}),
        (SURVEY_FORMULA, SURVEY.dropna(),
         {"cov_type": "cluster", "cov_kwds": {"groups": pd.factorize(SURVEY.dropna().firm)[0]}})),
}


@pytest.mark.parametrize("ours, theirs", CASES.values(), ids=CASES.keys())
def test_agrees_with_the_statsmodels_formula_interface(ours, theirs):
    formula, data, options = ours
    r = quorbis.probit(formula, data, **options, **TIGHT)
    m = statsmodels_fit(theirs[0], theirs[1], **theirs[2])
    assert list(r.params.index) == list(m.params.index)
    for ours_, theirs_ in [(r.params, m.params), (r.bse, m.bse), (r.pvalues, m.pvalues)]:
        np.testing.assert_allclose(ours_.to_numpy(), theirs_.to_numpy(), rtol=0, atol=1e-6)
    for name in ("llf", "llnull", "prsquared", "aic", "bic", "nobs"):
        assert getattr(r, name) == pytest.approx(getattr(m, name), abs=1e-6), name
    np.testing.assert_allclose(r.conf_int(0.1).to_numpy(), m.conf_int(0.1).to_numpy(), atol=1e-6)
    np.testing.assert_allclose(r.cov_params().to_numpy(), m.cov_params().to_numpy(), atol=1e-6)

    np.testing.assert_allclose(r.predict(theirs[1]), m.predict(theirs[1]), atol=1e-6)
    if ":" in formula:  # statsmodels' effects are of columns, not of the variables of an interaction
        return
    effects, margins = r.ame(), m.get_margeff(dummy=True).summary_frame()
    margins = margins.loc[effects.index]  # statsmodels lists the dummies of categoricals first
    assert sorted(effects.index) == sorted(m.params.index.drop("Intercept"))
    for ours_, theirs_ in [("dy/dx", "dy/dx"), ("Std. Err", "Std. Err."), ("Pr(>|z|)", "Pr(>|z|)")]:
        np.testing.assert_allclose(effects[ours_], margins[theirs_], rtol=0, atol=1e-6)


def test_the_small_sample_factor_of_a_robust_covariance_is_n_over_n_minus_k():
    hc0 = quorbis.probit("GRADE ~ GPA + TUCE + PSI", GRADES, robust=True)
    hc1 = quorbis.probit("GRADE ~ GPA + TUCE + PSI", GRADES, robust=True, small_sample=True)
    np.testing.assert_allclose(hc1.bse, hc0.bse * math.sqrt(32 / 28), rtol=1e-14)
    assert (hc0.cov_type, hc1.cov_type) == ("HC0", "HC1")


def test_clusters_of_any_dtype_and_the_array_form_give_the_same_fit():
    clean = SURVEY.dropna()
    by_name = quorbis.probit(SURVEY_FORMULA, SURVEY, cluster="firm")
    codes = clean.firm.str[1:].astype(int).to_numpy()
    by_ints = quorbis.probit(SURVEY_FORMULA, clean, cluster=codes)
    by_categorical = quorbis.probit(SURVEY_FORMULA, clean, cluster=clean.firm.astype("category"))
    X = pd.DataFrame(by_name.raw.model.exog, columns=by_name.exog_names, index=clean.index)
    by_arrays = quorbis.probit(clean.y, X, cluster=clean.firm)
    for other in (by_ints, by_categorical, by_arrays):
        pd.testing.assert_series_equal(other.bse, by_name.bse)
        assert other.n_clusters == by_name.n_clusters == 40
    assert by_name.dropped_rows == 3 and by_ints.dropped_rows == 0
    assert list(by_arrays.ame().index) == by_name.exog_names[1:]


def test_one_combined_column_clusters_on_the_cells():
    data = SURVEY.dropna().assign(half=lambda d: d.x > 0)
    cells = data.firm + "/" + data.half.astype(str)
    r = quorbis.probit(SURVEY_FORMULA, data, cluster=cells.to_numpy())
    assert r.n_clusters == cells.nunique()
    raw = quorbis.fit_probit(r.raw.model.endog, r.raw.model.exog, robust=True, tol=1e-12, max_iter=200,
                             cluster_vars=np.column_stack([data.firm.str[1:].astype(float), data.half * 1.0]))
    np.testing.assert_allclose(r.bse, np.sqrt(np.diag(raw.cov_params())), rtol=1e-7)


class TestTraps:
    def test_the_intercept_gets_no_effect_whatever_it_is_called(self):
        X = GRADES[["GPA", "TUCE", "PSI"]].assign(ones=1.0)
        r = quorbis.probit(GRADES.GRADE, X)
        assert list(r.ame().index) == ["GPA", "TUCE", "PSI"]
        formula = quorbis.probit("GRADE ~ GPA + TUCE + PSI", GRADES)
        pd.testing.assert_frame_equal(r.ame(), formula.ame()[r.ame().columns], atol=1e-12)

    @pytest.mark.parametrize("outcome, shown", [([1, 2], "1, 2"), ([0, 1, 5], "0, 1, 5"), ([0.5, 1], "0.5, 1")])
    def test_an_outcome_that_is_not_0_1_is_refused(self, outcome, shown):
        data = pd.DataFrame({"y": np.resize(outcome, 12), "x": np.arange(12.0)})
        with pytest.raises(ValueError, match=f"must be 0 or 1 .*found the values {shown}$"):
            quorbis.probit("y ~ x", data)

    def test_boolean_and_nullable_outcomes_are_0_1(self):
        base = quorbis.probit("GRADE ~ GPA + PSI", GRADES)
        for y in (GRADES.GRADE.astype(bool), GRADES.GRADE.astype("Int64")):
            pd.testing.assert_series_equal(quorbis.probit("y ~ GPA + PSI", GRADES.assign(y=y)).params, base.params)

    def test_missing_values_are_dropped_together_or_named(self):
        r = quorbis.probit(SURVEY_FORMULA, SURVEY, cluster="firm")
        assert (r.nobs, r.dropped_rows) == (len(SURVEY) - 3, 3)
        assert np.isfinite(r.params).all() and np.isfinite(r.bse).all()
        with pytest.raises(ValueError, match=r"^missing values in x, firm \(3 rows\)"):
            quorbis.probit(SURVEY_FORMULA, SURVEY, cluster="firm", missing="raise")

    @pytest.mark.parametrize("formula, data, message", [
        ("GRADE ~ GPA", GRADES.assign(GPA=np.nan), "no rows to fit: 32 of 32 rows have missing values"),
        ("GRADE ~ 0", GRADES, "the model has no regressors, not even a constant"),
        ("GPA + PSI", GRADES, "has no outcome"),
        ("y ~ GPA", GRADES.assign(y=GRADES.GRADE.map({0: "no", 1: "yes"})), "gives 2 columns: y.no., y.yes."),
        ("GRADE ~ GPA", GRADES.assign(GPA=np.inf), "infinite values in GPA"),
        ("GRADE ~ GPA", GRADES.assign(GPA=np.where(GRADES.index % 2, np.inf, -np.inf)), "infinite values in GPA"),
    ])
    @pytest.mark.filterwarnings("error::RuntimeWarning")  # the error alone, without NumPy's inf - inf
    def test_inputs_that_cannot_be_fitted_are_refused(self, formula, data, message):
        with pytest.raises(ValueError, match=message):
            quorbis.probit(formula, data)

    def test_rows_made_missing_by_a_transform_are_dropped(self):
        data = GRADES.assign(TUCE=GRADES.TUCE.where(GRADES.index > 1, -1.0))
        r = quorbis.probit("GRADE ~ GPA + np.log(TUCE)", data)
        assert r.dropped_rows == 2 and r.nobs == 30

    def test_stateful_transforms_see_their_variables_over_the_kept_rows(self):
        data = GRADES.assign(TUCE=GRADES.TUCE.where(GRADES.index != 3))
        r = quorbis.probit("GRADE ~ center(GPA) + scale(TUCE) + PSI", data)
        kept = data.dropna()
        plain = quorbis.probit("GRADE ~ GPA_c + TUCE_s + PSI", kept.assign(
            GPA_c=kept.GPA - kept.GPA.mean(), TUCE_s=(kept.TUCE - kept.TUCE.mean()) / kept.TUCE.std()))
        np.testing.assert_allclose(r.params.to_numpy(), plain.params.to_numpy(), rtol=1e-12)
        assert r.dropped_rows == 1

    def test_forgotten_drop_first_names_the_collinear_columns(self):
        X = pd.get_dummies(SURVEY.dropna().region, dtype=float).assign(const=1.0)
        with pytest.warns(quorbis.ProbitWarning, match="columns east, north, south, west, const are collinear"):
            quorbis.probit(SURVEY.dropna().y, X)

    @pytest.mark.parametrize("formula, warned", [("y ~ x - 1", True), ("y ~ C(region) - 1", False)])
    def test_a_design_without_a_constant_is_flagged(self, formula, warned):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            quorbis.probit(formula, SURVEY)
        assert any("no constant column" in str(w.message) for w in caught) == warned

    def test_no_convergence_is_flagged_once_separation_is_ruled_out(self):
        with pytest.warns(quorbis.ProbitWarning, match="^the fit did not converge in 2 iterations") as caught:
            r = quorbis.probit("GRADE ~ GPA + TUCE + PSI", GRADES, max_iter=2)
        assert len(caught) == 1 and not r.converged and r.separation is None

    def test_tiny_p_values_are_not_rounded_to_zero(self):
        rng = np.random.default_rng(0)
        x = rng.normal(size=5000)
        data = pd.DataFrame({"x": x, "y": (0.5 * x + rng.normal(size=5000) > 0).astype(float)})
        p = quorbis.probit("y ~ x", data).pvalues["x"]
        z = quorbis.probit("y ~ x", data).zvalues["x"]
        assert 0.0 < p == pytest.approx(math.erfc(z / math.sqrt(2)), rel=1e-12)


class TestResultObject:
    def test_predict_applies_the_formula_and_refuses_new_categories(self):
        r = quorbis.probit(SURVEY_FORMULA, SURVEY)
        new = SURVEY.head(5)  # row 3 lacks x, and is not part of the fit
        predicted = r.predict(new)
        assert list(predicted.index) == list(new.index) and np.isnan(predicted[3])
        np.testing.assert_allclose(predicted.drop(3), r.predict()[:4], rtol=1e-14)
        with pytest.raises(ValueError, match="newdata does not fit"):
            r.predict(new.assign(region="mars"))

    def test_predict_on_arrays(self):
        r = quorbis.probit(GRADES.GRADE, GRADES[["GPA", "PSI"]].assign(const=1.0))
        X = GRADES[["PSI", "GPA"]].assign(const=1.0)  # columns are taken by name
        np.testing.assert_allclose(r.predict(X), r.predict())
        np.testing.assert_allclose(r.predict(X[r.exog_names].to_numpy()), r.predict())

    @pytest.mark.parametrize("clone", [lambda r: pickle.loads(pickle.dumps(r)), copy.deepcopy])
    def test_pickle_and_deepcopy_keep_everything(self, clone):
        r = quorbis.probit(SURVEY_FORMULA, SURVEY, cluster="firm")
        twin = clone(r)
        pd.testing.assert_frame_equal(twin.ame(), r.ame())
        pd.testing.assert_series_equal(twin.predict(SURVEY.head()), r.predict(SURVEY.head()))
        assert twin.summary() == r.summary()
        # The raw result is refitted on demand, to the same bits.
        assert twin.raw.params.tobytes() == r.raw.params.tobytes()

    def test_summary_and_reprs_show_what_a_statistician_looks_for(self):
        r = quorbis.probit("GRADE ~ GPA + TUCE + PSI", GRADES, robust=True)
        text = r.summary()
        for item in ("Probit", "Dep. Variable:", "GRADE", "No. Observations:", "32", "HC0", "Pseudo R-squ.",
                     "LL-Null:", "P>|z|", "[0.025", "Intercept"):
            assert item in text
        assert "<table" in r._repr_html_() and "GPA" in r._repr_html_()
        assert repr(r).startswith("<ProbitResult GRADE ~ GPA + TUCE + PSI: nobs=32")

    def test_plot_ame_draws_one_row_per_effect_or_names_the_extra(self, monkeypatch):
        pytest.importorskip("matplotlib")
        import matplotlib

        matplotlib.use("Agg")
        r = quorbis.probit("GRADE ~ GPA + TUCE + PSI", GRADES)
        ax = r.plot_ame()
        assert [t.get_text() for t in ax.get_yticklabels()] == ["GPA", "TUCE", "PSI"]
        monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
        with pytest.raises(ImportError, match=r"quorbis\[plot\]"):
            r.plot_ame()


def test_new_names_beside_the_contract_surface():
    assert issubclass(quorbis.ProbitWarning, UserWarning)
    assert quorbis.PanicException.__bases__ == (BaseException,)
    assert quorbis.__version__ == importlib.metadata.version("quorbis")
    assert quorbis.probit.__module__ == quorbis.ProbitResult.__module__ == "quorbis"
