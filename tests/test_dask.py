"""fit_probit and ame over Dask arrays against the in-memory functions on the same rows."""

import os
import types

import numpy as np
import pytest
from conftest import cluster_ids, simulate

import quorbis

da = pytest.importorskip("dask.array")
dask = pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")
qd = pytest.importorskip("quorbis.dask")

N, K = 200_000, 10
CHUNKS = (17_000, 40_000, 3_000, 60_000, 25_000, 35_000, 20_000)  # 7 uneven row blocks
FITS = {"classical": {}, "HC0": {"robust": True}, "cluster": {"robust": True, "cluster_vars": True}}


def _data(n=N, seed=3):
    y, X = simulate(n, K, seed, dummy=True)
    return y, X, cluster_ids(n, 500, seed) / 8.0  # ids that are no whole numbers


@pytest.fixture(scope="module")
def data():
    y, X, groups = _data()
    lazy = (da.from_array(y, chunks=(CHUNKS,)), da.from_array(X, chunks=(CHUNKS, K)),
            da.from_array(groups, chunks=(CHUNKS, 1)))
    return (y, X, groups), lazy


def _arguments(kind, groups):
    kwargs = dict(FITS[kind])
    if "cluster_vars" in kwargs:
        kwargs["cluster_vars"] = groups
    return kwargs


def _assert_same_fit(got, want):
    np.testing.assert_allclose(got.params, want.params, rtol=1e-12, atol=0)
    np.testing.assert_allclose(got.cov_params(), want.cov_params(), rtol=1e-12, atol=0)
    assert (got.iterations, got.converged) == (want.iterations, want.converged)
    assert got.loglike == pytest.approx(want.loglike, rel=1e-12)


@pytest.mark.parametrize("kind", FITS)
def test_fit_and_effects_equal_the_in_memory_ones(data, kind):
    (y, X, groups), (yd, Xd, gd) = data
    want = quorbis.fit_probit(y, X, **_arguments(kind, groups))
    with dask.config.set(scheduler="threads"):
        got = qd.fit_probit(yd, Xd, **_arguments(kind, gd))
        effects = qd.ame(got)
    _assert_same_fit(got, want)
    assert got.model.exog is Xd
    expected = quorbis.ame(want)
    assert list(effects.columns) == list(expected.columns) and list(effects.index) == list(expected.index)
    np.testing.assert_allclose(effects.iloc[:, :3].to_numpy(), expected.iloc[:, :3].to_numpy(), rtol=1e-12, atol=0)
    # A p-value's relative error is about z^2 times that of z: 1e-9 leaves room up to |z| of about 30.
    np.testing.assert_allclose(effects["Pr(>|z|)"], expected["Pr(>|z|)"], rtol=1e-9, atol=0)
    assert (effects["Significance"] == expected["Significance"]).all()


def _heavy_tailed():
    """Cauchy regressors on which the first steps of the fit are halved."""
    rng = np.random.default_rng(95)
    X = np.column_stack([np.ones(50), rng.standard_t(1, size=(50, 2))])
    y = (rng.normal(size=50) + X[:, 1] * rng.normal() > 0).astype(float)
    return y, X, np.arange(50.0)[:, None] % 7


def _in_memory(y, X, max_iter, kwargs, newton):
    """fit_probit's fit, or with newton the front door's (read in place, finished by Newton steps)."""
    if not newton:
        return quorbis.fit_probit(y, X, max_iter, **kwargs)
    clusters = [kwargs["cluster_vars"][:, 0]] if "cluster_vars" in kwargs else None
    return quorbis._quorbis._fit_design(y, np.asfortranarray(X), 35 if max_iter is None else max_iter, 1e-6,
                                        kwargs.get("robust", False), clusters)[0]


@pytest.mark.parametrize("newton", [False, True], ids=["fit_probit", "Newton finish"])
@pytest.mark.parametrize("max_iter", [None, 0, 2])
@pytest.mark.parametrize("kind", FITS)
@pytest.mark.parametrize("rows", [lambda: _data(n=20_000, seed=5), _heavy_tailed], ids=["simulated", "halving"])
def test_the_step_object_driven_by_one_block_gives_the_bits_of_the_in_memory_fit(rows, kind, max_iter, newton):
    y, X, groups = rows()
    kwargs = _arguments(kind, groups)
    want = _in_memory(y, X, max_iter, kwargs, newton)
    optimizer = quorbis._quorbis._Optimizer(X.shape[1], max_iter, None, kwargs.get("robust"), "cluster_vars" in kwargs,
                                            newton)
    while (request := optimizer.request()) is not None:
        beta, wants = request
        optimizer.respond(quorbis._quorbis._block_sums(y, X, beta, wants, kwargs.get("cluster_vars")))
    got = optimizer.results(X, y)
    for a, b in [(got.params, want.params), (got.cov_params(), want.cov_params())]:
        assert a.tobytes() == b.tobytes()
    assert (got.loglike, got.iterations, got.converged) == (want.loglike, want.iterations, want.converged)


def test_a_chunking_gives_the_same_bits_on_every_run_and_scheduler(data):
    _, (yd, Xd, gd) = data
    runs = []
    for scheduler in ("threads", "synchronous", "threads"):
        with dask.config.set(scheduler=scheduler):
            r = qd.fit_probit(yd, Xd, robust=True, cluster_vars=gd)
            runs.append((r.params.tobytes(), r.cov_params().tobytes(), qd.ame(r, chunk_size=999).iloc[:, :4].to_numpy(float).tobytes()))
    assert runs[0] == runs[1] == runs[2]


def _poisoned(*shape):
    """A Dask array that fails if any block of it is ever computed."""
    def fail(block):
        raise AssertionError("a pass ran")
    return da.zeros(shape, chunks=(300,) + (-1,) * (len(shape) - 1)).map_blocks(fail, dtype=float)


def _bad_inputs():
    n = 1000
    y, X, g = np.zeros(n), np.zeros((n, 3)), np.zeros((n, 1))
    yd, Xd = _poisoned(n), _poisoned(n, 3)
    return {
        # name: (in-memory arguments, Dask arguments)
        "exog float32": ((y, X.astype(np.float32)), (yd, Xd.astype(np.float32))),
        "exog 1-D": ((y, y), (yd, yd)),
        "endog float32": ((y.astype(np.float32), X), (yd.astype(np.float32), Xd)),
        "endog two columns": ((X[:, :2], X), (_poisoned(n, 2), Xd)),
        "exog fewer rows": ((y, X[:-1]), (yd, _poisoned(n - 1, 3))),
        "cluster rows": ((y, X, None, None, True, g[:-1]), (yd, Xd, None, None, True, _poisoned(n - 1, 1))),
        "max_iter": ((y, X, -1), (yd, Xd, -1)),
        "robust": ((y, X, None, None, 1), (yd, Xd, None, None, 1)),
        "exog a list": ((y, X.tolist()), (yd, X.tolist())),
        "endog a list": ((y.tolist(), X), (y.tolist(), Xd)),
    }


@pytest.mark.parametrize("case", list(_bad_inputs()))
def test_bad_input_raises_the_in_memory_error_before_any_pass(case):
    in_memory, lazy = _bad_inputs()[case]
    with pytest.raises(Exception) as expected:
        quorbis.fit_probit(*in_memory)
    with pytest.raises(type(expected.value)) as got:
        qd.fit_probit(*lazy)
    assert str(got.value) == str(expected.value).replace("'ndarray'", "'Array'")


def _fit_like(exog, params=None, cov=None, names=("const", "x")):
    k = exog.shape[1]
    return types.SimpleNamespace(params=np.full(k, 0.1) if params is None else params,
                                 cov_params=lambda: np.eye(k) if cov is None else cov,
                                 model=types.SimpleNamespace(exog=exog, exog_names=names))


@pytest.mark.parametrize("inputs, chunk_size", [
    ({"names": "cx"}, None), ({"names": ["const", 1]}, None), ({"names": ["const"]}, None),
    ({"params": np.array(["0.1", "0.2"])}, None), ({"params": [0.1, 0.2]}, None), ({"params": np.ones(3)}, None),
    ({"cov": np.eye(3)}, None), ({"cov": [[1.0, 0.0], [0.0, 1.0]]}, None), ({}, 0), ({}, -1), ({}, 2.5),
], ids=["names a str", "a name not a str", "names short", "str params", "list params", "params long",
        "cov 3 x 3", "cov a list", "chunk_size 0", "chunk_size -1", "chunk_size 2.5"])
def test_bad_effect_inputs_raise_the_in_memory_error(inputs, chunk_size):
    X = np.column_stack([np.ones(50), np.linspace(-1.0, 1.0, 50)])
    with pytest.raises(Exception) as expected:
        quorbis.ame(_fit_like(X, **inputs), chunk_size)
    with pytest.raises(type(expected.value)) as got:
        qd.ame(_fit_like(da.from_array(X, chunks=(20, 2)), **inputs), chunk_size)
    assert str(got.value) == str(expected.value)


@pytest.mark.parametrize("X, message", [
    (da.zeros((100, 4), chunks=(50, 2)), "chunked along rows only"),
    (da.zeros((100, 4), chunks=(50, 4))[da.arange(100, chunks=50) > 10], "compute_chunk_sizes"),
], ids=["columns split", "rows unknown"])
def test_blocks_that_are_not_whole_rows_of_known_number_are_refused(X, message):
    with pytest.raises(ValueError, match=message):
        qd.fit_probit(da.zeros(100, chunks=50), X)


def _die_once_in_the_second_pass(block, counter):
    """Ends the worker process that computes the 10th block of the fit (the second pass has begun)."""
    fd = os.open(counter, os.O_CREAT | os.O_APPEND | os.O_WRONLY)
    try:
        os.write(fd, b".")
        calls = os.fstat(fd).st_size
    finally:
        os.close(fd)
    if calls == 10:
        os._exit(1)
    return block


class _PeakBytes(distributed.WorkerPlugin):
    """Records the most bytes of one array's blocks that a worker held at once."""

    def __init__(self, name):
        self.name = name

    def setup(self, worker):
        self.worker = worker
        self.held = {}
        worker.peak_bytes = 0

    def transition(self, key, start, finish, **kwargs):
        if not (isinstance(key, tuple) and key[0] == self.name):
            return
        task = self.worker.state.tasks.get(key)
        if finish == "memory" and task is not None:
            self.held[key] = task.nbytes or 0
        elif start == "memory":
            self.held.pop(key, None)
        self.worker.peak_bytes = max(self.worker.peak_bytes, sum(self.held.values()))


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  worker_dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        yield client


def _lazy_data(seed):
    """Rows generated on the workers, block by block, never as a whole on one of them."""
    rs = da.random.RandomState(seed)
    X = da.concatenate([da.ones((N, 1), chunks=(CHUNKS, 1)), rs.normal(size=(N, K - 1), chunks=(CHUNKS, K - 1))],
                       axis=1).rechunk({1: -1})
    y = ((X @ np.linspace(-0.4, 0.4, K) + rs.normal(size=N, chunks=CHUNKS)) > 0).astype(float)
    groups = da.floor(rs.uniform(0, 300, size=(N, 1), chunks=(CHUNKS, 1)))
    return y, X, groups


def test_on_worker_processes_no_worker_holds_x_and_a_lost_worker_changes_nothing(client, tmp_path):
    y, X, groups = _lazy_data(seed=11)
    client.register_plugin(_PeakBytes(X.name))
    got = qd.fit_probit(y, X, robust=True, cluster_vars=groups)
    effects = qd.ame(got)
    peaks = client.run(lambda dask_worker: dask_worker.peak_bytes).values()
    assert 0 < max(peaks) < X.nbytes

    yn, Xn, gn = dask.compute(y, X, groups, scheduler="threads")
    want = quorbis.fit_probit(yn, Xn, robust=True, cluster_vars=gn)
    _assert_same_fit(got, want)
    np.testing.assert_allclose(effects.iloc[:, :4], quorbis.ame(want).iloc[:, :4], rtol=1e-12, atol=0)

    workers = set(client.scheduler_info()["workers"])
    dying = X.map_blocks(_die_once_in_the_second_pass, str(tmp_path / "calls"), dtype=float)
    again = qd.fit_probit(y, dying, robust=True, cluster_vars=groups)
    assert set(client.scheduler_info()["workers"]) != workers  # a worker was replaced
    assert again.params.tobytes() == got.params.tobytes()
    assert again.cov_params().tobytes() == got.cov_params().tobytes()
