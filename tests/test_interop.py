"""The peer programs of docs/interop.md, run as a user would run them, against the module.

Each recipe is the code block under its `<!-- recipe: FORMAT PEER -->` line; its header comment
names the command for each direction. One process per recipe and direction reads every case.
"""

import base64
import contextlib
import hmac
import itertools
import json
import os
import pathlib
import re
import shutil
import subprocess

import jwt
import pytest
import rsa

from crypt_main import m_crypt

ROOT = pathlib.Path(__file__).resolve().parent.parent
DOC = (ROOT / "docs" / "interop.md").read_text(encoding="utf-8")
README = (ROOT / "README.md").read_text(encoding="utf-8")


def blocks(kind):
    """The fenced blocks under `<!-- KIND: NAME -->` lines, by NAME."""
    found = re.findall(rf"<!-- {kind}: ([^>]+?) -->\n```[^\n]*\n(.*?)```", DOC, re.S)
    return dict(found)


RECIPES = {tuple(name.split()): code for name, code in blocks("recipe").items()}
FILES = blocks("file")
KEYS = blocks("keys")

PEERS = ("php", "node", "java", "openssl")
# The subcommand that makes the peer produce a line for the module, and the one that consumes
# the module's line, the same for every peer.
SUBCOMMANDS = {
    "base64": ("encode", "decode"),
    "digest": ("digest", "verify"),
    "hmac-md5": ("sign", "verify"),
    "aes-ecb": ("encrypt", "decrypt"),
    "aes-cbc": ("encrypt", "decrypt"),
    "des-ecb": ("encrypt", "decrypt"),
    "php": ("encrypt", "decrypt"),
    "rsa": ("encrypt", "decrypt"),
    "token": ("issue", "verify"),
}
TOOLS = {
    "php": ["php"],
    "node": ["node"],
    "java": ["java"],
    "openssl": ["bash", "openssl", "iconv", "basenc", "jq"],
}
REVERT = "--security-revert=CVE-2023-46809"
REVERT_WARNING = "SECURITY WARNING: Reverting CVE-2023-46809: Marvin attack on PKCS#1 padding"

# The peers run without the sanitizer runtimes a sanitizer run preloads for Python, and in the
# C locale, where Java 17's default charset is ASCII: a recipe that leans on the default fails.
# Java's quick compiler tier alone more than halves a short run, the source launcher's included.
ENV = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"} | {
    "LC_ALL": "C",
    "JDK_JAVA_OPTIONS": "-XX:TieredStopAtLevel=1",
}


def absent(what):
    """Skip for want of a runtime; in CI, where .ci/run installs every peer, fail instead."""
    if os.environ.get("CI") == "true":
        pytest.fail(f"needs {what}: .ci/run installs it, and CI skips no peer")
    pytest.skip(f"needs {what}")


def require(*tools):
    missing = [t for t in tools if shutil.which(t) is None]
    if missing:
        absent(", ".join(missing))


def command(code, subcommand):
    """The command line the recipe's header gives for the subcommand."""
    commands = re.findall(r"^(?://|#) \$ (.*?< cases\.tsv)", code, re.M)
    [line] = [c for c in commands if f" {subcommand} <" in c]
    return line


def run_recipe(fmt, peer, subcommand, lines, workdir, *, drop=None, check=True):
    """Run the recipe over the lines as its header says; its output lines, or the process."""
    code = RECIPES[fmt, peer]
    line = command(code, subcommand)
    if drop is not None:
        assert drop in line or drop in code, drop
        line, code = line.replace(drop, ""), code.replace(drop, "")
    [name] = [w for w in line.split() if re.fullmatch(r"[\w-]+\.(php|js|java|sh)", w)]
    (workdir / name).write_text(code, encoding="utf-8")
    (workdir / "cases.tsv").write_text("".join(f"{x}\n" for x in lines), encoding="utf-8")
    proc = subprocess.run(
        ["bash", "-c", line], cwd=workdir, env=ENV, capture_output=True, timeout=300
    )
    if not check:
        return proc
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")
    out = proc.stdout.decode("utf-8").split("\n")
    assert out.pop() == "", "the last line is not finished"
    if REVERT in line:
        assert out.pop(0) == REVERT_WARNING
    assert len(out) == len(lines), out
    return out


@pytest.fixture(scope="session")
def workdir(tmp_path_factory):
    path = tmp_path_factory.mktemp("interop")
    for name, text in FILES.items():
        (path / name).write_text(text, encoding="utf-8")
    return path


@pytest.fixture(scope="session")
def keys(workdir):
    """Key files in both PEM families, made as the document says, with python-rsa's objects."""
    require("bash", "openssl")
    names = {}
    with contextlib.chdir(workdir):
        exec(KEYS["python"], names)
        pub, pri = m_crypt.rsa_keys(53)
        pathlib.Path("public-512.pem").write_bytes(pub.save_pkcs1())
        pathlib.Path("private-512.pem").write_bytes(pri.save_pkcs1())
        subprocess.run(["bash", "-c", KEYS["openssl"]], env=ENV, check=True, capture_output=True)
        peer = {}
        exec(KEYS["python-peer"], peer)
    assert "BEGIN RSA PUBLIC KEY" in (workdir / "public.pem").read_text()
    assert "BEGIN PRIVATE KEY" in (workdir / "peer-private.pem").read_text()
    module = (names["pub_key"], names["pri_key"])
    # public file, private file, python-rsa's public and private key
    return [
        ("public.pem", "private.pem", *module),
        ("public-512.pem", "private-512.pem", pub, pri),
        ("public-x509.pem", "private-pkcs8.pem", *module),
        ("peer-public.pem", "peer-private.pem", peer["pub_key"], peer["pri_key"]),
    ]


def b64(data):
    return base64.b64encode(data).decode()


TEXTS = [
    "",
    "a",
    "0123456",
    "01234567",  # one DES block
    "0123456789abcdef",  # one AES block
    "ü" * 8,  # one AES block, not ASCII
    " spaced  out ",
    "Grüße, 世界!",
    "100% \\n \"quoted\" 'single' $HOME `x`",
    "€ and 😀",
    "x" * 100,
]
AES_KEYS = ["0123456789abcdef", "ü" * 12, "密钥" * 5 + "ab"]  # 16, 24 and 32 bytes of UTF-8
IVS = ["fedcba9876543210", "ü" * 8]
DES_KEYS = ["8bytekey", "ü" * 4]
# 1, 4, 16, 20, 24 and 32 GBK bytes: AES-128 three times, then AES-256 three times.
PHP_KEYS = ["k", "密钥", "0123456789abcdef", "密钥" * 5, "x" * 24, "密" * 16]
PHP_TEXTS = [
    "",
    "0123456789abcdef",
    "你好，PHP",
    "abc\0",
    "中文" * 8,
    "x" * 17,
    " a b ",
    "100% $HOME",
]
HMAC_KEYS = ["key", "密钥", "0" * 64, "k" * 80]  # 64 bytes is MD5's block; longer keys are hashed
DIGESTS = ("md5", "sha1", "sha256", "sha384", "sha512")
TOKEN_KEYS = ["k" * 32, "密钥" * 6]
TOKEN_DATA = [
    {"user": 42, "path": "/a/b", "名": "值"},
    [1, 2.5, None, True, "x"],
    'a "quoted" \\ string',
    {},
    None,
    {"nested": {"exp": 1, "iss": "not this one"}},  # claims' names, one level down
]
REJECTED = ("rejected",)  # what a refused token reads as; JSON has no tuples


def digest(name, text, fmt="lower"):
    return getattr(m_crypt, name)(text, fmt)


def symmetric(produce, consume, rows):
    """(line fields, text) rows for a cipher whose module side is produce/consume."""

    def to_module(workdir):
        lines = ["\t".join((*fields, text)) for fields, text in rows]
        want = [(b64(produce(text, *fields)), text) for fields, text in rows]

        def judge(out):
            got = [
                (o, consume(base64.b64decode(o), *f)) for o, (f, _) in zip(out, rows, strict=True)
            ]
            return got, want

        return lines, judge

    def from_module(workdir):
        lines = ["\t".join((*f, b64(produce(text, *f)))) for f, text in rows]
        return lines, [text for _, text in rows]

    return to_module, from_module


def base64_to_module(workdir):
    texts = [*TEXTS, "x" * 57, "y" * 58]

    def judge(out):
        want = [(m_crypt.base64(t), t) for t in texts]
        return [(o, m_crypt.base64_decrypt(o)) for o in out], want

    return texts, judge


def base64_from_module(workdir):
    texts = [*TEXTS, "x" * 57, "y" * 58]
    return [m_crypt.base64(t) for t in texts], texts


def digest_to_module(workdir):
    rows = list(itertools.product(DIGESTS, TEXTS))

    def judge(out):
        return out, [digest(name, text) for name, text in rows]

    return [f"{name}\t{text}" for name, text in rows], judge


def digest_from_module(workdir):
    lines, want = [], []
    for i, (name, text) in enumerate(itertools.product(DIGESTS, TEXTS)):
        fmt = ("upper", "lower")[i % 2]
        lines += [f"{name}\t{digest(name, text, fmt)}\t{text}"]
        lines += [f"{name}\t{digest(name, text + '.', fmt)}\t{text}"]
        want += ["ok", "mismatch"]
    return lines, want


def hmac_to_module(workdir):
    rows = list(itertools.product(HMAC_KEYS, TEXTS))

    def judge(out):
        got = [
            hmac.compare_digest(base64.b64decode(o), m_crypt.md5_hmac(t, k))
            for o, (k, t) in zip(out, rows, strict=True)
        ]
        return got, [True] * len(rows)

    return [f"{key}\t{text}" for key, text in rows], judge


def hmac_from_module(workdir):
    lines, want = [], []
    for key, text in itertools.product(HMAC_KEYS, TEXTS):
        lines += [f"{key}\t{b64(m_crypt.md5_hmac(text, key))}\t{text}"]
        lines += [f"{key}\t{b64(m_crypt.md5_hmac(key, text))}\t{text}"]  # the arguments swapped
        want += ["ok", "mismatch"]
    return lines, want


PHP_ROWS = [
    ((key, IVS[i % 2]), text)
    for i, (key, text) in enumerate(itertools.product(PHP_KEYS, PHP_TEXTS))
]


def php_to_module(workdir):
    def judge(out):
        got = [
            (
                o,
                m_crypt.php_decrypt(o, k, iv, True),
                m_crypt.php_decrypt(base64.b64decode(o), k, iv),
            )
            for o, ((k, iv), _) in zip(out, PHP_ROWS, strict=True)
        ]
        want = [
            (m_crypt.php(t, k, iv, True), t.rstrip("\0"), t.rstrip("\0")) for (k, iv), t in PHP_ROWS
        ]
        return got, want

    return ["\t".join((k, iv, t)) for (k, iv), t in PHP_ROWS], judge


def php_from_module(workdir):
    # The Base64 text form and the raw ciphertext in turn.
    sealed = [
        m_crypt.php(t, k, iv, True) if i % 2 else b64(m_crypt.php(t, k, iv))
        for i, ((k, iv), t) in enumerate(PHP_ROWS)
    ]
    lines = ["\t".join((k, iv, s)) for ((k, iv), _), s in zip(PHP_ROWS, sealed, strict=True)]
    return lines, [t.rstrip("\0") for _, t in PHP_ROWS]


def rsa_texts(pub):
    room = rsa.common.byte_size(pub.n) - 11
    return ["", "hi", "Grüße, 世界!", "é" * (room // 2) + "a" * (room % 2)]  # the last one fills it


def rsa_to_module(keys):
    rows = [(pub_file, pri, text) for pub_file, _, pub, pri in keys for text in rsa_texts(pub)]

    def judge(out):
        got = [
            (m_crypt.rsa_decrypt(o, pri, True), m_crypt.rsa_decrypt(bytes.fromhex(o), pri))
            for o, (_, pri, _) in zip(out, rows, strict=True)
        ]
        return got, [(text, text) for *_, text in rows]

    return [f"{f}\t{text}" for f, _, text in rows], judge


def rsa_from_module(keys):
    lines, want = [], []
    for i, (_, pri_file, pub, _) in enumerate(keys):
        for text in rsa_texts(pub):
            sealed = (
                m_crypt.rsa(text, pub, True).decode() if i % 2 else m_crypt.rsa(text, pub).hex()
            )
            lines.append(f"{pri_file}\t{sealed}")
            want.append(text)
    return lines, want


def token_to_module(workdir):
    rows = [
        (key, issuer, lifetime, data)
        for key, issuer, lifetime in [
            (TOKEN_KEYS[0], "Quarne", 3600),
            (TOKEN_KEYS[1], "Ünïcode/发行者", 3600),
            (TOKEN_KEYS[0], "Quarne", -60),
        ]
        for data in TOKEN_DATA
    ]

    def verdict(token, key, issuer):
        try:
            return m_crypt.token_decrypt(token, key, issuer)
        except TimeoutError:
            return REJECTED

    def judge(out):
        got = [verdict(o, k, iss) for o, (k, iss, _, _) in zip(out, rows, strict=True)]
        want = [REJECTED if life < 0 else data for _, _, life, data in rows]
        claims = [jwt.decode(o, options={"verify_signature": False}) for o in out]
        got += [c["exp"] - c["iat"] for c in claims]
        want += [life for _, _, life, _ in rows]
        # The point of several issuers: each writes its JSON otherwise than PyJWT would.
        order = ("data", "iat", "iss", "exp")
        pyjwt = [
            jwt.encode({n: c[n] for n in order}, k, algorithm="HS256")
            for c, (k, *_) in zip(claims, rows, strict=True)
        ]
        got.append(any(o != p for o, p in zip(out, pyjwt, strict=True)))
        want.append(True)
        return got, want

    lines = [f"{k}\t{iss}\t{life}\t{json.dumps(d, ensure_ascii=False)}" for k, iss, life, d in rows]
    return lines, judge


def token_from_module(workdir):
    key, other = TOKEN_KEYS
    good = [
        (m_crypt.token(d, key, 3600, iss), iss, d)
        for d in TOKEN_DATA
        for iss in ("Quarne", "Ünïcode/发行者")
    ]
    forged = jwt.encode({"data": "forged", "iss": "Quarne"}, other, algorithm="HS256").split(".")
    header, payload, signature = m_crypt.token("real", key).split(".")
    none = base64.urlsafe_b64encode(b'{"alg":"none","typ":"JWT"}').decode().rstrip("=")
    bad = [
        m_crypt.token("expired", key, -60),
        m_crypt.token("other issuer", key, 3600, "Someone"),
        m_crypt.token("other key", other),
        f"{header}.{forged[1]}.{signature}",  # another payload under the real signature
        f"{none}.{payload}.",  # "alg": "none" and no signature
    ]
    rows = [*good, (m_crypt.token(["no exp"], key, None), "Quarne", ["no exp"])]
    rows += [(t, "Quarne", REJECTED) for t in bad]
    lines = [f"{key}\t{issuer}\t{token}" for token, issuer, _ in rows]
    return lines, [data for *_, data in rows]


def token_outputs(out):
    return [REJECTED if o.startswith("ERROR") else json.loads(o) for o in out]


def cbc_rows(keys):
    return [((k, iv), t) for k, iv, t in itertools.product(keys, IVS, TEXTS)]


def fresh_ivs(ivs):
    """Each message's IV new, 16 ASCII characters as secrets.token_hex(8) makes them."""
    return all(re.fullmatch("[0-9a-f]{16}", iv) for iv in ivs) and len(set(ivs)) == len(ivs)


def aes_cbc_to_module(workdir):
    """The peer makes a new IV for each message and sends it beside the ciphertext."""
    rows = list(itertools.product(AES_KEYS, TEXTS))

    def judge(out):
        sent = [o.split("\t") for o in out]
        got = [
            (b, m_crypt.aes_cbc_decrypt(base64.b64decode(b), k, iv))
            for (iv, b), (k, _) in zip(sent, rows, strict=True)
        ]
        want = [
            (b64(m_crypt.aes_cbc(t, k, iv)), t) for (iv, _), (k, t) in zip(sent, rows, strict=True)
        ]
        return [*got, fresh_ivs([iv for iv, _ in sent])], [*want, True]

    return [f"{k}\t{t}" for k, t in rows], judge


CASES = {
    "base64": (base64_to_module, base64_from_module),
    "digest": (digest_to_module, digest_from_module),
    "hmac-md5": (hmac_to_module, hmac_from_module),
    "aes-ecb": symmetric(
        m_crypt.aes_ecb, m_crypt.aes_ecb_decrypt, [((k,), t) for k in AES_KEYS for t in TEXTS]
    ),
    "aes-cbc": (
        aes_cbc_to_module,
        symmetric(m_crypt.aes_cbc, m_crypt.aes_cbc_decrypt, cbc_rows(AES_KEYS))[1],
    ),
    "des-ecb": symmetric(
        m_crypt.des, m_crypt.des_decrypt, [((k,), t) for k in DES_KEYS for t in TEXTS]
    ),
    "php": (php_to_module, php_from_module),
    "rsa": (rsa_to_module, rsa_from_module),
    "token": (token_to_module, token_from_module),
}


@pytest.mark.parametrize("direction", ["peer-to-module", "module-to-peer"])
@pytest.mark.parametrize("peer", PEERS)
@pytest.mark.parametrize("fmt", list(SUBCOMMANDS))
def test_recipe(fmt, peer, direction, request):
    require(*TOOLS[peer])
    workdir = request.getfixturevalue("workdir")
    source = request.getfixturevalue("keys") if fmt == "rsa" else workdir
    produce, consume = SUBCOMMANDS[fmt]
    to_module, from_module = CASES[fmt]
    if direction == "peer-to-module":
        lines, judge = to_module(source)
        got, want = judge(run_recipe(fmt, peer, produce, lines, workdir))
    else:
        lines, want = from_module(source)
        got = run_recipe(fmt, peer, consume, lines, workdir)
        if fmt == "token":
            got = token_outputs(got)
    assert got == want


def test_every_format_has_a_recipe_for_every_peer_and_direction():
    assert sorted(RECIPES) == sorted(itertools.product(SUBCOMMANDS, PEERS))
    for (fmt, _peer), code in RECIPES.items():
        for subcommand in SUBCOMMANDS[fmt]:
            command(code, subcommand)


@pytest.mark.parametrize(
    ("fmt", "peer", "subcommand", "fix", "error"),
    [
        ("des-ecb", "node", "encrypt", "--openssl-legacy-provider ", "unsupported"),
        ("des-ecb", "php", "encrypt", "OPENSSL_CONF=legacy.cnf ", "unsupported"),
        ("des-ecb", "openssl", "encrypt", " -provider legacy -provider default", "unsupported"),
        ("rsa", "node", "decrypt", f"{REVERT} ", "RSA_PKCS1_PADDING is no longer supported"),
    ],
)
def test_the_documented_fix_is_needed(fmt, peer, subcommand, fix, error, request):
    """Each flag the document asks for: without it, the runtime fails as the document says."""
    require(*TOOLS[peer])
    workdir = request.getfixturevalue("workdir")
    if fmt == "rsa":
        lines, _ = rsa_from_module(request.getfixturevalue("keys")[:1])
    else:
        lines = ["8bytekey\ttext"]
    proc = run_recipe(fmt, peer, subcommand, lines[:1], workdir, drop=fix, check=False)
    assert proc.returncode != 0
    assert error in proc.stderr.decode(errors="replace")


@pytest.mark.parametrize("text", ["€", "\ue000"])
@pytest.mark.parametrize("peer", PEERS)
def test_php_recipes_refuse_what_the_module_cannot_read(peer, text, workdir):
    """GBK characters the module has no code for stop the peer before they are sent."""
    require(*TOOLS[peer])
    with pytest.raises(UnicodeEncodeError):
        m_crypt.php(text, "key", IVS[0])
    proc = run_recipe("php", peer, "encrypt", [f"key\t{IVS[0]}\t{text}"], workdir, check=False)
    assert proc.returncode != 0, proc.stdout


def test_readme_php_example(workdir):
    """The README's PHP example, against php and php_decrypt, under a new IV each run."""
    require("php")
    snippet = re.search(r"```php\n(.*?)```", README, re.S).group(1)
    script = workdir / "readme.php"
    echo = 'echo $iv, "\\n", $sealed, "\\n", $text, "\\n";\n'
    script.write_text(snippet + echo, encoding="utf-8")
    runs = [
        subprocess.run(["php", script], capture_output=True, text=True, env=ENV, check=True)
        for _ in range(2)
    ]
    (iv, sealed, text), (other_iv, _, _) = (run.stdout.splitlines() for run in runs)
    assert re.fullmatch("[0-9a-f]{16}", iv) and iv != other_iv
    assert sealed == m_crypt.php("你好，PHP", "密钥", iv, True)
    assert text == m_crypt.php_decrypt(sealed, "密钥", iv, True) == "你好，PHP"


# GBK probes: each reads lines "E <UTF-8 hex of one character>" and "D <hex of GBK bytes>" and
# prints the peer's conversion in hex, or "-" where the peer refuses.
PHP_PROBE = r"""<?php
mb_substitute_character('none');
while (($line = fgets(STDIN)) !== false) {
    [$op, $hex] = explode(' ', rtrim($line, "\n"));
    $in = hex2bin($hex);
    $out = match ("$argv[1] $op") {
        'iconv E' => @iconv('UTF-8', 'GBK', $in),
        'iconv D' => @iconv('GBK', 'UTF-8', $in),
        'mbstring E' => mb_convert_encoding($in, 'GBK', 'UTF-8'),
        'mbstring D' => mb_convert_encoding($in, 'UTF-8', 'GBK'),
    };
    echo $out === false || $out === '' ? '-' : bin2hex($out), "\n";
}
"""
JAVA_PROBE = r"""
import java.io.*;
import java.nio.ByteBuffer;
import java.nio.CharBuffer;
import java.nio.charset.*;
import java.util.HexFormat;
import static java.nio.charset.StandardCharsets.UTF_8;

public class Probe {
    public static void main(String[] args) throws Exception {
        Charset cs = Charset.forName(args[0]);
        var hex = HexFormat.of();
        var in = new BufferedReader(new InputStreamReader(System.in, UTF_8));
        var out = new PrintStream(new BufferedOutputStream(System.out), false);
        for (String line; (line = in.readLine()) != null; ) {
            byte[] bytes = hex.parseHex(line.substring(2));
            String result;
            try {
                ByteBuffer b = line.charAt(0) == 'E'
                        ? cs.newEncoder().encode(CharBuffer.wrap(new String(bytes, UTF_8)))
                        : UTF_8.encode(cs.newDecoder().decode(ByteBuffer.wrap(bytes)));
                byte[] r = new byte[b.remaining()];
                b.get(r);
                result = hex.formatHex(r);
            } catch (CharacterCodingException e) {
                result = "-";
            }
            out.println(result);
        }
        out.flush();
    }
}
"""
# Node has a GBK decoder only; the encoder is the decoder inverted, as the recipe builds it, but
# with nothing left out.
NODE_PROBE = r"""
const decoder = new TextDecoder('gbk', { fatal: true });
const codes = new Map();
for (let lead = 0x81; lead <= 0xfe; lead++) {
  for (let trail = 0x40; trail <= 0xfe; trail++) {
    try { codes.set(decoder.decode(Uint8Array.of(lead, trail)), Buffer.of(lead, trail)); } catch {}
  }
}
const out = [];
for (const line of require('node:fs').readFileSync(0, 'latin1').split('\n').slice(0, -1)) {
  const bytes = Buffer.from(line.slice(2), 'hex');
  let result;
  if (line[0] === 'E') {
    const char = bytes.toString('utf8');
    result = char < '\x80' ? bytes : codes.get(char);
  } else {
    try { result = Buffer.from(decoder.decode(bytes)); } catch {}
  }
  out.push(result === undefined ? '-' : result.toString('hex'));
}
process.stdout.write(out.join('\n') + '\n');
"""


def gbk_probe_input():
    """Every character of the BMP, and every byte sequence Python's gbk decodes."""
    chars = [chr(c) for c in range(0x10000) if not 0xD800 <= c <= 0xDFFF and c != 0x0A]
    singles = [bytes([b]) for b in range(0x80) if b != 0x0A]
    pairs = [bytes([lead, trail]) for lead in range(0x81, 0xFF) for trail in range(0x40, 0xFF)]
    sequences = []
    for seq in singles + pairs:
        with contextlib.suppress(UnicodeDecodeError):
            seq.decode("gbk")
            sequences.append(seq)
    return chars, sequences


def probe_lines(chars, sequences):
    return [f"E {c.encode().hex()}" for c in chars] + [f"D {s.hex()}" for s in sequences]


def run_probe(argv, program, chars, sequences, workdir):
    name, code = program
    (workdir / name).write_text(code, encoding="utf-8")
    lines = "".join(f"{x}\n" for x in probe_lines(chars, sequences)).encode()
    proc = subprocess.run(argv, cwd=workdir, env=ENV, input=lines, capture_output=True, check=True)
    return proc.stdout.decode().split("\n")[:-1]


def probe_iconv_command(chars, sequences):
    """glibc's iconv program: -c drops what it cannot convert, leaving an empty line."""

    def convert(args, data):
        proc = subprocess.run(["iconv", "-c", *args], input=data, capture_output=True, env=ENV)
        return [x.hex() or "-" for x in proc.stdout.split(b"\n")[:-1]]

    encoded = convert(["-f", "UTF-8", "-t", "GBK"], "".join(f"{c}\n" for c in chars).encode())
    decoded = convert(["-f", "GBK", "-t", "UTF-8"], b"".join(s + b"\n" for s in sequences))
    return encoded + decoded


# The label of each converter in the document's list, and the command that probes it.
PROBES = {
    "PHP iconv": ["php", "probe.php", "iconv"],
    "PHP mb_convert_encoding": ["php", "probe.php", "mbstring"],
    'Java Charset "GBK"': ["java", "Probe.java", "GBK"],
    'Java Charset "x-mswin-936"': ["java", "Probe.java", "x-mswin-936"],
    'Node.js TextDecoder "gbk"': ["node", "probe.js"],
    "iconv command": ["iconv"],
}
PROGRAMS = {"php": PHP_PROBE, "java": JAVA_PROBE, "node": NODE_PROBE}


def render(code_points):
    """Code points as U+XXXX and ranges; runs with gaps of up to 8 merge, with their count."""
    runs = []
    for cp in sorted(code_points):
        if runs and cp - runs[-1][-1] <= 8:
            runs[-1].append(cp)
        else:
            runs.append([cp])
    parts = []
    for run in runs:
        part = f"U+{run[0]:04X}" + (f"–U+{run[-1]:04X}" if len(run) > 1 else "")
        if len(run) != run[-1] - run[0] + 1:
            part += f" ({len(run)})"
        parts.append(part)
    return " ".join(parts)


def documented_gbk_differences():
    text = re.search(r"<!-- gbk-differences -->\n```text\n(.*?)```", DOC, re.S).group(1)
    return dict(re.split(r"\s{2,}", line, maxsplit=1) for line in text.splitlines())


@pytest.mark.parametrize("codec", list(PROBES))
def test_gbk_differences(codec, workdir):
    """Every BMP character and every GBK sequence Python decodes, against the peer's converter."""
    argv = PROBES[codec]
    require(argv[0])
    if codec == "PHP mb_convert_encoding":
        loaded = "exit(extension_loaded('mbstring') ? 0 : 1);"
        if subprocess.run(["php", "-r", loaded], env=ENV).returncode:
            absent("php-mbstring")
    chars, sequences = gbk_probe_input()
    if argv[0] == "iconv":
        results = probe_iconv_command(chars, sequences)
    else:
        program = (argv[1], PROGRAMS[argv[0]])
        results = run_probe(argv, program, chars, sequences, workdir)
    assert len(results) == len(chars) + len(sequences)
    differ = set()
    for char, result in zip(chars, results[: len(chars)], strict=True):
        try:
            python = char.encode("gbk").hex()
        except UnicodeEncodeError:
            python = "-"
        if result != python:
            differ.add(ord(char))
    for seq, result in zip(sequences, results[len(chars) :], strict=True):
        char = seq.decode("gbk")
        if result != char.encode().hex():
            differ.add(ord(char))
    assert render(differ) == documented_gbk_differences()[codec]
