// pdfextractimg/output.cpp - the output of a call: the directory, the image files and their names
// (each written under a temporary name and renamed into place), the writer threads that encode and
// write PNG files while the walk converts the next images, the removal of a failed call's files,
// the JSON listing and the count.
#include "pdfextractimg/output.h"

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>
#ifdef _WIN32
#include <direct.h>
#endif
#if defined(__linux__)
#include <sys/sendfile.h>
#endif

#include "png/png.h"

#if defined(__unix__) || defined(__APPLE__)
#define QV_WRITER_THREADS 1
#include <pthread.h>
#else
#define QV_WRITER_THREADS 0
#endif

// ---- the directory ------------------------------------------------------------------------------

static inline bool is_sep(char c) { return c == '/' || c == '\\'; }

// A malloc'd copy of path (NULL when it cannot be allocated). Backslashes separate directories on
// every platform; where the system knows only "/", they become "/", so that "out\\sub" names the
// same directory for mkdir and for the image files.
static char *dir_copy(const char *path) {
    size_t n = strlen(path);
    char *p = (char *)malloc(n + 1);
    if (!p) return nullptr;
    memcpy(p, path, n + 1);
#ifndef _WIN32
    for (size_t i = 0; i < n; i++)
        if (p[i] == '\\') p[i] = '/';
#endif
    return p;
}

// One level of directory; 0 when created.
static int make_dir(const char *path) {
#ifdef _WIN32
    return _mkdir(path);
#else
    return mkdir(path, 0777);
#endif
}

static bool is_dir(const char *path) {
#ifdef _WIN32
    struct _stat64i32 st;
    return _stat64i32(path, &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFDIR;
#else
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
#endif
}

int qv_mkdir_p(const char *path) {
    if (!path || !*path) return -1;
    char *p = dir_copy(path);
    if (!p) return -1;
    size_t n = strlen(p);
    // One trailing separator goes, unless it is the whole path ("/").
    if (n > 1 && is_sep(p[n - 1])) p[--n] = '\0';
    // The first character is never a split point, so "/a" does not ask for the empty name.
    for (size_t i = 1; i < n; i++) {
        if (!is_sep(p[i])) continue;
        char c = p[i];
        p[i] = '\0';
        (void)make_dir(p);  // only the final state of the whole path counts
        p[i] = c;
    }
    (void)make_dir(p);
    int rc = is_dir(p) ? 0 : -1;
    free(p);
    return rc;
}

// ---- files ------------------------------------------------------------------------------------

// The two forms of strerror_r: the XSI one gives 0 and fills buf, the GNU one gives the text.
[[maybe_unused]] static const char *error_text_of(int rc, const char *buf) { return rc == 0 ? buf : "unknown error"; }
[[maybe_unused]] static const char *error_text_of(const char *text, const char *) { return text ? text : "unknown error"; }

const char *qv_error_text(int err, char *buf, size_t cap) {
    if (!buf || cap == 0) return "unknown error";
    buf[0] = '\0';
    return error_text_of(strerror_r(err, buf, cap), buf);
}

// A 64-bit mix (splitmix64's finaliser): neighbouring seeds give unrelated names.
static uint64_t mix64(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

void qv_temp_name(char *out, const char *name, uint64_t seed) {
    snprintf(out, (size_t)image_leaf_size, ".%s.%016" PRIx64, name, mix64(seed));
}

// Tries a temporary name this many times when one exists already.
static const int max_temp_names = 64;

// Writes every byte of data[0, n) to fd. 0, or the system's error number.
static int write_all(int fd, const uint8_t *data, uint64_t n) {
    while (n > 0) {
        size_t part = n > ((uint64_t)1 << 30) ? (size_t)1 << 30 : (size_t)n;
        ssize_t done = write(fd, data, part);
        if (done < 0 && errno == EINTR) continue;
        if (done < 0) return errno;
        if (done == 0) return EIO;
        data += done;
        n -= (uint64_t)done;
    }
    return 0;
}

// What fills a file being written: fill(fd, ctx) gives 0, the system's error number, or
// copy_short when its source came back short.
struct file_fill {
    int (*fill)(int fd, const void *ctx);
    const void *ctx;
};

// The file name in the directory open at dir_fd, filled under a temporary name and renamed (see
// qv_write_file_at). 0, or what the fill or the system gave.
static int write_file_with(int dir_fd, const char *name, uint64_t seed, const file_fill &f) {
    char tmp[image_leaf_size];
    int fd = -1;
    for (int attempt = 0; attempt < max_temp_names && fd < 0; attempt++) {
        qv_temp_name(tmp, name, seed + (uint64_t)attempt);
        fd = openat(dir_fd, tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) return errno;
    }
    if (fd < 0) return EEXIST;
    int err = f.fill(fd, f.ctx);
    if (close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && renameat(dir_fd, tmp, dir_fd, name) != 0) err = errno;
    if (err != 0) unlinkat(dir_fd, tmp, 0);
    return err;
}

struct memory_bytes {
    const uint8_t *data;
    uint64_t n;
};

static int fill_from_memory(int fd, const void *ctx) {
    const memory_bytes *m = (const memory_bytes *)ctx;
    return write_all(fd, m->data, m->n);
}

int qv_write_file_at(int dir_fd, const char *name, const uint8_t *data, uint64_t n, uint64_t seed) {
    memory_bytes m = {data, n};
    return write_file_with(dir_fd, name, seed, file_fill{fill_from_memory, &m});
}

// Bytes of a file's copy read and written at a time where the kernel copies no range.
static const uint64_t copy_chunk = (uint64_t)1 << 20;

// Copies what copy_file_range cannot from src's descriptor: pread and write, copy_chunk at a time.
static int copy_by_reads(int fd, const file_source *src, int64_t off, uint64_t n) {
    uint8_t *b = (uint8_t *)malloc((size_t)(n < copy_chunk ? n : copy_chunk));
    if (!b) return ENOMEM;
    int err = 0;
    while (n > 0 && err == 0) {
        int64_t part = (int64_t)(n < copy_chunk ? n : copy_chunk);
        if (src_read(src, off, b, part) != part) err = copy_short;
        else err = write_all(fd, b, (uint64_t)part);
        off += part;
        n -= (uint64_t)part;
    }
    free(b);
    return err;
}

int qv_copy_source(int fd, const file_source *src, int64_t off, uint64_t n) {
    if (off < 0 || n > (uint64_t)(src->size - off)) return copy_short;
    if (src->fd < 0) {  // bytes in memory
        if (off > src->held || n > (uint64_t)(src->held - off)) return copy_short;
        return write_all(fd, src->bytes + off, n);
    }
#if defined(__linux__)
    off_t from = (off_t)off;  // as the file source's preads
    bool use_sendfile = false;
    while (n > 0) {
        size_t part = n > ((uint64_t)1 << 30) ? (size_t)1 << 30 : (size_t)n;
        ssize_t done = use_sendfile ? sendfile(fd, src->fd, &from, part)
                                    : copy_file_range(src->fd, &from, fd, nullptr, part, 0);
        if (done < 0 && errno == EINTR) continue;
        if (done < 0 && !use_sendfile) {  // not between these file systems: the kernel still copies
            use_sendfile = true;
            continue;
        }
        if (done < 0) break;  // neither offered here (an old kernel, a pipe): by reads
        if (done == 0) break;  // the file ended early, or a file system copies nothing: the reads tell
        n -= (uint64_t)done;
    }
    off = from;
#endif
    return n > 0 ? copy_by_reads(fd, src, off, n) : 0;
}

struct source_bytes {
    const file_source *src;
    int64_t off;
    uint64_t n;
};

static int fill_from_source(int fd, const void *ctx) {
    const source_bytes *b = (const source_bytes *)ctx;
    return qv_copy_source(fd, b->src, b->off, b->n);
}

// The name of file number (1-based).
static void file_name(char *leaf, int32_t number, bool jpeg) {
    snprintf(leaf, (size_t)image_leaf_size, "image_%03d.%s", (int)number, jpeg ? "jpg" : "png");
}

static bool is_jpeg(const extracted_image *rec) { return strcmp(rec->format, "jpeg") == 0; }

// Marks the call failed with the message (the first one stands). With writer threads, the caller
// holds the writer's lock.
__attribute__((format(printf, 2, 3))) static void files_fail(image_files *out, const char *fmt, ...) {
    if (out->failed) return;
    out->failed = 1;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(out->error, sizeof out->error, fmt, ap);
    va_end(ap);
}

// The outcome of one writer job: writing one record's file, or encoding one listed PNG.
struct file_result {
    int placed;                // 1: the file is in place (listing: the PNG was encoded)
    int err;                   // else the system's error number, or 0 when the PNG could not be encoded
    char leaf[image_leaf_size];  // the file's name (listing: empty)
    uint64_t size;             // listing: bytes of the encoded PNG
};

// Encodes the pixels of a record that carries them as its PNG file (data and size). 0, or -1 when
// the PNG could not be encoded (pixels released either way).
static int encode_record(extracted_image *rec, int32_t threads) {
    if (!rec->pixels) return 0;
    uint64_t len = 0;
    uint8_t *file = qv_png_encode_with(rec->width, rec->height, rec->pixels, rec->pixels_gray, threads, &len);
    free(rec->pixels);
    rec->pixels = nullptr;
    if (!file) return -1;
    free(rec->data);
    rec->data = file;
    rec->src = nullptr;
    rec->size = rec->data_len = len;
    return 0;
}

// Encodes a record that carries pixels, then writes it as file number into out's directory. Reads
// only what does not change while the writer threads run (dir_fd, seed).
static file_result write_record(const image_files *out, int32_t number, extracted_image *rec) {
    file_result r;
    memset(&r, 0, sizeof r);
    file_name(r.leaf, number, is_jpeg(rec));
    if (encode_record(rec, out->threads) != 0) return r;
    uint64_t seed = out->seed + ((uint64_t)number << 8);
    if (!rec->data && rec->src) {  // JPEG data copied from the document's file
        source_bytes b = {rec->src, rec->src_off, rec->size};
        r.err = write_file_with(out->dir_fd, r.leaf, seed, file_fill{fill_from_source, &b});
    } else {
        r.err = qv_write_file_at(out->dir_fd, r.leaf, rec->data, rec->data_len, seed);
    }
    r.placed = r.err == 0;
    return r;
}

// Records the outcome of file number in out. With writer threads, the caller holds the lock.
static void files_note(image_files *out, int32_t number, const file_result &r) {
    if (r.placed) {
        out->flags[number - 1] = (uint8_t)(out->flags[number - 1] | file_in_place);
        out->written++;
        return;
    }
    if (r.err == 0) {
        files_fail(out, "out of memory");
        return;
    }
    if (r.err == copy_short) {  // the PDF changed under the reader
        files_fail(out, "read error on %s", out->source_name ? out->source_name : "the PDF");
        return;
    }
    char reason[256];
    files_fail(out, "cannot write %s/%s: %s", out->dir, r.leaf, qv_error_text(r.err, reason, sizeof reason));
}

int32_t qv_processor_count() {
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online < 1 ? 1 : online > 1024 ? 1024 : (int32_t)online;
}

// ---- the writer threads -------------------------------------------------------------------------

// What writer threads do with each record handed to them: work, outside the lock, then done with
// its outcome, under the lock; while *failed (read under the lock) is 1, jobs are dropped undone.
struct writer_task {
    file_result (*work)(void *ctx, int32_t number, extracted_image *rec);
    void (*done)(void *ctx, int32_t number, const file_result &r);
    const int32_t *failed;
    void *ctx;
};

#if QV_WRITER_THREADS

static const int32_t max_writer_threads = 4;

struct writer_thread {
    img_writer *writer;
    pthread_t id;
};

// The queue between the walk and the threads: the walk runs ahead by up to writer_queue images,
// or fewer while the images queued or being written hold writer_queue_bytes (a larger image is
// let in when nothing else is held), so that small images do not wait on a thread's wake-up and
// large ones do not pile up in memory (a large image is encoded by the encoder's own threads).
static const int32_t writer_queue = 16;
static const uint64_t writer_queue_bytes = (uint64_t)16 << 20;
// A job holding this much or more is taken by the first thread only. Large images go one at a
// time anyway (the queue's bytes), and one thread allocating their buffers keeps the allocator
// from holding a set of them for each thread (glibc keeps memory per thread's arena).
static const uint64_t writer_large_job = (uint64_t)1 << 20;

struct writer_job {
    extracted_image rec;
    int32_t number;
    uint64_t bytes;  // pixels or data held
};

// The lock guards the queue and, while the threads run, what the task's done function and failed
// flag touch (the files' count, flags, written, failed and error; the listing's entries).
struct img_writer {
    writer_thread threads[max_writer_threads];
    int32_t thread_count;
    writer_task task;
    pthread_mutex_t lock;
    pthread_cond_t has_job;   // a job was queued, or stop was set
    pthread_cond_t has_room;  // a job was taken from the queue, or one was done
    writer_job queue[writer_queue];
    int32_t first;          // the oldest queued job
    int32_t queued;
    int32_t working;        // jobs taken and not yet done
    uint64_t held_bytes;    // of the jobs queued or taken and not yet done
    int32_t stop;           // 1: no more jobs will come
};

static void *writer_main(void *arg) {
    writer_thread *self = (writer_thread *)arg;
    img_writer *w = self->writer;
    pthread_mutex_lock(&w->lock);
    const bool first_thread = self == &w->threads[0];
    for (;;) {
        // Waits for a job this thread may take, or for the end: stopped with nothing left.
        while (!(w->queued > 0 && (first_thread || w->queue[w->first].bytes < writer_large_job)) &&
               !(w->stop && w->queued == 0))
            pthread_cond_wait(&w->has_job, &w->lock);
        if (w->queued == 0) break;
        writer_job job = w->queue[w->first];
        w->first = (w->first + 1) % writer_queue;
        w->queued--;
        w->working++;
        int32_t dropped = *w->task.failed;  // the call fails: later jobs are not done
        pthread_cond_signal(&w->has_room);
        pthread_cond_broadcast(&w->has_job);  // the next job's taker, or the end, may be waited for
        pthread_mutex_unlock(&w->lock);
        file_result r;
        if (!dropped) r = w->task.work(w->task.ctx, job.number, &job.rec);
        extracted_image_release(&job.rec);
        pthread_mutex_lock(&w->lock);
        if (!dropped) w->task.done(w->task.ctx, job.number, r);
        w->working--;
        w->held_bytes -= job.bytes;
        pthread_cond_signal(&w->has_room);
    }
    pthread_mutex_unlock(&w->lock);
    return nullptr;
}

// Starts writer threads for task: the writer, or null when they cannot run (none could be started).
static img_writer *writer_start(const writer_task &task, int32_t processors) {
    // As many threads as processors: the PNG encoding, not the walk, takes most of the time.
    int32_t want = processors < 1 ? 1 : processors > max_writer_threads ? max_writer_threads : processors;
    img_writer *w = (img_writer *)calloc(1, sizeof(img_writer));
    if (!w) return nullptr;
    w->task = task;
    if (pthread_mutex_init(&w->lock, nullptr) != 0) {
        free(w);
        return nullptr;
    }
    if (pthread_cond_init(&w->has_job, nullptr) != 0) {
        pthread_mutex_destroy(&w->lock);
        free(w);
        return nullptr;
    }
    if (pthread_cond_init(&w->has_room, nullptr) != 0) {
        pthread_cond_destroy(&w->has_job);
        pthread_mutex_destroy(&w->lock);
        free(w);
        return nullptr;
    }
    pthread_attr_t attr;
    int have_attr = pthread_attr_init(&attr) == 0;
    if (have_attr) pthread_attr_setstacksize(&attr, (size_t)2 << 20);
    while (w->thread_count < want) {
        writer_thread *th = &w->threads[w->thread_count];
        th->writer = w;
        if (pthread_create(&th->id, have_attr ? &attr : nullptr, writer_main, th) != 0) break;
        w->thread_count++;
    }
    if (have_attr) pthread_attr_destroy(&attr);
    if (w->thread_count == 0) {
        pthread_cond_destroy(&w->has_room);
        pthread_cond_destroy(&w->has_job);
        pthread_mutex_destroy(&w->lock);
        free(w);
        return nullptr;
    }
    return w;
}

// The lock of the writer threads, when they run.
static void writer_lock(img_writer *w) {
    if (w) pthread_mutex_lock(&w->lock);
}
static void writer_unlock(img_writer *w) {
    if (w) pthread_mutex_unlock(&w->lock);
}

// Hands *rec over to the writer as file number, waiting while the queue is full; rec's data and
// pixels belong to the writer then. The caller holds the lock.
static void writer_submit(img_writer *w, int32_t number, extracted_image *rec) {
    uint64_t bytes = rec->data_len;  // JPEG data left in the file takes no memory
    if (rec->pixels) bytes = (uint64_t)rec->width * (uint64_t)rec->height * (rec->pixels_gray ? 1u : 4u);
    while (w->queued == writer_queue ||
           (w->queued + w->working > 0 && w->held_bytes + bytes > writer_queue_bytes))
        pthread_cond_wait(&w->has_room, &w->lock);
    writer_job *job = &w->queue[(w->first + w->queued) % writer_queue];
    job->rec = *rec;
    job->number = number;
    job->bytes = bytes;
    w->queued++;
    w->held_bytes += bytes;
    // Every thread woken: a signal might reach only threads that may not take the head job.
    pthread_cond_broadcast(&w->has_job);
    rec->data = nullptr;
    rec->pixels = nullptr;
}

// Waits until every job handed over is done, stops the threads and frees w (null: nothing to do).
static void writer_finish(img_writer *w) {
    if (!w) return;
    pthread_mutex_lock(&w->lock);
    w->stop = 1;
    pthread_cond_broadcast(&w->has_job);
    pthread_mutex_unlock(&w->lock);
    for (int32_t t = 0; t < w->thread_count; t++) pthread_join(w->threads[t].id, nullptr);
    pthread_cond_destroy(&w->has_room);
    pthread_cond_destroy(&w->has_job);
    pthread_mutex_destroy(&w->lock);
    free(w);
}

#else

static img_writer *writer_start(const writer_task &, int32_t) { return nullptr; }
static void writer_lock(img_writer *) {}
static void writer_unlock(img_writer *) {}
static void writer_submit(img_writer *, int32_t, extracted_image *) {}
static void writer_finish(img_writer *) {}

#endif

// ---- the image files of a call ------------------------------------------------------------------

static file_result files_work(void *ctx, int32_t number, extracted_image *rec) {
    return write_record((const image_files *)ctx, number, rec);
}

static void files_done(void *ctx, int32_t number, const file_result &r) { files_note((image_files *)ctx, number, r); }

int image_files_open(image_files *out, const char *output_dir, int threads) {
    memset(out, 0, sizeof *out);
    out->dir_fd = -1;
    out->dir = dir_copy(output_dir);
    if (!out->dir) {
        snprintf(out->error, sizeof out->error, "out of memory");
        return -1;
    }
    size_t n = strlen(out->dir);
    while (n > 0 && is_sep(out->dir[n - 1])) n--;  // "out///" and "out" name the same files
    out->dir[n] = '\0';
    out->dir_fd = open(n ? out->dir : "/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (out->dir_fd < 0) {
        char reason[256];
        snprintf(out->error, sizeof out->error, "cannot open output directory %s: %s", output_dir,
                 qv_error_text(errno, reason, sizeof reason));
        free(out->dir);
        out->dir = nullptr;
        return -1;
    }
    // Temporary names differ between calls, processes and threads writing into one directory, and
    // a name that exists all the same is passed over.
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    out->seed = mix64((uint64_t)getpid() ^ (uint64_t)(uintptr_t)out ^ ((uint64_t)now.tv_nsec << 20) ^
                      ((uint64_t)now.tv_sec << 40));
    out->writer = nullptr;  // without threads, each image is encoded and written in turn
    out->threads = qv_processor_count();
    if (threads) out->writer = writer_start(writer_task{files_work, files_done, &out->failed, out}, out->threads);
    return 0;
}

// Takes record number count + 1: notes whether it is a JPEG, then writes it or hands it to the
// writer threads; refuses it once the call is bound to fail.
static int files_take(void *ctx, extracted_image *rec) {
    image_files *out = (image_files *)ctx;
    writer_lock(out->writer);
    int rc = -1;
    if (!out->failed && out->count == out->flags_cap) {
        void *t = array_grow(out->flags, &out->flags_cap, 64, sizeof *out->flags);
        if (t) out->flags = (uint8_t *)t;
        else files_fail(out, "out of memory");
    }
    if (!out->failed) {
        out->flags[out->count] = is_jpeg(rec) ? file_is_jpeg : 0;
        int32_t number = ++out->count;
        if (out->writer) {
            writer_submit(out->writer, number, rec);
        } else {
            file_result r = write_record(out, number, rec);
            files_note(out, number, r);
        }
        rc = out->failed ? -1 : 0;
    }
    writer_unlock(out->writer);
    extracted_image_release(rec);
    return rc;
}

image_receiver image_files_receiver(image_files *out) {
    return image_receiver{files_take, out, extract_borrow_jpeg | (out->writer ? extract_defer_png : 0)};
}

int32_t image_files_close(image_files *out, int lost) {
    // Every file is in place (or was given up) before the result is known or files are removed.
    writer_finish(out->writer);
    out->writer = nullptr;
    int32_t result = out->written;
    if (lost || out->failed) {
        files_fail(out, "out of memory");  // when nothing else failed first
        char leaf[image_leaf_size];
        for (int32_t i = 0; out->dir_fd >= 0 && i < out->count; i++) {
            if (!(out->flags[i] & file_in_place)) continue;
            file_name(leaf, i + 1, (out->flags[i] & file_is_jpeg) != 0);
            unlinkat(out->dir_fd, leaf, 0);
        }
        result = -1;
    }
    if (out->dir_fd >= 0) close(out->dir_fd);
    free(out->dir);
    free(out->flags);
    char error[err_text_size];
    memcpy(error, out->error, sizeof error);
    memset(out, 0, sizeof *out);
    memcpy(out->error, error, sizeof error);
    out->dir_fd = -1;
    return result;
}

// ---- the listing and the count ------------------------------------------------------------------

static file_result listing_work(void *ctx, int32_t, extracted_image *rec) {
    file_result r;
    memset(&r, 0, sizeof r);
    if (encode_record(rec, ((const image_listing *)ctx)->threads) != 0) return r;
    r.placed = 1;
    r.size = rec->size;
    return r;
}

static void listing_done(void *ctx, int32_t number, const file_result &r) {
    image_listing *l = (image_listing *)ctx;
    if (r.placed) l->entries[number - 1].size = r.size;
    else l->failed = 1;  // the PNG encoder fails only when memory runs out
}

int image_listing_open(image_listing *l, int threads) {
    memset(l, 0, sizeof *l);
    buf_init(&l->text);
    l->threads = qv_processor_count();
    if (threads) l->writer = writer_start(writer_task{listing_work, listing_done, &l->failed, l}, l->threads);
    return 0;
}

static int listing_take(void *ctx, extracted_image *rec) {
    image_listing *l = (image_listing *)ctx;
    writer_lock(l->writer);
    if (!l->failed && l->count == l->capacity) {
        void *t = array_grow(l->entries, &l->capacity, 64, sizeof *l->entries);
        if (t) l->entries = (listing_entry *)t;
        else l->failed = 1;
    }
    if (!l->failed) {
        int32_t number = ++l->count;
        listing_entry *e = &l->entries[number - 1];
        e->page = rec->page;
        e->width = rec->width;
        e->height = rec->height;
        e->jpeg = is_jpeg(rec) ? 1 : 0;
        e->size = 0;  // a PNG's, once encoded
        if (rec->pixels && l->writer) writer_submit(l->writer, number, rec);
        else if (rec->pixels && encode_record(rec, l->threads) != 0) l->failed = 1;
        else e->size = rec->size;
    }
    int rc = l->failed ? -1 : 0;
    writer_unlock(l->writer);
    extracted_image_release(rec);
    return rc;
}

image_receiver image_listing_receiver(image_listing *l) {
    return image_receiver{listing_take, l, extract_borrow_jpeg | (l->writer ? extract_defer_png : 0)};
}

int image_listing_close(image_listing *l, int lost) {
    writer_finish(l->writer);
    l->writer = nullptr;
    // A buf whose growth failed would start again empty: nothing is added once it failed.
    bool ok = !lost && !l->failed;
    if (ok) {
        buf_str(&l->text, "[");
        for (int32_t i = 0; i < l->count && l->text.data; i++) {
            const listing_entry *e = &l->entries[i];
            // At most 104 characters: a comma, three 11-character integers, "jpeg" and a 20-digit size.
            char elem[256];
            snprintf(elem, sizeof elem,
                     "%s{\"page\":%d,\"width\":%d,\"height\":%d,\"type\":\"%s\",\"size\":%" PRIu64 "}",
                     i ? "," : "", (int)e->page, (int)e->width, (int)e->height, e->jpeg ? "jpeg" : "png",
                     e->size);
            buf_str(&l->text, elem);
        }
        if (l->text.data) buf_str(&l->text, "]");
        ok = l->text.data != nullptr;
    }
    free(l->entries);
    l->entries = nullptr;
    l->capacity = l->count = 0;
    if (!ok) {
        buf_free(&l->text);
        return -1;
    }
    return 0;
}

static int count_take(void *ctx, extracted_image *rec) {
    extracted_image_release(rec);
    (*(int32_t *)ctx)++;
    return 0;
}

image_receiver image_count_receiver(int32_t *count) {
    return image_receiver{count_take, count, extract_no_png | extract_no_decode | extract_borrow_jpeg};
}
