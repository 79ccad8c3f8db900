"""VaskProbitResults and VaskProbitModel as Python sees them: identity, immutability and lifetime."""

import sys
import weakref

import numpy as np
import pytest

import quorbis


@pytest.fixture
def results(simulated):
    y, X = simulated
    return quorbis.fit_probit(y.copy(), X.copy(), robust=True)


class TestTypes:
    def test_names_and_docstrings(self, results):
        for obj, name in ((results, "VaskProbitResults"), (results.model, "VaskProbitModel")):
            cls = type(obj)
            assert (cls.__module__, cls.__name__, cls.__qualname__) == ("builtins", name, name)
            assert cls.__doc__ is None and cls.__bases__ == (object,)

    @pytest.mark.parametrize("which", ["results", "model"])
    def test_no_constructor_and_no_subclass(self, results, which):
        cls = type(results if which == "results" else results.model)
        with pytest.raises(TypeError, match="^No constructor defined$"):
            cls()
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})

    def test_cov_params_is_a_method_without_arguments(self, results):
        method = type(results).cov_params
        assert method.__text_signature__ == "($self)" and method.__doc__ is None
        with pytest.raises(TypeError) as info:
            results.cov_params(1)
        assert str(info.value) == "VaskProbitResults.cov_params() takes no arguments (1 given)"

    def test_scalar_member_types(self, results):
        assert type(results.loglike) is float
        assert type(results.iterations) is int
        assert results.converged is True or results.converged is False


class TestReadOnly:
    @pytest.mark.parametrize("which, member", [
        ("results", "params"), ("results", "model"), ("results", "loglike"), ("results", "iterations"),
        ("results", "converged"), ("results", "cov_params"), ("results", "extra"),
        ("model", "exog"), ("model", "endog"), ("model", "exog_names"), ("model", "extra"),
    ])
    def test_assignment_and_deletion_refused(self, results, which, member):
        obj = results if which == "results" else results.model
        with pytest.raises(AttributeError):
            setattr(obj, member, 0)
        with pytest.raises(AttributeError):
            delattr(obj, member)

    @pytest.mark.parametrize("which, member", [("results", "params"), ("results", "__new__"),
                                               ("results", "cov_params"), ("model", "exog"), ("model", "extra")])
    def test_classes_cannot_be_changed(self, results, which, member):
        # a replaced __new__ would make instances without a fit behind them
        cls = type(results if which == "results" else results.model)
        with pytest.raises(TypeError):
            setattr(cls, member, staticmethod(lambda c: object.__new__(c)))
        with pytest.raises(TypeError):
            delattr(cls, member)

    def test_no_instance_dict_and_no_weakrefs(self, results):
        for obj in (results, results.model):
            assert not hasattr(obj, "__dict__")
            with pytest.raises(TypeError):
                weakref.ref(obj)


class TestIdentity:
    def test_arrays_are_the_stored_objects(self, results):
        assert results.params is results.params
        assert results.cov_params() is results.cov_params()
        first, second = results.model, results.model
        assert first is not second
        assert first.exog is second.exog and first.endog is second.endog

    def test_names_are_a_new_list_each_time(self, results):
        model = results.model
        names = model.exog_names
        assert names == model.exog_names == ["x0", "x1", "x2", "x3"]
        assert names is not model.exog_names
        names.append("mine")
        names[0] = "changed"
        assert model.exog_names == ["x0", "x1", "x2", "x3"]

    def test_in_place_changes_are_seen_by_later_reads(self, results):
        results.params[0] = 5.0
        assert results.params[0] == 5.0
        model = results.model
        model.exog[0, 1] = -7.5
        model.endog[0] = 0.25
        results.cov_params()[1, 1] = 3.0
        later = results.model
        assert later.exog[0, 1] == -7.5 and later.endog[0] == 0.25 and results.cov_params()[1, 1] == 3.0

    def test_arrays_are_owned_writeable_float64(self, results):
        y_len, k = len(results.model.endog), len(results.params)
        arrays = {"params": (results.params, (k,)), "cov": (results.cov_params(), (k, k)),
                  "exog": (results.model.exog, (y_len, k)), "endog": (results.model.endog, (y_len,))}
        for name, (array, shape) in arrays.items():
            assert array.shape == shape, name
            assert array.dtype == np.dtype(np.float64) and array.dtype.isnative, name
            assert array.flags.writeable, name
            assert array.base is not None and not isinstance(array.base, np.ndarray), name


class TestLifetime:
    def test_instances_release_their_type(self, simulated):
        y, X = simulated
        results = quorbis.fit_probit(y, X)
        model = results.model
        counts = [sys.getrefcount(type(results)), sys.getrefcount(type(model))]
        for _ in range(50):
            quorbis.fit_probit(y, X).model.exog_names
        assert [sys.getrefcount(type(results)), sys.getrefcount(type(model))] == counts
