"""Type information for crypt_main, a C++ extension module.

At run time every method's __doc__ is its bare signature; the descriptions below are what
editors that take hover text from stubs (Pyright, Pylance) show. Jedi shows the runtime __doc__
on hover, and these descriptions on going to the definition. Where a flag changes a type,
overloads on Literal[True]/Literal[False] say so, and a last overload takes a flag known only at
run time (a bool): it accepts whatever either literal overload accepts.
"""

from collections.abc import Buffer
from typing import Any, Final, Literal, overload

from rsa import PrivateKey, PublicKey

__all__ = ["m_crypt"]

class _Crypt:
    def __init__(self) -> None:
        """Make another instance; it behaves exactly like m_crypt and holds no state."""

    @staticmethod
    def aes_ecb(value: str, key: str) -> bytes:
        """Encrypt text with AES in ECB mode and PKCS#7 padding.

        ECB shows which 16-byte blocks repeat; prefer an authenticated mode for new designs.

        Args:
            value: the plaintext (str), encrypted as its UTF-8 bytes.
            key: a str of 16, 24 or 32 UTF-8 bytes (AES-128/192/256); bytes, not
                characters: "ü" * 8 is a 16-byte key.

        Returns:
            The raw ciphertext (bytes), a multiple of 16 bytes long; a whole block of padding
            is added when the text is already aligned.

        Raises:
            ValueError: pycryptodome's, for a key that is not 16, 24 or 32 bytes.
            AttributeError: value or key is not a str (bytes included).
            UnicodeEncodeError: value or key holds a lone surrogate.
            When several arguments are wrong, the error concerns the key first.
        """

    @staticmethod
    def aes_ecb_decrypt(value: Buffer, key: str) -> str:
        """Decrypt what aes_ecb produced: AES-ECB, PKCS#7 padding checked and removed.

        Args:
            value: the raw ciphertext, any bytes-like object (bytes, bytearray, memoryview),
                a multiple of 16 bytes long.
            key: the str used to encrypt: 16, 24 or 32 UTF-8 bytes.

        Returns:
            The plaintext (str), decoded from UTF-8.

        Raises:
            ValueError: pycryptodome's, for a wrong key length, a ciphertext that is not a
                multiple of 16 bytes, or bad padding (a wrong key usually shows as bad padding).
            TypeError: value is not bytes-like (a str, for example).
            UnicodeDecodeError: the decrypted bytes are not UTF-8.
            AttributeError: key is not a str.
        """

    @staticmethod
    def aes_cbc(value: str, key: str, iv: str) -> bytes:
        """Encrypt text with AES in CBC mode and PKCS#7 padding, under the IV given.

        Nothing authenticates the ciphertext; the IV is not included in the result.

        Args:
            value: the plaintext (str), encrypted as its UTF-8 bytes.
            key: a str of 16, 24 or 32 UTF-8 bytes (AES-128/192/256).
            iv: a str of exactly 16 UTF-8 bytes.

        Returns:
            The raw ciphertext (bytes), a multiple of 16 bytes long.

        Raises:
            ValueError: pycryptodome's, for a wrong key or IV length.
            AttributeError: value, key or iv is not a str.
            UnicodeEncodeError: an argument holds a lone surrogate.
            When several arguments are wrong, the error concerns the key, then the IV.
        """

    @staticmethod
    def aes_cbc_decrypt(value: Buffer, key: str, iv: str) -> str:
        """Decrypt what aes_cbc produced: AES-CBC, PKCS#7 padding checked and removed.

        Args:
            value: the raw ciphertext, any bytes-like object, a multiple of 16 bytes long.
            key: the str used to encrypt: 16, 24 or 32 UTF-8 bytes.
            iv: the str used to encrypt: 16 UTF-8 bytes.

        Returns:
            The plaintext (str), decoded from UTF-8.

        Raises:
            ValueError: pycryptodome's, for a wrong key or IV length, a misaligned
                ciphertext, or bad padding (a wrong key or IV usually shows as bad padding).
            TypeError: value is not bytes-like.
            UnicodeDecodeError: the decrypted bytes are not UTF-8.
            AttributeError: key or iv is not a str.
        """

    @staticmethod
    def base64(value: str) -> str:
        """Encode text as standard Base64 (+ and /, = padded) on one line.

        Args:
            value: the text (str), encoded as its UTF-8 bytes.

        Returns:
            The Base64 text (str), without any line break, however long.

        Raises:
            AttributeError: value is not a str (bytes included).
            UnicodeEncodeError: value holds a lone surrogate.
        """

    @staticmethod
    def base64_decrypt(value: str) -> str:
        """Decode standard Base64 text back into text, leniently.

        Characters outside the alphabet A-Z a-z 0-9 + / are skipped: line breaks and
        spaces, but also the URL-safe - and _, so "!!!" gives "" and "SGVsbG8=!!!" gives
        "Hello". Decoding ends at the padding that completes a group of four characters;
        anything after it is ignored.

        Args:
            value: the Base64 text (str), with or without line breaks.

        Returns:
            The decoded bytes as text (str), decoded from UTF-8.

        Raises:
            binascii.Error: the characters kept do not end on a whole group of four
                ("Incorrect padding", also what most URL-safe input gives, or "... cannot be
                1 more than a multiple of 4").
            UnicodeDecodeError: the decoded bytes are not UTF-8.
            AttributeError: value is not a str.
        """

    @staticmethod
    def des(value: str, key: str) -> bytes:
        """Encrypt text with DES in ECB mode and PKCS#7 padding (legacy peers only).

        DES keys have 56 effective bits and can be searched exhaustively.

        Args:
            value: the plaintext (str), encrypted as its UTF-8 bytes.
            key: a str of exactly 8 UTF-8 bytes.

        Returns:
            The raw ciphertext (bytes), a multiple of 8 bytes long.

        Raises:
            ValueError: pycryptodome's, for a key that is not 8 bytes.
            AttributeError: value or key is not a str.
            UnicodeEncodeError: value or key holds a lone surrogate.
        """

    @staticmethod
    def des_decrypt(value: Buffer, key: str) -> str:
        """Decrypt what des produced: DES-ECB, PKCS#7 padding checked and removed.

        Args:
            value: the raw ciphertext, any bytes-like object, a multiple of 8 bytes long.
            key: the str used to encrypt: 8 UTF-8 bytes.

        Returns:
            The plaintext (str), decoded from UTF-8.

        Raises:
            ValueError: pycryptodome's, for a wrong key length, a misaligned ciphertext or
                bad padding.
            TypeError: value is not bytes-like.
            UnicodeDecodeError: the decrypted bytes are not UTF-8.
            AttributeError: key is not a str.
        """

    @staticmethod
    def md5(value: str | bytes, fmt: str) -> str:
        """The MD5 digest as 32 hexadecimal characters (not for security: MD5 is broken).

        Args:
            value: a str, hashed as its UTF-8 bytes, or bytes, hashed as they are (md5 alone
                among the digests accepts bytes; bytearray and memoryview are refused).
            fmt: "upper" for capitals; any other value, unchecked, gives lower case.

        Returns:
            The hex digest (str).

        Raises:
            AttributeError: value is neither str nor bytes.
            UnicodeEncodeError: value holds a lone surrogate.
        """

    @staticmethod
    def md5_hmac(value: str | bytes, key: str | bytes) -> bytes:
        """HMAC-MD5 of a message under a key; the message comes first.

        Args:
            value: the message: a str (its UTF-8 bytes) or bytes.
            key: the HMAC key, any length: a str (its UTF-8 bytes) or bytes.

        Returns:
            The 16 raw bytes of the code (bytes), not hexadecimal.

        Raises:
            AttributeError: value or key is neither str nor bytes (value is checked first).
            UnicodeEncodeError: value or key holds a lone surrogate.
        """

    @overload
    def php(self, value: str, key: str, iv: str, base64s: Literal[False] = False) -> bytes:
        """AES-CBC over zero-padded GBK text, as PHP programs often write it.

        The key and the plaintext are encoded with GBK and zero-padded to a multiple of 16
        bytes (nothing is added when aligned): a key of 1-16 GBK bytes gives AES-128, 17-32
        bytes AES-256 (24 bytes become 32, so never AES-192). Nothing authenticates the data.

        Args:
            value: the plaintext (str), encoded with GBK.
            key: the key (str), 1 to 32 GBK bytes (a Chinese character is 2 bytes).
            iv: a str of exactly 16 UTF-8 bytes, not padded.
            base64s: true to get the ciphertext as one line of Base64 text; only its truth
                value counts.

        Returns:
            The raw ciphertext (bytes), as long as the padded plaintext (empty text gives
            empty bytes), or with base64s its Base64 text (str).

        Raises:
            UnicodeEncodeError: a character GBK cannot encode (an emoji, for example).
            ValueError: pycryptodome's, for an empty key, a key over 32 GBK bytes (padded
                to 48 or more, so the message names the padded length: "Incorrect AES key
                length (48 bytes)" for 33 to 48 bytes), or an IV that is not 16 bytes.
            AttributeError: value, key or iv is not a str.
        """

    @overload
    def php(self, value: str, key: str, iv: str, base64s: Literal[True]) -> str:
        """AES-CBC over zero-padded GBK text, as PHP programs often write it.

        The key and the plaintext are encoded with GBK and zero-padded to a multiple of 16
        bytes (nothing is added when aligned): a key of 1-16 GBK bytes gives AES-128, 17-32
        bytes AES-256 (24 bytes become 32, so never AES-192). Nothing authenticates the data.

        Args:
            value: the plaintext (str), encoded with GBK.
            key: the key (str), 1 to 32 GBK bytes (a Chinese character is 2 bytes).
            iv: a str of exactly 16 UTF-8 bytes, not padded.
            base64s: true to get the ciphertext as one line of Base64 text; only its truth
                value counts.

        Returns:
            The raw ciphertext (bytes), as long as the padded plaintext (empty text gives
            empty bytes), or with base64s its Base64 text (str).

        Raises:
            UnicodeEncodeError: a character GBK cannot encode (an emoji, for example).
            ValueError: pycryptodome's, for an empty key, a key over 32 GBK bytes (padded
                to 48 or more, so the message names the padded length: "Incorrect AES key
                length (48 bytes)" for 33 to 48 bytes), or an IV that is not 16 bytes.
            AttributeError: value, key or iv is not a str.
        """

    @overload
    def php(self, value: str, key: str, iv: str, base64s: object = False) -> bytes | str:
        """AES-CBC over zero-padded GBK text, as PHP programs often write it.

        The key and the plaintext are encoded with GBK and zero-padded to a multiple of 16
        bytes (nothing is added when aligned): a key of 1-16 GBK bytes gives AES-128, 17-32
        bytes AES-256 (24 bytes become 32, so never AES-192). Nothing authenticates the data.

        Args:
            value: the plaintext (str), encoded with GBK.
            key: the key (str), 1 to 32 GBK bytes (a Chinese character is 2 bytes).
            iv: a str of exactly 16 UTF-8 bytes, not padded.
            base64s: true to get the ciphertext as one line of Base64 text; only its truth
                value counts.

        Returns:
            The raw ciphertext (bytes), as long as the padded plaintext (empty text gives
            empty bytes), or with base64s its Base64 text (str).

        Raises:
            UnicodeEncodeError: a character GBK cannot encode (an emoji, for example).
            ValueError: pycryptodome's, for an empty key, a key over 32 GBK bytes (padded
                to 48 or more, so the message names the padded length: "Incorrect AES key
                length (48 bytes)" for 33 to 48 bytes), or an IV that is not 16 bytes.
            AttributeError: value, key or iv is not a str.
        """

    @overload
    def php_decrypt(
        self, value: Buffer, key: str, iv: str, base64s: Literal[False] = False
    ) -> str:
        """Decrypt what php produced; trailing U+0000 characters are stripped.

        Nothing verifies the padding: a wrong key or IV usually gives a UnicodeDecodeError,
        but sometimes wrong text and no error (for a one-block message, about 9 wrong keys in
        100). Text that itself ends in U+0000 does not come back whole.

        Args:
            value: without base64s, the raw ciphertext, any bytes-like object, a multiple of
                16 bytes long; with base64s, its Base64 text (str), decoded as leniently as
                base64_decrypt does (characters outside the alphabet are skipped).
            key: the key used to encrypt (str), 1 to 32 GBK bytes.
            iv: the IV used to encrypt, a str of 16 UTF-8 bytes.
            base64s: true when value is Base64 text; only its truth value counts.

        Returns:
            The plaintext (str), decoded from GBK, without trailing U+0000.

        Raises:
            ValueError: pycryptodome's, for a key or IV of the wrong length, or a ciphertext
                that is not a multiple of 16 bytes.
            binascii.Error: with base64s, Base64 that does not end on a whole group of four.
            TypeError: a str without base64s (not bytes-like).
            AttributeError: bytes with base64s (Base64 must be a str).
            UnicodeDecodeError: the decrypted bytes are not GBK.
        """

    @overload
    def php_decrypt(self, value: str, key: str, iv: str, base64s: Literal[True]) -> str:
        """Decrypt what php produced; trailing U+0000 characters are stripped.

        Nothing verifies the padding: a wrong key or IV usually gives a UnicodeDecodeError,
        but sometimes wrong text and no error (for a one-block message, about 9 wrong keys in
        100). Text that itself ends in U+0000 does not come back whole.

        Args:
            value: without base64s, the raw ciphertext, any bytes-like object, a multiple of
                16 bytes long; with base64s, its Base64 text (str), decoded as leniently as
                base64_decrypt does (characters outside the alphabet are skipped).
            key: the key used to encrypt (str), 1 to 32 GBK bytes.
            iv: the IV used to encrypt, a str of 16 UTF-8 bytes.
            base64s: true when value is Base64 text; only its truth value counts.

        Returns:
            The plaintext (str), decoded from GBK, without trailing U+0000.

        Raises:
            ValueError: pycryptodome's, for a key or IV of the wrong length, or a ciphertext
                that is not a multiple of 16 bytes.
            binascii.Error: with base64s, Base64 that does not end on a whole group of four.
            TypeError: a str without base64s (not bytes-like).
            AttributeError: bytes with base64s (Base64 must be a str).
            UnicodeDecodeError: the decrypted bytes are not GBK.
        """

    @overload
    def php_decrypt(self, value: str | Buffer, key: str, iv: str, base64s: object) -> str:
        """Decrypt what php produced; trailing U+0000 characters are stripped.

        Nothing verifies the padding: a wrong key or IV usually gives a UnicodeDecodeError,
        but sometimes wrong text and no error (for a one-block message, about 9 wrong keys in
        100). Text that itself ends in U+0000 does not come back whole.

        Args:
            value: without base64s, the raw ciphertext, any bytes-like object, a multiple of
                16 bytes long; with base64s, its Base64 text (str), decoded as leniently as
                base64_decrypt does (characters outside the alphabet are skipped).
            key: the key used to encrypt (str), 1 to 32 GBK bytes.
            iv: the IV used to encrypt, a str of 16 UTF-8 bytes.
            base64s: true when value is Base64 text; only its truth value counts.

        Returns:
            The plaintext (str), decoded from GBK, without trailing U+0000.

        Raises:
            ValueError: pycryptodome's, for a key or IV of the wrong length, or a ciphertext
                that is not a multiple of 16 bytes.
            binascii.Error: with base64s, Base64 that does not end on a whole group of four.
            TypeError: a str without base64s (not bytes-like).
            AttributeError: bytes with base64s (Base64 must be a str).
            UnicodeDecodeError: the decrypted bytes are not GBK.
        """

    @staticmethod
    def _add_to_16(value: str) -> bytes:
        """Zero-pad text for php and php_decrypt, which call it through self.

        A subclass that overrides it changes the padding of both.

        Args:
            value: the text (str), encoded with GBK.

        Returns:
            Its GBK bytes followed by 0x00 bytes up to the next multiple of 16 (bytes); nothing
            is added when the length is already a multiple of 16, the empty text included.

        Raises:
            UnicodeEncodeError: a character GBK cannot encode.
            AttributeError: value is not a str.
        """

    @staticmethod
    def rsa_keys(length: float = 2048) -> tuple[PublicKey, PrivateKey]:
        """Generate a python-rsa key pair big enough to encrypt length bytes in one block.

        The modulus is the smallest of 512, 1024 and 2048 bits whose PKCS#1 v1.5 block holds
        length bytes ((length + 11) * 8 bits), else 4096 bits: length <= 53 gives 512 bits
        (zero and negative lengths too), <= 117 gives 1024, <= 245 gives 2048, anything
        larger, the default 2048 included, 4096.

        python-rsa generates keys in pure Python, and the time varies a lot with the primes
        it happens to try: a 4096-bit key takes from a few seconds to over a minute, a
        2048-bit key a second or two, smaller ones a fraction of a second.

        Args:
            length: the plaintext capacity wanted, in bytes (any number).

        Returns:
            (public key, private key): python-rsa's PublicKey and PrivateKey.

        Raises:
            TypeError: length is not a number.
        """

    @staticmethod
    def rsa(value: str, pub_key: PublicKey, hexs: object = False) -> bytes:
        """Encrypt text with RSA PKCS#1 v1.5; random padding, so every call differs.

        Args:
            value: the plaintext (str), encrypted as its UTF-8 bytes: at most the modulus
                length minus 11 bytes (53, 117, 245 or 501 for the sizes of rsa_keys).
            pub_key: python-rsa's PublicKey, as rsa_keys returns it.
            hexs: true for lower-case hexadecimal digits instead of raw bytes; only its
                truth value counts. The result is bytes either way.

        Returns:
            The ciphertext (bytes) of the modulus length, or with hexs its hex digits (bytes,
            twice as long).

        Raises:
            OverflowError: python-rsa's, for text longer than the key can hold.
            AttributeError: value is not a str.
            UnicodeEncodeError: value holds a lone surrogate.
        """

    @overload
    @staticmethod
    def rsa_decrypt(value: Buffer, pri_key: PrivateKey, hexs: Literal[False] = False) -> str:
        """Decrypt what rsa produced (PKCS#1 v1.5).

        Args:
            value: without hexs, the raw ciphertext, any bytes-like object; with hexs, its
                hexadecimal digits as str or bytes, in either case.
            pri_key: python-rsa's PrivateKey, as rsa_keys returns it.
            hexs: true when value is hexadecimal; only its truth value counts.

        Returns:
            The plaintext (str), decoded from UTF-8.

        Raises:
            rsa.DecryptionError: a wrong key or an altered ciphertext (hex digits given
                without hexs included).
            binascii.Error: with hexs, an odd number of digits or a non-hex character.
            TypeError: a str without hexs.
            UnicodeDecodeError: the decrypted bytes are not UTF-8.
        """

    @overload
    @staticmethod
    def rsa_decrypt(value: str | Buffer, pri_key: PrivateKey, hexs: Literal[True]) -> str:
        """Decrypt what rsa produced (PKCS#1 v1.5).

        Args:
            value: without hexs, the raw ciphertext, any bytes-like object; with hexs, its
                hexadecimal digits as str or bytes, in either case.
            pri_key: python-rsa's PrivateKey, as rsa_keys returns it.
            hexs: true when value is hexadecimal; only its truth value counts.

        Returns:
            The plaintext (str), decoded from UTF-8.

        Raises:
            rsa.DecryptionError: a wrong key or an altered ciphertext (hex digits given
                without hexs included).
            binascii.Error: with hexs, an odd number of digits or a non-hex character.
            TypeError: a str without hexs.
            UnicodeDecodeError: the decrypted bytes are not UTF-8.
        """

    @overload
    @staticmethod
    def rsa_decrypt(value: str | Buffer, pri_key: PrivateKey, hexs: object) -> str:
        """Decrypt what rsa produced (PKCS#1 v1.5).

        Args:
            value: without hexs, the raw ciphertext, any bytes-like object; with hexs, its
                hexadecimal digits as str or bytes, in either case.
            pri_key: python-rsa's PrivateKey, as rsa_keys returns it.
            hexs: true when value is hexadecimal; only its truth value counts.

        Returns:
            The plaintext (str), decoded from UTF-8.

        Raises:
            rsa.DecryptionError: a wrong key or an altered ciphertext (hex digits given
                without hexs included).
            binascii.Error: with hexs, an odd number of digits or a non-hex character.
            TypeError: a str without hexs.
            UnicodeDecodeError: the decrypted bytes are not UTF-8.
        """

    @staticmethod
    def sha1(value: str, fmt: str) -> str:
        """The SHA-1 digest as 40 hexadecimal characters (SHA-1 is broken for collisions).

        Args:
            value: the text (str), hashed as its UTF-8 bytes; bytes are refused.
            fmt: "upper" for capitals; any other value, unchecked, gives lower case.

        Returns:
            The hex digest (str).

        Raises:
            AttributeError: value is not a str (bytes included).
            UnicodeEncodeError: value holds a lone surrogate.
        """

    @staticmethod
    def sha256(value: str, fmt: str) -> str:
        """The SHA-256 digest as 64 hexadecimal characters.

        Args:
            value: the text (str), hashed as its UTF-8 bytes; bytes are refused.
            fmt: "upper" for capitals; any other value, unchecked, gives lower case.

        Returns:
            The hex digest (str).

        Raises:
            AttributeError: value is not a str (bytes included).
            UnicodeEncodeError: value holds a lone surrogate.
        """

    @staticmethod
    def sha384(value: str, fmt: str) -> str:
        """The SHA-384 digest as 96 hexadecimal characters.

        Args:
            value: the text (str), hashed as its UTF-8 bytes; bytes are refused.
            fmt: "upper" for capitals; any other value, unchecked, gives lower case.

        Returns:
            The hex digest (str).

        Raises:
            AttributeError: value is not a str (bytes included).
            UnicodeEncodeError: value holds a lone surrogate.
        """

    @staticmethod
    def sha512(value: str, fmt: str) -> str:
        """The SHA-512 digest as 128 hexadecimal characters.

        Args:
            value: the text (str), hashed as its UTF-8 bytes; bytes are refused.
            fmt: "upper" for capitals; any other value, unchecked, gives lower case.

        Returns:
            The hex digest (str).

        Raises:
            AttributeError: value is not a str (bytes included).
            UnicodeEncodeError: value holds a lone surrogate.
        """

    @staticmethod
    def token(
        data: Any, key: str | bytes, exp_time: float | None = 86400, issuer: str = "Quarne"
    ) -> str:
        """Issue an HS256 JSON Web Token with the claims data, iat, iss and exp.

        Args:
            data: any JSON value (dict, list, str, number, bool, None), stored as the data
                claim; a tuple comes back as a list.
            key: the HMAC secret, str or bytes; use 32 bytes or more (recent PyJWT releases
                warn about shorter keys), e.g. secrets.token_hex(16) or token_urlsafe(32).
            exp_time: the lifetime in seconds: an int, or a finite float of which the whole
                seconds count; None for a token that never expires.
            issuer: the name stored as the iss claim.

        Returns:
            The token (str), three Base64url segments joined by full stops.

        Raises:
            TypeError: exp_time of another type ("exp_time must be an int, a float or None
                (no expiry), not str"), or data that JSON cannot hold (bytes, a set).
            OverflowError: exp_time is an infinite float ("cannot convert float infinity to
                integer"); json.loads reads Infinity.
            ValueError: exp_time is NaN ("cannot convert float NaN to integer"); json.loads
                reads NaN.
        """

    @staticmethod
    def token_decrypt(token: str | bytes, key: str | bytes, issuer: str | None = "Quarne") -> Any:
        """Verify an HS256 token with PyJWT and return its data claim.

        PyJWT checks the form, the algorithm, the signature, then the claims: iat and nbf
        not later than now, exp later than now, iss equal to issuer, no aud (no audience is
        given), sub and jti strings. Times are compared with no leeway; for a clock-skew
        allowance or an audience, call jwt.decode with leeway= or audience= instead.

        Args:
            token: the token, as token returned it.
            key: the HMAC secret it was issued with, str or bytes; None (an unset
                environment variable) is reported as a failed verification, not TypeError.
            issuer: the iss claim required; None turns the issuer check off, so a token of
                any issuer signed with key is accepted.

        Returns:
            The data claim (any JSON value), or None when the token has none.

        Raises:
            TimeoutError: "token已过期", the token has expired. TimeoutError derives from
                OSError: an "except OSError" placed before it catches expiry too.
                asyncio.timeout() and asyncio.wait_for() raise the same class, without a
                message.
            Exception: "系统异常：" followed by PyJWT's text, for every other failure: wrong
                key, issuer or algorithm, a malformed token, a claim that fails ("The token is
                not yet valid (iat)", "Invalid audience"), a token or key of a wrong type. The
                PyJWT exception (for example jwt.InvalidSignatureError) is the new exception's
                __context__. Only binding errors (a missing argument) raise TypeError.
        """

m_crypt: Final[_Crypt]
