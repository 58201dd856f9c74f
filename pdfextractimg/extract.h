// pdfextractimg/extract.h - the image collection walk (collect.cpp): finds the image XObjects of the
// pages, has each converted (extract_single_image, image.cpp) and hands each converted image to a
// receiver it is given, knowing nothing of files, threads or counting (output.h has those).
#ifndef QV_PDFEXTRACTIMG_EXTRACT_H
#define QV_PDFEXTRACTIMG_EXTRACT_H
#include <cstdint>

struct pdfcore_doc;
struct file_source;

// One converted image. A plain value: copying it hands over data and pixels; whoever drops a
// record frees them (extracted_image_release).
struct extracted_image {
    int32_t page;      // 1-based page on which the image was found (1 for the fallback scan)
    int32_t obj_num;   // object number of the image XObject, 0 for an inline image
    int32_t width;
    int32_t height;
    char format[16];   // "jpeg" or "png", NUL-terminated, rest zero
    uint64_t size;     // bytes of the file, as listed in JSON
    uint8_t *data;     // complete JPEG or PNG file, malloc'd and owned; null for JPEG data left in
                       // the document's file (src)
    uint64_t data_len; // bytes at data: equal to size, or 0 when src gives them
    uint8_t *pixels;   // with extract_defer_png, a PNG image's pixels, malloc'd, owned, and data
                       // null and size 0 until they are encoded
    int32_t pixels_gray; // 1: pixels hold one gray byte per pixel; 0: RGBA
    // With extract_borrow_jpeg, JPEG data stored as it is in the document's file: the file's size
    // bytes at src_off, read through src (the document's) while the document stays loaded.
    const file_source *src;
    int64_t src_off;
};

// Frees the record's data and pixels and leaves both null.
void extracted_image_release(extracted_image *rec);

// Flag of extract_single_image: an image that would become a PNG is decoded and checked as far as
// its pixels but not encoded, and its record gets size 0 and no data. The PNG encoder fails only
// when memory runs out, so whether the image converts is the same.
const int32_t extract_no_png = 1;
// Flag of extract_single_image: an image that would become a PNG keeps its pixels in rec->pixels
// (rec->pixels_gray set as the PNG encoder's gray test found), for a writer thread to encode.
const int32_t extract_defer_png = 2;
// Flag of extract_single_image: JPEG data stored with no filter before DCTDecode, in a stream read
// as stored, is not read (but for its first bytes, where the SOI marker and the frame's size
// stand): the record names its bytes in the document's file (src). For receivers that are done with every
// record before the document is released. Inline images always get their own copy (their data lies
// in a page's decoded content, released when the walk leaves it).
const int32_t extract_borrow_jpeg = 4;
// Flag of extract_single_image (for counting): an image XObject that would become a PNG, whose
// stored data passes undecoded_min_stored bytes, is not decoded: it counts as converted (a record
// without data or pixels) when its dictionary says it can be (filters the library decodes, a
// usable size, a colour space that marks the page); damage in its data is not seen. Smaller images
// are converted as far as their pixels, as with extract_no_png; JPEG data is checked as it is
// passed through.
const int32_t extract_no_decode = 8;
const int64_t undecoded_min_stored = (int64_t)1 << 20;

// Converts image XObject obj_num into *rec (zero-filled by the caller) with rec->page = page.
// 1: filled. 0: not converted; nothing allocated, *rec unchanged. flags: 0, extract_no_png or
// extract_defer_png, with or without extract_borrow_jpeg.
int32_t extract_single_image(const pdfcore_doc *doc, int32_t obj_num, int32_t page,
                             extracted_image *rec, int32_t flags = 0);

// Where the walk hands each converted image, in the order they are found.
struct image_receiver {
    // Takes *rec over, data and pixels included, whatever it returns (one it cannot keep it frees).
    // 0: kept; -1: lost for want of memory (the walk goes on; its result says that one was lost).
    int (*take)(void *ctx, extracted_image *rec);
    void *ctx;
    int32_t flags;  // how the receiver wants images converted: 0, extract_no_png, extract_defer_png,
                    // each with or without extract_borrow_jpeg
};

// What a walk did, for tests and benchmarks: the XObject dictionary entries it read.
struct walk_counters {
    int64_t entries;
};

// Hands the images of page page_index (0-based) to to as each is converted, page = page_index + 1,
// in this order: the XObjects of the page's /Resources (or, when it has none, of the nearest of up
// to 31 ancestors that has them), forms descended into up to 16 levels deep, each object visited
// once per page however many the page names; the inline images of the page's content; those of
// each form met, in visiting order; each annotation's normal appearance (/AP /N, the /AS state of a
// dictionary of states), walked as a form: its XObjects, its inline images, those of its forms; the
// tiling patterns of the page's resources, walked the same way; the soft-mask groups (/G of each
// /ExtGState entry whose /SMask is a dictionary), the same way. From resources that several pages
// share (drawn.h) a page, and a form whose /Resources they are, take only what their content draws;
// such a page gets exactly what collect_all_images gives it (the pages before it are walked without
// converting anything). Inline images (obj_num 0) that are stencil masks are not handed over. 0, or
// -1 when a record was lost (to refused one: nothing more is converted) or the walk's sets (9 bytes
// per object number, and for the shared resources what drawn.h says) could not be allocated.
int collect_page_images(pdfcore_doc *doc, int32_t page_index, const image_receiver *to);
// The images of the whole document as each is converted, each image XObject once (on the first page
// that shows it; an image already handed over or failed is not converted again; an XObject of
// shared resources that no page draws, on the first page whose resources they are), inline images
// on every page that shows them, with the fallback scan of all image streams (each as found on
// page 1) when the pages yield no image, inline or not. A form or dictionary that an earlier walk
// read to its end is not read again unless a form under it holds inline images (they belong to
// each page that shows it), and shared resources are read once into a table of their names, so the
// walk is linear in the size of the file and the inline images found. counters (may be null) are
// added to. 0, or -1 as for collect_page_images.
int collect_all_images(pdfcore_doc *doc, const image_receiver *to, walk_counters *counters = nullptr);

// Growable list of records; all zero is empty. The receiver that keeps every record.
struct img_vec {
    extracted_image *items;
    int32_t count;
    int32_t capacity;
    int32_t failed;  // 1 once a record was lost because the array could not grow
};

// Appends a copy of *rec: capacity 16, then doubling. 0, or -1 when the array cannot grow (the
// records are unchanged, failed is set, and the caller still owns rec's data and pixels).
int img_vec_push(img_vec *list, const extracted_image *rec);
// Frees every record's data and pixels and the array; leaves the list zeroed.
void img_vec_free(img_vec *list);
// A receiver that keeps every record in the img_vec at ctx, converted with flags.
image_receiver img_vec_receiver(img_vec *list, int32_t flags = 0);

#endif
