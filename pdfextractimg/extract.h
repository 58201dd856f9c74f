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
};

// Where the records of a list go as they are added, so that a document's images are never all
// in memory at once: record n (1-based) is written at once as "<dir>/image_NNN.<ext>".
struct img_sink {
    char *name;        // the output directory, trailing separators removed, then room for the file name
    uint64_t dir_len;  // length of the directory part of name
    int32_t written;   // files written completely so far
};

// Growable list of records; all zero is empty.
struct img_vec {
    extracted_image *items;
    int32_t count;
    int32_t capacity;
    int32_t failed;    // 1 once a record was lost because the array could not grow
    img_sink *sink;    // not null: each record added is written there, and its data freed
    int32_t drop_data; // 1: each record added keeps its size but frees its data (data null)
    int32_t count_only; // 1: images are converted with extract_no_png (records only counted)
};

// Appends a copy of *rec: capacity 16, then doubling; then, with a sink, writes the record's file
// and, with a sink or drop_data, frees its data. 0, or -1 when the array cannot grow (the records
// are unchanged, failed is set, and the caller still owns rec->data).
int img_vec_push(img_vec *list, const extracted_image *rec);

// Writes record number (1-based) of a list into sink's directory. 1 when every byte was written
// and the file closed cleanly; otherwise 0 (a file that was created is removed).
int img_sink_write(img_sink *sink, int32_t number, const extracted_image *rec);
// Frees every record's data and the array; leaves the list zeroed.
void img_vec_free(img_vec *list);

// Flag of extract_single_image: an image that would become a PNG is decoded and checked as far as
// its pixels but not encoded, and its record gets size 0 and no data. The PNG encoder fails only
// when memory runs out, so whether the image converts is the same.
const int32_t extract_no_png = 1;

// Converts image XObject obj_num into *rec (zero-filled by the caller) with rec->page = page.
// 1: filled. 0: not converted; nothing allocated, *rec unchanged. flags: 0 or extract_no_png.
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

#endif
