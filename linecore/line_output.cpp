#include "linecore/line_output.h"

#include "linecore/descriptors.h"
#include "linecore/messages.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

text_output standard_output;

namespace {

[[noreturn]] void exit_write_error(int error)
{
    report("write error", error);
    std::exit(1);
}

void write_all(const char* bytes, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = write_standard_output(bytes, size);
        if (written < 0) {
            exit_write_error(errno);
        }
        if (written == 0) {
            exit_write_error(EIO);
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
}

} // namespace

void flush_output()
{
    write_all(standard_output.bytes, standard_output.used);
    standard_output.used = 0;
}

void close_output()
{
    // A descriptor closed all along was never written to: no failure.
    if (close_standard_output() != 0 && errno != EBADF) {
        exit_write_error(errno);
    }
}

std::size_t first_zero(const char* block)
{
    return static_cast<std::size_t>(static_cast<const char*>(std::memchr(block, '\0', block_size)) - block);
}

void write_full_block(const block_string& output_block)
{
    char record[block_size + 1];
    std::memcpy(record, output_block.data(), block_size);
    record[block_size] = '\n';
    write_all(record, sizeof record);
}
