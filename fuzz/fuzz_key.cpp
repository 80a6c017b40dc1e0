// Any key text, line byte and counter value through the key conversion
// and the transform: under the sanitizers, no undefined behaviour, and
// the results stay in their ranges. Then the same line, as the line after
// as many others, through the line loop of every path this processor
// runs, against the independent model.
#include "linecore/frame.h"
#include "linecore/test_seams.h"
#include "linecore/transform.h"
#include "tests/reference.h"
#include "tests/stand_in.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void check(bool holds)
{
    if (!holds) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider provider(data, size);
    const unsigned steps = provider.ConsumeIntegral<std::uint8_t>();
    const std::string bytes = provider.ConsumeBytesAsString(provider.ConsumeIntegralInRange<std::size_t>(0, 300));
    std::string key_text = provider.ConsumeRemainingBytesAsString();
    key_text.resize(std::min(key_text.find('\0'), key_text.size())); // an argument ends at its first zero byte

    static char name[] = "fuzz"; // kept by the frame for messages
    char* argv[] = {name, key_text.data(), nullptr};
    const std::int32_t key = read_key(2, argv);
    errno = 0;
    const long number = std::strtol(key_text.c_str(), nullptr, 10);
    if (errno == 0 && number >= INT_MIN && number <= INT_MAX) {
        check(key == number); // where atoi is defined, the key is atoi's
    }

    const block_string key_block = make_key_block(key);
    check(key_block.size() == block_size);
    for (const char byte : key_block) {
        check(byte >= '!' && byte <= '~');
    }

    block_string line(bytes.begin(), bytes.end());
    std::string one_line = bytes; // a line of its own: no newline in it
    std::replace(one_line.begin(), one_line.end(), '\n', ' ');
    const std::size_t length = line.size();
    pad_line(line);
    check(line.size() == std::max(length, block_size));

    block_string counter_block = key_block;
    for (unsigned n = 0; n < steps; ++n) {
        step_counter(counter_block);
    }
    check(counter_block.compare(0, block_size - 1, key_block, 0, block_size - 1) == 0);
    check(static_cast<unsigned char>(counter_block[block_size - 1]) ==
          (static_cast<unsigned char>(key_block[block_size - 1]) + steps) % 256);

    block_string output_block;
    combine_block(line, counter_block, output_block);
    check(output_block.size() == block_size);
    for (std::size_t j = 0; j < block_size; ++j) {
        const auto p = static_cast<unsigned char>(line[j]);
        const auto k = static_cast<unsigned char>(counter_block[j]);
        const auto out = static_cast<unsigned char>(output_block[j]);
        if ((p ^ k) < 0x80) {
            check(out >= '!' && out <= '~');
        } else {
            check(out <= 0x21 || out >= 0xC4);
        }
    }

    // The stepping recipe in the loop of each path; the last line's block.
    std::string input;
    for (unsigned n = 0; n <= steps; ++n) {
        input += one_line + '\n';
    }
    const std::string expected = reference_line(reference_program::stepopen, reference_key_block(key), steps, one_line);
    for (const line_path path : {line_path::baseline, line_path::avx2, line_path::avx512}) {
        if (!force_line_path(path)) {
            continue;
        }
        serve(input);
        block_string looped_key_block;
        block_string looped_counter_block;
        block_string looped_output_block;
        check(for_each_line([&](block_string& each_line, std::uint64_t line_index) {
                  pad_line(each_line);
                  if (line_index == 0) {
                      looped_key_block = make_key_block(key);
                      looped_counter_block = looped_key_block;
                  } else {
                      step_counter(looped_counter_block);
                  }
                  combine_block(each_line, looped_counter_block, looped_output_block);
              }) == 0);
        check(as_string(looped_output_block) + '\n' == expected);
    }
    stop_forcing_line_path();
    return 0;
}
