// codec/ccitt.h - decoder for CCITT fax data: ITU-T T.4 (Group 3, one-dimensional and mixed one- and
// two-dimensional) and T.6 (Group 4), with the parameters of PDF's CCITTFaxDecode filter (ISO 32000-1
// 7.4.6). The JBIG2 decoder's MMR-coded regions use it too (Group 4, black_is_1 = 1).
#ifndef QV_CODEC_CCITT_H
#define QV_CODEC_CCITT_H
#include <cstdint>

// Widest row accepted. Each row costs two arrays of 4 x (columns + 8) bytes of changing elements;
// a JBIG2 region wider than this cannot be decoded through ccitt_decode.
static const int32_t ccitt_max_columns = 1 << 20;
// Most output a call produces (rows past it are not decoded), as for the other filter stages.
static const uint64_t ccitt_max_output = (uint64_t)1 << 30;

// The /DecodeParms of CCITTFaxDecode. Booleans are 0 or not 0.
struct ccitt_params {
    int32_t k;                  // /K: < 0 Group 4 (T.6), 0 Group 3 one-dimensional, > 0 Group 3 mixed
                                // one- and two-dimensional (the tag bit after each EOL tells which)
    int32_t columns;            // /Columns (default 1728), 1..ccitt_max_columns
    int32_t rows;               // /Rows, >= 0; 0: not given (decode until the data or an end of block
                                // ends)
    int32_t encoded_byte_align; // /EncodedByteAlign: each row's code starts on a byte boundary
    int32_t end_of_line;        // /EndOfLine: EOL codes are required before each row (they are
                                // accepted either way; this enables damaged-row recovery)
    int32_t end_of_block;       // /EndOfBlock (default 1): an RTC (K >= 0) or EOFB (K < 0) ends the
                                // data; after rows rows it is read too, so that *src_used counts
                                // it. (Either ends decoding whatever this says: no row looks so.)
    int32_t black_is_1;         // /BlackIs1 (default 0: black decodes to 0, white to 1)
    int32_t damaged_rows_before_error; // /DamagedRowsBeforeError, >= 0 (see ccitt_decode)
};

// Sets the defaults: k 0, columns 1728, rows 0, end_of_block 1, everything else 0.
void ccitt_params_default(ccitt_params *p);

// Decodes src[0, src_len) into malloc'd rows of (columns + 7) / 8 bytes each, most significant bit
// first, the padding bits of each row 0. Returns the number of complete rows decoded (>= 0), with
// *dst (never null on success; the caller frees it) and *dst_len = rows x row bytes; -1 only for bad
// parameters (a null pointer, columns outside 1..ccitt_max_columns, rows or
// damaged_rows_before_error below 0) or no memory, and then nothing is allocated or written.
//
// Rows: at most p->rows when it is above 0; never more than one per input bit (no row is coded in
// fewer) nor more than ccitt_max_output bytes of rows. Decoding ends at the first of: that many
// rows, an RTC or EOFB, the end of the data, damage.
//
// Damage (a code that is no code, an EOL inside a row, a change to the left of the one before, the
// input ending inside a row): the rows before it are returned, the damaged row is not (the caller
// pads the rest). With K >= 0 and end_of_line, up to damaged_rows_before_error damaged rows are
// tolerated: the decoder resumes at the next EOL and outputs in the damaged row's place the row
// before it, or a white row when that one was damaged too (or there is none). With K < 0 damage
// always ends decoding. Runs past the row's end are cut at the end, not counted as damage.
//
// Lenient where the data allows it: fill bits (zeros) before any EOL; EOLs before rows when
// end_of_line is 0; an EOFB or RTC ends the data even when end_of_block is 0. With encoded_byte_align
// and K >= 0 a row start reads two ways: fill, then an EOL that ends on a byte boundary (as TIFF and
// Ghostscript write EOLs), or the row (or an RTC) starting on the next byte boundary. The first row,
// which starts on a boundary either way, tells which the data uses (until then end_of_line
// decides), and a row that is damaged read one way is read the other. K > 0 rows with no EOL: read
// with a tag bit first, as poppler and MuPDF do; when that decoding stops on damage or looks misread
// (runs cut at the row's end, a two-dimensional row where K calls for a one-dimensional one, the
// first row included), the data is decoded again without tag bits, a one-dimensional row after
// every K - 1 two-dimensional ones (what Ghostscript's encoder writes), and the better result is
// kept: a clean end, then fewer of those signs, then more rows. Uncompressed mode (the T.4/T.6
// extension) is decoded.
//
// *src_used (if not null): bytes of src consumed, through the EOFB or RTC when there is one.
int32_t ccitt_decode(const uint8_t *src, uint64_t src_len, const ccitt_params *p, uint8_t **dst,
                     uint64_t *dst_len, uint64_t *src_used);

#endif
