# make demo   build and install kelvane with the newest Python >= 3.12, run the
#             examples (the serial one against pyserial's loop://)
# make check  the everyday check: build kelvane for the newest Python >= 3.12
#             found, incrementally and in place, and run the tests not marked
#             slow, with fewer differential examples (a minute or less)
# make test   the full gate: lint; `make dist`; install each of its wheels into
#             a fresh venv and run the test suite, stubtest and mypy --strict
#             there; then `make sanitize`, `make cross-core` and
#             `make cibuildwheel-ids`
# make dist   the release into dist/: the sdist and, for each Python >= 3.12,
#             a manylinux2014 wheel built from it with zig, checked with
#             auditwheel and twine (scripts/dist); all or nothing
# make core-test  the packet core alone (no Python), built natively and run:
#             fails if a worked example comes out wrong, or if a payload kind
#             without its command code or encoder compiles (scripts/core-test)
# make cross-core  the packet core alone, built for aarch64 and s390x (big-
#             endian) and run under qemu-user, against the native build's
#             packets (scripts/cross-core; installs its tools when root)
# make cibuildwheel-ids  cibuildwheel reads pyproject.toml's hosted-CI section
#             and selects the expected builds (all it can do without containers)
# make sanitize  the test suite once more, with the newest Python, against a
#             build with AddressSanitizer and UndefinedBehaviorSanitizer;
#             any sanitizer report fails it
# make memcheck  the valgrind memcheck test alone, with the newest Python
# make coverage  the whole suite against a --coverage build (newest Python);
#             prints gcovr's line, function and branch figures for src/ and
#             the lines no test reaches. Not part of `test`.
# make lint   ruff and clang-format checks only; make format applies them
# make compile_commands.json   compile database for clangd
# make bench  benchmark suite (pyperf, callgrind) with every Python >= 3.12,
#             or PYTHON=...; writes each one's table into docs/performance.md.
#             QUICK=1: a rough look in about a minute per Python, that file
#             untouched. Not part of `test`.
# make bench-wheel  instructions per call of each manylinux wheel against the
#             GCC development build, case by case, on every Python (callgrind,
#             as make bench counts); fails over 1.05x on a builder or
#             constructor, or at 1 ms or more for `import kelvane`
# make clean  remove virtual environments and build trees
#
# Options: WERROR=ON|OFF (test default ON, demo default OFF), SANITIZE=ON|OFF.

SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
.DEFAULT_GOAL := test

VENVS    := .venv
DIST     := dist
SANITIZE ?= OFF

export PIP_DISABLE_PIP_VERSION_CHECK := 1
export PIP_NO_INPUT := 1
# One more level of quiet for every pip run: `--quiet` then leaves errors only
# (a failed build still shows its compiler output), not the warnings a
# machine's own pip configuration can give on every install.
export PIP_QUIET := 1

# pip options that pass the CMake switches to the build backend.
cmake_defs = --config-settings=cmake.define.KELVANE_WERROR=$(1) \
             --config-settings=cmake.define.KELVANE_SANITIZE=$(SANITIZE)

# Style tools, pinned so that a new release cannot change the checks' verdict.
TOOLS_VENV := $(VENVS)/tools
TOOLS      := ruff==0.17.6 clang-format==23.1.5 build==1.6.1
CXX_FILES   = $(shell find src tests/core -name '*.cpp' -o -name '*.hpp' | sort)
# Python paths held to the ruff configuration of pyproject.toml. The other test
# files and bench/ are not in it yet: add them once they pass.
RUFF_PATHS := examples kelvane-stubs typecheck tests bench

# The board that `make demo` configures over loop://.
DEMO_BOARD := 0=rtd:PT100:400:18:1000:10 1=rtd:PT1000:4000:180:10000:100 \
              2=tc:K:50:0.5:100:1 3=none --temperature 0=21.0 --reset --first-id 10

.PHONY: demo check test lint format tools clean compile_commands.json sanitize memcheck debug-tools

demo:
	@py=$$(scripts/find-pythons | tail -n 1); \
	venv=$(VENVS)/demo; \
	echo "==> demo with $$py ($$("$$py" --version 2>&1))"; \
	scripts/ensure-venv "$$py" "$$venv"; \
	echo "==> building kelvane and installing it into $$venv"; \
	"$$venv/bin/python" -m pip install --quiet $(call cmake_defs,$(or $(WERROR),OFF)) '.[serial]'; \
	"$$venv/bin/python" examples/demo.py; \
	echo; \
	"$$venv/bin/python" examples/configure_board.py $(DEMO_BOARD)

# The everyday check. The build tree (build/check-<tag>) persists and pip
# builds without isolation, in a venv that holds the build requirements, so a
# warm tree recompiles only what changed. The tests marked slow (the
# allocation-failure sweeps, valgrind, leak runs, threads) are left to
# `make test`; the differential tests run a quarter of their examples.
CHECK_VENV := $(VENVS)/check
CHECK_FUZZ_SCALE := 0.25

check:
	@py=$$(scripts/find-pythons | tail -n 1); \
	echo "==> check with $$py ($$("$$py" --version 2>&1))"; \
	scripts/ensure-venv "$$py" $(CHECK_VENV); \
	$(CHECK_VENV)/bin/python scripts/install-build-deps; \
	$(CHECK_VENV)/bin/python -m pip install --quiet --no-build-isolation \
		--config-settings=build-dir=build/check-{wheel_tag} $(call cmake_defs,$(or $(WERROR),ON)) '.[test,serial]'; \
	KELVANE_FUZZ_SCALE=$(CHECK_FUZZ_SCALE) $(CHECK_VENV)/bin/python -m pytest tests -q -m 'not slow'

.PHONY: dist core-test cross-core cibuildwheel-ids

dist:
	@WERROR=$(or $(WERROR),ON) scripts/dist $(DIST)

core-test:
	@scripts/core-test

cross-core:
	@scripts/cross-core

# The hosted-CI section of pyproject.toml cannot run here (no containers), but
# cibuildwheel can read it and list the builds it selects.
CIBW_BUILDS := cp312-manylinux_x86_64 cp313-manylinux_x86_64 cp314-manylinux_x86_64 \
               cp312-manylinux_aarch64 cp313-manylinux_aarch64 cp314-manylinux_aarch64

cibuildwheel-ids:
	@scripts/dist --tools-only; \
	ids=$$(.venv/dist/bin/cibuildwheel --print-build-identifiers --platform linux | sort | xargs); \
	expected=$$(printf '%s\n' $(CIBW_BUILDS) | sort | xargs); \
	if [ "$$ids" != "$$expected" ]; then \
		echo "==> cibuildwheel selects [$$ids], expected [$$expected]" >&2; exit 1; \
	fi; \
	echo "==> cibuildwheel configuration parses and selects: $$ids"

# A venv of the newest Python with the pinned style tools and `build`.
tools:
	@py=$$(scripts/find-pythons | tail -n 1); \
	scripts/ensure-venv "$$py" $(TOOLS_VENV); \
	$(TOOLS_VENV)/bin/python -m pip install --quiet $(TOOLS)

lint: tools
	@echo "==> ruff check, ruff format --check, clang-format --dry-run"; \
	status=0; \
	$(TOOLS_VENV)/bin/ruff check --quiet $(RUFF_PATHS) || status=1; \
	$(TOOLS_VENV)/bin/ruff format --quiet --check $(RUFF_PATHS) || status=1; \
	$(TOOLS_VENV)/bin/clang-format --dry-run -Werror $(CXX_FILES) || status=1; \
	if [ $$status -ne 0 ]; then echo "==> lint failed: 'make format' fixes layout and import order" >&2; fi; \
	exit $$status

# Rewrites src/ with clang-format and the Python paths above with ruff.
format: tools
	$(TOOLS_VENV)/bin/clang-format -i $(CXX_FILES)
	$(TOOLS_VENV)/bin/ruff check --quiet --fix-only --select I $(RUFF_PATHS)
	$(TOOLS_VENV)/bin/ruff format --quiet $(RUFF_PATHS)

# Each interpreter gets its wheel from `make dist` (built from the sdist, so
# the sdist is shown to build from scratch, and tested as shipped) and a fresh
# venv with nothing but that wheel and the test tools. The type checks run
# from typecheck/, where no source tree can stand in for the installed module
# or its stubs.
test: tools debug-tools
	@pythons=$$(scripts/find-pythons); \
	failed=(); \
	$(MAKE) --no-print-directory lint || failed+=("lint"); \
	$(MAKE) --no-print-directory dist || failed+=("dist"); \
	while [ -d $(DIST) ] && IFS= read -r py; do \
		ver=$$("$$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])'); \
		venv=$(CURDIR)/$(VENVS)/py$$ver; \
		tag=cp$${ver/./}; \
		echo "==> testing with $$py ($$("$$py" --version 2>&1))"; \
		if wheel=$$(ls $(DIST)/kelvane-*-$$tag-$$tag-manylinux*.whl) \
			&& rm -rf "$$venv" && "$$py" -m venv "$$venv" \
			&& "$$venv/bin/python" -m pip install --quiet "$$wheel[test,typecheck]" \
			&& (cd typecheck && "$$venv/bin/python" -c 'import kelvane; print("==> testing", kelvane.__file__)') \
			&& "$$venv/bin/python" -m pytest tests -q \
			&& echo "==> stubtest, mypy --strict" \
			&& (cd typecheck && "$$venv/bin/python" -m mypy.stubtest kelvane --allowlist stubtest-allowlist.txt) \
			&& (cd typecheck && "$$venv/bin/python" -m mypy --strict --warn-unreachable --no-incremental \
				usage.py ../examples/*.py && "$$venv/bin/python" usage.py); then :; \
		else \
			failed+=("$$ver"); \
		fi; \
	done <<<"$$pythons"; \
	$(MAKE) --no-print-directory sanitize || failed+=("sanitize"); \
	$(MAKE) --no-print-directory cross-core || failed+=("cross-core"); \
	$(MAKE) --no-print-directory cibuildwheel-ids || failed+=("cibuildwheel-ids"); \
	if [ $${#failed[@]} -ne 0 ]; then \
		echo "==> FAILED: $${failed[*]}" >&2; \
		exit 1; \
	fi

# The sanitizer runtime must come first among the interpreter's libraries, and
# libstdc++ must be there before it starts, or its C++ exception interceptor
# finds nothing to forward to. CPython's own allocations would drown
# LeakSanitizer (leaks have their own tests); PYTHONMALLOC=malloc lets ASan see
# every Python object. ASan reports go to files, so that one in a child process
# fails the run too; UBSan ignores log_path beside ASan and writes to stderr,
# which pytest leaves alone (--capture=sys) and which is kept and searched.
SANITIZE_LOGS  = $(CURDIR)/build/sanitize-logs
SANITIZE_ENV   = LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
                 PYTHONMALLOC=malloc \
                 ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=1:log_path=$(SANITIZE_LOGS)/asan \
                 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
                 KELVANE_FUZZ_SCALE=0.25 KELVANE_LEAK_CALLS=20000

sanitize:
	@py=$$(scripts/find-pythons | tail -n 1); \
	ver=$$("$$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])'); \
	venv=$(VENVS)/sanitize-py$$ver; \
	echo "==> sanitize: ASan and UBSan build, whole suite with $$py"; \
	scripts/ensure-venv "$$py" "$$venv"; \
	"$$venv/bin/python" -m pip install --quiet --config-settings=build-dir=build/sanitize-{wheel_tag} \
		--config-settings=cmake.define.KELVANE_WERROR=ON --config-settings=cmake.define.KELVANE_SANITIZE=ON \
		'.[test,serial]'; \
	rm -rf $(SANITIZE_LOGS); mkdir -p $(SANITIZE_LOGS); \
	status=0; \
	env $(SANITIZE_ENV) "$$venv/bin/python" -m pytest tests -q -p no:cacheprovider --capture=sys \
		2>$(SANITIZE_LOGS)/stderr || status=1; \
	if grep -q -E 'runtime error:|ERROR: AddressSanitizer' $(SANITIZE_LOGS)/stderr \
		|| compgen -G '$(SANITIZE_LOGS)/asan.*' >/dev/null; then \
		grep -h -A40 -E 'runtime error:|ERROR: AddressSanitizer' $(SANITIZE_LOGS)/stderr $(SANITIZE_LOGS)/asan.* || true; \
		echo "==> sanitizer reports above" >&2; \
		status=1; \
	elif [ $$status -ne 0 ]; then \
		tail -n 40 $(SANITIZE_LOGS)/stderr; \
	fi; \
	exit $$status

# valgrind for the memcheck test, and gdb, which the allocation-failure sweep
# runs a crashed child under to tell the interpreter's crashes from the
# module's: installed if missing and we may.
debug-tools:
	@missing=$$(for tool in valgrind gdb; do command -v $$tool >/dev/null || echo $$tool; done); \
	if [ -n "$$missing" ]; then \
		if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null; then \
			echo "==> installing" $$missing; \
			apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null; \
		else \
			echo "==> missing:" $$missing "(the memcheck test and crash triage need them)" >&2; \
		fi; \
	fi

memcheck: debug-tools
	@py=$$(scripts/find-pythons | tail -n 1); \
	venv=$(VENVS)/memcheck; \
	scripts/ensure-venv "$$py" "$$venv"; \
	"$$venv/bin/python" -m pip install --quiet $(call cmake_defs,ON) '.[test]'; \
	"$$venv/bin/python" -m pytest tests/test_memcheck.py -v -p no:cacheprovider

COVERAGE_VENV := $(VENVS)/coverage
COVERAGE_OUT  := build/coverage

.PHONY: coverage
coverage: debug-tools
	@py=$$(scripts/find-pythons | tail -n 1); \
	scripts/ensure-venv "$$py" $(COVERAGE_VENV); \
	$(COVERAGE_VENV)/bin/python -m pip install --quiet gcovr==8.8; \
	$(COVERAGE_VENV)/bin/python -m pip install --quiet --config-settings=build-dir=$(COVERAGE_OUT) \
		--config-settings=cmake.define.KELVANE_COVERAGE=ON $(call cmake_defs,ON) '.[test,serial]'; \
	find $(COVERAGE_OUT) -name '*.gcda' -delete; \
	echo "==> coverage: the whole suite with $$py"; \
	KELVANE_FUZZ_SCALE=0.25 $(COVERAGE_VENV)/bin/python -m pytest tests -q -p no:cacheprovider; \
	$(COVERAGE_VENV)/bin/gcovr --root . --filter 'src/' --object-directory $(COVERAGE_OUT) \
		--print-summary --txt -

# clangd reads the compile database of a plain CMake configure of the tree.
compile_commands.json:
	@py=$$(scripts/find-pythons | tail -n 1); \
	cmake -S . -B build/clangd -DPython_EXECUTABLE="$$py" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null; \
	ln -sf build/clangd/compile_commands.json compile_commands.json; \
	echo "==> compile_commands.json -> build/clangd/compile_commands.json"

# kelvane (a release build, like a user's), pyperf and the benchmark's floor
# extension go into their own venv and build tree, apart from the test venvs.
BENCH_VENV := $(VENVS)/bench
BENCH_OUT  := build/bench

.PHONY: bench
bench:
	@pythons=$(or $(PYTHON),$$(scripts/find-pythons)); \
	while IFS= read -r py; do \
		ver=$$("$$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])'); \
		out=$(BENCH_OUT)/py$$ver; \
		venv=$(BENCH_VENV)-py$$ver; \
		echo "==> bench with $$py ($$("$$py" --version 2>&1))"; \
		scripts/ensure-venv "$$py" $$venv; \
		$$venv/bin/python -m pip install --quiet pyperf==2.11.0; \
		$$venv/bin/python -m pip install --quiet --config-settings=build-dir=$$out/{wheel_tag} \
			$(call cmake_defs,OFF) .; \
		$$venv/bin/python bench/build_floor.py $$out/floor; \
		$$venv/bin/python bench/run.py --floor-dir $$out/floor --out $$out \
			$(if $(QUICK),--quick,--readme docs/performance.md); \
	done <<<"$$pythons"

# Instructions per call of each manylinux wheel against the GCC development
# build (`pip install .`, as make bench builds it), both on the wheel's Python,
# in venvs of their own; dist/ is rebuilt first, so the wheels are current.
BENCH_WHEEL_OUT := build/bench-wheel

.PHONY: bench-wheel
bench-wheel: dist
	@status=0; \
	while IFS= read -r py; do \
		ver=$$("$$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])'); \
		tag=cp$${ver/./}; \
		dev=$(VENVS)/bench-dev-py$$ver; \
		wheel=$(VENVS)/bench-wheel-py$$ver; \
		echo "==> bench-wheel with $$py ($$("$$py" --version 2>&1))"; \
		for venv in $$dev $$wheel; do \
			scripts/ensure-venv "$$py" $$venv; \
			$$venv/bin/python -m pip install --quiet pyperf==2.11.0; \
		done; \
		$$dev/bin/python -m pip install --quiet --config-settings=build-dir=$(BENCH_WHEEL_OUT)/gcc-{wheel_tag} \
			$(call cmake_defs,OFF) .; \
		$$wheel/bin/python -m pip install --quiet --force-reinstall --no-deps \
			$(DIST)/kelvane-*-$$tag-$$tag-manylinux*.whl; \
		$$wheel/bin/python bench/compare.py $$dev/bin/python $$wheel/bin/python --names dev wheel \
			--json $(BENCH_WHEEL_OUT)/py$$ver.json || status=1; \
	done <<<"$$(scripts/find-pythons)"; \
	exit $$status

clean:
	rm -rf $(VENVS) build _skbuild dist .pytest_cache .hypothesis compile_commands.json
