"""images and iter_images: the files of extract_all and extract_page in memory with the listing's
fields, the temporary directory removed whatever happens, and the optional Pillow and numpy."""
import gc
import os
import re
import sys
import tempfile

import pytest

import quelvar_pdfextractimg as qv
from conftest import PDFS, SAMPLE


@pytest.fixture
def scratch(tmp_path, monkeypatch):
    """tempfile's directory during the test: whatever is left in it, the package left."""
    d = tmp_path / "tmp"
    d.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(d))
    return d


def files_in_order(d):
    """(name, bytes) of the image files in d, by their number."""
    names = sorted(os.listdir(d), key=lambda n: int(re.match(r"image_(\d+)\.", n).group(1)))
    return [(n, (d / n).read_bytes()) for n in names]


def pixel_size(record):
    try:
        return record.to_pil().size
    except ImportError:
        return record.width, record.height  # without Pillow, the header is not checked


@pytest.mark.parametrize("pdf", PDFS, ids=lambda p: p.name)
def test_records_are_the_files_with_the_listing(tmp_path, scratch, pdf):
    got = qv.images(pdf)
    qv.extract_all(pdf, tmp_path / "all")
    want = files_in_order(tmp_path / "all")
    assert [r.data for r in got] == [data for _, data in want]
    assert [(r.page, r.width, r.height, r.type, len(r.data)) for r in got] == [
        (i.page, i.width, i.height, i.type, i.size) for i in qv.info(pdf)]
    for page in sorted({i.page for i in qv.info(pdf)}):
        one = list(qv.iter_images(pdf, page=page))
        qv.extract_page(pdf, page, tmp_path / f"p{page}")
        want = files_in_order(tmp_path / f"p{page}")
        assert [(r.page, r.type, r.data) for r in one] == [
            (page, "jpeg" if n.endswith(".jpg") else "png", data) for n, data in want]
        assert [(r.width, r.height) for r in one] == [pixel_size(r) for r in one]  # read from the headers
    assert os.listdir(scratch) == []


# (name, call): failures of the library, raised with its text, nothing left behind.
FAILURES = [
    ("missing file", lambda t: qv.images(t / "missing.pdf"), lambda t: qv.count(t / "missing.pdf")),
    ("not a PDF", lambda t: qv.images(t / "junk.pdf"), lambda t: qv.count(t / "junk.pdf")),
    ("page past the end", lambda t: qv.images(SAMPLE, page=9), lambda t: qv.extract_page(SAMPLE, 9, t / "o")),
    ("page 0", lambda t: list(qv.iter_images(SAMPLE, 0)), lambda t: qv.extract_page(SAMPLE, 0, t / "o")),
]


@pytest.mark.parametrize("name,call,same", FAILURES, ids=[f[0] for f in FAILURES])
def test_failures_raise_the_library_text(tmp_path, scratch, name, call, same):
    (tmp_path / "junk.pdf").write_bytes(b"no objects here\n")
    with pytest.raises(qv.PdfExtractImgError) as got:
        call(tmp_path)
    with pytest.raises(qv.PdfExtractImgError) as want:
        same(tmp_path)
    assert got.value.message == want.value.message
    assert os.listdir(scratch) == []


def test_a_listing_that_does_not_match_the_files_fails(scratch, monkeypatch):
    real = qv.info
    monkeypatch.setattr(qv, "info", lambda pdf: real(pdf)[:-1])  # as if the PDF changed in between
    with pytest.raises(qv.PdfExtractImgError, match="does not describe the 5 files"):
        qv.images(SAMPLE)
    assert os.listdir(scratch) == []


def test_iteration_reads_each_file_in_its_turn_and_cleans_up_when_abandoned(scratch):
    it = qv.iter_images(SAMPLE)
    assert os.listdir(scratch) == []  # nothing runs before the first next()
    first = next(it)
    (work,) = os.listdir(scratch)
    assert first.data == (scratch / work / "image_001.jpg").read_bytes()
    (scratch / work / "image_002.png").write_bytes(b"replaced")
    assert next(it).data == b"replaced"  # read now, not held since the extraction
    it.close()
    assert os.listdir(scratch) == []
    for record in qv.iter_images(SAMPLE):  # left by a break, then collected
        break
    gc.collect()
    assert os.listdir(scratch) == []


def test_arguments_are_checked_at_the_call(scratch):
    for call, exc in [(lambda: qv.iter_images(SAMPLE, True), TypeError),
                      (lambda: qv.iter_images(SAMPLE, 2 ** 31), ValueError),
                      (lambda: qv.iter_images("sample\0.pdf"), ValueError)]:
        with pytest.raises(exc):
            call()
    assert os.listdir(scratch) == []


# The sample's images: (number, numpy shape); gray PNGs stay H x W, RGBA ones H x W x 4, the RGB
# JPEG H x W x 3.
SHAPES = [(0, (16, 16, 3)), (1, (32, 48, 4)), (3, (32, 32)), (4, (32, 32, 4))]


def test_to_pil_and_to_numpy():
    np = pytest.importorskip("numpy")
    pytest.importorskip("PIL")
    records = qv.images(SAMPLE)
    for number, shape in SHAPES:
        a = records[number].to_numpy()
        assert (a.shape, a.dtype) == (shape, np.uint8)
        assert a.shape[:2] == (records[number].height, records[number].width)
    image = records[3].to_pil()
    assert image.size == (32, 32) and np.array_equal(np.asarray(image), records[3].to_numpy())


# (method, modules made unimportable, words the error must hold)
MISSING = [
    ("to_pil", ["PIL", "PIL.Image"], ["to_pil", "PIL", "Pillow"]),
    ("to_numpy", ["numpy"], ["to_numpy", "numpy"]),
    ("to_numpy", ["PIL", "PIL.Image"], ["to_pil", "PIL", "Pillow"]),  # numpy present, Pillow not
]


@pytest.mark.parametrize("method,modules,words", MISSING, ids=[f"{m[0]} without {m[1][0]}" for m in MISSING])
def test_a_missing_module_is_named(monkeypatch, method, modules, words):
    record = qv.images(SAMPLE)[0]
    if method == "to_numpy" and "numpy" not in modules:
        pytest.importorskip("numpy")
    for m in modules:
        monkeypatch.setitem(sys.modules, m, None)  # import m raises ImportError
    with pytest.raises(ImportError) as e:
        getattr(record, method)()
    for w in words:
        assert w in str(e.value)
