"""Simulated probit data and the pairs of calls that the benchmark times.

Each case pairs a quorbis call with the statsmodels call a user would make for the same numbers.
The design matrix has an intercept, one 0/1 dummy column and k - 2 continuous columns; the
outcome comes from a latent normal model with a random effect per cluster, so the cluster-robust
covariance differs visibly from the classical one.
"""

from __future__ import annotations

from dataclasses import dataclass
from collections.abc import Callable
from typing import Any

import numpy as np
import quorbis
import statsmodels.api as sm


@dataclass(frozen=True)
class Data:
    y: np.ndarray  # (n,) float64 outcome, 0.0 or 1.0
    X: np.ndarray  # (n, k) float64, C-contiguous: intercept, dummy, continuous columns
    groups: np.ndarray  # (n,) int64 cluster ids, as statsmodels takes them
    cluster_vars: np.ndarray  # (n, 1) float64, the same ids as quorbis takes them


def simulate(n: int, k: int, n_groups: int, seed: int) -> Data:
    if k < 3:
        raise ValueError("k must be at least 3 (intercept, dummy, one continuous column)")
    rng = np.random.default_rng([seed, n, k])
    X = np.empty((n, k))
    X[:, 0] = 1.0
    X[:, 1] = rng.random(n) < 0.4
    X[:, 2:] = rng.standard_normal((n, k - 2))
    beta = np.empty(k)
    beta[0], beta[1] = 0.2, 0.5
    beta[2:] = rng.uniform(-1.0, 1.0, k - 2) / np.sqrt(k - 2)
    groups = rng.integers(0, n_groups, n)
    effect = rng.normal(0.0, 0.3, n_groups)
    y = (X @ beta + effect[groups] + rng.standard_normal(n) > 0.0).astype(np.float64)
    return Data(y=y, X=X, groups=groups, cluster_vars=groups.astype(np.float64).reshape(n, 1))


def quorbis_fit_kwargs(case: str, data: Data) -> dict[str, Any]:
    if case == "hc0":
        return {"robust": True}
    if case == "cluster":
        return {"robust": True, "cluster_vars": data.cluster_vars}
    return {}


def statsmodels_fit_kwargs(case: str, data: Data) -> dict[str, Any]:
    if case == "hc0":
        return {"cov_type": "HC0"}
    if case == "cluster":
        return {"cov_type": "cluster", "cov_kwds": {"groups": data.groups, "use_correction": False}}
    return {}


@dataclass(frozen=True)
class Case:
    name: str
    title: str
    # prepare(data) runs untimed and returns what call(data, prepared) needs (a fitted result for ame)
    prepare_quorbis: Callable[[Data], Any]
    call_quorbis: Callable[[Data, Any], Any]
    prepare_statsmodels: Callable[[Data], Any]
    call_statsmodels: Callable[[Data, Any], Any]
    is_ame: bool
    chunk_size: int | None = None  # ame's chunk_size, when given
    # a case whose statsmodels side is the same call as another case's is not timed twice
    statsmodels_from: str | None = None


def _nothing(data: Data) -> None:
    return None


def _fit_case(name: str, title: str) -> Case:
    return Case(
        name=name,
        title=title,
        prepare_quorbis=_nothing,
        call_quorbis=lambda d, _: quorbis.fit_probit(d.y, d.X, **quorbis_fit_kwargs(name, d)),
        prepare_statsmodels=_nothing,
        call_statsmodels=lambda d, _: sm.Probit(d.y, d.X).fit(disp=0, **statsmodels_fit_kwargs(name, d)),
        is_ame=False,
    )


def statsmodels_margins(result: Any) -> Any:
    return result.get_margeff(at="overall", method="dydx", dummy=True).summary_frame()


def _ame_case(name: str, title: str, chunk_size: int | None) -> Case:
    kwargs = {} if chunk_size is None else {"chunk_size": chunk_size}
    return Case(
        name=name,
        title=title,
        prepare_quorbis=lambda d: quorbis.fit_probit(d.y, d.X),
        call_quorbis=lambda d, r: quorbis.ame(r, **kwargs),
        prepare_statsmodels=lambda d: sm.Probit(d.y, d.X).fit(disp=0),
        call_statsmodels=lambda d, r: statsmodels_margins(r),
        is_ame=True,
        chunk_size=chunk_size,
        statsmodels_from=None if chunk_size is None else "ame",
    )


def all_cases(chunk_size: int) -> dict[str, Case]:
    cases = [
        _fit_case("fit", "fit"),
        _fit_case("hc0", "fit, robust (HC0)"),
        _fit_case("cluster", "fit, cluster-robust"),
        _ame_case("ame", "ame", None),
        _ame_case("ame_chunked", f"ame, chunk_size={chunk_size:_}", chunk_size),
    ]
    return {case.name: case for case in cases}


def ame_available() -> bool:
    """False while the installed quorbis has no working ame (it raises NotImplementedError)."""
    data = simulate(200, 3, 5, 0)
    try:
        quorbis.ame(quorbis.fit_probit(data.y, data.X))
    except NotImplementedError:
        return False
    return True
