# One entry point for developers and CI. Needs a C++23 compiler (g++ 12+) and CPython 3.13;
# everything else is installed into .venv.
PYTHON313 := $(shell tools/find-python313)
VENV := .venv
PY := $(VENV)/bin/python
STRICT_WARNINGS ?= ON
BUILD_DIR ?= build/test
PIP_INSTALL := $(PY) -m pip install --disable-pip-version-check -q

.PHONY: test venv install-test clean

$(PY):
	@test -n "$(PYTHON313)" || { echo "CPython 3.13 is required" >&2; exit 1; }
	$(PYTHON313) -m venv $(VENV)
	$(PIP_INSTALL) --upgrade pip

venv: $(PY)

# The package with its test extras and the test-only kernel probe, warnings as errors.
install-test: $(PY)
	$(PIP_INSTALL) ".[test]" \
	  -Cbuild-dir=$(BUILD_DIR) \
	  -Ccmake.define.STRICT_WARNINGS=$(STRICT_WARNINGS) \
	  -Ccmake.define.QUANTELLE_PROBE=ON

test: install-test
	$(PY) -m pytest -q

clean:
	rm -rf build dist $(VENV)
