"""The fast (SIMD) paths give the same bits as the portable reference path, on this machine's CPU.

Widths and row counts are chosen to reach every kernel's vector body and its leftovers: k below, at and
above the narrow outer-product panels, n not a multiple of any vector or block length.
"""

import numpy as np
import pytest
from conftest import cluster_ids, simulate

import quorbis

hooks = pytest.importorskip("_quorbis_hooks")


@pytest.fixture
def both_paths():
    """Calls a function with the fast paths allowed and forbidden; returns both results."""
    previous = hooks.set_simd_enabled(True)

    def run(call):
        results = []
        for enabled in (True, False):
            hooks.set_simd_enabled(enabled)
            results.append(call())
        return results

    yield run
    hooks.set_simd_enabled(previous)


@pytest.mark.parametrize("n, k, order", [(1000, 3, "C"), (1037, 7, "F"), (2051, 13, "C"), (300, 16, "F")])
@pytest.mark.parametrize("cov", ["classical", "robust", "cluster"])
def test_fit_and_effects_are_the_same_bits(both_paths, n, k, order, cov):
    y, X = simulate(n, k, [n, k])
    X, groups = np.asarray(X, order=order), cluster_ids(n, 25, [n, k])
    kwargs = {"robust": {"robust": True}, "cluster": {"cluster_vars": groups}}.get(cov, {})

    def fit():
        result = quorbis.fit_probit(y, X, **kwargs)
        effects = quorbis.ame(result).select_dtypes("number").to_numpy()
        return [result.params.tobytes(), result.cov_params().tobytes(), effects.tobytes()]

    fast, portable = both_paths(fit)
    assert fast == portable


@pytest.mark.parametrize("n, k", [(1037, 7), (300, 16)])
def test_margin_sums_and_predictions_are_the_same_bits(both_paths, n, k):
    y, X = simulate(n, k, [n, k])
    r = quorbis.fit_probit(y, X)
    extras = [np.ascontiguousarray(X[:, 1] * X[:, 2])]
    scenarios = [np.zeros((0, 3)), np.array([[1, 0.5, -1], [2, 2.0, 0]])]
    derivatives = [(0, np.array([[1, 1.0, -1]])), (1, np.array([[2, 1.0, 0]]))]

    def run():
        sums = quorbis._quorbis._margin_sums(X, r.params, extras, scenarios, [0, 1], derivatives)
        rows = quorbis._quorbis._predict(X, r.params, r.cov_params(), 1.96)
        return [sums[0].tobytes(), sums[1].tobytes(), rows.tobytes()]

    fast, portable = both_paths(run)
    assert fast == portable
