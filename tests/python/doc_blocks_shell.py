"""Runs a document's shell block from inside the script made of its Python
blocks (see test_doc_blocks.py), so that it runs where it stands: after the
blocks above it and before the ones below, in the same folder."""

import difflib
import subprocess


def run(kind, text, where):
    """A ```sh block runs with `bash -e` and must succeed.  In a ```console
    block each line starting with "$ " is a command (a line ending in a
    backslash goes on to the next), the lines under it are what it prints,
    standard output and standard error together, and it must print exactly
    those."""
    if kind == "sh":
        done = subprocess.run(["bash", "-e", "-o", "pipefail", "-c", text],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if done.returncode != 0:
            raise SystemExit(f"{where}: the sh block exited with {done.returncode}:\n"
                             f"{done.stdout}")
        return
    for command, shown in _session(text):
        done = subprocess.run(["bash", "-c", command], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True)
        printed = done.stdout.splitlines()
        if printed != shown:
            diff = "\n".join(difflib.unified_diff(shown, printed, "shown", "printed",
                                                  lineterm=""))
            raise SystemExit(f"{where}: $ {command}\nprinted what the document does not "
                             f"show (exit status {done.returncode}):\n{diff}")


def _session(text):
    """(command, the lines shown as its output) for each command of a console block."""
    steps = []
    pending = None
    for line in text.splitlines():
        if pending is not None:
            pending += "\n" + line
        elif line.startswith("$ "):
            pending = line[2:]
        elif steps:
            steps[-1][1].append(line)
            continue
        else:
            raise SystemExit(f"a console block starts with output, not a command: {line!r}")
        if pending.endswith("\\"):
            continue
        steps.append((pending, []))
        pending = None
    if pending is not None:
        raise SystemExit("a console block ends inside a command continued by a backslash")
    return steps
