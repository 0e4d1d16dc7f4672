"""Greps the C++ sources for API misuse that the compiler lets through."""

import pathlib
import re
import shutil
import subprocess
import sys

import pytest

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"
# Comments and literals are blanked first, so that prose and message texts never match.
NOISE = re.compile(r'//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'', re.S)
CODE = {
    p.relative_to(SRC): NOISE.sub(lambda m: re.sub(r"[^\n]", " ", m.group()), p.read_text())
    for p in sorted(SRC.rglob("*"))
    if p.suffix in {".cpp", ".hpp", ".h"}
}


@pytest.mark.parametrize(
    "pattern, allowed",
    [
        (r"\bPy_X?(?:INCREF|DECREF|NewRef|SETREF)\b|\bPy_CLEAR\b", {"module"}),
        (r"\bcatch\b", {"module", "token"}),
        # A catch-all would stop the forced unwind that ends a daemon thread at exit.
        (r"\bcatch\s*\(\s*\.\.\.", set()),
        (r"\bPyModule_AddObject\s*\(", set()),
    ],
)
def test_forbidden(pattern, allowed):
    assert {"module", "codec"} <= {p.parts[0] for p in CODE}
    assert [
        f"{p}: {m.group()}"
        for p, text in CODE.items()
        if p.parts[0] not in allowed
        for m in re.finditer(pattern, text)
    ] == []


# A declaration or definition at the start of a line: return type, name, parameters, then
# what comes before the body or the semicolon.
DEFINITION = re.compile(r"^[A-Za-z_][\w:<>,\s*&]*?[\s*&](\w+)\s*\([^()]*\)([^;{()]*)[;{]", re.M)
SLOT = re.compile(
    r"\w+_(?:vectorcall|descr_get|traverse|clear|dealloc|repr)|module_(?:create|exec)"
)
# A row of a PyType_Slot or PyModuleDef_Slot array.
REGISTERED = re.compile(r"\{\s*Py_(?:tp|mod)_\w+\s*,\s*(?:reinterpret_cast<void\s*\*>\()?(\w+)")


# Slots that run Python code: a daemon thread ended at exit unwinds through them, which a
# noexcept frame would turn into std::terminate. Their bodies run under guarded(), which turns
# our exceptions into Python errors and lets that unwind pass.
UNWOUND = {"function_vectorcall", "module_create", "module_exec"}


def test_slots_are_noexcept_unless_unwound():
    found = {
        m.group(1): ("noexcept" in m.group(2), m.end())
        for text in CODE.values()
        for m in DEFINITION.finditer(text)
        if SLOT.fullmatch(m.group(1))
    }
    registered = {
        name for text in CODE.values() for name in REGISTERED.findall(text) if SLOT.fullmatch(name)
    }
    # A slot the pattern failed to see would otherwise pass unchecked.
    assert registered | UNWOUND <= set(found)
    assert {name for name, (noexcept, _) in found.items() if not noexcept} == UNWOUND
    bodies = "".join(CODE.values())
    for name in UNWOUND:
        body = bodies[bodies.index(name + "(") :]
        assert "guarded(" in body[: body.index("\n}\n")], name


# tools/mutate.py: an equivalent mutant is marked on its source line, and --list fails on a mark
# that matches no mutant, so that a rename or a reformat cannot leave one behind.
TOOL = SRC.parent / "tools" / "mutate.py"


def list_mutants(root):
    return subprocess.run(
        [sys.executable, root / "tools" / "mutate.py", "--list"], capture_output=True, text=True
    )


@pytest.mark.parametrize(
    "body, problem",
    [
        ("Py_DECREF(p);  // mutate: equivalent (immortal)", None),
        ("Py_DECREF(p);  // mutate: equivalent refcount,swap (immortal)", None),
        ("a = p;  // mutate: equivalent swap (locals)\n    b = q;", None),
        ("// mutate: equivalent swap (a mark on the line before)\n    a = p;\n    b = q;", None),
        ("// mutate: equivalent swap (the line after has none)\n    a = p;", "matches no mutant"),
        ("c = 'b';  // mutate: equivalent char='c' (one of the two)", None),
        ("c = 'b';  // mutate: equivalent char='d' (neither of the two)", "matches no mutant"),
        ("Py_DECREF(p);  // mutate: equivalent swap (nothing to swap with)", "matches no mutant"),
        ("a = p;  // mutate: equivalent (nothing to change)", "matches no mutant"),
        ("Py_DECREF(p);  // mutate: equivalent", "is not"),
        ("Py_DECREF(p);  // mutate: equivalnt (misspelt)", "is not"),
    ],
)
def test_mutation_marks(tmp_path, body, problem):
    (tmp_path / "tools").mkdir()
    shutil.copy(TOOL, tmp_path / "tools")
    (tmp_path / "src" / "m").mkdir(parents=True)
    (tmp_path / "src" / "m" / "f.cpp").write_text(f"void f(PyObject* p)\n{{\n    {body}\n}}\n")
    r = list_mutants(tmp_path)
    assert (r.returncode, "(marked: " in r.stdout) == ((1, False) if problem else (0, True))
    assert problem is None or f"src/m/f.cpp:3: the mark {problem}" in r.stderr


def test_mutation_marks_of_src():
    r = list_mutants(SRC.parent)
    assert (r.returncode, r.stderr) == (0, "")
