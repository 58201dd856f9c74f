// pdfcore/objstm.cpp - object streams: their objects unpacked into the index at the load, their data
// decoded again and kept when one of their objects is first needed, and the final choice of one
// entry per object number between a direct and a packed definition.
#include "pdfcore/pdfcore.h"

#include <cstdlib>
#include <cstring>

#include "pdfcore/stream.h"

// ---- containers ---------------------------------------------------------------------------------

// A /Type /ObjStm stream of the file: its dictionary's text names /ObjStm.
static bool is_container(const pdfcore_doc *doc, const pdfcore_obj *e) {
    pdfcore_span s;
    return !e->in_objstm && e->is_stream && e->dict_off >= 0 && pdfcore_obj_span(doc, e, &s) &&
           pdfcore_find_key(&s, "ObjStm") >= 0;
}

// First value of /key in s that is >= min, or -1.
static int32_t dict_int(const pdfcore_span &s, const char *key, int32_t min) {
    int32_t skip = (int32_t)strlen(key) + 1;
    for (int32_t p = find_name(s.text, s.end, s.start, s.end, key); p >= 0;
         p = find_name(s.text, s.end, p + 1, s.end, key)) {
        int32_t q = skip_ws(s.text, p + skip, s.end);
        int32_t v = parse_int_at(s.text, s.end, &q);
        if (v >= min) return v;
    }
    return -1;
}

// The container's data through its filters, in a new malloc'd buffer; NULL when given up (it does
// not decode, or decodes to more than objstm_max_decoded bytes).
static uint8_t *container_data(const pdfcore_doc *doc, const pdfcore_obj *e, uint64_t *out_len) {
    stream_opts o;
    memset(&o, 0, sizeof o);
    o.limit = objstm_max_decoded;
    uint8_t *block = nullptr;
    int cut = 0;
    if (stream_decode(doc, e, &o, &block, out_len, &cut) != 0) return nullptr;
    if (cut) {
        free(block);
        return nullptr;
    }
    return block;
}

// Keeps container e in doc->stms: its index there, or -1 (no memory).
static int32_t keep_container(pdfcore_doc *doc, const pdfcore_obj *e) {
    int32_t cap = doc->stm_count;  // the array is grown exactly: containers are few
    void *t = realloc(doc->stms, ((size_t)cap + 1) * sizeof *doc->stms);
    if (!t) return -1;
    doc->stms = (pdfcore_stm *)t;
    doc->stms[cap] = pdfcore_stm{*e, nullptr, 0};
    return doc->stm_count++;
}

// The objects listed in the container's decoded data block[0, olen) (n of them, texts from first),
// appended to the index as packed entries of container index stm. 1 when any was appended.
static int32_t append_packed(pdfcore_doc *doc, const pdfcore_obj *e, int32_t stm, const uint8_t *block,
                             int32_t olen, int32_t n, int32_t first) {
    int32_t *nums = (int32_t *)malloc((size_t)n * sizeof(int32_t));
    int32_t *offs = (int32_t *)malloc((size_t)n * sizeof(int32_t));
    int32_t appended = 0;
    int32_t pos = 0;
    if (!nums || !offs) goto done;
    for (int32_t k = 0; k < n; k++) {
        nums[k] = read_int_adv(block, olen, &pos);
        offs[k] = read_int_adv(block, olen, &pos);
        if (nums[k] < 0 || offs[k] < 0) goto done;
    }
    for (int32_t k = 0; k < n; k++) {
        int64_t start = (int64_t)first + offs[k];
        int64_t size;
        if (k < n - 1) {
            if (nums[k] <= 0) continue;
            size = (int64_t)offs[k + 1] - offs[k];
        } else {
            if (nums[k] <= 0) break;
            size = (int64_t)olen - start;
        }
        // An object whose text would leave the decompressed data is skipped.
        if (size < 1 || size > objstm_max_obj_len || start + size > olen) continue;
        pdfcore_obj o;
        memset(&o, 0, sizeof o);
        o.num = nums[k];
        o.head_off = o.dict_off = o.stream_kw_off = o.data_off = o.data_end = -1;
        o.endobj_off = o.end_off = o.stream_len = -1;
        o.in_objstm = 1;
        o.stm_head_off = e->head_off;
        o.stm_index = stm;
        o.stm_off = (int32_t)start;  // < olen
        o.body_len = (int32_t)size;
        if (objvec_push(&doc->objs, &o) == 0) appended = 1;
    }
done:
    free(nums);
    free(offs);
    return appended;
}

int32_t extract_objstm(pdfcore_doc *doc, const pdfcore_obj *entry) {
    const pdfcore_obj e = *entry;  // appending may move the index's array
    if (e.dict_off < 0 || e.data_off < 0 || e.data_end < e.data_off || e.data_end > doc->size) return 0;
    if (e.data_end - e.data_off > objstm_max_data) return 0;
    pdfcore_span s;
    if (!pdfcore_obj_span(doc, &e, &s)) return 0;
    int32_t n = dict_int(s, "N", 1);
    int32_t first = dict_int(s, "First", 0);
    uint64_t out_len = 0;
    uint8_t *block = container_data(doc, &e, &out_len);
    if (!block) return 0;
    int32_t olen = (int32_t)out_len;  // out_len <= objstm_max_decoded
    int32_t appended = 0;
    if (n >= 1 && n <= objstm_max_objects && first >= 0 && olen >= first) {
        int32_t stm = keep_container(doc, &e);
        appended = stm >= 0 ? append_packed(doc, &e, stm, block, olen, n, first) : 0;
        if (stm >= 0 && !appended) doc->stm_count--;
    }
    // The data is decoded again, and kept, when one of its objects is first needed.
    free(block);
    return appended;
}

void extract_all_objstm(pdfcore_doc *doc) {
    for (int32_t i = 0; i < doc->objs.count; i++)
        if (is_container(doc, &doc->objs.items[i])) (void)extract_objstm(doc, &doc->objs.items[i]);
}

int objstm_data(const pdfcore_doc *cdoc, int32_t index, const uint8_t **data, int64_t *len) {
    if (index < 0 || index >= cdoc->stm_count) return 0;
    pdfcore_doc *doc = const_cast<pdfcore_doc *>(cdoc);  // the decoded data is kept in the record
    pdfcore_stm *st = &doc->stms[index];
    if (!st->data && st->len == 0) {
        st->len = -1;  // also while it decodes: a reference back to it finds nothing
        uint64_t n = 0;
        uint8_t *block = container_data(doc, &st->entry, &n);
        if (block && arena_adopt(&doc->arena, block) == 0) {
            st->data = block;
            st->len = (int64_t)n;
        }
    }
    if (!st->data) return 0;
    *data = st->data;
    *len = st->len;
    return 1;
}

// ---- final selection ---------------------------------------------------------------------------

// Fallback without tables: every direct entry that is not a container; a packed entry only when
// the file defines no entry of that number itself.
static int32_t select_without_tables(pdfcore_doc *doc, objvec *objs, objvec *out) {
    int32_t max_num = 0;
    for (int32_t i = 0; i < objs->count; i++) {
        const pdfcore_obj *e = &objs->items[i];
        if (e->num < 0 || e->num > max_obj_num) continue;
        bool keep;
        if (e->in_objstm) {
            keep = true;
            for (int32_t j = 0; j < objs->count && keep; j++)
                if (objs->items[j].num == e->num && !objs->items[j].in_objstm) keep = false;
        } else {
            keep = !is_container(doc, e);
        }
        if (keep && objvec_push(out, e) == 0 && e->num > max_num) max_num = e->num;
    }
    return max_num;
}

int32_t select_objects(pdfcore_doc *doc) {
    objvec *objs = &doc->objs;
    int32_t m = 0;
    for (int32_t i = 0; i < objs->count; i++) {
        int32_t num = objs->items[i].num;
        if (num <= max_obj_num && num > m) m = num;
    }
    int32_t *direct = (int32_t *)malloc(((size_t)m + 1) * sizeof(int32_t));
    int32_t *packed = (int32_t *)malloc(((size_t)m + 1) * sizeof(int32_t));
    int32_t max_num = 0;
    if (!direct || !packed) {
        objvec out = {nullptr, 0, 0, nullptr, 0};
        max_num = select_without_tables(doc, objs, &out);
        free(objs->items);
        *objs = out;
    } else {
        for (int32_t k = 0; k <= m; k++) direct[k] = packed[k] = -1;
        for (int32_t j = 0; j < objs->count; j++) {
            const pdfcore_obj *e = &objs->items[j];
            if (e->num < 0 || e->num > m) continue;
            if (e->in_objstm) packed[e->num] = j;
            else if (!is_container(doc, e)) direct[e->num] = j;
        }
        // Kept entries move down in place (the tables hold the positions from before): the index
        // is never held twice.
        free(objs->lookup);
        objs->lookup = nullptr;
        objs->lookup_max = 0;
        int32_t kept = 0;
        for (int32_t i = 0; i < objs->count; i++) {
            const pdfcore_obj *e = &objs->items[i];
            if (e->num < 0 || e->num > m) continue;
            bool keep = e->in_objstm ? (direct[e->num] == -1 && packed[e->num] == i)
                                     : direct[e->num] == i;  // containers never hold direct
            if (!keep) continue;
            if (e->num > max_num) max_num = e->num;
            objs->items[kept++] = *e;
        }
        objs->count = kept;
    }
    free(direct);
    free(packed);
    return max_num;
}
