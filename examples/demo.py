"""A tour of every public operation of crypt_main on sample data."""

import unicodedata

from crypt_main import m_crypt

TEXT = "Hello, 世界!"
AES_KEY = "0123456789abcdef"  # 16 bytes: AES-128
IV = "fedcba9876543210"
DES_KEY = "8bytekey"
TOKEN_KEY = "a secret of at least thirty-two bytes"
LABEL_COLUMNS = 36


def columns(text: str) -> int:
    """Terminal columns text takes: wide and full-width characters (CJK) take two."""
    return sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in text)


def show(label: str, value: object) -> None:
    # str.ljust counts characters, which misaligns the values after a label with CJK text.
    padding = " " * max(LABEL_COLUMNS - columns(label), 1)
    print(f"  {label}{padding}{value!r}")


def section(title: str) -> None:
    print(f"\n{title}")


def main() -> None:
    print(f"crypt_main demo, sample text {TEXT!r}")

    section("Base64")
    encoded = m_crypt.base64(TEXT)
    show("base64(text)", encoded)
    show("base64_decrypt(...)", m_crypt.base64_decrypt(encoded))

    section("Digests (hex text) and HMAC-MD5 (raw bytes)")
    show("md5(text, 'lower')", m_crypt.md5(TEXT, "lower"))
    show("md5(text.encode(), 'upper')", m_crypt.md5(TEXT.encode(), "upper"))
    for name in ("sha1", "sha256", "sha384", "sha512"):
        digest = getattr(m_crypt, name)(TEXT, "lower")
        show(f"{name}(text, 'lower')", digest[:32] + "...")
    show("md5_hmac(text, 'key')", m_crypt.md5_hmac(TEXT, "key"))

    section("AES-ECB, AES-CBC and DES-ECB with PKCS#7 (raw ciphertext bytes)")
    ecb = m_crypt.aes_ecb(TEXT, AES_KEY)
    show("aes_ecb(text, key)", ecb)
    show("aes_ecb_decrypt(...)", m_crypt.aes_ecb_decrypt(ecb, AES_KEY))
    cbc = m_crypt.aes_cbc(TEXT, AES_KEY, IV)
    show("aes_cbc(text, key, iv)", cbc)
    show("aes_cbc_decrypt(...)", m_crypt.aes_cbc_decrypt(cbc, AES_KEY, IV))
    des = m_crypt.des(TEXT, DES_KEY)
    show("des(text, key)", des)
    show("des_decrypt(...)", m_crypt.des_decrypt(des, DES_KEY))

    section("Zero-padded AES-CBC over GBK text, for PHP peers")
    chinese, key = "你好，PHP", "密钥"  # a 4-byte GBK key, zero-padded to 16 bytes: AES-128
    raw = m_crypt.php(chinese, key, IV)
    show("php('你好，PHP', '密钥', iv)", raw)
    show("php_decrypt(...)", m_crypt.php_decrypt(raw, key, IV))
    text_form = m_crypt.php(chinese, key, IV, True)
    show("php('你好，PHP', '密钥', iv, True)", text_form)
    show("php_decrypt(..., base64s=True)", m_crypt.php_decrypt(text_form, key, IV, True))

    section("RSA PKCS#1 v1.5 (a 512-bit key: up to 53 bytes per block)")
    pub_key, pri_key = m_crypt.rsa_keys(53)
    show("rsa_keys(53) modulus bits", pub_key.n.bit_length())
    sealed = m_crypt.rsa(TEXT, pub_key)
    show("rsa(text, pub_key) length", len(sealed))
    show("rsa_decrypt(...)", m_crypt.rsa_decrypt(sealed, pri_key))
    sealed_hex = m_crypt.rsa(TEXT, pub_key, True)
    show("rsa(text, pub_key, hexs=True)", sealed_hex[:32] + b"...")
    show("rsa_decrypt(..., hexs=True)", m_crypt.rsa_decrypt(sealed_hex, pri_key, True))

    section("HS256 tokens")
    token = m_crypt.token({"user": 42}, TOKEN_KEY, exp_time=3600)
    show("token(data, key, exp_time=3600)", token[:40] + "...")
    show("token_decrypt(token, key)", m_crypt.token_decrypt(token, TOKEN_KEY))
    expired = m_crypt.token("old", TOKEN_KEY, exp_time=-60)
    try:
        m_crypt.token_decrypt(expired, TOKEN_KEY)
    except TimeoutError as exc:
        show("expired token", f"TimeoutError: {exc}")
    try:
        m_crypt.token_decrypt(token, "another secret of thirty-two bytes!")
    except Exception as exc:
        show("wrong key", f"{type(exc).__name__}: {exc}")


if __name__ == "__main__":
    main()
