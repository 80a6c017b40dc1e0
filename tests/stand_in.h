// Stand-in descriptor calls, for running the frame or a program's main in
// process: standard input answers from a script, standard output is
// recorded, and fstat tells of pipes, or of what a test asks for input.
// The frame tests, the paths test and the fuzzers run on them.
#ifndef TESTS_STAND_IN_H
#define TESTS_STAND_IN_H

#include "linecore/test_seams.h"
#include "reference.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// One answer of the read: its bytes, over as many reads as the sizes asked
// and the pieces allow; or, without bytes, a failure with the error, or
// the end of input (0) where there is none. After the last answer, reads
// give the end of input.
struct read_answer {
    std::string bytes;
    int error = 0;
};

struct stand_in_descriptors {
    std::vector<read_answer> answers;
    std::vector<std::size_t> pieces; // the most each read gives, in turn and round again
    mode_t input_type = S_IFIFO;
    // Each write in turn takes at most this many bytes, or fails with the
    // negated errno; after the schedule, all.
    std::vector<int> write_schedule;
    int close_error = 0;

    std::size_t answer = 0; // the next answer to give from
    std::size_t given = 0;  // of its bytes
    std::size_t reads = 0;
    std::size_t writes = 0;
    std::vector<std::size_t> written_at_read; // what was written when each read came
    std::string written;
    std::vector<std::size_t> write_sizes; // what each write took
};
inline stand_in_descriptors stand_in;

inline ssize_t stand_in_read(int /*descriptor*/, void* buffer, std::size_t size)
{
    stand_in_descriptors& s = stand_in;
    s.written_at_read.push_back(s.written.size());
    const std::size_t piece = s.pieces.empty() ? size : s.pieces[s.reads % s.pieces.size()];
    ++s.reads;
    if (s.answer == s.answers.size()) {
        return 0;
    }
    const read_answer& answer = s.answers[s.answer];
    if (answer.bytes.empty()) {
        ++s.answer;
        errno = answer.error;
        return answer.error != 0 ? -1 : 0;
    }
    const std::size_t count = std::min({size, piece, answer.bytes.size() - s.given});
    std::memcpy(buffer, answer.bytes.data() + s.given, count);
    s.given += count;
    if (s.given == answer.bytes.size()) {
        ++s.answer;
        s.given = 0;
    }
    return static_cast<ssize_t>(count);
}

inline ssize_t stand_in_write(int /*descriptor*/, const void* buffer, std::size_t size)
{
    stand_in_descriptors& s = stand_in;
    const int answer = s.writes < s.write_schedule.size() ? s.write_schedule[s.writes] : INT_MAX;
    ++s.writes;
    if (answer < 0) {
        errno = -answer;
        return -1;
    }
    const std::size_t count = std::min(size, static_cast<std::size_t>(answer));
    s.written.append(static_cast<const char*>(buffer), count);
    s.write_sizes.push_back(count);
    return static_cast<ssize_t>(count);
}

inline int stand_in_close(int /*descriptor*/)
{
    errno = stand_in.close_error;
    return stand_in.close_error != 0 ? -1 : 0;
}

// Input and output are never one file.
inline int stand_in_fstat(int descriptor, struct stat* status)
{
    *status = {};
    status->st_mode = descriptor == STDIN_FILENO ? stand_in.input_type : S_IFIFO;
    status->st_ino = static_cast<ino_t>(descriptor) + 1;
    return 0;
}

inline off_t stand_in_lseek(int /*descriptor*/, off_t /*offset*/, int /*whence*/)
{
    errno = ESPIPE;
    return -1;
}

// The answers and pieces for what follows; all else starts afresh.
inline void serve(std::vector<read_answer> answers, std::vector<std::size_t> pieces = {})
{
    stand_in = {};
    stand_in.answers = std::move(answers);
    stand_in.pieces = std::move(pieces);
    use_descriptor_calls({stand_in_read, stand_in_write, stand_in_close, stand_in_fstat, stand_in_lseek});
}

inline void serve(const std::string& input, std::vector<std::size_t> pieces = {})
{
    serve(std::vector<read_answer>{{input}}, std::move(pieces));
}

// Each program's main, built renamed for in-process runs.
int stepseal_main(int argc, char** argv);
int stepopen_main(int argc, char** argv);
int fixseal_main(int argc, char** argv);

// The program's main with the key as its one argument; its status.
inline int run_main(reference_program program, const std::string& key)
{
    // The frame keeps argv[0] for its messages: it must outlive the run.
    static char name[] = "in_process";
    std::string argument = key;
    char* argv[] = {name, argument.data(), nullptr};
    switch (program) {
    case reference_program::stepseal:
        return stepseal_main(2, argv);
    case reference_program::stepopen:
        return stepopen_main(2, argv);
    case reference_program::fixseal:
        return fixseal_main(2, argv);
    }
    return -1;
}

#endif
