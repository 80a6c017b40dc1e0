// frame_floor < lines: the floor for a filter that turns each line into a
// text line of 128 bytes. It does all the framing and nothing to the bytes:
// reads 128 KiB at a time, finds each newline with memchr, copies a line's
// first 128 bytes or pads it with '0', adds a newline, and writes from a
// 64 KiB buffer. A line longer than the read buffer is cut into pieces.
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

constexpr std::size_t block = 128;
char input[std::size_t{128} * 1024];
char output[std::size_t{64} * 1024];
std::size_t output_used = 0;

bool flush()
{
    for (std::size_t done = 0; done < output_used;) {
        const ssize_t written = write(STDOUT_FILENO, output + done, output_used - done);
        if (written <= 0) {
            std::perror("frame_floor: write error");
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    output_used = 0;
    return true;
}

bool put_line(const char* line, std::size_t length)
{
    if (sizeof output - output_used < block + 1 && !flush()) {
        return false;
    }
    char* out = output + output_used;
    if (length >= block) {
        std::memcpy(out, line, block);
    } else {
        std::memcpy(out, line, length);
        std::memset(out + length, '0', block - length);
    }
    out[block] = '\n';
    output_used += block + 1;
    return true;
}

} // namespace

int main()
{
    std::size_t held = 0;
    for (;;) {
        const ssize_t got = read(STDIN_FILENO, input + held, sizeof input - held);
        if (got < 0) {
            std::perror("frame_floor: read error");
            return 1;
        }
        held += static_cast<std::size_t>(got);
        std::size_t at = 0;
        for (const char* newline = nullptr;
             (newline = static_cast<const char*>(std::memchr(input + at, '\n', held - at))) != nullptr;) {
            const auto end = static_cast<std::size_t>(newline - input);
            if (!put_line(input + at, end - at)) {
                return 1;
            }
            at = end + 1;
        }
        // What is left is the start of a line: at the end of input it is
        // the last line, and when it fills the buffer it is cut there.
        if ((got == 0 && at < held) || (at == 0 && held == sizeof input)) {
            if (!put_line(input + at, held - at)) {
                return 1;
            }
            at = held;
        }
        std::memmove(input, input + at, held - at);
        held -= at;
        if (got == 0) {
            return flush() ? 0 : 1;
        }
    }
}
