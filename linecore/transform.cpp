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
