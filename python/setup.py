"""Builds the package quelvar_pdfextractimg with the shared library inside it.

The library is built from this checkout with CMake (the directory above this one), or, when
QUELVAR_PDFEXTRACTIMG_LIBRARY names a library already built, that file is copied instead. Offline,
with Debian's pip, setuptools and wheel, in a venv made with --system-site-packages:

    pip install --no-build-isolation ./python
"""
import os
import shutil
import subprocess
from pathlib import Path

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution

SOURCE = Path(__file__).resolve().parent.parent
SONAME = "libquelvar-pdfextractimg.so.0"
LIBRARY_ENV = "QUELVAR_PDFEXTRACTIMG_LIBRARY"


class build_py_with_library(build_py):
    """The Python modules, then the shared library beside them as quelvar_pdfextractimg/SONAME."""

    def run(self):
        super().run()
        prebuilt = os.environ.get(LIBRARY_ENV)
        library = Path(prebuilt) if prebuilt else self.cmake_build()
        target = Path(self.build_lib) / "quelvar_pdfextractimg" / SONAME
        shutil.copyfile(library, target)  # the file itself, not the build tree's links
        os.chmod(target, 0o755)

    def cmake_build(self):
        if not (SOURCE / "CMakeLists.txt").is_file():
            raise SystemExit(f"the library's sources are not in {SOURCE}: install from a checkout "
                             f"(pip install ./python) or set {LIBRARY_ENV} to a built library")
        build = Path(self.get_finalized_command("build").build_temp).resolve() / "cmake"
        subprocess.check_call(["cmake", "-S", str(SOURCE), "-B", str(build), "-DPDFEXTRACTIMG_TESTS=OFF"])
        jobs = [] if os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") else ["-j", str(os.cpu_count() or 1)]
        subprocess.check_call(["cmake", "--build", str(build), "--target", "quelvar-pdfextractimg", *jobs])
        return build / SONAME


class BinaryDistribution(Distribution):
    """The package holds a platform's shared library, so it installs as a platform package."""

    def has_ext_modules(self):
        return True


cmdclass = {"build_py": build_py_with_library}
try:
    from wheel.bdist_wheel import bdist_wheel

    class bdist_wheel_any_python(bdist_wheel):
        """ctypes needs no Python ABI: the wheel serves any Python 3 on its platform."""

        def get_tag(self):
            return ("py3", "none", super().get_tag()[2])

    cmdclass["bdist_wheel"] = bdist_wheel_any_python
except ImportError:
    pass

setup(cmdclass=cmdclass, distclass=BinaryDistribution)
