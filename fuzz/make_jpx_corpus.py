#!/usr/bin/python3
"""Writes the seed corpus of fuzz_jpx into fuzz/corpus/jpx/: tiny images compressed by
opj_compress (libopenjp2-tools) with one option set each, and JP2 files wrapped by hand around
some of them (palette with component mapping, channel definitions with alpha, an ICC colour
box, sYCC). Run by hand from the repository root; its output is committed.
"""
import os
import struct
import subprocess
import tempfile

import numpy as np
from PIL import Image

OUT = "fuzz/corpus/jpx"

# name, image kind, opj_compress options
CASES = [
    ("gray-default.j2k", "gray", ["-n", "4"]),
    ("gray-1-level.j2k", "gray", ["-n", "1"]),
    ("rgb-lossless.j2k", "rgb", ["-n", "3"]),
    ("rgb-97.j2k", "rgb", ["-n", "3", "-I"]),
    ("rgb-no-mct.j2k", "rgb", ["-n", "2", "-mct", "0"]),
    ("gray-rlcp.j2k", "gray", ["-n", "3", "-p", "RLCP"]),
    ("gray-rpcl-precincts.j2k", "gray", ["-n", "3", "-p", "RPCL", "-c", "[8,8],[4,4]"]),
    ("rgb-pcrl-tiles.j2k", "rgb", ["-n", "2", "-p", "PCRL", "-t", "16,12"]),
    ("rgb-cprl-tileparts.j2k", "rgb", ["-n", "2", "-p", "CPRL", "-TP", "C"]),
    ("gray-layers.j2k", "gray", ["-n", "3", "-r", "20,8,1"]),
    ("gray-bypass.j2k", "gray", ["-n", "2", "-M", "1", "-b", "8,8"]),
    ("gray-reset.j2k", "gray", ["-n", "2", "-M", "2"]),
    ("gray-termall.j2k", "gray", ["-n", "2", "-M", "4"]),
    ("gray-causal.j2k", "gray", ["-n", "2", "-M", "8"]),
    ("gray-predictable.j2k", "gray", ["-n", "2", "-M", "16"]),
    ("gray-segsym.j2k", "gray", ["-n", "2", "-M", "32"]),
    ("gray-all-styles.j2k", "gray", ["-n", "2", "-M", "63", "-b", "4,8"]),
    ("gray-sop-eph.j2k", "gray", ["-n", "2", "-SOP", "-EPH"]),
    ("rgb-poc.j2k", "rgb", ["-n", "2", "-POC", "T1=0,0,1,3,3,CPRL/T1=0,0,1,3,3,LRCP"]),
    ("gray-roi.j2k", "gray", ["-n", "2", "-ROI", "c=0,U=0"]),
    ("gray-offset.j2k", "gray", ["-n", "2", "-d", "3,5"]),
    ("rgb-subsampled.j2k", "rgb", ["-n", "2", "-s", "2,1"]),
    ("gray16.j2k", "gray16", ["-n", "2"]),
    ("gray12-97.j2k", "gray12", ["-n", "2", "-I"]),
    ("rgb-plt-tlm.j2k", "rgb", ["-n", "2", "-PLT", "-TLM"]),
    ("rgb.jp2", "rgb", ["-n", "2"]),
]


def image(kind, path):
    rng = np.random.default_rng(7)
    h, w = 12, 16
    y, x = np.mgrid[0:h, 0:w]
    if kind == "rgb":
        a = np.stack([x * 13 + y, y * 17 + rng.integers(0, 30, (h, w)), (x * y) * 3], -1) % 256
        Image.fromarray(a.astype(np.uint8)).save(path)
    elif kind == "gray":
        Image.fromarray(((x * 13 + y * 5 + rng.integers(0, 9, (h, w))) % 256).astype(np.uint8)).save(path)
    else:  # 16 or 12 bits as a PGM with maxval
        maxval = 65535 if kind == "gray16" else 4095
        a = (x * 3001 + y * 977 + rng.integers(0, 500, (h, w))) % (maxval + 1)
        with open(path, "wb") as f:
            f.write(b"P5\n%d %d\n%d\n" % (w, h, maxval))
            f.write(a.astype(">u2").tobytes())


def box(kind, body):
    return struct.pack(">I", 8 + len(body)) + kind + body


def jp2(codestream, header_boxes):
    ihdr = box(b"ihdr", struct.pack(">IIHBBBB", 12, 16, 1, 7, 7, 0, 0))
    return (box(b"jP  ", b"\r\n\x87\n") + box(b"ftyp", b"jp2 \0\0\0\0jp2 ") +
            box(b"jp2h", ihdr + b"".join(header_boxes)) + box(b"jp2c", codestream))


def main():
    with tempfile.TemporaryDirectory() as tmp:
        for name, kind, opts in CASES:
            src = os.path.join(tmp, kind + (".ppm" if kind == "rgb" else ".pgm"))
            image(kind, src)
            subprocess.run(["opj_compress", "-i", src, "-o", os.path.join(OUT, name)] + opts,
                           check=True, stdout=subprocess.DEVNULL)
        with open(os.path.join(OUT, "gray-1-level.j2k"), "rb") as f:
            gray = f.read()
        with open(os.path.join(OUT, "rgb-lossless.j2k"), "rb") as f:
            rgb = f.read()
        colr = lambda cs: box(b"colr", struct.pack(">BBBI", 1, 0, 0, cs))
        # A palette of 256 RGB entries indexed by the gray component.
        pal = struct.pack(">HB", 256, 3) + bytes([7, 7, 7]) + bytes(
            v for i in range(256) for v in (i, 255 - i, (i * 7) % 256))
        cmap = b"".join(struct.pack(">HBB", 0, 1, c) for c in range(3))
        out = {
            "jp2-palette.jp2": jp2(gray, [colr(16), box(b"pclr", pal), box(b"cmap", cmap)]),
            "jp2-gray-alpha.jp2": jp2(rgb, [colr(17), box(b"cdef", struct.pack(
                ">H" + "HHH" * 3, 3, 0, 0, 1, 1, 1, 0, 2, 65535, 65535))]),
            "jp2-sycc.jp2": jp2(rgb, [colr(18)]),
            "jp2-icc.jp2": jp2(rgb, [box(b"colr", b"\x02\x00\x00" + bytes(16) + b"RGB " + bytes(108))]),
        }
        for name, data in out.items():
            with open(os.path.join(OUT, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
