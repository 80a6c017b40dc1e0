#include "linecore/transform.h"
#include "reference.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

TEST(ReferenceRand, MatchesPublishedGlibcSequence)
{
    // The first outputs of glibc's rand() after srand(1), as published.
    const std::vector<std::int32_t> expected{1804289383, 846930886, 1681692777, 1714636915, 1957747793,
                                             424238335,  719885386, 1649760492, 596516649,  1189641421};
    EXPECT_EQ(glibc_rand(1, 10), expected);
    EXPECT_EQ(glibc_rand(0, 10), expected); // glibc seeds 0 as 1
}

TEST(KeyBlock, KeyOneBeginsWithPublishedCheckValue)
{
    EXPECT_EQ(make_key_block(1).substr(0, 3), "v%b");
}

TEST(KeyBlock, FollowsGlibcSequenceForAnyKey)
{
    for (const std::int32_t key : {1, 0, -1, 42, 2147483647, -2147483647 - 1}) {
        const block_string block = make_key_block(key);
        EXPECT_EQ(as_string(block), reference_key_block(key)) << "key " << key;
        EXPECT_EQ(block, make_key_block(key)) << "key " << key;
        for (const char byte : block) {
            EXPECT_GE(byte, '!');
            EXPECT_LE(byte, '~');
        }
    }
}

TEST(CombineByte, TellingValues)
{
    // XOR value v against a zero block byte, and the results of the table.
    const std::pair<unsigned char, unsigned char> table[] = {
        {0x00, 33},   {0x01, 34},   {0x5D, 126},  {0x5E, 33},   {0x7F, 66},  {0x80, 0xFF},
        {0x81, 0x00}, {0xA0, 0x1F}, {0xDF, 0x00}, {0xFF, 0x20}, {0xA2, '!'}, {0xE9, '\n'},
    };
    for (const auto& [v, result] : table) {
        EXPECT_EQ(combine_byte(v, 0), result) << "v " << int{v};
        // Only the XOR counts, not which side a bit comes from.
        EXPECT_EQ(combine_byte(static_cast<unsigned char>(v ^ 0x5A), 0x5A), result) << "v " << int{v};
    }
}

TEST(CombineByte, EqualsSignedRemainderForEveryPair)
{
    for (int p = 0; p < 256; ++p) {
        for (int k = 0; k < 256; ++k) {
            const auto line_byte = static_cast<unsigned char>(p);
            const auto block_byte = static_cast<unsigned char>(k);
            ASSERT_EQ(combine_byte(line_byte, block_byte), reference_combine(line_byte, block_byte))
                << "p " << p << " k " << k;
        }
    }
}

TEST(CombineByte, AsciiAgainstKeyBlockIsPrintable)
{
    for (int p = 0; p < 128; ++p) {
        for (int k = 33; k < 127; ++k) {
            const unsigned char out = combine_byte(static_cast<unsigned char>(p), static_cast<unsigned char>(k));
            ASSERT_GE(out, '!');
            ASSERT_LE(out, '~');
        }
    }
}

TEST(CombineBlock, UsesFirstBlockBytesOnlyAndSizesOutput)
{
    const block_string block = make_key_block(7);
    block_string line(128, 'a');
    for (std::size_t j = 0; j < line.size(); ++j) {
        line[j] = static_cast<char>(j * 37);
    }
    block_string short_output;
    combine_block(line, block, short_output);
    ASSERT_EQ(short_output.size(), 128U);
    for (std::size_t j = 0; j < 128; ++j) {
        EXPECT_EQ(static_cast<unsigned char>(short_output[j]),
                  reference_combine(static_cast<unsigned char>(line[j]), static_cast<unsigned char>(block[j])));
    }
    block_string long_output(300, 'x'); // a longer previous output is cut back
    combine_block(line + block_string(1000, '\xE9'), block, long_output);
    EXPECT_EQ(long_output, short_output);
}

TEST(PadLine, ExtendsShortLinesOnly)
{
    block_string empty;
    pad_line(empty);
    EXPECT_EQ(empty, block_string(128, '0'));

    block_string almost(127, 'x');
    pad_line(almost);
    EXPECT_EQ(as_string(almost), std::string(127, 'x') + "0");

    for (const std::size_t size : {128U, 129U, 1000U}) {
        block_string line(size, 'y');
        pad_line(line);
        EXPECT_EQ(line, block_string(size, 'y'));
    }
}

TEST(StepCounter, RaisesLastByteWithWrapAndNoCarry)
{
    block_string block(128, '\xFF');
    step_counter(block);
    EXPECT_EQ(block, block_string(127, '\xFF') + '\0');

    const block_string start = make_key_block(3);
    block_string counter = start;
    for (int step = 1; step < 256; ++step) {
        step_counter(counter);
        ASSERT_EQ(counter.substr(0, 127), start.substr(0, 127));
        ASSERT_EQ(static_cast<unsigned char>(counter[127]), (static_cast<unsigned char>(start[127]) + step) % 256);
    }
    step_counter(counter);
    EXPECT_EQ(counter, start);
}

} // namespace

// Every block starts on a multiple of block_size and holds what was asked
// for (the sanitizers and valgrind see a write past its end); many at once,
// so that a lesser alignment cannot pass by chance. Memory that cannot be
// had ends the run with a message, also where rounding the size up to a
// whole block would wrap.
TEST(BlockMemoryDeathTest, AlignedToABlockOrTheRunEnds)
{
    std::vector<void*> blocks;
    for (int round = 0; round < 8; ++round) {
        for (const std::size_t size : {0, 1, 127, 128, 129, 4097}) {
            void* memory = allocate_block_memory(size);
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(memory) % block_size, 0U) << size;
            std::memset(memory, 0x5A, size);
            blocks.push_back(memory);
        }
    }
    for (void* memory : blocks) {
        free_block_memory(memory);
    }
    for (const std::size_t size : {SIZE_MAX, SIZE_MAX - block_size + 1}) {
        EXPECT_EXIT(allocate_block_memory(size), testing::ExitedWithCode(1), ": memory exhausted\n") << size;
    }
}
