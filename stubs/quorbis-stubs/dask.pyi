"""fit_probit and ame over Dask arrays chunked along rows, for data that do not fit in one machine's memory."""

from typing import Any, SupportsFloat, SupportsIndex

import pandas as pd

from . import VaskProbitResults

__all__ = ["fit_probit", "ame"]

def fit_probit(
    y: Any,
    X: Any,
    max_iter: SupportsIndex | None = None,
    tol: SupportsFloat | SupportsIndex | None = None,
    robust: bool | None = None,
    cluster_vars: Any = None,
) -> VaskProbitResults:
    """fit_probit(y, X, max_iter=None, tol=None, robust=None, cluster_vars=None) on Dask arrays."""

def ame(result: Any, chunk_size: SupportsIndex | None = None) -> pd.DataFrame:
    """ame(result, chunk_size=None) for a fit whose model.exog is a Dask array chunked along rows."""
