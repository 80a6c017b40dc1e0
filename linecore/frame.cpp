#include "linecore/frame.h"

#include "linecore/transform.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

const char* program_name = "linecore";

ssize_t read_standard_input(void* buffer, std::size_t size)
{
    return ::read(STDIN_FILENO, buffer, size);
}

ssize_t write_standard_output(const void* buffer, std::size_t size)
{
    return ::write(STDOUT_FILENO, buffer, size);
}

read_function input_read = read_standard_input;
write_function output_write = write_standard_output;

// Large enough that reading a file takes few system calls, with a block's
// worth of slack past the end so that a line's first block can always be
// copied whole.
constexpr std::size_t input_capacity = std::size_t{128} * 1024;
char input_buffer[input_capacity + block_size];
std::size_t input_begin = 0;
std::size_t input_end = 0;
bool input_exhausted = false;
int input_error = 0;

// The size of a pipe: larger writes into a pipe only wait longer.
char output_buffer[64 * 1024];
std::size_t output_used = 0;

void report(const char* what, int error)
{
    std::fprintf(stderr, "%s: %s: %s\n", program_name, what, std::strerror(error));
}

[[noreturn]] void fail_write(int error)
{
    report("write error", error);
    std::exit(1);
}

void write_all(const char* bytes, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = output_write(bytes, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail_write(errno);
        }
        if (written == 0) {
            fail_write(EIO);
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
}

void flush_output()
{
    write_all(output_buffer, output_used);
    output_used = 0;
}

// Refills the input buffer: read_status::line when bytes arrived.
read_status fill_input()
{
    if (input_exhausted) {
        return read_status::end;
    }
    ssize_t got = 0;
    do {
        got = input_read(input_buffer, input_capacity);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        input_error = errno;
        return read_status::error;
    }
    if (got == 0) {
        input_exhausted = true;
        return read_status::end;
    }
    input_begin = 0;
    input_end = static_cast<std::size_t>(got);
    return read_status::line;
}

} // namespace

std::int32_t read_key(int argc, char** argv)
{
    if (argc != 2) {
        static const char usage[] = "Usage error: Please put in key\n";
        std::fwrite(usage, 1, sizeof usage - 1, stderr);
        std::exit(1);
    }
    const char* slash = std::strrchr(argv[0], '/');
    program_name = slash != nullptr ? slash + 1 : argv[0];
    // glibc's atoi is (int) strtol: the same key for every text, without
    // the undefined behaviour atoi has for numbers beyond int.
    return static_cast<std::int32_t>(std::strtol(argv[1], nullptr, 10));
}

read_status read_line(std::string& line)
{
    // Most lines lie whole in the buffer: one search and one copy.
    const char* start = input_buffer + input_begin;
    const auto* newline = static_cast<const char*>(std::memchr(start, '\n', input_end - input_begin));
    if (newline != nullptr) {
        const auto length = static_cast<std::size_t>(newline - start);
        // A copy of fixed size is a few vector moves; one of the line's
        // own length costs several times that on short lines.
        line.resize(block_size);
        std::memcpy(line.data(), start, block_size);
        line.resize(std::min(length, block_size));
        input_begin += length + 1;
        return read_status::line;
    }
    // No newline in what the buffer holds: keep the line's first block,
    // skip the rest, and refill until its newline or the end of input.
    line.clear();
    bool seen_any = input_begin < input_end;
    for (;;) {
        const std::size_t length =
            newline != nullptr ? static_cast<std::size_t>(newline - start) : input_end - input_begin;
        line.append(start, std::min(length, block_size - line.size()));
        input_begin += length;
        if (newline != nullptr) {
            ++input_begin;
            return read_status::line;
        }
        const read_status status = fill_input();
        if (status != read_status::line) {
            // A last line without a newline still counts.
            return seen_any && status == read_status::end ? read_status::line : status;
        }
        seen_any = true;
        start = input_buffer + input_begin;
        newline = static_cast<const char*>(std::memchr(start, '\n', input_end - input_begin));
    }
}

void write_text_line(const std::string& output_block)
{
    // Zero bytes are rare: one fixed-size test of the whole block, and a
    // search only when it finds one.
    const auto* bytes = reinterpret_cast<const unsigned char*>(output_block.data());
    unsigned char smallest = 0xFF;
    for (std::size_t j = 0; j < block_size; ++j) {
        smallest = std::min(smallest, bytes[j]);
    }
    std::size_t length = block_size;
    if (smallest == 0) {
        length = static_cast<std::size_t>(static_cast<const char*>(std::memchr(output_block.data(), '\0', block_size)) -
                                          output_block.data());
    }
    if (sizeof output_buffer - output_used < block_size + 1) {
        flush_output();
    }
    // The whole block is copied, a fixed size, and the newline put where
    // the line ends.
    std::memcpy(output_buffer + output_used, output_block.data(), block_size);
    output_buffer[output_used + length] = '\n';
    output_used += length + 1;
}

void write_full_block(const std::string& output_block)
{
    if (output_used > 0) {
        flush_output();
    }
    char record[block_size + 1];
    std::memcpy(record, output_block.data(), block_size);
    record[block_size] = '\n';
    write_all(record, sizeof record);
}

int finish_run(read_status last_read)
{
    flush_output();
    if (last_read == read_status::error) {
        report("read error", input_error);
        return 1;
    }
    return 0;
}

void use_io(read_function reader, write_function writer)
{
    input_read = reader;
    output_write = writer;
    input_begin = 0;
    input_end = 0;
    input_exhausted = false;
    input_error = 0;
    output_used = 0;
}
