// crypto_bench - MB/s of the ciphers and hashes that reading encrypted files takes: RC4, AES-128
// and AES-256 CBC decryption on the portable path and on AES-NI (when the processor has it), MD5,
// SHA-256 and SHA-512, over 32 MiB of fixed-seed noise; each result is checked against the other
// path or a round trip once before timing. Prints the fastest of several runs of each (on a busy
// machine the fastest is the least disturbed), and what AES-256 decryption of the photo benchmark's
// 557 MB of image streams would add to its 19.4 s.
// Usage: crypto_bench [runs]   (default 5)
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "crypto/crypto.h"

typedef std::vector<uint8_t> bytes;

static double fastest_mbs(int runs, size_t n, const std::function<void()> &fn) {
    double best = 1e30;
    for (int r = 0; r < runs; r++) {
        auto t0 = std::chrono::steady_clock::now();
        fn();
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (s < best) best = s;
    }
    return (double)n / best / 1e6;
}

int main(int argc, char **argv) {
    int runs = argc > 1 ? atoi(argv[1]) : 5;
    if (runs < 1) runs = 1;
    const size_t n = 32u << 20;
    bytes src(n), dst(n), check(n);
    std::mt19937_64 rng(1);
    for (size_t i = 0; i < n; i += 8) {
        uint64_t v = rng();
        memcpy(&src[i], &v, 8);
    }
    uint8_t key[32], iv0[16], iv[16], digest[64];
    for (int i = 0; i < 32; i++) key[i] = (uint8_t)(i * 13 + 5);
    for (int i = 0; i < 16; i++) iv0[i] = (uint8_t)(i * 3);
    bool accel = aes_accel_available() == 1;

    printf("%-28s %10s\n", "what", "MB/s");
    double rc4 = fastest_mbs(runs, n, [&]() {
        rc4_state st;
        rc4_init(&st, key, 16);
        rc4_crypt(&st, src.data(), n, dst.data());
    });
    printf("%-28s %10.1f\n", "RC4 (128-bit key)", rc4);

    double aes256_chosen = 0;
    for (int key_len : {16, 32}) {
        aes_key k;
        aes_set_key(&k, key, key_len);
        memcpy(iv, iv0, 16);
        aes_cbc_decrypt_portable(&k, iv, src.data(), n, check.data());
        if (accel) {
            memcpy(iv, iv0, 16);
            aes_cbc_decrypt_accel(&k, iv, src.data(), n, dst.data());
            if (dst != check) {
                fprintf(stderr, "AES paths disagree\n");
                return 1;
            }
        }
        memcpy(iv, iv0, 16);
        aes_cbc_encrypt(&k, iv, check.data(), n, dst.data());
        if (dst != src) {
            fprintf(stderr, "AES round trip failed\n");
            return 1;
        }
        char label[64];
        snprintf(label, sizeof label, "AES-%d-CBC portable", key_len * 8);
        printf("%-28s %10.1f\n", label, fastest_mbs(runs, n, [&]() {
                   memcpy(iv, iv0, 16);
                   aes_cbc_decrypt_portable(&k, iv, src.data(), n, dst.data());
               }));
        if (accel) {
            snprintf(label, sizeof label, "AES-%d-CBC AES-NI", key_len * 8);
            printf("%-28s %10.1f\n", label, fastest_mbs(runs, n, [&]() {
                       memcpy(iv, iv0, 16);
                       aes_cbc_decrypt_accel(&k, iv, src.data(), n, dst.data());
                   }));
        }
        if (key_len == 32)
            aes256_chosen = fastest_mbs(runs, n, [&]() {
                memcpy(iv, iv0, 16);
                aes_cbc_decrypt(&k, iv, src.data(), n, dst.data());
            });
    }
    printf("%-28s %10.1f\n", "MD5", fastest_mbs(runs, n, [&]() { md5(src.data(), n, digest); }));
    printf("%-28s %10.1f\n", "SHA-256", fastest_mbs(runs, n, [&]() { sha256(src.data(), n, digest); }));
    printf("%-28s %10.1f\n", "SHA-512", fastest_mbs(runs, n, [&]() { sha512(src.data(), n, digest); }));

    // The photo benchmark: 100 Flate RGB images, 557 MB of stream data, 19.4 s for the whole job.
    double secs = 557.0 / aes256_chosen;
    printf("photo benchmark under AES-256: decryption %.3f s of 19.4 s (%.1f%%, %s path)\n", secs,
           100.0 * secs / 19.4, accel ? "AES-NI" : "portable");
    return 0;
}
