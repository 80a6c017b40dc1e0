// Preloaded into a program by the tests: closing standard output fails
// with EIO, as on a file system that reports a failed write only when the
// file is closed. Every other descriptor closes as usual.
#include <cerrno>
#include <sys/syscall.h>
#include <unistd.h>

extern "C" int close(int descriptor)
{
    if (descriptor == STDOUT_FILENO) {
        errno = EIO;
        return -1;
    }
    return static_cast<int>(syscall(SYS_close, descriptor));
}
