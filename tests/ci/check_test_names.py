#!/usr/bin/env python3
"""Every product source (a .cpp under helper_service/ or tools/) has a test named after it
(<name>_test.cpp under tests/) or a row in the table of tests/README.md saying where it is
tested; and no row names a source that is gone or now has a test of its own.

Usage: check_test_names.py REPOSITORY_ROOT
"""
import pathlib
import re
import sys


def main(root):
    root = pathlib.Path(root)
    product = sorted(path.relative_to(root).as_posix()
                     for top in ("helper_service", "tools") for path in (root / top).rglob("*.cpp"))
    named = {path.name[:-len("_test.cpp")] for path in (root / "tests").rglob("*_test.cpp")}
    readme = (root / "tests" / "README.md").read_text(encoding="utf-8")
    rows = re.findall(r"^\| `([^`]+)` \|", readme, re.MULTILINE)
    untested = [name for name in product if pathlib.PurePosixPath(name).stem not in named]
    problems = [f"{name}: neither a test named {pathlib.PurePosixPath(name).stem}_test.cpp "
                "nor a row in tests/README.md" for name in untested if name not in rows]
    problems += [f"tests/README.md names {name}, which is gone" for name in rows
                 if name not in product]
    problems += [f"tests/README.md names {name}, which has a test of its name now: drop the row"
                 for name in rows if name in product and name not in untested]
    for problem in problems:
        print("check_test_names: " + problem, file=sys.stderr)
    print(f"check_test_names: {len(product) - len(untested)} of {len(product)} product sources "
          f"have a test of their name, {len(untested)} are in the table")
    return 1 if problems else 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    sys.exit(main(sys.argv[1]))
