#!/bin/sh
# The whole suite on one interpreter: .ci/suite-on.sh PYTHON [CONSTRAINTS]
# Its venv lives under build/ and gets the newest dependencies pip resolves there,
# or the pinned ones of a constraints file. Every venv of an interpreter builds in
# the same tree, build/<wheel tag>: a rerun recompiles only what changed, and the
# lowest-bounds venv recompiles all once, with the build tools at their floors.
set -eu
cd "$(dirname "$0")/.."
python=$1
constraints=${2:-}
version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
venv=build/venv-$version${constraints:+-lowest}
py=$venv/bin/python

pip() {
  if [ -n "$constraints" ]; then
    "$py" -m pip --quiet "$@" --constraint "$constraints"
  else
    "$py" -m pip --quiet "$@"
  fi
}

[ -x "$py" ] || "$python" -m venv "$venv"
pip install --upgrade pip
pip install "tomli; python_version<'3.11'"
pip install $("$py" tools/requirements.py build) cmake ninja
# Dependencies first, so an interpreter whose build fails still has them.
"$py" tools/requirements.py runtime >"$venv/requirements.txt"
"$py" tools/requirements.py extra test >>"$venv/requirements.txt"
pip install --requirement "$venv/requirements.txt"
echo "Python $version${constraints:+ (lowest bounds)}:" $("$py" -m pip list --format=freeze |
  grep -i -E '^(numpy|pandas|scikit-learn|scipy|lightgbm|matplotlib|seaborn|ipython|ipywidgets|ipykernel|nbclient|nbformat|pytest|mypy|pybind11|scikit.build.core)==')
pip install . --no-build-isolation --no-deps

cd tests
MPLBACKEND=Agg "../$py" -m pytest -q -p no:cacheprovider
