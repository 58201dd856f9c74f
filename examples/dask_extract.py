#!/usr/bin/env python3
"""The images of many PDFs on a Dask cluster: what `pdfextractimg batch` does on one machine.

    python3 examples/dask_extract.py --workers 4 OUTROOT PATH...            # a local cluster
    python3 examples/dask_extract.py --scheduler tcp://HOST:8786 OUTROOT PATH...

The PDFs are found as the host finds them (a directory recursively, *.pdf in any case), a bag of
jobs is mapped over the cluster's worker processes, each job extracting one PDF in a child process
of its worker (a crash or a hang costs that file only), and the records come back to this process,
which appends them to the same JSON Lines report as the host's (default OUTROOT/report.jsonl), as
partitions finish. --resume skips the files the report holds as done. Failures are also printed on
stderr. On a cluster of several machines, every worker must reach the PDFs and OUTROOT under the
same paths (a shared file system) and have the package installed:

    dask-scheduler                                               # on one machine
    dask-worker tcp://SCHEDULER:8786 --nworkers 8 --nthreads 1   # on each worker machine
    python3 examples/dask_extract.py --scheduler tcp://SCHEDULER:8786 /shared/out /shared/pdfs

Exit status: 0 every file done, 1 some failed.
"""
import argparse
import os
import sys
import time

import dask.bag as db
from dask.distributed import Client, LocalCluster, as_completed

from quelvar_pdfextractimg.batch import (DEFAULT_TIMEOUT, default_report, done_paths, failed_record,
                                         find_jobs, open_report, record_line, run_job)


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("outroot")
    p.add_argument("paths", nargs="+", metavar="PATH")
    where = p.add_mutually_exclusive_group()
    where.add_argument("--scheduler", help="address of a running dask scheduler")
    where.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                       help="worker processes of a local cluster (default: the number of processors)")
    p.add_argument("--timeout", type=float, default=DEFAULT_TIMEOUT, help="seconds per file (0: no limit)")
    p.add_argument("--report", help="the JSON Lines report (default OUTROOT/report.jsonl)")
    p.add_argument("--resume", action="store_true", help="skip the files the report holds as done")
    p.add_argument("--partition-size", type=int, default=8, help="files per task (default 8)")
    return p.parse_args(argv)


def connect(args):
    if args.scheduler:
        return Client(args.scheduler)
    # One thread per worker: the library runs threads of its own inside each call.
    cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True, dashboard_address=None)
    return Client(cluster)


def main(argv=None):
    args = parse_args(argv)
    report = args.report or default_report(args.outroot)
    plan = find_jobs(args.outroot, args.paths, report)
    done = done_paths(report) if args.resume else set()
    todo = [job for job in plan.jobs if job.path not in done]
    ok = failed = images = 0
    start = time.monotonic()
    os.makedirs(args.outroot, exist_ok=True)
    with open_report(report) as out:
        def write(rec):
            nonlocal ok, failed, images
            out.write(record_line(rec))
            ok += rec["status"] == "ok"
            failed += rec["status"] != "ok"
            if rec["status"] != "ok":
                print(f"{rec['path']}: {rec['error']}", file=sys.stderr)
            images += rec["images"]

        for rec in plan.errors:
            write(rec)
        out.flush()
        if todo:
            with connect(args) as client:
                size = max(1, args.partition_size)
                bag = db.from_sequence(todo, partition_size=size).map(run_job, timeout=args.timeout)
                chunks = [todo[i:i + size] for i in range(0, len(todo), size)]  # the bag's partitions
                futures = client.compute(bag.to_delayed())
                jobs_of = dict(zip(futures, chunks))
                for future in as_completed(futures):
                    try:
                        records = future.result()
                    except Exception as e:  # the worker itself died, e.g. killed for its memory
                        records = [dict(failed_record(job.path, f"crashed: {type(e).__name__}", job.output),
                                        status="crashed") for job in jobs_of[future]]
                    for rec in records:
                        write(rec)
                    out.flush()
    print(f"{len(plan.jobs)} files: {ok} extracted, {failed} failed, "
          f"{len(plan.jobs) - len(todo)} skipped (done before); {images} images; report: {report}; "
          f"{time.monotonic() - start:.1f} s")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
