// Writing lines. Text lines gather in a buffer the size of a pipe, which
// is written out when it is full, before any read that may wait, and at
// the end of the run; full blocks go out at once, one write each. A write
// that fails is reported and ends the run with status 1.
#ifndef LINECORE_LINE_OUTPUT_H
#define LINECORE_LINE_OUTPUT_H

#include "linecore/transform.h"

#include <algorithm>
#include <cstddef>

inline constexpr std::size_t output_buffer_size = std::size_t{64} * 1024;

struct text_output {
    char bytes[output_buffer_size];
    std::size_t used;
};
// At namespace scope: the writers are handed the block alone, as each
// program's step hands it on.
extern text_output standard_output;

// Writes out what the buffer holds. Out of line: see the clones in
// linecore/line_paths.h.
[[gnu::noinline]] void flush_output();
// Closes standard output. Some file systems report a failed write only
// when the file is closed, so a failure here is a write error too.
void close_output();

// Where the block's first zero byte is.
std::size_t first_zero(const char* block);

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

// Writes the block up to its first zero byte, then a newline, through the
// output buffer.
LINECORE_INLINE void write_text_line(const block_string& output_block)
{
    if (output_buffer_size - standard_output.used < block_size + 1) {
        flush_output();
    }
    // The whole block is copied, a fixed size, and tested for a zero byte
    // in the same pass; zero bytes are rare, so only then is it searched.
    // The newline goes where the line ends.
    char* out = standard_output.bytes + standard_output.used;
    std::size_t length = block_size;
    if (copy_block_finding_zero(out, output_block.data())) {
        length = first_zero(out);
    }
    out[length] = '\n';
    standard_output.used += length + 1;
}

// Writes all block_size bytes and a newline with one write, so that each
// line reaches a reader at once.
void write_full_block(const block_string& output_block);

#endif
