// Arbitrary bytes, split at fuzzer-chosen points as a pipe splits them,
// through the line reader and through each program's main in process, on
// every path of the line loop this processor runs. Checks what must hold
// for every input, and that every path writes the independent model's
// bytes.
#include "linecore/line_input.h"
#include "linecore/test_seams.h"
#include "tests/reference.h"
#include "tests/stand_in.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::vector<std::size_t> pieces;
std::string input;

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

std::string run_program(reference_program program, const std::string& key_text)
{
    serve(input, pieces);
    check(run_main(program, key_text) == 0);
    return stand_in.written;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider provider(data, size);
    const std::string key_text = std::to_string(provider.ConsumeIntegral<std::int32_t>());
    const std::vector<std::uint8_t> piece_bytes =
        provider.ConsumeBytes<std::uint8_t>(provider.ConsumeIntegralInRange<std::size_t>(0, 8));
    pieces.assign(piece_bytes.size(), 0);
    std::transform(piece_bytes.begin(), piece_bytes.end(), pieces.begin(), [](std::uint8_t piece) {
        return std::size_t{piece} + 1;
    });
    input = provider.ConsumeRemainingBytesAsString();

    // getline over the same bytes is the reference for the reader.
    const std::vector<std::string> expected = reference_lines(input);
    serve(input, pieces);
    line_input reader = start_input();
    block_string line;
    std::size_t count = 0;
    for (; read_line(reader, line) == read_status::line; ++count) {
        check(count < expected.size() && as_string(line) == expected[count]);
    }
    check(count == expected.size());

    const bool ascii = std::none_of(input.begin(), input.end(), [](char byte) {
        return (byte & 0x80) != 0;
    });

    // Every path, every program: the model's bytes.
    const std::int32_t key = std::stoi(key_text);
    for (const line_path path : {line_path::baseline, line_path::avx2, line_path::avx512}) {
        if (force_line_path(path)) {
            for (const program_model& p : all_programs) {
                check(run_program(p.program, key_text) == reference_output(p.program, key, input));
            }
        }
    }
    stop_forcing_line_path();

    // stepopen: one record of block_size bytes and a newline per line.
    const std::string opened = run_program(reference_program::stepopen, key_text);
    check(opened.size() == count * (block_size + 1));
    for (std::size_t n = 0; n < count; ++n) {
        check(opened[n * (block_size + 1) + block_size] == '\n');
    }

    // fixseal: for ASCII input every line is 128 printable characters.
    const std::string fixed = run_program(reference_program::fixseal, key_text);
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
    const std::string sealed = run_program(reference_program::stepseal, key_text);
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
