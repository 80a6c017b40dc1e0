#include "linecore/line_input.h"

#include "linecore/descriptors.h"
#include "linecore/line_output.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

alignas(block_size) char input_buffer[input_capacity + block_size];

namespace {

// Refills the input buffer; false once the input is over.
bool fill_input(line_input& input)
{
    if (input.over) {
        return false;
    }
    if (input.may_wait) {
        flush_output();
    }
    const ssize_t got = read_standard_input(input_buffer, input_capacity);
    if (got <= 0) {
        input.over = true;
        input.error = got < 0 ? errno : 0;
        return false;
    }
    input.begin = 0;
    input.end = static_cast<std::size_t>(got);
    input.scanned_to = 0;
    input.newline_bits = 0;
    return true;
}

} // namespace

line_input start_input()
{
    struct stat status {};
    return {.may_wait = !stat_descriptor(STDIN_FILENO, status) || !S_ISREG(status.st_mode)};
}

read_status read_line_across_refills(line_input& input, block_string& line)
{
    line.clear();
    std::size_t newline = input.end;
    for (;;) {
        line.append(input_buffer + input.begin, std::min(newline - input.begin, block_size - line.size()));
        if (newline < input.end) {
            input.begin = newline + 1;
            break;
        }
        input.begin = input.end;
        if (!fill_input(input)) {
            // Every byte of a line before its newline lands in line until
            // it is full, so an empty line here is no line. A last line
            // without a newline still counts, also when a read error ended
            // it: the error is reported after it is written.
            if (line.empty()) {
                return input.error != 0 ? read_status::error : read_status::end;
            }
            break;
        }
        newline = take_newline(input);
    }
    pad_line(line);
    return read_status::line;
}
