#!/bin/sh
# A user's install without the Makefile: .ci/plain-pip.sh PYTHON
# Builds an sdist, unpacks it as a user's checkout, and checks that the wheel built
# from the sdist and `pip install .` in the checkout (build isolation on) each give a
# working module, and that both archives carry stubs and license.
set -eu
cd "$(dirname "$0")/.."
python=$1
root=$(pwd)
work=$root/build/plain-pip
rm -rf "$work"
mkdir -p "$work/dist" "$work/src"
"$python" -m venv "$work/venv"
py=$work/venv/bin/python
"$py" -m pip install --quiet --upgrade pip
"$py" -m pip install --quiet build

step() { echo "--- plain pip: $*"; }
installed() {
  (cd "$work" && "$py" "$root/tools/check_dist.py" installed)
  "$py" -m pip uninstall --quiet --yes trov-diagnoser
}

step "python -m build --sdist"
"$py" -m build --sdist --outdir "$work/dist" . >"$work/sdist.log"
sdist=$(ls "$work"/dist/*.tar.gz)
tar -xzf "$sdist" -C "$work/src" --strip-components=1

# Two builds, each in build isolation as a user's pip runs it: the wheel of the sdist
# (what `pip install <sdist>` builds), and `pip install .` in the unpacked checkout.
step "pip wheel $(basename "$sdist")"
"$py" -m pip wheel --quiet --no-deps --no-cache-dir --wheel-dir "$work/dist" "$sdist"
wheel=$(ls "$work"/dist/*.whl)
"$py" "$root/tools/check_dist.py" archives "$wheel" "$sdist"
"$py" -m pip install --quiet "$wheel"
installed

step "pip install ."
(cd "$work/src" && "$py" -m pip install --quiet .)
installed
