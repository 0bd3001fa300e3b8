"""The type stub describes the module as it is: every name, in the order of
__all__, with the signatures the interpreter reports."""

import subprocess
import sys

import halvorn


def test_stub_matches_the_module():
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "halvorn"],
                            capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr


def test_stub_and_marker_are_installed_beside_the_module():
    import pathlib

    package = pathlib.Path(halvorn.__file__).parent
    assert (package / "__init__.pyi").is_file()
    assert (package / "py.typed").is_file()


def test_stubs_of_the_python_submodules_match_them():
    # Named explicitly: these are plain Python beside the extension, and a stub
    # that drifted from one would otherwise only show when the package is walked.
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "halvorn.sweep",
                             "halvorn.report"], capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
