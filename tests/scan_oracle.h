// tests/scan_oracle.h - the object index's scans over a whole file in memory (the oracle of the
// window scan; see scan_oracle.cpp).
#ifndef QV_TESTS_SCAN_ORACLE_H
#define QV_TESTS_SCAN_ORACLE_H
#include <cstdint>

#include "pdfcore/pdfcore.h"

// scan_pass1 appends one entry per `N G obj` header of data[0, len) in position order; scan_pass2
// then sets each stream's extent (from /Length, direct or through a non-stream object, when
// `endstream` follows it; else, and also when /Length is missing or unreadable, from the next
// `endstream`, without the end of line before it) and removes streams without `endobj` after
// their data and every entry whose header lies inside some stream's data. The order of the
// remaining entries changes.
void scan_pass1(const uint8_t *data, int32_t len, objvec *vec);
void scan_pass2(const uint8_t *data, int32_t len, objvec *vec);

#endif
