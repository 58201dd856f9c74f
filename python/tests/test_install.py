"""pip install ./python into a venv made from Debian's python3 with --system-site-packages, offline
(--no-build-isolation --no-index), from a copy of the checkout; the package then runs with the
library inside it. The fast case copies the library ctest built (QUELVAR_PDFEXTRACTIMG_LIBRARY at
build time); the full case builds it with CMake inside pip."""
import os
import shutil
import subprocess

import pytest

from conftest import SAMPLE, SOURCE_DIR

SYSTEM_PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else shutil.which("python3")


def copy_checkout(dest):
    """The sources pip needs, without build trees, caches or version control."""
    def ignore(d, names):
        top = os.path.samefile(d, SOURCE_DIR)
        return [n for n in names if n in ("__pycache__", ".git") or n.endswith(".egg-info")
                or (top and n.startswith("build")) or (os.path.basename(d) == "python" and n == "build")]
    shutil.copytree(SOURCE_DIR, dest, ignore=ignore, symlinks=True)


def sh(*args, env=None, cwd=None):
    r = subprocess.run(args, capture_output=True, text=True, env=env, cwd=cwd, timeout=1200)
    assert r.returncode == 0, f"{args}\n{r.stdout}\n{r.stderr}"
    return r.stdout


@pytest.mark.parametrize("prebuilt", [True, False], ids=["library copied", "library built with cmake"])
def test_pip_install_into_a_venv(tmp_path, prebuilt):
    copy_checkout(tmp_path / "src")
    sh(SYSTEM_PYTHON, "-m", "venv", "--system-site-packages", str(tmp_path / "venv"))
    py = str(tmp_path / "venv" / "bin" / "python")
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "QUELVAR_PDFEXTRACTIMG_LIBRARY")}
    build_env = dict(env)
    if prebuilt:
        build_env["QUELVAR_PDFEXTRACTIMG_LIBRARY"] = os.environ["QUELVAR_PDFEXTRACTIMG_LIBRARY"]
    else:
        build_env.setdefault("CMAKE_BUILD_PARALLEL_LEVEL", "2")
    sh(py, "-m", "pip", "install", "--no-build-isolation", "--no-index", "-q", "./src/python",
       env=build_env, cwd=tmp_path)
    # Run from elsewhere, so that the installed package is imported, not the copy's sources.
    out = sh(py, "-c", "import quelvar_pdfextractimg as qv, os, sys;"
             "d = os.path.dirname(qv.__file__);"
             "print(qv.library_path() == os.path.join(d, 'libquelvar-pdfextractimg.so.0'),"
             " os.path.isfile(os.path.join(d, 'py.typed')), d.startswith(sys.prefix),"
             f" qv.count({str(SAMPLE)!r}), len(qv.info({str(SAMPLE)!r})))", env=env, cwd="/")
    assert out.split() == ["True", "True", "True", "5", "5"]
