"""The type stubs of the compiled modules: mypy accepts the API as applications use it, rejects
misuses, and stubtest finds the stubs in agreement with the modules as they load."""

import hashlib
import os
import re
import site
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

import parleykit

pytest.importorskip("mypy", reason="mypy comes with the test extra")

HERE = Path(__file__).resolve().parent
PACKAGE_ROOT = Path(parleykit.__file__).resolve().parent.parent
# Kept between runs: mypy checks its cache entries against the sources, and a warm cache turns
# ten seconds (pydantic, fastmcp) into about one. stubtest always checks afresh.
CACHE = Path(tempfile.gettempdir()) / f"parleykit-mypy-{os.getuid()}-{hashlib.sha1(sys.prefix.encode()).hexdigest()[:12]}"

CONFIG = """\
[mypy]
strict = True
show_error_codes = True
"""


def run_mypy(tool: str, *args: str, tmp_path: Path) -> subprocess.CompletedProcess[str]:
    config = tmp_path / "mypy.ini"
    config.write_text(CONFIG)
    env = dict(os.environ)
    # A work tree on the import path is searched like an installed package; an installed one is
    # found through the interpreter's site-packages (mypy refuses those in MYPYPATH).
    if str(PACKAGE_ROOT) not in site.getsitepackages():
        env["MYPYPATH"] = str(PACKAGE_ROOT)
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(PACKAGE_ROOT), env.get("PYTHONPATH")]))
    option = "--mypy-config-file" if tool == "mypy.stubtest" else "--config-file"
    command = [sys.executable, "-m", tool, option, str(config), *args]
    return subprocess.run(command, env=env, cwd=HERE, capture_output=True, text=True, timeout=300)


def marked_errors(path: Path) -> set[tuple[int, str]]:
    lines = path.read_text().splitlines()
    return {(n, m.group(1)) for n, line in enumerate(lines, 1) if (m := re.search(r"# error: \[([\w-]+)\]", line))}


def test_mypy_accepts_the_example_and_rejects_each_misuse(tmp_path):
    done = run_mypy(
        "mypy", "--cache-dir", str(CACHE), "--no-error-summary", "typing_example.py", "typing_wrong.py", tmp_path=tmp_path
    )
    errors = re.findall(r"^(\S+?):(\d+): error: .*\[([\w-]+)\]$", done.stdout, re.MULTILINE)
    assert not [e for e in errors if e[0] != "typing_wrong.py"], done.stdout + done.stderr
    expected = marked_errors(HERE / "typing_wrong.py")
    assert len(expected) >= 10
    assert {(int(line), code) for _, line, code in errors} == expected, done.stdout
    assert done.returncode == 1


def test_stubtest_finds_the_stubs_in_agreement_with_the_modules(tmp_path):
    allowlists = ["stubtest_allowlist.txt"] + (["stubtest_allowlist_3.13.txt"] if sys.version_info >= (3, 13) else [])
    done = run_mypy(
        "mypy.stubtest",
        *[arg for name in allowlists for arg in ("--allowlist", str(HERE / name))],
        "parleykit.modal",
        "parleykit.cython",
        tmp_path=tmp_path,
    )
    assert done.returncode == 0, done.stdout + done.stderr
    assert "Success" in done.stdout


def test_the_python_sources_are_clean_under_mypy_strict(tmp_path):
    sources = HERE.parent / "src" / "parleykit"
    if not sources.is_dir():
        pytest.skip("run from a checkout: the sources are not beside the tests")
    done = run_mypy("mypy", "--cache-dir", str(CACHE), str(sources), tmp_path=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "Success: no issues found" in done.stdout
