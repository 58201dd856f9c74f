"""Many PDFs the way ``pdfextractimg batch`` does them, for engines that spread the work over
processes and machines (Dask, Spark, Ray): the same files found, the same output directories,
each file extracted in a child process with a timeout, and the same JSON Lines report.

    plan = find_jobs("out", ["archive/"])           # on one machine
    records = [run_job(job) for job in plan.jobs]    # anywhere the paths can be read
    with open_report(default_report("out")) as f:
        for rec in plan.errors + records:
            f.write(record_line(rec))

The rules are the host's (see ``man pdfextractimg``): a directory is searched recursively, in byte
order, for names ending in .pdf in any case, following links and reading each directory once; any
other path is taken whatever its name; a file reached twice is done once; the images of a file go
to OUTROOT/<path relative to its argument, without .pdf>, the second and later files with one name
getting -2, -3, ...
"""
from __future__ import annotations

import ctypes
import json
import os
import re
import select
import signal
import stat
import subprocess
import sys
import threading
import time
from dataclasses import dataclass, field
from typing import BinaryIO, Dict, Iterable, List, Optional, Set, Tuple

from . import _native
from . import PathArg

DEFAULT_TIMEOUT = 120.0
_MAX_ANSWER = 65536
_PR_SET_PDEATHSIG = 1
_LONE_SURROGATE = re.compile("[\ud800-\udfff]")

# Looked up now: a child forked from a process with threads must not go through the dynamic
# loader, whose lock another thread may have held at the fork.
try:
    _prctl = ctypes.CDLL(None, use_errno=True).prctl
except (OSError, AttributeError):
    _prctl = None


@dataclass(frozen=True)
class Job:
    """One PDF and the directory its images go to. Paths are str, with the bytes of names that are
    not UTF-8 as os.fsdecode gives them."""

    path: str
    output: str


@dataclass
class Plan:
    """The jobs in order, and a failed report record for each directory that could not be read."""

    jobs: List[Job] = field(default_factory=list)
    errors: List[dict] = field(default_factory=list)


def _join(d: bytes, name: bytes) -> bytes:
    if not d:
        return name
    return d + name if d.endswith(b"/") else d + b"/" + name


def _is_pdf(name: bytes) -> bool:
    return name.lower().endswith(b".pdf")


def _last_component(path: bytes) -> bytes:
    p = path
    while len(p) > 1 and p.endswith(b"/"):
        p = p[:-1]
    name = p.rsplit(b"/", 1)[-1]
    return b"_" if name in (b"", b".", b"..") else name


def _strip_pdf(rel: bytes) -> bytes:
    last = rel.rsplit(b"/", 1)[-1]
    return rel[:-4] if _is_pdf(rel) and len(last) > 4 else rel


def _stat(path: bytes) -> Optional[os.stat_result]:
    try:
        return os.stat(path)
    except (OSError, ValueError):
        return None


class _Scanner:
    def __init__(self) -> None:
        self.found: List[Tuple[bytes, bytes]] = []  # (path, name without .pdf)
        self.errors: List[dict] = []
        self.dirs: Set[Tuple[int, int]] = set()
        self.files: Set[Tuple[int, int]] = set()

    def add_file(self, path: bytes, rel: bytes, st: Optional[os.stat_result]) -> None:
        if st is not None:
            key = (st.st_dev, st.st_ino)
            if key in self.files:
                return
            self.files.add(key)
        self.found.append((path, _strip_pdf(rel)))

    def first_visit(self, st: os.stat_result) -> bool:
        key = (st.st_dev, st.st_ino)
        if key in self.dirs:
            return False
        self.dirs.add(key)
        return True

    def open_dir(self, stack: list, d: bytes, rel: bytes) -> None:
        try:
            names = sorted(n for n in os.listdir(d) if n not in (b".", b".."))
        except OSError as e:
            self.errors.append(failed_record(os.fsdecode(d), "cannot read directory: " + (e.strerror or str(e))))
            return
        stack.append([d, rel, names, 0])

    def scan_dir(self, root: bytes) -> None:
        """Depth first on a stack of its own, each subdirectory where its name sorts."""
        stack: list = []
        self.open_dir(stack, root, b"")
        while stack:
            frame = stack[-1]
            d, rel, names, i = frame
            if i == len(names):
                stack.pop()
                continue
            frame[3] = i + 1
            name = names[i]
            full, sub = _join(d, name), (rel + b"/" + name if rel else name)
            st = _stat(full)
            if st is not None and stat.S_ISDIR(st.st_mode):
                if self.first_visit(st):
                    self.open_dir(stack, full, sub)
            elif _is_pdf(name):
                self.add_file(full, sub, st)  # a dangling link too: its worker says why it fails

    def scan_path(self, path: bytes) -> None:
        st = _stat(path)
        if st is not None and stat.S_ISDIR(st.st_mode):
            if self.first_visit(st):
                self.scan_dir(path)
        else:
            self.add_file(path, _last_component(path), st)


def default_report(outroot: PathArg) -> str:
    """OUTROOT/report.jsonl, where the host writes its report unless told otherwise."""
    return os.fsdecode(_join(os.fsencode(outroot), b"report.jsonl"))


def find_jobs(outroot: PathArg, paths: Iterable[PathArg], report: Optional[PathArg] = None) -> Plan:
    """The PDFs named by or found under paths, with their output directories under outroot. The
    report's path (default OUTROOT/report.jsonl) is never given to a job."""
    root = os.fsencode(outroot)
    report_b = os.fsencode(report if report is not None else default_report(outroot))
    s = _Scanner()
    for p in paths:
        s.scan_path(os.fsencode(p))
    natural = {report_b} | {_join(root, name) for _, name in s.found}
    used = {report_b}
    plan = Plan(errors=s.errors)
    for path, name in s.found:
        out, k = _join(root, name), 2
        while out in used:
            candidate = _join(root, name) + b"-%d" % k
            if candidate not in natural and candidate not in used:
                out = candidate
            k += 1
        used.add(out)
        plan.jobs.append(Job(os.fsdecode(path), os.fsdecode(out)))
    return plan


def failed_record(path: str, error: str, output: str = "", seconds: float = 0.0) -> dict:
    """A report record of something that failed."""
    return {"path": path, "status": "failed", "images": 0, "error": error, "seconds": round(seconds, 3),
            "output": output}


def _classify(job: Job, wait_status: int, answer: bytes, timed_out: bool, seconds: float) -> dict:
    """The record of a finished child. One that answered and exited normally is taken at its word
    even if its timeout passed as it finished."""
    rec = failed_record(job.path, "", job.output, seconds)
    head, newline, error = answer.partition(b"\n")
    if os.WIFEXITED(wait_status) and os.WEXITSTATUS(wait_status) == 0 and newline:
        if int(head) < 0:
            rec.update(error=error.decode("utf-8", "surrogateescape"))
        else:
            rec.update(status="ok", images=int(head))
    elif timed_out:
        rec.update(status="timeout", error="timeout")
    elif os.WIFSIGNALED(wait_status):
        rec.update(status="crashed", error=f"crashed: signal {os.WTERMSIG(wait_status)}")
    else:
        code = os.WEXITSTATUS(wait_status) if os.WIFEXITED(wait_status) else -1
        rec.update(status="crashed", error=f"crashed: exit status {code}")
    return rec


def _child(src: bytes, dst: bytes, wfd: int, parent: int) -> None:
    """In the forked child: extract, answer "<count>\\n<error text>", and leave at once."""
    code = 1
    try:
        if _prctl is not None:  # a hung child does not outlive the process that waits for it
            _prctl(_PR_SET_PDEATHSIG, signal.SIGKILL)
            if os.getppid() != parent:
                return
        n, error = _native.call_unlocked_all(src, dst)
        answer = b"%d\n" % n + error.encode("utf-8", "surrogateescape")
        while answer:
            answer = answer[os.write(wfd, answer):]
        code = 0
    finally:
        os._exit(code)


def _read_answer(rfd: int, pid: int, start: float, timeout: float) -> Tuple[bytes, bool]:
    poller = select.poll()
    poller.register(rfd, select.POLLIN)
    answer, timed_out = b"", False
    while True:
        wait = None
        if timeout > 0 and not timed_out:
            wait = max(0.0, start + timeout - time.monotonic()) * 1000
        if not poller.poll(wait):
            os.kill(pid, signal.SIGKILL)  # the pipe's end follows
            timed_out = True
            continue
        chunk = os.read(rfd, 4096)
        if not chunk:
            return answer, timed_out
        if len(answer) < _MAX_ANSWER:
            answer += chunk


def _run_forked(job: Job, timeout: float) -> dict:
    """run_job's work, in a child forked from this process."""
    _native.library_path()  # loaded in this process, before the fork
    src, dst = os.fsencode(job.path), os.fsencode(job.output)
    start = time.monotonic()
    rfd, wfd = os.pipe()
    parent = os.getpid()
    pid = os.fork()
    if pid == 0:
        os.close(rfd)
        _child(src, dst, wfd, parent)
    os.close(wfd)
    try:
        answer, timed_out = _read_answer(rfd, pid, start, timeout)
    finally:
        os.close(rfd)
    _, wait_status = os.waitpid(pid, 0)
    return _classify(job, wait_status, answer, timed_out, time.monotonic() - start)


def _serve() -> None:
    """The helper process: a request [path, output, timeout] per line on stdin, its record per line
    on stdout, in JSON (names that are not UTF-8 travel as \\udcXX escapes)."""
    _native.library_path()
    for line in sys.stdin.buffer:
        path, output, timeout = json.loads(line)
        sys.stdout.buffer.write(json.dumps(_run_forked(Job(path, output), timeout)).encode() + b"\n")
        sys.stdout.buffer.flush()


class _Helper:
    """A small Python process that forks the children for one thread of this process. Forking the
    caller itself costs what its memory maps cost: 10 to 20 ms a file in a Dask worker that holds
    numpy and the like, against about 2 ms from this helper."""

    def __init__(self) -> None:
        package_parent = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
        code = f"import sys; sys.path.insert(0, {package_parent!r}); " \
               "from quelvar_pdfextractimg.batch import _serve; _serve()"
        self.owner = os.getpid()
        self.proc = subprocess.Popen([sys.executable, "-c", code], stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    def alive(self) -> bool:
        return self.owner == os.getpid() and self.proc.poll() is None

    def run(self, job: Job, timeout: float) -> Optional[dict]:
        """The record, or None when the helper has gone (it is then ended)."""
        try:
            self.proc.stdin.write(json.dumps([job.path, job.output, timeout]).encode() + b"\n")
            self.proc.stdin.flush()
            line = self.proc.stdout.readline()
        except OSError:
            line = b""
        if line:
            return json.loads(line)
        self.proc.kill()
        self.proc.wait()
        return None


_helpers = threading.local()


def run_job(job: Job, timeout: float = DEFAULT_TIMEOUT) -> dict:
    """Extracts job.path into job.output in a child process and returns its report record:
    {"path", "status", "images", "error", "seconds", "output"}, status being "ok", "failed" (error:
    the library's text), "timeout" (the child was killed after timeout seconds; 0: no limit) or
    "crashed" (error "crashed: signal N"). A crash or a hang costs this file only. The children are
    forked by a helper process that each calling thread starts on first use and keeps."""
    helper = getattr(_helpers, "helper", None)
    if helper is None or not helper.alive():
        helper = _helpers.helper = _Helper()
    rec = helper.run(job, timeout)
    if rec is None:
        rec = dict(failed_record(job.path, "crashed: the helper process was lost", job.output), status="crashed")
    return rec


def record_line(rec: dict) -> bytes:
    """One line of the report, in UTF-8, the bytes the host writes for the same record. A byte of a
    name that is not UTF-8 (a lone surrogate from os.fsdecode) is written as its \\udcXX escape."""
    text = json.dumps(rec, separators=(",", ":"), ensure_ascii=False)
    text = _LONE_SURROGATE.sub(lambda m: "\\u%04x" % ord(m.group()), text)
    return text.encode("utf-8") + b"\n"


def done_paths(report: PathArg) -> Set[str]:
    """The paths whose last line in the report says ok (none if there is no report). Lines that do
    not parse, such as the end of a run killed mid-line, are passed over."""
    last: Dict[str, bool] = {}
    try:
        with open(report, "rb") as f:
            for line in f:
                try:
                    rec = json.loads(line)
                    last[rec["path"]] = rec["status"] == "ok"
                except (ValueError, KeyError, TypeError):
                    continue
    except FileNotFoundError:
        pass
    return {p for p, ok in last.items() if ok}


def open_report(report: PathArg) -> BinaryIO:
    """The report opened for appending lines. A run killed mid-line left it without its last
    newline; one is added first, or the next line would be joined to the broken one and lost."""
    f = open(report, "ab+")
    if f.tell() > 0:
        f.seek(-1, os.SEEK_END)
        if f.read(1) != b"\n":
            f.write(b"\n")
    return f  # "a" mode: every write goes to the end whatever the position
