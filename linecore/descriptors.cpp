#include "linecore/descriptors.h"

#include "linecore/test_seams.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace {

// Every call of a run goes through here, and a test that runs a program's
// main in process can replace them only here.
descriptor_calls calls{::read, ::write, ::close, ::fstat, ::lseek};

// False when poll fails.
bool wait_until_ready(int descriptor, short events)
{
    pollfd ready{descriptor, events, 0};
    return poll(&ready, 1, -1) >= 0 || errno == EINTR;
}

template <typename Call> ssize_t until_done(int descriptor, short events, Call call)
{
    for (;;) {
        const ssize_t done = call();
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && wait_until_ready(descriptor, events)) {
            continue;
        }
        return done;
    }
}

} // namespace

ssize_t read_standard_input(void* buffer, std::size_t size)
{
    return until_done(STDIN_FILENO, POLLIN, [&] {
        return calls.read(STDIN_FILENO, buffer, size);
    });
}

ssize_t write_standard_output(const void* buffer, std::size_t size)
{
    return until_done(STDOUT_FILENO, POLLOUT, [&] {
        return calls.write(STDOUT_FILENO, buffer, size);
    });
}

int close_standard_output()
{
    return calls.close(STDOUT_FILENO);
}

bool stat_descriptor(int descriptor, struct stat& status)
{
    return calls.fstat(descriptor, &status) == 0;
}

off_t standard_input_offset()
{
    return calls.lseek(STDIN_FILENO, 0, SEEK_CUR);
}

void use_descriptor_calls(const descriptor_calls& stand_ins)
{
    calls = stand_ins;
}
