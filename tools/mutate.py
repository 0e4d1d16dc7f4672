#!/usr/bin/env python3
"""Mutation testing of the extension: how many behaviour-changing faults does the suite catch?

Each mutant is one small, local change to a C++ source under src/, of the kinds a careful
developer slips into: a flipped comparison, two statements swapped, a dropped incref or decref,
a dropped error check, the wrong codec, a dropped keyword argument, a constant off by one.
Every mutant is applied to a scratch copy of the repository (never to the working tree), built
incrementally with CMake exactly as the wheel build configures it, installed into a private copy
of a test venv, and the suite is run against it with `-x`:

  killed      a test failed, the interpreter crashed, or the run hung past the timeout;
  survived    every test passed;
  not viable  the mutant does not compile (warnings are errors, as in our builds);
  equivalent  the built extension is byte-identical to the unmutated one, or the mutant is in
              EQUIVALENT below, with the reason no test can tell it apart.

kill rate = killed / (killed + survived). Results are cached in build/mutate/results.json,
keyed by a hash of the mutated source tree and of the files the suite reads, so an interrupted
run resumes and a re-run after a change to the tests re-checks every mutant.

    make mutate                                     # the venv, then a sample of 200 (MUTATE_ARGS)
    python3 tools/mutate.py --list                  # what would be tried
    python3 tools/mutate.py --sample 200 --seed 1   # a stratified sample
    python3 tools/mutate.py --files cipher/php.cpp --ops codec,swap
    python3 tools/mutate.py --min-kill 90           # exit 1 under 90 %

The venv (--venv, default build/mutate/venv) is one `make install-test VENV=...` made.

Survivors are printed, with their diff, and written to build/mutate/survivors.txt.
"""

from __future__ import annotations

import argparse
import collections
import concurrent.futures
import contextlib
import dataclasses
import fnmatch
import hashlib
import itertools
import json
import os
import pathlib
import queue
import random
import re
import shutil
import signal
import subprocess
import sys
import threading
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
OUT = ROOT / "build" / "mutate"
SRC_DIRS = ("src/module", "src/codec", "src/cipher", "src/rsa", "src/token")
# What the suite reads besides the installed module: a change to any of these re-runs mutants.
SUITE_INPUTS = ("tests", "bench/plain.py", "examples", "README.md", "pyproject.toml", "docs")

CLASSES = {
    "compare": "flipped comparison, negated condition, && and || exchanged",
    "swap": "two adjacent statements swapped",
    "refcount": "a dropped incref or decref",
    "errcheck": "a dropped error check",
    "codec": "the wrong codec",
    "keyword": "a dropped or wrong keyword argument",
    "constant": "a constant off by one, true and false exchanged",
}

# Mutants no test can tell apart from the original, keyed by file and the affected lines before
# and after (whitespace collapsed, as the report prints them), each with the reason.
EQUIVALENT: dict[tuple[str, str, str], str] = {}


def equivalent(path: str, before: str, after: str, reason: str) -> None:
    EQUIVALENT[(path, before, after)] = reason


CALL = "src/module/call.cpp"
PERF_ONLY = "only the speed changes: "
equivalent(
    CALL,
    "if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_dictoffset != 0",
    "if (type->tp_getattro == PyObject_GenericGetAttr || type->tp_dictoffset != 0",
    PERF_ONLY + "every type with the generic lookup loses the method cache; the types it would "
    "admit instead, immutable and dictless with their own tp_getattro, can only be a C "
    "extension's, and none of ours, the libraries' or Python's reaches this lookup",
)
equivalent(
    CALL,
    "if (!mro || !PyTuple_Check(mro)) return false;",
    "if (!mro || !PyTuple_Check(mro)) return true;",
    "unreachable: a type that has instances is ready, and a ready type's tp_mro is a tuple",
)
for before, after in [
    (
        "if (!immutable_and_dictless(type)) return nullptr; PyObject* mro = type->tp_mro;",
        "PyObject* mro = type->tp_mro; if (!immutable_and_dictless(type)) return nullptr;",
    ),
    (
        "if (!Py_IS_TYPE(descr.get(), &PyMethodDescr_Type)) return nullptr; MethodSlot old = slot;",
        "MethodSlot old = slot; if (!Py_IS_TYPE(descr.get(), &PyMethodDescr_Type)) return nullptr;",
    ),
    (
        "PyObject* fn = s.args()[0]; std::size_t nargs = positional(s, kwnames) - 1;",
        "std::size_t nargs = positional(s, kwnames) - 1; PyObject* fn = s.args()[0];",
    ),
    (
        "if (!PyUnicode_CheckExact(t)) return method(N.rstrip, {text, N.nul}); "
        "int kind = PyUnicode_KIND(t);",
        "int kind = PyUnicode_KIND(t); if (!PyUnicode_CheckExact(t)) "
        "return method(N.rstrip, {text, N.nul});",
    ),
]:
    equivalent(CALL, before, after, "the statement moved only reads a field into a local")
equivalent(
    CALL,
    "if (PyUnicode_CheckExact(o)) return false; "
    "int r = PyObject_IsInstance(o, reinterpret_cast<PyObject*>(type));",
    "int r = PyObject_IsInstance(o, reinterpret_cast<PyObject*>(type)); "
    "if (PyUnicode_CheckExact(o)) return false;",
    PERF_ONLY + "isinstance of an exact str against a built-in type runs no Python code and "
    "cannot fail, and its answer is then ignored",
)
equivalent(
    CALL,
    "capitals |= ascii_range_mask(word, 'A', 'Z');",
    "capitals |= ascii_range_mask(word, 'A', '[');",
    PERF_ONLY + "a '[' taken for a capital sends the text to str.lower, which leaves it as is",
)
for before in [
    "return own(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(b), PyBytes_GET_SIZE(b), nullptr));",
    "return own(PyUnicode_Replace(text.get(), old, new_, -1));",
]:
    equivalent(
        CALL,
        before,
        before.replace("return own(", "return Ref::steal(", 1),
        "every caller returns the result as it gets it, so a null Ref with the error set "
        "reaches the interpreter just as the exception own() throws does",
    )
equivalent(
    "src/module/module.cpp",
    "if (!cls) raise(PyExc_NameError, \"name '_Crypt' is not defined\"); Ref owned = Ref::steal(cls);",
    "Ref owned = Ref::steal(cls); if (!cls) raise(PyExc_NameError, \"name '_Crypt' is not defined\");",
    "a Ref that steals nullptr releases nothing when the raise unwinds it",
)
equivalent(
    "src/module/function.cpp",
    "for (PyObject*& p : f->params) Py_CLEAR(p); Py_CLEAR(f->name);",
    "Py_CLEAR(f->name); for (PyObject*& p : f->params) Py_CLEAR(p);",
    "the fields are strings and a tuple of constants, released in dealloc, where no code can "
    "see in which order",
)
equivalent(
    "src/module/function.cpp",
    "Py_CLEAR(f->doc); Py_CLEAR(f->defaults);",
    "Py_CLEAR(f->defaults); Py_CLEAR(f->doc);",
    "a string and a tuple of constants, released in dealloc, where no code can see the order",
)
equivalent(
    "src/module/function.cpp",
    "type->tp_free(self); Py_DECREF(type);",
    "Py_DECREF(type); type->tp_free(self);",
    "the module holds its own reference to the function type for the life of the runtime, so "
    "a function's dealloc never releases the last one",
)
equivalent(
    CALL,
    "if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_dictoffset != 0 || "
    "PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT))",
    "if (!(type->tp_getattro != PyObject_GenericGetAttr || type->tp_dictoffset != 0 || "
    "PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT)))",
    PERF_ONLY + "the cache is lost for every type it served; the types now let through, with "
    "an instance dict or their own lookup, are either mutable (refused by the next test) or a C "
    "extension's",
)
IMMORTAL = "the object is immortal in CPython 3.13: its count never moves"
for path, before, after in [
    ("src/module/function.cpp", 'if (text == "False") return Ref::borrow(Py_False);',
     'if (text == "False") return Ref::steal(Py_False);'),
    ("src/module/function.cpp", "? Py_NewRef(Py_None)", "? (Py_None)"),
    ("src/module/methods.cpp", "Ref op::init(const Args&) { return Ref::borrow(Py_None); }",
     "Ref op::init(const Args&) { return Ref::steal(Py_None); }"),
    ("src/module/names.cpp", 'n.nul_byte = own(PyBytes_FromStringAndSize("\\0", 1)).release();',
     'n.nul_byte = own(PyBytes_FromStringAndSize("\\0", 1)).get();'),
]:
    equivalent(path, before, after, IMMORTAL + " (one-byte bytes are CPython's static singletons)"
               if "nul_byte" in before else IMMORTAL)
LOCALS = "the statements moved only bind locals or fill disjoint memory"
for path, before, after in [
    ("src/module/module.cpp", "if (g_exit_hooks) return; Ref atexit = own(PyImport_Import(N.atexit));",
     "Ref atexit = own(PyImport_Import(N.atexit)); if (g_exit_hooks) return;"),
    ("src/module/function.cpp", "Ref defaults = own(PyList_New(0)); std::string_view rest = spec.params;",
     "std::string_view rest = spec.params; Ref defaults = own(PyList_New(0));"),
    ("src/token/token.cpp", "auto [data, key, exp_time, issuer] = take<4>(a); Ref token_dict = own(PyDict_New());",
     "Ref token_dict = own(PyDict_New()); auto [data, key, exp_time, issuer] = take<4>(a);"),
    ("src/cipher/php.cpp",
     "std::memcpy(dst, PyBytes_AS_STRING(b), static_cast<size_t>(n)); "
     "std::memset(dst + n, 0, static_cast<size_t>(fill));",
     "std::memset(dst + n, 0, static_cast<size_t>(fill)); "
     "std::memcpy(dst, PyBytes_AS_STRING(b), static_cast<size_t>(n));"),
    ("src/module/names.cpp",
     "if (g_ready) return; // Built into a scratch copy so that a failure half-way leaves N "
     "untouched; the few // objects made before a failure are dropped with the process, as N "
     "would be. Names n{};",
     "Names n{}; // Built into a scratch copy so that a failure half-way leaves N untouched; the "
     "few // objects made before a failure are dropped with the process, as N would be. if "
     "(g_ready) return;"),
    ("src/module/names.cpp",
     "n.kw_digestmod = names_tuple({n.digestmod}); n.kw_algorithm = names_tuple({n.algorithm});",
     "n.kw_algorithm = names_tuple({n.algorithm}); n.kw_digestmod = names_tuple({n.digestmod});"),
    ("src/module/methods.cpp",
     'if (name.starts_with("__")) continue; std::string_view params = spec.params;',
     'std::string_view params = spec.params; if (name.starts_with("__")) continue;'),
]:
    equivalent(path, before, after, LOCALS)
equivalent(
    "src/module/binding.cpp",
    "for (Py_ssize_t i = nargs; i < f.required; ++i) if (!out[i]) count_error(f, i); "
    "for (Py_ssize_t i = f.required; i < f.total; ++i) if (!out[i]) out[i] = "
    "PyTuple_GET_ITEM(f.defaults, i - f.required);",
    "for (Py_ssize_t i = f.required; i < f.total; ++i) if (!out[i]) out[i] = "
    "PyTuple_GET_ITEM(f.defaults, i - f.required); "
    "for (Py_ssize_t i = nargs; i < f.required; ++i) if (!out[i]) count_error(f, i);",
    "defaults are borrowed into slots that a missing-argument error then discards",
)
equivalent(
    "src/token/token.cpp",
    "for (int depth = 0; link != caught && depth < 1000; ++depth) {",
    "for (int depth = 0; link != caught && depth < 1001; ++depth) {",
    "the bound only stops a walk round a context cycle made by hand; where it stops is no "
    "promise, and a chain of exactly 1,000 contexts is no case anyone meets",
)
# Reached only when an allocation fails where no test can make one fail: while the module
# object is created (CPython's own PyType_FromSpec does not survive that, see
# tests/test_hazards.py), or where CPython allocates nothing.
UNREACHABLE = "reached only if an allocation fails "
for path, before, reason in [
    ("src/module/function.cpp",
     "reinterpret_cast<PyTypeObject*>(own(PyType_FromSpec(&function_spec)).release());",
     "while the module object is created, where CPython's PyType_FromSpec does not survive it"),
    ("src/module/names.cpp",
     "PyObject* integer(long v) { return own(PyLong_FromLong(v)).release(); }",
     "while the module object is created, where CPython's PyType_FromSpec does not survive it"),
    ("src/module/names.cpp", 'n.nul_byte = own(PyBytes_FromStringAndSize("\\0", 1)).release();',
     "while the module object is created; one-byte bytes are static singletons anyway"),
    ("src/module/module.cpp", "Ref ns = own(PyDict_New());",
     "in PyDict_New, which hands out a dict from CPython's free list and allocates nothing"),
]:
    equivalent(path, before, before.replace("own(", "Ref::steal(", 1), UNREACHABLE + reason)
equivalent(
    "src/token/token.cpp",
    "ok(PyDict_SetItem(token_dict.get(), N.exp, exp.get()));",
    "(void)(PyDict_SetItem(token_dict.get(), N.exp, exp.get()));",
    UNREACHABLE + "inserting a fourth key into a dict with room for five, which allocates nothing",
)
for before in [
    "f->params[f->total++] = own(PyUnicode_InternFromString(name.c_str())).release();",
    'f->doc = own(PyUnicode_FromFormat("_Crypt.%s(%s)", spec.name, spec.params)).release();',
]:
    equivalent(
        "src/module/function.cpp",
        before,
        before.replace("own(", "Ref::steal(", 1),
        "the MemoryError stays set and the import fails with it at its next check, as it does "
        "when own() throws (the out-of-memory sweep of the import sees both the same)",
    )
for field in ("name", "module"):
    equivalent(
        "src/module/function.cpp",
        f"Py_CLEAR(f->{field});",
        "",
        "the field holds an interned name, and CPython 3.13 makes interned strings immortal: "
        "their counts never move",
    )


# ------------------------------------------------------------------------------------------
# Lexing and a statement-level parse of the function bodies


@dataclasses.dataclass
class Tok:
    kind: str  # id, num, str, chr, op, pp
    text: str
    start: int
    end: int


TOKEN = re.compile(
    r"""
    (?P<ws>\s+)
  | (?P<comment>//[^\n]*|/\*.*?\*/)
  | (?P<str>(?:u8|[uUL])?"(?:\\.|[^"\\\n])*")
  | (?P<chr>'(?:\\.|[^'\\\n])+')
  | (?P<num>(?:0[xX][0-9a-fA-F']+|\d[\d']*(?:\.\d+)?)[uUlLfF]*)
  | (?P<id>[A-Za-z_]\w*)
  | (?P<op>::|->|\+\+|--|<<=|>>=|<=>|<=|>=|==|!=|&&|\|\||<<|>>|[-+*/%&|^!~=<>]=?|[()\[\]{};,.?:])
    """,
    re.X | re.S,
)
PP_LINE = re.compile(r"#(?:\\\n|[^\n])*")


def lex(text: str) -> list[Tok]:
    toks: list[Tok] = []
    pos = 0
    while pos < len(text):
        if text[pos] == "#" and text[text.rfind("\n", 0, pos) + 1 : pos].strip() == "":
            m = PP_LINE.match(text, pos)
            toks.append(Tok("pp", m.group(), pos, m.end()))
            pos = m.end()
            continue
        m = TOKEN.match(text, pos)
        if not m:
            raise SyntaxError(f"cannot lex at offset {pos}: {text[pos : pos + 20]!r}")
        if m.lastgroup not in ("ws", "comment"):
            toks.append(Tok(m.lastgroup, m.group(), pos, m.end()))
        pos = m.end()
    return toks


OPEN = {"(": ")", "[": "]", "{": "}"}
CLOSE = set(OPEN.values())


def match(toks: list[Tok], i: int) -> int:
    """Index of the bracket closing toks[i]."""
    depth = 0
    for j in range(i, len(toks)):
        t = toks[j].text
        if toks[j].kind != "op":
            continue
        if t in OPEN:
            depth += 1
        elif t in CLOSE:
            depth -= 1
            if depth == 0:
                return j
    raise SyntaxError(f"unbalanced {toks[i].text!r} at offset {toks[i].start}")


@dataclasses.dataclass
class Stmt:
    kind: str  # simple, return, jump, if, for, while, switch, do, try, block, label, pp, empty
    start: int  # token indices, end exclusive
    end: int
    cond: tuple[int, int] | None = None  # inside the parentheses
    parts: list[Stmt] = dataclasses.field(default_factory=list)  # then, else, loop body
    blocks: list[list[Stmt]] = dataclasses.field(default_factory=list)  # nested statement lists
    sole: bool = False  # the only statement of an if/else/loop branch


JUMPS = {"throw", "break", "continue", "goto"} | {
    f"Py_RETURN_{v}" for v in ("NONE", "TRUE", "FALSE")
}


class Parser:
    def __init__(self, toks: list[Tok], noreturn: set[str]):
        self.toks = toks
        self.noreturn = noreturn
        self.lists: list[list[Stmt]] = []  # every statement list, function bodies first
        self.stmts: list[Stmt] = []

    def text(self, i: int) -> str:
        return self.toks[i].text if i < len(self.toks) else ""

    def block(self, i: int) -> tuple[list[Stmt], int]:
        """Parses `{ ... }` at i; returns its statements and the index of the closing brace."""
        stmts: list[Stmt] = []
        j = i + 1
        while self.text(j) != "}":
            s = self.stmt(j)
            stmts.append(s)
            j = s.end
        self.lists.append(stmts)
        return stmts, j

    def branch(self, i: int) -> Stmt:
        while self.text(i) == "[" and self.text(i + 1) == "[":  # [[likely]]
            i = match(self.toks, i) + 1
        s = self.stmt(i)
        s.sole = True
        return s

    def stmt(self, j: int) -> Stmt:
        s = self._stmt(j)
        self.stmts.append(s)
        return s

    def _stmt(self, j: int) -> Stmt:
        t = self.toks[j]
        if t.kind == "pp":
            return Stmt("pp", j, j + 1)
        if t.text == ";":
            return Stmt("empty", j, j + 1)
        if t.text == "{":
            stmts, k = self.block(j)
            return Stmt("block", j, k + 1, blocks=[stmts])
        if t.text in ("case", "default"):
            k = j
            while self.text(k) != ":":
                k += 1
            return Stmt("label", j, k + 1)
        if t.text == "if":
            k = j + 1 + (self.text(j + 1) == "constexpr")
            close = match(self.toks, k)
            then = self.branch(close + 1)
            s = Stmt("if", j, then.end, cond=(k + 1, close), parts=[then])
            if self.text(then.end) == "else":
                other = self.branch(then.end + 1)
                s.parts.append(other)
                s.end = other.end
            return s
        if t.text in ("for", "while", "switch"):
            close = match(self.toks, j + 1)
            body = self.branch(close + 1)
            return Stmt(t.text, j, body.end, cond=(j + 2, close), parts=[body])
        if t.text == "do":
            body = self.branch(j + 1)
            close = match(self.toks, body.end + 1)
            return Stmt("do", j, close + 2, cond=(body.end + 2, close), parts=[body])
        if t.text == "try":
            stmts, k = self.block(j + 1)
            blocks = [stmts]
            k += 1
            while self.text(k) == "catch":
                close = match(self.toks, k + 1)
                stmts, k = self.block(close + 1)
                blocks.append(stmts)
                k += 1
            return Stmt("try", j, k, blocks=blocks)
        k = j
        while self.text(k) != ";":
            if self.text(k) in OPEN:
                k = match(self.toks, k)
            k += 1
        kind = "simple"
        if t.text == "return":
            kind = "return"
        elif t.text in JUMPS or (t.text in self.noreturn and self.text(j + 1) == "("):
            kind = "jump"
        return Stmt(kind, j, k + 1)


BODY_OPENERS = {")", "const", "noexcept", "override", "final", "mutable"}


def function_bodies(toks: list[Tok], parser: Parser) -> list[tuple[int, int]]:
    """(open, close) token indices of each function body; parses each into `parser`."""
    bodies = []
    i = 0
    while i < len(toks):
        if toks[i].text == "{" and i and toks[i - 1].text in BODY_OPENERS:
            _, close = parser.block(i)
            bodies.append((i, close))
            i = close
        i += 1
    return bodies


def template_brackets(toks: list[Tok]) -> set[int]:
    """Indices of the tokens of template argument lists, their brackets included."""
    allowed = {"::", "*", "&", ",", "const"}
    found: set[int] = set()
    for i, t in enumerate(toks):
        if t.text != "<" or not i or toks[i - 1].kind != "id":
            continue
        depth = 1
        for j in range(i + 1, len(toks)):
            u = toks[j]
            if u.text == "<":
                depth += 1
            elif u.text in (">", ">>"):
                depth -= len(u.text)
                if depth <= 0:
                    found.update(range(i, j + 1))
                    break
            elif not (u.kind in ("id", "num") or u.text in allowed):
                break
    return found


# ------------------------------------------------------------------------------------------
# Mutants


@dataclasses.dataclass
class Mutant:
    path: str  # relative to the repository root
    start: int  # character offsets in the original file
    end: int
    replacement: str
    klass: str
    op: str
    line: int = 0
    before: str = ""  # the affected lines, whitespace collapsed
    after: str = ""
    equivalent: str = ""  # why no test can tell it apart, when the generator can see that

    @property
    def uid(self) -> str:
        raw = f"{self.path}\0{self.start}\0{self.end}\0{self.replacement}"
        return hashlib.sha1(raw.encode()).hexdigest()[:12]

    def apply(self, text: str) -> str:
        return text[: self.start] + self.replacement + text[self.end :]

    def describe(self) -> str:
        return f"{self.path}:{self.line} [{self.klass}/{self.op}]"


def collapse(text: str, limit: int = 400) -> str:
    text = " ".join(text.split())
    return text if len(text) <= limit else text[: limit - 1] + "…"


def finish(m: Mutant, text: str) -> Mutant:
    lo = text.rfind("\n", 0, m.start) + 1
    hi = text.find("\n", m.end)
    hi = len(text) if hi < 0 else hi
    m.line = text.count("\n", 0, m.start) + 1
    m.before = collapse(text[lo:hi])
    m.after = collapse(text[lo : m.start] + m.replacement + text[m.end : hi])
    return m


NORETURN = re.compile(r"\[\[[^\]]*\bnoreturn\b[^\]]*\]\]\s*(?:inline\s+)?\w+\s+(\w+)\s*\(")
KW_TUPLE = re.compile(r"\bn\.(kw_\w+)\s*=\s*names_tuple\(\{([^}]*)\}\)")
INCREF_STMTS = {"Py_INCREF", "Py_XINCREF"}
DECREF_STMTS = {"Py_DECREF", "Py_XDECREF", "Py_CLEAR", "decref"}
# Calls an error check may make that change nothing: such a check is removed outright.
PURE_CALLS = {
    "PyErr_Occurred",
    "PyErr_ExceptionMatches",
    "PyUnicode_Check",
    "PyUnicode_CheckExact",
    "PyTuple_Check",
    "PyTuple_CheckExact",
    "PyBytes_Check",
    "PyBytes_CheckExact",
    "PySequence_Check",
    "Py_TYPE",
}
COMPARE_FLIPS = {
    "<": ("<=", ">"),
    ">": (">=", "<"),
    "<=": ("<",),
    ">=": (">",),
    "==": ("!=",),
    "!=": ("==",),
}
ENC_FORMS = ("Enc::Default", "Enc::Utf8", "Enc::Utf8Kw")


def generate(path: str, text: str, noreturn: set[str], kw_arity: dict[str, int]) -> list[Mutant]:
    toks = lex(text)
    parser = Parser(toks, noreturn)
    bodies = function_bodies(toks, parser)
    in_body = [False] * len(toks)
    for lo, hi in bodies:
        for i in range(lo + 1, hi):
            in_body[i] = True
    for lo, hi in inactive(toks) + compile_time(toks):
        for i in range(lo, hi):
            in_body[i] = False
    templates = template_brackets(toks)
    out: list[Mutant] = []

    def add(start: int, end: int, replacement: str, klass: str, op: str) -> None:
        out.append(finish(Mutant(path, start, end, replacement, klass, op), text))

    def tok(i: int) -> str:
        return toks[i].text if 0 <= i < len(toks) else ""

    def span(i: int, j: int) -> str:
        """Source text of tokens i..j inclusive."""
        return text[toks[i].start : toks[j].end]

    def call_args(open_paren: int) -> list[tuple[int, int]]:
        close = match(toks, open_paren)
        args, k, first = [], open_paren + 1, open_paren + 1
        while k < close:
            if tok(k) in OPEN:
                k = match(toks, k)
            elif tok(k) == ",":
                args.append((first, k - 1))
                first = k + 1
            k += 1
        if first < close:
            args.append((first, close - 1))
        return args

    def is_call(i: int) -> bool:
        return tok(i + 1) == "(" and tok(i - 1) not in (".", "->", "::")

    def removal(s: Stmt) -> str:
        return "{}" if s.sole else ""

    # Token-level operators, inside function bodies only.
    for i, t in enumerate(toks):
        if not in_body[i]:
            continue
        a, b = t.start, t.end
        if t.kind == "op" and t.text in COMPARE_FLIPS and i not in templates:
            for new in COMPARE_FLIPS[t.text]:
                add(a, b, new, "compare", "cmp")
        elif t.text in ("&&", "||"):
            add(a, b, "||" if t.text == "&&" else "&&", "compare", "logic")
        elif t.text == "!":
            add(a, b, "", "compare", "not-drop")
        elif t.text == "Py_NewRef" or t.text == "Py_XNewRef":
            if is_call(i):
                add(a, b, "", "refcount", "incref-drop")
        elif t.text in ("borrow", "steal") and tok(i - 1) == "::" and tok(i - 2) == "Ref":
            new, op = ("steal", "incref-drop") if t.text == "borrow" else ("borrow", "decref-drop")
            add(a, b, new, "refcount", op)
        elif t.text == "release" and tok(i - 1) in (".", "->") and tok(i + 1) == "(":
            add(a, b, "get", "refcount", "release-kept")
        elif t.text == "ok" and is_call(i):
            add(a, b, "(void)", "errcheck", "ok-drop")
        elif t.text == "own" and is_call(i):
            add(a, b, "Ref::steal", "errcheck", "own-drop")
        elif t.text == "Enc" and tok(i + 1) == "::":
            form = span(i, i + 2)
            for new in ENC_FORMS:
                if new != form:
                    add(a, toks[i + 2].end, new, "codec", "enc-form")
        elif t.text == "encode" and is_call(i):
            args = call_args(i + 1)
            if len(args) == 2 and tok(args[1][0]) == "Enc":
                close = match(toks, i + 1)
                add(a, toks[close].end, f"encode_gbk({span(*args[0])})", "codec", "gbk-utf8")
        elif t.text == "encode_gbk" and is_call(i):
            args = call_args(i + 1)
            close = match(toks, i + 1)
            add(a, toks[close].end, f"encode({span(*args[0])}, Enc::Utf8)", "codec", "gbk-utf8")
        elif t.text in ("decode", "decode_gbk") and is_call(i):
            add(a, b, "decode_gbk" if t.text == "decode" else "decode", "codec", "gbk-utf8")
        elif t.text in ("utf_8", "gbk") and tok(i - 1) == "." and tok(i - 2) == "N":
            add(a, b, "gbk" if t.text == "utf_8" else "utf_8", "codec", "name")
        elif t.kind == "str" and t.text in ('"utf-8"', '"gbk"'):
            add(a, b, '"gbk"' if t.text == '"utf-8"' else '"utf-8"', "codec", "literal")
        elif t.text == "PyUnicode_AsUTF8String" and is_call(i):
            args = call_args(i + 1)
            close = match(toks, i + 1)
            new = f'PyUnicode_AsEncodedString({span(*args[0])}, "gbk", nullptr)'
            add(a, toks[close].end, new, "codec", "fast-path")
        elif t.text == "PyUnicode_DecodeUTF8" and is_call(i):
            args = call_args(i + 1)
            close = match(toks, i + 1)
            new = f'PyUnicode_Decode({span(*args[0])}, {span(*args[1])}, "gbk", nullptr)'
            add(a, toks[close].end, new, "codec", "fast-path")
        elif t.text.startswith("kw_") and tok(i - 1) == "." and tok(i - 2) == "N":
            if tok(i - 3) == "," and tok(i + 1) == ")":
                add(toks[i - 3].start, b, "", "keyword", "kw-drop")
            for other, n in kw_arity.items():
                if other != t.text and n == kw_arity.get(t.text):
                    add(a, b, other, "keyword", "kw-swap")
        elif t.text in ("true", "false"):
            add(a, b, "false" if t.text == "true" else "true", "constant", "bool")
        elif t.kind == "num" and i not in templates:
            m = re.fullmatch(r"(0[xX])?([0-9a-fA-F']+)([uUlL]*)", t.text)
            if not m:
                continue
            prefix, digits, suffix = m.groups()
            value = int(digits.replace("'", ""), 16 if prefix else 10)
            for new in (value + 1, value - 1):
                if new >= 0:
                    shown = f"{prefix}{new:0{len(digits)}X}" if prefix else str(new)
                    add(a, b, shown + suffix, "constant", "int")
        elif t.kind == "chr" and len(t.text) == 3:
            for delta in (1, -1):
                c = chr(ord(t.text[1]) + delta)
                if c.isprintable() and c not in "'\\":
                    add(a, b, f"'{c}'", "constant", "char")

    # Statement-level operators.
    for s in parser.stmts:
        if not in_body[s.start]:
            continue
        first = tok(s.start)
        if s.kind == "simple" and tok(s.start + 1) == "(" and match(toks, s.start + 1) == s.end - 2:
            if first in INCREF_STMTS:
                add(toks[s.start].start, toks[s.end - 1].end, removal(s), "refcount", "incref-drop")
            elif first in DECREF_STMTS:
                add(toks[s.start].start, toks[s.end - 1].end, removal(s), "refcount", "decref-drop")
        if s.kind == "if" and s.cond:
            lo, hi = s.cond
            assigns = any(tok(k) == "=" for k in range(lo, hi))
            # `if (T* x = f())` declares, and negating it does not compile; `if (!x)` is left
            # to not-drop.
            if not assigns and tok(lo) != "!":
                negated = f"!({span(lo, hi - 1)})"
                add(toks[lo].start, toks[hi - 1].end, negated, "compare", "not-add")
            if len(s.parts) == 1 and error_exit(s.parts[0], toks, noreturn) and not assigns:
                calls = {tok(k) for k in range(lo, hi) if tok(k + 1) == "("}
                a, b = toks[s.start].start, toks[s.end - 1].end
                if calls <= PURE_CALLS:
                    add(a, b, removal(s), "errcheck", "guard-drop")
                else:  # the condition's call stays, only the reaction to it goes
                    add(a, b, f"(void)({span(lo, hi - 1)});", "errcheck", "guard-drop")

    # Swaps of adjacent statements of the same list.
    for stmts in parser.lists:
        for x, y in itertools.pairwise(stmts):
            if not (in_body[x.start] and in_body[y.start]):
                continue
            if {x.kind, y.kind} & {"pp", "label", "empty"} or x.kind in ("return", "jump"):
                continue
            if y.kind in ("return", "jump"):
                continue  # the swap would only drop x, which other operators do
            used = {t.text for t in toks[y.start : y.end] if t.kind == "id"}
            if declared(toks, x) & used:
                continue  # y uses what x declares: does not compile
            a, b = toks[x.start].start, toks[y.end - 1].end
            xa, xb = toks[x.start].start, toks[x.end - 1].end
            ya, yb = toks[y.start].start, toks[y.end - 1].end
            add(a, b, text[ya:yb] + text[xb:ya] + text[xa:xb], "swap", "swap")
            out[-1].equivalent = swap_equivalence(toks, x, y)
    return out


# Types whose variables have no destructor: moving their declaration moves nothing observable.
SCALARS = {
    *("int", "bool", "char", "long", "unsigned", "size_t", "Py_ssize_t", "auto", "double"),
    *("uint8_t", "uint64_t", "int64_t", "Py_UCS1", "Py_UCS4", "std::size_t"),
}
# Words that name no variable.
NOT_VARIABLES = SCALARS | {"const", "nullptr", "true", "false", "N", "std", "PyObject"}


def swap_equivalence(toks: list[Tok], x: Stmt, y: Stmt) -> str:
    """Why swapping x and y cannot change behaviour, or "" when it may."""

    def words(s: Stmt) -> list[Tok]:
        return toks[s.start : s.end]

    def ids(s: Stmt) -> set[str]:
        return {t.text for t in words(s) if t.kind == "id"} - NOT_VARIABLES

    def call_free(s: Stmt) -> bool:
        # No calls, and no write through a pointer or an index that could alias.
        w = words(s)
        return (
            s.kind == "simple"
            and w[0].text != "*"
            and not any(t.text in ("(", "[", "++", "--", "throw", "delete", "new") for t in w)
        )

    def writes(s: Stmt) -> set[str]:
        w = words(s)
        return {
            w[k - 1].text for k in range(1, len(w)) if w[k].text == "=" and w[k - 1].kind == "id"
        }

    for a, b in ((x, y), (y, x)):
        names = declared(toks, a)
        w = words(a)
        if names and call_free(a):
            name_at = next(k for k, t in enumerate(w) if t.text in names)
            scalar = name_at and (w[name_at - 1].text == "*" or w[name_at - 1].text in SCALARS)
            if scalar and not ids(a) & ids(b):
                return (
                    "a declaration of a scalar or pointer from constants moves across a "
                    "statement that does not touch it"
                )
    if call_free(x) and call_free(y) and not (writes(x) & ids(y) or writes(y) & ids(x)):
        return "two assignments without calls and without a variable in common"
    return ""


# Configurations the extension is never built in: code under these is not compiled.
UNDEFINED_MACROS = {"Py_GIL_DISABLED", "Py_DEBUG", "Py_LIMITED_API", "MS_WINDOWS", "_WIN32"}


def inactive(toks: list[Tok]) -> list[tuple[int, int]]:
    """Token ranges inside `#ifdef X` (or the `#else` of `#ifndef X`) for an X never defined."""
    ranges, stack = [], []  # stack of [dead, start]
    for i, t in enumerate(toks):
        if t.kind != "pp":
            continue
        words = t.text[1:].split()
        if not words:
            continue
        d = words[0]
        name = words[1] if len(words) > 1 else ""
        if d in ("if", "ifdef", "ifndef"):
            named = any(m in t.text for m in UNDEFINED_MACROS)
            dead = (d == "ifdef" and name in UNDEFINED_MACROS) or (
                d == "if" and name.startswith("defined") and named
            )
            stack.append([dead, i, d == "ifndef" and name in UNDEFINED_MACROS])
        elif d in ("else", "elif") and stack:
            dead, start, dead_else = stack[-1]
            if dead:
                ranges.append((start, i))
            stack[-1] = [dead_else, i, False]
        elif d == "endif" and stack:
            dead, start, _ = stack.pop()
            if dead:
                ranges.append((start, i))
    return ranges


def compile_time(toks: list[Tok]) -> list[tuple[int, int]]:
    """Token ranges of static_assert(...): checked by the compiler, not run."""
    return [
        (i, match(toks, i + 1) + 2)
        for i, t in enumerate(toks)
        if t.text == "static_assert" and i + 1 < len(toks) and toks[i + 1].text == "("
    ]


def error_exit(s: Stmt, toks: list[Tok], noreturn: set[str]) -> bool:
    """Whether a branch leaves with an error: throws, raises, or returns NULL or -1."""
    words = [t.text for t in toks[s.start : s.end]]
    if "throw" in words:
        return True
    for k, w in enumerate(words[:-1]):
        if w in noreturn and words[k + 1] == "(":
            return True
        if w == "return" and words[k + 1] in ("nullptr", "-") and words[-1] in (";", "}"):
            return words[k + 1] == "nullptr" or words[k + 2 : k + 3] == ["1"]
    return False


def declared(toks: list[Tok], s: Stmt) -> set[str]:
    """Names a simple statement declares: `T x = ...`, `T* x;`, `T x(...)`, `auto [a, b] = ...`."""
    if s.kind != "simple":
        return set()
    words = toks[s.start : s.end]
    if words[0].text in ("auto", "const") and any(t.text == "[" for t in words[:3]):
        lo = next(k for k, t in enumerate(words) if t.text == "[")
        return {t.text for t in words[lo : match(words, lo)] if t.kind == "id"}
    k = 0
    while k < len(words) and words[k].text not in ("=", "(", "{", ";", ":"):
        if words[k].text in ("<", "["):
            k = match_angle(words, k) if words[k].text == "<" else match(words, k)
        k += 1
    if k >= 2 and words[k - 1].kind == "id":
        prev = words[k - 2]
        if prev.kind == "id" or prev.text in ("*", "&", ">", "&&"):
            return {words[k - 1].text}
    return set()


def match_angle(words: list[Tok], k: int) -> int:
    depth = 0
    for j in range(k, len(words)):
        if words[j].text == "<":
            depth += 1
        elif words[j].text in (">", ">>"):
            depth -= len(words[j].text)
            if depth <= 0:
                return j
        elif words[j].text in (";", "="):
            return k
    return k


def source_files() -> list[str]:
    files = []
    for d in SRC_DIRS:
        for p in sorted((ROOT / d).iterdir()):
            if p.suffix in (".cpp", ".hpp"):
                files.append(p.relative_to(ROOT).as_posix())
    return files


def all_mutants() -> list[Mutant]:
    files = source_files()
    texts = {f: (ROOT / f).read_text(encoding="utf-8") for f in files}
    joined = "\n".join(texts.values())
    noreturn = set(NORETURN.findall(joined))
    kw_arity = {name: len(items.split(",")) for name, items in KW_TUPLE.findall(joined)}
    mutants = []
    for f in files:
        mutants += generate(f, texts[f], noreturn, kw_arity)
    seen, unique = set(), []
    for m in mutants:
        if m.uid not in seen:
            seen.add(m.uid)
            unique.append(m)
    return unique


def select(mutants: list[Mutant], args: argparse.Namespace) -> list[Mutant]:
    if args.files:
        pats = [p.strip() for p in args.files.split(",") if p.strip()]
        mutants = [
            m
            for m in mutants
            if any(fnmatch.fnmatch(m.path, p) or fnmatch.fnmatch(m.path, f"src/{p}") for p in pats)
            or any(m.path.startswith(f"src/{p.rstrip('/')}/") for p in pats)
        ]
    if args.ops:
        wanted = {o.strip() for o in args.ops.split(",")}
        mutants = [m for m in mutants if m.klass in wanted or m.op in wanted]
    if args.lines:
        lo, _, hi = args.lines.partition("-")
        mutants = [m for m in mutants if int(lo) <= m.line <= int(hi or lo)]
    if args.sample and args.sample < len(mutants):
        mutants = stratified(mutants, args.sample, random.Random(args.seed))
    return sorted(mutants, key=lambda m: (m.path, m.start, m.uid))


def stratified(mutants: list[Mutant], n: int, rng: random.Random) -> list[Mutant]:
    """n mutants, shared out evenly between the classes as far as each has enough, and within a
    class between the files in proportion to their mutants."""
    by_class: dict[str, list[Mutant]] = collections.defaultdict(list)
    for m in mutants:
        by_class[m.klass].append(m)
    quota = {k: 0 for k in by_class}
    left = n
    while left:
        open_ = [k for k in sorted(by_class) if quota[k] < len(by_class[k])]
        if not open_:
            break
        share = max(1, left // len(open_))
        for k in open_:
            take = min(share, len(by_class[k]) - quota[k], left)
            quota[k] += take
            left -= take
            if not left:
                break
    chosen = []
    for k, pool in sorted(by_class.items()):
        by_file: dict[str, list[Mutant]] = collections.defaultdict(list)
        for m in pool:
            by_file[m.path].append(m)
        for lst in by_file.values():
            rng.shuffle(lst)
        # Each file in proportion to its mutants, and every file at least once while the
        # quota lasts; the largest remainders take what is left.
        files = sorted(by_file, key=lambda f: (-len(by_file[f]), f))
        want = {f: 0 for f in files}
        for f in files[: quota[k]]:
            want[f] = 1
        spare = quota[k] - sum(want.values())
        if spare > 0:
            exact = {f: spare * len(by_file[f]) / len(pool) for f in files}
            for f in files:
                want[f] += min(int(exact[f]), len(by_file[f]) - want[f])
            rest = quota[k] - sum(want.values())
            for f in sorted(files, key=lambda f: -(exact[f] - int(exact[f]))):
                while rest and want[f] < len(by_file[f]):
                    want[f] += 1
                    rest -= 1
                    break
            for f in files:  # a file too small for its share leaves the rest to the others
                while rest and want[f] < len(by_file[f]):
                    want[f] += 1
                    rest -= 1
        for f in files:
            chosen += by_file[f][: want[f]]
    return chosen


# ------------------------------------------------------------------------------------------
# Scratch copies: source tree, CMake build directory and venv per worker

RUNNER = r"""
import json, sys
import pytest

report_path, order_path, *args = sys.argv[1:]


class Harness:
    def __init__(self):
        with open(order_path, encoding="utf-8") as f:
            self.rank = json.load(f)
        self.durations = {}
        self.failed = None

    @pytest.hookimpl(trylast=True)
    def pytest_collection_modifyitems(self, session, config, items):
        if self.rank:
            default = sorted(self.rank.values())[len(self.rank) // 2]
            items.sort(key=lambda item: self.rank.get(item.nodeid, default))

    def pytest_runtest_logstart(self, nodeid, location):
        # Left behind for the harness when a crash or a hang ends the run.
        with open(report_path + ".current", "w", encoding="utf-8") as f:
            f.write(nodeid)

    def pytest_collectreport(self, report):
        if report.failed and self.failed is None:
            self.failed = report.nodeid or "<collection>"

    def pytest_runtest_logreport(self, report):
        self.durations[report.nodeid] = self.durations.get(report.nodeid, 0.0) + report.duration
        if report.failed and self.failed is None:
            self.failed = report.nodeid


harness = Harness()
rc = int(pytest.main(args, plugins=[harness]))
with open(report_path, "w", encoding="utf-8") as f:
    json.dump({"rc": rc, "failed": harness.failed, "durations": harness.durations}, f)
sys.exit(rc)
"""


def tracked_files() -> list[str]:
    out = subprocess.run(
        ["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
        cwd=ROOT,
        capture_output=True,
        check=True,
    ).stdout.decode()
    return sorted(f for f in out.split("\0") if f and (ROOT / f).is_file())


def digest_files(paths: list[str], base: pathlib.Path = ROOT) -> str:
    h = hashlib.sha256()
    for p in paths:
        h.update(p.encode() + b"\0" + (base / p).read_bytes() + b"\0")
    return h.hexdigest()


def suite_files(files: list[str]) -> list[str]:
    return [f for f in files if any(f == s or f.startswith(s + "/") for s in SUITE_INPUTS)]


def venv_fingerprint(venv: pathlib.Path) -> str:
    site = next(venv.glob("lib/python3*/site-packages"))
    return "\n".join(sorted(p.name for p in site.iterdir() if p.name.endswith(".dist-info")))


class Workspace:
    """A scratch copy of the repository with its own CMake build directory and venv."""

    def __init__(self, index: int, base_venv: pathlib.Path, build_jobs: int):
        self.dir = OUT / f"w{index}"
        self.tree = self.dir / "tree"
        self.build = self.dir / "cmake"
        self.stage = self.dir / "stage"
        self.venv = self.dir / "venv"
        self.base_venv = base_venv
        self.build_jobs = build_jobs
        self.python = self.venv / "bin" / "python"
        self.baseline_so: bytes | None = None

    def sync(self, files: list[str]) -> None:
        """Makes the tree a copy of the working tree's files, touching only what differs."""
        self.tree.mkdir(parents=True, exist_ok=True)
        wanted = set(files)
        for p in list(self.tree.rglob("*")):
            rel = p.relative_to(self.tree).as_posix()
            if p.is_file() and rel not in wanted and "__pycache__" not in rel.split("/"):
                p.unlink()
        for f in files:
            src, dst = ROOT / f, self.tree / f
            data = src.read_bytes()
            if not dst.is_file() or dst.read_bytes() != data:
                dst.parent.mkdir(parents=True, exist_ok=True)
                dst.write_bytes(data)
                shutil.copymode(src, dst)

    def make_venv(self) -> None:
        stamp = self.dir / "venv.stamp"
        fp = venv_fingerprint(self.base_venv)
        if self.python.exists() and stamp.is_file() and stamp.read_text() == fp:
            return
        shutil.rmtree(self.venv, ignore_errors=True)
        shutil.copytree(self.base_venv, self.venv, symlinks=True)
        stamp.write_text(fp)

    def site_packages(self) -> pathlib.Path:
        return next(self.venv.glob("lib/python3*/site-packages"))

    def configure(self) -> None:
        """Configures CMake as scikit-build-core does for the wheel (see pyproject.toml and the
        Makefile's WERROR): Release, Ninja when present, the venv's Python, warnings as errors,
        and the interpreter's own C++ compiler unless CXX names one."""
        py = str(self.python)
        base = sysconfig_of(py)
        env = dict(os.environ)
        if not env.get("CXX") and base["cxx"]:
            words = base["cxx"].split()
            env["CXX"] = " ".join(itertools.takewhile(lambda w: not w.startswith("-"), words))
        init = {
            "SKBUILD": "2",
            "SKBUILD_PROJECT_NAME": "crypt_main",
            "Python_EXECUTABLE": py,
            "Python_ROOT_DIR": base["root"],
            "Python_INCLUDE_DIR": base["include"],
            "Python_FIND_REGISTRY": "NEVER",
            "Python3_EXECUTABLE": py,
            "Python3_ROOT_DIR": base["root"],
            "Python3_INCLUDE_DIR": base["include"],
            "Python3_FIND_REGISTRY": "NEVER",
            "SKBUILD_SOABI": base["soabi"],
        }
        lines = [f'set({k} [===[{v}]===] CACHE STRING "" FORCE)' for k, v in init.items()]
        cmd = [
            "cmake",
            f"-S{self.tree}",
            f"-B{self.build}",
            "-DCMAKE_BUILD_TYPE:STRING=Release",
            f"-C{self.build / 'CMakeInit.txt'}",
            "-DCM_WERROR=ON",
        ]
        if shutil.which("ninja"):
            cmd.insert(1, "-GNinja")
        stamp = self.build / "configure.stamp"
        fingerprint = json.dumps([cmd, env.get("CXX"), init])
        if stamp.is_file() and stamp.read_text() == fingerprint:
            return
        shutil.rmtree(self.build, ignore_errors=True)
        self.build.mkdir(parents=True)
        (self.build / "CMakeInit.txt").write_text("\n".join(lines) + "\n")
        r = subprocess.run(cmd, capture_output=True, text=True, env=env)
        if r.returncode:
            raise RuntimeError(f"cmake configure failed:\n{r.stdout}\n{r.stderr}")
        stamp.write_text(fingerprint)

    def build_and_install(self, timeout: float) -> tuple[bool, str, bytes]:
        """Builds, installs into the stage with --strip, copies the module into the venv."""
        r = subprocess.run(
            ["cmake", "--build", str(self.build), "--parallel", str(self.build_jobs)],
            capture_output=True,
            text=True,
            timeout=timeout,
        )
        if r.returncode:
            return False, first_error(r.stdout + r.stderr), b""
        shutil.rmtree(self.stage, ignore_errors=True)
        r = subprocess.run(
            ["cmake", "--install", str(self.build), "--prefix", str(self.stage), "--strip"],
            capture_output=True,
            text=True,
        )
        if r.returncode:
            raise RuntimeError(f"cmake --install failed:\n{r.stdout}\n{r.stderr}")
        (so,) = self.stage.glob("crypt_main*.so")
        data = so.read_bytes()
        site = self.site_packages()
        for old in site.glob("crypt_main*.so"):
            old.unlink()
        tmp = site / (so.name + ".tmp")
        tmp.write_bytes(data)
        tmp.chmod(0o755)
        tmp.replace(site / so.name)
        return True, "", data

    def write_source(self, rel: str, text: str) -> None:
        """Writes a source file with a fresh modification time, so the build sees a change."""
        p = self.tree / rel
        p.write_text(text, encoding="utf-8")
        now = time.time_ns()
        os.utime(p, ns=(now, now))

    def run_suite(self, order: dict[str, float], pytest_args: list[str], timeout: float) -> dict:
        shutil.rmtree(self.tree / ".hypothesis", ignore_errors=True)
        order_path = self.dir / "order.json"
        order_path.write_text(json.dumps(order))
        report_path = self.dir / "report.json"
        report_path.unlink(missing_ok=True)
        current = pathlib.Path(str(report_path) + ".current")
        current.unlink(missing_ok=True)
        basetemp = self.dir / "tmp"
        cmd = [str(self.python), "-c", RUNNER, str(report_path), str(order_path)]
        cmd += [*pytest_args, f"--basetemp={basetemp}"]
        t0 = time.monotonic()
        proc = subprocess.Popen(
            cmd,
            cwd=self.tree,
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            start_new_session=True,
        )
        try:
            output, _ = proc.communicate(timeout=timeout)
            timed_out = False
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            output, _ = proc.communicate()
            timed_out = True
        # Anything the run left behind in its process group goes with it.
        with contextlib.suppress(ProcessLookupError):
            os.killpg(proc.pid, signal.SIGKILL)
        seconds = time.monotonic() - t0
        report = {}
        if report_path.is_file():
            report = json.loads(report_path.read_text(encoding="utf-8"))
        elif current.is_file():  # crashed or hung: the test that was running
            report = {"failed": current.read_text(encoding="utf-8")}
        return {
            "rc": proc.returncode,
            "timed_out": timed_out,
            "seconds": seconds,
            "failed": report.get("failed"),
            "durations": report.get("durations", {}),
            "tail": output.decode(errors="replace")[-3000:],
        }


def sysconfig_of(python: str) -> dict[str, str]:
    code = (
        "import json, sys, sysconfig; print(json.dumps({'root': sys.base_prefix, "
        "'include': sysconfig.get_paths()['include'], "
        "'soabi': sysconfig.get_config_var('SOABI'), "
        "'cxx': sysconfig.get_config_var('CXX') or ''}))"
    )
    return json.loads(subprocess.run([python, "-c", code], capture_output=True, check=True).stdout)


def first_error(log: str) -> str:
    for line in log.splitlines():
        if ": error:" in line or "error:" in line.split(" ", 1)[0]:
            return line.strip()[:300]
    return log.strip().splitlines()[-1][:300] if log.strip() else "build failed"


# ------------------------------------------------------------------------------------------
# The run


class Results:
    """The JSON cache: one entry per mutant key, written after every mutant."""

    def __init__(self, path: pathlib.Path):
        self.path = path
        self.lock = threading.Lock()
        self.data: dict[str, dict] = {}
        if path.is_file():
            self.data = json.loads(path.read_text(encoding="utf-8"))

    def get(self, key: str) -> dict | None:
        with self.lock:
            return self.data.get(key)

    def put(self, key: str, value: dict) -> None:
        with self.lock:
            self.data[key] = value
            tmp = self.path.with_suffix(".tmp")
            tmp.write_text(json.dumps(self.data, indent=1, sort_keys=True), encoding="utf-8")
            tmp.replace(self.path)

    def kills(self) -> collections.Counter:
        with self.lock:
            killers = (v.get("killer") for v in self.data.values() if v.get("status") == "killed")
            return collections.Counter(k for k in killers if k)


def test_order(durations: dict[str, float], kills: collections.Counter) -> dict[str, float]:
    """Fast tests first, and among them those that have killed the most mutants so far."""
    return {t: (d + 0.01) / (1 + kills.get(t, 0)) for t, d in durations.items()}


@dataclasses.dataclass
class Context:
    args: argparse.Namespace
    results: Results
    texts: dict[str, str]
    src_digest: dict[str, str]  # per source file
    suite_digest: str
    durations: dict[str, float]
    timeout: float
    pytest_args: list[str]
    log: threading.Lock

    def key(self, m: Mutant) -> str:
        h = hashlib.sha256()
        for f in sorted(self.src_digest):
            if f == m.path:
                h.update(f.encode() + b"\0" + m.apply(self.texts[f]).encode() + b"\0")
            else:
                h.update(f.encode() + b"\0" + self.src_digest[f].encode() + b"\0")
        h.update(self.suite_digest.encode())
        h.update(json.dumps(self.pytest_args).encode())
        return h.hexdigest()


def known_equivalent(m: Mutant) -> str:
    return EQUIVALENT.get((m.path, m.before, m.after)) or m.equivalent


def run_mutant(ctx: Context, ws: Workspace, m: Mutant) -> dict:
    entry = {
        "path": m.path,
        "line": m.line,
        "class": m.klass,
        "op": m.op,
        "before": m.before,
        "after": m.after,
    }
    reason = known_equivalent(m)
    if reason:  # not worth a build and a suite run
        return entry | {
            "status": "equivalent",
            "detail": reason,
            "build_seconds": 0,
            "test_seconds": 0,
        }
    original = ctx.texts[m.path]
    t0 = time.monotonic()
    ws.write_source(m.path, m.apply(original))
    try:
        built, error, so = ws.build_and_install(timeout=max(600.0, ctx.timeout))
    except subprocess.TimeoutExpired:
        built, error, so = False, "build timed out", b""
    finally:
        # Restored before the tests run: the suite reads src/ too (the source lint).
        ws.write_source(m.path, original)
    entry["build_seconds"] = round(time.monotonic() - t0, 2)
    if not built:
        return entry | {"status": "not viable", "detail": error, "test_seconds": 0}
    if so == ws.baseline_so:
        return entry | {"status": "equivalent", "detail": "identical binary", "test_seconds": 0}
    order = test_order(ctx.durations, ctx.results.kills())
    r = ws.run_suite(order, ctx.pytest_args, ctx.timeout)
    entry["test_seconds"] = round(r["seconds"], 2)
    if r["timed_out"]:
        return entry | {"status": "killed", "killer": r["failed"], "detail": "timeout"}
    rc = r["rc"]
    if rc == 0:
        return entry | {"status": "survived"}
    if rc < 0:
        sig = signal.Signals(-rc).name if -rc in signal.Signals._value2member_map_ else rc
        return entry | {"status": "killed", "killer": r["failed"], "detail": f"crash ({sig})"}
    if rc in (1, 2, 3) or rc > 5:
        detail = "test failed" if rc == 1 else f"pytest exit {rc}"
        return entry | {"status": "killed", "killer": r["failed"], "detail": detail}
    raise RuntimeError(f"pytest could not run (exit {rc}):\n{r['tail']}")


def prepare(ws: Workspace, files: list[str]) -> None:
    ws.sync(files)
    ws.make_venv()
    ws.configure()
    ok, error, so = ws.build_and_install(timeout=1800)
    if not ok:
        raise RuntimeError(f"the unmutated tree does not build: {error}")
    ws.baseline_so = so


def baseline(ctx: Context, ws: Workspace) -> dict[str, float]:
    """Runs the suite on the unmutated build once per suite+source digest; returns durations."""
    key = (
        "baseline:"
        + hashlib.sha256(
            (json.dumps(ctx.src_digest, sort_keys=True) + ctx.suite_digest).encode()
            + json.dumps(ctx.pytest_args).encode()
        ).hexdigest()
    )
    cached = ctx.results.get(key)
    if cached:
        return cached["durations"]
    print("baseline: the suite on the unmutated build ...", flush=True)
    r = ws.run_suite({}, ctx.pytest_args, timeout=3600)
    if r["rc"] != 0:
        raise RuntimeError(f"the suite fails on the unmutated build:\n{r['tail']}")
    print(f"baseline: passed in {r['seconds']:.0f} s", flush=True)
    entry = {"status": "baseline", "seconds": r["seconds"], "durations": r["durations"]}
    ctx.results.put(key, entry)
    return r["durations"]


def main() -> int:
    ap = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    ap.add_argument("--files", help="comma-separated globs or folders of src/: cipher,rsa/rsa.cpp")
    ap.add_argument("--ops", help=f"comma-separated classes ({', '.join(CLASSES)}) or operators")
    ap.add_argument("--lines", help="only mutants on these lines (N or N-M), with --files")
    ap.add_argument("--sample", type=int, help="a stratified random sample of this many mutants")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("-j", "--jobs", type=int, default=1, help="mutants built and tested at once")
    ap.add_argument("--build-jobs", type=int, default=os.cpu_count() or 2)
    ap.add_argument(
        "--venv",
        type=pathlib.Path,
        default=OUT / "venv",
        help="a venv with the test extras (make install-test VENV=...)",
    )
    ap.add_argument("--timeout", type=float, help="seconds per test run (3 x baseline + 60)")
    ap.add_argument("--pytest-args", default="", help="extra arguments for pytest")
    ap.add_argument("--min-kill", type=float, default=0.0, help="exit 1 under this kill rate")
    ap.add_argument("--list", action="store_true", help="list the selected mutants and stop")
    ap.add_argument("--rerun", action="store_true", help="ignore cached results of these mutants")
    ap.add_argument(
        "--report-only", action="store_true", help="report the cached results, run nothing"
    )
    args = ap.parse_args()

    mutants = all_mutants()
    generated_total = len(mutants)
    chosen = select(mutants, args)
    if args.list:
        for m in chosen:
            print(f"{m.uid} {m.describe()}\n    - {m.before}\n    + {m.after}")
        counts = collections.Counter(m.klass for m in chosen)
        shares = ", ".join(f"{k} {counts[k]}" for k in CLASSES)
        print(f"{len(chosen)} of {generated_total} mutants: {shares}")
        return 0

    OUT.mkdir(parents=True, exist_ok=True)
    files = tracked_files()
    src = source_files()
    texts = {f: (ROOT / f).read_text(encoding="utf-8") for f in src}
    ctx = Context(
        args=args,
        results=Results(OUT / "results.json"),
        texts=texts,
        src_digest={f: hashlib.sha256(t.encode()).hexdigest() for f, t in texts.items()},
        suite_digest=digest_files(suite_files(files)),
        durations={},
        timeout=0.0,
        pytest_args=[
            *("-x", "-q", "-p", "no:cacheprovider", "--hypothesis-seed=0"),
            *args.pytest_args.split(),
        ],
        log=threading.Lock(),
    )
    # Other sources that reach the build (CMakeLists.txt, the stub) are part of every key too.
    build_inputs = [f for f in files if f in ("CMakeLists.txt", "src/crypt_main.pyi")]
    ctx.src_digest["<build>"] = digest_files(build_inputs)

    todo = [m for m in chosen if args.rerun or not ctx.results.get(ctx.key(m))]
    if args.report_only:
        todo = []
    print(
        f"{len(chosen)} mutants selected of {generated_total}; {len(chosen) - len(todo)} cached, "
        f"{len(todo)} to run with {args.jobs} worker(s)",
        flush=True,
    )
    t_start = time.monotonic()
    workers = [Workspace(k, args.venv.resolve(), args.build_jobs) for k in range(max(1, args.jobs))]
    if todo:
        if not (args.venv / "bin" / "python").exists():
            print(f"no venv at {args.venv}: `make install-test VENV={args.venv}`", file=sys.stderr)
            return 2
        prepare(workers[0], files)
        ctx.durations = baseline(ctx, workers[0])
        base_seconds = sum(ctx.durations.values())
        ctx.timeout = args.timeout or 3 * base_seconds + 60
        for ws in workers[1:]:
            prepare(ws, files)
        run_all(ctx, workers, todo)
    elapsed = time.monotonic() - t_start

    rows = []
    for m in chosen:
        r = ctx.results.get(ctx.key(m))
        if r is None:
            continue
        reason = known_equivalent(m)
        if reason and r["status"] == "survived":
            r = r | {"status": "equivalent", "detail": reason}
        elif reason and r["status"] == "killed":
            print(f"listed as equivalent, yet killed: {m.describe()}", file=sys.stderr)
        rows.append((m, r))
    text = report(rows, generated_total, args, elapsed, len(todo))
    print(text)
    (OUT / "report.txt").write_text(text + "\n", encoding="utf-8")
    (OUT / "survivors.txt").write_text(survivor_text(rows), encoding="utf-8")
    killed = sum(r["status"] == "killed" for _, r in rows)
    survived = sum(r["status"] == "survived" for _, r in rows)
    rate = 100.0 * killed / (killed + survived) if killed + survived else 100.0
    return 1 if rate < args.min_kill else 0


def run_all(ctx: Context, workers: list[Workspace], todo: list[Mutant]) -> None:
    # Whole files go to one worker in a row, so each build recompiles one translation unit.
    by_file: dict[str, list[Mutant]] = collections.defaultdict(list)
    for m in todo:
        by_file[m.path].append(m)
    batches: queue.Queue = queue.Queue()
    for f in sorted(by_file, key=lambda f: -len(by_file[f])):
        batches.put(by_file[f])
    done = [0]
    t0 = time.monotonic()

    def work(ws: Workspace) -> None:
        while True:
            try:
                batch = batches.get_nowait()
            except queue.Empty:
                return
            for m in batch:
                r = run_mutant(ctx, ws, m)
                ctx.results.put(ctx.key(m), r)
                with ctx.log:
                    done[0] += 1
                    avg = (time.monotonic() - t0) / done[0]
                    extra = f" ({r['detail']})" if r.get("detail") else ""
                    killer = f" by {r['killer']}" if r.get("killer") else ""
                    print(
                        f"[{done[0]}/{len(todo)} {avg:.0f} s/mutant] {m.describe()}: "
                        f"{r['status']}{extra}{killer} [build {r['build_seconds']:.0f} s, "
                        f"tests {r['test_seconds']:.0f} s]",
                        flush=True,
                    )

    with concurrent.futures.ThreadPoolExecutor(len(workers)) as pool:
        for f in [pool.submit(work, ws) for ws in workers]:
            f.result()


def table(title: str, groups: dict[str, list[dict]]) -> list[str]:
    lines = [
        f"{title:<22} {'generated':>9} {'not viable':>10} {'equivalent':>10} {'killed':>7} "
        f"{'survived':>8} {'kill rate':>9}"
    ]
    for name, rs in groups.items():
        c = collections.Counter(r["status"] for r in rs)
        k, s = c["killed"], c["survived"]
        rate = f"{100.0 * k / (k + s):.1f} %" if k + s else "-"
        counts = f"{len(rs):>9} {c['not viable']:>10} {c['equivalent']:>10} {k:>7} {s:>8}"
        lines.append(f"{name:<22} {counts} {rate:>9}")
    return lines


def report(rows, generated_total: int, args, elapsed: float, ran: int) -> str:
    statuses = [r for _, r in rows]
    out = []
    by_class = {k: [r for m, r in rows if m.klass == k] for k in CLASSES}
    by_class = {k: rs for k, rs in by_class.items() if rs}
    by_op = collections.defaultdict(list)
    by_file = collections.defaultdict(list)
    for m, r in rows:
        by_op[f"{m.klass}/{m.op}"].append(r)
        by_file[m.path.removeprefix("src/")].append(r)
    out += table("operator class", by_class | {"all": statuses})
    out.append("")
    out += table("operator", dict(sorted(by_op.items())))
    out.append("")
    out += table("file", dict(sorted(by_file.items())))
    c = collections.Counter(r["status"] for r in statuses)
    k, s = c["killed"], c["survived"]
    rate = 100.0 * k / (k + s) if k + s else 100.0
    tested = [r for r in statuses if r.get("test_seconds")]
    spent = sum(r.get("build_seconds", 0) + r.get("test_seconds", 0) for r in statuses)
    per = spent / max(1, len(statuses))
    out.append("")
    out.append(
        f"{len(statuses)} mutants (of {generated_total} generated): {c['not viable']} not viable, "
        f"{c['equivalent']} equivalent, {k} killed, {s} survived; kill rate {rate:.1f} %"
        + (f" (minimum {args.min_kill:g} %)" if args.min_kill else "")
    )
    out.append(
        f"{ran} run now in {elapsed / 60:.1f} min; per mutant on average {per:.1f} s "
        f"(build + tests), {len(tested)} reached the tests"
    )
    eq = [(m, r) for m, r in rows if r["status"] == "equivalent"]
    if eq:
        out.append("")
        out.append("Equivalent:")
        for m, r in eq:
            out.append(f"  {m.describe()} ({r.get('detail')})\n    - {m.before}\n    + {m.after}")
    out.append("")
    out.append(survivor_text(rows).rstrip())
    return "\n".join(out)


# The kind of test that catches a survivor of each operator, as the survivor list groups them.
WHAT_CATCHES = {
    "refcount": "reference counts: sys.getrefcount of everything the call touches (globals, "
    "their attributes, cached types and descriptors, interned names), before and after many calls",
    "swap": "error order: make both steps fail, expect the error of the step that comes first",
    "errcheck": "failure paths: make that call fail (a replaced global, a raising __eq__ or "
    "encode, a subclass) and expect its error, not a crash or a later one",
    "codec": "codecs and paths: non-ASCII and GBK-only text, a str or bytes subclass with its "
    "own encode or decode that records the spelling it was called with",
    "keyword": "arguments: a replaced global that records how it was called (keyword or "
    "positional), compared with the plain class",
    "compare": "outputs and guards: values at and on both sides of the condition",
    "constant": "outputs and guards: values at and on both sides of the constant",
}


def survivor_text(rows) -> str:
    surv = [(m, r) for m, r in rows if r["status"] == "survived"]
    lines = [f"Survivors: {len(surv)}"]
    for klass in CLASSES:
        group = [m for m, _ in surv if m.klass == klass]
        if not group:
            continue
        lines.append(f"\n{klass} ({len(group)}); caught by {WHAT_CATCHES[klass]}")
        for m in group:
            lines.append(f"{m.describe()}\n  - {m.before}\n  + {m.after or '(removed)'}")
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    sys.exit(main())
