"""Checks a built documentation site: every public name of quorbis and quorbis.dask, and every public
member of the classes they define or return, is an object of its reference (objects.inv); every link
between its pages reaches an existing page and anchor; the search page and its index exist.

    python .ci/check_site.py docs/_build/html
"""

from __future__ import annotations

import inspect
import posixpath
import sys
import warnings
from html.parser import HTMLParser
from pathlib import Path
from urllib.parse import unquote, urlsplit

import numpy as np
import pandas as pd
from sphinx.util.inventory import InventoryFile

import quorbis
import quorbis.dask

ROOT = Path(__file__).resolve().parent.parent


def documented(site: Path) -> set[str]:
    with open(site / "objects.inv", "rb") as stream:
        inventory = InventoryFile.load(stream, "", posixpath.join)
    return {name for role, objects in inventory.items() if role.startswith("py:") for name in objects}


def samples() -> list[object]:
    """Objects of every class the package returns: a fit, a fit with fixed effects, a separation, a summary,
    and the raw result with its model."""
    data = pd.read_csv(ROOT / "examples" / "grades.csv")
    fit = quorbis.probit("GRADE ~ GPA + TUCE + PSI", data)
    rng = np.random.default_rng(1)
    panel = pd.DataFrame({"firm": np.repeat(range(40), 10), "year": np.tile(range(10), 40),
                          "x": rng.normal(size=400)})
    panel["y"] = (panel.x + rng.normal(size=400) > 0).astype(int)
    separated = data.assign(top=(data.GPA > 3.5) & (data.GRADE == 1))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", quorbis.ProbitWarning)
        effects = quorbis.probit("y ~ x | firm + year", panel)
        separation = quorbis.probit("GRADE ~ GPA + top", separated).separation
    assert separation is not None
    return [fit, effects, separation, fit.summary(), fit.raw, fit.raw.model]


def public_names() -> dict[str, set[str]]:
    """For each name the reference must hold, the names of which any one will do: a member may be documented
    on the class that defines it or on a documented base."""
    required: dict[str, set[str]] = {}
    classes: dict[type, str] = {}
    for module in (quorbis, quorbis.dask):
        for name, obj in vars(module).items():
            if name.startswith("_") or inspect.ismodule(obj):
                continue
            if not str(getattr(obj, "__module__", "")).startswith("quorbis"):
                continue  # what the module imports from elsewhere (typing, numpy)
            required[f"{module.__name__}.{name}"] = {f"{module.__name__}.{name}"}
            if inspect.isclass(obj):
                classes[obj] = f"{module.__name__}.{name}"
    instances = samples()
    for obj in instances:
        # Types reachable only as the types of returned objects are documented under quorbis.
        classes.setdefault(type(obj), f"quorbis.{type(obj).__name__}")
    for cls, qualified in classes.items():
        required[qualified] = {qualified}
        bases = [classes[base] for base in cls.__mro__ if base in classes]
        members = set(dir(cls)) | {m for obj in instances if type(obj) is cls for m in getattr(obj, "__dict__", {})}
        for member in sorted(members):
            if member.startswith("_") or _inherited_from_outside(cls, member, classes):
                continue
            required[f"{qualified}.{member}"] = {f"{base}.{member}" for base in bases}
    return required


def _inherited_from_outside(cls: type, member: str, classes: dict[type, str]) -> bool:
    """Whether member comes from a class outside the package (str's methods, BaseException's args)."""
    for base in cls.__mro__:
        if member in vars(base):
            return base not in classes
    return False  # an attribute of instances


class _Page(HTMLParser):
    def __init__(self) -> None:
        super().__init__()
        self.ids: set[str] = set()
        self.links: list[str] = []

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        values = dict(attrs)
        if values.get("id"):
            self.ids.add(str(values["id"]))
        if tag in ("a", "link") and values.get("href"):
            self.links.append(str(values["href"]))


def broken_links(site: Path) -> list[str]:
    pages = {}
    for path in site.rglob("*.html"):
        page = _Page()
        page.feed(path.read_text(encoding="utf-8"))
        pages[path.resolve()] = page
    broken = []
    for path, page in pages.items():
        for link in page.links:
            parts = urlsplit(link)
            if parts.scheme or parts.netloc:
                continue
            target = (path.parent / unquote(parts.path)).resolve() if parts.path else path
            if target.is_dir():
                target = target / "index.html"
            if target.suffix == ".html" and target not in pages or not target.exists():
                broken.append(f"{path.relative_to(site.resolve())}: {link}")
            elif parts.fragment and target in pages and unquote(parts.fragment) not in pages[target].ids:
                broken.append(f"{path.relative_to(site.resolve())}: {link} (no such anchor)")
    return broken


def main(site: Path) -> int:
    names = documented(site)
    missing = sorted(name for name, accepted in public_names().items() if not accepted & names)
    for name in missing:
        print(f"not in the reference: {name}")
    broken = broken_links(site)
    for link in broken:
        print(f"broken link: {link}")
    search = [name for name in ("search.html", "searchindex.js") if not (site / name).is_file()]
    for name in search:
        print(f"missing: {name}")
    if not missing and not broken and not search:
        print(f"site checked: {len(names)} objects in the reference, every public name among them; links resolve")
    return 1 if missing or broken or search else 0


if __name__ == "__main__":
    sys.exit(main(Path(sys.argv[1] if len(sys.argv) > 1 else ROOT / "docs" / "_build" / "html")))
