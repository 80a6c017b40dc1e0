// Every compiled path of the line loop runs each program's own main, in
// process, on the same inputs; each output must be the independent
// model's, byte for byte, and so the paths agree with one another.
#include "linecore/test_seams.h"
#include "reference.h"
#include "stand_in.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

namespace {

// Where two outputs first differ, or npos.
std::size_t first_difference(const std::string& a, const std::string& b)
{
    const auto [at, _] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    return at == a.end() && a.size() == b.size() ? std::string::npos : static_cast<std::size_t>(at - a.begin());
}

// The widest path by the flags the kernel reports, which it lists only
// where it also saves the registers they use; no flags line counts as
// the baseline.
line_path widest_path_by_kernel()
{
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);) {
        if (!LINECORE_WIDE_PATHS || line.rfind("flags", 0) != 0) {
            continue;
        }
        std::istringstream words(line.substr(line.find(':') + 1));
        bool avx2 = false;
        int avx512_parts = 0;
        for (std::string flag; words >> flag;) {
            avx2 = avx2 || flag == "avx2";
            avx512_parts += flag == "avx512f" || flag == "avx512bw" || flag == "avx512vl" ? 1 : 0;
        }
        return avx512_parts == 3 ? line_path::avx512 : avx2 ? line_path::avx2 : line_path::baseline;
    }
    return line_path::baseline;
}

std::string every_byte_lines()
{
    // Lines of every length from 0 to 300 (the pad's edge at each place in
    // a vector), every byte value but the newline at every position, and
    // more than 256 lines so that the stepped byte goes round.
    std::string lines;
    for (std::size_t n = 0; n < 700; ++n) {
        for (std::size_t j = 0; j < n % 301; ++j) {
            const auto byte = static_cast<char>((n * 7 + j * 13) % 256);
            lines += byte == '\n' ? '\r' : byte;
        }
        lines += '\n';
    }
    return lines;
}

std::string words_across_reads()
{
    // Short lines over several reads, a line longer than the input buffer,
    // and a last line without a newline.
    std::string lines;
    for (int n = 0; n < 40000; ++n) {
        lines += std::string(static_cast<std::size_t>(n % 23), static_cast<char>('a' + n % 26)) + "\n";
    }
    return lines + std::string(300000, 'L') + "\nend";
}

TEST(LinePaths, EveryPathWritesWhatTheModelWrites)
{
    struct case_t {
        const char* name;
        std::string bytes;
    };
    const case_t inputs[] = {
        {"every byte", every_byte_lines()},
        {"across reads", words_across_reads()},
        {"empty lines and CRLF", "\n\n\r\n" + std::string(128, 'x') + "\r\n" + std::string(127, 'y') + "\n"},
    };
    // The first row takes the path a run takes by itself; it must be the
    // widest, and every path up to it must be there to force.
    const line_path widest = widest_path_by_kernel();
    const std::optional<line_path> paths[] = {std::nullopt, line_path::baseline, line_path::avx2, line_path::avx512};
    for (const std::optional<line_path> forced : paths) {
        const line_path path = forced.value_or(widest);
        if (forced && !force_line_path(*forced)) {
            EXPECT_GT(static_cast<int>(path), static_cast<int>(widest))
                << line_path_name(path) << " cannot be forced on a processor that has it";
            continue;
        }
        for (const program_model& p : all_programs) {
            for (const case_t& c : inputs) {
                // Reads of one byte, odd sizes, and all at once.
                for (const std::size_t size : {std::size_t{1}, std::size_t{4099}, std::size_t{1} << 20}) {
                    serve(c.bytes, {size});
                    EXPECT_EQ(run_main(p.program, "-77"), 0);
                    EXPECT_EQ(last_run_path(), path)
                        << (forced ? "forced " : "by itself, ") << p.name << " took " << line_path_name(last_run_path())
                        << ", not " << line_path_name(path);
                    const std::string expected = reference_output(p.program, -77, c.bytes);
                    const std::size_t at = first_difference(stand_in.written, expected);
                    EXPECT_EQ(at, std::string::npos)
                        << line_path_name(path) << (forced ? "" : " by itself") << " " << p.name << " on " << c.name
                        << ", reads of " << size << ": first differs at byte " << at << " of " << expected.size();
                }
            }
        }
    }
    stop_forcing_line_path();
}

} // namespace
