"""Cluster variables of any dtype, given by name or as values, to the float codes of each clustering dimension."""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd


def cluster_columns(cluster: Any, rows: int, data: pd.DataFrame | None, index: Any) -> list[pd.Series]:
    """The cluster variables as Series numbered 0 .. rows - 1, named for messages.

    Names refer to columns of data; values (Series, DataFrame, arrays) are matched by position, and
    pandas objects must carry the same index as the data (index, or None when the data have none).
    """
    if cluster is None:
        return []
    if isinstance(cluster, str) or (isinstance(cluster, (list, tuple)) and cluster
                                    and all(isinstance(c, str) for c in cluster)):
        names = [cluster] if isinstance(cluster, str) else list(cluster)
        if data is None:
            raise ValueError("cluster names need a formula and its data; pass the cluster ids themselves")
        absent = [c for c in names if c not in data.columns]
        if absent:
            raise ValueError(f"cluster columns not in data: {', '.join(absent)}")
        return [data[c].reset_index(drop=True) for c in names]
    if isinstance(cluster, (pd.Series, pd.DataFrame)) and index is not None and not cluster.index.equals(index):
        raise ValueError("cluster and the data have different indexes; align them first (arrays are "
                         "matched by position)")
    if isinstance(cluster, pd.DataFrame):
        table = cluster
    elif np.ndim(cluster) == 2:
        table = pd.DataFrame(np.asarray(cluster)).rename(columns=lambda j: f"cluster[{j}]")
    else:
        name = cluster.name if isinstance(cluster, pd.Series) and cluster.name is not None else "cluster"
        table = pd.DataFrame({str(name): np.asarray(cluster)})
    if len(table) != rows:
        raise ValueError(f"cluster has {len(table)} rows, the data {rows}")
    return [table[c].reset_index(drop=True).rename(str(c)) for c in table.columns]


def cluster_codes(columns: list[pd.Series]) -> tuple[np.ndarray | None, list[int] | None]:
    """The cluster codes of each dimension (each variable), numbered from 0 in order of first appearance, as
    the columns of an (n, dimensions) float64 array, and the number of clusters of each. pandas numbers the
    values exactly (equal values alike, different ones never), and the codes are exact as floats."""
    if not columns:
        return None, None
    codes = [pd.factorize(column.to_numpy())[0] for column in columns]
    return np.column_stack(codes).astype(np.float64), [int(c.max(initial=-1)) + 1 for c in codes]
