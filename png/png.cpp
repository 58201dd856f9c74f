// png/png.cpp - PNG encoder (gray or RGBA rows to a minimal PNG) and decoder (PNG file to RGBA).
#include "png/png.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "codec/flate.h"
#include "codec/inflate.h"

static const uint8_t png_signature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
// PNG limits a chunk's data length, like the width and height, to 2^31 - 1.
static const uint64_t png_max_chunk = 0x7FFFFFFFu;
// The decoder holds the whole image several times over; it is sized for modest images.
static const uint64_t max_decode_pixels = (uint64_t)1 << 30;
// qv_inflate reports its count as a signed 32-bit value, so the filtered rows must stay below 2^31.
static const uint64_t max_inflated = 0x7FFFFFFFu;
static const uint64_t idat_first_cap = 65536;

// CRC-32 of PNG (reflected polynomial 0xEDB88320), built by the compiler: t[0] is the
// byte-at-a-time table, t[k] advances a byte's CRC over k more zero bytes, so that crc_update
// takes 8 bytes per step (slicing by 8). Constant, so encoding threads share it safely.
struct crc_tables {
    uint32_t t[8][256];
};

static constexpr crc_tables crc_build() {
    crc_tables r = {};
    for (uint32_t n = 0; n < 256; n++) {
        uint32_t c = n;
        for (int k = 0; k < 8; k++) c = (c & 1u) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        r.t[0][n] = c;
    }
    for (uint32_t n = 0; n < 256; n++)
        for (int k = 1; k < 8; k++) r.t[k][n] = r.t[0][r.t[k - 1][n] & 0xFFu] ^ (r.t[k - 1][n] >> 8);
    return r;
}

static constexpr crc_tables s_crc = crc_build();

static uint32_t crc_update(uint32_t c, const uint8_t *p, uint64_t n) {
    const uint32_t(*t)[256] = s_crc.t;
    for (; n >= 8; n -= 8, p += 8) {
        uint32_t lo = c ^ ((uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24);
        c = t[7][lo & 0xFFu] ^ t[6][(lo >> 8) & 0xFFu] ^ t[5][(lo >> 16) & 0xFFu] ^ t[4][lo >> 24] ^
            t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
    }
    for (uint64_t i = 0; i < n; i++) c = t[0][(c ^ p[i]) & 0xFFu] ^ (c >> 8);
    return c;
}

static void put_be32(uint8_t *p, uint32_t v) {
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}

static uint32_t get_be32(const uint8_t *p) {
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | (uint32_t)p[3];
}

// True when n bytes can be asked of malloc (always on 64-bit hosts).
static int fits_size(uint64_t n) { return (uint64_t)(size_t)n == n; }

// ---------------------------------------------------------------------------------------------
// Encoder

// True when every RGBA pixel is opaque with R = G = B.
static int rgba_is_gray(const uint8_t *rgba, uint64_t pixels) {
    for (uint64_t i = 0; i < pixels; i++) {
        const uint8_t *p = rgba + i * 4u;
        if (p[3] != 255 || p[0] != p[1] || p[1] != p[2]) return 0;
    }
    return 1;
}

// The PNG rows of an image, as the encoder reads them: each a filter byte (0, None), then the
// row's bytes: the pixels as they are, or the first byte of each RGBA pixel of a gray image.
struct png_rows {
    const uint8_t *pixels;
    uint64_t w;
    int channels;        // of pixels: 1 or 4
    int gray;            // 1: one byte per pixel in the rows
    uint64_t row_bytes;  // per row, the filter byte not counted
};

static void png_rows_fill(const void *ctx, uint64_t at, uint64_t n, uint8_t *out) {
    const png_rows *r = (const png_rows *)ctx;
    const uint64_t stride = r->row_bytes + 1u;
    uint64_t y = at / stride, x = at % stride;  // x: byte of the row, 0 its filter byte
    while (n > 0) {
        if (x == 0) {
            *out++ = 0;
            n--;
            x = 1;
            continue;
        }
        uint64_t take = stride - x < n ? stride - x : n;
        const uint8_t *src = r->pixels + y * r->w * (uint64_t)r->channels;
        if (!r->gray || r->channels == 1) {
            memcpy(out, src + (x - 1), (size_t)take);
        } else {
            for (uint64_t k = 0; k < take; k++) out[k] = src[(x - 1 + k) * 4u];
        }
        out += take;
        n -= take;
        x += take;
        if (x == stride) {
            x = 0;
            y++;
        }
    }
}

// channels: 1 for gray input, 4 for RGBA input.
static uint8_t *png_encode_any(int width, int height, const uint8_t *pixels, int channels,
                               int32_t threads, uint64_t *size) {
    if (width <= 0 || height <= 0 || !pixels || !size) return nullptr;

    uint64_t w = (uint64_t)width, h = (uint64_t)height;  // each < 2^31
    int gray = channels == 1 || rgba_is_gray(pixels, w * h);
    uint64_t row_bytes = gray ? w : w * 4u;             // < 2^33
    uint64_t raw_len = h * (row_bytes + 1u);             // < 2^64
    if (!fits_size(raw_len)) return nullptr;

    // The rows (each a filter byte, then the pixels) are made as the encoder's threads need them.
    png_rows rows = {pixels, w, channels, gray, row_bytes};
    deflate_source source = {png_rows_fill, &rows, raw_len};
    // The file is built around the compressed stream where it lies: the signature, the IHDR chunk
    // and the IDAT chunk's length and type go before it, the IDAT CRC and the IEND chunk after.
    const uint64_t head = 8 + (12 + 13) + 8;
    uint8_t *out = nullptr;
    uint64_t len = 0;
    if (qv_deflate_source(&source, head, &out, &len, threads) != 0) return nullptr;
    uint64_t zs_len = len - head;
    // A PNG that lacks a chunk is no PNG: an IDAT too long for one chunk abandons the whole file.
    uint8_t *t = zs_len <= png_max_chunk && fits_size(len + 16u) ? (uint8_t *)realloc(out, (size_t)(len + 16u)) : nullptr;
    if (!t) {
        free(out);
        return nullptr;
    }
    out = t;
    memcpy(out, png_signature, 8);
    uint8_t *p = out + 8;
    put_be32(p, 13);
    memcpy(p + 4, "IHDR", 4);
    put_be32(p + 8, (uint32_t)width);
    put_be32(p + 12, (uint32_t)height);
    p[16] = 8;                          // bit depth
    p[17] = gray ? (uint8_t)0 : (uint8_t)6;  // colour type
    p[18] = p[19] = p[20] = 0;          // compression, filter, interlace
    put_be32(p + 21, crc_update(0xFFFFFFFFu, p + 4, 17) ^ 0xFFFFFFFFu);
    p += 25;
    put_be32(p, (uint32_t)zs_len);
    memcpy(p + 4, "IDAT", 4);
    put_be32(out + len, crc_update(0xFFFFFFFFu, p + 4, zs_len + 4u) ^ 0xFFFFFFFFu);
    p = out + len + 4;
    put_be32(p, 0);
    memcpy(p + 4, "IEND", 4);
    put_be32(p + 8, crc_update(0xFFFFFFFFu, p + 4, 4) ^ 0xFFFFFFFFu);
    *size = len + 16u;
    return out;
}

uint8_t *qv_png_encode(int width, int height, const uint8_t *rgba, uint64_t *size) {
    return png_encode_any(width, height, rgba, 4, qv_deflate_thread_count(), size);
}

uint8_t *qv_png_encode_gray(int width, int height, const uint8_t *gray, uint64_t *size) {
    return png_encode_any(width, height, gray, 1, qv_deflate_thread_count(), size);
}

uint8_t *qv_png_encode_with(int width, int height, const uint8_t *pixels, int gray, int32_t threads,
                            uint64_t *size) {
    return png_encode_any(width, height, pixels, gray ? 1 : 4, threads, size);
}

int qv_png_write(const char *path, int width, int height, const uint8_t *rgba) {
    if (height <= 0 || !rgba || width <= 0 || !path) return 0;
    uint64_t len = 0;
    uint8_t *png = png_encode_any(width, height, rgba, 4, qv_deflate_thread_count(), &len);
    if (!png) return 0;
    FILE *f = fopen(path, "wb");
    if (!f) {
        free(png);
        return 0;
    }
    size_t written = fwrite(png, 1, (size_t)len, f);
    // fclose flushes the buffered tail: its failure means bytes did not reach the file.
    int closed = fclose(f) == 0;
    free(png);
    return closed && (uint64_t)written == len ? 1 : 0;
}

// ---------------------------------------------------------------------------------------------
// Decoder

// What the chunk walk gathers from one file. plte_len and trns_len are byte counts.
struct png_info {
    uint32_t width, height;  // 0: no IHDR seen
    uint8_t depth, ctype, interlace;
    int has_plte;
    uint32_t plte_len;
    uint8_t plte[768];
    uint8_t *trns;  // owned; null when absent
    uint64_t trns_len;
    uint8_t *idat;  // owned; the IDAT data of all chunks in order
    uint64_t idat_len, idat_cap;
    int has_idat;
};

// Reads the whole file. 0, or -1 with nothing allocated.
static int read_file(const char *path, uint8_t **data, uint64_t *size) {
    if (!path) return -1;
    FILE *f = fopen(path, "rb");
    if (!f) return -1;
    // A directory opens and measures as 2^63 - 1 bytes on Linux; its first read fails.
    if (fgetc(f) == EOF && ferror(f)) {
        fclose(f);
        return -1;
    }
    long end = -1;
    if (fseek(f, 0, SEEK_END) == 0) end = ftell(f);
    if (end < 0 || fseek(f, 0, SEEK_SET) != 0 || !fits_size((uint64_t)end)) {
        fclose(f);
        return -1;
    }
    uint64_t n = (uint64_t)end;
    uint8_t *d = (uint8_t *)malloc(n > 0 ? (size_t)n : 1u);
    if (!d) {
        fclose(f);
        return -1;
    }
    size_t got = n > 0 ? fread(d, 1, (size_t)n, f) : 0;
    fclose(f);
    if ((uint64_t)got != n) {
        free(d);
        return -1;
    }
    *data = d;
    *size = n;
    return 0;
}

static int type_is(const uint8_t *t, const char *name) { return memcmp(t, name, 4) == 0; }

// Appends n IDAT bytes; the array starts at 64 KiB and doubles, or grows at once to what is needed.
static int idat_append(png_info *info, const uint8_t *p, uint64_t n) {
    uint64_t need = info->idat_len + n;  // both bounded by the file's size
    if (need > info->idat_cap) {
        uint64_t cap = info->idat_cap ? info->idat_cap * 2u : idat_first_cap;
        if (cap < need) cap = need;
        if (!fits_size(cap)) return -1;
        void *t = realloc(info->idat, (size_t)cap);
        if (!t) return -1;
        info->idat = (uint8_t *)t;
        info->idat_cap = cap;
    }
    if (n > 0) memcpy(info->idat + info->idat_len, p, (size_t)n);
    info->idat_len = need;
    return 0;
}

// Walks the chunks from offset 8 up to IEND or the end of the file. NULL, or the failure's text.
static const char *walk_chunks(const uint8_t *d, uint64_t size, png_info *info) {
    uint64_t pos = 8;
    while (size - pos >= 8) {
        uint64_t n = get_be32(d + pos);
        const uint8_t *type = d + pos + 4;
        if (n + 4u > size - pos - 8u) return "png: truncated chunk";
        const uint8_t *body = d + pos + 8;
        if (type_is(type, "IHDR")) {
            if (n != 13) return "png: bad IHDR length";
            uint32_t w = get_be32(body), h = get_be32(body + 4);
            // Read as signed 32-bit: 0 and values with the top bit set are <= 0.
            if (w == 0 || h == 0 || w > 0x7FFFFFFFu || h > 0x7FFFFFFFu ||
                (uint64_t)w * h > max_decode_pixels)
                return "png: image too large";
            info->width = w;
            info->height = h;
            info->depth = body[8];
            info->ctype = body[9];
            info->interlace = body[12];
        } else if (type_is(type, "PLTE")) {
            if (n > 768 || n % 3 != 0) return "png: bad PLTE";
            if (n > 0) memcpy(info->plte, body, (size_t)n);
            info->plte_len = (uint32_t)n;
            info->has_plte = 1;
        } else if (type_is(type, "tRNS")) {
            uint8_t *t = (uint8_t *)malloc(n > 0 ? (size_t)n : 1u);
            if (!t) return "png: out of memory";
            if (n > 0) memcpy(t, body, (size_t)n);
            free(info->trns);
            info->trns = t;
            info->trns_len = n;
        } else if (type_is(type, "IDAT")) {
            if (idat_append(info, body, n) != 0) return "png: out of memory";
            info->has_idat = 1;
        } else if (type_is(type, "IEND")) {
            break;
        }
        pos += n + 12u;
    }
    return nullptr;
}

// The checks after the walk, in their fixed order. NULL, or the failure's text.
static const char *check_format(const png_info *info) {
    if (info->width == 0 || info->height == 0 || !info->has_idat) return "png: missing IHDR or IDAT";
    if (info->interlace != 0) return "png: interlaced PNG not supported";
    uint8_t ct = info->ctype, bd = info->depth;
    if (ct == 1 || ct == 5 || ct > 6) return "png: unsupported color type";
    if (ct == 3 && !info->has_plte) return "png: palette PNG without PLTE";
    if (bd != 1 && bd != 2 && bd != 4 && bd != 8 && bd != 16) return "png: unsupported bit depth";
    // RGB, gray with alpha and RGBA exist only at depths 8 and 16 in PNG.
    if ((ct == 2 || ct == 4 || ct == 6) && bd < 8) return "png: unsupported bit depth";
    if (ct == 3 && bd == 16) return "png: 16-bit palette not supported";
    return nullptr;
}

static uint32_t channels_of(uint8_t ctype) {
    switch (ctype) {
    case 2: return 3;
    case 4: return 2;
    case 6: return 4;
    default: return 1;  // 0 gray, 3 palette
    }
}

// Undoes the row filters in place; raw holds rows of 1 + row_bytes bytes, the filter type first.
// The row above is the previous row already reconstructed in raw (zeros above the first row);
// unknown types leave the row as it is.
static void unfilter_rows(uint8_t *raw, uint64_t rows, uint64_t row_bytes, uint64_t dist) {
    for (uint64_t y = 0; y < rows; y++) {
        uint8_t *cur = raw + y * (row_bytes + 1u) + 1;
        png_unfilter_row(cur[-1], cur, cur, y > 0 ? cur - (row_bytes + 1u) : nullptr, row_bytes, dist);
    }
}

// One sample of depth 1, 2 or 4 (packed from the most significant bit), sample x of the row.
static uint32_t packed_sample(const uint8_t *row, uint64_t x, uint32_t depth) {
    uint32_t per_byte = 8u / depth;
    uint32_t shift = 8u - depth * ((uint32_t)(x % per_byte) + 1u);
    return ((uint32_t)row[x / per_byte] >> shift) & ((1u << depth) - 1u);
}

// Converts the unfiltered rows to RGBA. The format passed check_format: depths below 8 only for
// gray and palette, palettes at most 8 bits.
static void convert_pixels(const png_info *info, const uint8_t *raw, uint64_t row_bytes,
                           uint8_t *out) {
    uint64_t w = info->width, h = info->height;
    uint32_t depth = info->depth, ch = channels_of(info->ctype);
    uint32_t bps = depth == 16 ? 2u : 1u;  // bytes per sample at depths 8 and 16
    int gray_key = info->trns && info->trns_len >= 2 && depth <= 8;
    uint32_t key = gray_key ? ((uint32_t)info->trns[0] << 8) | info->trns[1] : 0;
    uint32_t plte_entries = info->plte_len / 3u;
    for (uint64_t y = 0; y < h; y++) {
        const uint8_t *row = raw + y * (row_bytes + 1u) + 1;
        uint8_t *o = out + y * w * 4u;
        for (uint64_t x = 0; x < w; x++, o += 4) {
            // The pixel's first byte at depths 8 and 16; packed samples are read by packed_sample.
            const uint8_t *p = depth >= 8 ? row + x * ch * bps : row;
            switch (info->ctype) {
            case 0: {
                uint32_t s = depth >= 8 ? p[0] : packed_sample(row, x, depth);
                uint32_t v = depth >= 8 ? s : s * 255u / ((1u << depth) - 1u);
                o[0] = o[1] = o[2] = (uint8_t)v;
                o[3] = gray_key && s == key ? 0 : 255;
                break;
            }
            case 3: {
                uint32_t idx = depth == 8 ? p[0] : packed_sample(row, x, depth);
                if (idx < plte_entries) {
                    memcpy(o, info->plte + idx * 3u, 3);
                    o[3] = info->trns && idx < info->trns_len ? info->trns[idx] : 255;
                } else {
                    o[0] = o[1] = o[2] = 0;  // no such entry: opaque black
                    o[3] = 255;
                }
                break;
            }
            case 2:
                o[0] = p[0];
                o[1] = p[bps];
                o[2] = p[2 * bps];
                o[3] = 255;
                break;
            case 4:
                o[0] = o[1] = o[2] = p[0];
                o[3] = p[bps];
                break;
            default:  // 6
                o[0] = p[0];
                o[1] = p[bps];
                o[2] = p[2 * bps];
                o[3] = p[3 * bps];
                break;
            }
        }
    }
}

// The decoder proper: the pixels, or NULL with *err set to a failure text.
static uint8_t *decode_png(const char *path, png_info *info, const char **err) {
    uint8_t *data = nullptr, *raw = nullptr, *out = nullptr;
    uint64_t size = 0;
    if (read_file(path, &data, &size) != 0) {
        *err = "png: cannot read file";
        return nullptr;
    }
    const char *e = nullptr;
    uint64_t bpp = 0, row_bytes = 0, dist = 0, inflated = 0;
    int32_t got = 0;
    if (size < 8 || memcmp(data, png_signature, 8) != 0) {
        e = "png: not a PNG file (bad signature)";
        goto done;
    }
    if (size < 16) {
        e = "png: missing IHDR or IDAT";
        goto done;
    }
    if ((e = walk_chunks(data, size, info)) != nullptr) goto done;
    if ((e = check_format(info)) != nullptr) goto done;

    bpp = (uint64_t)channels_of(info->ctype) * info->depth;  // 1 to 64
    row_bytes = ((uint64_t)info->width * bpp + 7u) / 8u;
    dist = bpp >= 8 ? bpp / 8u : 1u;
    inflated = (uint64_t)info->height * (row_bytes + 1u);  // < 2^34 with at most 2^30 pixels
    if (inflated > max_inflated) {
        e = "png: image too large";
        goto done;
    }
    raw = (uint8_t *)malloc((size_t)inflated);
    if (!raw) {
        e = "png: out of memory";
        goto done;
    }
    // RFC 1950 2.2: deflate (CM 8) with a window of at most 32 KiB (CINFO 7), whatever its size
    // (poppler writes 2 KiB), the header a multiple of 31, no preset dictionary.
    if (info->idat_len < 6 || (info->idat[0] & 0x0F) != 8 || info->idat[0] >> 4 > 7 ||
        ((uint32_t)info->idat[0] << 8 | info->idat[1]) % 31u != 0 || (info->idat[1] & 0x20)) {
        e = "png: bad zlib header in IDAT";
        goto done;
    }
    got = qv_inflate(info->idat + 2, info->idat_len - 6u, raw, inflated);
    if (got < 0 || (uint64_t)got != inflated) {
        e = "png: inflate failed (corrupt or truncated stream)";
        goto done;
    }
    if (qv_adler32(raw, inflated) != get_be32(info->idat + info->idat_len - 4u)) {
        e = "png: adler-32 checksum mismatch";
        goto done;
    }
    unfilter_rows(raw, info->height, row_bytes, dist);
    out = (uint8_t *)malloc((size_t)((uint64_t)info->width * info->height * 4u));
    if (!out) {
        e = "png: out of memory";
        goto done;
    }
    convert_pixels(info, raw, row_bytes, out);

done:
    free(raw);
    free(data);
    *err = e;
    return out;
}

uint8_t *qv_png_decode(const char *path, int *width, int *height, const char **message) {
    if (width) *width = 0;
    if (height) *height = 0;
    png_info info;
    memset(&info, 0, sizeof info);
    const char *err = nullptr;
    uint8_t *out = decode_png(path, &info, &err);
    free(info.trns);
    free(info.idat);
    if (!out) {
        if (message) *message = err ? err : "png: out of memory";
        return nullptr;
    }
    if (width) *width = (int)info.width;
    if (height) *height = (int)info.height;
    if (message) *message = "";
    return out;
}
