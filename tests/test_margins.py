"""Effects of variables, average predictions and predictions with errors, against references computed here:
derivatives of the design by the complex step through formulaic's own model (exact to rounding), closed
forms, counterfactual predictions on modified data, and statsmodels for linear formulas."""

import math
import warnings

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm
import statsmodels.formula.api as smf
from scipy.stats import norm

import quorbis

TIGHT = {"tol": 1e-12, "max_iter": 200}


def people(n=1500, seed=4):
    rng = np.random.default_rng(seed)
    data = pd.DataFrame({"age": rng.uniform(20, 65, n), "educ": rng.uniform(8, 20, n),
                         "kids": rng.integers(0, 2, n), "owner": rng.integers(0, 2, n).astype(bool),
                         "region": rng.choice(["north", "south", "east"], n), "income": rng.lognormal(3, 0.5, n)})
    eta = (-2 + 0.09 * data.age - 0.0011 * data.age ** 2 + 0.004 * data.age * data.educ + 0.3 * data.kids
           - 0.2 * data.owner + data.region.map({"north": 0.0, "south": 0.4, "east": -0.3}) + 0.2 * np.log(data.income))
    data["y"] = (eta + rng.normal(size=n) > 0).astype(int)
    return data


DATA = people()
FORMULAS = {
    "polynomial and interaction": "y ~ age + I(age**2) + age:educ + kids",
    "interaction only": "y ~ age:educ + region",
    "logs and roots": "y ~ np.log(income) + np.sqrt(age) + I(educ / age) + np.exp(age / 50)",
    "center and scale": "y ~ center(age) + scale(educ) + scale(age):kids",
    "categorical interaction": "y ~ C(region):age + educ + I(age**3)",
}


def fitted(formula, data=DATA, **options):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", quorbis.ProbitWarning)
        return quorbis.probit(formula, data, **TIGHT, **options)


def design(r, data):
    return r._spec.get_model_matrix(data, na_action="ignore")[r.exog_names].to_numpy()


def design_derivative(r, data, variable):
    """dX/dv by the complex step: exact to rounding for the analytic transforms of formulaic's model."""
    h = 1e-30
    shifted = r._spec.get_model_matrix(data.assign(**{variable: data[variable] + 1j * h}), na_action="ignore")
    return np.asarray(shifted[r.exog_names].to_numpy(dtype=complex).imag / h)


def exact_effect(r, X, D):
    """The average of phi(x b) dx/dv . b and its Jacobian in b, phi D - eta phi (D b) X, averaged."""
    b = r.params.to_numpy()
    eta = X @ b
    f, s = norm.pdf(eta), D @ b
    return np.mean(f * s), (f[:, None] * D - (eta * f * s)[:, None] * X).mean(axis=0)


def se(r, gradient):
    return math.sqrt(gradient @ r.cov_params().to_numpy() @ gradient)


@pytest.mark.parametrize("formula", FORMULAS.values(), ids=FORMULAS.keys())
def test_numeric_effects_are_the_exact_average_derivatives(formula):
    r = fitted(formula, robust=True)
    table = r.ame()
    X = design(r, DATA)
    for v in ("age", "educ", "income"):
        if v not in table.index:
            continue
        effect, gradient = exact_effect(r, X, design_derivative(r, DATA, v))
        assert table.loc[v, "dy/dx"] == pytest.approx(effect, rel=1e-9)
        assert table.loc[v, "Std. Err"] == pytest.approx(se(r, gradient), rel=1e-7)


def test_each_variable_gets_one_row_and_each_level_a_contrast_with_the_base():
    r = fitted("y ~ age + I(age**2) + age:educ + C(region) + kids + owner")
    table = r.ame()
    # In the order of the formula's terms, which formulaic sorts by degree: educ comes with age:educ.
    assert list(table.index) == ["age", "C(region)[T.north]", "C(region)[T.south]", "kids", "owner", "educ"]
    assert list(table.contrast) == ["", "north - east", "south - east", "1 - 0", "1 - 0", ""]
    assert list(table.variable) == ["age", "region", "region", "kids", "owner", "educ"]
    assert list(table.columns[:7]) == ["dy/dx", "Std. Err", "z", "Pr(>|z|)", "Significance", "[0.025", "0.975]"]


@pytest.mark.parametrize("variable, levels", [("region", [("north", "east"), ("south", "east")]),
                                              ("kids", [(1, 0)]), ("owner", [(True, False)])])
def test_contrasts_are_counterfactual_differences(variable, levels):
    r = fitted("y ~ age + C(region) * age + kids * educ + owner")
    table = r.ame(variable)
    b = r.params.to_numpy()
    for (level, base), (_, row) in zip(levels, table.iterrows()):
        X1, X0 = design(r, DATA.assign(**{variable: level})), design(r, DATA.assign(**{variable: base}))
        assert row["dy/dx"] == pytest.approx(np.mean(norm.cdf(X1 @ b) - norm.cdf(X0 @ b)), rel=1e-10)
        gradient = (norm.pdf(X1 @ b)[:, None] * X1 - norm.pdf(X0 @ b)[:, None] * X0).mean(axis=0)
        assert row["Std. Err"] == pytest.approx(se(r, gradient), rel=1e-9)


def test_linear_formulas_agree_with_statsmodels_get_margeff():
    data = sm.datasets.spector.load_pandas().data
    r = quorbis.probit("GRADE ~ GPA + TUCE + PSI", data, **TIGHT)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        m = smf.probit("GRADE ~ GPA + TUCE + PSI", data).fit(start_params=r.params.to_numpy(), maxiter=0, disp=0)
    m.normalized_cov_params = r.cov_params().to_numpy()  # the same covariance, to compare the effects alone
    theirs = m.get_margeff(dummy=True).summary_frame()
    ours = r.ame()
    np.testing.assert_allclose(ours["dy/dx"], theirs["dy/dx"], rtol=1e-10)
    np.testing.assert_allclose(ours["Std. Err"], theirs["Std. Err."], rtol=1e-10)


def test_at_the_means_evaluates_one_row_of_means_and_shares():
    r = fitted("y ~ age + I(age**2) + C(region) + C(region):educ")
    b = r.params
    shares = DATA.region.value_counts(normalize=True)
    age, educ = DATA.age.mean(), DATA.educ.mean()
    x = pd.Series({"Intercept": 1.0, "C(region)[T.north]": shares["north"], "C(region)[T.south]": shares["south"],
                   "age": age, "I(age ** 2)": age ** 2,
                   **{f"C(region)[{g}]:educ": shares[g] * educ for g in ("east", "north", "south")}})[r.exog_names]
    slope = b["age"] + 2 * age * b["I(age ** 2)"]
    table = r.ame(at="mean")
    assert table.loc["age", "dy/dx"] == pytest.approx(norm.pdf(x @ b) * slope, rel=1e-12)
    north = x.copy()
    north[["C(region)[T.north]", "C(region)[T.south]"]] = [1.0, 0.0]
    north[["C(region)[east]:educ", "C(region)[north]:educ", "C(region)[south]:educ"]] = [0.0, educ, 0.0]
    east = north.copy()
    east[["C(region)[T.north]", "C(region)[east]:educ", "C(region)[north]:educ"]] = [0.0, educ, 0.0]
    assert table.loc["C(region)[T.north]", "dy/dx"] == pytest.approx(norm.cdf(north @ b) - norm.cdf(east @ b),
                                                                     rel=1e-12)


def test_at_values_set_the_variables_for_every_row():
    r = fitted("y ~ age + I(age**2) + age:educ + C(region)")
    b = r.params.to_numpy()
    effects = r.ame("age", at={"age": [30, 50], "region": "south"})
    means = r.margins(at={"age": [30, 50], "region": "south"})
    assert effects.index.names == ["age", "region", "term"] and means.index.names == ["age", "region"]
    for age in (30, 50):
        modified = DATA.assign(age=age, region="south")
        X = design(r, modified)
        effect, _ = exact_effect(r, X, design_derivative(r, modified, "age"))
        assert effects.loc[(age, "south", "age"), "dy/dx"] == pytest.approx(effect, rel=1e-10)
        assert means.loc[(age, "south"), "predicted"] == pytest.approx(np.mean(norm.cdf(X @ b)), rel=1e-12)


def test_by_averages_within_groups_and_the_groups_make_up_the_whole():
    r = fitted("y ~ age + I(age**2) + educ + C(region)")
    whole, groups = r.ame(), r.ame(by=["kids", "owner"])
    sizes = DATA.groupby(["kids", "owner"]).size()
    assert list(groups.index.names) == ["kids", "owner", "term"]
    for term in whole.index:
        parts = groups.xs(term, level="term")["dy/dx"]
        assert (parts * sizes).sum() / sizes.sum() == pytest.approx(whole.loc[term, "dy/dx"], rel=1e-12)
    rows = DATA[(DATA.kids == 1) & ~DATA.owner]
    effect, gradient = exact_effect(r, design(r, rows), design_derivative(r, rows, "age"))
    assert groups.loc[(1, False, "age"), "dy/dx"] == pytest.approx(effect, rel=1e-12)
    assert groups.loc[(1, False, "age"), "Std. Err"] == pytest.approx(se(r, gradient), rel=1e-9)


def test_a_spline_is_differentiated_by_its_model_to_the_accuracy_of_finite_differences():
    r = fitted("y ~ bs(age, df=5, extrapolation='extend') + educ")
    h = 1e-5
    up, down = r.predict(DATA.assign(age=DATA.age + h)), r.predict(DATA.assign(age=DATA.age - h))
    assert r.ame().loc["age", "dy/dx"] == pytest.approx(np.mean(up - down) / (2 * h), rel=1e-6)
    with pytest.raises(ValueError, match=r"^the derivative of bs\(age, df=5\) in age steps beyond the values it"):
        fitted("y ~ bs(age, df=5) + educ").ame()


def test_average_predictions_and_predictions_with_errors():
    r = fitted("y ~ age + I(age**2) + C(region)", cluster="region")
    X, b, V = design(r, DATA), r.params.to_numpy(), r.cov_params().to_numpy()
    eta = X @ b
    se_eta = np.sqrt(np.einsum("ij,jk,ik->i", X, V, X))
    rows = r.predict(DATA, se=True, alpha=0.1)
    np.testing.assert_allclose(rows["predicted"], norm.cdf(eta), rtol=1e-13)
    np.testing.assert_allclose(rows["std err"], norm.pdf(eta) * se_eta, rtol=1e-10)
    z = norm.ppf(0.95)
    np.testing.assert_allclose(rows[["lower", "upper"]], norm.cdf(np.c_[eta - z * se_eta, eta + z * se_eta]),
                               rtol=1e-10)
    linear = r.predict(DATA, se=True, which="linear")
    np.testing.assert_allclose(linear[["predicted", "std err"]], np.c_[eta, se_eta], rtol=1e-10)
    average = r.margins()
    gradient = (norm.pdf(eta)[:, None] * X).mean(axis=0)
    assert average.loc["average", "predicted"] == pytest.approx(norm.cdf(eta).mean(), rel=1e-13)
    assert average.loc["average", "Std. Err"] == pytest.approx(math.sqrt(gradient @ V @ gradient), rel=1e-10)


def test_results_do_not_depend_on_the_chunks():
    r = fitted("y ~ age + I(age**2) + age:educ + C(region) + kids")
    for call in (lambda c: r.ame(chunk_size=c), lambda c: r.ame(at={"age": 40}, by="owner", chunk_size=c)):
        pd.testing.assert_frame_equal(call(None), call(97), rtol=1e-12)
    pd.testing.assert_frame_equal(r.ame(97), r.ame(chunk_size=97))  # as ame(chunk_size) was called before


def test_a_term_whose_decoded_columns_differ_from_the_fit_is_left_to_formulaic(monkeypatch):
    r = fitted("y ~ np.log(income):age + age")
    monkeypatch.setitem(quorbis._terms._FUNCTIONS, "log", np.log10)  # a wrong reading of the formula
    effect, _ = exact_effect(r, design(r, DATA), design_derivative(r, DATA, "age"))
    assert r.ame().loc["age", "dy/dx"] == pytest.approx(effect, rel=1e-7)


def test_weights_weigh_rows_as_their_copies():
    rng = np.random.default_rng(2)
    X = np.column_stack([np.ones(50), rng.normal(size=(50, 2))])
    b, counts = np.array([0.1, 0.5, -0.4]), rng.integers(1, 4, 50)
    extras = [np.ascontiguousarray(X[:, 1])]
    scenarios = [np.zeros((0, 3)), np.array([[2, 0.3, -1]])]
    derivatives = [(0, np.array([[1, 1.0, -1]])), (1, np.array([[1, 2.0, 0]]))]
    weighted = quorbis._quorbis._margin_sums(X, b, extras, scenarios, [0, 1], derivatives, counts.astype(float))
    copies = np.repeat(X, counts, axis=0)
    repeated = quorbis._quorbis._margin_sums(copies, b, [np.ascontiguousarray(copies[:, 1])], scenarios, [0, 1],
                                             derivatives)
    for ours, theirs in zip(weighted, repeated):
        np.testing.assert_allclose(ours, theirs, rtol=1e-13)


ARRAY_FIT = quorbis.probit(DATA.y, DATA[["age", "educ"]].assign(const=1.0))


@pytest.mark.parametrize("call, error, message", [
    (lambda r: r.ame("wage"), ValueError,
     "wage is not a variable of the formula's right-hand side (its variables: age, region)"),
    (lambda r: r.ame(at={"region": "west"}), ValueError,
     "at sets region to 'west', which is not one of its levels (east, north, south)"),
    (lambda r: r.ame(at={"age": "old"}), ValueError, "at sets the numeric variable age to 'old', which is not a number"),
    (lambda r: r.ame(at={"educ": 12}), ValueError,
     "at sets educ, which the formula's right-hand side does not read (its variables: age, region)"),
    (lambda r: r.ame(at="median"), ValueError, "at must be None, 'mean' or a dict of variables and values, not 'median'"),
    (lambda r: r.ame(by="wage"), ValueError, "by names wage, which the data does not have"),
    (lambda r: r.margins(alpha=1.5), ValueError, "alpha must lie strictly between 0 and 1, not 1.5"),
    (lambda r: r.predict(which="odds"), ValueError, "which must be 'prob' or 'linear', not 'odds'"),
    (lambda r: ARRAY_FIT.ame(at="mean"), ValueError, "variables, at and by need a fit of a formula; this fit is of arrays"),
])
def test_refusals(call, error, message):
    r = fitted("y ~ age + C(region)")
    with pytest.raises(error) as raised:
        call(r)
    assert str(raised.value) == message


def test_an_array_fit_keeps_its_column_table_and_averages_its_predictions():
    assert list(ARRAY_FIT.ame().columns) == ["dy/dx", "Std. Err", "z", "Pr(>|z|)", "Significance"]
    assert ARRAY_FIT.margins().loc["average", "predicted"] == pytest.approx(ARRAY_FIT.predict().mean(), rel=1e-13)


def test_plot_ame_groups_the_contrasts_of_a_categorical_under_its_name():
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    ax = fitted("y ~ age + C(region) + kids").plot_ame()
    ticks = ax.get_yticklabels()
    assert [t.get_text() for t in ticks] == ["age", "region", "north - east", "south - east", "kids"]
    assert [t.get_fontweight() for t in ticks][:3] == ["normal", "bold", "normal"]
    assert len(ax.lines[0].get_xdata()) == 4  # no point on the line of the name


def test_a_fit_with_fixed_effects_offers_no_average_predictions_without_them():
    rng = np.random.default_rng(5)
    data = DATA.assign(firm=rng.integers(0, 5, len(DATA)))
    r = quorbis.probit("y ~ age + educ | firm", data)
    with pytest.raises(NotImplementedError, match=r"^margins\(\) averages over the design without the fixed"):
        r.margins()


def test_after_rows_and_columns_are_dropped_for_separation_the_effects_are_of_the_refit():
    data = DATA.assign(y=DATA.y.where(DATA.kids == 0, 1))  # kids = 1 predicts y = 1
    r = fitted("y ~ age + I(age**2) + educ + kids", data, separation="drop")
    table = r.ame()
    assert "kids" not in r.exog_names and list(table.index) == ["age", "educ"]
    kept = data[data.kids == 0]
    effect, gradient = exact_effect(r, design(r, kept), design_derivative(r, kept, "age"))
    assert table.loc["age", "dy/dx"] == pytest.approx(effect, rel=1e-9)
    assert table.loc["age", "Std. Err"] == pytest.approx(se(r, gradient), rel=1e-7)
