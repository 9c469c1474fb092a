"""Installs the rsid Python module: `pip install --no-build-isolation ./python`.

setuptools drives the project's own CMake build (the repository around this folder) for the
one target rsid._rsid, then installs it with the pure-Python package rsid/. Everything comes
from the system: CMake, a C++20 compiler, pybind11, numpy, libsndfile and soxr (on Debian the
packages that ./run.sh installs).
"""

import importlib.util
import os
import pathlib
import re
import shutil
import subprocess
import sys

HINT = ("Without build isolation pip builds with the packages of the Python it runs in. Make the "
        "environment from Debian's Python, whose setuptools and wheel it sees:\n"
        "    /usr/bin/python3 -m venv --system-site-packages ENV\n"
        "    ENV/bin/pip install --no-build-isolation ./python\n"
        "or install them into this one first: ENV/bin/pip install setuptools wheel")


def require_build_tools(argv):
    """Stops with a hint, instead of "invalid command 'bdist_wheel'", when a package is missing."""
    wheels = {"bdist_wheel", "dist_info", "editable_wheel"}  # pip's metadata step needs it too
    needed = ["setuptools"] + (["wheel"] if wheels.intersection(argv) else [])
    missing = [m for m in needed if importlib.util.find_spec(m) is None]
    if missing:
        sys.exit(f"rsid: {sys.executable} has no {' or '.join(missing)}, which building rsid "
                 f"needs.\n{HINT}")


require_build_tools(sys.argv)

from setuptools import Extension, setup  # noqa: E402 (after the check that it is there)
from setuptools.command.build_ext import build_ext  # noqa: E402

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent


def version():
    text = (ROOT / "CMakeLists.txt").read_text()
    return re.search(r"project\(rsid VERSION ([0-9.]+)", text).group(1)


class cmake_build(build_ext):
    def build_extension(self, ext):
        build = pathlib.Path(self.build_temp).resolve() / "cmake"
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                        "-DRSID_BUILD_PYTHON=ON", "-DRSID_BUILD_TESTS=OFF",
                        f"-DPython_EXECUTABLE={sys.executable}"], check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
        subprocess.run(["cmake", "--build", str(build), "--target", "rsid_python", "-j", jobs],
                       check=True)
        built = next((build / "python" / "rsid").glob("_rsid*.so"))
        target = pathlib.Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


setup(
    name="rsid",
    version=version(),
    description="Send and find the rsid identification signal in numpy arrays and sound files",
    packages=["rsid"],
    package_data={"rsid": ["*.pyi", "py.typed"]},
    ext_modules=[Extension("rsid._rsid", sources=[])],
    cmdclass={"build_ext": cmake_build},
    python_requires=">=3.9",
    install_requires=["numpy"],
    zip_safe=False,
)
