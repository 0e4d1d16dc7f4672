#!/usr/bin/env python3
"""Mutation testing of the extension: how many planted faults does the suite catch?

A mutant is one small change to a function body under src/ (clang-format puts a definition's
brace on a line of its own): a line rewritten by one of RULES, an `if` that leaves with an error
dropped, or two adjacent statements swapped. Each is built in a git worktree of its own, by CMake
configured as the wheel build is, and the suite runs against it with -x, fast files first. Not
viable: it does not compile; equivalent: its stripped module is the unmutated one byte for byte,
or it is marked; killed: a test failed, the interpreter crashed or the run timed out. Kill rate
= killed / (killed + survived). A mark follows the line a mutant changes (a swap: its first line),
or stands on a line of its own before it where it would not fit, and may name operators or classes,
or `op=text` the mutant brings in; one that matches no mutant fails --list and every run:
`Py_CLEAR(f->name);  // mutate: equivalent (interned: immortal)`.

The suite runs in this file's venv, the worker's build first on PYTHONPATH (in a directory named
site-packages, which the embedding tests pass on), so child interpreters load the mutant too.
Tested: HEAD and the uncommitted changes to tracked files. Results are kept in
build/mutate/cache.json by the stripped module built and the tests/ tree, so a run resumes and
survives edits that leave both alone (a comment, a mark). For example: --list (checks the
marks too), --sample 200 --seed 1 (the classes in turn), --files cipher/ --ops swap,codec -j 2.
"""

from __future__ import annotations

import argparse
import collections
import concurrent.futures
import contextlib
import dataclasses
import hashlib
import json
import os
import pathlib
import random
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
import xml.etree.ElementTree as ET

ROOT = pathlib.Path(__file__).resolve().parent.parent
OUT = ROOT / "build" / "mutate"
CONFIGURE = ["-DCMAKE_BUILD_TYPE=Release", "-DCM_WERROR=ON"]  # as the wheel build is
CLASSES = ("compare", "swap", "refcount", "errcheck", "codec", "keyword", "constant")
COND = r"((?:[^()]|\((?:[^()]|\([^()]*\))*\))+)"  # balanced, parentheses two deep
DECL = r"[\w:]+[*&]* [*&]?\w+ = "  # `if (T* x = f())` declares
FREE = r"(?<![\w.>:])"  # a free function, not a member or a qualified name
ARG = r"(?:[^(),]|\([^()]*\))+"  # one argument of a call
FLIP = {"<": ["<=", ">"], ">": [">=", "<"], "<=": ["<"], ">=": [">"], "==": ["!="], "!=": ["=="]}


def others(*forms: str):
    return lambda s: [f for f in forms if f != s]


def off_by_one(s: str) -> list[str]:
    if s[0] == "'":  # a character
        near = (chr(ord(s[1]) + 1), chr(ord(s[1]) - 1))
        return [f"'{c}'" for c in near if c.isprintable() and c not in "'\\"]
    hexa = s[:2] in ("0x", "0X")
    n = int(s, 16 if hexa else 10)
    return [f"0x{v:0{len(s) - 2}X}" if hexa else str(v) for v in (n + 1, n - 1) if v >= 0]


# (class, operator, pattern, replacement): the pattern sees the code of a line with its strings
# blanked (but "literal"); the replacement is a template (\1 for a group) or a function of the
# text matched that returns the replacements. None: another keyword tuple of as many names.
# fmt: off
RULES = [
    ("compare", "cmp", r"(?<= )(?:[<>]=?|[=!]=)(?= )", FLIP.get),
    ("compare", "logic", r"(?<= )(?:&&|\|\|)(?= )", others("&&", "||")),
    ("compare", "not-drop", r"!(?!=)", ""),
    ("compare", "not-add", rf"(?<=\bif \()(?!{DECL}|!){COND}(?=\))", r"!(\1)"),
    ("refcount", "incref-drop", r"\bPy_X?NewRef(?=\()", ""),
    ("refcount", "ref-drop", r"\b(?:Py_X?(?:IN|DE)CREF|Py_CLEAR|decref)\((.*?)\);", r"(void)(\1);"),
    ("refcount", "borrow-steal", r"(?<=\bRef::)(?:borrow|steal)\b", others("borrow", "steal")),
    ("refcount", "release-kept", r"(?<=[.>])release(?=\(\))", "get"),
    ("errcheck", "ok-drop", FREE + r"ok(?=\()", "(void)"),
    ("errcheck", "own-drop", FREE + r"own(?=\()", "Ref::steal"),
    ("codec", "enc-form", r"\bEnc::\w+", others("Enc::Default", "Enc::Utf8", "Enc::Utf8Kw")),
    ("codec", "gbk-utf8", FREE + r"encode\((\w+), Enc::\w+\)", r"encode_gbk(\1)"),
    ("codec", "gbk-utf8", FREE + r"encode_gbk\((\w+)\)", r"encode(\1, Enc::Utf8)"),
    ("codec", "gbk-utf8", FREE + r"decode(?:_gbk)?(?=\()", others("decode", "decode_gbk")),
    ("codec", "name", r"(?<=\bN\.)(?:utf_8|gbk)\b", others("utf_8", "gbk")),
    ("codec", "literal", r'"(?:utf-8|gbk)"', others('"utf-8"', '"gbk"')),
    ("codec", "fast-path", rf"\bPyUnicode_AsUTF8String\(({ARG})\)",
     r'PyUnicode_AsEncodedString(\1, "gbk", nullptr)'),
    ("codec", "fast-path", rf"\bPyUnicode_DecodeUTF8\(({ARG}), ({ARG}), nullptr\)",
     r'PyUnicode_Decode(\1, \2, "gbk", nullptr)'),
    ("keyword", "kw-drop", r", N\.kw_\w+(?=\))", ""),
    ("keyword", "kw-swap", r"(?<=\bN\.)kw_\w+", None),
    ("constant", "bool", r"\b(?:true|false)\b", others("true", "false")),
    ("constant", "int", r"(?<![\w.'\\<])(?:0[xX][0-9a-fA-F]+|\d+)(?=[uUlL]*(?![\w.]))", off_by_one),
    ("constant", "char", r"'[^'\\]'", off_by_one),
]
# fmt: on
LITERAL = re.compile(r'"(?:\\.|[^"\\])*"|\'(?:\\.|[^\'\\])+\'')
MARK = re.compile(r"//\s*mutate:(.*)")
MARK_FORM = re.compile(r"\s*equivalent(?:\s+([^\s(][^(]*?))?\s+\((.+)\)\s*")
NORETURN = re.compile(r"\[\[[^\]]*\bnoreturn\b[^\]]*\]\]\s*(?:inline\s+)?\w+\s+(\w+)\s*\(")
KW_TUPLE = re.compile(r"\bn\.(kw_\w+) = names_tuple\(\{([^}]*)\}\)")
ONE_LINE_BODY = re.compile(r"^\s*[^\s=;{}(][^=;{}]*\)[\w\s()]*\{ (.*) \}$")
# What starts no statement a swap may move: a jump, a label, a brace, a directive.
NOT_MOVABLE = r"(?:return|throw|break|continue|goto|Py_RETURN_\w+|try|catch|case|default|else"
NOT_MOVABLE += r"|if constexpr|static_assert)\b|[{}#]|\w+:(?!:)"
GUARD = re.compile(rf"\s*if \((?!{DECL}){COND}\)")
DECLARES = re.compile(r"\s*(?:auto\s*&?\s*\[([\w, ]+)\]|\w[\w:<>,*& ]*?\s+[*&]?(\w+)\s*[=({;])")


@dataclasses.dataclass(frozen=True)
class Mutant:
    path: str
    line: int  # index of the first line changed
    klass: str
    op: str
    old: tuple[str, ...]
    new: tuple[str, ...]

    @property
    def key(self) -> str:
        return hashlib.sha1(json.dumps([self.path, self.line, self.new]).encode()).hexdigest()

    def where(self) -> str:
        return f"{self.path}:{self.line + 1} [{self.klass}/{self.op}]"

    def diff(self) -> str:
        pairs = [("-", x) for x in self.old] + [("+", x) for x in self.new]
        return "\n".join(f"  {sign} {' '.join(x.split())}" for sign, x in pairs)

    def apply(self, text: str) -> str:
        lines = text.split("\n")
        assert tuple(lines[self.line : self.line + len(self.old)]) == self.old, self.where()
        return "\n".join(lines[: self.line] + list(self.new) + lines[self.line + len(self.old) :])


def split(line: str) -> tuple[str, str, str]:
    """The code of a line, the same with its string literals blanked, and its comment."""
    blank = LITERAL.sub(lambda m: m[0] if m[0][0] == "'" else f'"{"_" * (len(m[0]) - 2)}"', line)
    cut = blank.find("//") % (len(line) + 1)  # no comment (-1): the whole line
    return line[:cut].rstrip(), blank[:cut].rstrip(), line[cut:]


def bodies(lines: list[str]) -> list[list[tuple[int, int]]]:
    """Per function body, its lines as (index, column where the body starts on that line)."""
    found, current, indent = [], None, ""
    for i, line in enumerate(lines):
        if current is None and line.strip() == "{":
            current, indent = [], line[: len(line) - len(line.lstrip())]
        elif current is not None and line == indent + "}":
            found, current = [*found, current], None
        elif current is not None:
            current.append((i, 0))
        elif m := ONE_LINE_BODY.match(split(line)[0]):
            found.append([(i, m.start(1))])
    return found


def rewrites(path: str, lines: list[str], body: list[tuple[int, int]], rules) -> list[Mutant]:
    out = []
    for i, start in body:
        code, blank, _ = split(lines[i])
        for klass, op, rx, repl in rules:
            for m in rx.finditer(code if op == "literal" else blank, start):
                groups = [code[m.start(g) : m.end(g)] for g in range(rx.groups + 1)]
                expand = lambda g, groups=groups: groups[int(g[1])]  # noqa: E731
                subs = repl(groups[0]) if callable(repl) else [re.sub(r"\\(\d)", expand, repl)]
                for sub in subs:
                    new = lines[i][: m.start()] + sub + lines[i][m.end() :]
                    out.append(Mutant(path, i, klass, op, (lines[i],), (new,)))
    return out


def statements(path: str, lines: list[str], body: list[int], stops, exits) -> list[Mutant]:
    """Adjacent statements of one indentation swapped; an `if` that leaves with an error dropped."""
    codes = {i: split(lines[i])[1] for i in body}
    indent = {i: len(c) - len(c.lstrip()) for i, c in codes.items()}

    def statement(i: int) -> int | None:
        """The last line of a statement starting on line i, its braced blocks included."""
        if not codes[i].strip() or stops.match(codes[i].strip()):
            return None
        end = k = i
        depth = codes[i].count("{") - codes[i].count("}")
        while k + 1 in codes:
            k, code = k + 1, codes[k + 1].strip()
            if code and indent[k] <= indent[i] and depth <= 0 and not code.startswith("else"):
                break
            depth += code.count("{") - code.count("}")
            end = k if code else end
        return end if codes[end].endswith((";", "}")) else None

    out = []
    for i in body:
        x = statement(i)
        if x is None:
            continue
        unit = " ".join(codes[k] for k in range(i, x + 1))
        m = GUARD.match(unit)
        if m and exits.search(unit[m.end() :]) and not re.search(r"\belse\b", unit):
            new = " " * indent[i] + f"(void)({lines[i][m.start(1) : m.end(1)]});"
            out.append(Mutant(path, i, "errcheck", "guard-drop", tuple(lines[i : x + 1]), (new,)))
        j = next((k for k in range(x + 1, body[-1] + 1) if codes[k].strip()), None)
        y = statement(j) if j is not None and indent[j] == indent[i] else None
        d = DECLARES.match(codes[i])
        used = set(re.findall(r"\w+", " ".join(codes[k] for k in range(j, y + 1)))) if y else set()
        if y is None or set(re.findall(r"\w+", (d[1] or d[2]) if d else "")) & used:
            continue  # no second statement, or it uses what the first declares
        new = (*lines[j : y + 1], *lines[x + 1 : j], *lines[i : x + 1])
        out.append(Mutant(path, i, "swap", "swap", tuple(lines[i : y + 1]), new))
    return out


def generate(texts: dict[str, str]) -> tuple[list[Mutant], dict[Mutant, str], list[str]]:
    """Every mutant of the sources, the reasons of those marked, and what is wrong with marks."""
    joined = "\n".join(texts.values())
    noreturn = "|".join(sorted(set(NORETURN.findall(joined)))) or "$^"
    arity = {k: len(names.split(",")) for k, names in KW_TUPLE.findall(joined)}
    same = {k: [o for o in arity if o != k and arity[o] == arity[k]] for k in arity}
    kw_swap = collections.defaultdict(list, same).__getitem__  # a tuple of as many names
    rules = [(k, op, re.compile(rx), kw_swap if r is None else r) for k, op, rx, r in RULES]
    stops = re.compile(rf"{NOT_MOVABLE}|(?:{noreturn})\(")
    exits = re.compile(rf"\bthrow\b|\breturn (?:nullptr|-1);|\b(?:{noreturn})\(")
    mutants, marks, problems = [], {}, []
    for path, text in texts.items():
        lines, mine = text.split("\n"), []
        for body in bodies(lines):
            mine += rewrites(path, lines, body, rules)
            mine += statements(path, lines, [i for i, start in body if start == 0], stops, exits)
        mine = sorted({m.key: m for m in mine}.values(), key=lambda m: m.line)  # each once
        mutants += mine
        for i, line in enumerate(lines):
            code, _, comment = split(line)
            mark, at = MARK.search(comment), i if code.strip() else i + 1
            form = mark and MARK_FORM.fullmatch(mark[1])
            hits = [m for m in mine if form and m.line == at and names(form[1] or "*", m)]
            if mark and not hits:
                why = "matches no mutant" if form else "is not `// mutate: equivalent [ops] (why)`"
                problems.append(f"{path}:{i + 1}: the mark {why}: {line.strip()}")
            marks |= dict.fromkeys(hits, form and form[2])
    return mutants, marks, problems


def names(selectors: str, m: Mutant) -> bool:
    """Whether a mark's selectors name m: each an operator or class, or `op=text it brings in`."""
    new, old = ("\n".join(split(x)[0] for x in lines) for lines in (m.new, m.old))
    for op, _, text in (s.strip().partition("=") for s in selectors.split(",")):
        if op in (m.op, m.klass, "*") and (not text or (text in new and text not in old)):
            return True
    return False


def select(mutants: list[Mutant], args: argparse.Namespace) -> list[Mutant]:
    prefixes = tuple(f"src/{p}" for p in (args.files or "").split(","))
    ops = set(args.ops.split(",")) if args.ops else {m.op for m in mutants}
    mutants = [m for m in mutants if m.path.startswith(prefixes) and {m.klass, m.op} & ops]
    if not args.sample or args.sample >= len(mutants):
        return mutants
    shuffled = random.Random(args.seed).sample(mutants, len(mutants))
    pools, chosen = {k: [m for m in shuffled if m.klass == k] for k in CLASSES}, []
    while len(chosen) < args.sample:  # the classes in turn, each as long as it has any left
        chosen += [pools[k].pop() for k in CLASSES if pools[k]][: args.sample - len(chosen)]
    return sorted(chosen, key=lambda m: (m.path, m.line, m.key))


def sh(*cmd, **kw) -> subprocess.CompletedProcess:
    return subprocess.run([str(c) for c in cmd], capture_output=True, text=True, **kw)


def git(*args: str) -> str:
    return sh("git", "-C", ROOT, *args, check=True).stdout.strip()


class Worker:
    """A git worktree of the tree tested, its CMake build, and its install for PYTHONPATH."""

    def __init__(self, index: int, rev: str, workers: int):
        self.dir = OUT / f"wt{index}"
        self.cmake, self.site = self.dir / "build" / "cmake", self.dir / "build" / "site-packages"
        self.jobs = max(1, (os.cpu_count() or 2) // workers)
        if not (self.dir / ".git").exists():
            git("worktree", "prune")
            git("worktree", "add", "--quiet", "--detach", str(self.dir), rev)
        git("-C", str(self.dir), "checkout", "--quiet", "--force", "--detach", rev)
        if not (self.cmake / "CMakeCache.txt").is_file():
            gen = ["-GNinja"] if shutil.which("ninja") else []
            py = f"-DPython_EXECUTABLE={sys.executable}"
            sh("cmake", *gen, *CONFIGURE, py, "-S", self.dir, "-B", self.cmake, check=True)
        built, self.baseline = self.build()
        if not built:
            raise RuntimeError(f"the unmutated tree does not build: {self.baseline.decode()}")

    def build(self) -> tuple[bool, bytes]:
        """Builds and installs with --strip: (True, the module) or (False, the first error)."""
        r = sh("cmake", "--build", self.cmake, "--parallel", self.jobs)
        if r.returncode:
            log = (r.stdout + r.stderr).splitlines() or ["build failed"]
            return False, next((x for x in log if "error:" in x), log[-1]).strip()[:300].encode()
        shutil.rmtree(self.site, ignore_errors=True)
        sh("cmake", "--install", self.cmake, "--prefix", self.site, "--strip", check=True)
        return True, next(self.site.glob("crypt_main*.so")).read_bytes()

    def suite(self, files: list[str], timeout: float) -> dict:
        """Runs pytest -x on these test files (all: none), their children seeing the build."""
        shutil.rmtree(self.dir / ".hypothesis", ignore_errors=True)  # replays no other mutant
        out, t0 = self.dir / "build", time.monotonic()
        (out / "junit.xml").unlink(missing_ok=True)
        opts = "-m pytest -x -q -p no:cacheprovider --hypothesis-seed=0 -o junit_family=xunit1"
        cmd = [sys.executable, *opts.split(), f"--junitxml={out}/junit.xml", f"--basetemp={out}/t"]
        path = os.pathsep.join(filter(None, [str(self.site), os.environ.get("PYTHONPATH")]))
        with open(out / "pytest.log", "wb") as log:
            kw = {"cwd": self.dir, "env": os.environ | {"PYTHONPATH": path}, "stderr": log}
            p = subprocess.Popen(cmd + files, stdout=log, start_new_session=True, **kw)
            try:
                rc = p.wait(timeout)
            except subprocess.TimeoutExpired:
                rc = None
            with contextlib.suppress(ProcessLookupError):  # and whatever the run left behind
                os.killpg(p.pid, signal.SIGKILL)
            p.wait()
        times, failed = collections.Counter(), ""
        if (out / "junit.xml").is_file():
            for case in ET.parse(out / "junit.xml").iter("testcase"):
                times[case.get("file")] += float(case.get("time") or 0)
                if not failed and any(case.find(t) is not None for t in ("failure", "error")):
                    failed = f"{case.get('file')}::{case.get('name')}"
        return dict(rc=rc, times=times, failed=failed, seconds=time.monotonic() - t0)

    def run(self, m: Mutant, files: list[str], timeout: float, cached) -> dict:
        """Builds m; runs the suite unless cached(the module's digest) has the result."""
        path, t0 = self.dir / m.path, time.monotonic()
        original = path.read_text(encoding="utf-8")
        path.write_text(m.apply(original), encoding="utf-8")
        try:
            built, so = self.build()
        finally:  # the suite reads src/ too (the source lint)
            path.write_text(original, encoding="utf-8")
        r = {"build_seconds": round(time.monotonic() - t0, 1), "test_seconds": 0}
        if not built or so == self.baseline:
            status, detail = ("equivalent", "same binary") if built else ("not viable", so.decode())
            return r | {"status": status, "detail": detail}
        r["module"] = hashlib.sha1(so).hexdigest()
        if known := cached(r["module"]):
            return known | r
        s = self.suite(files, timeout)
        rc, r["test_seconds"] = s["rc"], round(s["seconds"], 1)
        # The unmutated suite passed, so a usage error (2 to 5) is the mutant's: a failed import.
        crash = "timeout" if rc is None else signal.Signals(-rc).name if rc < 0 else ""
        crash = crash or (f"pytest exit {rc}" if rc > 1 else "")
        detail = " in ".join(filter(None, [crash, s["failed"]]))
        return r | {"status": "survived" if rc == 0 else "killed", "detail": detail}


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument("--files", help="comma-separated paths under src/: cipher/,rsa/rsa.cpp")
    ap.add_argument("--ops", help=f"comma-separated classes ({', '.join(CLASSES)}) or operators")
    ap.add_argument("--sample", type=int, help="this many mutants, drawn with --seed")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("-j", "--jobs", type=int, default=1, help="workers, a worktree each")
    ap.add_argument("--min-kill", type=float, default=0.0, help="exit 1 under this kill rate")
    ap.add_argument("--list", action="store_true", help="list the mutants, check the marks")
    args = ap.parse_args()
    paths = sorted(p for p in (ROOT / "src").rglob("*") if p.suffix in (".cpp", ".hpp"))
    texts = {p.relative_to(ROOT).as_posix(): p.read_text(encoding="utf-8") for p in paths}
    mutants, marks, problems = generate(texts)
    chosen = select(mutants, args)
    marks = {m: marks[m] for m in chosen if m in marks}
    for m in chosen if args.list else []:
        print(m.where() + (f" (marked: {marks[m]})" if m in marks else ""), m.diff(), sep="\n")
    counts = collections.Counter(m.klass for m in chosen)
    shares = ", ".join(f"{k} {counts[k]}" for k in CLASSES)
    print(f"{len(chosen)} of {len(mutants)} mutants, {len(marks)} marked: {shares}", flush=True)
    sys.stderr.write("".join(f"{problem}\n" for problem in problems))
    if args.list or problems:
        return 1 if problems else 0

    OUT.mkdir(parents=True, exist_ok=True)
    rev = git("stash", "create") or git("rev-parse", "HEAD")
    tests = git("rev-parse", f"{rev}:tests")
    cache = json.loads((OUT / "cache.json").read_text()) if (OUT / "cache.json").is_file() else {}
    results = {m: {"status": "equivalent", "detail": f"marked: {why}"} for m, why in marks.items()}
    todo = [m for m in chosen if m not in results]
    print(f"{len(todo)} to build, with {args.jobs} worker(s)", flush=True)
    t0 = time.monotonic()
    if todo:
        run_all(todo, [Worker(k, rev, args.jobs) for k in range(args.jobs)], results, cache, tests)
    text, rate = report(chosen, results, len(mutants), time.monotonic() - t0, args.min_kill)
    print(text)
    (OUT / "report.txt").write_text(text + "\n", encoding="utf-8")
    (OUT / "survivors.txt").write_text(text[text.index("Survivors:") :] + "\n", encoding="utf-8")
    return 1 if rate < args.min_kill else 0


def run_all(todo: list[Mutant], workers: list[Worker], results: dict, cache: dict, tests: str):
    base_key = f"{tests} {hashlib.sha1(workers[0].baseline).hexdigest()} baseline"
    base = cache.get(base_key)
    if base is None:
        base = workers[0].suite([], 3600)
        if base["rc"] != 0:
            raise RuntimeError(f"the suite fails unmutated: {workers[0].dir}/build/pytest.log")
        cache[base_key] = base
        print(f"baseline: passed in {base['seconds']:.0f} s", flush=True)
    files = sorted(base["times"], key=base["times"].get)  # the fast test files first
    lock = threading.Lock()

    def batch(mutants: list[Mutant]) -> None:  # one file's, so that each build recompiles one
        with lock:
            w = workers.pop()
        for m in mutants:
            r = w.run(m, files, 3 * base["seconds"] + 60, lambda so: cache.get(f"{tests} {so}"))
            with lock:
                results[m] = r
                if "module" in r:
                    cache[f"{tests} {r['module']}"] = r
                (OUT / "cache.tmp").write_text(json.dumps(cache), encoding="utf-8")
                (OUT / "cache.tmp").replace(OUT / "cache.json")
                took = f"build {r['build_seconds']:.0f} s, tests {r['test_seconds']:.0f} s"
                done = f"{sum(n in results for n in todo)}/{len(todo)}"
                print(f"[{done}] {m.where()}: {r['status']} {r['detail']} [{took}]", flush=True)
        workers.append(w)

    by_file = collections.defaultdict(list)
    for m in todo:
        by_file[m.path].append(m)
    with concurrent.futures.ThreadPoolExecutor(len(workers)) as pool:
        list(pool.map(batch, sorted(by_file.values(), key=len, reverse=True)))


def report(chosen, results, generated: int, elapsed: float, min_kill: float) -> tuple[str, float]:
    """The tables by class and by file, the summary and the survivors; the kill rate."""

    def kill_rate(rs: list[dict]) -> float:
        k, s = (sum(r["status"] == status for r in rs) for status in ("killed", "survived"))
        return 100.0 * k / (k + s) if k + s else 100.0

    rows = [(m, results[m]) for m in chosen if m in results]
    groups = collections.defaultdict(list, {"all": [r for _, r in rows]})
    for m, r in rows:
        groups[m.klass].append(r)
        groups[m.path.removeprefix("src/")].append(r)
    statuses = ("not viable", "equivalent", "killed", "survived")
    out = [f"{'':22}{'mutants':>9}" + "".join(f"{h:>12}" for h in (*statuses, "kill rate"))]
    for name in [*CLASSES, "all", *sorted(set(groups) - {*CLASSES, "all"})]:
        if name in groups:
            c = collections.Counter(r["status"] for r in groups[name])
            counts = "".join(f"{c[s]:>12}" for s in statuses)
            out.append(f"{name:22}{len(groups[name]):>9}{counts}{kill_rate(groups[name]):>10.1f} %")
    surv = [m for m, r in rows if r["status"] == "survived"]
    out.append(f"{len(rows)} of {generated} mutants; kill rate {kill_rate(groups['all']):.1f} %")
    out[-1] += (f" (minimum {min_kill:g} %)" if min_kill else "") + f"; {elapsed / 60:.1f} min"
    out += ["", f"Survivors: {len(surv)}", *(f"{m.where()}\n{m.diff()}" for m in surv)]
    return "\n".join(out), kill_rate(groups["all"])


if __name__ == "__main__":
    sys.exit(main())
