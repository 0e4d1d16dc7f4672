"""The PHP side of the exchange, as the README writes it, against php and php_decrypt."""

import os
import pathlib
import re
import shutil
import subprocess

import pytest

from crypt_main import m_crypt

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


@pytest.mark.skipif(shutil.which("php") is None, reason="needs the php command line")
def test_readme_php_peer_agrees(tmp_path):
    snippet = re.search(r"```php\n(.*?)```", README.read_text(encoding="utf-8"), re.S).group(1)
    script = tmp_path / "peer.php"
    script.write_text(snippet + '\necho $sealed, "\\n", $text, "\\n";\n', encoding="utf-8")
    # php is not built for the sanitizer runtimes a sanitizer run preloads.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    sealed, text = subprocess.run(
        ["php", str(script)], capture_output=True, text=True, check=True, env=env
    ).stdout.splitlines()
    assert sealed == m_crypt.php("你好，PHP", "密钥", "fedcba9876543210", True)
    assert text == m_crypt.php_decrypt(sealed, "密钥", "fedcba9876543210", True) == "你好，PHP"
