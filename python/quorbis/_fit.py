"""The fit of a design built by probit(): in memory or over Dask arrays."""

from __future__ import annotations

from typing import Any

import numpy as np

from . import _quorbis
from ._design import Design


def driver(exog: Any) -> Any:
    """The module whose fit_probit and ame compute on these rows: the extension, or the Dask driver."""
    if isinstance(exog, np.ndarray):
        return _quorbis
    from . import dask

    return dask


def fit_design(design: Design, max_iter: int, tol: float, robust: bool) -> Any:
    """The fit of the design's rows, as a VaskProbitResults whose model.exog is design.exog itself."""
    return fit_rows(design.endog, design.exog, design.clusters, max_iter, tol, robust)


def fit_rows(endog: Any, exog: Any, clusters: Any, max_iter: int, tol: float, robust: bool) -> Any:
    return driver(exog).fit_probit(endog, exog, max_iter, tol, robust, clusters)
