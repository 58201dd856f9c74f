// AES (FIPS 197) block cipher and CBC mode (SP 800-38A 6.2): a portable version on 32-bit lookup
// tables that the compiler builds, and a CBC decryption on AES-NI instructions, chosen per call.
#include <cstring>

#include "crypto/crypto.h"

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define QV_AES_NI 1
#include <cpuid.h>
#include <immintrin.h>
#endif

// ---- tables, built at compile time --------------------------------------------------------------

// te[k][x]: SubBytes then MixColumns of byte x in row k of a column, as a big-endian column word;
// td[k][x]: InvSubBytes then InvMixColumns likewise. te[k] is te[0] rotated right by 8k bits.
struct aes_tables {
    uint8_t sbox[256];
    uint8_t inv_sbox[256];
    uint32_t te[4][256];
    uint32_t td[4][256];
};

static constexpr uint8_t xtime(uint32_t x) {  // multiplication by x in GF(2^8), FIPS 197 4.2.1
    return (uint8_t)(((x << 1) ^ ((x & 0x80u) ? 0x11bu : 0u)) & 0xffu);
}

static constexpr uint8_t gf_mul(uint32_t a, uint32_t b) {
    uint32_t r = 0;
    for (; b; b >>= 1, a = xtime(a))
        if (b & 1u) r ^= a;
    return (uint8_t)r;
}

static constexpr uint32_t rotl8(uint32_t x, uint32_t n) { return ((x << n) | (x >> (8u - n))) & 0xffu; }
static constexpr uint32_t rotr32c(uint32_t x, uint32_t n) { return n ? (x >> n) | (x << (32u - n)) : x; }

static constexpr aes_tables make_tables() {
    aes_tables t = {};
    // FIPS 197 5.1.1: the S-box is the affine map of the multiplicative inverse. 3 generates the
    // multiplicative group, so walking p = 3^i while q = 3^-i visits every inverse pair once.
    uint32_t p = 1, q = 1;
    do {
        p = p ^ xtime(p);
        q ^= q << 1;
        q ^= q << 2;
        q ^= q << 4;
        q &= 0xffu;
        if (q & 0x80u) q ^= 0x09u;
        uint32_t s = q ^ rotl8(q, 1) ^ rotl8(q, 2) ^ rotl8(q, 3) ^ rotl8(q, 4) ^ 0x63u;
        t.sbox[p] = (uint8_t)s;
    } while (p != 1);
    t.sbox[0] = 0x63;
    for (uint32_t x = 0; x < 256; x++) t.inv_sbox[t.sbox[x]] = (uint8_t)x;
    for (uint32_t x = 0; x < 256; x++) {
        uint32_t s = t.sbox[x], v = t.inv_sbox[x];
        uint32_t e = (uint32_t)gf_mul(s, 2) << 24 | s << 16 | s << 8 | gf_mul(s, 3);
        uint32_t d = (uint32_t)gf_mul(v, 14) << 24 | (uint32_t)gf_mul(v, 9) << 16 |
                     (uint32_t)gf_mul(v, 13) << 8 | gf_mul(v, 11);
        for (uint32_t k = 0; k < 4; k++) {
            t.te[k][x] = rotr32c(e, 8 * k);
            t.td[k][x] = rotr32c(d, 8 * k);
        }
    }
    return t;
}

static constexpr aes_tables tabs = make_tables();

// ---- portable block functions -------------------------------------------------------------------

static inline uint32_t load_be32(const uint8_t *p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | (uint32_t)p[3];
}

static inline void store_be32(uint8_t *p, uint32_t v) {
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}

static inline uint32_t sub_word(uint32_t w) {
    return (uint32_t)tabs.sbox[w >> 24] << 24 | (uint32_t)tabs.sbox[(w >> 16) & 255u] << 16 |
           (uint32_t)tabs.sbox[(w >> 8) & 255u] << 8 | tabs.sbox[w & 255u];
}

// One column of a middle round: table t (te or td) on row 0 of a, row 1 of b, row 2 of c and
// row 3 of d.
static inline uint32_t round_col(const uint32_t t[4][256], uint32_t a, uint32_t b, uint32_t c,
                                 uint32_t d, uint32_t key) {
    return t[0][a >> 24] ^ t[1][(b >> 16) & 255u] ^ t[2][(c >> 8) & 255u] ^ t[3][d & 255u] ^ key;
}

// The last round: the S-box alone, no MixColumns.
static inline uint32_t last_col(const uint8_t *box, uint32_t a, uint32_t b, uint32_t c, uint32_t d,
                                uint32_t key) {
    return ((uint32_t)box[a >> 24] << 24 | (uint32_t)box[(b >> 16) & 255u] << 16 |
            (uint32_t)box[(c >> 8) & 255u] << 8 | box[d & 255u]) ^ key;
}

// A block through the rounds, on column words. Encryption: te, the S-box, the encryption keys,
// and ShiftRows, which takes row r of column c from column c + r. Decryption (the equivalent
// inverse cipher, FIPS 197 5.3.5): td, the inverse S-box, the decryption keys, and InvShiftRows,
// from column c - r, that is c + 3r (mod 4). SH is 1 or 3; a constant, so x stays in registers.
template <unsigned SH>
static void cipher_words(const uint32_t *rk, int rounds, const uint32_t t[4][256], const uint8_t *box,
                         uint32_t s[4]) {
    const unsigned a = SH & 3, b = (2 * SH) & 3, c = (3 * SH) & 3;  // rows 1, 2, 3 of column 0
    uint32_t x[4] = {s[0] ^ rk[0], s[1] ^ rk[1], s[2] ^ rk[2], s[3] ^ rk[3]};
    for (int r = 1; r < rounds; r++) {
        rk += 4;
        uint32_t y0 = round_col(t, x[0], x[a], x[b], x[c], rk[0]);
        uint32_t y1 = round_col(t, x[1], x[(1 + a) & 3], x[(1 + b) & 3], x[(1 + c) & 3], rk[1]);
        uint32_t y2 = round_col(t, x[2], x[(2 + a) & 3], x[(2 + b) & 3], x[(2 + c) & 3], rk[2]);
        uint32_t y3 = round_col(t, x[3], x[(3 + a) & 3], x[(3 + b) & 3], x[(3 + c) & 3], rk[3]);
        x[0] = y0, x[1] = y1, x[2] = y2, x[3] = y3;
    }
    rk += 4;
    for (unsigned i = 0; i < 4; i++)
        s[i] = last_col(box, x[i], x[(i + a) & 3], x[(i + b) & 3], x[(i + c) & 3], rk[i]);
}

static void encrypt_words(const aes_key *k, uint32_t s[4]) {
    cipher_words<1>(k->enc, k->rounds, tabs.te, tabs.sbox, s);
}

static void decrypt_words(const aes_key *k, uint32_t s[4]) {
    cipher_words<3>(k->dec, k->rounds, tabs.td, tabs.inv_sbox, s);
}

static void load_block(uint32_t w[4], const uint8_t *p) {
    for (int i = 0; i < 4; i++) w[i] = load_be32(p + 4 * i);
}

static void store_block(uint8_t *p, const uint32_t w[4]) {
    for (int i = 0; i < 4; i++) store_be32(p + 4 * i, w[i]);
}

// ---- AES-NI -------------------------------------------------------------------------------------

#ifdef QV_AES_NI
// Eight blocks in flight: aesdec has a latency of several cycles and CBC decryption does not chain
// blocks, so independent blocks fill the pipeline. NR (10, 12 or 14) is a constant, so the round
// loops unroll.
template <int NR>
__attribute__((target("aes,sse2"))) static void cbc_decrypt_ni(const aes_key *k, uint8_t iv[16],
                                                               const uint8_t *src, uint64_t blocks,
                                                               uint8_t *dst) {
    __m128i rk[NR + 1];
    for (int r = 0; r <= NR; r++) {
        uint8_t b[16];
        for (int i = 0; i < 4; i++) store_be32(b + 4 * i, k->dec[4 * r + i]);
        rk[r] = _mm_loadu_si128((const __m128i *)b);
    }
    __m128i prev = _mm_loadu_si128((const __m128i *)iv);
    uint64_t n = 0;
    for (; n + 8 <= blocks; n += 8) {
        __m128i c[8], x[8];
        for (int i = 0; i < 8; i++) {
            c[i] = _mm_loadu_si128((const __m128i *)(src + 16 * (n + (uint64_t)i)));
            x[i] = _mm_xor_si128(c[i], rk[0]);
        }
        for (int r = 1; r < NR; r++)
            for (int i = 0; i < 8; i++) x[i] = _mm_aesdec_si128(x[i], rk[r]);
        for (int i = 0; i < 8; i++) x[i] = _mm_aesdeclast_si128(x[i], rk[NR]);
        x[0] = _mm_xor_si128(x[0], prev);
        for (int i = 1; i < 8; i++) x[i] = _mm_xor_si128(x[i], c[i - 1]);
        for (int i = 0; i < 8; i++) _mm_storeu_si128((__m128i *)(dst + 16 * (n + (uint64_t)i)), x[i]);
        prev = c[7];
    }
    for (; n < blocks; n++) {
        __m128i c = _mm_loadu_si128((const __m128i *)(src + 16 * n));
        __m128i x = _mm_xor_si128(c, rk[0]);
        for (int r = 1; r < NR; r++) x = _mm_aesdec_si128(x, rk[r]);
        x = _mm_aesdeclast_si128(x, rk[NR]);
        _mm_storeu_si128((__m128i *)(dst + 16 * n), _mm_xor_si128(x, prev));
        prev = c;
    }
    _mm_storeu_si128((__m128i *)iv, prev);
}
#endif

// ---- interface ----------------------------------------------------------------------------------

int aes_set_key(aes_key *k, const uint8_t *key, int32_t key_len) {
    if (key_len != 16 && key_len != 24 && key_len != 32) return -1;
    // FIPS 197 5.2: Nk words of key, Nr = Nk + 6 rounds, 4 (Nr + 1) words of schedule.
    const int nk = key_len / 4, nr = nk + 6, words = 4 * (nr + 1);
    uint32_t rcon = 0x01;
    for (int i = 0; i < nk; i++) k->enc[i] = load_be32(key + 4 * i);
    for (int i = nk; i < words; i++) {
        uint32_t t = k->enc[i - 1];
        if (i % nk == 0) {
            t = sub_word((t << 8) | (t >> 24)) ^ (rcon << 24);
            rcon = xtime(rcon);
        } else if (nk > 6 && i % nk == 4) {
            t = sub_word(t);
        }
        k->enc[i] = k->enc[i - nk] ^ t;
    }
    // FIPS 197 5.3.5: the decryption keys are the encryption keys in reverse order, the middle
    // ones through InvMixColumns (td of the S-box image undoes the S-box, leaving InvMixColumns).
    for (int r = 0; r <= nr; r++) {
        for (int i = 0; i < 4; i++) {
            uint32_t w = k->enc[4 * (nr - r) + i];
            if (r > 0 && r < nr)
                w = tabs.td[0][tabs.sbox[w >> 24]] ^ tabs.td[1][tabs.sbox[(w >> 16) & 255u]] ^
                    tabs.td[2][tabs.sbox[(w >> 8) & 255u]] ^ tabs.td[3][tabs.sbox[w & 255u]];
            k->dec[4 * r + i] = w;
        }
    }
    k->rounds = nr;
    return 0;
}

void aes_encrypt_block(const aes_key *k, const uint8_t src[16], uint8_t dst[16]) {
    uint32_t s[4];
    load_block(s, src);
    encrypt_words(k, s);
    store_block(dst, s);
}

void aes_decrypt_block(const aes_key *k, const uint8_t src[16], uint8_t dst[16]) {
    uint32_t s[4];
    load_block(s, src);
    decrypt_words(k, s);
    store_block(dst, s);
}

void aes_cbc_decrypt_portable(const aes_key *k, uint8_t iv[16], const uint8_t *src, uint64_t len,
                              uint8_t *dst) {
    uint32_t prev[4], c[4], s[4];
    load_block(prev, iv);
    for (uint64_t n = 0; n < len / 16u; n++) {
        load_block(c, src + 16u * n);  // read whole before dst, which may overlap it, is written
        memcpy(s, c, sizeof s);
        decrypt_words(k, s);
        for (int i = 0; i < 4; i++) s[i] ^= prev[i];
        store_block(dst + 16u * n, s);
        memcpy(prev, c, sizeof prev);
    }
    store_block(iv, prev);
}

int aes_accel_available(void) {
#ifdef QV_AES_NI
    // CPUID leaf 1: ECX bit 25 AES-NI, EDX bit 26 SSE2. Asked directly rather than through
    // __builtin_cpu_supports, whose answer lives in a process-wide variable of the compiler's runtime.
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return 0;
    return (c & (1u << 25)) && (d & (1u << 26)) ? 1 : 0;
#else
    return 0;
#endif
}

int aes_cbc_decrypt_accel(const aes_key *k, uint8_t iv[16], const uint8_t *src, uint64_t len,
                          uint8_t *dst) {
#ifdef QV_AES_NI
    if (aes_accel_available()) {
        if (k->rounds == 10) cbc_decrypt_ni<10>(k, iv, src, len / 16u, dst);
        else if (k->rounds == 12) cbc_decrypt_ni<12>(k, iv, src, len / 16u, dst);
        else cbc_decrypt_ni<14>(k, iv, src, len / 16u, dst);
        return 0;
    }
#else
    (void)k, (void)iv, (void)src, (void)len, (void)dst;
#endif
    return -1;
}

void aes_cbc_decrypt(const aes_key *k, uint8_t iv[16], const uint8_t *src, uint64_t len,
                     uint8_t *dst) {
    if (aes_cbc_decrypt_accel(k, iv, src, len, dst) != 0) aes_cbc_decrypt_portable(k, iv, src, len, dst);
}

void aes_cbc_encrypt(const aes_key *k, uint8_t iv[16], const uint8_t *src, uint64_t len,
                     uint8_t *dst) {
    uint32_t chain[4], s[4];
    load_block(chain, iv);
    for (uint64_t n = 0; n < len / 16u; n++) {
        load_block(s, src + 16u * n);
        for (int i = 0; i < 4; i++) s[i] ^= chain[i];
        encrypt_words(k, s);
        store_block(dst + 16u * n, s);
        memcpy(chain, s, sizeof chain);
    }
    store_block(iv, chain);
}
