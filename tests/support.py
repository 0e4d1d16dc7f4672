"""Shared helpers for the tests: leak checks and fresh interpreters."""

import gc
import subprocess
import sys
import textwrap


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

    burst()  # warm caches: interned strings, codec lookups, method caches
    refs = [sys.getrefcount(a) for a in (*args, *kwargs.values())]
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(rounds):
        burst()
    gc.collect()
    grown = sys.getallocatedblocks() - before
    assert grown < 50, f"{grown} blocks left behind by {calls * rounds} calls"
    assert [sys.getrefcount(a) for a in (*args, *kwargs.values())] == refs


def run_python(code, *, env=None):
    """Run code in a fresh interpreter; returns the CompletedProcess (text mode)."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=300,
        env=env,
    )
