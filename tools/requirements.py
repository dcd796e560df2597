"""Prints requirement lists from pyproject.toml, one a line.

  build         the build-system requirements
  runtime       the runtime dependencies
  extra NAME    an optional-dependency group
  lowest        a pip constraints file pinning every runtime and build
                requirement to its declared lower bound, markers kept
"""
import re
import sys
from pathlib import Path

try:
    import tomllib
except ImportError:  # before 3.11
    import tomli as tomllib

PYPROJECT = Path(__file__).resolve().parent.parent / "pyproject.toml"
REQUIREMENT = re.compile(r"^\s*([A-Za-z0-9][A-Za-z0-9._-]*)\s*(\[[^\]]*\])?\s*([^;]*?)\s*(;.*)?$")


def lowest(requirement):
    """`name>=1.2,<3; marker` becomes `name==1.2; marker`; None without a floor."""
    match = REQUIREMENT.match(requirement)
    if not match:
        raise ValueError("cannot read requirement %r" % requirement)
    name, _extras, specifiers, marker = match.groups()
    floors = [s.strip()[2:].strip() for s in specifiers.split(",") if s.strip().startswith(">=")]
    if len(floors) != 1:
        return None
    return "%s==%s%s" % (name, floors[0], marker or "")


def main(argv):
    data = tomllib.loads(PYPROJECT.read_text(encoding="utf-8"))
    if argv == ["build"]:
        lines = data["build-system"]["requires"]
    elif argv == ["runtime"]:
        lines = data["project"]["dependencies"]
    elif len(argv) == 2 and argv[0] == "extra":
        lines = data["project"]["optional-dependencies"][argv[1]]
    elif argv == ["lowest"]:
        requirements = data["build-system"]["requires"] + data["project"]["dependencies"]
        lines = [pin for pin in map(lowest, requirements) if pin]
        missing = [r for r in requirements if lowest(r) is None]
        if missing:
            sys.exit("no single lower bound in: %s" % ", ".join(missing))
    else:
        sys.exit(__doc__)
    print("\n".join(lines))


if __name__ == "__main__":
    main(sys.argv[1:])
