"""The documentation's examples run as doctests: those of every public docstring, and the hand-written
entries of the raw functions in docs/raw-functions.md (whose docstrings the extension fixes). They run
from the repository's root, so that examples/grades.csv resolves."""

import doctest
import inspect
import re
from pathlib import Path

import pytest

import quorbis
import quorbis.dask
from quorbis._report import Summary

ROOT = Path(__file__).resolve().parent.parent
FLAGS = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
# Their docstrings are part of the extension's fixed surface; docs/raw-functions.md documents them.
RAW = {"quorbis.fit_probit", "quorbis.ame"}
PAGES = ["docs/raw-functions.md"]


def public_objects():
    """(name, object) of every public function and class of quorbis and quorbis.dask, the Summary that
    summary() returns, and each public method and property the classes define themselves."""
    found = {}
    for module in (quorbis, quorbis.dask):
        for name, obj in vars(module).items():
            if name.startswith("_") or inspect.ismodule(obj) or not callable(obj):
                continue
            if getattr(obj, "__module__", "").startswith("quorbis"):
                found[f"{module.__name__}.{name}"] = obj
    found["quorbis.Summary"] = Summary
    for name, cls in list(found.items()):
        if inspect.isclass(cls):
            for member, value in vars(cls).items():
                if not member.startswith("_") and (callable(value) or isinstance(value, property)):
                    found[f"{name}.{member}"] = value
    return {name: obj for name, obj in found.items() if name not in RAW}


OBJECTS = public_objects()


def docstring_tests():
    parser = doctest.DocTestParser()
    for name, obj in OBJECTS.items():
        text = inspect.getdoc(obj) or ""
        if ">>>" in text:
            yield parser.get_doctest(text, {}, name, None, 0)


def page_tests():
    parser = doctest.DocTestParser()
    for page in PAGES:
        blocks = re.findall(r"```pycon\n(.*?)```", (ROOT / page).read_text(), re.DOTALL)
        for number, block in enumerate(blocks, 1):
            yield parser.get_doctest(block, {}, f"{page}, example {number}", page, 0)


@pytest.fixture
def at_root(monkeypatch):
    monkeypatch.chdir(ROOT)
    yield
    if "matplotlib.pyplot" in __import__("sys").modules:
        __import__("matplotlib.pyplot").pyplot.close("all")


@pytest.mark.parametrize("test", [*docstring_tests(), *page_tests()], ids=lambda test: test.name)
def test_example_runs_as_shown(test, at_root):
    pytest.importorskip("matplotlib").use("Agg")
    report = []
    runner = doctest.DocTestRunner(optionflags=FLAGS)
    result = runner.run(test, out=report.append)
    assert result.failed == 0, "".join(report)


def sections(text):
    return set(re.findall(r"^(\w[\w ]*)\n-{3,}$", text, re.MULTILINE))


@pytest.mark.parametrize("name", sorted(OBJECTS))
def test_docstring_has_its_sections(name):
    obj = OBJECTS[name]
    text = inspect.getdoc(obj) or ""
    assert ">>>" in text.split("Examples\n--------", 1)[-1] and "Examples" in sections(text), "no Examples"
    if isinstance(obj, property) or inspect.isclass(obj):
        return
    signature = inspect.signature(obj)
    expected = {"Parameters"} if [p for p in signature.parameters if p != "self"] else set()
    # The extension's functions carry no annotations; those that return nothing say so in their text.
    if signature.return_annotation not in (None, "None", inspect.Signature.empty):
        expected.add("Returns")
    assert expected <= sections(text)
