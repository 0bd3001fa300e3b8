"""No Python object handed to halvorn can make it read freed memory.

Each public function that converts Python objects is called with hostile ones
(hostile_recipes.py says how), in a fresh interpreter, because the failure
this looks for is a crash.  The test command runs this file a second time
against the extension built with AddressSanitizer, where a read of freed
memory that happens not to crash still fails the run."""

import os
import subprocess
import sys

import pytest

import halvorn
import hostile_recipes as recipes


def test_every_public_function_has_a_hostile_recipe():
    # A function added later is checked too: it fails here until it has one.
    covered = set(recipes.RECIPES) | recipes.NOTHING_TO_CONVERT
    assert [sorted(names) for names in recipes.public_callables() if not names & covered] == []


@pytest.mark.parametrize("qualname", sorted(recipes.RECIPES))
def test_hostile_objects_cannot_crash_the_call(qualname, tmp_path):
    done = subprocess.run([sys.executable, recipes.__file__, qualname, str(tmp_path)],
                          capture_output=True, text=True, timeout=600)
    assert (done.returncode, done.stderr[-4000:]) == (0, ""), done.stdout[-2000:]
    assert done.stdout.startswith("survived ")


@pytest.mark.skipif(not os.environ.get("HALVORN_EXPECT_SANITIZED"),
                    reason="only the sanitizer run of the test command asks for it")
def test_the_sanitized_extension_is_the_one_under_test():
    assert os.sep + os.path.join("sanitize", "python", "halvorn") in halvorn.__file__
