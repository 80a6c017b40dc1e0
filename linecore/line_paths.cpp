#include "linecore/line_paths.h"

#include "linecore/messages.h"
#include "linecore/test_seams.h"

namespace {

// The tests' hold on the choice: a path they forced on every later run, and
// the path the last run took.
std::optional<line_path> forced_path;
line_path path_run = line_path::baseline;

} // namespace

line_path best_line_path() noexcept
{
#if LINECORE_WIDE_PATHS
    if (LINECORE_PROCESSOR_HAS(LINECORE_AVX512_SETS)) {
        return line_path::avx512;
    }
    if (LINECORE_PROCESSOR_HAS(LINECORE_AVX2_SETS)) {
        return line_path::avx2;
    }
#endif
    return line_path::baseline;
}

bool processor_runs(line_path path)
{
    return static_cast<int>(path) <= static_cast<int>(best_line_path());
}

const char* line_path_name(line_path path)
{
    switch (path) {
    case line_path::avx2:
        return "AVX2";
    case line_path::avx512:
        return "AVX-512";
    default:
#ifdef __SSE2__
        return "SSE2";
#else
        return "plain";
#endif
    }
}

std::optional<line_path> path_for_run(std::optional<line_path> build_path)
{
    if (!build_path) {
        return forced_path.value_or(best_line_path());
    }
    if (!processor_runs(*build_path)) {
        report("line path not available on this processor");
        return std::nullopt;
    }
    return build_path;
}

void note_path_run(line_path path)
{
    path_run = path;
}

bool force_line_path(line_path path)
{
    if (!processor_runs(path)) {
        return false;
    }
    forced_path = path;
    return true;
}

void stop_forcing_line_path()
{
    forced_path.reset();
}

line_path last_run_path()
{
    return path_run;
}
