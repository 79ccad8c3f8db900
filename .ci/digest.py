"""Prints one SHA-256 digest of the bits of estimates, covariances (classical, robust, clustered) and
marginal effects on benchmark data: builds that compute the same numbers print the same digest."""

import hashlib
import pathlib
import sys

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "benchmarks"))
import quorbis  # noqa: E402
from _cases import simulate  # noqa: E402

digest = hashlib.sha256()
for n, k in [(200_000, 10), (3_001, 5)]:
    data = simulate(n, k, 50, 3)
    for kwargs in [{}, {"robust": True}, {"cluster_vars": data.cluster_vars}]:
        result = quorbis.fit_probit(data.y, data.X, **kwargs)
        digest.update(np.ascontiguousarray(result.params).tobytes())
        digest.update(np.ascontiguousarray(result.cov_params()).tobytes())
    effects = quorbis.ame(quorbis.fit_probit(data.y, data.X))
    digest.update(effects.select_dtypes("number").to_numpy().tobytes())
print(digest.hexdigest())
