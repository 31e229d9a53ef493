"""Every code block of the user guide runs, and every output it shows is
checked, so the guide cannot drift from the module."""

import doctest
import re
from pathlib import Path

import pytest

import ordwyne

GUIDE = Path(__file__).resolve().parent.parent / "docs" / "guide.md"
FENCE = re.compile(r"^```python\n(.*?)^```$", re.S | re.M)


def sections():
    """(heading, [(line number, code)]) for every "## " section with code."""
    text = GUIDE.read_text(encoding="utf-8")
    out = []
    for part in re.split(r"^(?=## )", text, flags=re.M):
        heading = part.splitlines()[0]
        offset = text.index(part)
        blocks = [(text.count("\n", 0, offset + m.start(1)) + 1, m[1])
                  for m in FENCE.finditer(part)]
        if blocks:
            out.append((heading, blocks))
    return out


SECTIONS = sections()


def test_every_code_block_is_one_that_runs():
    # A block fenced any other way (```py, ```sh, a bare ```) would not run,
    # so it is not allowed: openings are ```python, closings bare.
    text = GUIDE.read_text(encoding="utf-8")
    fences = re.findall(r"^```(.*)$", text, flags=re.M)
    assert fences[0::2] == ["python"] * (len(fences) // 2) and set(fences[1::2]) == {""}
    assert sum(len(blocks) for _, blocks in SECTIONS) == len(fences) // 2
    assert len(SECTIONS) >= 8


@pytest.mark.parametrize("heading,blocks", SECTIONS, ids=[h[3:] for h, _ in SECTIONS])
def test_section_runs(heading, blocks, tmp_path, monkeypatch, capsys):
    """The blocks of one section run in order in one namespace (with the
    module imported, as the guide says), in a fresh directory. A block
    written as a session (">>> ") is a doctest whose outputs must match; any
    other block is run as a script."""
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "__guide__", "ordwyne": ordwyne}
    parser, runner = doctest.DocTestParser(), doctest.DocTestRunner(
        optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    for line, code in blocks:
        where = f"{GUIDE.name}:{line}"
        if code.lstrip().startswith(">>>"):
            test = parser.get_doctest(code, namespace, heading, where, line)
            test.globs = namespace  # DocTest copies its globals; share them across blocks
            result = runner.run(test, clear_globs=False)
            assert result.failed == 0, capsys.readouterr().out
        else:
            exec(compile(code, where, "exec"), namespace)
