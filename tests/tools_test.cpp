// The three programs run as processes: statuses, exact messages, the
// bytes they write, and how they meet failing input and output.
#include "reference.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

struct tool {
    const char* name;
    std::string path;
    reference_program program;
};

// The programs as built in PROGRAM_DIR.
const std::vector<tool> tools = [] {
    std::vector<tool> built;
    for (const program_model& p : all_programs) {
        built.push_back({p.name, std::string(PROGRAM_DIR) + "/" + p.name, p.program});
    }
    return built;
}();

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
    std::size_t input_piece = 0; // when set, bytes per write, with a pause after each
    useconds_t input_pause = 200;
    std::size_t read_limit = SIZE_MAX; // stop reading standard output after this many bytes
    bool slow_reader = false;          // read standard output in small pieces, with pauses
    bool nonblocking_stdin = false;    // O_NONBLOCK on the child's end of its pipe
    bool nonblocking_stdout = false;
    bool stderr_to_stdout = false; // one stream, so that the order of the two shows
    // More output than this fails the test and kills the child: a program
    // gone wrong must not fill the machine's memory.
    std::size_t output_limit = std::size_t{64} << 20;
    rlim_t file_size_limit = RLIM_INFINITY; // the same for output to a file
    std::vector<std::string> environment;   // NAME=value, added to the child's
    // Run in the child just before the program starts, after its standard
    // descriptors are in place.
    std::function<void()> before_exec;
};

struct run_result {
    int exit_status = -1; // -1 when killed by a signal
    int signal = 0;
    std::string out;
    std::string err;
    long max_rss_kib = 0;
    double cpu_seconds = 0;  // user and system
    double wall_seconds = 0; // from the start to the child's end
};

double seconds_since(const timespec& start)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - start.tv_sec) + static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
}

// Starts the program with in, out and err as its standard input, output
// and error (err -1: the test's own), as the options ask, under the
// command in LINECORE_TEST_WRAPPER (such as "valgrind -q
// --error-exitcode=99") where that is set.
pid_t start_program(const std::string& path, const run_options& options, int in, int out, int err)
{
    const pid_t child = fork();
    if (child != 0) {
        return child;
    }
    dup2(in, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    if (err >= 0) {
        dup2(err, STDERR_FILENO);
    }
    if (options.close_stdin) {
        close(STDIN_FILENO);
    }
    if (options.close_stdout) {
        close(STDOUT_FILENO);
    }
    const rlimit file_size{options.file_size_limit, options.file_size_limit};
    setrlimit(RLIMIT_FSIZE, &file_size);
    if (options.stderr_to_stdout) {
        dup2(STDOUT_FILENO, STDERR_FILENO);
    }
    if (options.nonblocking_stdin) {
        fcntl(STDIN_FILENO, F_SETFL, fcntl(STDIN_FILENO, F_GETFL) | O_NONBLOCK);
    }
    if (options.nonblocking_stdout) {
        fcntl(STDOUT_FILENO, F_SETFL, fcntl(STDOUT_FILENO, F_GETFL) | O_NONBLOCK);
    }
    std::signal(SIGPIPE, options.ignore_sigpipe ? SIG_IGN : SIG_DFL);
    for (const std::string& variable : options.environment) {
        putenv(const_cast<char*>(variable.c_str())); // the child's own copy, kept until exec
    }
    if (options.before_exec) {
        options.before_exec();
    }
    std::vector<std::string> words;
    if (const char* wrapper = std::getenv("LINECORE_TEST_WRAPPER")) {
        std::istringstream split(wrapper);
        for (std::string word; split >> word;) {
            words.push_back(word);
        }
    }
    words.push_back(path);
    words.insert(words.end(), options.args.begin(), options.args.end());
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

run_result run(const std::string& path, const run_options& options)
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
    timespec start_time{};
    clock_gettime(CLOCK_MONOTONIC, &start_time);
    const pid_t child = start_program(path, options, pipe_in ? in_pipe[0] : options.stdin_fd,
                                      pipe_out ? out_pipe[1] : options.stdout_fd, err_pipe[1]);
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
                usleep(options.input_pause);
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
            if (result.out.size() > options.output_limit) {
                ADD_FAILURE() << path << " wrote more than " << options.output_limit << " bytes; killed";
                kill(child, SIGKILL);
                for (int* fd : {&in_fd, &out_fd, &err_fd}) {
                    close(*fd);
                    *fd = -1;
                }
            }
        }
        if (err_fd >= 0 && fds[2].revents != 0) {
            drain(err_fd, result.err);
        }
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    result.wall_seconds = seconds_since(start_time);
    result.max_rss_kib = usage.ru_maxrss;
    result.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
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
run_result expect_model_output(const tool& t, run_options options, std::int32_t key)
{
    const std::string expected = reference_output(t.program, key, options.input);
    options.output_limit = 2 * expected.size() + 4096;
    const run_result result = run(t.path, options);
    EXPECT_EQ(result.exit_status, 0) << t.name << " key " << key;
    EXPECT_EQ(result.err, "") << t.name;
    // EXPECT_TRUE: a failure must not print megabytes of output.
    EXPECT_TRUE(result.out == expected) << t.name << " key " << key;
    return result;
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
    // From a pipe, where output is written before each read, and from a
    // regular file, where it gathers in full buffers.
    char path[] = "/tmp/tools_test_input_XXXXXX";
    const int file = mkstemp(path);
    ASSERT_GE(file, 0);
    unlink(path);
    run_options options;
    options.input = mixed_input();
    ASSERT_EQ(write(file, options.input.data(), options.input.size()), static_cast<ssize_t>(options.input.size()));
    for (const bool from_file : {false, true}) {
        SCOPED_TRACE(from_file ? "from a regular file" : "from a pipe");
        options.stdin_fd = from_file ? file : -1;
        for (const tool& t : tools) {
            for (const std::int32_t key : {1, -1, 2147483647, 42}) {
                ASSERT_EQ(lseek(file, 0, SEEK_SET), 0);
                options.args = {std::to_string(key)};
                expect_model_output(t, options, key);
            }
        }
    }
    close(file);
}

// The key that atoi gives for a number: clamped to the range of long, as
// strtol clamps it, then cut to 32 bits as the conversion to int does.
// So beyond 32 bits a key wraps modulo 2^32 where long has 64 bits, and
// saturates where it has 32 (armhf, i386). A number beyond 64 bits is
// given as the 64-bit limit on its side, which every long reaches.
std::int32_t key_of_number(std::int64_t number)
{
    const std::int64_t clamped =
        std::clamp<std::int64_t>(number, std::numeric_limits<long>::min(), std::numeric_limits<long>::max());
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(clamped) & 0xFFFFFFFF));
}

TEST(Output, KeyIsReadAsAtoiReadsIt)
{
    // Text without a leading number is key 0, which glibc seeds as 1; the
    // base is always ten.
    constexpr std::int64_t beyond_64_bits = std::numeric_limits<std::int64_t>::max();
    const std::pair<const char*, std::int64_t> keys[] = {
        {"abc", 0},
        {"--help", 0},
        {"0", 0},
        {" 12x", 12},
        {"\t\n 12", 12},
        {"+7", 7},
        {"010", 10},
        {"0x10", 0},
        {"2147483647", 2147483647},
        {"-2147483648", -2147483648},
        {"4294967338", 4294967338},
        {"-2147483649", -2147483649},
        {"99999999999000000000", beyond_64_bits},
        {"-99999999999000000000", -beyond_64_bits - 1},
    };
    run_options options;
    options.input = "one\ntwo\n";
    for (const tool& t : tools) {
        for (const auto& [text, number] : keys) {
            SCOPED_TRACE(std::string("key text '") + text + "'");
            options.args = {text};
            expect_model_output(t, options, key_of_number(number));
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

// How a live test meets the command: pipes both ways, the same terminal
// both ways, a socket for input, or a regular file for output.
enum class connection { pipes, terminal, socket_input, file_output };

struct live_case {
    std::string name;
    std::string path;
    std::vector<std::string> args;
    std::function<std::string(const std::string&)> model;
    connection how;
};

// Types lines one at a time to a command whose input stays open and
// expects the output of each within a second, before any more input. At
// a terminal Ctrl-D ends the input, elsewhere closing it.
void expect_each_line_at_once(const live_case& c)
{
    int feed = -1;   // where the test types
    int listen = -1; // where it reads the output
    int child_in = -1;
    int child_out = -1;
    if (c.how == connection::terminal) {
        const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) << std::strerror(errno);
        const int terminal = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(terminal, 0) << std::strerror(errno);
        termios modes{};
        tcgetattr(terminal, &modes);
        modes.c_lflag &= ~tcflag_t{ECHO};  // what is typed is not shown back
        modes.c_oflag &= ~tcflag_t{OPOST}; // newlines go out as they are
        tcsetattr(terminal, TCSANOW, &modes);
        feed = listen = master;
        child_in = child_out = terminal;
    } else {
        int in_ends[2];
        ASSERT_EQ(c.how == connection::socket_input ? socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in_ends)
                                                    : pipe2(in_ends, O_CLOEXEC),
                  0);
        child_in = in_ends[0];
        feed = in_ends[1];
        if (c.how == connection::file_output) {
            char file_path[] = "/tmp/tools_test_live_XXXXXX";
            child_out = mkstemp(file_path);
            ASSERT_GE(child_out, 0);
            listen = open(file_path, O_RDONLY | O_CLOEXEC);
            unlink(file_path);
        } else {
            int out_pipe[2];
            ASSERT_EQ(pipe2(out_pipe, O_CLOEXEC), 0);
            listen = out_pipe[0];
            child_out = out_pipe[1];
        }
    }
    run_options options;
    options.args = c.args;
    const pid_t child = start_program(c.path, options, child_in, child_out, -1);
    close(child_in);
    if (child_out != child_in) {
        close(child_out);
    }
    const double wait_seconds = wrapped() ? 20 : 1;
    std::string typed;
    std::string received;
    bool on_time = true;
    for (const std::string line : {"one\n", "two\n", "three\n"}) {
        typed += line;
        EXPECT_EQ(write(feed, line.data(), line.size()), static_cast<ssize_t>(line.size()));
        const std::string expected = c.model(typed);
        timespec typed_at{};
        clock_gettime(CLOCK_MONOTONIC, &typed_at);
        while (on_time && received.size() < expected.size()) {
            const double left = wait_seconds - seconds_since(typed_at);
            pollfd ready{listen, POLLIN, 0};
            char buffer[4096];
            const ssize_t got = left <= 0 || poll(&ready, 1, static_cast<int>(left * 1000) + 1) != 1
                                    ? 0
                                    : read(listen, buffer, sizeof buffer);
            on_time = left > 0;
            if (got > 0) {
                received.append(buffer, static_cast<std::size_t>(got));
            } else {
                usleep(5000); // a file has nothing more yet
            }
        }
        EXPECT_TRUE(on_time) << c.name << ": no output for " << line << "within " << wait_seconds << " s";
        EXPECT_EQ(received, expected) << c.name;
    }
    if (!on_time) {
        kill(child, SIGKILL);
    }
    // The end of input: Ctrl-D at a terminal, closing it otherwise.
    if (c.how == connection::terminal) {
        EXPECT_EQ(write(feed, "\x04", 1), 1);
    } else {
        close(feed);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.name;
    close(listen);
}

TEST(Live, EachLineArrivesWhileInputStaysOpen)
{
    const std::pair<const char*, connection> connections[] = {
        {"through pipes", connection::pipes},
        {"at a terminal", connection::terminal},
        {"from a socket", connection::socket_input},
        {"into a file", connection::file_output},
    };
    std::vector<live_case> cases;
    for (const tool& t : tools) {
        const auto model = [&t](const std::string& input) {
            return reference_output(t.program, 4, input);
        };
        for (const auto& [name, how] : connections) {
            cases.push_back({std::string(t.name) + " " + name, t.path, {"4"}, model, how});
        }
    }
    // The README's example of the two stepping programs in one pipe.
    cases.push_back({"stepseal | stepopen",
                     "/bin/sh",
                     {"-c", "\"$0\" 99 | \"$1\" 99", tools[0].path, tools[1].path},
                     [](const std::string& input) {
                         return reference_output(reference_program::stepopen, 99,
                                                 reference_output(reference_program::stepseal, 99, input));
                     },
                     connection::pipes});
    for (const live_case& c : cases) {
        expect_each_line_at_once(c);
    }
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

TEST(Failures, FailedCloseIsAWriteError)
{
    // Some file systems report a failed write only at the close; the shim
    // makes close(1) fail so. The lines are written before it.
    const std::string input = "one\ntwo\n";
    run_options options;
    options.args = {"8"};
    options.input = input;
    options.environment = {std::string("LD_PRELOAD=") + CLOSE_FAILS_PATH,
                           // The shim comes before AddressSanitizer's runtime.
                           "ASAN_OPTIONS=verify_asan_link_order=0"};
    for (const tool& t : tools) {
        const run_result result = run(t.path, options);
        EXPECT_EQ(result.exit_status, 1) << t.name;
        EXPECT_EQ(result.err, std::string(t.name) + ": write error: Input/output error\n");
        EXPECT_TRUE(result.out == reference_output(t.program, 8, input)) << t.name;
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

TEST(Pipes, SlowPeersLoseNothingBlockingOrNot)
{
    // A slow reader makes writes wait and a slow writer makes reads wait;
    // where a parent left O_NONBLOCK on a pipe, those calls fail with EAGAIN
    // instead, and the filter must wait all the same: losing nothing, and
    // not spinning, so idle most of the time.
    struct case_t {
        const char* name;
        std::string input;
        std::size_t input_piece;
        bool slow_reader;
        bool nonblocking_stdin;
        bool nonblocking_stdout;
    };
    const std::string lines = numbered_lines(5000);
    // Every line, and the long one most of all, split across many reads.
    const std::string awkward = "first\n" + std::string(300, 's') + "\r\n\n\xE9\x81 high\nlast";
    const case_t cases[] = {
        {"slow reader", lines, 0, true, false, false},
        {"slow reader, non-blocking output", lines, 0, true, false, true},
        {"one byte at a time", awkward, 1, false, false, false},
        {"one byte at a time, non-blocking input", awkward, 1, false, true, false},
        {"slow writer, non-blocking input", lines, 4093, false, true, false},
    };
    // The CPU time of starting and ending a run, which a sanitizer's
    // runtime makes a good part of a short one, is not busy waiting.
    std::vector<double> start_up_seconds(tools.size());
    for (std::size_t k = 0; k < tools.size(); ++k) {
        start_up_seconds[k] = run(tools[k], {"-5"}, "").cpu_seconds;
    }
    for (const case_t& c : cases) {
        run_options options;
        options.args = {"-5"};
        options.input = c.input;
        options.input_piece = c.input_piece;
        options.input_pause = c.input_piece > 1 ? 2000 : 200;
        options.slow_reader = c.slow_reader;
        options.nonblocking_stdin = c.nonblocking_stdin;
        options.nonblocking_stdout = c.nonblocking_stdout;
        for (std::size_t k = 0; k < tools.size(); ++k) {
            const tool& t = tools[k];
            SCOPED_TRACE(c.name);
            const run_result result = expect_model_output(t, options, -5);
            if (!wrapped()) { // a wrapper's own start-up takes CPU time
                EXPECT_LT(result.cpu_seconds - start_up_seconds[k], result.wall_seconds / 2)
                    << t.name << " was busy for most of its run of " << result.wall_seconds << " s";
            }
        }
    }
}

TEST(Failures, PartialLineBeforeReadErrorIsWrittenFirst)
{
    // Input from a socket whose peer resets it after a line has begun: the
    // line is sealed and written, then the error is reported. Both streams
    // go to one pipe, so that their order shows.
    const std::string input = "first\nsecond\npartial";
    for (const tool& t : tools) {
        int ends[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        // Data left unread at the peer's end turns its close into a reset.
        ASSERT_EQ(write(ends[0], "x", 1), 1);
        ASSERT_EQ(write(ends[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
        close(ends[1]);
        run_options options;
        options.args = {"2"};
        options.stdin_fd = ends[0];
        options.stderr_to_stdout = true;
        const run_result result = run(t.path, options);
        close(ends[0]);
        EXPECT_EQ(result.exit_status, 1) << t.name;
        EXPECT_EQ(result.out,
                  reference_output(t.program, 2, input) + t.name + ": read error: Connection reset by peer\n");
    }
}

TEST(Failures, InputFileThatIsOutputFileIsRefused)
{
    // Reading one's own output would grow the file until the disk is full.
    struct case_t {
        const char* name;
        int output_flags; // 0: a pipe
        bool input_read_to_end;
        bool refused;
        bool other_file = false; // output to another file in the same folder
    };
    const case_t cases[] = {
        {"<f >>f", O_WRONLY | O_APPEND, false, true},
        {"<f 1<>f", O_RDWR, false, true},
        {"<f >f, emptied by the shell", O_WRONLY | O_TRUNC, false, false},
        {"<f >>f, input already read to its end", O_WRONLY | O_APPEND, true, false},
        {"<f | cat", 0, false, false},
        {"<f >>g", O_WRONLY | O_APPEND, false, false, true},
    };
    const std::string content = "one\ntwo\n";
    for (const tool& t : tools) {
        for (const case_t& c : cases) {
            char path[] = "/tmp/tools_test_same_XXXXXX";
            const int file = mkstemp(path);
            ASSERT_GE(file, 0);
            ASSERT_EQ(write(file, content.data(), content.size()), static_cast<ssize_t>(content.size()));
            close(file);
            char other_path[] = "/tmp/tools_test_other_XXXXXX";
            if (c.other_file) {
                const int other = mkstemp(other_path);
                ASSERT_GE(other, 0);
                close(other);
            }
            const char* output_path = c.other_file ? other_path : path;
            run_options options;
            options.args = {"3"};
            options.stdin_fd = open(path, O_RDONLY | O_CLOEXEC);
            options.stdout_fd = c.output_flags != 0 ? open(output_path, c.output_flags | O_CLOEXEC) : -1;
            options.file_size_limit = 1 << 20;
            if (c.input_read_to_end) {
                lseek(options.stdin_fd, 0, SEEK_END);
            }
            const std::string before = (c.output_flags & O_TRUNC) != 0 ? "" : content;
            const run_result result = run(t.path, options);
            close(options.stdin_fd);
            if (options.stdout_fd >= 0) {
                close(options.stdout_fd);
            }
            std::ifstream after_stream(path, std::ios::binary);
            const std::string after{std::istreambuf_iterator<char>(after_stream), {}};
            unlink(path);
            if (c.other_file) {
                std::ifstream other_stream(other_path, std::ios::binary);
                const std::string written{std::istreambuf_iterator<char>(other_stream), {}};
                unlink(other_path);
                EXPECT_TRUE(written == reference_output(t.program, 3, content)) << t.name << " " << c.name;
            }
            EXPECT_EQ(result.exit_status, c.refused ? 1 : 0) << t.name << " " << c.name;
            EXPECT_EQ(result.err, c.refused ? std::string(t.name) + ": input file is output file\n" : "")
                << t.name << " " << c.name;
            EXPECT_EQ(after, before) << t.name << " " << c.name;
            EXPECT_EQ(result.out, c.output_flags == 0 ? reference_output(t.program, 3, content) : "")
                << t.name << " " << c.name;
        }
    }
}

// Mounting needs root: ctest shows no output of a skipped test, so the
// suite's name says so.
TEST(AsRoot, SameInodeNumberOnAnotherFileSystemIsAnotherFile)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root, to mount two tmpfs";
    }
    char top[] = "/tmp/tools_test_devices_XXXXXX";
    ASSERT_NE(mkdtemp(top), nullptr);
    const std::string first = std::string(top) + "/a";
    const std::string second = std::string(top) + "/b";
    const std::string input_path = first + "/in";
    const std::string output_path = second + "/out";
    ASSERT_EQ(mkdir(first.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(second.c_str(), 0700), 0);
    // In the child's own mount namespace: two fresh tmpfs, which number
    // their inodes alike, so the input file on one and the output file on
    // the other have the same inode number on different devices.
    run_options options;
    options.args = {"3"};
    options.before_exec = [&] {
        const auto give_up = [](const char* what) {
            dprintf(STDERR_FILENO, "%s: %s\n", what, std::strerror(errno));
            _exit(125);
        };
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            give_up("a mount namespace of its own");
        }
        if (mount("none", first.c_str(), "tmpfs", 0, nullptr) != 0 ||
            mount("none", second.c_str(), "tmpfs", 0, nullptr) != 0) {
            give_up("mount tmpfs");
        }
        const int input = open(input_path.c_str(), O_RDWR | O_CREAT, 0600);
        const int output = open(output_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        struct stat input_stat {};
        struct stat output_stat {};
        if (input < 0 || output < 0 || write(input, "one\n", 4) != 4 || lseek(input, 0, SEEK_SET) != 0 ||
            fstat(input, &input_stat) != 0 || fstat(output, &output_stat) != 0) {
            give_up("the files");
        }
        if (input_stat.st_ino != output_stat.st_ino || input_stat.st_dev == output_stat.st_dev) {
            dprintf(STDERR_FILENO, "not one inode number on two devices\n");
            _exit(124);
        }
        dup2(input, STDIN_FILENO);
        dup2(output, STDOUT_FILENO);
    };
    std::vector<run_result> results;
    for (const tool& t : tools) {
        results.push_back(run(t.path, options));
    }
    rmdir(second.c_str());
    rmdir(first.c_str());
    rmdir(top);
    for (std::size_t k = 0; k < tools.size(); ++k) {
        if (results[k].exit_status == 125) {
            GTEST_SKIP() << results[k].err;
        }
        EXPECT_EQ(results[k].exit_status, 0) << tools[k].name;
        EXPECT_EQ(results[k].err, "") << tools[k].name;
    }
}

} // namespace
