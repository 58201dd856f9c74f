// pdfcore/file.cpp - the file source (pread or memory) and the window that readers reach the file
// through, with the keyword and whitespace readers that run over it.
#include "pdfcore/file.h"

#include "codec/chars.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

// ---- source -------------------------------------------------------------------------------------

int src_from_fd(file_source *s, int fd) {
    memset(s, 0, sizeof *s);
    s->fd = -1;
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) return -1;
    s->fd = fd;
    s->size = (int64_t)st.st_size;
    return 0;
}

void src_from_memory(file_source *s, const uint8_t *bytes, int64_t held, int64_t size) {
    memset(s, 0, sizeof *s);
    s->fd = -1;
    s->bytes = bytes;
    s->held = bytes && held > 0 ? held : 0;
    s->size = size > 0 ? size : 0;
}

int64_t src_read(const file_source *s, int64_t pos, uint8_t *dst, int64_t n) {
    if (pos < 0 || n <= 0 || pos >= s->size) return 0;
    if (n > s->size - pos) n = s->size - pos;
    if (s->fd < 0) {
        int64_t there = pos < s->held ? s->held - pos : 0;
        if (n > there) n = there;
        if (n > 0) memcpy(dst, s->bytes + pos, (size_t)n);
        return n;
    }
    int64_t got = 0;
    while (got < n) {
        ssize_t r = pread(s->fd, dst + got, (size_t)(n - got), (off_t)(pos + got));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;  // the file ends early (it shrank) or the read failed
        got += (int64_t)r;
    }
    return got;
}

void src_advise_sequential(const file_source *s, int sequential) {
#ifdef POSIX_FADV_SEQUENTIAL
    if (s->fd >= 0) (void)posix_fadvise(s->fd, 0, 0, sequential ? POSIX_FADV_SEQUENTIAL : POSIX_FADV_NORMAL);
#else
    (void)s;
    (void)sequential;
#endif
}

// ---- window -------------------------------------------------------------------------------------

// Bytes kept before a position that a forward refill is for.
static int64_t keep_of(const file_window *w) { return w->cap / 4 < win_max_keep ? w->cap / 4 : win_max_keep; }

static int64_t jump_read_of(const file_window *w) { return w->cap < win_jump_read ? w->cap : win_jump_read; }

int win_init(file_window *w, const file_source *src, int64_t cap) {
    memset(w, 0, sizeof *w);
    if (cap < win_min_cap || (uint64_t)cap > (uint64_t)SIZE_MAX) return -1;
    w->buf = (uint8_t *)malloc((size_t)cap);
    if (!w->buf) return -1;
    w->src = src;
    w->cap = cap;
    w->size = src->size;
    w->ahead = jump_read_of(w);
    return 0;
}

void win_free(file_window *w) {
    free(w->buf);
    memset(w, 0, sizeof *w);
}

// Where a refill for pos starts. Reading on (pos inside the window or at its end) or jumping ahead:
// a few bytes before pos, for the readers that look back a little. Jumping back: half the read
// before pos, as readers that went back (an object header read backwards) go on going back.
static int64_t refill_base(const file_window *w, int64_t pos, int64_t need) {
    int64_t back = keep_of(w);
    if (pos < w->base) {
        if (w->ahead / 2 > back) back = w->ahead / 2;
        if (back > w->cap - need) back = w->cap - need;
    }
    return pos > back ? pos - back : 0;
}

const uint8_t *win_load(file_window *w, int64_t pos, int64_t want, int64_t *held) {
    *held = 0;
    if (w->failed || !w->buf || pos < 0 || pos >= w->size) return nullptr;
    int64_t need = want < 1 ? 1 : want;
    if (need > w->cap - keep_of(w)) need = w->cap - keep_of(w);
    if (need > w->size - pos) need = w->size - pos;
    int64_t k = pos - w->base, end = w->base + w->len;
    if (k >= 0 && k < w->len && w->len - k >= need) {
        *held = w->len - k;
        return w->buf + k;
    }
    int64_t jump = jump_read_of(w);
    bool onward = k >= 0 && pos <= end;
    w->ahead = onward ? (w->ahead > w->cap / 2 ? w->cap : w->ahead * 2) : jump;
    if (w->ahead < jump) w->ahead = jump;
    int64_t nb = refill_base(w, pos, need);
    int64_t stop = nb + (w->ahead > pos + need - nb ? w->ahead : pos + need - nb);
    if (stop > w->size) stop = w->size;
    int64_t have = 0;  // bytes of the old window that the new one starts with
    if (nb >= w->base && nb < end) {
        have = end - nb < stop - nb ? end - nb : stop - nb;
        memmove(w->buf, w->buf + (nb - w->base), (size_t)have);
    }
    w->base = nb;
    w->len = have;
    int64_t more = stop - nb - have;
    if (src_read(w->src, nb + have, w->buf + have, more) != more) {
        w->failed = 1;
        w->len = 0;
        return nullptr;
    }
    w->len = stop - nb;
    *held = w->len - (pos - nb);
    return w->buf + (pos - nb);
}

// ---- readers over the window --------------------------------------------------------------------

int win_equal(file_window *w, int64_t pos, const char *text, int64_t n) {
    if (pos < 0 || n < 0 || n > w->size - pos) return 0;
    int64_t held = 0;
    const uint8_t *p = win_at(w, pos, n, &held);
    return p && held >= n && memcmp(p, text, (size_t)n) == 0 ? 1 : 0;
}

int win_kw_at(file_window *w, int64_t pos, const char *kw) {
    int64_t n = (int64_t)strlen(kw), len = w->size;
    if (pos < 0 || pos >= len || win_byte(w, pos) != (uint8_t)kw[0]) return 0;
    if (n > len - pos || !win_equal(w, pos, kw, n)) return 0;
    if (pos > 0) {
        int c = win_byte(w, pos - 1);
        if (c < 0 || is_word((uint8_t)c)) return 0;
    }
    if (pos + n == len) return 1;
    int c = win_byte(w, pos + n);
    return c >= 0 && !is_word((uint8_t)c) ? 1 : 0;
}

// Index of the letter of kw least common in PDF text and binary data (as find_kw picks it): the
// search skips to it with memchr.
static int64_t rarest_letter(const char *kw) {
    static const char rarity[] = "jqxzkvbpywgfmuhcldrnsitoae";  // rarest first
    int64_t k = 0, best = (int64_t)sizeof rarity;
    for (int64_t i = 0; kw[i]; i++) {
        const char *r = strchr(rarity, kw[i]);
        int64_t rank = r ? (int64_t)(r - rarity) : -1;  // not a lower-case letter: rarer still
        if (rank < best) {
            best = rank;
            k = i;
        }
    }
    return k;
}

int64_t win_find_kw(file_window *w, int64_t start, const char *kw) {
    int64_t n = (int64_t)strlen(kw);
    if (n == 0 || n > w->size) return -1;
    if (start < 0) start = 0;
    const int64_t last = w->size - n;  // last position where kw fits
    const int64_t k = rarest_letter(kw);
    const uint8_t key = (uint8_t)kw[k];
    int64_t p = start;
    while (p <= last) {
        int64_t span = 0;
        const uint8_t *s = win_piece(w, p + k, last + k + 1, &span);
        if (!s) return -1;
        const void *hit = memchr(s, key, (size_t)span);
        if (!hit) {
            p += span;
            continue;
        }
        p += (const uint8_t *)hit - s;
        if (win_kw_at(w, p, kw)) return p;
        p++;
    }
    return -1;
}

int64_t win_comment_end(file_window *w, int64_t pos, int64_t end) {
    while (pos < end) {
        int64_t n = 0, k = 0;
        const uint8_t *s = win_piece(w, pos, end, &n);
        if (!s) return end;
        while (k < n && s[k] != '\n' && s[k] != '\r') k++;
        pos += k;
        if (k < n) return pos;
    }
    return pos;
}

int64_t win_skip_ws(file_window *w, int64_t pos, int64_t end) {
    if (pos < 0) return pos;
    while (pos < end) {
        int64_t n = 0, k = 0;
        const uint8_t *s = win_piece(w, pos, end, &n);
        if (!s) return end;
        while (k < n && is_pdf_ws(s[k])) k++;
        pos += k;
        if (k == n) continue;
        if (s[k] != '%') break;
        pos = win_comment_end(w, pos, end);
    }
    return pos;
}

uint32_t win_digits_at(file_window *w, int64_t lim, int64_t *p) {
    uint32_t v = 0;
    int64_t i = *p;
    for (; i < lim; i++) {
        int c = win_byte(w, i);
        if (c < '0' || c > '9') break;
        v = v * 10u + (uint32_t)(c - '0');
    }
    *p = i;
    return v;
}

// Where an integer's digits start: after whitespace (comments skipped) and an optional '-' (*neg),
// before lim; -1 when no digit is there.
static int64_t win_int_start(file_window *w, int64_t lim, int64_t p, bool *neg) {
    *neg = false;
    if (p < 0) return -1;
    p = win_skip_ws(w, p, lim);
    if (p >= lim) return -1;
    if (win_byte(w, p) == '-') {
        *neg = true;
        if (++p >= lim) return -1;
    }
    int c = win_byte(w, p);
    return c < 0 || !is_digit((uint8_t)c) ? -1 : p;
}

// parse_int_at over the window, bounded by lim.
int32_t win_int_at(file_window *w, int64_t lim, int64_t *pos) {
    bool neg = false;
    int64_t p = win_int_start(w, lim, *pos, &neg);
    if (p < 0) return -1;
    uint32_t v = win_digits_at(w, lim, &p);
    *pos = p;
    return (int32_t)(neg ? 0u - v : v);
}

int64_t win_int64_at(file_window *w, int64_t lim, int64_t *pos) {
    bool neg = false;
    int64_t p = win_int_start(w, lim, *pos, &neg);
    if (p < 0) return -1;
    int64_t v = 0;
    int c = 0;
    for (; p < lim && (c = win_byte(w, p)) >= 0 && is_digit((uint8_t)c); p++)
        v = v >= win_saturated / 10 ? win_saturated : v * 10 + (c - '0');
    *pos = p;
    return neg ? -v : v;
}

// find_name over the window: the '/' of the first /name in [start, end) not followed by a name
// character (a name ending at end matches), or -1.
int64_t win_find_name(file_window *w, int64_t start, int64_t end, const char *name) {
    if (end > w->size) end = w->size;
    if (start < 0) start = 0;
    const int64_t n = (int64_t)strlen(name);
    const int64_t last = end - 1 - n;  // last slash position leaving room for the name
    for (int64_t p = start; p <= last;) {
        int64_t span = 0;
        const uint8_t *s = win_piece(w, p, last + 1, &span);
        if (!s) return -1;
        const void *slash = memchr(s, '/', (size_t)span);
        if (!slash) {
            p += span;
            continue;
        }
        p += (const uint8_t *)slash - s;
        if (win_equal(w, p + 1, name, n)) {
            int64_t q = p + 1 + n;
            if (q == end) return p;
            int c = win_byte(w, q);
            if (c >= 0 && !is_name_cont((uint8_t)c)) return p;
        }
        p++;
    }
    return -1;
}
