// The arithmetic every filter shares: the key block, bringing a line to
// block length, the byte combination and the counter step.
#ifndef LINECORE_TRANSFORM_H
#define LINECORE_TRANSFORM_H

#include <cstddef>
#include <cstdint>
#include <string>

inline constexpr std::size_t block_size = 128;
inline constexpr char pad_char = '0';

// Seeds the C library generator with the key (as unsigned 32 bits) and
// draws block_size printable characters from it, '!' to '~'.
std::string make_key_block(std::int32_t key);

// Extends a line shorter than block_size with pad_char; longer lines stay.
void pad_line(std::string& line);

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

// Sets output_block to block_size bytes, each the combination of the
// line byte and block byte at its position. line and block must hold at
// least block_size bytes.
void combine_block(const std::string& line, const std::string& block, std::string& output_block);

// Adds one to the last byte, wrapping from 255 to 0, with no carry.
void step_counter(std::string& counter_block);

#endif
