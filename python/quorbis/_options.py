"""The keyword options of probit(), checked before any data is read."""

from __future__ import annotations

from typing import Any

import numpy as np

SEPARATION = ("warn", "drop", "raise")


def flag(value: Any, name: str) -> bool:
    """A flag given as True or False (NumPy's bools too): a string such as "False" or a NaN would otherwise
    be read by its truth value, the opposite of what it says."""
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    raise TypeError(f"{name} must be True or False, not {value!r}")


def choice(value: Any, name: str, allowed: tuple[str, ...]) -> str:
    if not isinstance(value, str) or value not in allowed:
        raise ValueError(f"{name} must be {', '.join(map(repr, allowed[:-1]))} or {allowed[-1]!r}, not {value!r}")
    return value
