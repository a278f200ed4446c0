#!/usr/bin/env bash
# The distributions in dist/ (`make wheel`) as their users install them, in a fresh environment:
#
# 1. A stand-in host application: its own zentab_* packages (the embedded default's files, each
#    with a marker), as plain files in site-packages, and the libraries they need. The modules
#    wheel goes in: no file of the host changes (checksums before and after), the four modules
#    import on the host's packages and answer one call each, mypy sees their stubs; uninstalling
#    the wheel takes exactly its own files away; an untyped host's mypy sees the stubs too.
# 2. Without the application: both wheels installed, one call each on the embedded default.
#
#     bash tests/wheel_roundtrip.sh [python3.10]
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD
python=${1:-python3.10}
modules_wheel=$(echo "$source_dir"/dist/zentab_local_api-*.whl)
default_wheel=$(echo "$source_dir"/dist/zentab_local_api_default-*.whl)
sdist=$(echo "$source_dir"/dist/zentab_local_api-*.tar.gz)
for f in "$modules_wheel" "$default_wheel" "$sdist"; do
    test -f "$f" || { echo "missing $f: run make wheel first"; exit 1; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/zentab-wheel.XXXXXX")
trap 'rm -rf "$work"' EXIT
smoke=$source_dir/tests/wheel_smoke.py

echo "== $(basename "$modules_wheel"): $(stat -c %s "$modules_wheel") bytes"
"$python" -m zipfile -l "$modules_wheel" | awk 'NR > 1 && $1 !~ /\/$/ {printf "  %-76s %7s\n", $1, $NF}'
"$python" "$smoke" check-wheels "$modules_wheel" "$default_wheel" "$sdist" "$source_dir"/app/zentab_*/

"$python" -m venv "$work/venv"
py=$work/venv/bin/python
"$py" -m pip install -q --upgrade pip
# The host's libraries: what the embedded default asks for, less the modules; and mypy.
mapfile -t requirements < <("$python" "$smoke" requirements "$default_wheel")
"$py" -m pip install -q "${requirements[@]}" mypy
site=$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')

echo "== stand-in host in $site"
for package in "$source_dir"/app/zentab_*/; do
    cp -r "$package" "$site/"
done
find "$site"/zentab_* -name __pycache__ -prune -exec rm -rf {} +
find "$site"/zentab_* -name '*.py' -exec sh -c 'echo "# stand-in host file" >> "$1"' _ {} \;
for init in "$site"/zentab_*/__init__.py; do
    echo 'STAND_IN_HOST = True' >> "$init"
done
host_files() { (cd "$site" && find zentab_* -name '*.dist-info' -prune -o -type f -not -path '*/__pycache__/*' -print | sort); }
host_files > "$work/host-files"
(cd "$site" && xargs -d '\n' sha256sum < "$work/host-files") > "$work/host-sums"

echo "== the modules wheel into the host"
"$py" -m pip install -q "$modules_wheel"
(cd "$site" && sha256sum --quiet --strict -c "$work/host-sums") || { echo "the wheel changed a file of the host"; exit 1; }
comm -13 "$work/host-files" <(host_files) > "$work/added"
"$py" "$smoke" check-added "$modules_wheel" "$work/added"
cd "$work"
ZENTAB_DATA_DIR=$work/data-host "$py" "$smoke" call host
"$py" "$source_dir/tests/test_typing_installed.py" typed-host

echo "== the modules wheel out of the host"
"$py" -m pip uninstall -q -y zentab-local-api
host_files | diff "$work/host-files" - || { echo "uninstalling the wheel took other files or left its own"; exit 1; }
(cd "$site" && sha256sum --quiet --strict -c "$work/host-sums") || { echo "a file of the host changed"; exit 1; }

echo "== an untyped host (no py.typed of its own): mypy still sees the stubs"
find "$site"/zentab_* -name py.typed -delete
"$py" -m pip install -q "$modules_wheel"
"$py" "$source_dir/tests/test_typing_installed.py" untyped-host

echo "== without the application: both wheels"
rm -rf "$site"/zentab_*
"$py" -m pip install -q "$modules_wheel" "$default_wheel"
ZENTAB_DATA_DIR=$work/data-default "$py" "$smoke" call default
