// pdfextractimg/function.h - PDF functions (ISO 32000-1 7.10): sampled (Type 0), exponential
// (Type 2), stitching (Type 3) and PostScript calculator (Type 4), read from a document, described
// in memory and evaluated. function_read.cpp reads dictionaries and streams, function.cpp keeps,
// checks and evaluates sets, calculator.cpp compiles and runs Type 4 programs.
//
// fn_read (or any other reader) fills an fn_desc per function dictionary or stream (numbers,
// arrays, sample bytes, program text, all owned by the caller) and adds it to an fn_set, which
// checks it against the caps below and copies what it keeps. A stitching function names its
// subfunctions by their index in the same set, so a set is flat and nothing recurses: indexes may
// be reserved first (fn_reserve) and defined later, in any order. fn_check then verifies one root
// and every function it reaches; only then does fn_eval evaluate it.
//
// Evaluation: inputs are clipped to /Domain, outputs to /Range when there is one. Type 0
// interpolates the samples multilinearly (an /Order of 3 is computed as 1). Type 3 picks the
// subfunction whose interval [Bounds(i-1), Bounds(i)) holds the input, the last one taking the end
// of the domain. Type 4 programs are compiled into a flat code array with forward jumps only, so a
// run executes at most fn_max_code operations; integers are 32-bit, a result of add, sub, mul,
// neg, abs, idiv or mod that leaves that range becomes a real, bitshift wraps to 32 bits (right
// shifts are arithmetic), angles are degrees. Errors (stack underflow or overflow, wrong operand
// types, division by zero, sqrt/ln/log out of range, results that are not finite, cvi out of range,
// fewer values left than outputs) fail the evaluation. When the stack holds more values than
// outputs, the top ones are the outputs.
#ifndef QV_PDFEXTRACTIMG_FUNCTION_H
#define QV_PDFEXTRACTIMG_FUNCTION_H
#include <cstdint>

struct pdfcore_doc;
struct pdfcore_span;

// ---- constants ----------------------------------------------------------------------------------

const int32_t fn_max_inputs = 32;          // DeviceN's colorant limit
const int32_t fn_max_outputs = 32;
const int32_t fn_max_functions = 64;       // functions in one set
// Type 0: interpolation visits 2^m sample points per evaluation, so m is kept small; a sampled
// function of more inputs than this is refused.
const int32_t fn_max_sampled_inputs = 12;
const uint64_t fn_max_sample_values = (uint64_t)1 << 24;  // product of /Size times outputs
const uint64_t fn_max_set_sample_bytes = (uint64_t)64 << 20; // sample bytes kept by one set
const int32_t fn_max_stitched = 256;       // subfunctions of one Type 3 function
const int32_t fn_max_depth = 8;            // Type 3 functions nested in a chain, the leaf included
const uint64_t fn_max_program_bytes = 256u << 10; // Type 4 program text
const int32_t fn_max_code = 65536;         // compiled operations (and so operations per run)
const int32_t fn_max_nesting = 64;         // procedures open inside one another
const int32_t fn_stack_size = 100;         // operand stack, as PDF consumers use

enum fn_type { fn_sampled = 0, fn_exponential = 2, fn_stitching = 3, fn_calculator = 4 };

// ---- structs ------------------------------------------------------------------------------------

// One function as the file gives it. Arrays are the caller's and are only read during fn_define;
// a count of 0 means the entry is absent. Arrays longer than needed are used up to what is needed.
struct fn_desc {
    int32_t type;                     // /FunctionType: 0, 2, 3 or 4
    const double *domain;             // /Domain: 2 per input, lo <= hi (required)
    int32_t domain_count;
    const double *range;              // /Range: 2 per output, lo <= hi (required for 0 and 4)
    int32_t range_count;
    // Type 0
    const int32_t *size;              // /Size: one per input, each at least 1
    int32_t size_count;
    int32_t bits_per_sample;          // 1, 2, 4, 8, 12, 16, 24 or 32
    int32_t order;                    // /Order, 1 or 3 (both computed as 1)
    const double *encode;             // Type 0: 2 per input, default [0 Size-1 ...]; Type 3: 2 per
    int32_t encode_count;             //   subfunction (required)
    const double *decode;             // 2 per output, default /Range
    int32_t decode_count;
    const uint8_t *samples;           // the stream's decoded bytes, first input varying fastest,
    uint64_t samples_len;             //   bits packed without padding
    // Type 2: y = C0 + x^N (C1 - C0)
    const double *c0;                 // default [0]
    int32_t c0_count;
    const double *c1;                 // default [1]
    int32_t c1_count;
    double exponent;                  // /N
    // Type 3
    const int32_t *functions;         // indexes of the subfunctions in the same set
    int32_t function_count;
    const double *bounds;             // function_count - 1 numbers
    int32_t bounds_count;
    // Type 4
    const uint8_t *program;           // the stream's decoded bytes: { ... }
    uint64_t program_len;
};

// One compiled Type 4 operation.
struct fn_op {
    int32_t code;   // an operator, or push / jump (calculator.cpp)
    int32_t arg;    // integer or bool to push, jump target
    double num;     // real to push
};

// One function of a set, as checked and kept. Arrays are malloc'd and owned by the set.
struct fn_def {
    int32_t type;           // -1: reserved, not defined yet
    int32_t m, n;           // inputs, outputs (a Type 3's n is its subfunctions' once checked)
    int32_t ready;          // fn_check passed for a root reaching this function
    double domain[2 * fn_max_inputs];
    int32_t has_range;
    double range[2 * fn_max_outputs];
    // Type 0
    int32_t size[fn_max_inputs];
    int32_t bps;
    double encode0[2 * fn_max_inputs];
    double decode[2 * fn_max_outputs];
    uint8_t *samples;       // exactly the bytes the samples take
    uint64_t samples_len;
    // Type 2 (c0, c1 have n numbers)
    double c0[fn_max_outputs], c1[fn_max_outputs];
    double exponent;
    // Type 3
    int32_t k;              // subfunctions
    int32_t *children;      // k indexes
    double *bounds;         // k + 1: Domain0, Bounds..., Domain1
    double *encode3;        // 2k
    // Type 4
    fn_op *code;
    int32_t code_len;
};

// A flat set of functions. Zero it before use; release with fn_set_free.
struct fn_set {
    fn_def *defs;
    int32_t count;
    uint64_t sample_bytes;  // Type 0 bytes kept, against fn_max_set_sample_bytes
};

// ---- functions ----------------------------------------------------------------------------------

// Reads the function at v->start (a dictionary, a stream, or a reference to either) and every
// function a stitching function reaches (as many as an fn_set holds; each reference read anew,
// so a loop of references runs into that cap) into s, and checks it with fn_check. Sample data
// and programs are the streams' bytes through their own filters. The function's index, or -1.
int32_t fn_read(const pdfcore_doc *doc, const pdfcore_span *v, fn_set *s);

// Adds an empty slot to be defined later. Its index, or -1 (fn_max_functions reached, no memory).
int32_t fn_reserve(fn_set *s);
// Checks *d and stores it in slot f (reserved, not yet defined). 0, or -1: unknown type, a
// required entry missing or too short, a count or size above its cap, sample data shorter than
// /Size says, a program that does not compile, Type 2's /N not an integer while /Domain reaches
// below 0 or negative while /Domain holds 0, or no memory. The slot stays undefined on failure.
int fn_define(fn_set *s, int32_t f, const fn_desc *d);
// fn_reserve then fn_define: the new index, or -1 (nothing is added).
int32_t fn_add(fn_set *s, const fn_desc *d);
// Checks that root and every function it reaches are defined, that each Type 3 subfunction takes
// one input, that the subfunctions of a Type 3 agree on their outputs (and with its /Range), and
// that no chain of Type 3 functions is longer than fn_max_depth (a cycle is one). 0: root may be
// evaluated. -1: it may not.
int fn_check(fn_set *s, int32_t root);
// Inputs and outputs of function f, or -1 when f is not a defined function of s (a Type 3's
// outputs are known once fn_check has passed for it).
int32_t fn_inputs(const fn_set *s, int32_t f);
int32_t fn_outputs(const fn_set *s, int32_t f);
// Evaluates f (checked) on fn_inputs(f) values of in, writing fn_outputs(f) values to out.
// 0, or -1: f is not checked, an input is NaN, or the evaluation failed or gave a value that is
// not finite (out is then undefined). Reads s only, so several threads may evaluate one set.
int fn_eval(const fn_set *s, int32_t f, const double *in, double *out);
// Frees every function; the set is left zeroed. Harmless twice.
void fn_set_free(fn_set *s);

// ---- for the library's own code and tests ------------------------------------------------------

// v within [lo, hi]; NaN gives lo.
inline double fn_clip(double v, double lo, double hi) { return !(v >= lo) ? lo : v > hi ? hi : v; }

// The calculator (calculator.cpp). Compiles Type 4 program text into a new malloc'd code array
// (caller frees): 0 and *code, *code_len set, or -1 (text outside braces, unknown operator or
// token, a procedure not followed by if or ifelse, unbalanced braces, nesting above
// fn_max_nesting, code above fn_max_code).
int fn_compile(const uint8_t *text, uint64_t len, fn_op **code, int32_t *code_len);
// Runs compiled code with the m inputs pushed as reals and takes n outputs from the top of the
// stack (not clipped). 0, or -1 as for fn_eval.
int fn_run(const fn_op *code, int32_t code_len, const double *in, int32_t m, double *out, int32_t n);

#endif
