#!/bin/sh
# A user's install without the Makefile: .ci/plain-pip.sh PYTHON
# Builds an sdist, unpacks it as a user's checkout, and from it checks that
# `pip install .`, `pip wheel .` and `pip install <sdist>` (build isolation on)
# each give a working module, and that both archives carry stubs and license.
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

step "pip wheel ."
(cd "$work/src" && "$py" -m pip wheel --quiet --no-deps --wheel-dir "$work/dist" .)
wheel=$(ls "$work"/dist/*.whl)
"$py" "$root/tools/check_dist.py" archives "$wheel" "$sdist"
"$py" -m pip install --quiet "$wheel"
installed

step "pip install ."
(cd "$work/src" && "$py" -m pip install --quiet .)
installed

step "pip install $(basename "$sdist")"
# pip caches a wheel it built from an archive under the archive's path, which
# every run reuses; without the cache, the sdist is built from what it holds now.
"$py" -m pip install --quiet --no-cache-dir "$sdist"
installed
