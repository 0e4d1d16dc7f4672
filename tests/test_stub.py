"""The installed type stub: a description for every method, and types that match the runtime."""

import ast
import pathlib
import re
import warnings

import pytest

import crypt_main
from tests import typing_cases
from tests.method_table import METHODS

STUB = pathlib.Path(crypt_main.__file__).with_name("crypt_main.pyi")


def stub_defs():
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    [cls] = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "_Crypt"]
    defs = {}
    for node in cls.body:
        if isinstance(node, ast.FunctionDef):
            defs.setdefault(node.name, []).append(node)
    return defs


DEFS = stub_defs()


@pytest.mark.parametrize("m", METHODS, ids=lambda m: m.name)
def test_docstring(m):
    # Editors show the docstring of the overload a call resolves to, so all must carry it.
    docs = {ast.get_docstring(d) for d in DEFS[m.name]}
    assert len(docs) == 1 and None not in docs, "overloads differ or one is undocumented"
    [doc] = docs
    params = [p.split("=")[0] for p in m.params.split(", ") if p != "self"]
    if not params:
        return
    # Every parameter described under its own name, then what comes back and what goes wrong.
    args, returns, raises = doc.find("\nArgs:\n"), doc.find("\nReturns:\n"), doc.find("\nRaises:\n")
    assert 0 < args < returns < raises, doc
    described = re.findall(r"^    (\w+): ", doc[args:returns], re.M)
    assert described == params


def test_accepted_calls_work():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        typing_cases.accepted(False)
        typing_cases.accepted(True)


@pytest.mark.parametrize("call", typing_cases.REFUSED + typing_cases.REFUSED_AT_RUN_TIME_ONLY)
def test_refused_calls_fail(call):
    with pytest.raises(Exception):
        call()
