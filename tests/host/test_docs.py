"""pdfextractimg list, and the man page against --help."""
import json
import re
import shutil
import subprocess

import pytest

from conftest import PRODUCERS, SAMPLE, SOURCE_DIR

MAN_PAGE = SOURCE_DIR / "tools" / "pdfextractimg.1"


@pytest.mark.parametrize("pdf", [SAMPLE, *sorted(PRODUCERS.glob("*.pdf"))], ids=lambda p: p.name)
def test_list_rows_are_the_info_listing(run, pdf):
    info = json.loads(run("info", pdf).stdout)
    r = run("list", pdf)
    assert r.returncode == 0
    header, rule, *rows = r.stdout.decode().splitlines()
    assert header.split() == ["page", "num", "type", "width", "height", "size"]
    assert set(rule) == {"-"}
    assert len(rows) == len(info)
    for num, (row, img) in enumerate(zip(rows, info), 1):
        page, n, kind, width, height, size = row.split()
        assert (int(page), int(n), kind, int(width), int(height)) == (
            img["page"], num, img["type"], img["width"], img["height"])
        scale = {"B": 1, "K": 1024, "M": 1024 ** 2}[size[-1]]
        assert abs(float(size[:-1]) * scale - img["size"]) <= scale * 0.05


def test_list_failure_carries_the_library_text(run, tmp_path):
    r = run("list", tmp_path / "missing.pdf")
    assert r.returncode == 1
    assert b"missing.pdf" in r.stderr and r.stdout == b""


def commands_and_options(text):
    commands = set(re.findall(r"^\s*pdfextractimg (\w+)", text, re.M))
    options = set(re.findall(r"(?<![\w/-])(--?[a-z][a-z-]*)", text))
    return commands, options


def test_man_page_documents_what_help_lists(run):
    help_text = run("--help").stdout.decode()
    # The man page's markup lines, with roff's escaped hyphens and font changes undone.
    roff = MAN_PAGE.read_text().replace("\\-", "-")
    roff = re.sub(r"\\f[BIRP]", "", roff)
    marked = "\n".join(re.sub(r'^\.(B|BI|BR|RI)\s+', "", line).replace('"', "")
                       for line in roff.splitlines() if re.match(r"^\.(B|BI|BR)\s", line))
    help_commands, help_options = commands_and_options(help_text)
    man_commands, man_options = commands_and_options(marked)
    assert help_commands == {"all", "page", "info", "list", "count", "batch"}
    assert man_commands == help_commands
    assert man_options == help_options


@pytest.mark.skipif(shutil.which("groff") is None, reason="groff is not installed")
def test_man_page_renders_without_warnings():
    r = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-z", MAN_PAGE], capture_output=True)
    assert r.returncode == 0 and r.stderr == b""
