import importlib.util
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
spec = importlib.util.spec_from_file_location("requirements", str(ROOT / "tools" / "requirements.py"))
requirements = importlib.util.module_from_spec(spec)
spec.loader.exec_module(requirements)


@pytest.mark.parametrize("declared, pinned", [
    ("numpy>=1.21.6; python_version<'3.11'", "numpy==1.21.6; python_version<'3.11'"),
    ("pybind11>=2.13.6,<3", "pybind11==2.13.6"),
    ("pybind11 <3, >= 2.13.6", "pybind11==2.13.6"),
    ("scikit-learn[alldeps] >= 1.0.2", "scikit-learn==1.0.2"),
    ("lightgbm", None),
    ("pandas>1.3", None),
])
def test_lowest_pins_the_floor_and_keeps_the_marker(declared, pinned):
    assert requirements.lowest(declared) == pinned


def test_every_runtime_and_build_requirement_has_a_floor(capsys):
    requirements.main(["lowest"])
    pins = capsys.readouterr().out.split("\n")
    data = requirements.tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))
    declared = data["build-system"]["requires"] + data["project"]["dependencies"]
    assert len([p for p in pins if p]) == len(declared)


def test_python_range_agrees_across_pyproject_cmake_and_classifiers():
    project = requirements.tomllib.loads(
        (ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]
    floor = re.fullmatch(r">=(3\.\d+)", project["requires-python"]).group(1)
    cmake = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    assert re.search(r"find_package\(Python %s REQUIRED" % re.escape(floor), cmake)
    minors = sorted(int(c.rsplit(".", 1)[1]) for c in project["classifiers"]
                    if re.fullmatch(r"Programming Language :: Python :: 3\.\d+", c))
    assert minors[0] == int(floor.split(".")[1])
    assert minors == list(range(minors[0], minors[-1] + 1))
