"""Weights and multiway clusters against the fits without: probit() with probability weights against the
robust fit, with frequency weights against the classical one, and clustered by two dimensions against one,
all on the same rows at default threads."""

from __future__ import annotations

import statistics
from dataclasses import dataclass

import numpy as np
import pandas as pd
import quorbis

import _cases
from _threads import default_threads, median_wall

WEIGHTED_TARGET = 1.15  # a weighted fit's time over the unweighted one's, at most
TWO_WAY_TARGET = 1.3  # a two-way clustered fit's time over the one-way one's, at most
TARGET_SIZE = (1_000_000, 10)
YEARS = 20  # the second clustering dimension


@dataclass
class Pair:
    title: str
    base_seconds: float
    seconds: float
    target: float
    base_iterations: int
    iterations: int

    @property
    def ratio(self) -> float:
        return self.seconds / self.base_seconds

    @property
    def iteration_ratio(self) -> float:
        """The ratio of the times of one iteration, the cost of the weights or clusters in each pass."""
        return self.ratio * self.base_iterations / self.iterations


@dataclass
class Weighted:
    n: int
    k: int
    pairs: list[Pair]

    @property
    def met(self) -> bool | None:
        if (self.n, self.k) != TARGET_SIZE:
            return None
        return all(pair.ratio <= pair.target for pair in self.pairs)


def measure_weighted(data: _cases.Data, repeats: int) -> Weighted:
    n, k = data.X.shape
    rng = np.random.default_rng(n)
    frame = pd.DataFrame(data.X[:, 1:], columns=[f"x{j}" for j in range(1, k)]).assign(
        y=data.y, firm=data.groups, year=rng.integers(0, YEARS, n), w=rng.uniform(0.5, 2.0, n),
        f=rng.integers(1, 4, n))
    formula = "y ~ " + " + ".join(f"x{j}" for j in range(1, k))
    calls = {
        "robust": lambda: quorbis.probit(formula, frame, robust=True),
        "probability": lambda: quorbis.probit(formula, frame, weights="w"),
        "classical": lambda: quorbis.probit(formula, frame),
        "frequency": lambda: quorbis.probit(formula, frame, weights="f", weights_type="frequency"),
        "one-way": lambda: quorbis.probit(formula, frame, cluster="firm"),
        "two-way": lambda: quorbis.probit(formula, frame, cluster=["firm", "year"]),
    }
    # The calls take turns in every round, so that a change of load on a shared machine touches all alike.
    seconds: dict[str, list[float]] = {name: [] for name in calls}
    with default_threads():
        for _ in range(repeats):
            for name, call in calls.items():
                seconds[name].append(median_wall(call, 1))
        iterations = {name: call().iterations for name, call in calls.items()}
    median = {name: statistics.median(times) for name, times in seconds.items()}

    def pair(title: str, base: str, name: str, target: float) -> Pair:
        return Pair(title, median[base], median[name], target, iterations[base], iterations[name])

    pairs = [pair("probability weights (sandwich) / robust", "robust", "probability", WEIGHTED_TARGET),
             pair("frequency weights / classical", "classical", "frequency", WEIGHTED_TARGET),
             pair(f"two-way clusters ({YEARS} years) / one-way", "one-way", "two-way", TWO_WAY_TARGET)]
    return Weighted(n, k, pairs)
