"""The type stubs describe the package as it is: stubtest walks every module of
it, the extension's and the plain Python ones (halvorn.sweep, halvorn.report,
halvorn.data, ...), and checks every name with the signature the interpreter
reports."""

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
