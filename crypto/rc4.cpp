// RC4 key schedule and key stream.
#include "crypto/crypto.h"

int rc4_init(rc4_state *st, const uint8_t *key, int32_t key_len) {
    if (key_len < 1 || key_len > 256) return -1;
    for (uint32_t i = 0; i < 256; i++) st->s[i] = (uint8_t)i;
    uint32_t j = 0;
    for (uint32_t i = 0; i < 256; i++) {
        uint8_t t = st->s[i];
        j = (j + t + key[i % (uint32_t)key_len]) & 255u;
        st->s[i] = st->s[j];
        st->s[j] = t;
    }
    st->i = 0;
    st->j = 0;
    return 0;
}

void rc4_crypt(rc4_state *st, const uint8_t *src, uint64_t len, uint8_t *dst) {
    uint8_t *s = st->s;
    uint8_t i = st->i, j = st->j;  // 8-bit counters: the wrap at 256 is free
    for (uint64_t n = 0; n < len; n++) {
        i = (uint8_t)(i + 1u);
        uint8_t a = s[i];
        j = (uint8_t)(j + a);
        uint8_t b = s[j];
        s[i] = b;
        s[j] = a;
        dst[n] = (uint8_t)(src[n] ^ s[(uint8_t)(a + b)]);
    }
    st->i = i;
    st->j = j;
}
