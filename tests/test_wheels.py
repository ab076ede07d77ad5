"""The manylinux wheels as a user gets them: each installed with --only-binary=:all: into a fresh
venv of its own CPython, both modules imported from there, and the tour run through the console
script. scripts/test.sh's wheels pass builds the wheels (scripts/wheels.sh) and names their folder
in PARLEYKIT_WHEELHOUSE; without it there is nothing to install and the test is skipped."""

import os
import subprocess
import zipfile
from pathlib import Path

import pytest

HOUSE = os.environ.get("PARLEYKIT_WHEELHOUSE")
ROOT = Path(__file__).resolve().parent.parent

pytestmark = pytest.mark.skipif(not HOUSE, reason="no wheelhouse: scripts/test.sh builds the wheels and runs this")


def interpreter(version: str) -> str:
    found = subprocess.run(["bash", "-c", f"source scripts/env.sh && find_python {version}"], cwd=ROOT,
                           capture_output=True, text=True, check=True)
    return found.stdout.strip()


@pytest.mark.parametrize("version", ["3.12", "3.13"])
def test_the_wheel_installs_without_a_compiler_and_tours(tmp_path, version):
    tag = "cp" + version.replace(".", "")
    (wheel,) = Path(HOUSE).resolve().glob(f"parleykit-*-{tag}-{tag}-*manylinux*.whl")
    modules = sorted(Path(n).name.split(".")[0] for n in zipfile.ZipFile(wheel).namelist() if n.endswith(".so"))
    assert modules == ["cython", "modal"]  # the private self-test modules stay out of it

    venv = tmp_path / "venv"
    subprocess.run([interpreter(version), "-m", "venv", str(venv)], check=True)
    subprocess.run([venv / "bin" / "python", "-m", "pip", "install", "-q", "--only-binary=:all:", str(wheel)],
                   check=True)
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_PRELOAD")}  # only the venv counts
    imported = subprocess.run(
        [venv / "bin" / "python", "-c", "import parleykit.modal as m, parleykit.cython as c; print(m.__file__, c.__file__)"],
        cwd=tmp_path, env=env, capture_output=True, text=True, check=True)
    files = imported.stdout.split()
    assert all(f.startswith(str(venv)) and f".cpython-{tag[2:]}-" in f for f in files), files

    tour = subprocess.run([venv / "bin" / "parleykit", "tour"], cwd=tmp_path, env=env, capture_output=True, text=True,
                          timeout=120)
    assert tour.returncode == 0, tour.stderr
    assert "3. A turn where the model calls a registered tool" in tour.stdout
    assert "The history now holds" in tour.stdout
