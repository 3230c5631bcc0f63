# make        the same as `make check`
# make demo   build kelvane with the newest Python >= 3.12 and run the
#             examples (the serial one against pyserial's loop://)
# make check  the everyday check, newest Python: the packet core, an
#             incremental in-place build, the tests not marked slow with
#             fewer differential examples, the stubs; needs no root
# make test   the full gate (as root): the lanes below, two at a time, each
#             logging to build/logs/<lane>.log and printing one line
# make dist   the release into dist/: the sdist and, for CPython 3.12 to 3.15,
#             a manylinux2014 wheel each for x86_64 and aarch64; all or nothing
# make docs   the HTML documentation site into build/docs/html
# make roots  the Debian roots (amd64, arm64) that hold the newer CPythons,
#             made once per machine outside the clone
# make core-test  the packet core alone (no Python), built natively
# make cross-core  the packet core built for aarch64 and s390x, under qemu-user
# make cibuildwheel-check  pyproject.toml's hosted-CI section, as an image runs it
# make sanitize  the whole suite against an ASan and UBSan build
# make memcheck  the valgrind memcheck test alone
# make coverage  the whole suite against a --coverage build, gcovr's figures
# make lint   ruff and clang-format checks; make format applies them
# make compile_commands.json   compile database for clangd
# make bench  benchmarks on every x86_64 Python of the matrix (or PYTHON=...)
#             into docs/performance.md; QUICK=1 for a rough look
# make bench-wheel  each x86_64 wheel against the GCC build, per Python
# make clean  remove virtual environments and build trees
#
# Every target is a script in scripts/, which says more.
# Options: WERROR=ON|OFF (check, test: ON; demo: OFF), SANITIZE=ON|OFF.

SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
.DEFAULT_GOAL := check

export WERROR SANITIZE QUICK
export PIP_DISABLE_PIP_VERSION_CHECK := 1
export PIP_NO_INPUT := 1
# One more level of quiet for every pip run: `--quiet` then leaves errors only
# (a failed build still shows its compiler output), not the warnings a
# machine's own pip configuration can give on every install.
export PIP_QUIET := 1

.PHONY: demo check dist docs roots core-test cross-core cibuildwheel-check sanitize memcheck coverage \
        lint format tools debug-tools bench bench-wheel clean test

demo:               ; @scripts/demo
check:              ; @scripts/check
dist:               ; @scripts/dist dist
docs:               ; @scripts/docs-site build
core-test:          ; @scripts/core-test
cross-core:         ; @scripts/cross-core
cibuildwheel-check: ; @scripts/cibuildwheel-check
sanitize:           ; @scripts/sanitize
coverage: debug-tools ; @scripts/coverage
lint:               ; @scripts/lint
format:             ; @scripts/lint --fix
tools:              ; @scripts/lint --tools-only
bench:              ; @scripts/bench $(PYTHON)
bench-wheel: dist   ; @scripts/bench --wheel $(PYTHON)
roots:
	@scripts/debian-root amd64
	@scripts/debian-root arm64

# valgrind for the memcheck test, and gdb, which the allocation-failure sweep
# runs a crashed child under to tell the interpreter's crashes from the module's.
debug-tools:
	@command -v valgrind >/dev/null && command -v gdb >/dev/null || (source scripts/lib.sh && apt_install valgrind gdb) \
		|| echo "==> the memcheck test and crash triage need valgrind and gdb" >&2
memcheck: debug-tools
	@scripts/memcheck

compile_commands.json:
	@cmake -S . -B build/clangd -DPython_EXECUTABLE="$$(scripts/find-pythons | tail -n 1)" \
		-DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
	@ln -sf build/clangd/compile_commands.json $@

clean:
	rm -rf .venv build _skbuild dist .pytest_cache .hypothesis compile_commands.json

# The gate. Each interpreter of the matrix is a lane of its own
# (scripts/test-python): this machine's Pythons and the Debian amd64 root's
# run the whole suite and the stub checks on their x86_64 wheel from make
# dist; the root's debug 3.14 runs the whole suite on a build of the tree,
# with a quarter of the property tests' examples, as under the sanitizers;
# the arm64 root runs, under qemu-user, the tests not marked slow on the
# aarch64 wheels, at a twentieth of the property tests' examples (3.13 and
# 3.15 without the differential ones). Lanes run two at a time, the longest first and
# the few-second ones last, to fill the end; a lane waits only for what it needs (the
# wheels, the roots).
ROOT_VERSIONS := 3.13 3.14 3.15
HOST_PYTHONS  := $(if $(filter test lanes,$(MAKECMDGOALS)),$(shell scripts/find-pythons))
LANES          = dist amd64-root arm64-root debug sanitize arm64-3.14 arm64-3.15 arm64-3.13 index-rehearsal \
                 cibuildwheel-check $(addprefix amd64-,$(ROOT_VERSIONS)) docs \
                 $(foreach py,$(HOST_PYTHONS),host-$(subst python,,$(notdir $(py)))) core-test lint cross-core
lane            = @scripts/lane $(patsubst lane-%,%,$@)

test: export KELVANE_REQUIRE_TOOLS := 1
test: debug-tools
	@rm -rf build/logs
	@$(MAKE) --no-print-directory -j2 -k lanes HOST_PYTHONS="$(HOST_PYTHONS)" || true
	@scripts/lane --summary $(LANES)

# (Not .PHONY: make would not look for the pattern rules then. No lane
# makes a file of its name, so each runs every time.)
.PHONY: lanes
lanes: $(addprefix lane-,$(LANES))

lane-lint:               ; $(lane) scripts/lint
lane-dist:               ; $(lane) scripts/dist dist
lane-amd64-root:         ; $(lane) scripts/debian-root amd64
lane-arm64-root:         ; $(lane) scripts/debian-root arm64
lane-debug: lane-amd64-root ; $(lane) env KELVANE_FUZZ_SCALE=0.25 scripts/test-python amd64 /usr/bin/python3.14d source
lane-sanitize:           ; $(lane) scripts/sanitize
lane-core-test:          ; $(lane) scripts/core-test
lane-cross-core:         ; $(lane) scripts/cross-core
lane-docs:               ; $(lane) scripts/docs-site check
lane-arm64-3.14: lane-dist lane-arm64-root ; $(lane) scripts/test-python arm64 /usr/bin/python3.14 dist quick
lane-arm64-%: lane-dist lane-arm64-root    ; $(lane) scripts/test-python arm64 /usr/bin/python$* dist core
lane-amd64-%: lane-dist  ; $(lane) scripts/test-python amd64 /usr/bin/python$* dist
lane-host-%: lane-dist   ; $(lane) scripts/test-python host $(filter %/python$*,$(HOST_PYTHONS)) dist
lane-cibuildwheel-check: lane-dist ; $(lane) scripts/cibuildwheel-check
lane-index-rehearsal: lane-dist lane-arm64-root ; $(lane) scripts/index-rehearsal dist
