"""The front door against the raw function: probit("y ~ x1 + ... + x{k-1}", df) and fit_probit(y, X) on the
same rows at default threads, and where probit's extra time goes (building the design, the fit itself, and
the checks and result object after it)."""

from __future__ import annotations

import statistics
from dataclasses import dataclass

import numpy as np
import pandas as pd
import quorbis
from quorbis import _design, _fit

import _cases
from _threads import default_threads, median_wall

FRONT_DOOR_TARGET = 1.3  # probit's time over fit_probit's, at most
TARGET_SIZE = (1_000_000, 10)


@dataclass
class FrontDoor:
    n: int
    k: int
    raw_seconds: float  # fit_probit(y, X), X C-ordered as the benchmark's other calls take it
    front_seconds: float  # probit(formula, df)
    design_seconds: float  # of which: the formula's design and outcome from the DataFrame
    fit_seconds: float  # of which: the fit of that design
    agreement: float  # largest difference of the coefficients, in standard errors

    @property
    def ratio(self) -> float:
        return self.front_seconds / self.raw_seconds

    @property
    def met(self) -> bool | None:
        return self.ratio <= FRONT_DOOR_TARGET if (self.n, self.k) == TARGET_SIZE else None

    @property
    def rest_seconds(self) -> float:
        return self.front_seconds - self.design_seconds - self.fit_seconds


def measure_front_door(data: _cases.Data, repeats: int) -> FrontDoor:
    n, k = data.X.shape
    frame = pd.DataFrame(data.X[:, 1:], columns=[f"x{j}" for j in range(1, k)]).assign(y=data.y)
    formula = "y ~ " + " + ".join(f"x{j}" for j in range(1, k))
    design = _design.from_formula(formula, frame, None, "drop")
    calls = {"raw": lambda: quorbis.fit_probit(data.y, data.X), "front": lambda: quorbis.probit(formula, frame),
             "design": lambda: _design.from_formula(formula, frame, None, "drop"),
             "fit": lambda: _fit.fit_design(design, _fit.Options(35, 1e-6, False, False))}
    # The calls take turns in every round, so that a change of load on a shared machine touches all alike.
    seconds: dict[str, list[float]] = {name: [] for name in calls}
    with default_threads():
        for _ in range(repeats):
            for name, call in calls.items():
                seconds[name].append(median_wall(call, 1))
    front, raw = quorbis.probit(formula, frame), quorbis.fit_probit(data.y, data.X)
    agreement = float(np.max(np.abs(front.params.to_numpy() - raw.params) / front.bse.to_numpy()))
    median = {name: statistics.median(times) for name, times in seconds.items()}
    return FrontDoor(n, k, median["raw"], median["front"], median["design"], median["fit"], agreement)
