"""Re-import, sub-interpreters, failed imports and the per-call lookup of module globals.

Each test runs in a fresh interpreter, since each changes import state.
"""

import textwrap

import pytest

from tests.support import run_python

PRELUDE = """\
import sys, types

def raises(call, expected):
    try:
        call()
    except Exception as e:
        assert f"{type(e).__name__}: {e}" == expected, repr(e)
        # traceback's "Did you mean" reads the missing name from the exception
        assert not isinstance(e, NameError) or e.name == expected.split("'")[1], e.name
    else:
        raise AssertionError(f"nothing raised, expected {expected}")
"""
WORKS = 'assert crypt_main.m_crypt.md5("abc", "x") == "900150983cd24fb0d6963f7d28e17f72"\n'


def check(code):
    r = run_python(PRELUDE + textwrap.dedent(code) + WORKS + "print('done')\n")
    assert r.returncode == 0 and r.stdout.endswith("done\n"), r.stderr


def test_one_module_per_process():
    check("""
        import _interpreters, importlib, importlib.util
        import crypt_main
        first, cls, inst = crypt_main, crypt_main._Crypt, crypt_main.m_crypt
        del sys.modules["crypt_main"]
        import crypt_main
        spec = importlib.util.find_spec("crypt_main")
        assert crypt_main is first and importlib.util.module_from_spec(spec) is first
        spec.loader.exec_module(first)
        assert importlib.reload(first) is first
        assert crypt_main._Crypt is cls and crypt_main.m_crypt is inst
        for config, expected in [
            ("legacy", "Interpreter change detected - this module can only be loaded into one "
                       "interpreter per process."),
            ("isolated", "module crypt_main does not support loading in subinterpreters"),
        ]:
            interp = _interpreters.create(_interpreters.new_config(config))
            error = _interpreters.exec(interp, "import crypt_main")
            _interpreters.destroy(interp)
            assert (error.type.__name__, error.msg) == ("ImportError", expected), error
        # Once nothing holds it, the collector frees the module with its methods; the next
        # import builds a new one, from the top.
        del sys.modules["crypt_main"], crypt_main, first, cls, inst
        import gc
        gc.collect()
        import crypt_main
    """)


def absent(module):
    return f"sys.modules[{module!r}] = None", (
        f"ModuleNotFoundError: import of {module} halted; None in sys.modules"
    )


def raising(module):
    return f"sys.modules.pop({module!r}, None); sys.meta_path.insert(0, Raising({module!r}))", (
        f"ZeroDivisionError: no {module}"
    )


def missing(module, name, others):
    return f"sys.modules[{module!r}] = types.SimpleNamespace({others}=1)", (
        f"ImportError: cannot import name {name}"
    )


# One way of breaking each of the twelve import steps, in import order.
BREAKAGES = {
    "base64": absent("base64"),
    "hashlib": raising("hashlib"),
    "hmac": absent("hmac"),
    "time": raising("time"),
    "a2b_hex": missing("binascii", "a2b_hex", "b2a_hex"),
    "b2a_hex": missing("binascii", "b2a_hex", "a2b_hex"),
    "jwt": absent("jwt"),
    "rsa": raising("rsa"),
    "AES": missing("Crypto.Cipher", "AES", "DES"),
    "DES": missing("Crypto.Cipher", "DES", "AES"),
    "pad": raising("Crypto.Util.Padding"),
    "unpad": missing("Crypto.Util.Padding", "unpad", "pad"),
}


@pytest.mark.parametrize("breakage, expected", BREAKAGES.values(), ids=BREAKAGES)
def test_failed_import_then_repair(breakage, expected):
    check(f"""
        class Raising:
            def __init__(self, module):
                self.module = module

            def find_spec(self, name, path=None, target=None):
                if name == self.module:
                    raise ZeroDivisionError("no " + name)

        saved_modules, saved_path = dict(sys.modules), list(sys.meta_path)
        {breakage}
        raises(lambda: __import__("crypt_main"), {expected!r})
        assert "crypt_main" not in sys.modules
        sys.modules.clear()
        sys.modules.update(saved_modules)
        sys.meta_path[:] = saved_path
        import crypt_main, base64, hashlib, hmac, time, binascii, jwt, rsa
        import Crypto.Cipher, Crypto.Util.Padding
        bound = [crypt_main.base64, crypt_main.hashlib, crypt_main.hmac, crypt_main.time,
                 crypt_main.a2b_hex, crypt_main.b2a_hex, crypt_main.jwt, crypt_main.rsa,
                 crypt_main.AES, crypt_main.DES, crypt_main.pad, crypt_main.unpad]
        assert bound == [base64, hashlib, hmac, time, binascii.a2b_hex, binascii.b2a_hex, jwt,
                         rsa, Crypto.Cipher.AES, Crypto.Cipher.DES, Crypto.Util.Padding.pad,
                         Crypto.Util.Padding.unpad]
        # Calls must read the new module's namespace, not the discarded one's.
        crypt_main.hashlib, real = None, crypt_main.hashlib
        raises(lambda: crypt_main.m_crypt.md5("abc", "x"),
               "AttributeError: 'NoneType' object has no attribute 'md5'")
        crypt_main.hashlib = real
    """)


def test_from_import_falls_back_to_a_loaded_submodule():
    check("""
        sys.modules["Crypto.Cipher"] = types.SimpleNamespace(AES=1)
        sys.modules["Crypto.Cipher.DES"] = des = types.ModuleType("Crypto.Cipher.DES")
        refs = sys.getrefcount(des)
        import crypt_main
        assert crypt_main.DES is des and crypt_main.AES == 1
        assert sys.getrefcount(des) == refs + 1  # the module's global, nothing more
    """)


def test_discarded_module_cannot_be_initialised_again():
    # CPython skips the exec slot of a module that already has a state pointer. Creating the
    # module again while its exec runs gives back the same object with that pointer reset,
    # so a later exec request on it reaches the module.
    check("""
        import _imp
        armed = []

        class Capture:
            def find_spec(self, name, path=None, target=None):
                if name == "jwt":
                    armed.append(_imp.create_dynamic(sys.modules["crypt_main"].__spec__))
                    raise ImportError("no jwt")

        sys.meta_path.insert(0, Capture())
        raises(lambda: __import__("crypt_main"), "ImportError: no jwt")
        del sys.meta_path[0]
        import crypt_main
        [old] = armed
        assert crypt_main is not old
        raises(lambda: old.__spec__.loader.exec_module(old), "RuntimeError: Module 'crypt_main' "
               "has already been imported. Re-initialisation is not supported.")
    """)


@pytest.mark.parametrize(
    "name, call, attr",
    [
        ("base64", "m.base64_decrypt('YWJj')", "decodebytes"),
        ("hashlib", "m.sha384('abc', 'lower')", "sha384"),
        ("hmac", "m.md5_hmac('abc', 'k')", "new"),
        ("hashlib", "m.md5_hmac('abc', 'k')", "md5"),
    ],
)
def test_globals_are_looked_up_at_every_call(name, call, attr):
    check(f"""
        import builtins, crypt_main

        class Probe:
            def __getattr__(self, attr):
                raise LookupError(attr)

        m, real = crypt_main.m_crypt, crypt_main.{name}
        good = {call}
        crypt_main.{name} = Probe()
        raises(lambda: {call}, "LookupError: {attr}")
        del crypt_main.{name}
        raises(lambda: {call}, "NameError: name '{name}' is not defined")
        builtins.{name} = Probe()
        raises(lambda: {call}, "LookupError: {attr}")
        crypt_main.{name} = real
        assert {call} == good
    """)


def test_exec_requested_again_during_the_import():
    # A dependency that creates the module again while it initialises (which clears the mark
    # CPython keeps of a module's exec having run) and asks for its exec, gets the partial
    # module back at once, not a second run of the steps.
    check("""
        import _imp
        seen = []

        class Reenter:
            def find_spec(self, name, path=None, target=None):
                if name == "jwt" and not seen:
                    seen.append("armed")
                    module = _imp.create_dynamic(sys.modules["crypt_main"].__spec__)
                    assert module is sys.modules["crypt_main"]
                    seen.append(_imp.exec_dynamic(module))
                    seen.append([k for k in vars(module) if not k.startswith("__")])

        sys.meta_path.insert(0, Reenter())
        import crypt_main
        del sys.meta_path[0]
        names = ["base64", "hashlib", "hmac", "time", "a2b_hex", "b2a_hex"]
        assert seen == ["armed", 0, names], seen
    """)


def test_no_room_for_the_exit_function():
    # The runtime's table of exit functions is full: the module could not forget a finalised
    # runtime, so the import fails instead of leaving statics a second runtime would reuse.
    r = run_python("""
        import ctypes, sys
        at_exit = ctypes.pythonapi.Py_AtExit
        at_exit.argtypes = [ctypes.c_void_p]
        harmless = ctypes.cast(ctypes.CDLL(None).tzset, ctypes.c_void_p)
        for _ in range(100):
            if at_exit(harmless) < 0:
                break
        for _ in range(2):
            try:
                import crypt_main
            except RuntimeError as e:
                print(e)
        print("crypt_main" in sys.modules)
    """)
    line = "crypt_main: no room left for its exit function\n"
    assert (r.returncode, r.stderr, r.stdout) == (0, "", line * 2 + "False\n")


def test_a_freed_method_releases_what_it_held():
    # Methods are freed when the runtime ends, once per round in an embedding program; a
    # field left out of the release leaks with each round.
    check("""
        import crypt_main
        f = crypt_main._Crypt.__dict__["token"].__func__
        held = [f.__doc__, f.__name__, f.__qualname__, f.__module__, f.__defaults__]
        held = [x for x in held if sys.getrefcount(x) < 1 << 30]  # immortal counts never move
        assert len(held) >= 3
        before = [sys.getrefcount(x) for x in held]
        del crypt_main._Crypt.token, f
        assert [sys.getrefcount(x) for x in held] == [n - 1 for n in before]
    """)
