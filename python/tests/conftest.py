"""Fixtures of the Python package's tests. ctest runs them with the package on PYTHONPATH and
QUELVAR_PDFEXTRACTIMG_LIBRARY naming the library it built; PDFEXTRACTIMG_CLI names the
command-line host, the reference for what the package must give."""
import os
import pathlib
import subprocess
import sys

import pytest

SOURCE_DIR = pathlib.Path(__file__).resolve().parents[2]
SAMPLE = SOURCE_DIR / "examples" / "sample.pdf"
PDFS = [SAMPLE, *sorted((SOURCE_DIR / "tests" / "fixtures" / "producers").glob("*.pdf"))]
sys.path.append(str(SOURCE_DIR / "tests" / "host"))  # naming_cases, shared with the host's tests


@pytest.fixture(scope="session")
def cli():
    path = os.environ.get("PDFEXTRACTIMG_CLI")
    if not path:
        pytest.skip("PDFEXTRACTIMG_CLI is not set (ctest sets it)")
    return path


@pytest.fixture
def host(cli):
    def host(*args):
        return subprocess.run([cli, *map(os.fsencode, args)], capture_output=True, timeout=120)
    return host


def files_of(d):
    """Relative name -> bytes of every file under d, the report left out."""
    out = {}
    for root, _, names in os.walk(d):
        for n in names:
            p = os.path.join(root, n)
            if os.path.relpath(p, d) != "report.jsonl":
                out[os.path.relpath(p, d)] = open(p, "rb").read()
    return out
