// The outer shape every filter shares: the key argument, the line loop over
// standard input, the two output writers and the exit status.
#ifndef LINECORE_FRAME_H
#define LINECORE_FRAME_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

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

// Writes the block up to its first zero byte, then a newline, through the
// output buffer.
void write_text_line(const std::string& output_block);

// Writes all block_size bytes and a newline with one write, so that each
// line reaches a reader at once.
void write_full_block(const std::string& output_block);

// Reports "input file is output file" and returns true when standard input
// and standard output are the same file and input is left to read: the
// run would read its own output until the disk is full.
bool refuse_input_that_is_output();

// Writes out the output buffer and closes standard output. Returns status
// 0 at the end of input; after a read error it reports the error and
// returns 1. A failed write or close is reported and ends the run with
// status 1 wherever it happens.
int finish_run(read_status last_read);

// Hands each line of standard input, with its 0-based index, to
// step(line, line_index); returns the run's exit status.
template <typename Step> int for_each_line(Step step)
{
    if (refuse_input_that_is_output()) {
        return 1;
    }
    std::string line;
    // A 64-bit count cannot wrap on any input that can be fed in.
    std::uint64_t line_index = 0;
    read_status status = read_status::line;
    while ((status = read_line(line)) == read_status::line) {
        step(line, line_index);
        ++line_index;
    }
    return finish_run(status);
}

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
