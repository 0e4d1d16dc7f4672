"""Times every crypt_main operation three ways: bare library calls, plain Python, the module.

Wall time by default; with --callgrind also instructions per call, counted by re-running this
script under valgrind's callgrind tool.
"""

import argparse
import ctypes
import gc
import glob
import importlib.util
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from importlib.metadata import version
from pathlib import Path

from crypt_main import m_crypt

# The same class in plain Python, the reference the tests compare the module against.
_spec = importlib.util.spec_from_file_location(
    "plain", Path(__file__).resolve().parent.parent / "tests" / "plain.py"
)
plain = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(plain)

LIBS = {
    name: getattr(plain, name)
    for name in ("base64", "hashlib", "hmac", "time", "jwt", "rsa", "AES", "DES", "pad", "unpad")
}
SIZES = {"16": "Hello, benchmark", "64K": "Hello, benchmark" * 4096}
K16, IV, K8 = "0123456789abcdef", "fedcba9876543210", "8bytekey"
KPHP = "php-secret"  # shorter than a block, so the zero padding of the key does real work
KJWT = "a secret of at least thirty-two bytes"
# A fixed 512-bit key (53 bytes per block), so that runs on different days are comparable.
P = 5970818408623208054339961582375446261947344339524493652997740368731489484642306923
Q = 1351139262017065308824938908707026141864239839961824734104450279345229787
PRI = plain.rsa.PrivateKey(P * Q, 65537, pow(65537, -1, (P - 1) * (Q - 1)), P, Q)
PUB = plain.rsa.PublicKey(PRI.n, PRI.e)
VARIANTS = ("empty", "bare", "plain", "module")
# Zero padding to a 16-byte multiple, the way a caller would write it inline.
ZKEY = '(kb := k.encode("gbk")) + bytes(-len(kb) % 16)'
ZVAL = '(vb := v.encode("gbk")) + bytes(-len(vb) % 16)'
PHP_CIPHER = f"AES.new({ZKEY}, AES.MODE_CBC, iv.encode())"
PHP_BARE = f"{PHP_CIPHER}.encrypt({ZVAL})"


def rows():
    """(name, call, bare, inputs, check): `call` follows `m.` or `p.`; `bare` makes the same
    library calls inline, on the same str arguments."""
    out = []
    for size, v in SIZES.items():

        def row(name, call, bare, check=None, size=size, v=v, **inputs):
            out.append((f"{name} {size}", call, bare, {"v": v, **inputs}, check))

        row("base64", "base64(v)", 'base64.encodebytes(v.encode()).decode().replace("\\n", "")')
        row(
            "base64_decrypt",
            "base64_decrypt(b)",
            "base64.decodebytes(b.encode()).decode()",
            b=m_crypt.base64(v),
        )
        for alg in ("md5", "sha1", "sha256", "sha384", "sha512"):
            hexed = f"hashlib.{alg}(v.encode()).hexdigest()"
            row(f"{alg} lower", f'{alg}(v, "lower")', hexed)
            row(f"{alg} upper", f'{alg}(v, "upper")', hexed + ".upper()")
            if alg == "md5":
                row("md5 upper kw", 'md5(value=v, fmt="upper")', hexed + ".upper()")
        row(
            "md5_hmac",
            "md5_hmac(v, k)",
            "hmac.new(k.encode(), v.encode(), hashlib.md5).digest()",
            k=K16,
        )
        for op, new, block, keys in (
            ("aes_ecb", "AES.new(k.encode(), AES.MODE_ECB)", 16, {"k": K16}),
            ("aes_cbc", "AES.new(k.encode(), AES.MODE_CBC, iv.encode())", 16, {"k": K16, "iv": IV}),
            ("des", "DES.new(k.encode(), DES.MODE_ECB)", 8, {"k": K8}),
        ):
            names = ", ".join(keys)
            row(op, f"{op}(v, {names})", f"{new}.encrypt(pad(v.encode(), {block}))", **keys)
            c = getattr(m_crypt, op)(v, *keys.values())
            row(
                f"{op}_decrypt",
                f"{op}_decrypt(c, {names})",
                f"unpad({new}.decrypt(c), {block}).decode()",
                c=c,
                **keys,
            )
        keys = {"k": KPHP, "iv": IV}
        row("php", "php(v, k, iv)", PHP_BARE, **keys)
        row(
            "php b64",
            "php(v, k, iv, True)",
            f'base64.encodebytes({PHP_BARE}).decode().replace("\\n", "")',
            **keys,
        )
        dec = f'{PHP_CIPHER}.decrypt(DATA).decode("gbk").rstrip("\\0")'
        row(
            "php_decrypt",
            "php_decrypt(c, k, iv)",
            dec.replace("DATA", "c"),
            c=m_crypt.php(v, KPHP, IV),
            **keys,
        )
        row(
            "php_decrypt b64",
            "php_decrypt(c, k, iv, True)",
            dec.replace("DATA", "base64.decodebytes(c.encode())"),
            c=m_crypt.php(v, KPHP, IV, True),
            **keys,
        )
        if size == "16":  # one block of the 512-bit key holds 53 bytes
            row("rsa", "rsa(v, pub)", "rsa.encrypt(v.encode(), pub)", check_rsa, pub=PUB)
            row(
                "rsa_decrypt",
                "rsa_decrypt(c, pri)",
                "rsa.decrypt(c, pri).decode()",
                pri=PRI,
                c=m_crypt.rsa(v, PUB),
            )
        claims = (
            '{"data": v, "iat": (now := int(time.time())), "iss": "Quarne", "exp": now + 86400}'
        )
        row(
            "token",
            "token(v, k)",
            f'jwt.encode({claims}, k, algorithm="HS256")',
            check_token,
            k=KJWT,
        )
        row(
            "token_decrypt",
            "token_decrypt(t, k)",
            'jwt.decode(t, k, issuer="Quarne", algorithms=["HS256"])["data"]',
            k=KJWT,
            t=m_crypt.token(v, KJWT),
        )
    return out


def check_rsa(out, bare, ns):
    return plain.rsa.decrypt(out, PRI).decode() == ns["v"]


def check_token(out, bare, ns):
    """Same claims in the same order; the clock may have ticked between the two tokens."""
    a, b = (plain.jwt.decode(t, KJWT, issuer="Quarne", algorithms=["HS256"]) for t in (out, bare))
    same = (a[c] == b[c] if c in ("data", "iss") else abs(a[c] - b[c]) <= 1 for c in a)
    return list(a) == list(b) and all(same)


class Row:
    def __init__(self, name, call, bare, inputs, check):
        self.name, self.check = name, check or (lambda out, bare, ns: out == bare)
        self.ns = {**LIBS, "m": m_crypt, "p": plain.obj, **inputs}
        exprs = {"empty": "None", "bare": bare, "plain": "p." + call, "module": "m." + call}
        self.once, self.loops = {}, {}
        for variant, expr in exprs.items():
            body = "pass" if variant == "empty" else expr
            # Each loop is its own tiny function, so loop overhead is the same for every variant.
            exec(
                f"def once():\n    return {expr}\n"
                f"def loop(n):\n    for _ in range(n):\n        {body}\n",
                self.ns,
            )
            self.once[variant], self.loops[variant] = self.ns.pop("once"), self.ns.pop("loop")

    def verify(self):
        bare = self.once["bare"]()
        for variant in ("bare", "plain", "module"):
            if not self.check(self.once[variant](), bare, self.ns):
                sys.exit(f"{self.name}: {variant} disagrees with bare")

    def measure(self, counter, n, rounds):
        """Median per-call cost of each variant, less the empty loop of the same round."""
        for loop in self.loops.values():
            loop(2)  # specialised bytecode, method caches and free lists settle before counting
        per_call = {v: [] for v in VARIANTS[1:]}
        for r in range(rounds):
            order = VARIANTS[r % 4 :] + VARIANTS[: r % 4]  # no variant always runs first
            raw = {v: counter(self.loops[v], n) for v in order}
            for v in per_call:
                per_call[v].append((raw[v] - raw["empty"]) / n)
        result = {v: statistics.median(c) for v, c in per_call.items()}
        result["spread"] = max(
            (max(c) - min(c)) / max(statistics.median(c), 1) for c in per_call.values()
        )
        return {**result, "n": n, "rounds": rounds}


def wall_ns(loop, n):
    start = time.perf_counter_ns()
    loop(n)
    return time.perf_counter_ns() - start


def calibrate(row, counter, target):
    """Iterations for which the bare loop costs at least `target`."""
    n = 1
    while (cost := counter(row.loops["bare"], n)) < target:
        # At most tenfold per step: one preempted or lucky short loop must not send n soaring.
        n = min(10 * n, max(2 * n, int(n * 1.2 * target / max(cost, 1))))
    return n


class Callgrind:
    """Instruction counts of one loop, from callgrind's dump of exactly that loop."""

    def __init__(self, workdir):
        self.lib = ctypes.CDLL(os.path.join(workdir, "shim.so"))
        self.dumps = os.path.join(workdir, "cg.out")

    def __call__(self, loop, n):
        self.lib.bench_start()
        loop(n)
        self.lib.bench_stop()
        (dump,) = glob.glob(self.dumps + ".*")
        with open(dump) as f:
            total = int(re.search(r"^totals:\s*(\d+)", f.read(), re.M).group(1))
        os.remove(dump)
        return total


SHIM = """#include <valgrind/callgrind.h>
void bench_start(void) { CALLGRIND_ZERO_STATS; CALLGRIND_TOGGLE_COLLECT; }
void bench_stop(void) { CALLGRIND_TOGGLE_COLLECT; CALLGRIND_DUMP_STATS; }
"""


def run_callgrind(args):
    """Runs this script again under callgrind and returns its counts."""
    if not shutil.which("valgrind"):
        sys.exit("--callgrind needs valgrind (apt-get install valgrind)")
    with tempfile.TemporaryDirectory(prefix="bench-cg-") as workdir:
        with open(os.path.join(workdir, "shim.c"), "w") as f:
            f.write(SHIM)
        subprocess.run(
            [
                os.environ.get("CC", "cc"),
                "-O2",
                "-shared",
                "-fPIC",
                "-o",
                f"{workdir}/shim.so",
                f"{workdir}/shim.c",
            ],
            check=True,
        )
        cmd = [
            "valgrind",
            "--tool=callgrind",
            "--collect-atstart=no",
            "-q",
            f"--callgrind-out-file={workdir}/cg.out",
            sys.executable,
            __file__,
            "--cg-child",
            workdir,
            "--filter",
            args.filter,
        ] + ["--quick"] * args.quick
        # A fixed hash seed keeps dict and set layouts, and so the counts, the same run to run.
        subprocess.run(cmd, check=True, env={**os.environ, "PYTHONHASHSEED": "0"})
        with open(os.path.join(workdir, "result.json")) as f:
            return json.load(f)


def ratio(a, b):
    return f"{a / b:.2f}" if b > 0 else "-"


def table(title, unit, results, fmt):
    print(f"\n{title} ({unit}, empty loop subtracted)")
    print(f"{'row':<22} {'bare':>11} {'plain':>11} {'module':>11} {'mod/bare':>9} {'mod/plain':>9}")
    for name, r in results.items():
        cells = " ".join(f"{fmt(r[v]):>11}" for v in ("bare", "plain", "module"))
        print(
            f"{name:<22} {cells} {ratio(r['module'], r['bare']):>9} "
            f"{ratio(r['module'], r['plain']):>9}"
        )
    if "md5 upper 16" in results and "md5 upper kw 16" in results:
        extra = results["md5 upper kw 16"]["module"] - results["md5 upper 16"]["module"]
        print(f"keywords instead of positions, module md5 upper 16: {extra:+.1f} {unit}")
    worst = max(results, key=lambda n: results[n]["spread"])
    typical = statistics.median(r["spread"] for r in results.values())
    print(
        f"spread across rounds, (max - min) / median: {100 * typical:.2f} % in the median row, "
        f"{100 * results[worst]['spread']:.2f} % at most ({worst})",
        flush=True,
    )


def machine():
    with open("/proc/cpuinfo") as f:
        cpu = re.search(r"^model name\s*:\s*(.*)$", f.read(), re.M)
    info = {
        "cpu": cpu.group(1) if cpu else "unknown",
        "cores": os.cpu_count(),
        "python": sys.version.split()[0],
    }
    info.update({p: version(p) for p in ("pycryptodome", "rsa", "PyJWT", "crypt_main")})
    return info


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--filter", default="", help="only rows whose name matches this regex")
    ap.add_argument("--json", metavar="PATH", help="also write every result to PATH")
    ap.add_argument("--quick", action="store_true", help="few short rounds: a smoke run")
    ap.add_argument("--callgrind", action="store_true", help="also count instructions per call")
    ap.add_argument("--rounds", type=int, help="wall-time rounds per row (default 25, quick 5)")
    ap.add_argument("--cg-child", metavar="DIR", help=argparse.SUPPRESS)
    args = ap.parse_args()
    selected = [Row(*r) for r in rows() if re.search(args.filter, r[0])]
    gc.disable()  # a collection landing in one round would only add noise
    if args.cg_child:
        counter = Callgrind(args.cg_child)
        budget, rounds = (300_000, 2) if args.quick else (3_000_000, 3)
        results = {}
        for row in selected:
            results[row.name] = row.measure(counter, calibrate(row, counter, budget), rounds)
        with open(os.path.join(args.cg_child, "result.json"), "w") as f:
            json.dump(results, f)
        return
    info = machine()
    print(
        f"{info['cpu']}, {info['cores']} cores; Python {info['python']}; pycryptodome "
        f"{info['pycryptodome']}, rsa {info['rsa']}, PyJWT {info['PyJWT']}, "
        f"crypt_main {info['crypt_main']}"
    )
    for row in selected:
        row.verify()
    rounds = args.rounds or (5 if args.quick else 25)
    target = 500_000 if args.quick else 2_000_000
    report = {"machine": info, "wall_ns": {}}
    for row in selected:
        report["wall_ns"][row.name] = row.measure(wall_ns, calibrate(row, wall_ns, target), rounds)
    table("wall time", "ns/call", report["wall_ns"], lambda x: f"{x:.1f}")
    if args.callgrind:
        report["callgrind_ir"] = run_callgrind(args)
        table("callgrind", "instructions/call", report["callgrind_ir"], lambda x: f"{x:.0f}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(report, f, indent=1)


if __name__ == "__main__":
    main()
