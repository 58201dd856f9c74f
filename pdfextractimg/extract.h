// pdfextractimg/extract.h - image collection and conversion inside the library (not exported).
#ifndef QV_PDFEXTRACTIMG_EXTRACT_H
#define QV_PDFEXTRACTIMG_EXTRACT_H
#include <cstdint>

struct pdfcore_doc;

// One converted image. A plain value: copying it into a list hands over data; whoever drops a
// record frees data.
struct extracted_image {
    int32_t page;      // 1-based page on which the image was found (1 for the fallback scan)
    int32_t obj_num;   // object number of the image XObject
    int32_t width;
    int32_t height;
    char format[16];   // "jpeg" or "png", NUL-terminated, rest zero
    uint64_t size;     // bytes in data, as listed in JSON
    uint8_t *data;     // complete JPEG or PNG file, malloc'd, owned
    uint64_t data_len; // always equal to size
    uint8_t *pixels;   // with extract_defer_png, a PNG image's pixels, malloc'd, owned, and data
                       // null and size 0 until they are encoded
    int32_t pixels_gray; // 1: pixels hold one gray byte per pixel; 0: RGBA
};

// Frees the record's data and pixels and leaves both null.
void extracted_image_release(extracted_image *rec);

// Where the records of a list go as they are added, so that a document's images are never all
// in memory at once: record n (1-based) is written at once as "<dir>/image_NNN.<ext>".
struct img_writer;

struct img_sink {
    char *name;        // the output directory, trailing separators removed, then img_sink_tail
                       // bytes of room for the file name
    uint64_t dir_len;  // length of the directory part of name
    int32_t written;   // files written completely so far (with a writer: once it has finished)
    img_writer *writer; // not null: records are written by the writer thread (img_writer_start)
};

// Room for a file name after the directory: "/image_" + at most 10 digits + ".png" + NUL.
const uint64_t img_sink_tail = 32;

// Growable list of records; all zero is empty.
struct img_vec {
    extracted_image *items;
    int32_t count;
    int32_t capacity;
    int32_t failed;    // 1 once a record was lost because the array could not grow
    img_sink *sink;    // not null: each record added is written there, and its data freed
    int32_t drop_data; // 1: each record added keeps its size but frees its data (data null)
    int32_t count_only; // 1: images are converted with extract_no_png (records only counted)
    int32_t defer_png;  // 1: images are converted with extract_defer_png (for a sink's writer)
};

// Appends a copy of *rec: capacity 16, then doubling; then, with a sink, writes the record's file
// (or hands it to the sink's writer) and, with a sink or drop_data, frees its data and pixels. 0,
// or -1 when the array cannot grow (the records are unchanged, failed is set, and the caller
// still owns rec's data and pixels).
int img_vec_push(img_vec *list, const extracted_image *rec);

// Writes record number (1-based) of a list into sink's directory. 1 when every byte was written
// and the file closed cleanly; otherwise 0 (a file that was created is removed).
int img_sink_write(img_sink *sink, int32_t number, const extracted_image *rec);
// Frees every record's data and pixels and the array; leaves the list zeroed.
void img_vec_free(img_vec *list);

// Flag of extract_single_image: an image that would become a PNG is decoded and checked as far as
// its pixels but not encoded, and its record gets size 0 and no data. The PNG encoder fails only
// when memory runs out, so whether the image converts is the same.
const int32_t extract_no_png = 1;
// Flag of extract_single_image: an image that would become a PNG keeps its pixels in rec->pixels
// (rec->pixels_gray set as the PNG encoder's gray test found), for the writer thread to encode.
const int32_t extract_defer_png = 2;

// Converts image XObject obj_num into *rec (zero-filled by the caller) with rec->page = page.
// 1: filled. 0: not converted; nothing allocated, *rec unchanged. flags: 0, extract_no_png or
// extract_defer_png.
int32_t extract_single_image(const pdfcore_doc *doc, int32_t obj_num, int32_t page,
                             extracted_image *rec, int32_t flags = 0);

// Appends the images of page page_index (0-based) to list, page = page_index + 1: the XObjects of
// the page's /Resources (or, when it has none, of the nearest of up to 31 ancestors that has them),
// forms descended into up to 16 levels deep, each object tried once per page (the first 2048).
// Records the list could not take are freed and leave list->failed set.
void collect_page_images(const pdfcore_doc *doc, int32_t page_index, img_vec *list);
// Appends the images of the whole document, duplicates across pages removed, with the fallback
// scan of all image streams (each as found on page 1) when the pages yield no image.
void collect_all_images(const pdfcore_doc *doc, img_vec *list);

// The writer thread of a sink: records pushed to a list with that sink are encoded (when they
// carry pixels) and written there while the walk goes on. Starts it: 1, or 0 when it cannot run
// (no threads here, or none could be started: records are then written as they are pushed).
int img_writer_start(img_sink *sink);

// Hands *rec over to the writer as file number (1-based), waiting while it still holds a record
// it has not begun; rec's data and pixels belong to the writer then (set null here).
void img_writer_submit(img_sink *sink, int32_t number, extracted_image *rec);

// Waits until every record handed over is written, stops the thread and adds its files to
// sink->written. 0, or -1 when a PNG could not be encoded for want of memory (records after it
// were dropped). Does nothing without a writer.
int img_writer_finish(img_sink *sink);

#endif
