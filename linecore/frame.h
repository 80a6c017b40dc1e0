// The outer shape every filter shares: the key argument, the line loop over
// standard input, the two output writers and the exit status.
#ifndef LINECORE_FRAME_H
#define LINECORE_FRAME_H

#include "linecore/transform.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/types.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

// The AVX2 and AVX-512 clones of the line loop: x86-64 with GCC's target
// attribute (GCC and clang).
#if defined(__x86_64__) && defined(__GNUC__)
#define LINECORE_WIDE_PATHS 1
#else
#define LINECORE_WIDE_PATHS 0
#endif

// The name messages begin with: the last component of argv[0].
void set_program_name(const char* argv0);

// Returns atoi of the one argument. Any other argument count writes the
// usage message to standard error and ends the run with status 1, before
// standard input is touched.
std::int32_t read_key(int argc, char** argv);

enum class read_status { line, end, error };

// Reads the next line of standard input into line, without its newline.
// Only a line's first block_size bytes are kept; the rest of a longer line
// is skipped, so memory stays bounded whatever the input. A carriage return
// stays in the line, a last line without a newline counts (also when a read
// error follows it), and nothing follows a final newline. Everything written
// so far is flushed before any read that may wait.
read_status read_line(std::string& line);

// Text lines are collected in a buffer of this size, that of a pipe.
inline constexpr std::size_t output_buffer_size = std::size_t{64} * 1024;

// Reports "input file is output file" and returns true when standard input
// and standard output are the same file and input is left to read: the
// run would read its own output until the disk is full.
bool refuse_input_that_is_output();

// Writes out the output buffer and closes standard output. Returns status
// 0 at the end of input; after a read error it reports the error and
// returns 1. A failed write or close is reported and ends the run with
// status 1 wherever it happens.
int finish_run(read_status last_read);

// The machine code the line loop runs as: the baseline every build of the
// target has (SSE2 on x86-64, plain C++ elsewhere), or on x86-64 a clone
// for AVX2 or AVX-512 where the processor has it.
enum class line_path { baseline, avx2, avx512 };

// The widest path this processor runs: what every run uses, chosen once
// at start-up.
line_path best_line_path() noexcept;
// "SSE2" (or "plain" off x86-64), "AVX2", "AVX-512".
const char* line_path_name(line_path path);
// A test seam: makes later runs of for_each_line in this process take the
// given path. False, and nothing changed, where the processor lacks it.
bool use_line_path(line_path path);
line_path current_line_path();
// The path the last run of for_each_line in this process took.
line_path last_run_path();

// What the frame's inline parts share with frame.cpp. Not for the tools.
namespace frame_internals {

// Large enough that reading a file takes few system calls. A line's first
// block is copied whole from wherever the line starts in the data, so the
// buffer holds a block more than is ever read into it.
inline constexpr std::size_t input_capacity = std::size_t{128} * 1024;
extern char input_buffer[input_capacity + block_size];
extern std::size_t input_begin;
extern std::size_t input_end;

// Newlines are found a chunk of 64 bytes at a time, as a mask with one bit
// a byte: newline_bits holds those of the chunk that ends at scanned_to
// that no line has taken yet. A chunk may run past the data into the slack.
inline constexpr std::size_t chunk_size = 64;
static_assert(input_capacity % chunk_size == 0 && chunk_size <= block_size);
extern std::size_t scanned_to;
extern std::uint64_t newline_bits;

extern char output_buffer[output_buffer_size];
extern std::size_t output_used;
void flush_output();
std::size_t first_zero(const char* block);

LINECORE_INLINE std::uint64_t newlines_in_chunk(const char* chunk)
{
    std::uint64_t bits = 0;
#ifdef __SSE2__
    // SSE2 serves every clone: the scan is a small part of a line's time.
    const __m128i newline = _mm_set1_epi8('\n');
    for (std::size_t part = 0; part < chunk_size / 16; ++part) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(chunk + 16 * part));
        const auto found = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, newline)));
        bits |= std::uint64_t{found} << (16 * part);
    }
#else
    for (std::size_t j = 0; j < chunk_size; ++j) {
        bits |= std::uint64_t{chunk[j] == '\n'} << j;
    }
#endif
    return bits;
}

// The position of the first newline not yet taken, or input_end when the
// data holds no more. Lines take their newlines in order, so this is the
// end of the line that starts at input_begin.
LINECORE_INLINE std::size_t take_newline()
{
    while (newline_bits == 0) {
        if (scanned_to >= input_end) {
            return input_end;
        }
        newline_bits = newlines_in_chunk(input_buffer + scanned_to);
        const std::size_t in_data = input_end - scanned_to;
        if (in_data < chunk_size) {
            newline_bits &= (std::uint64_t{1} << in_data) - 1;
        }
        scanned_to += chunk_size;
    }
    const std::size_t newline = scanned_to - chunk_size + static_cast<std::size_t>(std::countr_zero(newline_bits));
    newline_bits &= newline_bits - 1;
    return newline;
}

// 0, 1, ..., 127: compared with a line's length, they tell the vectoriser
// which bytes to take from the line and which to pad.
inline constexpr auto block_positions = [] {
    std::array<signed char, block_size> positions{};
    for (std::size_t j = 0; j < block_size; ++j) {
        positions[j] = static_cast<signed char>(j);
    }
    return positions;
}();

// The line's first block, padded as pad_line pads, in one pass of block
// moves: the buffer's slack lets the whole block be read wherever the line
// starts.
LINECORE_INLINE void copy_padded_block(char* __restrict to, const char* __restrict from, std::size_t length)
{
    // -1 for an empty line, 127 for any line of a block or more.
    const auto last = static_cast<signed char>(std::min(length, block_size) - 1);
    for (std::size_t j = 0; j < block_size; ++j) {
        const char byte = from[j]; // read whatever the condition, so that it vectorises
        to[j] = block_positions[j] <= last ? byte : pad_char;
    }
}

// Copies the block to the output and tells whether it holds a zero byte,
// in one pass: a minimum of bytes, which vectorises with the copy. (A
// word-wise zero test, (w - 0x01...) & ~w & 0x80..., stays scalar here
// and took a fifth more time per line on every path.)
LINECORE_INLINE bool copy_block_finding_zero(char* __restrict to, const char* __restrict from)
{
    unsigned char smallest = 0xFF;
    for (std::size_t j = 0; j < block_size; ++j) {
        to[j] = from[j];
        smallest = std::min(smallest, static_cast<unsigned char>(from[j]));
    }
    return smallest == 0;
}

// The line loop: hands the step each line brought to block length. Most
// lines lie whole in the buffer and are taken here; the rest go through
// read_line.
template <typename Step> LINECORE_INLINE read_status run_lines(Step& step)
{
    std::string line(block_size, pad_char);
    // A 64-bit count cannot wrap on any input that can be fed in.
    std::uint64_t line_index = 0;
    for (;;) {
        const std::size_t newline = take_newline();
        if (newline < input_end) [[likely]] {
            if (line.size() != block_size) { // a step may change its line
                line.resize(block_size);
            }
            copy_padded_block(line.data(), input_buffer + input_begin, newline - input_begin);
            input_begin = newline + 1;
        } else {
            const read_status status = read_line(line);
            if (status != read_status::line) {
                return status;
            }
            pad_line(line); // read_line keeps at most a block: now exactly one
        }
        step(line, line_index);
        ++line_index;
    }
}

// One clone of the loop per path, each with the step and its core calls
// inlined and vectorised for its instruction set. The step is called from
// every clone, too big for the compiler to inline on its own in each:
// flatten makes it. What must stay out of line (the refill, the flush,
// the key block) is marked noinline.
// Each clone notes that it ran, for the tests; the baseline one stays a
// function of its own, so that its name, too, shows in a trace of a run.
extern line_path path_run;
template <typename Step> [[gnu::flatten, gnu::noinline]] read_status run_lines_baseline(Step& step)
{
    path_run = line_path::baseline;
    return run_lines(step);
}
#if LINECORE_WIDE_PATHS
template <typename Step> [[gnu::flatten, gnu::target("avx2")]] read_status run_lines_avx2(Step& step)
{
    path_run = line_path::avx2;
    return run_lines(step);
}
template <typename Step>
[[gnu::flatten, gnu::target("avx2,avx512f,avx512bw,avx512vl")]] read_status run_lines_avx512(Step& step)
{
    path_run = line_path::avx512;
    return run_lines(step);
}
#endif

} // namespace frame_internals

// Hands each line of standard input, brought to block length as pad_line
// brings it (its first block_size bytes, a shorter line padded with
// pad_char), with its 0-based index, to step(line, line_index); returns
// the run's exit status. The loop runs as the path current_line_path()
// gives.
template <typename Step> int for_each_line(Step step)
{
#ifdef LINECORE_FORCE_PATH
    // Test builds of the programs take one path, whatever the processor
    // offers beyond it.
    if (!use_line_path(line_path::LINECORE_FORCE_PATH)) {
        std::fputs("line path not available on this processor\n", stderr);
        return 1;
    }
#endif
    if (refuse_input_that_is_output()) {
        return 1;
    }
    read_status status = read_status::end;
    switch (current_line_path()) {
#if LINECORE_WIDE_PATHS
    case line_path::avx512:
        status = frame_internals::run_lines_avx512(step);
        break;
    case line_path::avx2:
        status = frame_internals::run_lines_avx2(step);
        break;
#endif
    default:
        status = frame_internals::run_lines_baseline(step);
    }
    return finish_run(status);
}

// Writes the block up to its first zero byte, then a newline, through the
// output buffer.
LINECORE_INLINE void write_text_line(const std::string& output_block)
{
    using namespace frame_internals;
    if (output_buffer_size - output_used < block_size + 1) {
        flush_output();
    }
    // The whole block is copied, a fixed size, and tested for a zero byte
    // in the same pass; zero bytes are rare, so only then is it searched.
    // The newline goes where the line ends.
    char* out = output_buffer + output_used;
    std::size_t length = block_size;
    if (copy_block_finding_zero(out, output_block.data())) {
        length = first_zero(out);
    }
    out[length] = '\n';
    output_used += length + 1;
}

// Writes all block_size bytes and a newline with one write, so that each
// line reaches a reader at once.
void write_full_block(const std::string& output_block);

// The calls the frame reads, writes and closes through: read(2) on standard
// input, write(2) and close(2) on standard output, unless a test puts its
// own in place. The standard ones wait with poll(2) where a descriptor
// would block. Replacing them also restarts the reader and drops unwritten
// output.
using read_function = ssize_t (*)(void* buffer, std::size_t size);
using write_function = ssize_t (*)(const void* buffer, std::size_t size);
using close_function = int (*)();
void use_io(read_function reader, write_function writer, close_function closer);

#endif
