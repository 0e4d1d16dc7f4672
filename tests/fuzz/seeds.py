"""Writes each native fuzz target's seeds, the test suite's inputs that its SEEDS describe, into
tests/fuzz/corpus/<target>/, each checked by decoding it as the fuzzer will. Run it through
run.py, which sets up the fuzzing build's environment:

    python tests/fuzz/run.py --seeds [codec cipher rsa token]
"""

import importlib
import pathlib
import sys

import harness

HERE = pathlib.Path(__file__).resolve().parent
TARGETS = ["codec", "cipher", "rsa", "token"]


def main(names):
    import atheris  # only here, so that this module imports without it

    for name in names or TARGETS:
        target = importlib.import_module(f"fuzz_{name}")
        directory = HERE / "corpus" / name
        count = harness.write_seeds(
            directory, target.SEEDS, target.METHODS, target.GLOBALS, atheris.FuzzedDataProvider
        )
        print(f"{name}: {count} seeds in {directory}")


if __name__ == "__main__":
    main(sys.argv[1:])
