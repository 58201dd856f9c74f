"""quelvar_pdfextractimg.batch: the host's naming rules, the child's results, the report."""
import os
import time

import pytest

from quelvar_pdfextractimg import _native, batch
from naming_cases import NAMING_CASES, SAMPLE, make_tree


@pytest.mark.parametrize("name,files,links,args,want", NAMING_CASES, ids=[c[0] for c in NAMING_CASES])
def test_find_jobs_names_outputs_as_the_host_does(tmp_path, monkeypatch, name, files, links, args, want):
    make_tree(tmp_path, files, links)
    monkeypatch.chdir(tmp_path)
    plan = batch.find_jobs("out", args)
    assert {j.path: os.path.relpath(j.output, "out") for j in plan.jobs} == want
    assert plan.errors == []


def hang(src, dst):
    time.sleep(60)


# (name, what the child's extraction does, timeout, status, error, images)
CHILD_CASES = [
    ("images written", lambda s, d: (3, ""), 10, "ok", "", 3),
    ("the library's failure", lambda s, d: (-1, "cannot open x.pdf \u2014 gone"), 10, "failed",
     "cannot open x.pdf \u2014 gone", 0),
    ("a crash", lambda s, d: os.abort(), 10, "crashed", "crashed: signal 6", 0),
    ("an exit", lambda s, d: os._exit(3), 10, "crashed", "crashed: exit status 3", 0),
    ("a hang", hang, 0.5, "timeout", "timeout", 0),
]


@pytest.mark.parametrize("name,child,timeout,status,error,images", CHILD_CASES, ids=[c[0] for c in CHILD_CASES])
def test_run_job_records_what_its_child_did(monkeypatch, name, child, timeout, status, error, images):
    monkeypatch.setattr(_native, "call_unlocked_all", child)
    rec = batch._run_forked(batch.Job("in/x.pdf", "out/x"), timeout)
    assert rec == {"path": "in/x.pdf", "status": status, "images": images, "error": error,
                   "seconds": rec["seconds"], "output": "out/x"}
    assert 0 <= rec["seconds"] < 30


def test_run_job_through_its_helper_process(tmp_path):
    job = batch.Job(str(SAMPLE), str(tmp_path / "out"))
    assert batch.run_job(job)["images"] == 5
    batch._helpers.helper.proc.kill()  # lost between two files: the next starts another
    batch._helpers.helper.proc.wait()
    assert batch.run_job(job)["status"] == "ok"
    odd = os.fsdecode(os.fsencode(tmp_path) + b"/caf\xe9.pdf")
    rec = batch.run_job(batch.Job(odd, odd[:-4]))
    assert (rec["path"], rec["status"], rec["output"]) == (odd, "failed", odd[:-4])
    assert odd in rec["error"]


def test_report_lines_resume_and_a_broken_last_line(tmp_path):
    report = tmp_path / "report.jsonl"
    odd = os.fsdecode(b"caf\xe9.pdf")
    recs = [batch.failed_record("a.pdf", "boom"), dict(batch.failed_record(odd, ""), status="ok"),
            dict(batch.failed_record("a.pdf", ""), status="ok"), dict(batch.failed_record("b.pdf", ""), status="ok"),
            batch.failed_record("b.pdf", "later failure")]
    with batch.open_report(report) as f:
        for r in recs:
            f.write(batch.record_line(r))
    assert b"caf\\udce9.pdf" in report.read_bytes()
    assert batch.done_paths(report) == {"a.pdf", odd}
    report.write_bytes(report.read_bytes() + b'{"path":"c.pdf","sta')  # killed mid-line
    with batch.open_report(report) as f:
        f.write(batch.record_line(dict(batch.failed_record("d.pdf", ""), status="ok")))
    assert batch.done_paths(report) == {"a.pdf", odd, "d.pdf"}
    assert batch.done_paths(tmp_path / "none.jsonl") == set()
