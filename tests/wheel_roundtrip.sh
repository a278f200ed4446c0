#!/usr/bin/env bash
# The wheel as users get it: built by `pip wheel .` (build isolation, build dependencies from
# the index), installed into a fresh virtual environment with only its declared dependencies,
# then tests/wheel_smoke.py run from outside the checkout: a file missing from the wheel fails.
#
#     bash tests/wheel_roundtrip.sh [python3.10]
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD
python=${1:-python3.10}
work=$(mktemp -d "${TMPDIR:-/tmp}/zentab-wheel.XXXXXX")
trap 'rm -rf "$work"' EXIT

"$python" -m venv "$work/venv"
venv_python=$work/venv/bin/python
"$venv_python" -m pip install -q --upgrade pip
# Its own build tree: the development build in build/ is configured for another environment.
"$venv_python" -m pip wheel -q --no-deps -w "$work/dist" -Cbuild-dir="$work/build" "$source_dir"
wheel=$(echo "$work"/dist/*.whl)
echo "built $(basename "$wheel"):"
"$venv_python" -m zipfile -l "$wheel" | awk 'NR > 1 && $1 !~ /\/$/ {print "  " $1}'

"$venv_python" -m pip install -q "$wheel"
packages=("$source_dir"/app/*/__init__.py)
cd "$work"
ZENTAB_DATA_DIR=$work/data "$venv_python" "$source_dir/tests/wheel_smoke.py" "$wheel" "${packages[@]%/__init__.py}"
