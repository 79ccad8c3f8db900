"""probit() as a new user meets it: hostile inputs refused or named (each run in a child process, so that a
crash fails its own case), separation found and handled, the maximum likelihood estimate to its last digits,
and the summary as an object."""

import json
import pickle
import subprocess
import sys
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm
import statsmodels.formula.api as smf

import quorbis
from conftest import _dataset

HERE = Path(__file__).resolve().parent
GRADES = pd.read_csv(HERE.parent / "examples" / "grades.csv")


def refused(message):
    return {"raised": message, "warnings": [], "out": None}


def fits(out, *warned):
    return {"raised": None, "warnings": [f"ProbitWarning: {w}" for w in warned], "out": out}


def fitted(converged, bse, names):
    return {"converged": converged, "bse": bse, "names": names}


TRANSFORM_CLASH = "has the name of a transform that the formula calls: rename the column"

# name: (code run by tests/hostile.py on its data, what comes back)
HOSTILE = {
    "complete separation": (
        "out = fitted(quorbis.probit('y ~ x', DATA.assign(y=(DATA.x > 0.2) * 1.0)))",
        fits(fitted(False, [None, None], ["Intercept", "x"]),
             "complete separation: x predicts the outcome perfectly in all 60 rows: the likelihood has no maximum; "
             "no standard error or test is estimable (NaN)")),
    "quasi-complete separation": (
        "out = fitted(quorbis.probit('y ~ x + d', DATA.assign(y=DATA.y.where(DATA.d == 0, 1.0))))",
        fits(fitted(False, [0.2631, 0.3525, None], ["Intercept", "x", "d"]),
             "quasi-complete separation: d predicts the outcome perfectly in 31 of 60 rows: the likelihood has no "
             "maximum; the coefficients of d run off to infinity, and their standard errors and tests are not "
             "estimable (NaN); pass separation='drop' to leave those rows out and refit")),
    "one cluster": (
        "out = fitted(quorbis.probit('y ~ x', DATA, cluster='g'))",
        fits(fitted(True, [None, None], ["Intercept", "x"]), "there is only one cluster: a cluster-robust "
             "covariance needs at least two, so the covariance matrix is NaN")),
    "one cluster, small-sample factor": (
        "out = fitted(quorbis.probit('y ~ x', DATA, cluster='g', small_sample=True))",
        fits(fitted(True, [None, None], ["Intercept", "x"]), "there is only one cluster: a cluster-robust "
             "covariance needs at least two, so the covariance matrix is NaN")),
    "fewer clusters than coefficients": (
        "out = fitted(quorbis.probit('y ~ x + d', DATA, cluster=np.arange(60) % 3))",
        fits(fitted(True, [0.2473, 0.1876, 0.1486], ["Intercept", "x", "d"]), "3 clusters for 3 coefficients: "
             "the cluster-robust covariance has rank at most G - 1 = 2, so it is singular, and tests of more than "
             "2 restrictions at once are impossible")),
    "outcome all 0": (
        "quorbis.probit('y ~ x', DATA.assign(y=0.0))",
        refused("ValueError: the outcome 'y' is 0 in all 60 rows: a probit needs rows with either outcome")),
    "outcome all 1, arrays": (
        "quorbis.probit(np.ones(60), DATA[['x']].assign(c=1.0))",
        refused("ValueError: the outcome 'y' is 1 in all 60 rows: a probit needs rows with either outcome")),
    "two columns named x": (
        "quorbis.probit('y ~ x', pd.concat([DATA, DATA[['d']].set_axis(['x'], axis=1)], axis=1))",
        refused("ValueError: the data have several columns named 'x': rename them, so that the formula reads the "
                "column meant")),
    "two columns of X named x": (
        "quorbis.probit(DATA.y, DATA[['x', 'd']].set_axis(['x', 'x'], axis=1))",
        refused("ValueError: X has several columns named 'x': rename them, so that each coefficient has a name of "
                "its own")),
    "robust='False'": ("quorbis.probit('y ~ x', DATA, robust='False')",
                       refused("TypeError: robust must be True or False, not 'False'")),
    "robust='HC1'": ("quorbis.probit('y ~ x', DATA, robust='HC1')",
                     refused("TypeError: robust must be True or False, not 'HC1'")),
    "small_sample='no'": ("quorbis.probit('y ~ x', DATA, robust=True, small_sample='no')",
                          refused("TypeError: small_sample must be True or False, not 'no'")),
    "small_sample=NaN": ("quorbis.probit('y ~ x', DATA, robust=True, small_sample=float('nan'))",
                         refused("TypeError: small_sample must be True or False, not nan")),
    "NumPy bools": ("out = quorbis.probit('y ~ x', DATA, robust=np.True_, small_sample=np.True_).cov_type",
                    fits("HC1")),
    "unused categorical level": (
        "out = fitted(quorbis.probit('y ~ x + c', DATA.assign(c=pd.Categorical(np.where(DATA.d == 1, 'b', 'a'), "
        "categories=['a', 'b', 'z']))))",
        fits(fitted(True, [0.2549, 0.3532, 0.2202], ["Intercept", "c[T.b]", "x"]),
             "the levels z of c occur in no row of the fit and were left out of the design")),
    "complex outcome": ("quorbis.probit('y ~ x', DATA.assign(y=DATA.y + 1j))",
                        refused("ValueError: complex values in y: a probit takes real numbers only")),
    "complex regressor": ("quorbis.probit('y ~ x', DATA.assign(x=DATA.x + 0j))",
                          refused("ValueError: complex values in x: a probit takes real numbers only")),
    "complex X": ("quorbis.probit(DATA.y, DATA[['x']].assign(c=1.0) + 0j)",
                  refused("ValueError: complex values in x, c: a probit takes real numbers only")),
    "dotted name in backticks": (
        "out = quorbis.probit('y ~ `Sepal.Length`', DATA.rename(columns={'x': 'Sepal.Length'})).exog_names",
        fits(["Intercept", "Sepal.Length"])),
    "a column named Intercept": (
        "quorbis.probit('y ~ Intercept', DATA.rename(columns={'x': 'Intercept'}))",
        refused("ValueError: the data's column 'Intercept' has the name of the formula's constant: rename the "
                "column, or leave out the constant with '- 1'")),
    "columns named np, C, I and log": (
        "out = quorbis.probit('y ~ np + C + I + log(d + 1)', DATA.assign(np=DATA.x, C=DATA.x ** 3, I=-DATA.x ** 2, "
        "log=1.0)).exog_names",
        fits(["Intercept", "np", "C", "I", "log(d + 1)"])),
    "a column C beside C()": ("quorbis.probit('y ~ C + C(d)', DATA.assign(C=DATA.x))",
                              refused(f"ValueError: the data's column 'C' {TRANSFORM_CLASH}")),
    "a column np beside np.log()": ("quorbis.probit('y ~ np + np.log(d + 1)', DATA.assign(np=DATA.x))",
                                    refused(f"ValueError: the data's column 'np' {TRANSFORM_CLASH}")),
    "predict on integer labels": (
        "X = DATA[['x', 'd']].assign(c=1.0).set_axis([0, 1, 2], axis=1); r = quorbis.probit(DATA.y, X); "
        "out = np.array_equal(r.predict(X), r.predict())", fits(True)),
    "predict on tuple labels": (
        "X = DATA[['x']].assign(c=1.0).set_axis([('x', 1), ('c', 0)], axis=1); r = quorbis.probit(DATA.y, X); "
        "out = np.array_equal(r.predict(X), r.predict())", fits(True)),
    "predict on repeated labels": (
        "X = DATA[['x']].assign(c=1.0); r = quorbis.probit(DATA.y, X); r.predict(pd.concat([X, X[['x']]], axis=1))",
        refused("ValueError: newdata has several columns named 'x'")),
    "no rows of 2**40 columns": ("quorbis.probit(np.empty(0), np.empty((0, 2 ** 40)))",
                                 refused("ValueError: no rows to fit: the data have none")),
    "Dask fit of 2**62 columns": (
        "import quorbis.dask, dask.array as da\n"
        "quorbis.dask.fit_probit(da.zeros(0, chunks=1), da.zeros((0, 2 ** 62), chunks=(1, -1)))",
        refused("MemoryError: ")),
    "Dask effects with a str of names": (
        "import quorbis.dask, types\nr = quorbis.fit_probit(DATA.y.to_numpy(), DATA[['x']].assign(c=1.0).to_numpy())\n"
        "quorbis.dask.ame(types.SimpleNamespace(params=r.params, cov_params=r.cov_params, "
        "model=types.SimpleNamespace(exog=r.model.exog, exog_names='xc')))",
        refused("TypeError: Can't extract `str` to `Vec`")),
}


def _run_hostile(cases):
    """The outcome of each case; a child that dies is replaced for the cases after the one it died in."""
    outcomes, remaining = {}, list(cases)
    while remaining:
        child = subprocess.run([sys.executable, str(HERE / "hostile.py")], input=json.dumps(remaining),
                               capture_output=True, text=True, timeout=600)
        lines = [json.loads(line) for line in child.stdout.splitlines()]
        outcomes.update((line.pop("name"), line) for line in lines)
        if len(lines) == len(remaining):
            break
        outcomes[remaining[len(lines)][0]] = {"died": child.returncode, "stderr": child.stderr[-3000:]}
        remaining = remaining[len(lines) + 1:]
    return outcomes


@pytest.fixture(scope="module")
def hostile_outcomes():
    return _run_hostile([(name, code) for name, (code, _) in HOSTILE.items()])


@pytest.mark.parametrize("name", HOSTILE)
def test_hostile_input_is_refused_or_named(hostile_outcomes, name):
    assert hostile_outcomes[name] == HOSTILE[name][1]


def _quiet(call, *args, **kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return call(*args, **kwargs)


def _fair():
    data = sm.datasets.fair.load_pandas().data
    return ("affair ~ rate_marriage + age + yrs_married + children + religious + educ + C(occupation) "
            "+ C(occupation_husb)", data.assign(affair=(data.affairs > 0) * 1.0))


def _simulated():
    rng = np.random.default_rng(17)
    n = 100_000
    data = pd.DataFrame({"x1": rng.normal(size=n), "x2": rng.exponential(size=n), "d": rng.integers(0, 2, n),
                         "region": rng.choice(["north", "south", "east", "west", "centre"], n)})
    effect = data.region.map({"north": 0.0, "south": 0.3, "east": -0.2, "west": 0.1, "centre": -0.4})
    data["y"] = (0.1 + 0.5 * data.x1 - 0.3 * data.x2 + 0.4 * data.d + effect + rng.normal(size=n) > 0) * 1.0
    return "y ~ x1 + x2 + d + C(region)", data


@pytest.mark.parametrize("data", [_fair, _simulated], ids=["fair", "simulated 1e5 rows"])
@pytest.mark.parametrize("fit", [{}, {"robust": True}], ids=["classical", "HC0"])
def test_the_defaults_reach_the_maximum_to_its_last_digits(data, fit):
    formula, frame = data()
    r = quorbis.probit(formula, frame, **fit)
    m = _quiet(smf.probit(formula, frame).fit, method="newton", tol=1e-14, maxiter=100, disp=0,
               cov_type="HC0" if fit else "nonrobust")
    assert r.converged and list(r.params.index) == list(m.params.index)
    np.testing.assert_allclose(r.params, m.params, rtol=1e-10, atol=0)
    np.testing.assert_allclose(r.bse, m.bse, rtol=1e-10, atol=0)


def _separated(kind):
    """Data of 400 rows where a dummy, a category or a threshold predicts part or all of the outcome."""
    rng = np.random.default_rng(1)
    data = pd.DataFrame({"x": rng.normal(size=400), "d": rng.integers(0, 2, 400),
                         "g": rng.choice(["a", "b", "c"], 400)})
    data["y"] = (0.5 * data.x + rng.normal(size=400) > 0) * 1.0
    if kind == "dummy":
        return "y ~ x + g + d", data.assign(y=data.y.where(data.d == 0, 1.0)), data.d == 1, "y ~ x + g"
    if kind == "reference level":
        return "y ~ x + g", data.assign(y=data.y.where(data.g != "a", 0.0)), data.g == "a", "y ~ x + g"
    return "y ~ x + g", data.assign(y=(data.x > 0.3) * 1.0), data.x == data.x, None


@pytest.mark.parametrize("kind, columns, coefficients", [
    ("dummy", ["d"], ["d"]),
    ("reference level", ["g[T.b]", "g[T.c]"], ["Intercept", "g[T.b]", "g[T.c]"]),
    ("threshold", ["x"], ["Intercept", "g[T.b]", "g[T.c]", "x"]),
])
def test_separation_is_found_and_its_coefficients_are_not_estimable(kind, columns, coefficients):
    formula, data, predicted, _ = _separated(kind)
    with pytest.warns(quorbis.ProbitWarning, match="separation: "):
        r = quorbis.probit(formula, data)
    found = r.separation
    assert (found.columns, found.coefficients, found.rows, found.nobs) == (columns, coefficients, predicted.sum(), 400)
    assert not r.converged and found.complete == (kind == "threshold")
    assert list(r.bse.index[r.bse.isna()]) == coefficients and r.pvalues[coefficients].isna().all()
    assert (r.ame()["Significance"] == "").all()  # the effects lean on the infinite coefficients


@pytest.mark.parametrize("kind, dropped", [("dummy", ["d"]), ("reference level", ["g[T.c]"])])
def test_separation_drop_refits_on_the_other_rows_without_the_columns_they_cannot_identify(kind, dropped):
    formula, data, predicted, reduced = _separated(kind)
    with pytest.warns(quorbis.ProbitWarning, match="those rows and the column "):
        r = quorbis.probit(formula, data, separation="drop")
    assert r.separation.dropped and r.separation.dropped_columns == dropped and r.converged
    rest = data[~predicted]
    if kind == "reference level":  # the level that predicts nothing becomes the reference
        rest = rest.assign(g=pd.Categorical(rest.g, categories=["c", "b"]))
    want = quorbis.probit(reduced, rest)
    assert r.nobs == want.nobs == (~predicted).sum()
    pd.testing.assert_series_equal(r.params, want.params, rtol=1e-9)
    pd.testing.assert_series_equal(r.bse, want.bse, rtol=1e-9)


def test_separation_raise_and_complete_separation_dropped_are_errors():
    formula, data, predicted, _ = _separated("dummy")
    with pytest.raises(ValueError) as raised:
        quorbis.probit(formula, data, separation="raise")
    assert str(raised.value) == (f"quasi-complete separation: d predicts the outcome perfectly in {predicted.sum()} of "
                                 "400 rows, so the likelihood has no maximum; pass separation='drop' to leave those "
                                 "rows out, or 'warn' to see the fit")
    formula, data, _, _ = _separated("threshold")
    with pytest.raises(ValueError) as raised:
        quorbis.probit(formula, data, separation="drop")
    assert str(raised.value) == ("complete separation: x predicts the outcome perfectly in all 400 rows: no rows are "
                                 "left to fit once they are dropped")
    with pytest.raises(ValueError, match="^separation must be 'warn', 'drop' or 'raise', not 'ignore'$"):
        quorbis.probit(formula, data, separation="ignore")


def test_rows_at_0_or_1_without_separation_are_fitted_without_a_word():
    rng = np.random.default_rng(5)
    x = rng.normal(0.0, 3.0, 3000)
    data = pd.DataFrame({"x": x, "y": (1.5 * x + rng.normal(size=3000) > 0) * 1.0})
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        r = quorbis.probit("y ~ x", data)
    assert (np.abs(r.raw.model.exog @ r.params.to_numpy()) > 8).any()
    assert r.separation is None and r.converged and r.bse.notna().all()


def test_the_summary_is_text_that_notebooks_show_as_html_with_its_tables():
    data = GRADES.assign(firm=np.arange(32) % 6)
    r = quorbis.probit("GRADE ~ GPA + TUCE + PSI", data, cluster="firm", small_sample=True)
    summary = r.summary()
    lines = str(summary).splitlines()
    assert repr(summary) == str(summary) and summary == str(summary)
    # Every label of the right half stands apart from the value before it, even the longest one.
    assert all("  Log-Likelihood:" in line or "Log-Likelihood" not in line for line in lines)
    assert "Covariance Type: cluster, G/(G-1)(N-1)/(N-K)  Log-Likelihood:" in str(summary)
    statistics, coefficients = summary.tables
    assert statistics.loc["AIC / BIC", "value"] == f"{r.aic:.3f} / {r.bic:.3f}"
    pd.testing.assert_series_equal(coefficients["P>|z|"], r.pvalues)
    assert "<table>" in summary._repr_html_() and summary._repr_html_() == r._repr_html_()
    assert summary.notes == r.notes and pickle.loads(pickle.dumps(summary)) == str(summary)


class TestTheFitOfTheDesign:
    """probit()'s own fit: the design read in place and kept, and Newton steps to the maximum."""

    def test_the_design_is_read_in_place_and_kept(self):
        y, X, _ = _dataset("fair")
        X = np.asfortranarray(X)
        r, largest, _ = quorbis._quorbis._fit_design(y, X, 35, 1e-6, False, None)
        assert r.model.exog is X and r.model.endog is y
        assert largest == pytest.approx(np.abs(X @ r.params).max(), rel=1e-12)
        with pytest.raises(ValueError) as refused:
            quorbis._quorbis._fit_design(y, np.ascontiguousarray(X), 35, 1e-6, False, None)
        assert str(refused.value) == ("_fit_design reads its rows in place: endog contiguous, exog column-major with "
                                      "as many rows, both aligned")

    @pytest.mark.parametrize("options", [{}, {"robust": True}, {"cluster": np.arange(6366) % 50}])
    def test_the_newton_decrement_at_the_estimates_is_below_1e_8(self, reference, assert_cov_close, options):
        data = sm.datasets.fair.load_pandas().data.assign(affair=lambda d: (d.affairs > 0) * 1.0)
        r = quorbis.probit("affair ~ rate_marriage + age + yrs_married + children + religious + educ", data,
                           **options)
        y, X, b = r.raw.model.endog, r.raw.model.exog, r.params.to_numpy()
        g = reference.scores(y, X, b).sum(axis=0)
        assert r.converged and np.sqrt(g @ np.linalg.solve(-reference.hessian(y, X, b), g)) < 1e-8
        if not options:  # the covariance is the one at the estimates reported
            assert_cov_close(r.cov_params(), np.linalg.inv(-reference.hessian(y, X, b)), rtol=1e-10)

    def test_no_room_left_for_a_newton_step_is_no_convergence(self):
        plain = quorbis.fit_probit(GRADES.GRADE.to_numpy(float),
                                   GRADES[["GPA", "TUCE", "PSI"]].assign(c=1.0)[["c", "GPA", "TUCE", "PSI"]].to_numpy())
        with pytest.warns(quorbis.ProbitWarning, match=f"did not converge in {plain.iterations + 1} iterations"):
            r = quorbis.probit("GRADE ~ GPA + TUCE + PSI", GRADES, max_iter=plain.iterations + 1)
        assert plain.converged and not r.converged and r.iterations == plain.iterations + 1
        assert r.params.to_numpy().tobytes() == plain.params.tobytes()


def test_the_design_matrix_is_put_together_and_checked_in_one_pass():
    rng = np.random.default_rng(2)
    block = rng.normal(size=(5000, 3))
    columns = [None, block[:, 1], np.where(np.arange(5000) == 4321, np.inf, block[:, 2]), block[::-1, 0]]
    design, finite = quorbis._quorbis._design_matrix(columns, 5000)
    assert design.flags.f_contiguous and finite == [True, True, False, True]
    np.testing.assert_array_equal(design, np.column_stack([np.ones(5000), *columns[1:]]))


@pytest.mark.filterwarnings("ignore:the design has no constant")
@pytest.mark.parametrize("formula", ["y ~ x + d", "y ~ d + x - 1", "y ~ 0 + x", "y ~ `x.1` + np + x"])
def test_plain_columns_are_the_columns_formulaic_builds(formula):
    import formulaic
    from quorbis._design import column_order

    rng = np.random.default_rng(4)
    data = pd.DataFrame({"x": rng.normal(size=200), "d": rng.integers(0, 3, 200), "x.1": rng.normal(size=200),
                         "np": rng.normal(size=200), "y": rng.integers(0, 2, 200) * 1.0})
    r = quorbis.probit(formula, data)
    rhs = formulaic.model_matrix(formulaic.Formula(formula).rhs, data)
    order = column_order(rhs.model_spec)
    assert r.exog_names == [rhs.columns[j] for j in order]
    np.testing.assert_array_equal(r.raw.model.exog, rhs.to_numpy(dtype=float)[:, order])
    pd.testing.assert_series_equal(r.predict(data.head(3)), r.predict(data).head(3))
