// The line paths: the line loop, built once for each instruction set it
// runs on (the baseline every build of the target has: SSE2 on x86-64,
// plain C++ elsewhere; and on x86-64 AVX2 and AVX-512), and the choice of
// the one a run takes, at its start, from what the processor has.
#ifndef LINECORE_LINE_PATHS_H
#define LINECORE_LINE_PATHS_H

#include "linecore/line_input.h"

#include <cstdint>
#include <optional>

enum class line_path { baseline, avx2, avx512 };

// The wide paths: x86-64 with GCC's target attribute (GCC and clang).
#if defined(__x86_64__) && defined(__GNUC__)
#define LINECORE_WIDE_PATHS 1
// The instruction sets each wide path is compiled for, which the processor
// must have for the path to run: written here alone, and spelt out as the
// clone's target list and the dispatch's tests of the processor.
#define LINECORE_AVX2_SETS(each) each(avx2)
#define LINECORE_AVX512_SETS(each) each(avx2) each(avx512f) each(avx512bw) each(avx512vl)
// "sse2,avx2,...": SSE2, which every x86-64 has, begins the list.
#define LINECORE_TARGET_ITEM(set) "," #set
#define LINECORE_TARGET(sets) gnu::target("sse2" sets(LINECORE_TARGET_ITEM))
#define LINECORE_SUPPORTS_ITEM(set) &&__builtin_cpu_supports(#set)
#define LINECORE_PROCESSOR_HAS(sets) (true sets(LINECORE_SUPPORTS_ITEM))
#else
#define LINECORE_WIDE_PATHS 0
#endif

// The widest path this processor runs.
line_path best_line_path() noexcept;
// The paths are ordered: a processor that runs one runs those before it.
bool processor_runs(line_path path);
// "SSE2" (or "plain" off x86-64), "AVX2", "AVX-512".
const char* line_path_name(line_path path);

// The path a run takes: where the program was built to take one, that one,
// else the one a test forced, else the widest. Where the processor lacks
// the build's path, reports it and gives none.
std::optional<line_path> path_for_run(std::optional<line_path> build_path);

// Notes the path a clone of the line loop took, for the tests.
void note_path_run(line_path path);

// The line loop: hands the step each line, brought to block length, with
// its 0-based index, until the input ends or fails.
template <typename Step> LINECORE_INLINE read_status run_lines(Step& step, line_input& input)
{
    block_string line(block_size, pad_char);
    // The loop reads through a copy in its own frame, reached from the
    // stack pointer as a global is from the instruction pointer, where the
    // run's own would hold a register for its address: a fiftieth less
    // time per line on the SSE2 path.
    line_input reader = input;
    // A 64-bit count cannot wrap on any input that can be fed in.
    for (std::uint64_t line_index = 0;; ++line_index) {
        const read_status status = read_line(reader, line);
        if (status != read_status::line) [[unlikely]] {
            input = reader;
            return status;
        }
        step(line, line_index);
    }
}

// One clone of the loop per path. Flatten compiles all that the loop
// calls into each clone, vectorised for its instruction set: the step and
// the core's per-line calls, which are inline in the headers, and, where
// link-time optimisation sees into the library (the release build), the
// library's functions too, the key block among them. Two stay out of line,
// as they run once a refill or once a buffer, not once a line: the
// reader's slow path, which refills, and the flush. Compiled into the loop
// they cost it registers: the flush made it keep a frame pointer, and with
// the slow path the reader's state went to registers that the AVX-512
// clone spilled to mask registers, a seventh more time per line.
// The baseline clone is kept out of line too, so that its name, like the
// wide ones', shows in a trace of a run.
template <typename Step> [[gnu::flatten, gnu::noinline]] read_status run_lines_baseline(Step& step, line_input& input)
{
    note_path_run(line_path::baseline);
    return run_lines(step, input);
}
#if LINECORE_WIDE_PATHS
template <typename Step>
[[gnu::flatten, LINECORE_TARGET(LINECORE_AVX2_SETS)]] read_status run_lines_avx2(Step& step, line_input& input)
{
    note_path_run(line_path::avx2);
    return run_lines(step, input);
}
template <typename Step>
[[gnu::flatten, LINECORE_TARGET(LINECORE_AVX512_SETS)]] read_status run_lines_avx512(Step& step, line_input& input)
{
    note_path_run(line_path::avx512);
    return run_lines(step, input);
}
#endif

// Runs the clone of the given path.
template <typename Step> read_status run_lines_on(line_path path, Step& step, line_input& input)
{
    switch (path) {
#if LINECORE_WIDE_PATHS
    case line_path::avx512:
        return run_lines_avx512(step, input);
    case line_path::avx2:
        return run_lines_avx2(step, input);
#endif
    default:
        return run_lines_baseline(step, input);
    }
}

#endif
