"""pdfextractimg batch: which files, where their images go, the report, failures in workers,
--resume, --from, the progress line, usage errors and --help."""
import json
import os
import pty
import shutil
import subprocess

import pytest

from conftest import PRODUCERS, SAMPLE
from naming_cases import NAMING_CASES, make_tree


def records(report):
    with open(report, "rb") as f:
        return [json.loads(line) for line in f]


def files_of(d):
    """Relative name -> bytes of every file under d."""
    out = {}
    for root, _, names in os.walk(d):
        for n in names:
            p = os.path.join(root, n)
            out[os.path.relpath(p, d)] = open(p, "rb").read()
    return out


def test_tree_gives_the_files_of_all_and_a_full_report(tmp_path, run):
    make_tree(tmp_path / "in", ["a.pdf", "other/B.PDF", "notes.txt"])
    for p in PRODUCERS.glob("*.pdf"):
        shutil.copyfile(p, tmp_path / "in" / "other" / p.name)
    r = run("batch", "-j", "2", tmp_path / "out", tmp_path / "in")
    assert r.returncode == 0, r.stderr
    assert r.stderr == b""  # not a terminal: no progress line
    recs = records(tmp_path / "out" / "report.jsonl")
    assert len(recs) == 2 + len(list(PRODUCERS.glob("*.pdf")))
    assert b"%d files: %d extracted, 0 failed" % (len(recs), len(recs)) in r.stdout
    for rec in recs:
        assert set(rec) == {"path", "status", "images", "error", "seconds", "output"}
        assert (rec["status"], rec["error"]) == ("ok", "")
        assert 0 <= rec["seconds"] < 60
        ref = tmp_path / "ref" / os.path.basename(rec["output"])
        assert run("all", rec["path"], ref).returncode == 0
        assert files_of(rec["output"]) == files_of(ref), rec["path"]
        assert rec["images"] == len(files_of(ref))


@pytest.mark.parametrize("name,files,links,args,want", NAMING_CASES, ids=[c[0] for c in NAMING_CASES])
def test_output_names(tmp_path, monkeypatch, run, name, files, links, args, want):
    make_tree(tmp_path, files, links)
    monkeypatch.chdir(tmp_path)
    run("batch", "-j", "2", "out", *args)
    got = {r["path"]: os.path.relpath(r["output"], "out") for r in records("out/report.jsonl")}
    assert got == want
    assert {r["path"] for r in records("out/report.jsonl") if r["status"] != "ok"} <= {"nope/.."}


def test_failures_are_recorded_and_resume_redoes_only_them(tmp_path, run, shim_env):
    names = ["good.pdf", "shim-crash.pdf", "shim-hang.pdf", os.fsdecode(b"caf\xe9.pdf")]
    make_tree(tmp_path / "in", names)
    (tmp_path / "in" / "junk.pdf").write_bytes(b"not a PDF at all\n")
    r = run("batch", "--timeout", "1", tmp_path / "out", tmp_path / "in", env=shim_env)
    assert r.returncode == 1
    recs = {os.path.basename(os.fsencode(x["path"])): x for x in records(tmp_path / "out" / "report.jsonl")}
    assert len(recs) == 5
    lib = run("all", tmp_path / "in" / "junk.pdf", tmp_path / "junk-ref")
    want = {  # status, error
        b"good.pdf": ("ok", ""),
        b"caf\xe9.pdf": ("ok", ""),
        b"shim-crash.pdf": ("crashed", "crashed: signal 6"),
        b"shim-hang.pdf": ("timeout", "timeout"),
        b"junk.pdf": ("failed", lib.stderr.decode().removeprefix("pdfextractimg: ").rstrip("\n")),
    }
    assert {k: (v["status"], v["error"]) for k, v in recs.items()} == want
    assert 1 <= recs[b"shim-hang.pdf"]["seconds"] < 30
    assert recs[b"caf\xe9.pdf"]["output"].endswith("caf\udce9")  # the name's bytes, escaped
    assert b"shim-crash.pdf: crashed: signal 6" in r.stderr

    # A run killed mid-line leaves a partial line, which --resume passes over.
    with open(tmp_path / "out" / "report.jsonl", "ab") as f:
        f.write(b'{"path":"' + os.fsencode(tmp_path / "in" / "good.pdf"))
    r = run("batch", "--resume", tmp_path / "out", tmp_path / "in")  # no shim: all but junk succeed
    assert r.returncode == 1
    assert b"3 skipped" not in r.stdout and b"2 skipped" in r.stdout
    again = records_after_partial(tmp_path / "out" / "report.jsonl", 5)
    assert sorted((os.path.basename(x["path"]), x["status"]) for x in again) == [
        ("junk.pdf", "failed"), ("shim-crash.pdf", "ok"), ("shim-hang.pdf", "ok")]


def records_after_partial(report, skip):
    lines = open(report, "rb").read().split(b"\n")
    return [json.loads(line) for line in lines[skip + 1:] if line]


def test_from_list_and_stdin(tmp_path, run):
    make_tree(tmp_path, ["a.pdf", "d/b.pdf", "c.pdf"])
    (tmp_path / "list").write_bytes(b"%s\n\n%s\n" % (bytes(tmp_path / "a.pdf"), bytes(tmp_path / "d")))
    r = run("batch", "--from", tmp_path / "list", tmp_path / "out", tmp_path / "c.pdf")
    assert r.returncode == 0, r.stderr
    r = run("batch", "--from", "-", tmp_path / "out2", input=bytes(tmp_path / "a.pdf") + b"\n")
    assert r.returncode == 0, r.stderr
    outputs = lambda d: sorted(os.path.relpath(x["output"], d) for x in records(d / "report.jsonl"))
    assert outputs(tmp_path / "out") == ["a", "b", "c"]
    assert outputs(tmp_path / "out2") == ["a"]


def test_progress_line_on_a_terminal_only(tmp_path, cli, shim_env):
    make_tree(tmp_path / "in", ["a.pdf", "b.pdf", "shim-hang.pdf"])
    master, slave = pty.openpty()
    p = subprocess.Popen([cli, "batch", "-j", "3", "--timeout", "0.6", tmp_path / "out", tmp_path / "in"],
                         stdout=subprocess.PIPE, stderr=slave, env=shim_env)
    os.close(slave)
    seen = b""
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:  # the terminal's other side has closed
            break
        if not chunk:
            break
        seen += chunk
    p.wait(timeout=60)
    os.close(master)
    assert p.returncode == 1
    assert seen.count(b"\r") >= 3 and b"2/3 files" in seen  # redrawn while the hang goes on
    last = [line for line in seen.split(b"\r") if b"files/s" in line][-1]
    assert b"3/3 files, 10 images, 1 failed" in last and b"left" in last


USAGE_CASES = [
    ("nothing", []),
    ("no path", ["out"]),
    ("no workers", ["-j", "0", "out", "x.pdf"]),
    ("-j without a number", ["out", "x.pdf", "-j"]),
    ("negative timeout", ["--timeout", "-1", "out", "x.pdf"]),
    ("timeout not a number", ["--timeout=soon", "out", "x.pdf"]),
    ("unknown option", ["--bogus", "out", "x.pdf"]),
    ("--help after -- is a name", ["--", "--help"]),
]


@pytest.mark.parametrize("name,args", USAGE_CASES, ids=[c[0] for c in USAGE_CASES])
def test_usage_errors(tmp_path, monkeypatch, run, name, args):
    monkeypatch.chdir(tmp_path)
    r = run("batch", *args)
    assert r.returncode == 2
    assert b"Usage:" in r.stderr
    assert not os.path.exists("out")


# --help or -h anywhere before "--" prints the usage and exits 0, whatever else the line holds.
HELP_CASES = [
    ("batch --help", ["batch", "--help"]),
    ("batch, after its arguments", ["batch", "-j", "2", "out", "x.pdf", "--help"]),
    ("batch, after an unknown option", ["batch", "--bogus", "-h"]),
    ("all --help", ["all", "--help"]),
    ("page, among its arguments", ["page", "x.pdf", "--help", "2", "out"]),
    ("info -h", ["info", "-h"]),
    ("an unknown command", ["frobnicate", "--help"]),
]


@pytest.mark.parametrize("name,args", HELP_CASES, ids=[c[0] for c in HELP_CASES])
def test_help_anywhere(tmp_path, monkeypatch, run, name, args):
    monkeypatch.chdir(tmp_path)
    r = run(*args)
    assert (r.returncode, r.stdout, r.stderr) == (0, run("--help").stdout, b"")
    assert os.listdir(tmp_path) == []


def test_unreadable_list_is_a_usage_error(tmp_path, run):
    r = run("batch", "--from", tmp_path / "missing", tmp_path / "out")
    assert r.returncode == 2 and b"cannot read the list" in r.stderr


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads every directory")
def test_unreadable_directory_is_a_failed_line(tmp_path, run):
    make_tree(tmp_path / "in", ["a.pdf", "locked/b.pdf"])
    os.chmod(tmp_path / "in" / "locked", 0)
    try:
        r = run("batch", tmp_path / "out", tmp_path / "in")
    finally:
        os.chmod(tmp_path / "in" / "locked", 0o755)
    assert r.returncode == 1
    recs = records(tmp_path / "out" / "report.jsonl")
    assert [(os.path.basename(x["path"]), x["status"]) for x in recs] == [("locked", "failed"), ("a.pdf", "ok")]
    assert recs[0]["error"].startswith("cannot read directory: ")
