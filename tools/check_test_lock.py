"""Refuses a test environment holding a package the lock does not pin at the
installed version: a dependency added to the test extra without refreshing
tools/test_lock.txt would otherwise be resolved afresh on every machine."""

import sys
from importlib import metadata

UNPINNED = {"halvorn", "pip", "setuptools", "wheel"}


def canonical(name: str) -> str:
    return name.lower().replace("_", "-").replace(".", "-")


def main(lock_path: str) -> int:
    pinned = {}
    with open(lock_path, encoding="utf-8") as lock:
        for line in lock:
            line = line.split("#", 1)[0].strip()
            if line:
                name, _, version = line.partition("==")
                pinned[canonical(name)] = version
    wrong = []
    for dist in metadata.distributions():
        name = canonical(dist.metadata["Name"])
        if name in UNPINNED:
            continue
        if pinned.get(name) != dist.version:
            wrong.append(f"{name}=={dist.version} (lock: {pinned.get(name, 'absent')})")
    if wrong:
        print(f"{lock_path} does not pin what the tests installed; run "
              "./tools/refresh_test_lock.sh and commit the result:\n  " + "\n  ".join(sorted(wrong)),
              file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
