"""examples/demo.py: runs against the installed module, public operations only, aligned."""

import importlib.util
import pathlib
import re
import unicodedata

DEMO = pathlib.Path(__file__).resolve().parent.parent / "examples" / "demo.py"


def test_demo_columns_line_up(capsys):
    spec = importlib.util.spec_from_file_location("demo", DEMO)
    demo = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(demo)
    demo.main()
    lines = capsys.readouterr().out.splitlines()
    rows = [m for line in lines if (m := re.fullmatch(r"  \S.*?  +(\S.*)", line))]
    # The terminal column where each value starts; CJK characters take two columns each.
    starts = {
        sum(1 + (unicodedata.east_asian_width(c) in "WF") for c in m.string[: m.start(1)])
        for m in rows
    }
    assert len(rows) > 25 and len(starts) == 1
    assert "m_crypt._" not in DEMO.read_text(encoding="utf-8")
