// pdfcore/index.cpp - byte buffer and arena, the object index's array and lookups, and the final
// one-entry-per-number selection.
#include "pdfcore/pdfcore.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

// ---- buf and arena -----------------------------------------------------------------------------

void buf_init(buf *b) {
    b->data = (uint8_t *)malloc(buf_first_cap);
    b->len = 0;
    b->cap = b->data ? buf_first_cap : 0;
    if (b->data) b->data[0] = 0;
}

void buf_free(buf *b) {
    free(b->data);
    b->data = nullptr;
    b->len = 0;
    b->cap = 0;
}

void buf_reserve(buf *b, uint64_t n) {
    if (!b->data) {
        buf_init(b);
        if (!b->data) return;
    }
    if (n > UINT64_MAX - 1 - b->len) {  // cannot be represented: as a failed resize
        buf_free(b);
        return;
    }
    uint64_t need = b->len + n + 1;
    if (b->cap >= need) return;
    uint64_t cap = b->cap;
    while (cap < need) {
        if (cap > UINT64_MAX / 2 || cap > (uint64_t)SIZE_MAX / 2) {
            buf_free(b);
            return;
        }
        cap *= 2;
    }
    uint8_t *t = (uint8_t *)realloc(b->data, (size_t)cap);
    if (!t) {
        buf_free(b);
        return;
    }
    b->data = t;
    b->cap = cap;
}

void buf_bytes(buf *b, const uint8_t *src, uint64_t n) {
    buf_reserve(b, n);
    if (!b->data) return;
    if (n) memcpy(b->data + b->len, src, (size_t)n);
    b->len += n;
    b->data[b->len] = 0;
}

void buf_str(buf *b, const char *s) { buf_bytes(b, (const uint8_t *)s, strlen(s)); }

void buf_int(buf *b, int32_t v) {
    char tmp[32];
    snprintf(tmp, sizeof tmp, "%ld", (long)v);
    buf_str(b, tmp);
}

void *array_grow(void *items, int32_t *capacity, int32_t first, size_t elem) {
    if (*capacity > INT32_MAX / 2) return nullptr;
    int32_t cap = *capacity ? *capacity * 2 : first;
    if ((uint64_t)cap > (uint64_t)SIZE_MAX / elem) return nullptr;
    void *t = realloc(items, (size_t)cap * elem);
    if (t) *capacity = cap;
    return t;
}

int arena_adopt(arena *a, void *block) {
    if (a->count == a->capacity) {
        void *t = array_grow(a->blocks, &a->capacity, 4, sizeof *a->blocks);
        if (!t) {
            free(block);
            return -1;
        }
        a->blocks = (void **)t;
    }
    a->blocks[a->count++] = block;
    return 0;
}

void *arena_alloc(arena *a, uint64_t size) {
    if (size > (uint64_t)SIZE_MAX) return nullptr;
    void *block = malloc(size ? (size_t)size : 1);
    if (!block || arena_adopt(a, block) != 0) return nullptr;
    return block;
}

void arena_free(arena *a) {
    for (int32_t i = 0; i < a->count; i++) free(a->blocks[i]);
    free(a->blocks);
    a->blocks = nullptr;
    a->count = 0;
    a->capacity = 0;
}

// ---- object vector -----------------------------------------------------------------------------

int objvec_push(objvec *vec, const pdfcore_obj *entry) {
    free(vec->lookup);  // positions may change from here on
    vec->lookup = nullptr;
    vec->lookup_max = 0;
    pdfcore_obj copy = *entry;  // entry may point into items, which may move
    if (vec->count == vec->capacity) {
        void *t = array_grow(vec->items, &vec->capacity, 128, sizeof *vec->items);
        if (!t) return -1;
        vec->items = (pdfcore_obj *)t;
    }
    vec->items[vec->count++] = copy;
    return 0;
}

pdfcore_obj *obj_find(const objvec *vec, int32_t n) {
    if (vec->lookup) {  // covers every number of the index
        if (n < 0 || n > vec->lookup_max || vec->lookup[n] < 0) return nullptr;
        return &vec->items[vec->lookup[n]];
    }
    for (int32_t i = 0; i < vec->count; i++)
        if (vec->items[i].num == n) return &vec->items[i];
    return nullptr;
}

int32_t *obj_first_positions(const objvec *vec, int32_t *max) {
    int32_t m = 0;
    for (int32_t i = 0; i < vec->count; i++)
        if (vec->items[i].num <= max_obj_num && vec->items[i].num > m) m = vec->items[i].num;
    int32_t *table = (int32_t *)malloc(((size_t)m + 1) * sizeof(int32_t));
    if (!table) return nullptr;
    for (int32_t k = 0; k <= m; k++) table[k] = -1;
    for (int32_t i = vec->count - 1; i >= 0; i--) {
        int32_t num = vec->items[i].num;
        if (num >= 0 && num <= m) table[num] = i;
    }
    *max = m;
    return table;
}

pdfcore_obj *obj_lookup(const objvec *vec, const int32_t *table, int32_t max, int32_t n) {
    if (!table || n > max) return obj_find(vec, n);
    if (n < 0 || table[n] < 0) return nullptr;
    return &vec->items[table[n]];
}
