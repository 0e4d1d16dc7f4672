"""Runs the native fuzz targets one after another under libFuzzer (through atheris), with the
sanitizer runtime preloaded, and prints for each the executions, the edges of the extension
covered and any crash. Exits 1 if a target crashed, hung or a sanitizer reported.

    python tests/fuzz/run.py [--seconds 60 | --runs N] [--merge] [target ...]
    python tests/fuzz/run.py --seeds [target ...]      # rewrite the seeds from each SEEDS
    python tests/fuzz/run.py --repro FILE target       # one input, e.g. a saved crash

New inputs go to build/fuzz/corpus/<target>/; the committed corpus tests/fuzz/corpus/<target>/
is read, not written, unless --merge minimises both into it (the seeds kept). A crashing input
is saved as build/fuzz/artifacts/<target>-crash-<sha1> (or -timeout-, -oom-).
"""

import argparse
import importlib.util
import os
import pathlib
import re
import resource
import shutil
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent.parent
WORK = ROOT / "build" / "fuzz"
TARGETS = ["codec", "cipher", "rsa", "token"]
STACK = 256 << 20


def environment():
    """The extension needs libFuzzer and the ASan/UBSan runtime in the global namespace before
    it loads: atheris ships both linked into one library. Python's own allocator is bypassed so
    that ASan sees every object; pycryptodome's RTLD_DEEPBIND loading does not mix with ASan."""
    spec = importlib.util.find_spec("atheris")
    if spec is None:
        sys.exit("atheris is not installed: make fuzz-native installs it")
    preload = pathlib.Path(spec.submodule_search_locations[0]).parent / "asan_with_fuzzer.so"
    env = dict(os.environ)
    env.update(
        LD_PRELOAD=str(preload),
        PYTHONMALLOC="malloc",
        ASAN_OPTIONS="detect_leaks=0",
        UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1",
        PYCRYPTODOME_DISABLE_DEEPBIND="1",
    )
    symbolizer = shutil.which("llvm-symbolizer") or shutil.which("llvm-symbolizer-14")
    if symbolizer:
        env["ASAN_SYMBOLIZER_PATH"] = symbolizer
    return env


def big_stack():
    # Instrumented frames are large, and a str subclass whose encode is one of our functions
    # recurses to the interpreter's C recursion limit.
    _, hard = resource.getrlimit(resource.RLIMIT_STACK)
    soft = STACK if hard == resource.RLIM_INFINITY else min(STACK, hard)
    resource.setrlimit(resource.RLIMIT_STACK, (soft, hard))


def run(cmd, log, env):
    with open(log, "w") as out:
        return subprocess.run(
            cmd,
            stdout=out,
            stderr=subprocess.STDOUT,
            env=env,
            preexec_fn=big_stack,
            cwd=ROOT,
            check=False,
        ).returncode


def script(name):
    return [sys.executable, str(HERE / f"fuzz_{name}.py")]


STATUS = re.compile(r"^#(\d+)\s+\w+\s+cov: (\d+) ft: (\d+) corp: (\d+)/", re.M)
LOADED = re.compile(r"Loaded \d+ modules\s+\((\d+) inline 8-bit counters\)")
ARTIFACT = re.compile(r"Test unit written to (\S+)")
FAILURE = re.compile(
    r"ERROR: (AddressSanitizer|UndefinedBehaviorSanitizer|libFuzzer)|"
    r"runtime error:|=== Uncaught Python exception|Segmentation fault"
)


def stat(text, name):
    m = re.search(rf"^stat::{name}:\s+(\d+)", text, re.M)
    return int(m.group(1)) if m else 0


def fuzz(name, args, env):
    """One target for the time or the runs asked; returns (runs, crashed)."""
    scratch = WORK / "corpus" / name
    seeds = HERE / "corpus" / name
    artifacts = WORK / "artifacts"
    for d in (scratch, seeds, artifacts, WORK / "logs"):
        d.mkdir(parents=True, exist_ok=True)
    log = WORK / "logs" / f"{name}.log"
    limit = [f"-runs={args.runs}"] if args.runs else [f"-max_total_time={args.seconds}"]
    cmd = [
        *script(name),
        str(scratch),
        str(seeds),
        *limit,
        "-print_final_stats=1",
        f"-artifact_prefix={artifacts}/{name}-",
        "-timeout=30",
        "-rss_limit_mb=4096",
    ]
    start = time.monotonic()
    code = run(cmd, log, env)
    elapsed = time.monotonic() - start
    text = log.read_text(errors="replace")
    runs = stat(text, "number_of_executed_units")
    status = STATUS.findall(text)
    cov, ft, corp = status[-1][1:] if status else ("?", "?", "?")
    edges = LOADED.search(text)
    total = edges.group(1) if edges else "?"
    crashed = code != 0 or bool(FAILURE.search(text))
    print(
        f"{name:7} {runs:>10,} runs in {elapsed:5.0f} s ({runs / max(elapsed, 1e-9):7,.0f}/s)"
        f"  cov {cov}/{total} edges  ft {ft}  corpus {corp}  "
        f"{'CRASH' if crashed else 'no crash'}",
        flush=True,
    )
    if crashed:
        print("\n".join(text.splitlines()[-80:]))
        for artifact in ARTIFACT.findall(text):
            print(
                f"{name}: input saved as {artifact}; replay with "
                f"python tests/fuzz/run.py --repro {artifact} {name}"
            )
        print(f"{name}: full log {log} (exit status {code})", flush=True)
    return runs, crashed


def merge(name, env):
    """Minimises the committed corpus and the new inputs into the committed corpus (the
    smallest set with every feature, libFuzzer's set-cover merge), then writes the seeds back
    beside them, so that the suite's inputs stay in it whatever the merge kept."""
    corpus = HERE / "corpus" / name
    merged = WORK / "merged" / name
    shutil.rmtree(merged, ignore_errors=True)
    merged.mkdir(parents=True)
    log = WORK / "logs" / f"{name}-merge.log"
    found = WORK / "corpus" / name
    code = run(
        [*script(name), "-set_cover_merge=1", str(merged), str(corpus), str(found)], log, env
    )
    if code != 0:
        sys.exit(f"{name}: merge failed, see {log}")
    for old in corpus.iterdir():
        old.unlink()
    for new in merged.iterdir():
        shutil.copy(new, corpus / new.name)
    seeding = subprocess.run(
        [sys.executable, str(HERE / "seeds.py"), name], env=env, preexec_fn=big_stack, check=False
    )
    if seeding.returncode != 0:
        sys.exit(f"{name}: writing the seeds failed")
    print(f"{name}: corpus minimised to {len(list(corpus.iterdir()))} inputs, seeds included")


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("targets", nargs="*", help=f"of {', '.join(TARGETS)} (default: all)")
    parser.add_argument("--seconds", type=int, default=60, help="per target")
    parser.add_argument("--runs", type=int, help="per target, instead of a time")
    parser.add_argument("--merge", action="store_true", help="minimise into the committed corpus")
    parser.add_argument("--seeds", action="store_true", help="rewrite the seeds and stop")
    parser.add_argument("--repro", metavar="FILE", help="run one input of one target")
    args = parser.parse_args()
    targets = args.targets or TARGETS
    if set(targets) - set(TARGETS):
        parser.error(f"unknown target: {', '.join(sorted(set(targets) - set(TARGETS)))}")
    env = environment()
    WORK.mkdir(parents=True, exist_ok=True)

    if args.seeds:
        return subprocess.run(
            [sys.executable, str(HERE / "seeds.py"), *targets],
            env=env,
            preexec_fn=big_stack,
            check=False,
        ).returncode
    if args.repro:
        return subprocess.run(
            [*script(targets[0]), str(pathlib.Path(args.repro).resolve())],
            env=env,
            preexec_fn=big_stack,
            check=False,
        ).returncode

    total, failed = 0, []
    start = time.monotonic()
    for name in targets:
        runs, crashed = fuzz(name, args, env)
        total += runs
        if crashed:
            failed.append(name)
        elif args.merge:
            merge(name, env)
    print(
        f"fuzz-native: {total:,} runs over {len(targets)} targets in "
        f"{time.monotonic() - start:.0f} s; "
        f"{'crashed: ' + ', '.join(failed) if failed else 'no crash'}"
    )
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
