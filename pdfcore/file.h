// pdfcore/file.h - a PDF file read in pieces, never held whole and never mapped: a source (an open
// file read with pread, or bytes in memory) and a window over it, a buffer of bounded size that is
// refilled on demand, through which a reader reaches any position of the file.
//
// Positions and sizes are int64_t: files of any size. A read that comes back short (the file shrank
// under the reader, or the device failed) makes the window fail for good: from then on it gives no
// bytes (null, -1), so every reader stops at once, and the caller reports the failure.
#ifndef QV_PDFCORE_FILE_H
#define QV_PDFCORE_FILE_H
#include <cstdint>

// ---- constants ----------------------------------------------------------------------------------

const int64_t win_library_cap = (int64_t)1 << 18;  // the window the library scans files through:
                                                    // small enough that the bytes read stay in
                                                    // the cache while the scan looks at them
const int64_t win_min_cap = 64;                     // the smallest window (tests use tiny ones)
const int64_t win_max_keep = 4096;    // bytes kept before a position a forward refill is asked for
const int64_t win_jump_read = 65536;  // bytes the first refill after a jump reads; doubled on reading on

// ---- structs ------------------------------------------------------------------------------------

// Where bytes come from. All zero is no source.
struct file_source {
    int fd;                // >= 0: an open file, read with pread; -1: bytes in memory
    const uint8_t *bytes;  // memory: the bytes
    int64_t held;          // memory: bytes at bytes; a read past them comes back short
    int64_t size;          // the size taken when the source was made: the file's end for its readers
};

// A window of the source: buf holds the file's bytes [base, base + len), len <= cap. The window
// keeps a few bytes before each position it is refilled for (win_max_keep, at most a quarter of
// it), so that a token or keyword that straddles the old end is seen whole, and a reader that
// looks a little back (the byte before a keyword, an object header before `obj`) finds it held.
struct file_window {
    const file_source *src;
    uint8_t *buf;   // cap bytes, malloc'd
    int64_t cap;
    int64_t base;   // file position of buf[0]
    int64_t len;    // bytes held
    int64_t size;   // src->size
    int64_t ahead;  // bytes the last refill read: doubled while reading goes on, win_jump_read (at
                    // most cap) after a jump; a reader sets cap to read straight through, 0 to
                    // read at scattered places
    int failed;     // sticky: a read came back short or failed; no bytes are given from then on
};

// ---- functions ----------------------------------------------------------------------------------

// A source reading the open file fd (not taken over: the caller closes it); its size is fstat's now.
// 0, or -1 when fstat fails or fd is no regular file.
int src_from_fd(file_source *s, int fd);
// A source of memory: held bytes at bytes, taken as a file of size bytes (size > held reads as a
// file that shrank after its size was taken: reads past held come back short).
void src_from_memory(file_source *s, const uint8_t *bytes, int64_t held, int64_t size);
// Reads n bytes at pos into dst (pread retried on EINTR and looped over short reads). Returns the
// bytes read: n, or fewer when the source ends first or a read fails. Never reads past s->size.
int64_t src_read(const file_source *s, int64_t pos, uint8_t *dst, int64_t n);
// Tells the kernel how the file is about to be read: sequentially (1) or as it likes (0). Nothing for
// memory.
void src_advise_sequential(const file_source *s, int sequential);

// A window of cap bytes (at least win_min_cap) over src, empty. 0, or -1 (no memory, cap too small).
int win_init(file_window *w, const file_source *src, int64_t cap);
// Releases the buffer; all fields 0. Harmless on a zeroed window and twice.
void win_free(file_window *w);
// The byte at pos with the bytes held after it: a pointer to it and *held >= 1, and at least
// min(want, size - pos) bytes when want asks for more (want is clipped to the window's size less
// the bytes kept before pos: three quarters of it at least), refilling when needed. Null, *held 0: pos outside [0, size), or the window failed.
// The pointer stays valid until the next call on the window.
const uint8_t *win_load(file_window *w, int64_t pos, int64_t want, int64_t *held);
inline const uint8_t *win_at(file_window *w, int64_t pos, int64_t want, int64_t *held) {
    int64_t k = pos - w->base;
    if (k >= 0 && k < w->len && w->len - k >= want) {
        *held = w->len - k;
        return w->buf + k;
    }
    return win_load(w, pos, want, held);
}
// The held bytes from pos on, up to end: a pointer to the byte at pos and *n >= 1 of them,
// refilling when needed; null and *n 0 when pos >= end, pos is outside the file or the window
// failed. The readers that run over many bytes take them a piece at a time.
inline const uint8_t *win_piece(file_window *w, int64_t pos, int64_t end, int64_t *n) {
    int64_t held = 0;
    const uint8_t *p = pos < end ? win_at(w, pos, 1, &held) : nullptr;
    *n = !p ? 0 : end - pos < held ? end - pos : held;
    return p;
}
// The byte at pos (0..255), or -1 outside [0, size) or once the window failed.
inline int win_byte(file_window *w, int64_t pos) {
    uint64_t k = (uint64_t)(pos - w->base);
    if (k < (uint64_t)w->len) return w->buf[k];
    int64_t held = 0;
    const uint8_t *p = win_load(w, pos, 1, &held);
    return p ? *p : -1;
}
// 1 when the n bytes at pos (n at most a quarter of the window) are those of text, else 0.
int win_equal(file_window *w, int64_t pos, const char *text, int64_t n);
// kw_at over the window: 1 when kw stands at pos as a whole word (no word character right before or
// after it; the file's ends count as boundaries), else 0.
int win_kw_at(file_window *w, int64_t pos, const char *kw);
// find_kw over the window: the first position >= start (negative: 0) where win_kw_at gives 1, or -1.
int64_t win_find_kw(file_window *w, int64_t start, const char *kw);
// comment_end over the window: from pos (a '%'), the position of the CR or LF that ends the line, or
// end. end on a failed window.
int64_t win_comment_end(file_window *w, int64_t pos, int64_t end);
// skip_ws over the window: the first position in [pos, end) that is neither PDF whitespace nor inside
// a comment; end when none (and on a failed window); pos when pos >= end or pos < 0.
int64_t win_skip_ws(file_window *w, int64_t pos, int64_t end);
// Digits from *p (bounded by lim) with 32-bit wrap-around; *p moves past them.
uint32_t win_digits_at(file_window *w, int64_t lim, int64_t *p);
// parse_int_at over the window, bounded by lim: an integer after whitespace (comments skipped) and
// an optional '-', 32-bit wrap-around; -1 on failure. *pos moves past the digits on success only.
int32_t win_int_at(file_window *w, int64_t lim, int64_t *pos);
// The same with 64 bits (lengths, positions): a value past win_saturated reads as it.
const int64_t win_saturated = (int64_t)1 << 62;
int64_t win_int64_at(file_window *w, int64_t lim, int64_t *pos);
// find_name over the window: the '/' of the first /name in [start, end) not followed by a name
// character (a name ending at end matches), or -1.
int64_t win_find_name(file_window *w, int64_t start, int64_t end, const char *name);

#endif
