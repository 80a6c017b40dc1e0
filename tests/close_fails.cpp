// Preloaded into a program by the tests: closing standard output closes
// it and fails with EIO, as on a file system that reports a failed write
// only when the file is closed. Every other descriptor closes as usual.
#include <cerrno>
#include <sys/syscall.h>
#include <unistd.h>

extern "C" int close(int descriptor)
{
    const auto closed = static_cast<int>(syscall(SYS_close, descriptor));
    if (descriptor == STDOUT_FILENO && closed == 0) {
        errno = EIO;
        return -1;
    }
    return closed;
}
