# make        the same as `make check`
# make demo   build and install kelvane with the newest Python >= 3.12, run the
#             examples (the serial one against pyserial's loop://)
# make check  the everyday check: build kelvane for the newest Python >= 3.12
#             found, incrementally and in place, and run the tests not marked
#             slow, with fewer differential examples (a minute or less); needs
#             no root and no Debian root
# make test   the full gate (as root): lint; `make dist`; each x86_64 wheel
#             in a fresh venv through the whole suite, stubtest and mypy
#             --strict on this machine's Pythons and on the Debian amd64
#             root's 3.13, 3.14 and 3.15; the whole suite on the root's debug
#             3.14 against a build of the tree; the quick tests on the aarch64
#             wheels in the arm64 root under qemu-user (in the background);
#             then `make sanitize`, `make core-test`, `make cross-core`,
#             `make cibuildwheel-check`
# make dist   the release into dist/: the sdist and, for CPython 3.12 to 3.15,
#             a manylinux2014 wheel each for x86_64 and aarch64, built from it
#             with zig, checked with auditwheel and twine (scripts/dist); all
#             or nothing
# make roots  the Debian roots with CPython 3.13, 3.14 (and its debug build)
#             and 3.15 for amd64 and arm64 (scripts/debian-root), made once
#             per machine outside the clone; `make test` and `make dist` make
#             what they need themselves
# make core-test  the packet core alone (no Python), built natively and run:
#             fails if a worked example comes out wrong, or if a payload kind
#             without its command code or encoder compiles (scripts/core-test);
#             part of `check` and `test`
# make cross-core  the packet core alone, built for aarch64 and s390x (big-
#             endian) and run under qemu-user, against the native build's
#             packets (scripts/cross-core; installs its tools when root)
# make cibuildwheel-check  pyproject.toml's hosted-CI section: the builds it
#             selects, its toolchain settings, and its test command run as in
#             an image (scripts/cibuildwheel-check)
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
.DEFAULT_GOAL := check

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
	scripts/core-test; \
	scripts/ensure-venv "$$py" $(CHECK_VENV); \
	$(CHECK_VENV)/bin/python scripts/install-build-deps; \
	$(CHECK_VENV)/bin/python -m pip install --quiet --no-build-isolation \
		--config-settings=build-dir=build/check-{wheel_tag} $(call cmake_defs,$(or $(WERROR),ON)) '.[test,serial]'; \
	KELVANE_FUZZ_SCALE=$(CHECK_FUZZ_SCALE) $(CHECK_VENV)/bin/python -m pytest tests -q -m 'not slow'

.PHONY: dist core-test cross-core roots

dist:
	@WERROR=$(or $(WERROR),ON) scripts/dist $(DIST)

core-test:
	@scripts/core-test

cross-core:
	@scripts/cross-core

roots:
	@scripts/debian-root amd64
	@scripts/debian-root arm64

# The hosted-CI section of pyproject.toml cannot run here (no containers);
# scripts/cibuildwheel-check checks its builds, its toolchain settings and its
# test command, as the images would run it.
.PHONY: cibuildwheel-check
cibuildwheel-check:
	@scripts/cibuildwheel-check

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

# The test matrix. Each interpreter gets its wheel from `make dist` (built
# from the sdist, so the sdist is shown to build from scratch, and tested as
# shipped) in a fresh venv with nothing but that wheel and the test tools
# (scripts/test-python): this machine's Pythons and the Debian amd64 root's
# 3.13, 3.14 and 3.15 run the whole suite, stubtest and mypy --strict; the
# root's debug 3.14 runs the whole suite against a build of this tree. The
# arm64 root runs the quick tests on the aarch64 wheels under qemu-user, in
# the background from the start (it is made there too, on a new machine), so
# that it overlaps the rest; its log is build/test-arm64.log. Emulation is
# slow: 3.14 runs the tests not marked slow at a twentieth of the differential
# examples, 3.13 and 3.15 those less the differential tests.
ROOT_PYTHONS := /usr/bin/python3.13 /usr/bin/python3.14 /usr/bin/python3.15
ARM_QUICK_PYTHON := /usr/bin/python3.14
ARM_LOG      := build/test-arm64.log

test: export KELVANE_REQUIRE_TOOLS := 1
test: tools debug-tools
	@failed=(); mkdir -p build; rm -f build/.dist-done; \
	( scripts/debian-root arm64 && $(MAKE) --no-print-directory wait-dist \
		&& for py in $(ROOT_PYTHONS); do \
			tag=cp$$(basename $$py | tr -d python.); \
			scripts/test-python arm64 $$py $$(ls $(DIST)/kelvane-*-$$tag-$$tag-manylinux*_aarch64.whl) \
				$$([ $$py = $(ARM_QUICK_PYTHON) ] && echo quick || echo core) || exit 1; \
		done ) >$(ARM_LOG) 2>&1 & arm=$$!; \
	$(MAKE) --no-print-directory lint || failed+=("lint"); \
	$(MAKE) --no-print-directory dist || failed+=("dist"); touch build/.dist-done; \
	if [ -d $(DIST) ]; then \
		while IFS= read -r py; do \
			tag=$$("$$py" -c 'import sys; print("cp%d%d" % sys.version_info[:2])'); \
			scripts/test-python host "$$py" $$(ls $(DIST)/kelvane-*-$$tag-$$tag-manylinux*_x86_64.whl) || failed+=("$$py"); \
		done <<<"$$(scripts/find-pythons)"; \
		for py in $(ROOT_PYTHONS); do \
			tag=cp$$(basename $$py | tr -d python.); \
			scripts/test-python amd64 $$py $$(ls $(DIST)/kelvane-*-$$tag-$$tag-manylinux*_x86_64.whl) || failed+=("$$py"); \
		done; \
	fi; \
	scripts/test-python amd64 /usr/bin/python3.14d source || failed+=("python3.14d"); \
	$(MAKE) --no-print-directory sanitize || failed+=("sanitize"); \
	$(MAKE) --no-print-directory core-test || failed+=("core-test"); \
	$(MAKE) --no-print-directory cross-core || failed+=("cross-core"); \
	$(MAKE) --no-print-directory cibuildwheel-check || failed+=("cibuildwheel-check"); \
	echo "==> waiting for the arm64 tests ($(ARM_LOG))"; \
	if wait $$arm; then grep -h '^==> Python' $(ARM_LOG); else tail -n 40 $(ARM_LOG); failed+=("arm64"); fi; \
	if [ $${#failed[@]} -ne 0 ]; then \
		echo "==> FAILED: $${failed[*]}" >&2; \
		exit 1; \
	fi

# The arm64 tests wait for make test's `make dist` to finish, or fail.
# (A failed dist leaves no wheel, and the arm64 tests then fail at once.)
.PHONY: wait-dist
wait-dist:
	@while [ ! -e build/.dist-done ]; do sleep 5; done

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
			flock /var/lock/kelvane-apt.lock bash -c 'apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
				apt-get install -y -qq -o DPkg::Lock::Timeout=600 "$$@"' apt $$missing >/dev/null; \
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
# The x86_64 Pythons of the test matrix: this machine's, then the Debian
# amd64 root's that it lacks. Each runs the one-Python target where it lives.
ROOT_BENCH_PYTHONS := /usr/bin/python3.14 /usr/bin/python3.15
define each_bench_python
	@status=0; \
	while IFS= read -r py; do \
		$(MAKE) --no-print-directory $(1) BENCH_PY="$$py" || status=1; \
	done <<<"$(or $(PYTHON),$$(scripts/find-pythons))"; \
	if [ -z "$(PYTHON)" ]; then \
		scripts/debian-root amd64; \
		for py in $(ROOT_BENCH_PYTHONS); do \
			scripts/in-root amd64 $(MAKE) --no-print-directory $(1) BENCH_PY="$$py" || status=1; \
		done; \
	fi; \
	exit $$status
endef

.PHONY: bench bench-one bench-wheel bench-wheel-one
bench:
	$(call each_bench_python,bench-one)

bench-one:
	@py=$(BENCH_PY); \
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
		$(if $(QUICK),--quick,--readme docs/performance.md)

# Instructions per call of each x86_64 manylinux wheel against the GCC
# development build (`pip install .`, as make bench builds it), both on the
# wheel's Python, in venvs of their own; dist/ is rebuilt first, so the wheels
# are current.
BENCH_WHEEL_OUT := build/bench-wheel

bench-wheel: dist
	$(call each_bench_python,bench-wheel-one)

bench-wheel-one:
	@py=$(BENCH_PY); \
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
		$(DIST)/kelvane-*-$$tag-$$tag-manylinux*_x86_64.whl; \
	$$wheel/bin/python bench/compare.py $$dev/bin/python $$wheel/bin/python --names dev wheel \
		--json $(BENCH_WHEEL_OUT)/py$$ver.json

clean:
	rm -rf $(VENVS) build _skbuild dist .pytest_cache .hypothesis compile_commands.json
