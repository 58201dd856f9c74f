// The standard security handler: authentication with the empty user password, object keys,
// decryption of stream and string bytes.
#include "pdfcore/security.h"

#include <cstring>

#include "crypto/crypto.h"

// The 32 bytes that pad a password (ISO 32000-1 7.6.3.3, algorithm 2 step a); the empty password
// is this string whole.
static const uint8_t password_pad[32] = {
    0x28, 0xBF, 0x4E, 0x5E, 0x4E, 0x75, 0x8A, 0x41, 0x64, 0x00, 0x4E, 0x56, 0xFF, 0xFA, 0x01, 0x08,
    0x2E, 0x2E, 0x00, 0xB6, 0xD0, 0x68, 0x3E, 0x80, 0x2F, 0x0C, 0xA9, 0xFE, 0x64, 0x53, 0x69, 0x7A};

const int32_t r6_max_password = 127;  // UTF-8 bytes of a password, ISO 32000-2 7.6.4.3.3
const int32_t r6_max_udata = 48;      // the /U string, for owner passwords

// ---- names --------------------------------------------------------------------------------------

static int name_is(const uint8_t *text, int32_t len, const char *want) {
    size_t n = strlen(want);
    return len >= 0 && (size_t)len == n && memcmp(text, want, n) == 0;
}

static int names_equal(const security_name *a, const uint8_t *text, int32_t len) {
    return a->len >= 0 && a->len <= security_name_cap && a->len == len &&
           memcmp(a->text, text, (size_t)len) == 0;
}

// The method a crypt filter's /CFM stands for under handler version v, or -1.
static int32_t cfm_method(const security_name *cfm, int32_t v) {
    if (cfm->len == 0 || name_is(cfm->text, cfm->len, "None")) return security_identity;  // default
    if (v == 4 && name_is(cfm->text, cfm->len, "V2")) return security_rc4;
    if (v == 4 && name_is(cfm->text, cfm->len, "AESV2")) return security_aes;
    if (v == 5 && name_is(cfm->text, cfm->len, "AESV3")) return security_aes;
    return -1;
}

// The method of the filter named text[0, len): /Identity, else a filter of s; -2 when s has no
// filter of that name (a filter it has may itself be -1, unknown).
static int32_t filter_method(const pdfcore_security *s, const uint8_t *text, int32_t len) {
    if (name_is(text, len, "Identity")) return security_identity;
    for (int32_t i = 0; i < s->filter_count; i++)
        if (names_equal(&s->filters[i].name, text, len)) return s->filters[i].method;
    return -2;
}

// /StmF or /StrF: missing means /Identity.
static int32_t default_method(const pdfcore_security *s, const security_name *n) {
    if (n->len == 0) return security_identity;
    if (n->len > security_name_cap) return -2;
    return filter_method(s, n->text, n->len);
}

// ---- key length ---------------------------------------------------------------------------------

// Bits to bytes for a key length of 40 to 128 bits in steps of 8, else -1.
static int32_t key_bytes(int32_t bits) {
    if (bits < 40 || bits > 128 || bits % 8 != 0) return -1;
    return bits / 8;
}

// Key length in bytes under /V 1, 2 and 4 (ISO 32000-1 7.6.3.3 algorithm 2 step h), or -1.
static int32_t md5_key_len(const pdfcore_encrypt *e, const pdfcore_security *s) {
    if (e->r == 2 || e->v == 1) return 5;
    if (e->v == 2) return key_bytes(e->length < 0 ? 40 : e->length);
    // /V 4: AESV2 defines a 128-bit key. For RC4, /Length, else the crypt filter's, which this
    // handler writes in bytes (16 means 128 bits), else 128 bits.
    for (int32_t i = 0; i < s->filter_count; i++)
        if (s->filters[i].method == security_aes) return 16;
    if (e->length >= 0) return key_bytes(e->length);
    for (int32_t i = 0; i < e->cf_count && i < security_max_filters; i++) {
        const security_name *f = &e->cf[i].name;
        if (!names_equal(&e->stmf, f->text, f->len) && !names_equal(&e->strf, f->text, f->len))
            continue;
        int32_t len = e->cf[i].length;
        if (len < 0) break;
        return key_bytes(len <= 16 ? len * 8 : len);
    }
    return 16;
}

// ---- /R 2 to 4 ----------------------------------------------------------------------------------

// Algorithm 2: the file key for the empty password.
static void md5_file_key(const pdfcore_encrypt *e, int32_t n, uint8_t key[16]) {
    uint8_t p[4] = {(uint8_t)e->p, (uint8_t)(e->p >> 8), (uint8_t)(e->p >> 16), (uint8_t)(e->p >> 24)};
    static const uint8_t no_metadata[4] = {0xff, 0xff, 0xff, 0xff};
    uint8_t h[16];
    md5_ctx c;
    md5_init(&c);
    md5_update(&c, password_pad, 32);
    md5_update(&c, e->o, 32);
    md5_update(&c, p, 4);
    md5_update(&c, e->id, (uint64_t)e->id_len);
    if (e->r >= 4 && !e->encrypt_metadata) md5_update(&c, no_metadata, 4);
    md5_final(&c, h);
    if (e->r >= 3)
        for (int i = 0; i < 50; i++) md5(h, (uint64_t)n, h);
    memcpy(key, h, (size_t)n);
}

// Algorithms 6, 4 and 5: 1 when the key turns the padding into /U, else 0.
static int md5_user_ok(const pdfcore_encrypt *e, const uint8_t *key, int32_t n) {
    uint8_t x[32];
    rc4_state st;
    if (e->r == 2) {  // algorithm 4: /U is the padding under the file key
        rc4_init(&st, key, n);
        rc4_crypt(&st, password_pad, 32, x);
        return memcmp(x, e->u, 32) == 0;
    }
    // Algorithm 5: MD5 of the padding and the ID, then 20 RC4 passes under the key XOR 0..19;
    // the first 16 bytes of /U hold the result.
    md5_ctx c;
    md5_init(&c);
    md5_update(&c, password_pad, 32);
    md5_update(&c, e->id, (uint64_t)e->id_len);
    md5_final(&c, x);
    for (int i = 0; i < 20; i++) {
        uint8_t k[16];
        for (int32_t j = 0; j < n; j++) k[j] = (uint8_t)(key[j] ^ i);
        rc4_init(&st, k, n);
        rc4_crypt(&st, x, 16, x);
    }
    return memcmp(x, e->u, 16) == 0;
}

// ---- /R 5 and 6 ---------------------------------------------------------------------------------

// ISO 32000-2 algorithm 2.B: the hardened hash of pw, an 8-byte salt and udata (0 or 48 bytes).
// pw_len <= r6_max_password, udata_len <= r6_max_udata.
static void hash_r6(const uint8_t *pw, int32_t pw_len, const uint8_t *salt, const uint8_t *udata,
                    int32_t udata_len, uint8_t out[32]) {
    uint8_t k[64];
    int32_t k_len = 32;
    sha256_ctx c;
    sha256_init(&c);
    sha256_update(&c, pw, (uint64_t)pw_len);
    sha256_update(&c, salt, 8);
    sha256_update(&c, udata, (uint64_t)udata_len);
    sha256_final(&c, k);
    // K1: 64 copies of password, K and udata; at most 64 * 239 bytes, and a multiple of 16.
    uint8_t k1[64 * (r6_max_password + 64 + r6_max_udata)];
    for (int32_t round = 1;; round++) {
        uint64_t seq = (uint64_t)(pw_len + k_len + udata_len), len = 64u * seq;
        for (uint64_t i = 0; i < 64; i++) {
            uint8_t *d = k1 + i * seq;
            if (pw_len) memcpy(d, pw, (size_t)pw_len);  // pw and udata may be null when empty
            memcpy(d + pw_len, k, (size_t)k_len);
            if (udata_len) memcpy(d + pw_len + k_len, udata, (size_t)udata_len);
        }
        // E: K1 under AES-128-CBC, key the first 16 bytes of K, IV the next 16.
        aes_key ak;
        uint8_t iv[16];
        aes_set_key(&ak, k, 16);
        memcpy(iv, k + 16, 16);
        aes_cbc_encrypt(&ak, iv, k1, len, k1);
        // The first 16 bytes of E as a big-endian number, mod 3: 256 = 1 (mod 3), so the sum of
        // the bytes has the same remainder. It picks the next hash.
        uint32_t sum = 0;
        for (int i = 0; i < 16; i++) sum += k1[i];
        if (sum % 3 == 0) {
            sha256(k1, len, k);
            k_len = 32;
        } else if (sum % 3 == 1) {
            sha384(k1, len, k);
            k_len = 48;
        } else {
            sha512(k1, len, k);
            k_len = 64;
        }
        // At least 64 rounds, then until E's last byte is at most round - 32 (certain by 287).
        if (round >= 64 && (int32_t)k1[len - 1] <= round - 32) break;
    }
    memcpy(out, k, 32);
}

// /R 5 and 6 hash of the empty password, an 8-byte salt and udata (0 bytes, or /U's 48 for the
// owner password): SHA-256 under /R 5, algorithm 2.B under /R 6.
static void hash_v5(int32_t r, const uint8_t *salt, const uint8_t *udata, int32_t udata_len,
                    uint8_t out[32]) {
    if (r == 5) {
        sha256_ctx c;
        sha256_init(&c);
        sha256_update(&c, salt, 8);
        sha256_update(&c, udata, (uint64_t)udata_len);
        sha256_final(&c, out);
    } else {
        hash_r6(nullptr, 0, salt, udata, udata_len, out);
    }
}

// Algorithm 2.A for the empty password. /U (and /O) are hash(validation salt) followed by the
// validation salt (8 bytes) and the key salt (8 bytes); the file key is /UE (/OE) decrypted by
// AES-256-CBC (zero IV, no padding) under hash(key salt). As the user password first; else as the
// owner password, whose hashes also take /U's 48 bytes (a file whose owner password is empty
// opens without its user password). 0, or -1 when neither matches, or the matching one's /UE or
// /OE is shorter than 32 bytes.
static int v5_file_key(const pdfcore_encrypt *e, pdfcore_security *s) {
    uint8_t h[32];
    const uint8_t *wrapped = e->ue;
    hash_v5(e->r, e->u + 32, nullptr, 0, h);
    if (memcmp(h, e->u, 32) == 0 && e->ue_len >= 32) {
        hash_v5(e->r, e->u + 40, nullptr, 0, h);
    } else {
        hash_v5(e->r, e->o + 32, e->u, 48, h);
        if (memcmp(h, e->o, 32) != 0 || e->oe_len < 32) return -1;
        hash_v5(e->r, e->o + 40, e->u, 48, h);
        wrapped = e->oe;
    }
    aes_key k;
    uint8_t iv[16] = {0};
    aes_set_key(&k, h, 32);
    aes_cbc_decrypt(&k, iv, wrapped, 32, s->key);
    s->key_len = 32;
    // /Perms: the permissions, 'T' or 'F' for /EncryptMetadata, then "adb", under AES-256 (one
    // block, no chaining) with the file key.
    if (e->perms_len >= 16) {
        uint8_t p[16];
        aes_set_key(&k, s->key, 32);
        aes_decrypt_block(&k, e->perms, p);
        s->perms_ok = memcmp(p + 9, "adb", 3) == 0 && p[8] == (e->encrypt_metadata ? 'T' : 'F');
    }
    return 0;
}

// ---- interface ----------------------------------------------------------------------------------

static int authenticate(const pdfcore_encrypt *e, pdfcore_security *s) {
    if (e->standard != 1) return -1;
    int known = ((e->v == 1 || e->v == 2) && (e->r == 2 || e->r == 3)) || (e->v == 4 && e->r == 4) ||
                (e->v == 5 && (e->r == 5 || e->r == 6));
    if (!known) return -1;
    s->v = e->v;
    s->r = e->r;
    s->encrypt_metadata = e->v >= 4 ? (e->encrypt_metadata ? 1 : 0) : 1;
    if (e->v < 4) {
        s->stm_method = s->str_method = security_rc4;
    } else {
        int32_t n = e->cf_count < security_max_filters ? e->cf_count : security_max_filters;
        for (int32_t i = 0; i < n; i++) {
            s->filters[i].name = e->cf[i].name;
            s->filters[i].method = cfm_method(&e->cf[i].cfm, e->v);
        }
        s->filter_count = n < 0 ? 0 : n;
        s->stm_method = default_method(s, &e->stmf);
        s->str_method = default_method(s, &e->strf);
        if (s->stm_method < 0 || s->str_method < 0) return -1;
    }
    if (e->v == 5) {
        if (e->o_len < 48 || e->u_len < 48) return -1;
        return v5_file_key(e, s);
    }
    if (e->o_len < 32 || e->u_len < 32 || e->id_len < 0 || e->id_len > security_id_cap) return -1;
    int32_t n = md5_key_len(e, s);
    if (n < 0) return -1;
    md5_file_key(e, n, s->key);
    s->key_len = n;
    return md5_user_ok(e, s->key, n) ? 0 : -1;
}

int security_authenticate(const pdfcore_encrypt *e, pdfcore_security *s) {
    memset(s, 0, sizeof *s);
    if (authenticate(e, s) == 0) return 0;
    memset(s, 0, sizeof *s);
    return -1;
}

int32_t security_stream_method(const pdfcore_security *s, const uint8_t *crypt_name,
                               int32_t name_len, int32_t is_metadata) {
    if (crypt_name) {
        int32_t m = filter_method(s, crypt_name, name_len);
        return m < 0 ? -1 : m;
    }
    if (is_metadata && !s->encrypt_metadata) return security_identity;
    return s->stm_method;
}

int32_t security_object_key(const pdfcore_security *s, int32_t method, int32_t num, int32_t gen,
                            uint8_t key[32]) {
    if (method != security_rc4 && method != security_aes) return -1;
    if (s->v == 5) {
        memcpy(key, s->key, 32);
        return 32;
    }
    // ISO 32000-1 7.6.2 algorithm 1.
    uint8_t tail[9] = {(uint8_t)num, (uint8_t)(num >> 8), (uint8_t)(num >> 16), (uint8_t)gen,
                       (uint8_t)(gen >> 8), 's', 'A', 'l', 'T'};
    uint8_t h[16];
    md5_ctx c;
    md5_init(&c);
    md5_update(&c, s->key, (uint64_t)s->key_len);
    md5_update(&c, tail, method == security_aes ? 9u : 5u);
    md5_final(&c, h);
    int32_t n = s->key_len + 5 < 16 ? s->key_len + 5 : 16;
    memcpy(key, h, (size_t)n);
    return n;
}

int64_t security_decrypt(const pdfcore_security *s, int32_t method, int32_t num, int32_t gen,
                         const uint8_t *src, uint64_t len, uint8_t *dst) {
    if (method == security_identity) {
        if (dst != src && len) memmove(dst, src, (size_t)len);
        return (int64_t)len;
    }
    uint8_t key[32];
    int32_t key_len = security_object_key(s, method, num, gen, key);
    if (key_len < 0) return -1;
    if (method == security_rc4) {
        rc4_state st;
        rc4_init(&st, key, key_len);
        rc4_crypt(&st, src, len, dst);
        return (int64_t)len;
    }
    aes_key k;
    if (aes_set_key(&k, key, key_len) != 0) return -1;  // an RC4 state's short key
    if (len < 32) return 0;
    uint64_t n = (len - 16u) / 16u * 16u;
    uint8_t iv[16];
    memcpy(iv, src, 16);
    aes_cbc_decrypt(&k, iv, src + 16, n, dst);
    uint8_t pad = dst[n - 1];
    if (pad < 1 || pad > 16) return (int64_t)n;
    for (uint64_t i = n - pad; i < n; i++)
        if (dst[i] != pad) return (int64_t)n;
    return (int64_t)(n - pad);
}
