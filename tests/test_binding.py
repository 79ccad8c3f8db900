"""The module surface: attributes, argument binding and the conversion of each argument."""

import inspect
import math
import operator
import subprocess
import sys
from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest

import quorbis
from quorbis import _quorbis

Y = np.array([1.0, 0.0, 1.0, 0.0, 1.0])
X = np.column_stack([np.ones(5), [0.3, -1.2, 0.8, 0.1, -0.4]])


def interpreter_message(convert, value):
    """The text the interpreter itself raises when convert(value) refuses the value."""
    with pytest.raises(TypeError) as info:
        convert(value)
    return str(info.value)


class TestModuleSurface:
    def test_attributes(self):
        assert quorbis.__all__ == ["ame", "fit_probit"]
        assert quorbis.__doc__ == "A Python module implemented in Vask."
        for name in ("VaskProbitModel", "VaskProbitResults"):
            assert not hasattr(quorbis, name)

    def test_function_signatures_and_docstrings(self):
        f, a = quorbis.fit_probit, quorbis.ame
        assert f.__text_signature__ == "(endog_py, exog_py, max_iter=..., tol=..., robust=..., cluster_vars=...)"
        assert f.__doc__ is None
        assert a.__text_signature__ == "(probit_model, chunk_size=...)"
        assert a.__doc__ == "Calculates Average Marginal Effects (AME) for a Probit model"
        assert f.__module__ == a.__module__ == "quorbis"

    def test_second_initialisation_in_one_process_is_refused(self):
        code = ("import sys, quorbis\ndel sys.modules['quorbis']\n"
                "try:\n    import quorbis\nexcept ImportError as e:\n    print(type(e).__name__)\n")
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
        assert out.stdout == "ImportError\n"


F = "fit_probit()"
BINDING_ERRORS = [
    ((Y,), {}, f"{F} missing 1 required positional argument: 'exog_py'"),
    ((), {}, f"{F} missing 2 required positional arguments: 'endog_py' and 'exog_py'"),
    ((), {"exog_py": X}, f"{F} missing 1 required positional argument: 'endog_py'"),
    ((Y, X, None, None, None, None, None), {}, f"{F} takes from 2 to 6 positional arguments but 7 were given"),
    ((Y, X), {"endog_py": Y}, f"{F} got multiple values for argument 'endog_py'"),
    ((Y, X, 5), {"max_iter": 5}, f"{F} got multiple values for argument 'max_iter'"),
    ((Y, X), {"maxiter": 3}, f"{F} got an unexpected keyword argument 'maxiter'"),
    # binding errors come before any conversion
    ((Y, [1.0]), {"robust": 1, "bogus": 0}, f"{F} got an unexpected keyword argument 'bogus'"),
]

CONVERSION_ERRORS = [
    ({"exog_py": pd.DataFrame(X)}, "argument 'exog_py': 'DataFrame' object cannot be converted to 'PyArray<T, D>'"),
    ({"exog_py": X.tolist()}, "argument 'exog_py': 'list' object cannot be converted to 'PyArray<T, D>'"),
    ({"exog_py": None}, "argument 'exog_py': 'NoneType' object cannot be converted to 'PyArray<T, D>'"),
    ({"exog_py": X[:, 1]}, "argument 'exog_py': dimensionality mismatch:\n from=1, to=2"),
    ({"exog_py": X[None]}, "argument 'exog_py': dimensionality mismatch:\n from=3, to=2"),
    ({"exog_py": X.astype(np.int64)}, "argument 'exog_py': type mismatch:\n from=int64, to=float64"),
    ({"robust": 1}, "argument 'robust': 'int' object cannot be converted to 'PyBool'"),
    ({"robust": np.True_}, f"argument 'robust': '{type(np.True_).__qualname__}' object cannot be converted to 'PyBool'"),
    ({"max_iter": 2.0}, "argument 'max_iter': " + interpreter_message(operator.index, 2.0)),
    ({"max_iter": "3"}, "argument 'max_iter': " + interpreter_message(operator.index, "3")),
    ({"tol": "1e-6"}, "argument 'tol': " + interpreter_message(math.sqrt, "1e-6")),
    ({"tol": 1j}, "argument 'tol': " + interpreter_message(math.sqrt, 1j)),
    # only the first bad argument, in parameter order, is reported
    ({"exog_py": [[1.0]], "robust": 1}, "argument 'exog_py': 'list' object cannot be converted to 'PyArray<T, D>'"),
    ({"max_iter": 1.5, "tol": "x", "robust": 0}, "argument 'max_iter': "
     + interpreter_message(operator.index, 1.5)),
]


class TestMessages:
    @pytest.mark.parametrize("args, kwargs, message", BINDING_ERRORS)
    def test_binding(self, args, kwargs, message):
        with pytest.raises(TypeError) as info:
            quorbis.fit_probit(*args, **kwargs)
        assert type(info.value) is TypeError and str(info.value) == message

    @pytest.mark.parametrize("changes, message", CONVERSION_ERRORS)
    def test_conversion(self, changes, message):
        arguments = {"endog_py": Y, "exog_py": X, **changes}
        with pytest.raises(TypeError) as info:
            quorbis.fit_probit(**arguments)
        assert type(info.value) is TypeError and str(info.value) == message

    @pytest.mark.parametrize("value, message", [
        (-1, "can't convert negative int to unsigned"),
        (2**64, "int too big to convert"),
    ])
    def test_max_iter_out_of_range_is_overflow_without_prefix(self, value, message):
        with pytest.raises(OverflowError) as info:
            quorbis.fit_probit(Y, X, max_iter=value)
        assert str(info.value) == message


def model_with_names(names):
    """A fitted model for ame whose exog_names are the given object."""
    model = SimpleNamespace(exog_names=names, exog=X)
    return SimpleNamespace(params=np.zeros(2), cov_params=lambda: np.eye(2), model=model)


# For each template of _MESSAGES: its fields, and a call whose error it words.
TEMPLATE_CASES = [
    ("endog_ndim", {"ndim": 3}, lambda: quorbis.fit_probit(Y[:, None, None], X)),
    ("endog_columns", {"rows": 5, "cols": 2}, lambda: quorbis.fit_probit(np.column_stack([Y, Y]), X)),
    ("exog_rows", {"rows": 4, "nobs": 5}, lambda: quorbis.fit_probit(Y, X[:4])),
    ("cluster_rows", {"rows": 3, "nobs": 5}, lambda: quorbis.fit_probit(Y, X, robust=True, cluster_vars=X[:3])),
    ("not_an_array", {"type": "list"}, lambda: quorbis.fit_probit(Y, X, robust=True, cluster_vars=X.tolist())),
    ("cannot_convert", {"type": "int", "target": "Sequence"}, lambda: quorbis.ame(model_with_names(5))),
    ("dimensionality_mismatch", {"ndim": 1}, lambda: _quorbis._dummy_columns(X[:, 1])),
    ("type_mismatch", {"dtype": "int64"}, lambda: _quorbis._dummy_columns(X.astype(np.int64))),
    ("argument", {"name": "robust", "message": "'int' object cannot be converted to 'PyBool'"},
     lambda: quorbis.fit_probit(Y, X, robust=1)),
    ("chunk_size", {}, lambda: quorbis.ame(quorbis.fit_probit(Y, X), chunk_size=0)),
    ("thread_count", {"max_threads": 1024}, lambda: quorbis.set_num_threads(1025)),
    ("probability_classical", {},
     lambda: _quorbis._fit_design(Y, np.asfortranarray(X), 35, 1e-6, False, None, np.ones(5))),
]


class TestSharedFacts:
    """The defaults and message templates that the Python layer reads from the extension."""

    def test_defaults(self):
        assert _quorbis._DEFAULTS == {"max_iter": 35, "tol": 1e-06, "max_threads": 1024}
        parameters = inspect.signature(quorbis.probit).parameters
        assert (parameters["max_iter"].default, parameters["tol"].default) == (35, 1e-06)

    @pytest.mark.parametrize("name, fields, call", TEMPLATE_CASES, ids=[case[0] for case in TEMPLATE_CASES])
    def test_str_format_of_the_template_is_the_module_message(self, name, fields, call):
        with pytest.raises((TypeError, ValueError)) as info:
            call()
        assert str(info.value) == _quorbis._MESSAGES[name].format(**fields)

    def test_every_template_is_checked(self):
        # The last is the line a singular Hessian writes, checked with the covariances.
        assert [case[0] for case in TEMPLATE_CASES] + ["hessian_singular"] == list(_quorbis._MESSAGES)


class Converts:
    """An argument whose float and index conversions raise a chosen exception."""

    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc

    __index__ = __float__


class TestPrefixRule:
    def test_prefixed_type_error_keeps_the_cause(self):
        root = KeyError("root")
        inner = TypeError("no float here")
        inner.__cause__ = root
        with pytest.raises(TypeError) as info:
            quorbis.fit_probit(Y, X, tol=Converts(inner))
        assert str(info.value) == "argument 'tol': no float here"
        assert info.value.__cause__ is root

    @pytest.mark.parametrize("text", ["caf\u00e9 \U0001f600", "lone \udc80 surrogate", "nul \x00 inside"])
    def test_the_prefix_keeps_any_message_intact(self, text):
        with pytest.raises(TypeError) as info:
            quorbis.fit_probit(Y, X, max_iter=Converts(TypeError(text)))
        assert str(info.value) == "argument 'max_iter': " + text

    @pytest.mark.parametrize("exc", [ValueError("bad value"), ZeroDivisionError("zero"),
                                     type("MyTypeError", (TypeError,), {})("subclass")])
    @pytest.mark.parametrize("parameter", ["max_iter", "tol"])
    def test_other_failures_pass_unchanged(self, exc, parameter):
        with pytest.raises(type(exc)) as info:
            quorbis.fit_probit(Y, X, **{parameter: Converts(exc)})
        assert info.value is exc


class TestAcceptedValues:
    def reference(self):
        return quorbis.fit_probit(Y, X)

    @pytest.mark.parametrize("args, kwargs", [
        ((Y, X, None, None, None, None), {}),
        ((), {"endog_py": Y, "exog_py": X}),
        ((Y,), {"exog_py": X, "max_iter": None, "tol": None, "robust": None, "cluster_vars": None}),
        ((Y, X), {"max_iter": 35, "tol": 1e-6, "robust": False}),
        ((Y, X), {"max_iter": np.int64(35), "tol": np.float64(1e-6)}),
        ((Y, X), {"max_iter": np.uint8(35), "robust": False, "cluster_vars": "ignored"}),
    ])
    def test_equivalent_calls_give_identical_results(self, args, kwargs):
        r, ref = quorbis.fit_probit(*args, **kwargs), self.reference()
        np.testing.assert_array_equal(r.params, ref.params)
        np.testing.assert_array_equal(r.cov_params(), ref.cov_params())
        assert (r.loglike, r.iterations, r.converged) == (ref.loglike, ref.iterations, ref.converged)

    def test_integer_tol_means_the_float(self):
        a, b = quorbis.fit_probit(Y, X, tol=1), quorbis.fit_probit(Y, X, tol=1.0)
        np.testing.assert_array_equal(a.params, b.params)
        assert a.converged and a.iterations == 0

    def test_exog_subclass_is_accepted(self):
        class Sub(np.ndarray):
            pass

        np.testing.assert_array_equal(quorbis.fit_probit(Y, X.view(Sub)).params, self.reference().params)
