#include "linecore/frame.h"

#include "linecore/transform.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace frame_internals;

namespace {

const char* program_name = "linecore";

// A parent may hand down a descriptor with O_NONBLOCK set. Its flags are
// shared with other processes, so they stay as they are, and a call that
// would block waits for the descriptor instead. False when poll fails.
bool wait_until_ready(int descriptor, short events)
{
    pollfd ready{descriptor, events, 0};
    return poll(&ready, 1, -1) >= 0 || errno == EINTR;
}

bool would_block(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK;
}

ssize_t read_standard_input(void* buffer, std::size_t size)
{
    for (;;) {
        const ssize_t got = ::read(STDIN_FILENO, buffer, size);
        if (got >= 0 || !would_block(errno) || !wait_until_ready(STDIN_FILENO, POLLIN)) {
            return got;
        }
    }
}

ssize_t write_standard_output(const void* buffer, std::size_t size)
{
    for (;;) {
        const ssize_t written = ::write(STDOUT_FILENO, buffer, size);
        if (written >= 0 || !would_block(errno) || !wait_until_ready(STDOUT_FILENO, POLLOUT)) {
            return written;
        }
    }
}

int close_standard_output()
{
    return ::close(STDOUT_FILENO);
}

bool standard_input_may_wait() noexcept
{
    struct stat input {};
    return fstat(STDIN_FILENO, &input) != 0 || !S_ISREG(input.st_mode);
}

read_function input_read = read_standard_input;
write_function output_write = write_standard_output;
close_function output_close = close_standard_output;

// A read of a regular file never waits for more input to arrive, so
// output may gather until the buffer is full; any other input may wait,
// and what is computed is written out before each read of it.
bool input_may_wait = standard_input_may_wait();
// Once the input has ended or failed it stays so: a terminal gives more
// after Ctrl-D, and a socket may give 0 after its error.
bool input_over = false;
int input_error = 0;

void report(const char* what)
{
    std::fprintf(stderr, "%s: %s\n", program_name, what);
}

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

// Refills the input buffer; false once the input is over.
bool fill_input()
{
    if (input_over) {
        return false;
    }
    if (input_may_wait) {
        flush_output();
    }
    ssize_t got = 0;
    do {
        got = input_read(input_buffer, input_capacity);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) {
        input_over = true;
        input_error = got < 0 ? errno : 0;
        return false;
    }
    input_begin = 0;
    input_end = static_cast<std::size_t>(got);
    scanned_to = 0;
    newline_bits = 0;
    return true;
}

// Eight vector moves, where GCC would make a memcpy of the same a library
// call.
void copy_block(char* to, const char* from)
{
#ifdef __SSE2__
    for (std::size_t part = 0; part < block_size / 16; ++part) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 16 * part),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 16 * part)));
    }
#else
    std::memcpy(to, from, block_size);
#endif
}

line_path chosen_path = best_line_path();

} // namespace

namespace frame_internals {

line_path path_run = line_path::baseline;
char input_buffer[input_capacity + block_size];
std::size_t input_begin = 0;
std::size_t input_end = 0;
std::size_t scanned_to = 0;
std::uint64_t newline_bits = 0;
char output_buffer[output_buffer_size];
std::size_t output_used = 0;

void flush_output()
{
    write_all(output_buffer, output_used);
    output_used = 0;
}

std::size_t first_zero(const char* block)
{
    return static_cast<std::size_t>(static_cast<const char*>(std::memchr(block, '\0', block_size)) - block);
}

} // namespace frame_internals

line_path best_line_path() noexcept
{
#if LINECORE_WIDE_PATHS
    // May run before the C library's start-up has asked the processor.
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl")) {
        return line_path::avx512;
    }
    if (__builtin_cpu_supports("avx2")) {
        return line_path::avx2;
    }
#endif
    return line_path::baseline;
}

const char* line_path_name(line_path path)
{
    switch (path) {
    case line_path::avx2:
        return "AVX2";
    case line_path::avx512:
        return "AVX-512";
    default:
#ifdef __SSE2__
        return "SSE2";
#else
        return "plain";
#endif
    }
}

bool use_line_path(line_path path)
{
    // The paths are ordered: a processor that runs one runs those before it.
    if (static_cast<int>(path) > static_cast<int>(best_line_path())) {
        return false;
    }
    chosen_path = path;
    return true;
}

line_path current_line_path()
{
    return chosen_path;
}

line_path last_run_path()
{
    return path_run;
}

// Every allocation starts on a multiple of block_size, so that no block,
// each a string of its own on the heap, straddles a page. The blocks are
// stored and loaded whole on every line, and an access split across two
// pages costs several times one within a page, the more so where a load
// must wait for the store before it: fixseal's output block once lay
// across a page boundary and so took a fifth more time per line than
// stepseal's.
namespace {

// Null when the memory is not there.
void* aligned_memory(std::size_t size) noexcept
{
    // aligned_alloc takes whole multiples of the alignment, and no size 0.
    const std::size_t blocks = size / block_size + (size % block_size != 0 || size == 0 ? 1 : 0);
    return size <= SIZE_MAX - block_size ? std::aligned_alloc(block_size, blocks * block_size) : nullptr;
}

// Where the memory is not there the run ends with a message, as GNU's
// filters end, rather than with an uncaught std::bad_alloc and an abort.
void* aligned_memory_or_exit(std::size_t size)
{
    void* memory = aligned_memory(size);
    if (memory == nullptr) {
        report("memory exhausted");
        std::exit(1);
    }
    return memory;
}

} // namespace

// The whole family but the over-aligned forms, so that everything given
// out here is given back here (a sanitizer checks that the pairs match).
void* operator new(std::size_t size)
{
    return aligned_memory_or_exit(size);
}
void* operator new[](std::size_t size)
{
    return aligned_memory_or_exit(size);
}
void* operator new(std::size_t size, const std::nothrow_t& /*unused*/) noexcept
{
    return aligned_memory(size);
}
void* operator new[](std::size_t size, const std::nothrow_t& /*unused*/) noexcept
{
    return aligned_memory(size);
}
void operator delete(void* memory) noexcept
{
    std::free(memory);
}
void operator delete[](void* memory) noexcept
{
    std::free(memory);
}
void operator delete(void* memory, std::size_t /*size*/) noexcept
{
    std::free(memory);
}
void operator delete[](void* memory, std::size_t /*size*/) noexcept
{
    std::free(memory);
}
void operator delete(void* memory, const std::nothrow_t& /*unused*/) noexcept
{
    std::free(memory);
}
void operator delete[](void* memory, const std::nothrow_t& /*unused*/) noexcept
{
    std::free(memory);
}

void set_program_name(const char* argv0)
{
    if (argv0 == nullptr || *argv0 == '\0') {
        return;
    }
    const char* slash = std::strrchr(argv0, '/');
    program_name = slash != nullptr ? slash + 1 : argv0;
}

std::int32_t read_key(int argc, char** argv)
{
    if (argc != 2) {
        static const char usage[] = "Usage error: Please put in key\n";
        std::fwrite(usage, 1, sizeof usage - 1, stderr);
        std::exit(1);
    }
    // glibc's atoi is (int) strtol: the same key for every text, without
    // the undefined behaviour atoi has for numbers beyond int.
    return static_cast<std::int32_t>(std::strtol(argv[1], nullptr, 10));
}

read_status read_line(std::string& line)
{
    // Most lines lie whole in the buffer: one copy.
    std::size_t newline = take_newline();
    if (newline < input_end) {
        const std::size_t length = newline - input_begin;
        // The whole first block is copied, a fixed size, and the line then
        // cut to its length: cheaper on short lines than a copy of their own
        // length.
        assert(input_begin + block_size <= sizeof input_buffer);
        line.resize(block_size);
        copy_block(line.data(), input_buffer + input_begin);
        line.resize(std::min(length, block_size));
        input_begin = newline + 1;
        return read_status::line;
    }
    // No newline in what the buffer holds: keep the line's first block,
    // skip the rest, and refill until its newline or the end of input.
    line.clear();
    bool seen_any = input_begin < input_end;
    for (;;) {
        line.append(input_buffer + input_begin, std::min(newline - input_begin, block_size - line.size()));
        if (newline < input_end) {
            input_begin = newline + 1;
            return read_status::line;
        }
        input_begin = input_end;
        if (!fill_input()) {
            // A last line without a newline still counts, also when a read
            // error ended it: the error is reported after it is written.
            if (seen_any) {
                return read_status::line;
            }
            return input_error != 0 ? read_status::error : read_status::end;
        }
        seen_any = true;
        newline = take_newline();
    }
}

void write_full_block(const std::string& output_block)
{
    char record[block_size + 1];
    std::memcpy(record, output_block.data(), block_size);
    record[block_size] = '\n';
    write_all(record, sizeof record);
}

bool refuse_input_that_is_output()
{
    struct stat input {};
    struct stat output {};
    if (fstat(STDIN_FILENO, &input) != 0 || fstat(STDOUT_FILENO, &output) != 0 || !S_ISREG(input.st_mode) ||
        input.st_dev != output.st_dev || input.st_ino != output.st_ino) {
        return false;
    }
    // Only input left to read would be our own output: `f <f >f` is an
    // ordinary empty run, since the shell has emptied f.
    const off_t offset = lseek(STDIN_FILENO, 0, SEEK_CUR);
    if (offset < 0 || offset >= input.st_size) {
        return false;
    }
    report("input file is output file");
    return true;
}

int finish_run(read_status last_read)
{
    flush_output();
    int status = 0;
    if (last_read == read_status::error) {
        report("read error", input_error);
        status = 1;
    }
    // Some file systems report a failed write only when the file is closed.
    // A descriptor closed all along was never written to: no failure.
    if (output_close() != 0 && errno != EBADF) {
        fail_write(errno);
    }
    return status;
}

void use_io(read_function reader, write_function writer, close_function closer)
{
    input_read = reader;
    output_write = writer;
    output_close = closer;
    input_may_wait = true;
    input_begin = 0;
    input_end = 0;
    scanned_to = 0;
    newline_bits = 0;
    input_over = false;
    input_error = 0;
    output_used = 0;
}
