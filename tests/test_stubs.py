"""The package sources and the installed type stubs: clean under mypy --strict; the stubs faithful to the
module at run time, and strict enough that wrong calls are flagged by the type checker and refused by the
module alike."""

import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

import quorbis

ROOT = Path(__file__).resolve().parent.parent
STUB_SOURCE = ROOT / "stubs" / "quorbis-stubs" / "__init__.pyi"
EXAMPLE = ROOT / "examples" / "grades.py"

# Code a user may write. It must type-check under --strict and run without error.
CORRECT_USAGE = textwrap.dedent(
    """
    from __future__ import annotations

    from dataclasses import dataclass
    from typing import TYPE_CHECKING

    import numpy as np
    import numpy.typing as npt
    import pandas as pd

    import quorbis

    if TYPE_CHECKING:
        from quorbis import VaskProbitResults


    @dataclass
    class Model:
        exog: npt.NDArray[np.float64]
        exog_names: list[str]


    @dataclass
    class Results:
        params: npt.NDArray[np.float64]
        cov: npt.NDArray[np.float64]
        model: Model

        def cov_params(self) -> npt.NDArray[np.float64]:
            return self.cov


    def standard_errors(r: VaskProbitResults) -> npt.NDArray[np.float64]:
        return np.sqrt(np.diag(r.cov_params()))


    rng = np.random.default_rng(7)
    X = np.column_stack([np.ones(200), rng.normal(size=200), rng.integers(0, 2, 200).astype(np.float64)])
    y = (X @ np.array([0.2, 0.8, -0.5]) + rng.normal(size=200) > 0).astype(np.float64)
    groups = rng.integers(0, 20, (200, 1)).astype(np.float64)

    r = quorbis.fit_probit(y, X)
    r = quorbis.fit_probit(y.reshape(-1, 1), X, 50, 1e-8, False, None)
    r = quorbis.fit_probit(endog_py=y, exog_py=X, max_iter=np.int64(50), tol=1, robust=True)
    clustered: VaskProbitResults = quorbis.fit_probit(y, X, robust=True, cluster_vars=groups)

    se: npt.NDArray[np.float64] = standard_errors(clustered)
    loglike: float = r.loglike
    iterations: int = r.iterations
    converged: bool = r.converged
    names: list[str] = r.model.exog_names
    exog: npt.NDArray[np.float64] = r.model.exog
    endog: npt.NDArray[np.float64] = r.model.endog

    table: pd.DataFrame = quorbis.ame(r)
    table = quorbis.ame(r, chunk_size=64)
    table = quorbis.ame(probit_model=r, chunk_size=np.int64(7))
    named = Results(r.params, r.cov_params(), Model(r.model.exog, ["const", "slope", "treated"]))
    table = quorbis.ame(named, None)
    reveal_type(quorbis.fit_probit)
    reveal_type(table)
    """
)

# One wrong line each, with the mypy error code it must draw and the exception the module raises.
WRONG_USAGE = [
    ("quorbis.fit_probit(y)", "call-arg", TypeError),
    ("quorbis.fit_probit(y, X, maxiter=10)", "call-arg", TypeError),
    ("quorbis.fit_probit([0.0, 1.0, 1.0, 0.0], X)", "arg-type", AttributeError),
    ("quorbis.fit_probit(y, [[1.0, 0.5]] * 4)", "arg-type", TypeError),
    ("quorbis.fit_probit(y, X, max_iter=2.0)", "arg-type", TypeError),
    ("quorbis.fit_probit(y, X, tol='small')", "arg-type", TypeError),
    ("quorbis.fit_probit(y, X, robust=1)", "arg-type", TypeError),
    ("quorbis.fit_probit(y, X, robust=np.True_)", "arg-type", TypeError),
    ("quorbis.fit_probit(y, X, robust=True, cluster_vars=[[1.0]] * 4)", "arg-type", TypeError),
    ("quorbis.ame(object())", "arg-type", AttributeError),
    ("quorbis.ame(r, chunk_size=2.5)", "arg-type", TypeError),
    ("quorbis.ame(r, 10, 10)", "call-arg", TypeError),
    ("r.params = np.zeros(2)", "misc", AttributeError),
    ("r.cov_params(True)", "call-arg", TypeError),
    ("quorbis.set_num_threads(2.0)", "arg-type", TypeError),
]

WRONG_PRELUDE = textwrap.dedent(
    """
    import numpy as np
    import quorbis

    y = np.array([0.0, 1.0, 1.0, 0.0])
    X = np.column_stack([np.ones(4), np.array([0.5, 1.5, 0.2, -1.0])])
    r = quorbis.fit_probit(y, X)
    """
)


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    """Runs mypy --strict on files in a scratch directory, with a cache shared by the tests here."""
    workdir = tmp_path_factory.mktemp("mypy")
    config = workdir / "mypy.ini"
    config.write_text("[mypy]\n")

    def run(*args, module="mypy"):
        if module == "mypy":
            options = ["--config-file", str(config), "--strict", "--cache-dir", str(workdir / "cache")]
        else:
            options = ["--mypy-config-file", str(config)]
        command = [sys.executable, "-m", module, *options, *args]
        return subprocess.run(command, cwd=workdir, capture_output=True, text=True, timeout=300)

    run.workdir = workdir
    return run


def mypy_output_lines(result):
    return [line for line in result.stdout.splitlines() if line.strip()]


class TestStubFiles:
    def test_stub_source_is_clean_under_strict(self, mypy, tmp_path):
        # Checked as a module of its own, so that no installed copy shadows the source.
        checked = tmp_path / "quorbis.pyi"
        checked.write_text(STUB_SOURCE.read_text())
        result = mypy(str(checked))
        assert result.returncode == 0, result.stdout + result.stderr

    def test_installed_stubs_match_the_runtime_module(self, mypy):
        # stubtest imports the module and compares every name, parameter and default with the stubs.
        result = mypy("quorbis", module="mypy.stubtest")
        assert result.returncode == 0, result.stdout + result.stderr

    def test_installed_stubs_equal_the_source(self):
        # The stub package sits beside the quorbis package.
        installed = Path(quorbis.__file__).resolve().parent.parent / "quorbis-stubs" / "__init__.pyi"
        assert installed.read_text() == STUB_SOURCE.read_text()


# NumPy 1.x types ndarray without default type arguments, which --strict flags at every bare use.
@pytest.mark.skipif(np.lib.NumpyVersion(np.__version__) < "2.0.0", reason="typed against NumPy 2")
def test_the_package_sources_are_clean_under_strict(tmp_path):
    # The project's own settings: strict, with the untyped libraries seen as Any.
    command = [sys.executable, "-m", "mypy", "--config-file", str(ROOT / "pyproject.toml"), "--cache-dir",
               str(tmp_path)]
    result = subprocess.run(command, cwd=ROOT, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr


class TestCorrectUsage:
    def test_type_checks_under_strict(self, mypy):
        source = mypy.workdir / "correct_usage.py"
        source.write_text(CORRECT_USAGE)
        result = mypy(str(source), str(EXAMPLE))
        errors = [line for line in mypy_output_lines(result) if ": error:" in line]
        assert errors == []
        revealed = [line.split("Revealed type is ", 1)[1] for line in mypy_output_lines(result) if "Revealed" in line]
        assert len(revealed) == 2
        assert revealed[0].endswith('-> quorbis.VaskProbitResults"')
        assert revealed[1] == '"pandas.core.frame.DataFrame"'

    def test_runs(self, tmp_path):
        script = tmp_path / "correct_usage.py"
        script.write_text(CORRECT_USAGE.replace("reveal_type(", "print("))
        result = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True, text=True)
        assert result.returncode == 0, result.stderr


class TestWrongUsage:
    def test_every_wrong_line_is_flagged(self, mypy):
        lines = WRONG_PRELUDE.splitlines()
        first = len(lines) + 1
        lines += [code for code, _, _ in WRONG_USAGE]
        source = mypy.workdir / "wrong_usage.py"
        source.write_text("\n".join(lines) + "\n")

        result = mypy(str(source))
        flagged = set()
        for line in mypy_output_lines(result):
            parts = line.split(":", 3)
            if len(parts) == 4 and parts[2].strip() == "error":
                flagged.add((int(parts[1]), parts[3].rsplit("[", 1)[1].rstrip("]")))
        expected = {(first + i, code) for i, (_, code, _) in enumerate(WRONG_USAGE)}
        assert flagged == expected, result.stdout

    @pytest.mark.parametrize("code, _code, exception", WRONG_USAGE, ids=[c for c, _, _ in WRONG_USAGE])
    def test_the_module_refuses_it_too(self, code, _code, exception):
        namespace = {"np": np, "quorbis": quorbis}
        exec(WRONG_PRELUDE, namespace)
        with pytest.raises(exception):
            exec(code, namespace)
