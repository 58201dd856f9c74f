// tools/gallery.cpp - index.html of an output directory and of a batch: which files, escaping, pages.
#include "gallery.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "host_files.h"
#include "host_json.h"
#include "pdfextractimg.h"

static const int max_jpeg_segments = 4096;  // segments passed before the frame header is given up on
static const long pixelated_below = 81;     // images this small are enlarged with sharp pixels

// Inline, so the page needs no other file; the checkerboard shows through transparent pixels.
static const char page_style[] =
    "body{font:14px/1.4 system-ui,sans-serif;margin:1.5em;color:#222;background:#f6f6f6}"
    "h1{font-size:1.4em;margin:0 0 .2em;overflow-wrap:anywhere}"
    ".sum{color:#555;margin:0 0 1em;overflow-wrap:anywhere}"
    ".grid{display:flex;flex-wrap:wrap;gap:12px}"
    ".card{width:200px;margin:0;padding:8px;background:#fff;border:1px solid #ddd;border-radius:4px}"
    ".card img,.th img{display:block;object-fit:contain;"
    "background:repeating-conic-gradient(#e4e4e4 0 25%,#fff 0 50%) 0 0/16px 16px}"
    ".card img{width:200px;height:160px}"
    "img.px{image-rendering:pixelated}"
    ".card figcaption{font-size:12px;margin-top:6px;overflow-wrap:anywhere}"
    "table{border-collapse:collapse;background:#fff}"
    "th,td{border:1px solid #ddd;padding:4px 6px;text-align:left;vertical-align:top}"
    "td.n{text-align:right;font-variant-numeric:tabular-nums}"
    "td.pdf{max-width:32em;overflow-wrap:anywhere}"
    "tr.bad td{background:#fff0f0}"
    ".err{color:#a00;font-size:12px;overflow-wrap:anywhere}"
    ".th{display:flex;gap:4px}"
    ".th img{width:64px;height:64px}"
    "nav{margin:.6em 0}nav a,nav b{margin-right:.4em}";

// --- Escaping ---

// s as HTML text (or a quoted attribute value): markup characters as entities, control
// characters and bytes that are not UTF-8 as \xNN, since a UTF-8 page has no way to hold them.
static void put_text(std::string &out, const std::string &s) {
    const uint8_t *u = (const uint8_t *)s.data();
    size_t i = 0, n = s.size();
    while (i < n) {
        uint8_t b = u[i];
        const char *entity = b == '&' ? "&amp;" : b == '<' ? "&lt;" : b == '>' ? "&gt;" : b == '"' ? "&quot;"
                           : b == '\'' ? "&#39;" : nullptr;
        size_t len = entity || b < 0x20u || b == 0x7Fu ? 0 : host_utf8_len(u + i, n - i);
        if (entity) {
            out += entity;
            i++;
        } else if (len == 0) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", (unsigned)b);
            out += hex;
            i++;
        } else {
            out.append(s, i, len);
            i += len;
        }
    }
}

// s as a URL path: letters, digits, "-._~" and "/" as they are, every other byte as %XX (RFC 3986
// unreserved characters), so no byte of a name can end the path ('#', '?'), start a scheme (':'),
// close the attribute or be read as an escape ('%'). The browser hands the bytes back to the file
// system as they were. Leading slashes become one: "//x" would name a host.
static void put_url(std::string &out, const std::string &s) {
    static const char hex[] = "0123456789ABCDEF";
    size_t i = 0;
    while (i + 1 < s.size() && s[i] == '/' && s[i + 1] == '/') i++;
    for (; i < s.size(); i++) {
        uint8_t b = (uint8_t)s[i];
        bool plain = (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') || b == '-' ||
                     b == '.' || b == '_' || b == '~' || b == '/';
        if (plain) {
            out += (char)b;
        } else {
            out += '%';
            out += hex[b >> 4];
            out += hex[b & 15u];
        }
    }
}

// <a href="URL">TEXT</a>
static void put_link(std::string &out, const std::string &url, const std::string &text) {
    out += "<a href=\"";
    put_url(out, url);
    out += "\">";
    put_text(out, text);
    out += "</a>";
}

static void put_number(std::string &out, const char *fmt, double v) {
    char buf[64];
    snprintf(buf, sizeof buf, fmt, v);
    out += buf;
}

// --- Which files ---

// The library's name of image file number (1-based).
static std::string image_file_name(int number, bool jpeg) {
    char leaf[32];
    snprintf(leaf, sizeof leaf, "image_%03d.%s", number, jpeg ? "jpg" : "png");
    return leaf;
}

static uint32_t be32(const uint8_t *p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

// A JPEG's size from its frame header (SOF0 to SOF15, not DHT, JPG or DAC), passing over the
// segments before it by their lengths. 0, or -1 when the data ends or a scan comes first.
static int jpeg_dimensions(FILE *f, long *w, long *h) {
    for (int seg = 0; seg < max_jpeg_segments; seg++) {
        int c = fgetc(f);
        if (c != 0xFF) return -1;
        while (c == 0xFF) c = fgetc(f);  // fill bytes
        if (c == EOF) return -1;
        if (c == 0xD8 || c == 0x01 || (c >= 0xD0 && c <= 0xD7)) continue;  // no length follows
        if (c == 0xD9 || c == 0xDA) return -1;
        uint8_t seg_head[7];
        if (fread(seg_head, 1, 2, f) != 2) return -1;
        long len = seg_head[0] << 8 | seg_head[1];
        if (len < 2) return -1;
        if (c >= 0xC0 && c <= 0xCF && c != 0xC4 && c != 0xC8 && c != 0xCC) {
            if (len < 7 || fread(seg_head + 2, 1, 5, f) != 5) return -1;
            *h = seg_head[3] << 8 | seg_head[4];
            *w = seg_head[5] << 8 | seg_head[6];
            return 0;
        }
        if (fseek(f, len - 2, SEEK_CUR) != 0) return -1;
    }
    return -1;
}

// Width and height from the file's header; both 0 when it does not read.
static void read_dimensions(const std::string &path, bool jpeg, long *w, long *h) {
    *w = *h = 0;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return;
    uint8_t head[24];
    if (jpeg) {
        long jw = 0, jh = 0;
        if (jpeg_dimensions(f, &jw, &jh) == 0) *w = jw, *h = jh;
    } else if (fread(head, 1, sizeof head, f) == sizeof head && memcmp(head + 1, "PNG", 3) == 0 &&
               memcmp(head + 12, "IHDR", 4) == 0) {
        *w = (long)be32(head + 16);
        *h = (long)be32(head + 20);
    }
    fclose(f);
}

std::map<std::string, ino_t> gallery_snapshot(const std::string &dir) {
    std::map<std::string, ino_t> seen;
    DIR *d = opendir(dir.c_str());
    if (!d) return seen;
    struct stat st;
    while (struct dirent *e = readdir(d))  // d_ino is not st_ino on every file system (overlayfs)
        if (strncmp(e->d_name, "image_", 6) == 0 && fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
            seen[e->d_name] = st.st_ino;
    closedir(d);
    return seen;
}

// The file's size into img->size. 0, or -1 with why set.
static int stat_image(const std::string &dir, gallery_image *img, std::string &why) {
    struct stat st;
    std::string path = host_join(dir, img->file);
    if (stat(path.c_str(), &st) != 0) {
        why = "cannot read " + path + ": " + strerror(errno);
        return -1;
    }
    img->size = (long long)st.st_size;
    return 0;
}

int gallery_images_of_all(const char *pdf, const std::string &dir, int n, std::vector<gallery_image> &out,
                          std::string &why) {
    out.clear();
    const char *json = pdfextractimg_info(pdf);
    if (!json) {
        why = std::string("cannot list the images for the gallery: ") + pdfextractimg_last_error();
        return -1;
    }
    std::vector<std::vector<host_json_field>> listing;
    if (host_json_array(json, listing) != 0 || listing.size() != (size_t)n) {
        why = "the listing does not describe the " + std::to_string(n) + " files written (has the PDF changed?)";
        return -1;
    }
    for (size_t i = 0; i < listing.size(); i++) {
        const host_json_field *page = host_json_find(listing[i], "page"), *type = host_json_find(listing[i], "type");
        const host_json_field *w = host_json_find(listing[i], "width"), *h = host_json_find(listing[i], "height");
        if (!page || !type || !w || !h) {
            why = "the library's listing did not parse";
            return -1;
        }
        bool jpeg = type->text == "jpeg";
        gallery_image img{image_file_name((int)i + 1, jpeg), jpeg ? "jpeg" : "png", (int)page->number,
                          (long)w->number, (long)h->number, 0};
        if (stat_image(dir, &img, why) != 0) return -1;
        out.push_back(img);
    }
    return 0;
}

int gallery_images_of_page(const std::string &dir, int page, int n, const std::map<std::string, ino_t> &before,
                           std::vector<gallery_image> &out, std::string &why) {
    out.clear();
    for (int k = 1; k <= n; k++) {
        bool found = false;
        for (bool jpeg : {true, false}) {
            std::string name = image_file_name(k, jpeg), path = host_join(dir, name);
            struct stat st;
            if (found || lstat(path.c_str(), &st) != 0) continue;
            auto old = before.find(name);
            if (old != before.end() && old->second == st.st_ino) continue;  // not written by this call
            gallery_image img{name, jpeg ? "jpeg" : "png", page, 0, 0, (long long)st.st_size};
            read_dimensions(path, jpeg, &img.width, &img.height);
            out.push_back(img);
            found = true;
        }
        if (!found) {
            why = "cannot find image file " + std::to_string(k) + " of " + std::to_string(n) + " in " + dir;
            return -1;
        }
    }
    return 0;
}

// --- Pages ---

static void page_head(std::string &out, const std::string &title) {
    out += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
           "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
           "img-src 'self' file:; style-src 'unsafe-inline'\">\n"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>";
    put_text(out, title);
    out += "</title>\n<style>";
    out += page_style;
    out += "</style>\n</head>\n<body>\n<h1>";
    put_text(out, title);
    out += "</h1>\n";
}

// <img> of a file, enlarged with sharp pixels when it is small, and its link.
static void put_image(std::string &out, const std::string &url, long w, long h) {
    out += "<a href=\"";
    put_url(out, url);
    out += "\"><img src=\"";
    put_url(out, url);
    out += "\" alt=\"\" loading=\"lazy\"";
    if (w > 0 && h > 0 && w < pixelated_below && h < pixelated_below) out += " class=\"px\"";
    out += "></a>";
}

int gallery_write_images(const std::string &dir, const std::string &pdf, int page,
                         const std::vector<gallery_image> &images, std::string &why) {
    long long total = 0;
    for (const gallery_image &img : images) total += img.size;
    std::string out;
    page_head(out, host_last_component(pdf));
    out += "<p class=\"sum\">";
    out += std::to_string(images.size()) + (images.size() == 1 ? " image" : " images");
    if (page > 0) out += " of page " + std::to_string(page);
    out += ", " + host_size_text((double)total) + " &middot; ";
    put_text(out, pdf);
    out += "</p>\n<div class=\"grid\">\n";
    for (const gallery_image &img : images) {
        out += "<figure class=\"card\">";
        put_image(out, img.file, img.width, img.height);
        out += "<figcaption>";
        put_link(out, img.file, img.file);
        out += "<br>page " + std::to_string(img.page) + " &middot; ";
        if (img.width > 0 && img.height > 0) out += std::to_string(img.width) + " &times; " + std::to_string(img.height);
        else out += "? &times; ?";
        out += " &middot; " + img.type + " &middot; " + host_size_text((double)img.size) + "</figcaption></figure>\n";
    }
    out += "</div>\n</body>\n</html>\n";
    return host_replace_file(host_join(dir, "index.html"), out, why);
}

// --- The batch pages ---

static std::string batch_page_name(size_t number) {
    return number == 1 ? "index.html" : "index-" + std::to_string(number) + ".html";
}

static bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Where a row's output directory is from OUTROOT: relative when it lies inside, else absolute.
static std::string output_link(const std::string &outroot, const std::string &output) {
    std::string root = outroot.back() == '/' ? outroot : outroot + "/";
    if (output.size() > root.size() && output.compare(0, root.size(), root) == 0) return output.substr(root.size());
    if (!output.empty() && output[0] == '/') return output;
    char cwd[4096];
    return getcwd(cwd, sizeof cwd) ? host_join(cwd, output) : output;
}

// The row's first image files: image_001 to image_008, .jpg or .png (the newer when both are there).
static void put_thumbnails(std::string &out, const std::string &output, const std::string &link, long images) {
    out += "<td><div class=\"th\">";
    for (int k = 1; k <= gallery_thumbnails && k <= images; k++) {
        std::string name;
        struct stat st {}, best {};
        for (bool jpeg : {true, false}) {
            std::string n = image_file_name(k, jpeg);
            if (stat(host_join(output, n).c_str(), &st) != 0) continue;
            if (name.empty() || st.st_mtim.tv_sec > best.st_mtim.tv_sec ||
                (st.st_mtim.tv_sec == best.st_mtim.tv_sec && st.st_mtim.tv_nsec > best.st_mtim.tv_nsec))
                name = n, best = st;
        }
        if (!name.empty()) put_image(out, host_join(link, name), 0, 0);
    }
    out += "</div></td>";
}

static void put_row(std::string &out, const std::string &outroot, size_t number, const gallery_row &r) {
    bool ok = r.status == "ok";
    out += ok ? "<tr><td class=\"n\">" : "<tr class=\"bad\"><td class=\"n\">";
    out += std::to_string(number) + "</td><td class=\"pdf\">";
    // No link where the worker failed before making the directory.
    std::string link = r.output.empty() || !exists(r.output) ? "" : output_link(outroot, r.output);
    if (link.empty()) put_text(out, r.path);
    else put_link(out, exists(host_join(r.output, "index.html")) ? host_join(link, "index.html") : link + "/", r.path);
    if (!r.error.empty()) {
        out += "<div class=\"err\">";
        put_text(out, r.error);
        out += "</div>";
    }
    out += "</td><td>";
    put_text(out, r.status);
    out += "</td><td class=\"n\">" + std::to_string(r.images) + "</td><td class=\"n\">";
    put_number(out, "%.3f", r.seconds);
    out += "</td>";
    if (link.empty()) out += "<td></td>";
    else put_thumbnails(out, r.output, link, r.images);
    out += "</tr>\n";
}

static void put_nav(std::string &out, size_t page, size_t pages) {
    if (pages < 2) return;
    out += "<nav>";
    if (page > 1) out += "<a href=\"" + batch_page_name(page - 1) + "\">&larr; previous</a> ";
    out += "pages: ";
    for (size_t p = 1; p <= pages; p++) {
        if (p == page) out += "<b>" + std::to_string(p) + "</b>";
        else out += "<a href=\"" + batch_page_name(p) + "\">" + std::to_string(p) + "</a>";
        out += ' ';
    }
    if (page < pages) out += "<a href=\"" + batch_page_name(page + 1) + "\">next &rarr;</a>";
    out += "</nav>\n";
}

// The text of batch page number page (1-based) of pages.
static std::string batch_page(const std::string &outroot, const std::vector<gallery_row> &rows, size_t page,
                              size_t pages, const std::string &summary) {
    std::string out;
    page_head(out, "pdfextractimg batch: " + outroot);
    size_t first = (page - 1) * gallery_rows_per_page, end = std::min(rows.size(), first + gallery_rows_per_page);
    out += "<p class=\"sum\">" + summary;
    if (pages > 1) {
        out += " &middot; page " + std::to_string(page) + " of " + std::to_string(pages) + ", rows " +
               std::to_string(first + 1) + "&ndash;" + std::to_string(end);
    }
    out += "</p>\n";
    put_nav(out, page, pages);
    out += "<table>\n<thead><tr><th>#</th><th>PDF</th><th>status</th><th>images</th><th>seconds</th>"
           "<th>first images</th></tr></thead>\n<tbody>\n";
    for (size_t i = first; i < end; i++) put_row(out, outroot, i + 1, rows[i]);
    out += "</tbody>\n</table>\n";
    put_nav(out, page, pages);
    out += "</body>\n</html>\n";
    return out;
}

int gallery_write_batch(const std::string &outroot, const std::vector<gallery_row> &rows, std::string &why) {
    size_t ok = 0;
    long long images = 0;
    for (const gallery_row &r : rows) {
        ok += r.status == "ok";
        images += r.images;
    }
    std::string summary = std::to_string(rows.size()) + (rows.size() == 1 ? " file: " : " files: ") +
                          std::to_string(ok) + " ok, " + std::to_string(rows.size() - ok) + " failed &middot; " +
                          std::to_string(images) + (images == 1 ? " image" : " images");
    size_t pages = rows.empty() ? 1 : (rows.size() + gallery_rows_per_page - 1) / gallery_rows_per_page;
    for (size_t p = 1; p <= pages; p++)
        if (host_replace_file(host_join(outroot, batch_page_name(p)), batch_page(outroot, rows, p, pages, summary),
                              why) != 0)
            return -1;
    for (size_t p = pages + 1; unlink(host_join(outroot, batch_page_name(p)).c_str()) == 0; p++) {}
    return 0;
}
