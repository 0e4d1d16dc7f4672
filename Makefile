# A newcomer's entry points: `make demo` and `make test` set up everything from scratch.
SHELL := /bin/bash
.DEFAULT_GOAL := test

VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check -q
WHEELS := build/wheels

.PHONY: demo test wheel install install-test bench bench-callgrind clean

$(VENV)/.created:
	@python=$$(tools/find-python) && "$$python" -m venv $(VENV)
	$(PIP) install --upgrade pip
	$(PIP) install "scikit-build-core>=0.10"
	@touch $@

# The extension, built incrementally in build/ and packed as the wheel users install.
wheel: $(VENV)/.created
	@rm -rf $(WHEELS)
	$(PIP) wheel --no-build-isolation --no-deps -w $(WHEELS) .

install: wheel
	$(PIP) install $(WHEELS)/crypt_main-*.whl
	$(PIP) install --force-reinstall --no-deps $(WHEELS)/crypt_main-*.whl

install-test: wheel
	$(PIP) install "$$(ls $(WHEELS)/crypt_main-*.whl)[test]"
	$(PIP) install --force-reinstall --no-deps $(WHEELS)/crypt_main-*.whl

demo: install
	$(PY) examples/demo.py

test: install-test
	$(PY) -m pytest $(PYTEST_ARGS)

# Wall time per call; BENCH_ARGS takes --quick, --filter REGEX, --json PATH, --callgrind.
bench: install
	$(PY) bench/bench.py $(BENCH_ARGS)

# Adds instructions per call, counted under valgrind's callgrind (apt-get install valgrind).
bench-callgrind: install
	$(PY) bench/bench.py --callgrind $(BENCH_ARGS)

clean:
	rm -rf build $(VENV) .pytest_cache .hypothesis
