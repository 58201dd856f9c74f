"""examples/dask_extract.py on a local cluster of two worker processes gives the files and the
report of a single-process `pdfextractimg batch` run over the same paths."""
import os
import re
import shutil
import subprocess
import sys

import pytest

from conftest import PDFS, SOURCE_DIR, files_of

pytest.importorskip("dask.bag")
pytest.importorskip("distributed")

EXAMPLE = SOURCE_DIR / "examples" / "dask_extract.py"


def report_lines(root):
    """The report's lines with the root and the timings taken out, sorted: lines come in the
    order files finish."""
    lines = (root / "report.jsonl").read_bytes().splitlines()
    return sorted(re.sub(rb'"seconds":[0-9.]+', b'"seconds":0', line.replace(os.fsencode(root), b"ROOT"))
                  for line in lines)


def dask_run(*args):
    return subprocess.run([sys.executable, str(EXAMPLE), "--workers", "2", "--partition-size", "2", *args],
                          capture_output=True, timeout=600)


def test_dask_recipe_matches_a_batch_run(tmp_path, host):
    src = tmp_path / "in"
    (src / "sub").mkdir(parents=True)
    for p in PDFS:
        shutil.copyfile(p, src / "sub" / p.name)
    shutil.copyfile(PDFS[0], os.fsencode(src) + b"/caf\xe9.PDF")
    (src / "junk.pdf").write_bytes(b"not a PDF\n")

    r = dask_run(str(tmp_path / "dask"), str(src))
    assert r.returncode == 1, r.stderr.decode()
    assert host("batch", "-j", "1", tmp_path / "batch", src).returncode == 1
    assert files_of(tmp_path / "dask") == files_of(tmp_path / "batch")
    assert len(files_of(tmp_path / "dask")) > len(PDFS)
    assert report_lines(tmp_path / "dask") == report_lines(tmp_path / "batch")

    # --resume does only the failed file again.
    r = dask_run("--resume", str(tmp_path / "dask"), str(src))
    assert r.returncode == 1
    assert f"{len(PDFS) + 1} skipped".encode() in r.stdout
    lines = (tmp_path / "dask" / "report.jsonl").read_bytes().splitlines()
    assert len(lines) == len(PDFS) + 3 and b"junk.pdf" in lines[-1]
