"""A Python module implemented in Vask."""

# The package is the extension's two functions, exactly as the extension defines them, plus a layer that
# takes formulas and DataFrames: probit() and the ProbitResult it returns.

import sys as _sys

__version__ = "0.1.0"

# The extension refuses to be initialised twice in one process. If this package is executed again
# (removed from sys.modules and imported anew), reach the extension again instead of reusing its module.
_sys.modules.pop(__name__ + "._quorbis", None)

from ._quorbis import PanicException, ame, fit_probit, get_num_threads, set_num_threads  # noqa: E402
from ._probit import probit  # noqa: E402
from ._result import ProbitResult  # noqa: E402
from ._panel_result import FixedEffectsResult  # noqa: E402
from ._diagnostics import ProbitWarning  # noqa: E402
from ._separation import Separation  # noqa: E402

__all__ = ["ame", "fit_probit"]
