// An independent model of what the filters must write, for the tests to
// compare against: glibc's published random() algorithm, the combination
// as a plain remainder, and std::getline for the line rules.
#ifndef TESTS_REFERENCE_H
#define TESTS_REFERENCE_H

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

// glibc's default rand(): the additive feedback generator x[i] = x[i-3] +
// x[i-31], seeded by the Park-Miller sequence, first 310 outputs dropped,
// each output shifted right by one. srand(0) seeds as srand(1).
inline std::vector<std::int32_t> glibc_rand(std::uint32_t seed, std::size_t count)
{
    std::vector<std::uint32_t> r(344 + count);
    const std::int64_t first = static_cast<std::int32_t>(seed == 0 ? 1 : seed);
    r[0] = static_cast<std::uint32_t>(first);
    std::int64_t previous = first;
    for (std::size_t i = 1; i < 31; ++i) {
        std::int64_t next = (16807 * previous) % 2147483647;
        if (next < 0) {
            next += 2147483647;
        }
        r[i] = static_cast<std::uint32_t>(next);
        previous = next;
    }
    for (std::size_t i = 31; i < 34; ++i) {
        r[i] = r[i - 31];
    }
    std::vector<std::int32_t> out;
    for (std::size_t i = 34; i < r.size(); ++i) {
        r[i] = r[i - 31] + r[i - 3];
        if (i >= 344) {
            out.push_back(static_cast<std::int32_t>(r[i] >> 1));
        }
    }
    return out;
}

inline std::string reference_key_block(std::int32_t key)
{
    std::string block;
    for (const std::int32_t value : glibc_rand(static_cast<std::uint32_t>(key), 128)) {
        // cppcheck-suppress useStlAlgorithm
        block.push_back(static_cast<char>(value % 94 + 33));
    }
    return block;
}

inline unsigned char reference_combine(unsigned char p, unsigned char k)
{
    const int v = p ^ k;
    const int s = v < 128 ? v : v - 256;
    return static_cast<unsigned char>((s % 94 + 33 + 256) % 256);
}

enum class reference_program { stepseal, stepopen, fixseal };

// The programs, each with its model.
struct program_model {
    const char* name;
    reference_program program;
};
inline constexpr program_model all_programs[] = {
    {"stepseal", reference_program::stepseal},
    {"stepopen", reference_program::stepopen},
    {"fixseal", reference_program::fixseal},
};

// A line as the reader hands it on: its first 128 bytes, a shorter line
// extended with '0'.
inline std::string reference_padded(const std::string& line)
{
    return line.substr(0, 128) + std::string(128 - std::min<std::size_t>(line.size(), 128), '0');
}

// The lines of the input by std::getline, each as the reader hands it on.
inline std::vector<std::string> reference_lines(const std::string& input)
{
    std::istringstream stream(input);
    std::vector<std::string> lines;
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(reference_padded(line));
    }
    return lines;
}

// The bytes of any string, blocks among them, as a std::string.
inline std::string as_string(std::string_view bytes)
{
    return std::string(bytes);
}

// What a program writes for line number n, given the key block.
inline std::string reference_line(reference_program program, const std::string& key_block, std::uint64_t n,
                                  std::string line)
{
    line.resize(std::max<std::size_t>(line.size(), 128), '0');
    std::string block = key_block;
    if (program != reference_program::fixseal) {
        block[127] = static_cast<char>((static_cast<unsigned char>(block[127]) + n) % 256);
    }
    std::string sealed;
    for (int j = 0; j < 128; ++j) {
        sealed.push_back(static_cast<char>(
            reference_combine(static_cast<unsigned char>(line[j]), static_cast<unsigned char>(block[j]))));
    }
    if (program != reference_program::stepopen) {
        sealed.resize(sealed.find('\0') == std::string::npos ? 128 : sealed.find('\0'));
    }
    return sealed + '\n';
}

// The whole output of a program for the given key and input.
inline std::string reference_output(reference_program program, std::int32_t key, const std::string& input)
{
    const std::string key_block = reference_key_block(key);
    std::istringstream lines(input);
    std::string out;
    std::uint64_t n = 0;
    for (std::string line; std::getline(lines, line); ++n) {
        out += reference_line(program, key_block, n, line);
    }
    return out;
}

#endif
