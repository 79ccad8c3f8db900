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
