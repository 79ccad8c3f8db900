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


def fit_design(design: Design, max_iter: int, tol: float, robust: bool) -> tuple[Any, float | None]:
    """The fit of the design's rows, as a VaskProbitResults whose model.exog is design.exog itself, and the
    largest |x.b| at its estimates when the fit took it (in memory; None on Dask)."""
    return fit_rows(design.endog, design.exog, design.clusters, max_iter, tol, robust)


def fit_rows(endog: Any, exog: Any, clusters: Any, max_iter: int, tol: float,
             robust: bool) -> tuple[Any, float | None]:
    """fit_probit's fit, read in place and finished with Newton steps to the maximum; clusters the (n, 1)
    cluster codes or None."""
    dimensions = None if clusters is None else [clusters[:, 0]]
    fit: tuple[Any, float | None] = driver(exog)._fit_design(endog, exog, max_iter, tol, robust, dimensions)
    return fit
