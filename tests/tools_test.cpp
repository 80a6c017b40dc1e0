// The three programs run as processes: statuses, exact messages, the
// bytes they write, and how they meet failing input and output.
#include "reference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct tool {
    const char* name;
    const char* path;
    reference_program program;
};

const tool tools[] = {
    {"stepseal", STEPSEAL_PATH, reference_program::stepseal},
    {"stepopen", STEPOPEN_PATH, reference_program::stepopen},
    {"fixseal", FIXSEAL_PATH, reference_program::fixseal},
};

const std::string usage_message = "Usage error: Please put in key\n";

struct run_options {
    std::vector<std::string> args;
    std::string input;
    std::size_t input_repeats = 1; // the input is written this many times
    int stdin_fd = -1;             // given to the child as it is, instead of a pipe
    int stdout_fd = -1;
    bool close_stdin = false;
    bool close_stdout = false;
    bool ignore_sigpipe = false;
    std::size_t input_piece = 0;       // when set, bytes per write, with a pause after each
    std::size_t read_limit = SIZE_MAX; // stop reading standard output after this many bytes
    bool slow_reader = false;          // read standard output in small pieces, with pauses
};

struct run_result {
    int exit_status = -1; // -1 when killed by a signal
    int signal = 0;
    std::string out;
    std::string err;
    long max_rss_kib = 0;
};

// Runs the program, under the command in LINECORE_TEST_WRAPPER (such as
// "valgrind -q --error-exitcode=99") where that is set.
[[noreturn]] void exec_tool(const char* path, const std::vector<std::string>& args)
{
    std::vector<std::string> words;
    if (const char* wrapper = std::getenv("LINECORE_TEST_WRAPPER")) {
        std::istringstream split(wrapper);
        for (std::string word; split >> word;) {
            words.push_back(word);
        }
    }
    words.emplace_back(path);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

bool wrapped()
{
    return std::getenv("LINECORE_TEST_WRAPPER") != nullptr;
}

void drain(int& fd, std::string& into, std::size_t most = 65536)
{
    char buffer[65536];
    const ssize_t got = read(fd, buffer, std::min(most, sizeof buffer));
    if (got > 0) {
        into.append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0 || errno != EINTR) {
        close(fd);
        fd = -1;
    }
}

run_result run(const char* path, const run_options& options)
{
    // A child that stops reading must not kill the test; children get the
    // disposition each case asks for.
    std::signal(SIGPIPE, SIG_IGN);
    int in_pipe[2] = {-1, -1};
    int out_pipe[2] = {-1, -1};
    int err_pipe[2] = {-1, -1};
    const bool pipe_in = options.stdin_fd < 0 && !options.close_stdin;
    const bool pipe_out = options.stdout_fd < 0 && !options.close_stdout;
    if ((pipe_in && pipe2(in_pipe, O_CLOEXEC) != 0) || (pipe_out && pipe2(out_pipe, O_CLOEXEC) != 0) ||
        pipe2(err_pipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return {};
    }
    const pid_t child = fork();
    if (child == 0) {
        dup2(pipe_in ? in_pipe[0] : options.stdin_fd, STDIN_FILENO);
        dup2(pipe_out ? out_pipe[1] : options.stdout_fd, STDOUT_FILENO);
        dup2(err_pipe[1], STDERR_FILENO);
        if (options.close_stdin) {
            close(STDIN_FILENO);
        }
        if (options.close_stdout) {
            close(STDOUT_FILENO);
        }
        std::signal(SIGPIPE, options.ignore_sigpipe ? SIG_IGN : SIG_DFL);
        exec_tool(path, options.args);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);

    run_result result;
    int in_fd = pipe_in ? in_pipe[1] : -1;
    if (in_fd >= 0) {
        fcntl(in_fd, F_SETFL, O_NONBLOCK); // a write must never wait for the child
    }
    int out_fd = pipe_out ? out_pipe[0] : -1;
    int err_fd = err_pipe[0];
    std::size_t written = 0;
    std::size_t repeats_left = options.input_repeats;
    if (in_fd >= 0 && (options.input.empty() || repeats_left == 0)) {
        close(in_fd);
        in_fd = -1;
    }
    while (in_fd >= 0 || out_fd >= 0 || err_fd >= 0) {
        pollfd fds[3] = {{in_fd, POLLOUT, 0}, {out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
        if (poll(fds, 3, -1) < 0) {
            continue;
        }
        if (in_fd >= 0 && fds[0].revents != 0) {
            std::size_t count = options.input.size() - written;
            if (options.input_piece != 0) {
                count = std::min(count, options.input_piece);
                usleep(200);
            }
            const ssize_t put = write(in_fd, options.input.data() + written, count);
            if (put < 0 && errno != EINTR && errno != EAGAIN) {
                close(in_fd); // the child stopped reading
                in_fd = -1;
            } else if (put > 0 && (written += static_cast<std::size_t>(put)) == options.input.size()) {
                written = 0;
                if (--repeats_left == 0) {
                    close(in_fd);
                    in_fd = -1;
                }
            }
        }
        if (out_fd >= 0 && fds[1].revents != 0) {
            if (options.slow_reader) {
                usleep(1000);
            }
            drain(out_fd, result.out, options.slow_reader ? 4096 : 65536);
            if (out_fd >= 0 && result.out.size() >= options.read_limit) {
                close(out_fd); // the reader goes away early
                out_fd = -1;
            }
        }
        if (err_fd >= 0 && fds[2].revents != 0) {
            drain(err_fd, result.err);
        }
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    result.max_rss_kib = usage.ru_maxrss;
    if (WIFEXITED(status)) {
        result.exit_status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

run_result run(const tool& t, std::vector<std::string> args, std::string input)
{
    run_options options;
    options.args = std::move(args);
    options.input = std::move(input);
    return run(t.path, options);
}

// Runs the tool and expects a clean run whose output is the model's for key.
void expect_model_output(const tool& t, const run_options& options, std::int32_t key)
{
    const run_result result = run(t.path, options);
    EXPECT_EQ(result.exit_status, 0) << t.name << " key " << key;
    EXPECT_EQ(result.err, "") << t.name;
    // EXPECT_TRUE: a failure must not print megabytes of output.
    EXPECT_TRUE(result.out == reference_output(t.program, key, options.input)) << t.name << " key " << key;
}

std::vector<std::string> split_lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

// Lines that touch every rule: empty lines, carriage returns, bytes of
// 0x80 and above, zero bytes, lengths around the block, a long line, more
// than 256 lines so that the counter wraps, and no final newline.
std::string mixed_input()
{
    std::string input = "hello, world\n\ncrlf line\r\n";
    for (int byte = 0; byte < 256; ++byte) {
        if (byte != '\n') {
            input.push_back(static_cast<char>(byte));
        }
    }
    input += "\ngr\xC3\xBC\xC3\x9F"
             "e\n";
    input += std::string(127, 'a') + "\n" + std::string(128, 'b') + "\n" + std::string(129, 'c') + "\n";
    input += std::string(1000000, 'd') + "\n";
    for (int n = 0; n < 300; ++n) {
        input += "line " + std::to_string(n % 7) + "\n";
    }
    return input + "last line without newline";
}

TEST(Usage, WrongArgumentCountLeavesInputUnread)
{
    char path[] = "/tmp/tools_test_input_XXXXXX";
    const int file = mkstemp(path);
    ASSERT_GE(file, 0);
    unlink(path);
    ASSERT_EQ(write(file, "some input\n", 11), 11);
    for (const tool& t : tools) {
        for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"1", "2"}, {"1", "2", "3"}}) {
            ASSERT_EQ(lseek(file, 0, SEEK_SET), 0);
            run_options options;
            options.args = args;
            options.stdin_fd = file;
            const run_result result = run(t.path, options);
            EXPECT_EQ(result.exit_status, 1) << t.name << " with " << args.size() << " arguments";
            EXPECT_EQ(result.err, usage_message) << t.name;
            EXPECT_EQ(result.out, "") << t.name;
            EXPECT_EQ(lseek(file, 0, SEEK_CUR), 0) << t.name << " read its input";
        }
    }
    close(file);
}

TEST(Output, EmptyInputWritesNothing)
{
    for (const tool& t : tools) {
        const run_result result = run(t, {"5"}, "");
        EXPECT_EQ(result.exit_status, 0) << t.name;
        EXPECT_EQ(result.out, "") << t.name;
        EXPECT_EQ(result.err, "") << t.name;
    }
}

TEST(Output, EveryByteMatchesTheModelOnMixedInput)
{
    run_options options;
    options.input = mixed_input();
    for (const tool& t : tools) {
        for (const std::int32_t key : {1, -1, 2147483647, 42}) {
            options.args = {std::to_string(key)};
            expect_model_output(t, options, key);
        }
    }
}

TEST(Output, KeyIsReadAsAtoiReadsIt)
{
    // Text without a number is key 0, which glibc seeds as 1; numbers beyond
    // 32 bits wrap as glibc's atoi (a cast of strtol) wraps them.
    const std::pair<const char*, std::int32_t> keys[] = {
        {"abc", 1},
        {"0", 1},
        {" 12x", 12},
        {"+7", 7},
        {"4294967297", 1},
        {"99999999999999999999", -1},
        {"-2147483649", 2147483647},
    };
    run_options options;
    options.input = "one\ntwo\n";
    for (const tool& t : tools) {
        for (const auto& [text, key] : keys) {
            SCOPED_TRACE(std::string("key text '") + text + "'");
            options.args = {text};
            expect_model_output(t, options, key);
        }
    }
}

TEST(Output, FirstLineWorkedByHand)
{
    // Key 1 begins "v%b"; '0' ^ 'v' = 0x46 -> 'g', '0' ^ '%' = 0x15 -> '6',
    // '0' ^ 'b' = 0x52 -> 's'. The first line meets the key block in all three.
    for (const tool& t : tools) {
        const run_result result = run(t, {"1"}, "\n");
        ASSERT_EQ(result.out.size(), 129U) << t.name;
        EXPECT_EQ(result.out.substr(0, 3), "g6s") << t.name;
    }
    const run_result sealed = run(tools[0], {"42"}, "same first line\nother\n");
    const run_result fixed = run(tools[2], {"42"}, "same first line\nsomething else\n");
    EXPECT_EQ(split_lines(sealed.out).at(0), split_lines(fixed.out).at(0));
}

TEST(Output, LineCountsFollowTheNewlines)
{
    const std::pair<std::string, std::size_t> cases[] = {
        {"a\nb\n", 2}, {"a\nb", 2}, {"\n\n\n", 3}, {"x", 1}, {"\r\n", 1},
    };
    for (const tool& t : tools) {
        for (const auto& [input, lines] : cases) {
            EXPECT_EQ(split_lines(run(t, {"9"}, input).out).size(), lines) << t.name;
        }
    }
    // stepopen's records are whole blocks, so the size tells the count.
    EXPECT_EQ(run(tools[1], {"9"}, "a\n\nb").out.size(), 3U * 129U);
}

TEST(Output, ZeroBytesEndTextLinesButNotBlocks)
{
    // XOR 0x81 with every key byte folds to a zero byte at every position.
    const std::string key_block = reference_key_block(3);
    std::string line;
    for (const char k : key_block) {
        line.push_back(static_cast<char>(0x81 ^ static_cast<unsigned char>(k)));
    }
    EXPECT_EQ(run(tools[0], {"3"}, line + "\n").out, "\n");
    EXPECT_EQ(run(tools[2], {"3"}, line + "\n").out, "\n");
    EXPECT_EQ(run(tools[1], {"3"}, line + "\n").out, std::string(128, '\0') + "\n");
}

TEST(Output, CounterRepeatsEvery256Lines)
{
    std::string input;
    for (int n = 0; n < 257; ++n) {
        input += "0000\n";
    }
    // stepopen's records are whole: all agree but for the last byte, and
    // line 256 meets the block of line 0 again.
    const std::string opened = run(tools[1], {"77"}, input).out;
    ASSERT_EQ(opened.size(), 257U * 129U);
    const std::string first = opened.substr(0, 129);
    EXPECT_EQ(opened.substr(256 * 129), first);
    EXPECT_NE(opened.substr(129, 129), first);
    for (std::size_t n = 0; n < 257; ++n) {
        EXPECT_EQ(opened.substr(n * 129, 127), first.substr(0, 127)) << "line " << n;
    }
    // stepseal's text lines in between may be cut short or split by the
    // stepped byte; the first and the last are whole and equal.
    const std::string sealed = run(tools[0], {"77"}, input).out;
    ASSERT_GT(sealed.size(), 2U * 129U);
    EXPECT_EQ(sealed.substr(sealed.size() - 129), sealed.substr(0, 129));
}

TEST(Stepopen, EachLineReachesThePipeAtOnce)
{
    int in_pipe[2];
    int out_pipe[2];
    ASSERT_EQ(pipe2(in_pipe, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(out_pipe, O_CLOEXEC), 0);
    const pid_t child = fork();
    if (child == 0) {
        dup2(in_pipe[0], STDIN_FILENO);
        dup2(out_pipe[1], STDOUT_FILENO);
        exec_tool(STEPOPEN_PATH, {"4"});
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    const std::string expected = reference_output(reference_program::stepopen, 4, "one\ntwo\nthree\n");
    const char* lines[] = {"one\n", "two\n", "three\n"};
    std::string received;
    for (int n = 0; n < 3; ++n) {
        ASSERT_EQ(write(in_pipe[1], lines[n], std::strlen(lines[n])), static_cast<ssize_t>(std::strlen(lines[n])));
        // The input stays open: the record must come without more input.
        while (received.size() < 129U * (n + 1)) {
            pollfd ready{out_pipe[0], POLLIN, 0};
            ASSERT_EQ(poll(&ready, 1, 10000), 1) << "no output for line " << n;
            char buffer[512];
            const ssize_t got = read(out_pipe[0], buffer, sizeof buffer);
            ASSERT_GT(got, 0);
            received.append(buffer, static_cast<std::size_t>(got));
        }
    }
    EXPECT_EQ(received, expected);
    close(in_pipe[1]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    close(out_pipe[0]);
}

TEST(Failures, WriteErrorsAreReportedWithStatusOne)
{
    const std::string input = mixed_input();
    for (const tool& t : tools) {
        const std::string prefix = std::string(t.name) + ": write error: ";
        run_options options;
        options.args = {"8"};
        options.input = input;

        options.stdout_fd = open("/dev/full", O_WRONLY | O_CLOEXEC);
        run_result result = run(t.path, options);
        close(options.stdout_fd);
        options.stdout_fd = -1;
        EXPECT_EQ(result.exit_status, 1) << t.name << " on /dev/full";
        EXPECT_EQ(result.err, prefix + "No space left on device\n");

        options.close_stdout = true;
        result = run(t.path, options);
        EXPECT_EQ(result.exit_status, 1) << t.name << " with closed output";
        EXPECT_EQ(result.err, prefix + "Bad file descriptor\n");

        options.input = "";
        result = run(t.path, options);
        EXPECT_EQ(result.exit_status, 0) << t.name << ": nothing to write, nothing fails";
        EXPECT_EQ(result.err, "");
        options.close_stdout = false;
        options.input = input;

        int gone[2];
        ASSERT_EQ(pipe2(gone, O_CLOEXEC), 0);
        close(gone[0]);
        options.stdout_fd = gone[1];
        options.ignore_sigpipe = true;
        result = run(t.path, options);
        EXPECT_EQ(result.exit_status, 1) << t.name << " into a closed pipe, SIGPIPE ignored";
        EXPECT_EQ(result.err, prefix + "Broken pipe\n");

        options.ignore_sigpipe = false;
        result = run(t.path, options);
        EXPECT_EQ(result.signal, SIGPIPE) << t.name << " into a closed pipe";
        EXPECT_EQ(result.err, "");
        close(gone[1]);
    }
}

TEST(Failures, ReadErrorsAreReportedWithStatusOne)
{
    const int directory = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(directory, 0);
    for (const tool& t : tools) {
        run_options options;
        options.args = {"8"};
        options.close_stdin = true;
        run_result result = run(t.path, options);
        EXPECT_EQ(result.exit_status, 1) << t.name << " with closed input";
        EXPECT_EQ(result.err, std::string(t.name) + ": read error: Bad file descriptor\n");
        EXPECT_EQ(result.out, "");

        options.close_stdin = false;
        options.stdin_fd = directory;
        result = run(t.path, options);
        EXPECT_EQ(result.exit_status, 1) << t.name << " reading a directory";
        EXPECT_EQ(result.err, std::string(t.name) + ": read error: Is a directory\n");
        EXPECT_EQ(result.out, "");
    }
    close(directory);
}

TEST(Failures, GigabyteLineRunsInTheMemoryOfAShortOne)
{
    for (const tool& t : tools) {
        run_options options;
        options.args = {"6"};
        options.input = "x";
        const run_result short_run = run(t.path, options);

        options.input = std::string(1 << 16, 'x');
        options.input_repeats = 1 << 14; // 1 GiB, no newline: one line
        const run_result long_run = run(t.path, options);
        EXPECT_EQ(long_run.exit_status, 0) << t.name;
        EXPECT_EQ(long_run.out, reference_output(t.program, 6, std::string(128, 'x'))) << t.name;
        if (!wrapped()) { // a wrapper's own memory says nothing of ours
            EXPECT_LT(long_run.max_rss_kib, short_run.max_rss_kib + 1024)
                << t.name << ", short line: " << short_run.max_rss_kib << " KiB";
        }
    }
}

std::string numbered_lines(int count)
{
    std::string input;
    for (int n = 0; n < count; ++n) {
        input += "line " + std::to_string(n) + std::string(static_cast<std::size_t>(n % 150), ' ') + "end\n";
    }
    return input;
}

TEST(Failures, ReaderThatGoesAwayEndsTheRun)
{
    // Far more output than a pipe holds, and a reader that takes 1000 bytes.
    const std::string input = numbered_lines(20000);
    for (const tool& t : tools) {
        run_options options;
        options.args = {"3"};
        options.input = input;
        options.read_limit = 1000;
        run_result result = run(t.path, options);
        EXPECT_EQ(result.signal, SIGPIPE) << t.name << " should end quietly, as cat does";
        EXPECT_EQ(result.err, "") << t.name;

        options.ignore_sigpipe = true;
        result = run(t.path, options);
        EXPECT_EQ(result.exit_status, 1) << t.name << " with SIGPIPE ignored";
        EXPECT_EQ(result.err, std::string(t.name) + ": write error: Broken pipe\n");
    }
}

TEST(Pipes, SlowReaderLosesAndReordersNothing)
{
    run_options options;
    options.args = {"11"};
    options.input = numbered_lines(5000);
    options.slow_reader = true;
    for (const tool& t : tools) {
        expect_model_output(t, options, 11);
    }
}

TEST(Pipes, InputArrivingOneByteAtATime)
{
    // Every line, and the long one most of all, is split across many reads.
    run_options options;
    options.args = {"-5"};
    options.input = "first\n" + std::string(300, 's') + "\r\n\n\xE9\x81 high\nlast";
    options.input_piece = 1;
    for (const tool& t : tools) {
        expect_model_output(t, options, -5);
    }
}

} // namespace
