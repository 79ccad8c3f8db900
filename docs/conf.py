"""Sphinx settings of the quorbis documentation: pages in MyST Markdown whose code cells run at build time,
and a reference generated from the package's docstrings."""

import quorbis

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

exclude_patterns = ["_build", "jupyter_execute", ".jupyter_cache"]
myst_enable_extensions = ["dollarmath", "colon_fence"]
myst_heading_anchors = 3

# Every example runs when the site is built, so the output shown is this version's; a failing cell fails the build.
nb_execution_mode = "force"
nb_execution_raise_on_error = True
nb_execution_timeout = 300
nb_merge_streams = True

autosummary_generate = True
autodoc_default_options = {"members": True, "undoc-members": False}
autodoc_typehints = "none"
napoleon_google_docstring = False
napoleon_numpy_docstring = True
napoleon_use_rtype = False

html_theme = "furo"
html_title = f"quorbis {release}"
html_static_path: list[str] = []
