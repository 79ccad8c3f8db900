"""probit() on a Dask DataFrame against probit() on the same rows in memory."""

import copy
import pickle
import subprocess
import sys
import warnings

import numpy as np
import pandas as pd
import pytest

import quorbis

try:
    import dask.dataframe as dd
except ImportError as error:  # not installed, or its pyarrow does not fit the installed NumPy
    pytest.skip(f"no Dask DataFrames: {error}", allow_module_level=True)
qd = pytest.importorskip("quorbis.dask")
frame = pytest.importorskip("quorbis._dask_frame")

FORMULA = "y ~ x + C(region) + x:z"
TIGHT = {"tol": 1e-12, "max_iter": 200}
FITS = {"classical": {}, "HC0": {"robust": True}, "cluster": {"cluster": "firm", "small_sample": True},
        "two-way": {"cluster": ["firm", "d"]},
        "weights": {"weights": "w", "cluster": ["firm", "region"], "small_sample": True}}


def _frames():
    """Uneven partitions: the first lacks the level 'east', the third has no complete row; a few values
    are missing elsewhere; the cluster labels are strings."""
    rng = np.random.default_rng(8)
    n = 3000
    data = pd.DataFrame({"x": rng.normal(size=n), "z": rng.normal(size=n), "d": rng.integers(0, 2, n),
                         "region": rng.choice(["north", "south", "east", "west"], n),
                         "firm": rng.choice([f"f{i:02d}" for i in range(40)], n)})
    data["y"] = (0.5 * data.x - 0.4 * (data.region == "east") + rng.normal(size=n) > 0).astype(int)
    data.loc[:399, "region"] = data.region[:400].replace("east", "west")
    data.loc[[3, 50, 2000], "x"] = np.nan
    data.loc[1100:1149, "z"] = np.nan
    data.loc[7, "firm"] = None
    data["w"] = np.where(rng.random(n) < 0.05, 0.0, rng.uniform(0.5, 2.0, n))  # rows of weight 0 in every partition
    data.loc[9, "w"] = np.nan
    data["f"] = rng.integers(0, 3, n)
    lazy = dd.from_pandas(data, npartitions=1).repartition(divisions=[0, 400, 1100, 1150, 2999])
    return lazy, lazy.compute()


LAZY, DATA = _frames()


@pytest.mark.parametrize("formula, kind", [(FORMULA, kind) for kind in FITS] + [
    ("y ~ np.log(z) + C(region) * d", "cluster")])  # NaN made by a transform in some partitions
@pytest.mark.filterwarnings("ignore:invalid value encountered in log:RuntimeWarning")
@pytest.mark.filterwarnings("ignore::quorbis.ProbitWarning")  # compared as the results' notes
def test_a_dask_frame_gives_the_fit_and_effects_of_its_rows_in_memory(formula, kind):
    got = quorbis.probit(formula, LAZY, **FITS[kind])
    want = quorbis.probit(formula, DATA, **FITS[kind])
    assert got.exog_names == want.exog_names
    for name in ("nobs", "dropped_rows", "zero_weight_rows", "weights_type", "n_clusters", "cov_type", "iterations",
                 "converged", "notes"):
        assert getattr(got, name) == getattr(want, name), name
    np.testing.assert_allclose(got.params, want.params, rtol=1e-12, atol=0)
    np.testing.assert_allclose(got.cov_params(), want.cov_params(), rtol=1e-12, atol=0)
    assert got.llf == pytest.approx(want.llf, rel=1e-12) and got.llnull == pytest.approx(want.llnull, rel=1e-14)
    effects, expected = got.ame(), want.ame()
    assert list(effects.index) == list(expected.index)
    np.testing.assert_allclose(effects.iloc[:, :3], expected.iloc[:, :3], rtol=1e-12, atol=0)
    assert (effects["Significance"] == expected["Significance"]).all()


@pytest.mark.parametrize("call, options", [
    (lambda r: r.ame(), {}), (lambda r: r.ame(at="mean"), {}),
    (lambda r: r.ame(["x", "region"], at={"z": [-1, 1]}, by="d"), {}),
    (lambda r: r.margins(by=["region", "d"]), {}), (lambda r: r.margins(at={"region": "east"}), {}),
    (lambda r: r.ame(at="mean", by="d"), {"weights": "f", "weights_type": "frequency"}),
], ids=["ame", "at the means", "at values by groups", "margins by groups", "margins at a level",
        "weighted, at the means by groups"])
def test_effects_and_margins_of_a_dask_frame_are_those_in_memory(call, options):
    formula = "y ~ x + I(x**2) + C(region) + x:z + d"
    got = call(quorbis.probit(formula, LAZY, **TIGHT, **options))
    want = call(quorbis.probit(formula, DATA, **TIGHT, **options))
    assert got.index.equals(want.index)
    np.testing.assert_allclose(got.iloc[:, :2], want.iloc[:, :2], rtol=1e-12, atol=0)


WITH_MARS = pd.CategoricalDtype(["east", "west", "north", "south", "mars"])


@pytest.mark.parametrize("formula, data", [
    ("y ~ x + w + v", lambda d: d.assign(w=d.x * 2.0, v=d.x)),  # collinear
    ("y ~ x - 1", lambda d: d),  # no constant
    ("y ~ C(region) - 1", lambda d: d),  # a constant implied by the dummies: no warning
    ("s ~ x", lambda d: d.assign(s=(d.x > 0).astype(float))),  # separation
    ("y ~ x + d", lambda d: d.assign(y=d.y.where(d.d == 0, 1))),  # quasi-complete separation
    ("y ~ x + c", lambda d: d.assign(c=d.region.astype(WITH_MARS))),  # a level no row holds
], ids=["collinear", "no constant", "implied constant", "separation", "quasi-complete separation", "unused level"])
def test_the_warnings_are_those_of_the_rows_in_memory(formula, data):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        got = quorbis.probit(formula, data(LAZY), max_iter=200)
        want = quorbis.probit(formula, data(DATA), max_iter=200)
    assert got.notes == want.notes
    assert [str(w.message) for w in caught] == got.notes * 2


@pytest.mark.parametrize("formula, data, options", [
    (FORMULA, lambda d: d, {"cluster": "firm", "missing": "raise"}),
    ("y ~ np.log(z)", lambda d: d, {"missing": "raise"}),
    ("y ~ x", lambda d: d.assign(y=d.y * 2), {}),
    ("y ~ x", lambda d: d.assign(y=d.y + d.z.fillna(0.0)), {}),
    ("region ~ x", lambda d: d, {}),
    ("y ~ x", lambda d: d.assign(x=d.x / 0.0), {}),
    ("y ~ x", lambda d: d.assign(y=0), {}),
    ("y ~ x", lambda d: d.assign(x=d.x + 1j), {}),
    ("y ~ Intercept", lambda d: d.rename(columns={"x": "Intercept"}), {}),
], ids=["missing", "missing after a transform", "outcome 0/2", "outcome continuous", "outcome text",
        "infinite", "outcome all 0", "complex", "a column named Intercept"])
@pytest.mark.filterwarnings("ignore:invalid value encountered in log:RuntimeWarning")
def test_bad_data_raise_the_in_memory_error_before_any_fit(monkeypatch, formula, data, options):
    with pytest.raises(Exception) as expected:
        quorbis.probit(formula, data(DATA), **options)
    monkeypatch.setattr(qd, "fit_probit", None)
    with pytest.raises(type(expected.value)) as got:
        quorbis.probit(formula, data(LAZY), **options)
    assert str(got.value) == str(expected.value)


def test_separation_drop_leaves_out_the_rows_it_would_leave_out_in_memory():
    lazy, data = (d.assign(y=d.y.where(d.d == 0, 1)) for d in (LAZY, DATA))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        got, want = (quorbis.probit("y ~ x + d + C(region)", d, separation="drop") for d in (lazy, data))
    assert got.separation == want.separation and got.separation.dropped_columns == ["d"]
    assert got.exog_names == want.exog_names and got.nobs == want.nobs
    np.testing.assert_allclose(got.params, want.params, rtol=1e-12, atol=0)
    np.testing.assert_allclose(got.cov_params(), want.cov_params(), rtol=1e-12, atol=0)


@pytest.mark.parametrize("formula, data, options, message", [
    ("y ~ center(x)", LAZY, {}, r"^center\(x\) learns from all rows"),
    ("y ~ C(x + z)", LAZY, {}, r"C\(x \+ z\) combines the columns x, z"),
    ("y ~ g", LAZY.assign(g=LAZY.region.astype("category")), {}, r"categories of g are unknown"),
    ("y ~ x", LAZY, {"cluster": np.zeros(3000)}, r"cluster must name columns"),
], ids=["stateful transform", "factor of two columns", "unknown categories", "cluster values"])
def test_what_a_partition_cannot_compute_alone_is_refused(formula, data, options, message):
    with pytest.raises(ValueError, match=message):
        quorbis.probit(formula, data, **options)


def test_a_pass_of_the_fit_evaluates_each_partitions_regressors_once(monkeypatch):
    counts = {"built": 0, "passes": 0}

    def counting(name, function):
        def counted(*args):
            counts[name] += 1
            return function(*args)
        return counted

    monkeypatch.setattr(frame, "_regressors", counting("built", frame._regressors))
    monkeypatch.setattr(qd, "_reduce", counting("passes", qd._reduce))
    quorbis.probit(FORMULA, LAZY, cluster="firm")
    # 3 partitions with rows, once in each pass of the fit, and in the few passes of the checks
    assert 3 * counts["passes"] < counts["built"] < 2 * 3 * counts["passes"]


@pytest.mark.parametrize("clone", [lambda r: pickle.loads(pickle.dumps(r)), copy.deepcopy])
def test_a_copy_stays_lazy_and_refits_on_dask(clone):
    r = quorbis.probit(FORMULA, LAZY, cluster="firm")
    twin = clone(r)
    assert type(twin.raw.model.exog) is type(r.raw.model.exog) is not np.ndarray
    assert twin.raw.params.tobytes() == r.raw.params.tobytes() and twin.summary() == r.summary()
    pd.testing.assert_frame_equal(twin.ame(), r.ame())
    want = quorbis.probit(FORMULA, DATA, cluster="firm")
    predicted = twin.predict()
    assert not isinstance(predicted, np.ndarray)
    np.testing.assert_allclose(predicted.compute(), want.predict(), rtol=1e-12)
    pd.testing.assert_series_equal(twin.predict(LAZY).compute(), want.predict(DATA), rtol=1e-12)


def test_importing_quorbis_or_fitting_in_memory_imports_no_dask():
    code = ("import sys, pandas, quorbis\n"
            "quorbis.probit('y ~ x', pandas.DataFrame({'y': [0, 1, 0, 1], 'x': [1.0, 3.0, 2.0, 2.5]}))\n"
            "print(sorted(m for m in sys.modules if m.split('.')[0] == 'dask'))\n")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert run.stdout == "[]\n"
