"""Shared helpers for the tests: leak checks and fresh interpreters."""

import gc
import subprocess
import sys
import textwrap
from pathlib import Path

# The same class in plain Python, step for step: the reference the module must agree with.
PLAIN = Path(__file__).resolve().parent / "plain.py"


def assert_no_leak(fn, *args, calls=2000, rounds=4, **kwargs):
    """Call fn many times (returning or raising) and check nothing accumulates.

    Allocated blocks must stay flat across rounds and every argument's reference count
    must be back where it started.
    """

    def burst():
        for _ in range(calls):
            try:
                fn(*args, **kwargs)
            except Exception:
                pass

    def refs():
        return [sys.getrefcount(a) for a in (*args, *kwargs.values())]

    burst()  # warm caches: interned strings, codec lookups, method caches
    gc.collect()  # cycles left by earlier tests may still hold the arguments
    start = refs()
    # Free lists and caches inside the libraries fill in jumps of a few hundred blocks while a
    # process settles; a real leak of one block per call grows by thousands in every attempt.
    for _attempt in range(3):
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(rounds):
            burst()
        gc.collect()
        grown = sys.getallocatedblocks() - before
        if grown < 50:
            break
    assert grown < 50, f"{grown} blocks left behind by {calls * rounds} calls"
    assert refs() == start


def run_python(code, *, env=None):
    """Run code in a fresh interpreter; returns the CompletedProcess (text mode)."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=300,
        env=env,
    )
