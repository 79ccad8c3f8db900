"""The shipped example: its data, and what it prints, run as a user runs it, against statsmodels."""

import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
import statsmodels.api as sm

ROOT = Path(__file__).resolve().parent.parent
SCRIPT = ROOT / "examples" / "grades.py"
DATA = ROOT / "examples" / "grades.csv"
NAMES = ["Intercept", "GPA", "TUCE", "PSI"]


@pytest.fixture(scope="module")
def printed(tmp_path_factory):
    # From an unrelated working directory: the script must find its data by itself.
    cwd = tmp_path_factory.mktemp("elsewhere")
    result = subprocess.run([sys.executable, str(SCRIPT)], cwd=cwd, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    return result.stdout


@pytest.fixture(scope="module")
def reference():
    data = pd.read_csv(DATA)
    X = sm.add_constant(data[["GPA", "TUCE", "PSI"]].to_numpy(dtype=float), prepend=True)
    y = data["GRADE"].to_numpy(dtype=float)
    classical = sm.Probit(y, X).fit(disp=0, tol=1e-12, maxiter=200)
    robust = sm.Probit(y, X).fit(disp=0, tol=1e-12, maxiter=200, cov_type="HC0")
    margins = classical.get_margeff(at="overall", method="dydx", dummy=True)
    return classical, robust, margins


def table_rows(text, labels):
    """The numbers of the printed rows whose first word is one of labels, in that order."""
    rows = {}
    for line in text.splitlines():
        words = line.split()
        if words and words[0] in labels and words[0] not in rows:
            rows[words[0]] = [float(w) for w in words[1:] if w.strip("*")]
    return np.array([rows[label] for label in labels])


def section(text, heading):
    return text.split(heading, 1)[1]


def test_data_are_the_published_grade_data():
    shipped = pd.read_csv(DATA)
    published = sm.datasets.spector.load_pandas().data
    assert list(shipped.columns) == ["GPA", "TUCE", "PSI", "GRADE"]
    np.testing.assert_array_equal(shipped.to_numpy(dtype=float), published.to_numpy(dtype=float))


class TestPrintedResults:
    # The fit stops when the log-likelihood changes by less than 1e-6; with a quasi-Newton step near
    # the maximum that leaves each coefficient well within 2e-3 of its standard error of the optimum,
    # and standard errors, effects and p-values, smooth in the coefficients, within 1e-3 relative (the
    # printed six decimals add at most 5e-7).

    def test_log_likelihood_and_convergence(self, printed, reference):
        classical, _, _ = reference
        first = printed.splitlines()[1]
        assert "converged after" in first
        loglike = float(first.split("Log-likelihood ", 1)[1].split(";")[0])
        assert loglike == pytest.approx(classical.llf, abs=1e-5)

    def test_coefficients_with_classical_and_robust_errors(self, printed, reference):
        classical, robust, _ = reference
        coef, se, z, p, se_robust = table_rows(section(printed, "Coefficients"), NAMES).T
        np.testing.assert_array_less(np.abs(coef - classical.params), 2e-3 * classical.bse)
        np.testing.assert_allclose(se, classical.bse, rtol=1e-3)
        np.testing.assert_allclose(se_robust, robust.bse, rtol=1e-3)
        np.testing.assert_allclose(z, classical.tvalues, rtol=1e-3)
        np.testing.assert_allclose(p, classical.pvalues, rtol=1e-3, atol=1e-6)

    def test_average_marginal_effects_leave_out_the_intercept(self, printed, reference):
        _, _, margins = reference
        effects = section(printed, "Average marginal effects")
        assert "Intercept" not in effects
        dydx, se, z, p = table_rows(effects, NAMES[1:]).T
        np.testing.assert_allclose(dydx, margins.margeff, rtol=1e-3)
        np.testing.assert_allclose(se, margins.margeff_se, rtol=1e-3)
        np.testing.assert_allclose(z, margins.tvalues, rtol=1e-3)
        np.testing.assert_allclose(p, margins.pvalues, rtol=1e-3, atol=1e-6)

    def test_significance_stars(self, printed):
        lines = {line.split()[0]: line for line in section(printed, "Average marginal effects").splitlines()[2:]}
        assert lines["GPA"].endswith("***")
        assert lines["PSI"].endswith("***")
        assert not lines["TUCE"].endswith("*")


def test_the_readme_shows_what_the_example_prints(printed):
    shown = "\n".join(line.rstrip() for line in printed.splitlines())
    assert f"$ python examples/grades.py\n{shown}\n```" in (ROOT / "README.md").read_text()


def test_the_example_of_effects_of_variables_runs_where_the_documentation_shows_it(tmp_path):
    script = ROOT / "examples" / "affairs.py"
    result = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert "I(age**2)" in script.read_text()
    # The page runs the script when the site is built, so the output it shows is the script's.
    page = (ROOT / "docs" / "marginal-effects.md").read_text()
    assert "```{code-cell} ipython3\n:tags: [remove-input]\n%run ../examples/affairs.py\n```" in page
