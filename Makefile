# make demo / make test do all set-up: find Python 3.10, make .venv, build and
# install the project into it, then run. A second run reuses what is there and
# rebuilds only what changed.

PYTHON310 := $(shell for p in python3.10 "$$(pyenv root 2>/dev/null)"/versions/3.10*/bin/python3.10 \
                 "$$HOME"/.pyenv/versions/3.10*/bin/python3.10 /usr/bin/python3.10 /usr/local/bin/python3.10; do \
                 "$$p" -c 'import sys; assert sys.version_info[:2] == (3, 10)' >/dev/null 2>&1 && { echo "$$p"; break; }; done)
VENV := .venv
PY := $(VENV)/bin/python
BUILD_DEPS := scikit-build-core cmake ninja
SOURCES := $(shell find src app -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.py' -o -name '*.pyi' -o -name py.typed \) -not -path '*/__pycache__/*') \
           CMakeLists.txt pyproject.toml

.PHONY: demo test build bench clean wheel-check

demo: $(VENV)/.installed
	$(PY) demo/demo.py

test: $(VENV)/.installed
	$(PY) -m pytest tests

bench: $(VENV)/.installed
	$(PY) bench/run.py

build: $(VENV)/.installed

# The wheel as users get it (`pip wheel .`), installed alone into a fresh environment and called.
wheel-check:
	@test -n "$(PYTHON310)" || { echo "Python 3.10 not found (python3.10 on PATH or under pyenv)"; exit 1; }
	bash tests/wheel_roundtrip.sh $(PYTHON310)

$(VENV)/.tools:
	@test -n "$(PYTHON310)" || { echo "Python 3.10 not found (python3.10 on PATH or under pyenv)"; exit 1; }
	$(PYTHON310) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q $(BUILD_DEPS)
	touch $@

# Warnings are errors in our own builds; the build tree is kept in build/ so
# that a rebuild compiles only what changed.
$(VENV)/.installed: $(VENV)/.tools $(SOURCES)
	$(PY) -m pip install -q --no-build-isolation -Ccmake.define.ZENTAB_WERROR=ON -Ccmake.define.ZENTAB_MODULES='tidewell;parcelry;keyfolio;logs' '.[test]'
	touch $@

clean:
	rm -rf $(VENV) build
