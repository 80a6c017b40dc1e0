#include "linecore/transform.h"

#include "linecore/messages.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

void* allocate_block_memory(std::size_t size)
{
    // aligned_alloc takes whole multiples of the alignment, and no size 0.
    // A size that would wrap when rounded up is none the heap could give.
    if (size > SIZE_MAX - block_size) {
        exit_out_of_memory();
    }
    const std::size_t blocks = (std::max<std::size_t>(size, 1) + block_size - 1) / block_size;
    void* memory = std::aligned_alloc(block_size, blocks * block_size);
    if (memory == nullptr) {
        exit_out_of_memory();
    }
    return memory;
}

void free_block_memory(void* memory) noexcept
{
    std::free(memory);
}

block_string make_key_block(std::int32_t key)
{
    // The conversion to unsigned is modular: key -1 seeds with 2^32 - 1.
    std::srand(static_cast<unsigned>(key));
    block_string key_block(block_size, '\0');
    // One rand() per byte, in order from the first byte.
    std::generate(key_block.begin(), key_block.end(), [] {
        return static_cast<char>(std::rand() % 94 + 33);
    });
    return key_block;
}
