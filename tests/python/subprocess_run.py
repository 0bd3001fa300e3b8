"""Running a piece of Python in a fresh interpreter, for the tests whose
failure would be a crash, a hang or an abort of the interpreter itself."""

import subprocess
import sys
import textwrap


def run_python(code, timeout=120, **kwargs):
    """Runs `code` (dedented) with this interpreter; returns the completed
    process with text stdout and stderr.  A hang fails the test through the
    timeout instead of stopping the suite."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout, **kwargs)
