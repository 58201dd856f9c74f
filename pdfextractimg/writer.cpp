// pdfextractimg/writer.cpp - the image writer threads of an output directory: while the walk
// converts the next images, those before them are encoded as PNG and written to their files.
#include "pdfextractimg/extract.h"

#include "png/png.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__unix__) || defined(__APPLE__)
#define QV_WRITER_THREADS 1
#include <pthread.h>
#include <unistd.h>
#else
#define QV_WRITER_THREADS 0
#endif

#if QV_WRITER_THREADS

static const int32_t max_writer_threads = 4;

struct img_writer;

struct writer_thread {
    img_writer *writer;
    pthread_t id;
    img_sink own;  // the directory, with a file name buffer of the thread's own
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

// Encodes a record that carries pixels, then writes it. 1 when the file was written completely;
// 0 when writing failed; -1 when the PNG could not be encoded.
static int writer_write(img_sink *own, int32_t number, extracted_image *rec) {
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
    return img_sink_write(own, number, rec);
}

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
        int r = dropped ? 0 : writer_write(&self->own, job.number, &job.rec);
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
    for (int32_t t = 0; t < max_writer_threads; t++) free(w->threads[t].own.name);
    free(w);
}

int img_writer_start(img_sink *sink) {
    sink->writer = nullptr;
    // As many threads as processors: the PNG encoding, not the walk, takes most of the time.
    long online = sysconf(_SC_NPROCESSORS_ONLN);
    int32_t want = online < 1 ? 1 : online > max_writer_threads ? max_writer_threads : (int32_t)online;
    img_writer *w = (img_writer *)calloc(1, sizeof(img_writer));
    if (!w) return 0;
    for (int32_t t = 0; t < want; t++) {
        writer_thread *th = &w->threads[t];
        th->writer = w;
        th->own.dir_len = sink->dir_len;
        th->own.name = (char *)malloc((size_t)sink->dir_len + img_sink_tail);
        if (!th->own.name) {
            writer_free(w);
            return 0;
        }
        memcpy(th->own.name, sink->name, (size_t)sink->dir_len);
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
    sink->writer = w;
    return 1;
}

void img_writer_submit(img_sink *sink, int32_t number, extracted_image *rec) {
    img_writer *w = sink->writer;
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

int img_writer_finish(img_sink *sink) {
    img_writer *w = sink->writer;
    if (!w) return 0;
    pthread_mutex_lock(&w->lock);
    w->stop = 1;
    pthread_cond_broadcast(&w->has_job);
    pthread_mutex_unlock(&w->lock);
    for (int32_t t = 0; t < w->thread_count; t++) pthread_join(w->threads[t].id, nullptr);
    int failed = w->failed;
    sink->written += w->written;
    pthread_cond_destroy(&w->has_room);
    pthread_cond_destroy(&w->has_job);
    pthread_mutex_destroy(&w->lock);
    writer_free(w);
    sink->writer = nullptr;
    return failed ? -1 : 0;
}

#else

int img_writer_start(img_sink *sink) {
    sink->writer = nullptr;
    return 0;
}

void img_writer_submit(img_sink *, int32_t, extracted_image *) {}

int img_writer_finish(img_sink *sink) {
    sink->writer = nullptr;
    return 0;
}

#endif
