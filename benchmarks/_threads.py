"""The thread settings the benchmark compares, and the two measurements about threads themselves: the
speed-up of quorbis from one thread to two, and, on data larger than a laptop's cache, each pass's time
beside NumPy's X @ b over the same Fortran-ordered X (the floor set by streaming X from memory)."""

from __future__ import annotations

import contextlib
import statistics
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import Any

import numpy as np
import quorbis
import statsmodels.api as sm
from threadpoolctl import threadpool_limits

import _cases

DEFAULT_QUORBIS_THREADS = quorbis.get_num_threads()
SCALING_TARGET = 1.7  # quorbis at 2 threads against 1, plain fit
LARGE_FIT_TARGET = 12.0  # statsmodels time / quorbis time at default threads


@contextlib.contextmanager
def single_threaded() -> Iterator[None]:
    """Both tools on one thread: the BLAS under statsmodels capped, quorbis set to 1."""
    with threadpool_limits(1):
        quorbis.set_num_threads(1)
        try:
            yield
        finally:
            quorbis.set_num_threads(DEFAULT_QUORBIS_THREADS)


@contextlib.contextmanager
def default_threads() -> Iterator[None]:
    """Both tools as installed: quorbis at its default, the BLAS at its own."""
    quorbis.set_num_threads(DEFAULT_QUORBIS_THREADS)
    yield


SETTINGS: dict[str, Callable[[], contextlib.AbstractContextManager[None]]] = {
    "single-threaded": single_threaded,
    "default threads": default_threads,
}


def median_wall(call: Callable[[], Any], repeats: int) -> float:
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


@dataclass
class Scaling:
    n: int
    k: int
    seconds: dict[int, float]  # quorbis threads -> median wall time of the plain fit

    @property
    def speedup(self) -> float:
        return self.seconds[1] / self.seconds[2]

    @property
    def met(self) -> bool:
        return self.speedup >= SCALING_TARGET


def measure_scaling(data: _cases.Data, repeats: int) -> Scaling:
    seconds = {}
    for threads in (1, 2):
        quorbis.set_num_threads(threads)
        seconds[threads] = median_wall(lambda: quorbis.fit_probit(data.y, data.X), repeats)
    quorbis.set_num_threads(DEFAULT_QUORBIS_THREADS)
    n, k = data.X.shape
    return Scaling(n, k, seconds)


@dataclass
class Streaming:
    n: int
    k: int
    x_nbytes: int
    quorbis_seconds: float  # plain fit, default threads
    statsmodels_seconds: float  # plain fit, default BLAS threads
    iteration_seconds: dict[int, float]  # quorbis threads -> one iteration (one pass over X)
    matvec_seconds: float  # NumPy X @ b, Fortran-ordered X, default threads

    @property
    def ratio(self) -> float:
        return self.statsmodels_seconds / self.quorbis_seconds

    @property
    def met(self) -> bool:
        return self.ratio >= LARGE_FIT_TARGET


def iteration_seconds(data: _cases.Data, X: np.ndarray, repeats: int) -> float:
    """One iteration of the optimiser, the difference between fits stopped after 3 and after 1 iterations
    (tol=0 lets neither stop early), halved. Early iterations take full steps, so each is one pass over X
    for the log-likelihood and gradient."""
    def fit(iterations: int) -> Callable[[], Any]:
        return lambda: quorbis.fit_probit(data.y, X, max_iter=iterations, tol=0.0)

    return (median_wall(fit(3), repeats) - median_wall(fit(1), repeats)) / 2


def measure_streaming(data: _cases.Data, repeats: int) -> Streaming:
    X = np.asfortranarray(data.X)
    b = np.linspace(-1.0, 1.0, X.shape[1])
    with default_threads():
        quorbis_seconds = median_wall(lambda: quorbis.fit_probit(data.y, X), repeats)
        statsmodels_seconds = median_wall(lambda: sm.Probit(data.y, X).fit(disp=0), repeats)
        matvec = median_wall(lambda: X @ b, max(repeats, 5))
    per_iteration = {}
    for threads in sorted({1, DEFAULT_QUORBIS_THREADS}):
        quorbis.set_num_threads(threads)
        per_iteration[threads] = iteration_seconds(data, X, repeats)
    quorbis.set_num_threads(DEFAULT_QUORBIS_THREADS)
    n, k = X.shape
    return Streaming(n, k, X.nbytes, quorbis_seconds, statsmodels_seconds, per_iteration, matvec)
