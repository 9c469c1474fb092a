"""python/setup.py without the packages pip's build needs says which, and how to get them,
instead of setuptools' "invalid command 'bdist_wheel'"."""

import pathlib
import subprocess
import sys

import pytest

SETUP = pathlib.Path(__file__).parents[2] / "python" / "setup.py"
CASES = [  # setup.py's command, the package this Python lacks, what it says (None: it runs)
    ("dist_info", "wheel", "has no wheel, which building rsid needs"),
    ("bdist_wheel", "wheel", "/usr/bin/python3 -m venv --system-site-packages ENV"),
    ("bdist_wheel", "setuptools", "has no setuptools, which"),
    ("--version", "wheel", None),  # only building a wheel needs wheel
]


@pytest.mark.parametrize("command,hidden,words", CASES)
def test_missing_build_packages_are_named(command, hidden, words):
    code = (f"import runpy, sys; sys.modules[{hidden!r}] = None; "
            f"sys.argv = ['setup.py', {command!r}]; runpy.run_path('setup.py')")
    run = subprocess.run([sys.executable, "-c", code], cwd=SETUP.parent, capture_output=True,
                         text=True, timeout=60)
    if words is None:
        assert run.returncode == 0, run.stderr
    else:
        assert run.returncode != 0 and words in run.stderr, run.stderr
