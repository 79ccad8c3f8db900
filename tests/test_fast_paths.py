"""The fast (SIMD) paths give the same bits as the portable reference path, on this machine's CPU.

Widths and row counts are chosen to reach every kernel's vector body and its leftovers: k below, at and
above the narrow outer-product panels, n not a multiple of any vector or block length.
"""

import numpy as np
import pytest

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


def _data(n, k, order):
    rng = np.random.default_rng([n, k])
    X = np.column_stack([np.ones(n), rng.normal(size=(n, k - 1))])
    y = (X @ rng.uniform(-0.5, 0.5, k) + rng.normal(size=n) > 0).astype(float)
    groups = rng.integers(0, 25, size=(n, 1)).astype(float)
    return y, np.asarray(X, order=order), groups


@pytest.mark.parametrize("n, k, order", [(1000, 3, "C"), (1037, 7, "F"), (2051, 13, "C"), (300, 16, "F")])
@pytest.mark.parametrize("cov", ["classical", "robust", "cluster"])
def test_fit_and_effects_are_the_same_bits(both_paths, n, k, order, cov):
    y, X, groups = _data(n, k, order)
    kwargs = {"robust": {"robust": True}, "cluster": {"cluster_vars": groups}}.get(cov, {})

    def fit():
        result = quorbis.fit_probit(y, X, **kwargs)
        effects = quorbis.ame(result).select_dtypes("number").to_numpy()
        return [result.params.tobytes(), result.cov_params().tobytes(), effects.tobytes()]

    fast, portable = both_paths(fit)
    assert fast == portable
