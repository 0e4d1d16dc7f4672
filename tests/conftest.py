"""Fixtures shared by several test files."""

import types

import pytest

from crypt_main import m_crypt


@pytest.fixture(scope="session")
def k():  # real pairs of 512 and 1024 bits; ciphertexts of "s" under the first
    (pub, pri), other = m_crypt.rsa_keys(53), m_crypt.rsa_keys(117)
    raw, hexed = m_crypt.rsa("s", pub), m_crypt.rsa("s", pub, True)
    return types.SimpleNamespace(pairs={512: (pub, pri), 1024: other}, **locals())
