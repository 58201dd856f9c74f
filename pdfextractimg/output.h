// pdfextractimg/output.h - where the images of one call go, as receivers of the collection walk
// (extract.h): image files in a directory (created with its parents, named image_001.jpg,
// image_002.png, ..., encoded and written by writer threads while the walk goes on, removed again
// when the call fails), the JSON listing, or a count.
#ifndef QV_PDFEXTRACTIMG_OUTPUT_H
#define QV_PDFEXTRACTIMG_OUTPUT_H
#include <cstdint>

#include "pdfcore/pdfcore.h"
#include "pdfextractimg/extract.h"

// Room for a file name after the directory: "/image_" + at most 10 digits + ".png" + NUL.
const uint64_t image_name_tail = 32;

struct img_writer;

// The image files of one call. Record n (1-based, in the order taken) becomes
// "<dir>/image_NNN.jpg" for a JPEG, "<dir>/image_NNN.png" otherwise (at least three digits).
struct image_files {
    char *name;          // the directory, trailing separators removed, then room for a file name
    uint64_t dir_len;    // length of the directory part of name
    int32_t count;       // records taken
    uint8_t *jpeg;       // per record taken: 1 when its file is a .jpg (kept to remove the files)
    int32_t jpeg_cap;    // entries allocated in jpeg
    int32_t written;     // files written completely (with writer threads: once they have finished)
    int32_t failed;      // 1 once a record was lost for want of memory
    img_writer *writer;  // not null: records are encoded and written by the writer threads
};

// The JSON listing of one call: an array of {"page","width","height","type","size"} objects, no
// spaces, in the order the records were taken.
struct image_listing {
    buf text;        // the listing so far ("[" and the elements); null data once it failed
    int32_t count;   // elements in it
    int32_t failed;  // 1 once an element could not be added
};

// Creates path and its missing parents. 0 when path is a directory at the end, -1 otherwise (an
// existing file is no directory). The path is used whole, however long: creating a shortened path
// would put the images somewhere the caller never named. Backslashes separate directories too.
int qv_mkdir_p(const char *path);

// Prepares *out (any content; overwritten) for the directory output_dir, which must exist. With
// threads 1, starts the writer threads where POSIX threads exist (as many as processors, at most
// 4); without them each record is encoded and written when it is taken. 0, or -1 when the name
// cannot be allocated (nothing held).
int image_files_open(image_files *out, const char *output_dir, int threads);
// The receiver that writes each record taken as the next file; with writer threads it asks for
// PNG images as pixels (extract_defer_png) and hands them to the threads, waiting while they hold
// 16 images or 32 MiB (a larger image is let in when they hold nothing else). A file that cannot
// be written is not counted; the record's number is used all the same.
image_receiver image_files_receiver(image_files *out);
// Waits until every record taken is written and stops the threads. When lost is 1 (the walk lost
// a record), out->failed is set or a writer thread could not encode a PNG for want of memory, the
// files of the call are removed and the result is -1; otherwise the files written. Releases what
// out holds (harmless twice).
int32_t image_files_close(image_files *out, int lost);

// Starts an empty listing ("["). 0, or -1 when its text cannot be allocated.
int image_listing_open(image_listing *l);
// The receiver that adds each record to the listing and drops its bytes (PNG images are encoded,
// for their size).
image_receiver image_listing_receiver(image_listing *l);
// Closes the array. 0 with l->text holding the listing (NUL-terminated; the caller owns it), or -1
// when lost is 1 or an element could not be added (text released).
int image_listing_close(image_listing *l, int lost);

// The receiver that counts the records at ctx (an int32_t, which the caller sets to 0 first) and
// drops them; PNG images are converted as far as their pixels (extract_no_png).
image_receiver image_count_receiver(int32_t *count);

#endif
