// tools/batch.cpp - pdfextractimg batch: finding the PDFs, naming their output directories, running
// them in worker processes, the report and the progress line.
#include "batch.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "gallery.h"
#include "host_files.h"
#include "host_json.h"
#include "pdfextractimg.h"

static const double default_timeout_s = 120;
static const long max_jobs = 1024;
static const size_t max_result_bytes = 65536;  // a worker's answer: its count and the error text
static const double progress_interval_s = 0.2;

struct batch_opts {
    std::string outroot, report, from;
    std::vector<std::string> paths;
    long jobs;       // worker processes
    double timeout;  // seconds; 0: no limit
    bool resume;
    bool html;       // each output directory's index.html, and OUTROOT's
};

struct batch_job {
    std::string path, output;
};

// A directory that could not be read: a failed entry of the report.
struct scan_error {
    std::string path, message;
};

struct file_key {
    dev_t dev;
    ino_t ino;
    bool operator<(const file_key &o) const { return dev != o.dev ? dev < o.dev : ino < o.ino; }
};

struct scanner {
    std::vector<batch_job> jobs;
    std::vector<std::string> names;  // per job: its path relative to its argument, without .pdf
    std::vector<scan_error> errors;
    std::set<file_key> dirs, files;  // every directory read, every file taken
};

struct worker {
    pid_t pid;
    int fd;
    size_t job;
    double start;
    bool timed_out;
    std::string answer;
};

struct run_state {
    const batch_opts *opts;
    const std::vector<batch_job> *jobs;
    int report_fd;
    bool report_failed;
    bool tty;
    size_t total, done;  // this run's files: to do, finished
    size_t ok, failed;   // report lines written by status (failed: every status but ok)
    long long images;
    double t0, last_draw;
};

static double now_s() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static bool ends_with_pdf(const std::string &name) {
    size_t n = name.size();
    return n >= 4 && name[n - 4] == '.' && (name[n - 3] | 0x20) == 'p' && (name[n - 2] | 0x20) == 'd' &&
           (name[n - 1] | 0x20) == 'f';
}

// rel without a final .pdf (any case), unless that would leave its last component empty.
static std::string strip_pdf(const std::string &rel) {
    size_t slash = rel.rfind('/');
    size_t last_len = slash == std::string::npos ? rel.size() : rel.size() - slash - 1;
    return ends_with_pdf(rel) && last_len > 4 ? rel.substr(0, rel.size() - 4) : rel;
}

// --- Finding the files ---

static void add_file(scanner &s, const std::string &path, const std::string &rel, const struct stat *st) {
    if (st && !s.files.insert(file_key{st->st_dev, st->st_ino}).second) return;
    s.jobs.push_back(batch_job{path, std::string()});
    s.names.push_back(strip_pdf(rel));
}

// The names in dir (without . and ..), sorted bytewise. -1: why says what went wrong.
static int read_names(const std::string &dir, std::vector<std::string> &names, std::string &why) {
    names.clear();
    DIR *d = opendir(dir.c_str());
    if (!d) {
        why = strerror(errno);
        return -1;
    }
    for (;;) {
        errno = 0;
        struct dirent *e = readdir(d);
        if (!e) break;
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    }
    int err = errno;
    closedir(d);
    if (err != 0) {
        why = strerror(err);
        return -1;
    }
    std::sort(names.begin(), names.end());  // std::string compares bytes as unsigned char
    return 0;
}

// Depth-first through root on a stack of its own, so the tree's depth costs heap, not call stack.
static void scan_dir(scanner &s, const std::string &root) {
    struct frame {
        std::string dir, rel;
        std::vector<std::string> names;
        size_t next;
    };
    std::vector<frame> stack;
    auto open = [&](const std::string &dir, const std::string &rel) {
        frame f{dir, rel, {}, 0};
        std::string why;
        if (read_names(dir, f.names, why) != 0) {
            s.errors.push_back(scan_error{dir, "cannot read directory: " + why});
            return;
        }
        stack.push_back(std::move(f));
    };
    open(root, "");
    while (!stack.empty()) {
        frame &f = stack.back();
        if (f.next == f.names.size()) {
            stack.pop_back();
            continue;
        }
        const std::string &name = f.names[f.next++];
        std::string full = host_join(f.dir, name), rel = f.rel.empty() ? name : f.rel + "/" + name;
        struct stat st;
        bool ok = stat(full.c_str(), &st) == 0;
        if (ok && S_ISDIR(st.st_mode)) {
            if (s.dirs.insert(file_key{st.st_dev, st.st_ino}).second) open(full, rel);  // f may move
            continue;
        }
        // A dangling link named .pdf is kept: its worker reports why it cannot be opened.
        if (ends_with_pdf(name)) add_file(s, full, rel, ok ? &st : nullptr);
    }
}

static void scan_path(scanner &s, const std::string &path) {
    struct stat st;
    bool ok = stat(path.c_str(), &st) == 0;
    if (ok && S_ISDIR(st.st_mode)) {
        if (s.dirs.insert(file_key{st.st_dev, st.st_ino}).second) scan_dir(s, path);
        return;
    }
    // "", "." and ".." (a path that does not exist, say "missing/..") would put images outside
    // OUTROOT's subdirectories: host_last_component makes them "_".
    add_file(s, path, host_last_component(path), ok ? &st : nullptr);
}

// Gives every job its output directory: OUTROOT/name, or name-2, name-3, ... for the second and
// later jobs with one name, skipping every name some job has by itself, and the report's path.
static void name_outputs(scanner &s, const std::string &outroot, const std::string &report) {
    std::set<std::string> natural{report}, used{report};
    for (const std::string &n : s.names) natural.insert(host_join(outroot, n));
    for (size_t i = 0; i < s.jobs.size(); i++) {
        std::string out = host_join(outroot, s.names[i]);
        for (long k = 2; used.count(out); k++) {
            std::string c = host_join(outroot, s.names[i]) + "-" + std::to_string(k);
            if (!natural.count(c) && !used.count(c)) out = c;
        }
        used.insert(out);
        s.jobs[i].output = out;
    }
}

// --- The report ---

static std::string string_field(const std::vector<host_json_field> &fields, const char *key) {
    const host_json_field *f = host_json_find(fields, key);
    return f && f->is_string ? f->text : std::string();
}

static double number_field(const std::vector<host_json_field> &fields, const char *key) {
    const host_json_field *f = host_json_find(fields, key);
    return f && !f->is_string ? f->number : 0;
}

// One row per path of the report, where the path first stands, holding its last line. 0, or -1
// when the report exists but cannot be read. Lines that do not parse (the end of a run that was
// killed mid-line) and lines without a path or status are passed over.
static int read_report(const std::string &report, std::vector<gallery_row> &rows) {
    rows.clear();
    FILE *f = fopen(report.c_str(), "rb");
    if (!f) return errno == ENOENT ? 0 : -1;
    std::map<std::string, size_t> row_of;
    char *line = nullptr;
    size_t cap = 0;
    ssize_t n;
    std::vector<host_json_field> fields;
    while ((n = getline(&line, &cap, f)) >= 0) {
        std::string text(line, (size_t)n);
        size_t pos = 0;
        if (host_json_object(text, &pos, fields) != 0) continue;
        const host_json_field *path = host_json_find(fields, "path");
        const host_json_field *status = host_json_find(fields, "status");
        if (!path || !path->is_string || !status || !status->is_string) continue;
        auto at = row_of.emplace(path->text, rows.size());
        if (at.second) rows.emplace_back();
        rows[at.first->second] = gallery_row{path->text, status->text, string_field(fields, "error"),
                                             string_field(fields, "output"), (long)number_field(fields, "images"),
                                             number_field(fields, "seconds")};
    }
    bool bad = ferror(f) != 0;
    free(line);
    fclose(f);
    return bad ? -1 : 0;
}

// The paths whose last line in the report says ok. 0, or -1 when the report cannot be read.
static int read_done(const std::string &report, std::set<std::string> &done) {
    std::vector<gallery_row> rows;
    if (read_report(report, rows) != 0) return -1;
    for (const gallery_row &r : rows)
        if (r.status == "ok") done.insert(r.path);
    return 0;
}

// Opens the report for appending. A run killed in the middle of a line left it without its
// newline; one is added, or the first line of this run would be joined to the broken one and lost.
static int open_report(const std::string &report) {
    int fd = open(report.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) return -1;
    struct stat st;
    char last = '\n';
    if (fstat(fd, &st) != 0 || (st.st_size > 0 && pread(fd, &last, 1, st.st_size - 1) != 1) ||
        (last != '\n' && host_write_all(fd, "\n", 1) != 0)) {
        int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

static void clear_progress(run_state &r) {
    if (r.tty) fputs("\r\033[K", stderr);
}

// One report line, written whole with one write so that lines never interleave.
static void record(run_state &r, const std::string &path, const char *status, long images, const std::string &error,
                   double seconds, const std::string &output) {
    std::string line = "{\"path\":";
    host_json_string(line, path.data(), path.size());
    line += ",\"status\":\"";
    line += status;
    line += "\",\"images\":" + std::to_string(images) + ",\"error\":";
    host_json_string(line, error.data(), error.size());
    char secs[32];
    snprintf(secs, sizeof secs, "%.3f", seconds);
    line += ",\"seconds\":";
    line += secs;
    line += ",\"output\":";
    host_json_string(line, output.data(), output.size());
    line += "}\n";
    if (strcmp(status, "ok") == 0) {
        r.ok++;
    } else {
        r.failed++;
        clear_progress(r);
        fprintf(stderr, "pdfextractimg: %s: %s\n", path.c_str(), error.c_str());
    }
    if (!r.report_failed && host_write_all(r.report_fd, line.data(), line.size()) != 0) {
        r.report_failed = true;
        clear_progress(r);
        fprintf(stderr, "pdfextractimg: cannot write the report %s: %s; no further files are started\n",
                r.opts->report.c_str(), strerror(errno));
    }
}

// --- Progress ---

static std::string clock_text(double s) {
    if (!(s >= 0) || s > 359999) return "--:--";
    long t = (long)(s + 0.5);
    char buf[32];
    if (t >= 3600) snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", t / 3600, t / 60 % 60, t % 60);
    else snprintf(buf, sizeof buf, "%ld:%02ld", t / 60, t % 60);
    return buf;
}

// The progress line, redrawn in place at most every progress_interval_s, on a terminal only.
static void draw_progress(run_state &r, bool last) {
    if (!r.tty || r.total == 0) return;
    double now = now_s();
    if (!last && now - r.last_draw < progress_interval_s) return;
    r.last_draw = now;
    double elapsed = now - r.t0;
    double rate = elapsed > 0 ? (double)r.done / elapsed : 0;
    double left = rate > 0 ? (double)(r.total - r.done) / rate : -1;
    fprintf(stderr, "\r%zu/%zu files, %lld images, %zu failed, %.1f files/s, %s left\033[K%s", r.done, r.total,
            r.images, r.failed, rate, clock_text(left).c_str(), last ? "\n" : "");
    fflush(stderr);
}

// --- Workers ---

// In the forked child: extract (and with --html write the output directory's index.html), answer
// "<count>\n<error text>" through fd, and leave without running exit handlers or flushing the
// parent's stdio buffers.
[[noreturn]] static void run_child(const batch_job &job, bool html, int fd, pid_t parent) {
#ifdef __linux__
    // A worker outlives neither a killed parent nor its own timeout.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);
#else
    (void)parent;
#endif
    int n = pdfextractimg_all(job.path.c_str(), job.output.c_str());
    std::string why = n < 0 ? pdfextractimg_last_error() : "";
    std::vector<gallery_image> images;
    if (n >= 0 && html &&
        (gallery_images_of_all(job.path.c_str(), job.output, n, images, why) != 0 ||
         gallery_write_images(job.output, job.path, 0, images, why) != 0))
        n = -1;
    std::string answer = std::to_string(n) + "\n";
    if (n < 0) answer += why;
    _exit(host_write_all(fd, answer.data(), answer.size()) == 0 ? 0 : 1);
}

// 0, or an errno value when no worker could be started.
static int start_worker(run_state &r, size_t job, worker &w) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return errno;
    fflush(nullptr);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        int err = errno;
        close(fds[0]);
        close(fds[1]);
        return err;
    }
    if (pid == 0) {
        close(fds[0]);
        run_child((*r.jobs)[job], r.opts->html, fds[1], parent);
    }
    close(fds[1]);
    w = worker{pid, fds[0], job, now_s(), false, std::string()};
    return 0;
}

// Reads what the worker has sent. false at the end of its answer (it has closed the pipe).
static bool drain(worker &w) {
    char buf[4096];
    ssize_t n = read(w.fd, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    if (n <= 0) return false;
    if (w.answer.size() < max_result_bytes) w.answer.append(buf, (size_t)n);
    return true;
}

// Reaps the worker and records its file. A worker that answered and exited normally is taken at its
// word even if its timeout passed as it finished.
static void finish(run_state &r, worker &w) {
    close(w.fd);
    int st = 0;
    pid_t got;
    while ((got = waitpid(w.pid, &st, 0)) < 0 && errno == EINTR) {}
    int wait_errno = errno;
    double seconds = now_s() - w.start;
    const batch_job &job = (*r.jobs)[w.job];
    std::string error;
    const char *status = "ok";
    long images = 0;
    size_t nl = w.answer.find('\n');
    if (got >= 0 && WIFEXITED(st) && WEXITSTATUS(st) == 0 && nl != std::string::npos) {
        images = strtol(w.answer.c_str(), nullptr, 10);
        if (images < 0) {
            status = "failed";
            error = w.answer.substr(nl + 1);
            images = 0;
        }
    } else if (w.timed_out) {
        status = "timeout";
        error = "timeout";
    } else if (got < 0) {
        status = "crashed";
        error = std::string("crashed: worker lost: ") + strerror(wait_errno);
    } else if (WIFSIGNALED(st)) {
        status = "crashed";
        error = "crashed: signal " + std::to_string(WTERMSIG(st));
    } else {
        status = "crashed";
        error = "crashed: exit status " + std::to_string(WIFEXITED(st) ? WEXITSTATUS(st) : -1);
    }
    r.done++;
    r.images += images;
    record(r, job.path, status, images, error, seconds, job.output);
}

// How long poll may wait: until the first deadline, the next progress line, or for ever.
static int wait_ms(const run_state &r, const std::vector<worker> &ws) {
    double wait = r.tty ? progress_interval_s : -1;
    if (r.opts->timeout > 0) {
        double now = now_s();
        for (const worker &w : ws) {
            if (w.timed_out) continue;
            double d = std::max(0.0, w.start + r.opts->timeout - now);
            if (wait < 0 || d < wait) wait = d;
        }
    }
    if (wait < 0) return -1;
    return (int)std::min(wait * 1000.0 + 1.0, (double)(INT_MAX / 2));
}

// Runs the jobs in todo on up to opts->jobs workers, recording each as it finishes.
static void run_jobs(run_state &r, const std::vector<size_t> &todo) {
    std::vector<worker> ws;
    size_t next = 0;
    while ((next < todo.size() && !r.report_failed) || !ws.empty()) {
        while (!r.report_failed && next < todo.size() && ws.size() < (size_t)r.opts->jobs) {
            worker w;
            int err = start_worker(r, todo[next], w);
            if (err == 0) {
                ws.push_back(w);
                next++;
                continue;
            }
            if (!ws.empty()) break;  // tried again when a worker has finished
            const batch_job &job = (*r.jobs)[todo[next++]];
            r.done++;
            record(r, job.path, "failed", 0, std::string("cannot start a worker: ") + strerror(err), 0, job.output);
        }
        if (ws.empty()) continue;
        std::vector<struct pollfd> pfds(ws.size());
        for (size_t i = 0; i < ws.size(); i++) pfds[i] = pollfd{ws[i].fd, POLLIN, 0};
        int rc = poll(pfds.data(), (nfds_t)pfds.size(), wait_ms(r, ws));
        double now = now_s();
        for (size_t i = ws.size(); i-- > 0;) {  // backwards: erasing i leaves the lower indices alone
            worker &w = ws[i];
            if (rc > 0 && pfds[i].revents != 0 && !drain(w)) {
                finish(r, w);
                ws.erase(ws.begin() + (long)i);
                continue;
            }
            if (!w.timed_out && r.opts->timeout > 0 && now - w.start >= r.opts->timeout) {
                kill(w.pid, SIGKILL);  // its pipe then reports the end, and finish records the timeout
                w.timed_out = true;
            }
        }
        draw_progress(r, false);
    }
    draw_progress(r, true);
}

// --- The command line ---

// Matches argv[*i] against an option with a value: "NAME VALUE", "NAME=VALUE", or, for a
// one-letter option, "-jVALUE". 1: matched, *value set, *i at the value; 0: another argument;
// -1: the value is missing.
static int option_value(int argc, char **argv, int *i, const char *name, const char **value) {
    const char *a = argv[*i];
    size_t n = strlen(name);
    if (strncmp(a, name, n) != 0) return 0;
    if (a[n] == '=' && name[1] == '-') {
        *value = a + n + 1;
        return 1;
    }
    if (a[n] != '\0') {
        if (name[1] == '-') return 0;
        *value = a + n;
        return 1;
    }
    if (*i + 1 >= argc) return -1;
    *value = argv[++*i];
    return 1;
}

// 0, or -1 with *why set.
static int parse_args(int argc, char **argv, batch_opts &o, const char **why) {
    std::vector<std::string> positional;
    bool options_end = false;
    for (int i = 0; i < argc; i++) {
        const char *a = argv[i], *v = nullptr;
        if (options_end || a[0] != '-' || a[1] == '\0') {
            positional.push_back(a);
            continue;
        }
        int m;
        char *end = nullptr;
        if (strcmp(a, "--") == 0) {
            options_end = true;
        } else if (strcmp(a, "--resume") == 0) {
            o.resume = true;
        } else if (strcmp(a, "--html") == 0) {
            o.html = true;
        } else if ((m = option_value(argc, argv, &i, "-j", &v)) != 0) {
            errno = 0;
            o.jobs = m < 0 ? 0 : strtol(v, &end, 10);
            if (m < 0 || errno != 0 || *end != '\0' || o.jobs < 1 || o.jobs > max_jobs)
                return *why = "-j takes a number of workers from 1 to 1024", -1;
        } else if ((m = option_value(argc, argv, &i, "--timeout", &v)) != 0) {
            o.timeout = m < 0 ? -1 : strtod(v, &end);
            if (m < 0 || *end != '\0' || !std::isfinite(o.timeout) || o.timeout < 0 || o.timeout > 1e7)
                return *why = "--timeout takes seconds (0: no limit)", -1;
        } else if ((m = option_value(argc, argv, &i, "--report", &v)) != 0) {
            if (m < 0 || !*v) return *why = "--report takes a file name", -1;
            o.report = v;
        } else if ((m = option_value(argc, argv, &i, "--from", &v)) != 0) {
            if (m < 0 || !*v) return *why = "--from takes a file name or -", -1;
            o.from = v;
        } else {
            return *why = "unknown batch option", -1;
        }
    }
    if (positional.empty() || positional[0].empty()) return *why = "'batch' takes OUTROOT PATH...", -1;
    o.outroot = positional[0];
    o.paths.assign(positional.begin() + 1, positional.end());
    if (o.paths.empty() && o.from.empty()) return *why = "'batch' takes OUTROOT PATH... or --from LIST", -1;
    if (o.report.empty()) o.report = host_join(o.outroot, "report.jsonl");
    return 0;
}

// Appends the non-empty lines of the list (a file, or standard input for "-") to paths.
static int read_list(const std::string &from, std::vector<std::string> &paths) {
    FILE *f = from == "-" ? stdin : fopen(from.c_str(), "rb");
    if (!f) return -1;
    char *line = nullptr;
    size_t cap = 0;
    ssize_t n;
    while ((n = getline(&line, &cap, f)) >= 0) {
        if (n > 0 && line[n - 1] == '\n') n--;
        if (n > 0) paths.push_back(std::string(line, (size_t)n));
    }
    bool bad = ferror(f) != 0;
    free(line);
    if (f != stdin) fclose(f);
    return bad ? -1 : 0;
}

// OUTROOT's pages from the whole report, earlier runs' lines included. 0, or -1 (said on stderr).
static int write_gallery(const batch_opts &o) {
    std::vector<gallery_row> rows;
    std::string why;
    if (read_report(o.report, rows) != 0) why = "cannot read the report " + o.report + ": " + strerror(errno);
    else if (gallery_write_batch(o.outroot, rows, why) == 0) return 0;
    fprintf(stderr, "pdfextractimg: %s\n", why.c_str());
    return -1;
}

int batch_main(int argc, char **argv, int (*usage_error)(const char *why)) {
    batch_opts o{};
    o.timeout = default_timeout_s;
    long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    o.jobs = cpus > 0 ? std::min(cpus, max_jobs) : 1;
    const char *why = nullptr;
    if (parse_args(argc, argv, o, &why) != 0) return usage_error(why);
    if (!o.from.empty() && read_list(o.from, o.paths) != 0) {
        fprintf(stderr, "pdfextractimg: cannot read the list %s: %s\n", o.from.c_str(), strerror(errno));
        return 2;
    }
    // A parent that ignores SIGCHLD would make the workers' exit status vanish.
    signal(SIGCHLD, SIG_DFL);

    scanner s;
    for (const std::string &p : o.paths) scan_path(s, p);
    name_outputs(s, o.outroot, o.report);

    std::set<std::string> done;
    if (o.resume && read_done(o.report, done) != 0) {
        fprintf(stderr, "pdfextractimg: cannot read the report %s: %s\n", o.report.c_str(), strerror(errno));
        return 1;
    }
    if (host_mkdir_p(o.outroot) != 0) {
        fprintf(stderr, "pdfextractimg: cannot create %s: %s\n", o.outroot.c_str(), strerror(errno));
        return 1;
    }
    int fd = open_report(o.report);
    if (fd < 0) {
        fprintf(stderr, "pdfextractimg: cannot open the report %s: %s\n", o.report.c_str(), strerror(errno));
        return 1;
    }

    std::vector<size_t> todo;
    for (size_t i = 0; i < s.jobs.size(); i++)
        if (!done.count(s.jobs[i].path)) todo.push_back(i);
    run_state r{&o, &s.jobs, fd, false, isatty(STDERR_FILENO) == 1, todo.size(), 0, 0, 0, 0, now_s(), 0};
    for (const scan_error &e : s.errors) record(r, e.path, "failed", 0, e.message, 0, "");
    run_jobs(r, todo);
    if (close(fd) != 0 && !r.report_failed) {
        fprintf(stderr, "pdfextractimg: cannot write the report %s: %s\n", o.report.c_str(), strerror(errno));
        r.report_failed = true;
    }
    bool gallery_failed = o.html && write_gallery(o) != 0;
    size_t skipped = s.jobs.size() - todo.size();
    printf("%zu file%s: %zu extracted, %zu failed", s.jobs.size(), s.jobs.size() == 1 ? "" : "s", r.ok, r.failed);
    if (skipped) printf(", %zu skipped (done before)", skipped);
    printf("; %lld image%s; report: %s\n", r.images, r.images == 1 ? "" : "s", o.report.c_str());
    if (o.html && !gallery_failed) printf("gallery: %s\n", host_join(o.outroot, "index.html").c_str());
    return r.failed > 0 || r.report_failed || gallery_failed ? 1 : 0;
}
