// Writes a deterministic benchmark corpus to standard output:
//   make_corpus words LINES   LINES lines of 0 to 19 words each
//   make_corpus long BYTES    one line of BYTES letters and spaces
//   make_corpus binary LINES  LINES lines of every byte value but newline
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::uint64_t state = 0x9E3779B97F4A7C15ULL;

std::uint32_t next_random()
{
    // xorshift64*: fixed seed, the same corpus on every machine.
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return static_cast<std::uint32_t>((state * 0x2545F4914F6CDD1DULL) >> 32);
}

std::vector<std::string> make_words()
{
    std::vector<std::string> words(4096);
    for (std::string& word : words) {
        const std::uint32_t length = 1 + next_random() % 9;
        for (std::uint32_t n = 0; n < length; ++n) {
            word.push_back(static_cast<char>('a' + next_random() % 26));
        }
    }
    return words;
}

bool put(const std::string& text)
{
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fputs("usage: make_corpus words|long|binary COUNT\n", stderr);
        return 2;
    }
    const std::string kind = argv[1];
    const unsigned long long count = std::strtoull(argv[2], nullptr, 10);
    const std::vector<std::string> words = make_words();
    std::string line;
    bool ok = true;
    if (kind == "words") {
        for (unsigned long long n = 0; n < count && ok; ++n) {
            line.clear();
            const std::uint32_t word_count = next_random() % 20;
            for (std::uint32_t w = 0; w < word_count; ++w) {
                if (w > 0) {
                    line.push_back(' ');
                }
                line += words[next_random() % words.size()];
            }
            line.push_back('\n');
            ok = put(line);
        }
    } else if (kind == "long") {
        for (unsigned long long written = 0; written < count && ok;) {
            line = words[next_random() % words.size()] + ' ';
            line.resize(static_cast<std::size_t>(std::min<unsigned long long>(line.size(), count - written)));
            written += line.size();
            ok = put(line);
        }
        ok = ok && put("\n");
    } else if (kind == "binary") {
        for (unsigned long long n = 0; n < count && ok; ++n) {
            line.assign(next_random() % 300, '\0');
            for (char& byte : line) {
                do {
                    byte = static_cast<char>(next_random());
                } while (byte == '\n');
            }
            line.push_back('\n');
            ok = put(line);
        }
    } else {
        std::fputs("make_corpus: unknown kind\n", stderr);
        return 2;
    }
    if (!ok || std::fclose(stdout) != 0) {
        std::perror("make_corpus: write error");
        return 1;
    }
    return 0;
}
