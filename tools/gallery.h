// tools/gallery.h - the host's HTML pages of what was extracted (--html): index.html in an output
// directory, one card per image file, and for a batch OUTROOT/index.html, one row per PDF, split
// into numbered pages.
//
// Every page stands alone: its CSS is inline, it holds no script, and it refers to nothing but the
// files beside it (a Content-Security-Policy says so to the browser). Names that come from the file
// system or a PDF are escaped as HTML text (control characters and bytes that are not UTF-8 are
// shown as \xnn, as Python's backslashreplace shows them) and percent-encoded in links (every byte
// but letters, digits, "-._~" and "/"), so a name holding '<', '&', quotes, '#', '?', '%', spaces
// or any bytes shows as itself and links to its file. Pages are written under a temporary name and
// renamed (host_replace_file).
#ifndef QV_TOOLS_GALLERY_H
#define QV_TOOLS_GALLERY_H
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

const size_t gallery_rows_per_page = 500;  // a batch page; 100,000 PDFs make 200 pages
const int gallery_thumbnails = 8;          // first images shown in a batch row

// One image file that a call wrote.
struct gallery_image {
    std::string file;     // its name in the output directory: image_001.jpg
    std::string type;     // jpeg or png
    int page;             // 1-based
    long width, height;   // pixels; 0: unknown (a header that does not read)
    long long size;       // bytes of the file
};

// One PDF of a batch: the last report line of its path.
struct gallery_row {
    std::string path, status, error, output;
    long images;
    double seconds;
};

// The names of dir's entries that start with "image_" and their inode numbers: what was there
// before a call of pdfextractimg_page, so that the files the call wrote can be told from older ones
// (the file of a number may have the other type's extension from an earlier call).
std::map<std::string, ino_t> gallery_snapshot(const std::string &dir);

// The n images that pdfextractimg_all wrote into dir: page, size in pixels and type from the
// listing of pdfextractimg_info (called here, so the document is read again), the file's size
// from the file. 0, or -1 with why set (the listing fails or does not describe n files).
int gallery_images_of_all(const char *pdf, const std::string &dir, int n, std::vector<gallery_image> &out,
                          std::string &why);

// The n images that pdfextractimg_page wrote into dir for page: of image_NNN.jpg and .png, the
// one the call put in place (new, or another inode than in before), its size in pixels read from
// its header (a PNG's IHDR, a JPEG's frame header). 0, or -1 with why set.
int gallery_images_of_page(const std::string &dir, int page, int n, const std::map<std::string, ino_t> &before,
                           std::vector<gallery_image> &out, std::string &why);

// Writes dir/index.html: title the PDF's name, a line with the count and total size, one card per
// image in order. page: the page extracted, or 0 for the whole document. 0, or -1 with why set.
int gallery_write_images(const std::string &dir, const std::string &pdf, int page,
                         const std::vector<gallery_image> &images, std::string &why);

// Writes OUTROOT/index.html, index-2.html, ... (gallery_rows_per_page rows each, linked to one
// another) for the rows in order, and removes numbered pages past the last that an earlier, longer
// run left. Each row links to its output directory's index.html (the directory itself when there
// is none; nothing when there is no directory) and shows up to gallery_thumbnails of its first
// image files. 0, or -1 with why set.
int gallery_write_batch(const std::string &outroot, const std::vector<gallery_row> &rows, std::string &why);

#endif
