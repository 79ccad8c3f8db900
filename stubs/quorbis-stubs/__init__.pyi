"""Binary probit regression by maximum likelihood, and average marginal effects."""

from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Literal, Protocol, SupportsFloat, SupportsIndex, final, type_check_only

import numpy as np
import numpy.typing as npt
import pandas as pd

__all__ = ["ame", "fit_probit"]
__version__: str

_Float64Array = npt.NDArray[np.float64]

# The two classes are not attributes of the module: objects of them come only from fit_probit.
# They are declared here so that results can be annotated (under TYPE_CHECKING, or in quotes).

@final
@type_check_only
class VaskProbitModel:
    """The data of a fit: read-only; each read of exog_names returns a new list."""

    @property
    def exog(self) -> _Float64Array: ...
    @property
    def endog(self) -> _Float64Array: ...
    @property
    def exog_names(self) -> list[str]: ...

@final
@type_check_only
class VaskProbitResults:
    """The estimates of a fit: read-only; each read of model returns a new VaskProbitModel."""

    @property
    def params(self) -> _Float64Array: ...
    @property
    def model(self) -> VaskProbitModel: ...
    @property
    def loglike(self) -> float: ...
    @property
    def iterations(self) -> int: ...
    @property
    def converged(self) -> bool: ...
    def cov_params(self) -> _Float64Array: ...

@type_check_only
class _ModelLike(Protocol):
    @property
    def exog(self) -> _Float64Array: ...
    # A single str is a Sequence[str] to the type checker, but ame refuses it at run time.
    @property
    def exog_names(self) -> Sequence[str]: ...

@type_check_only
class _ResultsLike(Protocol):
    @property
    def params(self) -> _Float64Array: ...
    @property
    def model(self) -> _ModelLike: ...
    def cov_params(self) -> _Float64Array: ...

def fit_probit(
    endog_py: _Float64Array,
    exog_py: _Float64Array,
    max_iter: SupportsIndex | None = ...,
    tol: SupportsFloat | SupportsIndex | None = ...,
    robust: bool | None = ...,
    cluster_vars: _Float64Array | None = ...,
) -> VaskProbitResults:
    """Fits P(y = 1 | x) = Phi(x . beta) by maximum likelihood."""

def ame(probit_model: _ResultsLike, chunk_size: SupportsIndex | None = ...) -> pd.DataFrame:
    """Calculates Average Marginal Effects (AME) for a Probit model"""

def set_num_threads(n: SupportsIndex, /) -> None:
    """Sets the number of threads (1 to 1024) on which fit_probit and ame compute."""

def get_num_threads() -> int:
    """The number of threads on which fit_probit and ame compute."""

class PanicException(BaseException):
    """An internal fault of the extension: a bug, never a consequence of the input."""

class ProbitWarning(UserWarning):
    """A fit whose numbers need care: no convergence, separation, a singular Hessian or no constant."""

@dataclass(frozen=True)
class Separation:
    """Rows whose outcome a combination of the columns predicts perfectly, as probit() found them."""

    columns: list[str]
    coefficients: list[str]
    rows: int
    nobs: int
    dropped: bool = False
    dropped_columns: list[str] = ...
    @property
    def complete(self) -> bool: ...
    def finding(self) -> str: ...

@type_check_only
class Summary(str):
    """The summary of a fit: its text, shown as HTML in a notebook, with its tables as DataFrames."""

    tables: list[pd.DataFrame]
    notes: list[str]
    def _repr_html_(self) -> str: ...

class ProbitResult:
    """The result of probit(): estimates, tests and predictions, indexed by column name."""

    exog_names: list[str]
    endog_name: str
    formula: str | None
    n_clusters: int | dict[str, int] | None
    dropped_rows: int
    zero_weight_rows: int
    weights_type: str | None
    weights_name: str | None
    small_sample: bool
    notes: list[str]
    nobs: int
    llf: float
    converged: bool
    iterations: int
    cov_type: str
    params: pd.Series[float]
    bse: pd.Series[float]
    zvalues: pd.Series[float]
    pvalues: pd.Series[float]
    separation: Separation | None
    def __init__(
        self, design: Any, raw: VaskProbitResults, *, max_iter: int, tol: float, robust: bool,
        small_sample: bool, notes: list[str], separation: Separation | None = None
    ) -> None: ...
    @property
    def llnull(self) -> float: ...
    @property
    def prsquared(self) -> float: ...
    @property
    def aic(self) -> float: ...
    @property
    def bic(self) -> float: ...
    @property
    def raw(self) -> VaskProbitResults: ...
    def cov_params(self) -> pd.DataFrame: ...
    def conf_int(self, alpha: float = 0.05) -> pd.DataFrame: ...
    def predict(
        self, newdata: Any = None, *, se: bool = False, which: Literal["prob", "linear"] = "prob", alpha: float = 0.05
    ) -> Any: ...
    # An integer as the first argument is the chunk size, as ame(chunk_size) took it before.
    def ame(
        self,
        variables: str | Sequence[str] | SupportsIndex | None = None,
        *,
        at: Literal["mean"] | Mapping[str, Any] | None = None,
        by: str | Sequence[str] | None = None,
        alpha: float = 0.05,
        chunk_size: SupportsIndex | None = None,
    ) -> pd.DataFrame: ...
    def margins(
        self,
        at: Literal["mean"] | Mapping[str, Any] | None = None,
        by: str | Sequence[str] | None = None,
        *,
        alpha: float = 0.05,
        chunk_size: SupportsIndex | None = None,
    ) -> pd.DataFrame: ...
    def plot_ame(self, ax: Any = None, alpha: float = 0.05, **options: Any) -> Any: ...
    def summary(self) -> Summary: ...
    def _repr_html_(self) -> str: ...

class FixedEffectsResult(ProbitResult):
    """The result of probit() with fixed effects ('y ~ x1 + x2 | firm + year')."""

    effect_names: list[str]
    n_levels: dict[str, int]
    removed_rows: int
    removed_levels: dict[str, int]
    omitted: list[str]
    bias_correction: str | None
    L: int
    uncorrected: FixedEffectsResult | None
    def __init__(
        self, design: Any, effects: Any, raw: Any, *, max_iter: int, tol: float, robust: bool,
        small_sample: bool, notes: list[str], bias_correction: str | None, L: int, removed_rows: int,
        omitted: list[str], uncorrected: FixedEffectsResult | None = None
    ) -> None: ...
    @property
    def n_effects(self) -> int: ...
    @property
    def raw(self) -> Any: ...
    def fixef(self) -> dict[str, pd.Series[float]]: ...
    def predict(self, newdata: Any = None) -> Any: ...  # type: ignore[override]
    def ame(self, chunk_size: SupportsIndex | None = None, *, population: bool = True) -> pd.DataFrame: ...  # type: ignore[override]

def probit(
    formula: str | Any,
    data: Any,
    *,
    robust: bool | None = None,
    cluster: Any = None,
    weights: Any = None,
    weights_type: Literal["probability", "frequency"] = "probability",
    missing: Literal["drop", "raise"] = "drop",
    max_iter: int = 35,
    tol: float = 1e-6,
    small_sample: bool = False,
    bias_correction: Literal["analytical"] | None = None,
    L: int = 0,
    separation: Literal["warn", "drop", "raise"] = "warn",
) -> ProbitResult:
    """Fits a probit model from a formula and a DataFrame (pandas or Dask), or from an outcome and a design
    matrix."""
