"""The package's four calls against the command-line host, errors, arguments and threads."""
import json
import os
import pathlib
import shutil
import subprocess
import sys
import threading

import pytest

import quelvar_pdfextractimg as qv
from conftest import PDFS, SAMPLE, files_of


@pytest.mark.parametrize("pdf", PDFS, ids=lambda p: p.name)
def test_calls_give_what_the_host_gives(tmp_path, host, pdf):
    assert qv.count(pdf) == int(host("count", pdf).stdout)
    assert qv.info(pdf) == [qv.ImageInfo(**d) for d in json.loads(host("info", pdf).stdout)]
    assert qv.extract_all(pdf, tmp_path / "py") == len(qv.info(pdf))
    host("all", pdf, tmp_path / "host")
    assert files_of(tmp_path / "py") == files_of(tmp_path / "host")
    pages = {i.page for i in qv.info(pdf)}
    for page in pages:
        n = qv.extract_page(pdf, page, tmp_path / f"py{page}")
        host("page", pdf, str(page), tmp_path / f"host{page}")
        assert n == len(files_of(tmp_path / f"py{page}"))
        assert files_of(tmp_path / f"py{page}") == files_of(tmp_path / f"host{page}")


# (name, package call, the host's arguments for the same call); {tmp} is a scratch directory.
FAILURES = [
    ("missing file", lambda t: qv.count(t / "missing.pdf"), ["count", "{tmp}/missing.pdf"]),
    ("not a PDF", lambda t: qv.info(t / "junk.pdf"), ["info", "{tmp}/junk.pdf"]),
    ("empty path", lambda t: qv.extract_all("", t / "o"), ["all", "", "{tmp}/o"]),
    ("page past the end", lambda t: qv.extract_page(SAMPLE, 9, t / "o"), ["page", str(SAMPLE), "9", "{tmp}/o"]),
    ("page 0", lambda t: qv.extract_page(SAMPLE, 0, t / "o"), ["page", str(SAMPLE), "0", "{tmp}/o"]),
]


@pytest.mark.parametrize("name,call,args", FAILURES, ids=[f[0] for f in FAILURES])
def test_failures_raise_the_library_text(tmp_path, host, name, call, args):
    (tmp_path / "junk.pdf").write_bytes(b"no objects here\n")
    with pytest.raises(qv.PdfExtractImgError) as e:
        call(tmp_path)
    want = host(*[a.replace("{tmp}", str(tmp_path)) for a in args]).stderr.decode()
    assert want == f"pdfextractimg: {e.value.message}\n"
    assert str(e.value) == e.value.message


# (name, call, exception): arguments refused before the library is called.
BAD_ARGUMENTS = [
    ("NUL in a path", lambda: qv.count("sample\0.pdf"), ValueError),
    ("NUL in a directory", lambda: qv.extract_all(SAMPLE, b"out\0dir"), ValueError),
    ("path of another type", lambda: qv.count(42), TypeError),
    ("page as bool", lambda: qv.extract_page(SAMPLE, True, "o"), TypeError),
    ("page as float", lambda: qv.extract_page(SAMPLE, 1.0, "o"), TypeError),
    ("page past a C int", lambda: qv.extract_page(SAMPLE, 2 ** 32 + 1, "o"), ValueError),
]


@pytest.mark.parametrize("name,call,exc", BAD_ARGUMENTS, ids=[b[0] for b in BAD_ARGUMENTS])
def test_bad_arguments(name, call, exc):
    with pytest.raises(exc):
        call()


def test_paths_as_str_bytes_pathlike_and_non_utf8(tmp_path):
    odd = os.fsdecode(b"caf\xe9 \xff.pdf")
    shutil.copyfile(SAMPLE, tmp_path / odd)
    for pdf in [str(SAMPLE), bytes(SAMPLE), SAMPLE, tmp_path / odd, os.fsencode(tmp_path / odd)]:
        assert qv.count(pdf) == 5
    assert qv.extract_all(tmp_path / odd, os.fsencode(tmp_path) + b"/out\xe9") == 5
    assert len(os.listdir(os.fsencode(tmp_path) + b"/out\xe9")) == 5


def test_threads_each_get_their_own_result(tmp_path):
    (tmp_path / "junk.pdf").write_bytes(b"no objects here\n")
    want = {str(p): (qv.count(p), qv.info(p)) for p in PDFS}
    errors = []

    def work(k):
        try:
            for i in range(20):
                p = PDFS[(k + i) % len(PDFS)]
                assert (qv.count(p), qv.info(p)) == want[str(p)]
                with pytest.raises(qv.PdfExtractImgError, match="junk.pdf"):
                    qv.count(tmp_path / "junk.pdf")
                assert qv.extract_all(p, tmp_path / f"t{k}-{i}") == want[str(p)][0]
        except BaseException as e:  # reported by the main thread
            errors.append(e)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


def run_python(code, **env):
    full = {k: v for k, v in os.environ.items() if k != qv.LIBRARY_ENV}
    full.update(env)
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=full, timeout=60)


def test_the_environment_variable_names_the_library(tmp_path):
    r = run_python("import quelvar_pdfextractimg as qv; print(qv.library_path())",
                   QUELVAR_PDFEXTRACTIMG_LIBRARY=os.environ[qv.LIBRARY_ENV])
    assert r.stdout.strip() == os.environ[qv.LIBRARY_ENV]
    r = run_python(f"import quelvar_pdfextractimg as qv; qv.count({str(SAMPLE)!r})",
                   QUELVAR_PDFEXTRACTIMG_LIBRARY=str(tmp_path / "none.so"))
    assert r.returncode != 0 and "none.so" in r.stderr and qv.LIBRARY_ENV in r.stderr


def test_version_is_the_host_version(host):
    assert host("--version").stdout.decode() == f"pdfextractimg {qv.__version__}\n"


def test_typed_package():
    assert (pathlib.Path(qv.__file__).parent / "py.typed").is_file()
