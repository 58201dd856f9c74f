// tools/batch.h - the host's batch runner: the PDFs named or found under the given paths, each
// extracted in a worker process of its own, results appended to a JSON Lines report.
//
// Which files, and where their images go:
// - A path that is a directory is searched recursively, in byte order of the names, each
//   subdirectory where it sorts; only files whose names end in .pdf (any case) are taken. Symbolic
//   links are followed, and every directory (by device and inode) is read once, so a link back up
//   the tree ends there. A directory that cannot be read is a failed entry of the report.
// - Any other path is taken as a PDF whatever its name (a missing one fails in its worker with the
//   library's text). A file reached twice (same device and inode) is done once, the first time.
// - Images of a file go to OUTROOT/<its path relative to the directory argument, or its name for a
//   file argument, without a final .pdf of any case>/. When several files map to one directory, or
//   one maps to the report, the first keeps the name and the others get -2, -3, ... (a number no
//   other file's name already takes); the report line names the directory used.
//
// Workers: each file is extracted by a forked child that calls pdfextractimg_all and hands its
// result back through a pipe; the parent never calls the library, so it stays one thread and fork
// is safe. A child that outlives the timeout is killed ("timeout"); one that dies otherwise is
// "crashed: signal N" (or "crashed: exit status N"). The run goes on either way.
//
// The report: one line per file, written with one write(2) as the file finishes:
//   {"path":"...","status":"ok","images":5,"error":"","seconds":0.012,"output":"OUTROOT/x"}
// status is ok, failed (error: the library's text), timeout or crashed. With --resume, the files
// whose last line in the report says ok are skipped; all others are done again.
//
// With --html each worker also writes its output directory's index.html (gallery.h; a page that
// cannot be written fails the file), and at the end OUTROOT's pages are written from the whole
// report: one row per path, where it first stands, holding its last line.
#ifndef QV_TOOLS_BATCH_H
#define QV_TOOLS_BATCH_H

// Runs "pdfextractimg batch" with the arguments that follow the word batch. Returns the exit code:
// 0 every file done, 1 some failed (or the report could not be written), or whatever usage_error
// returns for a bad command line (it is given the reason).
int batch_main(int argc, char **argv, int (*usage_error)(const char *why));

#endif
