// Stand-in descriptor calls, for running the frame or a program's main in
// process: standard input answers from a script, standard output is
// recorded, and fstat tells of pipes, or of a regular file for input where
// a test asks. The frame tests, the paths test and the fuzzers use them.
#ifndef TESTS_STAND_IN_H
#define TESTS_STAND_IN_H

#include "linecore/test_seams.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// One answer of the stand-in read: bytes, given out over as many reads as
// the caller's sizes and the pieces take; or, with no bytes, a failure
// with the error, or the end of input (0) where there is none.
struct read_answer {
    std::string bytes;
    int error = 0;
};

struct stand_in_descriptors {
    // After the last answer, every read gives the end of input.
    std::vector<read_answer> answers;
    // The most each read gives, in turn and round again; none: no limit.
    std::vector<std::size_t> pieces;
    mode_t input_type = S_IFIFO;
    // Each write call in turn: a positive number takes at most that many
    // bytes, 0 takes none and returns 0, a negative one fails with that
    // errno. After the schedule, a write takes everything.
    std::vector<int> write_schedule;
    int close_error = 0;

    // What the calls did.
    std::size_t answer = 0;
    std::size_t given = 0; // of the answer's bytes
    std::size_t reads = 0;
    std::size_t write_calls = 0;
    std::string written;
    std::vector<std::size_t> write_sizes;     // what each write took
    std::vector<std::size_t> written_at_read; // what was written when each read came
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
    const int answer = s.write_calls < s.write_schedule.size() ? s.write_schedule[s.write_calls] : INT_MAX;
    ++s.write_calls;
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

// Input and output are files of their own, so never one file.
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

// The answers and pieces for the next runs; all else starts afresh.
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

#endif
