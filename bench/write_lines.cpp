// write_lines < records: the floor for a filter that hands every line on
// at once. Reads its input in large blocks and writes each 129-byte
// record with a write of its own.
#include <cstdio>
#include <cstring>
#include <unistd.h>

int main()
{
    static char buffer[129 * 1024];
    std::size_t held = 0;
    for (;;) {
        const ssize_t got = read(STDIN_FILENO, buffer + held, sizeof buffer - held);
        if (got < 0) {
            std::perror("write_lines: read error");
            return 1;
        }
        held += static_cast<std::size_t>(got);
        std::size_t offset = 0;
        for (; held - offset >= 129; offset += 129) {
            if (write(STDOUT_FILENO, buffer + offset, 129) != 129) {
                std::perror("write_lines: write error");
                return 1;
            }
        }
        std::memmove(buffer, buffer + offset, held - offset);
        held -= offset;
        if (got == 0) {
            return 0;
        }
    }
}
