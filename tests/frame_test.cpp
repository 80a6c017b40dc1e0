// The frame's reader and writers, driven in process through stand-in
// read and write calls.
#include "linecore/frame.h"
#include "linecore/transform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

// What the stand-in read call answers, call by call: bytes (given out
// across calls if the caller asks for fewer), an error, or the end of
// input for an empty answer. After the last answer it gives the end.
struct read_answer {
    std::string bytes;
    int error = 0;
};
std::vector<read_answer> read_answers;
std::size_t answer_index = 0;
// How much had been written when each read call came.
std::vector<std::size_t> written_at_read;

std::vector<std::string> writes;
std::size_t written_bytes = 0;

ssize_t serve_input(void* buffer, std::size_t size)
{
    written_at_read.push_back(written_bytes);
    if (answer_index == read_answers.size()) {
        return 0;
    }
    read_answer& answer = read_answers[answer_index];
    if (answer.error != 0) {
        ++answer_index;
        errno = answer.error;
        return -1;
    }
    const std::size_t count = std::min(size, answer.bytes.size());
    std::memcpy(buffer, answer.bytes.data(), count);
    answer.bytes.erase(0, count);
    if (answer.bytes.empty()) {
        ++answer_index;
    }
    return static_cast<ssize_t>(count);
}

// What the stand-in write call does, call by call: a positive number
// takes at most that many bytes, 0 takes none and returns 0, a negative
// one fails with that errno. After the schedule it takes everything.
std::vector<int> write_schedule;
std::size_t write_call = 0;

ssize_t record_write(const void* buffer, std::size_t size)
{
    const int answer = write_call < write_schedule.size() ? write_schedule[write_call] : INT_MAX;
    ++write_call;
    if (answer < 0) {
        errno = -answer;
        return -1;
    }
    const std::size_t count = std::min(size, static_cast<std::size_t>(answer));
    writes.emplace_back(static_cast<const char*>(buffer), count);
    written_bytes += count;
    return static_cast<ssize_t>(count);
}

int close_error = 0;

int record_close()
{
    errno = close_error;
    return close_error != 0 ? -1 : 0;
}

void serve_answers(std::vector<read_answer> answers)
{
    read_answers = std::move(answers);
    answer_index = 0;
    written_at_read.clear();
    writes.clear();
    written_bytes = 0;
    write_schedule.clear();
    write_call = 0;
    close_error = 0;
    use_io(serve_input, record_write, record_close);
}

// The input in pieces of at most piece bytes, then the given error.
void serve(const std::string& input, std::size_t piece, int error = 0)
{
    std::vector<read_answer> answers;
    for (std::size_t at = 0; at < input.size(); at += piece) {
        answers.push_back({input.substr(at, piece)});
    }
    if (error != 0) {
        answers.push_back({"", error});
    }
    serve_answers(std::move(answers));
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

std::string padded_text_line(const std::string& text)
{
    return text + std::string(block_size - text.size(), pad_char) + "\n";
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
            serve(input, piece);
            EXPECT_EQ(read_all_lines(), getline_lines(input)) << "piece " << piece << " input size " << input.size();
        }
    }
}

void write_padded(std::string& line, std::uint64_t /*line_index*/)
{
    pad_line(line);
    write_text_line(line);
}

TEST(ReadLine, RetriesInterruptedReads)
{
    serve_answers({{"", EINTR}, {"one\n"}, {"", EINTR}, {"", EINTR}, {"two\n"}});
    EXPECT_EQ(read_all_lines(), (std::vector<std::string>{"one", "two"}));
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
        serve_answers(c.answers);
        std::vector<std::string> lines;
        std::string line;
        read_status status = read_status::line;
        while ((status = read_line(line)) == read_status::line) {
            lines.push_back(line);
        }
        EXPECT_EQ(lines, c.lines);
        EXPECT_EQ(status, c.last);
        EXPECT_EQ(read_line(line), c.last);
        EXPECT_EQ(read_answers.back().bytes, "c\n") << "read past the end of input";
    }
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
        record_write, record_close);
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
    std::string input = "a\n\nc";
    for (int n = 3; n < 300; ++n) {
        input += "\nline";
    }
    serve(input, 2);
    std::vector<std::uint64_t> indexes;
    std::vector<std::string> lines;
    EXPECT_EQ(for_each_line([&](std::string& line, std::uint64_t line_index) {
                  lines.push_back(line);
                  indexes.push_back(line_index);
              }),
              0);
    ASSERT_EQ(lines.size(), 300U);
    // Each line comes brought to block length, as pad_line brings it.
    const auto padded = [](const std::string& text) {
        return text + std::string(block_size - text.size(), pad_char);
    };
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 4),
              (std::vector<std::string>{padded("a"), padded(""), padded("c"), padded("line")}));
    for (std::uint64_t n = 0; n < 300; ++n) {
        ASSERT_EQ(indexes[n], n);
    }
}

TEST(ForEachLine, WritesWhatItHasBeforeEveryRead)
{
    // Lines arriving a read at a time, as from a terminal: before each read,
    // which may wait for long, every line so far has been written.
    serve_answers({{"one\n"}, {"two\nthree\n"}, {"four"}});
    EXPECT_EQ(for_each_line(write_padded), 0);
    const std::size_t line = block_size + 1;
    EXPECT_EQ(written_at_read, (std::vector<std::size_t>{0, line, 3 * line, 3 * line}));
    EXPECT_EQ(written_bytes, 4 * line);
}

TEST(ForEachLine, ReadErrorComesAfterEveryLineBeforeIt)
{
    // The partial last line is written too, and the read after the error,
    // which gives 0 as a socket's does, must not hide it; nor must the
    // interrupted writes that come between the error and its report.
    serve_answers({{"first\nsecond\npar"}, {"tial"}, {"", EIO}, {""}});
    write_schedule = {-EINTR, INT_MAX, -EINTR, INT_MAX, -EINTR, INT_MAX, -EINTR, INT_MAX};
    set_program_name("linecore"); // another test in this process may have run a program's main
    testing::internal::CaptureStderr();
    const int status = for_each_line(write_padded);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "linecore: read error: Input/output error\n");
    EXPECT_EQ(status, 1);
    EXPECT_EQ(joined_writes(), padded_text_line("first") + padded_text_line("second") + padded_text_line("partial"));
}

TEST(WriteTextLine, EndsAtFirstZeroByteAndBuffers)
{
    // A zero byte at each place in turn, then two, then none.
    serve("", 1);
    std::string expected;
    for (std::size_t zero = 0; zero < block_size; ++zero) {
        std::string block(block_size, 'q');
        block[zero] = '\0';
        write_text_line(block);
        expected += std::string(zero, 'q') + '\n';
    }
    std::string block(block_size, 'q');
    block[9] = '\0';
    block[3] = '\0';
    write_text_line(block);
    write_text_line(std::string(block_size, 'q'));
    expected += "qqq\n" + std::string(block_size, 'q') + '\n';
    EXPECT_TRUE(writes.empty()); // held until the buffer fills or the run ends
    EXPECT_EQ(finish_run(read_status::end), 0);
    EXPECT_EQ(joined_writes(), expected);
}

TEST(WriteTextLine, FillsTheBufferToItsEdgeAndNoFurther)
{
    // Whole lines and one short one leave room for exactly one more whole
    // line, or for one byte less: it must just fit, or go to a new buffer.
    // Another line follows it in the next buffer.
    const std::size_t whole_line = block_size + 1;
    const std::string block(block_size, 'e');
    for (const std::size_t room : {whole_line, whole_line - 1}) {
        const std::size_t used = output_buffer_size - room;
        const std::size_t short_line = used % whole_line; // with its newline
        ASSERT_GE(short_line, 1U);
        serve("", 1);
        std::string expected;
        for (std::size_t n = 0; n < used / whole_line; ++n) {
            write_text_line(block);
            expected += block + '\n';
        }
        std::string cut = block;
        cut[short_line - 1] = '\0';
        write_text_line(cut);
        expected += block.substr(0, short_line - 1) + '\n';
        for (int n = 0; n < 2; ++n) {
            write_text_line(block);
            expected += block + '\n';
        }
        finish_run(read_status::end);
        EXPECT_TRUE(joined_writes() == expected) << "room " << room;
        ASSERT_EQ(writes.size(), 2U) << "room " << room;
        EXPECT_EQ(writes[0].size(), room == whole_line ? output_buffer_size : used) << "room " << room;
    }
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

TEST(Writers, ShortAndInterruptedWritesLoseNothing)
{
    const std::vector<int> schedules[] = {
        {1, 1, 1, 1},
        {-EINTR, 50, -EINTR, -EINTR, 7},
        {64, -EINTR, 65, 1},
    };
    std::string first(block_size, 'f');
    first[100] = '\0';
    const std::string second(block_size, 's');
    for (const std::vector<int>& schedule : schedules) {
        serve("", 1);
        write_schedule = schedule;
        write_text_line(first);
        write_text_line(second);
        EXPECT_EQ(finish_run(read_status::end), 0);
        EXPECT_EQ(joined_writes(), first.substr(0, 100) + '\n' + second + '\n');

        serve("", 1);
        write_schedule = schedule;
        write_full_block(first);
        write_full_block(second);
        EXPECT_EQ(joined_writes(), first + '\n' + second + '\n');
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
    const std::string block(block_size, 'z');
    for (const case_t& c : cases) {
        for (const auto writer : {write_text_line, write_full_block}) {
            EXPECT_EXIT(
                {
                    serve("", 1);
                    write_schedule = c.schedule;
                    close_error = c.close_error;
                    writer(block);
                    finish_run(read_status::end);
                },
                testing::ExitedWithCode(1), "^linecore: write error: " + c.reason + "\n$");
        }
    }
    // A read error and a failed close: both are told.
    EXPECT_EXIT(
        {
            serve("line\n", 5, EIO);
            close_error = EIO;
            for_each_line(write_padded);
        },
        testing::ExitedWithCode(1),
        "^linecore: read error: Input/output error\nlinecore: write error: Input/output error\n$");
}

} // namespace

// Every allocation starts on a multiple of a block and holds what was asked
// for (the sanitizers and valgrind see a write past its end); one that
// cannot be had ends the run with a message, also where rounding it up to
// a whole block would wrap.
TEST(AllocationDeathTest, AlignedToABlockOrTheRunEnds)
{
    for (const std::size_t size : {0, 1, 127, 128, 129, 4097}) {
        void* memory = ::operator new(size);
        ASSERT_NE(memory, nullptr) << size;
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(memory) % block_size, 0U) << size;
        std::memset(memory, 0x5A, size);
        ::operator delete(memory);
    }
    for (const std::size_t size : {SIZE_MAX, SIZE_MAX - block_size + 1}) {
        EXPECT_EXIT(static_cast<void>(::operator new(size)), ::testing::ExitedWithCode(1), ": memory exhausted\n")
            << size;
    }
}
