// The frame's reader and writers, driven in process through the stand-in
// descriptor calls.
#include "linecore/frame.h"
#include "linecore/transform.h"
#include "reference.h"
#include "stand_in.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> read_all_lines()
{
    line_input input = start_input();
    std::vector<std::string> lines;
    block_string line;
    while (read_line(input, line) == read_status::line) {
        lines.push_back(as_string(line));
    }
    return lines;
}

std::string padded_text_line(const std::string& text)
{
    return reference_padded(text) + "\n";
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
        // Lines that start in the last block of a full read.
        [] {
            std::string lines;
            for (int n = 0; n < 30000; ++n) {
                lines += "abcdefghi\n";
            }
            return lines;
        }(),
    };
    for (const std::string& input : inputs) {
        for (const std::size_t piece : {1U, 3U, 127U, 129U, 1U << 20}) {
            serve(input, {piece});
            EXPECT_EQ(read_all_lines(), reference_lines(input)) << "piece " << piece << " input size " << input.size();
            // Each read took a piece, and one more found the end.
            const std::size_t most = std::min<std::size_t>(piece, input_capacity);
            EXPECT_EQ(stand_in.reads, (input.size() + most - 1) / most + 1) << "piece " << piece;
        }
    }
}

void write_line(const block_string& line, std::uint64_t /*line_index*/)
{
    write_text_line(line);
}

TEST(ReadLine, RetriesInterruptedReads)
{
    serve({{"", EINTR}, {"one\n"}, {"", EINTR}, {"", EINTR}, {"two\n"}});
    EXPECT_EQ(read_all_lines(), (std::vector<std::string>{reference_padded("one"), reference_padded("two")}));
}

TEST(ReadLine, InputThatEndedOrFailedStaysSo)
{
    // A terminal gives more after Ctrl-D, and a socket gives 0 after its
    // error: once the input is over, it is never read again.
    struct case_t {
        std::vector<read_answer> answers;
        std::vector<std::string> lines;
        read_status last;
    };
    const case_t cases[] = {
        {{{"a\nb"}, {""}, {"c\n"}}, {"a", "b"}, read_status::end},
        {{{"a\n"}, {""}, {"c\n"}}, {"a"}, read_status::end},
        {{{"a\nb"}, {"", EIO}, {""}, {"c\n"}}, {"a", "b"}, read_status::error},
        {{{"a\n"}, {"", EIO}, {""}, {"c\n"}}, {"a"}, read_status::error},
    };
    for (const case_t& c : cases) {
        serve(c.answers);
        line_input input = start_input();
        std::vector<std::string> lines;
        block_string line;
        read_status status = read_status::line;
        while ((status = read_line(input, line)) == read_status::line) {
            lines.push_back(as_string(line));
        }
        std::vector<std::string> expected;
        std::transform(c.lines.begin(), c.lines.end(), std::back_inserter(expected), reference_padded);
        EXPECT_EQ(lines, expected);
        EXPECT_EQ(status, c.last);
        EXPECT_EQ(read_line(input, line), c.last);
        // The last answer, "c\n", is never given.
        EXPECT_TRUE(stand_in.answer < c.answers.size() - 1 || stand_in.given == 0) << "read past the end of input";
        EXPECT_LT(stand_in.answer, c.answers.size());
    }
}

TEST(ReadLine, KeepsOnlyTheFirstBlockOfAGigabyteLine)
{
    // One read buffer of 'x' served again and again: a line of 1 GiB that
    // never exists in memory, then a short one.
    static std::size_t remaining = 0;
    remaining = std::size_t{1} << 30;
    serve("");
    use_descriptor_calls({[](int /*descriptor*/, void* buffer, std::size_t size) -> ssize_t {
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
                          stand_in_write, stand_in_close, stand_in_fstat, stand_in_lseek});
    line_input input = start_input();
    block_string line;
    ASSERT_EQ(read_line(input, line), read_status::line);
    EXPECT_EQ(line, block_string(block_size, 'x'));
    EXPECT_LE(line.capacity(), 2 * block_size);
    ASSERT_EQ(read_line(input, line), read_status::line);
    EXPECT_EQ(as_string(line), reference_padded("end"));
    EXPECT_EQ(read_line(input, line), read_status::end);
}

TEST(ForEachLine, CountsLinesFromZeroOnAlignedBlocks)
{
    std::string input = "a\n\nc";
    for (int n = 3; n < 300; ++n) {
        input += "\nline";
    }
    serve(input, {3, 4096}); // lines across reads, and lines whole in one
    std::vector<std::uint64_t> indexes;
    std::vector<std::string> lines;
    EXPECT_EQ(for_each_line([&](block_string& line, std::uint64_t line_index) {
                  lines.push_back(as_string(line));
                  indexes.push_back(line_index);
                  ASSERT_EQ(reinterpret_cast<std::uintptr_t>(line.data()) % block_size, 0U);
                  line.assign("a step may change its line");
              }),
              0);
    ASSERT_EQ(lines.size(), 300U);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 4),
              (std::vector<std::string>{reference_padded("a"), reference_padded(""), reference_padded("c"),
                                        reference_padded("line")}));
    for (std::uint64_t n = 0; n < 300; ++n) {
        ASSERT_EQ(indexes[n], n);
    }
}

TEST(ForEachLine, WritesWhatItHasBeforeEveryReadThatMayWait)
{
    // Lines arriving a read at a time, as from a terminal: before each read,
    // which may wait for long, every line so far has been written. A read
    // of a regular file never waits, so there the lines gather.
    const std::size_t line = block_size + 1;
    const std::pair<mode_t, std::vector<std::size_t>> cases[] = {
        {S_IFIFO, {0, line, 3 * line, 3 * line}},
        {S_IFCHR, {0, line, 3 * line, 3 * line}},
        {S_IFREG, {0, 0, 0, 0}},
    };
    for (const auto& [type, written_at_read] : cases) {
        serve({{"one\n"}, {"two\nthree\n"}, {"four"}});
        stand_in.input_type = type;
        EXPECT_EQ(for_each_line(write_line), 0);
        EXPECT_EQ(stand_in.written_at_read, written_at_read) << "file type " << type;
        EXPECT_EQ(stand_in.written.size(), 4 * line);
    }
}

TEST(ForEachLine, ReadErrorComesAfterEveryLineBeforeIt)
{
    // The partial last line is written too, and the read after the error,
    // which gives 0 as a socket's does, must not hide it; nor must the
    // interrupted writes that come between the error and its report. The
    // message names the program as the last part of argv[0] names it.
    const std::pair<const char*, std::string> names[] = {
        {"linecore", "linecore"},
        {"/usr/bin/stepseal", "stepseal"},
        {"bin/stepopen/", "stepopen"}, // as exec -a may give
        {"", "stepopen"},              // names nothing: the name stays
    };
    for (const auto& [argv0, name] : names) {
        serve({{"first\nsecond\npar"}, {"tial"}, {"", EIO}, {""}});
        stand_in.write_schedule = {-EINTR, INT_MAX, -EINTR, INT_MAX, -EINTR, INT_MAX, -EINTR, INT_MAX};
        set_program_name(argv0);
        testing::internal::CaptureStderr();
        const int status = for_each_line(write_line);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), name + ": read error: Input/output error\n");
        EXPECT_EQ(status, 1);
        EXPECT_EQ(stand_in.written,
                  padded_text_line("first") + padded_text_line("second") + padded_text_line("partial"));
    }
}

TEST(WriteTextLine, EndsAtFirstZeroByteAndBuffers)
{
    // A zero byte at each place in turn, then two, then none.
    serve("");
    std::string expected;
    for (std::size_t zero = 0; zero < block_size; ++zero) {
        block_string block(block_size, 'q');
        block[zero] = '\0';
        write_text_line(block);
        expected += std::string(zero, 'q') + '\n';
    }
    block_string block(block_size, 'q');
    block[9] = '\0';
    block[3] = '\0';
    write_text_line(block);
    write_text_line(block_string(block_size, 'q'));
    expected += "qqq\n" + std::string(block_size, 'q') + '\n';
    EXPECT_TRUE(stand_in.written.empty()); // held until the buffer fills or the run ends
    EXPECT_EQ(finish_run(start_input(), read_status::end), 0);
    EXPECT_EQ(stand_in.written, expected);
}

TEST(WriteTextLine, FillsTheBufferToItsEdgeAndNoFurther)
{
    // Whole lines and one short one leave room for exactly one more whole
    // line, or for one byte less: it must just fit, or go to a new buffer.
    // Another line follows it in the next buffer.
    const std::size_t whole_line = block_size + 1;
    const block_string block(block_size, 'e');
    for (const std::size_t room : {whole_line, whole_line - 1}) {
        const std::size_t used = output_buffer_size - room;
        const std::size_t short_line = used % whole_line; // with its newline
        ASSERT_GE(short_line, 1U);
        serve("");
        std::string expected;
        for (std::size_t n = 0; n < used / whole_line; ++n) {
            write_text_line(block);
            expected += as_string(block) + '\n';
        }
        block_string cut = block;
        cut[short_line - 1] = '\0';
        write_text_line(cut);
        expected += as_string(block.substr(0, short_line - 1)) + '\n';
        for (int n = 0; n < 2; ++n) {
            write_text_line(block);
            expected += as_string(block) + '\n';
        }
        finish_run(start_input(), read_status::end);
        EXPECT_TRUE(stand_in.written == expected) << "room " << room;
        ASSERT_EQ(stand_in.write_sizes.size(), 2U) << "room " << room;
        EXPECT_EQ(stand_in.write_sizes[0], room == whole_line ? output_buffer_size : used) << "room " << room;
    }
}

TEST(WriteFullBlock, OneWritePerBlockWithZeroBytes)
{
    serve("");
    block_string block(block_size, '\0');
    block[64] = '\n';
    write_full_block(block);
    write_full_block(block);
    EXPECT_EQ(stand_in.write_sizes, (std::vector<std::size_t>{block_size + 1, block_size + 1}));
    EXPECT_EQ(stand_in.written, as_string(block) + '\n' + as_string(block) + '\n');
}

TEST(Writers, ShortAndInterruptedWritesLoseNothing)
{
    const std::vector<int> schedules[] = {
        {1, 1, 1, 1},
        {-EINTR, 50, -EINTR, -EINTR, 7},
        {64, -EINTR, 65, 1},
    };
    block_string first(block_size, 'f');
    first[100] = '\0';
    const block_string second(block_size, 's');
    for (const std::vector<int>& schedule : schedules) {
        serve("");
        stand_in.write_schedule = schedule;
        write_text_line(first);
        write_text_line(second);
        EXPECT_EQ(finish_run(start_input(), read_status::end), 0);
        EXPECT_EQ(stand_in.written, as_string(first.substr(0, 100)) + '\n' + as_string(second) + '\n');

        serve("");
        stand_in.write_schedule = schedule;
        write_full_block(first);
        write_full_block(second);
        EXPECT_EQ(stand_in.written, as_string(first) + '\n' + as_string(second) + '\n');
    }
}

TEST(WriteErrorDeathTest, ReportsReasonAndExitsOne)
{
    struct case_t {
        std::vector<int> schedule;
        int close_error;
        std::string reason;
    };
    const case_t cases[] = {
        {{-ENOSPC}, 0, "No space left on device"},
        {{10, -EPIPE}, 0, "Broken pipe"},
        {{0}, 0, "Input/output error"},          // a write that takes nothing
        {{}, ENOSPC, "No space left on device"}, // only the close fails
    };
    const block_string block(block_size, 'z');
    set_program_name("linecore"); // another test in this process may have run a program's main
    for (const case_t& c : cases) {
        for (const auto writer : {write_text_line, write_full_block}) {
            EXPECT_EXIT(
                {
                    serve("");
                    stand_in.write_schedule = c.schedule;
                    stand_in.close_error = c.close_error;
                    writer(block);
                    finish_run(start_input(), read_status::end);
                },
                testing::ExitedWithCode(1), "^linecore: write error: " + c.reason + "\n$");
        }
    }
    // A read error and a failed close: both are told.
    EXPECT_EXIT(
        {
            serve({{"line\n"}, {"", EIO}});
            stand_in.close_error = EIO;
            for_each_line(write_line);
        },
        testing::ExitedWithCode(1),
        "^linecore: read error: Input/output error\nlinecore: write error: Input/output error\n$");
}

} // namespace
