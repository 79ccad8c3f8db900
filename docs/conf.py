"""Sphinx settings of the quorbis documentation: pages in MyST Markdown whose code cells run at build time,
and a reference generated from the package's docstrings.

    python -m sphinx -W -b html docs docs/_build/html
"""

import quorbis
from quorbis._report import Summary

# summary() returns a Summary, which the stubs name quorbis.Summary but the module does not export; give
# autodoc that name to document it under.
quorbis.Summary = Summary

project = "quorbis"
author = "the quorbis developers"
copyright = "2026, the quorbis developers"
release = quorbis.__version__
version = release

extensions = [
    "myst_nb",
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.napoleon",
    "sphinx.ext.mathjax",
]

exclude_patterns = ["_build", "jupyter_execute", ".jupyter_cache", "generated"]
myst_enable_extensions = ["dollarmath", "colon_fence", "deflist", "fieldlist"]
myst_heading_anchors = 3

# Every example runs when the site is built, so the output shown is this version's; a failing cell fails the build.
nb_execution_mode = "force"
nb_execution_raise_on_error = True
nb_execution_show_tb = True
nb_execution_timeout = 120
nb_merge_streams = True

autodoc_default_options = {"members": True, "undoc-members": False, "member-order": "bysource"}
autodoc_typehints = "none"
# The reference shows each function's own signature, in which defaults read as the code spells them.
autodoc_preserve_defaults = True
napoleon_google_docstring = False
napoleon_numpy_docstring = True
napoleon_use_rtype = False
napoleon_use_ivar = False  # Attributes sections become entries of their own, which the reference check finds

html_theme = "furo"
html_title = f"quorbis {release}"
html_static_path: list[str] = []


def _without_constructor(app, what, name, obj, options, signature, return_annotation):
    # The classes are made by probit() and the functions it calls, never by users: their constructors'
    # arguments are internal, so the reference shows none.
    if what == "class":
        return "", None
    return None


def setup(app):
    app.connect("autodoc-process-signature", _without_constructor)
