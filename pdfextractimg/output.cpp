// pdfextractimg/output.cpp - the output of a call: the directory, the image files and their names,
// the writer threads that encode and write PNG files while the walk converts the next images, the
// removal of a failed call's files, the JSON listing and the count.
#include "pdfextractimg/output.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <sys/types.h>
#ifdef _WIN32
#include <direct.h>
#endif

#include "png/png.h"

#if defined(__unix__) || defined(__APPLE__)
#define QV_WRITER_THREADS 1
#include <pthread.h>
#include <unistd.h>
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

// ---- files --------------------------------------------------------------------------------------

// Writes n bytes to path. 1 when every byte was written and the file closed cleanly; otherwise 0,
// and a file that was created is removed rather than left half-written beside good ones.
static int write_file_whole(const char *path, const uint8_t *data, uint64_t n) {
    FILE *f = fopen(path, "wb");
    if (!f) return 0;
    size_t done = n ? fwrite(data, 1, (size_t)n, f) : 0;
    int ok = (uint64_t)done == n;
    if (fclose(f) != 0) ok = 0;
    if (!ok) remove(path);
    return ok;
}

// The name of file number (1-based) after the directory part of name (dir_len bytes, followed by
// image_name_tail bytes of room).
static void file_name(char *name, uint64_t dir_len, int32_t number, bool jpeg) {
    snprintf(name + dir_len, image_name_tail, "/image_%03d.%s", (int)number, jpeg ? "jpg" : "png");
}

static bool is_jpeg(const extracted_image *rec) { return strcmp(rec->format, "jpeg") == 0; }

// Writes record number's file. 1 when it was written completely, else 0.
static int write_image(char *name, uint64_t dir_len, int32_t number, const extracted_image *rec) {
    file_name(name, dir_len, number, is_jpeg(rec));
    return write_file_whole(name, rec->data, rec->data_len);
}

// Encodes a record that carries pixels, then writes it. 1 when the file was written completely;
// 0 when writing failed; -1 when the PNG could not be encoded.
static int encode_and_write(char *name, uint64_t dir_len, int32_t number, extracted_image *rec) {
    if (rec->pixels) {
        uint64_t len = 0;
        uint8_t *file = rec->pixels_gray ? qv_png_encode_gray(rec->width, rec->height, rec->pixels, &len)
                                         : qv_png_encode(rec->width, rec->height, rec->pixels, &len);
        free(rec->pixels);
        rec->pixels = nullptr;
        if (!file) return -1;
        rec->data = file;
        rec->size = rec->data_len = len;
    }
    return write_image(name, dir_len, number, rec);
}

// ---- the writer threads -------------------------------------------------------------------------

#if QV_WRITER_THREADS

static const int32_t max_writer_threads = 4;

struct writer_thread {
    img_writer *writer;
    pthread_t id;
    char *name;  // the directory, with a file name buffer of the thread's own
};

// The queue between the walk and the threads: the walk runs ahead by up to writer_queue images,
// or fewer while the images queued or being written hold writer_queue_bytes (a larger image is
// let in when nothing else is held), so that small images do not wait on a thread's wake-up and
// large ones do not pile up in memory (a large image is encoded by the encoder's own threads).
static const int32_t writer_queue = 16;
static const uint64_t writer_queue_bytes = (uint64_t)32 << 20;

struct writer_job {
    extracted_image rec;
    int32_t number;
    uint64_t bytes;  // pixels or data held
};

struct img_writer {
    writer_thread threads[max_writer_threads];
    int32_t thread_count;
    uint64_t dir_len;
    pthread_mutex_t lock;
    pthread_cond_t has_job;   // a job was queued, or stop was set
    pthread_cond_t has_room;  // a job was taken from the queue, or one was done
    writer_job queue[writer_queue];
    int32_t first;          // the oldest queued job
    int32_t queued;
    int32_t working;        // jobs taken and not yet done
    uint64_t held_bytes;    // of the jobs queued or taken and not yet done
    int32_t stop;           // 1: no more jobs will come
    int32_t failed;         // 1: a PNG could not be encoded (out of memory); later jobs are dropped
    int32_t written;        // files written completely
};

static void *writer_main(void *arg) {
    writer_thread *self = (writer_thread *)arg;
    img_writer *w = self->writer;
    pthread_mutex_lock(&w->lock);
    for (;;) {
        while (w->queued == 0 && !w->stop) pthread_cond_wait(&w->has_job, &w->lock);
        if (w->queued == 0) break;  // stopped, nothing left
        writer_job job = w->queue[w->first];
        w->first = (w->first + 1) % writer_queue;
        w->queued--;
        w->working++;
        int32_t dropped = w->failed;
        pthread_cond_signal(&w->has_room);
        pthread_mutex_unlock(&w->lock);
        int r = dropped ? 0 : encode_and_write(self->name, w->dir_len, job.number, &job.rec);
        extracted_image_release(&job.rec);
        pthread_mutex_lock(&w->lock);
        if (r > 0) w->written++;
        if (r < 0) w->failed = 1;
        w->working--;
        w->held_bytes -= job.bytes;
        pthread_cond_signal(&w->has_room);
    }
    pthread_mutex_unlock(&w->lock);
    return nullptr;
}

static void writer_free(img_writer *w) {
    for (int32_t t = 0; t < max_writer_threads; t++) free(w->threads[t].name);
    free(w);
}

// Starts the writer threads of out: 1, or 0 when they cannot run (none could be started).
static int writer_start(image_files *out) {
    out->writer = nullptr;
    // As many threads as processors: the PNG encoding, not the walk, takes most of the time.
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    int32_t want = online < 1 ? 1 : online > max_writer_threads ? max_writer_threads : (int32_t)online;
    img_writer *w = (img_writer *)calloc(1, sizeof(img_writer));
    if (!w) return 0;
    w->dir_len = out->dir_len;
    for (int32_t t = 0; t < want; t++) {
        writer_thread *th = &w->threads[t];
        th->writer = w;
        th->name = (char *)malloc((size_t)out->dir_len + image_name_tail);
        if (!th->name) {
            writer_free(w);
            return 0;
        }
        memcpy(th->name, out->name, (size_t)out->dir_len);
    }
    if (pthread_mutex_init(&w->lock, nullptr) != 0) {
        writer_free(w);
        return 0;
    }
    if (pthread_cond_init(&w->has_job, nullptr) != 0) {
        pthread_mutex_destroy(&w->lock);
        writer_free(w);
        return 0;
    }
    if (pthread_cond_init(&w->has_room, nullptr) != 0) {
        pthread_cond_destroy(&w->has_job);
        pthread_mutex_destroy(&w->lock);
        writer_free(w);
        return 0;
    }
    pthread_attr_t attr;
    int have_attr = pthread_attr_init(&attr) == 0;
    if (have_attr) pthread_attr_setstacksize(&attr, (size_t)2 << 20);
    while (w->thread_count < want) {
        writer_thread *th = &w->threads[w->thread_count];
        if (pthread_create(&th->id, have_attr ? &attr : nullptr, writer_main, th) != 0) break;
        w->thread_count++;
    }
    if (have_attr) pthread_attr_destroy(&attr);
    if (w->thread_count == 0) {
        pthread_cond_destroy(&w->has_room);
        pthread_cond_destroy(&w->has_job);
        pthread_mutex_destroy(&w->lock);
        writer_free(w);
        return 0;
    }
    out->writer = w;
    return 1;
}

// Hands *rec over to the writer as file number, waiting while the queue is full; rec's data and
// pixels belong to the writer then.
static void writer_submit(img_writer *w, int32_t number, extracted_image *rec) {
    uint64_t bytes = rec->data_len;
    if (rec->pixels) bytes = (uint64_t)rec->width * (uint64_t)rec->height * (rec->pixels_gray ? 1u : 4u);
    pthread_mutex_lock(&w->lock);
    while (w->queued == writer_queue ||
           (w->queued + w->working > 0 && w->held_bytes + bytes > writer_queue_bytes))
        pthread_cond_wait(&w->has_room, &w->lock);
    writer_job *job = &w->queue[(w->first + w->queued) % writer_queue];
    job->rec = *rec;
    job->number = number;
    job->bytes = bytes;
    w->queued++;
    w->held_bytes += bytes;
    pthread_cond_signal(&w->has_job);
    pthread_mutex_unlock(&w->lock);
    rec->data = nullptr;
    rec->pixels = nullptr;
}

// Waits until every record handed over is written, stops the threads and adds their files to
// out->written. 0, or -1 when a PNG could not be encoded for want of memory.
static int writer_finish(image_files *out) {
    img_writer *w = out->writer;
    if (!w) return 0;
    pthread_mutex_lock(&w->lock);
    w->stop = 1;
    pthread_cond_broadcast(&w->has_job);
    pthread_mutex_unlock(&w->lock);
    for (int32_t t = 0; t < w->thread_count; t++) pthread_join(w->threads[t].id, nullptr);
    int failed = w->failed;
    out->written += w->written;
    pthread_cond_destroy(&w->has_room);
    pthread_cond_destroy(&w->has_job);
    pthread_mutex_destroy(&w->lock);
    writer_free(w);
    out->writer = nullptr;
    return failed ? -1 : 0;
}

#else

static int writer_start(image_files *out) {
    out->writer = nullptr;
    return 0;
}

static void writer_submit(img_writer *, int32_t, extracted_image *) {}

static int writer_finish(image_files *out) {
    out->writer = nullptr;
    return 0;
}

#endif

// ---- the image files of a call ------------------------------------------------------------------

int image_files_open(image_files *out, const char *output_dir, int threads) {
    memset(out, 0, sizeof *out);
    char *dir = dir_copy(output_dir);
    if (!dir) return -1;
    size_t n = strlen(dir);
    while (n > 0 && is_sep(dir[n - 1])) n--;  // "out///" and "out" name the same files
    out->name = (char *)malloc(n + image_name_tail);
    if (out->name) memcpy(out->name, dir, n);
    free(dir);
    out->dir_len = n;
    if (!out->name) return -1;
    if (threads) writer_start(out);  // without them, each image is encoded and written in turn
    return 0;
}

// Takes record number count + 1: notes whether it is a JPEG (for the removal), then writes it or
// hands it to the writer threads.
static int files_take(void *ctx, extracted_image *rec) {
    image_files *out = (image_files *)ctx;
    if (out->count == out->jpeg_cap) {
        void *t = array_grow(out->jpeg, &out->jpeg_cap, 64, sizeof *out->jpeg);
        if (!t) {
            out->failed = 1;
            extracted_image_release(rec);
            return -1;
        }
        out->jpeg = (uint8_t *)t;
    }
    out->jpeg[out->count] = is_jpeg(rec) ? 1 : 0;
    int32_t number = ++out->count;
    if (out->writer) writer_submit(out->writer, number, rec);
    else out->written += write_image(out->name, out->dir_len, number, rec);
    extracted_image_release(rec);
    return 0;
}

image_receiver image_files_receiver(image_files *out) {
    return image_receiver{files_take, out, out->writer ? extract_defer_png : 0};
}

int32_t image_files_close(image_files *out, int lost) {
    // Every file is on disk (or was given up) before the result is known or files are removed.
    if (writer_finish(out) != 0) out->failed = 1;
    int32_t result = out->written;
    if (lost || out->failed) {
        for (int32_t i = 0; out->name && i < out->count; i++) {
            file_name(out->name, out->dir_len, i + 1, out->jpeg[i] != 0);
            remove(out->name);
        }
        result = -1;
    }
    free(out->name);
    free(out->jpeg);
    memset(out, 0, sizeof *out);
    return result;
}

// ---- the listing and the count ------------------------------------------------------------------

int image_listing_open(image_listing *l) {
    memset(l, 0, sizeof *l);
    buf_init(&l->text);
    buf_str(&l->text, "[");
    return l->text.data ? 0 : -1;
}

static int listing_take(void *ctx, extracted_image *rec) {
    image_listing *l = (image_listing *)ctx;
    // At most 103 characters: three 11-character integers, "jpeg" and a 20-digit size.
    char elem[256];
    snprintf(elem, sizeof elem,
             "{\"page\":%d,\"width\":%d,\"height\":%d,\"type\":\"%s\",\"size\":%" PRIu64 "}",
             (int)rec->page, (int)rec->width, (int)rec->height, rec->format, rec->size);
    extracted_image_release(rec);
    if (l->failed) return -1;  // a buf that failed would start again empty
    if (l->count > 0) buf_str(&l->text, ",");
    buf_str(&l->text, elem);
    if (!l->text.data) {
        l->failed = 1;
        return -1;
    }
    l->count++;
    return 0;
}

image_receiver image_listing_receiver(image_listing *l) { return image_receiver{listing_take, l, 0}; }

int image_listing_close(image_listing *l, int lost) {
    if (!lost && !l->failed) buf_str(&l->text, "]");
    if (lost || l->failed || !l->text.data) {
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

image_receiver image_count_receiver(int32_t *count) { return image_receiver{count_take, count, extract_no_png}; }
