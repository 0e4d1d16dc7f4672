"""Every ```python block of README.md, run in order in one namespace, with its stated values.

What the README may state, in the comment that ends a top-level statement:
- a value: a Python literal first, optionally followed by " — " and prose,
  `m_crypt.base64("Grüße")   # 'R3LDvMOfZQ==' — one line`. For an expression statement the
  literal is compared with its value, for `name = ...` with the value bound; equal with == and
  of the same type, so 1 does not stand for True nor '' for b''.
- an exception: `# raises binascii.Error: Incorrect padding`. The statement must raise an
  exception whose class name (or module.name) is the one given and, when ": message" follows,
  whose str() is exactly that message.
Any other comment is prose: it must not start like a literal (a quote, a digit, a bracket,
True, False or None), so a value with a typo fails instead of going unchecked. Blocks that are
not meant to run (shell, output, another language) use another fence. Warnings are errors
while the blocks run: an example that makes a library warn fails.
"""

import ast
import io
import pathlib
import re
import tokenize
import warnings

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
BLOCKS = re.findall(r"^```python\n(.*?)^```", README.read_text(encoding="utf-8"), re.S | re.M)
RAISES = re.compile(r"raises ([\w.]+)(?:: (.*))?")
LITERAL_START = re.compile(r"""[-'"\[{(0-9]|[bB]['"]|(?:True|False|None)\b""")


def comments(source):
    tokens = tokenize.generate_tokens(io.StringIO(source).readline)
    return {t.start[0]: t.string[1:].strip() for t in tokens if t.type == tokenize.COMMENT}


def claim(comment):
    """("raises", name, message or None), ("value", literal) or None for prose."""
    if m := RAISES.fullmatch(comment):
        return ("raises", m[1], m[2])
    if LITERAL_START.match(comment):
        return ("value", ast.literal_eval(comment.split(" — ")[0]))
    return None


def run(stmt, source, number, ns):
    """Executes one statement; returns its value (expression or simple assignment) or None."""
    filename = f"README.md python block {number}"
    if isinstance(stmt, ast.Expr):
        return eval(compile(ast.Expression(stmt.value), filename, "eval"), ns)
    exec(compile(ast.Module([stmt], type_ignores=[]), filename, "exec"), ns)
    if isinstance(stmt, ast.Assign) and len(stmt.targets) == 1:
        if isinstance(stmt.targets[0], ast.Name):
            return ns[stmt.targets[0].id]
    return None


def check(stmt, expected, source, number, ns):
    where = f"block {number}: {ast.get_source_segment(source, stmt)}"
    if expected is None:
        run(stmt, source, number, ns)
    elif expected[0] == "value":
        single_name = (
            isinstance(stmt, ast.Assign)
            and len(stmt.targets) == 1
            and isinstance(stmt.targets[0], ast.Name)
        )
        assert isinstance(stmt, ast.Expr) or single_name, f"{where}: a value on no expression"
        got, want = run(stmt, source, number, ns), expected[1]
        assert (type(got), got) == (type(want), want), where
    else:
        _, name, message = expected
        try:
            run(stmt, source, number, ns)
        except Exception as exc:
            cls = type(exc)
            assert name in (cls.__name__, f"{cls.__module__}.{cls.__qualname__}"), where
            assert message is None or str(exc) == message, where
        else:
            raise AssertionError(f"{where}: raised nothing")


def test_readme_python_blocks():
    assert len(BLOCKS) >= 8
    ns = {"__name__": "readme"}
    stated = 0
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        for number, source in enumerate(BLOCKS, 1):
            notes = {}
            for line, text in comments(source).items():
                try:
                    notes[line] = claim(text)
                except (SyntaxError, ValueError) as exc:
                    raise AssertionError(f"block {number}, line {line}: {text}") from exc
            body = ast.parse(source).body
            for stmt in body:
                expected = notes.pop(stmt.end_lineno, None)
                stated += expected is not None
                check(stmt, expected, source, number, ns)
            # A claim on a line that ends no top-level statement would go unchecked.
            assert {k: v for k, v in notes.items() if v is not None} == {}, f"block {number}"
    assert stated >= 30
