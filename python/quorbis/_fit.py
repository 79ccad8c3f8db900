"""The fit of a design built by probit(): in memory or over Dask arrays."""

from __future__ import annotations

from dataclasses import dataclass
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


@dataclass(frozen=True)
class Rows:
    """What a fit reads of its rows, kept by the result to fit them again."""

    endog: Any
    exog: Any
    clusters: Any  # (n, dimensions) cluster codes, or None
    weights: Any  # (n,) weights, or None
    frequency: bool

    @staticmethod
    def of(design: Design) -> Rows:
        return Rows(design.endog, design.exog, design.clusters, design.weights, design.frequency)


@dataclass(frozen=True)
class Options:
    max_iter: int
    tol: float
    robust: bool
    small_sample: bool


def fit_design(design: Design, options: Options) -> tuple[Any, float | None, int]:
    """The fit of the design's rows, as a VaskProbitResults whose model.exog is design.exog itself, the
    largest |x.b| at its estimates when the fit took it (in memory; None on Dask), and the number of negative
    eigenvalues a multiway covariance had set to 0."""
    return fit_rows(Rows.of(design), options)


def fit_rows(rows: Rows, options: Options) -> tuple[Any, float | None, int]:
    """fit_probit's fit, read in place and finished with Newton steps to the maximum."""
    clusters = rows.clusters
    dimensions = None if clusters is None else [clusters[:, d] for d in range(clusters.shape[1])]
    fit: tuple[Any, float | None, int] = driver(rows.exog)._fit_design(
        rows.endog, rows.exog, options.max_iter, options.tol, options.robust, dimensions, rows.weights,
        rows.frequency, options.small_sample)
    return fit
