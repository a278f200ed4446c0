#!/usr/bin/env bash
# The README's developer builds, run as written on the development environment (`make build-check`):
# the plain-CMake command builds all four modules, optimised, for .venv's interpreter given by a
# relative path; `make module MODULE=tidewell` puts that module into .venv and leaves the other
# three and `make build`'s view of the environment as they were; a module missing from .venv
# makes `make build` reinstall.
set -euo pipefail
cd "$(dirname "$0")/.."
fail() { echo "FAIL: $*"; exit 1; }
site=.venv/lib/python3.10/site-packages
ext=$(.venv/bin/python -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
mapfile -t modules < <(awk '/^[a-z]/ {gsub(/\./, "/", $2); print $2 "/" $1}' src/python_api/modules.txt)

echo "== plain CMake, as the README has it"
rm -rf build/cmake
command=$(grep -o 'cmake -S \. -B build/cmake [^`]*' README.md)
echo "$command"
bash -c "$command"
grep -qx 'CMAKE_BUILD_TYPE:STRING=Release' build/cmake/CMakeCache.txt || fail "not a Release build"
grep -qx "Python_EXECUTABLE:FILEPATH=$PWD/.venv/bin/python" build/cmake/CMakeCache.txt || fail "not .venv's interpreter"
for m in "${modules[@]}"; do
    test -f "build/cmake/$(basename "$m")$ext" || fail "build/cmake has no $(basename "$m")$ext"
done

echo "== make module MODULE=tidewell"
make -q build && up_to_date=0 || up_to_date=$?
stamp=$(stat -c %Y .venv/.installed)
make module MODULE=tidewell
for m in "${modules[@]}"; do
    test -f "$site/$m$ext" || fail "$m is gone from .venv"
done
test "$(stat -c %Y .venv/.installed)" = "$stamp" || fail "make module touched .venv/.installed"
make -q build && now=0 || now=$?
test "$now" = "$up_to_date" || fail "make build's view changed from $up_to_date to $now"
(cd /tmp && "$OLDPWD/.venv/bin/python" -c 'from zentab_api.python_api.sync import tidewell, parcelry
from zentab_api.python_api.auth.local import keyfolio
from zentab_api.python_api.admin import logs')

echo "== a module missing from .venv"
aside=$(mktemp -d)
trap 'mv "$aside"/* "$site/$(dirname "${modules[3]}")/" 2>/dev/null; rm -rf "$aside"' EXIT
mv "$site/${modules[3]}$ext" "$aside/"
make -q build && fail "make build believes .venv is up to date without ${modules[3]}"
echo "build-check: the plain-CMake build, make module and make build's check of the modules all as expected"
