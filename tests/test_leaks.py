"""Every call, successful or failing, gives back what it took: references, memory and result buffers."""
import gc
import os
import sys
import weakref

import numpy as np
import pytest
from conftest import cluster_ids, simulate

import quorbis


HAS_PROC = os.path.exists("/proc/self/statm")


def _resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


Y, X = simulate(2000, 4, 0)
G = cluster_ids(2000, 30, 0)

# (label, call) pairs: each call either succeeds or raises; both paths must be clean.
FIT_CALLS = [
    ("classical", lambda: quorbis.fit_probit(Y, X)),
    ("robust", lambda: quorbis.fit_probit(Y, X, robust=True)),
    ("cluster", lambda: quorbis.fit_probit(Y, X, robust=True, cluster_vars=G)),
    ("endog column", lambda: quorbis.fit_probit(Y[:, None], X, max_iter=3)),
    ("missing exog", lambda: quorbis.fit_probit(Y)),
    ("bad keyword", lambda: quorbis.fit_probit(Y, X, maxiter=3)),
    ("exog list", lambda: quorbis.fit_probit(Y, [[1.0]])),
    ("exog int", lambda: quorbis.fit_probit(Y, X.astype(np.int64))),
    ("max_iter float", lambda: quorbis.fit_probit(Y, X, max_iter=2.0)),
    ("max_iter negative", lambda: quorbis.fit_probit(Y, X, max_iter=-1)),
    ("robust int", lambda: quorbis.fit_probit(Y, X, robust=1)),
    ("endog no shape", lambda: quorbis.fit_probit(list(Y), X)),
    ("endog wide", lambda: quorbis.fit_probit(np.zeros((len(Y), 3)), X)),
    ("endog int", lambda: quorbis.fit_probit(Y.astype(np.int64), X)),
    ("exog short", lambda: quorbis.fit_probit(Y, X[:10])),
    ("cluster rows", lambda: quorbis.fit_probit(Y, X, max_iter=2, robust=True, cluster_vars=G[:-1])),
    ("cluster list", lambda: quorbis.fit_probit(Y, X, max_iter=2, robust=True, cluster_vars=[1.0])),
]


RESULTS = quorbis.fit_probit(Y, X)


class _Model:
    """A duck-typed fitted model; one attribute can be made to raise."""

    def __init__(self, broken=None):
        self.broken = broken
        self.model = self

    def __getattribute__(self, name):
        if name == object.__getattribute__(self, "broken"):
            raise RuntimeError(f"{name} is broken")
        return object.__getattribute__(self, name)

    params = RESULTS.params
    exog = RESULTS.model.exog
    exog_names = ["const", "a", "b", "c"]

    def cov_params(self):
        return RESULTS.cov_params()


AME_CALLS = [
    ("ame", lambda: quorbis.ame(RESULTS)),
    ("ame chunked", lambda: quorbis.ame(RESULTS, chunk_size=333)),
    ("ame duck-typed", lambda: quorbis.ame(_Model())),
    ("ame chunk zero", lambda: quorbis.ame(RESULTS, chunk_size=0)),
    ("ame chunk float", lambda: quorbis.ame(RESULTS, chunk_size=1.5)),
    ("ame no model", lambda: quorbis.ame(None)),
    ("ame names str", lambda: quorbis.ame(type("M", (_Model,), {"exog_names": "abcd"})())),
    ("ame names short", lambda: quorbis.ame(type("M", (_Model,), {"exog_names": ["a"]})())),
] + [(f"ame {name} raises", lambda name=name: quorbis.ame(_Model(name))) for name in
     ["params", "cov_params", "model", "exog_names", "exog"]]

_margin_sums, _predict = quorbis._quorbis._margin_sums, quorbis._quorbis._predict
EXTRA = np.ascontiguousarray(X[:, 1])
SCENARIOS = [np.zeros((0, 3)), np.array([[1, 0.5, -1], [2, 2.0, 0]])]
MARGIN_CALLS = [
    ("margin sums", lambda: _margin_sums(X, RESULTS.params, [EXTRA], SCENARIOS, [0, 1], [(1, np.array([[1, 1., 0]]))])),
    ("margin sums weighted", lambda: _margin_sums(X, RESULTS.params, [], SCENARIOS[:1], [0], [], EXTRA)),
    ("margin sums bad source", lambda: _margin_sums(X, RESULTS.params, [], SCENARIOS, [0], [])),
    ("margin sums short extra", lambda: _margin_sums(X, RESULTS.params, [EXTRA[1:]], SCENARIOS, [0], [])),
    ("margin sums bad pair", lambda: _margin_sums(X, RESULTS.params, [EXTRA], SCENARIOS, [], [(0,)])),
    ("margin sums bad scenario", lambda: _margin_sums(X, RESULTS.params, [EXTRA], SCENARIOS, [2], [])),
    ("predict", lambda: _predict(X, RESULTS.params)),
    ("predict errors", lambda: _predict(X, RESULTS.params, RESULTS.cov_params(), 1.96)),
    ("predict bad cov", lambda: _predict(X, RESULTS.params, np.eye(2), 1.96)),
]

_fit_design, _block_sums = quorbis._quorbis._fit_design, quorbis._quorbis._block_sums
YC, XF = np.ascontiguousarray(Y), np.asfortranarray(X)
W, CODES = EXTRA * EXTRA + 0.5, [G[:, 0], np.arange(2000) % 7.0]
WEIGHT_CALLS = [
    ("weighted fit", lambda: _fit_design(YC, XF, 35, 1e-6, True, CODES, W, False, True)),
    ("frequency fit", lambda: _fit_design(YC, XF, 35, 1e-6, False, None, np.floor(W), True)),
    ("weights negative", lambda: _fit_design(YC, XF, 35, 1e-6, True, None, -W)),
    ("weights short", lambda: _fit_design(YC, XF, 35, 1e-6, True, None, W[1:])),
    ("clusters not numbers", lambda: _fit_design(YC, XF, 35, 1e-6, True, [G[:, 0], G[:, 0] + 0.5])),
    ("block sums weighted", lambda: _block_sums(YC, X, RESULTS.params, {"loglike": True, "clusters": True}, G, W)),
]

CALLS = FIT_CALLS + AME_CALLS + MARGIN_CALLS + WEIGHT_CALLS


def _run(call):
    try:
        call()
    except (TypeError, ValueError, AttributeError, OverflowError, RuntimeError):
        pass


@pytest.mark.parametrize("label, call", CALLS, ids=[label for label, _ in CALLS])
def test_input_reference_counts_are_restored(label, call):
    inputs = (Y, X, G, RESULTS, RESULTS.params, RESULTS.cov_params(), RESULTS.model.exog, EXTRA, *SCENARIOS, YC, XF, W,
              *CODES)
    _run(call)
    before = [sys.getrefcount(obj) for obj in inputs]
    for _ in range(50):
        _run(call)
    gc.collect()
    assert [sys.getrefcount(obj) for obj in inputs] == before


def _under_address_sanitizer():
    if not HAS_PROC:
        return False
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


@pytest.mark.skipif(not HAS_PROC, reason="reads the resident set size from /proc")
@pytest.mark.skipif(_under_address_sanitizer(), reason="the sanitizer holds freed memory in quarantine")
@pytest.mark.parametrize("label, call", CALLS, ids=[label for label, _ in CALLS])
def test_resident_memory_does_not_grow(label, call):
    # Each leaked copy of X would add 64 kB; 300 calls would leak about 19 MB.
    for _ in range(30):
        _run(call)
    gc.collect()
    before = _resident_bytes()
    for _ in range(300):
        _run(call)
    gc.collect()
    assert _resident_bytes() - before < 4 * 2**20


class TestResultArraysAreFreed:
    def _arrays(self, results):
        model = results.model
        return [results.params, results.cov_params(), model.exog, model.endog]

    def test_freed_with_the_last_reference(self):
        results = quorbis.fit_probit(Y, X, robust=True)
        refs = [weakref.ref(a) for a in self._arrays(results)]
        assert all(r() is not None for r in refs)
        del results
        gc.collect()
        assert all(r() is None for r in refs)

    def test_model_object_keeps_its_arrays_alive(self):
        results = quorbis.fit_probit(Y, X)
        model = results.model
        exog = weakref.ref(model.exog)
        del results
        gc.collect()
        assert exog() is not None
        del model
        gc.collect()
        assert exog() is None

    def test_an_array_outlives_its_results(self):
        results = quorbis.fit_probit(Y, X)
        params = results.params
        expected = params.copy()
        del results
        gc.collect()
        np.testing.assert_array_equal(params, expected)
