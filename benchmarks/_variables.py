"""Effects of variables against effects of columns: ProbitResult.ame() of a formula with nine numeric variables,
a squared term, an interaction and a five-level factor, against the raw per-column ame on the same design
matrix; the peak memory of the former beside the size of X; and predict(se=True) on the fitted rows. All at
default threads.

Run as a script, this file measures the memory of one ame() in a fresh process (see _memory) and prints one
JSON line.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import types
import warnings
from dataclasses import dataclass

import numpy as np
import pandas as pd
import quorbis

from _memory import peak_growth
from _threads import default_threads, median_wall

AME_TARGET = 3.0  # ame() over the raw ame, at most
MEMORY_TARGET = 0.05  # peak growth of ame() beyond a fixed window, in units of X, at most
WINDOW_BYTES = 16 << 20  # the fixed window: the core's slots of partial sums and one chunk's arrays
PREDICT_TARGET = 0.1  # seconds for predict(se=True) on 1e6 rows, at most
TARGET_ROWS = 1_000_000
FORMULA = "y ~ " + " + ".join(f"x{j}" for j in range(1, 10)) + " + I(x1**2) + x2:x3 + C(g)"


@dataclass
class Variables:
    n: int
    k: int
    raw_seconds: float  # quorbis.ame on the fitted design matrix, one row per column
    ame_seconds: float  # ProbitResult.ame(), one row per variable
    predict_seconds: float  # predict(se=True) on the fitted rows
    x_bytes: int
    growth_bytes: int | None  # peak memory growth of ame(), when measured

    @property
    def ratio(self) -> float:
        return self.ame_seconds / self.raw_seconds

    @property
    def met(self) -> bool | None:
        if self.n != TARGET_ROWS:
            return None
        memory = self.growth_bytes is None or self.growth_bytes <= MEMORY_TARGET * self.x_bytes + WINDOW_BYTES
        return self.ratio <= AME_TARGET and self.predict_seconds <= PREDICT_TARGET and memory


def frame(n: int, seed: int) -> pd.DataFrame:
    rng = np.random.default_rng([seed, n])
    data = pd.DataFrame({f"x{j}": rng.standard_normal(n) for j in range(1, 10)})
    data["g"] = rng.choice(list("abcde"), n)
    eta = 0.3 * data.x1 - 0.2 * data.x1 ** 2 + 0.4 * data.x2 * data.x3 + 0.2 * data.x4 + 0.3 * (data.g == "c")
    data["y"] = (eta + rng.standard_normal(n) > 0.0).astype(np.float64)
    return data


def fitted(n: int, seed: int) -> quorbis.ProbitResult:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return quorbis.probit(FORMULA, frame(n, seed))


def raw_ame(r: quorbis.ProbitResult) -> pd.DataFrame:
    """quorbis.ame on the fit's own design matrix, under the design's column names."""
    raw = r.raw
    named = types.SimpleNamespace(params=raw.params, cov_params=raw.cov_params,
                                  model=types.SimpleNamespace(exog=raw.model.exog, exog_names=r.exog_names))
    table: pd.DataFrame = quorbis.ame(named)
    return table


def measure_variables(n: int, seed: int, repeats: int, memory: bool) -> Variables:
    r = fitted(n, seed)
    x_bytes = r.raw.model.exog.nbytes
    with default_threads():
        raw_seconds = median_wall(lambda: raw_ame(r), repeats)
        ame_seconds = median_wall(r.ame, repeats)
        predict_seconds = median_wall(lambda: r.predict(se=True), repeats)
    growth = _growth_in_subprocess(n, seed) if memory else None
    return Variables(n, len(r.exog_names), raw_seconds, ame_seconds, predict_seconds, x_bytes, growth)


def _growth_in_subprocess(n: int, seed: int) -> int:
    env = dict(os.environ, MALLOC_MMAP_THRESHOLD_="65536", MALLOC_TRIM_THRESHOLD_="131072")
    done = subprocess.run([sys.executable, os.path.abspath(__file__), json.dumps({"n": n, "seed": seed})], env=env,
                          capture_output=True, text=True, check=False)
    if done.returncode != 0:
        raise RuntimeError(f"memory child failed:\n{done.stderr}")
    return int(json.loads(done.stdout.strip().splitlines()[-1])["growth"])


def _child(request: dict[str, int]) -> None:
    fitted(2_000, request["seed"]).ame()  # imports what ame imports lazily, before the measured call
    r = fitted(request["n"], request["seed"])
    print(json.dumps({"growth": peak_growth(r.ame)}))


if __name__ == "__main__":
    _child(json.loads(sys.argv[1]))
