# make demo   build and install kelvane with the newest Python >= 3.12, run the demo
# make test   build, install and run the test suite with every Python >= 3.12 found
# make clean  remove virtual environments and build trees
#
# Options: WERROR=ON|OFF (test default ON, demo default OFF), SANITIZE=ON|OFF.

SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
.DEFAULT_GOAL := test

VENVS    := .venv
SANITIZE ?= OFF

export PIP_DISABLE_PIP_VERSION_CHECK := 1
export PIP_NO_INPUT := 1

# pip options that pass the CMake switches to the build backend.
cmake_defs = --config-settings=cmake.define.KELVANE_WERROR=$(1) \
             --config-settings=cmake.define.KELVANE_SANITIZE=$(SANITIZE)

.PHONY: demo test clean

demo:
	@py=$$(scripts/find-pythons | tail -n 1); \
	venv=$(VENVS)/demo; \
	echo "==> demo with $$py ($$("$$py" --version 2>&1))"; \
	scripts/ensure-venv "$$py" "$$venv"; \
	"$$venv/bin/python" -m pip install $(call cmake_defs,$(or $(WERROR),OFF)) .; \
	"$$venv/bin/python" examples/demo.py

test:
	@pythons=$$(scripts/find-pythons); \
	failed=(); \
	while IFS= read -r py; do \
		ver=$$("$$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])'); \
		venv=$(VENVS)/py$$ver; \
		echo "==> testing with $$py ($$("$$py" --version 2>&1))"; \
		if scripts/ensure-venv "$$py" "$$venv" \
			&& "$$venv/bin/python" -m pip install $(call cmake_defs,$(or $(WERROR),ON)) '.[test]' \
			&& "$$venv/bin/python" -m pytest tests -q; then :; \
		else \
			failed+=("$$ver"); \
		fi; \
	done <<<"$$pythons"; \
	if [ $${#failed[@]} -ne 0 ]; then \
		echo "==> FAILED with Python $${failed[*]}" >&2; \
		exit 1; \
	fi

clean:
	rm -rf $(VENVS) build _skbuild dist .pytest_cache .hypothesis compile_commands.json
