"""The fixed-effects benchmark (run.py --panel): a probit with firm and year effects, quorbis against
pyfixest's feglm when it is installed, with the peak memory of quorbis' fit and a run at ten times the size.

The data: a panel sorted by firm, each firm with n / firms rows spread over the years at random, a 0/1
column and k - 1 standard normal ones, and the outcome from a latent normal model with N(0, 0.5^2) firm
and N(0, 0.3^2) year effects.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import statistics
import subprocess
import sys
import time
from typing import Any

import numpy as np
import pandas as pd
import quorbis

import _memory

HERE = os.path.dirname(os.path.abspath(__file__))
SPEED_TARGET_SECONDS = 0.5
PYFIXEST_RATIO_TARGET = 8.0
MEMORY_TARGET = 3.0  # peak growth of the fit as a multiple of X.nbytes


def parse_panel(text: str) -> tuple[int, int, int, int] | None:
    """'1000000x9:10000x20' -> (rows, columns, firms, years); '' -> None."""
    if not text:
        return None
    try:
        shape, levels = text.lower().split(":")
        n, k = (int(float(v)) for v in shape.split("x"))
        firms, years = (int(float(v)) for v in levels.split("x"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"panel {text!r} is not of the form NxK:FIRMSxYEARS") from None
    if k < 1 or firms < 2 or years < 2 or n < firms:
        raise argparse.ArgumentTypeError(f"panel {text!r}: need k >= 1, two firms and years, n >= firms")
    return n, k, firms, years


def simulate(n: int, k: int, firms: int, years: int, seed: int) -> pd.DataFrame:
    rng = np.random.default_rng([seed, n, k, firms, years])
    firm = np.sort(rng.integers(0, firms, n))
    year = rng.integers(0, years, n)
    order = np.lexsort((year, firm))
    firm, year = firm[order], year[order]
    X = rng.standard_normal((n, k))
    X[:, 0] = rng.random(n) < 0.4
    beta = rng.uniform(-0.5, 0.5, k)
    latent = X @ beta + rng.normal(0.0, 0.5, firms)[firm] + rng.normal(0.0, 0.3, years)[year]
    data = pd.DataFrame(X, columns=[f"x{j}" for j in range(k)])
    data["y"] = (latent + rng.standard_normal(n) > 0.0).astype(np.float64)
    data["firm"], data["year"] = firm, year
    return data


def formula(k: int) -> str:
    return "y ~ " + " + ".join(f"x{j}" for j in range(k)) + " | firm + year"


def raw_arrays(data: pd.DataFrame, k: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    X = data[[f"x{j}" for j in range(k)]].to_numpy(np.float64)
    codes = np.ascontiguousarray(data[["firm", "year"]].to_numpy(np.int64))
    return data["y"].to_numpy(np.float64), X, codes


def raw_fit(y: np.ndarray, X: np.ndarray, codes: np.ndarray) -> Any:
    return quorbis._quorbis._fit_fixed_effects(y, X, codes, 35, 1e-6, False, None, None)


def median_seconds(call: Any, repeats: int) -> tuple[float, Any]:
    times, result = [], None
    for _ in range(repeats):
        result = None
        gc.collect()
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def pyfixest_fit(data: pd.DataFrame, k: int) -> Any:
    import pyfixest

    return pyfixest.feglm(formula(k), data, family="probit")


def memory_growth(n: int, k: int, firms: int, years: int, seed: int) -> float | None:
    """Peak resident growth of the raw fit over X.nbytes, in a fresh process."""
    if not _memory.supported():
        return None
    child = subprocess.run([sys.executable, __file__, json.dumps([n, k, firms, years, seed])], capture_output=True,
                           text=True, check=True, cwd=HERE)
    return float(child.stdout.strip().splitlines()[-1])


def run(arguments: argparse.Namespace) -> int:
    lines = []
    sizes = [s for s in (arguments.panel_size, arguments.panel_large) if s is not None]
    for index, (n, k, firms, years) in enumerate(sizes):
        data = simulate(n, k, firms, years, arguments.seed)
        y, X, codes = raw_arrays(data, k)
        raw_fit(y[: 2 * firms], X[: 2 * firms], np.ascontiguousarray(codes[: 2 * firms]))  # warm-up
        repeats = arguments.repeats if index == 0 else 1
        raw_seconds, result = median_seconds(lambda: raw_fit(y, X, codes), repeats)
        label = f"{n:_} x {k}, {firms:_} firms + {years} years"
        line = f"{label}: quorbis raw fit {raw_seconds:.3f} s ({result['iterations'] + 1} iterations)"
        if index == 0:
            probit_seconds, fitted = median_seconds(lambda: quorbis.probit(formula(k), data), repeats)
            line += f", probit() with the formula {probit_seconds:.3f} s"
            try:
                peer_seconds, peer = median_seconds(lambda: pyfixest_fit(data, k), min(repeats, 3))
                gap = float(np.max(np.abs(np.asarray(peer.coef()) - fitted.params.to_numpy()) / fitted.bse.to_numpy()))
                line += (f", pyfixest feglm {peer_seconds:.3f} s ({peer_seconds / probit_seconds:.1f}x probit()); "
                         f"slopes apart by at most {gap:.1e} standard errors")
            except ImportError:
                line += "; pyfixest not installed (pip install pyfixest), no peer"
            if not arguments.no_memory:
                growth = memory_growth(n, k, firms, years, arguments.seed)
                if growth is not None:
                    line += f"; peak memory growth of the raw fit {growth:.2f} x X (target {MEMORY_TARGET})"
        print(line, flush=True)
        lines.append(line)
        del data, y, X, codes, result
    if arguments.panel_results:
        with open(arguments.panel_results, "w") as out:
            out.write("# Fixed effects: benchmark\n\n" + "\n".join(f"* {line}" for line in lines) + "\n")
        print(f"wrote {arguments.panel_results}")
    return 0


if __name__ == "__main__":  # the child of memory_growth
    n, k, firms, years, seed = json.loads(sys.argv[1])
    y, X, codes = raw_arrays(simulate(n, k, firms, years, seed), k)
    raw_fit(y[: 2 * firms], X[: 2 * firms], np.ascontiguousarray(codes[: 2 * firms]))
    print(_memory.peak_growth(lambda: raw_fit(y, X, codes)) / X.nbytes)
