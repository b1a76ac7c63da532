"""The package as Python engineers install it: pip builds it from
pyproject.toml with the build backend Debian provides (no network), it
carries the program's version, and it imports and loads the host interface
from where it was installed, not from the source tree."""

import os
import re
import shutil
import subprocess
import sys

from conftest import BUILD, ROOT

PYTHON = os.path.join(ROOT, "python")


def program_version():
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as f:
        return re.search(r'set\(ORVO_VERSION_TEXT "([^"]+)"\)', f.read()).group(1)


def test_pyproject_carries_the_programs_version():
    with open(os.path.join(PYTHON, "pyproject.toml"), encoding="utf-8") as f:
        declared = re.search(r'^version = "([^"]+)"', f.read(), re.M).group(1)
    assert declared == program_version()


def test_pip_installs_it_and_it_imports_from_the_installed_place(tmp_path_factory):
    work = os.path.join(BUILD, "test-tmp", "python-packaging")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    # pip builds in the folder it is given: a copy keeps the source tree clean.
    source = os.path.join(work, "source")
    shutil.copytree(PYTHON, source, ignore=shutil.ignore_patterns("tests", "__pycache__", "build", "*.egg-info"))
    target = os.path.join(work, "installed")
    pip = subprocess.run([sys.executable, "-m", "pip", "install", "--no-build-isolation", "--no-deps",
                          "--no-index", "--target", target, source],
                         capture_output=True, text=True, timeout=300)
    assert pip.returncode == 0, pip.stdout + pip.stderr

    probe = ("import importlib.metadata, orvohostapi; "
             "print(orvohostapi.__file__); "
             "print(importlib.metadata.version('orvohostapi')); "
             "print(orvohostapi.interface_version())")
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env["PYTHONPATH"] = target
    env["ORVO_HOSTAPI_LIBRARY"] = os.path.join(BUILD, "lib", "liborvohostapi.so")
    run = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, cwd=work, env=env,
                         timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    where, version, interface = run.stdout.split("\n")[:3]
    assert where.startswith(target + os.sep)
    assert version == program_version()
    assert interface == "(1, 18)"
