// The descriptor calls the frame makes: read(2) on standard input, write(2)
// and close(2) on standard output, and fstat(2) and lseek(2), which tell
// what the descriptors are. A read or write that a signal interrupts is
// made again, and one that would block, where a parent handed down a
// descriptor with O_NONBLOCK set, waits for it with poll(2): the
// descriptor's flags are shared with other processes, so they stay as
// they are.
#ifndef LINECORE_DESCRIPTORS_H
#define LINECORE_DESCRIPTORS_H

#include <cstddef>
#include <sys/stat.h>
#include <sys/types.h>

// The calls themselves, shaped as the system's are; the system's unless a
// test has put stand-ins in their place (linecore/test_seams.h).
struct descriptor_calls {
    ssize_t (*read)(int descriptor, void* buffer, std::size_t size);
    ssize_t (*write)(int descriptor, const void* buffer, std::size_t size);
    int (*close)(int descriptor);
    int (*fstat)(int descriptor, struct stat* status);
    off_t (*lseek)(int descriptor, off_t offset, int whence);
};

// As read(2) and write(2): -1 and errno for a failure that is not an
// interruption or a wait.
ssize_t read_standard_input(void* buffer, std::size_t size);
ssize_t write_standard_output(const void* buffer, std::size_t size);
// As close(2).
int close_standard_output();
// False where fstat fails.
bool stat_descriptor(int descriptor, struct stat& status);
// Where reading standard input goes on, or -1 where it cannot seek.
off_t standard_input_offset();

#endif
