// The ciphers, hashes and standard security handler on hostile input. The first byte picks:
//   0  AES-CBC: a key length byte (16, 24 or 32), the key, 16 bytes of IV, then data of any
//      length: both decryption paths agree, in place too, and nothing is written past the whole
//      blocks; encryption takes the result back.
//   1  RC4: a key length byte (0 means 256), the key, then data: in place equals out of place, and
//      a second pass with the same key restores the data.
//   2  Hashes: two split points, then the message: pieces give the one-shot digest.
//   3  The security handler: /Encrypt values in the layout below, then a /Crypt filter name, an
//      object number and generation, a metadata flag, then the data. Authenticates, then decrypts
//      the data by every method with the state it got, or else a state made of the same bytes,
//      into an exact-size buffer and in place (the two must agree).
// Layout of 3, integers little-endian, a string or name as a length byte and that many bytes
// (the fields keep what fits; a name longer than security_name_cap keeps its length, so it is
// "too long"): standard u8, v u8, r u8, length i32, p i32, encrypt_metadata u8, o, u, oe, ue,
// perms, id, cf_count i8, per filter: name, cfm, length i32; stmf, strf; crypt name (length 255:
// none), num i32, gen i32, metadata u8. Bytes missing at the end read as zero.
// fuzz/make_corpus.cpp writes seeds in this layout from the qpdf fixtures.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "crypto/crypto.h"
#include "pdfcore/security.h"

struct reader {
    const uint8_t *p;
    size_t n;
    uint8_t u8() {
        if (!n) return 0;
        n--;
        return *p++;
    }
    int32_t i32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; i++) v |= (uint32_t)u8() << (8 * i);
        return (int32_t)v;
    }
    void take(uint8_t *dst, size_t len) {
        for (size_t i = 0; i < len; i++) dst[i] = u8();
    }
    void skip(size_t len) {
        size_t k = len < n ? len : n;
        p += k;
        n -= k;
    }
};

// An exact-size heap copy, so that AddressSanitizer sees a read past the end.
static uint8_t *copy_of(const uint8_t *p, size_t n) {
    uint8_t *c = (uint8_t *)malloc(n ? n : 1);
    if (c && n) memcpy(c, p, n);
    return c;
}

static void fuzz_aes(reader r) {
    static const int32_t lens[3] = {16, 24, 32};
    int32_t key_len = lens[r.u8() % 3];
    uint8_t key[32], iv0[16], iv_a[16], iv_b[16];
    r.take(key, (size_t)key_len);
    r.take(iv0, 16);
    aes_key k;
    if (aes_set_key(&k, key, key_len) != 0) abort();
    uint8_t *src = copy_of(r.p, r.n), *a = (uint8_t *)malloc(r.n + 1), *b = (uint8_t *)malloc(r.n + 1);
    if (!src || !a || !b) abort();
    size_t whole = r.n / 16 * 16;
    a[whole] = b[whole] = 0xA5;
    memcpy(iv_a, iv0, 16);
    aes_cbc_decrypt_portable(&k, iv_a, src, r.n, a);
    memcpy(iv_b, iv0, 16);
    if (aes_cbc_decrypt_accel(&k, iv_b, src, r.n, b) == 0) {
        if (memcmp(a, b, whole) != 0 || memcmp(iv_a, iv_b, 16) != 0) abort();
    }
    if (a[whole] != 0xA5) abort();
    memcpy(iv_b, iv0, 16);
    aes_cbc_decrypt(&k, iv_b, src, r.n, src);  // in place
    if (memcmp(src, a, whole) != 0) abort();
    memcpy(iv_b, iv0, 16);
    aes_cbc_encrypt(&k, iv_b, a, whole, b);
    if (memcmp(b, r.p, whole) != 0) abort();
    free(src);
    free(a);
    free(b);
}

static void fuzz_rc4(reader r) {
    int32_t key_len = r.u8();
    if (key_len == 0) key_len = 256;
    uint8_t key[256];
    r.take(key, (size_t)key_len);
    rc4_state s1, s2;
    if (rc4_init(&s1, key, key_len) != 0 || rc4_init(&s2, key, key_len) != 0) abort();
    uint8_t *in_place = copy_of(r.p, r.n), *out = (uint8_t *)malloc(r.n ? r.n : 1);
    if (!in_place || !out) abort();
    rc4_crypt(&s1, in_place, r.n, in_place);
    rc4_crypt(&s2, r.p, r.n, out);
    if (r.n && memcmp(in_place, out, r.n) != 0) abort();
    rc4_init(&s1, key, key_len);
    rc4_crypt(&s1, out, r.n, out);
    if (r.n && memcmp(out, r.p, r.n) != 0) abort();
    free(in_place);
    free(out);
}

// One hash over m in three pieces (cut at c1 and c2) gives its one-shot digest.
template <typename C>
static void pieces_agree(void (*init)(C *), void (*update)(C *, const uint8_t *, uint64_t),
                         void (*final)(C *, uint8_t *), void (*once)(const uint8_t *, uint64_t, uint8_t *),
                         size_t digest_len, const uint8_t *m, size_t n, size_t c1, size_t c2) {
    uint8_t whole[64], parts[64];
    C c;
    once(m, n, whole);
    init(&c);
    update(&c, m, c1);
    update(&c, m + c1, c2 - c1);
    update(&c, m + c2, n - c2);
    final(&c, parts);
    if (memcmp(whole, parts, digest_len) != 0) abort();
}

static void fuzz_hashes(reader r) {
    size_t cut1 = r.u8(), cut2 = cut1 + r.u8();
    if (cut1 > r.n) cut1 = r.n;
    if (cut2 > r.n) cut2 = r.n;
    uint8_t *m = copy_of(r.p, r.n);
    if (!m) abort();
    pieces_agree(md5_init, md5_update, md5_final, md5, 16, m, r.n, cut1, cut2);
    pieces_agree(sha256_init, sha256_update, sha256_final, sha256, 32, m, r.n, cut1, cut2);
    pieces_agree(sha384_init, sha512_update, sha512_final, sha384, 48, m, r.n, cut1, cut2);
    pieces_agree(sha512_init, sha512_update, sha512_final, sha512, 64, m, r.n, cut2, cut2);
    free(m);
}

// A length byte and that many bytes, of which the first cap are kept in dst: the length.
static size_t read_field(reader *r, uint8_t *dst, size_t cap) {
    size_t n = r->u8(), keep = n < cap ? n : cap;
    r->take(dst, keep);
    r->skip(n - keep);
    return n;
}

static void read_string(reader *r, uint8_t *dst, int32_t *len, size_t cap) {
    size_t n = read_field(r, dst, cap);
    *len = (int32_t)(n < cap ? n : cap);
}

static void read_name(reader *r, security_name *name) {
    name->len = (int32_t)read_field(r, name->text, (size_t)security_name_cap);
}

static void fuzz_handler(reader r) {
    pdfcore_encrypt e;
    memset(&e, 0, sizeof e);
    e.standard = r.u8() & 1;
    e.v = r.u8();
    e.r = r.u8();
    e.length = r.i32();
    e.p = r.i32();
    e.encrypt_metadata = r.u8() & 1;
    read_string(&r, e.o, &e.o_len, sizeof e.o);
    read_string(&r, e.u, &e.u_len, sizeof e.u);
    read_string(&r, e.oe, &e.oe_len, sizeof e.oe);
    read_string(&r, e.ue, &e.ue_len, sizeof e.ue);
    read_string(&r, e.perms, &e.perms_len, sizeof e.perms);
    read_string(&r, e.id, &e.id_len, sizeof e.id);
    int32_t count = (int8_t)r.u8();
    e.cf_count = count;
    for (int32_t i = 0; i < count && i < security_max_filters; i++) {
        read_name(&r, &e.cf[i].name);
        read_name(&r, &e.cf[i].cfm);
        e.cf[i].length = r.i32();
    }
    read_name(&r, &e.stmf);
    read_name(&r, &e.strf);
    security_name crypt;
    read_name(&r, &crypt);
    int32_t num = r.i32(), gen = r.i32(), metadata = r.u8() & 1;

    pdfcore_security s;
    if (security_authenticate(&e, &s) != 0) {
        // Not opened (the usual case for mutated values): a state from the same bytes, so that
        // decryption still sees the data.
        memset(&s, 0, sizeof s);
        s.v = e.v % 2 ? 5 : 4;
        s.key_len = s.v == 5 ? 32 : 16;
        memcpy(s.key, e.o, 32);
        s.stm_method = s.str_method = security_aes;
    }
    int32_t m = security_stream_method(&s, crypt.len == 255 ? nullptr : crypt.text,
                                       crypt.len > security_name_cap ? security_name_cap : crypt.len, metadata);
    if (m < -1 || m > security_aes) abort();
    for (int32_t method = -1; method <= security_aes + 1; method++) {
        uint8_t *src = copy_of(r.p, r.n), *dst = (uint8_t *)malloc(r.n ? r.n : 1);
        if (!src || !dst) abort();
        int64_t a = security_decrypt(&s, method, num, gen, src, r.n, dst);
        int64_t b = security_decrypt(&s, method, num, gen, src, r.n, src);
        if (a != b || a > (int64_t)r.n) abort();
        bool unknown = method < 0 || method > security_aes;
        int32_t object_key_len = s.v == 5 ? 32 : s.key_len + 5 < 16 ? s.key_len + 5 : 16;
        bool no_aes_key = method == security_aes && object_key_len != 16 && object_key_len != 32;
        if ((unknown || no_aes_key) != (a == -1)) abort();
        if (a > 0 && memcmp(src, dst, (size_t)a) != 0) abort();
        free(src);
        free(dst);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    reader r = {data + 1, size - 1};
    switch (data[0] & 3) {
    case 0: fuzz_aes(r); break;
    case 1: fuzz_rc4(r); break;
    case 2: fuzz_hashes(r); break;
    default: fuzz_handler(r); break;
    }
    return 0;
}
