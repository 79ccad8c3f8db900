"""The source distribution: it carries everything the build needs, and a plain pip install of it into a
fresh virtual environment gives a working module with its type stubs."""

import subprocess
import sys
import tarfile
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent

# Imported from an unrelated directory, so that nothing in the source tree can stand in for the install.
SMOKE = textwrap.dedent(
    """
    import sys
    from pathlib import Path

    import numpy as np
    import quorbis

    installed = Path(quorbis.__file__).resolve()
    assert installed.is_relative_to(Path(sys.prefix).resolve()), installed
    assert (installed.parent.parent / "quorbis-stubs" / "__init__.pyi").is_file()
    assert installed.name == "__init__.py" and any(installed.parent.glob("_quorbis*"))

    y = np.array([1.0, 0.0, 1.0, 0.0, 1.0, 1.0])
    X = np.column_stack([np.ones(6), np.array([0.3, -1.2, 0.8, 0.1, -0.4, 1.5])])
    r = quorbis.fit_probit(y, X, robust=True)
    assert r.converged and r.params.shape == (2,) and r.cov_params().shape == (2, 2)
    assert list(quorbis.ame(r).index) == ["x0", "x1"]
    print("ok")
    """
)


def run(command, cwd, timeout):
    result = subprocess.run([str(c) for c in command], cwd=cwd, capture_output=True, text=True, timeout=timeout)
    assert result.returncode == 0, f"{command}\n{result.stdout[-4000:]}\n{result.stderr[-4000:]}"
    return result


def sources_on_disk():
    return {path.relative_to(ROOT).as_posix() for top in ("src", "python") for path in (ROOT / top).rglob("*")
            if path.is_file() and "__pycache__" not in path.parts}


@pytest.mark.sdist
def test_sdist_builds_and_installs_into_a_fresh_environment(tmp_path):
    dist = tmp_path / "dist"
    run([sys.executable, "-m", "build", "--sdist", "--outdir", dist, ROOT], cwd=tmp_path, timeout=300)
    (sdist,) = dist.glob("quorbis-*.tar.gz")

    with tarfile.open(sdist) as archive:
        prefix = archive.getnames()[0].split("/")[0]
        members = {name.removeprefix(prefix + "/") for name in archive.getnames()}
    needed = {"pyproject.toml", "CMakeLists.txt", "README.md", "LICENSE", "stubs/quorbis-stubs/__init__.pyi",
              "python/quorbis/__init__.py"}
    assert needed <= members
    assert sources_on_disk() <= members
    assert not any(name.startswith(("build/", ".venv", ".git/")) for name in members)

    venv = tmp_path / "venv"
    run([sys.executable, "-m", "venv", venv], cwd=tmp_path, timeout=120)
    python = venv / "bin" / "python"
    run([python, "-m", "pip", "install", "--quiet", sdist], cwd=tmp_path, timeout=600)

    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    assert run([python, "-c", SMOKE], cwd=elsewhere, timeout=120).stdout.strip() == "ok"
