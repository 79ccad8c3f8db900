"""Runs hostile inputs against probit() one after another in this process, as a child of the tests.

Reads a JSON list of [name, code] from standard input; for each, runs the code (which may set `out` to a
summary of what came back) and prints one JSON line {"name", "raised", "warnings", "out"} at once, so that a
crash in one case leaves the lines of those before it.
"""

import json
import sys
import warnings

import numpy as np
import pandas as pd

import quorbis

rng = np.random.default_rng(0)
N = 60
x = rng.normal(size=N)
DATA = pd.DataFrame({"x": x, "y": (x + rng.normal(size=N) > 0).astype(float), "d": rng.integers(0, 2, N),
                     "g": "one"})


def fitted(r):
    """What a fit tells a reader at a glance."""
    return {"converged": r.converged, "bse": [None if np.isnan(v) else round(float(v), 4) for v in r.bse],
            "names": r.exog_names}


def main():
    for name, code in json.load(sys.stdin):
        scope = {"np": np, "pd": pd, "quorbis": quorbis, "DATA": DATA, "fitted": fitted, "out": None}
        raised = None
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                exec(code, scope)
            except Exception as error:  # a BaseException such as PanicException ends the child: a failure
                raised = f"{type(error).__name__}: {error}"
        shown = [f"{w.category.__name__}: {w.message}" for w in caught if issubclass(w.category, UserWarning)]
        print(json.dumps({"name": name, "raised": raised, "warnings": shown, "out": scope["out"]}), flush=True)


if __name__ == "__main__":
    main()
