"""The raster images of PDF files, through the shared library quelvar-pdfextractimg.

JPEG images are written exactly as stored, as image_001.jpg; every other image is decoded and
written as PNG (image_002.png, ...), numbered in page order::

    import quelvar_pdfextractimg as qv
    qv.extract_all("report.pdf", "images")     # files written
    qv.extract_page("report.pdf", 2, "page2")  # the images of page 2 (1-based)
    qv.info("report.pdf")                      # [ImageInfo(page=1, width=640, ...), ...]
    qv.count("report.pdf")
    for img in qv.iter_images("report.pdf"):     # ExtractedImage(page=1, width=640, ...), one at a time
        img.data, img.to_pil(), img.to_numpy()   # the file's bytes; Pillow; numpy (H x W [x 3|4])
    qv.images("report.pdf", page=2)              # the same as a list

Paths are str, bytes or os.PathLike. A failure raises PdfExtractImgError with the library's error
text. The library is the copy installed inside this package, or the one that the environment
variable QUELVAR_PDFEXTRACTIMG_LIBRARY names. For many files, see quelvar_pdfextractimg.batch.
"""
from __future__ import annotations

import json
import operator
import os
from dataclasses import dataclass
from typing import Iterator, List, Optional, Union

from . import _memory, _native
from ._memory import ExtractedImage
from ._native import LIBRARY_ENV, library_path

__version__ = "0.1.0"

__all__ = ["ImageInfo", "ExtractedImage", "PdfExtractImgError", "extract_all", "extract_page", "info", "count",
           "images", "iter_images", "library_path", "LIBRARY_ENV", "__version__"]

PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

_INT_MIN, _INT_MAX = -(2 ** 31), 2 ** 31 - 1


class PdfExtractImgError(Exception):
    """A failure the library reported. ``message`` (and ``str()``) is the library's error text,
    e.g. "Page 9 out of range (document has 2 pages)"."""

    def __init__(self, message: str) -> None:
        super().__init__(message)
        self.message = message


@dataclass(frozen=True)
class ImageInfo:
    """One image that extract_all would write: its page (1-based), size in pixels, type ("jpeg"
    or "png", the file's format) and the file's size in bytes."""

    page: int
    width: int
    height: int
    type: str
    size: int


def _path(p: PathArg) -> bytes:
    """The bytes the library is given for a path. A NUL byte would cut the path short in C, so a
    path holding one is refused, as the os module refuses it."""
    b = os.fsencode(p)
    if b"\0" in b:
        raise ValueError("embedded null byte in path: %r" % (p,))
    return b


def _page_number(page: int) -> int:
    """page as a C int; TypeError for a bool or a non-integer, ValueError outside a C int."""
    if isinstance(page, bool):
        raise TypeError("page must be an int, not bool")
    page = operator.index(page)
    if not _INT_MIN <= page <= _INT_MAX:
        raise ValueError(f"page number {page} out of range")
    return page


def _checked(result: int, error: str) -> int:
    if result < 0:
        raise PdfExtractImgError(error)
    return result


def extract_all(pdf: PathArg, outdir: PathArg) -> int:
    """Writes every image of pdf into outdir (created with its parents when missing); an image
    used on several pages is written once. Returns the number of files written."""
    src, dst = _path(pdf), _path(outdir)
    return _checked(*_native.call(lambda lib: lib.pdfextractimg_all(src, dst), lambda n: n < 0))


def extract_page(pdf: PathArg, page: int, outdir: PathArg) -> int:
    """Writes the images of one page (1-based) into outdir, numbered from image_001. Returns the
    number of files written. A page outside the document raises PdfExtractImgError; one outside
    the range of a C int raises ValueError."""
    page = _page_number(page)
    src, dst = _path(pdf), _path(outdir)
    return _checked(*_native.call(lambda lib: lib.pdfextractimg_page(src, page, dst), lambda n: n < 0))


def info(pdf: PathArg) -> List[ImageInfo]:
    """Describes every image that extract_all would write, in the same order."""
    src = _path(pdf)

    def listing(lib):
        text = lib.pdfextractimg_info(src)
        if text is not None:
            lib.pdfextractimg_cleanup()  # the copy is ours; release the library's
        return text

    text, error = _native.call(listing, lambda t: t is None)
    if text is None:
        raise PdfExtractImgError(error)
    return [ImageInfo(page=d["page"], width=d["width"], height=d["height"], type=d["type"], size=d["size"])
            for d in json.loads(text)]


def count(pdf: PathArg) -> int:
    """The number of images that extract_all would write."""
    src = _path(pdf)
    return _checked(*_native.call(lambda lib: lib.pdfextractimg_count(src), lambda n: n < 0))


def iter_images(pdf: PathArg, page: Optional[int] = None) -> Iterator[ExtractedImage]:
    """Yields the images of pdf (or of one page, 1-based) one at a time, in the listing's order,
    each read from its file only when it is its turn. The library writes them into a private
    temporary directory, removed when the iteration ends, fails or is abandoned (closed or
    collected). Arguments are checked now; the library runs at the first next(), which raises
    PdfExtractImgError on its failure. Page, width, height and type are the listing's (info); for
    one page, the size in pixels is read from each file's header (0 when it does not read), since
    a page's files may include images that info lists on an earlier page."""
    src = _path(pdf)
    return _memory.iter_images(src, None if page is None else _page_number(page))


def images(pdf: PathArg, page: Optional[int] = None) -> List[ExtractedImage]:
    """iter_images as a list: every image's bytes in memory at once."""
    return list(iter_images(pdf, page))
