"""Finding, loading and calling the shared library quelvar-pdfextractimg through ctypes."""
from __future__ import annotations

import ctypes
import os
from typing import Callable, Optional, Tuple, TypeVar

LIBRARY_ENV = "QUELVAR_PDFEXTRACTIMG_LIBRARY"
SONAME = "libquelvar-pdfextractimg.so.0"

T = TypeVar("T")

# The library keeps its error text and its last listing per calling thread, and ctypes releases
# the GIL during a call: threads call it at once, each reading its own error text right after its
# call. Two threads loading it at once load the same library twice, which is harmless.
_lib: Optional[ctypes.CDLL] = None
_lib_path: Optional[str] = None


def _candidates() -> list:
    """Where the library is looked for: the environment variable alone when it is set, else the
    copy installed inside this package, then the system's loader by soname."""
    named = os.environ.get(LIBRARY_ENV)
    if named:
        return [named]
    bundled = os.path.join(os.path.dirname(os.path.abspath(__file__)), SONAME)
    return [bundled, SONAME] if os.path.exists(bundled) else [SONAME]


def _declare(lib: ctypes.CDLL) -> None:
    c_str = ctypes.c_char_p
    for name, restype, argtypes in [
        ("pdfextractimg_all", ctypes.c_int, [c_str, c_str]),
        ("pdfextractimg_page", ctypes.c_int, [c_str, ctypes.c_int, c_str]),
        ("pdfextractimg_info", c_str, [c_str]),  # ctypes copies the text into bytes
        ("pdfextractimg_count", ctypes.c_int, [c_str]),
        ("pdfextractimg_last_error", c_str, []),
        ("pdfextractimg_cleanup", None, []),
    ]:
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = argtypes


def library() -> ctypes.CDLL:
    """The loaded library, loaded on first use. OSError names every place that was tried."""
    global _lib, _lib_path
    if _lib is None:
        errors = []
        for path in _candidates():
            try:
                lib = ctypes.CDLL(path)
                _declare(lib)
            except (OSError, AttributeError) as e:
                errors.append(f"{path}: {e}")
                continue
            _lib, _lib_path = lib, path
            break
        else:
            raise OSError("cannot load the library quelvar-pdfextractimg (" + "; ".join(errors) +
                          f"); set {LIBRARY_ENV} to its path")
    return _lib


def library_path() -> str:
    """The path (or soname) the library was loaded from."""
    library()
    return _lib_path or ""


def call(fn: Callable[[ctypes.CDLL], T], failed: Callable[[T], bool]) -> Tuple[T, str]:
    """Runs fn(library); returns its result and, if failed(result), the library's error text of
    this thread (else "")."""
    lib = library()
    result = fn(lib)
    error = lib.pdfextractimg_last_error() if failed(result) else b""
    return result, error.decode("utf-8", "surrogateescape")


def call_unlocked_all(pdf: bytes, outdir: bytes) -> Tuple[int, str]:
    """pdfextractimg_all for a forked child that is the only thread of its process. The library
    must already be loaded: loading in such a child could wait on the loader's lock for ever."""
    assert _lib is not None
    n = _lib.pdfextractimg_all(pdf, outdir)
    error = _lib.pdfextractimg_last_error() if n < 0 else b""
    return n, error.decode("utf-8", "surrogateescape")
