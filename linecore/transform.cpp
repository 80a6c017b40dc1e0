#include "linecore/transform.h"

#include <algorithm>
#include <cstdlib>

std::string make_key_block(std::int32_t key)
{
    // The conversion to unsigned is modular: key -1 seeds with 2^32 - 1.
    std::srand(static_cast<unsigned>(key));
    std::string key_block(block_size, '\0');
    // One rand() per byte, in order from the first byte.
    std::generate(key_block.begin(), key_block.end(), [] {
        return static_cast<char>(std::rand() % 94 + 33);
    });
    return key_block;
}

void pad_line(std::string& line)
{
    if (line.size() < block_size) {
        line.resize(block_size, pad_char);
    }
}

void combine_block(const std::string& line, const std::string& block, std::string& output_block)
{
    output_block.resize(block_size);
    const auto* line_bytes = reinterpret_cast<const unsigned char*>(line.data());
    const auto* block_bytes = reinterpret_cast<const unsigned char*>(block.data());
    auto* output_bytes = reinterpret_cast<unsigned char*>(output_block.data());
    for (std::size_t j = 0; j < block_size; ++j) {
        output_bytes[j] = combine_byte(line_bytes[j], block_bytes[j]);
    }
}

void step_counter(std::string& counter_block)
{
    char& last = counter_block[block_size - 1];
    last = static_cast<char>(static_cast<unsigned char>(last) + 1);
}
