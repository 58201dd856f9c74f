"""Images in memory: the library writes into a private temporary directory, which is read back and
removed whatever happens."""
from __future__ import annotations

import importlib
import io
import os
import shutil
import struct
import tempfile
from dataclasses import dataclass, field
from typing import Iterator, Optional, Tuple

_MAX_JPEG_SEGMENTS = 4096  # segments passed before a JPEG's frame header is given up on

# Modes Pillow may give a JPEG or PNG in, and the mode to_numpy converts them to: 8-bit gray, RGB
# or RGBA (the library writes gray or RGBA PNGs; JPEG data is as stored: gray, RGB or CMYK).
# Any other mode becomes RGBA.
_NUMPY_MODE = {"L": "L", "1": "L", "RGB": "RGB", "CMYK": "RGB", "YCbCr": "RGB"}


def _optional(module: str, package: str, method: str):
    """Imports module for method, or raises ImportError naming what is missing."""
    try:
        return importlib.import_module(module)
    except ImportError as e:
        raise ImportError(f"ExtractedImage.{method}() needs the module {module.split('.')[0]} "
                          f"(pip install {package}, or Debian's python3-{package.lower()}): {e}",
                          name=e.name) from e


@dataclass(frozen=True)
class ExtractedImage:
    """One image file of the library, held in memory: its page (1-based), size in pixels, type
    ("jpeg" or "png") and the file's bytes (a JPEG exactly as stored in the PDF)."""

    page: int
    width: int
    height: int
    type: str
    data: bytes = field(repr=False)

    def to_pil(self):
        """The image as a PIL.Image.Image (Pillow, imported now)."""
        image_module = _optional("PIL.Image", "Pillow", "to_pil")
        image = image_module.open(io.BytesIO(self.data))
        image.load()
        return image

    def to_numpy(self):
        """The pixels as a numpy array of uint8: H x W (gray), H x W x 3 (RGB) or H x W x 4
        (RGBA). Needs numpy and Pillow, imported now."""
        np = _optional("numpy", "numpy", "to_numpy")
        image = self.to_pil()
        mode = _NUMPY_MODE.get(image.mode, "RGBA")
        if mode != image.mode:
            image = image.convert(mode)
        return np.array(image, dtype=np.uint8)


def _jpeg_dimensions(data: bytes) -> Tuple[int, int]:
    """Width and height from a JPEG's frame header (SOF0 to SOF15 but DHT, JPG and DAC), or (0, 0)."""
    pos = 0
    for _ in range(_MAX_JPEG_SEGMENTS):
        if pos >= len(data) or data[pos] != 0xFF:
            break
        while pos < len(data) and data[pos] == 0xFF:  # fill bytes
            pos += 1
        if pos >= len(data):
            break
        marker = data[pos]
        pos += 1
        if marker in (0xD8, 0x01) or 0xD0 <= marker <= 0xD7:  # no length follows
            continue
        if marker in (0xD9, 0xDA) or pos + 2 > len(data):
            break
        length = data[pos] << 8 | data[pos + 1]
        if length < 2:
            break
        if 0xC0 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC):
            if length < 7 or pos + 7 > len(data):
                break
            height, width = struct.unpack_from(">HH", data, pos + 3)
            return width, height
        pos += length
    return 0, 0


def _dimensions(data: bytes, jpeg: bool) -> Tuple[int, int]:
    """Width and height from the file's header (a PNG's IHDR), or (0, 0) when it does not read."""
    if jpeg:
        return _jpeg_dimensions(data)
    if len(data) >= 24 and data[1:4] == b"PNG" and data[12:16] == b"IHDR":
        return struct.unpack_from(">II", data, 16)
    return 0, 0


def _file_name(number: int, jpeg: bool) -> str:
    """The library's name of image file number (1-based)."""
    return "image_%03d.%s" % (number, "jpg" if jpeg else "png")


def _read(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def _records(pdf: bytes, page: Optional[int], tmp: str) -> Iterator[ExtractedImage]:
    """Extracts into tmp, then reads and yields one file at a time."""
    from . import PdfExtractImgError, extract_all, extract_page, info
    if page is None:
        n = extract_all(pdf, tmp)
        listing = info(pdf)
        if len(listing) != n:
            raise PdfExtractImgError(f"the listing does not describe the {n} files written "
                                     "(has the PDF changed?)")
        for number, item in enumerate(listing, 1):
            data = _read(os.path.join(tmp, _file_name(number, item.type == "jpeg")))
            yield ExtractedImage(item.page, item.width, item.height, item.type, data)
        return
    n = extract_page(pdf, page, tmp)
    for number in range(1, n + 1):
        jpeg = os.path.exists(os.path.join(tmp, _file_name(number, True)))  # the directory is new
        data = _read(os.path.join(tmp, _file_name(number, jpeg)))
        width, height = _dimensions(data, jpeg)
        yield ExtractedImage(page, width, height, "jpeg" if jpeg else "png", data)


def iter_images(pdf: bytes, page: Optional[int]) -> Iterator[ExtractedImage]:
    """The generator behind quelvar_pdfextractimg.iter_images (arguments already checked)."""
    tmp = tempfile.mkdtemp(prefix="quelvar-pdfextractimg-")
    try:
        yield from _records(pdf, page, tmp)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
