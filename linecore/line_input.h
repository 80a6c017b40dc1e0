// Reading lines: standard input in reads of up to 128 KiB, each line's end
// found by a scan of the buffer for newlines 64 bytes at a time, and the
// line's first block copied out as pad_line pads it. A line that the
// buffer does not hold whole takes the slow path, across refills.
#ifndef LINECORE_LINE_INPUT_H
#define LINECORE_LINE_INPUT_H

#include "linecore/transform.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstddef>
#include <cstdint>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

// Large enough that reading a file takes few system calls. A line's first
// block is read whole from wherever the line starts, so the buffer holds a
// block more than is ever read into it.
inline constexpr std::size_t input_capacity = std::size_t{128} * 1024;
// At namespace scope: more than a stack should be asked for, and in zeroed
// storage, so that what a block read beyond the data reads is defined.
// Block-aligned, so that each chunk the newline scan reads lies in one
// cache line.
alignas(block_size) extern char input_buffer[input_capacity + block_size];

// Newlines are found a chunk at a time, as a mask with one bit a byte. A
// chunk may run past the data into the slack.
inline constexpr std::size_t chunk_size = 64;
static_assert(input_capacity % chunk_size == 0 && chunk_size <= block_size);

// What a run's reader keeps from one line to the next.
struct line_input {
    std::size_t begin = 0; // where the next line starts in input_buffer
    std::size_t end = 0;   // where the data read ends
    // The newlines not yet taken by a line in the chunk that ends at
    // scanned_to.
    std::size_t scanned_to = 0;
    std::uint64_t newline_bits = 0;
    // A read of a regular file never waits for more input to arrive, so
    // output may gather until the buffer is full; any other input may
    // wait, and what is computed is written out before each read of it.
    bool may_wait = true;
    // Once the input has ended or failed it stays so: a terminal gives
    // more after Ctrl-D, and a socket may give 0 after its error.
    bool over = false;
    int error = 0; // errno of the read that failed, else 0
};

// The reader at the start of a run, before its first read.
line_input start_input();

enum class read_status { line, end, error };

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

// The position of the first newline not yet taken, or input.end when the
// data holds no more. Lines take their newlines in order, so this is the
// end of the line that starts at input.begin.
LINECORE_INLINE std::size_t take_newline(line_input& input)
{
    while (input.newline_bits == 0) {
        if (input.scanned_to >= input.end) {
            return input.end;
        }
        input.newline_bits = newlines_in_chunk(input_buffer + input.scanned_to);
        const std::size_t in_data = input.end - input.scanned_to;
        if (in_data < chunk_size) {
            input.newline_bits &= (std::uint64_t{1} << in_data) - 1;
        }
        input.scanned_to += chunk_size;
    }
    const std::size_t newline =
        input.scanned_to - chunk_size + static_cast<std::size_t>(std::countr_zero(input.newline_bits));
    input.newline_bits &= input.newline_bits - 1;
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

// The line's first block, padded as pad_line pads it, in one pass of block
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

// The slow path of read_line, for a line whose newline the buffer does
// not hold: it keeps the line's first block, skips the rest, and refills
// until the newline or the end of input. Out of line: see the clones in
// linecore/line_paths.h.
[[gnu::noinline]] read_status read_line_across_refills(line_input& input, block_string& line);

// Reads the next line of standard input into line, without its newline,
// brought to block length as pad_line brings it: its first block_size
// bytes, a shorter line padded with pad_char. The rest of a longer line is
// skipped, so memory stays bounded whatever the input. A carriage return
// stays in the line, a last line without a newline counts (also when a
// read error follows it), and nothing follows a final newline. Everything
// written so far is flushed before any read that may wait.
LINECORE_INLINE read_status read_line(line_input& input, block_string& line)
{
    const std::size_t newline = take_newline(input);
    if (newline == input.end) [[unlikely]] {
        return read_line_across_refills(input, line);
    }
    if (line.size() != block_size) { // a step may change its line
        line.resize(block_size);
    }
    assert(input.begin + block_size <= sizeof input_buffer);
    copy_padded_block(line.data(), input_buffer + input.begin, newline - input.begin);
    input.begin = newline + 1;
    return read_status::line;
}

#endif
