// pdfextractimg/output.h - where the images of one call go, as receivers of the collection walk
// (extract.h): image files in a directory (created with its parents, named image_001.jpg,
// image_002.png, ..., each written whole under a temporary name and renamed into place, encoded
// and written by writer threads while the walk goes on, removed again when the call fails), the
// JSON listing, or a count.
#ifndef QV_PDFEXTRACTIMG_OUTPUT_H
#define QV_PDFEXTRACTIMG_OUTPUT_H
#include <cstddef>
#include <cstdint>

#include "pdfcore/pdfcore.h"
#include "pdfextractimg/extract.h"

// Room for the name of an image file or of its temporary file, NUL included.
const int32_t image_leaf_size = 64;

struct img_writer;

// The image files of one call. Record n (1-based, in the order taken) becomes image_NNN.jpg in the
// directory for a JPEG, image_NNN.png otherwise (at least three digits). Each file is written under
// a temporary name of its own in the directory (qv_write_file_at), so a file of that name only
// ever holds a complete image, and a symbolic link there is replaced, never followed.
struct image_files {
    char *dir;           // the directory as given, separators normalised, trailing ones removed
    int dir_fd;          // the directory, opened once; -1 when it is not open
    int32_t count;       // records taken
    uint8_t *flags;      // per record taken: file_is_jpeg, file_in_place
    int32_t flags_cap;   // entries allocated in flags
    int32_t written;     // files in place
    int32_t failed;      // 1 once the call is bound to fail; error says why
    uint64_t seed;       // picks the temporary names
    img_writer *writer;  // not null: records are encoded and written by the writer threads
    int32_t threads;     // processors, read once per call: writer and encoder threads
    const char *source_name; // the PDF's name, for "read error on PATH" (may be null)
    char error[err_text_size];  // "out of memory", "cannot write DIR/image_NNN.png: REASON", or
                                // "read error on PATH" (JPEG data that the PDF no longer holds)
};
const uint8_t file_is_jpeg = 1;   // the record's file is a .jpg
const uint8_t file_in_place = 2;  // this call put the record's file in place

// One element of a listing: what the JSON gives of a record.
struct listing_entry {
    int32_t page, width, height;
    int32_t jpeg;   // 1: "jpeg", 0: "png"
    uint64_t size;  // bytes of the JPEG data or the PNG file (a writer thread fills a PNG's in)
};

// The JSON listing of one call: an array of {"page","width","height","type","size"} objects, no
// spaces, in the order the records were taken. With writer threads, PNG images are encoded on them
// while the walk goes on, for their sizes, and the text is made when the listing closes.
struct image_listing {
    buf text;                // the listing, once closed (NUL-terminated); null data until then
    listing_entry *entries;  // one per record taken
    int32_t count;           // records taken
    int32_t capacity;        // entries allocated
    int32_t failed;          // 1 once a record could not be listed (no memory)
    img_writer *writer;      // not null: PNG images are encoded by the writer threads
    int32_t threads;         // processors, read once per call
};

// Creates path and its missing parents. 0 when path is a directory at the end, -1 otherwise (an
// existing file is no directory). The path is used whole, however long: creating a shortened path
// would put the images somewhere the caller never named. Backslashes separate directories too.
int qv_mkdir_p(const char *path);

// Prepares *out (any content; overwritten) for the directory output_dir, which must exist, and
// opens it. With threads 1, starts the writer threads where POSIX threads exist (as many as
// processors, at most 4); without them each record is encoded and written when it is taken. 0, or
// -1 with out->error set ("out of memory", or "cannot open output directory DIR: REASON"; nothing
// held).
int image_files_open(image_files *out, const char *output_dir, int threads);
// The receiver that writes each record taken as the next file; with writer threads it asks for
// PNG images as pixels (extract_defer_png) and hands them to the threads, waiting while they hold
// 16 images or 32 MiB (a larger image is let in when they hold nothing else). JPEG data is
// copied from the document's file (extract_borrow_jpeg): the document stays loaded until
// image_files_close; should the file no longer hold it, the call fails with "read error on PATH"
// (out->source_name). Once the call is bound to fail (a file could not be written, or memory ran
// out), it refuses every record.
image_receiver image_files_receiver(image_files *out);
// Waits until every record taken is written and stops the threads. When lost is 1 (the walk lost
// a record) or out->failed is set, the files this call put in place are removed, the result is -1
// and out->error says why ("out of memory" when nothing else did); otherwise the result is the
// number of files written. Releases what out holds but the error text (harmless twice).
int32_t image_files_close(image_files *out, int lost);

// Writes data[0, n) as the file name in the directory open at dir_fd: under a temporary name in the
// same directory (qv_temp_name of seed; one that exists is passed over for the next seed, 64 times
// at most), created exclusively and never through a symbolic link, written, closed, then renamed
// to name. 0, or the system's error number; on failure nothing is left under the temporary name.
int qv_write_file_at(int dir_fd, const char *name, const uint8_t *data, uint64_t n, uint64_t seed);
// Result of qv_copy_source (and of writing a file from a source) when the source came back short.
const int copy_short = -1;
// Copies n bytes of src at off to fd: with copy_file_range where the kernel offers it, else read
// and written 1 MiB at a time, never held whole. 0, the system's error number, or copy_short.
int qv_copy_source(int fd, const file_source *src, int64_t off, uint64_t n);
// The processors online (at least 1), read once for a call.
int32_t qv_processor_count();
// The temporary name for name and seed: "." name "." and 16 hexadecimal digits, NUL-terminated, cut
// to image_leaf_size - 1 bytes.
void qv_temp_name(char *out, const char *name, uint64_t seed);
// The system's text for error number err in buf (cap bytes), as strerror gives it but safe on any
// thread: buf or a constant text.
const char *qv_error_text(int err, char *buf, size_t cap);

// Starts an empty listing, with writer threads (as image_files_open starts them) when threads is 1.
// 0 (it cannot fail; without threads, each PNG is encoded as the walk converts it).
int image_listing_open(image_listing *l, int threads = 0);
// The receiver that adds each record to the listing and drops its bytes (PNG images are encoded,
// for their size, by the writer threads when they run; JPEG data is lent, not copied). Once a
// record could not be listed, it refuses every record.
image_receiver image_listing_receiver(image_listing *l);
// Waits for the writer threads and makes the text. 0 with l->text holding the listing (the caller
// owns it), or -1 when lost is 1, a record could not be listed or its PNG encoded, or the text
// cannot be allocated (nothing held). Releases everything else.
int image_listing_close(image_listing *l, int lost);

// The receiver that counts the records at ctx (an int32_t, which the caller sets to 0 first) and
// drops them; PNG images are converted as far as their pixels (extract_no_png).
image_receiver image_count_receiver(int32_t *count);

#endif
