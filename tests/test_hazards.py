"""The interpreter's rare states, each in a child interpreter: shutdown with daemon threads,
borrowed callers, the cyclic collector, generators, a second runtime in one process, pickling,
fork, and globals replaced mid-call. Where plain Python defines the outcome, the same script
also runs against the plain-Python class, and both must print the same."""

import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

from tests.support import PLAIN, run_python

# Binds M to the module under test, crypt_main or the plain-Python one.
LOAD = {
    "module": "import crypt_main as M\n",
    "plain": (
        "import importlib.util\n"
        f"spec = importlib.util.spec_from_file_location('plain', {str(PLAIN)!r})\n"
        "M = importlib.util.module_from_spec(spec)\n"
        "spec.loader.exec_module(M)\n"
    ),
}


def run_both(code, env=None):
    """Runs code against the module and against plain Python; returns the module's stdout."""
    out = {}
    for which, load in LOAD.items():
        r = run_python(load + textwrap.dedent(code), env=env)
        assert r.returncode == 0 and r.stderr == "", (which, r.stderr)
        out[which] = r.stdout
    assert out["module"] == out["plain"]
    return out["module"]


# Each a statement that a daemon thread repeats until the interpreter exits. The library calls
# of the first two release the GIL; the others run Python code, which hands it over too.
AT_EXIT = {
    "aes_cbc": 'm.aes_cbc("payload", "0123456789abcdef", "fedcba9876543210")',
    "md5-large": 'm.md5("x" * 100_000, "upper")',
    "base64": 'm.base64("payload" * 100)',
    "php": 'm.php("载荷", "密钥", "fedcba9876543210", True)',
    "rsa_decrypt": "m.rsa_decrypt(SEALED, PRI)",
    "token": 'm.token({"a": 1}, KEY)',
    "token_decrypt-refused": 'with suppress(Exception): m.token_decrypt("not.a.token", KEY)',
}


@pytest.mark.parametrize("statement", AT_EXIT.values(), ids=AT_EXIT)
def test_daemon_thread_inside_a_call_at_exit(statement):
    # The thread is ended by a forced unwind through our frames, which must neither touch an
    # object without the GIL nor be swallowed; plain Python exits 0.
    code = textwrap.dedent(f"""
        import threading, time, rsa
        from contextlib import suppress
        from crypt_main import m_crypt as m
        KEY = "k" * 32
        PUB, PRI = rsa.newkeys(512)
        SEALED = m.rsa("sealed", PUB)

        def worker():
            while True:
                {statement}

        threading.Thread(target=worker, daemon=True).start()
        time.sleep(0.1)
        print("main thread returns")
    """)
    runs = [
        subprocess.Popen(
            [sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE
        )
        for _ in range(3)
    ]
    for p in runs:
        out, err = p.communicate(timeout=120)
        assert (p.returncode, out, err) == (0, b"main thread returns\n", b"")


BORROWED = {
    # The interpreter calls a signal handler through a borrowed reference; the clock drops it.
    "function": """
        f = M._Crypt.__dict__["token"].__func__
        del M._Crypt.token

        class Clock:
            def time(self):
                signal.signal(signal.SIGUSR1, signal.SIG_IGN)
                self.junk = [f"junk{i}" for i in range(5000)]
                return 1700000000

        M.time = types.SimpleNamespace(time=Clock().time)
        M.jwt = types.SimpleNamespace(encode=lambda claims, key, algorithm: print(claims))
        signal.signal(signal.SIGUSR1, f)
        del f
    """,
    # A partial lends a bound method, which lends the instance: the padding drops all three.
    "bound-method": """
        class Sub(M._Crypt):
            def _add_to_16(self, value):
                if value == signal.SIGUSR1:
                    signal.signal(signal.SIGUSR1, signal.SIG_IGN)
                    self.junk = [f"junk{i}" for i in range(5000)]
                return b"0123456789abcdef"

        M.AES = types.SimpleNamespace(
            MODE_CBC=2, new=lambda *a: types.SimpleNamespace(encrypt=lambda data: data[::-1])
        )
        signal.signal(signal.SIGUSR1, functools.partial(Sub().php, iv="f" * 16, base64s=1))
        M.base64 = types.SimpleNamespace(encodebytes=lambda b: print(b) or b)
    """,
}


@pytest.mark.parametrize("setup", BORROWED.values(), ids=BORROWED)
def test_borrowed_caller_drops_the_last_reference(setup):
    out = run_both(
        "import functools, os, signal, types\n"
        + textwrap.dedent(setup)
        + "os.kill(os.getpid(), signal.SIGUSR1)\nprint('survived')\n"
    )
    assert out.endswith("survived\n") and out.count("\n") == 2


def test_function_reached_while_the_collector_clears_its_cycle():
    # A finaliser in the cycle registers a weakref callback on a member that dies while the
    # collector clears the cycle; the callback still reaches the function through a live member.
    r = run_python("""
        import gc, weakref, crypt_main
        crypt_main.jwt = type("J", (), {"encode": staticmethod(lambda d, k, algorithm: "ok")})
        out, refs = [], []

        def callback(_):
            f = refs[0]().f
            out.append(f(data=1, key="k"))  # keywords and defaults
            out.append(repr(f).split(" at ")[0])

        class Node:
            pass

        class Finalizer:
            def __del__(self):
                refs.append(weakref.ref(self.holder))
                refs.append(weakref.ref(self.target, callback))

        def build():
            f = crypt_main._Crypt.__dict__["token"].__func__
            del crypt_main._Crypt.token
            fin, holder, target = Finalizer(), Node(), Node()
            # Only fin holds target, which so dies before holder is cleared.
            holder.f, holder.fin, fin.holder, fin.target = f, fin, holder, target
            target.holder = holder

        build()
        gc.collect()
        print(out)
    """)
    assert (r.returncode, r.stderr) == (0, "")
    assert r.stdout == "['ok', '<function _Crypt.token']\n"


def test_generator_exception_state():
    # The handler must not install its caught error in the generator's own slot, nor leave the
    # caller's exception there; what it raises chains to the caught error, as in plain Python.
    out = run_both("""
        import sys, types
        m = M.m_crypt if hasattr(M, "m_crypt") else M.obj

        def worker():
            try:
                m.token_decrypt("not.a.token", "k" * 32)
            except Exception as e:
                chain = [e.__context__, e.__context__.__context__]
                print(type(e).__name__, e.__cause__, *map(repr, chain))
            print("in generator", repr(sys.exception()))
            yield
            print("resumed", repr(sys.exception()))
            raise ValueError("later")

        def fails(*args, **kwargs):
            raise ValueError("from the library")

        # The real library, and a stand-in without `exceptions`, on which the handler fails.
        for jwt in (M.jwt, types.SimpleNamespace(decode=fails)):
            M.jwt, real = jwt, M.jwt
            g = worker()
            try:
                raise KeyError("the caller's")
            except KeyError:
                next(g)
                print("caller", repr(sys.exception()))
            try:
                next(g)
            except ValueError as e:
                print("later", repr(e.__context__))
            M.jwt = real
    """)
    assert out.count("resumed None") == out.count("later None") == 2
    assert "AttributeError None ValueError('from the library') KeyError(\"the caller's\")" in out


def embedding_build():
    config = (
        Path(sysconfig.get_config_var("BINDIR")) / f"python{sysconfig.get_python_version()}-config"
    )
    cc = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    if not cc or not config.exists():
        pytest.skip("needs a C compiler and python3.13-config")
    flags = subprocess.run(
        [config, "--cflags", "--ldflags", "--embed"], capture_output=True, text=True, check=True
    ).stdout.split()
    return cc, flags, sysconfig.get_config_var("LIBDIR")


EMBED = r"""
#define PY_SSIZE_T_CLEAN
#include <Python.h>
int main(int argc, char** argv)
{
    for (int round = 0; round < 3; ++round) {
        PyConfig config;
        PyConfig_InitPythonConfig(&config);
        PyStatus status = Py_InitializeFromConfig(&config);
        PyConfig_Clear(&config);
        if (PyStatus_Exception(status)) Py_ExitStatusException(status);
        if (PyRun_SimpleString(argv[1]) != 0) return 1;
        if (Py_FinalizeEx() < 0) return 2;
    }
    return 0;
}
"""


def run_embedded(tmp_path, source, script):
    """Builds the embedding program from C source and runs it with the script as argv[1]."""
    cc, flags, libdir = embedding_build()
    (tmp_path / "embed.c").write_text(source)
    program = tmp_path / "embed"
    subprocess.run(
        [cc, tmp_path / "embed.c", "-o", program, *flags, f"-Wl,-rpath,{libdir}"], check=True
    )
    paths = [p for p in sys.path if p.endswith("site-packages")]
    env = {**os.environ, "PYTHONPATH": ":".join(paths)}
    script = textwrap.dedent(script)
    return subprocess.run([program, script], capture_output=True, text=True, timeout=300, env=env)


def test_runtime_finalised_and_started_again(tmp_path):
    r = run_embedded(
        tmp_path,
        EMBED,
        """
        import _interpreters, crypt_main, types
        m = crypt_main.m_crypt
        print(m.md5("abc", "upper"), m.token_decrypt(m.token([1], "k" * 32), "k" * 32))
        # The keyword names a call passes are this runtime's, not a finalised one's.
        real, names = crypt_main.jwt, []
        crypt_main.jwt = types.SimpleNamespace(decode=lambda t, k, **kw: names.extend(kw) or {})
        m.token_decrypt("t", "k")
        crypt_main.jwt = real
        print([a is b for a, b in zip(names, ("issuer", "algorithms"), strict=True)])
        interp = _interpreters.create(_interpreters.new_config("legacy"))
        print(_interpreters.exec(interp, "import crypt_main").msg.split(" - ")[0])
        _interpreters.destroy(interp)
    """,
    )
    line = "900150983CD24FB0D6963F7D28E17F72 [1]\n[True, True]\nInterpreter change detected\n"
    assert (r.returncode, r.stderr, r.stdout) == (0, "", line * 3)


EMBED_ASLEEP = r"""
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <unistd.h>
int main(int argc, char** argv)
{
    PyObject* held = NULL;
    for (int round = 0; round < 2; ++round) {
        Py_Initialize();
        if (held) {
            PyObject* result = PyObject_CallFunction(held, "ss", "abc", "upper");
            PyObject* exc = PyErr_GetRaisedException();
            PyObject* text = exc ? PyObject_Str(exc) : NULL;
            if (result || !text) return 3;
            printf("%s: %s\n", Py_TYPE(exc)->tp_name, PyUnicode_AsUTF8(text));
            fflush(stdout);
        }
        if (PyRun_SimpleString(argv[1]) != 0) return 1;
        if (!held) held = PyObject_GetAttrString(PyImport_AddModule("__main__"), "held");
        if (Py_FinalizeEx() < 0) return 2;
        usleep(400 * 1000);  /* the daemon thread wakes without a runtime */
    }
    return 0;
}
"""


def test_runtime_finalised_under_a_sleeping_thread(tmp_path):
    # A daemon thread asleep inside a call when the embedding program finalises the runtime is
    # ended by a forced unwind when it wakes, with no thread state, after the runtime's exit
    # and also after the next runtime has started: it must release nothing. A method the
    # program kept from the first runtime is refused in the second.
    r = run_embedded(
        tmp_path,
        EMBED_ASLEEP,
        """
        import threading, time
        from crypt_main import m_crypt as m
        started = threading.Event()

        class Slow(str):
            def encode(self, *args):
                started.set()
                time.sleep(0.2)
                return b"x"

        threading.Thread(target=lambda: m.base64(Slow("x")), daemon=True).start()
        started.wait()
        held = m.md5
        print(held("abc", "upper"))
    """,
    )
    digest = "900150983CD24FB0D6963F7D28E17F72\n"
    refused = (
        "TypeError: _Crypt.md5() belongs to a finalised Python runtime; import crypt_main again\n"
    )
    assert (r.returncode, r.stderr, r.stdout) == (0, "", digest + refused + digest)


def test_greenlets_parked_inside_a_call():
    # Each greenlet switches away from inside a call. A depth counted per OS thread would stay
    # raised by every one of them, until the thread's next call was refused. greenlet copies
    # slices of the stack with memcpy, redzones around our frames' locals included, which
    # AddressSanitizer's checked memcpy would report.
    env = os.environ.copy()
    if "ASAN_OPTIONS" in env:
        env["ASAN_OPTIONS"] += ":replace_intrin=0"
    out = run_both(
        """
        import sys, greenlet
        m = M.m_crypt if hasattr(M, "m_crypt") else M.obj
        main = greenlet.getcurrent()

        class Park(str):
            def encode(self, *args):
                main.switch()
                return b"x"

        parked = [greenlet.greenlet(lambda: m.base64(Park("x")))
                  for _ in range(sys.getrecursionlimit() + 10)]
        for g in parked:
            g.switch()
        print(m.base64("hello"), {g.switch() for g in parked})
    """,
        env,
    )
    assert out == "aGVsbG8= {'eA=='}\n"


def test_a_missing_global_is_never_looked_up_in_the_callers_builtins():
    # A function takes its builtins from where it is made, not from whoever calls it: an
    # exec() with its own __builtins__ controls only its own code.
    out = run_both("""
        import builtins, types
        m = M.m_crypt if hasattr(M, "m_crypt") else M.obj

        class Impostor:
            md5 = staticmethod(lambda: types.SimpleNamespace(
                update=lambda data: None, hexdigest=lambda: "the impostor's"))

        del M.hashlib
        try:
            exec("m.md5('abc', 'x')", {"__builtins__": {"hashlib": Impostor}, "m": m})
        except NameError as e:
            print(e, e.name)
        builtins.hashlib = Impostor
        print(m.md5("abc", "x"))
    """)
    assert out == "name 'hashlib' is not defined hashlib\nthe impostor's\n"


def test_builtins_of_the_importer_that_are_a_mapping():
    # The module made from a frame whose builtins are a mapping, not a dict (exec() accepts
    # one): a missing global is looked up there with the mapping protocol, a KeyError meaning
    # absence, any other error passing through, and what the mapping gave released.
    r = run_python("""
        import builtins, importlib.util, sys
        from Crypto.Util.Padding import pad as PAD

        class Builtins:
            def __getitem__(self, name):
                if name != "pad":
                    return vars(builtins)[name]
                if mode == "found":
                    return PAD
                raise {"missing": KeyError, "other": ZeroDivisionError}[mode]("pad")

            def __getattr__(self, name):  # PyImport_Import reads __import__ as an attribute
                return getattr(builtins, name)

        spec = importlib.util.find_spec("crypt_main")
        ns = {"__builtins__": Builtins(), "spec": spec}
        exec("import _imp\\nmodule = _imp.create_dynamic(spec)\\n_imp.exec_dynamic(module)", ns)
        module = ns["module"]
        del module.pad
        for mode in ("found", "missing", "other"):
            refs = sys.getrefcount(PAD)
            try:
                for _ in range(100):
                    result = module.m_crypt.des("abc", "des-key!").hex()
                print(result, sys.getrefcount(PAD) - refs)
            except Exception as e:
                print(type(e).__name__, e)
    """)
    out = "64bff21420b60dc6 0\nNameError name 'pad' is not defined\nZeroDivisionError pad\n"
    assert (r.returncode, r.stderr, r.stdout) == (0, "", out)


def test_token_decrypt_converts_inside_an_except_block():
    # The conversion runs with the caught error as the one being handled, and the interpreter
    # chains what it raises: it cuts a cycle through the caught error's own chain, and an error
    # raised with an old context gets the caught one instead. The caller's handled exception
    # is its own again afterwards.
    out = run_both("""
        import sys, types
        m = M.m_crypt if hasattr(M, "m_crypt") else M.obj

        def chain(e):
            names, seen = [], set()
            while e is not None and id(e) not in seen:
                seen.add(id(e))
                names.append(type(e).__name__)
                e = e.__context__
            return " -> ".join(names + ["CYCLE"] * (e is not None))

        class Caught(Exception):
            def __format__(self, spec):
                print("handling", repr(sys.exception()))
                return self.step()

        def stale():
            try:
                raise KeyError("old")
            except KeyError:
                err = LookupError("step")
            raise err

        def first():
            raise FIRST

        FIRST, second = ValueError("first"), TypeError("second")
        for step in (lambda: "text", stale, first):
            caught = Caught("c")
            caught.step = step
            second.__context__, caught.__context__ = FIRST, second

            def decode(*args, **kwargs):
                raise caught

            M.jwt = types.SimpleNamespace(decode=decode, exceptions=types.SimpleNamespace(
                ExpiredSignatureError=OSError))
            try:
                raise RuntimeError("the caller's")
            except RuntimeError:
                try:
                    m.token_decrypt("t", "k")
                except Exception as e:
                    print(chain(e))
                print("after", repr(sys.exception()))
    """)
    assert "CYCLE" not in out and out.count("handling Caught('c')") == 3


def test_finaliser_at_exit_of_an_object_in_the_namespace():
    # At exit the collector frees the module with its functions, and runs the finalisers of
    # what its namespace holds while the namespace is still whole. Kept alive by anything of
    # ours, the module would instead have its namespace wiped to None around them.
    out = run_both("""
        import sys
        sys.modules[M.__name__] = M  # as an import leaves it
        m = M.m_crypt if hasattr(M, "m_crypt") else M.obj

        class Finaliser:
            def __init__(self, m, write):
                self.m, self.write = m, write

            def __del__(self):
                self.write(self.m.md5("abc", "upper") + "\\n")

        M.keeper = Finaliser(m, sys.stdout.write)
    """)
    assert out == "900150983CD24FB0D6963F7D28E17F72\n"


def test_methods_pickle_and_copy_by_name():
    r = run_python("""
        import copy, multiprocessing, pickle
        from crypt_main import _Crypt, m_crypt

        for name in [n for n in vars(_Crypt) if not n.startswith("__")] + ["__init__"]:
            f = getattr(_Crypt, name)
            for protocol in range(2, 6):
                assert pickle.loads(pickle.dumps(f, protocol)) is f, (name, protocol)
            assert copy.copy(f) is f and copy.deepcopy([f])[0] is f, name
        php = pickle.loads(pickle.dumps(m_crypt.php))
        assert php("x", "k", "i" * 16) == m_crypt.php("x", "k", "i" * 16)
        with multiprocessing.Pool(2) as pool:
            print(pool.starmap(m_crypt.md5, [("abc", "upper")]))
    """)
    assert (r.returncode, r.stderr, r.stdout) == (0, "", "['900150983CD24FB0D6963F7D28E17F72']\n")


def test_fork_child_of_a_threaded_parent():
    # Whatever the threads were doing at fork time, the child's only thread must find the
    # module usable: nothing of ours (a lock, a cache half-updated) may hold it up. Every
    # operation runs once before the threads start: a thread in the middle of a first import
    # at fork time hangs the child that imports the same module, in plain Python too.
    r = run_python("""
        import os, threading, warnings
        from crypt_main import m_crypt as m
        warnings.simplefilter("ignore", DeprecationWarning)
        stop = threading.Event()

        def work(text):
            sealed = m.php(text, "密钥", "i" * 16, True)
            assert m.php_decrypt(sealed, "密钥", "i" * 16, True) == text
            assert m.base64_decrypt(m.base64(text)) == text
            return m.sha256(text, "upper")

        def worker():
            while not stop.is_set():
                work("线程")

        work("子")
        threads = [threading.Thread(target=worker) for _ in range(4)]
        for t in threads:
            t.start()
        for _ in range(20):
            pid = os.fork()
            if pid == 0:
                os._exit(0 if work("子") == m.sha256("子", "upper") else 1)
            assert os.waitpid(pid, 0)[1] == 0
        stop.set()
        for t in threads:
            t.join()
        print("done")
    """)
    assert (r.returncode, r.stderr, r.stdout) == (0, "", "done\n")


# A stand-in global that, used mid-call, removes itself from the module and drops the last
# reference to it: the call goes on with what it already holds, and later lookups fail as in
# plain Python.
REPLACED = {
    "AES": ("AES", "m.aes_ecb('value', 'k' * 16)"),
    "pad": ("pad", "m.des('value', 'desk' * 2)"),
    "hashlib": ("hashlib", "m.md5('value', 'upper')"),
    "base64": ("base64", "m.php('value', 'key', 'i' * 16, True)"),
    "jwt": ("jwt", "m.token_decrypt(TOKEN, 'k' * 32)"),
    "rsa": ("rsa", "m.rsa_keys(10)"),
}


@pytest.mark.parametrize("name, call", REPLACED.values(), ids=REPLACED)
def test_global_replaced_during_the_call(name, call):
    out = run_both(f"""
        m = M.m_crypt if hasattr(M, "m_crypt") else M.obj
        TOKEN = m.token("data", "k" * 32)
        M.rsa = type("FastKeys", (), {{"newkeys": staticmethod(lambda n: (n, n))}})
        real = M.{name}

        def vanishing(value):
            def call(*args, **kwargs):
                vars(M).pop({name!r}, None)
                [f"junk{{i}}" for i in range(5000)]
                return value(*args, **kwargs)
            return call

        class Vanishing:
            def __init__(self, real):
                self.real = real

            def __getattr__(self, attr):
                value = getattr(self.real, attr)
                return vanishing(value) if callable(value) and attr.islower() else value

        M.{name} = vanishing(real) if {name!r} == "pad" else Vanishing(real)
        del real
        try:
            print(repr({call}))
        except Exception as e:
            print(type(e).__name__, e)
        print({name!r} in vars(M))
    """)
    assert out.endswith("False\n")


# Out of memory at every allocation of a call, one at a time: each allocation the call makes,
# ours or the libraries', fails in turn (CPython's own test hook). The call must then raise
# MemoryError, or return what it returns with memory to spare, and the module must keep
# working. An unchecked return shows as a crash or as SystemError ("returned a result with an
# exception set"); a failure taken for success, as a wrong result.
OOM_SWEEP = """
    import sys, types, _testcapi
    {preload}
    def heap(text):
        return "".join(list(text))

    def out_of_memory(e):
        # The error itself, or one a library or the token check raised while handling it.
        # CPython can lose the MemoryError of a Python function's frame and report instead
        # that the function returned NULL without an exception: the stand-in decode, never
        # one of ours, is named there.
        while e is not None:
            if isinstance(e, MemoryError) or str(e) == "can't allocate lock":
                return True
            if isinstance(e, SystemError):
                return str(e).startswith("<function decode at ")
            e = e.__context__
        return False

    def sweep(fn):
        expected = fn()
        last_failure = start = 0
        while start < last_failure + 300:
            _testcapi.set_nomemory(start, start + 1)
            try:
                got = fn()
            except Exception as e:
                got = e
            finally:
                _testcapi.remove_mem_hooks()
            if isinstance(got, Exception):
                assert out_of_memory(got), (start, got)
                last_failure = start
            else:
                assert got == expected, (start, got, expected)
            start += 1
        return last_failure
"""

OOM_CALLS = {
    "base64": "m.base64(heap('some text'))",
    "base64_decrypt": "m.base64_decrypt(heap('c29tZSB0ZXh0'))",
    "md5": "m.md5(heap('message'), heap('upper'))",
    "sha512-lower": "m.sha512(heap('message'), heap('lower'))",
    "md5_hmac": "m.md5_hmac(heap('message'), heap('key'))",
    "aes_ecb": "m.aes_ecb(heap('payload'), heap('0123456789abcdef'))",
    "aes_cbc_decrypt": "m.aes_cbc_decrypt(CBC, heap('0123456789abcdef'), heap('fedcba9876543210'))",
    "des": "m.des(heap('payload'), heap('8bytekey'))",
    "php": "m.php(heap('中文'), heap('key'), heap('fedcba9876543210'), True)",
    "php_decrypt": "m.php_decrypt(PHP, heap('key'), heap('fedcba9876543210'), True)",
    "_add_to_16": "m._add_to_16(heap('abc'))",
    "rsa_keys": "m.rsa_keys(512)",
    "rsa-hex": "len(m.rsa(heap('hi'), PUB, True))",
    "rsa_decrypt-hex": "m.rsa_decrypt(RSA, PRIV, True)",
    "token": "m.token({'data': 1}, heap('k' * 32), 100, heap('iss'))",
    "token-float": "m.token({'data': 1}, heap('k' * 32), 100.5)",
    "token_decrypt": "m.token_decrypt(heap('t.o.k'), heap('k' * 32), heap('iss'))",
    "token_decrypt-refused": "refused()",
    "keywords": "m.php(value=heap('x'), key=heap('key'), iv=heap('fedcba9876543210'))",
}


@pytest.mark.parametrize("call", OOM_CALLS.values(), ids=OOM_CALLS)
def test_out_of_memory_at_every_allocation_of_a_call(call):
    pytest.importorskip("_testcapi")
    preload = """
    import rsa
    import crypt_main
    from crypt_main import m_crypt as m
    PUB, PRIV = rsa.newkeys(512)
    # Key generation and the clock are stubbed: a sweep over python-rsa's prime search would
    # take minutes, and a token must come out the same every time.
    # Where the libraries' own state or CPython's eval loop does not survive a failed
    # allocation (python-rsa's blinding factors, PyJWT's encoder), stand-ins take their place.
    crypt_main.rsa = types.ModuleType("rsa")
    vars(crypt_main.rsa).update(
        vars(rsa),
        newkeys=lambda n: (PUB, PRIV),
        decrypt=lambda crypto, key: b"%d bytes" % len(crypto),
    )
    NOW = int(crypt_main.time.time())
    crypt_main.time = types.ModuleType("time")
    crypt_main.time.time = lambda: NOW
    CBC = m.aes_cbc("p" * 20, "0123456789abcdef", "fedcba9876543210")
    PHP = m.php("中文", "key", "fedcba9876543210", True)
    RSA = m.rsa("hi", PUB, True)
    TOKEN = m.token({"data": 1}, "k" * 32, 100, "iss")
    def decode(token, key, issuer, algorithms):
        if token == "bad":
            raise ValueError("refused")
        return {"data": [token, key, issuer, algorithms]}

    def refused():  # what token_decrypt raised, unless it ran out of memory
        try:
            m.token_decrypt(heap("bad"), heap("k" * 32), heap("iss"))
        except Exception as e:
            if out_of_memory(e):
                raise
            return type(e).__name__, str(e), type(e.__context__).__name__

    crypt_main.jwt = types.ModuleType("jwt")
    vars(crypt_main.jwt).update(
        vars(sys.modules["jwt"]),
        encode=lambda claims, key, algorithm: (sorted(claims.items()), key, algorithm),
        decode=decode,
    )
    """
    r = run_python(
        textwrap.dedent(OOM_SWEEP).format(preload=textwrap.dedent(preload))
        + f"print(sweep(lambda: {call}) > 0)\n"
        + "print(m.md5('abc', 'upper'), m.token_decrypt('T', 'k', 'i'))\n"
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout == "True\n900150983CD24FB0D6963F7D28E17F72 ['T', 'k', 'i', ['HS256']]\n"


def test_out_of_memory_during_the_import():
    # The libraries are imported and the module object created first, and failures are
    # planted only while its import steps run: CPython's own import system and PyType_FromSpec
    # do not survive failed allocations (a lock it raises RuntimeError for, a type it returns
    # NULL for without an exception, a dict it leaves corrupt). A module runs its import steps
    # once per process, so each failure point gets a forked child. The import must raise
    # MemoryError, and the retry a program would make after freeing memory must then give a
    # working module.
    pytest.importorskip("_testcapi")
    r = run_python("""
        import atexit, base64, binascii, hashlib, hmac, importlib.util, os, time, _testcapi
        import jwt, rsa
        from Crypto.Cipher import AES, DES
        from Crypto.Util.Padding import pad, unpad
        import Crypto.Cipher
        del Crypto.Cipher.DES  # so that `from Crypto.Cipher import DES` takes the fallback

        spec = importlib.util.find_spec("crypt_main")
        created = importlib.util.module_from_spec(spec)

        def attempt(start):
            _testcapi.set_nomemory(start, start + 1)
            try:
                spec.loader.exec_module(created)
                failed = False
            except MemoryError:
                failed = True
            finally:
                _testcapi.remove_mem_hooks()
            if failed:
                module = importlib.util.module_from_spec(spec)
                spec.loader.exec_module(module)
            import crypt_main
            m = crypt_main.m_crypt
            assert (m.md5("abc", "upper"), m.base64_decrypt(m.base64("€"))) == (
                "900150983CD24FB0D6963F7D28E17F72", "€")
            return failed

        failures = start = last = 0
        while start < last + 200:
            pid = os.fork()
            if pid == 0:
                try:
                    os._exit(3 if attempt(start) else 0)
                except BaseException:
                    import traceback
                    traceback.print_exc()
                    os._exit(1)
            status = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
            assert status in (0, 3), (start, status)
            if status == 3:
                failures, last = failures + 1, start
            start += 1
        print(failures > 100)
    """)
    assert (r.returncode, r.stdout) == (0, "True\n"), r.stderr
