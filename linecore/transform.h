// The blocks and the arithmetic every filter shares: the key block,
// bringing a line to block length, the byte combination and the counter
// step.
#ifndef LINECORE_TRANSFORM_H
#define LINECORE_TRANSFORM_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

inline constexpr std::size_t block_size = 128;
inline constexpr char pad_char = '0';

// The memory of every block starts on a multiple of block_size, so that no
// block straddles a page. Each line stores and loads the blocks whole, and
// an access split across two pages costs several times one within a page,
// the more so where a load must wait for the store before it: where the
// heap once placed fixseal's output block across a page boundary, fixseal
// took a fifth more time per line than stepseal.
// Ends the run with a message where the memory is not there.
void* allocate_block_memory(std::size_t size);
void free_block_memory(void* memory) noexcept;

// The allocator interface that a standard string asks of its memory.
template <typename Byte> struct block_allocator {
    static_assert(sizeof(Byte) == 1);
    using value_type = Byte;
    Byte* allocate(std::size_t size)
    {
        return static_cast<Byte*>(allocate_block_memory(size));
    }
    void deallocate(Byte* memory, std::size_t /*size*/) noexcept
    {
        free_block_memory(memory);
    }
};
template <typename A, typename B> constexpr bool operator==(block_allocator<A> /*a*/, block_allocator<B> /*b*/)
{
    return true;
}

// A block, or a line: a standard library string on block-aligned memory.
using block_string = std::basic_string<char, std::char_traits<char>, block_allocator<char>>;

// Seeds the C library generator with the key (as unsigned 32 bits) and
// draws block_size printable characters from it, '!' to '~'.
block_string make_key_block(std::int32_t key);

// The per-line operations are inline and always inlined: the line loop
// runs as one clone per instruction set (linecore/line_paths.h), and each
// clone gets its own vector code for them only when they are in it.
#define LINECORE_INLINE [[gnu::always_inline]] inline

// Extends a line shorter than block_size with pad_char; longer lines stay.
LINECORE_INLINE void pad_line(block_string& line)
{
    if (line.size() < block_size) {
        line.resize(block_size, pad_char);
    }
}

// XOR, read as a signed byte, remainder of 94 (truncated toward zero),
// plus 33, as a byte. A signed byte lies in -128..127, so the remainder
// is at most one subtraction or addition of 94. Done in byte arithmetic,
// which wraps modulo 256 as the result does, the block loop vectorises to
// a few instructions per 16 bytes instead of a division per byte.
constexpr unsigned char combine_byte(unsigned char p, unsigned char k)
{
    const auto v = static_cast<unsigned char>(p ^ k);
    const auto s = static_cast<signed char>(v);
    const unsigned char fold_down = s > 93 ? 94 : 0;
    // The conversion wraps bytes from 0x80 up to negative values.
    // cppcheck-suppress knownConditionTrueFalse
    const unsigned char fold_up = s < -93 ? 94 : 0;
    return static_cast<unsigned char>(v + 33 - fold_down + fold_up);
}

// block_size bytes, each the combination of the bytes at its position.
// Restrict: the compiler need not check at run time that to overlaps
// neither source before it vectorises.
LINECORE_INLINE void combine_bytes(unsigned char* __restrict to, const unsigned char* __restrict line_bytes,
                                   const unsigned char* __restrict block_bytes)
{
    for (std::size_t j = 0; j < block_size; ++j) {
        to[j] = combine_byte(line_bytes[j], block_bytes[j]);
    }
}

// Sets output_block to block_size bytes, each the combination of the
// line byte and block byte at its position. line and block must hold at
// least block_size bytes; output_block must be neither.
LINECORE_INLINE void combine_block(const block_string& line, const block_string& block, block_string& output_block)
{
    if (output_block.size() != block_size) {
        output_block.resize(block_size);
    }
    combine_bytes(reinterpret_cast<unsigned char*>(output_block.data()),
                  reinterpret_cast<const unsigned char*>(line.data()),
                  reinterpret_cast<const unsigned char*>(block.data()));
}

// 0, ..., 0, 1: what step_counter adds to a block.
inline constexpr auto counter_step = [] {
    std::array<unsigned char, block_size> step{};
    step[block_size - 1] = 1;
    return step;
}();

// Adds one to the last byte, wrapping from 255 to 0, with no carry. As a
// whole-block add of counter_step: the combine then loads the block in
// vectors of the width this one stored, which the processor forwards from
// its store queue. After a store of the one byte, those loads would wait
// for it to reach the cache, a tenth of a line's time.
LINECORE_INLINE void step_counter(block_string& counter_block)
{
    auto* bytes = reinterpret_cast<unsigned char*>(counter_block.data());
    for (std::size_t j = 0; j < block_size; ++j) {
        bytes[j] = static_cast<unsigned char>(bytes[j] + counter_step[j]);
    }
}

#endif
