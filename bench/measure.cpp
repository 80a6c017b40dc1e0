// measure COMMAND: runs COMMAND with /bin/sh and prints its wall time and
// CPU time (user and system, of it and its children) in seconds and the
// peak resident memory of any of them in KiB.
#include <cstdio>
#include <ctime>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fputs("usage: measure COMMAND\n", stderr);
        return 2;
    }
    timespec start{};
    timespec end{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    const pid_t child = fork();
    if (child == 0) {
        execl("/bin/sh", "sh", "-c", argv[1], static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (child < 0 || wait4(child, &status, 0, &usage) < 0) {
        std::perror("measure");
        return 2;
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    const double seconds =
        static_cast<double>(end.tv_sec - start.tv_sec) + static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e9;
    const auto in_seconds = [](timeval time) {
        return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
    };
    std::printf("%.6f %.6f %ld\n", seconds, in_seconds(usage.ru_utime) + in_seconds(usage.ru_stime), usage.ru_maxrss);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 2;
}
