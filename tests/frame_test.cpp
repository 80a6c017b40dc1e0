// The frame's reader and writers, driven in process through stand-in
// read and write calls.
#include "linecore/frame.h"
#include "linecore/transform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

// What the stand-in read call serves: the input in pieces of at most
// piece_size bytes, then either the end or an error.
std::string served_input;
std::size_t served_offset = 0;
std::size_t piece_size = 1;
int error_after_input = 0;
int interruptions_left = 0;

ssize_t serve_input(void* buffer, std::size_t size)
{
    if (interruptions_left > 0) {
        --interruptions_left;
        errno = EINTR;
        return -1;
    }
    const std::size_t count = std::min({size, piece_size, served_input.size() - served_offset});
    if (count == 0 && error_after_input != 0) {
        errno = error_after_input;
        return -1;
    }
    std::memcpy(buffer, served_input.data() + served_offset, count);
    served_offset += count;
    return static_cast<ssize_t>(count);
}

std::vector<std::string> writes;
int write_error = 0;

ssize_t record_write(const void* buffer, std::size_t size)
{
    if (write_error != 0) {
        errno = write_error;
        return -1;
    }
    writes.emplace_back(static_cast<const char*>(buffer), size);
    return static_cast<ssize_t>(size);
}

void serve(const std::string& input, std::size_t piece, int error = 0)
{
    served_input = input;
    served_offset = 0;
    piece_size = piece;
    error_after_input = error;
    interruptions_left = 0;
    writes.clear();
    write_error = 0;
    use_io(serve_input, record_write);
}

std::vector<std::string> read_all_lines()
{
    std::vector<std::string> lines;
    std::string line;
    while (read_line(line) == read_status::line) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> getline_lines(const std::string& input)
{
    std::istringstream stream(input);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(stream, line)) {
        lines.push_back(line.substr(0, block_size));
    }
    return lines;
}

std::string joined_writes()
{
    std::string all;
    for (const std::string& piece : writes) {
        all += piece;
    }
    return all;
}

TEST(ReadLine, SplitsLikeGetlineHoweverTheBytesArrive)
{
    const std::string inputs[] = {
        "",
        "\n",
        "\n\n\n",
        "no newline",
        "a\nb\n",
        "a\nb",
        "crlf\r\nline\r\n",
        std::string(127, 'a') + "\n" + std::string(128, 'b') + "\n" + std::string(129, 'c') + "\n",
        std::string("zero\0byte\n\xff\x80\n", 13),
        std::string(300000, 'L') + "\nshort\n" + std::string(200000, 'M'),
    };
    for (const std::string& input : inputs) {
        for (const std::size_t piece : {1U, 3U, 127U, 129U, 1U << 20}) {
            serve(input, piece);
            EXPECT_EQ(read_all_lines(), getline_lines(input)) << "piece " << piece << " input size " << input.size();
        }
    }
}

TEST(ReadLine, RetriesInterruptedReads)
{
    serve("one\ntwo\n", 2);
    interruptions_left = 3;
    EXPECT_EQ(read_all_lines(), (std::vector<std::string>{"one", "two"}));
}

TEST(ReadLine, KeepsOnlyTheFirstBlockOfAGigabyteLine)
{
    // One read buffer of 'x' served again and again: a line of 1 GiB that
    // never exists in memory, then a short one.
    static std::size_t remaining = 0;
    remaining = std::size_t{1} << 30;
    use_io(
        [](void* buffer, std::size_t size) -> ssize_t {
            if (remaining == 0) {
                std::memcpy(buffer, "\nend\n", 5);
                remaining = SIZE_MAX;
                return 5;
            }
            if (remaining == SIZE_MAX) {
                return 0;
            }
            const std::size_t count = std::min(size, remaining);
            std::memset(buffer, 'x', count);
            remaining -= count;
            return static_cast<ssize_t>(count);
        },
        record_write);
    std::string line;
    ASSERT_EQ(read_line(line), read_status::line);
    EXPECT_EQ(line, std::string(block_size, 'x'));
    EXPECT_LE(line.capacity(), 2 * block_size);
    ASSERT_EQ(read_line(line), read_status::line);
    EXPECT_EQ(line, "end");
    EXPECT_EQ(read_line(line), read_status::end);
}

TEST(ForEachLine, CountsLinesFromZero)
{
    serve("a\n\nc", 2);
    std::vector<std::uint64_t> indexes;
    std::vector<std::string> lines;
    EXPECT_EQ(for_each_line([&](std::string& line, std::uint64_t line_index) {
                  lines.push_back(line);
                  indexes.push_back(line_index);
              }),
              0);
    EXPECT_EQ(lines, (std::vector<std::string>{"a", "", "c"}));
    EXPECT_EQ(indexes, (std::vector<std::uint64_t>{0, 1, 2}));
}

TEST(ForEachLine, ReadErrorWritesWhatWasDoneThenFails)
{
    serve("first\nsecond\npartial", 4, EIO);
    testing::internal::CaptureStderr();
    const int status = for_each_line([](std::string& line, std::uint64_t) {
        pad_line(line);
        write_text_line(line);
    });
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "linecore: read error: Input/output error\n");
    EXPECT_EQ(status, 1);
    EXPECT_EQ(joined_writes(), "first" + std::string(123, '0') + "\nsecond" + std::string(122, '0') + "\n");
}

TEST(WriteTextLine, EndsAtFirstZeroByteAndBuffers)
{
    serve("", 1);
    std::string block(block_size, 'q');
    write_text_line(block);
    block[5] = '\0';
    write_text_line(block);
    block[0] = '\0';
    write_text_line(block);
    EXPECT_TRUE(writes.empty()); // held until the buffer fills or the run ends
    EXPECT_EQ(finish_run(read_status::end), 0);
    EXPECT_EQ(joined_writes(), std::string(128, 'q') + "\nqqqqq\n\n");

    serve("", 1);
    for (int n = 0; n < 10000; ++n) {
        write_text_line(std::string(block_size, 'w'));
    }
    finish_run(read_status::end);
    std::string expected;
    for (int n = 0; n < 10000; ++n) {
        expected += std::string(block_size, 'w') + '\n';
    }
    EXPECT_EQ(joined_writes(), expected);
    for (const std::string& piece : writes) {
        EXPECT_LE(piece.size(), 65536U); // never more than a pipe holds
    }
    EXPECT_LT(writes.size(), 25U);
}

TEST(WriteFullBlock, OneWritePerBlockWithZeroBytes)
{
    serve("", 1);
    std::string block(block_size, '\0');
    block[64] = '\n';
    write_full_block(block);
    write_full_block(block);
    ASSERT_EQ(writes.size(), 2U);
    EXPECT_EQ(writes[0], block + '\n');
    EXPECT_EQ(writes[1], block + '\n');
}

TEST(WriteErrorDeathTest, ReportsReasonAndExitsOne)
{
    EXPECT_EXIT(
        {
            serve("", 1);
            write_error = ENOSPC;
            write_full_block(std::string(block_size, 'z'));
        },
        testing::ExitedWithCode(1), "^linecore: write error: No space left on device\n$");
    EXPECT_EXIT(
        {
            serve("", 1);
            write_error = EPIPE;
            write_text_line(std::string(block_size, 'z'));
            finish_run(read_status::end);
        },
        testing::ExitedWithCode(1), "^linecore: write error: Broken pipe\n$");
}

} // namespace
