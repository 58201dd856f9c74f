"""Where batch runs put each file's images: one table for the host (tests/host/test_batch.py) and
the Python package's find_jobs (python/tests/test_batch.py), which must agree.

(name, files made under the tree, links, arguments, {path: output}) with paths relative to the tree
and outputs relative to OUTROOT ("out"). Every file is a copy of the sample.
"""
import os
import pathlib
import shutil

SAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "sample.pdf"


def make_tree(base, files, links=()):
    """Copies of the sample at the relative paths files under base, and symbolic links (path, target)."""
    for rel in files:
        p = pathlib.Path(base) / rel
        p.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(SAMPLE, p)
    for rel, target in links:
        os.symlink(target, pathlib.Path(base) / rel)

NAMING_CASES = [
    ("directory: relative path without .pdf", ["d/x/y.pdf"], [], ["d"], {"d/x/y.pdf": "x/y"}),
    ("directory: any case, only PDFs", ["d/A.PDF", "d/b.txt"], [], ["d"], {"d/A.PDF": "A"}),
    ("file argument whatever its name", ["f.dat"], [], ["f.dat"], {"f.dat": "f.dat"}),
    ("two arguments, one name", ["a/x.pdf", "b/x.pdf"], [], ["a/x.pdf", "b/x.pdf"],
     {"a/x.pdf": "x", "b/x.pdf": "x-2"}),
    ("the suffix skips a name another file has", ["a/x.pdf", "b/x.pdf", "b/x-2.pdf"], [], ["a", "b"],
     {"a/x.pdf": "x", "b/x-2.pdf": "x-2", "b/x.pdf": "x-3"}),
    ("case twins in one directory, in byte order", ["d/x.pdf", "d/x.PDF"], [], ["d"],
     {"d/x.PDF": "x", "d/x.pdf": "x-2"}),
    ("a file reached twice is done once", ["d/x.pdf"], [], ["d", "d/x.pdf"], {"d/x.pdf": "x"}),
    ("a link back up the tree", ["d/s/x.pdf"], [("d/s/up", "..")], ["d"], {"d/s/x.pdf": "s/x"}),
    ("a linked directory is read once", ["d/s/x.pdf"], [("d/t", "s")], ["d"], {"d/s/x.pdf": "s/x"}),
    ("the report's name is not given away", ["d/report.jsonl.pdf"], [], ["d"],
     {"d/report.jsonl.pdf": "report.jsonl-2"}),
    ("a name that is only .pdf", ["d/.pdf"], [], ["d"], {"d/.pdf": ".pdf"}),
    ("a missing path fails without leaving OUTROOT", [], [], ["nope/.."], {"nope/..": "_"}),
]
