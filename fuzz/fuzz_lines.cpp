// Arbitrary bytes, split at fuzzer-chosen points as a pipe splits them,
// through the line reader and through each program's main in process, on
// every path of the line loop this processor runs. Checks what must hold
// for every input, and that every path writes the independent model's
// bytes.
#include "linecore/frame.h"
#include "linecore/transform.h"
#include "tests/reference.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

int stepseal_main(int argc, char** argv);
int stepopen_main(int argc, char** argv);
int fixseal_main(int argc, char** argv);

namespace {

std::string input;
std::size_t input_offset = 0;
std::vector<std::uint8_t> pieces;
std::size_t piece_index = 0;
std::string output;

ssize_t read_in_pieces(void* buffer, std::size_t size)
{
    std::size_t count = input.size() - input_offset;
    if (!pieces.empty()) {
        count = std::min<std::size_t>(count, pieces[piece_index++ % pieces.size()] + 1U);
    }
    count = std::min(count, size);
    std::memcpy(buffer, input.data() + input_offset, count);
    input_offset += count;
    return static_cast<ssize_t>(count);
}

ssize_t collect_output(const void* buffer, std::size_t size)
{
    output.append(static_cast<const char*>(buffer), size);
    return static_cast<ssize_t>(size);
}

int close_nothing()
{
    return 0;
}

void restart()
{
    input_offset = 0;
    piece_index = 0;
    output.clear();
    use_io(read_in_pieces, collect_output, close_nothing);
}

void check(bool holds)
{
    if (!holds) {
        std::abort();
    }
}

bool printable(unsigned char byte)
{
    return byte >= '!' && byte <= '~';
}

std::string run_main(int (*program_main)(int, char**), const std::string& key_text)
{
    restart();
    // The frame keeps the program's name for messages: it must outlive the run.
    static char name[] = "fuzz";
    std::string key = key_text;
    char* argv[] = {name, key.data(), nullptr};
    check(program_main(2, argv) == 0);
    return output;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider provider(data, size);
    const std::string key_text = std::to_string(provider.ConsumeIntegral<std::int32_t>());
    pieces = provider.ConsumeBytes<std::uint8_t>(provider.ConsumeIntegralInRange<std::size_t>(0, 8));
    input = provider.ConsumeRemainingBytesAsString();

    // getline over the same bytes is the reference for the reader.
    std::vector<std::string> expected;
    std::istringstream stream(input);
    for (std::string line; std::getline(stream, line);) {
        expected.push_back(line.substr(0, block_size));
    }
    restart();
    std::string line;
    std::size_t count = 0;
    for (; read_line(line) == read_status::line; ++count) {
        check(count < expected.size() && line == expected[count]);
    }
    check(count == expected.size());

    const bool ascii = std::none_of(input.begin(), input.end(), [](char byte) {
        return (byte & 0x80) != 0;
    });

    // Every path, every program: the model's bytes.
    const std::int32_t key = std::stoi(key_text);
    for (const line_path path : {line_path::baseline, line_path::avx2, line_path::avx512}) {
        if (use_line_path(path)) {
            check(run_main(stepseal_main, key_text) == reference_output(reference_program::stepseal, key, input));
            check(run_main(stepopen_main, key_text) == reference_output(reference_program::stepopen, key, input));
            check(run_main(fixseal_main, key_text) == reference_output(reference_program::fixseal, key, input));
        }
    }
    use_line_path(best_line_path());

    // stepopen: one record of block_size bytes and a newline per line.
    const std::string opened = run_main(stepopen_main, key_text);
    check(opened.size() == count * (block_size + 1));
    for (std::size_t n = 0; n < count; ++n) {
        check(opened[n * (block_size + 1) + block_size] == '\n');
    }

    // fixseal: for ASCII input every line is 128 printable characters.
    const std::string fixed = run_main(fixseal_main, key_text);
    if (ascii) {
        check(fixed.size() == count * (block_size + 1));
        for (std::size_t j = 0; j < fixed.size(); ++j) {
            check(j % (block_size + 1) == block_size ? fixed[j] == '\n' : printable(fixed[j]));
        }
    } else {
        check(fixed.size() <= count * (block_size + 1));
    }

    // stepseal: for ASCII input the first 127 bytes of a line are printable;
    // the stepped last one is any byte, and a zero there ends the line.
    // A line never starts with a newline, which tells a last byte of 0x0A
    // from the end of the line.
    const std::string sealed = run_main(stepseal_main, key_text);
    if (ascii) {
        std::size_t at = 0;
        for (std::size_t n = 0; n < count; ++n) {
            check(sealed.size() >= at + block_size);
            for (std::size_t j = 0; j < block_size - 1; ++j) {
                check(printable(sealed[at + j]));
            }
            at += block_size - 1;
            const bool last_byte_written = sealed[at] != '\n' || (at + 1 < sealed.size() && sealed[at + 1] == '\n');
            at += last_byte_written ? 2 : 1;
            check(sealed[at - 1] == '\n');
        }
        check(at == sealed.size());
    } else {
        check(sealed.size() <= count * (block_size + 1));
    }
    return 0;
}
